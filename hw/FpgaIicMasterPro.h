#pragma once

// The IIC master over the FPGA's byte engine in register 0x60: one bus
// phase per command. Every byte of a transfer is a transaction of its own,
// byte i going to register S + i, so that a multi-byte transfer lands where
// its shadow says it did.

#include <cstdint>

namespace velmora::hw {

class CFpga;

class CFpgaIicMasterPro {
  public:
    explicit CFpgaIicMasterPro(CFpga* pFpga);
    CFpgaIicMasterPro(const CFpgaIicMasterPro&) = delete;
    CFpgaIicMasterPro& operator=(const CFpgaIicMasterPro&) = delete;

    // Goes on past a failed byte; 0 when any byte failed.
    virtual uint32_t Write(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                           uint32_t count);
    // Stops at the first failed byte, fills the whole buffer with 0xFF and
    // returns 0.
    virtual uint32_t Read(uint8_t device, uint8_t subAddress, uint8_t* pDestination,
                          uint32_t count);
    virtual uint32_t WriteField(uint8_t writeDevice, uint8_t readDevice, uint8_t subAddress,
                                const uint8_t* pValue, uint8_t shift, uint8_t width);
    // The shadow takes every byte that was written.
    virtual uint32_t WriteShadowed(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                                   uint32_t count, uint8_t* pShadow);
    virtual uint32_t ReadFromShadow(uint8_t device, uint8_t subAddress, uint8_t* pDestination,
                                    uint32_t count, const uint8_t* pShadow);
    virtual uint32_t WriteFieldShadowed(uint8_t writeDevice, uint8_t readDevice, uint8_t subAddress,
                                        const uint8_t* pValue, uint8_t shift, uint8_t width,
                                        uint8_t* pShadow);

    virtual ~CFpgaIicMasterPro() = default;

    // One register byte: start, register, byte with stop.
    uint32_t WriteByte(uint8_t device, uint8_t subAddress, const uint8_t* pByte);
    // One register byte: start, register, repeated start for reading, byte
    // with not-acknowledge and stop, received byte.
    uint32_t ReadByte(uint8_t device, uint8_t subAddress, uint8_t* pByte);

  private:
    // Writes byte i to register S + i; the shadow, when given, takes every
    // byte that was written.
    uint32_t WriteSequence(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                           uint32_t count, uint8_t* pShadow);

    CFpga* m_pFpga;
};

}  // namespace velmora::hw
