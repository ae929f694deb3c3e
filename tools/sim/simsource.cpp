#include "simsource.h"

#include <QDateTime>
#include <QFont>
#include <QPainter>
#include <QRadialGradient>
#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

#include <cmath>
#include <cstring>

#include "zvr3streamwriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace zvr3sim {

namespace {

constexpr int MaxRecordPayload = 65535;

const int imaSteps[89] = {
    7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 21, 23, 25, 28, 31, 34, 37, 41, 45, 50, 55, 60, 66, 73, 80,
    88, 97, 107, 118, 130, 143, 157, 173, 190, 209, 230, 253, 279, 307, 337, 371, 408, 449, 494, 544,
    598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552, 1707, 1878, 2066, 2272, 2499, 2749,
    3024, 3327, 3660, 4026, 4428, 4871, 5358, 5894, 6484, 7132, 7845, 8630, 9493, 10442, 11487, 12635,
    13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
const int imaIndexStep[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

QByteArray nmeaLine(const QByteArray &body)
{
    quint8 sum = 0;
    for (const char c : body)
        sum ^= quint8(c);
    return '$' + body + '*' + QByteArray::number(sum, 16).toUpper().rightJustified(2, '0') + "\r\n";
}

// ddmm.mmmm (or dddmm.mmmm) of an angle's absolute value.
QByteArray nmeaAngle(double degrees, int degreeDigits)
{
    const double a = std::fabs(degrees);
    const int whole = int(a);
    const double minutes = (a - whole) * 60.0;
    return QByteArray::number(whole).rightJustified(degreeDigits, '0')
        + QByteArray::number(minutes, 'f', 4).rightJustified(7, '0');
}

// The channel's colour.
QColor channelColour(int channel)
{
    return QColor::fromHsv((channel * 67) % 360, 160, 200);
}

} // namespace

QImage drawPicture(int channel, const QSize &size, qint64 msecs, const QString &clock)
{
    QImage image(size, QImage::Format_RGB32);
    const int w = size.width();
    const int h = size.height();
    QPainter p(&image);
    QLinearGradient background(0, 0, w, h);
    background.setColorAt(0, channelColour(channel).darker(250));
    background.setColorAt(1, channelColour(channel));
    p.fillRect(image.rect(), background);
    // A fixed grain, as a camera's sensor gives: it makes the pictures as costly to code as real
    // ones, so that key frames of large pictures need more than one record.
    static const QImage grain = [] {
        QImage tile(64, 64, QImage::Format_ARGB32_Premultiplied);
        quint32 state = 0x2545F491;
        for (int y = 0; y < tile.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(tile.scanLine(y));
            for (int x = 0; x < tile.width(); ++x) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                const int v = int(state & 0x3F);
                line[x] = qPremultiply(qRgba(v * 4, v * 4, v * 4, 48));
            }
        }
        return tile;
    }();
    p.fillRect(image.rect(), QBrush(grain));
    // A grid, so that the picture has edges everywhere.
    p.setPen(QPen(QColor(255, 255, 255, 60), 1));
    for (int x = 0; x < w; x += qMax(8, w / 16))
        p.drawLine(x, 0, x, h);
    for (int y = 0; y < h; y += qMax(8, h / 9))
        p.drawLine(0, y, w, y);
    // A ball going round once in the two-second loop.
    const double angle = 2 * M_PI * double(msecs % (LoopFrames * FrameMs)) / (LoopFrames * FrameMs);
    const double r = qMin(w, h) / 3.0;
    const QPointF centre(w / 2.0 + r * std::cos(angle), h / 2.0 + r * std::sin(angle));
    QRadialGradient ball(centre, qMax(4.0, r / 3));
    ball.setColorAt(0, Qt::white);
    ball.setColorAt(1, channelColour(channel + 2));
    p.setPen(Qt::NoPen);
    p.setBrush(ball);
    p.drawEllipse(centre, qMax(4.0, r / 3), qMax(4.0, r / 3));
    // The channel and the clock.
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(qMax(8, h / 8));
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(0, 0, w, h / 4), Qt::AlignCenter, QStringLiteral("Channel %1").arg(channel));
    font.setPixelSize(qMax(8, h / 12));
    p.setFont(font);
    p.drawText(QRect(0, h * 3 / 4, w, h / 4), Qt::AlignCenter, clock);
    p.end();
    return image;
}

