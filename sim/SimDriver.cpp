#include "sim/SimDriver.h"

#include <pthread.h>

#include <cstring>
#include <string>

#include "sim/SimCard.h"
#include "sim/SimDevice.h"

namespace velmora::sim {

using namespace velmora::hw;

namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";
constexpr std::string_view kVersionSuffix = "_v631";
constexpr unsigned kDriverRows =
    sizeof(PlxPci_DriverNameTable) / sizeof(PlxPci_DriverNameTable[0]) - 1;

// The driver is present in every process that links the SDK, as a kernel
// driver would be installed on the machine.
[[maybe_unused]] const bool g_registered = [] {
    platform::RegisterDeviceProvider(
        [](std::string_view path) { return SimDriver::Instance().Open(path); });
    return true;
}();

bool MatchesU8(uint8_t wanted, uint8_t actual) {
    return wanted == kPlxAnyU8 || wanted == actual;
}
bool MatchesU16(uint16_t wanted, uint16_t actual) {
    return wanted == kPlxAnyU16 || wanted == actual;
}

bool Matches(const PLX_DEVICE_KEY& wanted, const PLX_DEVICE_KEY& actual) {
    return MatchesU8(wanted.bus, actual.bus) && MatchesU8(wanted.slot, actual.slot) &&
           MatchesU8(wanted.function, actual.function) &&
           MatchesU16(wanted.VendorId, actual.VendorId) &&
           MatchesU16(wanted.DeviceId, actual.DeviceId) &&
           MatchesU16(wanted.SubVendorId, actual.SubVendorId) &&
           MatchesU16(wanted.SubDeviceId, actual.SubDeviceId) &&
           MatchesU8(wanted.Revision, actual.Revision);
}

}  // namespace

SimDriver& SimDriver::Instance() {
    static SimDriver* const instance = new SimDriver();
    return *instance;
}

SimDriver::SimDriver()
    : m_config(SimConfig::FromEnvironment()),
      m_cards(SimConfig::kMaxCards),
      m_cardCount(m_config.cardCount) {
    pthread_atfork(&SimDriver::PrepareFork, &SimDriver::ParentAfterFork,
                   &SimDriver::ChildAfterFork);
}

