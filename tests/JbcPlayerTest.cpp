// The byte-code player without a card: file services, the decompressor, the
// TAP layer and the instructions, on images made by the test assembler, with
// a line driver that records every clock.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "JbcAssembler.h"
#include "program/AlteraJtagConfig.h"

namespace velmora::jbctest {
namespace {

using namespace velmora::program;

struct ClockRecord {
    uint32_t tms, tdi, read;
    bool operator==(const ClockRecord&) const = default;
};

// Records every clock; TDO reads come from `tdo` (0 when it runs out).
class RecordingJtag : public CAlteraJtagConfig {
  public:
    uint32_t JtagIo(uint32_t tms, uint32_t tdi, uint32_t read) override {
        clocks.push_back({tms, tdi, read});
        if (!read || next >= tdo.size()) return 0;
        return tdo[next++];
    }
    void DelayMicroseconds(int32_t microseconds) override { delays.push_back(microseconds); }

    std::vector<uint32_t> TmsOf(size_t from = 0) const {
        std::vector<uint32_t> tms;
        for (size_t i = from; i < clocks.size(); ++i)
            tms.push_back(clocks[i].tms);
        return tms;
    }
    std::vector<uint32_t> TdiOf(size_t from, size_t count) const {
        std::vector<uint32_t> tdi;
        for (size_t i = from; i < from + count && i < clocks.size(); ++i)
            tdi.push_back(clocks[i].tdi);
        return tdi;
    }

    std::vector<ClockRecord> clocks;
    std::vector<uint32_t> tdo;
    size_t next = 0;
    std::vector<int32_t> delays;
};

struct RunResult {
    int32_t status;
    uint32_t errorAddress;
    int32_t exitCode;
};

RunResult RunImage(CAlteraJtagConfig& jtag, const std::vector<uint8_t>& image,
                   const char* action = nullptr, const char* const* init = nullptr) {
    jtag.SetImage(image.data(), static_cast<int32_t>(image.size()));
    jtag.SetAction(action);
    jtag.SetInitList(init);
    RunResult result{0, 0xFFFFFFFF, -12345};
    int32_t version = 0;
    result.status = jtag.Execute(0, &result.errorAddress, &result.exitCode, &version);
    return result;
}

// A format-1 program from a code-building function.
template <typename F>
std::vector<uint8_t> Program1(F build) {
    JbcAssembler a(1);
    build(a);
    return a.Build();
}

// ---------------------------------------------------------------------------
// File services.

TEST(JbcFileTest, CrcInfoActionsAndNotes) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16X25(check, 9), 0x906E);

    JbcAssembler a(2);
    a.Label("p");
    a.Op(0x11);
    a.Procedure("FIRST", 1, 0, "p");
    a.Procedure("SECOND", 0, 2, "p");
    a.Procedure("LOOPS", 2, 1, "p");  // its own successor
    a.Action("PROGRAM", "program the part", 0);
    a.Action("SPIN", "", 2);
    a.Note("Device", "CPLD");
    a.Note("DATE", "today");
    a.Note("Long", std::string(20, 'x'));
    std::vector<uint8_t> image = a.Build();

    RecordingJtag jtag;
    jtag.SetImage(image.data(), static_cast<int32_t>(image.size()));
    uint16_t stored = 0, computed = 1;
    EXPECT_EQ(jtag.CheckCrc(&stored, &computed), kJbcSuccess);
    EXPECT_EQ(stored, computed);
    int32_t version = 0, actions = -1, procedures = -1;
    EXPECT_EQ(jtag.GetFileInfo(&version, &actions, &procedures), kJbcSuccess);
    EXPECT_EQ(std::make_tuple(version, actions, procedures), std::make_tuple(2, 2, 3));

    // Two calls build one list with both chains.
    JBC_PROCEDURE_NODE* list = nullptr;
    const char* name = nullptr;
    const char* description = nullptr;
    EXPECT_EQ(jtag.GetActionInfo(0, &name, &description, &list), kJbcSuccess);
    EXPECT_STREQ(name, "PROGRAM");
    EXPECT_STREQ(description, "program the part");
    EXPECT_EQ(jtag.GetActionInfo(0, nullptr, nullptr, &list), kJbcSuccess);
    std::vector<std::string> names;
    for (auto* node = list; node; node = node->next)
        names.push_back(node->name);
    EXPECT_EQ(names, (std::vector<std::string>{"FIRST", "SECOND", "FIRST", "SECOND"}));
    EXPECT_EQ(list->next->attributes, 2);
    // A chain that loops is a bad image, and the list stays as it was.
    EXPECT_EQ(jtag.GetActionInfo(1, &name, nullptr, &list), kJbcBadImage);
    EXPECT_EQ(jtag.GetActionInfo(2, &name, nullptr, &list), kJbcBadImage);
    FreeProcedureList(list);

