#include "AvformatVobCopy.h"

#if defined(VELMORA_BENCH_AVFORMAT)

#include <algorithm>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

namespace velmora::bench {

namespace {

constexpr int kIoBufferSize = 1 << 16;

struct MemoryInput {
    const std::vector<uint8_t>* data;
    size_t at;
};

int ReadMemory(void* opaque, uint8_t* buffer, int size) {
    auto* in = static_cast<MemoryInput*>(opaque);
    const size_t n = std::min<size_t>(static_cast<size_t>(size), in->data->size() - in->at);
    if (n == 0) return AVERROR_EOF;
    std::copy_n(in->data->begin() + static_cast<std::ptrdiff_t>(in->at), n, buffer);
    in->at += n;
    return static_cast<int>(n);
}

// The output stream of each input stream, -1 for those not copied.
bool MapStreams(AVFormatContext* in, const std::vector<int>& pids, std::vector<int>* inputOf) {
    if (pids.empty()) {
        for (unsigned i = 0; i < in->nb_streams; ++i) {
            const AVMediaType type = in->streams[i]->codecpar->codec_type;
            if (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO)
                inputOf->push_back(static_cast<int>(i));
        }
        return true;
    }
    for (const int pid : pids) {
        const auto* found = std::find_if(in->streams, in->streams + in->nb_streams,
                                         [pid](const AVStream* s) { return s->id == pid; });
        if (found == in->streams + in->nb_streams) return false;
        inputOf->push_back(static_cast<int>(found - in->streams));
    }
    return true;
}

// in is open; its streams are copied into output.
int64_t CopyStreams(AVFormatContext* in, const std::vector<int>& pids, const char* output,
                    const char* format) {
    std::vector<int> inputOf;
    if (avformat_find_stream_info(in, nullptr) < 0 || !MapStreams(in, pids, &inputOf)) return -1;
    AVFormatContext* out = nullptr;
    if (avformat_alloc_output_context2(&out, nullptr, format, output) < 0) return -1;
    std::vector<int> outputOf(in->nb_streams, -1);
    bool ok = true;
    for (size_t k = 0; ok && k < inputOf.size(); ++k) {
        const AVStream* source = in->streams[inputOf[k]];
        AVStream* stream = avformat_new_stream(out, nullptr);
        ok = stream != nullptr && avcodec_parameters_copy(stream->codecpar, source->codecpar) >= 0;
        if (ok) {
            stream->codecpar->codec_tag = 0;
            stream->time_base = source->time_base;
            outputOf[static_cast<size_t>(inputOf[k])] = stream->index;
        }
    }
    ok = ok && avio_open(&out->pb, output, AVIO_FLAG_WRITE) >= 0 &&
         avformat_write_header(out, nullptr) >= 0;
    int64_t written = 0;
    AVPacket* packet = av_packet_alloc();
    while (ok && av_read_frame(in, packet) >= 0) {
        const int target = outputOf[static_cast<size_t>(packet->stream_index)];
        if (target >= 0) {
            av_packet_rescale_ts(packet, in->streams[packet->stream_index]->time_base,
                                 out->streams[target]->time_base);
            packet->stream_index = target;
            packet->pos = -1;
            const int size = packet->size;
            if (av_interleaved_write_frame(out, packet) >= 0) written += size;
        }
        av_packet_unref(packet);
    }
    ok = ok && av_write_trailer(out) >= 0;
    av_packet_free(&packet);
    if (out->pb != nullptr) avio_closep(&out->pb);
    avformat_free_context(out);
    return ok ? written : -1;
}

}  // namespace

int64_t AvformatVobCopyFile(const char* input, const std::vector<int>& pids, const char* output,
                            const char* format) {
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, input, nullptr, nullptr) < 0) return -1;
    const int64_t written = CopyStreams(in, pids, output, format);
    avformat_close_input(&in);
    return written;
}

int64_t AvformatVobCopyMemory(const std::vector<uint8_t>& input, const std::vector<int>& pids,
                              const char* output) {
    MemoryInput memory{&input, 0};
    auto* ioBuffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    AVIOContext* io =
        avio_alloc_context(ioBuffer, kIoBufferSize, 0, &memory, ReadMemory, nullptr, nullptr);
    AVFormatContext* in = avformat_alloc_context();
    in->pb = io;
    const int64_t written = avformat_open_input(&in, nullptr, nullptr, nullptr) == 0
                                ? CopyStreams(in, pids, output, "vob")
                                : -1;
    avformat_close_input(&in);
    av_freep(&io->buffer);
    avio_context_free(&io);
    return written;
}

int64_t AvformatStreamBytes(const char* file) {
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, file, nullptr, nullptr) < 0) return -1;
    std::vector<int> streams;
    int64_t bytes = -1;
    if (avformat_find_stream_info(in, nullptr) >= 0 && MapStreams(in, {}, &streams)) {
        bytes = 0;
        AVPacket* packet = av_packet_alloc();
        while (av_read_frame(in, packet) >= 0) {
            if (std::count(streams.begin(), streams.end(), packet->stream_index) != 0)
                bytes += packet->size;
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
    }
    avformat_close_input(&in);
    return bytes;
}

}  // namespace velmora::bench

#endif
