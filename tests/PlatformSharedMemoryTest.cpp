#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "PlatformTestSupport.h"
#include "card/FfmServer.h"
#include "platform/CallDeadline.h"
#include "platform/Event.h"
#include "platform/IpcName.h"
#include "platform/NamedMutex.h"
#include "platform/SharedMemory.h"
#include "platform/Trace.h"

namespace velmora::platform {
namespace {

using test::Child;
using test::Pipe;
using test::TestPeerImage;

std::string ShmPath(std::string_view kind, std::string_view name) {
    return "/dev/shm" + MapObjectName(kind, name);
}

bool ShmFileExists(std::string_view name) {
    struct stat status {};
    return stat(ShmPath("shm", name).c_str(), &status) == 0;
}

// The files of the shared-memory folder whose names end in `suffix` and
// begin with one of `prefixes`: those of the namespaces a test made, never
// those another test process running beside it made or left.
std::vector<std::string> ShmFilesEndingIn(const std::string& suffix,
                                          const std::vector<std::string>& prefixes) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        const std::string name = entry.path().filename().string();
        const bool ours = std::any_of(prefixes.begin(), prefixes.end(),
                                      [&](const std::string& p) { return name.starts_with(p); });
        if (ours && name.size() >= suffix.size() && name.ends_with(suffix)) found.push_back(name);
    }
    return found;
}

