// The decoder node against plain library code doing the same work in the same run.
//
//   zvr3bench_decoder --benchmark_filter=Video   frames per second, 1280x720 H.264 (MPEG-4 when the
//                                                FFmpeg build has no H.264 encoder)
//   zvr3bench_decoder --benchmark_filter=Ima1    samples per second
//
// BM_VideoPlain decodes the same packets with libavcodec and converts every picture to BGRA into a
// fresh buffer with libswscale; BM_VideoDirect calls the video decoder's decode() on the benchmark's
// thread; BM_VideoNode feeds the packets to a zvr3decoder and waits for the images on the
// application's thread. The video rates are per second of the whole process's CPU time (worker
// threads included), which a machine shared with other work disturbs less than wall time; run with
// --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true for a fair ratio. BM_Ima1Plain is a plain loop of the IMA ADPCM algorithm; BM_Ima1Decoder
// is the stream's private decoder, item by item.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QImage>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include "zvr3benchmain.h"
#include "zvr3benchplain.h"
#include "zvr3decoder.h"
#include "zvr3decoder_priv_ima1.h"
#include "zvr3decoder_priv_video.h"
#include "zvr3metatype_p.h"

namespace {

constexpr int Width = 1280;
constexpr int Height = 720;
constexpr int Frames = 50;

struct Video
{
    QByteArray codec;  // the stream's codec name
    QList<QByteArray> packets;

