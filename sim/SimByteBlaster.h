#pragma once

// A stand-in for the parallel-port JTAG cable driver, for tests: absent
// until attached, as on a machine without the driver. While attached it
// answers "\\.\ALTLPT1" with the four requests of the cable layer (driver
// version, read port register, write port register, write buffered entries
// {u16 0x0A82, u16 value} to register 0), keeps the port registers and logs
// every request.

#include <cstdint>
#include <optional>
#include <vector>

namespace velmora::sim {

struct ByteBlasterRequest {
    uint32_t code;
    std::vector<uint8_t> input;
};

// Attaching clears the log and the registers and sets version 2 and no
// failure; detaching makes later opens fail (open devices keep answering).
void AttachByteBlasterCable(bool attached);
void SetByteBlasterVersion(uint32_t version);
// Requests with this code fail (std::nullopt: none).
void SetByteBlasterFailure(std::optional<uint32_t> code);
std::vector<ByteBlasterRequest> ByteBlasterRequests();
uint8_t ByteBlasterPortRegister(unsigned reg);

}  // namespace velmora::sim
