#include "sim/SimControl.h"

#include "hw/PlxTypes.h"
#include "sim/SimDriver.h"

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

std::optional<uint64_t> FieldCount(unsigned card) {
    auto held = Driver().HoldCard(card);
    uint64_t count = 0;
    bool enabled = false;
    if (!held || held->FieldState(&count, &enabled) != ApiSuccess) return std::nullopt;
    return count;
}

bool SetDmaFault(unsigned card, unsigned channel, DmaFault fault) {
    auto held = Driver().HoldCard(card);
    return held && held->SetDmaFault(channel, fault) == ApiSuccess;
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

void ReleaseCards() {
    Driver().ReleaseCards();
}

}  // namespace velmora::sim
