#include "hw/IicMasterPro.h"

#include <new>

#include "card/GlobalVars.h"
#include "hw/Fpga.h"
#include "hw/FpgaIicMaster.h"
#include "hw/FpgaIicMasterPro.h"
#include "platform/NamedMutex.h"

namespace velmora::hw {

namespace {

// Holds one named mutex, if there is one, for a scope.
class MutexHold {
  public:
    explicit MutexHold(platform::NamedMutex* pMutex) {
        if (pMutex == nullptr) return;
        const platform::WaitResult result = pMutex->Lock();
        // An abandoned mutex is ours all the same; the engine's next start
        // condition puts the bus back in order.
        if (result == platform::WaitResult::Signaled || result == platform::WaitResult::Abandoned) {
            m_pMutex = pMutex;
        } else {
            m_bFailed = true;
        }
    }
    ~MutexHold() {
        if (m_pMutex != nullptr) m_pMutex->Unlock();
    }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

    bool Failed() const { return m_bFailed; }

  private:
    platform::NamedMutex* m_pMutex = nullptr;
    bool m_bFailed = false;
};

}  // namespace

CIicMasterPro::CIicMasterPro(CFpga* pFpga, card::CGlobalVars* pGlobalVars)
    : m_pFpga(pFpga),
      m_pGlobalVars(pGlobalVars),
      m_pBitBanged(new (std::nothrow) CFpgaIicMaster(pFpga)),
      m_pByteEngine(new (std::nothrow) CFpgaIicMasterPro(pFpga)) {}

CIicMasterPro::~CIicMasterPro() = default;

uint32_t CIicMasterPro::SetMode(uint32_t mode) {
    if (mode != kModeBitBanged && mode != kModeByteEngine) return 0;
    m_dwMode.store(mode);
    return 1;
}

template <typename BitBanged, typename Engine>
uint32_t CIicMasterPro::Locked(LockScope scope, uint32_t mode, BitBanged bitBanged, Engine engine) {
    platform::NamedMutex* pMutex0 = nullptr;
    platform::NamedMutex* pMutex1 = nullptr;
    if (m_pGlobalVars != nullptr) {
        pMutex0 = m_pGlobalVars->GetIicMutex0();
        if (scope == LockScope::FieldOrShadow) pMutex1 = m_pGlobalVars->GetIicMutex1();
    }
    // Mutex 1 first: a plain transfer waits on mutex 0 alone, so this order
    // cannot deadlock against it.
    MutexHold hold1(pMutex1);
    if (hold1.Failed()) return 0;
    MutexHold hold0(pMutex0);
    if (hold0.Failed()) return 0;
    if (mode == kModeByteEngine) {
        return m_pByteEngine != nullptr ? engine(*m_pByteEngine) : 0;
    }
    return m_pBitBanged != nullptr ? bitBanged(*m_pBitBanged) : 0;
}

uint32_t CIicMasterPro::WriteOn(uint32_t mode, uint8_t device, uint8_t subAddress,
                                const uint8_t* pSource, uint32_t count) {
    return Locked(
        LockScope::Transfer, mode,
        [&](CFpgaIicMaster& m) { return m.Write(device, subAddress, pSource, count); },
        [&](CFpgaIicMasterPro& m) { return m.Write(device, subAddress, pSource, count); });
}

uint32_t CIicMasterPro::ReadOn(uint32_t mode, uint8_t device, uint8_t subAddress,
                               uint8_t* pDestination, uint32_t count) {
    return Locked(
        LockScope::Transfer, mode,
        [&](CFpgaIicMaster& m) { return m.Read(device, subAddress, pDestination, count); },
        [&](CFpgaIicMasterPro& m) { return m.Read(device, subAddress, pDestination, count); });
}

uint32_t CIicMasterPro::WriteFieldOn(uint32_t mode, uint8_t writeDevice, uint8_t readDevice,
                                     uint8_t subAddress, const uint8_t* pValue, uint8_t shift,
                                     uint8_t width) {
    return Locked(
        LockScope::FieldOrShadow, mode,
        [&](CFpgaIicMaster& m) {
            return m.WriteField(writeDevice, readDevice, subAddress, pValue, shift, width);
        },
        [&](CFpgaIicMasterPro& m) {
            return m.WriteField(writeDevice, readDevice, subAddress, pValue, shift, width);
        });
}

uint32_t CIicMasterPro::WriteShadowedOn(uint32_t mode, uint8_t device, uint8_t subAddress,
                                        const uint8_t* pSource, uint32_t count, uint8_t* pShadow) {
    return Locked(
        LockScope::FieldOrShadow, mode,
        [&](CFpgaIicMaster& m) {
            return m.WriteShadowed(device, subAddress, pSource, count, pShadow);
        },
        [&](CFpgaIicMasterPro& m) {
            return m.WriteShadowed(device, subAddress, pSource, count, pShadow);
        });
}

uint32_t CIicMasterPro::ReadFromShadowOn(uint32_t mode, uint8_t device, uint8_t subAddress,
                                         uint8_t* pDestination, uint32_t count,
                                         const uint8_t* pShadow) {
    return Locked(
        LockScope::FieldOrShadow, mode,
        [&](CFpgaIicMaster& m) {
            return m.ReadFromShadow(device, subAddress, pDestination, count, pShadow);
        },
        [&](CFpgaIicMasterPro& m) {
            return m.ReadFromShadow(device, subAddress, pDestination, count, pShadow);
        });
}

uint32_t CIicMasterPro::WriteFieldShadowedOn(uint32_t mode, uint8_t writeDevice, uint8_t readDevice,
                                             uint8_t subAddress, const uint8_t* pValue,
                                             uint8_t shift, uint8_t width, uint8_t* pShadow) {
    return Locked(
        LockScope::FieldOrShadow, mode,
        [&](CFpgaIicMaster& m) {
            return m.WriteFieldShadowed(writeDevice, readDevice, subAddress, pValue, shift, width,
                                        pShadow);
        },
        [&](CFpgaIicMasterPro& m) {
            return m.WriteFieldShadowed(writeDevice, readDevice, subAddress, pValue, shift, width,
                                        pShadow);
        });
}

uint32_t CIicMasterPro::Write(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                              uint32_t count) {
    return WriteOn(m_dwMode.load(), device, subAddress, pSource, count);
}

uint32_t CIicMasterPro::Read(uint8_t device, uint8_t subAddress, uint8_t* pDestination,
                             uint32_t count) {
    return ReadOn(m_dwMode.load(), device, subAddress, pDestination, count);
}

uint32_t CIicMasterPro::WriteField(uint8_t writeDevice, uint8_t readDevice, uint8_t subAddress,
                                   const uint8_t* pValue, uint8_t shift, uint8_t width) {
    return WriteFieldOn(m_dwMode.load(), writeDevice, readDevice, subAddress, pValue, shift, width);
}

uint32_t CIicMasterPro::WriteShadowed(uint8_t device, uint8_t subAddress, const uint8_t* pSource,
                                      uint32_t count, uint8_t* pShadow) {
    return WriteShadowedOn(m_dwMode.load(), device, subAddress, pSource, count, pShadow);
}

uint32_t CIicMasterPro::ReadFromShadow(uint8_t device, uint8_t subAddress, uint8_t* pDestination,
                                       uint32_t count, const uint8_t* pShadow) {
    return ReadFromShadowOn(m_dwMode.load(), device, subAddress, pDestination, count, pShadow);
}

uint32_t CIicMasterPro::WriteFieldShadowed(uint8_t writeDevice, uint8_t readDevice,
                                           uint8_t subAddress, const uint8_t* pValue, uint8_t shift,
                                           uint8_t width, uint8_t* pShadow) {
    return WriteFieldShadowedOn(m_dwMode.load(), writeDevice, readDevice, subAddress, pValue, shift,
                                width, pShadow);
}

uint32_t CIicMasterPro::SetIicControl() {
    return m_pFpga != nullptr ? m_pFpga->SetIicControlBit19() : 0;
}

uint32_t CIicMasterPro::ClearIicControl() {
    return m_pFpga != nullptr ? m_pFpga->ClearIicControlBit19() : 0;
}

}  // namespace velmora::hw
