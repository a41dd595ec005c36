#pragma once

// A bridge whose BAR 3 is an in-memory register file: it records every write,
// can be told to fail, and can answer reads from a script or a hook, so that
// the register object's traffic and its answers to odd hardware can be
// checked exactly.

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "card/GlobalVars.h"
#include "hw/VelmoraFpga.h"
#include "hw/VelmoraPciBridge.h"
#include "sim/SimCard.h"

namespace velmora::hw::testing {

using Write = sim::RegisterWrite;

class RegisterFileBridge : public CVelmoraPciBridge {
  public:
    // Given the offset and the stored value, may answer a read instead of the
    // register file.
    using ReadHook = std::function<std::optional<uint32_t>(uint32_t offset, uint32_t stored)>;

    uint32_t BarSpaceRead(uint32_t barIndex, uint32_t offset, uint32_t* pBuffer) override {
        std::unique_lock lock(m_mutex);
        if (barIndex != 3) ++m_wrongBar;
        ++m_reads[offset];
        if (m_failReads || m_failReadOffsets.count(offset)) {
            *pBuffer = 0x12345678;  // junk the register object must not pass on
            return 0;
        }
        const uint32_t stored = m_regs[offset];
        uint32_t value = stored;
        auto script = m_scripts.find(offset);
        if (script != m_scripts.end() && !script->second.empty()) {
            value = script->second.front();
            script->second.pop_front();
        } else if (m_readHook) {
            ReadHook hook = m_readHook;
            lock.unlock();
            if (auto answer = hook(offset, stored)) value = *answer;
            lock.lock();
        }
        if (m_yieldInRead) {
            // Widens the window between the read and the write of a
            // read-modify-write.
            lock.unlock();
            std::this_thread::yield();
        }
        *pBuffer = value;
        return 1;
    }

    uint32_t BarSpaceWrite(uint32_t barIndex, uint32_t offset, const uint32_t* pBuffer) override {
        std::lock_guard lock(m_mutex);
        if (barIndex != 3) ++m_wrongBar;
        if (m_failWrites) return 0;
        m_writes.push_back({offset, *pBuffer});
        m_regs[offset] = *pBuffer;
        return 1;
    }

    void Set(uint32_t offset, uint32_t value) {
        std::lock_guard lock(m_mutex);
        m_regs[offset] = value;
    }
    uint32_t Get(uint32_t offset) {
        std::lock_guard lock(m_mutex);
        return m_regs[offset];
    }
    // Reads of the offset answer these values first, one per read.
    void Script(uint32_t offset, std::initializer_list<uint32_t> values) {
        std::lock_guard lock(m_mutex);
        m_scripts[offset].insert(m_scripts[offset].end(), values.begin(), values.end());
    }
    void SetReadHook(ReadHook hook) {
        std::lock_guard lock(m_mutex);
        m_readHook = std::move(hook);
    }
    void FailReads(bool fail) {
        std::lock_guard lock(m_mutex);
        m_failReads = fail;
    }
    void FailReadsOf(uint32_t offset) {
        std::lock_guard lock(m_mutex);
        m_failReadOffsets.insert(offset);
    }
    void FailWrites(bool fail) {
        std::lock_guard lock(m_mutex);
        m_failWrites = fail;
    }
    void YieldInRead(bool yield) {
        std::lock_guard lock(m_mutex);
        m_yieldInRead = yield;
    }
    std::vector<Write> Writes() {
        std::lock_guard lock(m_mutex);
        return m_writes;
    }
    std::vector<uint32_t> WritesTo(uint32_t offset) {
        std::lock_guard lock(m_mutex);
        std::vector<uint32_t> values;
        for (const Write& write : m_writes) {
            if (write.offset == offset) values.push_back(write.value);
        }
        return values;
    }
    uint32_t ReadCount(uint32_t offset) {
        std::lock_guard lock(m_mutex);
        return m_reads[offset];
    }
    uint32_t TotalReads() {
        std::lock_guard lock(m_mutex);
        uint32_t total = 0;
        for (const auto& [offset, count] : m_reads)
            total += count;
        return total;
    }
    void ClearLog() {
        std::lock_guard lock(m_mutex);
        m_writes.clear();
        m_reads.clear();
    }
    uint32_t WrongBarAccesses() {
        std::lock_guard lock(m_mutex);
        return m_wrongBar;
    }

  private:
    std::mutex m_mutex;
    std::map<uint32_t, uint32_t> m_regs;
    std::map<uint32_t, std::deque<uint32_t>> m_scripts;
    std::map<uint32_t, uint32_t> m_reads;
    std::set<uint32_t> m_failReadOffsets;
    std::vector<Write> m_writes;
    ReadHook m_readHook;
    bool m_failReads = false;
    bool m_failWrites = false;
    bool m_yieldInRead = false;
    uint32_t m_wrongBar = 0;
};

inline constexpr uint32_t kBlockA = 0x10;
inline constexpr uint32_t kBlockB = 0x90;
inline constexpr uint32_t kBlockC = 0x200;
inline constexpr uint32_t kBlockD = 0x300;

inline constexpr uint32_t Bit(uint32_t n) {
    return 1u << n;
}

// One card's globals with their mutexes, a register-file bridge and this
// card's register object over them.
class FpgaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_globals.SetName("QuorvelVelmora");
        ASSERT_EQ(m_globals.CreateMutexes(), 1u);
        m_fpga = std::make_unique<CVelmoraFpga>(&m_bridge, &m_globals);
        m_bridge.ClearLog();
    }

    // Another holder of the same named FPGA mutex, as another process has.
    std::unique_ptr<card::CGlobalVars> OtherHolder() {
        auto other = std::make_unique<card::CGlobalVars>(0);
        other->SetName("QuorvelVelmora");
        EXPECT_EQ(other->CreateMutexes(), 1u);
        return other;
    }

    // Whether a thread other than the caller can take the FPGA mutex now.
    static bool FpgaMutexFreeForOthers(card::CGlobalVars& holder) {
        platform::WaitResult result = platform::WaitResult::Failed;
        std::thread probe([&] {
            result = holder.GetFpgaMutex()->Lock(0);
            if (result == platform::WaitResult::Signaled ||
                result == platform::WaitResult::Abandoned) {
                holder.GetFpgaMutex()->Unlock();
            }
        });
        probe.join();
        return result != platform::WaitResult::Timeout;
    }

    card::CGlobalVars m_globals{0};
    RegisterFileBridge m_bridge;
    std::unique_ptr<CVelmoraFpga> m_fpga;
};

}  // namespace velmora::hw::testing