    char key[8], value[8];
    int32_t index = 0;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(jtag.GetNote(&index, key, value, 8), kJbcSuccess);
    EXPECT_EQ(jtag.GetNote(&index, key, value, 8), kJbcNotFound);
    EXPECT_EQ(index, 3);
    EXPECT_STREQ(value, "xxxxxxx");  // cut at the buffer, terminated
    EXPECT_EQ(jtag.GetNote(nullptr, const_cast<char*>("date"), value, 8), kJbcSuccess);
    EXPECT_STREQ(value, "today");
    EXPECT_EQ(jtag.GetNote(nullptr, const_cast<char*>("DATEX"), value, 8), kJbcNotFound);
    EXPECT_EQ(jtag.GetNote(nullptr, const_cast<char*>("DAT"), value, 8), kJbcNotFound);

    // A changed byte, a CRC offset at the end, a short image.
    image[60] ^= 1;
    EXPECT_EQ(jtag.CheckCrc(&stored, &computed), kJbcCrcMismatch);
    jtag.SetImage(image.data(), static_cast<int32_t>(image.size() - 2));
    stored = computed = 7;
    EXPECT_EQ(jtag.CheckCrc(&stored, &computed), kJbcBadImage);
    EXPECT_EQ(stored, 7);
    jtag.SetImage(image.data(), 52);
    EXPECT_EQ(jtag.GetFileInfo(&version, nullptr, nullptr), kJbcBadImage);

    const std::vector<uint8_t> format1 = Program1([](JbcAssembler& p) { p.Exit(0); });
    jtag.SetImage(format1.data(), static_cast<int32_t>(format1.size()));
    actions = procedures = -1;
    EXPECT_EQ(jtag.GetFileInfo(&version, &actions, &procedures), kJbcSuccess);
    EXPECT_EQ(std::make_tuple(version, actions, procedures), std::make_tuple(1, -1, -1));
    EXPECT_EQ(jtag.GetActionInfo(0, &name, nullptr, nullptr), kJbcBadImage);
}

TEST(JbcTextTest, Utilities) {
    char text[16];
    CAlteraJtagConfig::FormatDecimal(INT32_MIN, text);
    EXPECT_STREQ(text, "-2147483648");
    CAlteraJtagConfig::FormatDecimal(0, text);
    EXPECT_STREQ(text, "0");
    EXPECT_EQ(CAlteraJtagConfig::ParseDecimal("42x7"), 42u);
    EXPECT_EQ(CAlteraJtagConfig::ParseDecimal("x"), 0u);
    EXPECT_EQ(CAlteraJtagConfig::CompareNoCase("Verify", "VERIFY"), 0);
    EXPECT_LT(CAlteraJtagConfig::CompareNoCase("VER", "VERIFY"), 0);
    EXPECT_EQ(CAlteraJtagConfig::ToUpperAscii('{'), '{');
    char copy[4] = {'x', 'x', 'x', 'x'};
    CAlteraJtagConfig::CopyString(copy, "ab", 4);
    EXPECT_EQ(std::string(copy, 4), std::string("ab\0x", 4));
    EXPECT_EQ(CAlteraJtagConfig::StrLength("abc"), 3);
    uint8_t bytes[4];
    CAlteraJtagConfig::StoreLe32(bytes, 0x11223344);
    EXPECT_EQ(bytes[0], 0x44);
    EXPECT_EQ(CAlteraJtagConfig::LoadLe32(bytes), 0x11223344u);
}

// ---------------------------------------------------------------------------
// Decompressor.

