#include "platform/DeviceIo.h"

#include <map>
#include <mutex>
#include <vector>

#include "platform/ForkSafeLock.h"

namespace velmora::platform {
namespace {

struct DeviceRegistry {
    std::mutex lock;
    std::vector<DeviceProvider> providers;
    std::map<DeviceHandle, std::shared_ptr<DeviceFile>> open;
};

// Built on first use, so drivers may register from static initialisers of any
// translation unit; never destroyed, as a card's threads send requests until
// the process's end has closed the card.
DeviceRegistry& Registry() {
    static DeviceRegistry* const registry = new DeviceRegistry;
    return *registry;
}

std::mutex& RegistryLock() {
    return Registry().lock;
}

const int g_forkHandlers = KeepLockUsableInForkedChild<std::mutex, &RegistryLock>();

std::shared_ptr<DeviceFile> Find(DeviceHandle handle) {
    DeviceRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.lock);
    const auto found = registry.open.find(handle);
    return found == registry.open.end() ? nullptr : found->second;
}

}  // namespace

void RegisterDeviceProvider(DeviceProvider provider) {
    if (!provider) return;
    DeviceRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.providers.push_back(std::move(provider));
}

DeviceHandle CreateDeviceFile(std::string_view path) {
    DeviceRegistry& registry = Registry();
    std::vector<DeviceProvider> providers;
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        providers = registry.providers;
    }
    // Drivers run unlocked: opening a device may take its time or touch the
    // registry itself.
    std::shared_ptr<DeviceFile> file;
    for (const DeviceProvider& provider : providers) {
        file = provider(path);
        if (file) break;
    }
    if (!file) return kInvalidDeviceHandle;

    std::lock_guard<std::mutex> guard(registry.lock);
    // The lowest free number, so handles stay small however long the process
    // runs.
    DeviceHandle handle = 1;
    for (const auto& entry : registry.open) {
        if (entry.first != handle) break;
        ++handle;
    }
    if (handle == kInvalidDeviceHandle) return kInvalidDeviceHandle;
    registry.open.emplace(handle, std::move(file));
    return handle;
}

bool DeviceIoControl(DeviceHandle handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                     uint32_t outSize, uint32_t* returned) {
    // Held by this call, so a concurrent close cannot destroy the device
    // under a running request.
    const std::shared_ptr<DeviceFile> file = Find(handle);
    if (!file) {
        if (returned) *returned = 0;
        return false;
    }
    return file->IoControl(code, in, inSize, out, outSize, returned);
}

bool CloseDeviceHandle(DeviceHandle handle) {
    std::shared_ptr<DeviceFile> file;
    {
        DeviceRegistry& registry = Registry();
        std::lock_guard<std::mutex> guard(registry.lock);
        const auto found = registry.open.find(handle);
        if (found == registry.open.end()) return false;
        file = std::move(found->second);
        registry.open.erase(found);
    }
    // The device closes outside the lock (or later, when the last running
    // request ends).
    return true;
}

}  // namespace velmora::platform
