#pragma once

// Whole-resize model of the Lanczos method: the driver's grid and weights,
// every tap row and column clamped to the image (up to two rows and columns
// before the region are real, nothing past the image's last row and column
// is), each column summed in the order and precision of the variant's
// member for the run the column falls in, each output row by the variant's
// vertical member.

#include <cstdint>
#include <map>
#include <type_traits>
#include <vector>

#include "ResizeTestSupport.h"
#include "resize/Lanczos3.h"
#include "resize/ResizeLanczosRowModel.h"

namespace velmora::test {

// The driver's Lanczos weights of variant v for `fractions`.
inline std::vector<float> LanczosModelWeights(int v, const std::vector<float>& fractions) {
    using namespace velmora::resize;
    std::vector<float> w(6 * fractions.size() + 1);
    const auto n = static_cast<int32_t>(fractions.size());
    switch (v) {
        case 0:
            CalcLanczos3Weights_Generic(fractions.data(), n, w.data());
            break;
        case 1:
            CalcLanczos3Weights_Sse(fractions.data(), n, w.data());
            break;
        case 2:
            CalcLanczos3Weights_Sse2(fractions.data(), n, w.data(), Lanczos3Table.data());
            break;
        case 3:
            CalcLanczos3Weights_Sse3(fractions.data(), n, w.data(), Lanczos3Table.data());
            break;
        default:
            CalcLanczos3Weights_Ssse3(fractions.data(), n, w.data(), Lanczos3Table.data());
    }
    return w;
}

inline int32_t LanczosClamp(int32_t i, int32_t before, int32_t last) {
    const int32_t lo = -(before < 2 ? before : 2);
    return i < lo ? lo : (i > last ? last : i);
}

// One column of channel c as variant v's border member computes it; `j0`
// and `count` the interior run, `alignedStart` whether the weights of its
// first column start on 16 bytes.
template <typename T>
float LanczosModelColumn(int v, int32_t C, const T* row, int32_t stride, int32_t c, int32_t b,
                         const float* w, int32_t leftAvail, int32_t W, int32_t j, int32_t j0,
                         int32_t count, bool alignedStart) {
    using namespace velmora::resize;
    int32_t taps[6];
    for (int k = 0; k < 6; ++k)
        taps[k] = LanczosClamp(b - 2 + k, leftAvail, W - 1);
    const bool left = (leftAvail == 0 && b <= 1) || (leftAvail == 1 && b == 0);
    const bool interior = !left && b < W - 3;
    if (v == 0) return LanczosTapsValue<double, LanczosOrder::InOrder>(row, taps, stride, c, w);
    if (v == 1) return LanczosTapsValue<float, LanczosOrder::InOrder>(row, taps, stride, c, w);
    if (interior) {
        if (C != 1) return LanczosTapsValue<float, LanczosOrder::Pairwise>(row, taps, stride, c, w);
        const int32_t at = j - j0;
        const bool splitA = (count % 2 == 1 && at == count - 1) || ((at % 2 == 0) == alignedStart);
        return splitA ? LanczosTapsValue<float, LanczosOrder::SplitA>(row, taps, 1, 0, w)
                      : LanczosTapsValue<float, LanczosOrder::SplitB>(row, taps, 1, 0, w);
    }
    const bool doubleEdges = v == 3 && std::is_same_v<T, float>;
    if (left) {
        return doubleEdges ? LanczosTapsValue<double, LanczosOrder::Left54>(row, taps, stride, c, w)
                           : LanczosTapsValue<float, LanczosOrder::Left54>(row, taps, stride, c, w);
    }
    return doubleEdges ? LanczosTapsValue<double, LanczosOrder::InOrder>(row, taps, stride, c, w)
                       : LanczosTapsValue<float, LanczosOrder::InOrder>(row, taps, stride, c, w);
}

// One filtered row: C values per output column; `tableAligned` whether the
// weight table starts on 16 bytes (else 8 past).
template <typename T>
std::vector<float> LanczosModelRowH(int v, int32_t C, const T* row, int32_t stride,
                                    const std::vector<int32_t>& bases, const float* weights,
                                    int32_t leftAvail, int32_t W, bool tableAligned = true) {
    const auto outW = static_cast<int32_t>(bases.size());
    int32_t j0 = 0, count = 0;
    for (int32_t j = 0; j < outW; ++j) {
        const bool left = (leftAvail == 0 && bases[j] <= 1) || (leftAvail == 1 && bases[j] == 0);
        if (!left && bases[j] < W - 3) {
            if (count == 0) j0 = j;
            ++count;
        }
    }
    std::vector<float> out(static_cast<size_t>(outW) * C);
    for (int32_t j = 0; j < outW; ++j) {
        for (int32_t c = 0; c < C; ++c) {
            out[static_cast<size_t>(j) * C + c] =
                LanczosModelColumn<T>(v, C, row, stride, c, bases[j], weights + 6 * j, leftAvail, W,
                                      j, j0, count, ((tableAligned ? 0 : 8) + 24 * j0) % 16 == 0);
        }
    }
    return out;
}

// Resizes channels 0..processed-1 of `src` (interleaved, `channels`
// samples, ROI at roiX, roiY of the whole image) into `dst` (outW x outH
// pixels of `channels` samples holding the prior content) as variant v does.
template <typename T>
void ModelResizeLanczos(int v, const std::vector<T>& src, int32_t srcWidth, int32_t srcHeight,
                        int32_t channels, int32_t processed, int32_t roiX, int32_t roiY,
                        const ModelAxis& cols, const ModelAxis& rows, std::vector<T>* dst) {
    using namespace velmora::resize;
    const auto outW = static_cast<int32_t>(cols.positions.size());
    const auto outH = static_cast<int32_t>(rows.positions.size());
    const int32_t C = processed == 4 ? 4 : (processed == 3 ? 3 : 1);
    const bool part = channels != processed;
    std::vector<int32_t> bases(outW), rowBases(outH);
    std::vector<float> colT(outW), rowT(outH);
    for (int32_t j = 0; j < outW; ++j) {
        bases[j] = ModelIndex(cols.positions[j]);
        colT[j] = static_cast<float>(cols.positions[j] - bases[j]);
    }
    for (int32_t i = 0; i < outH; ++i) {
        rowBases[i] = ModelIndex(rows.positions[i]);
        rowT[i] = static_cast<float>(rows.positions[i] - rowBases[i]);
    }
    const std::vector<float> colW = LanczosModelWeights(v, colT);
    const std::vector<float> rowW = LanczosModelWeights(v, rowT);
    const int32_t W = srcWidth - roiX, H = srcHeight - roiY;
    std::map<int32_t, std::vector<float>> filtered;
    auto rowOf = [&](int32_t r) -> const std::vector<float>& {
        auto it = filtered.find(r);
        if (it != filtered.end()) return it->second;
        const T* row = src.data() + (static_cast<size_t>(roiY + r) * srcWidth + roiX) * channels;
        return filtered[r] = LanczosModelRowH<T>(v, C, row, channels, bases, colW.data(), roiX, W);
    };
    for (int32_t i = 0; i < outH; ++i) {
        const float* b[6];
        for (int k = 0; k < 6; ++k)
            b[k] = rowOf(LanczosClamp(rowBases[i] - 2 + k, roiY, H - 1)).data();
        const float* const(&bufs)[6] = b;
        const float* w = rowW.data() + 6 * i;
        T* d = dst->data() + static_cast<size_t>(i) * outW * channels;
        auto run = [&](auto form) {
            constexpr LanczosVForm F = decltype(form)::value;
            if (part) {
                LanczosRowVPartModel<T, F>(d, outW, w, bufs);
            } else {
                LanczosRowVModel<T, F>(d, outW * C, w, bufs);
            }
        };
        if (v == 0) {
            run(std::integral_constant<LanczosVForm, LanczosVForm::Double>{});
        } else if (v == 1) {
            run(std::integral_constant<LanczosVForm, LanczosVForm::Single>{});
        } else {
            run(std::integral_constant<LanczosVForm, LanczosVForm::Vector>{});
        }
    }
}

}  // namespace velmora::test
