// Block DMA, DMA channels, interrupt enables and notifications of the
// simulated driver.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "SimTestSupport.h"
#include "platform/Event.h"

namespace velmora::sim::testing {
namespace {

using namespace velmora::hw;

constexpr uint32_t kMemory = 32u << 20;

// A notify object as the device layer builds it, with its event.
struct Notification {
    std::unique_ptr<platform::Event> event = platform::Event::Create(true, false);
    PLX_NOTIFY_OBJECT object{};
    Notification() { object.hEvent = reinterpret_cast<uintptr_t>(event.get()); }
    // Whether it was set since the last look.
    bool Fired() {
        const bool fired = event->Wait(0) == platform::WaitResult::Signaled;
        event->Reset();
        return fired;
    }
};

class SimDmaTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(device.Open());
        ASSERT_EQ(device.Status(PLX_IOCTL_DMA_CHANNEL_OPEN, 0), ApiSuccess);
        ASSERT_EQ(device.Status(PLX_IOCTL_DMA_SET_PROPERTIES, 0), ApiSuccess);
    }
    Device device{Device::Closed{}};
};

TEST_F(SimDmaTest, CopiesBothWaysWithinCardMemory) {
    std::vector<uint8_t> out(4096);
    std::iota(out.begin(), out.end(), uint8_t{1});
    const uint32_t address = kMemory - 4096;
    EXPECT_EQ(device.Dma(0, out.data(), address, 4096, kPlxDirectionHostToCard), ApiSuccess);
    std::vector<uint8_t> seen(4096);
    ASSERT_TRUE(PeekMemory(0, address, seen.data(), seen.size()));
    EXPECT_EQ(seen, out);

    std::vector<uint8_t> in(4096);
    EXPECT_EQ(device.Dma(0, in.data(), address, 4096, kPlxDirectionCardToHost), ApiSuccess);
    EXPECT_EQ(in, out);

    std::vector<uint8_t> untouched(in.size(), 0xEE);
    in = untouched;
    EXPECT_EQ(device.Dma(0, in.data(), address + 1, 4096, 1), ApiInvalidAddress);
    EXPECT_EQ(device.Dma(0, in.data(), 0xFFFFFFFF, 2, 1), ApiInvalidAddress);
    EXPECT_NE(device.Dma(0, in.data(), 0, 0, 1), ApiSuccess);
    EXPECT_EQ(device.Dma(0, nullptr, 0, 4, 1), ApiNullParam);
    EXPECT_EQ(device.Dma(4, in.data(), 0, 4, 1), ApiDmaChannelInvalid);
    EXPECT_EQ(device.Dma(1, in.data(), 0, 4, 1), ApiFailed) << "channel 1 is not open";
    EXPECT_EQ(in, untouched);

    EXPECT_EQ(device.Status(PLX_IOCTL_DMA_CHANNEL_CLOSE, 0), ApiSuccess);
    EXPECT_EQ(device.Status(PLX_IOCTL_DMA_CHANNEL_CLOSE, 0), ApiFailed);
    EXPECT_EQ(device.Dma(0, in.data(), 0, 4, 1), ApiFailed);
    EXPECT_EQ(device.Status(PLX_IOCTL_DMA_CHANNEL_OPEN, 4), ApiDmaChannelInvalid);
}

