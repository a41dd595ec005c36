#pragma once

// A transport-stream file as the simulated card's ASI input: the 188-byte
// packets found in it, in file order, played in a loop. Bytes between packets
// that do not line up on a sync byte are skipped; a file whose packets make up
// no more than half of it is not a transport stream and holds none.
//
// This is a process-local cache of what the file holds (an open descriptor
// and the offset of every packet), so that any packet can be fetched at once
// and a card can skip packets it had no room for without reading them. It is
// rebuilt when the file changes.

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora::sim {

class SimAsiFileSource {
  public:
    static constexpr size_t kPacketSize = 188;

    // The source for `path`, shared by every caller in this process; null
    // when the file cannot be opened or read.
    static std::shared_ptr<const SimAsiFileSource> Open(const std::string& path);
    // Whether `path` gives a signal: an ASI receiver locks on packets, and a
    // file without any (or one that cannot be read) gives nothing to lock on.
    static bool Playable(const std::string& path);

    ~SimAsiFileSource();
    SimAsiFileSource(const SimAsiFileSource&) = delete;
    SimAsiFileSource& operator=(const SimAsiFileSource&) = delete;

    uint64_t PacketCount() const { return m_offsets.size(); }
    // The multiplex rate in bits a second, measured between the first and the
    // last PCR of the first PID that carries one; 0 when the file has fewer
    // than two of them or they give no usable rate.
    uint32_t MeasuredRate() const { return m_measuredRate; }
    // Packet `index` modulo the packet count; false when there are no
    // packets or the file can no longer be read.
    bool ReadPacket(uint64_t index, uint8_t* out) const;

  private:
    struct Identity {
        dev_t device;
        ino_t inode;
        off_t size;
        int64_t modifiedNs;
        bool operator==(const Identity&) const = default;
    };

    SimAsiFileSource(int fd, const Identity& identity) : m_fd(fd), m_identity(identity) {}
    bool Scan();

    int m_fd;
    Identity m_identity;
    std::vector<uint64_t> m_offsets;
    uint32_t m_measuredRate = 0;
};

}  // namespace velmora::sim
