// The recording mailbox of an open card, driven the way another process
// drives it: through the named block and event with the public OS calls.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CardTestSupport.h"
#include "PlatformTestSupport.h"
#include "TsEngineTestSupport.h"
#include "WaitSupport.h"
#include "card/FfmServer.h"
#include "card/VelmoraMainFunc.h"
#include "platform/Paths.h"
#include "velmora/VelmoraOs.h"

namespace velmora::cardtest {
namespace {

using card::CFFMServer;
using Reply = std::array<uint32_t, 6>;

constexpr uint32_t kBlockSize = 0x10000;
constexpr uint32_t kMagic = 0x1211DBFF;
constexpr uint32_t kScratch = 0x50;
constexpr uint32_t kWriteReadFpga = 0xF1;
constexpr uint32_t kReadFpga = 0xF2;
constexpr uint32_t kTsControl = 0x170;
constexpr uint32_t kRecordFlagCh0 = 1u << 4;
// Bytes of the header's zero tail that a peer marks, so it sees the reply
// (which rewrites the whole header) replace its request.
constexpr uint32_t kMarkOffset = 12;
constexpr uint32_t kMarkBytes = 16;

// The peer's side of the mailbox, with nothing but the public OS calls.
class Peer {
  public:
    Peer(const wchar_t* block, const wchar_t* event)
        : m_block(VelmoraOs_OpenSharedMemory(block, kBlockSize)),
          m_event(VelmoraOs_OpenEvent(event)),
          m_view(static_cast<uint8_t*>(VelmoraOs_MapSharedMemory(m_block))) {}
    ~Peer() {
        VelmoraOs_CloseSharedMemory(m_block);
        VelmoraOs_CloseHandle(m_event);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool Ready() const { return m_view != nullptr && m_event != nullptr; }

    // Leaves a request and waits for the reply.
    bool Send(uint32_t magic, uint32_t type, uint32_t length, const std::vector<uint32_t>& words) {
        const uint32_t header[3] = {magic, type, length};
        std::memcpy(m_view, header, sizeof(header));
        std::memcpy(m_view + CFFMServer::kPayloadOffset, words.data(), words.size() * 4);
        return Wake();
    }
    bool Request(const std::vector<uint32_t>& words) {
        return Send(kMagic, 1, static_cast<uint32_t>(words.size() * 4), words);
    }
    // Leaves a request without waking the mailbox; Replied tells when it is
    // served.
    // It may run on the mailbox's thread while the test's polls the block,
    // as another process would: the header and the mark move as atomics.
    void Leave(const std::vector<uint32_t>& words) {
        const uint32_t header[3] = {kMagic, 1, static_cast<uint32_t>(words.size() * 4)};
        uint8_t bytes[sizeof(header)];
        std::memcpy(bytes, header, sizeof(header));
        for (size_t at = 0; at < sizeof(bytes); ++at)
            Put(at, bytes[at]);
        std::memcpy(m_view + CFFMServer::kPayloadOffset, words.data(), words.size() * 4);
        Mark();
    }
    // Leaves a request and wakes the mailbox, as a peer does, without
    // waiting for the reply.
    void Post(const std::vector<uint32_t>& words) {
        Leave(words);
        VelmoraOs_SetEvent(m_event);
    }
    // Wakes the mailbox with the block as it is and waits for the reply.
    bool Wake() {
        Mark();
        VelmoraOs_SetEvent(m_event);
        return Replied();
    }
    // The server writes a reply's type last: seen with the mark gone, the
    // reply is whole, and a server killed from then on leaves it so.
    bool Replied() {
        return ::velmora::test::WaitUntil(
            [&] { return Get(kMarkOffset) != 0xEE && HeaderWord(1) == kMagic; },
            "the mailbox's reply");
    }
    uint32_t HeaderWord(int index) const {
        uint8_t bytes[4];
        for (size_t at = 0; at < 4; ++at)
            bytes[at] = Get(4 * index + at);
        uint32_t word;
        std::memcpy(&word, bytes, 4);
        return word;
    }
    Reply LastReply() const {
        Reply reply;
        std::memcpy(reply.data(), m_view + CFFMServer::kPayloadOffset, sizeof(reply));
        return reply;
    }

  private:
    // The mark is stored last (release) and read first (acquire), so that
    // what a peer's thread left before it is seen whole.
    void Put(size_t at, uint8_t value) {
        std::atomic_ref<uint8_t>(m_view[at]).store(value, std::memory_order_release);
    }
    uint8_t Get(size_t at) const {
        return std::atomic_ref<uint8_t>(m_view[at]).load(std::memory_order_acquire);
    }
    void Mark() {
        for (size_t at = kMarkOffset; at < kMarkOffset + kMarkBytes; ++at)
            Put(at, 0xEE);
    }

    VELMORA_HANDLE m_block;
    VELMORA_HANDLE m_event;
    uint8_t* m_view;
};

// Writes `reply` into the block as a server replies, from a process killed
// at its `cut`-th stop at a system call (each write of the block is one, and
// stops before and after it). False, the process killed all the same, when it
// got through the whole message before that stop.
bool ReplyKilledAt(CFFMServer& block, const Reply& reply, int cut) {
    platform::test::Child writer([&] {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) return 1;
        raise(SIGSTOP);
        block.WriteMessage(kMagic, sizeof(reply), reply.data());
        // The message is whole: a stop that is no system call's.
        raise(SIGSTOP);
        return 0;
    });
    int status = 0;
    const auto stopped = [&] {
        return waitpid(writer.Pid(), &status, 0) == writer.Pid() && WIFSTOPPED(status);
    };
    if (!stopped() || ptrace(PTRACE_SETOPTIONS, writer.Pid(), nullptr,
                             PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0) {
        ADD_FAILURE() << "the writer cannot be traced";
        return false;
    }
    for (int stop = 0; stop < cut; ++stop) {
        if (ptrace(PTRACE_SYSCALL, writer.Pid(), nullptr, nullptr) != 0 || !stopped()) {
            ADD_FAILURE() << "the writer ended at its stop " << stop;
            return false;
        }
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) return false;
    }
    return true;
}

std::string LocalStamp(std::time_t when = std::time(nullptr)) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%Y%m%d-%H%M%S", &local);
    return text;
}

// A second main function on card 0's board support, serving the mailbox of
// index 7, whose capture-file operations are recorded.
class SpyMainFunc : public card::CVelmoraMainFunc {
  public:
    static constexpr uint32_t kIndex = 7;
    explicit SpyMainFunc(card::CVelmoraBoardSupport* pBoard)
        : CVelmoraMainFunc(kIndex, pBoard, nullptr) {}
    ~SpyMainFunc() override { StopMailbox(); }
    using CVelmoraMainFunc::StartMailbox;
    using CVelmoraMainFunc::StopMailbox;

