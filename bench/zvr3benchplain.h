#ifndef ZVR3BENCHPLAIN_H
#define ZVR3BENCHPLAIN_H

// The baseline the decoder node is held against: plain libavcodec + libswscale doing the node's
// work without the node.
#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QList>

#include <ctime>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

// One plain FFmpeg decoder of the named codec ("h264", "mpeg4") that converts every picture to BGRA
// in a fresh buffer, as the decoder node does for its images.
class PlainDecoder
{
public:
    explicit PlainDecoder(const char *decoderName)
    {
        const AVCodec *codec = avcodec_find_decoder_by_name(decoderName);
        m_ctx = avcodec_alloc_context3(codec);
        avcodec_open2(m_ctx, codec, nullptr);
    }
    ~PlainDecoder()
    {
        sws_freeContext(m_scaler);
        av_packet_free(&m_packet);
        av_frame_free(&m_frame);
        avcodec_free_context(&m_ctx);
    }
    PlainDecoder(const PlainDecoder &) = delete;
    PlainDecoder &operator=(const PlainDecoder &) = delete;

    // Decodes one packet; true when it gave a picture, converted.
    bool decode(const QByteArray &data)
    {
        m_padded = data + QByteArray(AV_INPUT_BUFFER_PADDING_SIZE, '\0');
        m_packet->data = reinterpret_cast<uint8_t *>(m_padded.data());
        m_packet->size = int(data.size());
        avcodec_send_packet(m_ctx, m_packet);
        if (avcodec_receive_frame(m_ctx, m_frame) != 0)
            return false;
        if (!m_scaler)
            m_scaler = sws_getContext(m_frame->width, m_frame->height, AVPixelFormat(m_frame->format), m_frame->width,
                                      m_frame->height, AV_PIX_FMT_BGRA, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
        QByteArray bgra(qsizetype(m_frame->width) * m_frame->height * 4, Qt::Uninitialized);
        uint8_t *planes[1] = {reinterpret_cast<uint8_t *>(bgra.data())};
        const int strides[1] = {m_frame->width * 4};
        sws_scale(m_scaler, m_frame->data, m_frame->linesize, 0, m_frame->height, planes, strides);
        benchmark::DoNotOptimize(bgra.data());
        av_frame_unref(m_frame);
        return true;
    }

private:
    AVCodecContext *m_ctx = nullptr;
    AVFrame *m_frame = av_frame_alloc();
    AVPacket *m_packet = av_packet_alloc();
    SwsContext *m_scaler = nullptr;
    QByteArray m_padded;
};

// Decodes `count` pictures from `packets` (cycled, starting with the first, a key frame) with a
// fresh decoder of the named FFmpeg codec ("h264", "mpeg4"), and converts each picture to BGRA
// in a fresh buffer, as the decoder node does for its images. Returns the pictures made.
inline qint64 plainDecodeToBgra(const char *decoderName, const QList<QByteArray> &packets, qint64 count)
{
    PlainDecoder decoder(decoderName);
    qint64 pictures = 0;
    for (qint64 i = 0; i < count && !packets.isEmpty(); ++i)
        pictures += decoder.decode(packets.at(qsizetype(i % packets.size())));
    return pictures;
}

// Plain FFmpeg doing what a live view of `loops.size()` channels does, without the library: one
// thread a channel, each decoding its loop (cycled, from the first packet, a key frame) at 25
// pictures a second and converting every picture to BGRA in a fresh buffer. Picture k of every
// channel is due k × 40 ms after the start, all channels at once, as a recorder sends them; a
// thread that falls behind decodes its next picture at once, so that nothing is left out and the
// delay tells how far behind it is. The first warmUpSeconds are not counted; then for
// windowSeconds each picture counts with its delay from when it was due to when its conversion
// ended, and every thread's CPU time. Threads stop at the end of the window.
struct PlainLiveResult
{
    double cpuSeconds = 0;               // all threads, during the window
    double windowSeconds = 0;
    std::vector<qint64> pictures;        // per channel, due in the window and made by its end
    qint64 due = 0;                      // per channel, due in the window
    std::vector<std::vector<double>> delaysMs;  // per channel, of the pictures made
};

inline PlainLiveResult plainLiveDecode(const char *decoderName, const std::vector<QList<QByteArray>> &loops,
                                       int warmUpSeconds, int windowSeconds)
{
    constexpr qint64 FrameNs = 40000000;
    const size_t channels = loops.size();
    PlainLiveResult r;
    r.windowSeconds = windowSeconds;
    r.pictures.assign(channels, 0);
    r.due = qint64(windowSeconds) * 25;
    r.delaysMs.assign(channels, {});
    std::vector<double> cpu(channels, 0);
    timespec startTs{};
    clock_gettime(CLOCK_MONOTONIC, &startTs);
    const qint64 start = qint64(startTs.tv_sec) * 1000000000 + startTs.tv_nsec + 100000000;
    const qint64 windowFrom = start + qint64(warmUpSeconds) * 1000000000;
    const qint64 windowTo = windowFrom + qint64(windowSeconds) * 1000000000;
    const auto now = [] {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    };
    const auto threadCpu = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
    };
    std::vector<std::thread> threads;
    for (size_t c = 0; c < channels; ++c) {
        threads.emplace_back([&, c] {
            const QList<QByteArray> &packets = loops[c];
            PlainDecoder decoder(decoderName);
            double cpuFrom = -1;
            for (qint64 k = 0;; ++k) {
                const qint64 dueAt = start + k * FrameNs;
                if (dueAt >= windowTo)
                    break;
                if (now() < dueAt) {
                    const timespec ts{time_t(dueAt / 1000000000), long(dueAt % 1000000000)};
                    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
                }
                if (cpuFrom < 0 && dueAt >= windowFrom)
                    cpuFrom = threadCpu();
                if (decoder.decode(packets.at(qsizetype(k % packets.size())))) {
                    const qint64 doneAt = now();
                    if (dueAt >= windowFrom && doneAt < windowTo) {
                        ++r.pictures[c];
                        r.delaysMs[c].push_back(double(doneAt - dueAt) / 1e6);
                    }
                }
                if (now() >= windowTo)
                    break;  // behind: what is still due is not made in the window
            }
            if (cpuFrom >= 0)
                cpu[c] = threadCpu() - cpuFrom;
        });
    }
    for (std::thread &t : threads)
        t.join();
    for (double seconds : cpu)
        r.cpuSeconds += seconds;
    return r;
}

#endif // ZVR3BENCHPLAIN_H
