#pragma once

#include <cstdint>
#include <ctime>

namespace velmora::platform {

// Sleeps for the given milliseconds.
void Sleep(uint32_t ms);
// The sleeps that let hardware settle (EEPROM write cycle, chip settling).
// VELMORA_SLEEP_SCALE (a factor, default 1) scales them so tests can shorten
// them; nothing else reads that variable.
void SettlingSleep(uint32_t ms);
double SleepScale();
// Milliseconds of a monotonic clock, wrapping at 32 bits like the system tick
// count.
uint32_t TickCount();
// Milliseconds and microseconds of the same monotonic clock, not wrapping.
uint64_t MonotonicMs();
uint64_t MonotonicUs();
// The monotonic clock's time `timeoutMs` from now, for the waits that take an
// absolute time.
timespec MonotonicDeadline(uint32_t timeoutMs);

}  // namespace velmora::platform
