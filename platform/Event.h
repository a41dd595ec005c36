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
// The library gives applications handles of a HandleTable entry, never Event
// pointers (see VelmoraOs.h and platform/HandleTable.h).
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
    // Closes this object's view of the event: waits in progress on this
    // object return Failed and later calls fail. Other objects of the same
    // named event, here or in other processes, are not affected.
    void Close();
    bool AlreadyExisted() const { return m_alreadyExisted; }
    bool IsManualReset() const;

    // The shared state of one event; it lives in this object for an unnamed
    // event and in a shared block for a named one. Bit 0 of the word is the
    // signal; the bits above count closes, so that a close changes the word a
    // waiter sleeps on and no close goes unseen between its check and its
    // sleep.
    struct State {
        std::atomic<uint32_t> word;
        uint32_t manualReset;
    };

  private:
    Event() = default;

    std::unique_ptr<SharedMemory> m_memory;
    State m_localState{};
    State* m_state = nullptr;
    bool m_alreadyExisted = false;
    std::atomic<bool> m_closed{false};
};

}  // namespace velmora::platform
