#include <new>
#include <string>

#include "platform/Event.h"
#include "platform/TextConv.h"
#include "velmora/VelmoraOs.h"

using velmora::platform::Event;
using velmora::platform::WaitResult;

namespace {

std::string NameOf(const wchar_t* name) {
    return name ? velmora::platform::WideToUtf8(name) : std::string();
}

Event* EventOf(VELMORA_HANDLE handle) {
    return static_cast<Event*>(handle);
}

}  // namespace

// No exception may leave these functions: their callers are C programs.

VELMORA_EXPORT VELMORA_HANDLE VelmoraOs_CreateEvent(int manualReset, int initialState,
                                                    const wchar_t* name) {
    try {
        return Event::Create(manualReset != 0, initialState != 0, NameOf(name)).release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

VELMORA_EXPORT VELMORA_HANDLE VelmoraOs_OpenEvent(const wchar_t* name) {
    try {
        return Event::Open(NameOf(name)).release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

VELMORA_EXPORT int VelmoraOs_SetEvent(VELMORA_HANDLE event) {
    return event && EventOf(event)->Set() ? 1 : 0;
}

VELMORA_EXPORT int VelmoraOs_ResetEvent(VELMORA_HANDLE event) {
    return event && EventOf(event)->Reset() ? 1 : 0;
}

VELMORA_EXPORT uint32_t VelmoraOs_WaitForSingleObject(VELMORA_HANDLE event, uint32_t timeoutMs) {
    if (!event) return VELMORA_WAIT_FAILED;
    switch (EventOf(event)->Wait(timeoutMs)) {
        case WaitResult::Signaled:
            return VELMORA_WAIT_OBJECT_0;
        case WaitResult::Abandoned:
            return VELMORA_WAIT_ABANDONED;
        case WaitResult::Timeout:
            return VELMORA_WAIT_TIMEOUT;
        case WaitResult::Failed:
            break;
    }
    return VELMORA_WAIT_FAILED;
}

VELMORA_EXPORT int VelmoraOs_CloseHandle(VELMORA_HANDLE event) {
    if (!event) return 0;
    delete EventOf(event);
    return 1;
}