TEST_F(SimDmaTest, SignalsCompletionOnlyWhenEnabled) {
    Notification done0, done1, field;
    ASSERT_EQ(device.Register(&done0.object, kPlxIntDmaDoneBase << 0), ApiSuccess);
    ASSERT_EQ(device.Register(&done1.object, kPlxIntDmaDoneBase << 1), ApiSuccess);
    ASSERT_EQ(device.Register(&field.object, kPlxIntLocal1), ApiSuccess);
    uint32_t word = 0;

    EXPECT_EQ(device.Dma(0, &word, 0, 4, 1), ApiSuccess);
    EXPECT_FALSE(done0.Fired()) << "nothing enabled";

    ASSERT_EQ(device.Interrupts(true, kPlxIntDmaDoneBase), ApiSuccess);
    EXPECT_EQ(device.Dma(0, &word, 0, 4, 1), ApiSuccess);
    EXPECT_FALSE(done0.Fired()) << "PCI main interrupt still off";

    ASSERT_EQ(device.Interrupts(true, kPlxIntPciMain), ApiSuccess);
    EXPECT_EQ(device.Dma(0, &word, 0, 4, 1), ApiSuccess);
    EXPECT_TRUE(done0.Fired());
    EXPECT_FALSE(done1.Fired());
    EXPECT_FALSE(field.Fired());

    // The enable mask belongs to the device, whichever handle changes it.
    Device other;
    ASSERT_EQ(other.Interrupts(false, kPlxIntDmaDoneBase), ApiSuccess);
    EXPECT_EQ(device.Dma(0, &word, 0, 4, 1), ApiSuccess);
    EXPECT_FALSE(done0.Fired());
    ASSERT_EQ(other.Interrupts(true, kPlxIntDmaDoneBase), ApiSuccess);

    const uint64_t address = reinterpret_cast<uintptr_t>(&done0.object);
    EXPECT_EQ(device.Status(PLX_IOCTL_NOTIFY_CANCEL, address), ApiSuccess);
    EXPECT_EQ(device.Status(PLX_IOCTL_NOTIFY_CANCEL, address), ApiFailed);
    EXPECT_EQ(device.Dma(0, &word, 0, 4, 1), ApiSuccess);
    EXPECT_FALSE(done0.Fired());

    // Registrations go with the device they were made through.
    Notification viaOther;
    ASSERT_EQ(other.Register(&viaOther.object, kPlxIntDmaDoneBase), ApiSuccess);
    other.Close();
    EXPECT_EQ(device.Dma(0, &word, 0, 4, 1), ApiSuccess);
    EXPECT_FALSE(viaOther.Fired());

    PLX_NOTIFY_OBJECT noEvent{};
    EXPECT_NE(device.Register(&noEvent, kPlxIntDmaDoneBase), ApiSuccess);
    EXPECT_EQ(device.Register(nullptr, kPlxIntDmaDoneBase), ApiNullParam);
}

TEST_F(SimDmaTest, NeverCompletesUntilAborted) {
    Notification done;
    ASSERT_EQ(device.Interrupts(true, kPlxIntPciMain | kPlxIntDmaDoneBase), ApiSuccess);
    ASSERT_EQ(device.Register(&done.object, kPlxIntDmaDoneBase), ApiSuccess);
    ASSERT_TRUE(SetDmaFault(0, 0, DmaFault::NeverCompletes));

    uint32_t word = 0x11111111;
    EXPECT_EQ(device.Dma(0, &word, 0, 4, kPlxDirectionHostToCard), ApiSuccess);
    EXPECT_FALSE(done.Fired());
    uint32_t stored = 1;
    ASSERT_TRUE(PeekMemory(0, 0, &stored, 4));
    EXPECT_EQ(stored, 0u);
    EXPECT_EQ(device.Dma(0, &word, 0, 4, 0), ApiDmaInProgress);
    EXPECT_EQ(device.Status(PLX_IOCTL_DMA_CHANNEL_CLOSE, 0), ApiDmaInProgress);

    // The bridge's recovery: status, start, pause, resume, abort.
    EXPECT_EQ(device.Status(PLX_IOCTL_DMA_STATUS, 0), ApiSuccess);
    for (uint64_t command : {0, 0, 2}) {
        EXPECT_EQ(device.Status(PLX_IOCTL_DMA_CONTROL, 0, command), ApiSuccess);
    }
    EXPECT_EQ(device.Dma(0, &word, 0, 4, 0), ApiDmaInProgress);
    EXPECT_EQ(device.Status(PLX_IOCTL_DMA_CONTROL, 0, 3), ApiSuccess);
    // The abort ended the stuck transfer and the fault with it.
    EXPECT_EQ(device.Dma(0, &word, 0, 4, 0), ApiSuccess);
    EXPECT_TRUE(done.Fired());
    ASSERT_TRUE(PeekMemory(0, 0, &stored, 4));
    EXPECT_EQ(stored, 0x11111111u);

    // An abort with nothing stuck leaves the fault armed; a reset frees the
    // channel.
    ASSERT_TRUE(SetDmaFault(0, 0, DmaFault::NeverCompletes));
    EXPECT_EQ(device.Status(PLX_IOCTL_DMA_CONTROL, 0, 3), ApiSuccess);
    EXPECT_EQ(device.Dma(0, &word, 0, 4, 0), ApiSuccess);
    EXPECT_FALSE(done.Fired());
    EXPECT_EQ(device.Status(PLX_IOCTL_DMA_CHANNEL_CLOSE, 0), ApiDmaInProgress);
    EXPECT_EQ(device.Status(PLX_IOCTL_DEVICE_RESET), ApiSuccess);
    EXPECT_EQ(device.Status(PLX_IOCTL_DMA_CHANNEL_CLOSE, 0), ApiSuccess);
}

