// The private decoders, each given the items of one stream and asked to decode them one after the
// other on the calling thread, as their worker thread would.
#include <QBuffer>
#include <QImage>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QTextCodec>

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "zvr3decoder_priv_ima1.h"
#include "zvr3decoder_priv_nmea.h"
#include "zvr3decoder_priv_text.h"
#include "zvr3decoder_priv_video.h"
#include "zvr3fuzz_p.h"
#include "zvr3metatype_p.h"
#include "zvr3position_info.h"
#include "zvr3sound_buffer.h"

namespace zvr3fuzz {

namespace {

// Decodes every part as one item and returns what came out, in order. A decoder emits at most one
// item per item it is given; the index of the item each came from is kept beside it.
struct Decoded
{
    QList<QVariant> values;
    QList<qsizetype> from;
};

Decoded decodeAll(zvr3decoder_priv &decoder, const QList<QByteArray> &parts)
{
    Decoded out;
    qsizetype current = 0;
    const QMetaObject::Connection c = QObject::connect(&decoder, &zvr3decoder_priv::sigData, [&](const QVariant &v) {
        if (!out.from.isEmpty() && out.from.constLast() == current)
            broken("%s: two emissions for one item", qPrintable(decoder.stream().codec));
        if (!zvr3holds<zvr3item>(v))
            broken("%s: emitted a %s", qPrintable(decoder.stream().codec), v.typeName());
        out.values.append(v.value<zvr3item>().value);
        out.from.append(current);
    });
    for (const QByteArray &part : parts) {
        zvr3item item;
        item.stream = decoder.stream();
        item.data = part;
        decoder.decode(item);
        ++current;
    }
    QObject::disconnect(c);
    return out;
}

STREAM_T streamOf(int type, const QString &codec, const QString &options = QString())
{
    STREAM_T s;
    s.number = 1;
    s.type = type;
    s.codec = codec;
    s.text3 = options;
    return s;
}

} // namespace

// ---- NMEA

// One position per item, always; whatever the sentences, its numbers stay finite, the dilution of
// precision a whole number and the time within the century that two-digit years can name.
void runNmea(const uint8_t *data, size_t size)
{
    const QList<QByteArray> parts = chunks(data, size);
    zvr3decoder_priv_nmea decoder(streamOf(4, QStringLiteral("nmea")));
    const Decoded out = decodeAll(decoder, parts);
    if (out.values.size() != parts.size())
        broken("nmea: %lld positions for %lld items", qlonglong(out.values.size()), qlonglong(parts.size()));
    constexpr qint64 Year2070 = 3155760000000LL;
    for (const QVariant &v : out.values) {
        if (!zvr3holds<zvr3position_info>(v))
            broken("nmea: an item without a position");
        const zvr3position_info p = v.value<zvr3position_info>();
        for (double x : {p.latitude, p.longitude, p.altitude, p.course, p.speed, p.hdop}) {
            if (!std::isfinite(x))
                broken("nmea: a position field is %f (lat %f lon %f alt %f course %f speed %f hdop %f)", x,
                       p.latitude, p.longitude, p.altitude, p.course, p.speed, p.hdop);
        }
        if (p.hdop != std::trunc(p.hdop) || std::fabs(p.hdop) > 2147483648.0)
            broken("nmea: dilution of precision %f", p.hdop);
        if (p.time < 0 || p.time >= Year2070)
            broken("nmea: time %lld", qlonglong(p.time));
    }
}

QList<QByteArray> seedsNmea()
{
    const QByteArray rmc("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
    const QByteArray gga("$GPGGA,123519,4807.038,N,01131.000,W,1,08,2,545.4,M,46.9,M,,*47\r\n");
    const QByteArray pgrme("$PGRME,15.0,M,45.0,M,25.0,M*1C\r\n");
    // The recorder's own PGRME: 15 fields after the name (date, time, position, fix, speed in km/h,
    // course, dilution).
    const QByteArray recorder("$PGRME,1,2,230394,123519,5,4807.038,N,01131.000,E,0,1,40.5,84.4,3,9*00\r\n");
    return {input(rmc + gga + pgrme), input(rmc + gga + pgrme, 1, 4),
            input("$GPRMC,235959.999,V,,,,,,,311299,,*00\r\n", 2, 2), input(recorder + rmc, 3, 3)};
}

// ---- text

// One string per item. Read as UTF-8 it runs to the first zero byte and, where those bytes are valid
// UTF-8, is exactly them; read as KOI8-R every byte is one character and converts back to itself.
void runText(const uint8_t *data, size_t size)
{
    // The codec name comes from the input too: the character set is read from its suffix.
    static const char *const codecs[] = {"text", "text-none", "text-utf8", "text-utf-8", "text-koi8", "text-koi8r"};
    const int which = size > 1 ? data[1] % 6 : 0;
    const QList<QByteArray> parts = chunks(data, size);
    zvr3decoder_priv_text decoder(streamOf(4, QString::fromLatin1(codecs[which])));
    const Decoded out = decodeAll(decoder, parts);
    if (out.values.size() != parts.size())
        broken("text: %lld strings for %lld items", qlonglong(out.values.size()), qlonglong(parts.size()));
    QTextCodec *const koi8r = which >= 4 ? QTextCodec::codecForName("KOI8-R") : nullptr;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QByteArray &bytes = parts.at(i);
        if (out.values.at(i).typeId() != QMetaType::QString)
            broken("text: item %lld gave a %s", qlonglong(i), out.values.at(i).typeName());
        const QString text = out.values.at(i).toString();
        if (koi8r) {
            if (text.size() != bytes.size() || koi8r->fromUnicode(text) != bytes)
                broken("text: KOI8-R item %lld of %lld bytes gave %lld characters", qlonglong(i),
                       qlonglong(bytes.size()), qlonglong(text.size()));
            continue;
        }
        const QByteArray prefix = bytes.left(bytes.indexOf('\0') < 0 ? bytes.size() : bytes.indexOf('\0'));
        if (text.contains(QChar(0)))
            broken("text: item %lld holds a zero character", qlonglong(i));
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString reference = utf8.decode(prefix);
        if (!utf8.hasError() && text.toUtf8() != prefix)
            broken("text: valid UTF-8 item %lld read wrongly", qlonglong(i));
        if (text != reference)
            broken("text: item %lld is not its UTF-8 text", qlonglong(i));
    }
}

QList<QByteArray> seedsText()
{
    return {input(QByteArray("hello\0world", 11)), input(QByteArray("gr\xc3\xbc\xc3\x9f" "e\0tail", 12), 2, 1),
            input("\xf0\xd2\xc9\xd7\xc5\xd4", 1, 4), input("\xf0\xd2\xc9\xd7\xc5\xd4", 1, 5)};
}

// ---- IMA ADPCM

// The sound of each item: none for 0 or 1 bytes, n zero bytes for a two-byte count n, 4 bytes (two
// samples) per byte otherwise, never below -32767; the rate is the "-rate=" of the options. The
// decoding state runs on across items: their sound put together is the sound of their bytes put
// together.
void runIma1(const uint8_t *data, size_t size)
{
    // The stream's option text (where "-rate=N" is found) is the body up to its first line end.
    const QByteArray rest = body(data, size);
    const qsizetype end = rest.indexOf('\n');
    const QString options = end < 0 ? QString() : QString::fromUtf8(rest.left(end));
    QByteArray header(reinterpret_cast<const char *>(data), qsizetype(qMin<size_t>(size, 4)));
    while (header.size() < 4)
        header += '\0';
    const QByteArray payload = header + rest.mid(end + 1);
    const QList<QByteArray> parts = chunks(reinterpret_cast<const uint8_t *>(payload.constData()), size_t(payload.size()));

    const STREAM_T stream = streamOf(2, QStringLiteral("ima1"), options);
    zvr3decoder_priv_ima1 decoder(stream);
    const Decoded out = decodeAll(decoder, parts);

    int rate = 0;
    static const QRegularExpression clause(QStringLiteral("-rate=(\\d+)"));
    if (const QRegularExpressionMatch m = clause.match(options); m.hasMatch())
        rate = m.captured(1).toInt();  // 0 when it does not fit

    QByteArray coded;  // the bytes of the items that are ADPCM codes
    QByteArray sound;  // the samples they gave
    qsizetype next = 0;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QByteArray &part = parts.at(i);
        const qsizetype n = part.size();
        const int silence = n == 2 ? int(quint8(part.at(0))) | int(quint8(part.at(1))) << 8 : 0;
        const bool emits = n > 2 || silence > 0;
        if (!emits) {
            if (next < out.from.size() && out.from.at(next) == i)
                broken("ima1: an item of %lld bytes gave sound", qlonglong(n));
            continue;
        }
        if (next >= out.from.size() || out.from.at(next) != i)
            broken("ima1: an item of %lld bytes gave no sound", qlonglong(n));
        const QVariant &v = out.values.at(next++);
        if (!zvr3holds<zvr3sound_buffer>(v))
            broken("ima1: an item gave a %s", v.typeName());
        const zvr3sound_buffer b = v.value<zvr3sound_buffer>();
        if (b.rate != rate || b.channels != 1)
            broken("ima1: rate %d, channels %d for options \"%s\"", b.rate, b.channels, qPrintable(options));
        if (n == 2) {
            if (b.data != QByteArray(silence, '\0'))
                broken("ima1: silence of %d samples gave %lld bytes", silence, qlonglong(b.data.size()));
            continue;
        }
        if (b.data.size() != 4 * n)
            broken("ima1: %lld bytes of codes gave %lld bytes of sound", qlonglong(n), qlonglong(b.data.size()));
        for (qsizetype k = 0; k + 1 < b.data.size(); k += 2) {
            if (quint8(b.data.at(k)) == 0x00 && quint8(b.data.at(k + 1)) == 0x80)
                broken("ima1: a sample of -32768");
        }
        coded += part;
        sound += b.data;
    }
    if (next != out.values.size())
        broken("ima1: more sound than items that give it");

