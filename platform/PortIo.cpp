#include "platform/PortIo.h"

#include <mutex>
#include <utility>
#include <vector>

#include "platform/ForkSafeLock.h"

namespace velmora::platform {
namespace {

struct PortIoRegistry {
    std::mutex lock;
    std::vector<PortIoProvider> providers;
    std::shared_ptr<PortIoDriver> driver;
    uint32_t users = 0;
};

// Built on first use, so drivers may register from static initialisers of any
// translation unit.
PortIoRegistry& Registry() {
    static PortIoRegistry registry;
    return registry;
}

std::mutex& RegistryLock() {
    return Registry().lock;
}

const int g_forkHandlers = KeepLockUsableInForkedChild<std::mutex, &RegistryLock>();

std::shared_ptr<PortIoDriver> LoadedDriver() {
    PortIoRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.lock);
    return registry.driver;
}

}  // namespace

void RegisterPortIoProvider(PortIoProvider provider) {
    if (!provider) return;
    PortIoRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.providers.push_back(std::move(provider));
}

bool InitializeOls() {
    PortIoRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.lock);
    if (!registry.driver) {
        for (const PortIoProvider& provider : registry.providers) {
            std::unique_ptr<PortIoDriver> driver = provider();
            if (driver) {
                registry.driver = std::move(driver);
                break;
            }
        }
        if (!registry.driver) return false;
    }
    ++registry.users;
    return true;
}

void DeinitializeOls() {
    std::shared_ptr<PortIoDriver> released;
    PortIoRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.lock);
    if (registry.users == 0) return;
    if (--registry.users == 0) released = std::move(registry.driver);
}

PciAddress FindPciDeviceById(uint16_t vendorId, uint16_t deviceId, uint8_t index) {
    const std::shared_ptr<PortIoDriver> driver = LoadedDriver();
    return driver ? driver->FindPciDeviceById(vendorId, deviceId, index) : kNoPciDevice;
}

uint16_t ReadPciConfigWord(PciAddress address, uint8_t configRegister) {
    const std::shared_ptr<PortIoDriver> driver = LoadedDriver();
    return driver ? driver->ReadPciConfigWord(address, configRegister) : 0xFFFF;
}

void WritePciConfigWord(PciAddress address, uint8_t configRegister, uint16_t value) {
    const std::shared_ptr<PortIoDriver> driver = LoadedDriver();
    if (driver) driver->WritePciConfigWord(address, configRegister, value);
}

}  // namespace velmora::platform
