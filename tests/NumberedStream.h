#pragma once

// A transport-stream file whose packets carry their own number, for the
// capture tests that check what a reader got and missed: packet n of PID
// 0x100 holds n in the four bytes after its header. The simulated card plays
// such a file from its first packet on whenever it is set as the input, and
// again from the start after its end.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace velmora::test {

inline bool WriteNumberedStream(const std::string& path, uint32_t count) {
    std::vector<uint8_t> packets(size_t{count} * 188, 0xFF);
    for (uint32_t n = 0; n < count; ++n) {
        uint8_t* packet = &packets[size_t{n} * 188];
        packet[0] = 0x47;
        packet[1] = 0x01;
        packet[2] = 0x00;
        packet[3] = static_cast<uint8_t>(0x10 | (n & 0x0F));
        std::memcpy(packet + 4, &n, sizeof(n));
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(packets.data(), 1, packets.size(), file) == packets.size();
    return std::fclose(file) == 0 && written;
}

inline uint32_t PacketNumber(const uint8_t* packet) {
    uint32_t number = 0;
    std::memcpy(&number, packet + 4, sizeof(number));
    return number;
}

}  // namespace velmora::test