    if (coded.size() > 2) {
        zvr3decoder_priv_ima1 once(stream);
        const Decoded all = decodeAll(once, {coded});
        if (all.values.size() != 1 || all.values.constFirst().value<zvr3sound_buffer>().data != sound)
            broken("ima1: the items' sound put together is not the sound of their bytes put together");
    }
}

QList<QByteArray> seedsIma1()
{
    QByteArray sound;
    for (int i = 0; i < 64; ++i)
        sound += char((i * 37) & 0xFF);
    return {input("-rate=8000\n" + sound, 10, 1), input("-rate=16000 -x\n" + sound + QByteArray("\x40\x01", 2), 2, 3),
            input("\n" + QByteArray("\x10\x00", 2), 1, 1), input("-rate=99999999999\n" + sound, 3, 2)};
}

// ---- video

namespace {

const char *const videoCodecs[] = {"mjpeg", "H264", "mp4v"};
const char *const ffmpegNames[] = {"mjpeg", "h264", "mpeg4"};

void quietFfmpeg()
{
    static const bool once = [] {
        av_log_set_level(AV_LOG_QUIET);
        return true;
    }();
    (void)once;
}

// The picture sizes that FFmpeg's own decoder gives for the packets, one after the other, with
// every picture taken out as soon as it is ready and the rest at the end.
QSet<qint64> referenceSizes(const char *decoder, const QList<QByteArray> &packets)
{
    QSet<qint64> sizes;
    const AVCodec *codec = avcodec_find_decoder_by_name(decoder);
    AVCodecContext *context = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVFrame *frame = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    if (!context || !frame || !packet || avcodec_open2(context, codec, nullptr) < 0) {
        avcodec_free_context(&context);
        av_frame_free(&frame);
        av_packet_free(&packet);
        return sizes;
    }
    const auto drain = [&] {
        while (avcodec_receive_frame(context, frame) == 0) {
            sizes.insert(qint64(frame->width) << 32 | quint32(frame->height));
            av_frame_unref(frame);
        }
    };
    QByteArray padded;
    for (const QByteArray &p : packets) {
        if (p.isEmpty())
            continue;
        padded = p + QByteArray(AV_INPUT_BUFFER_PADDING_SIZE, '\0');
        packet->data = reinterpret_cast<uint8_t *>(padded.data());
        packet->size = int(p.size());
        avcodec_send_packet(context, packet);
        drain();
    }
    avcodec_send_packet(context, nullptr);
    drain();
    avcodec_free_context(&context);
    av_frame_free(&frame);
    av_packet_free(&packet);
    return sizes;
}

// The packets of a video input: after the codec byte, each packet is a 16-bit length and its bytes.
QList<QByteArray> packetsOf(const QByteArray &rest)
{
    QList<QByteArray> packets;
    for (qsizetype at = 0; at < rest.size();) {
        const qsizetype length = at + 2 <= rest.size() ? qsizetype(quint8(rest.at(at))) | qsizetype(quint8(rest.at(at + 1))) << 8 : 0;
        at += 2;
        packets.append(rest.mid(at, length));
        at += length;
    }
    return packets;
}

} // namespace

