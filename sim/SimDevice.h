#pragma once

#include <cstdint>
#include <memory>

#include "hw/PlxTypes.h"
#include "platform/DeviceIo.h"

namespace velmora::sim {

class SimCard;
class SimDriver;

// One open device of the simulated driver: answers the PLX request messages
// for the board it reaches. Safe to call from several threads at once; all
// board state lives in the card, behind the card's lock.
class SimDevice final : public platform::DeviceFile {
  public:
    SimDevice(SimDriver& driver, std::shared_ptr<SimCard> card);
    ~SimDevice() override;
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    bool IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                   uint32_t* returned) override;

  private:
    void Handle(uint32_t code, hw::PLX_IOCTL_MESSAGE& message);
    uint32_t BarSpace(hw::PLX_IOCTL_MESSAGE& message, bool write);
    uint32_t RegisterNotification(hw::PLX_IOCTL_MESSAGE& message);
    uint32_t DmaTransfer(hw::PLX_IOCTL_MESSAGE& message);

    SimDriver& m_driver;
    std::shared_ptr<SimCard> m_card;
};

}  // namespace velmora::sim
