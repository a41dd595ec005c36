// The exported functions: the library's symbol list, the common road of every
// per-card function (index, open card, null pointers) and the value maps on
// the way to the board support.

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "CardTestSupport.h"
#include "GuardedBuffer.h"
#include "PlatformTestSupport.h"
#include "api/VelmoraSdkApi.h"
#include "platform/Paths.h"

namespace velmora::cardtest {
namespace {

// The exported names, written down independently of the header.
const std::set<std::string> kExportNames = {"GetTotalCardNumber",
                                            "OpenCard",
                                            "CloseCard",
                                            "GetCardTypeNumber",
                                            "RestoreDefault",
                                            "InitialFieldEvent",
                                            "CloseFieldEvent",
                                            "WaitForFieldInterrupt",
                                            "GetFieldNumber",
                                            "GetCardTimeStamp",
                                            "VideoCaptureStart",
                                            "VideoCaptureStop",
                                            "SetVideoCaptureFrameType",
                                            "SetVideoPlaybackFrameType",
                                            "GetVideoCaptureBufferStatus",
                                            "GetVideoPlaybackBufferStatus",
                                            "ReadOneVideoFrame",
                                            "WriteOneVideoFrame",
                                            "FlushVideoPlaybackBuffer",
                                            "AudioCaptureStart",
                                            "AudioCaptureStop",
                                            "GetAudioCaptureBufferStatus",
                                            "GetAudioPlaybackBufferStatus",
                                            "ReadOneAudioFrame",
                                            "WriteOneAudioFrame",
                                            "FlushAudioPlaybackBuffer",
                                            "SetVideoRelayMode",
                                            "GetVideoRelayMode",
                                            "SetAudioRelayMode",
                                            "GetAudioRelayMode",
                                            "GetVideoMode",
                                            "SetVideoMode",
                                            "GetSyncSource",
                                            "SetSyncSource",
                                            "GetVideoSource",
                                            "SetVideoSource",
                                            "GetVideoInputStatus",
                                            "SetVideoBlackLevel",
                                            "GetVideoBlackLevel",
                                            "GetAudioSource",
                                            "SetAudioSource",
                                            "GetVideoInputContrast",
                                            "SetVideoInputContrast",
                                            "GetVideoInputBrightness",
                                            "SetVideoInputBrightness",
                                            "GetVideoInputHue",
                                            "SetVideoInputHue",
                                            "GetVideoInputSaturation",
                                            "SetVideoInputSaturation",
                                            "GetSerialNumber",
                                            "Test",
                                            "GetBoardVersion",
                                            "GetFPGAVersion",
                                            "GetDriverVersion",
                                            "GetSdkVersion",
                                            "TsSetAsiOutputMode",
                                            "TsGetAsiOutputMode",
                                            "TsSetAsiPacketLength",
                                            "TsGetAsiPacketLength",
                                            "TsGetAsiStatus",
                                            "TsSetAsiCodeRateTrackStart",
                                            "TsCaptureEnable",
                                            "TsCaptureDisable",
                                            "TsCaptureSetWorkMode",
                                            "TsCaptureGetWorkMode",
                                            "TsCaptureGetFillBufferNum",
                                            "TsCaptureReadPacketsFromBuffer",
                                            "TsCaptureRecorderEnable",
                                            "TsCaptureRecorderDisable",
                                            "TsCaptureRecorderGetLength",
                                            "TsCaptureGetProgramInformation",
                                            "TsCaptureSetFilteredProgram",
                                            "TsSetInputSource",
                                            "TsPlaybackEnable",
                                            "TsPlaybackDisable",
                                            "TsPlaybackGetEmptyBufferNum",
                                            "TsPlaybackWritePacketsToBuffer",
                                            "TsPlaybackSetBitRate",
                                            "TsReplaceNitEnable",
                                            "TsReplaceNitDisable",
                                            "TsReplaceNitGetNitInformation",
                                            "TsReplaceNitSetNitInformation",
                                            "SetParameter",
                                            "UdpRun",
                                            "UdpStop",
                                            "SetReceiveParameter",
                                            "UdpReceiveRun",
                                            "UdpReceiveStop",
                                            "StartWriteTsFile",
                                            "StopWriteTsFile"};

TEST(ExportSymbolTest, TheLibraryExportsTheNinetyFunctionsAndNothingElseOfTheSdk) {
    ASSERT_EQ(kExportNames.size(), 90u);
    char exe[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
    const auto library = std::filesystem::path(exe).parent_path().parent_path() / "libvelmora.so";
    ASSERT_TRUE(std::filesystem::exists(library)) << library;

    const std::string command = "nm -D --defined-only '" + library.string() + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> exported;
    std::vector<std::string> others;
    char line[512];
    while (std::fgets(line, sizeof(line), pipe)) {
        char address[64], type[8], name[400];
        if (std::sscanf(line, "%63s %7s %399s", address, type, name) != 3) continue;
        const std::string symbol = name;
        if (symbol.rfind("Quorvel_Velmora_", 0) == 0) {
            exported.insert(symbol.substr(16));
        } else if (symbol.rfind("VelmoraOs_", 0) != 0) {
            others.push_back(symbol);
        }
    }
    ASSERT_EQ(pclose(pipe), 0) << "nm failed";
    EXPECT_EQ(exported, kExportNames);
    EXPECT_TRUE(others.empty()) << others.front();
}

uint8_t g_buffer[2 * 1024 * 1024];
NIT_INFORMATION g_nit;

// Every per-card function, with valid pointers.
const std::vector<std::pair<const char*, std::function<uint32_t(uint32_t)>>>& PerCardCalls() {
    static uint32_t word;
    static uint64_t stamp;
    static VELMORA_HANDLE handle;
    static TEST_REQUEST request;
    static RECORD_LENGTH length;
    static TS_PROGRAM_INFORMATION information;
    static FILTERED_PROGRAM filter[4] = {1, 0x100, 0x20, 0};
    static const TS_OVER_IP_PARAM param{L"127.0.0.1", 1234, 0, 188, 0, 0};
    void* const buffer = g_buffer;
    using namespace std;
    static const vector<pair<const char*, function<uint32_t(uint32_t)>>> calls = {
        {"CloseCard", [](uint32_t c) { return Quorvel_Velmora_CloseCard(c); }},
        {"GetCardTypeNumber",
         [](uint32_t c) { return Quorvel_Velmora_GetCardTypeNumber(&word, c); }},
        {"RestoreDefault", [](uint32_t c) { return Quorvel_Velmora_RestoreDefault(c); }},
        {"InitialFieldEvent",
         [](uint32_t c) { return Quorvel_Velmora_InitialFieldEvent(L"evt", &handle, c); }},
        {"CloseFieldEvent", [](uint32_t c) { return Quorvel_Velmora_CloseFieldEvent(nullptr, c); }},
        {"WaitForFieldInterrupt",
         [](uint32_t c) { return Quorvel_Velmora_WaitForFieldInterrupt(c); }},
        {"GetFieldNumber", [](uint32_t c) { return Quorvel_Velmora_GetFieldNumber(&word, c); }},
        {"GetCardTimeStamp",
         [](uint32_t c) { return Quorvel_Velmora_GetCardTimeStamp(&stamp, c); }},
        {"VideoCaptureStart", [](uint32_t c) { return Quorvel_Velmora_VideoCaptureStart(c); }},
        {"VideoCaptureStop", [](uint32_t c) { return Quorvel_Velmora_VideoCaptureStop(c); }},
        {"SetVideoCaptureFrameType",
         [](uint32_t c) { return Quorvel_Velmora_SetVideoCaptureFrameType(1, c); }},
        {"SetVideoPlaybackFrameType",
         [](uint32_t c) { return Quorvel_Velmora_SetVideoPlaybackFrameType(1, c); }},
        {"GetVideoCaptureBufferStatus",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoCaptureBufferStatus(&word, c); }},
        {"GetVideoPlaybackBufferStatus",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoPlaybackBufferStatus(&word, c); }},
        {"ReadOneVideoFrame",
         [=](uint32_t c) { return Quorvel_Velmora_ReadOneVideoFrame(&stamp, buffer, c); }},
        {"WriteOneVideoFrame",
         [=](uint32_t c) { return Quorvel_Velmora_WriteOneVideoFrame(7, buffer, c); }},
        {"FlushVideoPlaybackBuffer",
         [](uint32_t c) { return Quorvel_Velmora_FlushVideoPlaybackBuffer(c); }},
        {"AudioCaptureStart", [](uint32_t c) { return Quorvel_Velmora_AudioCaptureStart(c); }},
        {"AudioCaptureStop", [](uint32_t c) { return Quorvel_Velmora_AudioCaptureStop(c); }},
        {"GetAudioCaptureBufferStatus",
         [](uint32_t c) { return Quorvel_Velmora_GetAudioCaptureBufferStatus(&word, c); }},
        {"GetAudioPlaybackBufferStatus",
         [](uint32_t c) { return Quorvel_Velmora_GetAudioPlaybackBufferStatus(&word, c); }},
        {"ReadOneAudioFrame",
         [=](uint32_t c) { return Quorvel_Velmora_ReadOneAudioFrame(&stamp, buffer, c); }},
        {"WriteOneAudioFrame",
         [=](uint32_t c) { return Quorvel_Velmora_WriteOneAudioFrame(7, buffer, c); }},
        {"FlushAudioPlaybackBuffer",
         [](uint32_t c) { return Quorvel_Velmora_FlushAudioPlaybackBuffer(c); }},
        {"SetVideoRelayMode",
         [](uint32_t c) { return Quorvel_Velmora_SetVideoRelayMode(0x0A, 1, c); }},
        {"GetVideoRelayMode",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoRelayMode(0x0A, &word, c); }},
        {"SetAudioRelayMode",
         [](uint32_t c) { return Quorvel_Velmora_SetAudioRelayMode(0, 1, c); }},
        {"GetAudioRelayMode",
         [](uint32_t c) { return Quorvel_Velmora_GetAudioRelayMode(0, &word, c); }},
        {"GetVideoMode", [](uint32_t c) { return Quorvel_Velmora_GetVideoMode(&word, c); }},
        {"SetVideoMode", [](uint32_t c) { return Quorvel_Velmora_SetVideoMode(1, c); }},
        {"GetSyncSource", [](uint32_t c) { return Quorvel_Velmora_GetSyncSource(&word, c); }},
        {"SetSyncSource", [](uint32_t c) { return Quorvel_Velmora_SetSyncSource(0x80, c); }},
        {"GetVideoSource", [](uint32_t c) { return Quorvel_Velmora_GetVideoSource(&word, c); }},
        {"SetVideoSource", [](uint32_t c) { return Quorvel_Velmora_SetVideoSource(0, c); }},
        {"GetVideoInputStatus",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoInputStatus(&word, c); }},
        {"SetVideoBlackLevel", [](uint32_t c) { return Quorvel_Velmora_SetVideoBlackLevel(5, c); }},
        {"GetVideoBlackLevel",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoBlackLevel(&word, c); }},
        {"GetAudioSource", [](uint32_t c) { return Quorvel_Velmora_GetAudioSource(&word, c); }},
        {"SetAudioSource", [](uint32_t c) { return Quorvel_Velmora_SetAudioSource(1, c); }},
        {"GetVideoInputContrast",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoInputContrast(&word, c); }},
        {"SetVideoInputContrast",
         [](uint32_t c) { return Quorvel_Velmora_SetVideoInputContrast(0x80, c); }},
        {"GetVideoInputBrightness",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoInputBrightness(&word, c); }},
        {"SetVideoInputBrightness",
         [](uint32_t c) { return Quorvel_Velmora_SetVideoInputBrightness(0x80, c); }},
        {"GetVideoInputHue", [](uint32_t c) { return Quorvel_Velmora_GetVideoInputHue(&word, c); }},
        {"SetVideoInputHue", [](uint32_t c) { return Quorvel_Velmora_SetVideoInputHue(0x80, c); }},
        {"GetVideoInputSaturation",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoInputSaturation(&word, c); }},
        {"SetVideoInputSaturation",
         [](uint32_t c) { return Quorvel_Velmora_SetVideoInputSaturation(0x80, c); }},
        {"GetSerialNumber", [](uint32_t c) { return Quorvel_Velmora_GetSerialNumber(&word, c); }},
        {"Test", [](uint32_t c) { return Quorvel_Velmora_Test(&request, sizeof(request), c); }},
        {"GetBoardVersion", [](uint32_t c) { return Quorvel_Velmora_GetBoardVersion(&word, c); }},
        {"GetFPGAVersion", [](uint32_t c) { return Quorvel_Velmora_GetFPGAVersion(&word, c); }},
        {"GetDriverVersion", [](uint32_t c) { return Quorvel_Velmora_GetDriverVersion(&word, c); }},
        {"TsSetAsiOutputMode", [](uint32_t c) { return Quorvel_Velmora_TsSetAsiOutputMode(0, c); }},
        {"TsGetAsiOutputMode",
         [](uint32_t c) { return Quorvel_Velmora_TsGetAsiOutputMode(&word, c); }},
        {"TsSetAsiPacketLength",
         [](uint32_t c) { return Quorvel_Velmora_TsSetAsiPacketLength(0, c); }},
        {"TsGetAsiPacketLength",
         [](uint32_t c) { return Quorvel_Velmora_TsGetAsiPacketLength(&word, c); }},
        {"TsGetAsiStatus", [](uint32_t c) { return Quorvel_Velmora_TsGetAsiStatus(&word, c); }},
        {"TsSetAsiCodeRateTrackStart",
         [](uint32_t c) { return Quorvel_Velmora_TsSetAsiCodeRateTrackStart(1, c); }},
        {"TsCaptureEnable", [](uint32_t c) { return Quorvel_Velmora_TsCaptureEnable(c); }},
        {"TsCaptureDisable", [](uint32_t c) { return Quorvel_Velmora_TsCaptureDisable(c); }},
        {"TsCaptureSetWorkMode",
         [](uint32_t c) { return Quorvel_Velmora_TsCaptureSetWorkMode(0, c); }},
        {"TsCaptureGetWorkMode",
         [](uint32_t c) { return Quorvel_Velmora_TsCaptureGetWorkMode(&word, c); }},
        {"TsCaptureGetFillBufferNum",
         [](uint32_t c) { return Quorvel_Velmora_TsCaptureGetFillBufferNum(&word, c); }},
        {"TsCaptureReadPacketsFromBuffer",
         [=](uint32_t c) { return Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(buffer, 1, c); }},
        {"TsCaptureRecorderEnable",
         [](uint32_t c) { return Quorvel_Velmora_TsCaptureRecorderEnable(1, L"/tmp/x", c); }},
        {"TsCaptureRecorderDisable",
         [](uint32_t c) { return Quorvel_Velmora_TsCaptureRecorderDisable(1, L"/tmp/x", c); }},
        {"TsCaptureRecorderGetLength",
         [](uint32_t c) { return Quorvel_Velmora_TsCaptureRecorderGetLength(1, 0, &length, c); }},
        {"TsCaptureGetProgramInformation",
         [](uint32_t c) {
             return Quorvel_Velmora_TsCaptureGetProgramInformation(&information, &word, c);
         }},
        {"TsCaptureSetFilteredProgram",
         [](uint32_t c) { return Quorvel_Velmora_TsCaptureSetFilteredProgram(1, filter, c); }},
        {"TsSetInputSource", [](uint32_t c) { return Quorvel_Velmora_TsSetInputSource(0, c); }},
        {"TsPlaybackEnable", [](uint32_t c) { return Quorvel_Velmora_TsPlaybackEnable(c); }},
        {"TsPlaybackDisable", [](uint32_t c) { return Quorvel_Velmora_TsPlaybackDisable(c); }},
        {"TsPlaybackGetEmptyBufferNum",
         [](uint32_t c) { return Quorvel_Velmora_TsPlaybackGetEmptyBufferNum(&word, c); }},
        {"TsPlaybackWritePacketsToBuffer",
         [=](uint32_t c) { return Quorvel_Velmora_TsPlaybackWritePacketsToBuffer(buffer, 1, c); }},
        {"TsPlaybackSetBitRate",
         [](uint32_t c) { return Quorvel_Velmora_TsPlaybackSetBitRate(1000000, c); }},
        {"TsReplaceNitEnable", [](uint32_t c) { return Quorvel_Velmora_TsReplaceNitEnable(c); }},
        {"TsReplaceNitDisable", [](uint32_t c) { return Quorvel_Velmora_TsReplaceNitDisable(c); }},
        {"TsReplaceNitGetNitInformation",
         [](uint32_t c) { return Quorvel_Velmora_TsReplaceNitGetNitInformation(&g_nit, 0, c); }},
        {"TsReplaceNitSetNitInformation",
         [](uint32_t c) { return Quorvel_Velmora_TsReplaceNitSetNitInformation(&g_nit, c); }},
        {"SetParameter", [](uint32_t c) { return Quorvel_Velmora_SetParameter(param, c); }},
        {"UdpRun", [](uint32_t c) { return Quorvel_Velmora_UdpRun(c); }},
        {"UdpStop", [](uint32_t c) { return Quorvel_Velmora_UdpStop(c); }},
        {"SetReceiveParameter",
         [](uint32_t c) { return Quorvel_Velmora_SetReceiveParameter(param, c); }},
        {"UdpReceiveRun", [](uint32_t c) { return Quorvel_Velmora_UdpReceiveRun(c); }},
        {"UdpReceiveStop", [](uint32_t c) { return Quorvel_Velmora_UdpReceiveStop(c); }},
        {"StartWriteTsFile",
         [](uint32_t c) { return Quorvel_Velmora_StartWriteTsFile(L"/tmp/x.ts", c); }},
        {"StopWriteTsFile", [](uint32_t c) { return Quorvel_Velmora_StopWriteTsFile(c); }},
    };
    return calls;
}

