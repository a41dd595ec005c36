// Card open and close through the exported functions: the cross-process open
// protocol, processes that die with the card open, and failed opens and
// closes.

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>

#include "CardTestSupport.h"
#include "PlatformTestSupport.h"
#include "TsEngineTestSupport.h"
#include "api/VelmoraSdkApi.h"
#include "platform/NamedMutex.h"
#include "program/OstrevoCpldConfig.h"
#include "program/OstrevoFpgaConfig.h"

namespace velmora::cardtest {
namespace {

using platform::test::Child;
using platform::test::Pipe;

// Reads `count` captured packets; false when they do not all arrive within
// a bound that only stops a hung card.
bool CapturePackets(uint32_t count) {
    std::vector<uint8_t> data(size_t{count} * 188);
    uint32_t read = 0;
    return tstest::WaitFor(
               [&] {
                   uint32_t ready = 0;
                   Quorvel_Velmora_TsCaptureGetFillBufferNum(&ready, 0);
                   ready = std::min(ready, count - read);
                   if (ready &&
                       Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(&data[read * 188], ready, 0))
                       read += ready;
                   return read == count;
               }) &&
           data[0] == 0x47 && data[(count - 1) * 188] == 0x47;
}

// Open, capture and close, as an application does; 0 when all went well.
int UseCard() {
    if (Quorvel_Velmora_OpenCard(0) != 1) return 20;
    const bool captured = Quorvel_Velmora_TsCaptureEnable(0) == 1 && CapturePackets(500);
    Quorvel_Velmora_TsCaptureDisable(0);
    if (Quorvel_Velmora_CloseCard(0) != 1) return 22;
    return captured ? 0 : 21;
}

// The objects of this test process's namespace that are left in /dev/shm.
std::vector<std::string> NamespaceObjectsLeft() {
    const std::string prefix = platform::IpcNamespace() + ".";
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) left.push_back(name);
    }
    return left;
}

TEST_F(CardTest, TwoProcessesShareTheCardAndTheLastCloserClosesIt) {
    Pipe toChild, toParent;
    Child child([&] {
        if (!toChild.Wait()) return 10;
        if (Quorvel_Velmora_OpenCard(0) != 1) return 11;
        // A later opener finds the block and leaves the devices alone.
        if (Card(0)->IsCreator() || Card(0)->GetSystemOpenCount() != 2) return 12;
        toParent.Signal();
        if (!toChild.Wait()) return 13;
        // The first opener has gone; the card still works here.
        uint32_t version = 0;
        if (!Quorvel_Velmora_GetFPGAVersion(&version, 0) || version != 0x50103) return 14;
        if (SystemOpenCount(0) != 1 || !VideoRelay0On()) return 15;
        if (Quorvel_Velmora_CloseCard(0) != 1) return 16;
        return SystemOpenCount(0) == -1 && !VideoRelay0On() ? 0 : 17;
    });
    ASSERT_TRUE(child.Started());

    ASSERT_TRUE(sim::EnableRegisterWriteLog(0, true));
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    EXPECT_TRUE(Card(0)->IsCreator());
    EXPECT_EQ(SystemOpenCount(0), 1);
    EXPECT_TRUE(DeviceInitialised());
    EXPECT_TRUE(VideoRelay0On());

    ASSERT_TRUE(sim::ClearRegisterWriteLog(0));
    toChild.Signal();
    ASSERT_TRUE(toParent.Wait());
    EXPECT_EQ(SystemOpenCount(0), 2);
    EXPECT_FALSE(DeviceInitialised());

    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    EXPECT_EQ(Card(0), nullptr);
    toChild.Signal();
    EXPECT_EQ(child.Wait(), 0);

    // The block went with its last holder: the next opener creates it again.
    ASSERT_TRUE(sim::ClearRegisterWriteLog(0));
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    EXPECT_TRUE(Card(0)->IsCreator());
    EXPECT_EQ(SystemOpenCount(0), 1);
    EXPECT_TRUE(DeviceInitialised());
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    EXPECT_EQ(SystemOpenCount(0), -1);
}

