#pragma once

// Opening a file by a path that may name anything: only a regular file is
// opened, and the open never waits, whatever the path names (a FIFO would
// hold the open until its other end came, a device would never end, and a
// pipe whose reader went away would end the writing process).

#include <sys/types.h>

namespace velmora::platform {

// open() of path with the flags (O_CLOEXEC added) and the mode given; -1 with
// errno set when it fails, and with errno EINVAL when path names no regular
// file (a FIFO, a device, a folder, a socket).
int OpenRegularFile(const char* path, int flags, mode_t mode = 0);
// The same for a name relative to the open folder `folder`.
int OpenRegularFileAt(int folder, const char* name, int flags, mode_t mode = 0);

}  // namespace velmora::platform
