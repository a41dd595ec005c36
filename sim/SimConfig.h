#pragma once

#include <cstdint>
#include <string>

namespace velmora::sim {

enum class ClockMode : uint32_t { Realtime = 0, Manual = 1 };
enum class VideoInput : uint32_t { Pattern = 0, Loopback = 1 };
enum class AsiInput : uint32_t { Generator = 0, File = 1, Loopback = 2 };

// What the simulated driver and its cards look like in this process, taken
// from the VELMORA_SIM_* environment variables. A value that cannot be used
// is reported on standard error and replaced by its default, so a typo never
// stops the SDK from finding its card. The ASI input is the exception: any
// value but `generator` and `loopback` names a file, and a file that cannot
// be played is reported and gives an input without a signal.
struct SimConfig {
    static constexpr unsigned kMaxCards = 16;
    static constexpr uint32_t kDefaultBoardId = 0x5110;
    static constexpr uint32_t kDefaultFpgaVersion = 0x50103;
    // The ASI input rates a cable can carry, in bits a second.
    static constexpr uint32_t kMinAsiRate = 1000;
    static constexpr uint32_t kMaxAsiRate = 216000000;

    unsigned cardCount = 1;
    uint32_t boardId = kDefaultBoardId;
    uint32_t fpgaVersion = kDefaultFpgaVersion;
    // Where the cards' files persist; empty when no folder fit, and then the
    // settings last only while the card is open.
    std::string stateDir;
    VideoInput videoInput = VideoInput::Pattern;
    AsiInput asiInput = AsiInput::Generator;
    std::string asiFile;  // the transport-stream file when asiInput is File
    // Bits a second at which the ASI input delivers a file or the generator;
    // 0: a file at its own rate, the generator at 6,750 packets a second.
    uint32_t asiRate = 0;
    ClockMode clock = ClockMode::Realtime;

    static SimConfig FromEnvironment();
};

}  // namespace velmora::sim
