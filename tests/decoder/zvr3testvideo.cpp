#include "zvr3testvideo.h"

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace zvr3testvideo {

// A smooth moving pattern that survives lossy coding well.
QImage pattern(int w, int h, int frame)
{
    QImage image(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < w; ++x) {
            line[3 * x] = uchar((x * 255 / w + 4 * frame) & 0xFF);
            line[3 * x + 1] = uchar(y * 255 / h);
            line[3 * x + 2] = uchar(((x + y) * 255 / (w + h) + 128) & 0xFF);
        }
    }
    return image;
}

// Encodes the pattern with the named FFmpeg encoder; one packet per picture, no delay.
Encoded encode(const char *encoderName, int w, int h, int frames)
{
    Encoded out;
    const AVCodec *codec = avcodec_find_encoder_by_name(encoderName);
    if (!codec)
        return out;
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    ctx->width = w;
    ctx->height = h;
    ctx->time_base = {1, 25};
    ctx->framerate = {25, 1};
    ctx->gop_size = 10;
    ctx->max_b_frames = 0;
    const bool jpeg = qstrcmp(encoderName, "mjpeg") == 0;
    ctx->pix_fmt = jpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    if (jpeg) {
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = FF_QP2LAMBDA * 3;
    } else {
        ctx->bit_rate = 8000000;
    }
    if (qstrcmp(encoderName, "libx264") == 0) {
        av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
        av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
        av_opt_set(ctx->priv_data, "crf", "18", 0);
    }
    if (avcodec_open2(ctx, codec, nullptr) != 0) {
        avcodec_free_context(&ctx);
        return out;
    }
    AVFrame *frame = av_frame_alloc();
    frame->format = ctx->pix_fmt;
    frame->width = w;
    frame->height = h;
    av_frame_get_buffer(frame, 0);
    SwsContext *toYuv = sws_getContext(w, h, AV_PIX_FMT_RGB24, w, h, ctx->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr);
    AVPacket *packet = av_packet_alloc();
    auto collect = [&] {
        while (avcodec_receive_packet(ctx, packet) == 0) {
            out.packets.append(QByteArray(reinterpret_cast<const char *>(packet->data), packet->size));
            av_packet_unref(packet);
        }
    };
    for (int i = 0; i < frames; ++i) {
        const QImage source = pattern(w, h, i);
        out.sources.append(source);
        av_frame_make_writable(frame);
        // The converter may read a little past the last source row: give it a padded copy.
        QByteArray padded(source.sizeInBytes() + source.bytesPerLine() + 64, '\0');
        std::memcpy(padded.data(), source.constBits(), size_t(source.sizeInBytes()));
        const uint8_t *planes[1] = {reinterpret_cast<const uint8_t *>(padded.constData())};
        const int strides[1] = {int(source.bytesPerLine())};
        sws_scale(toYuv, planes, strides, 0, h, frame->data, frame->linesize);
        frame->pts = i;
        avcodec_send_frame(ctx, frame);
        collect();
    }
    avcodec_send_frame(ctx, nullptr);
    collect();
    av_packet_free(&packet);
    sws_freeContext(toYuv);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return out;
}

// Peak signal-to-noise ratio of a decoded picture against its source, over R, G and B.
double psnr(const QImage &decoded, const QImage &source)
{
    const QImage a = decoded.convertToFormat(QImage::Format_RGB888);
    double squares = 0;
    for (int y = 0; y < a.height(); ++y) {
        const uchar *p = a.constScanLine(y);
        const uchar *q = source.constScanLine(y);
        for (int x = 0; x < 3 * a.width(); ++x)
            squares += double(p[x] - q[x]) * (p[x] - q[x]);
    }
    const double mse = squares / (3.0 * a.width() * a.height());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

} // namespace zvr3testvideo
