#include "sim/SimControl.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "hw/PlxTypes.h"
#include "platform/Time.h"
#include "sim/SimChipTvp5147.h"
#include "sim/SimDriver.h"
#include "sim/SimVideoPattern.h"

namespace velmora::sim {

using hw::ApiSuccess;

namespace {

SimDriver& Driver() {
    return SimDriver::Instance();
}

}  // namespace

bool SetCardCount(unsigned count) {
    return Driver().SetCardCount(count);
}
unsigned CardCount() {
    return Driver().CardCount();
}
void SetDriverVersion(uint32_t version) {
    Driver().SetDriverVersion(version);
}
bool SetDriverRow(unsigned row) {
    return Driver().SetDriverRow(row);
}
void SetHostChipsetWord(uint32_t word) {
    Driver().SetHostChipsetWord(word);
}
void SetBoardId(uint32_t id) {
    Driver().SetBoardId(id);
}
void SetFpgaVersion(uint32_t version) {
    Driver().SetFpgaVersion(version);
}

bool SetClockMode(unsigned card, ClockMode mode) {
    auto held = Driver().HoldCard(card);
    return held && held->SetClockMode(mode) == ApiSuccess;
}

bool StepFields(unsigned card, uint64_t fields) {
    auto held = Driver().HoldCard(card);
    return held && held->StepFields(fields) == ApiSuccess;
}

bool CardLockFree(unsigned card) {
    auto held = Driver().HoldCard(card);
    return held && held->LockFree();
}

std::optional<uint64_t> FieldCount(unsigned card) {
    auto held = Driver().HoldCard(card);
    uint64_t count = 0;
    bool enabled = false;
    if (!held || held->FieldState(&count, &enabled) != ApiSuccess) return std::nullopt;
    return count;
}

bool SetDmaFault(unsigned card, unsigned channel, DmaFault fault, uint32_t transfersFirst) {
    auto held = Driver().HoldCard(card);
    return held && held->SetDmaFault(channel, fault, transfersFirst) == ApiSuccess;
}

bool EnableRegisterWriteLog(unsigned card, bool enable) {
    auto held = Driver().HoldCard(card);
    return held && held->EnableWriteLog(enable) == ApiSuccess;
}

bool ClearRegisterWriteLog(unsigned card) {
    auto held = Driver().HoldCard(card);
    return held && held->ClearWriteLog() == ApiSuccess;
}

std::vector<RegisterWrite> RegisterWriteLog(unsigned card) {
    std::vector<RegisterWrite> entries;
    if (auto held = Driver().HoldCard(card)) held->ReadWriteLog(&entries);
    return entries;
}

bool RunAfterNextRegisterWrite(unsigned card, uint32_t offset, std::function<void()> hook) {
    auto held = Driver().HoldCard(card);
    if (!held) return false;
    held->RunAfterNext(offset, true, std::move(hook));
    return true;
}

bool RunAfterNextRegisterAccess(unsigned card, bool write, std::function<void()> hook) {
    auto held = Driver().HoldCard(card);
    if (!held) return false;
    held->RunAfterNext(SimCard::kAnyRegister, write, std::move(hook));
    return true;
}

bool RunInsideNextAsiStep(unsigned card, bool output, std::function<void()> hook) {
    if (!Driver().HoldCard(card)) return false;
    SimAsiEngine::RunInsideNextStep(card, output, std::move(hook));
    return true;
}

std::optional<uint32_t> PeekRegister(unsigned card, uint32_t offset) {
    auto held = Driver().HoldCard(card);
    uint32_t value = 0;
    if (!held || held->PeekRegister(offset, &value) != ApiSuccess) return std::nullopt;
    return value;
}

bool PokeRegister(unsigned card, uint32_t offset, uint32_t value) {
    auto held = Driver().HoldCard(card);
    return held && held->PokeRegister(offset, value) == ApiSuccess;
}

bool PeekMemory(unsigned card, uint32_t address, void* data, size_t size) {
    auto held = Driver().HoldCard(card);
    return held && held->PeekMemory(address, data, size) == ApiSuccess;
}

bool PokeMemory(unsigned card, uint32_t address, const void* data, size_t size) {
    auto held = Driver().HoldCard(card);
    return held && held->PokeMemory(address, data, size) == ApiSuccess;
}

// FPGA.

namespace {

// Runs `f` on the card's FPGA state, brought up to the present.
bool WithFpga(unsigned card, const std::function<void(SimFpgaState&)>& f) {
    auto held = Driver().HoldCard(card);
    return held && held->WithState([&](SimCardState& state) { f(state.fpga); }) == ApiSuccess;
}

std::optional<PlayedUnits> Played(unsigned card, bool video) {
    PlayedUnits result;
    // Sized before taking the card's lock.
    result.recent.reserve(SimPlayMonitor::kHistory);
    const bool ok = WithFpga(card, [&](SimFpgaState& fpga) {
        const SimPlayMonitor& monitor = video ? fpga.playedVideo : fpga.playedAudio;
        result.played = monitor.played;
        const uint64_t kept = monitor.played < SimPlayMonitor::kHistory
                                  ? monitor.played
                                  : uint64_t{SimPlayMonitor::kHistory};
        for (uint64_t i = monitor.played - kept; i < monitor.played; ++i)
            result.recent.push_back(monitor.history[i % SimPlayMonitor::kHistory]);
    });
    if (!ok) return std::nullopt;
    return result;
}

}  // namespace

bool SetCardStatus(unsigned card, uint32_t status) {
    return WithFpga(card, [&](SimFpgaState& fpga) { fpga.cardStatus = status; });
}

bool SetVideoInput(unsigned card, VideoInput input) {
    if (input != VideoInput::Pattern && input != VideoInput::Loopback) return false;
    return WithFpga(card, [&](SimFpgaState& fpga) { fpga.videoInput = input; });
}

bool SetAudioInput(unsigned card, AudioInput input) {
    if (input != AudioInput::Tone && input != AudioInput::Loopback) return false;
    return WithFpga(card, [&](SimFpgaState& fpga) { fpga.audioInput = input; });
}

std::optional<uint64_t> CardTimeUs(unsigned card) {
    auto held = Driver().HoldCard(card);
    uint64_t time = 0;
    if (!held || held->WithState([&](SimCardState& state) {
            time = SimFpga(state, held->Config()).CardTimeUs(platform::MonotonicUs());
        }) != ApiSuccess) {
        return std::nullopt;
    }
    return time;
}

bool SetReadDoneNeverRises(unsigned card, bool on) {
    return WithFpga(card, [&](SimFpgaState& fpga) { fpga.readDoneNeverRises = on ? 1 : 0; });
}

bool SetBadRingNumbers(unsigned card, bool on) {
    return WithFpga(card, [&](SimFpgaState& fpga) { fpga.badRingNumbers = on ? 1 : 0; });
}

std::optional<CaptureCounts> VideoCaptureCounts(unsigned card) {
    CaptureCounts counts{};
    if (!WithFpga(card, [&](SimFpgaState& fpga) {
            counts = {fpga.videoCapture.filled, fpga.videoCapture.dropped};
        })) {
        return std::nullopt;
    }
    return counts;
}

std::optional<CaptureCounts> AudioCaptureCounts(unsigned card) {
    CaptureCounts counts{};
    if (!WithFpga(card, [&](SimFpgaState& fpga) {
            counts = {fpga.audioCapture.filled, fpga.audioCapture.dropped};
        })) {
        return std::nullopt;
    }
    return counts;
}

std::optional<PlayedUnits> PlayedVideo(unsigned card) {
    return Played(card, true);
}

std::optional<PlayedUnits> PlayedAudio(unsigned card) {
    return Played(card, false);
}

bool LastPlayedVideoFrame(unsigned card, std::vector<uint8_t>* frame) {
    frame->assign(SimFpgaState::kVideoFrameBytes, 0);
    bool played = false;
    const bool ok = WithFpga(card, [&](SimFpgaState& fpga) {
        played = fpga.playedVideo.played != 0;
        if (played) std::memcpy(frame->data(), SimFpga::LastFrame(fpga), frame->size());
    });
    if (!ok || !played) frame->clear();
    return ok && played;
}

bool LastPlayedAudioBlock(unsigned card, std::vector<uint8_t>* block) {
    block->assign(SimFpgaState::kAudioBlockBytes, 0);
    bool played = false;
    const bool ok = WithFpga(card, [&](SimFpgaState& fpga) {
        played = fpga.playedAudio.played != 0;
        if (played) std::memcpy(block->data(), fpga.lastAudio, block->size());
    });
    if (!ok || !played) block->clear();
    return ok && played;
}

std::optional<uint32_t> PatternFrameNumber(const void* yuy2, size_t size) {
    return SimVideoPattern::Number(static_cast<const uint8_t*>(yuy2), size);
}

uint32_t PlayedChecksum(const void* data, size_t size) {
    return SimFpga::Checksum(static_cast<const uint8_t*>(data), size);
}

// IIC bus and EEPROM.

namespace {

// Runs `f` on the IIC state of a powered-up card; false when there is none.
bool WithIic(unsigned card, const std::function<void(SimIicState&, const SimConfig&)>& f) {
    auto held = Driver().HoldCard(card);
    if (!held) return false;
    const SimConfig config = Driver().Config();
    bool up = false;
    const uint32_t status = held->WithState([&](SimCardState& state) {
        up = state.iic.poweredUp != 0;
        if (up) f(state.iic, config);
    });
    return status == ApiSuccess && up;
}

bool LoadEeprom(unsigned card, const uint8_t (&image)[SimEeprom::kSize]) {
    bool stored = false;
    const bool reached = WithIic(card, [&](SimIicState& iic, const SimConfig&) {
        SimEeprom eeprom(iic.eeprom);
        eeprom.Load(image);
        stored = eeprom.Persisted() || eeprom.Path().empty();
    });
    return reached && stored;
}

}  // namespace

bool LoadErasedEeprom(unsigned card) {
    uint8_t image[SimEeprom::kSize];
    std::memset(image, 0xFF, sizeof(image));
    return LoadEeprom(card, image);
}

bool LoadEepromImage(unsigned card, const EepromImage& image) {
    uint8_t bytes[SimEeprom::kSize];
    std::memcpy(bytes, image.data(), sizeof(bytes));
    return LoadEeprom(card, bytes);
}

std::optional<EepromImage> ReadEepromImage(unsigned card) {
    EepromImage image{};
    if (!WithIic(card, [&](SimIicState& iic, const SimConfig&) {
            std::memcpy(image.data(), iic.eeprom.bytes, image.size());
        })) {
        return std::nullopt;
    }
    return image;
}

std::optional<std::string> EepromFilePath(unsigned card) {
    std::string path;
    if (!WithIic(card, [&](SimIicState& iic, const SimConfig&) {
            path = SimEeprom(iic.eeprom).Path();
        })) {
        return std::nullopt;
    }
    return path;
}

bool SetIicBusyStuck(unsigned card, bool on) {
    return WithIic(card, [&](SimIicState& iic, const SimConfig&) { iic.busyStuck = on ? 1 : 0; });
}

bool SetIicSecondBusyStuck(unsigned card, bool on) {
    return WithIic(card,
                   [&](SimIicState& iic, const SimConfig&) { iic.secondBusyStuck = on ? 1 : 0; });
}

bool SetIicDeviceAbsent(unsigned card, uint8_t address, bool absent) {
    return WithIic(card, [&](SimIicState& iic, const SimConfig& config) {
        SimIicBus(iic, config, card).SetDeviceAbsent(address, absent);
    });
}

std::vector<IicTransfer> IicTransferLog(unsigned card) {
    // Sized before taking the lock: the ring never holds more than this.
    std::vector<IicTransfer> log(SimIicState::kTransferLogCapacity);
    size_t kept = 0;
    WithIic(card, [&](SimIicState& iic, const SimConfig& config) {
        kept = SimIicBus(iic, config, card).CopyTransferLog(log.data(), log.size());
    });
    log.resize(kept);
    return log;
}

bool ClearIicTransferLog(unsigned card) {
    return WithIic(card, [&](SimIicState& iic, const SimConfig& config) {
        SimIicBus(iic, config, card).ClearTransferLog();
    });
}

// Video chips and the audio codec.

namespace {

bool IsChip(SimIicChip chip) {
    return static_cast<unsigned>(chip) < SimIicState::kChipCount;
}

}  // namespace

bool SetVideoSignal(unsigned card, SimIicChip chip, uint8_t inputCode, bool connected) {
    if (!IsChip(chip)) return false;
    return WithIic(card, [&](SimIicState& iic, const SimConfig&) {
        SimChips(iic.bench).SetSignal(chip, inputCode, connected);
    });
}

bool SetAllVideoSignals(unsigned card, bool connected) {
    return WithIic(card, [&](SimIicState& iic, const SimConfig&) {
        SimChips(iic.bench).SetAllSignals(connected);
    });
}

bool PlaceIicChip(unsigned card, SimIicChip chip, uint8_t address) {
    if (!IsChip(chip)) return false;
    bool placed = false;
    const bool reached = WithIic(card, [&](SimIicState& iic, const SimConfig& config) {
        placed = SimIicBus(iic, config, card).PlaceChip(chip, address);
    });
    return reached && placed;
}

std::optional<uint8_t> IicChipAddress(unsigned card, SimIicChip chip) {
    if (!IsChip(chip)) return std::nullopt;
    uint8_t address = 0;
    if (!WithIic(card, [&](SimIicState& iic, const SimConfig& config) {
            address = SimIicBus(iic, config, card).ChipAddress(chip);
        })) {
        return std::nullopt;
    }
    return address;
}

std::optional<std::array<uint8_t, 256>> IicChipRegisters(unsigned card, SimIicChip chip) {
    if (!IsChip(chip)) return std::nullopt;
    std::array<uint8_t, 256> registers{};
    if (!WithIic(card, [&](SimIicState& iic, const SimConfig&) {
            std::memcpy(registers.data(), iic.chips[static_cast<unsigned>(chip)], registers.size());
        })) {
        return std::nullopt;
    }
    return registers;
}

std::optional<uint8_t> Tvp5147IndirectByte(unsigned card, uint32_t address) {
    std::optional<uint8_t> value;
    WithIic(card, [&](SimIicState& iic, const SimConfig&) {
        value = SimChipTvp5147::IndirectByte(iic.bench, address);
    });
    return value;
}

bool SetIicRegisterStuck(unsigned card, uint8_t address, uint8_t reg,
                         std::optional<uint8_t> value) {
    bool set = false;
    const bool reached = WithIic(card, [&](SimIicState& iic, const SimConfig&) {
        set = SimChips(iic.bench).SetStuck(address, reg, value.has_value(), value.value_or(0));
    });
    return reached && set;
}

std::optional<SimAudioCodecRegisters> AudioCodecRegisters(unsigned card) {
    SimAudioCodecRegisters registers{};
    if (!WithIic(card, [&](SimIicState& iic, const SimConfig&) { registers = iic.l3.codec; })) {
        return std::nullopt;
    }
    return registers;
}

std::vector<SimL3Transfer> L3TransferLog(unsigned card) {
    // Sized before taking the lock: the ring never holds more than this.
    std::vector<SimL3Transfer> log(SimL3State::kLogCapacity);
    size_t kept = 0;
    WithIic(card, [&](SimIicState& iic, const SimConfig&) {
        kept = SimAudioCodec(iic.l3).CopyLog(log.data(), log.size());
    });
    log.resize(kept);
    return log;
}

bool ClearL3TransferLog(unsigned card) {
    return WithIic(card,
                   [&](SimIicState& iic, const SimConfig&) { SimAudioCodec(iic.l3).ClearLog(); });
}

// ASI engine.

namespace {

// Runs `f` on the card's ASI engine, brought up to the present; false when
// the card is not there or not powered up.
bool WithAsi(unsigned card, const std::function<void(SimAsiEngine&, SimAsiState&)>& f) {
    auto held = Driver().HoldCard(card);
    if (!held) return false;
    bool up = false;
    const uint32_t status = held->WithState([&](SimCardState& state) {
        up = state.asi.poweredUp != 0;
        if (!up) return;
        SimAsiEngine engine(state.asi, state.bar3, state.memory, held->Config(), card);
        f(engine, state.asi);
    });
    return status == ApiSuccess && up;
}

}  // namespace

bool SetAsiInput(unsigned card, SimAsiSource source, const std::string& file) {
    bool done = false;
    const bool reached = WithAsi(card, [&](SimAsiEngine& engine, SimAsiState&) {
        done = engine.SetSource(source, file.c_str());
    });
    return reached && done;
}

bool SetAsiInputRate(unsigned card, uint32_t bitsPerSecond) {
    if (bitsPerSecond != 0 &&
        (bitsPerSecond < SimConfig::kMinAsiRate || bitsPerSecond > SimConfig::kMaxAsiRate)) {
        return false;
    }
    return WithAsi(
        card, [&](SimAsiEngine& engine, SimAsiState&) { engine.SetRateOverride(bitsPerSecond); });
}

std::optional<uint32_t> AsiInputRate(unsigned card) {
    uint32_t rate = 0;
    if (!WithAsi(card, [&](SimAsiEngine& engine, SimAsiState&) { rate = engine.InputRate(); })) {
        return std::nullopt;
    }
    return rate;
}

std::optional<SimAsiSource> AsiInput(unsigned card) {
    SimAsiSource source = SimAsiSource::None;
    if (!WithAsi(card, [&](SimAsiEngine&, SimAsiState& asi) { source = asi.source; })) {
        return std::nullopt;
    }
    return source;
}

bool SetAsiReceivedCount(unsigned card, uint32_t count) {
    return WithAsi(card, [&](SimAsiEngine&, SimAsiState& asi) {
        asi.countBase = count - static_cast<uint32_t>(asi.captured + asi.overflows);
    });
}

std::optional<AsiInputCounts> AsiCaptureCounts(unsigned card) {
    AsiInputCounts counts{};
    if (!WithAsi(card, [&](SimAsiEngine&, SimAsiState& asi) {
            counts = {asi.captured, asi.overflows, asi.arrivals, asi.sourceOrigin};
        })) {
        return std::nullopt;
    }
    return counts;
}

std::optional<PlayedAsi> PlayedAsiPackets(unsigned card) {
    PlayedAsi result;
    // Sized before taking the card's lock.
    result.recent.reserve(SimAsiState::kMonitorCapacity);
    const bool ok = WithAsi(card, [&](SimAsiEngine&, SimAsiState& asi) {
        result.played = asi.sent;
        const uint64_t kept = std::min<uint64_t>(asi.sent, SimAsiState::kMonitorCapacity);
        for (uint64_t i = asi.sent - kept; i < asi.sent; ++i)
            result.recent.push_back(asi.monitor[i % SimAsiState::kMonitorCapacity]);
    });
    if (!ok) return std::nullopt;
    return result;
}

bool SetAsiOutputTap(unsigned card, const std::string& path) {
    if (path.size() >= SimAsiState::kPathCapacity) return false;
    std::error_code error;
    const uint64_t size = path.empty() ? 0 : std::filesystem::file_size(path, error);
    return WithAsi(card, [&](SimAsiEngine&, SimAsiState& asi) {
        std::memset(asi.tapPath, 0, sizeof(asi.tapPath));
        std::memcpy(asi.tapPath, path.data(), path.size());
        asi.tapEnd = error ? 0 : size;
    });
}

std::vector<SimAsiPlayedPacket> ReadAsiOutputTap(const std::string& path) {
    std::vector<SimAsiPlayedPacket> records;
    FILE* tap = std::fopen(path.c_str(), "rb");
    if (tap == nullptr) return records;
    SimAsiPlayedPacket record;
    while (std::fread(&record, sizeof(record), 1, tap) == 1)
        records.push_back(record);
    std::fclose(tap);
    return records;
}

bool SetAsiInvalidStatus(unsigned card, bool on) {
    return WithAsi(card, [&](SimAsiEngine&, SimAsiState& asi) { asi.invalidStatus = on ? 1 : 0; });
}

bool SetAsiInputFault(unsigned card, SimAsiInputFaultKind kind, uint32_t pid, uint32_t first,
                      uint32_t interval, uint32_t count) {
    if (pid > 0x1FFF) return false;
    return WithAsi(card, [&](SimAsiEngine&, SimAsiState& asi) {
        asi.inputFault = {kind, pid, first, interval, count, 0, 0};
    });
}

std::optional<uint32_t> AsiInputFaultHits(unsigned card) {
    uint32_t hits = 0;
    if (!WithAsi(card, [&](SimAsiEngine&, SimAsiState& asi) { hits = asi.inputFault.hit; })) {
        return std::nullopt;
    }
    return hits;
}

std::optional<uint32_t> AsiOutputMode(unsigned card) {
    uint32_t mode = 0;
    if (!WithAsi(card, [&](SimAsiEngine& engine, SimAsiState&) { mode = engine.OutputMode(); })) {
        return std::nullopt;
    }
    return mode;
}

void ReleaseCards() {
    Driver().ReleaseCards();
}

}  // namespace velmora::sim
