// Counts the Velmora cards of this machine, opens the first one, reads what
// it is, sets its sources and picture controls, reads them back and closes
// it. It uses only the SDK's exported functions.
#include <velmora/Velmora.h>

#include <cstdio>

namespace {

void PrintVersion(const char* what, uint32_t version) {
    std::printf("  %-16s %u.%u.%u (0x%08X)\n", what, (version >> 16) & 0xFF, (version >> 8) & 0xFF,
                version & 0xFF, version);
}

bool SetAndReadBack(const char* what, uint32_t (*set)(uint32_t, uint32_t),
                    uint32_t (*get)(uint32_t*, uint32_t), uint32_t value, uint32_t card) {
    uint32_t readBack = 0;
    if (!set(value, card) || !get(&readBack, card)) {
        std::printf("  %-16s could not be set\n", what);
        return false;
    }
    std::printf("  %-16s set %u, reads %u\n", what, value, readBack);
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

    bool ok = true;
    ok &= SetAndReadBack("video mode", Quorvel_Velmora_SetVideoMode, Quorvel_Velmora_GetVideoMode,
                         VELMORA_VIDEO_MODE_PAL, card);
    ok &= SetAndReadBack("video source", Quorvel_Velmora_SetVideoSource,
                         Quorvel_Velmora_GetVideoSource, VELMORA_VIDEO_SOURCE_1, card);
    ok &= SetAndReadBack("audio source", Quorvel_Velmora_SetAudioSource,
                         Quorvel_Velmora_GetAudioSource, VELMORA_AUDIO_SOURCE_2, card);
    ok &= SetAndReadBack("contrast", Quorvel_Velmora_SetVideoInputContrast,
                         Quorvel_Velmora_GetVideoInputContrast, 0x90, card);
    ok &= SetAndReadBack("brightness", Quorvel_Velmora_SetVideoInputBrightness,
                         Quorvel_Velmora_GetVideoInputBrightness, 0x70, card);
    ok &= SetAndReadBack("hue", Quorvel_Velmora_SetVideoInputHue, Quorvel_Velmora_GetVideoInputHue,
                         0x80, card);
    ok &= SetAndReadBack("saturation", Quorvel_Velmora_SetVideoInputSaturation,
                         Quorvel_Velmora_GetVideoInputSaturation, 0x88, card);
    if (Quorvel_Velmora_GetSyncSource(&value, card))
        std::printf("  sync source      0x%02X\n", value);

    const bool closed = Quorvel_Velmora_CloseCard(card) != 0;
    std::printf("card %u %s\n", card, closed ? "closed" : "could not be closed");
    return ok && closed ? 0 : 1;
}
