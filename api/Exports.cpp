// The library's exported functions. A per-card function finds the card of
// its index in the card table, translates its arguments where the
// application's numbers differ from the board's codes, and calls one
// operation of the card's API object. It returns 0 without touching anything
// for an index outside the table, a card that is not open (or being opened
// or closed on another thread), a card inherited from the parent process, or
// a null pointer argument.

#include <cstring>
#include <new>

#include "api/VelmoraSdkApi.h"
#include "card/CardTable.h"
#include "card/LoadTimeGlobals.h"
#include "card/LogFile.h"
#include "card/VelmoraCard.h"
#include "hw/VelmoraPciBridge.h"
#include "platform/CallDeadline.h"
#include "platform/SignalsHeldBack.h"
#include "velmora/Velmora.h"

using velmora::api::CVelmoraSdkApi;
using velmora::card::CVelmoraCard;
using velmora::card::g_pCardTable;
using velmora::card::kCardTableSize;

namespace {

// The API object of an open card for one call: the card's close waits until
// the call is over. A card a forked child inherited is not the child's: its
// threads, DMA channels and engines are the opener's, and driving them from
// the copy would wait on threads that do not exist here or stop the opener's
// work. The child can only set the copy aside with Quorvel_Velmora_CloseCard.
// The call's waits for other processes' locks share one deadline, and the
// thread's signal handlers wait until it is over.
class ApiCall {
  public:
    explicit ApiCall(uint32_t cardIndex) : m_call(cardIndex) {
        const CVelmoraCard* card = m_call.Card();
        if (card && card->IsOpen() && !card->IsInheritedCopy()) m_pApi = card->GetApi();
    }
    CVelmoraSdkApi* operator->() const { return m_pApi; }
    bool operator!() const { return m_pApi == nullptr; }

  private:
    velmora::platform::SignalsHeldBack m_signals;
    velmora::platform::CallDeadline m_deadline;
    velmora::card::CardCall m_call;
    CVelmoraSdkApi* m_pApi = nullptr;
};

velmora::platform::Handle HandleOf(VELMORA_HANDLE handle) {
    return static_cast<velmora::platform::Handle>(handle);
}

// API_SYNC_SOURCE <-> SYNC_SOURCE_CODE.
uint32_t SyncSourceCode(uint32_t source) {
    switch (source) {
        case 0x00:
        case 0x01:
        case 0x02:
            return source;
        case 0x05:
            return 0x24;
        case 0x20:
            return 0x10;
        default:
            return 0x80;
    }
}

uint32_t SyncSourceValue(uint32_t code) {
    switch (code) {
        case 0x00:
        case 0x01:
        case 0x02:
            return code;
        case 0x24:
            return 0x05;
        case 0x10:
            return 0x20;
        default:
            return 0x80;
    }
}

// API_VIDEO_SOURCE <-> VIDEO_SOURCE_CODE.
uint32_t VideoSourceCode(uint32_t source) {
    switch (source) {
        case 1:
        case 2:
            return source;
        case 5:
            return 0x24;
        default:
            return 0x00;
    }
}

uint32_t VideoSourceValue(uint32_t code) {
    switch (code) {
        case 0x01:
        case 0x02:
            return code;
        case 0x24:
            return 5;
        default:
            return 0;
    }
}

// API_AUDIO_SOURCE <-> AUDIO_SOURCE_CODE.
uint32_t AudioSourceCode(uint32_t source) {
    switch (source) {
        case 2:
            return 0x01;
        case 3:
            return 0x13;
        default:
            return 0x00;
    }
}

uint32_t AudioSourceValue(uint32_t code) {
    switch (code) {
        case 0x01:
            return 2;
        case 0x13:
            return 3;
        default:
            return 1;
    }
}

// The video relay channels 0x0A and 0x0B are relays 0 and 1; false for any
// other channel.
bool VideoRelayOf(uint32_t relayChannel, uint32_t* pRelay) {
    if (relayChannel != VELMORA_VIDEO_RELAY_0 && relayChannel != VELMORA_VIDEO_RELAY_1)
        return false;
    *pRelay = relayChannel - VELMORA_VIDEO_RELAY_0;
    return true;
}

bool IsAudioRelay(uint32_t relayChannel) {
    return relayChannel == VELMORA_AUDIO_RELAY_0 || relayChannel == VELMORA_AUDIO_RELAY_1;
}

uint32_t Low(uint64_t value) {
    return static_cast<uint32_t>(value);
}

uint32_t High(uint64_t value) {
    return static_cast<uint32_t>(value >> 32);
}

}  // namespace

