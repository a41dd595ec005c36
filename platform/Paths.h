#pragma once

#include <sys/types.h>

#include <string>

namespace velmora::platform {

// Full path of the program that started this process.
std::string ExecutablePath();
// Full path of the module (shared library or program) that holds this code.
std::string ModulePath();
// Creates the directory and every missing parent, each with `mode` less the
// umask; true when it exists after.
bool CreateDirectoryRecursive(const std::string& path, mode_t mode = 0777);

}  // namespace velmora::platform
