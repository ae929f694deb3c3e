#include "zvr3testvideo.h"

#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

namespace zvr3testvideo {

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

Encoded encode(const char *encoderName, int w, int h, int frames)
{
    Encoded out;
    const AVCodec *codec = avcodec_find_encoder_by_name(encoderName);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    ctx->width = w;
    ctx->height = h;
    ctx->time_base = {1, 25};
    ctx->pix_fmt = qstrcmp(encoderName, "mjpeg") == 0 ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    // No B-frames, fine quantisation (3 × FF_QP2LAMBDA); the last three are options of libx264 alone.
    AVDictionary *options = nullptr;
    av_dict_parse_string(&options, "g=10:bf=0:flags=+qscale:global_quality=354:preset=ultrafast:tune=zerolatency:crf=18", "=", ":", 0);
    AVFrame *picture = av_frame_alloc();
    picture->format = ctx->pix_fmt;
    picture->width = w;
    picture->height = h;
    av_frame_get_buffer(picture, 0);
    SwsContext *toYuv = sws_getContext(w, h, AV_PIX_FMT_RGB24, w, h, ctx->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr);
    AVPacket *packet = av_packet_alloc();
    const bool opened = codec && avcodec_open2(ctx, codec, &options) == 0;
    av_dict_free(&options);
    for (int i = 0; opened && i <= frames; ++i) {
        if (i < frames) {
            out.sources.append(pattern(w, h, i));
            // The converter may read a little past the last row: give it a copy with two spare rows.
            const QImage padded = out.sources.last().copy(0, 0, w, h + 2);
            const uint8_t *planes[1] = {padded.constBits()};
            const int strides[1] = {int(padded.bytesPerLine())};
            av_frame_make_writable(picture);
            sws_scale(toYuv, planes, strides, 0, h, picture->data, picture->linesize);
            picture->pts = i;
        }
        avcodec_send_frame(ctx, i < frames ? picture : nullptr);  // the last round drains the encoder
        while (avcodec_receive_packet(ctx, packet) == 0) {
            out.packets.append(QByteArray(reinterpret_cast<const char *>(packet->data), packet->size));
            out.keys.append(packet->flags & AV_PKT_FLAG_KEY);
            av_packet_unref(packet);
        }
    }
    av_packet_free(&packet);
    sws_freeContext(toYuv);
    av_frame_free(&picture);
    avcodec_free_context(&ctx);
    return out;
}

double psnr(const QImage &decoded, const QImage &source)
{
    const QImage a = decoded.convertToFormat(QImage::Format_RGB888);
    double squares = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < 3 * a.width(); ++x)
            squares += std::pow(a.constScanLine(y)[x] - source.constScanLine(y)[x], 2);
    }
    const double mse = squares / (3.0 * a.width() * a.height());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

} // namespace zvr3testvideo
