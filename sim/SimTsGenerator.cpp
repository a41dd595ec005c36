#include "sim/SimTsGenerator.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace velmora::sim {

namespace {

using Gen = SimTsGenerator;

constexpr size_t kPayloadSize = 184;
constexpr uint64_t kPtsModulus = uint64_t{1} << 33;
constexpr uint64_t kPcrModulus = kPtsModulus * 300;
// Presentation runs this far (90 kHz) behind arrival, room for the decoder's buffer.
constexpr uint64_t kPresentationDelay = 9000;

// Video: one PES packet per frame, spread over 70 TS packets of which the
// first carries an adaptation field with the PCR.
constexpr size_t kPesHeaderSize = 14;  // start code, length, flags, PTS
constexpr size_t kPcrFieldSize = 8;    // adaptation_field_length, flags, PCR
constexpr size_t kVideoPesSize = Gen::kVideoPacketsPerFrame * kPayloadSize - kPcrFieldSize;
constexpr size_t kVideoEsSize = kVideoPesSize - kPesHeaderSize;
constexpr unsigned kSlicesPerPicture = 576 / 16;
constexpr unsigned kMacroblocksPerSlice = 720 / 16;

// Audio: 48 kHz Layer II at 192 kbit/s, 576-byte frames of 24 ms; each
// 40 ms period carries the next 960 bytes of that stream in one PES packet.
constexpr size_t kAudioFrameSize = 576;
constexpr uint64_t kAudioFrameTicks90k = 2160;
constexpr size_t kAudioBytesPerFrame = 960;
constexpr size_t kAudioPesSize = kPesHeaderSize + kAudioBytesPerFrame;
static_assert(kAudioPesSize > (Gen::kAudioPacketsPerFrame - 1) * kPayloadSize);
static_assert(kAudioPesSize <= Gen::kAudioPacketsPerFrame * kPayloadSize - 2);

constexpr uint8_t kVideoStreamType = 0x02;  // ISO/IEC 13818-2 video
constexpr uint8_t kAudioStreamType = 0x03;  // ISO/IEC 11172-3 audio

enum class Kind : uint8_t { Pat, Pmt, Sdt, Nit, Video, Audio, Null };

struct Slot {
    Kind kind;
    uint8_t program;
    uint8_t sequence;  // packet number within its PES packet
};

struct Schedule {
    std::array<Slot, Gen::kPacketsPerFrame> slots;
};

// The fixed PSI slots first, then the elementary streams and the padding
// interleaved by smooth weighted round robin so each stream is spread evenly
// over the period.
Schedule MakeSchedule() {
    Schedule schedule{};
    unsigned slot = 0;
    schedule.slots[slot++] = {Kind::Pat, 0, 0};
    for (unsigned p = 0; p < Gen::kPrograms; ++p)
        schedule.slots[slot++] = {Kind::Pmt, static_cast<uint8_t>(p), 0};
    schedule.slots[slot++] = {Kind::Sdt, 0, 0};
    schedule.slots[slot++] = {Kind::Nit, 0, 0};

    struct Stream {
        Kind kind;
        uint8_t program;
        int weight;
        int current;
        uint8_t sent;
    };
    std::vector<Stream> streams;
    for (unsigned p = 0; p < Gen::kPrograms; ++p)
        streams.push_back({Kind::Video, static_cast<uint8_t>(p),
                           static_cast<int>(Gen::kVideoPacketsPerFrame), 0, 0});
    for (unsigned p = 0; p < Gen::kPrograms; ++p)
        streams.push_back({Kind::Audio, static_cast<uint8_t>(p),
                           static_cast<int>(Gen::kAudioPacketsPerFrame), 0, 0});
    const int remaining = static_cast<int>(Gen::kPacketsPerFrame - slot);
    int used = 0;
    for (const Stream& s : streams)
        used += s.weight;
    streams.push_back({Kind::Null, 0, remaining - used, 0, 0});

    while (slot < Gen::kPacketsPerFrame) {
        Stream* best = nullptr;
        for (Stream& s : streams) {
            s.current += s.weight;
            if (!best || s.current > best->current) best = &s;
        }
        best->current -= remaining;
        schedule.slots[slot++] = {best->kind, best->program, best->sent++};
    }
    return schedule;
}

// The schedule, the tables and the coded pictures are built while the
// library loads, before any thread runs: built on first use instead, one
// could be under way on another thread when the process forks, and the
// child's first packet would wait for it for ever. They are never
// destroyed: a capturing card asks for packets until the process's end has
// closed it, after statics built later than its open are gone.
const Schedule* const g_pSchedule = new Schedule(MakeSchedule());

const Schedule& TheSchedule() {
    return *g_pSchedule;
}

// Big-endian bit writer for the video headers.
class BitWriter {
  public:
    explicit BitWriter(std::vector<uint8_t>& out) : m_out(out) {}
    void Put(uint32_t value, unsigned bits) {
        for (unsigned i = bits; i-- > 0;) {
            m_acc = static_cast<uint8_t>((m_acc << 1) | ((value >> i) & 1));
            if (++m_bits == 8) Flush();
        }
    }
    // Pads with zero bits to the next byte.
    void Align() {
        if (m_bits != 0) Put(0, 8 - m_bits);
    }
    void StartCode(uint8_t code) {
        Align();
        for (uint8_t b : {uint8_t{0}, uint8_t{0}, uint8_t{1}, code})
            Put(b, 8);
    }

