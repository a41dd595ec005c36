#include "card/NonvolatileRam.h"

#include <algorithm>
#include <iterator>

#include "hw/IicMaster.h"
#include "platform/Time.h"

namespace velmora::card {

namespace {

constexpr uint32_t kChannelCount = 4;
constexpr uint32_t kKeyedSlotCount = 4;

// Each rule turns a setter's value into the stored byte, or a stored byte
// into what the getter answers.
uint8_t Flag(uint32_t value) {
    return value != 0 ? 1 : 0;
}
uint8_t ClampTo(uint32_t value, uint32_t limit) {
    return static_cast<uint8_t>(std::min(value, limit));
}
uint8_t LowByte(uint32_t value) {
    return static_cast<uint8_t>(value & 0xFF);
}
uint32_t AsStored(uint8_t byte) {
    return byte;
}
uint32_t AtMostOne(uint8_t byte) {
    return byte > 1 ? 1u : byte;
}

// Where the picture controls of a channel live: channel 0's block sits apart
// from the other three.
uint32_t PictureBlockAddress(uint32_t channel) {
    constexpr uint32_t kBlocks[kChannelCount] = {
        offsetof(NVRAM_MAP, picture0), offsetof(NVRAM_MAP, picture1), offsetof(NVRAM_MAP, picture2),
        offsetof(NVRAM_MAP, picture3)};
    return kBlocks[channel];
}

void StoreBigEndian(uint32_t value, uint8_t* bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * (count - 1 - i)));
    }
}

uint32_t LoadBigEndian(const uint8_t* bytes, uint32_t count) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

}  // namespace

CNonvolatileRam::CNonvolatileRam(hw::CIicMaster* pIicMaster) : m_pIicMaster(pIicMaster) {}

uint32_t CNonvolatileRam::WriteBytes(uint32_t address, const uint8_t* pSource, uint32_t count) {
    if (m_pIicMaster == nullptr || address > kSize || count > kSize - address) return 0;
    if (count != 0 && pSource == nullptr) return 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t result = m_pIicMaster->Write(
            m_byWriteAddress, static_cast<uint8_t>(address + i), pSource + i, 1);
        platform::SettlingSleep(kBytePauseMs);
        if (!result) return 0;
    }
    return 1;
}

uint32_t CNonvolatileRam::ReadBytes(uint32_t address, uint8_t* pDestination, uint32_t count) {
    if (m_pIicMaster == nullptr || address > kSize || count > kSize - address) return 0;
    if (count != 0 && pDestination == nullptr) return 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t result = m_pIicMaster->Read(
            m_byReadAddress, static_cast<uint8_t>(address + i), pDestination + i, 1);
        platform::SettlingSleep(kBytePauseMs);
        if (!result) return 0;
    }
    return 1;
}

uint32_t CNonvolatileRam::WriteBitField(uint8_t address, const uint8_t* pValue, uint8_t shift,
                                        uint8_t width) {
    if (pValue == nullptr) return 0;
    uint8_t current = 0;
    // A byte that could not be read must not be merged and written back.
    if (!ReadBytes(address, &current, 1)) return 0;
    const uint8_t merged = hw::iic::MergeField(current, *pValue, shift, width);
    return WriteBytes(address, &merged, 1);
}

uint32_t CNonvolatileRam::SelfTest() {
    constexpr uint32_t kArea = sizeof(NVRAM_MAP::bySelfTestArea);
    constexpr uint32_t kBase = offsetof(NVRAM_MAP, bySelfTestArea);
    for (uint32_t i = 0; i < kArea; ++i) {
        if (!WriteByte(kBase + i, static_cast<uint8_t>(i))) return 0;
    }
    for (uint32_t i = 0; i < kArea; ++i) {
        uint8_t byte = 0;
        if (!ReadBytes(kBase + i, &byte, 1) || byte != i) return 0;
    }
    for (uint32_t i = 0; i < kArea; ++i) {
        if (!WriteByte(kBase + i, 0xFF)) return 0;
    }
    for (uint32_t i = 0; i < kArea; ++i) {
        uint8_t byte = 0;
        if (!ReadBytes(kBase + i, &byte, 1) || byte < 0xFF) return 0;
    }
    return 1;
}

uint32_t CNonvolatileRam::WriteByte(uint32_t address, uint8_t value) {
    return WriteBytes(address, &value, 1);
}

template <typename Out, typename Rule>
uint32_t CNonvolatileRam::ReadByteInto(uint32_t address, Out* pOut, Rule rule) {
    if (pOut == nullptr) return 0;
    uint8_t byte = 0;
    if (!ReadBytes(address, &byte, 1)) return 0;
    *pOut = static_cast<Out>(rule(byte));
    return 1;
}

