#pragma once

// Results and interpolation codes shared by every primitive of the image
// library (the colour conversions and the resize operations).

#include <cstdint>

namespace velmora::resize {

// A primitive returns one of these as a 32-bit signed value. Zero and positive
// values are not failures: a warning means nothing was written and the caller
// may go on.
enum ImageStatus : int32_t {
    STS_OK = 0,
    STS_NO_INTERSECTION_WARN = 29,
    STS_SIZE_ERR = -6,
    STS_NULL_PTR_ERR = -8,
    STS_NO_MEM_ERR = -9,
    STS_INTERPOLATION_ERR = -22,
    STS_RESIZE_FACTOR_ERR = -23,
    STS_NO_OUTPUT_ERR = -201,
};

// One bit each; no operation accepts a combination.
enum InterpolationCode : int32_t {
    INTERP_NEAREST = 1,
    INTERP_LINEAR = 2,
    INTERP_CUBIC = 4,
    INTERP_SUPERSAMPLE = 8,
    INTERP_LANCZOS = 16,
};

}  // namespace velmora::resize
