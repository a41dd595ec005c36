#pragma once

// The bridge family's implementation over the PLX device layer.

#include <cstdint>

#include "hw/PciBridge.h"

namespace velmora::hw {

class CPlxPciBridge : public CPciBridge {
  public:
    CPlxPciBridge();
    ~CPlxPciBridge() override = default;

    uint32_t GetDriverVersion(uint32_t* pVersion) override;
    uint32_t GetBoardCount(uint32_t* pCount) override;
    uint32_t SelectBoard(uint32_t row, uint32_t boardNumber) override;
    uint32_t FindBoard(uint32_t boardIndex) override;
    uint32_t OpenBoard() override;
    uint32_t CloseBoard() override;
    uint32_t ResetBoard() override;
    uint32_t EnableLocalInterrupt(uint32_t line) override;
    uint32_t DisableLocalInterrupt(uint32_t line) override;
    uint32_t EnableDmaInterrupt(uint32_t channel) override;
    uint32_t DisableDmaInterrupt(uint32_t channel) override;
    uint32_t DmaChannelOpen(uint32_t channel) override;
    uint32_t DmaChannelClose(uint32_t channel) override;
    uint32_t LockDmaChannel(uint32_t channel) override;
    uint32_t TryLockDmaChannel(uint32_t channel) override;
    uint32_t UnlockDmaChannel(uint32_t channel) override;
    uint32_t DmaTransfer(uint32_t channel, void* pBuffer, uint32_t cardByteAddress,
                         uint32_t byteCount, uint32_t direction) override;
    uint32_t RegisterLocalInterruptNotification(uint32_t line) override;
    uint32_t RegisterFieldNotification() override;
    uint32_t RegisterDmaNotification(uint32_t channel) override;
    uint32_t WaitLocalInterrupt(uint32_t line) override;
    uint32_t WaitFieldNotification() override;
    uint32_t WaitDmaInterrupt(uint32_t channel) override;
    uint32_t CancelDmaNotification(uint32_t channel) override;
    uint32_t IsEepromPresent() override;
    uint32_t EepromRead(uint16_t offset, uint32_t* pValue) override;
    uint32_t EepromWrite(uint16_t offset, uint32_t value) override;
    uint32_t MapBar(uint32_t barIndex, void** ppAddress) override;
    uint32_t UnmapBar(void** ppAddress) override;
    uint32_t MapRegisterBar() override;
    uint32_t UnmapRegisterBar() override;
    uint32_t BarSpaceRead(uint32_t barIndex, uint32_t offset, uint32_t* pBuffer) override;
    uint32_t BarSpaceWrite(uint32_t barIndex, uint32_t offset, const uint32_t* pBuffer) override;
    uint32_t GetHostChipsetClass(uint32_t* pClass) override;
    // The last of the bridge's mailbox registers.
    uint32_t ReadHostMailbox(uint32_t* pValue) override;
    uint32_t WriteHostMailbox(uint32_t value) override;

    // The user pins belong to the bridge chip; this level has none, so both
    // fail.
    virtual uint32_t SetUserOutput(uint32_t pin, uint32_t level);
    virtual uint32_t UserPinControlA(uint32_t argument);
    virtual uint32_t UserPinControlB(uint32_t argument);
    virtual uint32_t GetUserInput(uint32_t pin, uint32_t* pLevel);

    // The bridge's local configuration registers (byte offsets), through the
    // mapped BAR 0 window once MapRegisterBar has run, else through the driver.
    uint32_t ReadPlxRegister(uint32_t offset, uint32_t* pValue);
    uint32_t WritePlxRegister(uint32_t offset, uint32_t value);
    uint32_t ReadPciConfig(uint16_t offset, uint32_t* pValue);
    uint32_t WritePciConfig(uint16_t offset, uint32_t value);
    // Replaces width bits at shift by the low bits of value.
    uint32_t WritePlxRegisterField(uint32_t offset, uint32_t value, uint32_t shift, uint32_t width);
    // value 0 clears, 1 sets the bit; anything else fails.
    uint32_t WritePlxRegisterBit(uint32_t offset, uint32_t bit, uint32_t value);
    uint32_t TestPlxRegisterBit(uint32_t offset, uint32_t bit, uint32_t* pSet);

  protected:
    // Builds the key of one identifier row and finds its n-th device.
    uint32_t FindDevice(uint32_t row, uint32_t boardNumber);
    platform::NamedMutex* DmaMutex(uint32_t channel) const;
    uint32_t Register(NotifySlot slot, uint32_t interruptFlags);
    uint32_t Wait(NotifySlot slot);
};

}  // namespace velmora::hw