  private:
    void Flush() {
        m_out.push_back(m_acc);
        m_acc = 0;
        m_bits = 0;
    }
    std::vector<uint8_t>& m_out;
    uint8_t m_acc = 0;
    unsigned m_bits = 0;
};

// A PSI/SI section with the long header, closed by its CRC.
class Section {
  public:
    Section(uint8_t tableId, uint16_t extension, bool reservedFutureUse) {
        m_bytes = {tableId,
                   0,
                   0,
                   static_cast<uint8_t>(extension >> 8),
                   static_cast<uint8_t>(extension),
                   0xC1 /* version 0, current */,
                   0,
                   0};
        m_flags = reservedFutureUse ? 0xF0 : 0xB0;
    }
    void U8(uint8_t v) { m_bytes.push_back(v); }
    void U16(uint16_t v) {
        U8(static_cast<uint8_t>(v >> 8));
        U8(static_cast<uint8_t>(v));
    }
    void Text(std::string_view text) {
        for (char c : text)
            U8(static_cast<uint8_t>(c));
    }
    size_t Size() const { return m_bytes.size(); }
    // Patches a 12-bit length field (with the given top nibble) at `at`
    // to cover everything written after it.
    void PatchLength(size_t at, uint8_t topNibble) {
        const size_t length = m_bytes.size() - at - 2;
        m_bytes[at] = static_cast<uint8_t>(topNibble | ((length >> 8) & 0x0F));
        m_bytes[at + 1] = static_cast<uint8_t>(length);
    }
    // The TS payload that carries the section: pointer_field, section, stuffing.
    std::array<uint8_t, kPayloadSize> Finish() {
        const size_t sectionLength = m_bytes.size() - 3 + 4;
        m_bytes[1] = static_cast<uint8_t>(m_flags | (sectionLength >> 8));
        m_bytes[2] = static_cast<uint8_t>(sectionLength);
        const uint32_t crc = Gen::Crc32(m_bytes.data(), m_bytes.size());
        for (int shift = 24; shift >= 0; shift -= 8)
            U8(static_cast<uint8_t>(crc >> shift));
        std::array<uint8_t, kPayloadSize> payload;
        payload.fill(0xFF);
        payload[0] = 0;
        std::copy(m_bytes.begin(), m_bytes.end(), payload.begin() + 1);
        return payload;
    }