    // Runs `action` once, when the next reply is built and not yet written.
    void WhileNextReply(std::function<void()> action) {
        std::lock_guard lock(m_mutex);
        m_whileReplying = std::move(action);
    }
    std::vector<std::string> Calls() {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }

  protected:
    uint32_t StartCaptureFile(const std::string& path, uint32_t pidFilter, uint32_t pid) override {
        return Note("start " + path + " " + std::to_string(pidFilter) + " " + std::to_string(pid));
    }
    uint32_t StopCaptureFile() override { return Note("stop"); }
    uint32_t SetRecordFlag(uint32_t on) override { return Note("record " + std::to_string(on)); }
    void BuildMailboxReply(uint32_t lastResult, uint32_t* pReply) override {
        CVelmoraMainFunc::BuildMailboxReply(lastResult, pReply);
        std::function<void()> action;
        {
            std::lock_guard lock(m_mutex);
            action = std::exchange(m_whileReplying, nullptr);
        }
        if (action) action();
    }

  private:
    uint32_t Note(const std::string& call) {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(call);
        return 1;
    }
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::function<void()> m_whileReplying;
};

class MailboxTest : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
        // Counters and status words stand still while the test compares them.
        ASSERT_TRUE(sim::SetClockMode(0, sim::ClockMode::Manual));
    }
    void StartSpy() {
        spy = std::make_unique<SpyMainFunc>(Card(0)->GetBoardSupport());
        spy->StartMailbox();
        peer = std::make_unique<Peer>(L"MAP_TQ5110_Read_7", L"Global\\Event_TQ5110_Read_7");
        ASSERT_TRUE(peer->Ready());
    }
    void TearDown() override {
        peer.reset();
        spy.reset();
        CardTest::TearDown();
    }
    static uint32_t Register(uint32_t offset) { return sim::PeekRegister(0, offset).value_or(~0u); }

    std::unique_ptr<SpyMainFunc> spy;
    std::unique_ptr<Peer> peer;
};

// The peer process: this test program started again with only this test
// and the file for the reply in the environment. It opens the card's mailbox,
// asks for a register read and writes the block's header and reply words to
// the file.
TEST(MailboxPeerProcess, ReadsARegister) {
    const char* replyFile = std::getenv("VELMORA_TEST_MAILBOX_REPLY");
    if (!replyFile) GTEST_SKIP() << "runs as the peer process of the mailbox test";
    Peer peer(L"MAP_TQ5110_Read_0", L"Global\\Event_TQ5110_Read_0");
    ASSERT_TRUE(peer.Ready());
    ASSERT_TRUE(peer.Request({0x10, kReadFpga, 0x14, 0, 0}));
    const Reply reply = peer.LastReply();
    FILE* file = std::fopen(replyFile, "w");
    ASSERT_NE(file, nullptr);
    std::fprintf(file, "%x %x %x", peer.HeaderWord(0), peer.HeaderWord(1), peer.HeaderWord(2));
    for (uint32_t word : reply)
        std::fprintf(file, " %x", word);
    std::fclose(file);
}