// Every per-card function that takes a pointer, with one of them null.
const std::vector<std::pair<const char*, std::function<uint32_t(uint32_t)>>>& NullPointerCalls() {
    static uint32_t word;
    static uint64_t stamp;
    static VELMORA_HANDLE handle;
    static const TS_OVER_IP_PARAM noAddress{nullptr, 1234, 0, 188, 0, 0};
    void* const buffer = g_buffer;
    using namespace std;
    static const vector<pair<const char*, function<uint32_t(uint32_t)>>> calls = {
        {"GetCardTypeNumber",
         [](uint32_t c) { return Quorvel_Velmora_GetCardTypeNumber(nullptr, c); }},
        {"InitialFieldEvent name",
         [](uint32_t c) { return Quorvel_Velmora_InitialFieldEvent(nullptr, &handle, c); }},
        {"InitialFieldEvent handle",
         [](uint32_t c) { return Quorvel_Velmora_InitialFieldEvent(L"evt", nullptr, c); }},
        {"GetFieldNumber", [](uint32_t c) { return Quorvel_Velmora_GetFieldNumber(nullptr, c); }},
        {"GetCardTimeStamp",
         [](uint32_t c) { return Quorvel_Velmora_GetCardTimeStamp(nullptr, c); }},
        {"GetVideoCaptureBufferStatus",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoCaptureBufferStatus(nullptr, c); }},
        {"GetVideoPlaybackBufferStatus",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoPlaybackBufferStatus(nullptr, c); }},
        {"ReadOneVideoFrame stamp",
         [=](uint32_t c) { return Quorvel_Velmora_ReadOneVideoFrame(nullptr, buffer, c); }},
        {"ReadOneVideoFrame frame",
         [](uint32_t c) { return Quorvel_Velmora_ReadOneVideoFrame(&stamp, nullptr, c); }},
        {"WriteOneVideoFrame",
         [](uint32_t c) { return Quorvel_Velmora_WriteOneVideoFrame(0, nullptr, c); }},
        {"GetAudioCaptureBufferStatus",
         [](uint32_t c) { return Quorvel_Velmora_GetAudioCaptureBufferStatus(nullptr, c); }},
        {"GetAudioPlaybackBufferStatus",
         [](uint32_t c) { return Quorvel_Velmora_GetAudioPlaybackBufferStatus(nullptr, c); }},
        {"ReadOneAudioFrame stamp",
         [=](uint32_t c) { return Quorvel_Velmora_ReadOneAudioFrame(nullptr, buffer, c); }},
        {"ReadOneAudioFrame samples",
         [](uint32_t c) { return Quorvel_Velmora_ReadOneAudioFrame(&stamp, nullptr, c); }},
        {"WriteOneAudioFrame",
         [](uint32_t c) { return Quorvel_Velmora_WriteOneAudioFrame(0, nullptr, c); }},
        {"GetVideoRelayMode",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoRelayMode(0x0A, nullptr, c); }},
        {"GetAudioRelayMode",
         [](uint32_t c) { return Quorvel_Velmora_GetAudioRelayMode(0, nullptr, c); }},
        {"GetVideoMode", [](uint32_t c) { return Quorvel_Velmora_GetVideoMode(nullptr, c); }},
        {"GetSyncSource", [](uint32_t c) { return Quorvel_Velmora_GetSyncSource(nullptr, c); }},
        {"GetVideoSource", [](uint32_t c) { return Quorvel_Velmora_GetVideoSource(nullptr, c); }},
        {"GetVideoInputStatus",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoInputStatus(nullptr, c); }},
        {"GetVideoBlackLevel",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoBlackLevel(nullptr, c); }},
        {"GetAudioSource", [](uint32_t c) { return Quorvel_Velmora_GetAudioSource(nullptr, c); }},
        {"GetVideoInputContrast",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoInputContrast(nullptr, c); }},
        {"GetVideoInputBrightness",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoInputBrightness(nullptr, c); }},
        {"GetVideoInputHue",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoInputHue(nullptr, c); }},
        {"GetVideoInputSaturation",
         [](uint32_t c) { return Quorvel_Velmora_GetVideoInputSaturation(nullptr, c); }},
        {"GetSerialNumber", [](uint32_t c) { return Quorvel_Velmora_GetSerialNumber(nullptr, c); }},
        {"Test", [](uint32_t c) { return Quorvel_Velmora_Test(nullptr, 16, c); }},
        {"GetBoardVersion", [](uint32_t c) { return Quorvel_Velmora_GetBoardVersion(nullptr, c); }},
        {"GetFPGAVersion", [](uint32_t c) { return Quorvel_Velmora_GetFPGAVersion(nullptr, c); }},
        {"GetDriverVersion",
         [](uint32_t c) { return Quorvel_Velmora_GetDriverVersion(nullptr, c); }},
        {"TsGetAsiOutputMode",
         [](uint32_t c) { return Quorvel_Velmora_TsGetAsiOutputMode(nullptr, c); }},
        {"TsGetAsiPacketLength",
         [](uint32_t c) { return Quorvel_Velmora_TsGetAsiPacketLength(nullptr, c); }},
        {"TsGetAsiStatus", [](uint32_t c) { return Quorvel_Velmora_TsGetAsiStatus(nullptr, c); }},
        {"TsCaptureGetWorkMode",
         [](uint32_t c) { return Quorvel_Velmora_TsCaptureGetWorkMode(nullptr, c); }},
        {"TsCaptureGetFillBufferNum",
         [](uint32_t c) { return Quorvel_Velmora_TsCaptureGetFillBufferNum(nullptr, c); }},
        {"TsCaptureReadPacketsFromBuffer",
         [](uint32_t c) { return Quorvel_Velmora_TsCaptureReadPacketsFromBuffer(nullptr, 1, c); }},
        {"TsCaptureRecorderEnable",
         [](uint32_t c) { return Quorvel_Velmora_TsCaptureRecorderEnable(1, nullptr, c); }},
        {"TsCaptureRecorderDisable",
         [](uint32_t c) { return Quorvel_Velmora_TsCaptureRecorderDisable(1, nullptr, c); }},
        {"TsCaptureRecorderGetLength",
         [](uint32_t c) { return Quorvel_Velmora_TsCaptureRecorderGetLength(1, 0, nullptr, c); }},
        {"TsCaptureGetProgramInformation record",
         [](uint32_t c) {
             return Quorvel_Velmora_TsCaptureGetProgramInformation(nullptr, &word, c);
         }},
        {"TsCaptureSetFilteredProgram",
         [](uint32_t c) { return Quorvel_Velmora_TsCaptureSetFilteredProgram(2, nullptr, c); }},
        {"TsPlaybackGetEmptyBufferNum",
         [](uint32_t c) { return Quorvel_Velmora_TsPlaybackGetEmptyBufferNum(nullptr, c); }},
        {"TsPlaybackWritePacketsToBuffer",
         [](uint32_t c) { return Quorvel_Velmora_TsPlaybackWritePacketsToBuffer(nullptr, 1, c); }},
        {"TsReplaceNitGetNitInformation",
         [](uint32_t c) { return Quorvel_Velmora_TsReplaceNitGetNitInformation(nullptr, 0, c); }},
        {"TsReplaceNitSetNitInformation",
         [](uint32_t c) { return Quorvel_Velmora_TsReplaceNitSetNitInformation(nullptr, c); }},
        {"SetParameter", [](uint32_t c) { return Quorvel_Velmora_SetParameter(noAddress, c); }},
        {"SetReceiveParameter",
         [](uint32_t c) { return Quorvel_Velmora_SetReceiveParameter(noAddress, c); }},
        {"StartWriteTsFile",
         [](uint32_t c) { return Quorvel_Velmora_StartWriteTsFile(nullptr, c); }},
    };
    return calls;
}

