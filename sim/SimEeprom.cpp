#include "sim/SimEeprom.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace velmora::sim {

namespace {

constexpr size_t kSize = SimEepromState::kSize;

void PutBigEndian16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

void PutBigEndian32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

bool WriteAll(int fd, const uint8_t* data, size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t done = ::pwrite(fd, data, size, offset);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += done;
        size -= static_cast<size_t>(done);
        offset += done;
    }
    return true;
}

// The whole image, or nothing: a file of any other length is not an image
// this card wrote.
bool ReadImage(const char* path, uint8_t (&image)[kSize]) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == kSize;
    size_t got = 0;
    while (ok && got < kSize) {
        const ssize_t done = ::pread(fd, image + got, kSize - got, static_cast<off_t>(got));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            ok = false;
            break;
        }
        got += static_cast<size_t>(done);
    }
    ::close(fd);
    return ok;
}

}  // namespace

std::string SimEeprom::FilePath(const std::string& stateDir, unsigned cardIndex) {
    return (std::filesystem::path(stateDir) / ("card" + std::to_string(cardIndex) + ".eeprom"))
        .string();
}

void SimEeprom::FactoryImage(unsigned cardIndex, uint8_t (&image)[kSize]) {
    // Unused bytes are as the part leaves its maker: erased.
    std::memset(image, 0xFF, kSize);

    // The settings the board's own factory defaults store.
    image[56] = 1;     // PAL
    image[57] = 1;     // sync source
    image[58] = 0;     // video source of channel 0
    image[60] = 1;     // decoder fast lock on
    image[61] = 0x32;  // output chroma phase
    image[62] = 0x80;  // level of FPGA register 0x24
    image[63] = 0x82;  // level of FPGA register 0x2C
    image[64] = 0x92;  // level of FPGA register 0x30
    image[65] = 1;     // global flag
    for (size_t block : {66u, 176u, 180u, 184u})
        std::memset(image + block, 0x80, 4);  // brightness, contrast, saturation, hue

    for (int i = 0; i < 4; ++i)
        image[kBoardVersionOffset + i] = static_cast<uint8_t>(kFactoryBoardVersion >> (8 * i));

    const uint32_t serial = FactorySerial(cardIndex);
    uint8_t* record = image + kIdentityOffset;
    PutBigEndian16(record + 0, kFactoryIdentityWord0);
    record[2] = 1;  // record format
    PutBigEndian16(record + 3, kFactoryIdentityWord1);
    PutBigEndian32(record + 5, serial & 0xFFFF0000u);
    PutBigEndian32(record + 9, serial & 0x0000FFFFu);
}

void SimEeprom::PowerUp(SimEepromState& state, const std::string& stateDir, unsigned cardIndex) {
    std::memset(&state, 0, sizeof(state));
    const std::string path = stateDir.empty() ? std::string() : FilePath(stateDir, cardIndex);
    if (path.size() < sizeof(state.path)) std::memcpy(state.path, path.c_str(), path.size() + 1);

    if (state.path[0] != '\0') {
        std::error_code ignored;
        std::filesystem::create_directories(stateDir, ignored);
        if (ReadImage(state.path, state.bytes)) return;
    }
    FactoryImage(cardIndex, state.bytes);
    state.persistFailed = StoreImage(state) ? 0 : 1;
}

void SimEeprom::Write(uint8_t address, uint8_t value) {
    m_state.bytes[address] = value;
    m_state.persistFailed = StoreByte(m_state, address) ? 0 : 1;
}

void SimEeprom::Load(const uint8_t (&image)[kSize]) {
    std::memcpy(m_state.bytes, image, kSize);
    m_state.persistFailed = StoreImage(m_state) ? 0 : 1;
}

void SimEeprom::Erase() {
    std::memset(m_state.bytes, 0xFF, kSize);
    m_state.persistFailed = StoreImage(m_state) ? 0 : 1;
}

uint32_t SimEeprom::BoardVersion() const {
    uint32_t version = 0;
    for (int i = 0; i < 4; ++i)
        version |= uint32_t{m_state.bytes[kBoardVersionOffset + i]} << (8 * i);
    return version;
}

bool SimEeprom::StoreImage(const SimEepromState& state) {
    if (state.path[0] == '\0') return false;
    const std::string target = state.path;
    const std::string temporary = target + ".tmp" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, state.bytes, kSize, 0);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool SimEeprom::StoreByte(const SimEepromState& state, uint8_t address) {
    if (state.path[0] == '\0') return false;
    // One byte written in place is all or nothing; a file that is gone or was
    // damaged under us is rewritten whole instead.
    const int fd = ::open(state.path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return StoreImage(state);
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == kSize;
    if (ok) ok = WriteAll(fd, state.bytes + address, 1, address);
    const bool closed = ::close(fd) == 0;
    if (!ok) return StoreImage(state);
    return closed;
}

}  // namespace velmora::sim