uint32_t CNonvolatileRam::WriteKeyed(uint32_t keyAddress, uint32_t valueAddress, uint8_t key,
                                     uint8_t code) {
    // The key goes first, so that a value is never found under a key that
    // did not store it, even when the second write fails.
    return WriteByte(keyAddress, key) && WriteByte(valueAddress, code) ? 1 : 0;
}

uint32_t CNonvolatileRam::ReadKeyed(uint32_t keyAddress, uint32_t valueAddress, uint32_t key,
                                    uint32_t* pCode) {
    if (pCode == nullptr) return 0;
    uint8_t storedKey = 0;
    if (!ReadBytes(keyAddress, &storedKey, 1) || storedKey != key) return 0;
    return ReadByteInto(valueAddress, pCode, AsStored);
}

// Board version and identity.

uint32_t CNonvolatileRam::SetBoardVersion(const uint8_t* pVersion) {
    return WriteBytes(offsetof(NVRAM_MAP, byBoardVersion), pVersion,
                      sizeof(NVRAM_MAP::byBoardVersion));
}

uint32_t CNonvolatileRam::GetBoardVersion(uint8_t* pVersion) {
    if (pVersion == nullptr) return 0;
    uint8_t bytes[sizeof(NVRAM_MAP::byBoardVersion)];
    if (!ReadBytes(offsetof(NVRAM_MAP, byBoardVersion), bytes, sizeof(bytes))) return 0;
    std::copy(std::begin(bytes), std::end(bytes), pVersion);
    return 1;
}

uint32_t CNonvolatileRam::WriteIdentityRecord(uint32_t word0, uint32_t format, uint32_t word1,
                                              uint32_t dword0, uint32_t dword1) {
    if (format != kIdentityFormat) return 0;
    constexpr uint32_t kBase = offsetof(NVRAM_MAP, identity);
    NVRAM_IDENTITY_RECORD record{};
    StoreBigEndian(word0, record.byWord0, sizeof(record.byWord0));
    record.byFormat = static_cast<uint8_t>(format);
    StoreBigEndian(word1, record.byWord1, sizeof(record.byWord1));
    StoreBigEndian(dword0, record.byDword0, sizeof(record.byDword0));
    StoreBigEndian(dword1, record.byDword1, sizeof(record.byDword1));
    return WriteBytes(kBase + offsetof(NVRAM_IDENTITY_RECORD, byWord0), record.byWord0,
                      sizeof(record.byWord0)) &&
                   WriteByte(kBase + offsetof(NVRAM_IDENTITY_RECORD, byFormat), record.byFormat) &&
                   WriteBytes(kBase + offsetof(NVRAM_IDENTITY_RECORD, byWord1), record.byWord1,
                              sizeof(record.byWord1)) &&
                   WriteBytes(kBase + offsetof(NVRAM_IDENTITY_RECORD, byDword0), record.byDword0,
                              sizeof(record.byDword0)) &&
                   WriteBytes(kBase + offsetof(NVRAM_IDENTITY_RECORD, byDword1), record.byDword1,
                              sizeof(record.byDword1))
               ? 1
               : 0;
}

uint32_t CNonvolatileRam::ReadIdentityRecord(uint32_t* pWord0, uint32_t* pFormat, uint32_t* pWord1,
                                             uint32_t* pDword0, uint32_t* pDword1) {
    if (!pWord0 || !pFormat || !pWord1 || !pDword0 || !pDword1) return 0;
    constexpr uint32_t kBase = offsetof(NVRAM_MAP, identity);
    NVRAM_IDENTITY_RECORD record{};
    if (!ReadBytes(kBase + offsetof(NVRAM_IDENTITY_RECORD, byFormat), &record.byFormat, 1)) {
        return 0;
    }
    if (record.byFormat != kIdentityFormat) {
        *pFormat = record.byFormat;
        return 0;
    }
    if (!ReadBytes(kBase + offsetof(NVRAM_IDENTITY_RECORD, byWord0), record.byWord0,
                   sizeof(record.byWord0)) ||
        !ReadBytes(kBase + offsetof(NVRAM_IDENTITY_RECORD, byWord1), record.byWord1,
                   sizeof(record.byWord1)) ||
        !ReadBytes(kBase + offsetof(NVRAM_IDENTITY_RECORD, byDword0), record.byDword0,
                   sizeof(record.byDword0)) ||
        !ReadBytes(kBase + offsetof(NVRAM_IDENTITY_RECORD, byDword1), record.byDword1,
                   sizeof(record.byDword1))) {
        return 0;
    }
    *pFormat = record.byFormat;
    *pWord0 = LoadBigEndian(record.byWord0, sizeof(record.byWord0));
    *pWord1 = LoadBigEndian(record.byWord1, sizeof(record.byWord1));
    *pDword0 = LoadBigEndian(record.byDword0, sizeof(record.byDword0));
    *pDword1 = LoadBigEndian(record.byDword1, sizeof(record.byDword1));
    return 1;
}

