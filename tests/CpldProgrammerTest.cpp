// The CPLD programmer on the simulated card: assembled byte-code images run
// through the card's own programmer on a three-TAP chain, and the cable path.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "CardTestSupport.h"
#include "JbcAssembler.h"
#include "card/LogFile.h"
#include "program/ByteBlaster.h"
#include "program/OstrevoCpldConfig.h"
#include "sim/SimByteBlaster.h"
#include "sim/SimProgControl.h"
#include "sim/SimProgramming.h"

namespace velmora::cardtest {
namespace {

using jbctest::JbcAssembler;
using sim::SimProgramming;

constexpr uint32_t kTap0Id = 0x01234567;
constexpr uint32_t kTap2Id = 0x0ABCDEF1;

void IrScan(JbcAssembler& a, uint32_t instruction) {
    a.Push(10);
    a.Push(static_cast<int32_t>(instruction));
    a.Op(0x17);
}

void Wait(JbcAssembler& a, int32_t cycles) {
    a.Push(0);
    a.Push(0);
    a.Push(0);
    a.Push(cycles);
    a.Op(0x84, 1, 1);
}

// Row loop over R = 0..rows-1 around `body`.
template <typename F>
void RowLoop(JbcAssembler& a, uint32_t row, int32_t rows, const std::string& label, F body) {
    a.Push(0);
    a.Op(0x4D, row);
    a.PushLabel(label);
    a.Push(rows - 1);
    a.Push(1);
    a.Label(label);
    IrScan(a, SimProgramming::kCpldRowAddress);
    a.Push(8);
    a.Op(0x41, row);
    a.Op(0x15);
    body();
    a.Op(0x44, row);
}

// Pushes 64R + offset.
void RowBit(JbcAssembler& a, uint32_t row, int32_t offset) {
    a.Op(0x41, row);
    a.Push(64);
    a.Op(0x05);
    a.Push(offset);
    a.Op(0x03);
}

// READ checks the three IDCODEs; PROGRAM erases, programs and verifies;
// VERIFY verifies; both go over the first `rows` rows. Every row takes the
// same steps, some two hundred line writes a clock: a run that is about
// something else than the whole array goes over fewer.
std::vector<uint8_t> CpldImage(const std::vector<uint8_t>& data, int32_t eraseClocks,
                               int32_t rows = sim::SimProgState::kCpldRows) {
    JbcAssembler a(2);
    const uint32_t array = a.BoolCompressed("DATA", data);
    const uint32_t zeros = a.BoolArray("ZEROS", 96);
    const uint32_t captured = a.BoolArray("CAPTURED", 96);
    const uint32_t mask = a.BoolPacked("MASK", std::vector<uint8_t>(8, 0xFF), 64);
    const uint32_t row = a.Scalar("ROW", 0);

    a.Label("read");
    a.Op(0x47, 0);
    a.Push(96);
    a.Push(95);
    a.Push(0);
    a.Push(95);
    a.Push(0);
    a.Op(0x82, zeros, captured);
    const uint32_t ids[3] = {kTap2Id, SimProgramming::kCpldIdcode, kTap0Id};
    for (int j = 0; j < 3; ++j) {
        a.Push(32 * j);
        a.Push(32 * j + 31);
        a.Op(0x59, captured);
        a.Push(static_cast<int32_t>(ids[j]));
        a.Op(0x26);
        a.OpTo(0x50, "fail");
    }
    a.Exit(0);

    a.Label("init");
    a.Push(8);
    a.Op(0x20);
    a.Push(4);
    a.Op(0x22);
    a.Push(1);
    a.Op(0x1C);
    a.Push(1);
    a.Op(0x1E);
    IrScan(a, SimProgramming::kIdcodeInstruction);
    a.Push(32);
    a.Push(0);
    a.Op(0x16);
    a.Push(static_cast<int32_t>(SimProgramming::kCpldIdcode));
    a.Op(0x26);
    a.OpTo(0x50, "bad_id");
    IrScan(a, SimProgramming::kCpldEnable);
    a.Op(0x11);

    a.Label("erase");
    IrScan(a, SimProgramming::kCpldBulkErase);
    Wait(a, eraseClocks);
    a.Op(0x11);

    a.Label("program");
    RowLoop(a, row, rows, "program_row", [&] {
        IrScan(a, SimProgramming::kCpldProgramRow);
        a.Push(64);
        RowBit(a, row, 63);
        RowBit(a, row, 0);
        a.Op(0x51, array);
        Wait(a, static_cast<int32_t>(SimProgramming::kCpldProgramClocks));
    });
    a.Op(0x11);

    a.Label("verify");
    RowLoop(a, row, rows, "verify_row", [&] {
        IrScan(a, SimProgramming::kCpldReadRow);
        a.Push(64);
        a.Push(63);
        a.Push(0);
        a.Push(63);
        a.Push(0);
        a.Op(0x82, zeros, captured);
        a.Push(63);
        a.Push(0);
        a.Push(63);
        a.Push(0);
        RowBit(a, row, 63);
        RowBit(a, row, 0);
        a.Op(0xC0, array, captured, mask);
        a.OpTo(0x50, "fail");
    });
    a.Op(0x11);

    a.Label("done");
    IrScan(a, SimProgramming::kCpldDisable);
    a.Op(0x11);
    a.Label("fail");
    a.Exit(1);
    a.Label("bad_id");
    a.Exit(2);

    a.Procedure("INIT", 1, 0, "init");          // 0
    a.Procedure("ERASE", 2, 0, "erase");        // 1
    a.Procedure("PROGRAM", 3, 0, "program");    // 2
    a.Procedure("VERIFY", 4, 0, "verify");      // 3
    a.Procedure("DONE", 0, 0, "done");          // 4
    a.Procedure("INIT", 6, 0, "init");          // 5
    a.Procedure("VERIFY", 7, 0, "verify");      // 6
    a.Procedure("DONE", 0, 0, "done");          // 7
    a.Procedure("READ_IDCODES", 0, 0, "read");  // 8
    a.Action("PROGRAM", "erase, program and verify", 0);
    a.Action("VERIFY", "verify", 5);
    a.Action("READ", "read the IDCODEs", 8);
    return a.Build();
}

std::vector<uint8_t> ArrayData(uint32_t seed) {
    std::vector<uint8_t> data(sim::SimProgState::kCpldBytes);
    uint32_t x = seed;
    for (size_t i = 0; i < data.size(); ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = i % 64 < 32 ? static_cast<uint8_t>(i / 64) : static_cast<uint8_t>(x >> 16);
    }
    return data;
}

class CpldProgrammerTest : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
        cpld = Card(0)->GetCpldConfig();
        ASSERT_TRUE(sim::SetJtagChain(
            0,
            {{4, kTap0Id, false}, {10, SimProgramming::kCpldIdcode, true}, {8, kTap2Id, false}}));
    }
    uint32_t RunWith(const std::vector<uint8_t>& image,
                     uint32_t (program::CAlteraJtagConfig::*op)()) {
        m_image = image;
        cpld->SetProgramData(m_image.data(), static_cast<int32_t>(m_image.size()));
        return (cpld->*op)();
    }

