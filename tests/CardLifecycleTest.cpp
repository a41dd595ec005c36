// Card open and close through the exported functions: the cross-process open
// protocol, processes that die with the card open, and failed opens and
// closes.

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <thread>

#include "CardTestSupport.h"
#include "PlatformTestSupport.h"
#include "TsEngineTestSupport.h"
#include "api/VelmoraSdkApi.h"
#include "card/LogFile.h"
#include "platform/DeviceIo.h"
#include "platform/NamedMutex.h"
#include "platform/Paths.h"
#include "platform/Trace.h"
#include "program/OstrevoCpldConfig.h"
#include "program/OstrevoFpgaConfig.h"
#include "velmora/VelmoraOs.h"

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer's allocator tells of each allocation; its interface
// header is not installed with the compiler.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*,
                                                                          size_t),
                                                         void (*onFree)(const volatile void*));
#endif

namespace velmora::cardtest {
namespace {

using platform::test::Child;
using platform::test::HoldNamedMutexUntilKilled;
using platform::test::Pipe;

// Set once UseCard has opened the card in this process: its end closes the
// card and refuses opens from then on.
std::atomic<bool> g_UseCardOpened{false};

// Open, capture and close, as an application does; 0 when all went well.
int UseCard() {
    if (Quorvel_Velmora_OpenCard(0) != 1) return 20;
    g_UseCardOpened = true;
    const bool captured = Quorvel_Velmora_TsCaptureEnable(0) == 1 && CapturePackets(500);
    Quorvel_Velmora_TsCaptureDisable(0);
    if (Quorvel_Velmora_CloseCard(0) != 1) return 22;
    return captured ? 0 : 21;
}

// Set in the environment of a card user process.
constexpr char kCardUser[] = "VELMORA_TEST_CARD_USER";
// Set for a card user process that calls exit after this many microseconds,
// with kCardUserExitStatus.
constexpr char kCardUserExitAfterUs[] = "VELMORA_TEST_CARD_USER_EXIT_AFTER_US";
constexpr int kCardUserExitStatus = 7;
// The status of such a process whose open after its end was not refused.
constexpr int kCardUserLateOpenStatus = 8;

// Built before the library's static objects (linked into this program) and so
// torn down after them: at the end of a card user process that calls exit,
// opens as another thread of the application may still make then are refused
// without reaching any of them (under the address sanitizer): one of a card
// past the table, and once the card was opened, one of the card.
struct OpensAfterTheLibraryIsTornDown {
    ~OpensAfterTheLibraryIsTornDown() {
        if (!std::getenv(kCardUserExitAfterUs)) return;
        if (Quorvel_Velmora_OpenCard(card::kCardTableSize) != 0 ||
            (g_UseCardOpened && Quorvel_Velmora_OpenCard(0) != 0))
            std::_Exit(kCardUserLateOpenStatus);
    }
};
__attribute__((init_priority(101))) OpensAfterTheLibraryIsTornDown g_OpensAfterTheLibraryIsTornDown;

// A process that uses the card over and over until it is killed (or, with
// `exitAfterUs` not negative, until another of its threads calls exit), as a
// program of its own: this test program run again by exec, in the test's
// namespace.
std::function<int()> CardUserUntilKilled(int exitAfterUs = -1) {
    platform::test::TestPeerImage::Settings settings = {{kCardUser, "1"}};
    if (exitAfterUs >= 0) settings.emplace_back(kCardUserExitAfterUs, std::to_string(exitAfterUs));
    const auto image = std::make_shared<const platform::test::TestPeerImage>(
        "CardUserProcess.UsesTheCardUntilKilled", settings);
    return [image] { return image->ExecQuietly(); };
}

TEST(CardUserProcess, UsesTheCardUntilKilled) {
    if (!std::getenv(kCardUser)) GTEST_SKIP() << "runs as a card user process of the kill test";
    static std::atomic<bool> exiting{false};
    std::optional<std::thread> ender;
    if (const char* exitAfterUs = std::getenv(kCardUserExitAfterUs)) {
        ender.emplace([us = std::strtol(exitAfterUs, nullptr, 10)] {
            std::this_thread::sleep_for(std::chrono::microseconds(us));
            exiting.store(true);
            std::exit(kCardUserExitStatus);
        });
    }
    int failed = 0;
    while (!failed)
        failed = UseCard();
    // Once the process ends, its opens are refused: the end goes on.
    while (exiting.load())
        pause();
    std::_Exit(failed);
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

// The next open comes once the killed process was reaped, or while the
// system is still ending it, when it may still hold the card's block.
TEST_F(CardTest, AProcessKilledWithTheCardOpenDoesNotStopTheNext) {
    for (const bool reaped : {true, false}) {
        SCOPED_TRACE(reaped ? "reaped" : "not yet reaped");
        Pipe ready;
        Child child([&] {
            if (Quorvel_Velmora_OpenCard(0) != 1) return 10;
            VELMORA_HANDLE event = nullptr;
            if (Quorvel_Velmora_InitialFieldEvent(L"KillEv", &event, 0) != 1) return 13;
            // Killed holding the open mutex as well, as if in the middle of
            // an open or close.
            auto openMutex = platform::NamedMutex::Create(Card(0)->OpenMutexName());
            if (!openMutex || openMutex->Lock() != platform::WaitResult::Signaled) return 11;
            ready.Signal();
            pause();
            return 12;
        });
        ASSERT_TRUE(child.Started());
        ASSERT_TRUE(ready.Wait());
        const std::string event = "/dev/shm" + platform::MapObjectName("event", "KillEv");
        EXPECT_TRUE(std::filesystem::exists(event));
        child.KillUnreaped();
        if (reaped) child.Wait();

        ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
        if (reaped) {
            EXPECT_TRUE(Card(0)->IsCreator());
            EXPECT_EQ(SystemOpenCount(0), 1);
        }
        uint32_t contrast = 0;
        EXPECT_EQ(Quorvel_Velmora_SetVideoInputContrast(0x90, 0), 1u);
        EXPECT_EQ(Quorvel_Velmora_GetVideoInputContrast(&contrast, 0), 1u);
        EXPECT_EQ(contrast, 0x90u);
        EXPECT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
        EXPECT_TRUE(CapturePackets(500));
        Quorvel_Velmora_TsCaptureDisable(0);
        child.Wait();
        EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
        EXPECT_EQ(SystemOpenCount(0), -1);
        // The killed process's field event is gone by the card's last close.
        EXPECT_FALSE(std::filesystem::exists(event));
    }
}

// Another program holds the card's own block by name across the card's last
// close: the card was closed all the same, and the next opener brings it up.
TEST_F(CardTest, ACardBlockHeldAcrossTheLastCloseLeavesACardTheNextOpenerBringsUp) {
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    VELMORA_HANDLE held = VelmoraOs_OpenSharedMemory(L"QuorvelVelmoraCardFileMappingObject0", 4096);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    EXPECT_FALSE(VideoRelay0On());

    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    EXPECT_TRUE(VideoRelay0On());
    EXPECT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    EXPECT_TRUE(CapturePackets(500));
    Quorvel_Velmora_TsCaptureDisable(0);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    EXPECT_FALSE(VideoRelay0On());
    EXPECT_EQ(VelmoraOs_CloseSharedMemory(held), 1);
    EXPECT_EQ(SystemOpenCount(0), -1);
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

// Calls on other threads while the card is opened and closed again and
// again, among them calls that wait for a field or a frame: each answers 0
// or completes, and none reaches a card object that is gone (under the
// address sanitizer).
TEST_F(CardTest, CallsBesideOpenAndCloseAnswerZeroOrComplete) {
    const std::function<uint32_t()> calls[] = {
        [] {
            uint32_t version = 0;
            return Quorvel_Velmora_GetFPGAVersion(&version, 0);
        },
        [] {
            uint32_t status = 0;
            return Quorvel_Velmora_TsGetAsiStatus(&status, 0);
        },
        [] { return Quorvel_Velmora_WaitForFieldInterrupt(0); },
        [] {
            std::vector<uint8_t> frame(720 * 576 * 4);
            uint64_t stamp = 0;
            Quorvel_Velmora_VideoCaptureStart(0);
            return Quorvel_Velmora_ReadOneVideoFrame(&stamp, frame.data(), 0) | 1;
        }};
    constexpr size_t kCalls = std::size(calls);
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> completed[kCalls] = {};
    std::vector<std::thread> callers;
    for (size_t call = 0; call < kCalls; ++call) {
        callers.emplace_back([&, call] {
            while (!stop)
                completed[call] += calls[call]();
        });
    }
    for (int round = 0; round < 20; ++round) {
        EXPECT_EQ(Quorvel_Velmora_OpenCard(0), 1u) << "round " << round;
        // Every kind of call completes on the open card before it closes.
        uint32_t before[kCalls];
        for (size_t call = 0; call < kCalls; ++call)
            before[call] = completed[call];
        const auto everyCallCompleted = [&] {
            for (size_t call = 0; call < kCalls; ++call)
                if (completed[call] == before[call]) return false;
            return true;
        };
        EXPECT_TRUE(tstest::WaitFor(everyCallCompleted)) << "round " << round;
        EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u) << "round " << round;
    }
    stop = true;
    for (auto& caller : callers)
        caller.join();
    EXPECT_EQ(SystemOpenCount(0), -1);
}

// Another local user reaches no object of a card this process has open but
// the recording mailbox's block, which is every local user's: it can neither
// open, cut short (or grow) nor lock one. What it did to the mailbox's block
// leaves the block with its holders, where a new opener finds it.
TEST_F(CardTest, AnotherUserReachesOnlyTheMailboxBlock) {
    const passwd* nobody = getpwnam("nobody");
    if (getuid() != 0 || !nobody) GTEST_SKIP() << "needs root and a user nobody";
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    const std::string mailbox = platform::MapObjectName("shm", "MAP_TQ5110_Read_0").substr(1);
    for (const std::string& object : NamespaceObjectsLeft()) {
        const std::string path = "/dev/shm/" + object;
        const bool everyones = object == mailbox;
        Child other([&] {
            if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) return 100;
            const int fd = open(path.c_str(), O_RDONLY);
            const bool locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
            const bool cut = truncate(path.c_str(), 0) == 0 && truncate(path.c_str(), 1 << 20) == 0;
            return (fd >= 0) + 2 * locked + 4 * cut;
        });
        EXPECT_EQ(other.Wait(), everyones ? 7 : 0) << object;
    }
    // The server survives a wake-up on the block cut short, then carries a
    // chip test (the FPGA version read) and its reply.
    const int block = open(("/dev/shm/" + mailbox).c_str(), O_RDWR);
    VELMORA_HANDLE wake = VelmoraOs_OpenEvent(L"Global\\Event_TQ5110_Read_0");
    uint8_t message[56] = {};
    const auto replied = [&] {
        EXPECT_EQ(VelmoraOs_SetEvent(wake), 1);
        uint32_t type = 0;
        for (int i = 0; i < 1000 && type != 0x1211DBFF; ++i) {  // at most 10 s
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_GE(pread(block, message, sizeof(message), 0), 0);
            std::memcpy(&type, message + 4, 4);
        }
        return type == 0x1211DBFF;
    };
    ASSERT_TRUE(replied());
    VELMORA_HANDLE opened = VelmoraOs_OpenSharedMemory(L"MAP_TQ5110_Read_0", 0x10000);
    EXPECT_NE(VelmoraOs_MapSharedMemory(opened), nullptr);
    VelmoraOs_CloseSharedMemory(opened);
    struct stat served {};
    struct stat named {};
    ASSERT_EQ(fstat(block, &served), 0);
    ASSERT_EQ(stat(("/dev/shm/" + mailbox).c_str(), &named), 0);
    EXPECT_EQ(named.st_ino, served.st_ino);
    const uint32_t header[3] = {0x1211DBFF, 1, 20}, command[5] = {0x10, 0xF2, 0xF0, 0, 0};
    std::memcpy(message, header, sizeof(header));
    std::memcpy(message + 31, command, sizeof(command));
    ASSERT_EQ(pwrite(block, message, 51, 0), 51);
    ASSERT_TRUE(replied());
    uint32_t version = 0;
    std::memcpy(&version, message + 31, 4);
    EXPECT_EQ(version, 0x50103u);
    VelmoraOs_CloseHandle(wake);
    close(block);
    EXPECT_TRUE(CapturePackets(500));
    Quorvel_Velmora_TsCaptureDisable(0);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
}

// Another process keeps the namespace lock of the named objects and the
// open mutex, or the IIC bus lock (it is stopped, or hostile): each close,
// count of cards and open answers within one deadline, 0 when a wait gave
// up. Once it has gone, the card opens.
TEST_F(CardTest, LocksHeldElsewhereCostACallOneDeadline) {
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    const std::string openMutex = Card(0)->OpenMutexName();
    Pipe ready;
    Child holder([&] {
        auto mutex = platform::NamedMutex::Create(openMutex);
        const int fd = open(("/dev/shm" + platform::MapObjectName("lock", {})).c_str(),
                            O_RDWR | O_CREAT, 0600);
        if (!mutex || mutex->Lock() != platform::WaitResult::Signaled || flock(fd, LOCK_EX) != 0)
            return 1;
        ready.Signal();
        for (;;)
            pause();
    });
    ASSERT_TRUE(ready.Wait());
    // Each of these waited ten seconds a wait before, or for ever. Only these
    // have a short deadline: a slow machine may take it all for an open. The
    // time a busy machine kept this thread waiting to run is no call's.
    const auto timed = [](const std::function<uint32_t()>& call) {
        const platform::test::ShortCallDeadline deadline;
        const platform::test::ThreadTimeBesideTheLoad start;
        const uint32_t answer = call();
        EXPECT_LT(start.Elapsed(), std::chrono::seconds(8));
        return answer;
    };
    // A close that cannot have the open mutex still changes the card's count,
    // as an open beside it does: none of their changes is lost, and only one
    // that brought the count to 0 makes the last user in the system.
    std::atomic<int> lastInSystem{0};
    const auto openAndClose = [&lastInSystem] {
        for (int i = 0; i < 200000; ++i) {
            Card(0)->CountSystemOpen(false);
            if (Card(0)->UncountSystemOpen()) ++lastInSystem;
        }
    };
    std::thread opener(openAndClose);
    openAndClose();
    opener.join();
    EXPECT_EQ(lastInSystem.load(), 0);
    EXPECT_EQ(Card(0)->GetSystemOpenCount(), 1u);
    uint32_t count = 0;
    EXPECT_EQ(timed([] { return Quorvel_Velmora_CloseCard(0); }), 0u);
    timed([&] { return Quorvel_Velmora_GetTotalCardNumber(&count); });
    EXPECT_EQ(timed([] { return Quorvel_Velmora_OpenCard(0); }), 0u);
    timed([] { return Quorvel_Velmora_CloseCard(0); });
    holder.Kill();
    EXPECT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    EXPECT_EQ(SystemOpenCount(0), -1);

    // With the open mutex alone held elsewhere the open says why it answers
    // 0; with the bus lock it goes through but brings up nothing on the bus.
    // Either leaves nothing open.
    const std::pair<std::string, std::string> heldAlone[] = {
        {openMutex, "OpenCard: the open mutex of the cards cannot be had: card 0 is not opened"},
        {"QuorvelVelmoraIicMasterMutex0_0", ""}};
    for (const auto& [name, line] : heldAlone) {
        SCOPED_TRACE(name);
        Child alone([&] { return HoldNamedMutexUntilKilled(name.c_str(), ready); });
        ASSERT_TRUE(ready.Wait());
        const std::string logBefore = card::g_LogFile.GetLogFilePath();
        const size_t logged = LogText().size();
        EXPECT_EQ(timed([] { return Quorvel_Velmora_OpenCard(0); }), 0u);
        EXPECT_EQ(SystemOpenCount(0), -1);
        // The open starts a log file of its own once the second has changed.
        const std::string since =
            LogText().substr(card::g_LogFile.GetLogFilePath() == logBefore ? logged : 0);
        EXPECT_NE(since.find(line), std::string::npos) << since;
        alone.Kill();
        EXPECT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
        EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    }
}

// Allocations of a child forked after WatchForkedChildren, counted in the
// child; only the address sanitizer's allocator tells of each one.
std::atomic<pid_t> g_watchedParent{0};
std::atomic<int> g_childAllocations{0};

[[maybe_unused]] void CountChildAllocation(const volatile void*, size_t) {
    const pid_t parent = g_watchedParent.load(std::memory_order_relaxed);
    if (parent != 0 && getpid() != parent) g_childAllocations.fetch_add(1);
}

void WatchForkedChildren() {
#if defined(__SANITIZE_ADDRESS__)
    static const bool hooked = __sanitizer_install_malloc_and_free_hooks(
                                   &CountChildAllocation, [](const volatile void*) {}) != 0;
    ASSERT_TRUE(hooked);
    g_watchedParent.store(getpid());
#endif
}

// A child forked from a process with the card open inherits the card but
// none of its opens, threads or devices: its close returns at once and
// leaves the parent's card working. The steps the library takes in the child
// at the fork allocate nothing, since the child of a process with threads
// runs only what a signal handler may until it execs.
TEST_F(CardTest, AForkedChildClosesOnlyWhatItOwns) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer cannot follow a child forked from a process with threads";
#endif
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    ASSERT_NO_FATAL_FAILURE(WatchForkedChildren());
    Child child([] {
        if (g_childAllocations.load() != 0) return 2;
        return Quorvel_Velmora_CloseCard(0) == 1 && Card(0) == nullptr ? 0 : 1;
    });
    EXPECT_EQ(child.Wait(30000), 0) << "2: the child allocated before its own steps";