// Settings.

uint32_t CNonvolatileRam::SetGlobalSelectSetting(uint32_t flag) {
    return WriteByte(offsetof(NVRAM_MAP, byGlobalSelect), Flag(flag));
}

uint32_t CNonvolatileRam::GetGlobalSelectSetting(uint32_t* pFlag) {
    // Only an explicit 1 counts: an erased byte (0xFF) means "not set".
    return ReadByteInto(offsetof(NVRAM_MAP, byGlobalSelect), pFlag,
                        [](uint8_t byte) { return byte == 1 ? 1u : 0u; });
}

uint32_t CNonvolatileRam::GetVideoMode(uint32_t* pMode) {
    if (pMode == nullptr) return 0;
    if (m_bNoHardware) {
        *pMode = 1;
        return 1;
    }
    return ReadByteInto(offsetof(NVRAM_MAP, byVideoStandard), pMode, AtMostOne);
}

uint32_t CNonvolatileRam::SetVideoMode(uint32_t mode) {
    return WriteByte(offsetof(NVRAM_MAP, byVideoStandard), Flag(mode));
}

uint32_t CNonvolatileRam::GetSyncSource(uint32_t* pCode) {
    return ReadByteInto(offsetof(NVRAM_MAP, bySyncSource), pCode, AsStored);
}

uint32_t CNonvolatileRam::SetSyncSource(uint8_t code) {
    return WriteByte(offsetof(NVRAM_MAP, bySyncSource), code);
}

uint32_t CNonvolatileRam::GetVideoSource(uint32_t channel, uint32_t* pCode) {
    if (channel == 0) return ReadByteInto(offsetof(NVRAM_MAP, byVideoSource0), pCode, AsStored);
    if (channel == 1) return ReadByteInto(offsetof(NVRAM_MAP, byVideoSource1), pCode, AsStored);
    return 0;
}

uint32_t CNonvolatileRam::SetVideoSource(uint32_t channel, uint8_t code) {
    if (channel == 0) return WriteByte(offsetof(NVRAM_MAP, byVideoSource0), code);
    if (channel == 1) return WriteByte(offsetof(NVRAM_MAP, byVideoSource1), code);
    return 0;
}

uint32_t CNonvolatileRam::GetVideoOutputFormat(uint32_t key, uint32_t encoder, uint32_t* pCode) {
    if (encoder >= kKeyedSlotCount) return 0;
    return ReadKeyed(offsetof(NVRAM_MAP, byVideoOutputFormatKey) + encoder,
                     offsetof(NVRAM_MAP, byVideoOutputFormat) + encoder, key, pCode);
}

uint32_t CNonvolatileRam::SetVideoOutputFormat(uint8_t key, uint32_t encoder, uint8_t code) {
    if (encoder >= kKeyedSlotCount) return 0;
    return WriteKeyed(offsetof(NVRAM_MAP, byVideoOutputFormatKey) + encoder,
                      offsetof(NVRAM_MAP, byVideoOutputFormat) + encoder, key, code);
}

uint32_t CNonvolatileRam::GetStoredByte59(uint32_t* pValue) {
    return ReadByteInto(offsetof(NVRAM_MAP, byStoredByte59), pValue,
                        [](uint8_t byte) { return ClampTo(byte, 3); });
}

uint32_t CNonvolatileRam::SetStoredByte59(uint32_t value) {
    return WriteByte(offsetof(NVRAM_MAP, byStoredByte59), ClampTo(value, 3));
}

uint32_t CNonvolatileRam::GetFastLockMode(uint32_t* pMode) {
    return ReadByteInto(offsetof(NVRAM_MAP, byFastLockMode), pMode, AtMostOne);
}

uint32_t CNonvolatileRam::SetFastLockMode(uint32_t mode) {
    return WriteByte(offsetof(NVRAM_MAP, byFastLockMode), Flag(mode));
}

