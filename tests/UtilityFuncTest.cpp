#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "card/LoadTimeGlobals.h"
#include "card/UtilityFunc.h"
#include "platform/Trace.h"

namespace velmora::card {

namespace {

constexpr uint32_t kSentinel = 0xDEADBEEF;

// Runs a word routine for every count up to 11 at every 4-byte misalignment of a
// 16-byte unit, and checks exactly `count` words changed.
template <typename Apply, typename Expect>
void CheckEveryCount(Apply apply, Expect expected) {
    for (uint32_t count = 0; count <= 11; ++count) {
        for (size_t offset = 0; offset < 4; ++offset) {
            std::vector<uint32_t> buffer(16, kSentinel);
            apply(buffer.data() + offset, count);
            for (size_t word = 0; word < buffer.size(); ++word) {
                const bool inside = word >= offset && word < offset + count;
                EXPECT_EQ(buffer[word], inside ? expected(word - offset) : kSentinel)
                    << "count " << count << " offset " << offset << " word " << word;
            }
        }
    }
}

TEST(UtilityFuncTest, CopiesMoveExactlyCountWords) {
    CUtilityFunc utility;
    uint32_t source[12];
    for (uint32_t i = 0; i < 12; ++i)
        source[i] = 0x01010101u * (i + 1);
    auto fromSource = [&](size_t word) { return source[word]; };
    CheckEveryCount([&](uint32_t* to, uint32_t n) { utility.MemCopyDword(to, source, n); },
                    fromSource);
    CheckEveryCount([&](uint32_t* to, uint32_t n) { utility.MemCopyDword128(to, source, n); },
                    fromSource);
}

TEST(UtilityFuncTest, FillsStoreExactlyCountWords) {
    CUtilityFunc utility;
    auto value = [](size_t) { return 0x11223344u; };
    CheckEveryCount([&](uint32_t* to, uint32_t n) { utility.MemFillDword(to, 0x11223344u, n); },
                    value);
    CheckEveryCount([&](uint32_t* to, uint32_t n) { utility.MemFillDword128(to, 0x11223344u, n); },
                    value);
    CheckEveryCount(
        [&](uint32_t* to, uint32_t n) { utility.MemFillDwordBytewise(to, 0x11223344u, n); }, value);

    uint8_t bytes[9];
    std::memset(bytes, 0xEE, sizeof bytes);
    utility.MemFillDwordBytewise(bytes, 0xA1B2C3D4u, 2);
    const uint8_t expected[9] = {0xD4, 0xC3, 0xB2, 0xA1, 0xD4, 0xC3, 0xB2, 0xA1, 0xEE};
    EXPECT_EQ(std::memcmp(bytes, expected, sizeof bytes), 0);
}

TEST(UtilityFuncTest, NullPointersDoNothing) {
    CUtilityFunc utility;
    uint32_t word = kSentinel;
    utility.MemCopyDword(nullptr, &word, 1);
    utility.MemCopyDword(&word, nullptr, 1);
    utility.MemCopyDword128(&word, nullptr, 4);
    utility.MemFillDword(nullptr, 0, 8);
    utility.MemFillDword128(nullptr, 0, 8);
    utility.MemFillDwordBytewise(nullptr, 0, 8);
    utility.InvertLowBytes(&word, nullptr, 2);
    utility.BinarizeLowBytes(nullptr, &word, 2);
    EXPECT_EQ(word, kSentinel);
    EXPECT_EQ(utility.GetSdkVersion(nullptr), 0);
}

TEST(UtilityFuncTest, LowByteRoutinesKeepOrClearHighBytes) {
    CUtilityFunc utility;
    const uint16_t source[4] = {0x1200, 0x34FF, 0xAB01, 0x5678};
    uint16_t inverted[5] = {0xC000, 0xC100, 0xC200, 0xC300, 0xC4C4};
    utility.InvertLowBytes(inverted, source, 4);
    const uint16_t invertedExpected[5] = {0xC0FF, 0xC100, 0xC2FE, 0xC387, 0xC4C4};
    EXPECT_EQ(std::memcmp(inverted, invertedExpected, sizeof inverted), 0);

    uint16_t binary[5] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xC4C4};
    utility.BinarizeLowBytes(binary, source, 4);
    const uint16_t binaryExpected[5] = {0, 255, 255, 255, 0xC4C4};
    EXPECT_EQ(std::memcmp(binary, binaryExpected, sizeof binary), 0);
}

TEST(UtilityFuncTest, LoadTimeGlobals) {
    uint32_t version = 0;
    EXPECT_EQ(velmora::card::g_SdkUtility.GetSdkVersion(&version), 1);
    EXPECT_EQ(version, 0x40000u);
    EXPECT_STREQ(velmora::card::g_BoardSupportSourceName, "Velmoraboardsupport");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(velmora::card::g_pPlaybackConvertBuffer) % 16, 0u);
    velmora::card::g_pPlaybackConvertBuffer[velmora::card::kPlaybackConvertBufferSize - 1] = 1;
}

TEST(UtilityFuncTest, TraceMessageLineFormat) {
    std::vector<std::string> traces;
    velmora::platform::SetTraceCapture([&](std::string_view text) { traces.emplace_back(text); });
    velmora::card::g_TraceUtility.TraceMessage(L"PlxPciBridge", L"DmaTransfer", 1, L"Failed - %x",
                                               0x213u);
    velmora::card::g_FrameTraceUtility[0].TraceMessage(
        L"VideoCapture", L"ReadOneFrameFromBuffer", -7, L"Error - uiCaptureBufferReadNo - %d", 9);
    velmora::card::g_TraceUtility.TraceMessage(L"K\u00E4rte", L"F", 0, nullptr);
    const std::wstring longText(3000, L'w');
    velmora::card::g_TraceUtility.TraceMessage(L"C", L"F", 2, L"%ls", longText.c_str());
    velmora::platform::SetTraceCapture({});

    ASSERT_EQ(traces.size(), 4u);
    EXPECT_EQ(traces[0], "\nPlxPciBridge - DmaTransfer - 1 - Failed - 213");
    EXPECT_EQ(traces[1],
              "\nVideoCapture - ReadOneFrameFromBuffer - -7 - Error - uiCaptureBufferReadNo - 9");
    EXPECT_EQ(traces[2], "\nK\xC3\xA4rte - F - 0 - ");
    EXPECT_EQ(traces[3], "\nC - F - 2 - " + std::string(CUtilityFunc::kTraceBufferSize - 1, 'w'));
}

}  // namespace

}  // namespace velmora::card
