#pragma once

// A simulated card with factory settings for the card and export tests, and
// a look at the card's named objects from outside the card objects.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "WaitSupport.h"
#include "card/CardTable.h"
#include "card/LogFile.h"
#include "card/VelmoraBoardSupport.h"
#include "card/VelmoraCard.h"
#include "platform/IpcName.h"
#include "platform/SharedMemory.h"
#include "sim/SimControl.h"
#include "sim/SimEeprom.h"
#include "velmora/Velmora.h"

namespace velmora::cardtest {

inline constexpr char kCardName[] = "QuorvelVelmora";

// The system-wide open count of a card as its shared block holds it; -1 when
// no process holds the block.
inline int64_t SystemOpenCount(uint32_t cardIndex) {
    const std::string name =
        std::string(kCardName) + "CardFileMappingObject" + std::to_string(cardIndex);
    auto block =
        platform::SharedMemory::OpenPosix(platform::MapObjectName("shm", name), 4096, {}, false);
    if (!block) return -1;
    return *static_cast<const uint32_t*>(block->Data());
}

// What this process's log file holds now; empty before its first line.
inline std::string LogText() {
    std::ifstream file(card::g_LogFile.GetLogFilePath());
    return {std::istreambuf_iterator<char>(file), {}};
}

// Puts a directory where a named mutex's memory would be, so that the mutex
// cannot be made while it lives.
class BlockedMutexName {
  public:
    explicit BlockedMutexName(const std::string& name)
        : m_path("/dev/shm" + platform::MapObjectName("mutex", name)) {
        EXPECT_EQ(mkdir(m_path.c_str(), 0700), 0) << m_path;
    }
    ~BlockedMutexName() { rmdir(m_path.c_str()); }
    BlockedMutexName(const BlockedMutexName&) = delete;
    BlockedMutexName& operator=(const BlockedMutexName&) = delete;

  private:
    std::string m_path;
};

// Reads `count` captured 188-byte packets of card 0; false when they do not
// all arrive within a bound that only stops a hung card.
inline bool CapturePackets(uint32_t count) {
    std::vector<uint8_t> data(size_t{count} * 188);
    uint32_t read = 0;
    return test::WaitUntil(
               [&] {
                   uint32_t ready = 0;
                   Quorvel_Velmora_TsCaptureGetFillBufferNum(&ready, 0);
                   ready = std::min(ready, count - read);
                   if (ready &&
                       Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(&data[read * 188], ready, 0))
                       read += ready;
                   return read == count;
               },
               "captured packets") &&
           data[0] == 0x47 && data[(count - 1) * 188] == 0x47;
}

class CardTest : public ::testing::Test {
  protected:
    void SetUp() override { StartCard(0x5110); }
    void TearDown() override {
        for (uint32_t index = 0; index < card::kCardTableSize; ++index) {
            if (card::g_pCardTable[index]) Quorvel_Velmora_CloseCard(index);
        }
        sim::ReleaseCards();
    }

    static void StartCard(uint32_t boardId) {
        ASSERT_TRUE(sim::SetCardCount(1));
        sim::SetBoardId(boardId);
        uint8_t bytes[sim::SimEeprom::kSize];
        sim::SimEeprom::FactoryImage(0, bytes);
        sim::EepromImage image;
        std::copy(std::begin(bytes), std::end(bytes), image.begin());
        ASSERT_TRUE(sim::LoadEepromImage(0, image));
    }

    static card::CVelmoraCard* Card(uint32_t index) { return card::g_pCardTable[index]; }

    // Video relay 0 of card 0 as the card's register holds it.
    static bool VideoRelay0On() {
        constexpr uint32_t kRelayRegister = 0x90;
        constexpr uint32_t kVideoRelay0Bit = 1u << 20;
        return (sim::PeekRegister(0, kRelayRegister).value_or(0) & kVideoRelay0Bit) != 0;
    }

    // Whether the bring-up of the first opener ran since the log was cleared.
    static bool DeviceInitialised() {
        for (const auto& write : sim::RegisterWriteLog(0)) {
            if (write.offset == 0x28 && write.value == 0x78) return true;
        }
        return false;
    }
};

}  // namespace velmora::cardtest