std::optional<unsigned> SimDriver::ParseDeviceName(std::string_view path) const {
    const std::string_view row = PlxPci_DriverNameTable[DriverRow()];
    if (!path.starts_with(kDevicePrefix)) return std::nullopt;
    path.remove_prefix(kDevicePrefix.size());
    if (!path.starts_with(row)) return std::nullopt;
    path.remove_prefix(row.size());
    if (!path.starts_with(kVersionSuffix)) return std::nullopt;
    path.remove_prefix(kVersionSuffix.size());
    // The service driver's name carries no device number.
    if (row.find("PlxSvc") != std::string_view::npos) {
        return path.empty() ? std::optional<unsigned>(0) : std::nullopt;
    }
    if (!path.starts_with('-')) return std::nullopt;
    path.remove_prefix(1);
    if (path.empty() || path.size() > 3 || (path.size() > 1 && path[0] == '0')) {
        return std::nullopt;
    }
    unsigned number = 0;
    for (const char c : path) {
        if (c < '0' || c > '9') return std::nullopt;
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    return number;
}

std::unique_ptr<platform::DeviceFile> SimDriver::Open(std::string_view path) {
    const std::optional<unsigned> number = ParseDeviceName(path);
    if (!number) return nullptr;
    std::shared_ptr<SimCard> card;
    {
        std::lock_guard lock(m_mutex);
        if (*number >= m_cardCount.load()) return nullptr;
        card = AcquireCardLocked(*number);
        if (!card) return nullptr;
        ++m_openDevices;
    }
    m_interrupts.Watch(card);
    return std::make_unique<SimDevice>(*this, std::move(card));
}

void SimDriver::OnDeviceClosed(SimDevice* device, const SimCard* card) {
    m_notifications.RemoveOwner(device);
    m_interrupts.Unwatch(card);
    std::lock_guard lock(m_mutex);
    --m_openDevices;
}

std::shared_ptr<SimCard> SimDriver::AcquireCardLocked(unsigned index) {
    if (index >= m_cardCount.load()) return nullptr;
    if (auto card = m_cards[index].lock()) return card;
    std::unique_ptr<SimCard> attached;
    {
        std::lock_guard attach(m_attachMutex);
        attached = SimCard::Attach(index, m_config, m_driverVersion.load());
    }
    if (!attached) return nullptr;
    std::shared_ptr<SimCard> card(attached.release(), [this](SimCard* released) {
        std::lock_guard attach(m_attachMutex);
        delete released;
    });
    m_cards[index] = card;
    return card;
}

SimConfig SimDriver::Config() const {
    std::lock_guard lock(m_mutex);
    return m_config;
}

bool SimDriver::SetCardCount(unsigned count) {
    std::vector<std::shared_ptr<SimCard>> released;
    {
        std::lock_guard lock(m_mutex);
        if (m_openDevices != 0 || count > SimConfig::kMaxCards) return false;
        released.swap(m_holds);
        m_config = SimConfig::FromEnvironment();
        m_config.cardCount = count;
        m_cardCount.store(count);
        m_driverVersion.store(kDefaultDriverVersion);
        m_driverRow.store(kDefaultDriverRow);
        m_hostChipsetWord.store(kDefaultHostChipsetWord);
    }
    return true;
}

void SimDriver::SetBoardId(uint32_t id) {
    std::lock_guard lock(m_mutex);
    m_config.boardId = id;
    for (const auto& weak : m_cards) {
        if (auto card = weak.lock()) card->SetBoardId(id);
    }
}

void SimDriver::SetFpgaVersion(uint32_t version) {
    std::lock_guard lock(m_mutex);
    m_config.fpgaVersion = version;
    for (const auto& weak : m_cards) {
        if (auto card = weak.lock()) card->SetFpgaVersion(version);
    }
}

bool SimDriver::SetDriverRow(unsigned row) {
    if (row >= kDriverRows) return false;
    m_driverRow.store(row);
    return true;
}

std::shared_ptr<SimCard> SimDriver::HoldCard(unsigned index) {
    std::lock_guard lock(m_mutex);
    auto card = AcquireCardLocked(index);
    if (!card) return nullptr;
    for (const auto& held : m_holds) {
        if (held == card) return card;
    }
    m_holds.push_back(card);
    return card;
}

std::shared_ptr<SimCard> SimDriver::AttachCard(unsigned index) {
    std::lock_guard lock(m_mutex);
    return AcquireCardLocked(index);
}

void SimDriver::ReleaseCards() {
    std::vector<std::shared_ptr<SimCard>> released;
    std::lock_guard lock(m_mutex);
    released.swap(m_holds);
}

PLX_DEVICE_KEY SimDriver::KeyOf(unsigned index, const PLX_DEVICE_KEY& base) const {
    PLX_DEVICE_KEY key = base;
    key.bus = SimCard::BusOf(index);
    key.slot = 0;
    key.function = 0;
    key.VendorId = SimCard::kVendorId;
    key.DeviceId = SimCard::kDeviceId;
    key.SubVendorId = SimCard::kSubVendorId;
    key.SubDeviceId = SimCard::kSubDeviceId;
    key.Revision = SimCard::kRevision;
    std::memset(key.DriverData17, 0, sizeof(key.DriverData17));
    key.ApiIndex = static_cast<uint8_t>(DriverRow());
    key.DeviceNumber = static_cast<uint8_t>(index);
    std::memset(key.DriverData24, 0, sizeof(key.DriverData24));
    return key;
}

void SimDriver::Find(PLX_IOCTL_MESSAGE& message) const {
    const uint64_t wantedIndex = message.value[0];
    const unsigned count = CardCount();
    uint64_t matches = 0;
    for (unsigned index = 0; index < count; ++index) {
        const PLX_DEVICE_KEY key = KeyOf(index, message.Key);
        if (!Matches(message.Key, key)) continue;
        if (matches == wantedIndex) {
            message.Key = key;
            message.ReturnCode = ApiSuccess;
            return;
        }
        ++matches;
    }
    message.value[0] = matches;
    message.ReturnCode = ApiInvalidDeviceInfo;
}

void SimDriver::ReadConfigByLocation(PLX_IOCTL_MESSAGE& message) {
    const uint64_t offset = message.value[0];
    message.value[1] = 0xFFFFFFFFu;
    if (offset % 4 != 0 || offset >= SimCardState::kPciConfigSize) {
        message.ReturnCode = ApiInvalidOffset;
        return;
    }
    const PLX_DEVICE_KEY& key = message.Key;
    message.ReturnCode = ApiSuccess;
    if (key.bus == 0 && key.slot == 0 && key.function == 0) {
        // The host bridge: only its identity word is of interest.
        message.value[1] = offset == 0 ? HostChipsetWord() : 0;
        return;
    }
    if (key.slot != 0 || key.function != 0 || key.bus == 0) return;
    const unsigned index = key.bus - 1u;
    std::shared_ptr<SimCard> card;
    {
        std::lock_guard lock(m_mutex);
        card = AcquireCardLocked(index);
    }
    uint32_t value = 0;
    if (card && card->ReadPciConfig(static_cast<uint32_t>(offset), &value) == ApiSuccess) {
        message.value[1] = value;
    }
}

bool SimDriver::ForEachAttachedCard(void (SimCard::*step)()) {
    bool any = false;
    for (const auto& weak : m_cards) {
        if (auto card = weak.lock()) {
            (card.get()->*step)();
            any = true;
        }
    }
    return any;
}

void SimDriver::PrepareFork() {
    SimDriver& driver = Instance();
    driver.m_mutex.lock();
    if (driver.ForEachAttachedCard(&SimCard::PrepareFork)) driver.m_forkHandshake.Prepare();
    driver.m_interrupts.PrepareFork();
    driver.m_notifications.LockForFork();
    driver.m_attachMutex.lock();
}

void SimDriver::ParentAfterFork() {
    SimDriver& driver = Instance();
    driver.m_forkHandshake.AwaitChild();
    driver.m_attachMutex.unlock();
    driver.m_notifications.UnlockAfterFork();
    driver.m_interrupts.ParentAfterFork();
    driver.ForEachAttachedCard(&SimCard::ParentAfterFork);
    driver.m_mutex.unlock();
}

void SimDriver::ChildAfterFork() {
    SimDriver& driver = Instance();
    driver.m_attachMutex.unlock();
    driver.m_notifications.UnlockAfterFork();
    driver.m_interrupts.ChildAfterFork();
    driver.ForEachAttachedCard(&SimCard::ChildAfterFork);
    driver.m_forkHandshake.ChildDone();
    driver.m_mutex.unlock();
}

}  // namespace velmora::sim
