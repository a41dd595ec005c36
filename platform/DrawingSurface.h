#pragma once

// An in-memory stand-in for a window's client area and the three drawing
// calls the image code makes on it (GetDC, SetDIBitsToDevice, ReleaseDC).
// What was drawn can be read back pixel by pixel.

#include <cstdint>
#include <mutex>
#include <vector>

namespace velmora::platform {

// The header of a device-independent bitmap, in its file and GDI layout.
struct BITMAPINFOHEADER {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;  // negative: rows stored top-down
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

constexpr uint32_t BI_RGB = 0;
constexpr uint32_t DIB_RGB_COLORS = 0;

class DrawingSurface;

// A device context: drawing goes to the surface it was taken from.
class DeviceContext {
  public:
    explicit DeviceContext(DrawingSurface* surface) : m_surface(surface) {}
    DrawingSurface* Surface() const { return m_surface; }

  private:
    DrawingSurface* m_surface;
};

// Pixels are 0x00RRGGBB, black at creation. A surface must outlive the
// contexts taken from it.
class DrawingSurface {
  public:
    DrawingSurface(int32_t width, int32_t height);
    DrawingSurface(const DrawingSurface&) = delete;
    DrawingSurface& operator=(const DrawingSurface&) = delete;

    int32_t Width() const { return m_width; }
    int32_t Height() const { return m_height; }
    // 0 outside the surface.
    uint32_t Pixel(int32_t x, int32_t y) const;

    // While set, GetDC fails, as it does for a window whose context cannot
    // be had.
    void SetRefuseContexts(bool refuse);
    // Contexts taken and not yet released.
    int32_t OpenContexts() const;

  private:
    friend DeviceContext* GetDC(DrawingSurface* window);
    friend int32_t ReleaseDC(DrawingSurface* window, DeviceContext* context);
    friend int32_t SetDIBitsToDevice(DeviceContext*, int32_t, int32_t, uint32_t, uint32_t, int32_t,
                                     int32_t, uint32_t, uint32_t, const void*,
                                     const BITMAPINFOHEADER*, uint32_t);

    const int32_t m_width;
    const int32_t m_height;
    mutable std::mutex m_mutex;
    std::vector<uint32_t> m_pixels;
    bool m_refuseContexts = false;
    int32_t m_openContexts = 0;
};

// Null for a null window or one that refuses contexts.
DeviceContext* GetDC(DrawingSurface* window);
// 1 when the context was taken from this window and is now released, else 0.
int32_t ReleaseDC(DrawingSurface* window, DeviceContext* context);

// Draws a width x height rectangle of a 32-bit uncompressed bitmap whose
// lower-left source corner is (xSrc, ySrc) at (xDest, yDest) of the surface,
// clipped to the surface. `bits` holds scanLines scan lines starting at scan
// line startScan (scan line 0 is the bottom row of a bottom-up bitmap and the
// top row of a top-down one). Returns the number of scan lines given, or 0
// when an argument is unusable (null pointer, zero-sized or non-32-bit
// bitmap, compression, unknown colour use).
int32_t SetDIBitsToDevice(DeviceContext* context, int32_t xDest, int32_t yDest, uint32_t width,
                          uint32_t height, int32_t xSrc, int32_t ySrc, uint32_t startScan,
                          uint32_t scanLines, const void* bits, const BITMAPINFOHEADER* header,
                          uint32_t colorUse);

}  // namespace velmora::platform