TEST_F(MailboxTest, APeerProcessReadsARegisterAndTheCardsStreamStatus) {
    ASSERT_TRUE(sim::SetCardStatus(0, 0x5A5A0321));
    const std::string replyFile = ::testing::TempDir() + "mailbox-peer-" + std::to_string(getpid());
    std::remove(replyFile.c_str());
    const platform::test::TestPeerImage image("MailboxPeerProcess.ReadsARegister",
                                              {{"VELMORA_TEST_MAILBOX_REPLY", replyFile}});
    platform::test::Child child([&] { return image.ExecQuietly(); });
    ASSERT_EQ(child.Wait(30000), 0);
    std::vector<uint32_t> words;
    FILE* file = std::fopen(replyFile.c_str(), "r");
    ASSERT_NE(file, nullptr);
    unsigned word = 0;
    while (std::fscanf(file, "%x", &word) == 1)
        words.push_back(word);
    std::fclose(file);
    std::remove(replyFile.c_str());

    // The status words as the card's own board support reads them now.
    card::CVelmoraBoardSupport& board = *Card(0)->GetBoardSupport();
    std::vector<uint32_t> expected = {kMagic, kMagic, 24, 0x5A5A0321, 0x5A5A0321, 0, 0, 0, 0};
    board.GetTsStatus0(&expected[5]);
    board.GetTsStatus1(&expected[6]);
    board.GetTsPacketCounters(&expected[7], &expected[8]);
    EXPECT_EQ(words, expected);
}

TEST_F(MailboxTest, MalformedAndStaleBlocksRunNoCommandButGetAReply) {
    StartSpy();
    // A chip test that leaves 0x100 as the last result.
    ASSERT_TRUE(peer->Request({0x10, kWriteReadFpga, kScratch, 0x100, 0}));
    ASSERT_EQ(Register(kScratch), 0x100u);
    ASSERT_EQ(peer->LastReply()[0], 0x100u);

    // Every one of these would write 0x77 to the scratch register if it ran.
    const std::vector<uint32_t> write = {0x10, kWriteReadFpga, kScratch, 0x77, 0};
    EXPECT_TRUE(peer->Send(kMagic, 1, 70000, write));   // past the block
    EXPECT_TRUE(peer->Send(kMagic, 0, 20, write));      // no message
    EXPECT_TRUE(peer->Send(0x12345678, 1, 20, write));  // no magic
    EXPECT_TRUE(peer->Send(kMagic, 1, 0, write));       // no payload
    EXPECT_EQ(Register(kScratch), 0x100u);
    EXPECT_EQ(peer->HeaderWord(1), kMagic);
    EXPECT_EQ(peer->HeaderWord(2), 24u);
    EXPECT_EQ(peer->LastReply()[0], 0x100u);

    // The reply left in the block reads as command 0x100 with the card status
    // word as its sub-command, here the record flag's. Woken again with it,
    // the mailbox must not run it.
    ASSERT_TRUE(sim::SetCardStatus(0, 0x11000));
    ASSERT_TRUE(peer->Request({0}));
    const Reply stale = peer->LastReply();
    ASSERT_EQ(stale[0], 0x100u);
    ASSERT_EQ(stale[1], 0x11000u);
    ASSERT_TRUE(peer->Wake());
    ASSERT_TRUE(peer->Wake());
    EXPECT_TRUE(spy->Calls().empty());
    EXPECT_EQ(peer->LastReply(), stale);
    // A peer's next request left while the reply to a stale wake-up is
    // being built is served, not overwritten.
    spy->WhileNextReply([&] { peer->Post({0x10, kWriteReadFpga, kScratch, 0x55, 0}); });
    ASSERT_TRUE(peer->Wake());
    ASSERT_TRUE(::velmora::test::WaitUntil([&] { return Register(kScratch) == 0x55u; },
                                           "the request left meanwhile"));
    ASSERT_TRUE(peer->Replied());
    EXPECT_EQ(peer->LastReply()[0], 0x55u);

    // A request longer than the mailbox's buffer still runs, cut to it.
    std::vector<uint32_t> longRequest(1500, 0);
    std::copy(write.begin(), write.end(), longRequest.begin());
    ASSERT_TRUE(peer->Send(kMagic, 1, 6000, longRequest));
    EXPECT_EQ(Register(kScratch), 0x77u);
    EXPECT_EQ(peer->LastReply()[0], 0x77u);

    // A server killed anywhere in its reply to a request that ran: the one
    // that takes over (this one, started again) never takes the reply's
    // words for a request, though they read as the start of a file of every
    // packet (last result 0x100, card status word 0x100000).
    CFFMServer writer(nullptr, nullptr, 0);
    ASSERT_EQ(writer.Open(0, "MAP_TQ5110_Read_7", kBlockSize), 1u);
    int cut = 0;
    for (bool killed = true; killed; ++cut) {
        spy->StopMailbox();
        peer->Leave({0, 0, 0, 0, 0, 0});
        killed = ReplyKilledAt(writer, {0x100, 0x100000, 0, 0, 0, 0}, cut);
        spy->StartMailbox();
        ASSERT_TRUE(peer->Wake()) << cut;
        ASSERT_TRUE(spy->Calls().empty()) << "the reply's writer killed at its stop " << cut;
    }
    EXPECT_GT(cut, 8) << "the reply's writes were not cut";
}