using ExportTest = CardTest;

TEST_F(ExportTest, PerCardFunctionsRefuseBadIndicesCardsNotOpenAndNullPointers) {
    EXPECT_EQ(PerCardCalls().size(), 87u);  // all but the count, the SDK version and the open
    for (const uint32_t index : {8u, 15u, 16u, 0xFFFFFFFFu, 0u, 3u}) {
        for (const auto& [name, call] : PerCardCalls())
            EXPECT_EQ(call(index), 0u) << name << " on card " << index;
    }
    EXPECT_EQ(Quorvel_Velmora_OpenCard(8), 0u);
    EXPECT_EQ(Quorvel_Velmora_OpenCard(15), 0u);

    // A card whose open failed is not open either.
    EXPECT_EQ(Quorvel_Velmora_OpenCard(1), 0u);
    ASSERT_NE(Card(1), nullptr);
    for (const auto& [name, call] : PerCardCalls()) {
        if (std::string(name) != "CloseCard") {
            EXPECT_EQ(call(1), 0u) << name << " on card 1";
        }
    }

    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    for (const auto& [name, call] : NullPointerCalls())
        EXPECT_EQ(call(0), 0u) << name;

    // Closed again, the card is not open.
    ASSERT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
    for (const auto& [name, call] : PerCardCalls())
        EXPECT_EQ(call(0), 0u) << name << " closed";
}

