#pragma once

// Shared pieces of the stream-recording tests: a scratch folder removed with
// its contents, whole-file reads, the committed fixture folder and a file
// size limit that makes writes fail.

#include <stdlib.h>
#include <sys/resource.h>

#include <csignal>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "PlatformTestSupport.h"

namespace velmora::record::test {

using ::velmora::platform::test::TempDir;

inline std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// While it lives, a write that would take a file past `bytes` fails.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) : m_pHandler(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &m_Before);
        rlimit limit = m_Before;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_Before);
        std::signal(SIGXFSZ, m_pHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    void (*m_pHandler)(int);
    rlimit m_Before{};
};

inline std::string FixturePath(const std::string& name) {
    return (std::filesystem::path(__FILE__).parent_path() / "data" / name).string();
}

}  // namespace velmora::record::test