QByteArray nmeaSentences(qint64 second)
{
    double lat = 0;
    double lon = 0;
    routePosition(second, &lat, &lon);
    const QDateTime t = QDateTime::fromSecsSinceEpoch(second, Qt::UTC);
    const QByteArray time = t.toString(QStringLiteral("hhmmss.00")).toLatin1();
    const QByteArray date = t.toString(QStringLiteral("ddMMyy")).toLatin1();
    const QByteArray latText = nmeaAngle(lat, 2) + (lat >= 0 ? ",N" : ",S");
    const QByteArray lonText = nmeaAngle(lon, 3) + (lon >= 0 ? ",E" : ",W");
    // Once round the circle in RouteLapSeconds: the speed in knots and the heading.
    const double metres = 2 * M_PI * RouteRadius * 111320.0;
    const double knots = metres / RouteLapSeconds / 0.514444444;
    const double course = std::fmod(360.0 - 360.0 * double(second % RouteLapSeconds) / RouteLapSeconds, 360.0);
    const QByteArray rmc = "GPRMC," + time + ",A," + latText + ',' + lonText + ',' + QByteArray::number(knots, 'f', 1)
        + ',' + QByteArray::number(course, 'f', 1) + ',' + date + ",,";
    const QByteArray gga = "GPGGA," + time + ',' + latText + ',' + lonText + ",1,08,1,545.4,M,46.9,M,,";
    return nmeaLine(rmc) + nmeaLine(gga);
}

QString eventText(qint64 second, int channels)
{
    if (second % EventEverySeconds != 0)
        return QString();
    const int channel = int((second / EventEverySeconds) % qMax(1, channels));
    return QStringLiteral("Motion detected on channel %1").arg(channel);
}

QByteArray ImaEncoder::encode(const qint16 *samples, int count)
{
    QByteArray out((count + 1) / 2, '\0');
    for (int i = 0; i < count; ++i) {
        const int step = imaSteps[m_index];
        int diff = samples[i] - m_predictor;
        int code = 0;
        if (diff < 0) {
            code = 8;
            diff = -diff;
        }
        // The decoder rebuilds step/8 + the bits' shares; choose the bits the same way.
        int delta = step >> 3;
        if (diff >= step) {
            code |= 4;
            diff -= step;
            delta += step;
        }
        if (diff >= step >> 1) {
            code |= 2;
            diff -= step >> 1;
            delta += step >> 1;
        }
        if (diff >= step >> 2) {
            code |= 1;
            delta += step >> 2;
        }
        m_predictor += (code & 8) ? -delta : delta;
        m_predictor = qBound(-32767, m_predictor, 32767);
        m_index = qBound(0, m_index + imaIndexStep[code & 7], 88);
        if (i % 2 == 0)
            out[i / 2] = char(code << 4);
        else
            out[i / 2] = char(out[i / 2] | code);
    }
    return out;
}

Source::Source(int channels, const QSize &size)
    : m_channels(channels), m_jpegChannel(channels - 1), m_size(size)
{
}

QString Source::videoCodec(int channel) const
{
    return channel == m_jpegChannel ? QStringLiteral("mjpeg") : m_mainCodec;
}

bool Source::prepare()
{
    av_log_set_level(AV_LOG_ERROR);
    m_mainCodec = avcodec_find_encoder_by_name("libx264") ? QStringLiteral("H264") : QStringLiteral("mp4v");
    m_video.resize(m_channels);
    // The channels' loops are independent: encode them side by side, one thread a core.
    QVector<QString> errors(m_channels);
    std::atomic<int> next{0};
    auto work = [&] {
        for (int c = next++; c < m_channels; c = next++)
            errors[c] = encodeLoop(c);
    };
    std::vector<std::thread> threads;
    const int workers = qBound(1, QThread::idealThreadCount(), m_channels);
    for (int i = 1; i < workers; ++i)
        threads.emplace_back(work);
    work();
    for (std::thread &t : threads)
        t.join();
    for (const QString &e : std::as_const(errors)) {
        if (!e.isEmpty()) {
            m_error = e;
            return false;
        }
    }
    // Sound: a tone that beeps twice a second; the loop is encoded twice and the second pass kept,
    // so that the encoder's state at the end of the loop matches the one at its start. The stream
    // has no block headers: a client that joins in the middle starts its decoder from rest, and
    // the silence between beeps brings the step sizes of both sides back together.
    QVector<qint16> pcm(LoopFrames * SamplesPerFrame);
    for (int i = 0; i < pcm.size(); ++i) {
        const double t = double(i) / SampleRate;
        const bool beep = (i % (SampleRate / 2)) < SampleRate / 4;
        pcm[i] = beep ? qint16(9000.0 * std::sin(2 * M_PI * 500.0 * t)) : 0;
    }
    ImaEncoder encoder;
    encoder.encode(pcm.constData(), int(pcm.size()));
    m_audio = encoder.encode(pcm.constData(), int(pcm.size()));
    return true;
}

