#include "platform/Trace.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/ForkSafeLock.h"

namespace velmora::platform {
namespace {

struct TraceSink {
    // Recursive, so a capture hook that traces does not dead-lock.
    std::recursive_mutex lock;
    std::function<void(std::string_view)> capture;
};

TraceSink& Sink() {
    // Never destroyed: a card's threads may trace until the process's end
    // has closed the card, after statics built later than its open are gone.
    static TraceSink* const sink = new TraceSink;
    return *sink;
}

std::recursive_mutex& SinkLock() {
    return Sink().lock;
}

const int g_forkHandlers = KeepLockUsableInForkedChild<std::recursive_mutex, &SinkLock>();

bool TraceToStderr() {
    static const bool enabled = std::getenv("VELMORA_TRACE") != nullptr;
    return enabled;
}

void WriteLine(std::string_view text) {
    std::string line(text);
    if (line.empty() || line.back() != '\n') line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void Emit(std::string_view text, bool toStderr) {
    TraceSink& sink = Sink();
    std::lock_guard<std::recursive_mutex> guard(sink.lock);
    if (toStderr) WriteLine(text);
    if (!sink.capture) return;
    // A copy, so a hook that replaces the hook does not destroy itself.
    const auto capture = sink.capture;
    capture(text);
}

}  // namespace

void OutputDebugString(std::string_view text) {
    Emit(text, TraceToStderr());
}

void SetTraceCapture(std::function<void(std::string_view)> capture) {
    TraceSink& sink = Sink();
    std::lock_guard<std::recursive_mutex> guard(sink.lock);
    sink.capture = std::move(capture);
}

void ShowMessage(std::string_view text, std::string_view caption) {
    std::string line(caption);
    line += ": ";
    line += text;
    // Standard error always gets it, once, whether or not tracing is on.
    Emit(line, true);
}

}  // namespace velmora::platform
