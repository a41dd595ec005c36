#include <new>
#include <string>

#include "platform/IpcName.h"
#include "platform/SharedMemory.h"
#include "platform/TextConv.h"
#include "velmora/VelmoraOs.h"

using velmora::platform::SharedMemory;

// No exception may leave these functions: their callers are C programs.

VELMORA_EXPORT VELMORA_HANDLE VelmoraOs_OpenSharedMemory(const wchar_t* name, uint32_t size) {
    if (!name || !*name || size == 0) return nullptr;
    try {
        const std::string posixName =
            velmora::platform::MapObjectName("shm", velmora::platform::WideToUtf8(name));
        return SharedMemory::OpenPosix(posixName, size, {}, false).release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

VELMORA_EXPORT void* VelmoraOs_MapSharedMemory(VELMORA_HANDLE block) {
    return block ? static_cast<SharedMemory*>(block)->Data() : nullptr;
}

VELMORA_EXPORT int VelmoraOs_CloseSharedMemory(VELMORA_HANDLE block) {
    if (!block) return 0;
    delete static_cast<SharedMemory*>(block);
    return 1;
}
