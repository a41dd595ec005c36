// The queued DMA service over the simulated card's bridge.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "PlxTestSupport.h"
#include "WaitSupport.h"
#include "hw/DmaManager.h"
#include "hw/VelmoraPciBridge.h"
#include "sim/SimControl.h"

namespace velmora::hw::testing {
namespace {

constexpr uint32_t kFrameBytes = 829440;
constexpr uint32_t kAddressA = 0x1FA400 * 4;
constexpr uint32_t kAddressB = kAddressA + 0x100000;

// Whether the thread sleeps in the kernel (state S in its stat line).
bool Sleeps(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string line((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    const size_t name = line.rfind(')');
    return name != std::string::npos && name + 2 < line.size() && line[name + 2] == 'S';
}

// Runs `call` on a thread of its own and returns once that thread sleeps:
// the call has reached its wait.
template <typename Call>
auto Waiting(Call call) {
    auto tid = std::make_shared<std::atomic<pid_t>>(0);
    auto future = std::async(std::launch::async, [tid, call] {
        *tid = gettid();
        return call();
    });
    ::velmora::test::WaitUntil([&] { return *tid != 0 && Sleeps(*tid); }, "a call's wait");
    return future;
}

// The card's bridge with a gate in front of the channel lock, so a test can
// hold the worker before its transfer, and a switch that makes the lock fail.
class GatedBridge : public CVelmoraPciBridge {
  public:
    uint32_t LockDmaChannel(uint32_t channel) override {
        std::unique_lock lock(m_mutex);
        ++m_arrivals;
        m_cv.notify_all();
        m_cv.wait(lock, [this] { return m_open; });
        lockedChannels.push_back(channel);
        if (failLock) return 0;
        lock.unlock();
        return CVelmoraPciBridge::LockDmaChannel(channel);
    }
    void Close() {
        std::lock_guard lock(m_mutex);
        m_open = false;
    }
    void Open() {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_cv.notify_all();
    }
    // Waits until the worker stands at the closed gate.
    void WaitForWorker() {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return m_arrivals > 0; });
    }
    std::vector<uint32_t> Channels() {
        std::lock_guard lock(m_mutex);
        return lockedChannels;
    }

    bool failLock = false;

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_open = true;
    int m_arrivals = 0;
    std::vector<uint32_t> lockedChannels;
};

class DmaManagerTest : public PlxSimTest {
  protected:
    void SetUp() override {
        PlxSimTest::SetUp();
        uint32_t count = 0;
        ASSERT_TRUE(bridge.GetBoardCount(&count) && count == 1);
        ASSERT_TRUE(bridge.FindBoard(0) && bridge.OpenBoard());
        for (uint32_t channel = 0; channel < 2; ++channel) {
            ASSERT_TRUE(bridge.DmaChannelOpen(channel) && bridge.EnableDmaInterrupt(channel) &&
                        bridge.RegisterDmaNotification(channel));
        }
    }
    void TearDown() override {
        bridge.Open();
        manager.reset();
        for (uint32_t channel = 0; channel < 2; ++channel) {
            bridge.CancelDmaNotification(channel);
            bridge.DmaChannelClose(channel);
        }
        bridge.CloseBoard();
        PlxSimTest::TearDown();
    }

    uint32_t AddChannel(uint32_t direction) {
        uint32_t id = 0xFFFF;
        EXPECT_EQ(manager->AddChannel(&id, direction), 1u);
        return id;
    }
    static std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
        std::vector<uint8_t> bytes(size);
        std::iota(bytes.begin(), bytes.end(), seed);
        return bytes;
    }
    static std::vector<uint8_t> CardBytes(uint32_t address, size_t size) {
        std::vector<uint8_t> bytes(size);
        EXPECT_TRUE(sim::PeekMemory(0, address, bytes.data(), size));
        return bytes;
    }

