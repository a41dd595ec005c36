#pragma once

// libavformat's stream copy of a transport stream into its "vob" muxer (what
// ffmpeg -c copy -f vob does), or of a file into the muxer named by format
// ("mpegts" beside the export): the peer of the recorder, export and
// converter benchmarks.

#include <cstdint>
#include <vector>

namespace velmora::bench {

// pids: the transport PIDs to copy, in output order; empty: every video and
// audio stream. The bytes of the stream packets the muxer took (a packet it
// refuses is left out and not counted); -1 when the input cannot be read, a
// PID is missing or the output cannot be written.
int64_t AvformatVobCopyFile(const char* input, const std::vector<int>& pids, const char* output,
                            const char* format = "vob");
int64_t AvformatVobCopyMemory(const std::vector<uint8_t>& input, const std::vector<int>& pids,
                              const char* output);

// The bytes of the video and audio stream packets libavformat reads from a
// file (what a copy of it would write): the measure of a tool's output that
// a peer's copy is held to. -1 when the file cannot be read.
int64_t AvformatStreamBytes(const char* file);

}  // namespace velmora::bench
