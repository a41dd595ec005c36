#include "hw/IicMaster.h"

#include <cstring>
#include <initializer_list>

namespace velmora::hw {

namespace iic {

uint8_t FieldMask(uint8_t shift, uint8_t width) {
    if (shift >= 8) return 0;
    uint32_t mask = 0;
    for (uint32_t i = 0; i < width && i < 8; ++i)
        mask = (mask << 1) | 1u;
    return static_cast<uint8_t>(mask << shift);
}

uint8_t MergeField(uint8_t current, uint8_t value, uint8_t shift, uint8_t width) {
    const uint8_t mask = FieldMask(shift, width);
    const uint8_t field = shift >= 8 ? 0 : static_cast<uint8_t>((uint32_t{value} << shift) & mask);
    return static_cast<uint8_t>((current & ~mask) | field);
}

void CopyFromShadow(const uint8_t* shadow, uint8_t subAddress, uint8_t* destination,
                    uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        destination[i] = shadow[SubAddressOf(subAddress, i)];
}

}  // namespace iic

uint32_t CIicMaster::SetSdaLevel(uint32_t) {
    return 0;
}
uint32_t CIicMaster::GetSdaLevel(uint32_t*) {
    return 0;
}
uint32_t CIicMaster::SetSdaDirection(uint32_t) {
    return 0;
}
uint32_t CIicMaster::SetSclLevel(uint32_t) {
    return 0;
}

uint32_t CIicMaster::IicStart() {
    return SetSdaLevel(1) && SetSclLevel(1) && SetSdaLevel(0) && SetSclLevel(0) ? 1 : 0;
}

uint32_t CIicMaster::IicStop() {
    return SetSdaLevel(0) && SetSclLevel(1) && SetSdaLevel(1) ? 1 : 0;
}

CIicMaster::ByteResult CIicMaster::IicWriteByte(uint8_t byte) {
    if (!SetSclLevel(0)) return ByteResult::LineFault;
    for (int bit = 7; bit >= 0; --bit) {
        if (!SetSdaLevel((byte >> bit) & 1u) || !SetSclLevel(1) || !SetSclLevel(0)) {
            return ByteResult::LineFault;
        }
    }
    uint32_t sda = 1;
    if (!SetSdaDirection(1) || !SetSclLevel(1) || !GetSdaLevel(&sda) || !SetSclLevel(0)) {
        return ByteResult::LineFault;
    }
    return sda == 0 ? ByteResult::Acknowledged : ByteResult::NotAcknowledged;
}

uint32_t CIicMaster::IicReadByte(uint8_t* pByte, uint32_t nack) {
    uint32_t byte = 0;
    if (!SetSclLevel(0) || !SetSdaDirection(1)) return 0;
    for (int bit = 0; bit < 8; ++bit) {
        uint32_t sda = 0;
        if (!SetSclLevel(1)) return 0;
        byte <<= 1;
        if (!GetSdaLevel(&sda)) return 0;
        if (sda) byte |= 1u;
        if (!SetSclLevel(0)) return 0;
    }
    if (!SetSdaLevel(nack ? 1 : 0) || !SetSclLevel(1) || !SetSclLevel(0)) return 0;
    *pByte = static_cast<uint8_t>(byte);
    return 1;
}

uint32_t CIicMaster::WriteTransaction(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                                      uint32_t count, uint8_t* pShadow) {
    if (count != 0 && pSource == nullptr) return 0;
    // A line step that failed leaves the lines in a state nobody knows, and
    // every further step would wait out its own time-out: give up at once.
    if (!IicStart()) return 0;
    bool allAcknowledged = true;
    for (const uint8_t header : {static_cast<uint8_t>(device & 0xFE), subAddress}) {
        const ByteResult result = IicWriteByte(header);
        if (result == ByteResult::LineFault) return 0;
        if (result == ByteResult::NotAcknowledged) allAcknowledged = false;
    }
    // The device stores data bytes only when it took its address and the
    // register pointer.
    const bool addressed = allAcknowledged;
    for (uint32_t i = 0; i < count; ++i) {
        const ByteResult result = IicWriteByte(pSource[i]);
        if (result == ByteResult::LineFault) return 0;
        if (result == ByteResult::NotAcknowledged) {
            allAcknowledged = false;
        } else if (addressed && pShadow != nullptr) {
            pShadow[iic::SubAddressOf(subAddress, i)] = pSource[i];
        }
    }
    if (!IicStop()) return 0;
    return allAcknowledged ? 1 : 0;
}

uint32_t CIicMaster::Write(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                           uint32_t count) {
    return WriteTransaction(device, subAddress, pSource, count, nullptr);
}

uint32_t CIicMaster::Read(uint8_t device, uint8_t subAddress, uint8_t* pDestination,
                          uint32_t count) {
    // Nothing asked for, nothing to fail: the same answer as the byte engine,
    // whose per-byte loop does not run either.
    if (count == 0) return 1;
    if (pDestination == nullptr) return 0;
    bool ok = IicStart();
    bool allAcknowledged = true;
    for (const uint8_t header : {static_cast<uint8_t>(device & 0xFE), subAddress}) {
        if (!ok) break;
        const ByteResult result = IicWriteByte(header);
        ok = result != ByteResult::LineFault;
        if (result == ByteResult::NotAcknowledged) allAcknowledged = false;
    }
    if (ok) ok = IicStart();
    if (ok) {
        const ByteResult result = IicWriteByte(static_cast<uint8_t>(device | 1u));
        ok = result != ByteResult::LineFault;
        if (result == ByteResult::NotAcknowledged) allAcknowledged = false;
    }
    for (uint32_t i = 0; ok && i < count; ++i) {
        ok = IicReadByte(pDestination + i, i + 1 == count ? 1 : 0);
    }
    if (ok) ok = IicStop();
    // Bytes from a device that did not answer are the floating line's ones;
    // a failed read looks the same on both paths: all 0xFF.
    if (!ok || !allAcknowledged) {
        std::memset(pDestination, 0xFF, count);
        return 0;
    }
    return 1;
}

uint32_t CIicMaster::WriteField(uint8_t writeDevice, uint8_t readDevice, uint8_t subAddress,
                                const uint8_t* pValue, uint8_t shift, uint8_t width) {
    return iic::UpdateField(
        pValue, shift, width,
        [&](uint8_t* pByte) { return Read(readDevice, subAddress, pByte, 1); },
        [&](const uint8_t* pByte) { return Write(writeDevice, subAddress, pByte, 1); });
}

uint32_t CIicMaster::WriteShadowed(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                                   uint32_t count, uint8_t* pShadow) {
    if (pShadow == nullptr) return 0;
    return WriteTransaction(device, subAddress, pSource, count, pShadow);
}

uint32_t CIicMaster::ReadFromShadow(uint8_t, uint8_t subAddress, uint8_t* pDestination,
                                    uint32_t count, const uint8_t* pShadow) {
    if (count == 0) return 1;
    if (pDestination == nullptr || pShadow == nullptr) return 0;
    iic::CopyFromShadow(pShadow, subAddress, pDestination, count);
    return 1;
}

uint32_t CIicMaster::WriteFieldShadowed(uint8_t writeDevice, uint8_t readDevice, uint8_t subAddress,
                                        const uint8_t* pValue, uint8_t shift, uint8_t width,
                                        uint8_t* pShadow) {
    return iic::UpdateField(
        pValue, shift, width,
        [&](uint8_t* pByte) { return ReadFromShadow(readDevice, subAddress, pByte, 1, pShadow); },
        [&](const uint8_t* pByte) {
            return WriteShadowed(writeDevice, subAddress, pByte, 1, pShadow);
        });
}

}  // namespace velmora::hw
