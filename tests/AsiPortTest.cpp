// The ASI ports on a simulated card with the manual clock: entries moved by
// DMA across the window end, in order, and nothing moved or published when
// the channel, the transfer or the commit fails.

#include <gtest/gtest.h>

#include <csignal>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "BoardSupportTestSupport.h"
#include "NumberedStream.h"
#include "PlatformTestSupport.h"
#include "hw/VelmoraFpga.h"
#include "sim/SimAsiEngine.h"
#include "sim/SimControl.h"
#include "sim/SimFpga.h"
#include "sim/SimTsGenerator.h"
#include "ts/AsiPort.h"

namespace velmora::ts {
namespace {

constexpr uint32_t kPort = 0;
constexpr uint32_t kUnits = 25920;
constexpr uint32_t kPacketsPerField = 135;

class TransferCountingBridge : public hw::CVelmoraPciBridge {
  public:
    uint32_t LockDmaChannel(uint32_t channel) override {
        return failLock ? 0 : hw::CVelmoraPciBridge::LockDmaChannel(channel);
    }
    uint32_t DmaTransfer(uint32_t channel, void* buffer, uint32_t address, uint32_t bytes,
                         uint32_t direction) override {
        ++transfers;
        return hw::CVelmoraPciBridge::DmaTransfer(channel, buffer, address, bytes, direction);
    }
    // Block C holds the pointers' commit strobes.
    uint32_t BarSpaceWrite(uint32_t bar, uint32_t offset, const uint32_t* value) override {
        return failCommit && offset == kBlockC
                   ? 0
                   : hw::CVelmoraPciBridge::BarSpaceWrite(bar, offset, value);
    }
    static constexpr uint32_t kBlockC = 0x200;
    std::atomic<bool> failLock{false};
    std::atomic<bool> failCommit{false};
    std::atomic<int> transfers{0};
};

class AsiPortTest : public boardtest::BoardSupportTest {
  protected:
    void SetUp() override {
        StartCard(0x5110);
        ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
        auto owned = std::make_unique<TransferCountingBridge>();
        bridge = owned.get();
        stack = std::make_unique<boardtest::BoardStack>(std::move(owned));
        ASSERT_TRUE(stack->Open());
        output = std::make_unique<CAsiOutputPort>(stack->board.get());
        input = std::make_unique<CAsiInputPort>(stack->board.get());
        ASSERT_EQ(output->SetWindow(CAsiOutputPort::kDefaultFirstWord,
                                    CAsiOutputPort::kDefaultEndWord, kPort),
                  1u);
        ASSERT_EQ(input->SetWindow(CAsiInputPort::kDefaultFirstWord, CAsiInputPort::kDefaultEndWord,
                                   kPort),
                  1u);
    }
    void TearDown() override {
        output.reset();
        input.reset();
        BoardSupportTest::TearDown();
    }

    // Output entries: no pacing, a null-PID packet carrying `tag`.
    static std::vector<uint8_t> Entries(uint32_t count, uint32_t tag) {
        std::vector<uint8_t> e(size_t{count} * kAsiEntryBytes, 0);
        for (uint32_t k = 0; k < count; ++k) {
            uint8_t* p = &e[size_t{k} * kAsiEntryBytes + 4];
            p[0] = 0x47;
            p[1] = 0x1F;
            p[2] = 0xFF;
            p[3] = 0x10;
            std::memcpy(p + 4, &tag, 4);
            const uint32_t index = k;
            std::memcpy(p + 8, &index, 4);
        }
        return e;
    }
    uint32_t OutputPointer() {
        uint32_t pointer = 0;
        stack->board->GetAsiOutputWritePointer(&pointer, kPort);
        return pointer;
    }
    uint32_t InputPointer() {
        uint32_t pointer = 0;
        stack->board->GetAsiInputReadPointer(&pointer, kPort);
        return pointer;
    }
    // Steps the clock until the output has played `played` packets.
    static void PlayUntil(uint64_t played) {
        for (int i = 0; i < 1000; ++i) {
            if (sim::PlayedAsiPackets(0)->played >= played) return;
            ASSERT_TRUE(sim::StepFields(0, 1));
        }
        FAIL() << "output stalled";
    }

