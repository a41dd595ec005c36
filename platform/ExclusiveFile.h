#pragma once

// A file that one writer writes at a time, in this process or in any other:
// the writer holds an exclusive lock on the file from before it empties it
// until it closes it, so a second writer is turned away before it has
// touched a byte of the first one's file, however it spells the path.
// Recordings, whole-stream files and capture files are written through one.
// Only a regular file is written: a FIFO or a device could hold the writer,
// and whatever locks it holds, for as long as its other end pleases.

#include <cstdio>
#include <memory>
#include <string>

namespace velmora::platform {

// How a path is taken. A path that an application names is its own to have
// emptied and written again; a name the library makes up for itself, in a
// folder others may write in, is only ever a file it creates there, never one
// that a link or an earlier file under that name leads to.
enum class FileCreation { kOpenOrCreate, kNewOnly };

class ExclusiveFile {
  public:
    // Creates the file, or opens it and empties it once no other writer
    // holds it. Null when it cannot be opened, names no regular file, is
    // there already while only a new one is taken, or another writer holds
    // it; *pWhyNot, when given, then says which, for a log line.
    static std::unique_ptr<ExclusiveFile> Create(
        const std::string& path, const char** pWhyNot = nullptr,
        FileCreation creation = FileCreation::kOpenOrCreate);

    // Flushes and closes the file; the lock goes with it, also from a child
    // forked while the file was open.
    ~ExclusiveFile();
    ExclusiveFile(const ExclusiveFile&) = delete;
    ExclusiveFile& operator=(const ExclusiveFile&) = delete;

    // The buffered stream the file is written through.
    FILE* Stream() const { return m_pStream; }

  private:
    explicit ExclusiveFile(FILE* stream);

    FILE* m_pStream;
};

}  // namespace velmora::platform
