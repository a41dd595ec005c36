#pragma once

// Drives the simulated driver the way the device layer does: by device name
// and hand-built 136-byte request messages.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "hw/PlxTypes.h"
#include "platform/DeviceIo.h"
#include "sim/SimControl.h"

namespace velmora::sim::testing {

using hw::PLX_IOCTL_MESSAGE;

inline std::string DeviceName(unsigned number, const std::string& row = "TQDDASI") {
    return "\\\\.\\" + row + "_v631-" + std::to_string(number);
}

class Device {
  public:
    explicit Device(const std::string& name) : m_handle(platform::CreateDeviceFile(name)) {}
    explicit Device(unsigned number = 0) : Device(DeviceName(number)) {}
    // Starts closed; for fixtures, which must set the driver up first.
    struct Closed {};
    explicit Device(Closed) : m_handle(platform::kInvalidDeviceHandle) {}
    ~Device() { Close(); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    bool Open(unsigned number = 0) {
        Close();
        m_handle = platform::CreateDeviceFile(DeviceName(number));
        return IsOpen();
    }
    bool IsOpen() const { return m_handle != platform::kInvalidDeviceHandle; }
    void Close() {
        if (IsOpen()) platform::CloseDeviceHandle(m_handle);
        m_handle = platform::kInvalidDeviceHandle;
    }

    // Sends one request with the message as in and out buffer; the message's
    // status is preset to a value no driver answer uses.
    PLX_IOCTL_MESSAGE Send(uint32_t code,
                           const std::function<void(PLX_IOCTL_MESSAGE&)>& fill = {}) const {
        PLX_IOCTL_MESSAGE message;
        std::memset(&message, 0, sizeof(message));
        message.ReturnCode = 0xDEAD;
        if (fill) fill(message);
        uint32_t returned = 0;
        EXPECT_TRUE(platform::DeviceIoControl(m_handle, code, &message, sizeof(message), &message,
                                              sizeof(message), &returned));
        return message;
    }

    uint32_t Status(uint32_t code, uint64_t v0 = 0, uint64_t v1 = 0, uint64_t v2 = 0) const {
        return Send(code,
                    [&](PLX_IOCTL_MESSAGE& m) {
                        m.value[0] = v0;
                        m.value[1] = v1;
                        m.value[2] = v2;
                    })
            .ReturnCode;
    }

    uint32_t BarSpace(bool write, uint32_t offset, uint32_t* buffer, uint64_t bar = 3,
                      uint64_t width = 2, uint32_t count = 4, uint64_t localFlag = 0) const {
        const uint32_t code =
            write ? hw::PLX_IOCTL_PCI_BAR_SPACE_WRITE : hw::PLX_IOCTL_PCI_BAR_SPACE_READ;
        return Send(code,
                    [&](PLX_IOCTL_MESSAGE& m) {
                        m.value[0] = bar;
                        m.value[1] = width;
                        m.value[2] = localFlag;
                        hw::PLX_DMA_PARAMS p{};
                        p.UserVa = reinterpret_cast<uintptr_t>(buffer);
                        p.LocalAddr = offset;
                        p.ByteCount = count;
                        std::memcpy(m.u, &p, sizeof(p));
                    })
            .ReturnCode;
    }
    uint32_t Read(uint32_t offset) const {
        uint32_t value = 0;
        EXPECT_EQ(BarSpace(false, offset, &value), hw::ApiSuccess);
        return value;
    }
    void Write(uint32_t offset, uint32_t value) const {
        EXPECT_EQ(BarSpace(true, offset, &value), hw::ApiSuccess);
    }

    uint32_t Interrupts(bool enable, uint32_t flags) const {
        return Send(enable ? hw::PLX_IOCTL_INTR_ENABLE : hw::PLX_IOCTL_INTR_DISABLE,
                    [&](PLX_IOCTL_MESSAGE& m) {
                        hw::PLX_INTERRUPT interrupt{0, flags, 0};
                        std::memcpy(m.u, &interrupt, sizeof(interrupt));
                    })
            .ReturnCode;
    }

    uint32_t Register(hw::PLX_NOTIFY_OBJECT* notify, uint32_t flags) const {
        return Send(hw::PLX_IOCTL_NOTIFY_REGISTER_FOR,
                    [&](PLX_IOCTL_MESSAGE& m) {
                        m.value[0] = reinterpret_cast<uintptr_t>(notify);
                        hw::PLX_INTERRUPT interrupt{0, flags, 0};
                        std::memcpy(m.u, &interrupt, sizeof(interrupt));
                    })
            .ReturnCode;
    }

    uint32_t Dma(uint64_t channel, void* buffer, uint32_t address, uint32_t count,
                 uint32_t direction) const {
        return Send(hw::PLX_IOCTL_DMA_TRANSFER_USER_VA,
                    [&](PLX_IOCTL_MESSAGE& m) {
                        m.value[0] = channel;
                        hw::PLX_DMA_PARAMS p{};
                        p.UserVa = reinterpret_cast<uintptr_t>(buffer);
                        p.LocalAddr = address;
                        p.ByteCount = count;
                        p.Direction = direction;
                        std::memcpy(m.u, &p, sizeof(p));
                    })
            .ReturnCode;
    }

  private:
    platform::DeviceHandle m_handle;
};

// Every test starts from one fresh card with the driver's defaults.
class SimTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(SetCardCount(1)); }
    void TearDown() override { ReleaseCards(); }
};

}  // namespace velmora::sim::testing
