// Several processes on one simulated card, and a process that dies holding
// the card's lock.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "SimTestSupport.h"
#include "WaitSupport.h"
#include "platform/SharedMemory.h"
#include "sim/SimCard.h"

namespace velmora::sim::testing {
namespace {

using namespace velmora::hw;

// A pipe that carries single bytes between a parent and its child; reads
// give up after a few seconds so a broken peer cannot hang the test.
class Pipe {
  public:
    Pipe() { EXPECT_EQ(pipe(m_fds), 0); }
    ~Pipe() {
        close(m_fds[0]);
        close(m_fds[1]);
    }
    void Send(char c) { EXPECT_EQ(write(m_fds[1], &c, 1), 1); }
    char Receive() {
        for (int i = 0; i < 500; ++i) {
            char c = 0;
            fd_set set;
            FD_ZERO(&set);
            FD_SET(m_fds[0], &set);
            timeval wait{0, 10000};
            if (select(m_fds[0] + 1, &set, nullptr, nullptr, &wait) == 1 &&
                read(m_fds[0], &c, 1) == 1) {
                return c;
            }
        }
        return 0;
    }

  private:
    int m_fds[2];
};

int WaitChild(pid_t child) {
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

using SimProcessTest = SimTest;

// The child attaches the card by name on its own, as an unrelated program
// would; each process then sees what the other wrote.
TEST_F(SimProcessTest, TwoProcessesShareOneCard) {
    Pipe toParent, toChild;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failures = 0;
        {
            Device device;
            if (!device.IsOpen()) _exit(10);
            uint32_t value = 0x600D;
            device.BarSpace(true, 0x50, &value);
            uint64_t block[4] = {1, 2, 3, 4};
            if (device.Status(PLX_IOCTL_DMA_CHANNEL_OPEN, 0) != ApiSuccess) ++failures;
            if (device.Dma(0, block, 0x1000, sizeof(block), 0) != ApiSuccess) ++failures;
            toParent.Send('1');
            if (toChild.Receive() != '2') _exit(11);
            device.BarSpace(false, 0x24, &value);
            if (value != 0xFEED) ++failures;
            if (device.Dma(0, block, 0x2000, 8, 1) != ApiSuccess || block[0] != 42) ++failures;
        }
        toParent.Send('3');
        _exit(failures);
    }
    ASSERT_EQ(toParent.Receive(), '1');
    {
        Device device;
        ASSERT_TRUE(device.IsOpen());
        EXPECT_EQ(device.Read(0x50), 0x600Du);
        uint64_t block[4] = {};
        EXPECT_EQ(device.Dma(0, block, 0x1000, sizeof(block), 1), ApiSuccess) << "channel opened "
                                                                                 "by the child";
        EXPECT_EQ(block[3], 4u);
        device.Write(0x24, 0xFEED);
        block[0] = 42;
        EXPECT_EQ(device.Dma(0, block, 0x2000, 8, 0), ApiSuccess);
        toChild.Send('2');
        EXPECT_EQ(toParent.Receive(), '3');
        // The child has let go; the card lives on with this process.
        EXPECT_EQ(device.Read(0x24), 0xFEEDu);
    }
    EXPECT_EQ(WaitChild(child), 0);
}

// A child forked without exec shares the parent's attachment of the card;
// using it and ending with the normal exit steps must leave the parent's card
// as it was: computed registers stay computed and the card stays shared.
TEST_F(SimProcessTest, AForkedChildLeavesTheParentsCardAsItWas) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer cannot follow a child forked from a process with threads";
#endif
    constexpr uint32_t kAsiStatus = 0x16C;
    Device device;
    ASSERT_TRUE(device.IsOpen());
    device.Write(kAsiStatus, 0x1F5);  // a stored word the read never shows
    const uint32_t status = device.Read(kAsiStatus);
    ASSERT_NE(status, 0x1F5u);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failures = 0;
        {
            Device own;
            if (!own.IsOpen() || own.Read(kAsiStatus) != status) ++failures;
            own.Write(0x50, 0xC41D);
        }
        ReleaseCards();
        std::exit(failures);
    }
    EXPECT_EQ(WaitChild(child), 0);
    EXPECT_EQ(device.Read(kAsiStatus), status);
    EXPECT_EQ(device.Read(0x50), 0xC41Du);
    device.Close();
    Device again;
    ASSERT_TRUE(again.IsOpen());
    EXPECT_EQ(again.Read(kAsiStatus), status);
}

// The card lives while any process has it: a child forked while the parent
// has it open keeps it when the parent lets go, so the parent's next open
// finds the same card.
TEST_F(SimProcessTest, AForkedChildKeepsTheCardWhenTheParentLetsGo) {
    auto device = std::make_unique<Device>();
    ASSERT_TRUE(device->IsOpen());
    device->Write(0x50, 0x1111);
    Pipe toParent, toChild;
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (toChild.Receive() != 'w') _exit(10);
        const uint32_t value = device->Read(0x50);
        device->Write(0x24, 0x3333);
        toParent.Send('r');
        _exit(value == 0x2222 ? 0 : 1);
    }
    device.reset();
    ReleaseCards();
    Device again;
    ASSERT_TRUE(again.IsOpen());
    EXPECT_EQ(again.Read(0x50), 0x1111u);
    again.Write(0x50, 0x2222);
    toChild.Send('w');
    EXPECT_EQ(toParent.Receive(), 'r');
    EXPECT_EQ(WaitChild(child), 0);
    EXPECT_EQ(again.Read(0x24), 0x3333u);
}

// A process killed inside the card lock must not wedge the card for the
// others, not even for a request already waiting on the lock.
TEST_F(SimProcessTest, KilledLockHolderDoesNotWedgeTheCard) {
    auto device = std::make_shared<Device>();
    device->Write(0x50, 1);
    Pipe toParent;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto memory = platform::SharedMemory::Open("VelmoraSimCard0", sizeof(SimCardState));
        if (!memory) _exit(10);
        auto* state = static_cast<SimCardState*>(memory->Data());
        if (state->lock.Lock() != platform::WaitResult::Signaled) _exit(11);
        toParent.Send('L');
        for (;;)
            pause();
    }
    ASSERT_EQ(toParent.Receive(), 'L');
    // Detached, so that a wedged card fails the test instead of hanging it.
    auto result = std::make_shared<std::promise<uint32_t>>();
    std::future<uint32_t> blocked = result->get_future();
    std::thread([device, result] { result->set_value(device->Read(0x50)); }).detach();
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    ASSERT_EQ(kill(child, SIGKILL), 0);
    EXPECT_EQ(WaitChild(child), 128 + SIGKILL);
    ASSERT_EQ(blocked.wait_for(::velmora::test::kHangBound), std::future_status::ready);
    EXPECT_EQ(blocked.get(), 1u);
    device->Write(0x50, 2);
    EXPECT_EQ(device->Read(0x50), 2u);
}

}  // namespace
}  // namespace velmora::sim::testing
