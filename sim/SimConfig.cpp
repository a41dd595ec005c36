#include "sim/SimConfig.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "platform/Paths.h"
#include "sim/SimAsiFileSource.h"
#include "sim/SimStateFile.h"

namespace velmora::sim {

namespace {

const char* Env(const char* name) {
    const char* value = std::getenv(name);
    return (value && *value) ? value : nullptr;
}

void Complain(const char* name, const char* value, const char* fallback) {
    std::fprintf(stderr, "velmora sim: %s=\"%s\" is not usable; using %s\n", name, value, fallback);
}

// Decimal or 0x-prefixed hexadecimal, the whole text, at most 32 bits.
std::optional<uint32_t> ParseNumber(const char* text) {
    errno = 0;
    char* end = nullptr;
    // Base 0 would also read a leading 0 as octal: "010" is ten here.
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const unsigned long long value = std::strtoull(text, &end, hex ? 16 : 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value > 0xFFFFFFFFull) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

// Also says, in `source`, where the folder comes from. A relative
// XDG_STATE_HOME is ignored, as the XDG rule has it: it would move with the
// current folder.
std::string DefaultStateDir(const char*& source) {
    const char* xdg = Env("XDG_STATE_HOME");
    if (xdg && xdg[0] == '/') {
        source = "from XDG_STATE_HOME";
        return std::string(xdg) + "/velmora/sim";
    }
    if (const char* home = Env("HOME")) {
        source = "from HOME";
        return std::string(home) + "/.local/state/velmora/sim";
    }
    source = "the default without HOME";
    return "/tmp/velmora-sim-" + std::to_string(getuid());
}

// Made here for this user alone when missing.
bool UsableStateDir(const std::string& dir) {
    platform::CreateDirectoryRecursive(dir, S_IRWXU);
    return HoldStateFolder(dir);
}

}  // namespace

SimConfig SimConfig::FromEnvironment() {
    SimConfig config;

    if (const char* text = Env("VELMORA_SIM_CARDS")) {
        const auto value = ParseNumber(text);
        if (value && *value <= kMaxCards) {
            config.cardCount = *value;
        } else {
            Complain("VELMORA_SIM_CARDS", text, "1 card");
        }
    }

    if (const char* text = Env("VELMORA_SIM_BOARD_ID")) {
        const auto value = ParseNumber(text);
        if (value && (*value == 0x5100 || *value == 0x5110)) {
            config.boardId = *value;
        } else {
            Complain("VELMORA_SIM_BOARD_ID", text, "0x5110");
        }
    }

    if (const char* text = Env("VELMORA_SIM_FPGA_VERSION")) {
        const auto value = ParseNumber(text);
        if (value) {
            config.fpgaVersion = *value;
        } else {
            Complain("VELMORA_SIM_FPGA_VERSION", text, "0x50103");
        }
    }

    const char* stateSource = nullptr;
    if (const char* text = Env("VELMORA_SIM_STATE_DIR")) {
        config.stateDir = text;
    } else {
        config.stateDir = DefaultStateDir(stateSource);
    }
    if (!UsableStateDir(config.stateDir)) {
        constexpr char kNoFolder[] = "no folder (settings last only while the card is open)";
        if (stateSource) {
            std::fprintf(stderr,
                         "velmora sim: the state folder \"%s\" (%s) is not usable; using %s\n",
                         config.stateDir.c_str(), stateSource, kNoFolder);
        } else {
            Complain("VELMORA_SIM_STATE_DIR", config.stateDir.c_str(), kNoFolder);
        }
        config.stateDir.clear();
    }

    if (const char* text = Env("VELMORA_SIM_VIDEO_INPUT")) {
        const std::string_view value(text);
        if (value == "pattern") {
            config.videoInput = VideoInput::Pattern;
        } else if (value == "loopback") {
            config.videoInput = VideoInput::Loopback;
        } else {
            Complain("VELMORA_SIM_VIDEO_INPUT", text, "pattern");
        }
    }

    if (const char* text = Env("VELMORA_SIM_ASI_INPUT")) {
        // Anything else names a file. One that cannot be played is a cable
        // without a signal, not the generator: its three programs are easily
        // taken for the file's own.
        const std::string_view value(text);
        if (value == "generator") {
            config.asiInput = AsiInput::Generator;
        } else if (value == "loopback") {
            config.asiInput = AsiInput::Loopback;
        } else {
            config.asiInput = AsiInput::File;
            config.asiFile = text;
            if (!SimAsiFileSource::Playable(config.asiFile)) {
                Complain("VELMORA_SIM_ASI_INPUT", text,
                         "an input without a signal (the file is missing, unreadable or not "
                         "a transport stream)");
            }
        }
    }

    if (const char* text = Env("VELMORA_SIM_ASI_RATE")) {
        const auto value = ParseNumber(text);
        if (value && *value >= kMinAsiRate && *value <= kMaxAsiRate) {
            config.asiRate = *value;
        } else {
            Complain("VELMORA_SIM_ASI_RATE", text, "the stream's own rate");
        }
    }

    if (const char* text = Env("VELMORA_SIM_CLOCK")) {
        const std::string_view value(text);
        if (value == "realtime") {
            config.clock = ClockMode::Realtime;
        } else if (value == "manual") {
            config.clock = ClockMode::Manual;
        } else {
            Complain("VELMORA_SIM_CLOCK", text, "realtime");
        }
    }

    return config;
}

}  // namespace velmora::sim
