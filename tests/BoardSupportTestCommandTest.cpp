// Register access by command block, the self-tests, the ASI ring arithmetic
// and the PCI close path of the board support.

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "platform/NamedMutex.h"
#include "platform/Trace.h"
#include "tests/BoardSupportTestSupport.h"

namespace velmora::boardtest {
namespace {

using card::TEST_REQUEST;
namespace ring = card::asi_ring;

TEST_F(BoardSupportTest, TestCommandsReachChipsAndFpgaRegisters) {
    OpenCard(0x5110);
    TEST_REQUEST request{0x00, 0x08, 0x77, 0};
    ASSERT_EQ(board().Test(&request), 1u);
    EXPECT_EQ(request.dwResult, 0x77u);
    EXPECT_EQ(ChipRegister(sim::SimIicChip::Adv7180First, 0x08), 0x77);
    request = {0x80, 0x08, 0, 0};
    ASSERT_EQ(board().Test(&request), 1u);
    EXPECT_EQ(request.dwResult, 0x77u);
    request = {0x11, 0x84, 0x5A, 0};  // encoder 1's self-test register
    ASSERT_EQ(board().Test(&request), 1u);
    EXPECT_EQ(request.dwResult, 0x5Au);

    // Absent chips and unknown commands leave the block alone.
    for (uint32_t command : {0x02u, 0x10u, 0x92u, 0x30u}) {
        request = {command, 0x08, 1, 0xDEAD};
        EXPECT_EQ(board().Test(&request), 0u) << command;
        EXPECT_EQ(request.dwResult, 0xDEADu);
    }

    request = {0xF1, 0x50, 0x12345678, 0};
    ASSERT_EQ(board().Test(&request), 1u);
    EXPECT_EQ(request.dwResult, 0x12345678u);
    EXPECT_EQ(Register(0x50), 0x12345678u);
    request = {0xF2, 0x1C, 0, 0};
    ASSERT_EQ(board().Test(&request), 1u);
    EXPECT_EQ(request.dwResult, 0x5110u);
}

TEST_F(BoardSupportTest, TestCommandsRefuseOffsetsOutsideTheRegisterWindow) {
    OpenCard(0x5110);
    ASSERT_TRUE(sim::EnableRegisterWriteLog(0, true));
    ASSERT_TRUE(sim::ClearRegisterWriteLog(0));
    for (uint32_t command : {0xF1u, 0xF2u}) {
        for (uint32_t offset : {0x1000u, 0x52u, 0x51u, 0xFFFFFFFCu}) {
            TEST_REQUEST request{command, offset, 0xFFFFFFFF, 0xBEEF};
            EXPECT_EQ(board().Test(&request), 0u) << std::hex << command << " " << offset;
            EXPECT_EQ(request.dwResult, 0xBEEFu);
        }
    }
    EXPECT_TRUE(sim::RegisterWriteLog(0).empty());
    TEST_REQUEST last{0xF2, card::CBoardSupport::kFpgaRegisterWindowSize - 4, 0, 0xBEEF};
    EXPECT_EQ(board().Test(&last), 1u);
}

TEST_F(BoardSupportTest, ChipSelfTestFailsOnAStuckRegister) {
    OpenCard(0x5110);
    EXPECT_EQ(board().TestChipRegisters(), 1u);
    ASSERT_TRUE(sim::SetIicRegisterStuck(0, 0x42, 0xE8, 0x00));
    EXPECT_EQ(board().TestChipRegisters(), 0u);
    ASSERT_TRUE(sim::SetIicRegisterStuck(0, 0x42, 0xE8, std::nullopt));
}

TEST(BoardSupportAsiRing, ArithmeticAtTheEdges) {
    const uint32_t out = ring::kOutputBase;
    const uint32_t in = ring::kInputBase;
    const uint32_t unit = 1u << ring::kUnitShift;
    EXPECT_EQ(ring::OutputFreeUnits(out, out), ring::kUnits);
    EXPECT_EQ(ring::OutputFreeUnits(out, out + unit), 1u);  // writer one unit behind
    EXPECT_EQ(ring::OutputFreeUnits(out + unit, out), ring::kUnits - 1);
    EXPECT_EQ(ring::OutputFreeUnits(out + (ring::kUnits - 1) * unit, out), 1u);
    EXPECT_EQ(ring::InputFilledUnits(in, in), 0u);
    EXPECT_EQ(ring::InputFilledUnits(in + unit, in), 1u);
    EXPECT_EQ(ring::InputFilledUnits(in, in + unit), ring::kUnits - 1);
    EXPECT_EQ(ring::InputFilledUnits(in + (ring::kUnits - 1) * unit, in), ring::kUnits - 1);
}

TEST_F(BoardSupportTest, AsiRingsStartEmptyAndNoHardwareGivesFixedAnswers) {
    OpenCard(0x5110);
    uint32_t value = 0;
    EXPECT_EQ(board().IsAsiOutputBufferEmpty(0), 1u);
    EXPECT_EQ(board().IsAsiOutputBufferFull(0), 0u);
    ASSERT_TRUE(board().GetAsiOutputFreeUnits(&value, 0));
    EXPECT_EQ(value, ring::kUnits - 1);
    ASSERT_TRUE(board().GetAsiOutputWritePointer(&value, 0));
    EXPECT_EQ(value, ring::kOutputBase);
    ASSERT_TRUE(board().GetAsiInputReadPointer(&value, 0));
    EXPECT_EQ(value, ring::kInputBase);

    stack.reset();
    BoardStack offline;
    offline.board->EnableNoHardwareMode();
    EXPECT_EQ(offline.board->IsAsiOutputBufferFull(0), 0u);
    EXPECT_EQ(offline.board->IsAsiInputBufferEmpty(0), 0u);
    ASSERT_TRUE(offline.board->GetAsiOutputFreeUnits(&value, 0));
    EXPECT_EQ(value, 25919u);
    ASSERT_TRUE(offline.board->GetAsiInputFilledUnits(&value, 0));
    EXPECT_EQ(value, 3240u);
    ASSERT_TRUE(offline.board->GetAsiOutputReadPointer(&value, 0));
    EXPECT_EQ(value, ring::kOutputBase);
    value = 9;
    ASSERT_TRUE(offline.board->GetAsiPacketLength(&value, 0));
    EXPECT_EQ(value, 0u);
}

// The board's message boxes, as the trace sink sees them.
class MessageCapture {
  public:
    MessageCapture() {
        platform::SetTraceCapture([this](std::string_view text) {
            std::lock_guard lock(m_mutex);
            m_lines.emplace_back(text);
        });
    }
    ~MessageCapture() { platform::SetTraceCapture({}); }
    std::string All() {
        std::lock_guard lock(m_mutex);
        std::string all;
        for (const auto& line : m_lines)
            all += line + "\n";
        return all;
    }

