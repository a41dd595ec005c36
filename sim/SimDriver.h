#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "hw/PlxTypes.h"
#include "platform/DeviceIo.h"
#include "platform/ForkHandshake.h"
#include "sim/SimConfig.h"
#include "sim/SimInterruptThread.h"
#include "sim/SimNotificationTable.h"

namespace velmora::sim {

class SimCard;
class SimDevice;

// The simulated PLX driver of this process: it owns the device names of one
// row of the driver-name table, attaches the simulated boards those devices
// reach, and keeps what belongs to this process alone (configuration,
// notifications, the interrupt thread).
//
// One instance per process, created on first use and never destroyed, so no
// static destructor and no late thread can find it gone.
class SimDriver {
  public:
    static constexpr uint32_t kDefaultDriverVersion = 0x00060301;
    static constexpr unsigned kDefaultDriverRow = 10;  // "TQDDASI"
    static constexpr uint32_t kDefaultHostChipsetWord = 0x29A08086;

    static SimDriver& Instance();

    // The device provider: a device of this driver's row below the card
    // count, or null.
    std::unique_ptr<platform::DeviceFile> Open(std::string_view path);
    // Which card a device name of the current row names.
    std::optional<unsigned> ParseDeviceName(std::string_view path) const;

    SimConfig Config() const;
    unsigned CardCount() const { return m_cardCount.load(); }
    uint32_t DriverVersion() const { return m_driverVersion.load(); }
    unsigned DriverRow() const { return m_driverRow.load(); }
    uint32_t HostChipsetWord() const { return m_hostChipsetWord.load(); }

    // Re-reads the configuration from the environment, puts the driver's own
    // knobs back to their defaults, drops the control holds and sets the card
    // count. False while a device is open in this process.
    bool SetCardCount(unsigned count);
    // Board ID and FPGA version of the cards created from now on and of the
    // ones this process has attached.
    void SetBoardId(uint32_t id);
    void SetFpgaVersion(uint32_t version);
    void SetDriverVersion(uint32_t version) { m_driverVersion.store(version); }
    bool SetDriverRow(unsigned row);
    void SetHostChipsetWord(uint32_t word) { m_hostChipsetWord.store(word); }

    // Attaches board `index` for a control call and keeps it attached until
    // ReleaseCards or SetCardCount; null when there is no such board.
    std::shared_ptr<SimCard> HoldCard(unsigned index);
    // Attaches board `index` for as long as the caller keeps the pointer (a
    // bus access that is not a device); null when there is no such board.
    std::shared_ptr<SimCard> AttachCard(unsigned index);
    void ReleaseCards();

    // Requests that are about the bus rather than one device.
    void Find(hw::PLX_IOCTL_MESSAGE& message) const;
    void ReadConfigByLocation(hw::PLX_IOCTL_MESSAGE& message);

    SimNotificationTable& Notifications() { return m_notifications; }
    SimInterruptThread& Interrupts() { return m_interrupts; }

    void OnDeviceClosed(SimDevice* device, const SimCard* card);

  private:
    SimDriver();
    std::shared_ptr<SimCard> AcquireCardLocked(unsigned index);
    hw::PLX_DEVICE_KEY KeyOf(unsigned index, const hw::PLX_DEVICE_KEY& base) const;

    // Runs a fork step of every board this process has attached; under
    // m_mutex. Whether there was any.
    bool ForEachAttachedCard(void (SimCard::*step)());
    static void PrepareFork();
    static void ParentAfterFork();
    static void ChildAfterFork();

    mutable std::mutex m_mutex;  // guards the fields below down to m_forkHandshake
    // Serialises attaching and detaching a board in this process, so that a
    // board being let go is never opened again half-closed. Taken last.
    std::mutex m_attachMutex;
    SimConfig m_config;
    std::vector<std::weak_ptr<SimCard>> m_cards;
    std::vector<std::shared_ptr<SimCard>> m_holds;
    unsigned m_openDevices = 0;
    // A forked child's holds on the boards are its own before fork() returns
    // in the parent, which may let go of the boards at once.
    platform::ForkHandshake m_forkHandshake;

    std::atomic<unsigned> m_cardCount;
    std::atomic<uint32_t> m_driverVersion{kDefaultDriverVersion};
    std::atomic<unsigned> m_driverRow{kDefaultDriverRow};
    std::atomic<uint32_t> m_hostChipsetWord{kDefaultHostChipsetWord};

    SimNotificationTable m_notifications;
    SimInterruptThread m_interrupts{m_notifications};
};

}  // namespace velmora::sim
