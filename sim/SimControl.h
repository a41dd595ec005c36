#pragma once

// The simulated cards' control panel, for tests and benchmarks: what a test
// bench would do to a real card (change its identity, stop its clock, break
// its DMA engine, watch its register bus). Nothing in the SDK calls it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/SimCard.h"
#include "sim/SimConfig.h"

namespace velmora::sim {

// Driver and machine, for this process.

// Re-reads the VELMORA_SIM_* configuration, puts every knob of this section
// back to its default, lets go of the cards held by this API and sets the
// number of cards. False while this process has a device open, or for more
// than SimConfig::kMaxCards cards.
bool SetCardCount(unsigned count);
unsigned CardCount();
// The version the driver reports (default 0x00060301).
void SetDriverVersion(uint32_t version);
// The row of the driver-name table whose device names the driver answers
// (default 10, "TQDDASI"). Devices already open keep working. False for a row
// past the table.
bool SetDriverRow(unsigned row);
// Configuration word 0 of bus 0, slot 0, function 0 (default 0x29A08086).
void SetHostChipsetWord(uint32_t word);

// Card identity: for cards created from now on and for those this process
// has attached.
void SetBoardId(uint32_t id);
void SetFpgaVersion(uint32_t version);

// Per card. Each of these attaches the card when this process has not, and
// keeps it attached (so what is set here stays) until ReleaseCards or
// SetCardCount. They fail for a card number at or past the card count.

// Switching keeps the field count where it stands.
bool SetClockMode(unsigned card, ClockMode mode);
// Manual clock only.
bool StepFields(unsigned card, uint64_t fields);
std::optional<uint64_t> FieldCount(unsigned card);

bool SetDmaFault(unsigned card, unsigned channel, DmaFault fault);

// The register-write log keeps the last 4096 BAR-3 writes made while it is
// enabled, oldest first.
bool EnableRegisterWriteLog(unsigned card, bool enable);
bool ClearRegisterWriteLog(unsigned card);
std::vector<RegisterWrite> RegisterWriteLog(unsigned card);

// BAR-3 registers and card memory as they are, without the register model or
// the log.
std::optional<uint32_t> PeekRegister(unsigned card, uint32_t offset);
bool PokeRegister(unsigned card, uint32_t offset, uint32_t value);
bool PeekMemory(unsigned card, uint32_t address, void* data, size_t size);
bool PokeMemory(unsigned card, uint32_t address, const void* data, size_t size);

// Lets go of every card attached by this API; a card that no process has open
// then disappears, as a card does when its machine is switched off.
void ReleaseCards();

}  // namespace velmora::sim