    // A file of `packets` numbered packets, to be set as the card's input,
    // which arrive at `perField` a field; empty when it cannot be made.
    static std::string NumberedInput(uint32_t packets, uint32_t perField) {
        const std::string path = std::string(std::getenv("VELMORA_SIM_STATE_DIR")) + "/numbered.ts";
        return test::WriteNumberedStream(path, packets) &&
                       sim::SetAsiInputRate(0, perField * 188 * 8 * 50)
                   ? path
                   : std::string();
    }
    // The input port of `stack`, opened as another process opens the card.
    static std::unique_ptr<CAsiInputPort> SecondPort(boardtest::BoardStack& stack) {
        if (!stack.Open(false)) return nullptr;
        auto port = std::make_unique<CAsiInputPort>(stack.board.get());
        return port->SetWindow(CAsiInputPort::kDefaultFirstWord, CAsiInputPort::kDefaultEndWord,
                               kPort)
                   ? std::move(port)
                   : nullptr;
    }

    TransferCountingBridge* bridge = nullptr;
    std::unique_ptr<CAsiOutputPort> output;
    std::unique_ptr<CAsiInputPort> input;
};

TEST_F(AsiPortTest, WriteAcrossTheWindowEndPlaysInOrder) {
    // Bring the card pointer to 10 units before the window end.
    ASSERT_EQ(output->WriteDma(Entries(kUnits - 10, 0).data(), kUnits - 10, kPort), 1u);
    PlayUntil(kUnits - 10);
    ASSERT_EQ(OutputPointer(), CAsiOutputPort::kDefaultEndWord - 10 * kAsiUnitWords);
    uint32_t status = 9;
    EXPECT_EQ(output->GetOutputStatus(&status, kPort), 1u);
    EXPECT_EQ(status, 1u);  // empty

    bridge->transfers = 0;
    ASSERT_EQ(output->WriteDma(Entries(30, 7).data(), 30, kPort), 1u);
    EXPECT_EQ(bridge->transfers.load(), 2);
    EXPECT_EQ(OutputPointer(), CAsiOutputPort::kDefaultFirstWord + 20 * kAsiUnitWords);
    PlayUntil(kUnits - 10 + 30);
    const auto played = sim::PlayedAsiPackets(0);
    ASSERT_TRUE(played.has_value());
    ASSERT_GE(played->recent.size(), 30u);
    for (uint32_t k = 0; k < 30; ++k) {
        const auto& packet = played->recent[played->recent.size() - 30 + k];
        uint32_t tag = 0, index = 0;
        std::memcpy(&tag, packet.bytes + 4, 4);
        std::memcpy(&index, packet.bytes + 8, 4);
        EXPECT_EQ(tag, 7u);
        EXPECT_EQ(index, k);
    }
}

TEST_F(AsiPortTest, ReadAcrossTheWindowEndGivesCapturedPacketsInOrder) {
    ASSERT_EQ(input->EnableInput(kPort), 1u);
    // Bring the read pointer to 10 units before the window end without
    // letting the ring overflow.
    std::vector<uint8_t> entries(size_t{13500} * kAsiEntryBytes);
    ASSERT_TRUE(sim::StepFields(0, 100));
    ASSERT_EQ(input->ReadDma(entries.data(), 13500, kPort), 1u);
    ASSERT_TRUE(sim::StepFields(0, 100));
    ASSERT_EQ(input->ReadDma(entries.data(), kUnits - 10 - 13500, kPort), 1u);
    ASSERT_EQ(InputPointer(), CAsiInputPort::kDefaultEndWord - 10 * kAsiUnitWords);
    uint32_t filled = 0;
    ASSERT_EQ(input->GetFilledUnits(&filled, kPort), 1u);
    ASSERT_GE(filled, 30u);
    // The last packet read before.
    const uint8_t* last = &entries[size_t{kUnits - 10 - 13500 - 1} * kAsiEntryBytes + 4];

    // A second transfer that fails takes nothing off the card: its first
    // part comes again with the next read.
    std::vector<uint8_t> tail(30 * kAsiEntryBytes);
    ASSERT_TRUE(sim::SetDmaFault(0, input->GetDmaChannel(), sim::DmaFault::Busy, 1));
    EXPECT_EQ(input->ReadDma(tail.data(), 30, kPort), 0u);
    EXPECT_EQ(InputPointer(), CAsiInputPort::kDefaultEndWord - 10 * kAsiUnitWords);

    bridge->transfers = 0;
    ASSERT_EQ(input->ReadDma(tail.data(), 30, kPort), 1u);
    EXPECT_EQ(bridge->transfers.load(), 2);
    EXPECT_EQ(InputPointer(), CAsiInputPort::kDefaultFirstWord + 20 * kAsiUnitWords);
    // The generator's stream is a function of the packet number: the last
    // 40 packets read before and these 30 must be 70 consecutive ones.
    using Gen = sim::SimTsGenerator;
    std::vector<const uint8_t*> seen;
    for (uint32_t k = 40; k > 0; --k)
        seen.push_back(last - size_t{k - 1} * kAsiEntryBytes);
    for (uint32_t k = 0; k < 30; ++k)
        seen.push_back(&tail[k * kAsiEntryBytes + 4]);
    uint8_t packet[Gen::kPacketSize];
    bool found = false;
    for (uint64_t n = 0; n < 400 * kPacketsPerField && !found; ++n) {
        found = true;
        for (size_t i = 0; i < seen.size() && found; ++i) {
            Gen::Packet(n + i, packet);
            found = std::memcmp(packet, seen[i], Gen::kPacketSize) == 0;
        }
    }
    EXPECT_TRUE(found);
}

// A capture's count of lost packets starts where the capture does, however
// many packets arrive around its start, and the card's count, whose latch
// takes the card-wide register lock, is latched only once packets may have
// been lost: a lone capture that keeps up latches it at its start alone.
TEST_F(AsiPortTest, LostPacketsAreCountedFromTheStartAndTheCountIsLatchedOnlyAfterALoss) {
    ASSERT_EQ(input->EnableInput(kPort), 1u);
    ASSERT_TRUE(sim::StepFields(0, 10));
    // A field arrives after each write of the start's commit.
    constexpr uint32_t kBlockC = sim::SimFpga::kRegBlockC;
    bool starting = true;
    std::function<void()> arrive = [&] {
        if (!starting) return;
        sim::StepFields(0, 1);
        sim::RunAfterNextRegisterWrite(0, kBlockC, arrive);
    };
    ASSERT_TRUE(sim::RunAfterNextRegisterWrite(0, kBlockC, arrive));
    ASSERT_EQ(input->StartCapture(kPort), 1u);
    starting = false;
    const uint64_t overflows = sim::AsiCaptureCounts(0)->overflows;

    std::vector<uint8_t> entries(size_t{kUnits} * kAsiEntryBytes);
    const auto readAll = [&] {
        uint32_t filled = 0;
        do {
            ASSERT_EQ(input->LookAtCapture(kPort, &filled), 1u);
            if (filled != 0) {
                ASSERT_EQ(input->ReadDma(entries.data(), filled, kPort), 1u);
            }
        } while (filled != 0);
    };
    const auto latches = [] {
        const auto log = sim::RegisterWriteLog(0);
        return std::count_if(log.begin(), log.end(), [](const sim::RegisterWrite& write) {
            return write.offset == sim::SimFpga::kRegBlockA &&
                   (write.value & sim::SimFpga::kALatch);
        });
    };
    ASSERT_TRUE(sim::EnableRegisterWriteLog(0, true));
    ASSERT_TRUE(sim::ClearRegisterWriteLog(0));
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(sim::StepFields(0, 10));
        ASSERT_NO_FATAL_FAILURE(readAll());
    }
    EXPECT_EQ(latches(), 0);
    EXPECT_EQ(input->LostPackets(), 0u);

