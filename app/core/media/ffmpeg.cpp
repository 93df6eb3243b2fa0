// Stream probing, remuxing and previews over FFmpeg's libraries: the media
// module. Built with hidden symbols, so that only its table is seen from outside.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "core/media/module.h"

namespace {

// A format must claim the bytes at least this surely: below it, guesses such
// as "raw audio" or "an MP3 frame somewhere" are taken for what the bytes of
// an unknown stream are.
constexpr int kMinProbeScore = AVPROBE_SCORE_MAX / 4;
// Bytes at the end of a file that a stream may leave unread (the recorder pads
// a record's last sectors) before it counts as breaking off.
constexpr int64_t kTailSlack = 64 * 1024;
// Packets a preview decodes at most before giving up on a picture.
constexpr int kPreviewPackets = 600;
constexpr AVRational kDefaultRate{25, 1};
constexpr int64_t kAnalyseBytes = 256 * 1024;

void QuietLibraries() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

struct MemoryReader {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

int ReadMemory(void* opaque, uint8_t* buf, int n) {
    auto* m = static_cast<MemoryReader*>(opaque);
    if (m->pos >= m->size) return AVERROR_EOF;
    const size_t k = std::min(static_cast<size_t>(n), m->size - m->pos);
    memcpy(buf, m->data + m->pos, k);
    m->pos += k;
    return static_cast<int>(k);
}

int64_t SeekMemory(void* opaque, int64_t offset, int whence) {
    auto* m = static_cast<MemoryReader*>(opaque);
    if (whence == AVSEEK_SIZE) return static_cast<int64_t>(m->size);
    whence &= ~AVSEEK_FORCE;
    const int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? static_cast<int64_t>(m->pos)
                         : whence == SEEK_END ? static_cast<int64_t>(m->size) : -1;
    if (base < 0 || base + offset < 0 || base + offset > static_cast<int64_t>(m->size)) return -1;
    m->pos = static_cast<size_t>(base + offset);
    return base + offset;
}

// The format that claims the first bytes of a stream, or null. Every
// format's probe scans what it is given, so the window grows only while no
// format is sure: most streams are named from their first 32 KiB.
const AVInputFormat* ClaimingFormat(const uint8_t* data, size_t size) {
    for (size_t window = 32 * 1024;; window *= 4) {
        const size_t n = std::min({size, window, kProbeBytes});
        std::vector<uint8_t> padded(n + AVPROBE_PADDING_SIZE, 0);  // the probes read past the end
        if (n > 0) memcpy(padded.data(), data, n);
        AVProbeData pd{};
        pd.filename = "";
        pd.buf = padded.data();
        pd.buf_size = static_cast<int>(n);
        int score = 0;
        const AVInputFormat* format = av_probe_input_format3(&pd, 1, &score);
        if (score >= kMinProbeScore) return format;
        if (n == size || n == kProbeBytes) return nullptr;
    }
}

// A demuxer over bytes in memory; closes itself.
class MemoryInput {
public:
    MemoryInput(const uint8_t* data, size_t size) : m_reader{data, size, 0} {
        QuietLibraries();
        const AVInputFormat* format = ClaimingFormat(data, size);
        if (format == nullptr) return;
        constexpr int kIoBytes = 64 * 1024;
        auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBytes));
        if (buffer == nullptr) return;
        m_io = avio_alloc_context(buffer, kIoBytes, 0, &m_reader, ReadMemory, nullptr, SeekMemory);
        m_ctx = avformat_alloc_context();
        if (m_io == nullptr || m_ctx == nullptr) return;
        m_ctx->pb = m_io;
        m_ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
        // The streams' kinds and picture sizes show in the first key frame;
        // looking further only costs time when a page of results is probed.
        m_ctx->probesize = kAnalyseBytes;
        m_ctx->max_analyze_duration = AV_TIME_BASE / 2;
        if (avformat_open_input(&m_ctx, nullptr, format, nullptr) < 0) return;  // frees m_ctx on failure
        if (avformat_find_stream_info(m_ctx, nullptr) < 0) {
            avformat_close_input(&m_ctx);
            return;
        }
        m_open = true;
    }
    ~MemoryInput() {
        if (m_open) avformat_close_input(&m_ctx);
        else avformat_free_context(m_ctx);
        if (m_io != nullptr) av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
    MemoryInput(const MemoryInput&) = delete;
    MemoryInput& operator=(const MemoryInput&) = delete;

    AVFormatContext* Context() const { return m_open ? m_ctx : nullptr; }

private:
    MemoryReader m_reader;
    AVIOContext* m_io = nullptr;
    AVFormatContext* m_ctx = nullptr;
    bool m_open = false;
};

std::string ContainerName(const AVInputFormat* format) {
    const std::string name = format->name;
    if (name == "mpeg") return "mpeg-ps";
    if (name == "mpegts") return "mpeg-ts";
    if (name == "h264") return "h264-es";
    if (name == "hevc") return "h265-es";
    return name.substr(0, name.find(','));
}

std::string CodecName(AVCodecID id) {
    return id == AV_CODEC_ID_HEVC ? "h265" : avcodec_get_name(id);
}

std::string Describe(const AVFormatContext* ctx) {
    const int v = av_find_best_stream(const_cast<AVFormatContext*>(ctx), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVStream* st = v >= 0 ? ctx->streams[v] : ctx->nb_streams > 0 ? ctx->streams[0] : nullptr;
    if (st == nullptr || st->codecpar->codec_id == AV_CODEC_ID_NONE) return "unknown";
    std::string text = ContainerName(ctx->iformat) + " " + CodecName(st->codecpar->codec_id);
    if (st->codecpar->width > 0 && st->codecpar->height > 0)
        text += " " + std::to_string(st->codecpar->width) + "x" + std::to_string(st->codecpar->height);
    return text;
}

struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

struct InputClose {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct OutputClose {
    void operator()(AVFormatContext* c) const {
        if (c->pb != nullptr) avio_closep(&c->pb);
        avformat_free_context(c);
    }
};

std::string IsoUtc(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm utc{};
    gmtime_r(&tt, &utc);
    char text[40];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
    return text;
}

int64_t FileSize(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::vector<uint8_t> FileStart(const std::string& path) {
    std::vector<uint8_t> bytes(kProbeBytes);
    FILE* f = fopen(path.c_str(), "rb");
    const size_t n = f != nullptr ? fread(bytes.data(), 1, bytes.size(), f) : 0;
    if (f != nullptr) fclose(f);
    bytes.resize(n);
    return bytes;
}

// The packets of one remux: maps input streams to output streams, places
// video frames that carry no time after the frame before them (a stream that
// never carries one runs at a constant rate), and keeps every stream's
// decoding times rising as the MP4 muxer requires, without dropping a frame.
class Remuxer {
public:
    Remuxer(AVFormatContext* in, AVFormatContext* out) : m_in(in), m_out(out), m_map(in->nb_streams, -1) {}

    // Output streams for the input's video and audio streams that an MP4 can
    // hold; false when no video stream can go in.
    bool MapStreams() {
        for (unsigned i = 0; i < m_in->nb_streams; i++) {
            const AVCodecParameters* par = m_in->streams[i]->codecpar;
            if (par->codec_type != AVMEDIA_TYPE_VIDEO && par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
            if (avformat_query_codec(m_out->oformat, par->codec_id, FF_COMPLIANCE_NORMAL) != 1) continue;
            AVStream* st = avformat_new_stream(m_out, nullptr);
            if (st == nullptr || avcodec_parameters_copy(st->codecpar, par) < 0) return false;
            st->codecpar->codec_tag = 0;
            m_map[i] = st->index;
            if (par->codec_type == AVMEDIA_TYPE_VIDEO && m_video < 0) m_video = static_cast<int>(i);
        }
        m_lastDts.assign(m_out->nb_streams, AV_NOPTS_VALUE);
        if (m_video < 0) return false;
        const AVRational guess = av_guess_frame_rate(m_in, m_in->streams[m_video], nullptr);
        if (guess.num > 0 && guess.den > 0) m_rate = guess;
        return true;
    }

    // Writes one packet; false when the muxer refuses it.
    bool Write(AVPacket* pkt) {
        const int out = m_map[static_cast<size_t>(pkt->stream_index)];
        if (out < 0) return true;
        const AVRational from = m_in->streams[pkt->stream_index]->time_base;
        if (pkt->stream_index == m_video) PlaceVideo(pkt, from);
        if (pkt->dts == AV_NOPTS_VALUE) pkt->dts = pkt->pts;
        if (pkt->pts == AV_NOPTS_VALUE) pkt->pts = pkt->dts;
        if (pkt->dts == AV_NOPTS_VALUE) return true;  // sound without a time: nowhere to place it
        AVStream* st = m_out->streams[out];
        av_packet_rescale_ts(pkt, from, st->time_base);
        int64_t& last = m_lastDts[static_cast<size_t>(out)];
        if (last != AV_NOPTS_VALUE && pkt->dts <= last) {
            // A time repeated or stepped back (a frame given its neighbour's
            // time): the frame is kept, just after the one before it.
            pkt->pts += last + 1 - pkt->dts;
            pkt->dts = last + 1;
        }
        last = pkt->dts;
        if (pkt->stream_index == m_video) m_frames++;
        pkt->stream_index = out;
        pkt->pos = -1;
        return av_interleaved_write_frame(m_out, pkt) >= 0;
    }

    bool ConstantRate() const { return !m_stamped; }
    double Rate() const { return av_q2d(m_rate); }
    int64_t Frames() const { return m_frames; }

private:
    void PlaceVideo(AVPacket* pkt, AVRational timeBase) {
        const int64_t step = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(m_rate), timeBase));
        if (pkt->dts == AV_NOPTS_VALUE && pkt->pts == AV_NOPTS_VALUE) {
            pkt->dts = pkt->pts = m_lastVideo == AV_NOPTS_VALUE ? m_frames * step : m_lastVideo + step;
            if (pkt->duration <= 0) pkt->duration = step;
        } else {
            m_stamped = true;
        }
        m_lastVideo = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    }

    AVFormatContext* m_in;
    AVFormatContext* m_out;
    std::vector<int> m_map;
    std::vector<int64_t> m_lastDts;
    int m_video = -1;
    bool m_stamped = false;
    int64_t m_lastVideo = AV_NOPTS_VALUE;
    AVRational m_rate = kDefaultRate;
    int64_t m_frames = 0;
};

RemuxResult Refused(const std::string& notice) {
    RemuxResult r;
    r.notice = notice;
    return r;
}

}  // namespace

std::string DescribeStream(const uint8_t* data, size_t size) {
    MemoryInput input(data, std::min(size, kProbeBytes));
    return input.Context() != nullptr ? Describe(input.Context()) : "unknown";
}

RemuxResult RemuxToMp4(const std::string& rawPath, const std::string& mp4Path, int64_t creationTime,
                       const std::atomic<bool>* stop) {
    QuietLibraries();
    const std::vector<uint8_t> start = FileStart(rawPath);
    const AVInputFormat* format = ClaimingFormat(start.data(), start.size());
    if (format == nullptr || DescribeStream(start.data(), start.size()) == "unknown")
        return Refused("stream not recognised: no MP4");

    AVFormatContext* rawIn = nullptr;
    if (avformat_open_input(&rawIn, rawPath.c_str(), format, nullptr) < 0) return Refused("stream cannot be opened: no MP4");
    std::unique_ptr<AVFormatContext, InputClose> in(rawIn);
    if (avformat_find_stream_info(in.get(), nullptr) < 0) return Refused("stream not recognised: no MP4");

    AVFormatContext* rawOut = nullptr;
    if (avformat_alloc_output_context2(&rawOut, nullptr, "mp4", nullptr) < 0) return Refused("MP4 writer missing");
    std::unique_ptr<AVFormatContext, OutputClose> out(rawOut);
    Remuxer remux(in.get(), out.get());
    if (!remux.MapStreams()) return Refused("stream has no video an MP4 can hold: no MP4");
    av_dict_set(&out->metadata, "creation_time", IsoUtc(creationTime).c_str(), 0);

    const std::string part = mp4Path + ".part";
    if (avio_open(&out->pb, part.c_str(), AVIO_FLAG_WRITE) < 0) return Refused("cannot create " + part);
    bool whole = avformat_write_header(out.get(), nullptr) >= 0;
    int64_t lastEnd = 0;  // end of the last packet taken, in bytes of the raw file
    PacketPtr pkt(av_packet_alloc());
    bool stopped = false;
    while (whole && pkt != nullptr) {
        if (stop != nullptr && stop->load()) {
            whole = false;
            stopped = true;
            break;
        }
        const int r = av_read_frame(in.get(), pkt.get());
        if (r == AVERROR_EOF) break;
        if (r < 0 || (pkt->flags & AV_PKT_FLAG_CORRUPT) != 0) {
            whole = false;
            break;
        }
        if (pkt->pos >= 0) lastEnd = std::max(lastEnd, pkt->pos + pkt->size);
        whole = remux.Write(pkt.get());
        av_packet_unref(pkt.get());
    }
    const int64_t size = FileSize(rawPath);
    if (whole && size - lastEnd > kTailSlack) whole = false;  // the rest of the file is not this stream
    whole = whole && remux.Frames() > 0 && av_write_trailer(out.get()) >= 0;
    whole = avio_closep(&out->pb) >= 0 && whole;
    if (!whole || rename(part.c_str(), mp4Path.c_str()) != 0) {
        remove(part.c_str());
        if (stopped) return Refused("stopped: no MP4");
        return Refused("stream breaks off at byte " + std::to_string(lastEnd) + " of " + std::to_string(size) +
                       ": no MP4");
    }
    RemuxResult result;
    result.written = true;
    result.frames = remux.Frames();
    result.constantRate = remux.ConstantRate();
    if (result.constantRate) {
        char note[96];
        snprintf(note, sizeof note, "no timestamps in the stream: MP4 at a constant %g frames per second", remux.Rate());
        result.notice = note;
    }
    return result;
}

bool DecodePreview(const uint8_t* data, size_t size, int maxWidth, int maxHeight, PreviewImage* out) {
    if (maxWidth <= 0 || maxHeight <= 0 || out == nullptr) return false;
    MemoryInput input(data, size);
    AVFormatContext* ctx = input.Context();
    if (ctx == nullptr) return false;
    const AVCodec* codec = nullptr;
    const int v = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (v < 0 || codec == nullptr) return false;
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> dec(avcodec_alloc_context3(codec),
                                                                  [](AVCodecContext* c) { avcodec_free_context(&c); });
    if (!dec || avcodec_parameters_to_context(dec.get(), ctx->streams[v]->codecpar) < 0) return false;
    dec->thread_count = 1;
    if (avcodec_open2(dec.get(), codec, nullptr) < 0) return false;

    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
    PacketPtr pkt(av_packet_alloc());
    bool got = false;
    for (int n = 0; !got && frame && pkt && n < kPreviewPackets; n++) {
        const bool end = av_read_frame(ctx, pkt.get()) < 0;
        if (!end && pkt->stream_index != v) {
            av_packet_unref(pkt.get());
            continue;
        }
        const int sent = avcodec_send_packet(dec.get(), end ? nullptr : pkt.get());  // null drains at the end
        av_packet_unref(pkt.get());
        got = avcodec_receive_frame(dec.get(), frame.get()) == 0;
        if (end || (sent < 0 && sent != AVERROR(EAGAIN))) break;
    }
    if (!got || frame->width <= 0 || frame->height <= 0) return false;

    const double scale = std::min(static_cast<double>(maxWidth) / frame->width, static_cast<double>(maxHeight) / frame->height);
    const int w = std::max(1, static_cast<int>(frame->width * scale)), h = std::max(1, static_cast<int>(frame->height * scale));
    SwsContext* sws = sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), w, h,
                                     AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (sws == nullptr) return false;
    out->width = w;
    out->height = h;
    out->rgb.assign(static_cast<size_t>(w) * static_cast<size_t>(h) * 3, 0);
    uint8_t* planes[4] = {out->rgb.data(), nullptr, nullptr, nullptr};
    const int strides[4] = {w * 3, 0, 0, 0};
    const int rows = sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
    sws_freeContext(sws);
    return rows == h;
}

extern "C" __attribute__((visibility("default"))) const MediaModule* tarvik_media_module() {
    static const MediaModule table{kMediaModuleAbi, DescribeStream, RemuxToMp4, DecodePreview};
    return &table;
}
