#include "record/ProgramStreamWriter.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "record/BitStream.h"

namespace velmora::record {

namespace {

// Writes the bytes composed in `buffer` as one item.
bool WriteComposed(CBufferedFile* file, uint8_t* buffer) {
    const int32_t bytes = GetBitStreamBytes();
    return CBufferedFile::Write(buffer, bytes, 1, file) == 1;
}

// A 33-bit time stamp as 3 + 15 + 15 bits, each part followed by a marker.
void PutTimeStamp(uint64_t value) {
    PutBits(static_cast<uint32_t>((value >> 30) & 0x7), 3);
    PutBits(1, 1);
    PutBits(static_cast<uint32_t>((value >> 15) & 0x7FFF), 15);
    PutBits(1, 1);
    PutBits(static_cast<uint32_t>(value & 0x7FFF), 15);
    PutBits(1, 1);
}

}  // namespace

void PsWriterMessage(const char* /*text*/, uint32_t /*value*/) {}

bool WritePackHeader(CBufferedFile* file, int64_t scr) {
    uint8_t buffer[32];
    InitBitStream(buffer, sizeof(buffer), 1);
    const uint64_t base = static_cast<uint64_t>(scr / 300);
    const uint32_t extension = static_cast<uint32_t>(scr % 300);
    PutBits(0x000001BA, 32);
    PutBits(1, 2);
    PutTimeStamp(base);
    PutBits(extension, 9);
    PutBits(1, 1);
    PutBits(kProgramMuxRate, 22);
    PutBits(1, 1);
    PutBits(1, 1);
    PutBits(0x1F, 5);
    PutBits(0, 3);
    return WriteComposed(file, buffer);
}

bool WriteSystemHeader(CBufferedFile* file, uint32_t videoStreamId, uint32_t videoBoundScale,
                       uint32_t videoSizeBound, uint32_t audioStreamId, uint32_t audioBoundScale,
                       uint32_t audioSizeBound) {
    uint8_t buffer[32];
    InitBitStream(buffer, sizeof(buffer), 1);
    const uint32_t streams = (videoStreamId != 0 ? 1 : 0) + (audioStreamId != 0 ? 1 : 0);
    PutBits(0x000001BB, 32);
    PutBits(6 + 3 * streams, 16);
    PutBits(1, 1);
    PutBits(kProgramMuxRate, 22);
    PutBits(1, 1);
    PutBits(1, 6);  // audio_bound
    PutBits(0, 1);  // fixed_flag
    PutBits(0, 1);  // CSPS_flag
    PutBits(1, 1);  // system_audio_lock_flag
    PutBits(1, 1);  // system_video_lock_flag
    PutBits(1, 1);
    PutBits(1, 5);  // video_bound
    PutBits(0, 1);  // packet_rate_restriction_flag
    PutBits(0x7F, 7);
    const auto putStream = [](uint32_t id, uint32_t scale, uint32_t bound) {
        PutBits(id, 8);
        PutBits(3, 2);
        PutBits(scale, 1);
        PutBits(bound, 13);
    };
    if (videoStreamId != 0) putStream(videoStreamId, videoBoundScale, videoSizeBound);
    if (audioStreamId != 0) putStream(audioStreamId, audioBoundScale, audioSizeBound);
    return WriteComposed(file, buffer);
}

bool WritePaddingPacket(CBufferedFile* file, uint32_t totalLength) {
    if (totalLength < kPaddingPacketMin || totalLength > kPaddingPacketMax) return false;
    uint8_t head[6];
    InitBitStream(head, sizeof(head), 1);
    PutBits(0x000001BE, 32);
    PutBits(totalLength - 6, 16);
    if (!WriteComposed(file, head)) return false;
    // Most packs end in one: the stuffing goes out in blocks.
    static const auto kStuffing = [] {
        std::array<uint8_t, 512> block{};
        block.fill(0xFF);
        return block;
    }();
    for (uint32_t left = totalLength - 6; left != 0;) {
        const uint32_t n = std::min<uint32_t>(left, kStuffing.size());
        if (CBufferedFile::Write(kStuffing.data(), 1, n, file) != n) return false;
        left -= n;
    }
    return true;
}

void BuildPesHeader(uint8_t* destination, uint8_t streamId, uint16_t packetLength, uint64_t pts,
                    uint64_t dts) {
    const uint32_t flags = pts == kNoTimeStamp ? 0 : (dts == kNoTimeStamp ? 2 : 3);
    const uint32_t headerDataLength = flags == 0 ? 0 : (flags == 2 ? 5 : 10);
    InitBitStream(destination, 9 + headerDataLength, 1);
    PutBits(0x000001, 24);
    PutBits(streamId, 8);
    PutBits(packetLength, 16);
    PutBits(2, 2);
    PutBits(0, 2);  // PES_scrambling_control
    PutBits(1, 1);  // PES_priority
    PutBits(0, 3);  // data_alignment_indicator, copyright, original_or_copy
    PutBits(flags, 2);
    PutBits(0, 6);
    PutBits(headerDataLength, 8);
    if (flags != 0) {
        PutBits(flags == 2 ? 2 : 3, 4);
        PutTimeStamp(pts);
    }
    if (flags == 3) {
        PutBits(1, 4);
        PutTimeStamp(dts);
    }
}

bool WritePsStart(CBufferedFile* file, uint32_t videoStreamId, uint32_t audioStreamId,
                  uint32_t /*videoPid*/, int32_t audioPid, int64_t scr) {
    if (!WritePackHeader(file, scr)) {
        PsWriterMessage("Couldn't write system pack header!\n", 0);
        return false;
    }
    const bool written =
        audioPid == -1 ? WriteSystemHeader(file, videoStreamId, 1, 4096, 0, 0, 0)
                       : WriteSystemHeader(file, videoStreamId, 1, 4096, audioStreamId, 0, 58);
    if (!written) {
        PsWriterMessage("Couldn't write system header!\n", 0);
        return false;
    }
    const int64_t position = CBufferedFile::Tell(file);
    const int64_t padding = static_cast<int64_t>(kPsStartSize) - position;
    if (padding < kPaddingPacketMin || !WritePaddingPacket(file, static_cast<uint32_t>(padding))) {
        PsWriterMessage("Couldn't write pad buffer!\n", 0);
        return false;
    }
    return true;
}

}  // namespace velmora::record