TEST_F(MailboxTest, StreamSubCommandsDriveTheCaptureFileAndTheRecordTrigger) {
    StartSpy();
    const std::string directory = card::GetPathDirectory(platform::ExecutablePath());
    const std::string before = LocalStamp();
    ASSERT_TRUE(peer->Request({0x100, 0x10000, 1, 0x101}));
    ASSERT_TRUE(peer->Request({0x100, 0x10010}));
    ASSERT_TRUE(peer->Request({0x100, 0x11000}));
    ASSERT_TRUE(peer->Request({0x100, 0x11010}));
    ASSERT_TRUE(peer->Request({0x100, 0x100000, 1, 0x101}));
    EXPECT_NE(Register(kTsControl) & kRecordFlagCh0, 0u);
    ASSERT_TRUE(peer->Request({0x100, 0x100010}));
    EXPECT_EQ(Register(kTsControl) & kRecordFlagCh0, 0u);
    ASSERT_TRUE(peer->Request({0x100, 0x12345}));
    ASSERT_TRUE(peer->Request({0x99, 0x10000}));
    const std::string after = LocalStamp();

    const auto calls = spy->Calls();
    ASSERT_EQ(calls.size(), 6u);
    const std::regex started("start (.*)/(ts_0-|ts_0_all-)(\\d{8}-\\d{6})\\.ts ([01]) (\\d+)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(calls[0], match, started)) << calls[0];
    EXPECT_EQ(match[1].str(), directory);
    EXPECT_EQ(match[2].str(), "ts_0-");
    EXPECT_GE(match[3].str(), before);
    EXPECT_LE(match[3].str(), after);
    EXPECT_EQ(match[4].str() + " " + match[5].str(), "1 257");
    EXPECT_EQ(calls[1], "stop");
    EXPECT_EQ(calls[2], "record 1");
    EXPECT_EQ(calls[3], "record 0");
    ASSERT_TRUE(std::regex_match(calls[4], match, started)) << calls[4];
    EXPECT_EQ(match[2].str(), "ts_0_all-");
    EXPECT_EQ(match[4].str() + " " + match[5].str(), "0 0");
    EXPECT_EQ(calls[5], "stop");
}

// The capture files a peer starts on the card's own mailbox while capture
// runs: beside the program, under the names the mailbox gives them, and
// cleaned up here.
std::vector<std::string> FilesStartingWith(const std::string& directory,
                                           const std::string& prefix) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) found.push_back(entry.path().string());
    }
    return found;
}

// The files of a card's mailbox go beside the program under names made of
// the card's number and the second, so copies of this test program that run
// at once, each on a simulated card of its own, write, list and remove the
// same names. A test that does holds the folder's turn, a lock file's lock,
// for its whole length; the file counts the turns taken, so a copy waits
// while the others move on and fails only when one of them hangs.
class FolderTurn {
  public:
    explicit FolderTurn(const std::string& directory)
        : m_fd(open((directory + "/.velmora-mailbox-files").c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                    0600)) {}
    ~FolderTurn() {
        if (m_fd >= 0) close(m_fd);
    }
    FolderTurn(const FolderTurn&) = delete;
    FolderTurn& operator=(const FolderTurn&) = delete;

    bool Take() {
        if (m_fd < 0) return false;
        const bool taken = ::velmora::test::WaitWhileMoving(
            [&] { return flock(m_fd, LOCK_EX | LOCK_NB) == 0; }, [&] { return Turns(); },
            "the folder of the mailbox's files");
        const uint64_t turns = Turns() + 1;
        return taken && pwrite(m_fd, &turns, sizeof(turns), 0) == sizeof(turns);
    }

  private:
    uint64_t Turns() const {
        uint64_t turns = 0;
        return pread(m_fd, &turns, sizeof(turns), 0) == sizeof(turns) ? turns : 0;
    }

