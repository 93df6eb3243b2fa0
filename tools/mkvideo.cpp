// Test footage for sample disks: a picture that shows its own time. Every
// frame is a grey field with a bar that sweeps across once a second and the
// recorder-local date and time in large digits, so that a player, a preview
// or a frame grab tells at once which second of which recording it shows.
// Encoded as H.264 and put in an MPEG program stream, as recorders store it.
#include "mkvideo.h"

#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include "kxtime.h"

namespace {

constexpr int kWidth = 352, kHeight = 288, kRate = 25;

// 5 x 7 digits, one byte a row, the five low bits from left to right.
const uint8_t kGlyphs[12][7] = {
    {14, 17, 19, 21, 25, 17, 14}, {4, 12, 4, 4, 4, 4, 14},   {14, 17, 1, 2, 4, 8, 31},   {31, 2, 4, 2, 1, 17, 14},
    {2, 6, 10, 18, 31, 2, 2},     {31, 16, 30, 1, 1, 17, 14}, {6, 8, 16, 30, 17, 17, 14}, {31, 1, 2, 4, 8, 8, 8},
    {14, 17, 17, 14, 17, 17, 14}, {14, 17, 17, 15, 1, 2, 12}, {0, 12, 12, 0, 12, 12, 0},  {0, 0, 0, 31, 0, 0, 0},
};

int GlyphOf(char c) { return c >= '0' && c <= '9' ? c - '0' : c == ':' ? 10 : 11; }

void DrawText(AVFrame* f, const char* text, int x, int y, int scale) {
    for (; *text != '\0'; text++, x += 6 * scale) {
        const uint8_t* g = kGlyphs[GlyphOf(*text)];
        for (int row = 0; row < 7 * scale; row++)
            for (int col = 0; col < 5 * scale; col++)
                if ((g[row / scale] >> (4 - col / scale)) & 1) f->data[0][(y + row) * f->linesize[0] + x + col] = 235;
    }
}

void DrawFrame(AVFrame* f, int64_t index, int32_t startSeconds) {
    const int sweep = static_cast<int>(index % kRate) * kWidth / kRate;
    for (int y = 0; y < kHeight; y++)
        for (int x = 0; x < kWidth; x++)
            f->data[0][y * f->linesize[0] + x] = x >= sweep && x < sweep + 12 ? 200 : static_cast<uint8_t>(40 + y / 8);
    for (int y = 0; y < kHeight / 2; y++) {
        memset(f->data[1] + y * f->linesize[1], 128, kWidth / 2);
        memset(f->data[2] + y * f->linesize[2], 150, kWidth / 2);
    }
    const packed_time t = seconds_to_time(startSeconds + static_cast<int32_t>(index / kRate));
    char date[16], clock[16];
    snprintf(date, sizeof date, "%04u-%02u-%02u", pt_year(t) + 2000, pt_month(t), pt_day(t));
    snprintf(clock, sizeof clock, "%02u:%02u:%02u", pt_hour(t), pt_minute(t), pt_second(t));
    DrawText(f, date, 56, 70, 4);
    DrawText(f, clock, 32, 130, 6);
}

struct Encoder {
    AVCodecContext* codec = nullptr;
    AVFormatContext* mux = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    ~Encoder() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&codec);
        if (mux != nullptr) {
            uint8_t* left = nullptr;
            if (mux->pb != nullptr) avio_close_dyn_buf(mux->pb, &left);
            av_free(left);
            avformat_free_context(mux);
        }
    }

    bool Open(std::string* error) {
        av_log_set_level(AV_LOG_QUIET);
        const AVCodec* h264 = avcodec_find_encoder(AV_CODEC_ID_H264);
        if (h264 == nullptr) return Fail(error, "no H.264 encoder in the media libraries");
        codec = avcodec_alloc_context3(h264);
        frame = av_frame_alloc();
        packet = av_packet_alloc();
        if (codec == nullptr || frame == nullptr || packet == nullptr) return Fail(error, "out of memory");
        codec->width = kWidth;
        codec->height = kHeight;
        codec->time_base = AVRational{1, kRate};
        codec->framerate = AVRational{kRate, 1};
        codec->pix_fmt = AV_PIX_FMT_YUV420P;
        codec->gop_size = kRate;
        codec->max_b_frames = 0;
        codec->bit_rate = 300000;
        codec->thread_count = 1;
        av_opt_set(codec->priv_data, "preset", "ultrafast", 0);
        if (avformat_alloc_output_context2(&mux, nullptr, "mpeg", nullptr) < 0) return Fail(error, "no MPEG muxer");
        if (mux->oformat->flags & AVFMT_GLOBALHEADER) codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(codec, h264, nullptr) < 0) return Fail(error, "the H.264 encoder does not open");
        AVStream* st = avformat_new_stream(mux, nullptr);
        if (st == nullptr || avcodec_parameters_from_context(st->codecpar, codec) < 0) return Fail(error, "no stream");
        st->time_base = codec->time_base;
        frame->format = codec->pix_fmt;
        frame->width = kWidth;
        frame->height = kHeight;
        if (av_frame_get_buffer(frame, 0) < 0 || avio_open_dyn_buf(&mux->pb) < 0) return Fail(error, "out of memory");
        return avformat_write_header(mux, nullptr) >= 0 || Fail(error, "the program stream header cannot be written");
    }

    // Sends a frame (null at the end) and writes what the encoder gives back.
    bool Encode(AVFrame* f) {
        if (avcodec_send_frame(codec, f) < 0) return false;
        for (;;) {
            const int r = avcodec_receive_packet(codec, packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
            if (r < 0) return false;
            av_packet_rescale_ts(packet, codec->time_base, mux->streams[0]->time_base);
            packet->stream_index = 0;
            if (av_interleaved_write_frame(mux, packet) < 0) return false;
        }
    }

    bool Finish(std::vector<uint8_t>* out) {
        if (av_write_trailer(mux) < 0) return false;
        uint8_t* bytes = nullptr;
        const int n = avio_close_dyn_buf(mux->pb, &bytes);
        mux->pb = nullptr;
        if (n > 0) out->assign(bytes, bytes + n);
        av_free(bytes);
        return n > 0;
    }

    static bool Fail(std::string* error, const char* what) {
        *error = what;
        return false;
    }
};

}  // namespace

bool mkdisk_video(packed_time start, uint32_t seconds, std::vector<uint8_t>* out, std::string* error) {
    Encoder e;
    if (!e.Open(error)) return false;
    const int32_t startSeconds = time_seconds(start);
    for (int64_t i = 0; i < static_cast<int64_t>(seconds) * kRate; i++) {
        if (av_frame_make_writable(e.frame) < 0) return Encoder::Fail(error, "out of memory");
        DrawFrame(e.frame, i, startSeconds);
        e.frame->pts = i;
        if (!e.Encode(e.frame)) return Encoder::Fail(error, "encoding a frame failed");
    }
    if (!e.Encode(nullptr) || !e.Finish(out)) return Encoder::Fail(error, "finishing the stream failed");
    return true;
}