  private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

bool DmaChannel0IsFree(hw::CPciBridge& bridge) {
    char name[96];
    std::snprintf(name, sizeof(name), "QuorvelPciBridgeDma0Mutex_%d_%d_%d",
                  static_cast<int>(bridge.GetSelectedVendorId()),
                  static_cast<int>(bridge.GetSelectedDeviceId()),
                  static_cast<int>(bridge.GetBoardNumber()));
    // Another thread: the mutex is recursive for the one that holds it.
    return std::async(std::launch::async,
                      [&] {
                          auto mutex = platform::NamedMutex::Create(name);
                          if (!mutex || mutex->Lock(200) != platform::WaitResult::Signaled)
                              return false;
                          mutex->Unlock();
                          return true;
                      })
        .get();
}

// A bridge whose card-to-host transfers fail, or bring back a wrong first
// word of card memory.
class FaultyReadBridge : public hw::CVelmoraPciBridge {
  public:
    uint32_t DmaTransfer(uint32_t channel, void* pBuffer, uint32_t cardByteAddress,
                         uint32_t byteCount, uint32_t direction) override {
        if (direction != 0 && failReads) return 0;
        const uint32_t ok =
            CVelmoraPciBridge::DmaTransfer(channel, pBuffer, cardByteAddress, byteCount, direction);
        if (direction != 0 && corruptFirstWord && cardByteAddress == 0) {
            static_cast<uint32_t*>(pBuffer)[0] = 1;
        }
        return ok;
    }
    bool failReads = false;
    bool corruptFirstWord = false;
};

TEST_F(BoardSupportTest, CardMemoryTestPassesAndReleasesTheChannelOnEveryExit) {
    StartCard(0x5110);
    auto bridge = std::make_unique<FaultyReadBridge>();
    FaultyReadBridge* raw = bridge.get();
    stack = std::make_unique<BoardStack>(std::move(bridge));
    ASSERT_TRUE(stack->Open());
    EXPECT_EQ(board().TestCardMemory(), 1u);
    EXPECT_TRUE(DmaChannel0IsFree(stack->bridge()));

    raw->failReads = true;
    EXPECT_EQ(board().TestCardMemory(), 0u);
    EXPECT_TRUE(DmaChannel0IsFree(stack->bridge()));
    raw->failReads = false;

    MessageCapture messages;
    raw->corruptFirstWord = true;
    EXPECT_EQ(board().TestCardMemory(), 0u);
    EXPECT_NE(messages.All().find("addr:0x00000000 error! 0x00000001 shall be 0x00000000"),
              std::string::npos);
    EXPECT_TRUE(DmaChannel0IsFree(stack->bridge()));
}

TEST_F(BoardSupportTest, SdramSpeedTestReportsFiniteSpeeds) {
    OpenCard(0x5110);
    MessageCapture messages;
    EXPECT_EQ(board().TestSdramSpeed(), 1u);
    const std::string text = messages.All();
    EXPECT_NE(text.find("Write SDRAM speed test result : Time - "), std::string::npos);
    EXPECT_EQ(text.find("inf"), std::string::npos) << text;
    EXPECT_EQ(text.find("nan"), std::string::npos) << text;
}

// A bridge whose DMA interrupt cannot be disabled: the close must still close
// the board.
class StuckInterruptBridge : public hw::CVelmoraPciBridge {
  public:
    uint32_t DisableDmaInterrupt(uint32_t) override { return 0; }
    uint32_t CloseBoard() override {
        closed = true;
        return CVelmoraPciBridge::CloseBoard();
    }
    bool closed = false;
};

TEST_F(BoardSupportTest, PciCloseCarriesOnAfterAFailure) {
    StartCard(0x5110);
    auto bridge = std::make_unique<StuckInterruptBridge>();
    StuckInterruptBridge* raw = bridge.get();
    stack = std::make_unique<BoardStack>(std::move(bridge));
    ASSERT_TRUE(stack->board->OpenPciDevice(1));
    EXPECT_EQ(stack->board->ClosePciDevice(1), 0u);
    EXPECT_TRUE(raw->closed);
}

TEST_F(BoardSupportTest, FpgaFlashOperationsAreRefusedWithALogLine) {
    OpenCard(0x5110);
    uint32_t stage = 0, percent = 0;
    EXPECT_EQ(board().EnterFpgaConfigMode(), 0u);
    EXPECT_EQ(board().ProgramFpgaConfigFile(L"/nonexistent.pof"), 0u);
    EXPECT_EQ(board().GetFpgaConfigProgress(&stage, &percent), 0u);
    EXPECT_NE(LogText().find("fpga config ProgramDevice"), std::string::npos);
}

}  // namespace
}  // namespace velmora::boardtest