    GatedBridge bridge;
    std::unique_ptr<CDmaManager> manager = std::make_unique<CDmaManager>(&bridge);
};

TEST_F(DmaManagerTest, FramesLandByteExactBothWaysOnTheChannelOfTheirDirection) {
    ASSERT_EQ(manager->Start(4), 1u);
    const uint32_t out = AddChannel(0);
    const uint32_t in = AddChannel(1);
    const auto frame = Pattern(kFrameBytes, 7);
    ASSERT_EQ(manager->Submit(out, const_cast<uint8_t*>(frame.data()), kAddressA, kFrameBytes), 1u);
    ASSERT_EQ(manager->WaitDone(out), 1u);
    EXPECT_EQ(CardBytes(kAddressA, kFrameBytes), frame);

    std::vector<uint8_t> back(kFrameBytes);
    ASSERT_EQ(manager->Submit(in, back.data(), kAddressA, kFrameBytes), 1u);
    ASSERT_EQ(manager->WaitDone(in), 1u);
    EXPECT_EQ(back, frame);
    EXPECT_EQ(bridge.Channels(), (std::vector<uint32_t>{1, 0}));

    // A fault on bridge channel 1 fails the host-to-card request only.
    ASSERT_TRUE(sim::SetDmaFault(0, 1, sim::DmaFault::Busy));
    ASSERT_EQ(manager->Submit(in, back.data(), kAddressA, 4096), 1u);
    ASSERT_EQ(manager->Submit(out, const_cast<uint8_t*>(frame.data()), kAddressB, 4096), 1u);
    EXPECT_EQ(manager->WaitDone(in), 1u);
    EXPECT_EQ(manager->WaitDone(out), 0u);
    // The failure was reported once; the slot works again.
    EXPECT_EQ(manager->WaitDone(out), 1u);
    ASSERT_EQ(manager->Submit(out, const_cast<uint8_t*>(frame.data()), kAddressB, 4096), 1u);
    EXPECT_EQ(manager->WaitDone(out), 1u);
}

TEST_F(DmaManagerTest, RefusesBadSlotsBuffersAndASecondStart) {
    uint32_t id = 0;
    uint32_t busy = 0;
    int buffer = 0;
    // Not started: no slots at all.
    EXPECT_EQ(manager->AddChannel(&id, 0), 0u);
    EXPECT_EQ(manager->Submit(0, &buffer, 0, 4), 0u);
    EXPECT_EQ(manager->Start(0), 0u);

    ASSERT_EQ(manager->Start(2), 1u);
    EXPECT_EQ(manager->Start(3), 0u);
    const uint32_t first = AddChannel(0);
    const uint32_t second = AddChannel(1);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(second, 1u);
    EXPECT_EQ(manager->AddChannel(&id, 0), 0u);
    EXPECT_EQ(manager->Submit(first, nullptr, 0, 4), 0u);
    EXPECT_EQ(manager->Submit(2, &buffer, 0, 4), 0u);
    EXPECT_EQ(manager->IsBusy(2, &busy), 0u);
    EXPECT_EQ(manager->WaitDone(2), 0u);

    ASSERT_EQ(manager->RemoveChannel(first), 1u);
    EXPECT_EQ(manager->RemoveChannel(first), 0u);
    EXPECT_EQ(manager->Submit(first, &buffer, 0, 4), 0u);
    EXPECT_EQ(manager->IsBusy(first, &busy), 0u);
    EXPECT_EQ(manager->WaitDone(first), 0u);
    // The lowest free index is taken again.
    EXPECT_EQ(AddChannel(1), first);
    EXPECT_EQ(manager->IsBusy(first, &busy), 1u);
    EXPECT_EQ(busy, 0u);
}

TEST_F(DmaManagerTest, AFullQueueRefusesAtOnceAndWaitDoneCoversEveryRequestOfItsSlot) {
    ASSERT_EQ(manager->Start(4), 1u);
    const uint32_t slot = AddChannel(0);
    const uint32_t other = AddChannel(0);
    const auto first = Pattern(4096, 1);
    const auto second = Pattern(4096, 99);
    bridge.Close();
    ASSERT_EQ(manager->Submit(other, const_cast<uint8_t*>(first.data()), kAddressB, 4096), 1u);
    ASSERT_EQ(manager->Submit(slot, const_cast<uint8_t*>(first.data()), kAddressA, 4096), 1u);
    ASSERT_EQ(manager->Submit(slot, const_cast<uint8_t*>(second.data()), kAddressA, 4096), 1u);
    ASSERT_EQ(manager->Submit(other, const_cast<uint8_t*>(second.data()), kAddressB, 4096), 1u);
    EXPECT_EQ(manager->Submit(slot, const_cast<uint8_t*>(first.data()), kAddressA, 4096), 0u);

    auto done = std::async(std::launch::async, [&] { return manager->WaitDone(slot); });
    bridge.Open();
    EXPECT_EQ(done.get(), 1u);
    uint32_t busy = 1;
    ASSERT_EQ(manager->IsBusy(slot, &busy), 1u);
    EXPECT_EQ(busy, 0u);
    // The slot's later request has landed, not just its first.
    EXPECT_EQ(CardBytes(kAddressA, 4096), second);
    EXPECT_EQ(manager->WaitDone(other), 1u);
    EXPECT_EQ(CardBytes(kAddressB, 4096), second);
}

TEST_F(DmaManagerTest, ASubmitRightAfterWaitDoneFindsRoom) {
    ASSERT_EQ(manager->Start(1), 1u);
    const uint32_t slot = AddChannel(0);
    const auto data = Pattern(4096, 9);
    for (int round = 0; round < 50; ++round) {
        ASSERT_EQ(manager->Submit(slot, const_cast<uint8_t*>(data.data()), kAddressA, 4096), 1u)
            << round;
        ASSERT_EQ(manager->WaitDone(slot), 1u);
    }
}

TEST_F(DmaManagerTest, AFailedChannelLockFailsTheRequestWithoutATransfer) {
    ASSERT_EQ(manager->Start(2), 1u);
    const uint32_t slot = AddChannel(0);
    const auto before = CardBytes(kAddressA, 4096);
    const auto data = Pattern(4096, 3);
    bridge.failLock = true;
    ASSERT_EQ(manager->Submit(slot, const_cast<uint8_t*>(data.data()), kAddressA, 4096), 1u);
    EXPECT_EQ(manager->WaitDone(slot), 0u);
    EXPECT_EQ(CardBytes(kAddressA, 4096), before);
}

TEST_F(DmaManagerTest, ARemovedSlotsQueuedRequestsAreDroppedAndItsWaiterWakes) {
    ASSERT_EQ(manager->Start(4), 1u);
    const uint32_t running = AddChannel(0);
    const uint32_t removed = AddChannel(0);
    const auto stale = Pattern(4096, 11);
    const auto fresh = Pattern(4096, 77);
    const auto before = CardBytes(kAddressB, 4096);
    bridge.Close();
    ASSERT_EQ(manager->Submit(running, const_cast<uint8_t*>(fresh.data()), kAddressA, 4096), 1u);
    ASSERT_EQ(manager->Submit(removed, const_cast<uint8_t*>(stale.data()), kAddressB, 4096), 1u);
    ASSERT_EQ(manager->Submit(removed, const_cast<uint8_t*>(stale.data()), kAddressB, 4096), 1u);
    bridge.WaitForWorker();
    auto waiter = Waiting([&] { return manager->WaitDone(removed); });
    ASSERT_EQ(manager->RemoveChannel(removed), 1u);
    EXPECT_EQ(waiter.get(), 1u);
    // Added again at the same index while the old requests still wait.
    ASSERT_EQ(AddChannel(0), removed);
    std::vector<uint8_t> back(4096);
    ASSERT_TRUE(manager->RemoveChannel(running));
    ASSERT_EQ(AddChannel(1), running);
    ASSERT_EQ(manager->Submit(running, back.data(), kAddressB, 4096), 1u);
    bridge.Open();
    EXPECT_EQ(manager->WaitDone(running), 1u);
    // The removed slot's requests never ran.
    EXPECT_EQ(back, before);
    EXPECT_EQ(CardBytes(kAddressB, 4096), before);
}

TEST_F(DmaManagerTest, StopFailsQueuedRequestsAndARestartWithAnotherCapacityIsClean) {
    ASSERT_EQ(manager->Start(8), 1u);
    const uint32_t slot = AddChannel(0);
    const uint32_t queued = AddChannel(0);
    const auto data = Pattern(4096, 5);
    bridge.Close();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(manager->Submit(slot, const_cast<uint8_t*>(data.data()), kAddressA, 4096), 1u);
    }
    ASSERT_EQ(manager->Submit(queued, const_cast<uint8_t*>(data.data()), kAddressB, 4096), 1u);
    bridge.WaitForWorker();
    auto waiter = std::async(std::launch::async, [&] { return manager->WaitDone(queued); });
    auto stopped = Waiting([&] { return manager->Stop(); });
    bridge.Open();
    EXPECT_EQ(stopped.get(), 1u);
    EXPECT_EQ(waiter.get(), 0u);
    uint32_t id = 0;
    EXPECT_EQ(manager->AddChannel(&id, 0), 0u);

