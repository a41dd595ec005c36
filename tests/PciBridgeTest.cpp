#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "PlxTestSupport.h"
#include "WaitSupport.h"
#include "hw/VelmoraPciBridge.h"
#include "sim/SimControl.h"

namespace velmora::hw::testing {
namespace {

constexpr uint32_t kPlxUserPinRegister = 0x6C;
constexpr uint32_t kFpgaBlockA = 0x10;
constexpr uint32_t kFpgaFieldInterruptEnable = 1u << 1;

const std::string kTracePrefix = "\nPlxPciBridge - ";

// Exposes the identifier table and the device key, as a card family with
// several identifiers (or a test driver) needs them.
class TestBridge : public CVelmoraPciBridge {
  public:
    void AddIdRow(uint32_t cardType, uint32_t vendor, uint32_t device) {
        m_IdTable[m_dwIdEntryCount++] = {cardType, vendor, device};
    }
    void UseKey(const PLX_DEVICE_KEY& key) { m_DeviceKey = key; }
};

// Opens board 0 the way the board support does, with both DMA channels, their
// interrupts and notifications.
bool OpenWithDma(CPciBridge& bridge) {
    uint32_t count = 0;
    if (!bridge.GetBoardCount(&count) || count == 0) return false;
    if (!bridge.FindBoard(0) || !bridge.OpenBoard()) return false;
    for (uint32_t channel = 0; channel < 2; ++channel) {
        bridge.DmaChannelClose(channel);
        if (!bridge.DmaChannelOpen(channel) || !bridge.EnableDmaInterrupt(channel) ||
            !bridge.RegisterDmaNotification(channel)) {
            return false;
        }
    }
    return true;
}

// One mover's transfer under the channel lock.
bool LockedTransfer(CPciBridge& bridge, uint32_t channel, void* buffer, uint32_t address,
                    uint32_t bytes, uint32_t direction) {
    if (!bridge.LockDmaChannel(channel)) return false;
    const bool ok = bridge.DmaTransfer(channel, buffer, address, bytes, direction) &&
                    bridge.WaitDmaInterrupt(channel);
    bridge.UnlockDmaChannel(channel);
    return ok;
}

// Waits for a child with a deadline; its exit code, or -1 when it had to be
// killed or did not exit normally.
int WaitForChild(pid_t pid, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using PciBridgeTest = PlxSimTest;

TEST_F(PciBridgeTest, BoardCountMatchesTheCardsAndStaysTheSameWhenCountedAgain) {
    for (unsigned cards = 0; cards <= 2; ++cards) {
        SCOPED_TRACE(cards);
        ASSERT_TRUE(sim::SetCardCount(cards));
        CVelmoraPciBridge bridge;
        for (int round = 0; round < 2; ++round) {
            uint32_t count = 99;
            EXPECT_EQ(bridge.GetBoardCount(&count), 1u);
            EXPECT_EQ(count, cards);
        }
        for (uint32_t n = 0; n < cards; ++n) {
            ASSERT_EQ(bridge.FindBoard(n), 1u);
            EXPECT_EQ(bridge.GetSelectedDeviceNumber(), n);
            EXPECT_EQ(bridge.GetSelectedCardType(), 0x5100u);
        }
        EXPECT_EQ(bridge.FindBoard(cards), 0u);
        EXPECT_EQ(bridge.FindBoard(16), 0u);
    }
}

TEST_F(PciBridgeTest, RecountMapsBoardIndicesToTheRightRow) {
    ASSERT_TRUE(sim::SetCardCount(2));
    TestBridge bridge;
    bridge.AddIdRow(0x5101, kCardVendor, kCardDevice);  // the same two boards again
    uint32_t count = 0;
    ASSERT_EQ(bridge.GetBoardCount(&count), 1u);
    ASSERT_EQ(bridge.GetBoardCount(&count), 1u);
    EXPECT_EQ(count, 4u);
    ASSERT_EQ(bridge.FindBoard(2), 1u);
    EXPECT_EQ(bridge.GetSelectedCardType(), 0x5101u);
    EXPECT_EQ(bridge.GetSelectedDeviceNumber(), 0u);
    EXPECT_EQ(bridge.FindBoard(4), 0u);
}

TEST_F(PciBridgeTest, OpenChecksTheDriverVersionAndRefusesTheGenericDmaDriver) {
    {
        CVelmoraPciBridge bridge;
        ASSERT_TRUE(OpenWithDma(bridge));
        uint32_t version = 0;
        EXPECT_EQ(bridge.GetDriverVersion(&version), 1u);
        EXPECT_EQ(version, 0x60301u);
        EXPECT_EQ(bridge.CloseBoard(), 1u);
        EXPECT_EQ(bridge.CloseBoard(), 0u);
    }
    {
        sim::SetDriverVersion(0x60400);
        CVelmoraPciBridge bridge;
        ASSERT_EQ(bridge.FindBoard(0), 0u);  // not counted yet
        ASSERT_EQ(bridge.SelectBoard(0, 0), 1u);
        EXPECT_EQ(bridge.OpenBoard(), 0u);
        EXPECT_EQ(bridge.LockDmaChannel(0), 0u);  // no mutex without an open board
        EXPECT_EQ(bridge.UnlockDmaChannel(1), 0u);
    }
    ASSERT_TRUE(sim::SetCardCount(1));
    ASSERT_TRUE(sim::SetDriverRow(kPlxDriverRowPlxDma));
    CVelmoraPciBridge bridge;
    uint32_t count = 99;
    EXPECT_EQ(bridge.GetBoardCount(&count), 1u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bridge.SelectBoard(0, 0), 0u);
}

TEST_F(PciBridgeTest, RegistersRoundTripAndArgumentsAreChecked) {
    CVelmoraPciBridge bridge;
    ASSERT_TRUE(OpenWithDma(bridge));

    const uint32_t written = 0xA5C30F12;
    EXPECT_EQ(bridge.BarSpaceWrite(3, 0x40, &written), 1u);
    EXPECT_EQ(sim::PeekRegister(0, 0x40), written);
    uint32_t read = 0;
    EXPECT_EQ(bridge.BarSpaceRead(3, 0x40, &read), 1u);
    EXPECT_EQ(read, written);

    EXPECT_EQ(bridge.BarSpaceRead(6, 0x40, &read), 0u);
    EXPECT_EQ(bridge.BarSpaceRead(3, 0x40, nullptr), 0u);
    EXPECT_EQ(bridge.MapBar(6, nullptr), 0u);
    void* unknown = &read;
    EXPECT_EQ(bridge.UnmapBar(&unknown), 0u);
    for (uint32_t line : {0u, 3u}) {
        EXPECT_EQ(bridge.EnableLocalInterrupt(line), 0u);
        EXPECT_EQ(bridge.DisableLocalInterrupt(line), 0u);
        EXPECT_EQ(bridge.RegisterLocalInterruptNotification(line), 0u);
        EXPECT_EQ(bridge.WaitLocalInterrupt(line), 0u);
    }
    EXPECT_EQ(bridge.EnableDmaInterrupt(2), 0u);
    EXPECT_EQ(bridge.DisableDmaInterrupt(2), 0u);
    EXPECT_EQ(bridge.RegisterDmaNotification(2), 0u);
    EXPECT_EQ(bridge.WaitDmaInterrupt(2), 0u);
    EXPECT_EQ(bridge.CancelDmaNotification(2), 0u);
    EXPECT_EQ(bridge.DmaTransfer(4, &read, 0, 4, 0), 0u);
    EXPECT_EQ(bridge.GetDriverVersion(nullptr), 0u);
    EXPECT_EQ(bridge.GetHostChipsetClass(nullptr), 0u);
    EXPECT_EQ(TakeTraces(),
              std::vector<std::string>{kTracePrefix + "DmaTransfer - 1 - Failed - 217"});

    // The bridge's own register: bit 16 is the user output, bit 17 the input.
    EXPECT_EQ(bridge.WritePlxRegister(kPlxUserPinRegister, 0), 1u);
    EXPECT_EQ(bridge.SetUserOutput(0, 1), 1u);
    EXPECT_EQ(bridge.SetUserOutput(0, 2), 0u);
    uint32_t pins = 0;
    EXPECT_EQ(bridge.ReadPlxRegister(kPlxUserPinRegister, &pins), 1u);
    EXPECT_EQ(pins, (1u << 16) | (1u << 17));  // USERi: no line drives it
    EXPECT_EQ(bridge.WritePlxRegisterField(kPlxUserPinRegister, 0xFF, 17, 1), 1u);
    uint32_t level = 0;
    EXPECT_EQ(bridge.GetUserInput(0, &level), 1u);
    EXPECT_EQ(level, 1u);
    EXPECT_EQ(bridge.WritePlxRegisterBit(kPlxUserPinRegister, 16, 2), 0u);
    EXPECT_EQ(bridge.WritePlxRegisterBit(kPlxUserPinRegister, 16, 0), 1u);
    EXPECT_EQ(bridge.TestPlxRegisterBit(kPlxUserPinRegister, 16, &level), 1u);
    EXPECT_EQ(level, 0u);
    EXPECT_EQ(bridge.ReadPlxRegister(kPlxUserPinRegister, &pins), 1u);
    EXPECT_EQ(pins, 1u << 17);
}

TEST_F(PciBridgeTest, HostChipsetClassFollowsTheIntelTable) {
    CVelmoraPciBridge bridge;
    const struct {
        uint32_t word;
        uint32_t chipsetClass;
    } cases[] = {
        {0x29A08086, 5000}, {0x29908086, 5000}, {0x29808086, 5000}, {0x27708086, 4000},
        {0x25808086, 3000}, {0x25708086, 2000}, {0x25608086, 1000}, {0x1A308086, 1000},
        {0x24488086, 100},  {0x27A08086, 0},    {0x29A01022, 0},
    };
    for (const auto& c : cases) {
        sim::SetHostChipsetWord(c.word);
        uint32_t chipsetClass = 99;
        EXPECT_EQ(bridge.GetHostChipsetClass(&chipsetClass), 1u);
        EXPECT_EQ(chipsetClass, c.chipsetClass) << std::hex << c.word;
    }
    ASSERT_TRUE(sim::SetCardCount(0));
    uint32_t chipsetClass = 99;
    EXPECT_EQ(bridge.GetHostChipsetClass(&chipsetClass), 1u);
    EXPECT_EQ(chipsetClass, 0u);
}

TEST_F(PciBridgeTest, NoHardwareModeAnswersWithoutACard) {
    ASSERT_TRUE(sim::SetCardCount(0));
    CVelmoraPciBridge bridge;
    bridge.SetNoHardwareMode(1);
    uint32_t count = 0;
    EXPECT_EQ(bridge.GetBoardCount(&count), 1u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(bridge.SelectBoard(0, 0), 1u);
    EXPECT_EQ(bridge.SelectBoard(0, 1), 0u);
    EXPECT_EQ(bridge.FindBoard(5), 1u);
    EXPECT_EQ(bridge.OpenBoard(), 1u);

    uint32_t value = 0x1234;
    EXPECT_EQ(bridge.GetDriverVersion(&value), 1u);
    EXPECT_EQ(bridge.BarSpaceRead(3, 0, &value), 1u);
    EXPECT_EQ(bridge.ReadPlxRegister(0x6C, &value), 1u);
    EXPECT_EQ(bridge.GetUserInput(0, &value), 1u);
    EXPECT_EQ(value, 0x1234u);  // out values untouched
    EXPECT_EQ(bridge.LockDmaChannel(0), 1u);
    EXPECT_EQ(bridge.DmaTransfer(0, &value, 0, 4, 1), 1u);
    EXPECT_EQ(bridge.WaitDmaInterrupt(0), 1u);
    EXPECT_EQ(bridge.UnlockDmaChannel(0), 1u);
    EXPECT_EQ(bridge.WaitLocalInterrupt(1), 1u);
    EXPECT_EQ(bridge.MapRegisterBar(), 1u);
    EXPECT_EQ(bridge.SetUserOutput(0, 1), 1u);
    // Line and channel checks come before the no-hardware answer.
    EXPECT_EQ(bridge.EnableLocalInterrupt(3), 0u);
    EXPECT_EQ(bridge.WaitDmaInterrupt(2), 0u);
    EXPECT_EQ(bridge.CloseBoard(), 1u);
}

TEST_F(PciBridgeTest, TwoProcessesMoveOneMegabytePatternsThroughOneChannel) {
    constexpr uint32_t kBytes = 1u << 20;
    constexpr uint32_t kCardAddress = 0x200000;
    constexpr uint32_t kRounds = 64;
    // Both processes use the same card memory and hold the channel lock from
    // the write until the read-back: any overlap would show as a foreign
    // pattern. They start together, released by the closing of a pipe. Each
    // closes its end only once its setup is done: the setup closes and reopens
    // the card's channels, which would fail the other's transfers.
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    auto run = [&](uint32_t id) -> int {
        CVelmoraPciBridge bridge;
        const bool open = OpenWithDma(bridge);
        close(start[1]);
        if (!open) return 10;
        std::vector<uint32_t> out(kBytes / 4), in(kBytes / 4);
        char ignored;
        if (read(start[0], &ignored, 1) != 0) return 11;
        for (uint32_t round = 0; round < kRounds; ++round) {
            for (uint32_t i = 0; i < out.size(); ++i)
                out[i] = (id << 28) ^ (round << 20) ^ i;
            if (!bridge.LockDmaChannel(0)) return 12;
            const bool moved = bridge.DmaTransfer(0, out.data(), kCardAddress, kBytes, 0) &&
                               bridge.WaitDmaInterrupt(0) &&
                               bridge.DmaTransfer(0, in.data(), kCardAddress, kBytes, 1) &&
                               bridge.WaitDmaInterrupt(0);
            bridge.UnlockDmaChannel(0);
            if (!moved) return 13;
            if (in != out) return 14;
        }
        return 0;
    };
    std::vector<pid_t> children;
    for (uint32_t id = 1; id <= 2; ++id) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) _exit(run(id));
        children.push_back(pid);
    }
    close(start[0]);
    close(start[1]);
    for (pid_t pid : children)
        EXPECT_EQ(WaitForChild(pid, std::chrono::seconds(60)), 0);
}

TEST_F(PciBridgeTest, DmaTimeoutRecoversTheChannelWithinASecondOrSo) {
    CVelmoraPciBridge bridge;
    ASSERT_TRUE(OpenWithDma(bridge));
    std::vector<uint8_t> buffer(65536, 0x3C);

    ASSERT_TRUE(sim::SetDmaFault(0, 0, sim::DmaFault::NeverCompletes));
    ASSERT_EQ(bridge.LockDmaChannel(0), 1u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(bridge.DmaTransfer(0, buffer.data(), 0, 65536, 0), 0u);
    EXPECT_GE(MsSince(start), 900);
    EXPECT_LT(MsSince(start), ::velmora::test::kHangBoundMs) << "hang";
    EXPECT_EQ(bridge.UnlockDmaChannel(0), 1u);
    EXPECT_EQ(TakeTraces(),
              std::vector<std::string>{kTracePrefix + "DmaTransfer - 1 - Failed - ApiWaitTimeout"});

    // The recovery aborted the stuck transfer: the next one goes through and
    // its completion is the only one the channel's notification sees.
    ASSERT_TRUE(sim::SetDmaFault(0, 0, sim::DmaFault::None));
    std::vector<uint8_t> expected(65536);
    for (size_t i = 0; i < expected.size(); ++i)
        expected[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(sim::PokeMemory(0, 0x10000, expected.data(), expected.size()));
    EXPECT_TRUE(LockedTransfer(bridge, 0, buffer.data(), 0x10000, 65536, 1));
    EXPECT_EQ(buffer, expected);
    EXPECT_TRUE(TakeTraces().empty());
}

TEST_F(PciBridgeTest, BusyChannelIsAbortedByTransferAndResetByClose) {
    CVelmoraPciBridge bridge;
    ASSERT_TRUE(OpenWithDma(bridge));
    uint32_t word = 0;
    ASSERT_TRUE(sim::SetDmaFault(0, 1, sim::DmaFault::Busy));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(bridge.DmaTransfer(1, &word, 0, 4, 1), 0u);
    // Refused at once: no wait timed out (the traces below stay empty).
    EXPECT_LT(MsSince(start), ::velmora::test::kHangBoundMs) << "hang";
    EXPECT_TRUE(LockedTransfer(bridge, 1, &word, 0, 4, 1));

    ASSERT_TRUE(sim::SetDmaFault(0, 1, sim::DmaFault::Busy));
    EXPECT_EQ(bridge.DmaChannelClose(1), 1u);
    EXPECT_EQ(bridge.DmaChannelOpen(1), 1u);
    EXPECT_TRUE(LockedTransfer(bridge, 1, &word, 0, 4, 1));
    EXPECT_TRUE(TakeTraces().empty());
}

TEST_F(PciBridgeTest, WaitsAreBoundedAtOneSecond) {
    CVelmoraPciBridge bridge;
    ASSERT_TRUE(OpenWithDma(bridge));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(bridge.WaitDmaInterrupt(0), 0u);
    EXPECT_GE(MsSince(start), 900);
    EXPECT_LT(MsSince(start), ::velmora::test::kHangBoundMs) << "hang";
    EXPECT_EQ(TakeTraces(),
              std::vector<std::string>{kTracePrefix + "WaitDmaInterrupt - 1 - Failed"});

    // Field interrupts reach local interrupt 1 only while the FPGA enables
    // them.
    ASSERT_EQ(bridge.EnableLocalInterrupt(1), 1u);
    ASSERT_EQ(bridge.RegisterLocalInterruptNotification(1), 1u);
    uint32_t blockA = 0;
    ASSERT_EQ(bridge.BarSpaceRead(3, kFpgaBlockA, &blockA), 1u);
    blockA &= ~kFpgaFieldInterruptEnable;
    ASSERT_EQ(bridge.BarSpaceWrite(3, kFpgaBlockA, &blockA), 1u);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(bridge.WaitLocalInterrupt(1), 0u);
    EXPECT_GE(MsSince(start), 900);
    EXPECT_LT(MsSince(start), ::velmora::test::kHangBoundMs) << "hang";

    blockA |= kFpgaFieldInterruptEnable;
    ASSERT_EQ(bridge.BarSpaceWrite(3, kFpgaBlockA, &blockA), 1u);
    EXPECT_EQ(bridge.WaitLocalInterrupt(1), 1u);
    EXPECT_EQ(bridge.WaitLocalInterrupt(2), 0u);  // never registered

    // A second registration replaces the first (the leak checker of the
    // sanitizer build sees an orphaned event) and still delivers.
    ASSERT_EQ(bridge.RegisterLocalInterruptNotification(1), 1u);
    EXPECT_EQ(bridge.WaitLocalInterrupt(1), 1u);
}

TEST_F(PciBridgeTest, ChannelLockLeftByADeadProcessIsTakenOver) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        CVelmoraPciBridge bridge;
        _exit(OpenWithDma(bridge) && bridge.LockDmaChannel(1) ? 0 : 1);  // dies holding it
    }
    ASSERT_EQ(WaitForChild(pid, std::chrono::seconds(30)), 0);

    CVelmoraPciBridge bridge;
    ASSERT_TRUE(OpenWithDma(bridge));
    EXPECT_EQ(bridge.LockDmaChannel(1), 1u);
    uint32_t word = 0;
    EXPECT_EQ(bridge.DmaTransfer(1, &word, 0, 4, 1), 1u);
    EXPECT_EQ(bridge.WaitDmaInterrupt(1), 1u);
    EXPECT_EQ(bridge.UnlockDmaChannel(1), 1u);
}

using PciBridgeRecordingTest = PlxRecordingTest;

TEST_F(PciBridgeRecordingTest, TimeoutRecoveryTracesEachRefusedCommandInOrder) {
    TestBridge bridge;
    bridge.UseKey(RecordingDriver::Key());
    ASSERT_EQ(bridge.OpenBoard(), 1u);
    uint32_t word = 0;

    driver().signalTransfers = false;
    driver().controlStatus = ApiFailed;
    EXPECT_EQ(bridge.DmaTransfer(0, &word, 0, 4, 0), 0u);
    const std::string control = kTracePrefix + "PlxPci_DmaControl - 1 - Failed - ";
    EXPECT_EQ(TakeTraces(),
              (std::vector<std::string>{kTracePrefix + "DmaTransfer - 1 - Failed - ApiWaitTimeout",
                                        control + "DmaStart - 201", control + "DmaPause - 201",
                                        control + "DmaResume - 201", control + "DmaAbort - 201"}));
    EXPECT_EQ(driver().ControlCommands(), (std::vector<uint64_t>{0, 0, 2, 3}));
    EXPECT_EQ(driver().RegisteredCount(), 0u);

    // A transfer still in progress is aborted at once.
    driver().Reset();
    driver().transferStatus = ApiDmaInProgress;
    driver().controlStatus = ApiFailed;
    EXPECT_EQ(bridge.DmaTransfer(0, &word, 0, 4, 0), 0u);
    std::vector<uint32_t> codes;
    for (const auto& request : driver().Requests())
        codes.push_back(request.code);
    EXPECT_EQ(codes,
              (std::vector<uint32_t>{PLX_IOCTL_NOTIFY_REGISTER_FOR, PLX_IOCTL_DMA_TRANSFER_USER_VA,
                                     PLX_IOCTL_NOTIFY_CANCEL, PLX_IOCTL_DMA_STATUS,
                                     PLX_IOCTL_DMA_CONTROL, PLX_IOCTL_DMA_STATUS}));
    EXPECT_EQ(driver().ControlCommands(), std::vector<uint64_t>{3});
    EXPECT_EQ(TakeTraces(), std::vector<std::string>{control + "DmaAbort - 201"});
    EXPECT_EQ(bridge.CloseBoard(), 1u);
}

}  // namespace
}  // namespace velmora::hw::testing
