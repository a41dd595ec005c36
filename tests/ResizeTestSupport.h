#pragma once

// Test support of the resize library: memory with a PROT_NONE page before
// and after it (so that a read or write past either end faults at once),
// images laid flush against one guard or the other, the library's working
// tables and buffers put between guards through its heap seam, and a
// scalar model of the whole resize built from the grid rules and the
// arithmetic forms.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "resize/ImageStatus.h"
#include "resize/ResizeLinearRowModel.h"
#include "resize/ResizeMemory.h"

namespace velmora::test {

inline size_t PageSize() {
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Which guard the bytes touch.
enum class Flush { Front, Back };

// `bytes` of read-write memory between two PROT_NONE pages, touching the
// leading guard (Front) or the trailing one (Back).
class GuardedRegion {
  public:
    GuardedRegion(size_t bytes, Flush flush) : m_bytes(bytes) {
        const size_t page = PageSize();
        const size_t inner = (bytes + page - 1) / page * page + (bytes == 0 ? page : 0);
        m_mapped = inner + 2 * page;
        m_base = static_cast<uint8_t*>(
            mmap(nullptr, m_mapped, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (m_base == MAP_FAILED) std::abort();
        mprotect(m_base + page, inner, PROT_READ | PROT_WRITE);
        m_data = flush == Flush::Front ? m_base + page : m_base + page + inner - bytes;
    }
    ~GuardedRegion() { munmap(m_base, m_mapped); }
    GuardedRegion(const GuardedRegion&) = delete;
    GuardedRegion& operator=(const GuardedRegion&) = delete;

    uint8_t* data() const { return m_data; }
    size_t size() const { return m_bytes; }

  private:
    uint8_t* m_base = nullptr;
    uint8_t* m_data = nullptr;
    size_t m_mapped = 0;
    size_t m_bytes = 0;
};

// An image of `width` x `height` pixels of `channels` samples of T, rows
// `pad` bytes longer than needed, between guards. Bottom-up images store
// row 0 last and are addressed with a negative step.
template <typename T>
class GuardedImage {
  public:
    GuardedImage(int32_t width, int32_t height, int32_t channels, Flush flush,
                 bool bottomUp = false, int32_t padSamples = 0)
        : m_width(width),
          m_height(height),
          m_channels(channels),
          m_rowSamples(width * channels + padSamples),
          m_bottomUp(bottomUp),
          m_region(static_cast<size_t>(m_rowSamples) * height * sizeof(T) -
                       static_cast<size_t>(padSamples) * sizeof(T),
                   flush) {}

    // Rows two pages apart (top-down, at most a page long), each ending one
    // sample into a page that Fill leaves without access: the last sample of
    // every row can be neither read nor written, and Pixels gives it as
    // Fill wrote it.
    struct SealedRowEnds {};
    GuardedImage(int32_t width, int32_t height, int32_t channels, SealedRowEnds)
        : m_width(width),
          m_height(height),
          m_channels(channels),
          m_rowSamples(static_cast<int32_t>(2 * PageSize() / sizeof(T))),
          m_bottomUp(false),
          m_region(2 * PageSize() * height, Flush::Front),
          m_firstSample(static_cast<int32_t>(PageSize() / sizeof(T)) - width * channels + 1),
          m_sealed(true) {}

    // First sample of row 0 and the signed step in bytes.
    T* origin() const {
        auto* first = reinterpret_cast<T*>(m_region.data()) + m_firstSample;
        return m_bottomUp ? first + static_cast<ptrdiff_t>(m_height - 1) * m_rowSamples : first;
    }
    int32_t step() const {
        const auto bytes = static_cast<int32_t>(m_rowSamples * sizeof(T));
        return m_bottomUp ? -bytes : bytes;
    }
    T& at(int32_t x, int32_t y, int32_t c) const {
        return origin()[static_cast<ptrdiff_t>(y) * (step() / static_cast<int32_t>(sizeof(T))) +
                        x * m_channels + c];
    }
    int32_t width() const { return m_width; }
    int32_t height() const { return m_height; }
    int32_t channels() const { return m_channels; }

    template <typename Gen>
    void Fill(Gen&& gen) {
        for (int32_t y = 0; y < m_height; ++y)
            for (int32_t x = 0; x < m_width; ++x)
                for (int32_t c = 0; c < m_channels; ++c)
                    at(x, y, c) = gen();
        for (int32_t y = 0; m_sealed && y < m_height; ++y) {
            m_sealedSamples.push_back(at(m_width - 1, y, m_channels - 1));
            mprotect(m_region.data() + (2 * y + 1) * PageSize(), PageSize(), PROT_NONE);
        }
    }
    // Pixels as a top-down vector.
    std::vector<T> Pixels() const {
        std::vector<T> out;
        out.reserve(static_cast<size_t>(m_width) * m_height * m_channels);
        for (int32_t y = 0; y < m_height; ++y)
            for (int32_t x = 0; x < m_width; ++x)
                for (int32_t c = 0; c < m_channels; ++c)
                    out.push_back(m_sealed && x == m_width - 1 && c == m_channels - 1
                                      ? m_sealedSamples[y]
                                      : at(x, y, c));
        return out;
    }

  private:
    int32_t m_width, m_height, m_channels, m_rowSamples;
    bool m_bottomUp;
    GuardedRegion m_region;
    int32_t m_firstSample = 0;
    bool m_sealed = false;
    std::vector<T> m_sealedSamples;
};

// Routes the library's working memory through guarded regions, each block
// flush against its trailing guard, for the lifetime of the scope.
class GuardedResizeHeap {
  public:
    GuardedResizeHeap() {
        s_active = this;
        resize::SetResizeHeap(&kHeap);
    }
    ~GuardedResizeHeap() {
        resize::SetResizeHeap(nullptr);
        s_active = nullptr;
    }
    GuardedResizeHeap(const GuardedResizeHeap&) = delete;
    GuardedResizeHeap& operator=(const GuardedResizeHeap&) = delete;

    size_t Outstanding() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_blocks.size();
    }

  private:
    static void* Allocate(size_t bytes) {
        auto region = std::make_unique<GuardedRegion>(bytes, Flush::Back);
        void* p = region->data();
        std::lock_guard<std::mutex> lock(s_active->m_lock);
        s_active->m_blocks.emplace(p, std::move(region));
        return p;
    }
    static void Release(void* p) {
        std::lock_guard<std::mutex> lock(s_active->m_lock);
        s_active->m_blocks.erase(p);
    }
    static constexpr resize::ResizeHeap kHeap{Allocate, Release};
    static inline GuardedResizeHeap* s_active = nullptr;

    std::mutex m_lock;
    std::map<void*, std::unique_ptr<GuardedRegion>> m_blocks;
};

// ---- scalar model of the resize ----

struct ModelAxis {
    int32_t status = resize::STS_OK;
    std::vector<double> positions;
    int32_t last = 0;  // the ROI's last index: no nearest sample lies past it
};

// Output count and positions of one direction (both size and step mode).
inline ModelAxis ModelGrid(int32_t roi, double factor, int32_t room, bool nearest, bool sizeMode) {
    ModelAxis axis;
    axis.last = roi - 1;
    double first = 0.0, step = 0.0;
    int64_t count = 0;
    if (sizeMode) {
        const double product = roi * factor + 1e-7;
        if (product >= room) {
            count = room;
        } else {
            count = static_cast<int64_t>(product);
            if (count <= 0) {
                if (product < 0.5) {
                    axis.status = resize::STS_NO_OUTPUT_ERR;
                    return axis;
                }
                count = 1;
            }
        }
        if (nearest) {
            step = 1.0 / factor;
            first = 0.5 * step;
        } else {
            step = roi * factor > 1.0 ? (roi - 1) / (roi * factor - 1.0) : 0.0;
        }
    } else {
        const double span = (nearest ? roi : roi - 1) / factor + 1e-7;
        const double total = nearest ? span : span + 1.0;
        count = total >= room ? room : std::max<int64_t>(1, static_cast<int64_t>(total));
        step = factor;
        first = nearest ? 0.5 * factor : 0.0;
    }
    double p = first;
    for (int64_t i = 0; i < count; ++i, p += step)
        axis.positions.push_back(p);
    return axis;
}

// Positions past the 32-bit range (a huge step) are past every image.
inline int32_t ModelIndex(double p) {
    return static_cast<int32_t>(std::min(std::trunc(p + 1e-7), 2147483647.0));
}

// The arithmetic forms of one 32f path.
struct FloatForms {
    resize::LinearForm horizontal;
    resize::LinearForm vertical;
};

// Resizes channels 0..processed-1 of `src` (interleaved, `channels` samples,
// ROI at roiX, roiY of the whole image) into `dst` (outW x outH pixels of
// `channels` samples, holding the prior content), as the driver would with
// zero shifts: `last*` are the image's last column and row from the ROI.
template <typename T>
void ModelResize(const std::vector<T>& src, int32_t srcWidth, int32_t srcHeight, int32_t channels,
                 int32_t processed, int32_t roiX, int32_t roiY, const ModelAxis& cols,
                 const ModelAxis& rows, bool nearest, FloatForms forms, std::vector<T>* dst) {
    using resize::LinearForm;
    const int32_t lastCol = srcWidth - roiX - 1;
    const int32_t lastRow = srcHeight - roiY - 1;
    auto sample = [&](int32_t x, int32_t y, int32_t c) {
        return src[(static_cast<size_t>(roiY + y) * srcWidth + (roiX + x)) * channels + c];
    };
    const auto outW = static_cast<int32_t>(cols.positions.size());
    const auto outH = static_cast<int32_t>(rows.positions.size());
    for (int32_t i = 0; i < outH; ++i) {
        for (int32_t j = 0; j < outW; ++j) {
            T* out = dst->data() + (static_cast<size_t>(i) * outW + j) * channels;
            const double py = rows.positions[i];
            const double px = cols.positions[j];
            if (nearest) {
                const int32_t y = std::min(ModelIndex(py), rows.last);
                const int32_t x = std::min(ModelIndex(px), cols.last);
                for (int32_t c = 0; c < processed; ++c)
                    out[c] = sample(x, y, c);
                continue;
            }
            int32_t y = ModelIndex(py), x = ModelIndex(px);
            double ty = py - y, tx = px - x;
            if (y == lastRow) --y, ty = 1.0;
            if (x == lastCol) --x, tx = 1.0;
            for (int32_t c = 0; c < processed; ++c) {
                if constexpr (std::is_same_v<T, float>) {
                    const auto w = static_cast<float>(tx);
                    const auto hf = [&](int32_t row) {
                        return forms.horizontal == LinearForm::Double
                                   ? resize::LinearBlendH32f<LinearForm::Double>(
                                         sample(x, row, c), sample(x + 1, row, c), w)
                                   : resize::LinearBlendH32f<LinearForm::Single>(
                                         sample(x, row, c), sample(x + 1, row, c), w);
                    };
                    const float upper = hf(y), lower = hf(y + 1);
                    const auto wy = static_cast<float>(ty);
                    switch (forms.vertical) {
                        case LinearForm::Double:
                            out[c] = resize::LinearBlendV32f<LinearForm::Double>(
                                upper, lower, wy,
                                resize::LinearUpperWeight32f<LinearForm::Double>(wy));
                            break;
                        case LinearForm::Mixed:
                            out[c] = resize::LinearBlendV32f<LinearForm::Mixed>(
                                upper, lower, wy,
                                resize::LinearUpperWeight32f<LinearForm::Mixed>(wy));
                            break;
                        default:
                            out[c] = resize::LinearBlendV32f<LinearForm::Single>(
                                upper, lower, wy,
                                resize::LinearUpperWeight32f<LinearForm::Single>(wy));
                    }
                } else {
                    const uint32_t w1 =
                        tx == 1.0 ? 16384u : static_cast<uint32_t>(std::trunc(tx * 16384 + 1e-7));
                    const uint32_t w0 = 16384 - w1;
                    const uint32_t wy =
                        ty == 1.0 ? 16384u : static_cast<uint32_t>(std::trunc(ty * 16384 + 1e-7));
                    constexpr bool k8 = sizeof(T) == 1;
                    const auto hf = [&](int32_t row) -> uint32_t {
                        return (w0 * sample(x, row, c) + w1 * sample(x + 1, row, c) +
                                (k8 ? 128u : 8192u)) >>
                               (k8 ? 8 : 14);
                    };
                    out[c] = static_cast<T>(
                        (hf(y) * (16384 - wy) + hf(y + 1) * wy + (k8 ? 524288u : 8192u)) >>
                        (k8 ? 20 : 14));
                }
            }
        }
    }
}

}  // namespace velmora::test