    // More than the window arrives while it does not read.
    ASSERT_TRUE(sim::StepFields(0, 2 * kUnits / kPacketsPerField));
    ASSERT_NO_FATAL_FAILURE(readAll());
    ASSERT_TRUE(sim::StepFields(0, 10));
    ASSERT_NO_FATAL_FAILURE(readAll());
    ASSERT_EQ(input->LookAtCapture(kPort, nullptr, true), 1u);
    const uint64_t dropped = sim::AsiCaptureCounts(0)->overflows - overflows;
    EXPECT_GT(dropped, kUnits / 2);
    EXPECT_EQ(input->LostPackets(), dropped);
    EXPECT_GT(latches(), 0);
    ASSERT_TRUE(sim::EnableRegisterWriteLog(0, false));
}

// Two captures, opened as two processes open the card, count exactly what
// each of them misses whatever arrives between any two of their register
// accesses: the card runs on around their commits, latches and transfers as
// it does for a process that is slow or descheduled there, laps a reader
// that pauses beside the other and fills and drops while neither reads,
// and its 32-bit count wraps on the way. Each reader gets what it reads in
// order, once: packet n of the file is the n-th to arrive.
TEST_F(AsiPortTest, CountsAreExactWhateverArrivesBetweenAnyTwoRegisterAccesses) {
    constexpr uint32_t kFilePackets = 1u << 18;
    constexpr uint32_t kPerField = 9;
    constexpr uint32_t kWindowFields = kUnits / kPerField;
    const std::string path = NumberedInput(kFilePackets, kPerField);
    ASSERT_FALSE(path.empty());
    boardtest::BoardStack second;
    const auto another = SecondPort(second);
    ASSERT_NE(another, nullptr);
    const auto received = [] {
        const auto counts = sim::AsiCaptureCounts(0);
        return counts->captured + counts->overflows;
    };
    struct Reader {
        CAsiInputPort* port;
        uint64_t receivedAtStart = 0;
        uint64_t taken = 0;
        uint64_t gaps = 0;
        int64_t last = -1;
        bool paused = false;
    };
    for (const uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        // The file starts again with the next packet to arrive.
        ASSERT_TRUE(sim::SetAsiInput(0, sim::SimAsiSource::File, path));
        const uint64_t first = received();
        const uint64_t overflows = sim::AsiCaptureCounts(0)->overflows;
        // Wraps after a window.
        ASSERT_TRUE(sim::SetAsiReceivedCount(0, UINT32_MAX - kUnits));
        Reader readers[] = {{input.get()}, {another.get()}};
        for (Reader& reader : readers) {
            ASSERT_EQ(reader.port->EnableInput(kPort), 1u);
            ASSERT_EQ(reader.port->StartCapture(kPort), 1u);
            reader.receivedAtStart = received();
        }
        std::mutex hooks;
        bool running = true;
        bool quiet = false;  // the hooks step no card time
        // No packet number comes twice.
        const auto budget = [&](uint64_t packets) {
            return received() - first + packets < kFilePackets;
        };
        std::function<void(bool)> arm = [&](bool write) {
            sim::RunAfterNextRegisterAccess(0, write, [&, write] {
                std::lock_guard lock(hooks);
                if (!running) return;
                if (!quiet && random() % 4 != 0 && budget(kPerField)) sim::StepFields(0, 1);
                arm(write);
            });
        };
        arm(false);
        arm(true);
        std::vector<uint8_t> entries(size_t{kUnits} * kAsiEntryBytes);
        for (int round = 0; round < 400; ++round) {
            // Now and then more than a window arrives while both readers,
            // the first or the second do not read.
            if (round % 100 == 50 && round < 300) {
                readers[0].paused = round != 250;
                readers[1].paused = round != 150;
                std::lock_guard lock(hooks);
                if (budget(kUnits + kUnits / 8))
                    sim::StepFields(0, kWindowFields + kWindowFields / 8);
            } else if (round % 100 == 60) {
                readers[0].paused = readers[1].paused = false;
            } else if (round == 55 || round == 75) {
                // The second starts again and more than the window comes
                // while its start commits. At 55 the card is full at the
                // start's look and fills again as soon as the commit lets it
                // write, before the start's own latches. At 75 it holds a
                // quarter of the window at the look (a start just before let
                // go of all it held), fills and drops before the commit
                // reaches it, and has room again after: what it drops then
                // comes after the capture's first packet.
                Reader& again = readers[1];
                {
                    std::lock_guard lock(hooks);
                    quiet = true;
                }
                if (round == 75) {
                    ASSERT_EQ(again.port->StartCapture(kPort), 1u);
                    ASSERT_TRUE(sim::StepFields(0, kWindowFields / 4));
                }
                again = {again.port, received()};
                again.paused = round == 55;
                const auto flood = [&] { sim::StepFields(0, kWindowFields + kWindowFields / 8); };
                if (round == 55) {
                    // The strobe's first write clears the commit bit, the
                    // second raises it.
                    sim::RunAfterNextRegisterWrite(0, sim::SimFpga::kRegBlockC, [&] {
                        sim::RunAfterNextRegisterWrite(0, sim::SimFpga::kRegBlockC, flood);
                    });
                } else {
                    sim::RunAfterNextRegisterWrite(0, hw::CVelmoraFpga::kRegAsiInputReadPointer,
                                                   flood);
                }
                ASSERT_EQ(again.port->StartCapture(kPort), 1u);
                ASSERT_GT(received() - again.receivedAtStart, uint64_t{kUnits});
                {
                    std::lock_guard lock(hooks);
                    quiet = false;
                }
                arm(true);
            }
            Reader& reader = readers[random() % 2];
            uint32_t filled = 0;
            ASSERT_EQ(reader.port->LookAtCapture(kPort, &filled), 1u);
            if (reader.paused || filled == 0) continue;
            const uint32_t count = 1 + random() % std::min(filled, 4000u);
            // 0: written over while it was read, and let go of.
            if (!reader.port->ReadDma(entries.data(), count, kPort)) continue;
            reader.taken += count;
            for (uint32_t k = 0; k < count; ++k) {
                const uint32_t number =
                    test::PacketNumber(&entries[size_t{k} * kAsiEntryBytes + 4]);
                ASSERT_GT(number, reader.last);
                if (reader.last >= 0) reader.gaps += number - reader.last - 1;
                reader.last = number;
            }
        }
        {
            std::lock_guard lock(hooks);
            running = false;
        }
        for (Reader& reader : readers) {
            uint32_t kept = 0;
            ASSERT_EQ(reader.port->LookAtCapture(kPort, &kept, true), 1u);
            const uint64_t missed = received() - reader.receivedAtStart - reader.taken - kept;
            EXPECT_EQ(reader.port->LostPackets(), missed);
            EXPECT_LE(reader.gaps, missed);
            EXPECT_GT(reader.taken, uint64_t{kUnits});
            ASSERT_EQ(reader.port->DisableInput(kPort), 1u);
        }
        EXPECT_GT(received() - readers[0].receivedAtStart, 3u * kUnits);
        EXPECT_GT(sim::AsiCaptureCounts(0)->overflows, overflows);
    }
}

// Two captures on one card: one reads on, the other is held up between its
// look and its transfer, or reads behind the first. What the card writes
// over of the second's, while it was held up, is let go of, and only that;
// nothing either does moves the card's pointer past what the first has yet
// to read or back from where the first put it, so the first loses only what
// arrived beyond the card's window while it did not read.
TEST_F(AsiPortTest, ACaptureHeldUpBesideAnotherCostsItNothing) {
    constexpr uint32_t kPerField = 100;
    const std::string path = NumberedInput(1u << 18, kPerField);
    ASSERT_FALSE(path.empty());
    boardtest::BoardStack second;
    const auto another = SecondPort(second);
    ASSERT_NE(another, nullptr);
    struct Reader {
        CAsiInputPort* port;
        uint64_t next = 0;  // the number of the packet after the last read
        uint64_t gaps = 0;
        uint32_t pending = 0;  // what its last look found
    };
    std::vector<uint8_t> entries(size_t{kUnits} * kAsiEntryBytes);
    // Reads `count` entries, or what the last look found, and checks them.
    const auto read = [&](Reader& reader, uint32_t count) {
        uint32_t got = 0;
        if (!reader.port->ReadDma(entries.data(), count, kPort, &got)) return got;
        for (uint32_t k = 0; k < got; ++k) {
            const uint32_t number = test::PacketNumber(&entries[size_t{k} * kAsiEntryBytes + 4]);
            EXPECT_GE(number, reader.next);
            reader.gaps += number - reader.next;
            reader.next = number + 1;
        }
        return got;
    };
    const auto look = [&](Reader& reader) {
        EXPECT_EQ(reader.port->LookAtCapture(kPort, &reader.pending), 1u);
        return reader.pending;
    };
    const auto readAll = [&](Reader& reader) {
        while (look(reader) != 0)
            read(reader, reader.pending);
    };
    const auto overflows = [] { return sim::AsiCaptureCounts(0)->overflows; };
    enum class HeldUp { OverAFullWindow, ReadingBehind, PartlyWrittenOver };
    for (const HeldUp held :
         {HeldUp::OverAFullWindow, HeldUp::ReadingBehind, HeldUp::PartlyWrittenOver}) {
        SCOPED_TRACE(static_cast<int>(held));
        ASSERT_TRUE(sim::SetAsiInput(0, sim::SimAsiSource::File, path));
        Reader on{input.get()};
        Reader off{another.get()};
        for (Reader* reader : {&on, &off}) {
            ASSERT_EQ(reader->port->EnableInput(kPort), 1u);
            ASSERT_EQ(reader->port->StartCapture(kPort), 1u);
        }
        ASSERT_TRUE(sim::StepFields(0, 10));
        readAll(on);
        readAll(off);
        const uint64_t overflowsBefore = overflows();
        // The second looks and is held up before its transfer; the first
        // reads what it found, then more.
        ASSERT_TRUE(sim::StepFields(0, 10));
        ASSERT_EQ(look(off), 10 * kPerField);
        readAll(on);
        switch (held) {
            case HeldUp::OverAFullWindow:
                // The first does not read while more than the window comes,
                // and the second's transfer, written over meanwhile, goes on.
                ASSERT_TRUE(sim::StepFields(0, kUnits / kPerField + 20));
                EXPECT_EQ(read(off, off.pending), 0u);
                ASSERT_TRUE(sim::StepFields(0, 5));
                break;
            case HeldUp::ReadingBehind:
                // The second reads half of what it found, behind the first's
                // point, while all but 100 of the window comes.
                EXPECT_EQ(read(off, off.pending / 2), off.pending / 2);
                ASSERT_TRUE(sim::StepFields(0, kUnits / kPerField - 1));
                break;
            case HeldUp::PartlyWrittenOver: {
                // The first reads on while more than the window comes: the
                // card writes over the oldest of the second's held entries.
                constexpr uint32_t kFields = kUnits / kPerField + 1;
                for (uint32_t field = 0; field < kFields; ++field) {
                    ASSERT_TRUE(sim::StepFields(0, 1));
                    readAll(on);
                }
                const uint32_t over = (10 + kFields) * kPerField - (kUnits - 1);
                EXPECT_EQ(read(off, 5000), 5000 - over);
                EXPECT_EQ(off.gaps, over);
                break;
            }
        }
        // Both read all, and once more after a field, so that what the
        // card dropped lies between packets read.
        for (int again = 0; again < 2; ++again) {
            readAll(on);
            readAll(off);
            ASSERT_TRUE(sim::StepFields(0, 1));
        }
        readAll(on);
        readAll(off);
        EXPECT_EQ(on.gaps, overflows() - overflowsBefore);
        // Held up for less than the window, the first loses nothing.
        if (held != HeldUp::OverAFullWindow) {
            EXPECT_EQ(on.gaps, 0u);
        }
        for (Reader* reader : {&on, &off}) {
            ASSERT_EQ(reader->port->LookAtCapture(kPort, nullptr, true), 1u);
            EXPECT_EQ(reader->port->LostPackets(), reader->gaps);
            ASSERT_EQ(reader->port->DisableInput(kPort), 1u);
        }
    }
}

// A reader whose process dies inside a commit, before the pointer it wrote
// reaches the card or after, leaves the record every capture counts by
// whole: the next holder of the channel finishes the commit and counts what
// the card dropped before it, at a full card, while the dead reader's commit
// was under way. The capture beside it stays behind the dead reader's
// pointer while more than the window comes, and counts exactly what it
// misses.
TEST_F(AsiPortTest, AReaderKilledInsideACommitLeavesTheCountsWhole) {
    constexpr uint32_t kWindowFields = kUnits / kPacketsPerField;
    const auto received = [] {
        const auto counts = sim::AsiCaptureCounts(0);
        return counts->captured + counts->overflows;
    };
    ASSERT_EQ(input->EnableInput(kPort), 1u);
    ASSERT_EQ(input->StartCapture(kPort), 1u);
    const uint64_t start = received();
    uint64_t taken = 0;
    std::vector<uint8_t> entries(size_t{kUnits} * kAsiEntryBytes);
    const auto readAll = [&] {
        uint32_t filled = 0;
        do {
            ASSERT_EQ(input->LookAtCapture(kPort, &filled), 1u);
            if (filled != 0 && input->ReadDma(entries.data(), filled, kPort)) taken += filled;
        } while (filled != 0);
    };
    // Killed after the pointer's write, or after the strobe that gives it
    // to the card.
    for (const bool strobed : {true, false}) {
        SCOPED_TRACE(strobed);
        platform::test::Child reader([strobed] {
            boardtest::BoardStack stack;
            CAsiInputPort port(stack.board.get());
            if (!stack.Open(false) ||
                !port.SetWindow(CAsiInputPort::kDefaultFirstWord, CAsiInputPort::kDefaultEndWord,
                                kPort) ||
                !port.EnableInput(kPort) || !port.StartCapture(kPort) ||
                !sim::StepFields(0, 2 * kWindowFields)) {
                return 1;
            }
            // The card is full and its count latched; more comes while the
            // commit is under way.
            uint32_t filled = 0;
            if (!port.LookAtCapture(kPort, &filled) || filled == 0) return 2;
            std::vector<uint8_t> read(size_t{filled} * kAsiEntryBytes);
            sim::RunAfterNextRegisterWrite(0, hw::CVelmoraFpga::kRegAsiInputReadPointer, [strobed] {
                sim::StepFields(0, 50);
                if (!strobed) std::raise(SIGKILL);
                // The strobe's first write clears the commit bit, the
                // second raises it.
                sim::RunAfterNextRegisterWrite(0, sim::SimFpga::kRegBlockC, [] {
                    sim::RunAfterNextRegisterWrite(0, sim::SimFpga::kRegBlockC,
                                                   [] { std::raise(SIGKILL); });
                });
            });
            port.ReadDma(read.data(), filled / 2, kPort);
            return 3;
        });
        EXPECT_EQ(reader.Wait(), -1);
        // Before this capture looks again, the card, held back by the
        // pointer before the dead reader's, drops more than the window, or,
        // given the dead reader's, writes without filling: no later latch
        // finds it full.
        ASSERT_TRUE(sim::StepFields(0, strobed ? 10 : 2 * kWindowFields));
        // It reads a little, staying behind the dead reader's pointer while
        // more comes.
        uint32_t filled = 0;
        ASSERT_EQ(input->LookAtCapture(kPort, &filled), 1u);
        ASSERT_GT(filled, 1000u);
        ASSERT_EQ(input->ReadDma(entries.data(), 1000, kPort), 1u);
        taken += 1000;
        ASSERT_TRUE(sim::StepFields(0, 50));
        ASSERT_NO_FATAL_FAILURE(readAll());
        ASSERT_TRUE(sim::StepFields(0, 10));
        ASSERT_NO_FATAL_FAILURE(readAll());
        uint32_t kept = 0;
        ASSERT_EQ(input->LookAtCapture(kPort, &kept, true), 1u);
        EXPECT_EQ(input->LostPackets(), received() - start - taken - kept);
        EXPECT_GT(input->LostPackets(), uint64_t{kUnits});
    }
}

// A lone capture stopped while the card is full counts what the card drops
// meanwhile exactly, however often its 32-bit count wraps, while the card's
// clock since the last known count lets the fastest input wrap it one number
// of times only: whatever the input's rate or signal did meanwhile, and from
// a count known at power-up. Stopped for longer, its count is the estimate
// of the rate measured since its start, if any, and says it may be off by
// whole multiples of 2^32.
TEST_F(AsiPortTest, AStopOfMoreThanTwoTo32DropsIsCountedExactly) {
    constexpr uint32_t kRate = 216000000;
    constexpr uint32_t kSlowRate = 20000000;
    constexpr uint64_t kWrap = uint64_t{1} << 32;
    // Fields of input at `rate` bits a second that bring `packets`.
    const auto fieldsOf = [](uint64_t packets, uint32_t rate) {
        return packets * 188 * 8 * 50 / rate + 1;
    };
    const auto received = [] {
        const auto counts = sim::AsiCaptureCounts(0);
        return counts->captured + counts->overflows;
    };
    std::vector<uint8_t> entries(size_t{kUnits} * kAsiEntryBytes);
    uint64_t taken = 0;
    const auto read = [&](int rounds) {
        for (int round = 0; round < rounds; ++round) {
            ASSERT_TRUE(sim::StepFields(0, 5));
            uint32_t filled = 0;
            ASSERT_EQ(input->LookAtCapture(kPort, &filled), 1u);
            ASSERT_EQ(input->ReadDma(entries.data(), filled, kPort), 1u);
            taken += filled;
        }
    };
    ASSERT_EQ(input->EnableInput(kPort), 1u);
    const struct {
        uint64_t drops;
        int rounds;                 // of reading before the stop, 5 fields each
        bool exact;                 // or said to be off by whole multiples of 2^32
        uint32_t rate = kRate;      // of the input while read
        uint32_t stopRate = kRate;  // and during the stop
        // The input off before the start, after a capture that kept up.
        uint64_t offFields = 0;
        // The cable pulled after the drops, for so long.
        uint64_t pullFields = 0;
    } stops[] = {
        {100000, 0, true},  // at power-up: a count known at clock 0
        {kWrap + 100000, 1, false},
        {kWrap / 2 + 100000, 12, true},
        {kWrap + 100000, 12, false},
        {kWrap + 100000, 5, false, kRate, kRate, 180000},  // an hour off
        {kWrap + 100000, 110, false, kSlowRate, kRate},
        {kWrap / 16, 12, true, kRate, kSlowRate},
        {kWrap / 4, 12, false, kRate, kRate, 0, fieldsOf(kWrap * 5 / 4, kRate)},
        {uint64_t{64} * 86400 * kRate / (188 * 8), 12, false},  // 64 days
    };
    for (const auto& stop : stops) {
        SCOPED_TRACE(&stop - stops);
        ASSERT_TRUE(sim::SetAsiInputRate(0, stop.rate));
        if (stop.offFields != 0) {
            ASSERT_NO_FATAL_FAILURE(read(12));
            ASSERT_EQ(input->DisableInput(kPort), 1u);
            ASSERT_TRUE(sim::StepFields(0, stop.offFields));
            ASSERT_EQ(input->EnableInput(kPort), 1u);
        }
        ASSERT_EQ(input->StartCapture(kPort), 1u);
        const uint64_t start = received();
        taken = 0;
        ASSERT_NO_FATAL_FAILURE(read(stop.rounds));
        // The card fills, then drops the stop's packets: 188-byte packets,
        // 50 fields a second.
        ASSERT_TRUE(sim::SetAsiInputRate(0, stop.stopRate));
        ASSERT_TRUE(sim::StepFields(0, fieldsOf(stop.drops + kUnits, stop.stopRate)));
        if (stop.pullFields != 0) {
            ASSERT_TRUE(sim::SetAsiInput(0, sim::SimAsiSource::None));
            ASSERT_TRUE(sim::StepFields(0, stop.pullFields));
            ASSERT_TRUE(sim::SetAsiInput(0, sim::SimAsiSource::Generator));
        }
        uint32_t kept = 0;
        ASSERT_EQ(input->LookAtCapture(kPort, &kept, true), 1u);
        const uint64_t missed = received() - start - taken - kept;
        ASSERT_GE(missed, stop.drops);
        EXPECT_EQ(input->LostMayBeOff(), !stop.exact);
        EXPECT_EQ((missed - input->LostPackets()) % kWrap, 0u);
        if (stop.exact) {
            EXPECT_EQ(input->LostPackets(), missed);
        }
    }
}

TEST_F(AsiPortTest, FailedLockTransferOrCommitMovesNothing) {
    const uint32_t outputBefore = OutputPointer();
    const uint32_t inputBefore = InputPointer();
    std::vector<uint8_t> buffer(4 * kAsiEntryBytes);
    bridge->failLock = true;
    bridge->transfers = 0;
    EXPECT_EQ(output->WriteDma(Entries(4, 1).data(), 4, kPort), 0u);
    EXPECT_EQ(input->ReadDma(buffer.data(), 4, kPort), 0u);
    EXPECT_EQ(bridge->transfers.load(), 0);
    bridge->failLock = false;
    // Entries whose read the card was not told of are read again.
    bridge->failCommit = true;
    EXPECT_EQ(input->ReadDma(buffer.data(), 4, kPort), 0u);
    bridge->failCommit = false;

    // A failed transfer is aborted, which also ends the fault: set it for
    // each.
    ASSERT_TRUE(sim::SetDmaFault(0, output->GetDmaChannel(), sim::DmaFault::Busy));
    EXPECT_EQ(output->WriteDma(Entries(4, 1).data(), 4, kPort), 0u);
    ASSERT_TRUE(sim::SetDmaFault(0, input->GetDmaChannel(), sim::DmaFault::Busy));
    EXPECT_EQ(input->ReadDma(buffer.data(), 4, kPort), 0u);
    EXPECT_EQ(OutputPointer(), outputBefore);
    EXPECT_EQ(InputPointer(), inputBefore);
    EXPECT_EQ(sim::PlayedAsiPackets(0)->played, 0u);
    ASSERT_TRUE(sim::SetDmaFault(0, output->GetDmaChannel(), sim::DmaFault::None));

    // More entries than the window holds are refused.
    EXPECT_EQ(output->WriteDma(buffer.data(), kUnits + 1, kPort), 0u);
    EXPECT_EQ(output->WriteDma(buffer.data(), 0, kPort), 1u);
}

}  // namespace
}  // namespace velmora::ts
