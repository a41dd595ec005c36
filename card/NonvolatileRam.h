#pragma once

// The card's settings store: a 256-byte serial EEPROM on the card's IIC bus,
// reached one byte at a time through the card's IIC master. NVRAM_MAP is the
// persisted layout; cards in the field hold it, so every offset, width, byte
// order and clamping rule below is fixed.

#include <cstddef>
#include <cstdint>

namespace velmora::hw {
class CIicMaster;
}

namespace velmora::card {

// Picture controls of one video input channel; each 0-255.
struct NVRAM_PICTURE_BLOCK {
    uint8_t byBrightness;
    uint8_t byContrast;
    uint8_t bySaturation;
    uint8_t byHue;
};
static_assert(sizeof(NVRAM_PICTURE_BLOCK) == 4);

// The card's identity; fields are big-endian. The record counts only when
// its format byte is 1.
struct NVRAM_IDENTITY_RECORD {
    uint8_t byWord0[2];
    uint8_t byFormat;
    uint8_t byWord1[2];
    uint8_t byDword0[4];
    uint8_t byDword1[4];
};
static_assert(sizeof(NVRAM_IDENTITY_RECORD) == 13);
static_assert(offsetof(NVRAM_IDENTITY_RECORD, byFormat) == 2);
static_assert(offsetof(NVRAM_IDENTITY_RECORD, byWord1) == 3);
static_assert(offsetof(NVRAM_IDENTITY_RECORD, byDword0) == 5);
static_assert(offsetof(NVRAM_IDENTITY_RECORD, byDword1) == 9);

// The EEPROM's contents: the address of every setting is its offset here.
// Bytes named unused* are not used by the system.
struct NVRAM_MAP {
    uint8_t bySelfTestArea[48];         // 0-47, overwritten by the self-test
    uint8_t unused48[8];                // 48-55
    uint8_t byVideoStandard;            // 56: 1 PAL, 0 NTSC
    uint8_t bySyncSource;               // 57: SYNC_SOURCE_CODE
    uint8_t byVideoSource0;             // 58: VIDEO_SOURCE_CODE of channel 0
    uint8_t byStoredByte59;             // 59: 0-3
    uint8_t byFastLockMode;             // 60: 1 on, 0 off
    uint8_t byOutputChromaPhase;        // 61
    uint8_t byControl24;                // 62: level for FPGA register 0x24
    uint8_t byControl2C;                // 63: level for FPGA register 0x2C
    uint8_t byControl30;                // 64: level for FPGA register 0x30
    uint8_t byGlobalFlag65;             // 65: FPGA control bit 3
    NVRAM_PICTURE_BLOCK picture0;       // 66-69
    uint8_t byStoredByte70;             // 70: 0-5
    uint8_t unused71[18];               // 71-88
    uint8_t byAudioSource0;             // 89: AUDIO_SOURCE_CODE of channel 0
    uint8_t byVideoOutputFormat[4];     // 90-93: per encoder, keyed by 209-212
    uint8_t byStoredByte94;             // 94
    uint8_t byStoredByte95;             // 95
    uint8_t byStoredByte96;             // 96
    uint8_t unused97[3];                // 97-99
    uint8_t byAsiPacketLength;          // 100: bit 0 set for 204-byte packets
    uint8_t unused101[22];              // 101-122
    uint8_t byGlobalSelect;             // 123: 1 set
    uint8_t byBoardVersion[4];          // 124-127, little-endian
    uint8_t unused128[48];              // 128-175
    NVRAM_PICTURE_BLOCK picture1;       // 176-179
    NVRAM_PICTURE_BLOCK picture2;       // 180-183
    NVRAM_PICTURE_BLOCK picture3;       // 184-187
    uint8_t unused188[4];               // 188-191
    uint8_t byChromaSaturation[4];      // 192-195: per channel
    uint8_t unused196[12];              // 196-207
    uint8_t byVideoSource1;             // 208: VIDEO_SOURCE_CODE of channel 1
    uint8_t byVideoOutputFormatKey[4];  // 209-212: channel that stored 90-93
    uint8_t byAudioSource1;             // 213: AUDIO_SOURCE_CODE of channel 1
    uint8_t byAudioOutputSelect[4];     // 214-217: per audio output, keyed by 218-221
    uint8_t byAudioOutputSelectKey[4];  // 218-221: channel that stored 214-217
    uint8_t unused222;                  // 222
    uint8_t byStoredDword[4];           // 223-226, little-endian
    uint8_t unused227[13];              // 227-239
    NVRAM_IDENTITY_RECORD identity;     // 240-252
    uint8_t unused253[3];               // 253-255
};
static_assert(sizeof(NVRAM_MAP) == 256);
static_assert(offsetof(NVRAM_MAP, byVideoStandard) == 56);
static_assert(offsetof(NVRAM_MAP, byStoredByte59) == 59);
static_assert(offsetof(NVRAM_MAP, byGlobalFlag65) == 65);
static_assert(offsetof(NVRAM_MAP, picture0) == 66);
static_assert(offsetof(NVRAM_MAP, byStoredByte70) == 70);
static_assert(offsetof(NVRAM_MAP, byAudioSource0) == 89);
static_assert(offsetof(NVRAM_MAP, byVideoOutputFormat) == 90);
static_assert(offsetof(NVRAM_MAP, byStoredByte94) == 94);
static_assert(offsetof(NVRAM_MAP, byStoredByte96) == 96);
static_assert(offsetof(NVRAM_MAP, byAsiPacketLength) == 100);
static_assert(offsetof(NVRAM_MAP, byGlobalSelect) == 123);
static_assert(offsetof(NVRAM_MAP, byBoardVersion) == 124);
static_assert(offsetof(NVRAM_MAP, picture1) == 176);
static_assert(offsetof(NVRAM_MAP, picture2) == 180);
static_assert(offsetof(NVRAM_MAP, picture3) == 184);
static_assert(offsetof(NVRAM_MAP, byChromaSaturation) == 192);
static_assert(offsetof(NVRAM_MAP, byVideoSource1) == 208);
static_assert(offsetof(NVRAM_MAP, byVideoOutputFormatKey) == 209);
static_assert(offsetof(NVRAM_MAP, byAudioSource1) == 213);
static_assert(offsetof(NVRAM_MAP, byAudioOutputSelect) == 214);
static_assert(offsetof(NVRAM_MAP, byAudioOutputSelectKey) == 218);
static_assert(offsetof(NVRAM_MAP, byStoredDword) == 223);
static_assert(offsetof(NVRAM_MAP, identity) == 240);

// Every getter and setter returns 1, or 0 when the bus transfer of one of its
// bytes failed (a getter then leaves its outputs as they were), for a
// channel, encoder or output it does not handle, or for a stored key or
// identity format that does not match.
class CNonvolatileRam {
  public:
    // The pause after every byte, read or written, so that each EEPROM
    // write cycle completes before the next transfer.
    static constexpr uint32_t kBytePauseMs = 20;
    static constexpr uint32_t kSize = sizeof(NVRAM_MAP);
    static constexpr uint32_t kIdentityFormat = 1;

