#pragma once

#include <string>

namespace velmora::platform {

// Full path of the program that started this process.
std::string ExecutablePath();
// Full path of the module (shared library or program) that holds this code.
std::string ModulePath();
// Creates the directory and every missing parent; true when it exists after.
bool CreateDirectoryRecursive(const std::string& path);

}  // namespace velmora::platform
