#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace velmora::platform {

// One open device: the target of device I/O-control requests.
class DeviceFile {
  public:
    virtual ~DeviceFile() = default;
    // Handles one request with separate in and out buffers (they may be the
    // same buffer); false when the request itself failed.
    virtual bool IoControl(uint32_t code, const void* in, uint32_t inSize, void* out,
                           uint32_t outSize, uint32_t* returned) = 0;
};

// A driver offers to open device names; it returns null for names it does not
// own.
using DeviceProvider = std::function<std::unique_ptr<DeviceFile>(std::string_view path)>;

// Adds a driver; drivers are asked in the order they were added.
void RegisterDeviceProvider(DeviceProvider provider);

// Device handles are small numbers, as the device records of the bus layer
// keep them in 32 bits.
using DeviceHandle = uint32_t;
inline constexpr DeviceHandle kInvalidDeviceHandle = 0xFFFFFFFFu;

// Opens a device by its path (for example "\\.\Name"); kInvalidDeviceHandle
// when no driver owns it.
DeviceHandle CreateDeviceFile(std::string_view path);
bool DeviceIoControl(DeviceHandle handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                     uint32_t outSize, uint32_t* returned);
bool CloseDeviceHandle(DeviceHandle handle);

}  // namespace velmora::platform
