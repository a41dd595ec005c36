#include "card/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <mutex>
#include <new>
#include <utility>

#include "platform/Paths.h"
#include "platform/RegularFile.h"
#include "platform/TextConv.h"
#include "platform/Trace.h"

namespace velmora::card {
namespace {

constexpr char kFileStampFormat[] = "%Y%m%d-%H%M%S";
constexpr char kLineStampFormat[] = "%m/%d/%Y %H:%M:%S";

std::string LocalTimeText(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[64] = "";
    if (localtime_r(&now, &local) != nullptr) {
        std::strftime(text, sizeof text, format, &local);
    }
    return text;
}

// The log's name is made up from the clock, in a folder beside the executable
// that others may be able to write in: a line goes only into a file of this
// user's that no other name leads to, never through a link planted under the
// coming name or in place of the log's folder. Processes of one program
// started in one second still share a log, as they always did.
FILE* OpenForAppending(const std::string& path) {
    const size_t slash = path.rfind('/');
    const int folder =
        ::open(path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) return nullptr;
    const int descriptor = platform::OpenRegularFileAt(
        folder, path.c_str() + slash + 1, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0666);
    ::close(folder);
    if (descriptor < 0) return nullptr;
    struct stat status {};
    FILE* file = nullptr;
    if (::fstat(descriptor, &status) == 0 && status.st_uid == ::geteuid() && status.st_nlink == 1) {
        file = ::fdopen(descriptor, "a");
    }
    if (file == nullptr) ::close(descriptor);
    return file;
}

}  // namespace

CLogFile::CLogFile(std::string logBaseDirectory)
    : m_logBaseDirectory(std::move(logBaseDirectory)),
      m_message{},
      m_rollOverCount(0),
      m_enabled(1),
      m_timeStamped(1) {}

void CLogFile::SetLogBaseDirectory(std::string logBaseDirectory) {
    std::lock_guard<platform::CCriticalSection> guard(m_lock);
    m_logBaseDirectory = std::move(logBaseDirectory);
}

bool CLogFile::PrepareFolder(std::string& folder, std::string& title, std::string& stamp) {
    // Always the program that started the process, never this library: the
    // log belongs to the application.
    const std::string executable = platform::ExecutablePath();
    if (executable.empty()) return false;

    const size_t separator = executable.rfind('/');
    std::string directory;
    std::string fileName = executable;
    if (separator != std::string::npos) {
        directory = executable.substr(0, separator);
        fileName = executable.substr(separator + 1);
    }
    const size_t dot = fileName.rfind('.');
    title = dot == std::string::npos ? fileName : fileName.substr(0, dot);

    if (!m_logBaseDirectory.empty()) directory = m_logBaseDirectory;
    folder = directory + "/Logfile/";
    // A folder that cannot be made shows up as lines that cannot be written.
    platform::CreateDirectoryRecursive(folder);
    stamp = LocalTimeText(kFileStampFormat);
    return true;
}

void CLogFile::InitLogFile() {
    std::lock_guard<platform::CCriticalSection> guard(m_lock);
    m_enabled = 1;
    std::string folder, title, stamp;
    if (!PrepareFolder(folder, title, stamp)) {
        m_fileName.clear();
        m_filePath.clear();
        return;
    }
    m_fileName = title + "_" + stamp;
    m_filePath = folder + m_fileName + ".log";
}

void CLogFile::SetLogFileName(const wchar_t* name) {
    const std::string callerName = name ? platform::WideToUtf8(name) : std::string();
    std::lock_guard<platform::CCriticalSection> guard(m_lock);
    m_enabled = 1;
    std::string folder, title, stamp;
    if (!PrepareFolder(folder, title, stamp)) {
        m_fileName.clear();
        m_filePath.clear();
        return;
    }
    m_fileName = title + "_" + stamp;
    m_filePath = folder + callerName + "_" + stamp + ".log";
}

void CLogFile::EnableLog(int32_t enable) {
    std::lock_guard<platform::CCriticalSection> guard(m_lock);
    m_enabled = enable;
}

int32_t CLogFile::AppendLineAndClose(FILE* file) {
    bool written = true;
    if (m_timeStamped) {
        written = std::fprintf(file, "%s : ", LocalTimeText(kLineStampFormat).c_str()) >= 0;
    }
    written = std::fprintf(file, "%s\n", m_message) >= 0 && written;
    written = std::fclose(file) == 0 && written;
    return written ? 1 : 0;
}

void CLogFile::TellUnwritable(const std::string& path) {
    if (m_bToldUnwritable) return;
    m_bToldUnwritable = true;
    std::fprintf(stderr, "velmora: the log file %s cannot be written; its lines are lost\n",
                 path.c_str());
}

int32_t CLogFile::WriteLog(const wchar_t* format, ...) {
    // The lock also covers the path and the flag, which another thread may be
    // renaming or switching while this line is written.
    std::lock_guard<platform::CCriticalSection> guard(m_lock);
    if (m_filePath.empty()) return 0;
    if (!m_enabled) return 1;
    if (format == nullptr) return 0;

    const std::string narrowFormat = platform::WideToUtf8(format);
    va_list args;
    va_start(args, format);
    if (std::vsnprintf(m_message, sizeof m_message, narrowFormat.c_str(), args) < 0) {
        m_message[0] = '\0';
    }
    va_end(args);

    FILE* file = OpenForAppending(m_filePath);
    if (file == nullptr) {
        TellUnwritable(m_filePath);
        return 0;
    }
    return AppendLineAndClose(file);
}

int32_t CLogFile::WriteLogA(const char* format, ...) {
    std::unique_lock<platform::CCriticalSection> guard(m_lock);
    if (m_filePath.empty()) return 0;
    if (!m_enabled) return 1;
    if (format == nullptr) return 0;

    va_list args;
    va_start(args, format);
    if (std::vsnprintf(m_message, sizeof m_message, format, args) < 0) m_message[0] = '\0';
    va_end(args);

    FILE* file = OpenForAppending(m_filePath);
    if (file != nullptr) {
        fseeko(file, 0, SEEK_END);
        if (ftello(file) > kRollOverSize) {
            ++m_rollOverCount;
            std::fclose(file);
            // The old name up to its time stamp, with the present time instead.
            m_filePath = m_filePath.substr(0, m_filePath.rfind('_')) + "_" +
                         LocalTimeText(kFileStampFormat) + ".log";
            file = OpenForAppending(m_filePath);
        }
    }
    if (file == nullptr) {
        const std::string path = m_filePath;
        TellUnwritable(path);
        guard.unlock();
        platform::OutputDebugString("\n Open file " + path + "faild!!");
        return 0;
    }
    return AppendLineAndClose(file);
}

std::string CLogFile::GetLogFilePath() {
    std::lock_guard<platform::CCriticalSection> guard(m_lock);
    return m_filePath;
}

std::string CLogFile::GetLogFileName() {
    std::lock_guard<platform::CCriticalSection> guard(m_lock);
    return m_fileName;
}

uint32_t CLogFile::GetRollOverCount() {
    std::lock_guard<platform::CCriticalSection> guard(m_lock);
    return m_rollOverCount;
}

char* UnicodeToAnsi(const wchar_t* text) {
    if (text == nullptr) return nullptr;
    const std::string converted = platform::WideToUtf8(text);
    if (converted.empty()) return nullptr;
    char* copy = new (std::nothrow) char[converted.size() + 1];
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, converted.c_str(), converted.size() + 1);
    return copy;
}

wchar_t* AnsiToUnicode(const char* text) {
    if (text == nullptr) return nullptr;
    const std::wstring converted = platform::Utf8ToWide(text);
    if (converted.empty()) return nullptr;
    const size_t skip = converted[0] == L'\xFEFF' ? 1 : 0;
    const size_t length = converted.size() - skip;
    wchar_t* copy = new (std::nothrow) wchar_t[length + 1];
    if (copy == nullptr) return nullptr;
    std::wmemcpy(copy, converted.c_str() + skip, length + 1);
    return copy;
}

}  // namespace velmora::card