  private:
    std::vector<uint8_t> m_bytes;
    uint8_t m_flags;
};

std::string_view ServiceName(unsigned p) {
    static constexpr std::string_view kNames[Gen::kPrograms] = {"Velmora Sim 1", "Velmora Sim 2",
                                                                "Velmora Sim 3"};
    return kNames[p];
}
constexpr std::string_view kProviderName = "Velmora";
constexpr std::string_view kNetworkName = "Velmora Sim Network";

struct Tables {
    std::array<uint8_t, kPayloadSize> pat;
    std::array<std::array<uint8_t, kPayloadSize>, Gen::kPrograms> pmt;
    std::array<uint8_t, kPayloadSize> sdt;
    std::array<uint8_t, kPayloadSize> nit;
};

Tables MakeTables() {
    Tables t{};
    {
        Section s(0x00, Gen::kTransportStreamId, false);
        s.U16(0);
        s.U16(0xE000 | Gen::kNitPid);
        for (unsigned p = 0; p < Gen::kPrograms; ++p) {
            s.U16(Gen::ProgramNumber(p));
            s.U16(0xE000 | Gen::PmtPid(p));
        }
        t.pat = s.Finish();
    }
    for (unsigned p = 0; p < Gen::kPrograms; ++p) {
        Section s(0x02, Gen::ProgramNumber(p), false);
        s.U16(0xE000 | Gen::VideoPid(p));  // PCR_PID
        s.U16(0xF000);                     // program_info_length 0
        s.U8(kVideoStreamType);
        s.U16(0xE000 | Gen::VideoPid(p));
        s.U16(0xF000);
        s.U8(kAudioStreamType);
        s.U16(0xE000 | Gen::AudioPid(p));
        s.U16(0xF006);
        s.U8(0x0A);  // ISO_639_language_descriptor
        s.U8(4);
        s.Text("eng");
        s.U8(0);
        t.pmt[p] = s.Finish();
    }
    {
        Section s(0x42, Gen::kTransportStreamId, true);
        s.U16(Gen::kNetworkId);  // original_network_id
        s.U8(0xFF);
        for (unsigned p = 0; p < Gen::kPrograms; ++p) {
            s.U16(Gen::ProgramNumber(p));
            s.U8(0xFC);  // no EIT
            const size_t loop = s.Size();
            s.U16(0);
            const std::string_view name = ServiceName(p);
            s.U8(0x48);  // service_descriptor
            s.U8(static_cast<uint8_t>(3 + kProviderName.size() + name.size()));
            s.U8(0x01);  // digital television service
            s.U8(static_cast<uint8_t>(kProviderName.size()));
            s.Text(kProviderName);
            s.U8(static_cast<uint8_t>(name.size()));
            s.Text(name);
            s.PatchLength(loop, 0x80);  // running, not scrambled
        }
        t.sdt = s.Finish();
    }
    {
        Section s(0x40, Gen::kNetworkId, true);
        const size_t network = s.Size();
        s.U16(0);
        s.U8(0x40);  // network_name_descriptor
        s.U8(static_cast<uint8_t>(kNetworkName.size()));
        s.Text(kNetworkName);
        s.PatchLength(network, 0xF0);
        const size_t streams = s.Size();
        s.U16(0);
        s.U16(Gen::kTransportStreamId);
        s.U16(Gen::kNetworkId);
        const size_t descriptors = s.Size();
        s.U16(0);
        s.U8(0x41);  // service_list_descriptor
        s.U8(static_cast<uint8_t>(3 * Gen::kPrograms));
        for (unsigned p = 0; p < Gen::kPrograms; ++p) {
            s.U16(Gen::ProgramNumber(p));
            s.U8(0x01);
        }
        s.PatchLength(descriptors, 0xF0);
        s.PatchLength(streams, 0xF0);
        t.nit = s.Finish();
    }
    return t;
}

const Tables* const g_pTables = new Tables(MakeTables());

const Tables& TheTables() {
    return *g_pTables;
}

void WriteTimestamp(uint8_t* out, uint8_t prefix, uint64_t ts) {
    ts %= kPtsModulus;
    out[0] = static_cast<uint8_t>((prefix << 4) | ((ts >> 29) & 0x0E) | 1);
    out[1] = static_cast<uint8_t>(ts >> 22);
    out[2] = static_cast<uint8_t>(((ts >> 14) & 0xFE) | 1);
    out[3] = static_cast<uint8_t>(ts >> 7);
    out[4] = static_cast<uint8_t>(((ts << 1) & 0xFE) | 1);
}

void WritePesHeader(uint8_t* out, uint8_t streamId, size_t totalSize, bool aligned, uint64_t pts) {
    const size_t length = totalSize - 6;
    out[0] = 0;
    out[1] = 0;
    out[2] = 1;
    out[3] = streamId;
    out[4] = static_cast<uint8_t>(length >> 8);
    out[5] = static_cast<uint8_t>(length);
    out[6] = aligned ? 0x84 : 0x80;
    out[7] = 0x80;  // PTS only
    out[8] = 5;
    WriteTimestamp(out + 9, 0x2, pts);
}

// The picture: eight colour bars (75 % bars, Y Cb Cr), moved one bar on at
// every GOP and started one bar further on in each program. The I picture
// codes each macroblock by its DC coefficients alone; the P pictures repeat
// it, each slice a first and a last macroblock with a zero motion vector and
// the macroblocks between skipped.
constexpr unsigned kBars = 8;
constexpr uint8_t kBarColours[kBars][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44},
                                           {112, 72, 58},   {84, 184, 198}, {65, 100, 212},
                                           {35, 212, 114},  {16, 128, 128}};