// A child forked while the card captures inherits the card: every call on it
// answers 0 at once, none reaches the parent's engines, and the close only
// sets the copy aside.
TEST_F(ExportTest, AForkedChildsCallsOnTheInheritedCardLeaveTheParentsCardAlone) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer cannot follow a child forked from a process with threads";
#endif
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureSetWorkMode(VELMORA_TS_WORK_MODE_ENGINE, 0), 1u);
    ASSERT_EQ(Quorvel_Velmora_TsCaptureEnable(0), 1u);
    platform::test::Child child([] {
        // The exit code names the first call that did not answer 0.
        int number = 1;
        for (const auto& [name, call] : PerCardCalls()) {
            if (std::string(name) != "CloseCard" && call(0) != 0) return number;
            ++number;
        }
        return Quorvel_Velmora_CloseCard(0) == 1 && Card(0) == nullptr ? 0 : 200;
    });
    const int code = child.Wait();
    EXPECT_EQ(code, 0) << (code > 0 && code <= static_cast<int>(PerCardCalls().size())
                               ? PerCardCalls()[code - 1].first
                               : "a hang or the close");

    uint32_t mode = 9;
    EXPECT_EQ(Quorvel_Velmora_TsCaptureGetWorkMode(&mode, 0), 1u);
    EXPECT_EQ(mode, VELMORA_TS_WORK_MODE_ENGINE);
    EXPECT_EQ(SystemOpenCount(0), 1);
    EXPECT_TRUE(CapturePackets(500));
}

