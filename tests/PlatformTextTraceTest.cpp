#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/TextConv.h"
#include "platform/Trace.h"

namespace velmora::platform {
namespace {

TEST(PlatformTextConvTest, ConvertsEveryPlaneBothWays) {
    const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // A é € 😀
    const std::wstring wide = L"A\u00E9\u20AC\U0001F600";
    const std::u16string utf16 = u"A\u00E9\u20AC\U0001F600";
    EXPECT_EQ(utf16.size(), 5u);
    EXPECT_EQ(WideToUtf8(wide), utf8);
    EXPECT_EQ(Utf8ToWide(utf8), wide);
    EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
    EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(WideToUtf8(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));
}

TEST(PlatformTextConvTest, InvalidInputBecomesReplacementCharacters) {
    const std::wstring r = L"\uFFFD";
    EXPECT_EQ(Utf8ToWide("a\xFF"
                         "b"),
              L"a" + r + L"b");
    EXPECT_EQ(Utf8ToWide("\xC0\xAF"), r + r);                  // overlong
    EXPECT_EQ(Utf8ToWide("\xE0\x80\xAF"), r + r + r);          // overlong
    EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), r + r + r);          // a surrogate
    EXPECT_EQ(Utf8ToWide("\xF4\x90\x80\x80"), r + r + r + r);  // beyond U+10FFFF
    // A cut sequence is one replacement, and what follows is kept.
    EXPECT_EQ(Utf8ToWide("\xE2\x82"
                         "A"),
              r + L"A");
    EXPECT_EQ(Utf8ToWide("x\xF0\x9F\x98"), L"x" + r);
    EXPECT_EQ(Utf8ToWide("\x80\x80"), r + r);
    EXPECT_EQ(Utf8ToUtf16("\xC3"), u"\uFFFD");

    const std::string r8 = "\xEF\xBF\xBD";
    EXPECT_EQ(WideToUtf8(std::wstring{L'a', static_cast<wchar_t>(0xD800), L'b'}), "a" + r8 + "b");
    EXPECT_EQ(WideToUtf8(std::wstring{static_cast<wchar_t>(0x110000)}), r8);
    EXPECT_EQ(WideToUtf8(std::wstring{static_cast<wchar_t>(-1)}), r8);

    EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD800, u'x'}), r8 + "x");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDC00}), r8);
    EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDE00, 0xD83D}), r8 + r8);  // reversed pair
    EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D}), r8);
}

// Collects what standard error receives while it lives.
class StderrCapture {
  public:
    StderrCapture() {
        std::fflush(stderr);
        // A file in memory: nothing is left behind whatever ends the test.
        m_file = memfd_create("velmora-stderr", MFD_CLOEXEC);
        m_saved = dup(2);
        dup2(m_file, 2);
    }
    ~StderrCapture() { Restore(); }
    std::string Restore() {
        if (m_saved < 0) return m_text;
        std::fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
        m_saved = -1;
        char buffer[4096];
        const ssize_t length = pread(m_file, buffer, sizeof(buffer), 0);
        m_text.assign(buffer, length > 0 ? static_cast<size_t>(length) : 0);
        close(m_file);
        return m_text;
    }

  private:
    std::string m_text;
    int m_file = -1;
    int m_saved = -1;
};

TEST(PlatformTraceTest, CaptureHookSeesTracesAndMessages) {
    std::mutex lock;
    std::vector<std::string> captured;
    SetTraceCapture([&](std::string_view text) {
        std::lock_guard<std::mutex> guard(lock);
        captured.emplace_back(text);
    });
    StderrCapture err;
    OutputDebugString("trace line");
    ShowMessage("Card not found", "Velmora");
    const std::string written = err.Restore();
    SetTraceCapture({});
    OutputDebugString("not captured");

    ASSERT_EQ(captured.size(), 2u);
    EXPECT_EQ(captured[0], "trace line");
    EXPECT_EQ(captured[1], "Velmora: Card not found");
    // A message always reaches standard error; a trace only when asked for.
    const std::string expected = std::getenv("VELMORA_TRACE") ? "trace line\n" : "";
    EXPECT_EQ(written, expected + "Velmora: Card not found\n");
}

TEST(PlatformTraceTest, ThreadsTraceAtTheSameTime) {
    size_t count = 0;
    SetTraceCapture([&count](std::string_view) { ++count; });  // the sink serialises
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 1000; ++i)
                OutputDebugString("x");
        });
    }
    for (auto& thread : threads)
        thread.join();
    SetTraceCapture({});
    EXPECT_EQ(count, 4000u);
}

}  // namespace
}  // namespace velmora::platform
