#pragma once

// Opening an input of the file tools: only a regular file is read, and the
// open never waits, whatever the path names (a FIFO would hold the open until
// a writer came; a device would never end).

namespace velmora::record {

// open() of path for reading with the extra flags given; -1 with errno set
// when it fails, and with errno EINVAL when path is no regular file.
int OpenRegularFileForReading(const char* path, int flags);

}  // namespace velmora::record
