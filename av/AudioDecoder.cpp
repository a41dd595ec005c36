#include "av/AudioDecoder.h"

#include "hw/Fpga.h"

namespace velmora::av {

CAudioDecoder::~CAudioDecoder() = default;

uint32_t CAudioDecoder::SelectInput(uint32_t) {
    return 1;
}

uint32_t CAudioDecoder::SetMode(uint32_t mode) {
    m_dwMode = mode;
    return 1;
}

CVelmoraAudioDecoder::CVelmoraAudioDecoder(hw::CFpga* pFpga) : m_pFpga(pFpga) {}

CVelmoraAudioDecoder::~CVelmoraAudioDecoder() = default;

uint32_t CVelmoraAudioDecoder::SelectInput(uint32_t code) {
    if (m_pFpga == nullptr) return 0;
    return m_pFpga->SelectSourceMode(code);
}

}  // namespace velmora::av
