#include "platform/DrawingSurface.h"

#include <algorithm>

namespace velmora::platform {

DrawingSurface::DrawingSurface(int32_t width, int32_t height)
    : m_width(std::max(width, 0)),
      m_height(std::max(height, 0)),
      m_pixels(static_cast<size_t>(m_width) * static_cast<size_t>(m_height), 0) {}

uint32_t DrawingSurface::Pixel(int32_t x, int32_t y) const {
    if (x < 0 || y < 0 || x >= m_width || y >= m_height) return 0;
    std::lock_guard lock(m_mutex);
    return m_pixels[static_cast<size_t>(y) * static_cast<size_t>(m_width) + static_cast<size_t>(x)];
}

void DrawingSurface::SetRefuseContexts(bool refuse) {
    std::lock_guard lock(m_mutex);
    m_refuseContexts = refuse;
}

int32_t DrawingSurface::OpenContexts() const {
    std::lock_guard lock(m_mutex);
    return m_openContexts;
}

DeviceContext* GetDC(DrawingSurface* window) {
    if (window == nullptr) return nullptr;
    std::lock_guard lock(window->m_mutex);
    if (window->m_refuseContexts) return nullptr;
    ++window->m_openContexts;
    return new DeviceContext(window);
}

int32_t ReleaseDC(DrawingSurface* window, DeviceContext* context) {
    if (window == nullptr || context == nullptr || context->Surface() != window) return 0;
    {
        std::lock_guard lock(window->m_mutex);
        --window->m_openContexts;
    }
    delete context;
    return 1;
}

int32_t SetDIBitsToDevice(DeviceContext* context, int32_t xDest, int32_t yDest, uint32_t width,
                          uint32_t height, int32_t xSrc, int32_t ySrc, uint32_t startScan,
                          uint32_t scanLines, const void* bits, const BITMAPINFOHEADER* header,
                          uint32_t colorUse) {
    if (context == nullptr || context->Surface() == nullptr || bits == nullptr ||
        header == nullptr) {
        return 0;
    }
    if (header->biSize < sizeof(BITMAPINFOHEADER) || header->biPlanes != 1 ||
        header->biBitCount != 32 || header->biCompression != BI_RGB || header->biWidth <= 0 ||
        header->biHeight == 0 || colorUse > 1) {
        return 0;
    }
    DrawingSurface& surface = *context->Surface();
    const bool topDown = header->biHeight < 0;
    const int64_t dibWidth = header->biWidth;
    const int64_t dibHeight = topDown ? -static_cast<int64_t>(header->biHeight) : header->biHeight;
    const int64_t stride = dibWidth * 4;
    const auto* rows = static_cast<const uint8_t*>(bits);

    // Only the part that lies on both the bitmap and the surface is visited.
    const int64_t firstColumn = std::max<int64_t>({0, -static_cast<int64_t>(xDest), -xSrc});
    const int64_t endColumn =
        std::min<int64_t>({width, static_cast<int64_t>(surface.m_width) - xDest, dibWidth - xSrc});
    const int64_t firstRow = std::max<int64_t>(0, -static_cast<int64_t>(yDest));
    const int64_t endRow =
        std::min<int64_t>(height, static_cast<int64_t>(surface.m_height) - yDest);

    std::lock_guard lock(surface.m_mutex);
    for (int64_t dy = firstRow; dy < endRow; ++dy) {
        // The source rectangle is measured from the bitmap's lower-left corner.
        const int64_t rowFromTop = dibHeight - ySrc - static_cast<int64_t>(height) + dy;
        if (rowFromTop < 0 || rowFromTop >= dibHeight) continue;
        const int64_t scan = topDown ? rowFromTop : dibHeight - 1 - rowFromTop;
        if (scan < startScan || scan >= static_cast<int64_t>(startScan) + scanLines) continue;
        const uint8_t* row = rows + (scan - startScan) * stride;
        uint32_t* out = surface.m_pixels.data() + (yDest + dy) * surface.m_width + xDest;
        for (int64_t dx = firstColumn; dx < endColumn; ++dx) {
            const uint8_t* p = row + (xSrc + dx) * 4;
            out[dx] = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                      (static_cast<uint32_t>(p[2]) << 16);
        }
    }
    return static_cast<int32_t>(std::min<uint32_t>(scanLines, INT32_MAX));
}

}  // namespace velmora::platform
