#include "card/AudioResampler.h"

#include <cmath>

namespace velmora::card {

namespace {

// Card pairs of a cycle before cycle position k: floor(k x 16,875 / 8).
uint32_t CyclePairsBefore(uint32_t position) {
    return position * audio_frame::kCyclePairs / audio_frame::kCycleFrames;
}

int32_t LeftOf(uint32_t pair) {
    return static_cast<int16_t>(pair & 0xFFFF);
}

int32_t RightOf(uint32_t pair) {
    return static_cast<int16_t>(pair >> 16);
}

// Half up. Adding the half and cutting toward zero instead would move every
// negative sample one step up, even one passed through unchanged.
uint32_t ToSample(float value) {
    return static_cast<uint16_t>(
        static_cast<int32_t>(std::floor(static_cast<double>(value) + 0.5)));
}

}  // namespace

namespace audio_frame {

uint32_t CaptureBlockPairs(uint32_t position) {
    position %= kCycleFrames;
    return CyclePairsBefore(position + 1) - CyclePairsBefore(position);
}

float CaptureBlockPhase(uint32_t position) {
    position %= kCycleFrames;
    const uint32_t eighths = position * kCyclePairs % kCycleFrames;
    return static_cast<float>(eighths) / static_cast<float>(kCycleFrames);
}

}  // namespace audio_frame

uint32_t ResampleStereo16(const uint32_t* pSource, float sourceRate, uint32_t sourceCount,
                          uint32_t* pDest, float destRate, uint32_t* pDestCount, float* pPhase,
                          int32_t* pLastLeft, int32_t* pLastRight) {
    if (sourceCount == 0 || sourceRate == 0.0f || destRate == 0.0f) return 0;
    if (pSource == nullptr || pDest == nullptr || pDestCount == nullptr || pPhase == nullptr ||
        pLastLeft == nullptr || pLastRight == nullptr) {
        return 0;
    }
    const double step = static_cast<double>(sourceRate) / static_cast<double>(destRate);
    if (!(step > 0.0)) return 0;
    double pos = *pPhase;
    // A position before the first pair would reach in front of the source.
    if (!(pos >= 0.0)) pos = 0.0;
    const int32_t lastLeft = static_cast<int16_t>(*pLastLeft & 0xFFFF);
    const int32_t lastRight = static_cast<int16_t>(*pLastRight & 0xFFFF);

    uint32_t n = 0;
    double i = -1.0;
    while (pos < sourceCount) {
        const uint32_t index = static_cast<uint32_t>(pos);
        i = index;
        const int32_t a = index == 0 ? lastLeft : LeftOf(pSource[index - 1]);
        const int32_t b = index == 0 ? lastRight : RightOf(pSource[index - 1]);
        const int32_t c = LeftOf(pSource[index]);
        const int32_t d = RightOf(pSource[index]);
        const float w = static_cast<float>((i + 1.0) - pos);
        const float left = static_cast<float>(a) * w + static_cast<float>(c) * (1.0f - w);
        const float right = static_cast<float>(b) * w + static_cast<float>(d) * (1.0f - w);
        pDest[n] = ToSample(left) | (ToSample(right) << 16);
        ++n;
        pos += step;
    }
    // The next call goes on from where this one stopped; with no pass at all
    // the position simply moves past this call's pairs.
    *pPhase = i >= 0.0 ? static_cast<float>(pos - i - 1.0)
                       : static_cast<float>(pos - static_cast<double>(sourceCount));
    *pLastLeft = LeftOf(pSource[sourceCount - 1]);
    *pLastRight = RightOf(pSource[sourceCount - 1]);
    *pDestCount = n;
    return 1;
}

}  // namespace velmora::card