// The example program, run as a user runs it on this test's card, leaves the
// card's stored settings as it found them.
TEST_F(ExportTest, TheExampleProgramPutsBackTheSettingsItChanges) {
    const auto settings = [] {
        using Get = uint32_t (*)(uint32_t*, uint32_t);
        std::vector<uint32_t> values;
        EXPECT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
        for (const Get get :
             {Quorvel_Velmora_GetVideoMode, Quorvel_Velmora_GetVideoSource,
              Quorvel_Velmora_GetAudioSource, Quorvel_Velmora_GetVideoInputContrast,
              Quorvel_Velmora_GetVideoInputBrightness, Quorvel_Velmora_GetVideoInputHue,
              Quorvel_Velmora_GetVideoInputSaturation}) {
            values.push_back(0xBAD);
            EXPECT_EQ(get(&values.back(), 0), 1u);
        }
        EXPECT_EQ(Quorvel_Velmora_CloseCard(0), 1u);
        return values;
    };
    const std::vector<uint32_t> before = settings();

    const std::filesystem::path example =
        std::filesystem::path(platform::ExecutablePath()).parent_path().parent_path() / "examples" /
        "velmora_example";
    ASSERT_TRUE(std::filesystem::exists(example)) << example;
    platform::test::Child child([&] {
        dup2(open("/dev/null", O_WRONLY), 1);
        char* const argv[] = {const_cast<char*>(example.c_str()), nullptr};
        execve(example.c_str(), argv, environ);
        return 127;
    });
    ASSERT_EQ(child.Wait(), 0);
    EXPECT_EQ(settings(), before);
}

