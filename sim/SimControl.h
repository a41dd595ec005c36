#pragma once

// The simulated cards' control panel, for tests and benchmarks: what a test
// bench would do to a real card (change its identity, stop its clock, break
// its DMA engine, watch its register bus). Nothing in the SDK calls it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
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
// Whether no process holds the card's lock now: a process stopped inside a
// request on the card holds up the card for every process.
bool CardLockFree(unsigned card);
std::optional<uint64_t> FieldCount(unsigned card);

// The fault strikes once `transfersFirst` more transfers of the channel have
// gone through untouched.
bool SetDmaFault(unsigned card, unsigned channel, DmaFault fault, uint32_t transfersFirst = 0);

// The register-write log keeps the last 4096 BAR-3 writes made while it is
// enabled, oldest first.
bool EnableRegisterWriteLog(unsigned card, bool enable);
bool ClearRegisterWriteLog(unsigned card);
std::vector<RegisterWrite> RegisterWriteLog(unsigned card);
// Runs `hook` once, on the thread of this process that next writes BAR-3
// register `offset`, once that write has reached the card and before its
// request returns; the card is free meanwhile, so whatever the hook has done
// (another process's open, say) lies between that write and the writer's
// next step. A later call replaces a hook that has not run.
bool RunAfterNextRegisterWrite(unsigned card, uint32_t offset, std::function<void()> hook);
// The same after the next write (or, without `write`, read) of any register:
// a hook that steps the clock makes the card run on between two accesses of
// a process, as it does for a process that is slow or descheduled there.
bool RunAfterNextRegisterAccess(unsigned card, bool write, std::function<void()> hook);
// Runs `hook` once, in this process, half-way through the next step of the
// ASI engine that this process runs and that plays a packet (`output`) or
// captures several, with the card's lock held: a hook that raises SIGKILL
// leaves the card as a holder killed there leaves it.
bool RunInsideNextAsiStep(unsigned card, bool output, std::function<void()> hook);

// BAR-3 registers and card memory as they are, without the register model or
// the log.
std::optional<uint32_t> PeekRegister(unsigned card, uint32_t offset);
bool PokeRegister(unsigned card, uint32_t offset, uint32_t value);
bool PeekMemory(unsigned card, uint32_t address, void* data, size_t size);
bool PokeMemory(unsigned card, uint32_t address, const void* data, size_t size);

// FPGA: card status, card time, the port-0 frame rings and their test
// signals.
//
// Card time runs in microseconds from the card's creation; the FPGA's counters
// (0x158/0x15C, 0x160/0x164), its latched clock (0x68/0x100) and the capture
// stamps give it in 10 µs ticks. With the manual clock it moves only with
// StepFields: N fields are N field periods (20 ms PAL, 1001/60 ms NTSC).
// Frames begin at every even field: there video capture fills one unit of
// its ring when enabled (or counts a drop when the ring is full), and video
// playback plays its next queued unit when that unit is due. Frame boundary k
// lies at field 2k and is the card frame number of what happens there. Audio
// runs on a clock of its own, in either video standard: audio block boundary
// b lies at card time b x 40 ms, and there audio capture and playback do the
// same with their rings. A queued unit is due at the first boundary at or
// after its stamp (10 µs ticks as the host wrote it, taken as signed: one
// already past is due at once); until then the units behind it wait in the
// ring, the video output goes on showing the last frame played and the audio
// output is silent.
//
// The `pattern` video source gives moving colour bars in the card's 720 x 576
// YUY2 frame. The card frame number (low 32 bits) at which a frame was
// captured sits in the luma bytes of its first 32 pixels of the top row, most
// significant bit first: luma 235 for a 1 and 16 for a 0 (chroma bytes 128);
// PatternFrameNumber reads it back. The `loopback` source gives the last frame
// played (black before the first), one frame after it was played.
//
// The audio capture ring gets 16,384-byte blocks of a stereo test tone at
// 27,000,000 / 512 Hz (1 kHz left in the low half of each word, 2 kHz right
// in the high half, amplitude 8192): block b holds 2,109 or 2,110 pairs (2,110
// when b mod 8 is 2, 5 or 7) and zeros after them; unit k of the ring holds
// the blocks with b mod 8 = k.
//
// The `loopback` audio input gives the capture blocks, with the same pair
// counts, what the audio output played, as a cable would: each played block
// puts its pairs on the cable (2,109 or 2,110 by the cycle position its
// control word 0xEC gives: what the host's resampler makes of a 48 kHz frame
// there), and each audio block boundary takes a capture block's worth off,
// captured or not. The cable delivers once it holds a block and 4 pairs more,
// so what is played comes back about two blocks later; silence before that
// and after playback stops.

