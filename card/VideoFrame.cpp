#include "card/VideoFrame.h"

#include <new>

#include "av/VideoImageHelper.h"

namespace velmora::card::video_frame {

namespace {
// The processor-dispatched conversions want 16-byte aligned rows.
constexpr std::align_val_t kWorkBufferAlignment{16};
}  // namespace

uint8_t* AllocateWorkBuffer() {
    return new (kWorkBufferAlignment, std::nothrow) uint8_t[kFrameBytes];
}

void FreeWorkBuffer(uint8_t* buffer) {
    if (buffer != nullptr) operator delete[](buffer, kWorkBufferAlignment);
}

uint32_t ConvertCapturedFrame(uint32_t frameType, const uint8_t* buffer1, uint8_t* buffer2,
                              void* pCallerFrame) {
    auto* target = static_cast<uint8_t*>(pCallerFrame);
    if (frameType == VIDEO_FRAME_TYPE_BGRA) {
        av::CVideoImageHelper helper;
        return helper.ConvertYuy2ToBgra(buffer1, kYuy2RowBytes, target, kBgraRowBytes, kWidth,
                                        kHeight, kAlpha) != 0;
    }
    if (frameType == VIDEO_FRAME_TYPE_BGRA_FLIPPED) {
        {
            av::CVideoImageHelper helper;
            if (!helper.FlipCopyVertical(buffer1, kYuy2RowBytes, buffer2, kYuy2RowBytes, kWidth,
                                         kHeight)) {
                return 0;
            }
        }
        av::CVideoImageHelper helper;
        return helper.ConvertYuy2ToBgra(buffer2, kYuy2RowBytes, target, kBgraRowBytes, kWidth,
                                        kHeight, kAlpha) != 0;
    }
    return 1;
}

const uint8_t* PreparePlaybackFrame(uint32_t frameType, const void* pCallerFrame, uint8_t* buffer1,
                                    uint8_t* buffer2) {
    const auto* source = static_cast<const uint8_t*>(pCallerFrame);
    if (frameType == VIDEO_FRAME_TYPE_BGRA) {
        av::CVideoImageHelper helper;
        if (!helper.ConvertBgraToYuy2(source, kBgraRowBytes, buffer1, kYuy2RowBytes, kWidth,
                                      kHeight)) {
            return nullptr;
        }
        return buffer1;
    }
    if (frameType == VIDEO_FRAME_TYPE_BGRA_FLIPPED) {
        {
            av::CVideoImageHelper helper;
            if (!helper.ConvertBgraToYuy2(source, kBgraRowBytes, buffer2, kYuy2RowBytes, kWidth,
                                          kHeight)) {
                return nullptr;
            }
        }
        av::CVideoImageHelper helper;
        if (!helper.FlipCopyVertical(buffer2, kYuy2RowBytes, buffer1, kYuy2RowBytes, kWidth,
                                     kHeight)) {
            return nullptr;
        }
        return buffer1;
    }
    return source;
}

}  // namespace velmora::card::video_frame
