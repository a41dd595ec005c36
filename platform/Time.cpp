#include "platform/Time.h"

#include <sched.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace velmora::platform {
namespace {

double ReadSleepScale() {
    const char* text = std::getenv("VELMORA_SLEEP_SCALE");
    if (!text || !*text) return 1.0;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (*end != '\0' || !std::isfinite(value) || value < 0.0) return 1.0;
    return value;
}

timespec Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

}  // namespace

void Sleep(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
    }
}

double SleepScale() {
    static const double scale = ReadSleepScale();
    return scale;
}

void SettlingSleep(uint32_t ms) {
    const double scaled = std::round(static_cast<double>(ms) * SleepScale());
    Sleep(scaled >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(scaled));
}

uint64_t MonotonicMs() {
    const timespec now = Now();
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

uint64_t MonotonicUs() {
    const timespec now = Now();
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

timespec MonotonicDeadline(uint32_t timeoutMs) {
    timespec deadline = Now();
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        ++deadline.tv_sec;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

uint32_t TickCount() {
    return static_cast<uint32_t>(MonotonicMs());
}

}  // namespace velmora::platform