    explicit CNonvolatileRam(hw::CIicMaster* pIicMaster);
    CNonvolatileRam(const CNonvolatileRam&) = delete;
    CNonvolatileRam& operator=(const CNonvolatileRam&) = delete;

    void SetNoHardwareMode(uint32_t enable) { m_bNoHardware = enable; }
    uint32_t IsNoHardwareMode() const { return m_bNoHardware; }

    // One IIC transfer per byte; stop at the first byte whose transfer failed
    // and return 0, also for a range that runs past the EEPROM.
    uint32_t WriteBytes(uint32_t address, const uint8_t* pSource, uint32_t count);
    uint32_t ReadBytes(uint32_t address, uint8_t* pDestination, uint32_t count);
    // Read-modify-write of one byte; not atomic against other writers.
    uint32_t WriteBitField(uint8_t address, const uint8_t* pValue, uint8_t shift, uint8_t width);
    // Writes and reads back the self-test area twice (its addresses, then
    // 0xFF); 1 when the EEPROM kept both. Leaves the area at 0xFF.
    uint32_t SelfTest();

    virtual uint32_t SetBoardVersion(const uint8_t* pVersion);
    virtual uint32_t GetBoardVersion(uint8_t* pVersion);
    // Stores nothing unless format is 1.
    virtual uint32_t WriteIdentityRecord(uint32_t word0, uint32_t format, uint32_t word1,
                                         uint32_t dword0, uint32_t dword1);
    // The format output takes the stored format byte; the other outputs are
    // filled only when it is 1.
    virtual uint32_t ReadIdentityRecord(uint32_t* pWord0, uint32_t* pFormat, uint32_t* pWord1,
                                        uint32_t* pDword0, uint32_t* pDword1);
    virtual uint32_t SetGlobalSelectSetting(uint32_t flag);
    virtual uint32_t GetGlobalSelectSetting(uint32_t* pFlag);
    // In no-hardware mode PAL (1), without bus access.
    virtual uint32_t GetVideoMode(uint32_t* pMode);
    virtual uint32_t SetVideoMode(uint32_t mode);
    virtual uint32_t GetSyncSource(uint32_t* pCode);
    virtual uint32_t SetSyncSource(uint8_t code);
    virtual uint32_t GetVideoSource(uint32_t channel, uint32_t* pCode);
    virtual uint32_t SetVideoSource(uint32_t channel, uint8_t code);
    // A format is returned only to the key (channel) that stored it.
    virtual uint32_t GetVideoOutputFormat(uint32_t key, uint32_t encoder, uint32_t* pCode);
    virtual uint32_t SetVideoOutputFormat(uint8_t key, uint32_t encoder, uint8_t code);
    virtual uint32_t GetStoredByte59(uint32_t* pValue);
    virtual uint32_t SetStoredByte59(uint32_t value);
    virtual uint32_t GetFastLockMode(uint32_t* pMode);
    virtual uint32_t SetFastLockMode(uint32_t mode);
    virtual uint32_t GetAudioSource(uint32_t channel, uint32_t* pCode);
    // A channel other than 0 and 1 stores nothing and still answers 1.
    virtual uint32_t SetAudioSource(uint32_t channel, uint8_t code);
    virtual uint32_t GetAudioOutputSelect(uint32_t key, uint32_t output, uint32_t* pCode);
    virtual uint32_t SetAudioOutputSelect(uint8_t key, uint32_t output, uint8_t code);
    virtual uint32_t GetVideoOutputChromaPhase(uint32_t* pValue);
    virtual uint32_t SetVideoOutputChromaPhase(uint32_t value);
    virtual uint32_t GetControl24(uint32_t* pValue);
    virtual uint32_t SetControl24(uint32_t value);
    virtual uint32_t GetControl2C(uint32_t* pValue);
    virtual uint32_t SetControl2C(uint32_t value);
    virtual uint32_t GetControl30(uint32_t* pValue);
    virtual uint32_t SetControl30(uint32_t value);
    virtual uint32_t GetStoredByte70(uint32_t* pValue);
    virtual uint32_t SetStoredByte70(uint32_t value);
    virtual uint32_t GetGlobalFlag65(uint32_t* pFlag);
    virtual uint32_t SetGlobalFlag65(uint32_t flag);
    virtual uint32_t GetVideoInputContrast(uint32_t channel, uint32_t* pValue);
    virtual uint32_t SetVideoInputContrast(uint32_t channel, uint32_t value);
    virtual uint32_t GetVideoInputBrightness(uint32_t channel, uint32_t* pValue);
    virtual uint32_t SetVideoInputBrightness(uint32_t channel, uint32_t value);
    virtual uint32_t GetVideoInputHue(uint32_t channel, uint32_t* pValue);
    virtual uint32_t SetVideoInputHue(uint32_t channel, uint32_t value);
    // chroma: 0 the picture block's saturation, nonzero the chroma
    // saturation bytes.
    virtual uint32_t GetVideoInputSaturation(uint32_t channel, uint32_t chroma, uint32_t* pValue);
    virtual uint32_t SetVideoInputSaturation(uint32_t channel, uint32_t chroma, uint32_t value);
    virtual uint32_t SetStoredByte94(uint32_t value);
    virtual uint32_t GetStoredByte94(uint32_t* pValue);
    virtual uint32_t SetStoredByte95(uint32_t value);
    virtual uint32_t GetStoredByte95(uint32_t* pValue);
    virtual uint32_t SetStoredByte96(uint32_t value);
    virtual uint32_t GetStoredByte96(uint8_t* pValue);
    virtual uint32_t SetAsiPacketLength(uint32_t value);
    virtual uint32_t GetAsiPacketLength(uint8_t* pValue);
    virtual uint32_t SetStoredDword(const uint8_t* pDword);
    virtual uint32_t GetStoredDword(uint8_t* pDword);

    virtual ~CNonvolatileRam() = default;

  protected:
    uint8_t m_byWriteAddress = 0;
    uint8_t m_byReadAddress = 0;
    hw::CIicMaster* m_pIicMaster;
    uint32_t m_bNoHardware = 0;

  private:
    uint32_t WriteByte(uint32_t address, uint8_t value);
    // Reads one byte and stores it, passed through `rule`, into the output
    // only when the read succeeded.
    template <typename Out, typename Rule>
    uint32_t ReadByteInto(uint32_t address, Out* pOut, Rule rule);
    uint32_t WriteKeyed(uint32_t keyAddress, uint32_t valueAddress, uint8_t key, uint8_t code);
    uint32_t ReadKeyed(uint32_t keyAddress, uint32_t valueAddress, uint32_t key, uint32_t* pCode);
};

}  // namespace velmora::card
