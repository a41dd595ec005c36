#include <memory>
#include <new>
#include <string>

#include "platform/Event.h"
#include "platform/HandleTable.h"
#include "platform/TextConv.h"
#include "velmora/VelmoraOs.h"

using velmora::platform::Event;
using velmora::platform::Handle;
using velmora::platform::HandleTable;
using velmora::platform::WaitResult;

namespace {

std::string NameOf(const wchar_t* name) {
    return name ? velmora::platform::WideToUtf8(name) : std::string();
}

// A reference that keeps the event alive while the call uses it, even when
// another thread closes the handle meanwhile; null for a closed or unknown
// handle.
std::shared_ptr<Event> EventOf(VELMORA_HANDLE handle) {
    return HandleTable::Instance().Find(static_cast<Handle>(handle));
}

VELMORA_HANDLE HandleOf(std::unique_ptr<Event> event) {
    return HandleTable::Instance().Insert(std::move(event));
}

}  // namespace

// No exception may leave these functions: their callers are C programs.

VELMORA_EXPORT VELMORA_HANDLE VelmoraOs_CreateEvent(int manualReset, int initialState,
                                                    const wchar_t* name) {
    try {
        return HandleOf(Event::Create(manualReset != 0, initialState != 0, NameOf(name)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

VELMORA_EXPORT VELMORA_HANDLE VelmoraOs_OpenEvent(const wchar_t* name) {
    try {
        return HandleOf(Event::Open(NameOf(name)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

VELMORA_EXPORT int VelmoraOs_SetEvent(VELMORA_HANDLE event) {
    const std::shared_ptr<Event> held = EventOf(event);
    return held && held->Set() ? 1 : 0;
}

VELMORA_EXPORT int VelmoraOs_ResetEvent(VELMORA_HANDLE event) {
    const std::shared_ptr<Event> held = EventOf(event);
    return held && held->Reset() ? 1 : 0;
}

VELMORA_EXPORT uint32_t VelmoraOs_WaitForSingleObject(VELMORA_HANDLE event, uint32_t timeoutMs) {
    // The reference lasts the whole wait: a close meanwhile makes the wait
    // fail instead of freeing the event under it.
    const std::shared_ptr<Event> held = EventOf(event);
    if (!held) return VELMORA_WAIT_FAILED;
    switch (held->Wait(timeoutMs)) {
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
    return HandleTable::Instance().Close(static_cast<Handle>(event)) ? 1 : 0;
}
