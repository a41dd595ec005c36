// Every load-time object is defined here so that they are built in one fixed
// order at load and torn down in the reverse order at unload.
#include "card/LoadTimeGlobals.h"

#include "card/LogFile.h"

namespace velmora::card {

CUtilityFunc g_SdkUtility;
CUtilityFunc g_SdkUtilityTwin;

const char g_BoardSupportSourceName[] = "Velmoraboardsupport";

CUtilityFunc g_TraceUtility;

CLogFile g_LogFile;

CUtilityFunc g_FrameTraceUtility[kFrameTraceUtilityCount];

namespace {
alignas(16) uint8_t g_playbackConvertStorage[kPlaybackConvertBufferSize];
}  // namespace

uint8_t* const g_pPlaybackConvertBuffer = g_playbackConvertStorage;

}  // namespace velmora::card