TEST_F(ExportTest, CardlessFunctionsWorkWithoutAnOpenCard) {
    uint32_t value = 0;
    EXPECT_EQ(Quorvel_Velmora_GetSdkVersion(&value), 1u);
    EXPECT_EQ(value, 0x00040000u);
    EXPECT_EQ(Quorvel_Velmora_GetTotalCardNumber(&value), 1u);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(Quorvel_Velmora_GetSdkVersion(nullptr), 0u);
    EXPECT_EQ(Quorvel_Velmora_GetTotalCardNumber(nullptr), 0u);
    sim::ReleaseCards();
    ASSERT_TRUE(sim::SetCardCount(0));
    value = 7;
    EXPECT_EQ(Quorvel_Velmora_GetTotalCardNumber(&value), 1u);
    EXPECT_EQ(value, 0u);
}

TEST_F(ExportTest, SourceValuesAreTranslatedToTheBoardsCodesAndBack) {
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    card::CVelmoraBoardSupport& board = *Card(0)->GetBoardSupport();
    uint32_t code = 0, value = 0;

    struct Row {
        uint32_t set, code, readBack;
    };
    for (const Row& row : {Row{0x80, 0x80, 0x80}, Row{0, 0x00, 0}, Row{2, 0x02, 2}, Row{5, 0x24, 5},
                           Row{0x20, 0x10, 0x20}, Row{3, 0x80, 0x80}}) {
        EXPECT_EQ(Quorvel_Velmora_SetSyncSource(row.set, 0), 1u) << row.set;
        ASSERT_EQ(board.GetSyncSource(&code), 1u);
        EXPECT_EQ(code, row.code) << "sync " << row.set;
        ASSERT_EQ(Quorvel_Velmora_GetSyncSource(&value, 0), 1u);
        EXPECT_EQ(value, row.readBack) << "sync " << row.set;
    }
    ASSERT_EQ(board.SetSyncSource(0x11), 1u);
    ASSERT_EQ(Quorvel_Velmora_GetSyncSource(&value, 0), 1u);
    EXPECT_EQ(value, 0x80u);

    for (const Row& row : {Row{1, 0x01, 1}, Row{5, 0x24, 5}, Row{7, 0x00, 0}, Row{2, 0x02, 2}}) {
        EXPECT_EQ(Quorvel_Velmora_SetVideoSource(row.set, 0), 1u) << row.set;
        ASSERT_EQ(board.GetVideoSource(0, &code), 1u);
        EXPECT_EQ(code, row.code) << "video " << row.set;
        ASSERT_EQ(Quorvel_Velmora_GetVideoSource(&value, 0), 1u);
        EXPECT_EQ(value, row.readBack) << "video " << row.set;
    }
    ASSERT_EQ(board.SetVideoSource(0, 0x10), 1u);
    ASSERT_EQ(Quorvel_Velmora_GetVideoSource(&value, 0), 1u);
    EXPECT_EQ(value, 0u);

    for (const Row& row : {Row{2, 0x01, 2}, Row{0, 0x00, 1}, Row{1, 0x00, 1}}) {
        EXPECT_EQ(Quorvel_Velmora_SetAudioSource(row.set, 0), 1u) << row.set;
        ASSERT_EQ(board.GetAudioSource(0, &code), 1u);
        EXPECT_EQ(code, row.code) << "audio " << row.set;
        ASSERT_EQ(Quorvel_Velmora_GetAudioSource(&value, 0), 1u);
        EXPECT_EQ(value, row.readBack) << "audio " << row.set;
    }
    // 3 is the board's 0x13, an input this board does not have.
    EXPECT_EQ(Quorvel_Velmora_SetAudioSource(3, 0), 0u);
    ASSERT_EQ(board.SetAudioSource(0, 0x02), 1u);
    ASSERT_EQ(Quorvel_Velmora_GetAudioSource(&value, 0), 1u);
    EXPECT_EQ(value, 1u);
}

