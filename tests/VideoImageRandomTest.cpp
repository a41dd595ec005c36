// Random regions, positions, sizes, steps, weights and modes for every
// operation of the video image helper that takes them: each call returns 0 or
// 1 and touches nothing outside the buffers it is given (all between guard
// pages, sized exactly from the arguments). Steps may be shorter than a row
// (overlapping rows) or negative (bottom-up: row 0 is the buffer's last).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "GuardedBuffer.h"
#include "av/VideoImageHelper.h"

namespace velmora::test {
namespace {

using av::CVideoImageHelper;
using av::RECT;

// Rows of rowBytes, `step` apart, exactly covered by a guarded buffer; data()
// is row 0, the buffer's last row when the step is negative.
class Rows {
  public:
    Rows(int rows, int step, int64_t rowBytes, GuardedBuffer::Edge edge)
        : m_buffer(static_cast<size_t>(Span(rows, step, rowBytes)), edge),
          m_origin(rows > 0 && step < 0 ? -int64_t{step} * (rows - 1) : 0) {}

    uint8_t* data() { return m_buffer.size() == 0 ? m_buffer.data() : m_buffer.data() + m_origin; }
    template <typename T>
    T* as() {
        return reinterpret_cast<T*>(data());
    }
    void FillRandom(uint32_t seed) { m_buffer.FillRandom(seed); }

  private:
    static int64_t Span(int rows, int step, int64_t rowBytes) {
        if (rows <= 0 || rowBytes <= 0) return 0;
        return std::abs(int64_t{step}) * (rows - 1) + rowBytes;
    }

    GuardedBuffer m_buffer;
    int64_t m_origin;
};

class RandomCalls {
  public:
    explicit RandomCalls(uint32_t seed) : m_random(seed) {}

    int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }
    bool Chance(int percent) { return Int(0, 99) < percent; }

    // A size, mostly small and sometimes out of range.
    int Size(int high) { return Chance(3) ? Int(-3, -1) : Int(0, high); }
    // A step mostly of at least the row length, sometimes shorter, often a
    // multiple of 16, sometimes negative.
    int Step(int rowBytes) {
        const int row = std::max(rowBytes, 0);
        int step = Chance(10) ? Int(0, row) : row + Int(0, 20);
        if (Chance(80)) step = (step + 15) / 16 * 16;
        return Chance(15) ? -step : step;
    }
    // A rectangle around an image of width x height, mostly inside.
    RECT Rect(int width, int height) {
        const int left = Chance(10) ? Int(-4, width + 4) : Int(0, std::max(width, 0));
        const int top = Chance(10) ? Int(-4, height + 4) : Int(0, std::max(height, 0));
        const int right = Chance(10) ? Int(-4, width + 4) : Int(left, std::max(left, width));
        const int bottom = Chance(10) ? Int(-4, height + 4) : Int(top, std::max(top, height));
        if (Chance(2)) return {left, top, INT32_MIN + Int(0, 3), INT32_MAX - Int(0, 3)};
        return {left, top, right, bottom};
    }
    int Position(int limit) { return Chance(10) ? Int(-4, limit + 4) : Int(0, std::max(limit, 0)); }

    // A guarded buffer for rows of rowBytes, `step` apart (nothing for a size
    // the operation must refuse).
    std::unique_ptr<Rows> Buffer(int rows, int step, int64_t rowBytes) {
        auto buffer = std::make_unique<Rows>(
            rows, step, rowBytes,
            Chance(50) ? GuardedBuffer::Edge::End : GuardedBuffer::Edge::Start);
        buffer->FillRandom(m_random());
        return buffer;
    }
    std::unique_ptr<Rows> Plane(RECT rect, int pixelBytes) {
        const int64_t w = int64_t{rect.right} - rect.left, h = int64_t{rect.bottom} - rect.top;
        if (w <= 0 || h <= 0 || w * h > 1 << 20) return Buffer(0, 0, 0);
        return Buffer(1, 0, w * h * pixelBytes);
    }

