#include "platform/Paths.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace velmora::platform {

std::string ExecutablePath() {
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return {};
        if (static_cast<size_t>(length) < buffer.size()) {
            return std::string(buffer.data(), static_cast<size_t>(length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string ModulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 || !info.dli_fname ||
        !*info.dli_fname) {
        return ExecutablePath();
    }
    // The loader records the name it was given, which may be relative.
    char* resolved = realpath(info.dli_fname, nullptr);
    if (!resolved) return ExecutablePath();
    std::string path(resolved);
    free(resolved);
    return path;
}

bool CreateDirectoryRecursive(const std::string& path, mode_t mode) {
    if (path.empty()) return false;
    // From the top down; a folder that is there already, or that another
    // process makes meanwhile, serves as well as one made here.
    for (size_t end = path.find('/', 1); end != std::string::npos; end = path.find('/', end + 1))
        ::mkdir(path.substr(0, end).c_str(), mode);
    ::mkdir(path.c_str(), mode);
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace velmora::platform
