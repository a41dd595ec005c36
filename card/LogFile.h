#pragma once

// The process's log file: every layer of the library writes its failure and
// progress lines through g_LogFile. Each line is "<local time> : <message>\n";
// the file is opened, appended to and closed for every line, so there is no
// handle to lose when the process dies. The first line that cannot be written
// says so on standard error, once, so that the reasons of refusals are not
// lost without a word.

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/CriticalSection.h"

namespace velmora::card {

class CLogFile {
  public:
    // Longest formatted message of one line, terminator included; longer
    // messages are cut.
    static constexpr size_t kMessageBufferSize = 3000;
    // WriteLogA starts a new file once the current one has grown past this.
    static constexpr long long kRollOverSize = 8000000;

    // The log folder "Logfile/" is made inside logBaseDirectory; when it is
    // empty (the library's own instance) the folder of the process's
    // executable is looked up each time a file is named. The file name always
    // comes from the executable's title.
    explicit CLogFile(std::string logBaseDirectory = std::string());
    // Moves the log folder into `logBaseDirectory` (empty: back beside the
    // executable) from the next file named on; the names stay as they are.
    void SetLogBaseDirectory(std::string logBaseDirectory);
    ~CLogFile() = default;
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // Names a new file "<title>_<YYYYmmdd-HHMMSS>.log" and turns logging on.
    void InitLogFile();
    // As InitLogFile, but the file becomes "<name>_<YYYYmmdd-HHMMSS>.log".
    void SetLogFileName(const wchar_t* name);
    void EnableLog(int32_t enable);

    // The format is converted to UTF-8 and formatted as by vsnprintf, so "%s"
    // takes narrow strings. 1 when the line was written or logging is off,
    // 0 when no file is named or the line could not be written. Never starts a
    // new file.
    int32_t WriteLog(const wchar_t* format, ...);
    // Same line from a narrow format; starts a new file once the current one
    // has grown past kRollOverSize bytes.
    int32_t WriteLogA(const char* format, ...) __attribute__((format(printf, 2, 3)));

    std::string GetLogFilePath();
    std::string GetLogFileName();
    uint32_t GetRollOverCount();

    // What every line takes; its holder takes no other lock meanwhile.
    platform::CCriticalSection& LineLock() { return m_lock; }

  private:
    // Folder (with its trailing '/'), executable title and time stamp of a new
    // file name; false when the executable's path is unknown.
    bool PrepareFolder(std::string& folder, std::string& title, std::string& stamp);
    // Appends "<time> : <message>\n" to an open file and closes it; 1 when
    // both the write and the close succeeded.
    int32_t AppendLineAndClose(FILE* file);
    // The line on standard error about a file that cannot be opened, the
    // first time only.
    void TellUnwritable(const std::string& path);

    std::string m_logBaseDirectory;
    char m_message[kMessageBufferSize];
    std::string m_fileName;
    std::string m_filePath;
    uint32_t m_rollOverCount;
    platform::CCriticalSection m_lock;
    int32_t m_enabled;
    int32_t m_timeStamped;
    bool m_bToldUnwritable = false;
};

// The library's log writer (defined with the other load-time globals; never
// destroyed).
extern CLogFile& g_LogFile;

// Heap copies converted between the wide and the narrow (UTF-8) encoding.
// Release them with delete[]. AnsiToUnicode drops a leading U+FEFF. Both
// return null for a null argument, when the conversion gives nothing (an
// empty string) or when the allocation fails.
char* UnicodeToAnsi(const wchar_t* text);
wchar_t* AnsiToUnicode(const char* text);

}  // namespace velmora::card