TEST_F(SimDmaTest, CompletesWithoutNotificationAndBusy) {
    Notification done;
    ASSERT_EQ(device.Interrupts(true, kPlxIntPciMain | kPlxIntDmaDoneBase), ApiSuccess);
    ASSERT_EQ(device.Register(&done.object, kPlxIntDmaDoneBase), ApiSuccess);

    ASSERT_TRUE(SetDmaFault(0, 0, DmaFault::CompletesWithoutNotification));
    uint32_t word = 0x22222222;
    EXPECT_EQ(device.Dma(0, &word, 64, 4, 0), ApiSuccess);
    EXPECT_FALSE(done.Fired());
    uint32_t stored = 0;
    ASSERT_TRUE(PeekMemory(0, 64, &stored, 4));
    EXPECT_EQ(stored, word);

    EXPECT_EQ(device.Dma(0, &word, 64, 4, 0), ApiSuccess);
    EXPECT_FALSE(done.Fired()) << "lasts until changed";

    ASSERT_TRUE(SetDmaFault(0, 0, DmaFault::Busy));
    EXPECT_EQ(device.Dma(0, &word, 64, 4, 0), ApiDmaInProgress);
    EXPECT_EQ(device.Status(PLX_IOCTL_DMA_CHANNEL_CLOSE, 0), ApiDmaInProgress);
    // What the bridge does on 538 at close: reset, close again.
    EXPECT_EQ(device.Status(PLX_IOCTL_DEVICE_RESET), ApiSuccess);
    EXPECT_EQ(device.Status(PLX_IOCTL_DMA_CHANNEL_CLOSE, 0), ApiSuccess);
    ASSERT_EQ(device.Status(PLX_IOCTL_DMA_CHANNEL_OPEN, 0), ApiSuccess);
    EXPECT_EQ(device.Dma(0, &word, 64, 4, 0), ApiSuccess);
    EXPECT_TRUE(done.Fired());

    EXPECT_FALSE(SetDmaFault(0, 4, DmaFault::Busy));
    EXPECT_FALSE(SetDmaFault(1, 0, DmaFault::Busy)) << "there is one card";
}

// Registers, transfers and notifications from several threads at once, each
// on its own register, channel and memory region; with devices opened and
// closed beside them.
TEST_F(SimDmaTest, ConcurrentRequestsStayConsistent) {
    ASSERT_EQ(device.Status(PLX_IOCTL_DMA_CHANNEL_OPEN, 1), ApiSuccess);
    ASSERT_EQ(device.Interrupts(true, kPlxIntPciMain | (3u << 4)), ApiSuccess);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            Device own;
            Notification done;
            const unsigned channel = t % 2;
            if (own.Register(&done.object, kPlxIntDmaDoneBase << channel) != ApiSuccess) ++failures;
            std::vector<uint32_t> block(256), back(256);
            for (uint32_t i = 0; i < 300; ++i) {
                const uint32_t offset = 0x400 + 4 * t;
                own.Write(offset, i * 7 + t);
                if (own.Read(offset) != i * 7 + t) ++failures;
                std::fill(block.begin(), block.end(), i + (t << 24));
                const uint32_t address = (t + 1) * 0x10000;
                if (own.Dma(channel, block.data(), address, 1024, 0) != ApiSuccess) ++failures;
                if (own.Dma(channel, back.data(), address, 1024, 1) != ApiSuccess) ++failures;
                if (back != block || !done.Fired()) ++failures;
                if (i % 50 == 0) Device(0).Close();
            }
            own.Status(PLX_IOCTL_NOTIFY_CANCEL, reinterpret_cast<uintptr_t>(&done.object));
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace velmora::sim::testing