    EXPECT_EQ(SystemOpenCount(0), 1);
    EXPECT_TRUE(CapturePackets(500));
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    EXPECT_EQ(SystemOpenCount(0), -1);
}

// Children forked while the parent captures and its threads send device
// requests, look up handles, log and trace: none of the locks those take is
// left held in a child, so every child opens and closes the card itself.
TEST_F(CardTest, ChildrenForkedBesideBusyThreadsOpenTheCard) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer cannot follow a child forked from a process with threads";
#elif defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's allocator can be left locked in a child forked beside "
                    "threads that allocate";
#endif
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    std::atomic<bool> stop{false};
    // Each takes the process-local locks of a child's open in a loop, and
    // none waits on the card or another process.
    const std::function<void()> busy[] = {
        [] {
            platform::DeviceIoControl(platform::kInvalidDeviceHandle, 0, nullptr, 0, nullptr, 0,
                                      nullptr);
            VelmoraOs_CloseHandle(nullptr);
        },
        [] {
            card::g_LogFile.GetLogFilePath();
            platform::OutputDebugString("busy beside the forks");
        },
    };
    std::vector<std::thread> threads;
    for (const auto& work : busy) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                work();
                std::this_thread::yield();
            }
        });
    }
    int failed = -1;
    for (int fork = 0; fork < 20 && failed < 0; ++fork) {
        Child child([] {
            // The inherited copy is set aside first.
            return Quorvel_Velmora_CloseCard(0) == 1 && Quorvel_Velmora_OpenCard(0) == 1 &&
                           Quorvel_Velmora_CloseCard(0) == 1
                       ? 0
                       : 1;
        });
        if (child.Wait(20000) != 0) failed = fork;
    }
    stop.store(true);
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failed, -1) << "the child of this fork did not open and close the card";
    EXPECT_TRUE(CapturePackets(500));
}