TEST_F(ExportTest, RelayChannelsAreCheckedAndMapped) {
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    card::CVelmoraBoardSupport& board = *Card(0)->GetBoardSupport();
    uint32_t mode = 9;
    EXPECT_EQ(Quorvel_Velmora_SetVideoRelayMode(0x0B, 0, 0), 1u);
    ASSERT_EQ(board.GetVideoRelayMode(1, &mode), 1u);
    EXPECT_EQ(mode, 0u);
    ASSERT_EQ(board.GetVideoRelayMode(0, &mode), 1u);
    EXPECT_EQ(mode, 1u);
    EXPECT_EQ(Quorvel_Velmora_GetVideoRelayMode(0x0B, &mode, 0), 1u);
    EXPECT_EQ(mode, 0u);
    EXPECT_EQ(Quorvel_Velmora_GetVideoRelayMode(0x0A, &mode, 0), 1u);
    EXPECT_EQ(mode, 1u);

    EXPECT_EQ(Quorvel_Velmora_SetAudioRelayMode(1, 0, 0), 1u);
    ASSERT_EQ(board.GetAudioRelayMode(1, &mode), 1u);
    EXPECT_EQ(mode, 0u);

    // Other channels never reach the card.
    for (const uint32_t channel : {0u, 1u, 0x09u, 0x0Cu}) {
        EXPECT_EQ(Quorvel_Velmora_SetVideoRelayMode(channel, 0, 0), 0u) << channel;
        EXPECT_EQ(Quorvel_Velmora_GetVideoRelayMode(channel, &mode, 0), 0u) << channel;
    }
    EXPECT_EQ(Quorvel_Velmora_SetAudioRelayMode(2, 0, 0), 0u);
    EXPECT_EQ(Quorvel_Velmora_GetAudioRelayMode(0x0A, &mode, 0), 0u);
    for (uint32_t relay : {0u, 2u, 3u}) {
        ASSERT_EQ(board.GetAudioRelayMode(relay, &mode), 1u);
        EXPECT_EQ(mode, 1u) << relay;
    }
    ASSERT_EQ(board.GetVideoRelayMode(0, &mode), 1u);
    EXPECT_EQ(mode, 1u);
}

