#include "sim/SimDevice.h"

#include <cstring>

#include "platform/Event.h"
#include "sim/SimCard.h"
#include "sim/SimDriver.h"

namespace velmora::sim {

using namespace velmora::hw;

namespace {

constexpr uint64_t kBarWindow = 2;
constexpr uint64_t kBarRegisters = 3;
constexpr uint64_t kWidth32 = 2;
constexpr uint32_t kMessageSize = sizeof(PLX_IOCTL_MESSAGE);

// A channel argument as the card sees it: anything past the last channel is
// simply invalid.
unsigned ChannelOf(uint64_t value) {
    return value < SimCardState::kDmaChannels ? static_cast<unsigned>(value)
                                              : SimCardState::kDmaChannels;
}

uint32_t InterruptFlags(const PLX_IOCTL_MESSAGE& message) {
    PLX_INTERRUPT interrupt;
    std::memcpy(&interrupt, message.u, sizeof(interrupt));
    return interrupt.Flags;
}

// Configuration and register offsets travel in 64-bit words; one that does
// not fit 32 bits is out of every range.
uint32_t OffsetOf(uint64_t value) {
    return value <= 0xFFFFFFFFu ? static_cast<uint32_t>(value) : 0xFFFFFFFFu;
}

}  // namespace

SimDevice::SimDevice(SimDriver& driver, std::shared_ptr<SimCard> card)
    : m_driver(driver), m_card(std::move(card)) {}

SimDevice::~SimDevice() {
    m_driver.OnDeviceClosed(this, m_card.get());
}

bool SimDevice::IoControl(uint32_t code, const void* in, uint32_t inSize, void* out,
                          uint32_t outSize, uint32_t* returned) {
    if (!in || !out || inSize < kMessageSize || outSize < kMessageSize) return false;
    m_driver.Interrupts().RestartIfForked();
    // In and out may be the same buffer.
    PLX_IOCTL_MESSAGE message;
    std::memcpy(&message, in, kMessageSize);
    Handle(code, message);
    std::memcpy(out, &message, kMessageSize);
    if (returned) *returned = kMessageSize;
    return true;
}

void SimDevice::Handle(uint32_t code, PLX_IOCTL_MESSAGE& message) {
    uint32_t& status = message.ReturnCode;
    uint64_t* value = message.value;
    switch (code) {
        case PLX_IOCTL_DRIVER_VERSION:
            value[0] = m_driver.DriverVersion();
            status = ApiSuccess;
            break;
        case PLX_IOCTL_DEVICE_RESET:
            status = m_card->Reset();
            break;
        case PLX_IOCTL_DEVICE_FIND:
            m_driver.Find(message);
            break;
        case PLX_IOCTL_PCI_BAR_MAP:
            // Only the local window is mapped; registers stay behind
            // BAR-space requests so every access passes the register model.
            if (value[0] == kBarWindow) {
                value[1] = reinterpret_cast<uintptr_t>(m_card->Bar2Window());
                status = ApiSuccess;
            } else {
                value[1] = 0;
                status = ApiInvalidIndex;
            }
            break;
        case PLX_IOCTL_PCI_BAR_UNMAP:
            status = value[0] == kBarWindow &&
                             value[1] == reinterpret_cast<uintptr_t>(m_card->Bar2Window())
                         ? ApiSuccess
                         : ApiInvalidAddress;
            break;
        case PLX_IOCTL_PCI_REG_READ_FAST: {
            uint32_t data = 0;
            status = m_card->ReadPciConfig(OffsetOf(value[0]), &data);
            value[1] = status == ApiSuccess ? data : 0xFFFFFFFFu;
            break;
        }
        case PLX_IOCTL_PCI_REG_WRITE_FAST:
            status = m_card->WritePciConfig(OffsetOf(value[0]), static_cast<uint32_t>(value[1]));
            break;
        case PLX_IOCTL_PCI_REG_READ:
            m_driver.ReadConfigByLocation(message);
            break;
        case PLX_IOCTL_PLX_REG_READ: {
            uint32_t data = 0;
            status = m_card->ReadPlxRegister(OffsetOf(value[0]), &data);
            value[1] = status == ApiSuccess ? data : 0xFFFFFFFFu;
            break;
        }
        case PLX_IOCTL_PLX_REG_WRITE:
            status = m_card->WritePlxRegister(OffsetOf(value[0]), static_cast<uint32_t>(value[1]));
            break;
        case PLX_IOCTL_PCI_BAR_SPACE_READ:
            status = BarSpace(message, false);
            break;
        case PLX_IOCTL_PCI_BAR_SPACE_WRITE:
            status = BarSpace(message, true);
            break;
        case PLX_IOCTL_INTR_ENABLE:
            status = m_card->EnableInterrupts(InterruptFlags(message));
            break;
        case PLX_IOCTL_INTR_DISABLE:
            status = m_card->DisableInterrupts(InterruptFlags(message));
            break;
        case PLX_IOCTL_NOTIFY_REGISTER_FOR:
            status = RegisterNotification(message);
            break;
        case PLX_IOCTL_NOTIFY_CANCEL:
            if (value[0] == 0) {
                status = ApiNullParam;
            } else {
                status = m_driver.Notifications().Cancel(static_cast<uintptr_t>(value[0]))
                             ? ApiSuccess
                             : ApiFailed;
            }
            break;
        case PLX_IOCTL_DMA_CHANNEL_OPEN:
            status = m_card->DmaOpen(ChannelOf(value[0]));
            break;
        case PLX_IOCTL_DMA_SET_PROPERTIES:
            status = m_card->DmaSetProperties(ChannelOf(value[0]));
            break;
        case PLX_IOCTL_DMA_CONTROL:
            status = m_card->DmaControl(ChannelOf(value[0]), value[1]);
            break;
        case PLX_IOCTL_DMA_STATUS:
            status = m_card->DmaStatus(ChannelOf(value[0]));
            break;
        case PLX_IOCTL_DMA_TRANSFER_USER_VA:
            status = DmaTransfer(message);
            break;
        case PLX_IOCTL_DMA_CHANNEL_CLOSE:
            status = m_card->DmaClose(ChannelOf(value[0]));
            break;
        default:
            status = ApiUnsupportedFunction;
            break;
    }
}

uint32_t SimDevice::BarSpace(PLX_IOCTL_MESSAGE& message, bool write) {
    PLX_DMA_PARAMS transfer;
    std::memcpy(&transfer, message.u, sizeof(transfer));
    // The local window takes single dword writes: the programming lines.
    if (message.value[0] == kBarWindow && write) {
        if (message.value[1] != kWidth32) return ApiInvalidAccessType;
        if (message.value[2] != 0 || transfer.ByteCount != 4) return ApiInvalidAddress;
        return m_card->WriteLines(transfer.LocalAddr);
    }
    if (message.value[0] != kBarRegisters) return ApiInvalidIndex;
    if (message.value[1] != kWidth32) return ApiInvalidAccessType;
    // Offsets are BAR offsets, never local addresses, and one register moves
    // at a time.
    if (message.value[2] != 0 || transfer.ByteCount != 4) return ApiInvalidAddress;
    if (transfer.UserVa == 0) return ApiNullParam;
    void* buffer = reinterpret_cast<void*>(static_cast<uintptr_t>(transfer.UserVa));
    if (write) {
        uint32_t data;
        std::memcpy(&data, buffer, sizeof(data));
        return m_card->WriteRegister(transfer.LocalAddr, data);
    }
    uint32_t data = 0;
    const uint32_t status = m_card->ReadRegister(transfer.LocalAddr, &data);
    if (status == ApiSuccess) std::memcpy(buffer, &data, sizeof(data));
    return status;
}

uint32_t SimDevice::RegisterNotification(PLX_IOCTL_MESSAGE& message) {
    const uintptr_t address = static_cast<uintptr_t>(message.value[0]);
    if (address == 0) return ApiNullParam;
    PLX_NOTIFY_OBJECT notify;
    std::memcpy(&notify, reinterpret_cast<const void*>(address), sizeof(notify));
    auto* event = reinterpret_cast<platform::Event*>(static_cast<uintptr_t>(notify.hEvent));
    if (!event) return ApiInvalidHandle;
    m_driver.Notifications().Register(address, this, m_card->Index(), InterruptFlags(message),
                                      event);
    return ApiSuccess;
}

uint32_t SimDevice::DmaTransfer(PLX_IOCTL_MESSAGE& message) {
    const unsigned channel = ChannelOf(message.value[0]);
    PLX_DMA_PARAMS params;
    std::memcpy(&params, message.u, sizeof(params));
    bool notify = false;
    const uint32_t status = m_card->DmaTransfer(channel, params.UserVa, params.LocalAddr,
                                                params.ByteCount, params.Direction, &notify);
    if (notify) m_driver.Notifications().Signal(m_card->Index(), kPlxIntDmaDoneBase << channel);
    return status;
}

}  // namespace velmora::sim
