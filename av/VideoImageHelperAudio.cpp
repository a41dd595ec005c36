// Measurements and simple processing of one stereo audio frame.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "av/VideoImageHelper.h"

namespace velmora::av {
namespace {

constexpr int kLeft = 0;
constexpr int kRight = 1;

// Samples are read and written byte by byte: a caller's frame need not be
// aligned for 16-bit access.
int16_t Sample(const int16_t* pFrame, int index) {
    int16_t value = 0;
    std::memcpy(&value, reinterpret_cast<const uint8_t*>(pFrame) + 2 * index, sizeof(value));
    return value;
}

void SetSample(int16_t* pFrame, int index, int16_t value) {
    std::memcpy(reinterpret_cast<uint8_t*>(pFrame) + 2 * index, &value, sizeof(value));
}

// Mean of one channel, summed in single precision in sample order.
float ChannelMean(const int16_t* pFrame, int channel) {
    float sum = 0.0f;
    for (int i = 0; i < CVideoImageHelper::kAudioPairs; ++i)
        sum += Sample(pFrame, 2 * i + channel);
    return sum / CVideoImageHelper::kAudioPairs;
}

float ChannelLevel(const int16_t* pFrame, int channel) {
    const float mean = ChannelMean(pFrame, channel);
    float sum = 0.0f;
    for (int i = 0; i < CVideoImageHelper::kAudioPairs; ++i) {
        const float deviation = Sample(pFrame, 2 * i + channel) - mean;
        sum += deviation * deviation;
    }
    return std::sqrt(sum / CVideoImageHelper::kAudioPairs);
}

// Limits to the sample range and truncates toward zero; a value that is not
// a number (an infinite gain on silence) gives silence.
int16_t SaturatedSample(float value) {
    if (std::isnan(value)) return 0;
    return static_cast<int16_t>(std::trunc(std::clamp(value, -32768.0f, 32767.0f)));
}

}  // namespace

int32_t CVideoImageHelper::MeasureAudioLevels(const int16_t* pFrame, uint32_t /*reserved*/,
                                              float* pLeft, float* pRight) {
    if (pFrame == nullptr || pLeft == nullptr || pRight == nullptr) return 0;
    *pLeft = ChannelLevel(pFrame, kLeft);
    *pRight = ChannelLevel(pFrame, kRight);
    return 1;
}

float CVideoImageHelper::LevelToDecibels(float reference, float level) {
    // A reference of 0 or below has no decibel scale; the floor holds.
    if (!(reference > 0.0f)) return -100.0f;
    return 20.0f * std::log10(std::max(level, reference * 0.00001f) / reference);
}

float CVideoImageHelper::DecibelsToGain(float decibels) {
    return std::pow(10.0f, decibels / 20.0f);
}

int32_t CVideoImageHelper::DetectPhaseInversion(const int16_t* pFrame, uint32_t* pResult) {
    if (pFrame == nullptr || pResult == nullptr) return 0;
    double means[2] = {0.0, 0.0};
    for (int i = 0; i < kAudioPairs; ++i) {
        means[kLeft] += Sample(pFrame, 2 * i);
        means[kRight] += Sample(pFrame, 2 * i + 1);
    }
    means[kLeft] /= kAudioPairs;
    means[kRight] /= kAudioPairs;
    double sumSquares = 0.0, differenceSquares = 0.0;
    for (int i = 0; i < kAudioPairs; ++i) {
        const double left = Sample(pFrame, 2 * i) - means[kLeft];
        const double right = Sample(pFrame, 2 * i + 1) - means[kRight];
        sumSquares += (left + right) * (left + right);
        differenceSquares += (left - right) * (left - right);
    }
    const double sum = std::sqrt(sumSquares / kAudioPairs);
    const double difference = std::sqrt(differenceSquares / kAudioPairs);
    *pResult = sum < difference ? 1 : 0;
    return 1;
}

int32_t CVideoImageHelper::MixAudioChannels(int16_t* pFrame, uint32_t mode, uint32_t flag) {
    if (pFrame == nullptr) return 0;
    for (int i = 0; i < kAudioPairs; ++i) {
        const int16_t left = Sample(pFrame, 2 * i + kLeft);
        const int16_t right = Sample(pFrame, 2 * i + kRight);
        switch (mode) {
            case 1:
                SetSample(pFrame, 2 * i + kRight, left);
                break;
            case 2:
                SetSample(pFrame, 2 * i + kLeft, right);
                break;
            case 3: {
                // The half difference of full-scale opposite samples rounds
                // to 32768, one past the largest sample: it saturates.
                const float half = flag != 0 ? (float(left) - float(right)) / 2.0f
                                             : (float(left) + float(right)) / 2.0f;
                const int16_t mixed = SaturatedSample(half + 0.5f);
                SetSample(pFrame, 2 * i + kLeft, mixed);
                SetSample(pFrame, 2 * i + kRight, mixed);
                break;
            }
            default:
                return 1;
        }
    }
    return 1;
}

int32_t CVideoImageHelper::ApplyAudioGain(int16_t* pFrame, float leftDecibels,
                                          float rightDecibels) {
    if (pFrame == nullptr) return 0;
    const float gains[2] = {DecibelsToGain(leftDecibels), DecibelsToGain(rightDecibels)};
    for (int i = 0; i < 2 * kAudioPairs; ++i) {
        SetSample(pFrame, i, SaturatedSample(Sample(pFrame, i) * gains[i % 2]));
    }
    return 1;
}

}  // namespace velmora::av
