#include "record/PesPackWriter.h"

#include <algorithm>

#include "record/ProgramStreamWriter.h"

namespace velmora::record {

namespace {

constexpr uint8_t kAc3SubStreamHeader[kAc3SubStreamHeaderSize] = {0x80, 0x01, 0x00, 0x02};
// A last pack this close to full is filled with PES stuffing bytes; one
// further from full gets a padding packet.
constexpr uint32_t kMaxStuffing = 16;

bool WriteBytes(CBufferedFile* file, const void* bytes, uint32_t count, PS_PACK_CLOCK* clock) {
    if (count != 0 && CBufferedFile::Write(bytes, 1, count, file) != count) return false;
    if (clock->countWrites) clock->byteCount += count;
    return true;
}

}  // namespace

int64_t PackClockScr(const PS_PACK_CLOCK& clock) {
    return clock.byteCount * kSystemClockHz / kPackClockBytesPerSecond + clock.base;
}

PesPackResult WritePesPacks(CBufferedFile* file, uint8_t* pes, uint32_t length, uint8_t streamId,
                            bool ac3SubStream, PS_PACK_CLOCK* clock) {
    // The first pack needs the whole header in the collected bytes; the
    // later ones carry a 9-byte header built in front of the rest.
    if (length < kPesHeaderBaseSize || length < pes[8] + kPesHeaderBaseSize || pes[0] != 0 ||
        pes[1] != 0 || pes[2] != 1 || pes[8] > 0xFF - kMaxStuffing)
        return PesPackResult::kMalformed;
    const uint32_t sub = ac3SubStream ? kAc3SubStreamHeaderSize : 0;
    const uint8_t stuffingByte = 0xFF;
    uint32_t off = 0;
    uint64_t written = 0;
    for (;;) {
        uint32_t size = std::min(sub + length + kPackHeaderSize - off, kPackSize);
        uint32_t stuffing = 0;
        if (size < kPackSize && kPackSize - size <= kMaxStuffing) {
            stuffing = kPackSize - size;
            size = kPackSize;
        }
        if (!WritePackHeader(file, PackClockScr(*clock))) return PesPackResult::kWriteError;
        uint8_t* header = pes + off;
        header[3] = streamId;
        const uint32_t pesPacketLength = size - kPackHeaderSize - 6;
        header[4] = static_cast<uint8_t>(pesPacketLength >> 8);
        header[5] = static_cast<uint8_t>(pesPacketLength);
        const uint32_t h = header[8] + kPesHeaderBaseSize;
        header[8] = static_cast<uint8_t>(header[8] + stuffing);
        if (!WriteBytes(file, header, h, clock)) return PesPackResult::kWriteError;
        for (uint32_t i = 0; i < stuffing; ++i)
            if (!WriteBytes(file, &stuffingByte, 1, clock)) return PesPackResult::kWriteError;
        if (!WriteBytes(file, kAc3SubStreamHeader, sub, clock)) return PesPackResult::kWriteError;
        const uint32_t payload = size - h - kPackHeaderSize - stuffing - sub;
        if (CBufferedFile::Write(header + h, 1, payload, file) != payload)
            return PesPackResult::kWriteError;
        written += size;
        if (clock->countWrites) clock->byteCount += size;
        off += h + payload;
        if (off >= length) break;
        off -= kPesHeaderBaseSize;
        BuildPesHeader(pes + off, streamId, 0, kNoTimeStamp, kNoTimeStamp);
    }
    const uint32_t rest = static_cast<uint32_t>(written % kPackSize);
    if (rest != 0) {
        if (!WritePaddingPacket(file, kPackSize - rest)) return PesPackResult::kWriteError;
        if (clock->countWrites) clock->byteCount += kPackSize - rest;
    }
    return PesPackResult::kWritten;
}

}  // namespace velmora::record