// ---- Cards -------------------------------------------------------------------

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetTotalCardNumber(uint32_t* pCount) {
    if (!pCount) return 0;
    const velmora::platform::SignalsHeldBack signals;
    const velmora::platform::CallDeadline deadline;
    velmora::hw::CVelmoraPciBridge bridge;
    // A count that gave up at the deadline may have missed cards: the
    // caller's count keeps its old value then.
    uint32_t count = 0;
    if (!bridge.GetBoardCount(&count) || deadline.Missed()) return 0;
    *pCount = count;
    return 1;
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_OpenCard(uint32_t cardIndex) {
    using velmora::card::g_LogFile;
    if (cardIndex >= kCardTableSize) {
        g_LogFile.WriteLogA("OpenCard: card %u is past the %u cards there can be: not opened",
                            cardIndex, static_cast<unsigned>(kCardTableSize));
        return 0;
    }
    const velmora::platform::SignalsHeldBack signals;
    const velmora::platform::CallDeadline deadline;
    velmora::card::CloseCardsWhenTheProcessEnds(false);
    const velmora::card::CardEntryChange change(cardIndex);
    if (change.ProcessEnding()) {
        g_LogFile.WriteLogA("OpenCard: the process is ending: card %u is not opened", cardIndex);
        return 0;
    }
    CVelmoraCard*& entry = g_pCardTable[cardIndex];
    if (!entry) {
        entry = new (std::nothrow) CVelmoraCard(cardIndex);
        if (!entry) {
            g_LogFile.WriteLogA("OpenCard: no memory for card %u: not opened", cardIndex);
            return 0;
        }
    }
    const uint32_t result = entry->OpenCardObjects(1);
    velmora::card::CloseCardsWhenTheProcessEnds(true);
    if (!result || !deadline.Missed()) return result;
    // A step that gave up at the deadline left the card's bring-up undone
    // although the open went through: it is closed again, as a failed open
    // leaves nothing open, so that a later open brings the card up whole.
    g_LogFile.WriteLogA(
        "OpenCard: a wait for a lock held elsewhere gave up at the call's deadline: card %u is "
        "closed again and not opened",
        cardIndex);
    entry->CloseCardObjects(1);
    return 0;
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_CloseCard(uint32_t cardIndex) {
    if (cardIndex >= kCardTableSize) return 0;
    const velmora::platform::SignalsHeldBack signals;
    return velmora::card::CloseCardEntry(cardIndex);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetCardTypeNumber(uint32_t* pType, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pType) return 0;
    return api->GetCardTypeNumber(pType);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_RestoreDefault(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->RestoreDefault();
}

// ---- Field interrupts and time ---------------------------------------------

VELMORA_EXPORT uint32_t Quorvel_Velmora_InitialFieldEvent(const wchar_t* pszEventName,
                                                          VELMORA_HANDLE* phEvent,
                                                          uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pszEventName || !phEvent) return 0;
    velmora::platform::Handle handle = nullptr;
    const uint32_t result = api->InitialFieldEvent(pszEventName, &handle);
    if (result) *phEvent = handle;
    return result;
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_CloseFieldEvent(VELMORA_HANDLE hEvent, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    api->CloseFieldEvent(HandleOf(hEvent));
    return 1;
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_WaitForFieldInterrupt(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->WaitForFieldInterrupt();
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetFieldNumber(uint32_t* pField, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pField) return 0;
    return api->GetFieldNumber(pField);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetCardTimeStamp(uint64_t* pTimeStamp, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pTimeStamp) return 0;
    return api->GetCardTimeStamp(0, pTimeStamp);
}

// ---- Video and audio frames ------------------------------------------------

VELMORA_EXPORT uint32_t Quorvel_Velmora_VideoCaptureStart(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->VideoCaptureStart(0);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_VideoCaptureStop(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->VideoCaptureStop(0);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoCaptureFrameType(uint32_t frameType,
                                                                 uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->SetVideoCaptureFrameType(0, frameType);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoPlaybackFrameType(uint32_t frameType,
                                                                  uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->SetVideoPlaybackFrameType(0, frameType);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoCaptureBufferStatus(uint32_t* pStatus,
                                                                    uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pStatus) return 0;
    return api->GetVideoCaptureBufferStatus(0, pStatus);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoPlaybackBufferStatus(uint32_t* pStatus,
                                                                     uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pStatus) return 0;
    return api->GetVideoPlaybackBufferStatus(0, pStatus);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_ReadOneVideoFrame(uint64_t* pTimeStamp, void* pFrame,
                                                          uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pTimeStamp || !pFrame) return 0;
    return api->ReadOneVideoFrame(0, pTimeStamp, pFrame);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_WriteOneVideoFrame(uint64_t timeStamp, void* pFrame,
                                                           uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pFrame) return 0;
    return api->WriteOneVideoFrame(0, Low(timeStamp), High(timeStamp), pFrame);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_FlushVideoPlaybackBuffer(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->FlushVideoPlaybackBuffer(0);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_AudioCaptureStart(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->AudioCaptureStart(0);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_AudioCaptureStop(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->AudioCaptureStop(0);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetAudioCaptureBufferStatus(uint32_t* pStatus,
                                                                    uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pStatus) return 0;
    return api->GetAudioCaptureBufferStatus(0, pStatus);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetAudioPlaybackBufferStatus(uint32_t* pStatus,
                                                                     uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pStatus) return 0;
    return api->GetAudioPlaybackBufferStatus(0, pStatus);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_ReadOneAudioFrame(uint64_t* pTimeStamp, void* pSamples,
                                                          uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pTimeStamp || !pSamples) return 0;
    return api->ReadOneAudioFrame(0, pTimeStamp, pSamples);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_WriteOneAudioFrame(uint64_t timeStamp, void* pSamples,
                                                           uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pSamples) return 0;
    return api->WriteOneAudioFrame(0, Low(timeStamp), High(timeStamp), pSamples);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_FlushAudioPlaybackBuffer(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->FlushAudioPlaybackBuffer(0);
}

// ---- Sources, modes, relays and picture controls ---------------------------

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoRelayMode(uint32_t relayChannel, uint32_t mode,
                                                          uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    uint32_t relay = 0;
    if (!api || !VideoRelayOf(relayChannel, &relay)) return 0;
    return api->SetVideoRelayMode(relay, mode);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoRelayMode(uint32_t relayChannel, uint32_t* pMode,
                                                          uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    uint32_t relay = 0;
    if (!api || !pMode || !VideoRelayOf(relayChannel, &relay)) return 0;
    return api->GetVideoRelayMode(relay, pMode);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetAudioRelayMode(uint32_t relayChannel, uint32_t mode,
                                                          uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !IsAudioRelay(relayChannel)) return 0;
    return api->SetAudioRelayMode(relayChannel, mode);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetAudioRelayMode(uint32_t relayChannel, uint32_t* pMode,
                                                          uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pMode || !IsAudioRelay(relayChannel)) return 0;
    return api->GetAudioRelayMode(relayChannel, pMode);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoMode(uint32_t* pMode, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pMode) return 0;
    return api->GetVideoMode(pMode);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoMode(uint32_t mode, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->SetVideoMode(mode);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetSyncSource(uint32_t* pSource, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pSource) return 0;
    uint32_t code = 0;
    if (!api->GetSyncSource(&code)) return 0;
    *pSource = SyncSourceValue(code);
    return 1;
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetSyncSource(uint32_t source, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->SetSyncSource(SyncSourceCode(source));
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoSource(uint32_t* pSource, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pSource) return 0;
    uint32_t code = 0;
    if (!api->GetVideoSource(0, &code)) return 0;
    *pSource = VideoSourceValue(code);
    return 1;
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoSource(uint32_t source, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->SetVideoSource(0, VideoSourceCode(source));
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoInputStatus(uint32_t* pStatus, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pStatus) return 0;
    // Input code 0: the first input of decoder 0.
    return api->GetVideoInputStatus(0, pStatus);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoBlackLevel(uint32_t level, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    if (!api->SetVideoBlackLevel(0, level)) return 0;
    return api->SetVideoBlackLevel(1, level);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoBlackLevel(uint32_t* pLevel, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pLevel) return 0;
    return api->GetVideoBlackLevel(0, pLevel);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetAudioSource(uint32_t* pSource, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pSource) return 0;
    uint32_t code = 0;
    if (!api->GetAudioSource(0, &code)) return 0;
    *pSource = AudioSourceValue(code);
    return 1;
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetAudioSource(uint32_t source, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->SetAudioSource(0, AudioSourceCode(source));
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoInputContrast(uint32_t* pValue,
                                                              uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pValue) return 0;
    return api->GetVideoInputContrast(0, pValue);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoInputContrast(uint32_t value, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->SetVideoInputContrast(0, value);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoInputBrightness(uint32_t* pValue,
                                                                uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pValue) return 0;
    return api->GetVideoInputBrightness(0, pValue);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoInputBrightness(uint32_t value,
                                                                uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->SetVideoInputBrightness(0, value);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoInputHue(uint32_t* pValue, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pValue) return 0;
    return api->GetVideoInputHue(0, pValue);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoInputHue(uint32_t value, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->SetVideoInputHue(0, value);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetVideoInputSaturation(uint32_t* pValue,
                                                                uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pValue) return 0;
    return api->GetVideoInputSaturation(0, pValue);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetVideoInputSaturation(uint32_t value,
                                                                uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->SetVideoInputSaturation(0, value);
}

// ---- Versions, identity and test -------------------------------------------

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetSerialNumber(uint32_t* pSerial, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pSerial) return 0;
    return api->GetSerialNumber(pSerial);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_Test(TEST_REQUEST* pRequest, uint32_t size,
                                             uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pRequest) return 0;
    return api->Test(pRequest, size);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetBoardVersion(uint32_t* pVersion, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pVersion) return 0;
    uint32_t version = 0;
    if (!api->GetBoardVersion(&version)) return 0;
    *pVersion = version;
    return 1;
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetFPGAVersion(uint32_t* pVersion, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pVersion) return 0;
    uint32_t version = 0;
    if (!api->GetFPGAVersion(&version)) return 0;
    *pVersion = version;
    return 1;
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetDriverVersion(uint32_t* pVersion, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pVersion) return 0;
    uint32_t version = 0;
    if (!api->GetDriverVersion(&version)) return 0;
    *pVersion = version;
    return 1;
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_GetSdkVersion(uint32_t* pVersion) {
    if (!pVersion) return 0;
    return velmora::card::g_SdkUtility.GetSdkVersion(pVersion) ? 1 : 0;
}

// ---- ASI ---------------------------------------------------------------------

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsSetAsiOutputMode(uint32_t mode, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->TsSetAsiOutputMode(mode);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsGetAsiOutputMode(uint32_t* pMode, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pMode) return 0;
    return api->TsGetAsiOutputMode(pMode);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsSetAsiPacketLength(uint32_t lengthFlag,
                                                             uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->TsSetAsiPacketLength(lengthFlag);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsGetAsiPacketLength(uint32_t* pLengthFlag,
                                                             uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pLengthFlag) return 0;
    return api->TsGetAsiPacketLength(pLengthFlag);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsGetAsiStatus(uint32_t* pStatus, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pStatus) return 0;
    return api->TsGetAsiStatus(pStatus);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsSetAsiCodeRateTrackStart(uint32_t on,
                                                                   uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->TsSetAsiCodeRateTrackStart(on);
}

// ---- Transport-stream capture, program information, recording, playback ---

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureEnable(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->TsCaptureEnable(0);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureDisable(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->TsCaptureDisable(0);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureSetWorkMode(uint32_t workMode,
                                                             uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->TsCaptureSetWorkMode(workMode);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureGetWorkMode(uint32_t* pWorkMode,
                                                             uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pWorkMode) return 0;
    return api->TsCaptureGetWorkMode(pWorkMode);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureGetFillBufferNum(uint32_t* pPacketCount,
                                                                  uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pPacketCount) return 0;
    return api->TsCaptureGetFillBufferNum(pPacketCount);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(void* pPackets,
                                                                       uint32_t packetCount,
                                                                       uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pPackets) return 0;
    return api->TsCaptureReadPacketsFromBuffer(pPackets, packetCount);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureRecorderEnable(uint32_t programNumber,
                                                                const wchar_t* pszOutputPath,
                                                                uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pszOutputPath) return 0;
    return api->TsCaptureRecorderEnable(programNumber, pszOutputPath, 0);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureRecorderDisable(uint32_t programNumber,
                                                                 const wchar_t* pszOutputPath,
                                                                 uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pszOutputPath) return 0;
    return api->TsCaptureRecorderDisable(programNumber, pszOutputPath, 0);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureRecorderGetLength(uint32_t programNumber,
                                                                   uint32_t reserved,
                                                                   RECORD_LENGTH* pLength,
                                                                   uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pLength) return 0;
    return api->TsCaptureRecorderGetLength(programNumber, reserved, pLength, 0);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureGetProgramInformation(
    TS_PROGRAM_INFORMATION* pInformation, uint32_t* pState, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pInformation || !pState) return 0;
    return api->TsCaptureGetProgramInformation(pInformation, pState);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsCaptureSetFilteredProgram(int32_t programCount,
                                                                    FILTERED_PROGRAM* pList,
                                                                    uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    // No list is needed to turn the filter off.
    if (!api || (programCount > 0 && !pList)) return 0;
    return api->TsCaptureSetFilteredProgram(programCount, pList);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsSetInputSource(uint32_t source, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->TsSetInputSource(source);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsPlaybackEnable(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->TsPlaybackEnable(0);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsPlaybackDisable(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->TsPlaybackDisable(0);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsPlaybackGetEmptyBufferNum(uint32_t* pPacketCount,
                                                                    uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pPacketCount) return 0;
    return api->TsPlaybackGetEmptyBufferNum(pPacketCount);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsPlaybackWritePacketsToBuffer(void* pPackets,
                                                                       uint32_t packetCount,
                                                                       uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pPackets) return 0;
    return api->TsPlaybackWritePacketsToBuffer(pPackets, packetCount);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsPlaybackSetBitRate(uint32_t bitRate, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->TsPlaybackSetBitRate(bitRate);
}

// ---- NIT replacement -------------------------------------------------------

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsReplaceNitEnable(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->TsReplaceNitEnable();
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsReplaceNitDisable(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->TsReplaceNitDisable();
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsReplaceNitGetNitInformation(NIT_INFORMATION* pNit,
                                                                      uint32_t reserved,
                                                                      uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pNit) return 0;
    return api->TsReplaceNitGetNitInformation(pNit, reserved);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_TsReplaceNitSetNitInformation(const NIT_INFORMATION* pNit,
                                                                      uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pNit) return 0;
    return api->TsReplaceNitSetNitInformation(pNit);
}

// ---- Transport stream over IP and the whole-stream file --------------------

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetParameter(TS_OVER_IP_PARAM param, uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !param.pszAddress) return 0;
    return api->SetParameter(param);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_UdpRun(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->UdpRun();
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_UdpStop(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->UdpStop();
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_SetReceiveParameter(TS_OVER_IP_PARAM param,
                                                            uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !param.pszAddress) return 0;
    return api->SetReceiveParameter(param);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_UdpReceiveRun(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->UdpReceiveRun();
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_UdpReceiveStop(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->UdpReceiveStop();
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_StartWriteTsFile(const wchar_t* pszFileName,
                                                         uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api || !pszFileName) return 0;
    return api->StartWriteTsFile(pszFileName);
}

VELMORA_EXPORT uint32_t Quorvel_Velmora_StopWriteTsFile(uint32_t cardIndex) {
    const ApiCall api(cardIndex);
    if (!api) return 0;
    return api->StopWriteTsFile();
}