TEST_F(CardTest, AProcessKilledWithTheCardOpenDoesNotStopTheNext) {
    Pipe ready;
    Child child([&] {
        if (Quorvel_Velmora_OpenCard(0) != 1) return 10;
        VELMORA_HANDLE event = nullptr;
        if (Quorvel_Velmora_InitialFieldEvent(L"KillEv", &event, 0) != 1) return 13;
        // Killed holding the open mutex as well, as if in the middle of an
        // open or close.
        auto openMutex = platform::NamedMutex::Create(Card(0)->OpenMutexName());
        if (!openMutex || openMutex->Lock() != platform::WaitResult::Signaled) return 11;
        ready.Signal();
        pause();
        return 12;
    });
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(ready.Wait());
    child.Kill();

    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    EXPECT_TRUE(Card(0)->IsCreator());
    EXPECT_EQ(SystemOpenCount(0), 1);
    uint32_t contrast = 0;
    EXPECT_EQ(Quorvel_Velmora_SetVideoInputContrast(0x90, 0), 1u);
    EXPECT_EQ(Quorvel_Velmora_GetVideoInputContrast(&contrast, 0), 1u);
    EXPECT_EQ(contrast, 0x90u);
    const std::string event = "/dev/shm" + platform::MapObjectName("event", "KillEv");
    EXPECT_TRUE(std::filesystem::exists(event));
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    EXPECT_EQ(SystemOpenCount(0), -1);
    // The killed process's field event went with the card's last user.
    EXPECT_FALSE(std::filesystem::exists(event));
}

TEST_F(CardTest, AFailedOpenInASecondProcessCountsNothing) {
    Pipe toChild, toParent;
    Child child([&] {
        if (!toChild.Wait()) return 10;
        // This process's driver shows no card: its bridge finds no board,
        // after the shared block was already opened.
        if (!sim::SetCardCount(0)) return 11;
        if (Quorvel_Velmora_OpenCard(0) != 0) return 12;
        if (Card(0) == nullptr || Card(0)->IsOpen()) return 13;
        uint32_t version = 0;
        if (Quorvel_Velmora_GetFPGAVersion(&version, 0) != 0) return 14;
        if (Quorvel_Velmora_CloseCard(0) != 1 || Card(0) != nullptr) return 15;
        return 0;
    });
    ASSERT_TRUE(child.Started());
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    toChild.Signal();
    EXPECT_EQ(child.Wait(), 0);

    // The failed opener's close neither counted down nor closed the card.
    EXPECT_EQ(SystemOpenCount(0), 1);
    EXPECT_TRUE(VideoRelay0On());
    uint32_t version = 0;
    EXPECT_EQ(Quorvel_Velmora_GetFPGAVersion(&version, 0), 1u);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    EXPECT_TRUE(Card(0) == nullptr);
    EXPECT_EQ(SystemOpenCount(0), -1);
    EXPECT_FALSE(VideoRelay0On());
}

TEST_F(CardTest, AFailedFirstOpenLeavesNothingBehindAndCanBeRetried) {
    // No card 1 on this machine.
    EXPECT_EQ(Quorvel_Velmora_OpenCard(1), 0u);
    ASSERT_NE(Card(1), nullptr);
    EXPECT_FALSE(Card(1)->IsOpen());
    EXPECT_EQ(SystemOpenCount(1), -1);
    EXPECT_EQ(Quorvel_Velmora_OpenCard(1), 0u);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(1), 1u);
    EXPECT_EQ(Card(1), nullptr);

    // A card whose open mutex cannot be made is not opened; nothing is held
    // afterwards, and the open succeeds once the mutex can be made.
    {
        BlockedMutexName blocked(std::string(kCardName) + "CardBoardInfMutex");
        EXPECT_EQ(Quorvel_Velmora_OpenCard(0), 0u);
        EXPECT_EQ(SystemOpenCount(0), -1);
    }
    EXPECT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    EXPECT_EQ(SystemOpenCount(0), 1);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);

    // Another process holds the card's block, which another user cut short
    // behind a table that claims the whole block.
    const std::string block = std::string(kCardName) + "CardFileMappingObject0";
    Pipe ready;
    Child holder([&] {
        auto memory = platform::SharedMemory::Open(block, 4096);
        if (!memory || !ready.Signal()) return 1;
        for (;;)
            pause();
    });
    ASSERT_TRUE(ready.Wait());
    ASSERT_TRUE(
        platform::test::CutShort("/dev/shm" + platform::MapObjectName("shm", block), 248, 4096));
    EXPECT_EQ(Quorvel_Velmora_OpenCard(0), 0u);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
}

TEST_F(CardTest, ACardWithoutItsRegisterMutexesIsNotOpened) {
    {
        BlockedMutexName blocked(std::string(kCardName) + "IicMasterMutex1_0");
        EXPECT_EQ(Quorvel_Velmora_OpenCard(0), 0u);
        ASSERT_NE(Card(0), nullptr);
        EXPECT_EQ(Card(0)->GetApi(), nullptr);
        EXPECT_EQ(SystemOpenCount(0), -1);
        uint32_t version = 0;
        EXPECT_EQ(Quorvel_Velmora_GetFPGAVersion(&version, 0), 0u);
    }
    EXPECT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    EXPECT_EQ(SystemOpenCount(0), 1);
}

