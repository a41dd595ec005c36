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

std::string DefaultStateDir() {
    if (const char* xdg = Env("XDG_STATE_HOME")) return std::string(xdg) + "/velmora/sim";
    if (const char* home = Env("HOME")) return std::string(home) + "/.local/state/velmora/sim";
    return "/tmp/velmora-sim-" + std::to_string(getuid());
}

// Whether the cards' settings can be kept in `dir`, made here for this user
// alone when missing: a folder, not a link, that this user owns and nobody
// else may write in (whoever may put names in it decides where the card's
// files lead), and that this process may write in.
bool UsableStateDir(const std::string& dir) {
    platform::CreateDirectoryRecursive(dir, S_IRWXU);
    // A trailing '/' would have a link at the end followed.
    const size_t end = dir.find_last_not_of('/');
    const std::string folder = end == std::string::npos ? dir : dir.substr(0, end + 1);
    struct stat status {};
    return ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
           ::access(folder.c_str(), W_OK | X_OK) == 0;
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

    if (const char* text = Env("VELMORA_SIM_STATE_DIR")) {
        config.stateDir = text;
    } else {
        config.stateDir = DefaultStateDir();
    }
    if (!UsableStateDir(config.stateDir)) {
        Complain("VELMORA_SIM_STATE_DIR", config.stateDir.c_str(),
                 "no folder (settings last only while the card is open)");
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