TEST(JbcUncompressTest, BlocksRoundTripAndCorruptBlocksFail) {
    RecordingJtag jtag;
    uint8_t out[16];
    const uint8_t empty[] = {0, 0, 0, 0};
    EXPECT_EQ(jtag.Uncompress(empty, 4, out, 16, 1), 0u);

    // Length 4: literals 11 22 33, then 44 (the last two slots unread).
    BitWriter w;
    w.Put(4, 32);
    w.Put(0, 1);
    w.Put(0x11, 8);
    w.Put(0x22, 8);
    w.Put(0x33, 8);
    w.Put(0, 1);
    w.Put(0x44, 8);
    const auto& block = w.Bytes();
    ASSERT_EQ(jtag.Uncompress(block.data(), static_cast<uint32_t>(block.size()), out, 16, 1), 4u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44}));
    // Too small an output, and every truncation, give 0.
    EXPECT_EQ(jtag.Uncompress(block.data(), static_cast<uint32_t>(block.size()), out, 3, 1), 0u);
    for (uint32_t n = 0; n < block.size(); ++n)
        EXPECT_EQ(jtag.Uncompress(block.data(), n, out, 16, 1), 0u) << n;

    // Three literals X, then offset 1 and count 5: five more copies of X.
    BitWriter r;
    r.Put(8, 32);
    r.Put(0, 1);
    for (int i = 0; i < 3; ++i)
        r.Put(0x5A, 8);
    r.Put(1, 1);
    r.Put(1, 2);  // BitsNeeded(3) = 2
    r.Put(5, 8);
    ASSERT_EQ(
        jtag.Uncompress(r.Bytes().data(), static_cast<uint32_t>(r.Bytes().size()), out, 16, 1), 8u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), std::vector<uint8_t>(8, 0x5A));
    // A reference before the start of the output.
    BitWriter bad;
    bad.Put(6, 32);
    bad.Put(1, 1);
    bad.Put(1, 1);
    bad.Put(5, 8);
    EXPECT_EQ(
        jtag.Uncompress(bad.Bytes().data(), static_cast<uint32_t>(bad.Bytes().size()), out, 16, 1),
        0u);

    // Round trips across the window edge of both formats: repeats that lie
    // 8191 and 8192 bytes back.
    std::mt19937 random(11);
    std::vector<uint8_t> data(8192);
    for (auto& byte : data)
        byte = static_cast<uint8_t>(random());
    const std::vector<uint8_t> head(data.begin(), data.begin() + 600);
    data.insert(data.end(), head.begin(), head.end());
    data.insert(data.end(), 3000, 0x00);
    for (int format : {1, 2}) {
        const std::vector<uint8_t> compressed = Compress(data, format);
        EXPECT_LT(compressed.size(), data.size());
        std::vector<uint8_t> unpacked(data.size());
        ASSERT_EQ(
            jtag.Uncompress(compressed.data(), static_cast<uint32_t>(compressed.size()),
                            unpacked.data(), static_cast<uint32_t>(unpacked.size()), format - 1),
            data.size());
        EXPECT_EQ(unpacked, data) << format;
    }
    EXPECT_EQ(CAlteraJtagConfig::BitsNeeded(0), 1u);
    EXPECT_EQ(CAlteraJtagConfig::BitsNeeded(5), 3u);
    EXPECT_EQ(CAlteraJtagConfig::BitsNeeded(8192), 14u);
    EXPECT_EQ(CAlteraJtagConfig::BitsNeeded(8191), 13u);
}

// ---------------------------------------------------------------------------
// TAP layer.

