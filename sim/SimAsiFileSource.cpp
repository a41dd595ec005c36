#include "sim/SimAsiFileSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <optional>

#include "platform/ForkSafeLock.h"
#include "sim/SimConfig.h"

namespace velmora::sim {

namespace {

constexpr uint8_t kSync = 0x47;

// Sequential reads of a file with random access to a window around the
// current position (a packet and the next sync byte always fit in it).
class BlockReader {
  public:
    BlockReader(int fd, uint64_t size) : m_fd(fd), m_size(size), m_block(kBlockSize) {}

    // The byte at `offset` (< size); false on a read error.
    bool At(uint64_t offset, uint8_t* value) {
        if (offset < m_base || offset >= m_base + m_filled) {
            if (!Load(offset)) return false;
        }
        *value = m_block[offset - m_base];
        return true;
    }

  private:
    static constexpr size_t kBlockSize = 1 << 20;

    bool Load(uint64_t offset) {
        m_base = offset;
        m_filled = 0;
        const uint64_t want = std::min<uint64_t>(kBlockSize, m_size - offset);
        while (m_filled < want) {
            const ssize_t got = ::pread(m_fd, m_block.data() + m_filled, want - m_filled,
                                        static_cast<off_t>(offset + m_filled));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            m_filled += static_cast<size_t>(got);
        }
        return true;
    }

    int m_fd;
    uint64_t m_size;
    std::vector<uint8_t> m_block;
    uint64_t m_base = 0;
    size_t m_filled = 0;
};

constexpr size_t kCachedFiles = 8;

// PCRs count a 27 MHz clock in a 33-bit base times 300 plus a 9-bit extension.
constexpr uint64_t kPcrHz = 27000000;
constexpr uint64_t kPcrWrap = (uint64_t{1} << 33) * 300;

// The PCR of the packet at `offset`, when it carries one; its PID in `pid`.
std::optional<uint64_t> ReadPcr(BlockReader& reader, uint64_t offset, uint32_t* pid) {
    uint8_t b[12];
    for (uint64_t i = 0; i < sizeof(b); ++i) {
        if (!reader.At(offset + i, &b[i])) return std::nullopt;
    }
    const bool adaptation = (b[3] & 0x20) != 0;
    if (!adaptation || b[4] < 7 || (b[5] & 0x10) == 0) return std::nullopt;
    *pid = static_cast<uint32_t>(b[1] & 0x1F) << 8 | b[2];
    const uint64_t base = uint64_t{b[6]} << 25 | uint64_t{b[7]} << 17 | uint64_t{b[8]} << 9 |
                          uint64_t{b[9]} << 1 | b[10] >> 7;
    return base * 300 + ((b[10] & 1u) << 8 | b[11]);
}

// Bits a second between the first and the last PCR of the first PCR PID.
uint32_t PcrRate(BlockReader& reader, const std::vector<uint64_t>& offsets, size_t packetSize) {
    std::optional<uint32_t> pcrPid;
    uint64_t firstPcr = 0, lastPcr = 0, firstIndex = 0, lastIndex = 0;
    for (uint64_t index = 0; index < offsets.size(); ++index) {
        uint32_t pid = 0;
        const auto pcr = ReadPcr(reader, offsets[index], &pid);
        if (!pcr || (pcrPid && pid != *pcrPid)) continue;
        if (!pcrPid) {
            pcrPid = pid;
            firstPcr = *pcr;
            firstIndex = index;
        }
        lastPcr = *pcr;
        lastIndex = index;
    }
    const uint64_t ticks = (lastPcr + kPcrWrap - firstPcr) % kPcrWrap;
    if (lastIndex == firstIndex || ticks == 0) return 0;
    const uint64_t bits = (lastIndex - firstIndex) * packetSize * 8;
    const uint64_t rate =
        static_cast<uint64_t>(static_cast<unsigned __int128>(bits) * kPcrHz / ticks);
    return rate >= SimConfig::kMinAsiRate && rate <= SimConfig::kMaxAsiRate
               ? static_cast<uint32_t>(rate)
               : 0;
}

std::mutex g_cacheMutex;
std::map<std::string, std::shared_ptr<const SimAsiFileSource>> g_cache;

std::mutex& CacheLock() {
    return g_cacheMutex;
}

const int g_forkHandlers = platform::KeepLockUsableInForkedChild<std::mutex, &CacheLock>();

}  // namespace

SimAsiFileSource::~SimAsiFileSource() {
    if (m_fd >= 0) ::close(m_fd);
}

std::shared_ptr<const SimAsiFileSource> SimAsiFileSource::Open(const std::string& path) {
    struct stat info {};
    std::lock_guard<std::mutex> lock(g_cacheMutex);
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        g_cache.erase(path);
        return nullptr;
    }
    const Identity identity{info.st_dev, info.st_ino, info.st_size,
                            int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec};
    auto found = g_cache.find(path);
    if (found != g_cache.end() && found->second->m_identity == identity) return found->second;

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        g_cache.erase(path);
        return nullptr;
    }
    std::shared_ptr<SimAsiFileSource> source(new SimAsiFileSource(fd, identity));
    if (!source->Scan()) {
        g_cache.erase(path);
        return nullptr;
    }
    // A few files stay known (cards of one process may play different
    // files); beyond that, ones nobody is reading are let go, so a long run of
    // tests with temporary files does not pile up descriptors.
    if (g_cache.size() >= kCachedFiles) {
        for (auto it = g_cache.begin(); it != g_cache.end();) {
            it = it->second.use_count() == 1 ? g_cache.erase(it) : std::next(it);
        }
    }
    g_cache[path] = source;
    return source;
}

