#pragma once

// The card-wide values shared by the register object, the IIC master and the
// board support of one card: the four named mutexes that guard the card's MCU,
// FPGA registers and IIC buses across processes, the card type and the
// no-hardware flag. One per card object.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/NamedMutex.h"

namespace velmora::card {

class CGlobalVars {
  public:
    // Suffixes of the mutex names; the card name goes in front and the card
    // index (decimal) fills the conversion.
    static constexpr const char* kMcuMutexSuffix = "McuMutex_%d";
    static constexpr const char* kFpgaMutexSuffix = "FpgaMutex_%d";
    static constexpr const char* kIicMutex0Suffix = "IicMasterMutex0_%d";
    static constexpr const char* kIicMutex1Suffix = "IicMasterMutex1_%d";

    explicit CGlobalVars(uint32_t cardIndex);
    virtual ~CGlobalVars();
    CGlobalVars(const CGlobalVars&) = delete;
    CGlobalVars& operator=(const CGlobalVars&) = delete;

    // Creates (or opens) the MCU, FPGA, IIC 0 and IIC 1 mutexes, in that
    // order. 0 when one of them cannot be made; those already made are then
    // released again, so either all four exist or none.
    virtual uint32_t CreateMutexes();
    // Unlocks whatever this thread holds of the four and deletes them.
    virtual uint32_t ReleaseMutexes();

    // Prefix of the mutex names (the card name string).
    void SetName(std::string_view name) { m_strName = name; }
    const std::string& GetName() const { return m_strName; }
    uint32_t GetCardIndex() const { return m_dwCardIndex; }
    void SetCardType(uint32_t cardType) { m_dwCardType = cardType; }
    uint32_t GetCardType() const { return m_dwCardType; }
    void SetNoHardware(uint32_t noHardware) { m_bNoHardware = noHardware; }
    uint32_t IsNoHardware() const { return m_bNoHardware; }

    // Null until CreateMutexes succeeded and after ReleaseMutexes.
    platform::NamedMutex* GetFpgaMutex() const { return m_pFpgaMutex.get(); }
    platform::NamedMutex* GetIicMutex0() const { return m_pIicMutex0.get(); }
    platform::NamedMutex* GetIicMutex1() const { return m_pIicMutex1.get(); }
    platform::NamedMutex* GetMcuMutex() const { return m_pMcuMutex.get(); }

    // The full name of one of the mutexes of this card.
    std::string MutexName(const char* suffix) const;

  private:
    std::string m_strName;
    const uint32_t m_dwCardIndex;
    uint32_t m_dwCardType = 0;
    std::unique_ptr<platform::NamedMutex> m_pFpgaMutex;
    std::unique_ptr<platform::NamedMutex> m_pIicMutex0;
    std::unique_ptr<platform::NamedMutex> m_pIicMutex1;
    std::unique_ptr<platform::NamedMutex> m_pMcuMutex;
    uint32_t m_bNoHardware = 0;
};

// This card's variant; it changes nothing.
class CVelmoraGlobalVars : public CGlobalVars {
  public:
    using CGlobalVars::CGlobalVars;
};

}  // namespace velmora::card