// What 0x14 reads (default 0).
bool SetCardStatus(unsigned card, uint32_t status);
bool SetVideoInput(unsigned card, VideoInput input);
// `Tone` after power-up.
bool SetAudioInput(unsigned card, AudioInput input);
std::optional<uint64_t> CardTimeUs(unsigned card);
// Fault knobs. Bit 29 (done) of the four port-0 ring status words never
// rises: neither a capture read request nor a playback flush is answered.
bool SetReadDoneNeverRises(unsigned card, bool on);
// The write and read numbers of the four port-0 ring status words read 8 more
// than they are (8 to 15).
bool SetBadRingNumbers(unsigned card, bool on);

struct CaptureCounts {
    uint64_t filled;   // units filled since power-up
    uint64_t dropped;  // frames (blocks) lost to a full ring since power-up
};
std::optional<CaptureCounts> VideoCaptureCounts(unsigned card);
std::optional<CaptureCounts> AudioCaptureCounts(unsigned card);

// What a playback ring played: the count since power-up and the latest units
// (at most SimPlayMonitor::kHistory), oldest first. Each unit gives its ring
// index, the stamp latched with it (10 µs ticks, as the host wrote it), the
// audio control word latched with it, the boundary it was played at (video:
// the card frame number; audio: the block number) and the PlayedChecksum of
// its bytes (829,440 a frame, 16,384 a block).
struct PlayedUnits {
    uint64_t played = 0;
    std::vector<SimPlayedUnit> recent;
};
std::optional<PlayedUnits> PlayedVideo(unsigned card);
std::optional<PlayedUnits> PlayedAudio(unsigned card);
// The bytes of the last frame (block) played; false when none was played yet.
bool LastPlayedVideoFrame(unsigned card, std::vector<uint8_t>* frame);
bool LastPlayedAudioBlock(unsigned card, std::vector<uint8_t>* block);

// The frame number a `pattern` frame carries; nothing when the first pixels do
// not hold the code. Also reads frames that went through a colour conversion
// and back.
std::optional<uint32_t> PatternFrameNumber(const void* yuy2, size_t size);
// The checksum of the played-unit monitors: FNV-1a over 64-bit
// little-endian words (then the bytes left over), folded to 32 bits.
uint32_t PlayedChecksum(const void* data, size_t size);

// IIC bus and EEPROM.
//
// The EEPROM at 0xA0 keeps its 256 bytes in "card<N>.eeprom" in the state
// folder (VELMORA_SIM_STATE_DIR) of the process that powered the card up; every
// byte written reaches the file before the write returns. A card powered up
// without a usable image file (missing, not exactly 256 bytes long, unreadable)
// gets the factory image, which replaces the file: board version 0x00020100 at
// bytes 124-127 (little-endian, so a 0x5110 card has its encoder at 0x56), an
// identity record of format 1 at bytes 240-252 whose serial number is
// 0x56531000 + N for card N, the board's factory settings at bytes 56-69 and
// 176-187, and 0xFF (erased) everywhere else.
using EepromImage = std::array<uint8_t, SimEeprom::kSize>;
// Both replace the whole image and its file; false when the file could not be
// written (the card's EEPROM holds the new image all the same).
bool LoadErasedEeprom(unsigned card);
bool LoadEepromImage(unsigned card, const EepromImage& image);
std::optional<EepromImage> ReadEepromImage(unsigned card);
// The image file in use; empty when the EEPROM lives in memory only.
std::optional<std::string> EepromFilePath(unsigned card);

// Fault knobs of the byte engine at 0x60. A stuck busy bit (bit 9) or second
// busy bit (bit 15) reads 1 until released, and the engine takes no command
// meanwhile: the library's 1000-poll waits run out, its reads give 0xFF and
// its writes are lost. An absent device (8-bit address, read bit ignored)
// does not answer: it reads 0xFF and loses what is written to it.
bool SetIicBusyStuck(unsigned card, bool on);
bool SetIicSecondBusyStuck(unsigned card, bool on);
bool SetIicDeviceAbsent(unsigned card, uint8_t address, bool absent);

// The last SimIicState::kTransferLogCapacity register bytes moved over the
// bus (EEPROM and chips, also to absent devices), oldest first, each with the
// monotonic time it moved at (platform::MonotonicUs), so that the order of a
// table and the pauses within it show.
std::vector<IicTransfer> IicTransferLog(unsigned card);
bool ClearIicTransferLog(unsigned card);

