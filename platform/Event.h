#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/WaitResult.h"

namespace velmora::platform {

class SharedMemory;

// An event object, the stand-in of a Windows event: auto-reset (a wait that
// succeeds clears it, so one waiter passes per Set) or manual-reset (it stays
// set until Reset). A named event is shared between processes; an unnamed one
// lives in this process only.
//
// Raw Event pointers are the handles that the library gives to applications
// (see VelmoraOs.h); deleting the object closes the handle.
class Event {
  public:
    // Creates the event, or opens the named event when it exists already
    // (then manualReset and initialState are ignored). An empty name makes an
    // unnamed event. Null on failure.
    static std::unique_ptr<Event> Create(bool manualReset, bool initialState,
                                         std::string_view name = {});
    // Opens an existing named event; null when none has that name.
    static std::unique_ptr<Event> Open(std::string_view name);

    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool Set();
    bool Reset();
    WaitResult Wait(uint32_t timeoutMs);
    bool AlreadyExisted() const { return m_alreadyExisted; }
    bool IsManualReset() const;

    // The shared state of one event; it lives in this object for an unnamed
    // event and in a shared block for a named one.
    struct State {
        std::atomic<uint32_t> signaled;
        uint32_t manualReset;
    };

  private:
    Event() = default;

    std::unique_ptr<SharedMemory> m_memory;
    State m_localState{};
    State* m_state = nullptr;
    bool m_alreadyExisted = false;
};

}  // namespace velmora::platform
