#pragma once

#include <functional>
#include <string_view>

namespace velmora::platform {

// The debugger-output stand-in. A line goes to standard error only when
// VELMORA_TRACE is set, and to the capture hook when one is installed.
void OutputDebugString(std::string_view text);

// Installs (or, with an empty function, removes) a hook that receives every
// traced text; for tests.
void SetTraceCapture(std::function<void(std::string_view)> capture);

// The message-box stand-in: the text goes to standard error and the trace
// sink; it never waits for anyone.
void ShowMessage(std::string_view text, std::string_view caption);

}  // namespace velmora::platform
