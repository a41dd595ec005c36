// The locked element ring: counting, refusals, wrapping, the unit
// operations and a producer and a consumer thread moving a million packets.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "ts/LockedRingBuffer.h"

namespace velmora::ts {
namespace {

constexpr uint32_t kPacket = 188;

class LockedRingTest : public ::testing::Test {
  protected:
    void Make(uint32_t count, uint32_t size = kPacket) {
        ASSERT_EQ(ring.SetSize(count, size), 1u);
        ASSERT_EQ(ring.Allocate(), 1u);
    }
    std::pair<uint32_t, uint32_t> Free() {
        uint32_t free = 0, contiguous = 0;
        EXPECT_EQ(ring.GetFreeCount(&free, &contiguous), 1u);
        return {free, contiguous};
    }
    std::pair<uint32_t, uint32_t> Fill() {
        uint32_t fill = 0, contiguous = 0;
        EXPECT_EQ(ring.GetFillCount(&fill, &contiguous), 1u);
        return {fill, contiguous};
    }
    static std::vector<uint8_t> Elements(uint32_t n, uint8_t first, uint32_t size = kPacket) {
        std::vector<uint8_t> v(n * size);
        for (uint32_t i = 0; i < n; ++i)
            std::memset(&v[i * size], first + i, size);
        return v;
    }
    CLockedRingBuffer ring;
};

TEST_F(LockedRingTest, CountsKeepOneElementEmptyAndWrap) {
    Make(8);
    uint8_t* storage = nullptr;
    ring.GetWritePointer(&storage);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(storage) % 16, 0u);
    EXPECT_EQ(Free(), std::make_pair(7u, 7u));
    EXPECT_EQ(Fill(), std::make_pair(0u, 0u));
    ASSERT_EQ(ring.Write(Elements(5, 1).data(), 5 * kPacket), 1u);
    // The cached free count fell by what moved: 2 more fit, 4 do not.
    EXPECT_EQ(ring.Write(Elements(3, 6).data(), 4 * kPacket), 0u);
    EXPECT_EQ(Fill(), std::make_pair(5u, 0u));
    std::vector<uint8_t> out(5 * kPacket);
    ASSERT_EQ(ring.Read(out.data(), 5 * kPacket), 1u);
    EXPECT_EQ(out, Elements(5, 1));
    EXPECT_EQ(ring.Read(out.data(), kPacket), 0u);  // nothing left of the count
    // Write 5 from element 5: 3 before the end, 2 from the start.
    EXPECT_EQ(Free(), std::make_pair(7u, 3u));
    ASSERT_EQ(ring.Write(Elements(5, 10).data(), 5 * kPacket), 1u);
    EXPECT_EQ(Fill(), std::make_pair(5u, 3u));
    ASSERT_EQ(ring.Read(out.data(), 5 * kPacket), 1u);
    EXPECT_EQ(out, Elements(5, 10));
    // Write at the start with read ahead: free read - write - 1, contiguous 0.
    ASSERT_EQ(Free().first, 7u);
    ASSERT_EQ(ring.Write(Elements(1, 20).data(), kPacket), 1u);  // write at 3
    Fill();
    ASSERT_EQ(ring.Read(out.data(), kPacket), 1u);  // read at 3
    // A fill count taken before a reset lets nothing out after it.
    ASSERT_EQ(ring.Write(Elements(2, 30).data(), 2 * kPacket), 1u);
    ASSERT_EQ(Fill().first, 2u);
    ring.Reset();
    EXPECT_EQ(ring.Read(out.data(), kPacket), 0u);
    EXPECT_EQ(Free(), std::make_pair(7u, 7u));
    // A write that ends exactly at the storage end leaves write at the start.
    ASSERT_EQ(ring.Write(Elements(7, 0).data(), 7 * kPacket), 1u);
    Fill();
    ASSERT_EQ(ring.Read(out.data(), 2 * kPacket), 1u);  // read at 2
    Free();
    ASSERT_EQ(ring.Write(Elements(1, 0).data(), kPacket), 1u);  // fills element 7
    uint8_t* write = nullptr;
    ring.GetWritePointer(&write);
    EXPECT_EQ(write, storage);
    EXPECT_EQ(Free(), std::make_pair(1u, 0u));
}

TEST_F(LockedRingTest, BadArgumentsChangeNothing) {
    Make(4);
    const auto data = Elements(2, 1);
    // Before the first count the cached free count is 0.
    EXPECT_EQ(ring.Write(data.data(), kPacket), 0u);
    Free();
    EXPECT_EQ(ring.Write(nullptr, kPacket), 0u);
    EXPECT_EQ(ring.Write(data.data(), 0), 0u);
    EXPECT_EQ(ring.Write(data.data(), kPacket + 1), 0u);
    EXPECT_EQ(ring.Write(data.data(), 4 * kPacket), 0u);
    EXPECT_EQ(ring.WriteElement(data.data(), kPacket + 1), 0u);
    EXPECT_EQ(ring.WriteElement(nullptr, 4), 0u);
    EXPECT_EQ(ring.WriteElement(data.data(), 0), 1u);
    EXPECT_EQ(ring.CommitWrite(5), 0u);
    EXPECT_EQ(ring.GetFreeBytes(kPacket / 2), -1);
    EXPECT_EQ(ring.GetFreeBytes(kPacket + 1), -1);
    EXPECT_EQ(ring.WriteUnits(data.data(), 150, 100), -1);  // not a multiple of the unit
    EXPECT_EQ(ring.WriteUnits(nullptr, 100, 100), -1);
    std::vector<uint8_t> out(kPacket);
    EXPECT_EQ(ring.ReadUnits(out.data(), 100, 100, 100), -1);  // unit + offset too long
    EXPECT_EQ(Free(), std::make_pair(3u, 3u));
    EXPECT_EQ(Fill(), std::make_pair(0u, 0u));
    EXPECT_EQ(ring.GetFreeBytes(kPacket), int32_t(3 * kPacket));
    // No storage: nothing counts and nothing moves.
    CLockedRingBuffer empty;
    uint32_t free = 9, contiguous = 9;
    EXPECT_EQ(empty.GetFreeCount(&free, &contiguous), 1u);
    EXPECT_EQ(free, 0u);
    EXPECT_EQ(empty.Write(data.data(), kPacket), 0u);
}

TEST_F(LockedRingTest, InPlaceAndUnitOperations) {
    Make(4, 256);
    // Entries of a 4-byte header and a packet, written as packets.
    std::vector<uint8_t> packets(3 * kPacket);
    for (size_t i = 0; i < packets.size(); ++i)
        packets[i] = uint8_t(i * 7);
    ASSERT_EQ(ring.WriteUnits(packets.data(), 3 * kPacket, kPacket), 0);
    EXPECT_EQ(ring.GetFillBytes(kPacket), int32_t(3 * kPacket));
    std::vector<uint8_t> out(2 * (kPacket - 4));
    ASSERT_EQ(ring.ReadUnits(out.data(), uint32_t(out.size()), kPacket - 4, 4), 0);
    EXPECT_EQ(0, std::memcmp(out.data(), packets.data() + 4, kPacket - 4));
    EXPECT_EQ(0, std::memcmp(out.data() + kPacket - 4, packets.data() + kPacket + 4, kPacket - 4));
    // In place: the pointer, then a commit of at most the run to the end.
    uint8_t* at = nullptr;
    ASSERT_EQ(ring.GetWritePointer(&at), 1u);
    std::memset(at, 0xAB, 256);
    EXPECT_EQ(ring.CommitWrite(2), 0u);  // would pass the end
    ASSERT_EQ(ring.CommitWrite(1), 1u);
    ring.GetWritePointer(&at);
    ring.GetReadPointer(&at);
    ASSERT_EQ(ring.CommitRead(1), 1u);
    ring.GetReadPointer(&at);
    EXPECT_EQ(at[0], 0xAB);
    ring.Free();
    EXPECT_EQ(ring.GetElementCount(), 0u);
}

// One producer and one consumer with random sizes: every packet arrives
// once, in order.
TEST_F(LockedRingTest, ProducerAndConsumerMoveAMillionPackets) {
    Make(1000);
    constexpr uint32_t kTotal = 1'000'000;
    std::thread producer([&] {
        std::mt19937 rng(1);
        std::vector<uint8_t> buffer(64 * kPacket);
        uint32_t next = 0;
        while (next < kTotal) {
            uint32_t free = 0, contiguous = 0;
            ring.GetFreeCount(&free, &contiguous);
            const uint32_t n = std::min({free, 1 + uint32_t(rng() % 64), kTotal - next});
            if (n == 0) {
                std::this_thread::yield();
                continue;
            }
            for (uint32_t i = 0; i < n; ++i) {
                const uint32_t v = next + i;
                std::memcpy(&buffer[i * kPacket], &v, 4);
                std::memset(&buffer[i * kPacket + 4], uint8_t(v), kPacket - 4);
            }
            ASSERT_EQ(ring.Write(buffer.data(), n * kPacket), 1u);
            next += n;
        }
    });
    std::mt19937 rng(2);
    std::vector<uint8_t> buffer(64 * kPacket);
    uint32_t expected = 0;
    bool intact = true;
    while (expected < kTotal && intact) {
        uint32_t fill = 0, contiguous = 0;
        ring.GetFillCount(&fill, &contiguous);
        const uint32_t n = std::min(fill, 1 + uint32_t(rng() % 64));
        if (n == 0) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(ring.Read(buffer.data(), n * kPacket), 1u);
        for (uint32_t i = 0; i < n && intact; ++i) {
            uint32_t v = 0;
            std::memcpy(&v, &buffer[i * kPacket], 4);
            intact = v == expected && buffer[i * kPacket + kPacket - 1] == uint8_t(v);
            ++expected;
        }
    }
    producer.join();
    EXPECT_TRUE(intact) << "packet " << expected - 1;
    EXPECT_EQ(expected, kTotal);
}

}  // namespace
}  // namespace velmora::ts
