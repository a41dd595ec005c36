#include "av/AudioEncoder.h"

namespace velmora::av {

CAudioEncoder::~CAudioEncoder() = default;

uint32_t CAudioEncoder::SelectOutput(uint32_t) {
    return 1;
}

CVelmoraAudioEncoder::CVelmoraAudioEncoder(hw::CFpga*) {}

CVelmoraAudioEncoder::~CVelmoraAudioEncoder() = default;

}  // namespace velmora::av