    program::COstrevoCpldConfig* cpld = nullptr;
    std::vector<uint8_t> m_image;
};

TEST_F(CpldProgrammerTest, ReadProgramAndVerifyOnAThreeTapChain) {
    using program::CAlteraJtagConfig;
    const std::vector<uint8_t> data = ArrayData(1);
    ASSERT_TRUE(sim::LoadCpldArray(0, std::vector<uint8_t>(512, 0x00)));

    EXPECT_EQ(RunWith(CpldImage(data, 400), &CAlteraJtagConfig::ReadDevice), 1u);
    EXPECT_EQ(RunWith(CpldImage(data, 400), &CAlteraJtagConfig::ProgramDevice), 1u);
    EXPECT_EQ(sim::CpldArray(0), data);
    EXPECT_EQ(RunWith(CpldImage(data, 400), &CAlteraJtagConfig::VerifyDevice), 1u);

    // Other data does not verify.
    EXPECT_EQ(RunWith(CpldImage(ArrayData(2), 400), &CAlteraJtagConfig::VerifyDevice), 0u);
    EXPECT_NE(LogText().find("jtag VERIFY : status 0, error address"), std::string::npos);
    EXPECT_NE(LogText().find("exit code 1"), std::string::npos);

    // One clock short of the erase: the array is not erased, so the
    // programmed rows do not verify (other data differs from row 4 on).
    EXPECT_EQ(RunWith(CpldImage(ArrayData(3), 399, 8), &CAlteraJtagConfig::ProgramDevice), 0u);
    EXPECT_EQ(sim::CpldArray(0).value()[40] & data[40], sim::CpldArray(0).value()[40]);

    // A wrong IDCODE.
    ASSERT_TRUE(sim::SetJtagChain(0, {{4, kTap0Id, false},
                                      {10, SimProgramming::kCpldIdcode ^ 0x100, true},
                                      {8, kTap2Id, false}}));
    EXPECT_EQ(RunWith(CpldImage(data, 400), &CAlteraJtagConfig::ReadDevice), 0u);
    EXPECT_EQ(RunWith(CpldImage(data, 400), &CAlteraJtagConfig::ProgramDevice), 0u);

    // The card works on after every run.
    EXPECT_EQ(Card(0)->GetBoardSupport()->TestScratchRegister(), 1u);

    // The array keeps its contents with every card let go.
    const auto kept = sim::CpldArray(0);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    sim::ReleaseCards();
    EXPECT_EQ(sim::CpldArray(0), kept);
}

