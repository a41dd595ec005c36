#pragma once

// Whole-resize model of the cubic method: the driver's grid and edge rule
// for the taps, then for every output row the four tap rows filtered by the
// row model of the variant's horizontal member and combined by the row model
// of its vertical member (the scheme of a value depends on its place in the
// row, so whole rows are modelled).

#include <cmath>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "ResizeTestSupport.h"
#include "resize/ResizeCubicRowModel.h"

namespace velmora::test {

// Base and fraction of a cubic tap: the base moves inwards next to the
// image's first and last two samples.
struct CubicModelTap {
    int32_t base;
    float t;
};
inline CubicModelTap CubicModelTapOf(double p, int32_t origin, int32_t last) {
    const int32_t n = ModelIndex(p);
    if (n == last) return {n - 2, 2.0f};
    if (n == -origin) return {n + 1, static_cast<float>(p - (n + 1))};
    if (n == last - 1) return {n - 1, static_cast<float>(p - (n - 1))};
    return {n, static_cast<float>(p - n)};
}

// Forms of the horizontal and vertical members of variant v (0 Generic,
// 1 Sse, 2 Sse2, 3 Sse3, 4 Ssse3) for a pixel width C and sample type.
template <typename T>
resize::CubicHForm CubicHFormOf(int v, int C) {
    using resize::CubicHForm;
    if (v == 0) return CubicHForm::D;
    if (v == 1) return CubicHForm::VMainKLast;
    if (C != 1) return CubicHForm::VEvery;
    return std::is_same_v<T, float> ? CubicHForm::VMainKLast : CubicHForm::VMainKFirst;
}
template <typename T>
resize::CubicVForm CubicVFormOf(int v, bool part) {
    using resize::CubicVForm;
    if (part && std::is_same_v<T, float>) return v == 0 ? CubicVForm::PDouble : CubicVForm::PSingle;
    return v == 0 ? CubicVForm::D : CubicVForm::VMain;
}

template <typename T, int C>
void CubicModelRowH(resize::CubicHForm f, const T* row, int32_t width, int32_t stride,
                    const int32_t* offsets, const float* weights, float* out) {
    using resize::CubicHForm;
    switch (f) {
        case CubicHForm::D:
            return resize::CubicRowHModel<T, C, CubicHForm::D>(row, width, stride, offsets, weights,
                                                               out);
        case CubicHForm::VEvery:
            return resize::CubicRowHModel<T, C, CubicHForm::VEvery>(row, width, stride, offsets,
                                                                    weights, out);
        case CubicHForm::VMainKFirst:
            return resize::CubicRowHModel<T, C, CubicHForm::VMainKFirst>(row, width, stride,
                                                                         offsets, weights, out);
        case CubicHForm::VMainKLast:
            return resize::CubicRowHModel<T, C, CubicHForm::VMainKLast>(row, width, stride, offsets,
                                                                        weights, out);
    }
}

template <typename T>
void CubicModelRowV(resize::CubicVForm f, bool part, T* dst, int32_t n, float t,
                    const float* const* b) {
    using resize::CubicVForm;
    if (part) {
        if constexpr (std::is_same_v<T, float>) {
            if (f == CubicVForm::PDouble) {
                return resize::CubicRowVPartModel<T, CubicVForm::PDouble>(dst, n, t, b[0], b[1],
                                                                          b[2], b[3]);
            }
            return resize::CubicRowVPartModel<T, CubicVForm::PSingle>(dst, n, t, b[0], b[1], b[2],
                                                                      b[3]);
        } else {
            if (f == CubicVForm::D) {
                return resize::CubicRowVPartModel<T, CubicVForm::D>(dst, n, t, b[0], b[1], b[2],
                                                                    b[3]);
            }
            return resize::CubicRowVPartModel<T, CubicVForm::VMain>(dst, n, t, b[0], b[1], b[2],
                                                                    b[3]);
        }
    }
    if (f == CubicVForm::D) {
        return resize::CubicRowVModel<T, CubicVForm::D>(dst, n, t, b[0], b[1], b[2], b[3]);
    }
    return resize::CubicRowVModel<T, CubicVForm::VMain>(dst, n, t, b[0], b[1], b[2], b[3]);
}

// Resizes channels 0..processed-1 of `src` (interleaved, `channels`
// samples, ROI at roiX, roiY) into `dst` (outW x outH pixels of `channels`
// samples holding the prior content) as variant v does.
template <typename T>
void ModelResizeCubic(int v, const std::vector<T>& src, int32_t srcWidth, int32_t srcHeight,
                      int32_t channels, int32_t processed, int32_t roiX, int32_t roiY,
                      const ModelAxis& cols, const ModelAxis& rows, std::vector<T>* dst) {
    const auto outW = static_cast<int32_t>(cols.positions.size());
    const auto outH = static_cast<int32_t>(rows.positions.size());
    const int32_t C = processed == 4 ? 4 : (processed == 3 ? 3 : 1);
    const bool part = channels != processed;
    std::vector<int32_t> offsets(outW);
    std::vector<float> weights(outW);
    for (int32_t j = 0; j < outW; ++j) {
        const CubicModelTap tap = CubicModelTapOf(cols.positions[j], roiX, srcWidth - roiX - 1);
        offsets[j] = tap.base * channels;
        weights[j] = tap.t;
    }
    const resize::CubicHForm hForm = CubicHFormOf<T>(v, C);
    const resize::CubicVForm vForm = CubicVFormOf<T>(v, part);
    std::vector<std::vector<float>> bufs(4, std::vector<float>(static_cast<size_t>(outW) * C));
    for (int32_t i = 0; i < outH; ++i) {
        const CubicModelTap tap = CubicModelTapOf(rows.positions[i], roiY, srcHeight - roiY - 1);
        const float* b[4];
        for (int32_t k = 0; k < 4; ++k) {
            const T* row =
                src.data() +
                (static_cast<size_t>(roiY + tap.base + k - 1) * srcWidth + roiX) * channels;
            if (C == 4) {
                CubicModelRowH<T, 4>(hForm, row, outW, 4, offsets.data(), weights.data(),
                                     bufs[k].data());
            } else if (C == 3) {
                CubicModelRowH<T, 3>(hForm, row, outW, channels, offsets.data(), weights.data(),
                                     bufs[k].data());
            } else {
                CubicModelRowH<T, 1>(hForm, row, outW, 1, offsets.data(), weights.data(),
                                     bufs[k].data());
            }
            b[k] = bufs[k].data();
        }
        T* d = dst->data() + static_cast<size_t>(i) * outW * channels;
        if (part) {
            CubicModelRowV<T>(vForm, true, d, outW, tap.t, b);
        } else {
            CubicModelRowV<T>(vForm, false, d, outW * C, tap.t, b);
        }
    }
}

}  // namespace velmora::test
