#pragma once

// The simulated machine's answer to the port-I/O driver library: each
// simulated card shows its PCI Express bridge function (10B5:8111) on a bus of
// its own, and that function's configuration words are the card's
// configuration space (its identity word apart). What the library writes
// there stays with the card, so a test can read it back.

#include <cstdint>
#include <optional>

namespace velmora::sim {

inline constexpr uint16_t kBridgeFunctionVendorId = 0x10B5;
inline constexpr uint16_t kBridgeFunctionDeviceId = 0x8111;
// Bus of card N's bridge function: kBridgeFunctionFirstBus + N.
inline constexpr uint32_t kBridgeFunctionFirstBus = 0x80;

// Control API. The 16-bit configuration word of card `card`'s bridge
// function at an even offset; nothing for a card past the count or an odd
// offset.
std::optional<uint16_t> BridgeConfigWord(unsigned card, uint8_t configRegister);
bool SetBridgeConfigWord(unsigned card, uint8_t configRegister, uint16_t value);
// Whether the port-I/O library finds its driver in this process (default
// true); without it the library's initialisation fails.
void SetPortIoDriverPresent(bool present);

}  // namespace velmora::sim
