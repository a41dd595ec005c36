#pragma once

// libavformat's stream copy of a transport stream into its "vob" muxer (what
// ffmpeg -c copy -f vob does), or of a file into the muxer named by format
// ("mpegts" beside the export): the peer of the recorder, export and
// converter benchmarks.

#include <cstdint>
#include <vector>

namespace velmora::bench {

// pids: the transport PIDs to copy, in output order; empty: every video and
// audio stream. False when the input cannot be read, a PID is missing or the
// output cannot be written; a packet the muxer refuses is left out.
bool AvformatVobCopyFile(const char* input, const std::vector<int>& pids, const char* output,
                         const char* format = "vob");
bool AvformatVobCopyMemory(const std::vector<uint8_t>& input, const std::vector<int>& pids,
                           const char* output);

}  // namespace velmora::bench