uint32_t CNonvolatileRam::GetAudioSource(uint32_t channel, uint32_t* pCode) {
    if (channel == 0) return ReadByteInto(offsetof(NVRAM_MAP, byAudioSource0), pCode, AsStored);
    if (channel == 1) return ReadByteInto(offsetof(NVRAM_MAP, byAudioSource1), pCode, AsStored);
    return 0;
}

uint32_t CNonvolatileRam::SetAudioSource(uint32_t channel, uint8_t code) {
    if (channel == 0) return WriteByte(offsetof(NVRAM_MAP, byAudioSource0), code);
    if (channel == 1) return WriteByte(offsetof(NVRAM_MAP, byAudioSource1), code);
    // A channel without a slot of its own has nothing to store.
    return 1;
}

uint32_t CNonvolatileRam::GetAudioOutputSelect(uint32_t key, uint32_t output, uint32_t* pCode) {
    if (output >= kKeyedSlotCount) return 0;
    return ReadKeyed(offsetof(NVRAM_MAP, byAudioOutputSelectKey) + output,
                     offsetof(NVRAM_MAP, byAudioOutputSelect) + output, key, pCode);
}

uint32_t CNonvolatileRam::SetAudioOutputSelect(uint8_t key, uint32_t output, uint8_t code) {
    if (output >= kKeyedSlotCount) return 0;
    return WriteKeyed(offsetof(NVRAM_MAP, byAudioOutputSelectKey) + output,
                      offsetof(NVRAM_MAP, byAudioOutputSelect) + output, key, code);
}

uint32_t CNonvolatileRam::GetVideoOutputChromaPhase(uint32_t* pValue) {
    return ReadByteInto(offsetof(NVRAM_MAP, byOutputChromaPhase), pValue, AsStored);
}

uint32_t CNonvolatileRam::SetVideoOutputChromaPhase(uint32_t value) {
    return WriteByte(offsetof(NVRAM_MAP, byOutputChromaPhase), ClampTo(value, 255));
}

uint32_t CNonvolatileRam::GetControl24(uint32_t* pValue) {
    return ReadByteInto(offsetof(NVRAM_MAP, byControl24), pValue, AsStored);
}

uint32_t CNonvolatileRam::SetControl24(uint32_t value) {
    return WriteByte(offsetof(NVRAM_MAP, byControl24), ClampTo(value, 255));
}

uint32_t CNonvolatileRam::GetControl2C(uint32_t* pValue) {
    return ReadByteInto(offsetof(NVRAM_MAP, byControl2C), pValue, AsStored);
}

uint32_t CNonvolatileRam::SetControl2C(uint32_t value) {
    return WriteByte(offsetof(NVRAM_MAP, byControl2C), ClampTo(value, 255));
}

uint32_t CNonvolatileRam::GetControl30(uint32_t* pValue) {
    return ReadByteInto(offsetof(NVRAM_MAP, byControl30), pValue, AsStored);
}

uint32_t CNonvolatileRam::SetControl30(uint32_t value) {
    return WriteByte(offsetof(NVRAM_MAP, byControl30), ClampTo(value, 255));
}

uint32_t CNonvolatileRam::GetStoredByte70(uint32_t* pValue) {
    return ReadByteInto(offsetof(NVRAM_MAP, byStoredByte70), pValue,
                        [](uint8_t byte) { return ClampTo(byte, 5); });
}

uint32_t CNonvolatileRam::SetStoredByte70(uint32_t value) {
    return WriteByte(offsetof(NVRAM_MAP, byStoredByte70), ClampTo(value, 5));
}

uint32_t CNonvolatileRam::GetGlobalFlag65(uint32_t* pFlag) {
    return ReadByteInto(offsetof(NVRAM_MAP, byGlobalFlag65), pFlag, AtMostOne);
}

uint32_t CNonvolatileRam::SetGlobalFlag65(uint32_t flag) {
    return WriteByte(offsetof(NVRAM_MAP, byGlobalFlag65), Flag(flag));
}

uint32_t CNonvolatileRam::GetVideoInputContrast(uint32_t channel, uint32_t* pValue) {
    if (channel >= kChannelCount) return 0;
    return ReadByteInto(PictureBlockAddress(channel) + offsetof(NVRAM_PICTURE_BLOCK, byContrast),
                        pValue, AsStored);
}

uint32_t CNonvolatileRam::SetVideoInputContrast(uint32_t channel, uint32_t value) {
    if (channel >= kChannelCount) return 0;
    return WriteByte(PictureBlockAddress(channel) + offsetof(NVRAM_PICTURE_BLOCK, byContrast),
                     ClampTo(value, 255));
}