QString Source::encodeLoop(int channel)
{
    const bool jpeg = videoCodec(channel) == QLatin1String("mjpeg");
    const char *name = jpeg ? "mjpeg" : (m_mainCodec == QLatin1String("H264") ? "libx264" : "mpeg4");
    const AVCodec *codec = avcodec_find_encoder_by_name(name);
    if (!codec)
        return QStringLiteral("no %1 encoder in this FFmpeg").arg(QLatin1String(name));
    const int w = m_size.width();
    const int h = m_size.height();
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    ctx->width = w;
    ctx->height = h;
    ctx->time_base = {1, FramesPerSecond};
    ctx->framerate = {FramesPerSecond, 1};
    ctx->gop_size = KeyFrameInterval;
    ctx->max_b_frames = 0;
    ctx->pix_fmt = jpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    if (jpeg) {
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = FF_QP2LAMBDA * 2;
    } else {
        // About 2 Mbit/s. The loop is short and starts every second with a key frame, which
        // x264's rate control lets overshoot an average target: aim lower, cap at 2 Mbit/s.
        ctx->bit_rate = 1600000;
        ctx->rc_max_rate = 2000000;
        ctx->rc_buffer_size = 2000000;
    }
    if (qstrcmp(name, "libx264") == 0) {
        av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
        av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
        av_opt_set(ctx->priv_data, "forced-idr", "1", 0);
    }
    if (avcodec_open2(ctx, codec, nullptr) != 0) {
        avcodec_free_context(&ctx);
        return QStringLiteral("can't open the %1 encoder").arg(QLatin1String(name));
    }
    AVFrame *frame = av_frame_alloc();
    frame->format = ctx->pix_fmt;
    frame->width = w;
    frame->height = h;
    av_frame_get_buffer(frame, 0);
    SwsContext *toYuv = sws_getContext(w, h, AV_PIX_FMT_RGB32, w, h, ctx->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr);
    AVPacket *packet = av_packet_alloc();
    QVector<QByteArray> &packets = m_video[channel];
    auto collect = [&] {
        while (avcodec_receive_packet(ctx, packet) == 0) {
            packets.append(QByteArray(reinterpret_cast<const char *>(packet->data), packet->size));
            av_packet_unref(packet);
        }
    };
    for (int i = 0; i < LoopFrames; ++i) {
        const int ms = i * FrameMs;
        const QString clock = QStringLiteral("%1.%2 s").arg(ms / 1000).arg(ms % 1000, 3, 10, QLatin1Char('0'));
        const QImage picture = drawPicture(channel, m_size, ms, clock);
        av_frame_make_writable(frame);
        // The converter may read a little past the last row: give it a padded copy.
        QByteArray padded(picture.sizeInBytes() + picture.bytesPerLine() + 64, '\0');
        std::memcpy(padded.data(), picture.constBits(), size_t(picture.sizeInBytes()));
        const uint8_t *planes[1] = {reinterpret_cast<const uint8_t *>(padded.constData())};
        const int strides[1] = {int(picture.bytesPerLine())};
        sws_scale(toYuv, planes, strides, 0, h, frame->data, frame->linesize);
        frame->pts = i;
        // Every second starts with a key frame, so that playback may begin at any second.
        frame->pict_type = i % KeyFrameInterval == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        avcodec_send_frame(ctx, frame);
        collect();
    }
    avcodec_send_frame(ctx, nullptr);
    collect();
    av_packet_free(&packet);
    sws_freeContext(toYuv);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    if (packets.size() != LoopFrames) {
        return QStringLiteral("the %1 encoder gave %2 packets for %3 pictures")
            .arg(QLatin1String(name)).arg(packets.size()).arg(LoopFrames);
    }
    return QString();
}

