#pragma once

#include <cstdint>
#include <string>

namespace velmora::platform {

// Which file a path names, however it is spelt: the path made absolute with
// its symbolic links, "." and ".." resolved as far as it exists, and the
// file's device and inode when it exists (a hard link, or a path whose
// directories moved, still finds the file).
struct FileIdentity {
    std::string resolved;
    bool exists = false;
    uint64_t device = 0;
    uint64_t inode = 0;
};

FileIdentity IdentifyFile(const std::string& path);
bool IsSameFile(const FileIdentity& a, const FileIdentity& b);

}  // namespace velmora::platform
