// Every load-time object is defined here so that they are built in one fixed
// order at load and torn down in the reverse order at unload.
#include "card/LoadTimeGlobals.h"

#include "card/LogFile.h"
#include "platform/ForkSafeLock.h"

namespace velmora::card {

CUtilityFunc g_SdkUtility;
CUtilityFunc g_SdkUtilityTwin;

const char g_BoardSupportSourceName[] = "Velmoraboardsupport";

CUtilityFunc g_TraceUtility;

// Never destroyed: the application's threads still log the calls refused
// while the process ends, after the static objects are gone.
CLogFile& g_LogFile = *new CLogFile;

namespace {
platform::CCriticalSection& LogFileLineLock() {
    return g_LogFile.LineLock();
}
const int g_LogFileForkHandlers =
    platform::KeepLockUsableInForkedChild<platform::CCriticalSection, &LogFileLineLock>();
}  // namespace

ts::TS_OVER_IP_SETTINGS g_TsOverIpRecord = {
    std::string(ts::ts_over_ip::kDefaultGroup), ts::ts_over_ip::kDefaultPort, 0, 188, 0, 0};

CUtilityFunc g_FrameTraceUtility[kFrameTraceUtilityCount];

namespace {
alignas(16) uint8_t g_playbackConvertStorage[kPlaybackConvertBufferSize];
}  // namespace

uint8_t* const g_pPlaybackConvertBuffer = g_playbackConvertStorage;

record::idct_M64ASM g_IdctMmx;
record::idct_M128ASM g_IdctSse2;

const record::IDCT_VECTOR_CONSTANTS g_IdctVectorConstants = {
    _mm_set1_epi16(1),     _mm_set1_epi32(2048),  _mm_set1_epi16(16),     _mm_set1_epi16(15),
    _mm_set1_epi16(13036), _mm_set1_epi16(27146), _mm_set1_epi16(-21746), _mm_set1_epi16(-19195)};

}  // namespace velmora::card
