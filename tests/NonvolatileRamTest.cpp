// The settings store on the simulated card: where every setting lands in the
// EEPROM, its rules, erased parts, the identity record and bus failures.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <vector>

#include "IicMasterSimCard.h"
#include "PlatformTestSupport.h"
#include "sim/SimEeprom.h"

namespace velmora::card {
namespace {

using iictest::SimCardTest;

class NonvolatileRamTest : public SimCardTest {
  protected:
    CNonvolatileRam& nvram() { return *card.nvram; }
    void PutByte(uint32_t address, uint8_t value) {
        ASSERT_EQ(card.iic->Write(0xA0, static_cast<uint8_t>(address), &value, 1), 1u);
    }
};

// One stored byte: what the setter stores for a value and what the getter
// answers for a stored byte.
struct ByteSetting {
    const char* name;
    uint32_t address;
    std::function<uint32_t(CNonvolatileRam&, uint32_t)> set;
    std::function<uint32_t(CNonvolatileRam&, uint32_t*)> get;
    std::vector<std::pair<uint32_t, uint8_t>> writes;  // value -> stored byte
    std::vector<std::pair<uint8_t, uint32_t>> reads;   // stored byte -> value
};

std::vector<ByteSetting> ByteSettings() {
    using N = CNonvolatileRam;
    const std::vector<std::pair<uint32_t, uint8_t>> clamp255 = {{300, 255}, {0x80, 0x80}};
    const std::vector<std::pair<uint8_t, uint32_t>> flagRead = {{0, 0}, {1, 1}, {0xFF, 1}};
    std::vector<ByteSetting> s = {
        {"video mode", 56, &N::SetVideoMode, &N::GetVideoMode, {{5, 1}, {0, 0}}, flagRead},
        {"sync source",
         57,
         [](N& n, uint32_t v) { return n.SetSyncSource(uint8_t(v)); },
         &N::GetSyncSource,
         {{300, 0x2C}, {3, 3}},
         {{0xFF, 0xFF}}},
        {"byte 59", 59, &N::SetStoredByte59, &N::GetStoredByte59, {{9, 3}, {2, 2}}, {{200, 3}}},
        {"fast lock", 60, &N::SetFastLockMode, &N::GetFastLockMode, {{7, 1}}, flagRead},
        {"chroma phase",
         61,
         &N::SetVideoOutputChromaPhase,
         &N::GetVideoOutputChromaPhase,
         clamp255,
         {}},
        {"control 24", 62, &N::SetControl24, &N::GetControl24, clamp255, {}},
        {"control 2C", 63, &N::SetControl2C, &N::GetControl2C, clamp255, {}},
        {"control 30", 64, &N::SetControl30, &N::GetControl30, clamp255, {}},
        {"flag 65", 65, &N::SetGlobalFlag65, &N::GetGlobalFlag65, {{2, 1}, {0, 0}}, flagRead},
        {"byte 70", 70, &N::SetStoredByte70, &N::GetStoredByte70, {{9, 5}, {4, 4}}, {{6, 5}}},
        {"byte 94", 94, &N::SetStoredByte94, &N::GetStoredByte94, clamp255, {}},
        {"byte 95", 95, &N::SetStoredByte95, &N::GetStoredByte95, clamp255, {}},
        {"global select",
         123,
         &N::SetGlobalSelectSetting,
         &N::GetGlobalSelectSetting,
         {{5, 1}, {0, 0}},
         {{1, 1}, {2, 0}, {0xFF, 0}}},
    };
    for (uint32_t ch = 0; ch < 2; ++ch) {
        s.push_back({"video source",
                     ch == 0 ? 58u : 208u,
                     [ch](N& n, uint32_t v) { return n.SetVideoSource(ch, uint8_t(v)); },
                     [ch](N& n, uint32_t* p) { return n.GetVideoSource(ch, p); },
                     {{0x107, 7}},
                     {}});
        s.push_back({"audio source",
                     ch == 0 ? 89u : 213u,
                     [ch](N& n, uint32_t v) { return n.SetAudioSource(ch, uint8_t(v)); },
                     [ch](N& n, uint32_t* p) { return n.GetAudioSource(ch, p); },
                     {{0x102, 2}},
                     {}});
    }
    const uint32_t blocks[4] = {66, 176, 180, 184};
    for (uint32_t ch = 0; ch < 4; ++ch) {
        s.push_back({"brightness",
                     blocks[ch] + 0,
                     [ch](N& n, uint32_t v) { return n.SetVideoInputBrightness(ch, v); },
                     [ch](N& n, uint32_t* p) { return n.GetVideoInputBrightness(ch, p); },
                     clamp255,
                     {}});
        s.push_back({"contrast",
                     blocks[ch] + 1,
                     [ch](N& n, uint32_t v) { return n.SetVideoInputContrast(ch, v); },
                     [ch](N& n, uint32_t* p) { return n.GetVideoInputContrast(ch, p); },
                     clamp255,
                     {}});
        s.push_back({"saturation",
                     blocks[ch] + 2,
                     [ch](N& n, uint32_t v) { return n.SetVideoInputSaturation(ch, 0, v); },
                     [ch](N& n, uint32_t* p) { return n.GetVideoInputSaturation(ch, 0, p); },
                     clamp255,
                     {}});
        s.push_back({"hue",
                     blocks[ch] + 3,
                     [ch](N& n, uint32_t v) { return n.SetVideoInputHue(ch, v); },
                     [ch](N& n, uint32_t* p) { return n.GetVideoInputHue(ch, p); },
                     clamp255,
                     {}});
        s.push_back({"chroma saturation",
                     192 + ch,
                     [ch](N& n, uint32_t v) { return n.SetVideoInputSaturation(ch, 7, v); },
                     [ch](N& n, uint32_t* p) { return n.GetVideoInputSaturation(ch, 7, p); },
                     clamp255,
                     {}});
    }
    return s;
}

TEST_F(NonvolatileRamTest, EverySettingLandsOnItsByteWithItsRules) {
    for (const ByteSetting& setting : ByteSettings()) {
        SCOPED_TRACE(::testing::Message() << setting.name << " at " << setting.address);
        for (const auto& [value, stored] : setting.writes) {
            ASSERT_EQ(setting.set(nvram(), value), 1u);
            EXPECT_EQ(EepromByte(setting.address), stored) << "value " << value;
            uint32_t out = 0xDEAD;
            EXPECT_EQ(setting.get(nvram(), &out), 1u);
        }
        for (const auto& [raw, expected] : setting.reads) {
            PutByte(setting.address, raw);
            uint32_t out = 0xDEAD;
            EXPECT_EQ(setting.get(nvram(), &out), 1u);
            EXPECT_EQ(out, expected) << "stored " << int(raw);
        }
    }

    // Low bytes into 8-bit outputs.
    uint8_t byte = 0;
    EXPECT_EQ(nvram().SetStoredByte96(0x1AB), 1u);
    EXPECT_EQ(EepromByte(96), 0xAB);
    EXPECT_EQ(nvram().GetStoredByte96(&byte), 1u);
    EXPECT_EQ(byte, 0xAB);
    EXPECT_EQ(nvram().SetAsiPacketLength(0x101), 1u);
    EXPECT_EQ(EepromByte(100), 0x01);
    EXPECT_EQ(nvram().GetAsiPacketLength(&byte), 1u);
    EXPECT_EQ(byte, 0x01);

    // Four-byte words keep their byte order.
    const uint8_t version[4] = {0x03, 0x02, 0x01, 0x00};
    const uint8_t word[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(nvram().SetBoardVersion(version), 1u);
    EXPECT_EQ(nvram().SetStoredDword(word), 1u);
    uint8_t back[4] = {};
    EXPECT_EQ(nvram().GetBoardVersion(back), 1u);
    EXPECT_EQ(0, memcmp(back, version, 4));
    EXPECT_EQ(nvram().GetStoredDword(back), 1u);
    EXPECT_EQ(0, memcmp(back, word, 4));
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(EepromByte(124 + i), version[i]);
        EXPECT_EQ(EepromByte(223 + i), word[i]);
    }
}

TEST_F(NonvolatileRamTest, ChannelsAndKeyedSlotsOutsideTheStoreAreRefused) {
    uint32_t out = 0x77;
    EXPECT_EQ(nvram().SetVideoSource(2, 1), 0u);
    EXPECT_EQ(nvram().GetVideoSource(2, &out), 0u);
    EXPECT_EQ(nvram().GetAudioSource(2, &out), 0u);
    EXPECT_EQ(nvram().SetAudioSource(2, 1), 1u);  // nothing to store
    EXPECT_EQ(nvram().SetVideoInputContrast(4, 1), 0u);
    EXPECT_EQ(nvram().GetVideoInputSaturation(4, 1, &out), 0u);
    EXPECT_EQ(nvram().SetVideoOutputFormat(1, 4, 1), 0u);
    EXPECT_EQ(nvram().GetAudioOutputSelect(1, 4, &out), 0u);
    EXPECT_EQ(out, 0x77u);

    // A keyed value goes only to the key that stored it.
    EXPECT_EQ(nvram().SetVideoOutputFormat(2, 1, 0x17), 1u);
    EXPECT_EQ(EepromByte(210), 2);
    EXPECT_EQ(EepromByte(91), 0x17);
    EXPECT_EQ(nvram().GetVideoOutputFormat(1, 1, &out), 0u);
    EXPECT_EQ(out, 0x77u);
    EXPECT_EQ(nvram().GetVideoOutputFormat(2, 1, &out), 1u);
    EXPECT_EQ(out, 0x17u);
    EXPECT_EQ(nvram().SetAudioOutputSelect(3, 2, 0x05), 1u);
    EXPECT_EQ(EepromByte(220), 3);
    EXPECT_EQ(EepromByte(216), 0x05);
    EXPECT_EQ(nvram().GetAudioOutputSelect(0, 2, &out), 0u);
    EXPECT_EQ(nvram().GetAudioOutputSelect(3, 2, &out), 1u);
    EXPECT_EQ(out, 0x05u);
}

TEST_F(NonvolatileRamTest, IdentityRecordIsBigEndianAndNeedsFormatOne) {
    // The card's factory record gives the card's serial number.
    uint8_t image[sim::SimEeprom::kSize];
    sim::SimEeprom::FactoryImage(0, image);
    sim::EepromImage factory;
    std::copy(std::begin(image), std::end(image), factory.begin());
    ASSERT_TRUE(sim::LoadEepromImage(0, factory));
    uint32_t w0 = 0, format = 0, w1 = 0, d0 = 0, d1 = 0;
    ASSERT_EQ(nvram().ReadIdentityRecord(&w0, &format, &w1, &d0, &d1), 1u);
    EXPECT_EQ(format, 1u);
    EXPECT_EQ(w0, sim::SimEeprom::kFactoryIdentityWord0);
    EXPECT_EQ(w1, sim::SimEeprom::kFactoryIdentityWord1);
    EXPECT_EQ((d0 & 0xFFFF0000u) + (d1 & 0xFFFFu), sim::SimEeprom::FactorySerial(0));

    ASSERT_EQ(nvram().WriteIdentityRecord(0x0102, 1, 0x0304, 0x05060708, 0x090A0B0C), 1u);
    const uint8_t expected[13] = {1, 2, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    for (unsigned i = 0; i < 13; ++i)
        EXPECT_EQ(EepromByte(240 + i), expected[i]) << i;
    // The serial number's halves are bytes 245-246 and 251-252 only: a
    // record differing in every other half leaves them.
    ASSERT_EQ(nvram().WriteIdentityRecord(0xFFFF, 1, 0xEEEE, 0x0506FFFF, 0xDDDD0B0C), 1u);
    EXPECT_EQ(EepromByte(245), 5);
    EXPECT_EQ(EepromByte(246), 6);
    EXPECT_EQ(EepromByte(251), 11);
    EXPECT_EQ(EepromByte(252), 12);
    ASSERT_EQ(nvram().ReadIdentityRecord(&w0, &format, &w1, &d0, &d1), 1u);
    EXPECT_EQ(w0, 0xFFFFu);
    EXPECT_EQ(w1, 0xEEEEu);
    EXPECT_EQ(d0, 0x0506FFFFu);
    EXPECT_EQ(d1, 0xDDDD0B0Cu);

    // Format 2 is refused and stores nothing.
    const auto before = sim::ReadEepromImage(0);
    EXPECT_EQ(nvram().WriteIdentityRecord(1, 2, 3, 4, 5), 0u);
    EXPECT_EQ(sim::ReadEepromImage(0), before);
    // A stored format other than 1 comes out alone.
    PutByte(242, 2);
    w0 = w1 = d0 = d1 = 0x55;
    EXPECT_EQ(nvram().ReadIdentityRecord(&w0, &format, &w1, &d0, &d1), 0u);
    EXPECT_EQ(format, 2u);
    EXPECT_EQ(w0 & w1 & d0 & d1, 0x55u);
}

TEST_F(NonvolatileRamTest, ErasedEepromReadsAsItsDefaults) {
    ASSERT_TRUE(sim::LoadErasedEeprom(0));
    uint32_t value = 0;
    EXPECT_EQ(nvram().GetVideoMode(&value), 1u);
    EXPECT_EQ(value, 1u);  // PAL
    EXPECT_EQ(nvram().GetFastLockMode(&value), 1u);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(nvram().GetGlobalFlag65(&value), 1u);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(nvram().GetStoredByte59(&value), 1u);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(nvram().GetStoredByte70(&value), 1u);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(nvram().GetGlobalSelectSetting(&value), 1u);
    EXPECT_EQ(value, 0u);
    uint8_t version[4] = {};
    EXPECT_EQ(nvram().GetBoardVersion(version), 1u);
    EXPECT_EQ(version[0] & version[1] & version[2] & version[3], 0xFF);
    value = 0x99;
    for (uint32_t slot = 0; slot < 4; ++slot) {
        EXPECT_EQ(nvram().GetVideoOutputFormat(slot, slot, &value), 0u);
        EXPECT_EQ(nvram().GetAudioOutputSelect(slot, slot, &value), 0u);
    }
    EXPECT_EQ(value, 0x99u);
    uint32_t format = 0;
    EXPECT_EQ(nvram().ReadIdentityRecord(&value, &format, &value, &value, &value), 0u);
    EXPECT_EQ(format, 0xFFu);
    EXPECT_EQ(value, 0x99u);
}

TEST_F(NonvolatileRamTest, SelfTestAndBitFieldWork) {
    EXPECT_EQ(nvram().SelfTest(), 1u);
    for (uint32_t a = 0; a < 48; ++a)
        EXPECT_EQ(EepromByte(a), 0xFF) << a;
    PutByte(150, 0x00);
    const uint8_t three = 3;
    EXPECT_EQ(nvram().WriteBitField(150, &three, 3, 2), 1u);
    EXPECT_EQ(EepromByte(150), 0x18);
}

TEST_F(NonvolatileRamTest, NoHardwareModeAnswersPalWithoutTheBus) {
    ASSERT_TRUE(sim::SetIicBusyStuck(0, true));  // any bus access would fail
    ASSERT_TRUE(sim::ClearIicTransferLog(0));
    nvram().SetNoHardwareMode(1);
    uint32_t mode = 0;
    EXPECT_EQ(nvram().GetVideoMode(&mode), 1u);
    EXPECT_EQ(mode, 1u);
    EXPECT_TRUE(sim::IicTransferLog(0).empty());
}

TEST_F(NonvolatileRamTest, BusErrorsArePassedOnAndLeaveOutputsAlone) {
    ASSERT_EQ(nvram().SetControl24(0x42), 1u);
    ASSERT_EQ(nvram().WriteIdentityRecord(1, 1, 2, 3, 4), 1u);
    const auto before = sim::ReadEepromImage(0);
    ASSERT_TRUE(sim::SetIicBusyStuck(0, true));
    EXPECT_EQ(nvram().SetControl24(0x43), 0u);
    EXPECT_EQ(nvram().SetVideoOutputFormat(1, 1, 1), 0u);
    EXPECT_EQ(nvram().WriteIdentityRecord(1, 1, 2, 3, 4), 0u);
    const uint8_t field = 1;
    EXPECT_EQ(nvram().WriteBitField(62, &field, 0, 1), 0u);
    EXPECT_EQ(nvram().SelfTest(), 0u);
    uint32_t value = 0x1234, format = 0x1234;
    EXPECT_EQ(nvram().GetControl24(&value), 0u);
    EXPECT_EQ(nvram().GetVideoMode(&value), 0u);
    EXPECT_EQ(nvram().ReadIdentityRecord(&value, &format, &value, &value, &value), 0u);
    EXPECT_EQ(value, 0x1234u);
    EXPECT_EQ(format, 0x1234u);
    uint8_t bytes[4] = {9, 9, 9, 9};
    EXPECT_EQ(nvram().GetBoardVersion(bytes), 0u);
    EXPECT_EQ(bytes[0] & bytes[3], 9);
    ASSERT_TRUE(sim::SetIicBusyStuck(0, false));
    EXPECT_EQ(sim::ReadEepromImage(0), before);

    // Without an IIC master nothing is claimed either.
    COstrevoNvRam orphan(nullptr);
    EXPECT_EQ(orphan.SetControl24(1), 0u);
    EXPECT_EQ(orphan.GetControl24(&value), 0u);
}

TEST_F(NonvolatileRamTest, SettingWrittenByOneProcessIsReadByAnotherAndOutlivesTheCard) {
    platform::test::Child child([] {
        iictest::SimCardStack other;
        if (!other.Open()) return 10;
        return other.nvram->SetControl30(0x5D) && other.nvram->SetVideoSource(1, 0x21) ? 0 : 11;
    });
    ASSERT_TRUE(child.Started());
    ASSERT_EQ(child.Wait(), 0);
    uint32_t value = 0;
    EXPECT_EQ(nvram().GetControl30(&value), 1u);
    EXPECT_EQ(value, 0x5Du);

    // Every process lets go of the card; the next one finds the settings.
    card.Close();
    sim::ReleaseCards();
    ASSERT_TRUE(sim::SetCardCount(1));
    ASSERT_TRUE(card.Open());
    EXPECT_EQ(nvram().GetVideoSource(1, &value), 1u);
    EXPECT_EQ(value, 0x21u);
}

}  // namespace
}  // namespace velmora::card
