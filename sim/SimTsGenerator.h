#pragma once

// The simulated card's built-in transport stream: what a test generator
// cabled to the ASI input would send. Three programs, each an MPEG-2 video
// stream (which carries the program's PCR) and an MPEG-1 Layer II audio
// stream, with PAT, PMTs, SDT and NIT, padded with null packets to a constant
// bit rate. The video decodes as eight vertical colour bars that move on one
// bar every GOP (an I picture, then P pictures that repeat it), each program
// a bar ahead of the one before; the audio is silence.
//
// The stream is a pure function of the packet number, so the card can jump
// over packets it had no room for and every run sees the same bytes at the
// same card time. Packet n leaves the generator at 27 MHz tick n x 4000 and
// its PCR field (where present) carries that tick, counted to the byte that
// ends the PCR base. With 188 bytes every 4000 ticks the rate is
// 188 x 8 x 27,000,000 / 4000 = 10,152,000 bit/s, which is also what any two
// PCRs of one program give.
//
// Layout of one 40 ms frame period (270 packets): PAT, the three PMTs, the
// SDT (every 5th period, else a null packet), the NIT (every 25th period, else
// a null packet), then interleaved the three video PES packets of 70 TS
// packets each, the three audio PES packets of 6 TS packets each and 36 null
// packets.

#include <cstddef>
#include <cstdint>

namespace velmora::sim {

class SimTsGenerator {
  public:
    static constexpr size_t kPacketSize = 188;
    static constexpr uint64_t kTicksPerPacket = 4000;  // 27 MHz ticks
    static constexpr uint64_t kBitRate = 10'152'000;
    static constexpr unsigned kPacketsPerFrame = 270;  // one 40 ms video frame
    static constexpr unsigned kPrograms = 3;

    static constexpr uint16_t kTransportStreamId = 0x0001;
    static constexpr uint16_t kNetworkId = 0xFF01;  // also the original_network_id
    static constexpr uint16_t kPatPid = 0x0000;
    static constexpr uint16_t kNitPid = 0x0010;
    static constexpr uint16_t kSdtPid = 0x0011;
    static constexpr uint16_t kNullPid = 0x1FFF;

    static constexpr unsigned kVideoPacketsPerFrame = 70;
    static constexpr unsigned kAudioPacketsPerFrame = 6;
    static constexpr unsigned kSdtEveryFrames = 5;
    static constexpr unsigned kNitEveryFrames = 25;
    static constexpr unsigned kGopFrames = 12;

    // Program i (0-based) is program number i + 1 with its PMT on
    // 0x100 x (i + 1), video (and PCR) on PMT + 1 and audio on PMT + 2.
    static constexpr uint16_t ProgramNumber(unsigned i) { return static_cast<uint16_t>(i + 1); }
    static constexpr uint16_t PmtPid(unsigned i) { return static_cast<uint16_t>(0x100 * (i + 1)); }
    static constexpr uint16_t VideoPid(unsigned i) { return static_cast<uint16_t>(PmtPid(i) + 1); }
    static constexpr uint16_t AudioPid(unsigned i) { return static_cast<uint16_t>(PmtPid(i) + 2); }

    // Writes the 188 bytes of packet `index` of the stream.
    static void Packet(uint64_t index, uint8_t* out);

    // CRC-32/MPEG-2 (polynomial 0x04C11DB7, initial value all ones, no
    // reflection, no final inversion): the CRC_32 field of PSI/SI sections.
    static uint32_t Crc32(const uint8_t* data, size_t size);
};

}  // namespace velmora::sim
