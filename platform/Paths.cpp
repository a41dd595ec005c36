#include "platform/Paths.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
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

bool CreateDirectoryRecursive(const std::string& path) {
    if (path.empty()) return false;
    std::error_code error;
    std::filesystem::create_directories(path, error);
    // An existing directory is success too; the result of the call alone
    // does not say that.
    return std::filesystem::is_directory(path, error);
}

}  // namespace velmora::platform
