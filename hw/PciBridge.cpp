#include "hw/PciBridge.h"

#include <cstring>

#include "hw/PlxApi.h"
#include "platform/Event.h"

namespace velmora::hw {

CPciBridge::CPciBridge() : m_pDevice(std::make_unique<PLX_DEVICE_OBJECT>()) {
    for (auto& notify : m_pNotify)
        notify = std::make_unique<PLX_NOTIFY_OBJECT>();
}

CPciBridge::~CPciBridge() {
    // A bridge destroyed while open must not leave the driver with
    // registrations that point into freed memory, nor leak its handle.
    ReleaseNotifications();
    if (std::memcmp(m_pDevice->IsValidTag, kPlxTagValid, 4) == 0) {
        PlxPci_DeviceClose(m_pDevice.get());
    }
}

uint32_t CPciBridge::ReadHostMailbox(uint32_t*) {
    return 0;
}

uint32_t CPciBridge::WriteHostMailbox(uint32_t) {
    return 0;
}

void CPciBridge::ReleaseNotifications() {
    for (auto& notify : m_pNotify) {
        if (std::memcmp(notify->IsValidTag, kPlxTagValid, 4) == 0) {
            PlxPci_NotificationCancel(m_pDevice.get(), notify.get());
        }
        if (notify->hEvent != 0) {
            delete reinterpret_cast<platform::Event*>(static_cast<uintptr_t>(notify->hEvent));
            notify->hEvent = 0;
            std::memcpy(notify->IsValidTag, kPlxTagInvalid, 4);
        }
    }
}

}  // namespace velmora::hw