constexpr uint8_t kQuantiserScaleCode = 8;
constexpr int kDcReset = 128;  // 8-bit intra DC precision

struct Code {
    uint32_t bits;
    unsigned length;
};
// dct_dc_size_luminance and dct_dc_size_chrominance for sizes 0 to 8.
constexpr Code kDcSizeLuminance[9] = {{0b100, 3},   {0b00, 2},     {0b01, 2},
                                      {0b101, 3},   {0b110, 3},    {0b1110, 4},
                                      {0b11110, 5}, {0b111110, 6}, {0b1111110, 7}};
constexpr Code kDcSizeChrominance[9] = {{0b00, 2},     {0b01, 2},      {0b10, 2},
                                        {0b110, 3},    {0b1110, 4},    {0b11110, 5},
                                        {0b111110, 6}, {0b1111110, 7}, {0b11111110, 8}};
constexpr Code kEndOfBlock = {0b10, 2};       // intra_vlc_format 0
constexpr Code kIntra = {0b1, 1};             // macroblock_type of an I picture
constexpr Code kMotionNotCoded = {0b001, 3};  // P picture: forward motion, no coefficients
constexpr Code kZeroMotion = {0b1, 1};
constexpr Code kIncrementOne = {0b1, 1};
constexpr Code kIncrementEscape = {0b00000001000, 11};  // adds 33
constexpr Code kIncrementEleven = {0b00001010, 8};
static_assert(kMacroblocksPerSlice - 1 == 33 + 11);

void PutCode(BitWriter& w, Code code) {
    w.Put(code.bits, code.length);
}

// One block's DC as a difference from the predictor, then the end of block.
void PutIntraDcBlock(BitWriter& w, const Code (&sizes)[9], int value, int* predictor) {
    const int difference = value - *predictor;
    *predictor = value;
    unsigned size = 0;
    while ((std::abs(difference) >> size) != 0)
        ++size;
    PutCode(w, sizes[size]);
    if (size != 0) {
        const int bits = difference > 0 ? difference : difference + (1 << size) - 1;
        w.Put(static_cast<uint32_t>(bits), size);
    }
    PutCode(w, kEndOfBlock);
}

void PutSliceHeader(BitWriter& w, unsigned row) {
    w.StartCode(static_cast<uint8_t>(row + 1));
    w.Put(kQuantiserScaleCode, 5);
    w.Put(0, 1);  // extra_bit_slice
}

