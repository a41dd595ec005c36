#pragma once

// Shared pieces of the stream-recording tests: a scratch folder removed with
// its contents, whole-file reads and the committed fixture folder.

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace velmora::record::test {

class TempDir {
  public:
    explicit TempDir(const char* base = nullptr) {
        std::string root = base != nullptr ? base : std::filesystem::temp_directory_path().string();
        std::string pattern = root + "/velmora-record-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Valid() const { return !m_path.empty(); }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

inline std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline std::string FixturePath(const std::string& name) {
    return (std::filesystem::path(__FILE__).parent_path() / "data" / name).string();
}

}  // namespace velmora::record::test
