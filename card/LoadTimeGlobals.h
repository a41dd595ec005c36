#pragma once

// The objects the library sets up when it is loaded. None of them starts a
// thread or opens a file; the log writer g_LogFile (LogFile.h) is built with
// them, in the same order, and is named later by the board support.

#include <cstddef>
#include <cstdint>

#include "card/UtilityFunc.h"
#include "record/Idct.h"
#include "ts/TsOverIp.h"

namespace velmora::card {

// The SDK version export's instance, and its twin beside it.
extern CUtilityFunc g_SdkUtility;
extern CUtilityFunc g_SdkUtilityTwin;

// The board-support source file's name without its extension.
extern const char g_BoardSupportSourceName[];

// The PCI bridge's traces.
extern CUtilityFunc g_TraceUtility;

// The TS-over-IP parameter record built at load: the built-in group and
// port, 188-byte packets, no RTP.
extern ts::TS_OVER_IP_SETTINGS g_TsOverIpRecord;

// One instance for each of the four capture frame readers.
inline constexpr size_t kFrameTraceUtilityCount = 4;
extern CUtilityFunc g_FrameTraceUtility[kFrameTraceUtilityCount];

// Work buffer of the video playback writer: one 720 x 576 frame at two bytes a
// pixel, 16-byte aligned. It lives as long as the process.
inline constexpr size_t kPlaybackConvertBufferSize = 829440;
extern uint8_t* const g_pPlaybackConvertBuffer;

// The two inverse-DCT objects of the intra decoder and the constant vectors
// of the vector-class inverse DCT; they hold no state.
extern record::idct_M64ASM g_IdctMmx;
extern record::idct_M128ASM g_IdctSse2;
extern const record::IDCT_VECTOR_CONSTANTS g_IdctVectorConstants;

}  // namespace velmora::card
