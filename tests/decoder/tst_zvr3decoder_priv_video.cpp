#include <QtTest>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "zvr3decoder.h"
#include "zvr3decoder_priv_thread.h"
#include "zvr3decoder_priv_video.h"
#include "zvr3metatype_p.h"
#include "zvr3testutil.h"
#include "zvr3testvideo.h"

// Video decoding of real streams that the test encodes itself with FFmpeg's encoders.
class tst_zvr3decoder_priv_video : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { av_log_set_level(AV_LOG_ERROR); }
    void decodesPictures_data();
    void decodesPictures();
    void droppedPicturesAreReused();
    void sizeChange_data();
    void sizeChange();
    void undecodableThenGood_data();
    void undecodableThenGood();
    void emptyPayloadDoesNotDrain();
    void codecNameIsCaseSensitive_data();
    void codecNameIsCaseSensitive();

private:
    void addCodecRows();
};

using namespace zvr3testvideo;

namespace {

QVariant header(const char *codec)
{
    STREAM_T s;
    s.number = 1;
    s.type = 1;
    s.codec = QString::fromLatin1(codec);
    HDR_T h;
    h.streams = {s};
    return zvr3value(h);
}

QVariant frame(const QByteArray &data, qint64 time)
{
    DATA_T d;
    d.stream = 1;
    d.part = 3;
    d.data = data;
    d.time = time;
    return zvr3value(zvr3parser_combined_DATA_T(d));
}

QList<zvr3item> items(const QList<QVariant> &values)
{
    QList<zvr3item> out;
    for (const QVariant &v : values)
        out.append(v.value<zvr3item>());
    return out;
}

} // namespace

#define SETTLE()                                                        \
    do {                                                                \
        QTRY_COMPARE(zvr3decoder_priv_thread::outstanding(), 0);        \
        QCoreApplication::processEvents();                              \
    } while (false)

void tst_zvr3decoder_priv_video::addCodecRows()
{
    QTest::addColumn<QByteArray>("encoder");
    QTest::addColumn<QByteArray>("codec");
    QTest::newRow("mpeg4") << QByteArray("mpeg4") << QByteArray("mp4v");
    QTest::newRow("mjpeg") << QByteArray("mjpeg") << QByteArray("mjpeg");
    if (avcodec_find_encoder_by_name("libx264"))
        QTest::newRow("h264") << QByteArray("libx264") << QByteArray("H264");
    else
        qInfo("no H.264 encoder in this FFmpeg build: H.264 rows skipped");
}

void tst_zvr3decoder_priv_video::decodesPictures_data()
{
    addCodecRows();
}

void tst_zvr3decoder_priv_video::decodesPictures()
{
    QFETCH(QByteArray, encoder);
    QFETCH(QByteArray, codec);
    const Encoded video = encode(encoder.constData(), 352, 288, 12);
    QCOMPARE(video.packets.size(), 12);
    zvr3decoder node(1);
    zvr3test::Recorder out(&node);
    node.slotData(header(codec.constData()));
    for (int i = 0; i < video.packets.size(); ++i)
        node.slotData(frame(video.packets.at(i), 1000 * i));
    SETTLE();
    const QList<zvr3item> got = items(out.values);
    QCOMPARE(got.size(), 12);
    QList<const uchar *> pixels;
    for (int i = 0; i < got.size(); ++i) {
        QCOMPARE(got.at(i).time, 1000 * i);
        QCOMPARE(got.at(i).value.typeId(), QMetaType::QImage);
        const QImage image = got.at(i).value.value<QImage>();
        QCOMPARE(image.format(), QImage::Format_ARGB32);
        QCOMPARE(image.size(), QSize(352, 288));
        QCOMPARE(qAlpha(image.pixel(17, 33)), 255);
        const double db = psnr(image, video.sources.at(i));
        QVERIFY2(db > 30, qPrintable(QStringLiteral("frame %1: %2 dB").arg(i).arg(db)));
        pixels.append(image.constBits());
    }
    // Every picture has memory of its own.
    for (int i = 1; i < pixels.size(); ++i)
        QVERIFY(!pixels.mid(0, i).contains(pixels.at(i)));
}

void tst_zvr3decoder_priv_video::droppedPicturesAreReused()
{
    // A consumer that lets each picture go: its memory may serve again, but every picture still
    // has the right content and a cache key of its own, so caches keyed on it never go stale.
    const Encoded video = encode("mpeg4", 352, 288, 8);
    STREAM_T s;
    s.number = 1;
    s.type = 1;
    s.codec = QStringLiteral("mp4v");
    zvr3decoder_priv_video decoder(s);
    QSet<qint64> keys;
    QSet<const uchar *> memory;
    int i = 0;
    connect(&decoder, &zvr3decoder_priv::sigData, this, [&](const QVariant &v) {
        const QImage image = v.value<zvr3item>().value.value<QImage>();
        keys.insert(image.cacheKey());
        memory.insert(image.constBits());
        QVERIFY(psnr(image, video.sources.at(i++)) > 30);
    });
    for (const QByteArray &packet : video.packets) {
        zvr3item item;
        item.data = packet;
        decoder.decode(item);
    }
    QCOMPARE(i, 8);
    QCOMPARE(keys.size(), 8);
    QVERIFY(memory.size() < 8);
}