  private:
    std::mt19937 m_random;
};

// The safe-area border drawn word by word into `image` (2 * width bytes a
// row), in unsigned 32-bit arithmetic; false, at the first word that would
// land outside the image, when the request must be refused.
bool ModelSafeAreaBorder(std::vector<uint8_t>* image, uint32_t width, uint32_t height,
                         uint32_t fill, uint32_t thickness, uint32_t percent) {
    const uint32_t border = thickness + thickness % 2;
    uint32_t insetX = width * percent / 100;
    insetX += insetX % 2;
    const uint32_t insetY = height * percent / 100;
    uint32_t innerWidth = width - 2 * insetX;
    innerWidth += innerWidth % 2;
    const uint32_t innerHeight = height - 2 * insetY;
    // Words start at a pixel; the right block's start is a signed offset.
    const auto words = [&](uint32_t y, int64_t first, uint32_t count) {
        for (uint32_t k = 0; k < count; ++k) {
            const int64_t x = first + 2 * int64_t{k};
            if (x < 0 || x + 2 > width) return false;
            for (int b = 0; b < 4; ++b)
                (*image)[(size_t{y} * width + x) * 2 + b] = static_cast<uint8_t>(fill >> 8 * b);
        }
        return true;
    };
    if (insetY > insetY + innerHeight - 1) return true;
    for (uint32_t y = insetY; y <= insetY + innerHeight - 1; ++y) {
        if (y >= height) return false;
        // The band bounds do not wrap: a border of no thickness has no band.
        const bool band =
            y <= int64_t{insetY} + border - 1 || y >= int64_t{insetY} + innerHeight - border;
        const bool drawn =
            band ? words(y, insetX, innerWidth / 2)
                 : words(y, insetX, border / 2) &&
                       words(y, static_cast<int32_t>(insetX + innerWidth - border), border / 2);
        if (!drawn) return false;
    }
    return true;
}

void CheckResult(int32_t result, int call) {
    ASSERT_TRUE(result == 0 || result == 1) << "call " << call << " returned " << result;
}

TEST(VideoImageRandomTest, RegionOperationsStayInsideTheirBuffers) {
    CVideoImageHelper helper;
    RandomCalls random(20261207);
    // Every operation must also run through, or the guards check only refusals.
    int succeeded[12] = {};
    for (int call = 0; call < 8000; ++call) {
        const int w = random.Size(40), h = random.Size(12);
        const int step = random.Step(4 * w);
        auto image = random.Buffer(h, step, int64_t{4} * w);
        const RECT rect = random.Rect(w, h);
        int32_t result = 0;
        switch (call % 12) {
            case 0:
                result = helper.ExtractAlpha16(image->data(), w, h, step, rect,
                                               random.Plane(rect, 2)->as<uint16_t>());
                break;
            case 1: {
                auto plane = random.Plane(rect, 4);
                result =
                    helper.ExtractAlpha32(image->data(), w, h, step, rect, plane->as<uint32_t>());
                break;
            }
            case 2: {
                auto plane = random.Plane(rect, 2);
                result = helper.ExtractAlphaToLuma(image->data(), w, h, step, rect, plane->data());
                break;
            }
            case 3:
                result = helper.GrayWhereAlphaInRange(image->data(), w, h, step, rect,
                                                      random.Int(0, 300), random.Int(0, 300), 0);
                break;
            case 4: {
                auto plane = random.Buffer(h, 2 * std::max(w, 0), int64_t{2} * w);
                result = helper.StoreAlphaInKeyPlane(image->data(), w, h, step, rect,
                                                     plane->as<uint16_t>());
                break;
            }
            case 5: {
                const int planeStep = random.Step(2 * w);
                auto plane = random.Buffer(h, planeStep, int64_t{2} * w);
                auto target = random.Buffer(h, 4 * std::max(w, 0), int64_t{4} * w);
                result = helper.LoadAlphaFromKeyPlane(plane->data(), w, h, planeStep, rect,
                                                      target->data());
                break;
            }
            case 6:
                result = helper.FillAlpha(image->data(), w, h, step, rect, 7);
                break;
            case 7:
                result = helper.FillColor(image->data(), w, h, step, rect, 1, 2, 3);
                break;
            case 8:
            case 9: {
                const int pixelBytes = call % 12 == 8 ? 4 : 2;
                const int dw = random.Size(48), dh = random.Size(14);
                const int dstStep = random.Step(pixelBytes * dw);
                auto dst = random.Buffer(dh, dstStep, int64_t{pixelBytes} * dw);
                const int wb = random.Size(20), hb = random.Size(8);
                const int stepB = random.Step(pixelBytes * wb);
                auto b = random.Buffer(hb, stepB, int64_t{pixelBytes} * wb);
                const int stepA = random.Step(pixelBytes * w);
                auto a = random.Buffer(h, stepA, int64_t{pixelBytes} * w);
                const RECT rectB = random.Rect(wb, hb);
                const auto copy = pixelBytes == 4 ? &CVideoImageHelper::CopyTwoRegions32
                                                  : &CVideoImageHelper::CopyTwoRegionsYuv422;
                result = (helper.*copy)(dst->data(), dw, dh, dstStep, a->data(), w, h, stepA, rect,
                                        random.Position(dw), random.Position(dh), b->data(), wb, hb,
                                        stepB, rectB, random.Position(dw), random.Position(dh));
                break;
            }
            case 10: {
                const int dw = random.Size(48), dh = random.Size(14);
                const int dstStep = random.Step(2 * dw);
                auto dst = random.Buffer(dh, dstStep, int64_t{2} * dw);
                const int fgStep = random.Step(2 * w);
                auto fg = random.Buffer(h, fgStep, int64_t{2} * w);
                auto key = random.Plane(rect, 2);
                auto scratch = random.Buffer(dh, dstStep, int64_t{2} * dw);
                GuardedBuffer scratchKey(CVideoImageHelper::kScratchKeyBytes);
                result = helper.CompositeYuv422Keyed(
                    fg->data(), w, h, fgStep, rect,
                    random.Chance(80) ? key->as<uint16_t>() : nullptr, dst->data(), dstStep, dw, dh,
                    random.Position(dw), random.Position(dh), scratch->data(), scratchKey.data());
                break;
            }
            case 11: {
                const int dw = random.Size(48), dh = random.Size(14);
                const int dstStep = random.Step(2 * dw);
                auto dst = random.Buffer(dh, dstStep, int64_t{2} * dw);
                result = helper.OverlayBgraOnYuv422(image->data(), w, h, step, rect, dst->data(),
                                                    dstStep, dw, dh, random.Position(dw) & ~7,
                                                    random.Position(dh));
                break;
            }
        }
        CheckResult(result, call);
        succeeded[call % 12] += result;
    }
    for (int operation = 0; operation < 12; ++operation)
        EXPECT_GT(succeeded[operation], 0) << "operation " << operation;
}

TEST(VideoImageRandomTest, FrameEffectsStayInsideTheirBuffers) {
    CVideoImageHelper helper;
    RandomCalls random(7);
    int succeeded[10] = {};
    for (int call = 0; call < 8000; ++call) {
        const int rowBytes = random.Chance(70) ? 16 * random.Int(0, 6) : random.Size(100);
        const int rows = random.Size(9);
        const int srcStep = random.Step(rowBytes), dstStep = random.Step(rowBytes);
        auto a = random.Buffer(rows, srcStep, rowBytes);
        auto b = random.Buffer(rows, srcStep, rowBytes);
        auto dst = random.Buffer(rows, dstStep, rowBytes);
        const int mode = random.Int(-1, 3);
        const int weight = random.Chance(90) ? random.Int(0, 255) : random.Int(-2, 600);
        int32_t result = 0;
        switch (call % 10) {
            case 0:
                result = helper.DeinterlaceBlend(dst->data(), a->data(), srcStep, dstStep, rowBytes,
                                                 rows);
                break;
            case 1:
                result = helper.InterpolateField(dst->data(), a->data(), srcStep, dstStep, mode,
                                                 rowBytes, rows);
                break;
            case 2:
                result = helper.BlendFrames(dst->data(), a->data(), b->data(), mode,
                                            static_cast<uint16_t>(weight), srcStep, dstStep,
                                            rowBytes, rows);
                break;
            case 3:
                result = helper.BlendImages(dst->data(), a->data(), b->data(), weight, srcStep,
                                            dstStep, rowBytes / 2, rows);
                break;
            case 4: {
                auto fieldA = random.Buffer(rows, srcStep, rowBytes);
                auto fieldB = random.Buffer(rows, srcStep, rowBytes);
                result = helper.CrossFadeFields(dst->data(), a->data(), b->data(), fieldA->data(),
                                                fieldB->data(), mode, weight, srcStep, dstStep,
                                                rowBytes / 2, rows);
                break;
            }
            case 5:
                result = helper.WeaveFrames(dst->data(), a->data(), b->data(), srcStep, dstStep,
                                            rowBytes, rows);
                break;
            case 6: {
                auto current = random.Buffer(rows, rowBytes, rowBytes);
                auto reference = random.Buffer(rows, rowBytes, rowBytes);
                auto output = random.Buffer(rows, rowBytes, rowBytes);
                result =
                    helper.UpdateChangedBlocks(current->data(), rowBytes, rows, reference->data(),
                                               output->data(), mode, random.Int(0, 4));
                break;
            }
            case 7:
                result =
                    helper.CopyRows32(dst->data(), dstStep, a->data(), srcStep, rowBytes / 4, rows);
                break;
            case 8: {
                // Regions inside a 64 x 12 image, as the caller must keep them.
                constexpr int kW = 64, kH = 12;
                const int mosaicStep = random.Chance(30) ? -2 * kW : 2 * kW;
                auto image = random.Buffer(kH, mosaicStep, 2 * kW);
                av::MOSAIC_REGION regions[3];
                for (auto& region : regions) {
                    region.left = random.Int(0, kW - 1);
                    region.right = random.Int(region.left, kW - 1);
                    region.top = random.Int(0, kH - 1);
                    region.bottom = random.Int(region.top, kH - 1);
                    region.blockWidth = random.Int(1, 20);
                    region.blockHeight = random.Int(1, 20);
                }
                result = helper.MosaicRegions(image->data(), mosaicStep, regions, random.Int(0, 3));
                break;
            }
            case 9: {
                // Sometimes a small image with insets up to past the middle.
                const bool small = random.Chance(40);
                const int w = random.Int(0, small ? 40 : 730), h = random.Int(0, small ? 6 : 30);
                const int thickness = random.Int(0, 40), percent = random.Int(0, small ? 110 : 60);
                auto image = random.Buffer(h, 2 * w, int64_t{2} * w);
                std::vector<uint8_t> want(image->data(), image->data() + 2 * w * h);
                const std::vector<uint8_t> before = want;
                const bool drawn =
                    w <= 720 && ModelSafeAreaBorder(&want, w, h, 0x80108010, thickness, percent);
                result =
                    helper.DrawSafeAreaBorder(image->data(), w, h, 0x80108010, thickness, percent);
                EXPECT_EQ(result, drawn ? 1 : 0)
                    << w << "x" << h << " " << thickness << " " << percent << "%";
                EXPECT_EQ(std::vector<uint8_t>(image->data(), image->data() + 2 * w * h),
                          drawn ? want : before);
                break;
            }
        }
        CheckResult(result, call);
        succeeded[call % 10] += result;
    }
    for (int operation = 0; operation < 10; ++operation)
        EXPECT_GT(succeeded[operation], 0) << "operation " << operation;
}

TEST(VideoImageRandomTest, ResizesStayInsideTheirBuffers) {
    CVideoImageHelper helper;
    RandomCalls random(4126);
    constexpr int kCodes[] = {1, 2, 4, 8, 16, 3};
    int succeeded[2] = {};
    for (int call = 0; call < 3000; ++call) {
        const int pixelBytes = call % 2 == 0 ? 2 : 4;
        const int w = random.Size(40), h = random.Size(12);
        // The primitives take signed steps, so only steps that fit the buffer.
        const int srcStep = pixelBytes * std::max(w, 0) + random.Int(0, 20);
        auto src = random.Buffer(h, srcStep, int64_t{pixelBytes} * w);
        const int dw = random.Size(48), dh = random.Size(14);
        const int dstStep = pixelBytes * std::max(dw, 0) + random.Int(0, 20);
        auto dst = random.Buffer(dh, dstStep, int64_t{pixelBytes} * dw);
        const auto resize =
            pixelBytes == 2 ? &CVideoImageHelper::ResizeYuv422 : &CVideoImageHelper::ResizeColor4;
        const int32_t result =
            (helper.*resize)(src->data(), w, h, srcStep, random.Rect(w, h), dst->data(), dstStep,
                             dw, dh, random.Int(0, 3), kCodes[random.Int(0, 5)]);
        CheckResult(result, call);
        succeeded[call % 2] += result;
    }
    EXPECT_GT(succeeded[0], 0);
    EXPECT_GT(succeeded[1], 0);
}

}  // namespace
}  // namespace velmora::test
