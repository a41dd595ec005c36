#include "hw/FpgaIicMasterPro.h"

#include <cstring>

#include "hw/Fpga.h"
#include "hw/IicMaster.h"

namespace velmora::hw {

namespace {
constexpr uint32_t kWriteFlag = 0;
constexpr uint32_t kReadFlag = 1;
}  // namespace

CFpgaIicMasterPro::CFpgaIicMasterPro(CFpga* pFpga) : m_pFpga(pFpga) {}

uint32_t CFpgaIicMasterPro::WriteByte(uint8_t device, uint8_t subAddress, const uint8_t* pByte) {
    if (m_pFpga == nullptr || pByte == nullptr) return 0;
    return m_pFpga->IicEngineStart(device, kWriteFlag) &&
                   m_pFpga->IicEngineWriteByte(device, subAddress) &&
                   m_pFpga->IicEngineWriteByteStop(device, pByte)
               ? 1
               : 0;
}

uint32_t CFpgaIicMasterPro::ReadByte(uint8_t device, uint8_t subAddress, uint8_t* pByte) {
    if (m_pFpga == nullptr || pByte == nullptr) return 0;
    return m_pFpga->IicEngineStart(device, kWriteFlag) &&
                   m_pFpga->IicEngineWriteByte(device, subAddress) &&
                   m_pFpga->IicEngineStart(device, kReadFlag) &&
                   m_pFpga->IicEngineReadStop(device) && m_pFpga->IicEngineReadData(pByte)
               ? 1
               : 0;
}

uint32_t CFpgaIicMasterPro::Write(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                                  uint32_t count) {
    return WriteSequence(device, subAddress, pSource, count, nullptr);
}

uint32_t CFpgaIicMasterPro::Read(uint8_t device, uint8_t subAddress, uint8_t* pDestination,
                                 uint32_t count) {
    if (count == 0) return 1;
    if (pDestination == nullptr) return 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!ReadByte(device, iic::SubAddressOf(subAddress, i), pDestination + i)) {
            std::memset(pDestination, 0xFF, count);
            return 0;
        }
    }
    return 1;
}

uint32_t CFpgaIicMasterPro::WriteShadowed(uint8_t device, uint8_t subAddress,
                                          const uint8_t* pSource, uint32_t count,
                                          uint8_t* pShadow) {
    if (pShadow == nullptr) return 0;
    return WriteSequence(device, subAddress, pSource, count, pShadow);
}

uint32_t CFpgaIicMasterPro::WriteSequence(uint8_t device, uint8_t subAddress,
                                          const uint8_t* pSource, uint32_t count,
                                          uint8_t* pShadow) {
    if (count != 0 && pSource == nullptr) return 0;
    // A byte the device did not take leaves its shadow byte as it was, which
    // is what the device still holds.
    uint32_t result = 1;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t reg = iic::SubAddressOf(subAddress, i);
        if (!WriteByte(device, reg, pSource + i)) {
            result = 0;
        } else if (pShadow != nullptr) {
            pShadow[reg] = pSource[i];
        }
    }
    return result;
}

uint32_t CFpgaIicMasterPro::ReadFromShadow(uint8_t, uint8_t subAddress, uint8_t* pDestination,
                                           uint32_t count, const uint8_t* pShadow) {
    if (count == 0) return 1;
    if (pDestination == nullptr || pShadow == nullptr) return 0;
    iic::CopyFromShadow(pShadow, subAddress, pDestination, count);
    return 1;
}

uint32_t CFpgaIicMasterPro::WriteField(uint8_t writeDevice, uint8_t readDevice, uint8_t subAddress,
                                       const uint8_t* pValue, uint8_t shift, uint8_t width) {
    return iic::UpdateField(
        pValue, shift, width,
        [&](uint8_t* pByte) { return Read(readDevice, subAddress, pByte, 1); },
        [&](const uint8_t* pByte) { return Write(writeDevice, subAddress, pByte, 1); });
}

uint32_t CFpgaIicMasterPro::WriteFieldShadowed(uint8_t writeDevice, uint8_t readDevice,
                                               uint8_t subAddress, const uint8_t* pValue,
                                               uint8_t shift, uint8_t width, uint8_t* pShadow) {
    if (pShadow == nullptr) return 0;
    return iic::UpdateField(
        pValue, shift, width,
        [&](uint8_t* pByte) { return ReadFromShadow(readDevice, subAddress, pByte, 1, pShadow); },
        [&](const uint8_t* pByte) {
            return WriteShadowed(writeDevice, subAddress, pByte, 1, pShadow);
        });
}

}  // namespace velmora::hw