// Collects what the library logs while it lives.
class LogCapture {
  public:
    LogCapture() {
        SetTraceCapture([this](std::string_view text) { m_text += text; });
    }
    ~LogCapture() { SetTraceCapture({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::string& Text() const { return m_text; }

  private:
    std::string m_text;
};

// What a child runs to become the peer process below, in namespace ns,
// holding the block `name` (or stalled inside its set-up, so holding the
// namespace lock); it signals `ready` once it does.
std::function<int()> Peer(Pipe& ready, const std::string& ns, const char* name, bool stall) {
    TestPeerImage::Settings settings = {
        {"VELMORA_TEST_PEER_READY", std::to_string(ready.WriteEnd())},
        {"VELMORA_TEST_PEER_BLOCK", name},
        {"VELMORA_IPC_NAMESPACE", ns},
        {"VELMORA_TEST_CHOSEN_NAMESPACE", ns}};
    if (stall) settings.emplace_back("VELMORA_TEST_PEER_STALL", "1");
    const auto image =
        std::make_shared<const TestPeerImage>("PlatformPeerProcess.HoldsABlock", settings);
    return [image] { return image->ExecQuietly(); };
}

bool AllZero(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

TEST(PlatformNameTest, MapsNamesByOneRule) {
    const std::string ns = IpcNamespace();
    ASSERT_NE(getenv("VELMORA_IPC_NAMESPACE"), nullptr);
    EXPECT_EQ(ns, getenv("VELMORA_IPC_NAMESPACE"));

    EXPECT_EQ(MapObjectName("event", "Global\\Field\\0"), "/" + ns + ".event.Field_0");
    EXPECT_EQ(MapObjectName("event", "Local\\a/b"), "/" + ns + ".event.a_b");
    // Only a leading prefix is dropped, and only once.
    EXPECT_EQ(MapObjectName("mutex", "x\\Global\\y"), "/" + ns + ".mutex.x_Global_y");
    EXPECT_EQ(MapObjectName("mutex", "Global\\Global\\y"), "/" + ns + ".mutex.Global_y");
    EXPECT_NE(MapObjectName("mutex", "n"), MapObjectName("event", "n"));

    // Long names stay usable as file names, and stay apart and stable.
    const std::string longA(400, 'a');
    std::string longB = longA;
    longB.back() = 'b';
    const std::string mappedA = MapObjectName("shm", longA);
    EXPECT_LE(mappedA.size(), 256u);
    EXPECT_EQ(mappedA, MapObjectName("shm", longA));
    EXPECT_NE(mappedA, MapObjectName("shm", longB));
    EXPECT_EQ(mappedA.rfind("/" + ns + ".shm.aaa", 0), 0u);
}

TEST(PlatformSharedMemoryTest, SecondOpenerSeesFirstOnesDataAcrossProcesses) {
    int created = 0;
    auto first = SharedMemory::Open("Global\\PlatformShm.Share", 4096, [&created](void* data) {
        ++created;
        EXPECT_TRUE(AllZero(data, 4096));
    });
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->AlreadyExisted());
    EXPECT_EQ(created, 1);
    std::strcpy(static_cast<char*>(first->Data()), "from the parent");

    Child child([] {
        bool hookRan = false;
        auto second = SharedMemory::Open("Global\\PlatformShm.Share", 4096,
                                         [&hookRan](void*) { hookRan = true; });
        if (!second) return 1;
        if (!second->AlreadyExisted() || hookRan) return 2;
        if (std::strcmp(static_cast<char*>(second->Data()), "from the parent") != 0) return 3;
        std::strcpy(static_cast<char*>(second->Data()) + 100, "from the child");
        return 0;
    });
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_STREQ(static_cast<char*>(first->Data()) + 100, "from the child");
    // The child's close left it alive for the parent.
    EXPECT_TRUE(ShmFileExists("Global\\PlatformShm.Share"));
}

TEST(PlatformSharedMemoryTest, GoesAwayWhenTheLastHolderCloses) {
    auto first = SharedMemory::Open("PlatformShm.Last", 64);
    auto second = SharedMemory::Open("PlatformShm.Last", 64);
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(second->AlreadyExisted());
    static_cast<char*>(first->Data())[0] = 42;
    EXPECT_EQ(static_cast<char*>(second->Data())[0], 42);

    first.reset();
    EXPECT_TRUE(ShmFileExists("PlatformShm.Last"));
    auto third = SharedMemory::Open("PlatformShm.Last", 64);
    ASSERT_TRUE(third);
    EXPECT_TRUE(third->AlreadyExisted());
    EXPECT_EQ(static_cast<char*>(third->Data())[0], 42);

    second.reset();
    third.reset();
    EXPECT_FALSE(ShmFileExists("PlatformShm.Last"));
    auto fresh = SharedMemory::Open("PlatformShm.Last", 64);
    ASSERT_TRUE(fresh);
    EXPECT_FALSE(fresh->AlreadyExisted());
    EXPECT_TRUE(AllZero(fresh->Data(), 64));
}

TEST(PlatformSharedMemoryTest, KilledHolderDoesNotKeepItAlive) {
    Pipe ready;
    Child child([&ready] {
        auto memory = SharedMemory::Open("PlatformShm.Killed", 256);
        if (!memory) return 1;
        std::memset(memory->Data(), 0x5A, 256);
        ready.Signal();
        for (;;)
            pause();
    });
    ASSERT_TRUE(ready.Wait());
    child.Kill();
    // The crashed holder left its block behind, but nobody holds it any more.
    EXPECT_TRUE(ShmFileExists("PlatformShm.Killed"));

    auto memory = SharedMemory::Open("PlatformShm.Killed", 256);
    ASSERT_TRUE(memory);
    EXPECT_FALSE(memory->AlreadyExisted());
    EXPECT_TRUE(AllZero(memory->Data(), 256));
}

TEST(PlatformSharedMemoryTest, NobodyOpensItBeforeTheCreatorHasSetItUp) {
    Pipe go;
    Child child([&go] {
        if (!go.Wait()) return 1;
        auto memory = SharedMemory::Open("PlatformShm.Setup", 64);
        if (!memory) return 2;
        if (!memory->AlreadyExisted()) return 3;
        return static_cast<char*>(memory->Data())[0] == 'R' ? 0 : 4;
    });
    auto memory = SharedMemory::Open("PlatformShm.Setup", 64, [&go](void* data) {
        // The child tries to open the block while it is still being set up.
        go.Signal();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        static_cast<char*>(data)[0] = 'R';
    });
    ASSERT_TRUE(memory);
    EXPECT_EQ(child.Wait(), 0);
}

TEST(PlatformSharedMemoryTest, RefusesAnExistingBlockThatIsTooSmall) {
    auto small = SharedMemory::Open("PlatformShm.Small", 64);
    ASSERT_TRUE(small);
    {
        // Asking more than the creator made is the asker's fault: the line
        // says so, not that the block fails its users.
        LogCapture log;
        EXPECT_FALSE(SharedMemory::Open("PlatformShm.Small", 65));
        EXPECT_NE(log.Text().find(ShmPath("shm", "PlatformShm.Small") +
                                  ": 65 bytes asked, more than the block's 64: refused, the "
                                  "block stays as it is"),
                  std::string::npos)
            << log.Text();
    }
    EXPECT_TRUE(SharedMemory::Open("PlatformShm.Small", 32));
    EXPECT_FALSE(SharedMemory::Open("PlatformShm.Zero", 0));

    // Another user cuts a held block short and writes a table claiming more
    // than is there: only what the file really holds may be used.
    Pipe ready;
    Child holder([&ready] {
        auto memory = SharedMemory::Open("PlatformShm.Cut", 64);
        if (!memory) return 1;
        ready.Signal();
        for (;;)
            pause();
    });
    ASSERT_TRUE(ready.Wait());
    ASSERT_TRUE(test::CutShort(ShmPath("shm", "PlatformShm.Cut"), 1 << 20, 4 << 20));
    EXPECT_TRUE(SharedMemory::Open("PlatformShm.Cut", 4096));
    {
        LogCapture log;
        EXPECT_FALSE(SharedMemory::Open("PlatformShm.Cut", 2 << 20));
        EXPECT_NE(log.Text().find("PlatformShm.Cut is smaller than its users need: not used"),
                  std::string::npos)
            << log.Text();
    }
    ASSERT_TRUE(test::CutShort(ShmPath("shm", "PlatformShm.Cut"), 248, 4 << 20));
    EXPECT_FALSE(SharedMemory::Open("PlatformShm.Cut", 64));

    // A block every local user may write is not grown by a request above its
    // creator's length either; cut short by another user, it gets that back.
    const std::string everyones = ShmPath("shm", "PlatformShm.Everyones");
    auto shared =
        SharedMemory::Open("PlatformShm.Everyones", 64, {}, SharedMemory::Access::Everyone);
    ASSERT_TRUE(shared);
    const uintmax_t length = std::filesystem::file_size(everyones);
    EXPECT_FALSE(SharedMemory::Open("PlatformShm.Everyones", 65));
    EXPECT_EQ(std::filesystem::file_size(everyones), length);
    ASSERT_EQ(truncate(everyones.c_str(), 0), 0);
    EXPECT_TRUE(SharedMemory::Open("PlatformShm.Everyones", 64));
    EXPECT_EQ(std::filesystem::file_size(everyones), length);
}

// Anything another local user put in the shared-memory folder: no link is
// followed, nothing but a regular file of this user's is used (another
// user's is refused at once, never locked or waited for), and no file that
// this process did not make gets its mode changed.
TEST(PlatformSharedMemoryTest, TrustsNothingPlantedInTheFolder) {
    const std::string target = ::testing::TempDir() + "planted-" + std::to_string(getpid());
    const std::string lock = "/dev/shm" + MapObjectName("lock", {});
    const std::string block = ShmPath("shm", "PlatformShm.Planted");
    const std::string mutex = ShmPath("mutex", "PlatformShm.Planted");
    enum Kind { kLink, kPipe, kFile };
    const struct {
        const char* what;
        const std::string& path;
        Kind kind;
        bool opens;
    } cases[] = {
        {"a link as the namespace lock", lock, kLink, false},
        {"a pipe as the namespace lock", lock, kPipe, false},
        {"another user's namespace lock", lock, kFile, false},
        {"a link as a block", block, kLink, false},
        {"a link as a mutex", mutex, kLink, false},
        {"another user's unheld block", block, kFile, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Only root can make a file another user's.
        if (c.kind == kFile && getuid() != 0) continue;
        FILE* file = std::fopen(target.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs("kept", file);
        std::fclose(file);
        ASSERT_EQ(chmod(target.c_str(), 0600), 0);
        int planted = -1;
        if (c.kind == kLink) {
            ASSERT_EQ(symlink(target.c_str(), c.path.c_str()), 0);
        } else if (c.kind == kPipe) {
            ASSERT_EQ(mkfifo(c.path.c_str(), 0600), 0);
        } else {
            planted = open(c.path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
            ASSERT_GE(planted, 0);
            ASSERT_EQ(fchown(planted, 65534, 65534), 0);
        }
        bool opened = false;
        LogCapture log;
        {
            // Met twice in one exported call, a refusal is told once.
            const CallDeadline call;
            for (int attempt = 0; attempt < 2; ++attempt) {
                if (&c.path == &mutex) {
                    opened = NamedMutex::Create("PlatformShm.Planted") != nullptr;
                } else {
                    opened = SharedMemory::Open("PlatformShm.Planted", 64) != nullptr;
                }
            }
        }
        EXPECT_EQ(opened, c.opens);
        if (!c.opens) {
            const size_t told = log.Text().find(c.path);
            EXPECT_NE(told, std::string::npos) << log.Text();
            EXPECT_EQ(log.Text().find(c.path, told + 1), std::string::npos) << log.Text();
        }
        struct stat status {};
        ASSERT_EQ(stat(target.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u);
        EXPECT_EQ(status.st_size, 4);
        if (planted >= 0) {
            ASSERT_EQ(fstat(planted, &status), 0);
            EXPECT_EQ(status.st_mode & 0777, 0600u);
            close(planted);
        }
        unlink(c.path.c_str());
    }
    unlink(target.c_str());
}

// The second process of the tests here, started with VELMORA_TEST_PEER_READY
// naming the descriptor it signals on: it holds the block
// VELMORA_TEST_PEER_BLOCK or, with VELMORA_TEST_PEER_STALL set, stays in its
// set-up, and so holds its namespace lock, until it is killed.
TEST(PlatformPeerProcess, HoldsABlock) {
    const char* ready = getenv("VELMORA_TEST_PEER_READY");
    if (!ready) GTEST_SKIP() << "runs as the peer process of the shared memory tests";
    const int fd = std::atoi(ready);
    const bool stall = getenv("VELMORA_TEST_PEER_STALL") != nullptr;
    auto memory = SharedMemory::Open(getenv("VELMORA_TEST_PEER_BLOCK"), 64, [&](void*) {
        if (!stall) return;
        ASSERT_EQ(write(fd, "s", 1), 1);
        for (;;)
            pause();
    });
    ASSERT_TRUE(memory);
    ASSERT_EQ(write(fd, "h", 1), 1);
    for (;;)
        pause();
}

// Another process that keeps the namespace lock (a stopped one, say)
// makes opens and closes give up after a while, with a line that names the
// namespace.
TEST(PlatformSharedMemoryTest, ANamespaceLockHeldElsewhereIsWaitedForAWhileOnly) {
    Pipe opened, go;
    Child closer([&] {
        auto memory = SharedMemory::Open("PlatformShm.Closed", 64);
        if (!memory || !opened.Signal() || !go.Wait()) return 1;
        memory.reset();
        return 0;
    });
    ASSERT_TRUE(opened.Wait());
    Pipe ready;
    Child holder(Peer(ready, IpcNamespace(), "PlatformShm.Stall", true));
    ASSERT_TRUE(ready.Wait());
    go.Signal();
    Child opener([] {
        LogCapture log;
        if (SharedMemory::Open("PlatformShm.Stalled", 64)) return 1;
        return log.Text().find(IpcNamespace()) != std::string::npos ? 0 : 2;
    });
    EXPECT_EQ(opener.Wait(), 0);
    EXPECT_EQ(closer.Wait(), 0);
}

// Two processes that open and close blocks back to back hold the namespace
// lock nearly all the time, letting go of it each time: an exported call's
// opens and closes wait for it as often as they find it held and never give
// up, however long they take in all (four deadlines here). Before, every
// wait spent the call's deadline, so the call gave up once they came to it
// (in about two).
TEST(PlatformSharedMemoryTest, ANamespaceLockTakenInTurnsCostsACallNoDeadline) {
    Pipe taking, stop;
    const auto takeInTurns = [&] {
        for (bool told = false; !stop.Wait(0); told = true) {
            if (!SharedMemory::Open("PlatformShm.Turns", 64)) return 1;
            if (!told) taking.Signal();
        }
        return 0;
    };
    Child other(takeInTurns), another(takeInTurns);
    ASSERT_TRUE(taking.Wait() && taking.Wait());
    constexpr auto kDeadline = std::chrono::seconds(2);
    const test::ShortCallDeadline shortened(kDeadline);
    const CallDeadline call;
    std::chrono::steady_clock::duration spent{};
    for (int round = 1; spent < 4 * kDeadline && round < 1000000; ++round) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(SharedMemory::Open("PlatformShm.Mine", 64)) << "turned away at open " << round;
        spent += std::chrono::steady_clock::now() - start;
    }
    EXPECT_FALSE(call.Missed());
    stop.Signal(), stop.Signal();
    EXPECT_EQ(other.Wait(), 0);
    EXPECT_EQ(another.Wait(), 0);
}

// Whether a block is held is what the system knows of its holders, not what
// their process ids say.
TEST(PlatformSharedMemoryTest, HoldersAreThoseTheSystemKnows) {
    // A forked child keeps copies of two holders' descriptors: once their
    // owner closed them, nobody holds the block.
    auto first = SharedMemory::Open("PlatformShm.Copied", 64);
    auto second = SharedMemory::Open("PlatformShm.Copied", 64);
    ASSERT_TRUE(first && second);
    Pipe copied;
    Child copy([&copied]() -> int {
        copied.Signal();
        for (;;)
            pause();
    });
    ASSERT_TRUE(copied.Wait());
    first.reset();
    second.reset();
    EXPECT_FALSE(ShmFileExists("PlatformShm.Copied"));
    auto fresh = SharedMemory::Open("PlatformShm.Copied", 64);
    ASSERT_TRUE(fresh);
    EXPECT_FALSE(fresh->AlreadyExisted());

    // So does the copy of a holder that was killed, which keeps its lock:
    // the next opener creates the block afresh without waiting for it.
    Pipe forked, release;
    Child killed([&]() -> int {
        auto memory = SharedMemory::Open("PlatformShm.Orphaned", 64);
        if (memory && fork() == 0) {
            forked.Signal();
            _exit(release.Wait() ? 0 : 1);
        }
        for (;;)
            pause();
    });
    ASSERT_TRUE(forked.Wait());
    killed.Kill();
    auto orphaned = SharedMemory::Open("PlatformShm.Orphaned", 64);
    ASSERT_TRUE(orphaned);
    EXPECT_FALSE(orphaned->AlreadyExisted());
    release.Signal();

    // A holder in another pid namespace holds it while it runs.
    Pipe held, finish;
    Child outer([&] {
        if (unshare(CLONE_NEWPID) != 0) return held.Signal('n') ? 50 : 51;
        Child holder([&held] {
            auto memory = SharedMemory::Open("PlatformShm.OtherPids", 64);
            if (!memory || !held.Signal('h')) return 1;
            for (;;)
                pause();
        });
        return finish.Wait() ? 0 : 2;
    });
    char answer = 0;
    ASSERT_TRUE(held.Wait(::velmora::test::kHangBoundMs, &answer));
    if (answer == 'n') GTEST_SKIP() << "no pid namespace can be made here";
    auto mine = SharedMemory::Open("PlatformShm.OtherPids", 64);
    ASSERT_TRUE(mine);
    EXPECT_TRUE(mine->AlreadyExisted());
    mine.reset();
    EXPECT_TRUE(ShmFileExists("PlatformShm.OtherPids"));
    finish.Signal();
    EXPECT_EQ(outer.Wait(), 0);
    mine = SharedMemory::Open("PlatformShm.OtherPids", 64);
    ASSERT_TRUE(mine);
    EXPECT_FALSE(mine->AlreadyExisted());

    // A holder that hands a copy over to each child it forks (as the
    // simulated card does) holds the block throughout, its copy's close
    // included: another process's open never finds it abandoned and makes a
    // new one.
    auto kept = SharedMemory::Open("PlatformShm.HandedOver", 64);
    ASSERT_TRUE(kept);
    constexpr int kOpens = 20000;
    Child opener([] {
        for (int opened = 0; opened < kOpens; ++opened) {
            auto seen = SharedMemory::Open("PlatformShm.HandedOver", 64);
            if (!seen || !seen->AlreadyExisted()) return 1;
        }
        return 0;
    });
    for (int forked = 0; forked < kOpens && opener.Running(); ++forked) {
        auto copy = SharedMemory::Open("PlatformShm.HandedOver", 64);
        ASSERT_TRUE(copy);
        Child child([] { return 0; });
        copy->HandOverToForkedChild();
        copy.reset();
        EXPECT_EQ(child.Wait(), 0);
    }
    EXPECT_EQ(opener.Wait(), 0);
}

// What killed holders leave goes with the last close in their namespace and
// never with one of another namespace, even one named after it; a namespace
// whose processes have all ended is cleared as a whole.
TEST(PlatformSharedMemoryTest, LeftoversGoOnlyWithTheirOwnNamespace) {
    const std::string other = IpcNamespace() + ".more";
    for (const std::string& ns : {IpcNamespace(), other}) {
        Pipe ready;
        Child peer(Peer(ready, ns, "PlatformShm.Left", false));
        ASSERT_TRUE(ready.Wait());
    }
    const std::vector<std::string> ours = {IpcNamespace() + ".", IpcNamespace() + "_more."};
    ASSERT_EQ(ShmFilesEndingIn(".shm.PlatformShm.Left", ours).size(), 2u);
    SharedMemory::Open("PlatformShm.Trigger", 64).reset();
    const std::vector<std::string> left = ShmFilesEndingIn(".shm.PlatformShm.Left", ours);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0].rfind(IpcNamespace() + ".", 0), 0u);

    SharedMemory::RemoveAbandoned(left[0].substr(0, left[0].find('.')));
    EXPECT_TRUE(ShmFilesEndingIn(".shm.PlatformShm.Left", ours).empty());
}

// Whether the test process `pid` (as a name carries it) has ended. While a
// process of that pid lives, be it another program that took the number, what
// carries it stays: it may be a test's that still looks at it.
bool TestProcessEnded(const std::string& pid) {
    const long long number = std::strtoll(pid.c_str(), nullptr, 10);
    return number > 0 && number <= std::numeric_limits<pid_t>::max() &&
           kill(static_cast<pid_t>(number), 0) != 0 && errno == ESRCH;
}

// Clears what test processes that have ended left, also those killed at
// their time-out: the objects of their namespaces ("...velmora-test-<pid>")
// that no live process holds, and their state and scratch folders
// ("velmora-test-<pid>[-XXXXXX]") in the temporary folder and beside this
// process's state folder. Another test run's live processes keep theirs.
void ClearWhatEndedTestProcessesLeft() {
    const std::regex testNamespace(".*velmora-test-([0-9]+)");
    std::set<std::string> namespaces;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        const std::string name = entry.path().filename().string();
        const std::string ns = name.substr(0, name.find('.'));
        std::smatch match;
        if (std::regex_match(ns, match, testNamespace) && TestProcessEnded(match[1]))
            namespaces.insert(ns);
    }
    for (const std::string& ns : namespaces)
        SharedMemory::RemoveAbandoned(ns);

    const std::regex testFolder("velmora-test-([0-9]+)(-[A-Za-z0-9]{6})?");
    std::set<std::filesystem::path> bases = {std::filesystem::temp_directory_path()};
    if (const char* stateDir = std::getenv("VELMORA_SIM_STATE_DIR"))
        bases.insert(std::filesystem::path(stateDir).parent_path());
    std::error_code error;
    for (const std::filesystem::path& base : bases) {
        for (const auto& entry : std::filesystem::directory_iterator(base, error)) {
            const std::string name = entry.path().filename().string();
            std::smatch match;
            if (entry.is_directory(error) && std::regex_match(name, match, testFolder) &&
                TestProcessEnded(match[1])) {
                std::filesystem::remove_all(entry.path(), error);
            }
        }
    }
}

// Run by CTest after every other test.
TEST(PlatformNamespaceCleanup, ClearsWhatTestProcessesLeft) {
    ClearWhatEndedTestProcessesLeft();
}

// What a killed peer left in this live test process's namespace stays (its
// test may still count it); what one left in the namespace of a test process
// that has ended goes, and so does that process's state folder.
TEST(PlatformNamespaceCleanup, ClearsOnlyWhatEndedTestProcessesLeft) {
    const pid_t ended = fork();
    if (ended == 0) _exit(0);
    ASSERT_GT(ended, 0);
    waitpid(ended, nullptr, 0);
    const std::string endedNamespace = "velmora-test-" + std::to_string(ended);
    const auto stateDir = std::filesystem::path(std::getenv("VELMORA_SIM_STATE_DIR"));
    const auto endedStateDir = stateDir.parent_path() / endedNamespace;
    ASSERT_TRUE(std::filesystem::create_directories(endedStateDir));
    for (const std::string& ns : {IpcNamespace(), endedNamespace}) {
        Pipe ready;
        Child peer(Peer(ready, ns, "PlatformShm.Ended", false));
        ASSERT_TRUE(ready.Wait());
    }
    ClearWhatEndedTestProcessesLeft();
    const std::vector<std::string> left =
        ShmFilesEndingIn(".shm.PlatformShm.Ended", {IpcNamespace() + ".", endedNamespace + "."});
    SharedMemory::RemoveAbandoned(IpcNamespace());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].rfind(IpcNamespace() + ".", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(endedStateDir));
    EXPECT_TRUE(std::filesystem::exists(stateDir));
}

// Every object is its owner's alone, whatever the umask, but the recording
// mailbox's block, which is every local user's.
TEST(PlatformSharedMemoryTest, ModeIsTheOwnersOnlyWhateverTheUmask) {
    const auto modeOf = [](const std::string& path) {
        struct stat status {};
        return stat(path.c_str(), &status) == 0 ? status.st_mode & 0777 : 0u;
    };
    for (const mode_t mask : {mode_t{0}, mode_t{077}}) {
        const std::string name = "PlatformShm.Access" + std::to_string(mask);
        const mode_t previous = umask(mask);
        mode_t lockMode = 0;
        auto block = SharedMemory::Open(
            name, 64, [&](void*) { lockMode = modeOf("/dev/shm" + MapObjectName("lock", {})); });
        const card::CFFMServer mailbox(nullptr, (name + "E").c_str(), 4096);
        auto mutex = NamedMutex::Create(name);
        auto event = Event::Create(false, false, name);
        umask(previous);
        ASSERT_TRUE(block && mailbox.GetView() && mutex && event);
        EXPECT_EQ(modeOf(ShmPath("shm", name)), 0600u) << mask;
        EXPECT_EQ(modeOf(ShmPath("shm", name + "E")), 0666u) << mask;
        EXPECT_EQ(modeOf(ShmPath("mutex", name)), 0600u) << mask;
        EXPECT_EQ(modeOf(ShmPath("event", name)), 0600u) << mask;
        EXPECT_EQ(lockMode, 0600u) << mask;
    }
}

TEST(PlatformSharedMemoryTest, OpenWithoutCreateFindsOnlyLiveBlocks) {
    const std::string name = MapObjectName("shm", "PlatformShm.NoCreate");
    EXPECT_FALSE(SharedMemory::OpenPosix(name, 64, {}, false));
    EXPECT_FALSE(ShmFileExists("PlatformShm.NoCreate"));

    Pipe ready;
    Child child([&ready, &name] {
        auto memory = SharedMemory::OpenPosix(name, 64, {}, true);
        if (!memory) return 1;
        ready.Signal();
        for (;;)
            pause();
    });
    ASSERT_TRUE(ready.Wait());
    auto opened = SharedMemory::OpenPosix(name, 64, {}, false);
    EXPECT_TRUE(opened);
    opened.reset();
    child.Kill();
    // Only a dead holder's leftover is there now.
    EXPECT_FALSE(SharedMemory::OpenPosix(name, 64, {}, false));
}

}  // namespace
}  // namespace velmora::platform
