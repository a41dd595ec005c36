#include "platform/FileIdentity.h"

#include <sys/stat.h>

#include <filesystem>

namespace velmora::platform {

FileIdentity IdentifyFile(const std::string& path) {
    FileIdentity identity;
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
    identity.resolved = error ? path : resolved.string();
    struct stat status = {};
    if (::stat(path.c_str(), &status) == 0) {
        identity.exists = true;
        identity.device = status.st_dev;
        identity.inode = status.st_ino;
    }
    return identity;
}

bool IsSameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.resolved == b.resolved ||
           (a.exists && b.exists && a.device == b.device && a.inode == b.inode);
}

}  // namespace velmora::platform