void tst_zvr3decoder_priv_video::sizeChange_data()
{
    addCodecRows();
}

void tst_zvr3decoder_priv_video::sizeChange()
{
    QFETCH(QByteArray, encoder);
    QFETCH(QByteArray, codec);
    const Encoded small = encode(encoder.constData(), 352, 288, 3);
    const Encoded large = encode(encoder.constData(), 704, 576, 3);
    STREAM_T s;
    s.number = 1;
    s.type = 1;
    s.codec = QString::fromLatin1(codec);
    zvr3decoder_priv_video decoder(s);
    QList<QImage> images;
    connect(&decoder, &zvr3decoder_priv::sigData, this,
            [&](const QVariant &v) { images.append(v.value<zvr3item>().value.value<QImage>()); });
    for (const QByteArray &packet : small.packets + large.packets) {
        zvr3item item;
        item.data = packet;
        decoder.decode(item);
    }
    QCOMPARE(images.size(), 6);
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(images.at(i).size(), i < 3 ? QSize(352, 288) : QSize(704, 576));
        QVERIFY(psnr(images.at(i), (i < 3 ? small : large).sources.at(i % 3)) > 30);
    }
    QCOMPARE(decoder.scalerCount(), 2);
}

void tst_zvr3decoder_priv_video::undecodableThenGood_data()
{
    addCodecRows();
}

void tst_zvr3decoder_priv_video::undecodableThenGood()
{
    QFETCH(QByteArray, encoder);
    QFETCH(QByteArray, codec);
    const Encoded video = encode(encoder.constData(), 352, 288, 1);
    QByteArray garbage;
    for (int i = 0; i < 3000; ++i)
        garbage += char((i * 7919) >> 3);
    zvr3decoder node(1);
    zvr3test::Recorder out(&node);
    node.slotData(header(codec.constData()));
    node.slotData(frame(garbage, 1));
    node.slotData(frame(video.packets.at(0), 2));
    SETTLE();
    const QList<zvr3item> got = items(out.values);
    QCOMPARE(got.size(), 1);
    QCOMPARE(got.at(0).time, 2);
    QVERIFY(psnr(got.at(0).value.value<QImage>(), video.sources.at(0)) > 30);
}

void tst_zvr3decoder_priv_video::emptyPayloadDoesNotDrain()
{
    const Encoded video = encode("mpeg4", 352, 288, 4);
    zvr3decoder node(1);
    zvr3test::Recorder out(&node);
    node.slotData(header("mp4v"));
    node.slotData(frame(video.packets.at(0), 0));
    node.slotData(frame(QByteArray(), 1));
    node.slotData(frame(video.packets.at(1), 2));
    node.slotData(frame(QByteArray(), 3));
    node.slotData(frame(video.packets.at(2), 4));
    SETTLE();
    const QList<zvr3item> got = items(out.values);
    QCOMPARE(got.size(), 3);
    QCOMPARE(got.at(2).time, 4);
    QVERIFY(psnr(got.at(2).value.value<QImage>(), video.sources.at(2)) > 30);
}

void tst_zvr3decoder_priv_video::codecNameIsCaseSensitive_data()
{
    QTest::addColumn<QByteArray>("encoder");
    QTest::addColumn<QByteArray>("codec");
    QTest::newRow("h264") << QByteArray("mpeg4") << QByteArray("h264");
    QTest::newRow("MP4V") << QByteArray("mpeg4") << QByteArray("MP4V");
    QTest::newRow("MJPEG") << QByteArray("mjpeg") << QByteArray("MJPEG");
    QTest::newRow("mpeg4") << QByteArray("mpeg4") << QByteArray("mpeg4");
}

void tst_zvr3decoder_priv_video::codecNameIsCaseSensitive()
{
    QFETCH(QByteArray, encoder);
    QFETCH(QByteArray, codec);
    const Encoded video = encode(encoder.constData(), 352, 288, 3);
    STREAM_T s;
    s.number = 1;
    s.type = 1;
    s.codec = QString::fromLatin1(codec);
    zvr3decoder_priv_video decoder(s);
    int emitted = 0;
    connect(&decoder, &zvr3decoder_priv::sigData, this, [&] { ++emitted; });
    for (const QByteArray &packet : video.packets) {
        zvr3item item;
        item.data = packet;
        decoder.decode(item);
        QVERIFY(!decoder.isOpen());
    }
    QCOMPARE(emitted, 0);
}

QTEST_MAIN(tst_zvr3decoder_priv_video)
#include "tst_zvr3decoder_priv_video.moc"