TEST_F(ExportTest, TheSecondDecodersSyncIsRefusedByTheSingleDecoderBoard) {
    sim::ReleaseCards();
    StartCard(0x5100);
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    uint32_t type = 0;
    ASSERT_EQ(Quorvel_Velmora_GetCardTypeNumber(&type, 0), 1u);
    EXPECT_EQ(type, 0x5100u);
    EXPECT_EQ(Quorvel_Velmora_SetSyncSource(0x80, 0), 1u);
    EXPECT_EQ(Quorvel_Velmora_SetSyncSource(0x20, 0), 0u);
}

TEST_F(ExportTest, OutValuesAreWrittenWhenTheCallSucceeds) {
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    // No black-level control: the level reads 0 and setting it changes
    // nothing.
    uint32_t level = 0xDEAD;
    EXPECT_EQ(Quorvel_Velmora_SetVideoBlackLevel(40, 0), 1u);
    EXPECT_EQ(Quorvel_Velmora_GetVideoBlackLevel(&level, 0), 1u);
    EXPECT_EQ(level, 0u);

    uint32_t mode = 0xDEAD;
    EXPECT_EQ(Quorvel_Velmora_TsGetAsiOutputMode(&mode, 0), 1u);
    EXPECT_EQ(mode, 0u);
    ASSERT_EQ(Quorvel_Velmora_TsSetAsiOutputMode(1, 0), 1u);
    EXPECT_EQ(Quorvel_Velmora_TsGetAsiOutputMode(&mode, 0), 1u);
    EXPECT_EQ(mode, 1u);
    EXPECT_EQ(sim::AsiOutputMode(0).value_or(9), 1u);

    EXPECT_EQ(Quorvel_Velmora_TsReplaceNitEnable(0), 0u);
    EXPECT_EQ(Quorvel_Velmora_CloseFieldEvent(reinterpret_cast<VELMORA_HANDLE>(0x1234), 0), 1u);

    TEST_REQUEST request{0xF2, 0x1C, 0, 0};
    EXPECT_EQ(Quorvel_Velmora_Test(&request, sizeof(request), 0), 1u);
    EXPECT_EQ(request.dwResult, 0x5110u);
}

TEST_F(ExportTest, TestUsesOnlyTheBlockItIsGiven) {
    ASSERT_EQ(Quorvel_Velmora_OpenCard(0), 1u);
    const TEST_REQUEST readBoardId{0xF2, 0x1C, 0, 0};
    const uint32_t kBoardId = 0x5110;
    // Each block lies against an inaccessible page: a byte past it faults.
    for (uint32_t size : {0u, 4u, 12u, 15u, 16u, 64u}) {
        test::GuardedBuffer block(size);
        block.Fill(0);
        std::memcpy(block.data(), &readBoardId, std::min<size_t>(size, sizeof(readBoardId)));
        auto expected = block.Bytes();
        const uint32_t whole = size >= sizeof(TEST_REQUEST) ? 1 : 0;
        EXPECT_EQ(Quorvel_Velmora_Test(block.as<TEST_REQUEST>(), size, 0), whole) << size;
        // A refused block is neither read nor written; a whole one is answered.
        if (whole) std::memcpy(&expected[12], &kBoardId, 4);
        EXPECT_EQ(block.Bytes(), expected) << size;
    }
}

TEST_F(ExportTest, AnUnreadableBoardIdIsAFailure) {
    // A built card whose PCI device is not open cannot read its board ID.
    card::CVelmoraCard card(0);
    ASSERT_EQ(card.OpenCardObjects(0), 1u);
    uint32_t type = 0xDEAD;
    EXPECT_EQ(card.GetApi()->GetCardTypeNumber(&type), 0u);
    EXPECT_EQ(type, 0xDEADu);
    EXPECT_EQ(card.CloseCardObjects(0), 1u);
}

}  // namespace
}  // namespace velmora::cardtest