uint32_t CNonvolatileRam::GetVideoInputBrightness(uint32_t channel, uint32_t* pValue) {
    if (channel >= kChannelCount) return 0;
    return ReadByteInto(PictureBlockAddress(channel) + offsetof(NVRAM_PICTURE_BLOCK, byBrightness),
                        pValue, AsStored);
}

uint32_t CNonvolatileRam::SetVideoInputBrightness(uint32_t channel, uint32_t value) {
    if (channel >= kChannelCount) return 0;
    return WriteByte(PictureBlockAddress(channel) + offsetof(NVRAM_PICTURE_BLOCK, byBrightness),
                     ClampTo(value, 255));
}

uint32_t CNonvolatileRam::GetVideoInputHue(uint32_t channel, uint32_t* pValue) {
    if (channel >= kChannelCount) return 0;
    return ReadByteInto(PictureBlockAddress(channel) + offsetof(NVRAM_PICTURE_BLOCK, byHue), pValue,
                        AsStored);
}

uint32_t CNonvolatileRam::SetVideoInputHue(uint32_t channel, uint32_t value) {
    if (channel >= kChannelCount) return 0;
    return WriteByte(PictureBlockAddress(channel) + offsetof(NVRAM_PICTURE_BLOCK, byHue),
                     ClampTo(value, 255));
}

uint32_t CNonvolatileRam::GetVideoInputSaturation(uint32_t channel, uint32_t chroma,
                                                  uint32_t* pValue) {
    if (channel >= kChannelCount) return 0;
    const uint32_t address =
        chroma ? offsetof(NVRAM_MAP, byChromaSaturation) + channel
               : PictureBlockAddress(channel) + offsetof(NVRAM_PICTURE_BLOCK, bySaturation);
    return ReadByteInto(address, pValue, AsStored);
}

uint32_t CNonvolatileRam::SetVideoInputSaturation(uint32_t channel, uint32_t chroma,
                                                  uint32_t value) {
    if (channel >= kChannelCount) return 0;
    const uint32_t address =
        chroma ? offsetof(NVRAM_MAP, byChromaSaturation) + channel
               : PictureBlockAddress(channel) + offsetof(NVRAM_PICTURE_BLOCK, bySaturation);
    return WriteByte(address, ClampTo(value, 255));
}

uint32_t CNonvolatileRam::SetStoredByte94(uint32_t value) {
    return WriteByte(offsetof(NVRAM_MAP, byStoredByte94), ClampTo(value, 255));
}

uint32_t CNonvolatileRam::GetStoredByte94(uint32_t* pValue) {
    return ReadByteInto(offsetof(NVRAM_MAP, byStoredByte94), pValue, AsStored);
}

uint32_t CNonvolatileRam::SetStoredByte95(uint32_t value) {
    return WriteByte(offsetof(NVRAM_MAP, byStoredByte95), ClampTo(value, 255));
}

uint32_t CNonvolatileRam::GetStoredByte95(uint32_t* pValue) {
    return ReadByteInto(offsetof(NVRAM_MAP, byStoredByte95), pValue, AsStored);
}

uint32_t CNonvolatileRam::SetStoredByte96(uint32_t value) {
    return WriteByte(offsetof(NVRAM_MAP, byStoredByte96), LowByte(value));
}

uint32_t CNonvolatileRam::GetStoredByte96(uint8_t* pValue) {
    return ReadByteInto(offsetof(NVRAM_MAP, byStoredByte96), pValue, AsStored);
}

uint32_t CNonvolatileRam::SetAsiPacketLength(uint32_t value) {
    return WriteByte(offsetof(NVRAM_MAP, byAsiPacketLength), LowByte(value));
}

uint32_t CNonvolatileRam::GetAsiPacketLength(uint8_t* pValue) {
    return ReadByteInto(offsetof(NVRAM_MAP, byAsiPacketLength), pValue, AsStored);
}

uint32_t CNonvolatileRam::SetStoredDword(const uint8_t* pDword) {
    return WriteBytes(offsetof(NVRAM_MAP, byStoredDword), pDword, sizeof(NVRAM_MAP::byStoredDword));
}

uint32_t CNonvolatileRam::GetStoredDword(uint8_t* pDword) {
    if (pDword == nullptr) return 0;
    uint8_t bytes[sizeof(NVRAM_MAP::byStoredDword)];
    if (!ReadBytes(offsetof(NVRAM_MAP, byStoredDword), bytes, sizeof(bytes))) return 0;
    std::copy(std::begin(bytes), std::end(bytes), pDword);
    return 1;
}

}  // namespace velmora::card