    int m_fd;
};

// True when every PID's counters run on without a gap (null packets carry
// none).
bool CountersContinuous(const std::vector<tstest::Bytes>& packets) {
    std::map<uint16_t, int> last;
    for (const tstest::Bytes& p : packets) {
        const uint16_t pid = tstest::Pid(p.data());
        if (pid == 0x1FFF) continue;
        const int counter = p[3] & 0x0F;
        const bool payload = (p[3] & 0x10) != 0;
        const auto found = last.find(pid);
        if (found != last.end() &&
            counter != (payload ? (found->second + 1) & 0x0F : found->second))
            return false;
        last[pid] = counter;
    }
    return true;
}

TEST_F(MailboxTest, PeerRecordsThePidAndTheWholeStreamOfTheRunningCapture) {
    const std::string directory = card::GetPathDirectory(platform::ExecutablePath());
    FolderTurn turn(directory);
    ASSERT_TRUE(turn.Take());
    for (const char* prefix : {"ts_0-", "ts_0_all-"}) {
        for (const std::string& stale : FilesStartingWith(directory, prefix))
            std::remove(stale.c_str());
    }
    Peer card0(L"MAP_TQ5110_Read_0", L"Global\\Event_TQ5110_Read_0");
    ASSERT_TRUE(card0.Ready());
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    // Card time moves on, the reader taking what comes, until `done`.
    size_t taken = 0;
    const auto pump = [&](const std::function<bool()>& done) {
        std::vector<uint8_t> data(4096 * 188);
        return tstest::WaitFor([&] {
            sim::StepFields(0, 1);
            uint32_t ready = 0;
            Quorvel_Velmora_TsCaptureGetFillBufferNum(&ready, 0);
            ready = std::min<uint32_t>(ready, 4096);
            if (ready && Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(data.data(), ready, 0))
                taken += ready;
            return done();
        });
    };
    // What the one file named from `prefix` holds so far: the packets the
    // reader took before the file began are not in it.
    const auto holds = [&](const char* prefix, uintmax_t count) {
        const auto files = FilesStartingWith(directory, prefix);
        std::error_code error;
        const uintmax_t bytes = files.size() == 1 ? std::filesystem::file_size(files[0], error) : 0;
        return !error && bytes / 188 >= count;
    };
    ASSERT_TRUE(pump([&] { return taken >= 100; }));
    ASSERT_TRUE(card0.Request({0x100, 0x10000, 1, 0x101}));
    ASSERT_TRUE(pump([&] { return holds("ts_0-", 21); }));
    ASSERT_TRUE(card0.Request({0x100, 0x10010}));
    ASSERT_TRUE(card0.Request({0x100, 0x100000}));
    EXPECT_NE(Register(kTsControl) & kRecordFlagCh0, 0u);
    ASSERT_TRUE(pump([&] { return holds("ts_0_all-", 1001); }));
    ASSERT_TRUE(card0.Request({0x100, 0x100010}));
    EXPECT_EQ(Register(kTsControl) & kRecordFlagCh0, 0u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureDisable(0), 1u);

    const auto one = FilesStartingWith(directory, "ts_0-");
    const auto all = FilesStartingWith(directory, "ts_0_all-");
    ASSERT_EQ(one.size(), 1u);
    ASSERT_EQ(all.size(), 1u);
    const auto pidPackets = tstest::ReadPackets(one[0]);
    const auto allPackets = tstest::ReadPackets(all[0]);
    std::remove(one[0].c_str());
    std::remove(all[0].c_str());
    EXPECT_TRUE(std::regex_match(one[0], std::regex(".*/ts_0-\\d{8}-\\d{6}\\.ts"))) << one[0];
    ASSERT_GT(pidPackets.size(), 20u);
    for (const tstest::Bytes& p : pidPackets)
        ASSERT_EQ(tstest::Pid(p.data()), 0x101);
    EXPECT_TRUE(CountersContinuous(pidPackets));
    ASSERT_GT(allPackets.size(), 1000u);
    EXPECT_TRUE(CountersContinuous(allPackets));
    std::set<uint16_t> pids;
    for (const tstest::Bytes& p : allPackets)
        pids.insert(tstest::Pid(p.data()));
    EXPECT_GT(pids.size(), 3u);

    // Whoever may write beside the program plants links under the names of
    // the coming seconds (until both requests would have hung): one to a
    // file, one to a path with no file yet. Neither start takes them, and the
    // peer is answered as usual.
    const platform::test::TempDir temp;
    const std::string victim = temp.File("victim.ts");
    const std::string absent = temp.File("absent.ts");
    std::filesystem::copy_file(tstest::DataPath("psi_three_programs.ts"), victim);
    std::vector<std::string> planted;
    const std::time_t now = std::time(nullptr);
    for (std::time_t second = now - 1; second <= now + 2 * ::velmora::test::kHangBound.count();
         ++second) {
        for (const auto& [prefix, target] : {std::pair{"/ts_0-", victim}, {"/ts_0_all-", absent}}) {
            planted.push_back(directory + prefix + LocalStamp(second) + ".ts");
            std::filesystem::create_symlink(target, planted.back());
        }
    }
    ASSERT_TRUE(card0.Request({0x100, 0x10000, 0, 0}));
    EXPECT_EQ(card0.HeaderWord(2), 24u);
    ASSERT_TRUE(card0.Request({0x100, 0x100000}));
    EXPECT_EQ(card0.HeaderWord(1), kMagic);
    ASSERT_TRUE(card0.Request({0x100, 0x10010}));
    ASSERT_TRUE(card0.Request({0x100, 0x100010}));
    EXPECT_TRUE(tstest::ReadPackets(victim) == tstest::FixturePackets()) << "written: " << victim;
    EXPECT_FALSE(std::filesystem::exists(absent));
    for (const std::string& link : planted)
        std::remove(link.c_str());
    EXPECT_TRUE(FilesStartingWith(directory, "ts_0").empty());
}

