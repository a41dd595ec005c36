// Counts the Velmora cards of this machine, opens the first one, reads what
// it is, sets its sources and picture controls, reads them back, lists the
// programs of the transport stream at its ASI input, puts back the settings
// it changed and closes it. It uses only the SDK's exported functions.
#include <velmora/Velmora.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

void PrintVersion(const char* what, uint32_t version) {
    std::printf("  %-16s %u.%u.%u (0x%08X)\n", what, (version >> 16) & 0xFF, (version >> 8) & 0xFF,
                version & 0xFF, version);
}

// A setting the example changes. The card keeps its settings in its EEPROM
// for every later user, so what was there before is put back at the end.
struct Setting {
    const char* what;
    uint32_t (*set)(uint32_t, uint32_t);
    uint32_t (*get)(uint32_t*, uint32_t);
    uint32_t value;
    uint32_t original;
    bool changed;
};

bool SetAndReadBack(Setting& setting, uint32_t card) {
    uint32_t readBack = 0;
    if (!setting.get(&setting.original, card)) {
        std::printf("  %-16s could not be read\n", setting.what);
        return false;
    }
    setting.changed = true;
    if (!setting.set(setting.value, card) || !setting.get(&readBack, card)) {
        std::printf("  %-16s could not be set\n", setting.what);
        return false;
    }
    std::printf("  %-16s set %u, reads %u\n", setting.what, setting.value, readBack);
    return true;
}

bool PutBack(Setting& setting, uint32_t card) {
    if (!setting.changed || setting.set(setting.original, card)) return true;
    std::printf("  %-16s could not be put back to %u\n", setting.what, setting.original);
    return false;
}

std::string Narrow(const uint16_t* text) {
    std::string out;
    for (; *text != 0; ++text)
        out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

// Captures through the program engine until it has read the stream's tables.
bool ListPrograms(uint32_t card) {
    if (!Quorvel_Velmora_TsCaptureSetWorkMode(1, card) || !Quorvel_Velmora_TsCaptureEnable(card)) {
        std::printf("  transport stream capture could not be started\n");
        return false;
    }
    static TS_PROGRAM_INFORMATION info;
    uint32_t state = 0;
    bool read = false;
    for (int attempt = 0; attempt < 100 && !read; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        read = Quorvel_Velmora_TsCaptureGetProgramInformation(&info, &state, card) && state != 0 &&
               state != 1;
    }
    Quorvel_Velmora_TsCaptureDisable(card);
    if (!read || state != VELMORA_PROGRAM_INFO_FILLED) {
        std::printf("  ASI input: %s\n", read ? "no signal" : "no programs found");
        return read;
    }
    std::printf("  ASI input: transport stream 0x%04X, %u programs\n", info.dwTransportStreamId,
                info.dwProgramCount);
    for (uint32_t i = 0; i < info.dwProgramCount && i < VELMORA_TS_MAX_PROGRAMS; ++i) {
        const TS_PROGRAM_ENTRY& program = info.Program[i];
        std::printf("    program %u  PMT 0x%04X  \"%s\" (%s)  streams:", program.dwProgramNumber,
                    program.wPmtPid, Narrow(program.szServiceName).c_str(),
                    Narrow(program.szProviderName).c_str());
        for (uint32_t s = 0; s < program.byStreamCount && s < VELMORA_TS_PROGRAM_MAX_STREAMS; ++s) {
            std::printf(" 0x%04X/type %u", program.Stream[s].wElementaryPid,
                        program.Stream[s].byStreamType);
        }
        std::printf("\n");
    }
    return true;
}

}  // namespace

int main() {
    uint32_t sdkVersion = 0;
    Quorvel_Velmora_GetSdkVersion(&sdkVersion);
    uint32_t count = 0;
    Quorvel_Velmora_GetTotalCardNumber(&count);
    std::printf("Velmora SDK 0x%08X, cards found: %u\n", sdkVersion, count);
    if (count == 0) return 1;

    const uint32_t card = 0;
    if (!Quorvel_Velmora_OpenCard(card)) {
        std::fprintf(stderr, "card %u could not be opened\n", card);
        Quorvel_Velmora_CloseCard(card);
        return 1;
    }
    std::printf("card %u open\n", card);

    uint32_t value = 0;
    if (Quorvel_Velmora_GetCardTypeNumber(&value, card))
        std::printf("  board type       0x%04X\n", value);
    if (Quorvel_Velmora_GetSerialNumber(&value, card))
        std::printf("  serial number    0x%08X\n", value);
    if (Quorvel_Velmora_GetBoardVersion(&value, card)) PrintVersion("board version", value);
    if (Quorvel_Velmora_GetFPGAVersion(&value, card)) PrintVersion("FPGA version", value);
    if (Quorvel_Velmora_GetDriverVersion(&value, card)) PrintVersion("driver version", value);

    Setting settings[] = {
        {"video mode", Quorvel_Velmora_SetVideoMode, Quorvel_Velmora_GetVideoMode,
         VELMORA_VIDEO_MODE_PAL, 0, false},
        {"video source", Quorvel_Velmora_SetVideoSource, Quorvel_Velmora_GetVideoSource,
         VELMORA_VIDEO_SOURCE_1, 0, false},
        {"audio source", Quorvel_Velmora_SetAudioSource, Quorvel_Velmora_GetAudioSource,
         VELMORA_AUDIO_SOURCE_2, 0, false},
        {"contrast", Quorvel_Velmora_SetVideoInputContrast, Quorvel_Velmora_GetVideoInputContrast,
         0x90, 0, false},
        {"brightness", Quorvel_Velmora_SetVideoInputBrightness,
         Quorvel_Velmora_GetVideoInputBrightness, 0x70, 0, false},
        {"hue", Quorvel_Velmora_SetVideoInputHue, Quorvel_Velmora_GetVideoInputHue, 0x80, 0, false},
        {"saturation", Quorvel_Velmora_SetVideoInputSaturation,
         Quorvel_Velmora_GetVideoInputSaturation, 0x88, 0, false},
    };
    bool ok = true;
    for (Setting& setting : settings)
        ok &= SetAndReadBack(setting, card);
    if (Quorvel_Velmora_GetSyncSource(&value, card))
        std::printf("  sync source      0x%02X\n", value);
    ok &= ListPrograms(card);
    bool putBack = true;
    for (Setting& setting : settings)
        putBack &= PutBack(setting, card);
    std::printf("  settings %s\n", putBack ? "put back" : "not all put back");
    ok &= putBack;

    const bool closed = Quorvel_Velmora_CloseCard(card) != 0;
    std::printf("card %u %s\n", card, closed ? "closed" : "could not be closed");
    return ok && closed ? 0 : 1;
}
