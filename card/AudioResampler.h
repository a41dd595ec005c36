#pragma once

// The rate conversion between the caller's 48 kHz audio frames and the card's
// sample rate, and the frame and block geometry both audio workers share.
//
// A caller frame is one 25 Hz video frame of audio: 1920 stereo pairs, each
// one 32-bit word with the left sample (signed 16-bit) in the low half and the
// right sample in the high half. At the card's rate a frame is 2,109.375 pairs
// on average, so the card cuts its blocks in a cycle of 8 frames holding
// 16,875 pairs.

#include <cstdint>

namespace velmora::card {

// 27,000,000 / 512 Hz.
inline constexpr float AUDIO_CARD_SAMPLE_RATE = 52734.375f;

namespace audio_frame {
inline constexpr float kCallerSampleRate = 48000.0f;
inline constexpr uint32_t kFramePairs = 1920;
inline constexpr uint32_t kFrameBytes = kFramePairs * 4;
// The host buffers of a worker: one block of the larger audio mode.
inline constexpr uint32_t kHostBufferBytes = 32768;
inline constexpr uint32_t kCycleFrames = 8;
inline constexpr uint32_t kCyclePairs = 16875;
// Audio modes: 0 = one word a pair (resampled), 1 = two words a pair.
inline constexpr uint32_t kMode0 = 0;
inline constexpr uint32_t kMode1 = 1;
// Mode 1 keeps each sample in bits 31 to 16 and marks the right word with 2.
inline constexpr uint32_t kMode1RightMark = 2;
inline constexpr uint32_t kRingUnits = 8;

// Card pairs in the captured block at cycle position k (0 to 7):
// floor((k + 1) x 2,109.375) - floor(k x 2,109.375), i.e. 2,110 for k = 2, 5
// and 7, else 2,109.
uint32_t CaptureBlockPairs(uint32_t position);
// Where the first output pair of that block lies between its card pairs: the
// fractional part of k x 2,109.375.
float CaptureBlockPhase(uint32_t position);
}  // namespace audio_frame

// Linear interpolation with one pair of look-behind, from `sourceCount` pairs
// at `sourceRate` to `pDest` at `destRate`. The output at source position p
// is the straight line between pairs floor(p) - 1 and floor(p), so a position
// exactly on pair i gives pair i - 1 (samples are rounded half up, so such a
// pair comes out unchanged); before pair 0 the look-behind
// (*pLastLeft, *pLastRight, the previous call's last pair) stands in. On
// return *pPhase is where the next call starts and the look-behind is this
// call's last pair.
//
// `pDest` needs room for ceil((sourceCount - *pPhase) x destRate /
// sourceRate) pairs. A zero count or rate returns 0 and changes nothing; else
// 1 with the pairs written in *pDestCount.
uint32_t ResampleStereo16(const uint32_t* pSource, float sourceRate, uint32_t sourceCount,
                          uint32_t* pDest, float destRate, uint32_t* pDestCount, float* pPhase,
                          int32_t* pLastLeft, int32_t* pLastRight);

}  // namespace velmora::card