// Who writes the file at `path`: a writer holds the file's lock, which a
// probe from an open of its own cannot take, and the writer here has the file
// open. (The system's lock list is no witness: it is read a page at a time
// while other processes' locks come and go, and can skip a line.)
enum class Writer { kNone, kHere, kElsewhere };

bool OpenHere(const std::string& path) {
    const std::filesystem::path file = std::filesystem::canonical(path);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) == file) return true;
    }
    return false;
}

Writer WriterOf(const std::string& path) {
    const int probe = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (probe < 0) return Writer::kNone;
    const bool locked = flock(probe, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(probe);
    return !locked ? Writer::kNone : OpenHere(path) ? Writer::kHere : Writer::kElsewhere;
}

constexpr char kHolderReady[] = "VELMORA_TEST_MAILBOX_HOLDER_READY";
constexpr char kHolderTold[] = "VELMORA_TEST_MAILBOX_HOLDER_TOLD";

// The other process that holds card 0: this test program started again with
// only this test and the descriptors it signals and waits on in the
// environment. It captures, and closes the card when told.
TEST(MailboxPeerProcess, CapturesUntilTold) {
    const char* ready = std::getenv(kHolderReady);
    const char* told = std::getenv(kHolderTold);
    if (!ready || !told) GTEST_SKIP() << "runs as the card holder of the mailbox test";
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    ASSERT_EQ(write(std::atoi(ready), "r", 1), 1);
    char byte = 0;
    ASSERT_EQ(read(std::atoi(told), &byte, 1), 1);
    EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
}

// Two processes hold the card and capture. One serves the mailbox at a time,
// the first that opened the card: a peer's start and stop of a file both
// reach it, and the stop ends the file the start began. Once it closes the
// card, or dies, the other one serves; the reply the first one left in the
// block is no request to it.
TEST_F(MailboxTest, OneProcessServesAtATimeAndAnotherTakesOver) {
    const std::string directory = card::GetPathDirectory(platform::ExecutablePath());
    FolderTurn turn(directory);
    ASSERT_TRUE(turn.Take());
    for (const std::string& stale : FilesStartingWith(directory, "ts_0_all-"))
        std::remove(stale.c_str());
    // This process opens the card after the other one.
    ASSERT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "the serving process dies" : "the serving process closes the card");
        platform::test::Pipe ready, told;
        const platform::test::TestPeerImage image("MailboxPeerProcess.CapturesUntilTold",
                                                  {{kHolderReady, std::to_string(ready.WriteEnd())},
                                                   {kHolderTold, std::to_string(told.ReadEnd())}});
        platform::test::Child other([&] { return image.ExecQuietly(); });
        ASSERT_TRUE(ready.Wait());
        Peer peer(L"MAP_TQ5110_Read_0", L"Global\\Event_TQ5110_Read_0");
        ASSERT_TRUE(peer.Ready());
        // Served by the only process that holds the card.
        ASSERT_TRUE(peer.Request({0}));
        ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);

        // A whole-stream file through the mailbox, written here or by the
        // other process, and ended by the stop.
        const auto record = [&](bool here) {
            ASSERT_TRUE(peer.Request({0x100, 0x100000}));
            const auto files = FilesStartingWith(directory, "ts_0_all-");
            ASSERT_EQ(files.size(), 1u);
            const Writer writer = WriterOf(files[0]);
            ASSERT_NE(writer, Writer::kNone);
            ASSERT_EQ(writer == Writer::kHere, here);
            // Card time moves on as the file takes it, never further ahead
            // than the card's ring holds.
            const uint64_t start = sim::AsiCaptureCounts(0)->captured;
            ASSERT_TRUE(::velmora::test::WaitUntil(
                [&] {
                    const uint64_t written = std::filesystem::file_size(files[0]) / 188;
                    if (sim::AsiCaptureCounts(0)->captured < start + written + 2000)
                        sim::StepFields(0, 1);
                    return written >= 1000;
                },
                "the capture file"));
            ASSERT_TRUE(peer.Request({0x100, 0x100010}));
            EXPECT_EQ(WriterOf(files[0]), Writer::kNone) << "the stop did not end the file";
            const auto packets = tstest::ReadPackets(files[0]);
            std::remove(files[0].c_str());
            EXPECT_GE(packets.size(), 1000u);
            EXPECT_TRUE(CountersContinuous(packets));
        };
        for (int round = 0; round < 3; ++round)
            ASSERT_NO_FATAL_FAILURE(record(false));

        // The server's last reply reads as command 0x100, sub-command
        // 0x100000 (a file of every packet).
        ASSERT_TRUE(sim::SetCardStatus(0, 0x100000));
        ASSERT_TRUE(peer.Request({0x10, kWriteReadFpga, kScratch, 0x100, 0}));
        if (killed) {
            other.Kill();
        } else {
            ASSERT_TRUE(told.Signal());
            EXPECT_EQ(other.Wait(), 0);
        }
        ASSERT_TRUE(peer.Wake());
        EXPECT_TRUE(FilesStartingWith(directory, "ts_0_all-").empty());
        ASSERT_TRUE(sim::SetCardStatus(0, 0));
        ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
        ASSERT_NO_FATAL_FAILURE(record(true));
        ASSERT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    }
}