std::vector<uint8_t> IntraSlices(unsigned shift) {
    std::vector<uint8_t> out;
    BitWriter w(out);
    for (unsigned row = 0; row < kSlicesPerPicture; ++row) {
        PutSliceHeader(w, row);
        int predictors[3] = {kDcReset, kDcReset, kDcReset};
        for (unsigned column = 0; column < kMacroblocksPerSlice; ++column) {
            const uint8_t* colour =
                kBarColours[(column * kBars / kMacroblocksPerSlice + shift) % kBars];
            PutCode(w, kIncrementOne);
            PutCode(w, kIntra);
            for (int block = 0; block < 4; ++block)
                PutIntraDcBlock(w, kDcSizeLuminance, colour[0], &predictors[0]);
            PutIntraDcBlock(w, kDcSizeChrominance, colour[1], &predictors[1]);
            PutIntraDcBlock(w, kDcSizeChrominance, colour[2], &predictors[2]);
        }
    }
    w.Align();
    return out;
}

// A P-picture macroblock that repeats the reference: zero motion, no
// coefficients.
void PutRepeatedMacroblock(BitWriter& w) {
    PutCode(w, kMotionNotCoded);
    PutCode(w, kZeroMotion);  // horizontal
    PutCode(w, kZeroMotion);  // vertical
}

std::vector<uint8_t> RepeatingSlices() {
    std::vector<uint8_t> out;
    BitWriter w(out);
    for (unsigned row = 0; row < kSlicesPerPicture; ++row) {
        PutSliceHeader(w, row);
        PutCode(w, kIncrementOne);
        PutRepeatedMacroblock(w);
        // On to the slice's last macroblock; those between are skipped.
        PutCode(w, kIncrementEscape);
        PutCode(w, kIncrementEleven);
        PutRepeatedMacroblock(w);
    }
    w.Align();
    return out;
}

struct CodedSlices {
    std::array<std::vector<uint8_t>, kBars> intra;  // by bar shift
    std::vector<uint8_t> repeat;
};

CodedSlices MakeSlices() {
    CodedSlices made;
    for (unsigned shift = 0; shift < kBars; ++shift)
        made.intra[shift] = IntraSlices(shift);
    made.repeat = RepeatingSlices();
    return made;
}

const CodedSlices* const g_pSlices = new CodedSlices(MakeSlices());

const CodedSlices& TheSlices() {
    return *g_pSlices;
}

// The headers that open the coded picture of frame `frame`: a sequence
// header, its extension and a GOP header at the start of every GOP, then the
// picture header and the picture coding extension.
std::vector<uint8_t> PictureHeaders(uint64_t frame) {
    std::vector<uint8_t> out;
    BitWriter w(out);
    const unsigned inGop = static_cast<unsigned>(frame % Gen::kGopFrames);
    const bool intra = inGop == 0;
    if (intra) {
        w.StartCode(0xB3);  // sequence_header
        w.Put(720, 12);
        w.Put(576, 12);
        w.Put(2, 4);  // 4:3
        w.Put(3, 4);  // 25 frames/s
        const uint32_t videoBitRate = static_cast<uint32_t>(kVideoEsSize * 8 * 25);
        w.Put((videoBitRate + 399) / 400, 18);
        w.Put(1, 1);
        w.Put(112, 10);     // vbv_buffer_size: Main Profile at Main Level
        w.Put(0, 3);        // constrained_parameters, no quantiser matrices
        w.StartCode(0xB5);  // sequence_extension
        w.Put(1, 4);
        w.Put(0x48, 8);  // Main Profile at Main Level
        w.Put(0, 1);     // interlaced
        w.Put(1, 2);     // 4:2:0
        w.Put(0, 4);
        w.Put(0, 12);
        w.Put(1, 1);
        w.Put(0, 8);
        w.Put(0, 1);
        w.Put(0, 7);
        w.StartCode(0xB8);  // group_of_pictures_header
        w.Put(0, 1);
        w.Put(static_cast<uint32_t>(frame / 90000 % 24), 5);
        w.Put(static_cast<uint32_t>(frame / 1500 % 60), 6);
        w.Put(1, 1);
        w.Put(static_cast<uint32_t>(frame / 25 % 60), 6);
        w.Put(static_cast<uint32_t>(frame % 25), 6);
        w.Put(1, 1);  // closed_gop
        w.Put(0, 1);
    }
    w.StartCode(0x00);  // picture_header
    w.Put(inGop, 10);
    w.Put(intra ? 1 : 2, 3);
    w.Put(0xFFFF, 16);
    if (!intra) w.Put(0x7, 4);  // full_pel_forward_vector 0, forward_f_code 7
    w.Put(0, 1);
    w.StartCode(0xB5);  // picture_coding_extension
    w.Put(8, 4);
    w.Put(intra ? 0xFFFF : 0x11FF, 16);
    w.Put(0, 2);  // intra_dc_precision
    w.Put(3, 2);  // frame picture
    w.Put(1, 1);  // top_field_first
    w.Put(1, 1);  // frame_pred_frame_dct
    w.Put(0, 8);
    w.Align();
    return out;
}

