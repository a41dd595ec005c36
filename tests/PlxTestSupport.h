#pragma once

// Shared pieces of the device-layer and bridge tests: a fixture over the
// simulated driver that captures the bridge's trace lines, and a recording
// driver for request sequences the simulated card cannot be made to produce.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "hw/PlxApi.h"
#include "platform/DeviceIo.h"
#include "platform/Event.h"
#include "platform/Trace.h"
#include "sim/SimControl.h"

namespace velmora::hw::testing {

inline constexpr uint16_t kCardVendor = 0x4B57;
inline constexpr uint16_t kCardDevice = 0x5100;

inline PLX_DEVICE_KEY CardKey() {
    PLX_DEVICE_KEY key{};
    key.bus = key.slot = key.function = kPlxAnyU8;
    key.VendorId = kCardVendor;
    key.DeviceId = kCardDevice;
    key.SubVendorId = key.SubDeviceId = kPlxAnyU16;
    key.Revision = kPlxAnyU8;
    return key;
}

inline bool Tagged(const char* tag, const char (&expected)[4]) {
    return std::memcmp(tag, expected, 4) == 0;
}

inline int64_t MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// Starts every test on one fresh simulated card; collects the bridge's trace
// lines.
class PlxSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim::SetCardCount(1));
        platform::SetTraceCapture([this](std::string_view text) {
            if (text.find("PlxPciBridge") == std::string_view::npos) return;
            std::lock_guard lock(m_traceMutex);
            m_traces.emplace_back(text);
        });
    }
    void TearDown() override {
        platform::SetTraceCapture({});
        sim::ReleaseCards();
    }

    std::vector<std::string> TakeTraces() {
        std::lock_guard lock(m_traceMutex);
        return std::exchange(m_traces, {});
    }

  private:
    std::mutex m_traceMutex;
    std::vector<std::string> m_traces;
};

// Answers "\\.\Plx9030_v631-0" while enabled: version 6.3.1, every request
// 512 unless configured otherwise; a block DMA signals its completion only
// when told to. It records each request and the notify objects registered.
class RecordingDriver {
  public:
    static constexpr uint8_t kRow = 17;  // "Plx9030"

    struct Request {
        uint32_t code;
        uint64_t value0;
        uint64_t value1;
    };

    static RecordingDriver& Instance() {
        static RecordingDriver* const driver = new RecordingDriver();
        return *driver;
    }

    // A key that opens this driver's device without a find.
    static PLX_DEVICE_KEY Key() {
        PLX_DEVICE_KEY key = CardKey();
        std::memcpy(key.IsValidTag, kPlxTagValid, 4);
        key.ApiIndex = kRow;
        key.DeviceNumber = 0;
        key.ApiMode = kPlxAccessPci;
        return key;
    }

    void Reset() {
        std::lock_guard lock(m_mutex);
        m_enabled = true;
        transferStatus = ApiSuccess;
        signalTransfers = true;
        controlStatus = ApiSuccess;
        m_requests.clear();
        m_registered.clear();
    }
    void Disable() {
        std::lock_guard lock(m_mutex);
        m_enabled = false;
    }

    std::vector<Request> Requests() {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    std::vector<uint64_t> ControlCommands() {
        std::vector<uint64_t> commands;
        for (const Request& request : Requests()) {
            if (request.code == PLX_IOCTL_DMA_CONTROL) commands.push_back(request.value1);
        }
        return commands;
    }
    size_t RegisteredCount() {
        std::lock_guard lock(m_mutex);
        return m_registered.size();
    }

    uint32_t transferStatus = ApiSuccess;
    bool signalTransfers = true;
    uint32_t controlStatus = ApiSuccess;

  private:
    class Device : public platform::DeviceFile {
      public:
        bool IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                       uint32_t*) override {
            if (inSize != sizeof(PLX_IOCTL_MESSAGE) || outSize != sizeof(PLX_IOCTL_MESSAGE)) {
                return false;
            }
            PLX_IOCTL_MESSAGE message;
            std::memcpy(&message, in, sizeof(message));
            Instance().Handle(code, message);
            std::memcpy(out, &message, sizeof(message));
            return true;
        }
    };

    RecordingDriver() {
        platform::RegisterDeviceProvider(
            [](std::string_view path) -> std::unique_ptr<platform::DeviceFile> {
                std::lock_guard lock(Instance().m_mutex);
                if (!Instance().m_enabled || path != "\\\\.\\Plx9030_v631-0") return nullptr;
                return std::make_unique<Device>();
            });
    }

    void Handle(uint32_t code, PLX_IOCTL_MESSAGE& message) {
        std::lock_guard lock(m_mutex);
        m_requests.push_back({code, message.value[0], message.value[1]});
        message.ReturnCode = ApiSuccess;
        switch (code) {
            case PLX_IOCTL_DRIVER_VERSION:
                message.value[0] = 0x60301;
                break;
            case PLX_IOCTL_NOTIFY_REGISTER_FOR:
                m_registered.insert(message.value[0]);
                break;
            case PLX_IOCTL_NOTIFY_CANCEL:
                if (m_registered.erase(message.value[0]) == 0) message.ReturnCode = ApiFailed;
                break;
            case PLX_IOCTL_DMA_TRANSFER_USER_VA:
                message.ReturnCode = transferStatus;
                if (transferStatus == ApiSuccess && signalTransfers) {
                    for (uint64_t address : m_registered) {
                        auto* notify = reinterpret_cast<PLX_NOTIFY_OBJECT*>(address);
                        reinterpret_cast<platform::Event*>(notify->hEvent)->Set();
                    }
                }
                break;
            case PLX_IOCTL_DMA_CONTROL:
                message.ReturnCode = controlStatus;
                break;
            default:
                break;
        }
    }

    std::mutex m_mutex;
    bool m_enabled = false;
    std::vector<Request> m_requests;
    std::set<uint64_t> m_registered;
};

// Enables the recording driver for one test.
class PlxRecordingTest : public PlxSimTest {
  protected:
    void SetUp() override {
        PlxSimTest::SetUp();
        RecordingDriver::Instance().Reset();
    }
    void TearDown() override {
        RecordingDriver::Instance().Disable();
        PlxSimTest::TearDown();
    }
    RecordingDriver& driver() { return RecordingDriver::Instance(); }
};

}  // namespace velmora::hw::testing