TEST_F(MailboxTest, RandomBlocksNeverCrashTheMailbox) {
    StartSpy();
    std::mt19937 random(20261207);
    const uint32_t listed[] = {0x10000, 0x10010, 0x11000, 0x11010, 0x100010, 0x100000};
    for (int round = 0; round < 300; ++round) {
        std::vector<uint32_t> words(16);
        for (uint32_t& word : words)
            word = random();
        // Chip tests would write random registers and chips of the card.
        if (words[0] == 0x10) words[0] = 0x11;
        if (random() % 4 == 0) {
            words[0] = 0x100;
            if (random() % 2 == 0) words[1] = listed[random() % std::size(listed)];
        }
        const uint32_t magic = random() % 4 == 0 ? static_cast<uint32_t>(random()) : kMagic;
        const uint32_t type = random() % 8 == 0 ? 0 : static_cast<uint32_t>(random());
        const uint32_t lengths[] = {0, 4, 64, static_cast<uint32_t>(random() % 4096),
                                    static_cast<uint32_t>(random())};
        ASSERT_TRUE(peer->Send(magic, type, lengths[random() % std::size(lengths)], words))
            << round;
    }
    for (const std::string& call : spy->Calls()) {
        EXPECT_TRUE(call.rfind("start ", 0) == 0 || call == "stop" || call.rfind("record ", 0) == 0)
            << call;
    }
    ASSERT_TRUE(peer->Request({0x10, kReadFpga, kScratch, 0, 0}));
    EXPECT_EQ(peer->LastReply()[0], Register(kScratch));
}

TEST_F(MailboxTest, StopEndsTheThreadPromptlyAndCopesWithNone) {
    StartSpy();
    ASSERT_TRUE(peer->Request({0}));
    const auto start = std::chrono::steady_clock::now();
    spy->StopMailbox();
    EXPECT_LT(std::chrono::steady_clock::now() - start, ::velmora::test::kHangBound) << "hang";
    spy->StopMailbox();

    // Started again, it serves the block it kept, first the request left
    // there while it was stopped, whose wake-up went to nobody.
    peer->Leave({0x10, kWriteReadFpga, kScratch, 0x5A, 0});
    spy->StartMailbox();
    EXPECT_TRUE(peer->Replied());
    EXPECT_EQ(Register(kScratch), 0x5Au);
    EXPECT_TRUE(peer->Request({0}));
    spy->StopMailbox();

    // Without its event the mailbox runs no thread, and stopping it is fine.
    peer.reset();
    spy.reset();
    const std::string eventPath =
        "/dev/shm" + platform::MapObjectName("event", "Global\\Event_TQ5110_Read_7");
    ASSERT_EQ(mkdir(eventPath.c_str(), 0700), 0) << eventPath;
    spy = std::make_unique<SpyMainFunc>(Card(0)->GetBoardSupport());
    spy->StartMailbox();
    EXPECT_EQ(VelmoraOs_OpenEvent(L"Global\\Event_TQ5110_Read_7"), nullptr);
    spy->StopMailbox();
    spy.reset();
    rmdir(eventPath.c_str());
}