// Bytes [from, from + size) of the video PES packet of frame `frame`: the
// picture, then zero bytes up to the packet's fixed size (stuffing before the
// next picture's start code).
void VideoPesBytes(uint64_t frame, unsigned program, size_t from, size_t size, uint8_t* out) {
    uint8_t pes[kPesHeaderSize];
    WritePesHeader(pes, 0xE0, kVideoPesSize, true, frame * 3600 + kPresentationDelay);
    const std::vector<uint8_t> headers = PictureHeaders(frame);
    const CodedSlices& coded = TheSlices();
    const std::vector<uint8_t>& slices =
        frame % Gen::kGopFrames == 0 ? coded.intra[(frame / Gen::kGopFrames + program) % kBars]
                                     : coded.repeat;
    for (size_t i = 0; i < size; ++i) {
        const size_t at = from + i;
        if (at < kPesHeaderSize) {
            out[i] = pes[at];
            continue;
        }
        const size_t es = at - kPesHeaderSize;
        if (es < headers.size()) {
            out[i] = headers[es];
        } else if (es - headers.size() < slices.size()) {
            out[i] = slices[es - headers.size()];
        } else {
            out[i] = 0;
        }
    }
}

// Bytes [from, from + size) of the audio PES packet of period `frame`.
void AudioPesBytes(uint64_t frame, size_t from, size_t size, uint8_t* out) {
    const uint64_t first = frame * kAudioBytesPerFrame;
    // The PTS belongs to the first audio frame that starts in this packet.
    const uint64_t firstFrame = (first + kAudioFrameSize - 1) / kAudioFrameSize;
    uint8_t pes[kPesHeaderSize];
    WritePesHeader(pes, 0xC0, kAudioPesSize, false,
                   firstFrame * kAudioFrameTicks90k + kPresentationDelay);
    // Layer II, 192 kbit/s, 48 kHz, stereo, original; silence (no allocation).
    static constexpr uint8_t kHeader[4] = {0xFF, 0xFD, 0xA4, 0x04};
    for (size_t i = 0; i < size; ++i) {
        const size_t at = from + i;
        if (at < kPesHeaderSize) {
            out[i] = pes[at];
            continue;
        }
        const uint64_t offset = first + (at - kPesHeaderSize);
        const size_t inFrame = static_cast<size_t>(offset % kAudioFrameSize);
        out[i] = inFrame < 4 ? kHeader[inFrame] : 0;
    }
}

void Header(uint8_t* out, uint16_t pid, bool unitStart, uint8_t control, uint64_t counter) {
    out[0] = 0x47;
    out[1] = static_cast<uint8_t>((unitStart ? 0x40 : 0) | (pid >> 8));
    out[2] = static_cast<uint8_t>(pid);
    out[3] = static_cast<uint8_t>((control << 4) | (counter & 0x0F));
}

