#pragma once

// What the video capture and playback workers share: the card's frame
// geometry, the caller's frame types, the two work buffers a frame type needs
// and the conversions between the card's YUY2 frame and the caller's frame.

#include <cstddef>
#include <cstdint>

namespace velmora::card {

// How a worker's caller sees its frames.
enum VIDEO_FRAME_TYPE : uint32_t {
    // The card's YUY2 frames, moved without conversion (also any unknown value).
    VIDEO_FRAME_TYPE_YUY2 = 0,
    // 32-bit BGRA, top row first.
    VIDEO_FRAME_TYPE_BGRA = 1,
    // 32-bit BGRA, bottom row first.
    VIDEO_FRAME_TYPE_BGRA_FLIPPED = 2,
};

namespace video_frame {
inline constexpr int32_t kWidth = 720;
inline constexpr int32_t kHeight = 576;
inline constexpr int32_t kYuy2RowBytes = 1440;
inline constexpr int32_t kBgraRowBytes = 2880;
// One card frame: 829,440 bytes, 0x32A00 words.
inline constexpr uint32_t kFrameBytes = 829440;
inline constexpr uint32_t kFrameWords = kFrameBytes / 4;
inline constexpr uint32_t kBgraFrameBytes = 1658880;
inline constexpr uint8_t kAlpha = 0xFF;
// Ring units are numbered 0 to 7.
inline constexpr uint32_t kRingUnits = 8;

// A 16-byte aligned frame-sized work buffer; null when memory runs out.
uint8_t* AllocateWorkBuffer();
void FreeWorkBuffer(uint8_t* buffer);

// Applies a new frame type to a worker's buffers: types 1 and 2 get the
// buffers they need (a change from 2 to 1 keeps buffer 2), any other type
// frees both. 0, with the type unchanged, when an allocation fails.
template <typename Allocate>
uint32_t ApplyFrameType(uint32_t newType, uint32_t& frameType, uint8_t*& buffer1, uint8_t*& buffer2,
                        Allocate allocate) {
    if (newType == VIDEO_FRAME_TYPE_BGRA || newType == VIDEO_FRAME_TYPE_BGRA_FLIPPED) {
        if (buffer1 == nullptr) buffer1 = allocate();
        if (buffer1 == nullptr) return 0;
        if (newType == VIDEO_FRAME_TYPE_BGRA_FLIPPED) {
            if (buffer2 == nullptr) buffer2 = allocate();
            if (buffer2 == nullptr) return 0;
        }
    } else {
        FreeWorkBuffer(buffer1);
        FreeWorkBuffer(buffer2);
        buffer1 = nullptr;
        buffer2 = nullptr;
    }
    frameType = newType;
    return 1;
}

// Whether a frame type has the buffers its conversions use.
inline bool HasWorkBuffers(uint32_t frameType, const uint8_t* buffer1, const uint8_t* buffer2) {
    if (frameType == VIDEO_FRAME_TYPE_BGRA) return buffer1 != nullptr;
    if (frameType == VIDEO_FRAME_TYPE_BGRA_FLIPPED) return buffer1 != nullptr && buffer2 != nullptr;
    return true;
}

// After a capture transfer: the frame read into buffer 1 becomes the caller's
// frame (types 1 and 2; buffer 2 is the flip's scratch for type 2). Other
// types read straight into the caller's buffer and need nothing. 0 when a
// conversion refuses.
uint32_t ConvertCapturedFrame(uint32_t frameType, const uint8_t* buffer1, uint8_t* buffer2,
                              void* pCallerFrame);
// Before a playback transfer: the YUY2 frame to send, made in buffer 1 for
// types 1 and 2 (buffer 2 is the scratch of type 2), the caller's own frame
// otherwise. Null when a conversion refuses.
const uint8_t* PreparePlaybackFrame(uint32_t frameType, const void* pCallerFrame, uint8_t* buffer1,
                                    uint8_t* buffer2);
}  // namespace video_frame

}  // namespace velmora::card
