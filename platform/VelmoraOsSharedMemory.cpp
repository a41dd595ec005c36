#include <new>
#include <string>

#include "platform/HandleTable.h"
#include "platform/IpcName.h"
#include "platform/SharedMemory.h"
#include "platform/SignalsHeldBack.h"
#include "platform/TextConv.h"
#include "velmora/VelmoraOs.h"

using velmora::platform::Handle;
using velmora::platform::HandleTable;
using velmora::platform::SharedMemory;
using velmora::platform::SignalsHeldBack;

// No exception may leave these functions: their callers are C programs.
// Signal handlers wait while a call holds the handle table's lock (see
// VelmoraOsApi.cpp).

VELMORA_EXPORT VELMORA_HANDLE VelmoraOs_OpenSharedMemory(const wchar_t* name, uint32_t size) {
    if (!name || !*name || size == 0) return nullptr;
    const SignalsHeldBack signals;
    try {
        const std::string posixName =
            velmora::platform::MapObjectName("shm", velmora::platform::WideToUtf8(name));
        return HandleTable::Instance().Insert(SharedMemory::OpenPosix(posixName, size, {}, false));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

VELMORA_EXPORT void* VelmoraOs_MapSharedMemory(VELMORA_HANDLE block) {
    const SignalsHeldBack signals;
    const auto shared = HandleTable::Instance().FindSharedMemory(static_cast<Handle>(block));
    return shared ? shared->Data() : nullptr;
}

VELMORA_EXPORT int VelmoraOs_CloseSharedMemory(VELMORA_HANDLE block) {
    // Only a block handle: an event handle stays open.
    const SignalsHeldBack signals;
    HandleTable& table = HandleTable::Instance();
    if (!table.FindSharedMemory(static_cast<Handle>(block))) return 0;
    return table.Close(static_cast<Handle>(block)) ? 1 : 0;
}