// Video chips and the audio codec.
//
// The chip models behind the IIC bus are register files with these
// behaviours:
// - Input status, from the analog input the chip has selected and the card's
//   signal table (every input of every chip has a signal after power-up):
//   ADV7180 register 0x10 reads 0x01 with a signal, 0x00 without; TVP5147
//   register 0x3A reads 0x06 with a signal, 0x00 without; SAA7113 register
//   0x1F reads 0x00 with a signal, 0x40 without. Writes to them are lost.
// - The TVP5147's indirect store: registers 0xE8, 0xE9 and 0xEA (least
//   significant first) hold a 24-bit internal address, kept as written; a
//   write of 0xE0 stores its byte at that address and a read of 0xE0 gives
//   the byte stored there (0 when none was). The address does not move.
// - Every other register, the chips' self-test registers among them (ADV7180
//   0xE8, TVP5147 0xE8, SAA7113 0x05, ADV7343 0x84, SAA7128 0x26, SAA7105
//   0x26), reads back what was last written, 0 after power-up.
//
// The signal table is keyed by the chip's analog input code, the value of
// its input-select field: ADV7180 register 0x00 bits 0-3, TVP5147 register
// 0x00 (all 8 bits), SAA7113 register 0x02 bits 0-3. The drivers' input
// selections (the low nibble of the board's video source code) reach them
// as follows:
//   ADV7180  code 8            -> 0x00, composite on AIN1
//            code 0 (at 0x40)  -> 0x01, composite on AIN2
//            codes 7, 9, and 0 on the decoder at 0x42
//                              -> 0x03, composite on AIN4
//            code 10           -> 0x04, composite on AIN5
//            code 1            -> 0x08, S-video (Y/C)
//            code 2            -> 0x09, component (YPrPb)
//   TVP5147  code 0 -> 0x0C composite; code 1 -> 0x55 S-video;
//            code 2 -> 0x96 component
//   SAA7113  code 0 -> 0x00 (input mode 0) or 0x03 (input mode 3),
//            composite; code 1 -> 0x09 S-video (Y/C)
// Codes a chip does not take (3 everywhere, and 7 to 10 on the TVP5147 and
// SAA7113) leave its selection where it was.
bool SetVideoSignal(unsigned card, SimIicChip chip, uint8_t inputCode, bool connected);
bool SetAllVideoSignals(unsigned card, bool connected);

// The SAA7113 and SAA7105 sit on no board of this card: placing one puts its
// model on the bus at `address` (8-bit form; the read bit is ignored), for
// their drivers' tests. A board chip placed elsewhere answers only there.
// Address 0 puts a chip back where the board carries it (the SAA7113 and
// SAA7105: nowhere). A placed chip answers before a board chip at the same
// address. False for the EEPROM's address 0xA0.
bool PlaceIicChip(unsigned card, SimIicChip chip, uint8_t address);
// Where the chip answers now; 0 when it is on the bus nowhere.
std::optional<uint8_t> IicChipAddress(unsigned card, SimIicChip chip);

// A chip's register file as it stands, without the bus, the log or the
// computed registers (input status, the indirect store's data register).
std::optional<std::array<uint8_t, 256>> IicChipRegisters(unsigned card, SimIicChip chip);
// A byte of the TVP5147's indirect store; nothing when none was stored at
// `address` (24 bits).
std::optional<uint8_t> Tvp5147IndirectByte(unsigned card, uint32_t address);

// Fault knob: register `reg` of the chip answering at `address` ignores
// writes and reads `value` (the bus still acknowledges it, and the transfer
// log shows what the master wrote and what the chip sent). std::nullopt
// releases it. At most 8 registers per card are stuck at once: false beyond.
// A self-test on a stuck test register fails, and so does one on a chip
// made absent with SetIicDeviceAbsent.
bool SetIicRegisterStuck(unsigned card, uint8_t address, uint8_t reg, std::optional<uint8_t> value);

// The UDA1345TS on the L3 lines of FPGA register 0x6C (bit 0 mode, bit 1
// clock, bit 2 data, bit 3 auxiliary; whatever the host writes there also
// reads back). Each rising clock edge takes the data bit, least significant
// bit first, into an address byte while mode is low and into a data byte
// while it is high; a change of the mode line starts a new byte (so a mode
// low-high pulse with the clock high separates data bytes) and logs a byte
// it cuts short with its bit count, untaken: the codec driver's first
// raising of the clock after power-up, with mode high, is such a byte. An address byte whose
// bits 7..2 are 5 selects the codec: 0x14 for data, 0x16 for its status register; any other address
// deselects it until the next address byte. Data bytes after 0x14 go to data register 0-3 by their
// top two bits (00, 01, 10, 11), each byte whole; bytes after 0x16 go to the status register whole.
// After power-up every register is 0.
std::optional<SimAudioCodecRegisters> AudioCodecRegisters(unsigned card);
// The last SimL3State::kLogCapacity bytes the L3 lines carried, oldest first,
// each with the monotonic time of its last bit.
std::vector<SimL3Transfer> L3TransferLog(unsigned card);
bool ClearL3TransferLog(unsigned card);