TEST(MailboxPathTest, TheDirectoryEndsAtTheLastSeparator) {
    EXPECT_EQ(card::GetPathDirectory("C:\\Program Files\\app.exe"), "C:\\Program Files");
    EXPECT_EQ(card::GetPathDirectory("/usr/local/bin/app"), "/usr/local/bin");
    EXPECT_EQ(card::GetPathDirectory("dir\\sub/app"), "dir");
    EXPECT_EQ(card::GetPathDirectory("app"), "");
}

TEST(FfmServerTest, MessagesStayInsideTheBlock) {
    CFFMServer server(nullptr, "FfmServerTest.Block", 256);
    ASSERT_NE(server.GetView(), nullptr);
    EXPECT_EQ(server.GetSize(), 256u);
    auto* block = static_cast<uint8_t*>(server.GetView());
    uint32_t length = 7;
    EXPECT_EQ(server.ReadMessageHeader(&length), 0u);
    EXPECT_EQ(server.GetLastError(), CFFMServer::kErrorNoMagic);
    EXPECT_EQ(length, 0u);

    const uint32_t words[2] = {0x11223344, 0x55667788};
    ASSERT_EQ(server.WriteMessage(5, sizeof(words), words), 1u);
    std::vector<uint8_t> written(block, block + 256);
    EXPECT_EQ(server.WriteMessage(0, sizeof(words), words), 0u);
    EXPECT_EQ(server.GetLastError(), CFFMServer::kErrorNoMessage);
    EXPECT_EQ(server.WriteMessage(5, 4, nullptr), 0u);
    EXPECT_EQ(server.GetLastError(), CFFMServer::kErrorInvalidUserBuffer);
    std::vector<uint8_t> big(300, 0xAB);
    EXPECT_EQ(server.WriteMessage(5, 300, big.data()), 0u);
    EXPECT_EQ(std::vector<uint8_t>(block, block + 256), written);

    ASSERT_EQ(server.ReadMessageHeader(&length), 1u);
    EXPECT_EQ(length, 8u);
    uint32_t back[2] = {};
    ASSERT_EQ(server.ReadMessageData(0, 8, back), 1u);
    EXPECT_EQ(back[1], 0x55667788u);
    // A length past the block is cut to it.
    std::vector<uint8_t> all(70000, 0xCD);
    ASSERT_EQ(server.ReadMessageData(0, 70000, all.data()), 1u);
    EXPECT_EQ(all[256 - 31 - 1], block[255]);
    EXPECT_EQ(all[256 - 31], 0xCD);

    // Another holder of the name sees the same block; the last one to close
    // ends it.
    CFFMServer opened(nullptr, nullptr, 0);
    ASSERT_EQ(opened.Open(0, "FfmServerTest.Block", 256), 1u);
    EXPECT_EQ(std::memcmp(opened.GetView(), block, 256), 0);
    opened.CloseOpened();
    server.Close();
    EXPECT_EQ(server.GetView(), nullptr);
    EXPECT_EQ(server.ReadMessageData(0, 4, back), 0u);
    EXPECT_EQ(server.GetLastError(), CFFMServer::kErrorNoView);
    EXPECT_EQ(opened.Open(0, "FfmServerTest.Block", 256), 0u);

    // A block smaller than a header takes no message and holds none.
    CFFMServer tiny(nullptr, "FfmServerTest.Tiny", 16);
    ASSERT_NE(tiny.GetView(), nullptr);
    EXPECT_EQ(tiny.WriteMessage(5, 0, nullptr), 0u);
    EXPECT_EQ(tiny.GetLastError(), CFFMServer::kErrorNoView);
    EXPECT_EQ(tiny.ReadMessageHeader(&length), 0u);
    EXPECT_EQ(tiny.GetLastError(), CFFMServer::kErrorNoView);
}

TEST(FfmServerTest, TheFileFormMapsItsFile) {
    const platform::test::TempDir temp;
    const std::string path = temp.File("ffm-server.map");
    {
        CFFMServer server(path.c_str(), "FfmServerTest.File", 4096);
        ASSERT_NE(server.GetView(), nullptr);
        const uint32_t word = 0xFEEDC0DE;
        ASSERT_EQ(server.WriteMessage(2, 4, &word), 1u);
    }
    FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    uint8_t bytes[36] = {};
    EXPECT_EQ(std::fread(bytes, 1, sizeof(bytes), file), sizeof(bytes));
    std::fclose(file);
    uint32_t magic = 0, payload = 0;
    std::memcpy(&magic, bytes, 4);
    std::memcpy(&payload, bytes + 31, 4);
    EXPECT_EQ(magic, kMagic);
    EXPECT_EQ(payload, 0xFEEDC0DEu);
}

}  // namespace
}  // namespace velmora::cardtest