    ASSERT_EQ(manager->Start(2), 1u);
    const uint32_t again = AddChannel(1);
    std::vector<uint8_t> back(4096);
    ASSERT_EQ(manager->Submit(again, back.data(), kAddressA, 4096), 1u);
    ASSERT_EQ(manager->Submit(again, back.data(), kAddressA, 4096), 1u);
    EXPECT_EQ(manager->Submit(again, back.data(), kAddressA, 4096), 0u);
    EXPECT_EQ(manager->WaitDone(again), 1u);
    EXPECT_EQ(back, data);
    // Deleting a running manager with work queued ends its worker.
    bridge.Close();
    ASSERT_EQ(manager->Submit(again, back.data(), kAddressA, 4096), 1u);
    ASSERT_EQ(manager->Submit(again, back.data(), kAddressA, 4096), 1u);
    auto deleted = std::async(std::launch::async, [&] { manager.reset(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    bridge.Open();
    deleted.get();
}

TEST(HcQueueTest, KeepsOrderAcrossTheWrapAndRestartsEmptyOnResize) {
    CHcQueue<int> queue(30);
    queue.Resize(3);
    int item = 0;
    EXPECT_EQ(queue.Peek(&item, 0), 0u);
    for (int round = 0; round < 4; ++round) {
        EXPECT_EQ(queue.Push(round), 1u);
        EXPECT_EQ(queue.Push(round + 10), 1u);
        ASSERT_EQ(queue.Peek(&item, 0), 1u);
        EXPECT_EQ(item, round);
        EXPECT_EQ(queue.PopFront(), 1u);
        ASSERT_EQ(queue.Peek(&item, 0), 1u);
        EXPECT_EQ(item, round + 10);
        EXPECT_EQ(queue.PopFront(), 1u);
    }
    EXPECT_EQ(queue.PopFront(), 0u);
    queue.Push(1);
    queue.Push(2);
    queue.Push(3);
    EXPECT_EQ(queue.IsFull(), 1u);
    EXPECT_EQ(queue.Push(4), 0u);
    queue.Resize(2);
    EXPECT_EQ(queue.IsEmpty(), 1u);

    // A waiting reader gets a later push (a time-out no busy machine
    // reaches), or gives up after the time-out.
    CHcQueue<int> patient(::velmora::test::kHangBoundMs);
    patient.Resize(2);
    auto reader = Waiting([&] {
        int got = 0;
        return patient.Peek(&got, 1) ? got : -1;
    });
    patient.Push(42);
    EXPECT_EQ(reader.get(), 42);
    EXPECT_EQ(queue.Peek(&item, 1), 0u);
}

}  // namespace
}  // namespace velmora::hw::testing
