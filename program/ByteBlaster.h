#pragma once

// The parallel-port JTAG cable: the process-wide access layer to the cable
// driver's device ("\\.\ALTLPT1"), which takes I/O-control requests to read
// and write the port's registers. Messages go to standard error. A failed
// request is reported (0) and closes the device; it never ends the process.
// One thread at a time may use the cable.

#include <cstdint>
#include <string>

namespace velmora::program {

// I/O-control codes of the cable driver.
inline constexpr uint32_t kByteBlasterGetVersion = 0x166A00;
inline constexpr uint32_t kByteBlasterReadPort = 0x166A04;
inline constexpr uint32_t kByteBlasterWritePort = 0x16AA08;
inline constexpr uint32_t kByteBlasterWriteBuffered = 0x16AA1C;
inline constexpr uint32_t kByteBlasterDriverVersion = 2;
inline constexpr uint16_t kByteBlasterEntryCode = 0x0A82;

std::string ByteBlasterDeviceName();
uint32_t OpenByteBlaster();
// Opens the cable and writes 0x0C to port register 2; 0 when either fails.
uint32_t InitByteBlaster();
uint32_t WriteByteBlasterPort(int32_t reg, int32_t value);
uint32_t ReadByteBlasterPort(int32_t reg, uint8_t* pValue);
uint32_t FlushByteBlaster();
// Writes 0x0E to register 2, sends what is buffered and closes the device.
void CloseByteBlaster();

}  // namespace velmora::program
