// What a recording's stream is, its MP4 copy and its preview, over the sample
// maker's footage (H.264 in an MPEG program stream) and its pattern data.
extern "C" {
#include <libavformat/avformat.h>
}

#include <sys/wait.h>

#include <filesystem>
#include <random>

#include "app/app_support.h"
#include "core/download.h"
#include "core/media.h"
#include "mkdisk.h"
#include "mkvideo.h"

using namespace app_test;

namespace {

constexpr int kRate = 25;  // the maker's footage

// The media module is built in the build tree's top folder, not beside this
// program: it is named, before the first media call loads it.
[[maybe_unused]] const int kModuleNamed =
    setenv("TARVIK_MEDIA_MODULE", TARVIK_BINARY_DIR "/tarvik-media.so", 0);

std::string Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), (std::streamsize)bytes.size());
    return path;
}

// What libavformat reads back from an MP4.
struct Mp4Facts {
    std::string codec, created;
    int64_t frames = 0;
    double seconds = 0;
};

Mp4Facts ReadBack(const std::string& path) {
    Mp4Facts facts;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return facts;
    if (avformat_find_stream_info(ctx, nullptr) >= 0) {
        const int v = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (v >= 0) {
            const AVStream* st = ctx->streams[v];
            facts.codec = avcodec_get_name(st->codecpar->codec_id);
            facts.frames = st->nb_frames;
            facts.seconds = (double)st->duration * av_q2d(st->time_base);
        }
        const AVDictionaryEntry* e = av_dict_get(ctx->metadata, "creation_time", nullptr, 0);
        facts.created = e != nullptr ? e->value : "";
    }
    avformat_close_input(&ctx);
    return facts;
}

// The footage's H.264 elementary stream alone: a raw stream without any
// timestamps, as some recorders store it.
std::vector<uint8_t> Elementary(const std::string& programStream, const std::string& out) {
    AVFormatContext* in = nullptr;
    AVFormatContext* es = nullptr;
    EXPECT_GE(avformat_open_input(&in, programStream.c_str(), nullptr, nullptr), 0);
    EXPECT_GE(avformat_find_stream_info(in, nullptr), 0);
    EXPECT_GE(avformat_alloc_output_context2(&es, nullptr, "h264", out.c_str()), 0);
    AVStream* st = avformat_new_stream(es, nullptr);
    avcodec_parameters_copy(st->codecpar, in->streams[0]->codecpar);
    EXPECT_GE(avio_open(&es->pb, out.c_str(), AVIO_FLAG_WRITE), 0);
    EXPECT_GE(avformat_write_header(es, nullptr), 0);
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(in, pkt) >= 0) {
        pkt->stream_index = 0;
        av_write_frame(es, pkt);
        av_packet_unref(pkt);
    }
    av_write_trailer(es);
    av_packet_free(&pkt);
    avio_closep(&es->pb);
    avformat_free_context(es);
    avformat_close_input(&in);
    return ReadFile(out);
}

}  // namespace

// The video preset's recordings are probed, copied and remuxed into MP4s with
// every frame, the length and the start as creation time; a preview shows one.
TEST(Media, FootageOnADiskIsProbedRemuxedAndPreviewed) {
    TempDir dir;
    mkdisk_report report;
    std::string error;
    ASSERT_EQ(0, mkdisk_make("video", dir.file("v.img"), &report, &error)) << error;
    ASSERT_EQ(0, InitLibrary(StartupOptions{{dir.file("v.img")}, true}).result);
    CResultList list;
    ASSERT_EQ(CResultList::Outcome::Found,
              list.Search(1, 0, 0, T("2024-06-03 00:00:00"), T("2024-06-03 23:59:59")));
    list.FetchAll();
    ASSERT_EQ(2u, list.Items().size());
    const SearchResult& r = list.Items()[0].record;
    EXPECT_EQ("mpeg-ps h264 352x288", ProbeRecording(r));

    CDownloadJob job;  // the exact copy first, then the MP4 beside it
    job.SetPlayableCopies(true);
    ASSERT_EQ(CDownloadJob::StartResult::Started, job.Start({r}, dir.path()));
    job.Wait();
    ASSERT_EQ(1, job.CopiedCount());
    const CopyOutcome& copy = job.Outcomes()[0];
    const std::string mp4 = Mp4PathFor(copy.path);
    ASSERT_EQ(mp4, copy.mp4Path) << copy.mp4Notice;
    const Mp4Facts facts = ReadBack(mp4);
    EXPECT_EQ("h264", facts.codec);
    EXPECT_EQ(20 * kRate, facts.frames);
    EXPECT_NEAR(20.0, facts.seconds, 0.1);
    EXPECT_EQ("2024-06-03T18:00:00.000000Z", facts.created);  // the tests run in TZ=UTC
    EXPECT_FALSE(std::filesystem::exists(mp4 + ".part"));

    const std::vector<uint8_t> start = ReadRecordingStart(r);
    PreviewImage image;
    ASSERT_TRUE(DecodePreview(start.data(), start.size(), 176, 176, &image));
    EXPECT_EQ(std::make_pair(176, 144), std::make_pair(image.width, image.height));  // 352 x 288 fitted
    EXPECT_EQ(image.rgb.size(), 176u * 144u * 3u);
}