// The image of a device run is the program file's buffer, freed when the
// run ends, refused or not; a new work area takes the JTAG buffers along.
TEST(JbcFileTest, NothingFreedIsReadOrWrittenAfterRunsAndNewWorkAreas) {
    JbcAssembler a(2);
    a.Label("p");
    a.Exit(0);
    a.Procedure("ONLY", 0, 0, "p");
    a.Action("PROGRAM", "", 0);
    a.Action("VERIFY", "", 0);
    a.Note("Device", "CPLD");
    std::vector<uint8_t> image = a.Build();
    std::vector<uint8_t> damaged = image;
    damaged[60] ^= 1;
    RecordingJtag jtag;
    for (auto op : {&CAlteraJtagConfig::ProgramDevice, &CAlteraJtagConfig::VerifyDevice,
                    &CAlteraJtagConfig::ReadDevice}) {
        for (std::vector<uint8_t>* data : {&image, &damaged}) {
            jtag.SetProgramData(data->data(), static_cast<int32_t>(data->size()));
            const bool runs = op != &CAlteraJtagConfig::ReadDevice && data == &image;
            EXPECT_EQ((jtag.*op)(), static_cast<uint32_t>(runs));
            int32_t version = 0, index = 0, exitCode = 0;
            uint32_t address = 0;
            char key[8], value[8];
            EXPECT_EQ(jtag.CheckCrc(nullptr, nullptr), kJbcBadImage);
            EXPECT_EQ(jtag.GetFileInfo(&version, nullptr, nullptr), kJbcBadImage);
            EXPECT_EQ(jtag.GetActionInfo(0, nullptr, nullptr, nullptr), kJbcBadImage);
            EXPECT_EQ(jtag.GetNote(&index, key, value, 8), kJbcBadImage);
            EXPECT_EQ(jtag.Execute(0, &address, &exitCode, &version), kJbcBadImage);
        }
    }
    // An image the caller sets stays where the caller put it.
    jtag.SetImage(image.data(), static_cast<int32_t>(image.size()));
    EXPECT_EQ(jtag.CheckCrc(nullptr, nullptr), kJbcSuccess);

    RecordingJtag fixed;
    ASSERT_TRUE(fixed.AllocateWorkArea(640));
    fixed.InitJtag();
    ASSERT_EQ(fixed.SetDrPostamble(1024, 0, nullptr), kJbcSuccess);
    ASSERT_TRUE(fixed.AllocateWorkArea(700));
    ASSERT_EQ(fixed.SetDrPreamble(2, 0, nullptr), kJbcSuccess);
    const uint8_t bits = 0xA5;
    ASSERT_EQ(fixed.DrScan(8, &bits, 0), kJbcSuccess);
    const std::vector<uint32_t> tdi = fixed.TdiOf(0, fixed.clocks.size());
    const std::vector<uint32_t> shifted = {1, 1, 1, 0, 1, 0, 0, 1, 0, 1};
    EXPECT_NE(std::search(tdi.begin(), tdi.end(), shifted.begin(), shifted.end()), tdi.end());
    // To idle 7, to Shift-DR 3, the bits 10, to idle 4: no postamble left.
    EXPECT_EQ(fixed.clocks.size(), 7u + 3u + 10u + 4u);
}

TEST(JtagLayerTest, WalksScansAndLimits) {
    RecordingJtag jtag;
    jtag.InitJtag();
    EXPECT_EQ(jtag.GotoJtagState(kTapIdle), kJbcSuccess);
    EXPECT_EQ(jtag.TmsOf(), (std::vector<uint32_t>{1, 1, 1, 1, 1, 0, 0}));
    jtag.clocks.clear();
    EXPECT_EQ(jtag.GotoJtagState(kTapShiftDr), kJbcSuccess);
    EXPECT_EQ(jtag.TmsOf(), (std::vector<uint32_t>{1, 0, 0}));
    jtag.clocks.clear();
    EXPECT_EQ(jtag.GotoJtagState(kTapShiftIr), kJbcSuccess);
    EXPECT_EQ(jtag.TmsOf(), (std::vector<uint32_t>{1, 1, 1, 1, 0, 0}));
    // A negative stop state from the byte code: never reached, 9 clocks.
    jtag.clocks.clear();
    EXPECT_EQ(jtag.GotoJtagState(-3), kJbcStateNotReached);
    EXPECT_EQ(jtag.clocks.size(), 9u);

    // An 8-bit DR scan with a 2-bit preamble and a 1-bit postamble.
    RecordingJtag scan;
    scan.InitJtag();
    scan.GotoJtagState(kTapIdle);
    ASSERT_EQ(scan.SetDrPreamble(2, 0, nullptr), kJbcSuccess);
    ASSERT_EQ(scan.SetDrPostamble(1, 0, nullptr), kJbcSuccess);
    scan.clocks.clear();
    const uint8_t value = 0xA5;
    ASSERT_EQ(scan.DrScan(8, &value, 0), kJbcSuccess);
    EXPECT_EQ(scan.TmsOf(),
              (std::vector<uint32_t>{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 1, 0}));
    EXPECT_EQ(scan.TdiOf(3, 11), (std::vector<uint32_t>{1, 1, 1, 0, 1, 0, 0, 1, 0, 1, 1}));
    EXPECT_EQ(scan.GetTapState(), kTapIdle);
    // A scan of nothing at all is refused without a clock.
    ASSERT_EQ(scan.SetDrPreamble(0, 0, nullptr), kJbcSuccess);
    ASSERT_EQ(scan.SetDrPostamble(0, 0, nullptr), kJbcSuccess);
    scan.clocks.clear();
    EXPECT_EQ(scan.DrScan(0, &value, 0), kJbcBoundsError);
    EXPECT_TRUE(scan.clocks.empty());

    // Wait in Test-Logic-Reset from Run-Test/Idle.
    scan.clocks.clear();
    EXPECT_EQ(scan.WaitCycles(3, kTapReset), kJbcSuccess);
    EXPECT_EQ(scan.TmsOf(), (std::vector<uint32_t>{1, 1, 1, 1, 1, 1}));

    // Work area: at least 640 bytes; fixed limits.
    RecordingJtag fixed;
    EXPECT_FALSE(fixed.AllocateWorkArea(0));
    EXPECT_FALSE(fixed.AllocateWorkArea(639));
    ASSERT_TRUE(fixed.AllocateWorkArea(640));
    fixed.InitJtag();
    EXPECT_EQ(fixed.SetDrPreamble(1025, 0, nullptr), kJbcOutOfMemory);
    EXPECT_EQ(fixed.SetDrPreamble(1024, 0, nullptr), kJbcSuccess);
    EXPECT_EQ(fixed.SetDrPostamble(1024, 0, nullptr), kJbcSuccess);
    EXPECT_EQ(fixed.DrScan(1, &value, 0), kJbcOutOfMemory);  // 2049 bits
    fixed.FreeJtagBuffers(0);
}

