#pragma once

// The IIC masters: turning "write these bytes to sub-address S of device D"
// (or read them back) into operations on the IIC lines. CIicMaster runs the
// transfers bit by bit over four line primitives that a derived class maps
// onto hardware; the byte-engine path and the locked front end live in
// FpgaIicMasterPro.h and IicMasterPro.h.
//
// Addresses are 8-bit IIC addresses with the read/write bit in bit 0, as the
// chips give them. Every transfer returns 1 for success and 0 for failure.

#include <cstdint>

namespace velmora::hw {

// What the field and shadow operations of both paths share, so that the two
// paths cannot drift apart in how they merge bits or index a shadow.
namespace iic {

// `width` one-bits placed at `shift`, in 8 bits: a width of 8 or more is
// the whole byte, a shift of 8 or more leaves no bit.
uint8_t FieldMask(uint8_t shift, uint8_t width);
// `current` with the bits of the field replaced by the low `width` bits of
// `value`.
uint8_t MergeField(uint8_t current, uint8_t value, uint8_t shift, uint8_t width);
// The device register that byte `index` of a transfer starting at
// `subAddress` goes to; register numbers are 8 bits wide and wrap, so a
// 256-byte shadow is never overrun.
inline uint8_t SubAddressOf(uint8_t subAddress, uint32_t index) {
    return static_cast<uint8_t>(subAddress + index);
}
void CopyFromShadow(const uint8_t* shadow, uint8_t subAddress, uint8_t* destination,
                    uint32_t count);

// The read-merge-write of a field, shared by both transfer paths: `read` and
// `write` move the one byte through the path's own transfers. A failed read
// writes nothing, since merging into a byte that was never read would write
// garbage back.
template <typename ReadByte, typename WriteByte>
uint32_t UpdateField(const uint8_t* pValue, uint8_t shift, uint8_t width, ReadByte read,
                     WriteByte write) {
    if (pValue == nullptr) return 0;
    uint8_t current = 0;
    if (!read(&current)) return 0;
    const uint8_t merged = MergeField(current, *pValue, shift, width);
    return write(&merged);
}

}  // namespace iic

class CIicMaster {
  public:
    CIicMaster() = default;
    CIicMaster(const CIicMaster&) = delete;
    CIicMaster& operator=(const CIicMaster&) = delete;

    // The line primitives. This class drives no hardware, so each of them
    // fails; a derived class maps them onto its lines.
    virtual uint32_t SetSdaLevel(uint32_t level);
    virtual uint32_t GetSdaLevel(uint32_t* pLevel);
    // release: 1 lets SDA float (input), 0 drives it.
    virtual uint32_t SetSdaDirection(uint32_t release);
    virtual uint32_t SetSclLevel(uint32_t level);

    // Bit-banged transfers: a multi-byte transfer is one bus transaction and
    // the device advances its register pointer itself.
    virtual uint32_t Write(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                           uint32_t count);
    virtual uint32_t Read(uint8_t device, uint8_t subAddress, uint8_t* pDestination,
                          uint32_t count);
    virtual uint32_t WriteField(uint8_t writeDevice, uint8_t readDevice, uint8_t subAddress,
                                const uint8_t* pValue, uint8_t shift, uint8_t width);
    // The shadow array belongs to the caller: byte S + i mirrors what was
    // last written to register S + i of the device.
    virtual uint32_t WriteShadowed(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                                   uint32_t count, uint8_t* pShadow);
    // No bus traffic; the device address is not needed.
    virtual uint32_t ReadFromShadow(uint8_t device, uint8_t subAddress, uint8_t* pDestination,
                                    uint32_t count, const uint8_t* pShadow);
    virtual uint32_t WriteFieldShadowed(uint8_t writeDevice, uint8_t readDevice, uint8_t subAddress,
                                        const uint8_t* pValue, uint8_t shift, uint8_t width,
                                        uint8_t* pShadow);

    virtual ~CIicMaster() = default;

  protected:
    // How a byte sent on the lines went. A line fault (a line step the
    // hardware did not carry out) ends the transfer; a byte the device did
    // not acknowledge does not.
    enum class ByteResult { Acknowledged, NotAcknowledged, LineFault };

    // Each bus phase returns 1, or 0 at the first line step that failed.
    uint32_t IicStart();
    uint32_t IicStop();
    ByteResult IicWriteByte(uint8_t byte);
    // nack: 0 acknowledges the byte (more to come), 1 does not (the last).
    uint32_t IicReadByte(uint8_t* pByte, uint32_t nack);

  private:
    // Sends device address and sub-address; the shadow, when given, takes
    // every byte the device acknowledged.
    uint32_t WriteTransaction(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                              uint32_t count, uint8_t* pShadow);
};

}  // namespace velmora::hw
