#pragma once

// The files in which the simulated card keeps what a real card keeps with its
// power off. A file is reached only under its own name: no link that stands
// under that name, or under the temporary name beside it, is followed, and no
// file that another name also leads to is written in place. Nor is its folder
// looked up again: the folder is held open from its check on, so a link or
// another folder later put in its place leads no file elsewhere.

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora::sim {

// Whether the cards' files can be kept in `dir`: a folder, not a link, that
// this user owns, nobody else may write in (whoever may put names in it
// decides where the card's files lead), and this process may write in. A
// usable one is held for the files under it, in place of what was held under
// that name; a file whose folder is not held yet (a card another process
// powered up) has its folder checked and held at its first use, as has one
// whose held folder was removed since.
bool HoldStateFolder(const std::string& dir);

// What stood under a state file's name when it was read; Missing also when
// its folder cannot be used.
enum class StateFileRead { Whole, Missing, Link, NotAFile, Unreadable, WrongSize };

// Exactly `size` bytes from the regular file at `path`, only when Whole.
StateFileRead ReadStateFile(const char* path, uint8_t* data, size_t size);

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