// The TMS level at every rising edge of TCK in a stretch of line words.
std::vector<uint32_t> TmsAtRisingEdges(const std::vector<uint32_t>& words, uint32_t before) {
    std::vector<uint32_t> tms;
    for (uint32_t word : words) {
        if ((word & 0x400) && !(before & 0x400)) tms.push_back((word >> 12) & 1);
        before = word;
    }
    return tms;
}

TEST_F(CpldProgrammerTest, LinesFormat1InitListAndRefusals) {
    // Lines: nothing is written before entering; the wake-up toggles.
    EXPECT_EQ(cpld->SetTck(1), 0u);
    EXPECT_EQ(cpld->SetTck(0), 0u);
    ASSERT_TRUE(sim::ClearProgrammingLineLog(0));
    ASSERT_EQ(cpld->EnterProgrammingMode(), 1u);
    const std::vector<uint32_t> wake = sim::ProgrammingLineLog(0);
    ASSERT_EQ(wake.size(), 21u);
    EXPECT_EQ(std::vector<uint32_t>(wake.begin(), wake.begin() + 3),
              (std::vector<uint32_t>{0x13AC, 0x17AC, 0x13AC}));
    EXPECT_EQ(wake.back(), 0x13ACu);
    ASSERT_TRUE(sim::ClearProgrammingLineLog(0));
    EXPECT_EQ(cpld->SetTck(1), 1u);
    EXPECT_EQ(cpld->SetTck(2), 0u);
    EXPECT_EQ(cpld->GetLineWord(), 0x17ACu);
    EXPECT_EQ(sim::ProgrammingLineLog(0), std::vector<uint32_t>{0x17AC});
    cpld->SetTck(0);

    // From an undetermined state to Run-Test/Idle: reset, then one more.
    ASSERT_TRUE(sim::ClearProgrammingLineLog(0));
    cpld->InitJtag();
    EXPECT_EQ(cpld->GotoJtagState(program::kTapIdle), 0);
    const std::vector<uint32_t> words = sim::ProgrammingLineLog(0);
    EXPECT_EQ(words.size(), 7u * 200);
    EXPECT_EQ(TmsAtRisingEdges(words, 0x13AC), (std::vector<uint32_t>{1, 1, 1, 1, 1, 0, 0}));
    EXPECT_EQ(cpld->LeaveProgrammingMode(), 1u);

    // A format-1 image runs from the start of its code; the init list
    // chooses what it does.
    JbcAssembler a(1);
    const uint32_t read = a.Scalar("DO_READ", 0);
    a.Op(0x41, read);
    a.OpTo(0x50, "skip");
    a.Op(0x47, 0);
    IrScan(a, 0x3FF);  // ignored framing: the value forms scan 10 bits
    a.Exit(0);
    a.Label("skip");
    a.Exit(5);
    const std::vector<uint8_t> format1 = a.Build();
    const char* const doRead[] = {"do_read=1", nullptr};
    cpld->SetInitList(doRead);
    EXPECT_EQ(RunWith(format1, &program::CAlteraJtagConfig::VerifyDevice), 1u);
    cpld->SetInitList(nullptr);
    EXPECT_EQ(RunWith(format1, &program::CAlteraJtagConfig::VerifyDevice), 0u);
    EXPECT_NE(LogText().find("exit code 5"), std::string::npos);

    // Refusals before entering: no image, an empty one, a damaged one.
    ASSERT_TRUE(sim::ClearProgrammingLineLog(0));
    cpld->SetProgramFileName(L"/nonexistent/cpld.jbc");
    EXPECT_EQ(cpld->ProgramDevice(), 0u);
    EXPECT_EQ(RunWith({}, &program::CAlteraJtagConfig::ReadDevice), 0u);
    // A damaged image runs no action at all.
    std::vector<uint8_t> damaged = CpldImage(ArrayData(1), 400);
    damaged[100] ^= 0x10;
    using Operation = uint32_t (program::CAlteraJtagConfig::*)();
    const std::pair<std::string, Operation> operations[] = {
        {"PROGRAM", &program::CAlteraJtagConfig::ProgramDevice},
        {"READ", &program::CAlteraJtagConfig::ReadDevice},
        {"VERIFY", &program::CAlteraJtagConfig::VerifyDevice}};
    for (const auto& [action, op] : operations) {
        EXPECT_EQ(RunWith(damaged, op), 0u) << action;
        EXPECT_NE(LogText().find("jtag " + action + " : image refused, CRC check status 9"),
                  std::string::npos);
    }
    EXPECT_TRUE(sim::ProgrammingLineLog(0).empty());

    // Every truncation and a wrong signature: 0, nothing programmed.
    const std::vector<uint8_t> image = CpldImage(ArrayData(1), 400);
    for (size_t n : {size_t{1}, size_t{52}, size_t{53}, image.size() / 2}) {
        EXPECT_EQ(RunWith(std::vector<uint8_t>(image.begin(), image.begin() + n),
                          &program::CAlteraJtagConfig::ReadDevice),
                  0u);
    }
    EXPECT_EQ(RunWith(std::vector<uint8_t>(image.begin(), image.end() - 1),
                      &program::CAlteraJtagConfig::ProgramDevice),
              0u);
    std::vector<uint8_t> unsigned_ = image;
    unsigned_[2] = 'X';
    EXPECT_EQ(RunWith(unsigned_, &program::CAlteraJtagConfig::ReadDevice), 0u);
    EXPECT_EQ(Card(0)->GetBoardSupport()->TestScratchRegister(), 1u);
}

