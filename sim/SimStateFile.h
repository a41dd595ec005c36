#pragma once

// The files in which the simulated card keeps what a real card keeps with its
// power off. A file is reached only under its own name: no link that stands
// under that name, or under the temporary name beside it, is followed, and no
// file that another name also leads to is written in place.

#include <cstddef>
#include <cstdint>

namespace velmora::sim {

// Exactly `size` bytes from the regular file at `path`; false for a file of
// another length, a link, or one that cannot be read.
bool ReadStateFile(const char* path, uint8_t* data, size_t size);

// Replaces the file as a whole through a new temporary file and a rename, so
// that a reader finds the old image or the new one, never a mix. False when
// the path is empty or the file could not be replaced.
bool StoreStateFile(const char* path, const uint8_t* data, size_t size);

// Writes `count` bytes of `image` from `offset` into the file in place; a file
// that is not the whole image of `size` bytes, or that is not this name's
// alone, is replaced whole instead.
bool StoreStateFileRange(const char* path, const uint8_t* image, size_t size, size_t offset,
                         size_t count);

}  // namespace velmora::sim
