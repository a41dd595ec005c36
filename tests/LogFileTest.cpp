#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "card/LogFile.h"
#include "platform/Trace.h"

namespace velmora::card {

namespace fs = std::filesystem;

namespace {

const char kLinePrefix[] = R"(\d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2} : )";
const char kStamp[] = R"(\d{8}-\d{6})";

std::string Escaped(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

std::string ExecutableTitle() {
    return fs::read_symlink("/proc/self/exe").stem().string();
}

std::string FileStampNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

// A log line: local time stamp, " : ", then the message (a regex).
bool IsLine(const std::string& line, const std::string& message) {
    return std::regex_match(line, std::regex(std::string(kLinePrefix) + message));
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class LogFileTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "velmora-logfile-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_folder = m_dir + "/Logfile/";
        m_log = std::make_unique<CLogFile>(m_dir);
    }
    void TearDown() override {
        velmora::platform::SetTraceCapture({});
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    std::string m_dir;
    std::string m_folder;
    std::unique_ptr<CLogFile> m_log;
};

TEST_F(LogFileTest, WritesTimeStampedLinesIntoTitledFile) {
    m_log->InitLogFile();
    const std::string name = m_log->GetLogFileName();
    EXPECT_TRUE(std::regex_match(name, std::regex(Escaped(ExecutableTitle()) + "_" + kStamp)));
    EXPECT_EQ(m_log->GetLogFilePath(), m_folder + name + ".log");

    EXPECT_EQ(m_log->WriteLog(L"getcard version err"), 1);
    EXPECT_EQ(m_log->WriteLog(L"card %d: %s", 2, "narrow \xC3\xA9"), 1);
    EXPECT_EQ(m_log->WriteLogA("reg 0x%08X", 0x1234u), 1);

    const auto lines = ReadLines(m_log->GetLogFilePath());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(IsLine(lines[0], "getcard version err"));
    EXPECT_TRUE(IsLine(lines[1], "card 2: narrow \xC3\xA9"));
    EXPECT_TRUE(IsLine(lines[2], "reg 0x00001234"));
}

TEST_F(LogFileTest, UnnamedFailsAndDisabledWritesNothing) {
    EXPECT_EQ(m_log->WriteLog(L"early"), 0);
    EXPECT_EQ(m_log->WriteLogA("early"), 0);
    EXPECT_FALSE(fs::exists(m_folder));

    m_log->InitLogFile();
    m_log->EnableLog(0);
    EXPECT_EQ(m_log->WriteLog(L"off"), 1);
    EXPECT_EQ(m_log->WriteLogA("off"), 1);
    EXPECT_FALSE(fs::exists(m_log->GetLogFilePath()));

    m_log->InitLogFile();  // turns logging back on
    EXPECT_EQ(m_log->WriteLog(L"on"), 1);
    EXPECT_EQ(ReadLines(m_log->GetLogFilePath()).size(), 1u);
}

TEST_F(LogFileTest, SetLogFileNameUsesCallerNameAndStamp) {
    m_log->SetLogFileName(L"capture\u00E9");
    EXPECT_TRUE(
        std::regex_match(m_log->GetLogFilePath(),
                         std::regex(Escaped(m_folder) + "capture\xC3\xA9_" + kStamp + "\\.log")));
    EXPECT_EQ(m_log->WriteLog(L"x"), 1);
    EXPECT_TRUE(fs::exists(m_log->GetLogFilePath()));
}

TEST_F(LogFileTest, OnlyNarrowWriterRollsOverPastLimit) {
    m_log->SetLogFileName(L"roll");
    const std::string first = m_log->GetLogFilePath();
    std::ofstream(first).close();
    fs::resize_file(first, 8000000);
    EXPECT_EQ(m_log->WriteLogA("at limit"), 1);  // not above the limit yet
    EXPECT_EQ(m_log->GetLogFilePath(), first);

    // The new name carries the present second, so let the stamp move on.
    const std::string firstStamp = FileStampNow();
    for (int i = 0; i < 40 && FileStampNow() == firstStamp; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_NE(FileStampNow(), firstStamp);

    EXPECT_EQ(m_log->WriteLog(L"wide never rolls"), 1);
    EXPECT_EQ(m_log->GetLogFilePath(), first);
    EXPECT_EQ(m_log->GetRollOverCount(), 0u);

    const auto sizeBefore = fs::file_size(first);
    EXPECT_EQ(m_log->WriteLogA("after roll"), 1);
    const std::string second = m_log->GetLogFilePath();
    EXPECT_NE(second, first);
    EXPECT_TRUE(
        std::regex_match(second, std::regex(Escaped(m_folder) + "roll_" + kStamp + "\\.log")));
    EXPECT_EQ(m_log->GetRollOverCount(), 1u);
    EXPECT_EQ(fs::file_size(first), sizeBefore);
    const auto lines = ReadLines(second);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(IsLine(lines[0], "after roll"));
}

TEST_F(LogFileTest, UnopenableFileFailsAndNarrowWriterTraces) {
    // What may stand under the coming name: a folder, or a link that another
    // user planted to have the log written into a file of theirs or ours; or
    // a link in place of the log's folder, into a folder of theirs.
    const std::string other = m_dir + "/other.txt";
    const std::string elsewhere = m_dir + "/elsewhere";
    const std::vector<std::function<void(const std::string&)>> planted = {
        [](const std::string& path) { fs::create_directories(path); },
        [&](const std::string& path) { fs::create_symlink(other, path); },
        [&](const std::string& path) { fs::create_hard_link(other, path); },
        [&](const std::string&) {
            fs::remove_all(m_dir + "/Logfile");
            fs::create_directories(elsewhere);
            fs::create_directory_symlink(elsewhere, m_dir + "/Logfile");
        },
    };
    for (size_t i = 0; i < planted.size(); ++i) {
        SCOPED_TRACE(i);
        std::ofstream(other) << "kept\n";
        std::vector<std::string> traces;
        velmora::platform::SetTraceCapture(
            [&](std::string_view text) { traces.emplace_back(text); });
        m_log->SetLogFileName((L"blocked" + std::to_wstring(i)).c_str());
        fs::create_directories(m_folder);
        planted[i](m_log->GetLogFilePath());

        testing::internal::CaptureStderr();
        EXPECT_EQ(m_log->WriteLog(L"lost"), 0);
        EXPECT_TRUE(traces.empty());
        EXPECT_EQ(m_log->WriteLogA("lost"), 0);
        // Standard error hears of it once, at the first line lost.
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  i > 0 ? ""
                        : "velmora: the log file " + m_log->GetLogFilePath() +
                              " cannot be written; its lines are lost\n");
        ASSERT_EQ(traces.size(), 1u);
        EXPECT_EQ(traces[0], "\n Open file " + m_log->GetLogFilePath() + "faild!!");
        EXPECT_EQ(ReadLines(other), std::vector<std::string>{"kept"});
    }
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(LogFileTest, LongMessagesAreCutAtBufferSize) {
    m_log->InitLogFile();
    const std::string longText(5000, 'x');
    EXPECT_EQ(m_log->WriteLog(L"%s", longText.c_str()), 1);
    EXPECT_EQ(m_log->WriteLogA("%s%s", longText.c_str(), longText.c_str()), 1);
    const auto lines = ReadLines(m_log->GetLogFilePath());
    ASSERT_EQ(lines.size(), 2u);
    const std::string cut = "x{" + std::to_string(CLogFile::kMessageBufferSize - 1) + "}";
    EXPECT_TRUE(IsLine(lines[0], cut));
    EXPECT_TRUE(IsLine(lines[1], cut));
}

TEST_F(LogFileTest, ConcurrentWritersProduceWholeLines) {
    m_log->InitLogFile();
    constexpr int kThreads = 8, kLines = 150;
    const std::string payload(200, 'p');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                if (i % 2) {
                    m_log->WriteLog(L"thread %d line %d %s", t, i, payload.c_str());
                } else {
                    m_log->WriteLogA("thread %d line %d %s", t, i, payload.c_str());
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    const std::regex line(std::string(kLinePrefix) + "thread (\\d+) line (\\d+) " + payload);
    std::set<std::pair<int, int>> seen;
    for (const auto& text : ReadLines(m_log->GetLogFilePath())) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, line)) << text.substr(0, 80);
        seen.emplace(std::stoi(match[1]), std::stoi(match[2]));
    }
    EXPECT_EQ(seen.size(), size_t{kThreads * kLines});
}

TEST_F(LogFileTest, DefaultInstanceLogsBesideExecutable) {
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    const fs::path folder = exe.parent_path() / "Logfile";
    const bool existed = fs::exists(folder);
    CLogFile log;
    log.InitLogFile();
    EXPECT_TRUE(std::regex_match(log.GetLogFilePath(),
                                 std::regex(Escaped(folder.string() + "/" + exe.stem().string()) +
                                            "_" + kStamp + "\\.log")));
    std::error_code ignored;
    if (!existed) fs::remove(folder, ignored);  // only when empty
}

TEST(LogFileConversionTest, HeapCopiesConvertAndDropByteOrderMark) {
    std::unique_ptr<char[]> narrow(velmora::card::UnicodeToAnsi(L"Gr\u00FC\u00DFe"));
    ASSERT_NE(narrow, nullptr);
    EXPECT_STREQ(narrow.get(),
                 "Gr\xC3\xBC\xC3\x9F"
                 "e");
    std::unique_ptr<wchar_t[]> wide(velmora::card::AnsiToUnicode("\xEF\xBB\xBF\xE6\x97\xA5x"));
    ASSERT_NE(wide, nullptr);
    EXPECT_STREQ(wide.get(), L"\u65E5x");

    EXPECT_EQ(velmora::card::UnicodeToAnsi(nullptr), nullptr);
    EXPECT_EQ(velmora::card::UnicodeToAnsi(L""), nullptr);
    EXPECT_EQ(velmora::card::AnsiToUnicode(nullptr), nullptr);
    EXPECT_EQ(velmora::card::AnsiToUnicode(""), nullptr);
}

}  // namespace

}  // namespace velmora::card
