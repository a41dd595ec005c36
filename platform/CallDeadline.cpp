#include "platform/CallDeadline.h"

#include <algorithm>
#include <atomic>

namespace velmora::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Long enough for any set-up that another process does under a lock, short
// enough that a stopped or hostile holder cannot stop the caller for good.
std::atomic<int64_t> g_LengthMs{10000};

struct ThreadCall {
    bool active = false;
    bool missed = false;
    uint64_t number = 0;  // of this thread's calls, the latest
    Clock::duration length{};
    Clock::duration waited{};  // spent by waits that gave up
};

thread_local ThreadCall t_Call;

Clock::duration Left() {
    return std::max(t_Call.length - t_Call.waited, Clock::duration::zero());
}

}  // namespace

CallDeadline::CallDeadline() : m_bOuter(!t_Call.active) {
    if (!m_bOuter) return;
    t_Call.active = true;
    t_Call.missed = false;
    ++t_Call.number;
    t_Call.length = std::chrono::milliseconds(g_LengthMs.load());
    t_Call.waited = Clock::duration::zero();
}

CallDeadline::~CallDeadline() {
    if (m_bOuter) t_Call.active = false;
}

bool CallDeadline::Missed() const {
    return t_Call.missed;
}

uint32_t CallDeadline::Bound(uint32_t timeoutMs) {
    if (!t_Call.active) return timeoutMs;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(Left()).count();
    if (left <= 0) return 0;
    return static_cast<uint32_t>(std::min<int64_t>(left, timeoutMs));
}

Clock::time_point CallDeadline::Bound(Clock::time_point end) {
    return t_Call.active ? std::min(end, Clock::now() + Left()) : end;
}

CallDeadline::HeldOut::HeldOut()
    : m_since(Clock::now()), m_left(t_Call.active ? Left() : Clock::duration::max()) {}

bool CallDeadline::HeldOut::Within(uint64_t holder) {
    const Clock::time_point now = Clock::now();
    if (holder == 0 || holder != m_holder) {
        m_holder = holder;
        m_since = now;
    }
    return holder == 0 || now < End();
}

Clock::time_point CallDeadline::HeldOut::End() const {
    return m_left >= Clock::time_point::max() - m_since ? Clock::time_point::max()
                                                        : m_since + m_left;
}

void CallDeadline::HeldOut::GaveUp() const {
    if (!t_Call.active || m_holder == 0) return;
    t_Call.waited += std::min(Clock::now() - m_since, Left());
    if (Left() == Clock::duration::zero()) t_Call.missed = true;
}

uint64_t CallDeadline::CurrentCall() {
    return t_Call.active ? t_Call.number : 0;
}

std::chrono::milliseconds CallDeadline::SetLength(std::chrono::milliseconds length) {
    return std::chrono::milliseconds(g_LengthMs.exchange(length.count()));
}

}  // namespace velmora::platform