void NullPacket(uint8_t* out) {
    Header(out, Gen::kNullPid, false, 1, 0);
    std::memset(out + 4, 0xFF, kPayloadSize);
}

void PsiPacket(uint8_t* out, uint16_t pid, uint64_t counter,
               const std::array<uint8_t, kPayloadSize>& payload) {
    Header(out, pid, true, 1, counter);
    std::memcpy(out + 4, payload.data(), kPayloadSize);
}

}  // namespace

uint32_t SimTsGenerator::Crc32(const uint8_t* data, size_t size) {
    static constexpr std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k)
                c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i)
        crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

void SimTsGenerator::Packet(uint64_t index, uint8_t* out) {
    const uint64_t frame = index / kPacketsPerFrame;
    const Slot slot = TheSchedule().slots[index % kPacketsPerFrame];
    const Tables& tables = TheTables();
    switch (slot.kind) {
        case Kind::Pat:
            PsiPacket(out, kPatPid, frame, tables.pat);
            return;
        case Kind::Pmt:
            PsiPacket(out, PmtPid(slot.program), frame, tables.pmt[slot.program]);
            return;
        case Kind::Sdt:
            if (frame % kSdtEveryFrames != 0) return NullPacket(out);
            PsiPacket(out, kSdtPid, frame / kSdtEveryFrames, tables.sdt);
            return;
        case Kind::Nit:
            if (frame % kNitEveryFrames != 0) return NullPacket(out);
            PsiPacket(out, kNitPid, frame / kNitEveryFrames, tables.nit);
            return;
        case Kind::Null:
            NullPacket(out);
            return;
        case Kind::Video: {
            const uint64_t counter = frame * kVideoPacketsPerFrame + slot.sequence;
            if (slot.sequence == 0) {
                Header(out, VideoPid(slot.program), true, 3, counter);
                out[4] = kPcrFieldSize - 1;
                out[5] = static_cast<uint8_t>(0x10 | (frame % kGopFrames == 0 ? 0x40 : 0));
                // The tick at which the byte that ends the PCR base arrives.
                const uint64_t pcr =
                    (index * kTicksPerPacket + 10 * kTicksPerPacket / kPacketSize) % kPcrModulus;
                const uint64_t base = pcr / 300;
                const uint32_t extension = static_cast<uint32_t>(pcr % 300);
                out[6] = static_cast<uint8_t>(base >> 25);
                out[7] = static_cast<uint8_t>(base >> 17);
                out[8] = static_cast<uint8_t>(base >> 9);
                out[9] = static_cast<uint8_t>(base >> 1);
                out[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | (extension >> 8));
                out[11] = static_cast<uint8_t>(extension);
                VideoPesBytes(frame, slot.program, 0, kPayloadSize - kPcrFieldSize, out + 12);
            } else {
                Header(out, VideoPid(slot.program), false, 1, counter);
                const size_t from =
                    kPayloadSize - kPcrFieldSize + (slot.sequence - 1) * kPayloadSize;
                VideoPesBytes(frame, slot.program, from, kPayloadSize, out + 4);
            }
            return;
        }
        case Kind::Audio: {
            const uint64_t counter = frame * kAudioPacketsPerFrame + slot.sequence;
            const size_t from = size_t{slot.sequence} * kPayloadSize;
            const size_t size = std::min(kPayloadSize, kAudioPesSize - from);
            if (size == kPayloadSize) {
                Header(out, AudioPid(slot.program), slot.sequence == 0, 1, counter);
                AudioPesBytes(frame, from, size, out + 4);
            } else {
                // The tail of the PES packet, padded by adaptation-field stuffing.
                Header(out, AudioPid(slot.program), false, 3, counter);
                const size_t stuffing = kPayloadSize - size;
                out[4] = static_cast<uint8_t>(stuffing - 1);
                out[5] = 0;
                std::memset(out + 6, 0xFF, stuffing - 2);
                AudioPesBytes(frame, from, size, out + 4 + stuffing);
            }
            return;
        }
    }
}

}  // namespace velmora::sim