bool SimAsiFileSource::Playable(const std::string& path) {
    const auto file = Open(path);
    return file && file->PacketCount() > 0;
}

// Finds the packets: a sync byte with a whole packet behind it, confirmed by
// the sync byte of the next packet (or by the end of the file), so that a
// stray 0x47 in garbage is not taken for a packet. A packet that carries on
// a run of packets needs no confirmation (garbage may follow it) unless a
// confirmed packet starts inside it, which means the run ended before it. A
// short tail is dropped. A file that is not a transport stream (random bytes,
// a program stream, an MP4) still holds sync bytes 188 bytes apart here and
// there: its packets count only when they make up most of the file.
bool SimAsiFileSource::Scan() {
    const uint64_t size = static_cast<uint64_t>(m_identity.size);
    BlockReader reader(m_fd, size);
    bool failed = false;
    const auto syncAt = [&](uint64_t offset) {
        uint8_t value = 0;
        if (!reader.At(offset, &value)) failed = true;
        return value == kSync;
    };
    const auto confirmed = [&](uint64_t offset) {
        return offset + kPacketSize == size || syncAt(offset + kPacketSize);
    };
    bool inSync = false;
    uint64_t at = 0;
    while (at + kPacketSize <= size && !failed) {
        bool packet = syncAt(at) && confirmed(at);
        if (!packet && inSync && syncAt(at)) {
            packet = true;
            for (uint64_t q = at + 1; q < at + kPacketSize && q + kPacketSize <= size; ++q) {
                if (syncAt(q) && confirmed(q)) {
                    packet = false;
                    break;
                }
            }
        }
        if (packet) {
            m_offsets.push_back(at);
            at += kPacketSize;
            inSync = true;
        } else {
            ++at;
            inSync = false;
        }
    }
    if (m_offsets.size() * kPacketSize * 2 <= size) m_offsets.clear();
    if (!failed) m_measuredRate = PcrRate(reader, m_offsets, kPacketSize);
    return !failed;
}

bool SimAsiFileSource::ReadPacket(uint64_t index, uint8_t* out) const {
    if (m_offsets.empty()) return false;
    const uint64_t offset = m_offsets[index % m_offsets.size()];
    size_t done = 0;
    while (done < kPacketSize) {
        const ssize_t got =
            ::pread(m_fd, out + done, kPacketSize - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace velmora::sim
