#pragma once

// The byte-engine command sequences of the library's IIC master, played on a
// SimIicBus: the same words, the same waits (1000 polls of a busy bit) and
// the same failure results.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "sim/SimIicBus.h"

namespace velmora::sim::testing {

// Reaches register 0x60 of some card: a SimIicBus, or BAR 3 of a device.
struct IicRegister {
    std::function<void(uint32_t)> write;
    std::function<uint32_t()> read;
};

class IicMaster {
  public:
    explicit IicMaster(IicRegister reg) : m_reg(std::move(reg)) {}

    bool Start(uint8_t address, bool read) {
        m_reg.write((((uint32_t{address} << 8) & ~0x100u) | (read ? 0x100u : 0)) | 0x91);
        return WaitClear(9);
    }
    bool WriteByte(uint8_t byte) {
        if (!WaitClear(15)) return false;
        m_reg.write((uint32_t{byte} << 8) | 0x11);
        return WaitClear(9);
    }
    bool WriteByteStop(uint8_t byte) {
        if (!WaitClear(15)) return false;
        m_reg.write((uint32_t{byte} << 8) | 0x51);
        return WaitClear(9) && WaitClear(15);
    }
    bool ReadStop() {
        m_reg.write(0x69);
        return WaitClear(9);
    }
    uint8_t ReadData() { return static_cast<uint8_t>(m_reg.read() >> 16); }

    // One register byte, as the library's transfers move it.
    bool Write(uint8_t address, uint8_t reg, uint8_t value) {
        return Start(address & 0xFE, false) && WriteByte(reg) && WriteByteStop(value);
    }
    // Fails with 0xFF, as the library's Read does.
    uint8_t Read(uint8_t address, uint8_t reg, bool* ok = nullptr) {
        const bool done = Start(address & 0xFE, false) && WriteByte(reg) &&
                          Start(address | 1, true) && ReadStop();
        if (ok) *ok = done;
        return done ? ReadData() : 0xFF;
    }

    unsigned polls = 0;  // every status read the waits made

  private:
    bool WaitClear(unsigned bit) {
        for (int i = 0; i <= 1000; ++i) {
            ++polls;
            if (!(m_reg.read() & (1u << bit))) return true;
        }
        return false;
    }

    IicRegister m_reg;
};

// A state folder of the test's own below the process's one.
inline std::filesystem::path TestStateDir(const std::string& leaf) {
    const char* base = std::getenv("VELMORA_SIM_STATE_DIR");
    std::filesystem::path dir =
        std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
        ("iic-" + leaf);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace velmora::sim::testing