HDR_T Source::header() const
{
    HDR_T header;
    header.name = QStringLiteral("zvr3-sim");
    for (int c = 0; c < m_channels; ++c) {
        STREAM_T s;
        s.number = c;
        s.type = 1;
        s.codec = videoCodec(c);
        s.text2 = QStringLiteral("Channel %1").arg(c);
        s.text3 = QStringLiteral("-width=%1 -height=%2 -fps=%3").arg(m_size.width()).arg(m_size.height()).arg(FramesPerSecond);
        header.streams.append(s);
    }
    header.streams.append(STREAM_T{AudioStream, 2, QStringLiteral("ima1"), QStringLiteral("Microphone"),
                                   QStringLiteral("-rate=%1 -channels=1").arg(SampleRate)});
    header.streams.append(STREAM_T{TextStream, 4, QStringLiteral("text"), QStringLiteral("Events"), QString()});
    header.streams.append(STREAM_T{NmeaStream, 4, QStringLiteral("nmea"), QStringLiteral("GPS"), QString()});
    header.params.append(PARAM_T{1, QStringLiteral("zvr3 recorder simulator")});
    return header;
}

QByteArray Source::indexRecord(qint64 second)
{
    IDX_T index;
    index.time = quint64(second);
    return zvr3stream::encodeIndex(index);
}

QByteArray Source::frameRecords(qint64 f, const QVector<bool> &selected) const
{
    QByteArray out;
    const qint64 second = f / FramesPerSecond;
    const bool secondStart = f % FramesPerSecond == 0;
    const int loop = int(f % LoopFrames);
    const qint64 time = f * FrameMs;
    if (secondStart)
        out += indexRecord(second);
    for (int c = 0; c < m_channels; ++c) {
        if (c >= selected.size() || !selected.at(c))
            continue;
        const QByteArray &packet = m_video.at(c).at(loop);
        DATA_T record;
        record.stream = unsigned(c);
        record.time = time;
        if (packet.size() <= MaxRecordPayload) {
            record.part = 3;
            record.data = packet;
            out += zvr3stream::encodeData(record, true, quint64(second));
            continue;
        }
        // A frame too big for one record: a first part, middle parts and a last part.
        for (qsizetype at = 0; at < packet.size(); at += MaxRecordPayload) {
            record.data = packet.mid(at, MaxRecordPayload);
            const bool first = at == 0;
            const bool last = at + MaxRecordPayload >= packet.size();
            record.part = first ? 2 : (last ? 1 : 0);
            out += zvr3stream::encodeData(record, first, quint64(second));
        }
    }
    // Sound, texts and positions go as whole records (part 3) too, the parser passes on only
    // whole records as frames.
    DATA_T sound;
    sound.part = 3;
    sound.stream = AudioStream;
    sound.time = time;
    sound.data = m_audio.mid(loop * SamplesPerFrame / 2, SamplesPerFrame / 2);
    out += zvr3stream::encodeData(sound, false, quint64(second));
    if (secondStart) {
        DATA_T nmea;
        nmea.part = 3;
        nmea.stream = NmeaStream;
        nmea.time = time;
        nmea.data = nmeaSentences(second);
        out += zvr3stream::encodeData(nmea, false, quint64(second));
        const QString text = eventText(second, m_channels);
        if (!text.isEmpty()) {
            DATA_T event;
            event.part = 3;
            event.stream = TextStream;
            event.time = time;
            event.data = text.toUtf8() + '\0';
            out += zvr3stream::encodeData(event, false, quint64(second));
        }
    }
    return out;
}

QByteArray Source::secondRecords(qint64 second, const QVector<bool> &selected) const
{
    QByteArray out;
    for (int i = 0; i < FramesPerSecond; ++i)
        out += frameRecords(second * FramesPerSecond + i, selected);
    return out;
}

} // namespace zvr3sim