// A few packets of a short video, as mutated: decoded item by item, without crash or leak, and every
// picture that comes out a 32-bit ARGB image of a size the codec gives for those packets.
void runVideo(const uint8_t *data, size_t size)
{
    quietFfmpeg();
    const QByteArray all = body(data, size);
    if (all.isEmpty())
        return;
    const int which = quint8(all.at(0)) % 3;
    const QList<QByteArray> packets = packetsOf(all.mid(1));

    zvr3decoder_priv_video decoder(streamOf(1, QString::fromLatin1(videoCodecs[which])));
    const Decoded out = decodeAll(decoder, packets);
    if (out.values.isEmpty())
        return;
    const QSet<qint64> sizes = referenceSizes(ffmpegNames[which], packets);
    for (const QVariant &v : out.values) {
        if (v.typeId() != QMetaType::QImage)
            broken("video: an item holds a %s", v.typeName());
        const QImage image = v.value<QImage>();
        if (image.isNull() || image.format() != QImage::Format_ARGB32)
            broken("video: a picture of format %d", int(image.format()));
        if (!sizes.contains(qint64(image.width()) << 32 | quint32(image.height())))
            broken("video: a %s picture of %dx%d, which the codec does not give for these packets",
                   videoCodecs[which], image.width(), image.height());
    }
}