// ---------------------------------------------------------------------------
// Core instructions.

TEST(JbcPlayerTest, CoreInstructions) {
    RecordingJtag jtag;
    auto exitOf = [&](auto build) { return RunImage(jtag, Program1(build)); };

    auto r = exitOf([](JbcAssembler& p) {
        p.Push(5);
        p.Push(3);
        p.Op(0x04);
        p.Op(0x25);
    });
    EXPECT_EQ(r.status, kJbcSuccess);
    EXPECT_EQ(r.exitCode, 2);

    // Call and Return; ShiftRight keeps the sign; CompareMasked on 4 bits.
    r = exitOf([](JbcAssembler& p) {
        p.OpTo(0x43, "sub");
        p.Push(4);     // count
        p.Push(0xFF);  // mask
        p.Push(0x03);  // y
        p.Push(0x13);  // x
        p.Op(0x12);
        p.Op(0x03);  // + result of sub
        p.Op(0x25);
        p.Label("sub");
        p.Push(-8);
        p.Push(1);
        p.Op(0x09);  // -4
        p.Op(0x02);  // return address on top
        p.Op(0x11);
    });
    EXPECT_EQ(r.status, kJbcSuccess);
    EXPECT_EQ(r.exitCode, -3);

    // Divide by zero and INT_MIN / -1 are bounds errors, not crashes.
    for (int32_t divisor : {0, -1}) {
        r = exitOf([divisor](JbcAssembler& p) {
            p.Push(INT32_MIN);
            p.Push(divisor);
            p.Op(0x07);
            p.Op(0x25);
        });
        EXPECT_EQ(r.status, kJbcBoundsError);
        EXPECT_EQ(r.errorAddress, 10u);
    }
    // Jump to the end of the code: 11 at the jump's own address.
    r = exitOf([](JbcAssembler& p) {
        p.Op(0x00);
        p.OpTo(0x42, "end");
        p.Label("end");
    });
    EXPECT_EQ(r.status, kJbcBoundsError);
    EXPECT_EQ(r.errorAddress, 1u);
    // Stack faults and illegal opcodes.
    EXPECT_EQ(exitOf([](JbcAssembler& p) { p.Op(0x27); }).status, kJbcStackError);
    r = exitOf([](JbcAssembler& p) {
        for (int i = 0; i < 128; ++i)
            p.Push(i);
    });
    EXPECT_EQ(r.status, kJbcStackError);
    EXPECT_EQ(r.errorAddress, 127u * 5);
    EXPECT_EQ(exitOf([](JbcAssembler& p) { p.Op(0x46, 0); }).status, kJbcIllegalOpcode);
    // Running off the end of the code.
    EXPECT_EQ(exitOf([](JbcAssembler& p) { p.Op(0x00); }).status, kJbcBoundsError);
    // Array sizes that 32 bits would wrap to a short buffer are refused.
    for (int32_t size : {0x40000001, INT32_MAX}) {
        r = exitOf([size](JbcAssembler& p) {
            const uint32_t v = p.IntArray("V", 1);
            p.Push(size);
            p.Op(0x5A, v);
            p.Push(0x3FFFFFFF);
            p.Op(0x58, v);
            p.Op(0x25);
        });
        EXPECT_EQ(r.status, kJbcOutOfMemory);
    }
    r = exitOf([](JbcAssembler& p) {
        const uint32_t v = p.RawSymbol(kIntArray, "BIG", 0, 0x40000001);
        p.Push(0);
        p.Op(0x58, v);
        p.Op(0x25);
    });
    EXPECT_EQ(r.status, kJbcOutOfMemory);
}

