#pragma once

#include <cstdint>

namespace velmora::platform {

// Waits take milliseconds; this value waits without a limit.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// The outcome of every wait on a kernel-object stand-in. Abandoned means the
// wait succeeded (the caller owns the mutex) but the previous owner died
// holding it, so what it protected may be half-changed.
enum class WaitResult { Signaled, Abandoned, Timeout, Failed };

}  // namespace velmora::platform