// ASI engine.
//
// The input ring fills while block C bit 4 is set and the source gives a
// signal; the output ring drains as card time passes, each entry lasting
// P + (P - 1) x H + L + 2 byte times at 27,000,000 bytes/s. The `generator`
// and file sources deliver one 188-byte packet every 4000 ticks of 27 MHz
// (6,750 packets/s); `loopback` gives each packet the output plays when it has
// been played. Packets that find the input ring full are lost and counted.
// The built-in stream is described in sim/SimTsGenerator.h. A file source
// plays the packets found in the file (188-byte packets, resynchronised on
// 0x47, garbage skipped), from the first packet on when it is selected, in a
// loop; a file without packets, or one that cannot be read, gives no signal
// (VELMORA_SIM_ASI_INPUT naming such a file is reported on standard error). A
// file arrives at its own multiplex rate, measured between the first and the
// last PCR of its first PCR PID; a file without PCRs and the generator at
// 6,750 packets a second (SimAsiEngine::kDefaultInputRate bits a second).
// VELMORA_SIM_ASI_RATE, or SetAsiInputRate, sets the rate for both.

// Switches the input at run time; `None` pulls the cable (no signal). File
// needs a readable file; false and no change otherwise.
bool SetAsiInput(unsigned card, SimAsiSource source, const std::string& file = {});
std::optional<SimAsiSource> AsiInput(unsigned card);
// Bits a second from now on for the generator and files; 0 gives each source
// its own rate again. False outside SimConfig's kMinAsiRate to kMaxAsiRate.
bool SetAsiInputRate(unsigned card, uint32_t bitsPerSecond);
// The rate at which the input delivers now, in bits a second.
std::optional<uint32_t> AsiInputRate(unsigned card);

struct AsiInputCounts {
    uint64_t captured;   // packets written into the input ring since power-up
    uint64_t overflows;  // packets lost to a full input ring since power-up
    // Source packets that have arrived at the input, on or off, and the one
    // at which the source in use started.
    uint64_t arrivals;
    uint64_t sourceOrigin;
};
std::optional<AsiInputCounts> AsiCaptureCounts(unsigned card);
// Sets the card's 32-bit count of packets received (latched into 0x54), as a
// card that has run for long has it: near 2^32, it wraps soon.
bool SetAsiReceivedCount(unsigned card, uint32_t count);

// What the output played: the count since power-up and the latest packets (at
// most SimAsiState::kMonitorCapacity), oldest first.
struct PlayedAsi {
    uint64_t played = 0;
    std::vector<SimAsiPlayedPacket> recent;
};
std::optional<PlayedAsi> PlayedAsiPackets(unsigned card);

// Output tap: every packet the ASI output plays from now on is appended to
// `path` as a SimAsiPlayedPacket record; an empty path stops the tap.
bool SetAsiOutputTap(unsigned card, const std::string& path);
// The records of a tap file, in the order played.
std::vector<SimAsiPlayedPacket> ReadAsiOutputTap(const std::string& path);

// Fault knob: the ASI status nibble reads 0xA, which is no status the library
// takes for a signal, whatever the input.
bool SetAsiInvalidStatus(unsigned card, bool on);
// Fault knob: chosen packets of one PID arriving from the generator or a file
// are dropped, duplicated, or arrive with a bad sync byte or the transport
// error bit (see SimAsiInputFault). Setting it restarts the packet numbering
// and the hit count; kind None turns it off.
bool SetAsiInputFault(unsigned card, SimAsiInputFaultKind kind, uint32_t pid, uint32_t first,
                      uint32_t interval, uint32_t count);
// Packets the knob has hit since it was set.
std::optional<uint32_t> AsiInputFaultHits(unsigned card);
// The output mode the host last set (C bit 6 before FPGA 0x50103, 0x170 bit 5
// from it). It changes nothing in what the simulated output plays.
std::optional<uint32_t> AsiOutputMode(unsigned card);

// Lets go of every card attached by this API; a card that no process has open
// then disappears, as a card does when its machine is switched off.
void ReleaseCards();

}  // namespace velmora::sim