TEST(JbcPlayerTest, ProceduresInitListAndActions) {
    JbcAssembler a(2);
    const uint32_t count = a.Scalar("COUNT", 0);
    for (const char* label : {"one", "two", "three"}) {
        a.Label(label);
        a.Op(0x41, count);
        a.Push(label[1] == 'n' ? 1 : label[1] == 'w' ? 10 : 100);
        a.Op(0x03);
        a.Op(0x4D, count);
        a.Op(0x11);
    }
    a.Label("report");
    a.Op(0x41, count);
    a.Op(0x25);
    a.Procedure("P_ONE", 1, 0, "one");
    a.Procedure("P_OPTIONAL", 2, 1, "two");
    a.Procedure("P_DEFAULT", 3, 2, "three");
    a.Procedure("P_REPORT", 0, 0, "report");
    a.Procedure("P_LAST", 0, 0, "one");
    a.Procedure("P_SPIN", 5, 1, "one");  // skipped, and its own successor
    a.Action("RUN", "", 0);
    a.Action("ONLY_LAST", "", 4);
    a.Action("SPIN", "", 5);
    const std::vector<uint8_t> image = a.Build();

    RecordingJtag jtag;
    EXPECT_EQ(RunImage(jtag, image, "run").exitCode, 101);
    const char* const enable[] = {"p_optional=1", "P_DEFAULT=0", nullptr};
    EXPECT_EQ(RunImage(jtag, image, "RUN", enable).exitCode, 11);
    // An action ending by returning from its last procedure exits with 0.
    RunResult r = RunImage(jtag, image, "ONLY_LAST");
    EXPECT_EQ(r.status, kJbcSuccess);
    EXPECT_EQ(r.exitCode, 0);
    // A skip walk around a looping chain ends as a bad image.
    EXPECT_EQ(RunImage(jtag, image, "SPIN").status, kJbcBadImage);
    EXPECT_EQ(RunImage(jtag, image, "MISSING").status, kJbcActionNotFound);
    EXPECT_EQ(RunImage(jtag, image, nullptr).status, kJbcActionNotFound);
}

// ---------------------------------------------------------------------------
// JTAG and array instructions.