    // The header entry of the video as stream 1.
    STREAM_T entry() const
    {
        STREAM_T e;
        e.number = 1;
        e.type = 1;
        e.codec = QString::fromLatin1(codec);
        return e;
    }
};

// Encodes a moving pattern once, with libx264 when the FFmpeg build has it.
const Video &video()
{
    static const Video v = [] {
        Video out;
        const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
        out.codec = "H264";
        if (!codec) {
            codec = avcodec_find_encoder_by_name("mpeg4");
            out.codec = "mp4v";
        }
        AVCodecContext *ctx = avcodec_alloc_context3(codec);
        ctx->width = Width;
        ctx->height = Height;
        ctx->time_base = {1, 25};
        ctx->framerate = {25, 1};
        ctx->gop_size = 25;
        ctx->max_b_frames = 0;
        ctx->pix_fmt = AV_PIX_FMT_YUV420P;
        ctx->bit_rate = 4000000;
        if (out.codec == "H264") {
            av_opt_set(ctx->priv_data, "preset", "veryfast", 0);
            av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
        }
        if (avcodec_open2(ctx, codec, nullptr) != 0)
            qFatal("can't open the %s encoder", codec->name);
        AVFrame *frame = av_frame_alloc();
        frame->format = ctx->pix_fmt;
        frame->width = Width;
        frame->height = Height;
        av_frame_get_buffer(frame, 0);
        AVPacket *packet = av_packet_alloc();
        auto collect = [&] {
            while (avcodec_receive_packet(ctx, packet) == 0) {
                out.packets.append(QByteArray(reinterpret_cast<const char *>(packet->data), packet->size));
                av_packet_unref(packet);
            }
        };
        for (int i = 0; i < Frames; ++i) {
            av_frame_make_writable(frame);
            for (int y = 0; y < Height; ++y) {
                for (int x = 0; x < Width; ++x)
                    frame->data[0][y * frame->linesize[0] + x] = uint8_t(x + y + 3 * i + ((x / 64 + y / 64 + i / 5) % 2) * 60);
            }
            for (int p = 1; p < 3; ++p) {
                for (int y = 0; y < Height / 2; ++y) {
                    for (int x = 0; x < Width / 2; ++x)
                        frame->data[p][y * frame->linesize[p] + x] = uint8_t(128 + (p == 1 ? x - i : y + i) / 8);
                }
            }
            frame->pts = i;
            avcodec_send_frame(ctx, frame);
            collect();
        }
        avcodec_send_frame(ctx, nullptr);
        collect();
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        return out;
    }();
    return v;
}

void BM_VideoPlain(benchmark::State &state)
{
    const Video &v = video();
    int64_t pictures = 0;
    for (auto _ : state)
        pictures += plainDecodeToBgra(v.codec == "H264" ? "h264" : "mpeg4", v.packets, v.packets.size());
    state.SetItemsProcessed(pictures);
}

void BM_VideoNode(benchmark::State &state)
{
    const Video &v = video();
    const STREAM_T entry = v.entry();
    HDR_T header;
    header.streams = {entry};
    QList<QVariant> records;
    for (const QByteArray &data : v.packets) {
        DATA_T d;
        d.stream = 1;
        d.part = 3;
        d.data = data;
        records.append(zvr3value(zvr3parser_combined_DATA_T(d)));
    }

    zvr3decoder node(1);
    int received = 0;
    int expected = 0;
    QEventLoop loop;
    QObject::connect(&node, &zvr3base::sigData, &loop, [&](const QVariant &value) {
        benchmark::DoNotOptimize(value.value<zvr3item>().value.value<QImage>().constBits());
        if (++received == expected)
            loop.quit();
    });
    int64_t pictures = 0;
    for (auto _ : state) {
        received = 0;
        expected = int(v.packets.size());
        node.slotData(zvr3value(header));  // a fresh decoder, as the plain loop opens a fresh codec
        for (const QVariant &record : std::as_const(records))
            node.slotData(record);
        loop.exec();
        pictures += received;
    }
    state.SetItemsProcessed(pictures);
}

void BM_VideoDirect(benchmark::State &state)
{
    const Video &v = video();
    const STREAM_T entry = v.entry();
    int64_t pictures = 0;
    for (auto _ : state) {
        zvr3decoder_priv_video decoder(entry);
        QObject::connect(&decoder, &zvr3decoder_priv::sigData, [&](const QVariant &) { ++pictures; });
        for (const QByteArray &data : v.packets) {
            zvr3item item;
            item.data = data;
            decoder.decode(item);
        }
    }
    state.SetItemsProcessed(pictures);
}

// The textbook IMA ADPCM decoder, high nibble first, into a buffer made once.
void BM_Ima1Plain(benchmark::State &state)
{
    static const int steps[89] = {
        7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 21, 23, 25, 28, 31, 34, 37, 41, 45, 50, 55, 60, 66, 73,
        80, 88, 97, 107, 118, 130, 143, 157, 173, 190, 209, 230, 253, 279, 307, 337, 371, 408, 449, 494,
        544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552, 1707, 1878, 2066, 2272, 2499,
        2749, 3024, 3327, 3660, 4026, 4428, 4871, 5358, 5894, 6484, 7132, 7845, 8630, 9493, 10442, 11487,
        12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
    static const int indexes[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};
    const qsizetype n = state.range(0);
    QByteArray payload(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i)
        payload[i] = char(i * 37 + i / 5);
    std::vector<int16_t> out(size_t(2 * n));
    int predictor = 0;
    int index = 0;
    for (auto _ : state) {
        const uint8_t *in = reinterpret_cast<const uint8_t *>(payload.constData());
        int16_t *o = out.data();
        for (qsizetype i = 0; i < n; ++i) {
            for (int code : {in[i] >> 4, in[i] & 15}) {
                const int step = steps[index];
                int diff = step >> 3;
                if (code & 4) diff += step;
                if (code & 2) diff += step >> 1;
                if (code & 1) diff += step >> 2;
                predictor += (code & 8) ? -diff : diff;
                if (predictor > 32767) predictor = 32767;
                if (predictor < -32767) predictor = -32767;
                index += indexes[code];
                if (index < 0) index = 0;
                if (index > 88) index = 88;
                *o++ = int16_t(predictor);
            }
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 2 * n);
}

void BM_Ima1Decoder(benchmark::State &state)
{
    const qsizetype n = state.range(0);
    QByteArray payload(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i)
        payload[i] = char(i * 37 + i / 5);
    STREAM_T entry;
    entry.number = 1;
    entry.type = 2;
    entry.codec = QStringLiteral("ima1");
    entry.text3 = QStringLiteral("-rate=8000");
    // Called directly on this thread; the decoder's own worker stays idle without items.
    zvr3decoder_priv_ima1 decoder(entry);
    for (auto _ : state) {
        zvr3item item;
        item.data = payload;
        decoder.decode(item);
        benchmark::DoNotOptimize(item.value.constData());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 2 * n);
}

} // namespace

BENCHMARK(BM_VideoPlain)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_VideoDirect)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_VideoNode)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Ima1Plain)->Arg(320)->Arg(65536);
BENCHMARK(BM_Ima1Decoder)->Arg(320)->Arg(65536);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    av_log_set_level(AV_LOG_ERROR);
    return zvr3bench::runBenchmarks(argc, argv);
}