// Processes are killed (or call exit with the card open) at random points of
// open, capture and close, and the next process opens after the ended one
// was reaped, while the system is still ending it, or at a random point of the dying one's last
// steps (so also while it waits for the open mutex the dying one holds). Every open of the next
// process that answers 1 gives a card it can capture from and close, and once all have gone nothing
// of theirs is left. Every kind of round runs, and more follow while the stress time lasts.
TEST_F(CardTest, AProcessKilledAnywhereLeavesACardTheNextOneUses) {
    // The card and its objects belong to the children alone.
    sim::ReleaseCards();
    std::mt19937 random(2512);
    std::uniform_int_distribution<int> killAfterUs(0, 250000);
    std::uniform_int_distribution<int> nextAfterUs(-2000, 2000);
    enum Next { AfterReaped, BeforeReaped, Beside, kNextWays };
    // Every fourth process is not killed: another of its threads calls exit
    // with the card open, in any step of its use.
    constexpr int kExitEvery = 4;
    constexpr int kEveryKind = kNextWays * kExitEvery;
    // Only a hang's bound: a user's open, capture and close, each a process
    // start of its own under a sanitizer on a busy machine, takes tens of
    // seconds there.
    constexpr uint32_t kUserHangMs = 3 * ::velmora::test::kHangBoundMs;
    const auto start = std::chrono::steady_clock::now();
    const auto seconds = [start] {
        return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
    };
    int round = 0;
    for (; round < 120 && (round < kEveryKind || seconds() < tstest::StressSeconds()); ++round) {
        // Shows how far a run that its time-out stops got. Flushed, also so
        // that no child inherits it to write again when it calls exit.
        if (round % 5 == 0) {
            std::printf("round %d after %lld s\n", round, seconds());
            std::fflush(stdout);
        }
        const auto next = static_cast<Next>(round % kNextWays);
        const bool exits = round % kExitEvery == kExitEvery - 1;
        const int endAfterUs = killAfterUs(random);
        // Uses the card over and over, so that the kill lands in some step
        // of it whatever the machine's speed.
        Child victim(CardUserUntilKilled(exits ? endAfterUs : -1));
        ASSERT_TRUE(victim.Started());
        if (!exits) {
            std::this_thread::sleep_for(std::chrono::microseconds(endAfterUs));
            ASSERT_TRUE(victim.Running()) << "round " << round << ": the killed process failed";
        }
        const int offsetUs = next == Beside ? nextAfterUs(random) : 0;
        std::optional<Child> user;
        if (offsetUs < 0) {
            user.emplace(UseCard);
            std::this_thread::sleep_for(std::chrono::microseconds(-offsetUs));
        }
        if (exits) {
            ASSERT_TRUE(tstest::WaitFor([&] { return !victim.Running(); }, "the process to exit"));
        } else {
            victim.KillUnreaped();
        }
        std::optional<int> status;
        if (next == AfterReaped) status = victim.Wait();
        if (!user) {
            std::this_thread::sleep_for(std::chrono::microseconds(offsetUs));
            user.emplace(UseCard);
        }
        ASSERT_EQ(user->Wait(kUserHangMs), 0) << "round " << round << ", next " << next;
        if (!status) status = victim.Wait();
        if (exits) {
            EXPECT_EQ(*status, kCardUserExitStatus) << "round " << round;
        }
    }
    std::printf("%d rounds in %lld s\n", round, seconds());
    std::fflush(stdout);
    // The last user's close removes what the processes killed beside it
    // left.
    Child last(UseCard);
    ASSERT_EQ(last.Wait(kUserHangMs), 0);
    EXPECT_EQ(NamespaceObjectsLeft(), std::vector<std::string>());
}

}  // namespace
}  // namespace velmora::cardtest
