#pragma once

#include <string>
#include <string_view>

namespace velmora::platform {

// The namespace that prefixes every named object of this machine's processes:
// VELMORA_IPC_NAMESPACE when set, otherwise one per user ("velmora-<uid>"),
// with '/', '\\' and '.' made '_'. Read once per process.
std::string IpcNamespace();

// Maps a kernel-object name to the POSIX name of one kind of object:
// a leading "Global\" or "Local\" is dropped, every other '\' and '/' becomes
// '_', and the result is "/<namespace>.<kind>.<name>". The kind keeps a
// mutex, an event and a shared block of the same name apart.
std::string MapObjectName(std::string_view kind, std::string_view name);

// The same in the namespace ns (as IpcNamespace gives it) instead of this
// process's own.
std::string MapObjectNameIn(std::string_view ns, std::string_view kind, std::string_view name);

}  // namespace velmora::platform
