#include "platform/IpcName.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace velmora::platform {
namespace {

// Longest name we hand to shm_open (without its leading '/'); the file name
// limit of /dev/shm is 255 bytes and this leaves room to spare.
constexpr size_t kMaxNameLength = 240;

uint64_t Fnv1a64(std::string_view text) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

// Long names keep a readable head and end in a hash of the whole name, so two
// processes always derive the same short name and different names stay apart.
std::string Shorten(std::string name) {
    if (name.size() <= kMaxNameLength) return name;
    char suffix[18];
    std::snprintf(suffix, sizeof(suffix), "~%016llx",
                  static_cast<unsigned long long>(Fnv1a64(name)));
    name.resize(kMaxNameLength - 17);
    name += suffix;
    return name;
}

std::string ReadNamespace() {
    const char* value = std::getenv("VELMORA_IPC_NAMESPACE");
    std::string ns = (value && *value) ? value : "velmora-" + std::to_string(getuid());
    // A '/' would make the POSIX names invalid, and a '.' would let the
    // objects of namespace "a.b" pass for those of namespace "a": the
    // namespace of an object is what comes before its first '.'.
    for (char& c : ns) {
        if (c == '/' || c == '\\' || c == '.') c = '_';
    }
    return ns;
}

}  // namespace

std::string IpcNamespace() {
    // Never destroyed: named objects that static objects hold are closed
    // while the process exits.
    static const std::string* const ns = new std::string(ReadNamespace());
    return *ns;
}

std::string MapObjectName(std::string_view kind, std::string_view name) {
    return MapObjectNameIn(IpcNamespace(), kind, name);
}

std::string MapObjectNameIn(std::string_view ns, std::string_view kind, std::string_view name) {
    if (name.starts_with("Global\\")) {
        name.remove_prefix(7);
    } else if (name.starts_with("Local\\")) {
        name.remove_prefix(6);
    }
    std::string mapped(ns);
    mapped += '.';
    mapped += kind;
    // Without a name the result names the namespace's own object of that kind.
    if (!name.empty()) {
        mapped += '.';
        for (const char c : name)
            mapped += (c == '\\' || c == '/') ? '_' : c;
    }
    return "/" + Shorten(std::move(mapped));
}

}  // namespace velmora::platform