// A stream without timestamps gets a constant rate and says so; no stream, a
// cut one and one running into noise give no MP4 (nor a part file), a notice.
TEST(Media, RawStreamsTakeAConstantRateAndDamagedOnesGiveNoMp4) {
    TempDir dir;
    std::vector<uint8_t> footage;
    std::string error;
    ASSERT_TRUE(mkdisk_video(make_packed_time(2024, 6, 3, 18, 0, 0), 8, &footage, &error)) << error;
    const std::vector<uint8_t> raw = Elementary(Write(dir.file("ps.mvr"), footage), dir.file("es.h264"));
    EXPECT_EQ("h264-es h264 352x288", DescribeStream(raw.data(), raw.size()));
    RemuxResult r = RemuxToMp4(Write(dir.file("es.mvr"), raw), dir.file("es.mp4"), 0);
    ASSERT_TRUE(r.written) << r.notice;
    EXPECT_TRUE(r.constantRate);
    EXPECT_EQ(8 * kRate, ReadBack(dir.file("es.mp4")).frames);
    EXPECT_NE(std::string::npos, r.notice.find("constant 25 frames per second"));

    std::vector<uint8_t> pattern(footage.size());
    mkdisk_pattern(1, make_packed_time(2024, 6, 3, 18, 0, 0), 0, pattern.data(), pattern.size());
    std::vector<uint8_t> cut = footage, noisy = footage;
    std::fill(cut.begin() + (long)cut.size() / 2, cut.end(), 0);
    std::mt19937 random(7);
    for (size_t i = noisy.size() / 3; i < noisy.size(); i++) noisy[i] = (uint8_t)random();
    EXPECT_EQ("unknown", DescribeStream(pattern.data(), pattern.size()));
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> damaged = {
        {"pattern", pattern}, {"cut", cut}, {"noisy", noisy}, {"empty", {}}};
    for (const auto& [name, bytes] : damaged) {
        r = RemuxToMp4(Write(dir.file(name + ".mvr"), bytes), dir.file(name + ".mp4"), 0);
        EXPECT_FALSE(r.written) << name;
        EXPECT_NE(std::string::npos, r.notice.find("no MP4")) << name << ": " << r.notice;
        EXPECT_FALSE(std::filesystem::exists(dir.file(name + ".mp4")) ||
                     std::filesystem::exists(dir.file(name + ".mp4.part")))
            << name;
    }
}

// A module that does not load makes --probe a usage error that says why.
TEST(Media, AModuleThatDoesNotLoadIsNamed) {
    TempDir dir;
    const std::string err = dir.file("err");
    const std::string cmd =
        "TARVIK_MEDIA_MODULE=/nowhere/tarvik-media.so '" TARVIK_BINARY_DIR
        "/tarvik' -D /nowhere.img search --disk 1 --channel 1 --probe --start '2024-06-03 00:00:00'"
        " --end '2024-06-04 00:00:00' 2>'" +
        err + "'";
    const int ws = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 2);
    EXPECT_PRED_FORMAT2(::testing::IsSubstring,
                        "--probe: no media support (/nowhere/tarvik-media.so: cannot open shared object file",
                        ReadText(err));
}
