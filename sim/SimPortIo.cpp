#include "sim/SimPortIo.h"

#include <atomic>
#include <memory>

#include "hw/PlxTypes.h"
#include "platform/PortIo.h"
#include "sim/SimCard.h"
#include "sim/SimDriver.h"

namespace velmora::sim {
namespace {

std::atomic<bool> g_driverPresent{true};

constexpr uint8_t kIdentityRegister = 0x00;
constexpr uint8_t kDeviceIdRegister = 0x02;

bool IsWordOffset(uint8_t configRegister) {
    return configRegister % 2 == 0;
}

uint16_t ReadWord(SimCard& card, uint8_t configRegister) {
    if (configRegister == kIdentityRegister) return kBridgeFunctionVendorId;
    if (configRegister == kDeviceIdRegister) return kBridgeFunctionDeviceId;
    uint32_t dword = 0;
    if (card.ReadPciConfig(configRegister & ~3u, &dword) != hw::ApiSuccess) return 0xFFFF;
    return static_cast<uint16_t>(dword >> ((configRegister & 2u) * 8));
}

bool WriteWord(SimCard& card, uint8_t configRegister, uint16_t value) {
    // The identity word is read-only, as on the bus.
    if (configRegister < 4) return true;
    const uint32_t offset = configRegister & ~3u;
    const uint32_t shift = (configRegister & 2u) * 8;
    uint32_t dword = 0;
    if (card.ReadPciConfig(offset, &dword) != hw::ApiSuccess) return false;
    dword = (dword & ~(0xFFFFu << shift)) | (uint32_t{value} << shift);
    return card.WritePciConfig(offset, dword) == hw::ApiSuccess;
}

class SimPortIoDriver : public platform::PortIoDriver {
  public:
    platform::PciAddress FindPciDeviceById(uint16_t vendorId, uint16_t deviceId,
                                           uint8_t index) override {
        if (vendorId != kBridgeFunctionVendorId || deviceId != kBridgeFunctionDeviceId) {
            return platform::kNoPciDevice;
        }
        if (index >= SimDriver::Instance().CardCount()) return platform::kNoPciDevice;
        return platform::MakePciAddress(kBridgeFunctionFirstBus + index, 0, 0);
    }

    uint16_t ReadPciConfigWord(platform::PciAddress address, uint8_t configRegister) override {
        const std::shared_ptr<SimCard> card = CardAt(address);
        if (!card || !IsWordOffset(configRegister)) return 0xFFFF;
        return ReadWord(*card, configRegister);
    }

    void WritePciConfigWord(platform::PciAddress address, uint8_t configRegister,
                            uint16_t value) override {
        const std::shared_ptr<SimCard> card = CardAt(address);
        if (card && IsWordOffset(configRegister)) WriteWord(*card, configRegister, value);
    }

  private:
    static std::shared_ptr<SimCard> CardAt(platform::PciAddress address) {
        if ((address & 0xFF) != 0) return nullptr;  // device 0, function 0 only
        const uint32_t bus = (address >> 8) & 0xFF;
        if (bus < kBridgeFunctionFirstBus) return nullptr;
        return SimDriver::Instance().AttachCard(bus - kBridgeFunctionFirstBus);
    }
};

[[maybe_unused]] const bool g_registered = [] {
    platform::RegisterPortIoProvider([]() -> std::unique_ptr<platform::PortIoDriver> {
        if (!g_driverPresent.load()) return nullptr;
        return std::make_unique<SimPortIoDriver>();
    });
    return true;
}();

}  // namespace

std::optional<uint16_t> BridgeConfigWord(unsigned card, uint8_t configRegister) {
    if (!IsWordOffset(configRegister)) return std::nullopt;
    const std::shared_ptr<SimCard> held = SimDriver::Instance().HoldCard(card);
    if (!held) return std::nullopt;
    return ReadWord(*held, configRegister);
}

bool SetBridgeConfigWord(unsigned card, uint8_t configRegister, uint16_t value) {
    if (!IsWordOffset(configRegister)) return false;
    const std::shared_ptr<SimCard> held = SimDriver::Instance().HoldCard(card);
    return held && WriteWord(*held, configRegister, value);
}

void SetPortIoDriverPresent(bool present) {
    g_driverPresent.store(present);
}

}  // namespace velmora::sim
