#include <memory>
#include <new>
#include <string>

#include "platform/Event.h"
#include "platform/HandleTable.h"
#include "platform/SignalsHeldBack.h"
#include "platform/TextConv.h"
#include "velmora/VelmoraOs.h"

using velmora::platform::Event;
using velmora::platform::Handle;
using velmora::platform::HandleTable;
using velmora::platform::SignalsHeldBack;
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

uint32_t WaitCodeOf(WaitResult result) {
    switch (result) {
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

}  // namespace

// No exception may leave these functions: their callers are C programs.
// Signal handlers wait while a call holds the handle table's lock, the
// allocator's or the named objects' lock: a handler that called exit there
// would leave them held for the close of the card's field events that the
// process's end runs on this same thread.

VELMORA_EXPORT VELMORA_HANDLE VelmoraOs_CreateEvent(int manualReset, int initialState,
                                                    const wchar_t* name) {
    const SignalsHeldBack signals;
    try {
        return HandleOf(Event::Create(manualReset != 0, initialState != 0, NameOf(name)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

VELMORA_EXPORT VELMORA_HANDLE VelmoraOs_OpenEvent(const wchar_t* name) {
    const SignalsHeldBack signals;
    try {
        return HandleOf(Event::Open(NameOf(name)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

VELMORA_EXPORT int VelmoraOs_SetEvent(VELMORA_HANDLE event) {
    const SignalsHeldBack signals;
    const std::shared_ptr<Event> held = EventOf(event);
    return held && held->Set() ? 1 : 0;
}

VELMORA_EXPORT int VelmoraOs_ResetEvent(VELMORA_HANDLE event) {
    const SignalsHeldBack signals;
    const std::shared_ptr<Event> held = EventOf(event);
    return held && held->Reset() ? 1 : 0;
}

VELMORA_EXPORT uint32_t VelmoraOs_WaitForSingleObject(VELMORA_HANDLE event, uint32_t timeoutMs) {
    // The reference lasts the whole wait: a close meanwhile makes the wait
    // fail instead of freeing the event under it.
    std::shared_ptr<Event> held;
    {
        const SignalsHeldBack signals;
        held = EventOf(event);
    }
    // The wait itself holds no lock, and a long one still ends the process
    // on Ctrl-C.
    const uint32_t result = held ? WaitCodeOf(held->Wait(timeoutMs)) : VELMORA_WAIT_FAILED;
    // The last reference frees the event, under the allocator's lock and the
    // named objects' lock.
    const SignalsHeldBack signals;
    held.reset();
    return result;
}

VELMORA_EXPORT int VelmoraOs_CloseHandle(VELMORA_HANDLE event) {
    const SignalsHeldBack signals;
    return HandleTable::Instance().Close(static_cast<Handle>(event)) ? 1 : 0;
}
