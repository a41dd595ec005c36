#pragma once

// The port-I/O driver library as the card library uses it: PCI configuration
// words of functions found by their identifiers. A driver that can reach the
// configuration space registers itself as a provider; initialising the
// library asks the providers in order and fails, as a missing driver library
// would, when none answers.

#include <cstdint>
#include <functional>
#include <memory>

namespace velmora::platform {

// bus << 8 | device << 3 | function.
using PciAddress = uint32_t;
inline constexpr PciAddress kNoPciDevice = 0xFFFFFFFFu;

constexpr PciAddress MakePciAddress(uint32_t bus, uint32_t device, uint32_t function) {
    return ((bus & 0xFF) << 8) | ((device & 0x1F) << 3) | (function & 7);
}

class PortIoDriver {
  public:
    virtual ~PortIoDriver() = default;
    // The index-th function with these identifiers; kNoPciDevice when there
    // is none.
    virtual PciAddress FindPciDeviceById(uint16_t vendorId, uint16_t deviceId, uint8_t index) = 0;
    // Word access at an even register offset; a read that cannot be made
    // gives 0xFFFF and a write that cannot be made is dropped, as on the bus.
    virtual uint16_t ReadPciConfigWord(PciAddress address, uint8_t configRegister) = 0;
    virtual void WritePciConfigWord(PciAddress address, uint8_t configRegister, uint16_t value) = 0;
};

// Returns null when it has nothing to offer.
using PortIoProvider = std::function<std::unique_ptr<PortIoDriver>()>;
void RegisterPortIoProvider(PortIoProvider provider);

// The library's own calls. InitializeOls and DeinitializeOls pair up; the
// driver stays loaded while any initialisation is outstanding. Without a
// loaded driver the searches find nothing, reads give 0xFFFF and writes are
// dropped.
bool InitializeOls();
void DeinitializeOls();
PciAddress FindPciDeviceById(uint16_t vendorId, uint16_t deviceId, uint8_t index);
uint16_t ReadPciConfigWord(PciAddress address, uint8_t configRegister);
void WritePciConfigWord(PciAddress address, uint8_t configRegister, uint16_t value);

}  // namespace velmora::platform
