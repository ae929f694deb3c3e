#ifndef ZVR3BENCHPLAIN_H
#define ZVR3BENCHPLAIN_H

// The baseline the decoder node is held against: plain libavcodec + libswscale doing the node's
// work without the node.
#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QList>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

// Decodes `count` pictures from `packets` (cycled, starting with the first, a key frame) with a
// fresh decoder of the named FFmpeg codec ("h264", "mpeg4"), and converts each picture to BGRA
// in a fresh buffer, as the decoder node does for its images. Returns the pictures made.
inline qint64 plainDecodeToBgra(const char *decoderName, const QList<QByteArray> &packets, qint64 count)
{
    const AVCodec *codec = avcodec_find_decoder_by_name(decoderName);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    avcodec_open2(ctx, codec, nullptr);
    AVFrame *frame = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    SwsContext *scaler = nullptr;
    QByteArray padded;
    qint64 pictures = 0;
    for (qint64 i = 0; i < count && !packets.isEmpty(); ++i) {
        const QByteArray &data = packets.at(qsizetype(i % packets.size()));
        padded = data + QByteArray(AV_INPUT_BUFFER_PADDING_SIZE, '\0');
        packet->data = reinterpret_cast<uint8_t *>(padded.data());
        packet->size = int(data.size());
        avcodec_send_packet(ctx, packet);
        if (avcodec_receive_frame(ctx, frame) != 0)
            continue;
        if (!scaler)
            scaler = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), frame->width, frame->height,
                                    AV_PIX_FMT_BGRA, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
        QByteArray bgra(qsizetype(frame->width) * frame->height * 4, Qt::Uninitialized);
        uint8_t *planes[1] = {reinterpret_cast<uint8_t *>(bgra.data())};
        const int strides[1] = {frame->width * 4};
        sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
        benchmark::DoNotOptimize(bgra.data());
        av_frame_unref(frame);
        ++pictures;
    }
    sws_freeContext(scaler);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return pictures;
}

#endif // ZVR3BENCHPLAIN_H