TEST(JbcPlayerTest, JtagAndArrayInstructions) {
    // DrScanValue 0xA5 sends bit 0 first; DrScanValueCapture keeps the
    // value's high bits over captured zeros.
    RecordingJtag jtag;
    RunResult r = RunImage(jtag, Program1([](JbcAssembler& p) {
                               p.Op(0x47, kTapIdle);
                               p.Push(8);
                               p.Push(0xA5);
                               p.Op(0x15);
                               p.Push(4);
                               p.Push(0xF0);
                               p.Op(0x16);
                               p.Op(0x25);
                           }));
    EXPECT_EQ(r.status, kJbcSuccess);
    EXPECT_EQ(r.exitCode, 0xF0);
    EXPECT_EQ(jtag.TdiOf(10, 8), (std::vector<uint32_t>{1, 0, 1, 0, 0, 1, 0, 1}));
    // Value scans, preambles and postambles of 0 bits (a scan shifts the
    // preamble bit set before it); a capture of none keeps its value whole.
    for (const uint8_t opcode : {0x15, 0x16, 0x17, 0x18, 0x1D, 0x1F, 0x21, 0x23}) {
        const bool amble = opcode >= 0x1D;  // its count above its value
        r = RunImage(jtag, Program1([opcode, amble](JbcAssembler& p) {
                         p.Op(0x47, kTapIdle);
                         p.Push(1);
                         p.Op(0x1C);
                         p.Push(1);
                         p.Op(0x20);
                         p.Push(0xF0);
                         p.Push(amble ? 0xF0 : 0);
                         p.Push(amble ? 0 : 0xF0);
                         p.Op(opcode);
                         p.Op(0x25);
                     }));
        EXPECT_EQ(r.status, kJbcSuccess) << int{opcode};
        EXPECT_EQ(r.exitCode, 0xF0) << int{opcode};
    }

    // Format 2 arrays: a reversed scan, a reversed copy, resizes, kinds.
    JbcAssembler a(2);
    const uint32_t source = a.BoolPacked("SRC", {0x01, 0x00}, 16);
    const uint32_t target = a.BoolArray("DST", 8);
    const uint32_t packed = a.BoolCompressed("CMP", {0xAA, 0x55});
    const uint32_t ints = a.IntArray("INTS", 2);
    a.Label("main");
    a.Op(0x47, kTapIdle);
    // DrScanArray SRC with a = 7, b = 0, count 8.
    a.Push(8);
    a.Push(0);
    a.Push(7);
    a.Op(0x51, source);
    // CopyBits SRC[0..3] into DST[7..4].
    a.Push(4);
    a.Push(7);
    a.Push(3);
    a.Push(0);
    a.Op(0x80, source, target);
    // Read DST[7..0] as a number: bit 7 set only.
    a.Push(0);
    a.Push(7);
    a.Op(0x59, target);
    // Resize INTS larger: all zero.
    a.Push(5);
    a.Op(0x5A, ints);
    a.Push(4);
    a.Op(0x58, ints);
    a.Op(0x03);
    a.Op(0x25);
    a.Label("too_wide");
    a.Push(0);
    a.Push(32);
    a.Op(0x59, source);
    a.Label("write_compressed");
    a.Push(1);
    a.Push(0);
    a.Push(0);
    a.Op(0x4F, packed);
    a.Label("short_wait");
    a.Push(0);
    a.Push(1);
    a.Op(0x84, kTapIdle, kTapIdle);
    a.Label("reversed_mismatch");
    a.Push(4);
    a.Push(0);
    a.Push(0);
    a.Push(3);
    a.Op(0x80, source, target);
    a.Label("empty_scans");
    a.Push(1);
    a.Op(0x1C);
    // DrScanArray of count 0 both ways round, and a capture of none.
    for (const int32_t first : {0, 7}) {
        a.Push(0);
        a.Push(7 - first);
        a.Push(first);
        a.Op(0x51, source);
    }
    for (int i = 0; i < 5; ++i)
        a.Push(0);
    a.Op(0x82, source, target);
    a.Exit(0);
    a.Procedure("MAIN", 0, 0, "main");
    a.Procedure("WIDE", 0, 0, "too_wide");
    a.Procedure("WRITE", 0, 0, "write_compressed");
    a.Procedure("WAIT", 0, 0, "short_wait");
    a.Procedure("MISMATCH", 0, 0, "reversed_mismatch");
    a.Procedure("EMPTY", 0, 0, "empty_scans");
    a.Action("MAIN", "", 0);
    a.Action("WIDE", "", 1);
    a.Action("WRITE", "", 2);
    a.Action("WAIT", "", 3);
    a.Action("MISMATCH", "", 4);
    a.Action("EMPTY", "", 5);
    const std::vector<uint8_t> image = a.Build();

    RecordingJtag arrays;
    r = RunImage(arrays, image, "MAIN");
    EXPECT_EQ(r.status, kJbcSuccess);
    EXPECT_EQ(r.exitCode, 0x80);
    // Seven 0 bits, then the 1 of bit 0.
    EXPECT_EQ(arrays.TdiOf(10, 8), (std::vector<uint32_t>{0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(RunImage(arrays, image, "WIDE").status, kJbcBoundsError);
    EXPECT_EQ(RunImage(arrays, image, "WRITE").status, kJbcBoundsError);
    EXPECT_EQ(RunImage(arrays, image, "WAIT").status, kJbcStackError);
    EXPECT_EQ(RunImage(arrays, image, "MISMATCH").status, kJbcBoundsError);
    EXPECT_EQ(RunImage(arrays, image, "EMPTY").status, kJbcSuccess);
}

// ---------------------------------------------------------------------------
// Damaged images.

std::vector<uint8_t> Corpus(int index) {
    if (index == 0) {
        JbcAssembler a(2);
        const uint32_t data = a.BoolCompressed("D", std::vector<uint8_t>(64, 0x3C));
        const uint32_t scratch = a.BoolArray("S", 64);
        const uint32_t i = a.Scalar("I", 0);
        a.Label("main");
        a.Push(0);
        a.Op(0x1C);
        a.Push(0);
        a.Op(0x1E);
        a.PushLabel("loop");
        a.Push(7);
        a.Push(1);
        a.Label("loop");
        a.Push(8);
        a.Op(0x41, i);
        a.Push(8);
        a.Op(0x05);
        a.Push(7);
        a.Op(0x03);
        a.Op(0x41, i);
        a.Push(8);
        a.Op(0x05);
        a.Op(0x51, data);
        a.Op(0x44, i);
        a.Push(0);
        a.Push(31);
        a.Op(0x59, data);
        a.Op(0x4D, i);
        a.Push(8);
        a.Push(0);
        a.Push(7);
        a.Push(0);
        a.Op(0x80, data, scratch);
        a.Op(0x11);
        a.Procedure("MAIN", 0, 0, "main");
        a.Action("PROGRAM", "", 0);
        a.Note("K", "V");
        return a.Build();
    }
    return Program1([](JbcAssembler& p) {
        const uint32_t v = p.IntData("T", {1, 2, 3});
        p.Push(2);
        p.Op(0x58, v);
        p.Push(3);
        p.Op(0x06);
        p.Push(16);
        p.Push(0x1234);
        p.Op(0x17);
        p.Op(0x25);
    });
}

// Rounds of random damage. The sanitizers' build runs each round several
// times slower; its rounds are the plain build's first fifth (the same two
// images, the same kinds of damage), so that the plain build looks for the
// damage that misleads the player and the sanitizers check the memory use of
// tens of thousands of damaged runs, beside every truncation.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint32_t kDamageRounds = 20000;
#else
constexpr uint32_t kDamageRounds = 100000;
#endif

TEST(JbcDamageTest, TruncatedAndMutatedImagesFailCleanly) {
    const std::vector<int32_t> allowed = {kJbcSuccess,         kJbcOutOfMemory,   kJbcBadImage,
                                          kJbcStateNotReached, kJbcBoundsError,   kJbcStackError,
                                          kJbcIllegalOpcode,   kJbcActionNotFound};
    auto check = [&](const std::vector<uint8_t>& image, uint32_t seed) {
        RecordingJtag jtag;
        jtag.SetInstructionBudget(20000);
        const RunResult r = RunImage(jtag, image, "PROGRAM");
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), r.status), allowed.end()) << seed;
        uint16_t stored, computed;
        jtag.CheckCrc(&stored, &computed);
        int32_t version, actions, procedures;
        jtag.GetFileInfo(&version, &actions, &procedures);
        JBC_PROCEDURE_NODE* list = nullptr;
        jtag.GetActionInfo(0, nullptr, nullptr, &list);
        FreeProcedureList(list);
        int32_t index = 0;
        char key[16], value[16];
        while (jtag.GetNote(&index, key, value, 16) == kJbcSuccess) {
        }
    };
    // Assembled once: each round damages a copy.
    const std::vector<uint8_t> corpus[2] = {Corpus(0), Corpus(1)};
    for (const std::vector<uint8_t>& image : corpus) {
        ASSERT_EQ(RunImage(*std::make_unique<RecordingJtag>(), image, "PROGRAM").status,
                  kJbcSuccess);
        for (size_t n = 1; n < image.size(); ++n) {
            std::vector<uint8_t> truncated(image.begin(), image.begin() + n);
            check(truncated, static_cast<uint32_t>(n));
        }
    }
    std::mt19937 random(2026);
    for (uint32_t run = 0; run < kDamageRounds; ++run) {
        std::vector<uint8_t> image = corpus[run % 2];
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int f = 0; f < flips; ++f) {
            const size_t at = random() % image.size();
            image[at] = random() % 3 == 0
                            ? static_cast<uint8_t>(random())
                            : static_cast<uint8_t>(image[at] ^ (1u << (random() % 8)));
        }
        check(image, run);
    }
}

}  // namespace
}  // namespace velmora::jbctest