TEST_F(CardTest, AnOpenCardIsNotOpenedTwice) {
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    card::CVelmoraCard* first = Card(0);
    api::CVelmoraSdkApi* api = first->GetApi();
    EXPECT_EQ(Quorvel_Velmora_OpenCard(0), 0u);
    EXPECT_EQ(Card(0), first);
    EXPECT_EQ(first->GetApi(), api);
    EXPECT_EQ(first->GetProcessOpenCount(), 1u);
    EXPECT_EQ(SystemOpenCount(0), 1);
    uint32_t version = 0;
    EXPECT_EQ(Quorvel_Velmora_GetFPGAVersion(&version, 0), 1u);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    EXPECT_EQ(SystemOpenCount(0), -1);
}

TEST_F(CardTest, AFailedCloseStillReleasesTheCard) {
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    // The PCI device is pulled from under the card: its close cannot close
    // it again and reports the failure.
    ASSERT_EQ(Card(0)->GetBoardSupport()->ClosePciDevice(0), 1u);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 0u);
    EXPECT_EQ(Card(0), nullptr);
    EXPECT_EQ(SystemOpenCount(0), -1);

    // Neither the open mutex nor the card's register mutexes were left held.
    Child child([] {
        if (Quorvel_Velmora_OpenCard(0) != 1) return 10;
        uint32_t contrast = 0;
        if (Quorvel_Velmora_GetVideoInputContrast(&contrast, 0) != 1) return 11;
        return Quorvel_Velmora_CloseCard(0) == 1 ? 0 : 12;
    });
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(CardTest, ACardClosesFromEveryProgrammingState) {
    // Each way leaves a programmer holding the programming lines, the board
    // and both DMA channel locks (a reconfiguration that waits stays entered).
    const std::function<uint32_t(card::CVelmoraCard*)> ways[] = {
        [](card::CVelmoraCard* c) { return c->GetApi()->EnterFpgaConfigMode(); },
        [](card::CVelmoraCard* c) { return c->GetApi()->ReconfigureFpgaAndWait(); },
        [](card::CVelmoraCard* c) { return c->GetCpldConfig()->EnterProgrammingMode(); }};
    for (const auto& enter : ways) {
        ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
        ASSERT_EQ(enter(Card(0)), 1u);
        ASSERT_TRUE(Card(0)->GetFpgaConfig()->HoldsLines() ||
                    Card(0)->GetCpldConfig()->HoldsLines());
        EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
        // The simulated machine is set up afresh only with no device open.
        EXPECT_TRUE(sim::SetCardCount(1));
        StartCard(0x5110);
        // Another process gets both DMA channels.
        Child child([] {
            if (Quorvel_Velmora_OpenCard(0) != 1) return 10;
            return Card(0)->GetApi()->TestCardMemory() == 1 ? 0 : 11;
        });
        EXPECT_EQ(child.Wait(), 0);
    }
}

// A child forked from a process with the card open inherits the card but
// none of its opens, threads or devices: its close returns at once and
// leaves the parent's card working.
TEST_F(CardTest, AForkedChildClosesOnlyWhatItOwns) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer cannot follow a child forked from a process with threads";
#endif
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    Child child([] { return Quorvel_Velmora_CloseCard(0) == 1 && Card(0) == nullptr ? 0 : 1; });
    EXPECT_EQ(child.Wait(30000), 0);

    EXPECT_EQ(SystemOpenCount(0), 1);
    EXPECT_TRUE(CapturePackets(500));
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    EXPECT_EQ(SystemOpenCount(0), -1);
}

// Processes are killed at random points of open, capture and close; after
// each, the next process finds a card it can open, capture from and close,
// and once all have gone nothing of theirs is left.
TEST_F(CardTest, AProcessKilledAnywhereLeavesACardTheNextOneUses) {
    // The card and its objects belong to the children alone.
    sim::ReleaseCards();
    std::mt19937 random(2512);
    std::uniform_int_distribution<int> killAfterUs(0, 250000);
    for (int round = 0; round < 100; ++round) {
        {
            // Uses the card over and over, so that the kill lands in some
            // step of it whatever the machine's speed.
            Child victim([] {
                int failed = 0;
                while (!failed)
                    failed = UseCard();
                return failed;
            });
            ASSERT_TRUE(victim.Started());
            std::this_thread::sleep_for(std::chrono::microseconds(killAfterUs(random)));
            ASSERT_TRUE(victim.Running()) << "round " << round << ": the killed process failed";
            victim.Kill();
        }
        Child next(UseCard);
        ASSERT_EQ(next.Wait(60000), 0) << "round " << round;
    }
    EXPECT_EQ(NamespaceObjectsLeft(), std::vector<std::string>());
}

}  // namespace
}  // namespace velmora::cardtest