TEST_F(CpldProgrammerTest, ByteBlasterCable) {
    using program::CAlteraJtagConfig;
    const std::vector<uint8_t> image = CpldImage(ArrayData(4), 400);
    EXPECT_EQ(program::ByteBlasterDeviceName(), "\\\\.\\ALTLPT1");

    // No cable driver: refused before entering, the process carries on.
    sim::AttachByteBlasterCable(false);
    ASSERT_TRUE(sim::ClearProgrammingLineLog(0));
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunWith(image, &CAlteraJtagConfig::ProgramViaByteBlaster), 0u);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot open device \\\\.\\ALTLPT1"),
              std::string::npos);
    EXPECT_TRUE(sim::ProgrammingLineLog(0).empty());

    sim::AttachByteBlasterCable(true);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunWith(image, &CAlteraJtagConfig::ProgramViaByteBlaster), 1u);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Result : 0"), std::string::npos);
    EXPECT_EQ(sim::CpldArray(0), ArrayData(4));
    const auto requests = sim::ByteBlasterRequests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests.front().code, program::kByteBlasterGetVersion);
    EXPECT_EQ(requests[1].code, program::kByteBlasterWritePort);
    EXPECT_EQ(requests[1].input, (std::vector<uint8_t>{2, 0, 0, 0, 0x0C, 0, 0, 0}));
    EXPECT_EQ(requests.back().input, (std::vector<uint8_t>{2, 0, 0, 0, 0x0E, 0, 0, 0}));

    // Version 3: the second compatibility message, closed.
    sim::SetByteBlasterVersion(3);
    testing::internal::CaptureStderr();
    EXPECT_EQ(program::OpenByteBlaster(), 0u);
    EXPECT_NE(
        testing::internal::GetCapturedStderr().find("(Driver version is 3, expected version 2."),
        std::string::npos);
    sim::SetByteBlasterVersion(2);

    // A write to register 0 is one buffered request of one entry.
    ASSERT_EQ(program::OpenByteBlaster(), 1u);
    sim::AttachByteBlasterCable(true);
    EXPECT_EQ(program::WriteByteBlasterPort(0, 0x5A), 1u);
    EXPECT_EQ(sim::ByteBlasterRequests().back().code, program::kByteBlasterWriteBuffered);
    EXPECT_EQ(sim::ByteBlasterRequests().back().input, (std::vector<uint8_t>{0x82, 0x0A, 0x5A, 0}));
    uint8_t value = 0;
    EXPECT_EQ(program::ReadByteBlasterPort(0, &value), 1u);
    EXPECT_EQ(value, 0x5A);
    // A failing request is reported and closes the device; no exit.
    sim::SetByteBlasterFailure(program::kByteBlasterWritePort);
    testing::internal::CaptureStderr();
    EXPECT_EQ(program::WriteByteBlasterPort(2, 0x0C), 0u);
    EXPECT_EQ(program::WriteByteBlasterPort(0, 1), 0u);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Cannot access ByteBlaster hardware"),
              std::string::npos);
    sim::SetByteBlasterFailure(std::nullopt);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunWith(CpldImage(ArrayData(4), 400, 8), &CAlteraJtagConfig::ProgramViaByteBlaster),
              1u);
    testing::internal::GetCapturedStderr();

    // A run that sets no exit code shows the player's status.
    jbctest::JbcAssembler readOnly(2);
    readOnly.Label("r");
    readOnly.Exit(0);
    readOnly.Procedure("R", 0, 0, "r");
    readOnly.Action("READ", "", 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunWith(readOnly.Build(), &CAlteraJtagConfig::ProgramViaByteBlaster), 0u);
    const std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_NE(shown.find("Status : 24"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("Result : "), std::string::npos) << shown;
    sim::AttachByteBlasterCable(false);
}

}  // namespace
}  // namespace velmora::cardtest