namespace {

// A test picture: a gradient that moves with the frame number.
void paint(AVFrame *frame, int n)
{
    for (int y = 0; y < frame->height; ++y) {
        for (int x = 0; x < frame->width; ++x)
            frame->data[0][y * frame->linesize[0] + x] = uint8_t(x * 4 + y * 2 + n * 9);
    }
    for (int plane = 1; plane < 3; ++plane) {
        for (int y = 0; y < frame->height / 2; ++y) {
            for (int x = 0; x < frame->width / 2; ++x)
                frame->data[plane][y * frame->linesize[plane] + x] = uint8_t(128 + plane * 20 + x - n);
        }
    }
}

// Drops the NAL units of type 6 (SEI) from an H.264 byte stream: the encoder's own description
// there is hundreds of bytes that the fuzzer need not carry around.
QByteArray withoutSei(const QByteArray &stream)
{
    QList<qsizetype> starts;
    for (qsizetype i = 0; i + 3 <= stream.size(); ++i) {
        if (stream.at(i) == 0 && stream.at(i + 1) == 0 && stream.at(i + 2) == 1)
            starts.append(i);
    }
    QByteArray out;
    for (qsizetype k = 0; k < starts.size(); ++k) {
        const qsizetype from = starts.at(k);
        qsizetype to = k + 1 < starts.size() ? starts.at(k + 1) : stream.size();
        if (to < stream.size() && to > from && stream.at(to - 1) == 0)
            --to;  // a four-byte start code belongs to the next unit
        if (from + 3 < stream.size() && (stream.at(from + 3) & 0x1F) == 6)
            continue;
        out += QByteArray(1, '\0') + stream.mid(from, to - from);
    }
    return out;
}

// Frames of width × height encoded with FFmpeg's encoder of that name; nothing when the encoder
// is missing from the FFmpeg build.
QList<QByteArray> encode(const char *name, int width, int height, int frames)
{
    QList<QByteArray> packets;
    const AVCodec *codec = avcodec_find_encoder_by_name(name);
    AVCodecContext *c = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVFrame *frame = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    bool ok = c && frame && packet;
    if (ok) {
        c->width = width;
        c->height = height;
        c->time_base = AVRational{1, 25};
        c->framerate = AVRational{25, 1};
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->gop_size = 3;
        c->max_b_frames = 0;
        c->thread_count = 1;
        if (std::strcmp(name, "libx264") == 0) {
            av_opt_set(c->priv_data, "preset", "ultrafast", 0);
            av_opt_set(c->priv_data, "tune", "zerolatency", 0);
        }
        frame->format = c->pix_fmt;
        frame->width = width;
        frame->height = height;
        ok = avcodec_open2(c, codec, nullptr) == 0 && av_frame_get_buffer(frame, 0) == 0;
    }
    const auto collect = [&] {
        while (avcodec_receive_packet(c, packet) == 0) {
            const QByteArray bytes(reinterpret_cast<const char *>(packet->data), packet->size);
            packets.append(std::strcmp(name, "libx264") == 0 ? withoutSei(bytes) : bytes);
            av_packet_unref(packet);
        }
    };
    for (int n = 0; ok && n < frames; ++n) {
        ok = av_frame_make_writable(frame) == 0;
        if (!ok)
            break;
        paint(frame, n);
        frame->pts = n;
        ok = avcodec_send_frame(c, frame) == 0;
        collect();
    }
    if (ok) {
        avcodec_send_frame(c, nullptr);
        collect();
    }
    avcodec_free_context(&c);
    av_frame_free(&frame);
    av_packet_free(&packet);
    return ok ? packets : QList<QByteArray>();
}

QByteArray videoInput(int which, const QList<QByteArray> &packets)
{
    QByteArray b(1, char(which));
    for (const QByteArray &p : packets)
        b += u16(quint32(p.size())) + p;
    return input(b);
}

QByteArray jpegOf(int width, int height, int n)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x * 8 + n * 16, y * 8, 128));
    }
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 40);
    return jpeg;
}

} // namespace

QList<QByteArray> seedsVideo()
{
    quietFfmpeg();
    QList<QByteArray> seeds;
    // MJPEG: two pictures, the second of another size (a new converter), and an empty packet.
    seeds << videoInput(0, {jpegOf(16, 16, 0), QByteArray(), jpegOf(24, 8, 1)});
    // H.264 and MPEG-4: a key frame and two that follow it, then a stream of another size.
    const QList<QByteArray> h264 = encode("libx264", 32, 16, 3);
    if (!h264.isEmpty())
        seeds << videoInput(1, h264 + encode("libx264", 16, 16, 1));
    const QList<QByteArray> mpeg4 = encode("mpeg4", 32, 16, 3);
    if (!mpeg4.isEmpty())
        seeds << videoInput(2, mpeg4 + encode("mpeg4", 16, 32, 1));
    return seeds;
}

} // namespace zvr3fuzz
