#include <QtTest>

#include <mutex>

#include <atomic>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "zvr3decoder.h"
#include "zvr3decoder_priv_ima1.h"
#include "zvr3decoder_priv_nmea.h"
#include "zvr3decoder_priv_thread.h"
#include "zvr3decoder_priv_video.h"
#include "zvr3metatype_p.h"
#include "zvr3sound_buffer.h"
#include "zvr3testutil.h"
#include "zvr3testvideo.h"

using zvr3test::hex;

// The decoder node: choosing the private decoder and its worker thread; then the private decoders:
// real video that the test encodes itself with FFmpeg's encoders, sound, text and positions.
class tst_zvr3decoder : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { av_log_set_level(AV_LOG_ERROR); }
    void itemsLeaveOnNodeThreadInOrder();
    void newHeaderReplacesDecoder();
    void stoppingWorker();
    void video_data();
    void video();
    void keptImagesStayIntact_data();
    void keptImagesStayIntact();
    void batchedHandOver();
    void ima1_data();
    void ima1();
    void ima1MatchesPlainDecoding_data();
    void ima1MatchesPlainDecoding();
    void decodes_data();
    void decodes();
    void nmeaTime_data();
    void nmeaTime();
    void nmeaRunawaySentenceIsDropped();
    void keyFrames_data();
    void keyFrames();
    void drops_data();
    void drops();
    void videoDropsWhileDecoding();
};

// Only a failing test waits this long: decoding under the sanitizers on a loaded machine is slow.
constexpr int Patience = 60000;

// Waits until every worker has decoded what it was given and the items have reached the nodes.
#define SETTLE()                                                                        \
    do {                                                                                \
        QTRY_COMPARE_WITH_TIMEOUT(zvr3decoder_priv_thread::outstanding(), 0, Patience); \
        QCoreApplication::processEvents();                                              \
    } while (false)

namespace {

using Items = QList<QByteArray>;
const QByteArray Rmc("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
const QByteArray Gga("$GPGGA,123519,4807.038,N,01131.000,W,1,08,2,545.4,M,46.9,M,,*47\r\n");
constexpr qint64 RmcTime = 764426119000LL;  // 1994-03-23 12:35:19 UTC
// Positions as render() gives them: after the RMC sentence above, after the GGA one, and none.
const QString RmcFix = QStringLiteral("1 48.1173 11.51667 0 84.4 11.52356 0 0 764426119000");
const QString GgaFix = QStringLiteral("1 48.1173 -11.51667 545.4 0 0 8 2 0");
const QString NoFix = QStringLiteral("0 0 0 0 0 0 0 0 0");

STREAM_T entry(int number, int type, const QString &codec, const QString &text3 = QString())
{
    return STREAM_T{number, type, codec, QStringLiteral("t2"), text3};
}

QVariant header(const QVector<STREAM_T> &streams)
{
    return zvr3value(HDR_T{0, 0, QString(), streams, {}});
}

// A whole frame as the parser hands it on: size, level, marked, part, stream, time, extra, payload.
QVariant frame(int stream, const QByteArray &data, qint64 time = 0, int level = 0)
{
    const DATA_T record{uint(data.size()), static_cast<signed char>(level), false, 3, uint(stream), time, 0xAB, data};
    return zvr3value(zvr3parser_combined_DATA_T(record));
}

// Decodes one item per payload directly on this thread; the values of the items emitted.
QList<QVariant> decodeAll(zvr3decoder_priv &decoder, const QList<QByteArray> &payloads)
{
    QList<QVariant> values;
    QObject receiver;  // takes the connection with it
    QObject::connect(&decoder, &zvr3decoder_priv::sigData, &receiver, [&](const QVariant &v) { values.append(v.value<zvr3item>().value); });
    for (const QByteArray &payload : payloads) {
        zvr3item item;
        item.data = payload;
        decoder.decode(item);
    }
    return values;
}

// Holds every worker after it has taken an item, before it decodes it, until the test lets it go
// on: with the worker held, what the node's thread queues and drops does not depend on timing.
// Make it before the nodes and let it go after them.
class Gate
{
public:
    Gate() { zvr3decoder_priv_thread::setDecodeHook([this] { hold(); }); }
    ~Gate() { zvr3decoder_priv_thread::setDecodeHook(nullptr); }
    // Waits until a worker holds an item (one that no earlier call saw).
    bool held() { return m_holds.tryAcquire(1, Patience); }
    // Lets the held worker decode its item.
    void pass() { m_passes.release(); }
    // Holds no more.
    void open()
    {
        m_open = true;
        m_passes.release(1 << 20);
    }

private:
    void hold()
    {
        if (m_open)
            return;
        m_holds.release();
        m_passes.tryAcquire(1, Patience);
    }

    QSemaphore m_holds;
    QSemaphore m_passes;
    std::atomic<bool> m_open{false};
};

// Drives a node's worker through a Gate: the worker always holds an item while the test feeds, or
// has nothing left at all.
struct Driver
{
    zvr3decoder &node;
    Gate &gate;
    bool idle = true;  // the worker has nothing: the next item it gets, it holds
    void feed(int first, int last, const QList<QByteArray> &payloads)
    {
        for (int f = first; f <= last; ++f) {
            node.slotData(frame(1, payloads.at(f), f));
            if (idle && node.counters().queued == 1) {
                QVERIFY(gate.held());
                idle = false;
            }
        }
    }
    // The held item is decoded; the worker then holds the next one, or has none left.
    void step()
    {
        const zvr3decoder_counters before = node.counters();
        QVERIFY(!idle && before.queued >= 1);
        gate.pass();
        if (before.queued > 1) {
            QVERIFY(gate.held());
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(node.counters().decoded, before.decoded + 1, Patience);
            idle = true;
        }
    }
};

QList<qint64> counts(const zvr3decoder_counters &c)
{
    return {c.decoded, c.dropped, c.queued};
}

// Waits, without running the event loop, until every worker has put out what it was given.
bool workersIdle()
{
    const QDeadlineTimer deadline(Patience);
    while (zvr3decoder_priv_thread::outstanding() != 0 && !deadline.hasExpired())
        QThread::msleep(1);
    return zvr3decoder_priv_thread::outstanding() == 0;
}

// Counts the queued calls that reach an object.
class QueuedCalls : public QObject
{
public:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::MetaCall)
            ++count;
        return false;
    }
    int count = 0;
};

// An item's value as text: a string as it is; a position as "valid latitude longitude altitude course
// speed satellites hdop time"; another value as its type's name; nothing as "-".
QString render(const QVariant &value)
{
    if (!zvr3holds<zvr3position_info>(value)) {
        return value.typeId() == QMetaType::QString ? value.toString()
            : value.isValid()                       ? QString::fromLatin1(value.metaType().name())
                                                    : QStringLiteral("-");
    }
    const zvr3position_info p = value.value<zvr3position_info>();
    QStringList fields{QString::number(p.valid)};
    for (double f : {p.latitude, p.longitude, p.altitude, p.course, p.speed, double(p.satellites), p.hdop})
        fields << QString::number(f, 'g', 7);
    return (fields << QString::number(p.time)).join(QLatin1Char(' '));
}

} // namespace

void tst_zvr3decoder::itemsLeaveOnNodeThreadInOrder()
{
    // Stream 3, which no decoder takes, beside a video stream 1: only stream 3's whole frames leave,
    // undecoded, with the fields of their records, and only while the last header has an entry for it.
    zvr3decoder node(3);
    QList<zvr3item> items;
    std::atomic<int> elsewhere{0};
    // A direct connection: the slot runs on whatever thread emits.
    connect(&node, &zvr3base::sigData, this, [&](const QVariant &v) {
        if (QThread::currentThread() != thread())
            ++elsewhere;
        else
            items.append(v.value<zvr3item>());
    }, Qt::DirectConnection);
    const QVariant raw = header({entry(1, 1, "H264"), entry(3, 3, "raw", "-x")});
    const DATA_T plain{5, 0, false, 3, 3, 0, 0, "plain"};
    for (const QVariant &v : {frame(3, "before the header"), raw, zvr3value(IDX_T{5, 0, {}}), frame(1, "video"),
                              zvr3value(plain), QVariant(42), QVariant()})
        node.slotData(v);
    const int levels[][2] = {{0, 0}, {1, 3}, {15, 48}, {31, 100}};  // record level, item percent
    for (int i = 0; i < 500; ++i)
        node.slotData(frame(3, QByteArray::number(i), 1700000000000LL + i, levels[i % 4][0]));
    SETTLE();  // a new header lets the queue of the old decoder go
    for (const QVariant &v : {header({entry(5, 4, "text")}), frame(3, "dropped"), raw, frame(3, "500", 1700000000500LL)})
        node.slotData(v);
    SETTLE();
    QCOMPARE(elsewhere.load(), 0);
    QCOMPARE(items.size(), 501);
    for (int i = 0; i < items.size(); ++i) {
        const zvr3item &item = items.at(i);
        QCOMPARE((QList<qint64>{item.time, item.level, item.duration, item.extra}),
                 (QList<qint64>{1700000000000LL + i, levels[i % 4][1], 40, 0xAB}));
        QCOMPARE(item.data, QByteArray::number(i));
        QCOMPARE((QStringList{QString::number(item.stream.number), item.stream.codec, item.stream.text2, item.stream.text3}),
                 (QStringList{"3", "raw", "t2", "-x"}));
        QVERIFY(!item.value.isValid() && !item.value2.isValid());
    }
}

void tst_zvr3decoder::newHeaderReplacesDecoder()
{
    // The NMEA state starts afresh with every header, also an identical one.
    zvr3decoder node(4);
    zvr3test::Recorder out(&node);
    node.slotData(header({entry(4, 4, "nmea")}));
    node.slotData(frame(4, Rmc.left(30)));
    node.slotData(header({entry(4, 4, "nmea")}));
    // The replaced decoder goes on with its queue until the event loop destroys it; no event loop
    // runs while its item is decoded.
    QVERIFY(workersIdle());
    QCOMPARE(node.findChildren<zvr3decoder_priv *>().size(), 1);
    node.slotData(frame(4, Rmc.mid(30)));
    node.slotData(frame(4, Rmc));
    SETTLE();
    QCOMPARE(out.values.size(), 3);
    // The tail of the sentence reached a fresh decoder with an empty buffer: no position from it.
    QCOMPARE(out.values.at(1).value<zvr3item>().value.value<zvr3position_info>().valid, false);
    QCOMPARE(out.values.at(2).value<zvr3item>().value.value<zvr3position_info>().valid, true);
    QTRY_VERIFY(node.findChildren<zvr3decoder_priv *>().isEmpty());
}

void tst_zvr3decoder::stoppingWorker()
{
    // Destroying a private decoder finishes the item being decoded and drops the ones queued behind
    // it. The held item goes on after the wait for the worker has run out (the warning lets it go):
    // the destructor goes on waiting, so the worker never touches a destroyed owner.
    static Gate *gate = nullptr;
    Gate held;
    gate = &held;
    auto *decoder = new zvr3decoder_priv(entry(1, 9, "slow"));
    decoder->worker()->setStopWait(20);
    QList<QVariant> out;
    connect(decoder, &zvr3decoder_priv::sigData, this, [&](const QVariant &v) { out.append(v); });
    for (int i = 0; i < 5; ++i)
        decoder->slotData(frame(1, "x", i));
    QVERIFY(held.held());
    static QtMessageHandler previous = nullptr;
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &message) {
        previous(type, context, message);
        if (message.contains(QLatin1String("still busy")))
            gate->pass();
    });
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("still busy after 20 ms")));
    delete decoder;
    qInstallMessageHandler(previous);
    QCOMPARE(zvr3decoder_priv_thread::outstanding(), 0);  // the held item decoded, the others dropped
    QTRY_COMPARE(out.size(), 1);
}

void tst_zvr3decoder::video_data()
{
    QTest::addColumn<QByteArray>("encoder");
    QTest::addColumn<QString>("codec");
    QTest::addColumn<bool>("opens");
    QTest::newRow("mpeg4") << QByteArray("mpeg4") << "mp4v" << true;
    QTest::newRow("mjpeg") << QByteArray("mjpeg") << "mjpeg" << true;
    if (avcodec_find_encoder_by_name("libx264"))  // when this FFmpeg build has it
        QTest::newRow("h264") << QByteArray("libx264") << "H264" << true;
    // Codec names are case-sensitive: a wrong one keeps the decoder closed.
    QTest::newRow("h264 for mpeg4") << QByteArray("mpeg4") << "h264" << false;
    QTest::newRow("MP4V") << QByteArray("mpeg4") << "MP4V" << false;
    QTest::newRow("MJPEG") << QByteArray("mjpeg") << "MJPEG" << false;
    QTest::newRow("mpeg4 as codec name") << QByteArray("mpeg4") << "mpeg4" << false;
}

void tst_zvr3decoder::video()
{
    // An undecodable packet first, then pictures of 352x288 and 704x576, each followed by an empty
    // payload, which must not put the decoder into draining mode.
    QFETCH(QByteArray, encoder);
    QFETCH(QString, codec);
    QFETCH(bool, opens);
    const zvr3testvideo::Encoded small = zvr3testvideo::encode(encoder.constData(), 352, 288, 4);
    const zvr3testvideo::Encoded large = zvr3testvideo::encode(encoder.constData(), 704, 576, 2);
    const QList<QByteArray> packets = small.packets + large.packets;
    QCOMPARE(packets.size(), 6);
    QByteArray garbage;
    for (int i = 0; i < 3000; ++i)
        garbage += char((i * 7919) >> 3);
    // The private decoder itself, on its worker thread, to see inside it afterwards.
    zvr3decoder_priv_video decoder(entry(1, 1, codec));
    // Taken on the worker thread, under a lock that ThreadSanitizer sees (the hand-over of a
    // queued connection happens inside QtCore, where it cannot).
    QList<zvr3item> taken;
    std::mutex lock;
    connect(&decoder, &zvr3decoder_priv::sigData, this, [&](const QVariant &v) {
        const std::lock_guard<std::mutex> hold(lock);
        taken.append(v.value<zvr3item>());
    }, Qt::DirectConnection);
    decoder.slotData(frame(1, garbage, -1));
    for (int i = 0; i < packets.size(); ++i) {
        decoder.slotData(frame(1, packets.at(i), i));
        decoder.slotData(frame(1, QByteArray(), i + 100));
    }
    SETTLE();
    const QList<zvr3item> out = [&] {
        const std::lock_guard<std::mutex> hold(lock);
        return taken;
    }();
    QCOMPARE(decoder.isOpen(), opens);
    QCOMPARE(out.size(), opens ? packets.size() : 0);
    QSet<const uchar *> memory;
    for (int i = 0; i < out.size(); ++i) {
        QCOMPARE(out.at(i).time, i);
        const QImage image = out.at(i).value.value<QImage>();
        QCOMPARE(image.format(), QImage::Format_ARGB32);
        QCOMPARE(image.size(), i < 4 ? QSize(352, 288) : QSize(704, 576));
        QCOMPARE(qAlpha(image.pixel(17, 33)), 255);
        const double db = zvr3testvideo::psnr(image, (small.sources + large.sources).at(i));
        QVERIFY2(db > 30, qPrintable(QStringLiteral("picture %1: %2 dB").arg(i).arg(db)));
        memory.insert(image.constBits());
    }
    // Every picture has memory of its own, and the scaler was made once for each size.
    QCOMPARE(memory.size(), out.size());
    QCOMPARE(decoder.scalerCount(), opens ? 2 : 0);
}

void tst_zvr3decoder::keptImagesStayIntact_data()
{
    QTest::addColumn<QByteArray>("encoder");
    QTest::addColumn<QString>("codec");
    QTest::newRow("mpeg4") << QByteArray("mpeg4") << "mp4v";
    if (avcodec_find_encoder_by_name("libx264"))
        QTest::newRow("h264") << QByteArray("libx264") << "H264";
}

void tst_zvr3decoder::keptImagesStayIntact()
{
    // The application keeps the first ten images and lets every later one go as soon as it has it.
    // Each frame goes in after the image before it has come out, so the later pictures are written
    // into the memory that the released images gave back; the kept ones stay as they came.
    QFETCH(QByteArray, encoder);
    QFETCH(QString, codec);
    const zvr3testvideo::Encoded clip = zvr3testvideo::encode(encoder.constData(), 176, 144, 30);
    QCOMPARE(clip.packets.size(), 30);
    zvr3decoder node(1);
    QList<qint64> times;
    QList<QImage> kept;
    QList<QImage> copies;  // deep copies made when the kept images came
    QList<const uchar *> later;
    connect(&node, &zvr3base::sigData, this, [&](const QVariant &v) {
        const zvr3item item = v.value<zvr3item>();
        const QImage image = item.value.value<QImage>();
        times.append(item.time);
        if (kept.size() < 10) {
            kept.append(image);
            copies.append(image.copy());
        } else {
            later.append(image.constBits());
        }
    });
    node.slotData(header({entry(1, 1, codec)}));
    QList<qint64> expected;
    for (int i = 0; i < clip.packets.size(); ++i) {
        node.slotData(frame(1, clip.packets.at(i), i));
        QTRY_COMPARE_WITH_TIMEOUT(times.size(), i + 1, Patience);
        expected.append(i);
    }
    QCOMPARE(times, expected);
    for (int i = 0; i < kept.size(); ++i) {
        QCOMPARE(kept.at(i).format(), QImage::Format_ARGB32);
        QVERIFY2(kept.at(i) == copies.at(i), qPrintable(QString::number(i)));
        QVERIFY(i == 0 || copies.at(i) != copies.at(i - 1));  // an overwrite would show
        QVERIFY(zvr3testvideo::psnr(kept.at(i), clip.sources.at(i)) > 25);
    }
    // Every later picture went into the memory of the one before, once that was released; none
    // into the memory of a kept image.
    QCOMPARE(QSet<const uchar *>(later.cbegin(), later.cend()).size(), 1);
    for (const QImage &image : std::as_const(kept))
        QVERIFY(!later.contains(image.constBits()));
}

void tst_zvr3decoder::batchedHandOver()
{
    // Items that the worker puts out while the node's thread is busy leave in one delivery, in
    // order, with the counts whole.
    zvr3decoder node(3);
    QueuedCalls calls;
    node.installEventFilter(&calls);
    QList<qint64> times;
    connect(&node, &zvr3base::sigData, this, [&](const QVariant &v) { times.append(v.value<zvr3item>().time); });
    node.slotData(header({entry(3, 3, "raw")}));
    QList<qint64> expected;
    for (int i = 0; i < 200; ++i) {
        node.slotData(frame(3, QByteArray::number(i), i));
        expected.append(i);
    }
    QVERIFY(workersIdle());
    QCOMPARE(counts(node.counters()), (QList<qint64>{200, 0, 0}));
    QVERIFY(times.isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(times, expected);
    QCOMPARE(calls.count, 1);

    // A receiver that destroys the node ends the delivery there.
    auto *doomed = new zvr3decoder(3);
    int got = 0;
    connect(doomed, &zvr3base::sigData, this, [&] {
        ++got;
        delete doomed;
    });
    doomed->slotData(header({entry(3, 3, "raw")}));
    for (int i = 0; i < 5; ++i)
        doomed->slotData(frame(3, "x", i));
    QVERIFY(workersIdle());
    QCoreApplication::processEvents();
    QCOMPARE(got, 1);
}

void tst_zvr3decoder::ima1_data()
{
    QTest::addColumn<QList<QByteArray>>("items");
    QTest::addColumn<int>("predictor");  // the state before the payload
    QTest::addColumn<int>("index");
    QTest::addColumn<QVector<qint16>>("pcm");  // of all items; none: nothing emitted
    QTest::addColumn<int>("endPredictor");
    QTest::addColumn<int>("endIndex");
    QTest::addColumn<QString>("text3");  // the stream's options, and the rate read from them
    QTest::addColumn<int>("rate");
    const QVector<qint16> none;
    const QVector<qint16> one{0};
    const QString r8k = QStringLiteral("-rate=8000");
    QTest::newRow("empty") << Items{QByteArray()} << 100 << 10 << none << 100 << 10 << r8k << 8000;
    QTest::newRow("one byte") << Items{hex("77")} << 100 << 10 << none << 100 << 10 << r8k << 8000;
    QTest::newRow("silence") << Items{hex("40 01")} << 100 << 10 << QVector<qint16>(160, 0) << 100 << 10 << r8k << 8000;
    QTest::newRow("no silence") << Items{hex("00 00")} << 100 << 10 << none << 100 << 10 << r8k << 8000;
    // The state runs on from item to item; silence leaves it as it was. Code 7 at step 7: 0 + 7 +
    // 3 + 1 = 11, index 8; code 0 at step 16: 2, index 7. Every code from every state is checked
    // against plain decoding below.
    QTest::newRow("across items") << Items{hex("70 00 00"), hex("10 00"), hex("77 88 08")} << 0 << 0
                                  << QVector<qint16>{11, 13, 14, 15, 16, 17, 0, 0, 0, 0, 0, 0, 0, 0, 35, 73, 68, 63, 67, 63}
                                  << 63 << 15 << r8k << 8000;
    // Silence of one sample, to read the rate.
    QTest::newRow("rate among options") << Items{hex("02 00")} << 0 << 0 << one << 0 << 0 << "-bits=4 -rate=16000 -x" << 16000;
    QTest::newRow("rate in capitals") << Items{hex("02 00")} << 0 << 0 << one << 0 << 0 << "-RATE=8000" << 0;
    QTest::newRow("rate without digits") << Items{hex("02 00")} << 0 << 0 << one << 0 << 0 << "-rate=" << 0;
    QTest::newRow("no options") << Items{hex("02 00")} << 0 << 0 << one << 0 << 0 << "" << 0;
}

void tst_zvr3decoder::ima1()
{
    QFETCH(QList<QByteArray>, items);
    QFETCH(int, predictor);
    QFETCH(int, index);
    QFETCH(QVector<qint16>, pcm);
    QFETCH(QString, text3);
    zvr3decoder_priv_ima1 decoder(entry(1, 2, "ima1", text3));
    decoder.setState(predictor, index);
    QVector<qint16> got;
    for (const QVariant &sound : decodeAll(decoder, items)) {
        const zvr3sound_buffer buffer = sound.value<zvr3sound_buffer>();
        QTEST(buffer.rate, "rate");
        QTEST(decoder.rate(), "rate");
        QCOMPARE(buffer.channels, 1);
        QVERIFY(!buffer.data.isEmpty());  // nothing goes out without sound
        for (qsizetype at = 0; at + 1 < buffer.data.size(); at += 2)
            got.append(qFromLittleEndian<qint16>(buffer.data.constData() + at));
    }
    QCOMPARE(got, pcm);
    QTEST(decoder.predictor(), "endPredictor");
    QTEST(decoder.stepIndex(), "endIndex");
}

// The algorithm written out plainly, one code at a time, with the limits as comparisons.
struct PlainIma
{
    int predictor;
    int index;

    qint16 next(int code)
    {
        static const int steps[89] = {
            7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 21, 23, 25, 28, 31, 34, 37, 41, 45, 50, 55, 60, 66,
            73, 80, 88, 97, 107, 118, 130, 143, 157, 173, 190, 209, 230, 253, 279, 307, 337, 371, 408,
            449, 494, 544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552, 1707, 1878, 2066,
            2272, 2499, 2749, 3024, 3327, 3660, 4026, 4428, 4871, 5358, 5894, 6484, 7132, 7845, 8630,
            9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
        static const int changes[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
        const int step = steps[index];
        int difference = step >> 3;
        if (code & 4)
            difference += step;
        if (code & 2)
            difference += step >> 1;
        if (code & 1)
            difference += step >> 2;
        predictor += (code & 8) ? -difference : difference;
        if (predictor > 32767)
            predictor = 32767;
        if (predictor < -32767)
            predictor = -32767;
        index += changes[code & 7];
        if (index < 0)
            index = 0;
        if (index > 88)
            index = 88;
        return qint16(predictor);
    }
};

void tst_zvr3decoder::ima1MatchesPlainDecoding_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("run");  // bytes decoded at a time, each run from the start state
    QTest::addColumn<QList<int>>("predictors");  // start predictors, each with every step index 0..88

    QByteArray every(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        every[i] = char(i);
    QRandomGenerator random(1504);
    QByteArray noise(4096, Qt::Uninitialized);
    for (char &c : noise)
        c = char(random.bounded(256));
    QByteArray loud = noise;  // magnitudes 4 to 7: the index climbs to 88, the predictor hits its limits
    for (char &c : loud)
        c = char(c | 0x44);
    QByteArray quiet = noise;  // magnitudes 0 to 3: the index sinks to 0
    for (char &c : quiet)
        c = char(c & 0xBB);
    // Each code as the first of a byte from every state, at and next to the predictor's limits.
    QTest::newRow("every byte from every state") << every << 1 << QList<int>{-32767, -32766, -1, 0, 1, 32766, 32767};
    QTest::newRow("noise") << noise << 4096 << QList<int>{0};
    QTest::newRow("loud") << loud << 4096 << QList<int>{-32767, 32767};
    QTest::newRow("quiet") << quiet << 4096 << QList<int>{0};
}

void tst_zvr3decoder::ima1MatchesPlainDecoding()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, run);
    QFETCH(QList<int>, predictors);
    for (const int predictor : std::as_const(predictors)) {
        for (int index = 0; index <= 88; ++index) {
            for (qsizetype at = 0; at < payload.size(); at += run) {
                const QByteArray bytes = payload.mid(at, run);
                QVector<qint16> got(2 * bytes.size());
                qint16 endPredictor = qint16(predictor);
                quint8 endIndex = quint8(index);
                zvr3decoder_priv_ima1::expand(reinterpret_cast<const uchar *>(bytes.constData()), bytes.size(),
                                              got.data(), endPredictor, endIndex);
                PlainIma plain{predictor, index};
                for (qsizetype k = 0; k < got.size(); ++k) {
                    const int code = (uchar(bytes[k / 2]) >> (k % 2 ? 0 : 4)) & 15;
                    const qint16 want = plain.next(code);
                    if (qFromLittleEndian(got[k]) != want)
                        QFAIL(qPrintable(QStringLiteral("from predictor %1, index %2, byte %3: sample %4 is %5, not %6")
                                             .arg(predictor).arg(index).arg(at).arg(k)
                                             .arg(qFromLittleEndian(got[k])).arg(want)));
                }
                QCOMPARE(int(endPredictor), plain.predictor);
                QCOMPARE(int(endIndex), plain.index);
            }
        }
    }
}

void tst_zvr3decoder::decodes_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QList<QByteArray>>("items");
    QTest::addColumn<QStringList>("values");  // rendered, of the items emitted

    // The type and codec name of the stream choose the private decoder; a wrong name gets the base
    // decoder, which passes items on without a value. A video decoder for an unknown codec stays closed.
    QTest::newRow("video, any name") << 1 << "whatever" << Items{"x"} << QStringList();
    QTest::newRow("ima1") << 2 << "ima1" << Items{hex("02 00")} << QStringList{"zvr3sound_buffer"};
    QTest::newRow("IMA1") << 2 << "IMA1" << Items{"x"} << QStringList{"-"};
    QTest::newRow("Text") << 4 << "Text" << Items{"x"} << QStringList{"-"};
    QTest::newRow("text-latin1") << 4 << "text-latin1" << Items{"x"} << QStringList{"-"};
    QTest::newRow("nmea as audio") << 2 << "nmea" << Items{"x"} << QStringList{"-"};
    QTest::newRow("type 0") << 0 << "" << Items{"x"} << QStringList{"-"};

    // Text: UTF-8 up to the first zero byte, or the whole payload as KOI8-R.
    QTest::newRow("text") << 4 << "text" << Items{QByteArray("abc\0def", 7), "x"} << QStringList{"abc", "x"};
    QTest::newRow("utf-8") << 4 << "text" << Items{"gr\xc3\xbc\xc3\x9f"} << QStringList{QString::fromUtf8("grüß")};
    QTest::newRow("invalid utf-8") << 4 << "text" << Items{"a\xff"} << QStringList{QString::fromUtf8("a\xef\xbf\xbd")};
    QTest::newRow("text-none") << 4 << "text-none" << Items{QByteArray()} << QStringList{""};
    QTest::newRow("text-utf8") << 4 << "text-utf8" << Items{QByteArray("x\0y", 3)} << QStringList{"x"};
    QTest::newRow("text-utf-8") << 4 << "text-utf-8" << Items{"\xc3\xbc"} << QStringList{QString::fromUtf8("ü")};
    QTest::newRow("text-koi8") << 4 << "text-koi8" << Items{"\xf0\xd2\xc9\xd7\xc5\xd4"} << QStringList{QString::fromUtf8("Привет")};
    QTest::newRow("text-koi8r whole payload") << 4 << "text-koi8r" << Items{QByteArray("\xc4\0\xc1", 3)}
                                              << QStringList{QString::fromUtf8("д") + QChar(0) + QString::fromUtf8("а")};

    // NMEA: every item is emitted with the position as it stands. The second item completes the RMC
    // sentence; the GGA fields stay.
    const QString both = QStringLiteral("1 48.1173 11.51667 545.4 84.4 11.52356 8 2 764426119000");
    for (int cut : {22, 6, int(Rmc.lastIndexOf(',')), 0})
        QTest::addRow("RMC split at %d", cut) << 4 << "nmea" << Items{Gga + Rmc.left(cut), Rmc.mid(cut)} << QStringList{GgaFix, both};
    // "$GPR" matches no known name: dropped at once, and its rest is ignored with the next item.
    QTest::newRow("cut in the name") << 4 << "nmea" << Items{Rmc.left(4), Rmc.mid(4)} << QStringList{NoFix, NoFix};
    // Sentences of other shapes are ignored; a sentence after them is kept and completed.
    const char *ignored[][2] = {
        {"mode field", "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,A*6A\r\n"},
        {"GNRMC", "$GNRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n"},
        {"garbage", "\x01\x02 no dollar at all"}};
    for (const auto &row : ignored) {
        QTest::addRow("ignored: %s", row[0]) << 4 << "nmea" << Items{row[1] + Gga.left(8), Gga.mid(8)}
                                             << QStringList{NoFix, GgaFix};
    }
    // A time that cannot be read leaves the last one.
    QTest::newRow("RMC at hour 24") << 4 << "nmea" << Items{Rmc, QByteArray(Rmc).replace("123519", "240000")}
                                    << QStringList{RmcFix, RmcFix};
    QTest::newRow("RMC void, south") << 4 << "nmea" << Items{Rmc, QByteArray(Rmc).replace(",A,", ",V,").replace(",N,", ",S,")}
                                     << QStringList{RmcFix, "0 -48.1173 11.51667 0 84.4 11.52356 0 0 764426119000"};
    // GGA: fix quality, then the hdop, read as a whole number; altitude from field 9; no date.
    const char *gga[][3] = {{"0", "2", "0 48.1173 -11.51667 545.4 0 0 8 2 0"},
                            {"", "3", "1 48.1173 -11.51667 545.4 0 0 8 3 0"},
                            {"1", "1.2", "1 48.1173 -11.51667 545.4 0 0 8 0 0"}};
    for (const auto &row : gga) {
        const QByteArray sentence = QByteArray("$GPGGA,123519,4807.038,N,01131.000,W,") + row[0] + ",08," + row[1]
            + ",545.4,M,46.9,M,,*47\r\n";
        QTest::addRow("GGA fix '%s' hdop %s", row[0], row[1]) << 4 << "nmea" << Items{sentence} << QStringList{row[2]};
    }
    // PGRME fields: 3 date, 4 time, 6/7 latitude, 8/9 longitude, 11 fix, 12 km/h, 13 course, 14 hdop;
    // it leaves the satellite count of GGA.
    QTest::newRow("PGRME") << 4 << "nmea" << Items{Gga, "$PGRME,x,x,230394,123519,x,4807.038,N,01131.000,E,x,1,36,84.4,3,x*00\r\n"}
                           << QStringList{GgaFix, "1 48.1173 11.51667 545.4 84.4 10 8 3 764426119000"};
}

void tst_zvr3decoder::decodes()
{
    QFETCH(int, type);
    QFETCH(QString, codec);
    QFETCH(QList<QByteArray>, items);
    // Only the first entry of stream 3 counts.
    const HDR_T h{0, 0, QString(), {entry(1, 1, "H264"), entry(3, type, codec), entry(3, 4, "text")}, {}};
    std::unique_ptr<zvr3decoder_priv> decoder(zvr3decoder_priv::create(3, h));
    QVERIFY(decoder && !zvr3decoder_priv::create(5, h));
    QCOMPARE(decoder->stream().codec, codec);
    QStringList values;
    for (const QVariant &value : decodeAll(*decoder, items))
        values << render(value);
    QTEST(values, "values");
}

void tst_zvr3decoder::nmeaTime_data()
{
    QTest::addColumn<QByteArray>("date");
    QTest::addColumn<QByteArray>("clock");
    QTest::addColumn<qint64>("expected");  // -1: cannot be read
    QTest::newRow("no fraction") << QByteArray("230394") << QByteArray("123519") << RmcTime;
    QTest::newRow("one digit") << QByteArray("230394") << QByteArray("123519.5") << RmcTime + 500;
    QTest::newRow("three digits") << QByteArray("230394") << QByteArray("123519.123") << RmcTime + 123;
    QTest::newRow("four digits") << QByteArray("230394") << QByteArray("123519.1234") << qint64(-1);
    QTest::newRow("year 69 is 2069") << QByteArray("311269") << QByteArray("235959") << 3155759999000LL;
    QTest::newRow("year 70 is 1970") << QByteArray("010170") << QByteArray("000000") << qint64(0);
    QTest::newRow("leap day") << QByteArray("290224") << QByteArray("010203") << 1709168523000LL;
    QTest::newRow("no such day") << QByteArray("300223") << QByteArray("010203") << qint64(-1);
    QTest::newRow("empty date") << QByteArray() << QByteArray("123519") << qint64(-1);
    QTest::newRow("letters") << QByteArray("23o394") << QByteArray("123519") << qint64(-1);
}

void tst_zvr3decoder::nmeaTime()
{
    QFETCH(QByteArray, date);
    QFETCH(QByteArray, clock);
    QFETCH(qint64, expected);
    qint64 ms = -1;
    QCOMPARE(zvr3decoder_priv_nmea::readTime(date, clock, ms), expected != -1);
    QCOMPARE(ms, expected);
}

void tst_zvr3decoder::nmeaRunawaySentenceIsDropped()
{
    zvr3decoder_priv_nmea decoder(entry(1, 4, "nmea"));
    decodeAll(decoder, QList<QByteArray>{"$GPRMC,1"} + QList<QByteArray>(100, QByteArray(100, 'x')));
    QVERIFY(decoder.sentenceBuffer().size() < 4200);
}

void tst_zvr3decoder::keyFrames_data()
{
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("key");
    // H.264 in Annex B: units after 00 00 01 (or 00 00 00 01); the type is the low five bits of the
    // unit's first byte. The first slice decides, or an SPS before it.
    QTest::newRow("h264 IDR alone") << "H264" << hex("00 00 01 65 88 84 00") << true;
    QTest::newRow("h264 SEI, then IDR") << "H264" << hex("00 00 01 06 05 02 00 10 80 00 00 01 25 B8") << true;
    QTest::newRow("h264 SPS alone") << "H264" << hex("00 00 01 67 42") << true;
    QTest::newRow("h264 AUD, then P") << "H264" << hex("00 00 00 01 09 10 00 00 01 41 9A 02") << false;
    QTest::newRow("h264 P") << "H264" << hex("00 00 01 41 9A 02 00 00 01 65") << false;
    QTest::newRow("h264 partition") << "H264" << hex("00 00 01 22 11") << false;
    QTest::newRow("h264 no start code") << "H264" << hex("65 88 84 67 00 01 65") << false;
    QTest::newRow("h264 start code at the end") << "H264" << hex("41 00 00 01") << false;
    QTest::newRow("h264 empty") << "H264" << QByteArray() << false;
    // MPEG-4 Visual: the first VOP (00 00 01 B6) decides by its first two bits, 00 intra.
    QTest::newRow("mp4v VOS VOL I-VOP") << "mp4v" << hex("00 00 01 B0 01 00 00 01 B5 09 00 00 01 20 08 C8 00 00 01 B6 10 60") << true;
    QTest::newRow("mp4v GOV, I-VOP") << "mp4v" << hex("00 00 01 B3 00 00 01 B6 00") << true;
    QTest::newRow("mp4v P-VOP") << "mp4v" << hex("00 00 01 B6 50 A1") << false;
    QTest::newRow("mp4v B-VOP") << "mp4v" << hex("00 00 01 B6 90 A1") << false;
    QTest::newRow("mp4v VOL, no VOP") << "mp4v" << hex("00 00 01 20 08 C8") << false;
    QTest::newRow("mp4v cut after the VOP code") << "mp4v" << hex("00 00 01 B6") << false;
    // Every JPEG picture stands alone, and so does anything of a codec we do not decode.
    QTest::newRow("mjpeg") << "mjpeg" << hex("FF D8 FF E0") << true;
    QTest::newRow("h264 in lower case") << "h264" << hex("00 00 01 41") << true;
}

void tst_zvr3decoder::keyFrames()
{
    QFETCH(QString, codec);
    QFETCH(QByteArray, payload);
    QTEST(zvr3decoder_priv_video::keyFrame(codec, payload), "key");
}

void tst_zvr3decoder::drops_data()
{
    // Frames fed behind a held worker, let go one item at a time: the steps, separated by spaces,
    // are "a-b" (or "a") to feed frames a to b, "s" to let the held item be decoded, "c" to take the
    // counts (decoded, dropped, queued; the held item counted as queued). Then the worker runs
    // freely, and the frames whose items come out are those listed, the last one's value rendered.
    // A video row's frames are thirty of a clip it encodes, with a key frame every ten.
    QTest::addColumn<QByteArray>("encoder");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("codec");
    QTest::addColumn<Items>("payloads");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QList<QList<qint64>>>("checks");
    QTest::addColumn<QList<qint64>>("emitted");
    QTest::addColumn<QString>("last");
    using Checks = QList<QList<qint64>>;
    // The oldest record goes when a record arrives at a full queue; the worker holds the first while
    // the other six arrive.
    const Items texts{"0", "1", "2", "3", "4", "5", "6"};
    const QList<qint64> all{0, 1, 2, 3, 4, 5, 6};
    const QList<qint64> newest{0, 4, 5, 6};
    const QString seven = QStringLiteral("0-6 c");
    QTest::newRow("text, no limit") << QByteArray() << 4 << "text" << texts << 0 << seven << Checks{{0, 0, 7}} << all << "6";
    QTest::newRow("text") << QByteArray() << 4 << "text" << texts << 3 << seven << Checks{{0, 3, 4}} << newest << "6";
    QTest::newRow("text, limit 1") << QByteArray() << 4 << "text" << texts << 1 << seven << Checks{{0, 5, 2}} << QList<qint64>{0, 6} << "6";
    QTest::newRow("undecoded") << QByteArray() << 3 << "raw" << texts << 3 << seven << Checks{{0, 3, 4}} << newest << "-";
    // A sentence cut by the drop is not completed with the tail that arrives after it.
    const Items cut{Rmc.left(30), "", "", "", Rmc.mid(30), "", ""};
    QTest::newRow("nmea, no limit") << QByteArray() << 4 << "nmea" << cut << 0 << seven << Checks{{0, 0, 7}} << all << RmcFix;
    QTest::newRow("nmea") << QByteArray() << 4 << "nmea" << cut << 3 << seven << Checks{{0, 3, 4}} << newest << NoFix;
    // Video behind a queue of four: a full queue drops its oldest frame and every frame after it up
    // to a key frame: 1 to 4 and the arriving 5 to 9 (no key frame to resume at), 17 to 19 (10 and
    // 20 are), 21 to 29. Each picture that comes out is a key frame or the one after a picture that
    // came out. In between, a frame in and a frame decoded keep the queue full; then the next frame
    // overflows it.
    const QString video = QStringLiteral("0-4 5 c 6-9 c 10-11 c s s c 12-15 s 16 s 17 s 18 s 19 s 20 21 c s 22-29 c");
    const Checks chains{{0, 5, 1}, {0, 9, 1}, {0, 9, 3}, {2, 9, 1}, {7, 12, 3}, {8, 21, 1}};
    const QList<qint64> chained{0, 10, 11, 12, 13, 14, 15, 16, 20};
    QTest::newRow("mpeg4") << QByteArray("mpeg4") << 1 << "mp4v" << Items() << 4 << video << chains << chained << "QImage";
    // Every JPEG picture stands alone: only the oldest goes.
    QTest::newRow("mjpeg") << QByteArray("mjpeg") << 1 << "mjpeg" << Items() << 4 << video
                           << Checks{{0, 1, 5}, {0, 5, 5}, {0, 7, 5}, {2, 7, 3}, {7, 10, 5}, {8, 17, 5}}
                           << QList<qint64>{0, 8, 9, 12, 13, 14, 15, 16, 18, 26, 27, 28, 29} << "QImage";
}

void tst_zvr3decoder::drops()
{
    QFETCH(QByteArray, encoder);
    QFETCH(int, type);
    QFETCH(QString, codec);
    QFETCH(Items, payloads);
    QFETCH(int, limit);
    QFETCH(QString, steps);
    QFETCH(QList<qint64>, emitted);
    zvr3testvideo::Encoded clip;
    if (!encoder.isEmpty()) {
        clip = zvr3testvideo::encode(encoder.constData(), 176, 144, 30);
        QCOMPARE(clip.packets.size(), 30);
        payloads = clip.packets;
        // The key frames as the bitstream shows them are those the encoder made.
        QList<qint64> keys;
        for (int i = 0; i < clip.packets.size(); ++i) {
            QCOMPARE(zvr3decoder_priv_video::keyFrame(codec, clip.packets.at(i)), clip.keys.at(i));
            if (clip.keys.at(i))
                keys.append(i);
        }
        if (codec != QLatin1String("mjpeg"))
            QCOMPARE(keys, (QList<qint64>{0, 10, 20}));
    }
    Gate gate;
    zvr3decoder node(1);
    zvr3test::Recorder out(&node);
    // The limit set before the header, as a property, for the decoder the header makes; for video on
    // the decoder already running.
    if (encoder.isEmpty()) {
        QVERIFY(node.setProperty("queueLimit", limit));
        QCOMPARE(node.queueLimit(), limit);
    }
    node.slotData(header({entry(1, type, codec)}));
    if (!encoder.isEmpty())
        node.setQueueLimit(limit);
    Driver driver{node, gate};
    QList<QList<qint64>> got;
    for (const QString &step : steps.split(QLatin1Char(' '))) {
        if (step == QLatin1String("s"))
            driver.step();
        else if (step == QLatin1String("c"))
            got << counts(node.counters());
        else
            driver.feed(step.section(QLatin1Char('-'), 0, 0).toInt(), step.section(QLatin1Char('-'), -1).toInt(), payloads);
    }
    QTEST(got, "checks");

    gate.open();
    SETTLE();
    const qint64 kept = emitted.size();
    const qint64 lost = payloads.size() - kept;
    QCOMPARE(counts(node.counters()), (QList<qint64>{kept, lost, 0}));
    QList<qint64> frames;
    for (const QVariant &v : std::as_const(out.values)) {
        const zvr3item item = v.value<zvr3item>();
        frames.append(item.time);
        // Nothing was decoded from a missing reference: every picture is the one encoded (about 29 dB
        // and more here, where a picture decoded from a wrong reference gives less than 20).
        const double db = clip.sources.isEmpty() ? 99 : zvr3testvideo::psnr(item.value.value<QImage>(), clip.sources.at(item.time));
        QVERIFY2(db > 25, qPrintable(QStringLiteral("frame %1: %2 dB").arg(item.time).arg(db)));
    }
    QCOMPARE(frames, emitted);
    QTEST(render(out.values.constLast().value<zvr3item>().value), "last");
    // The counts run on across the decoders that headers make.
    node.slotData(header({entry(1, type, codec)}));
    node.slotData(frame(1, payloads.constFirst(), 99));
    SETTLE();
    QCOMPARE(counts(node.counters()), (QList<qint64>{kept + 1, lost, 0}));
}

void tst_zvr3decoder::videoDropsWhileDecoding()
{
    // The worker runs freely while frames come in bursts of four at a queue of two: whatever it keeps
    // up with, each picture that comes out is a key frame or the one after a picture that came out.
    const zvr3testvideo::Encoded clip = zvr3testvideo::encode("mpeg4", 176, 144, 30);
    QCOMPARE(clip.packets.size(), 30);
    zvr3decoder node(1);
    QList<zvr3item> out;
    connect(&node, &zvr3base::sigData, this, [&](const QVariant &v) { out.append(v.value<zvr3item>()); });
    node.setQueueLimit(2);
    node.slotData(header({entry(1, 1, "mp4v")}));
    constexpr int Frames = 150;
    for (int n = 0; n < Frames; ++n) {
        node.slotData(frame(1, clip.packets.at(n % 30), n));
        QVERIFY(node.counters().queued <= 3);  // two waiting, one being decoded
        if (n % 4 == 3)
            QTRY_COMPARE_WITH_TIMEOUT(node.counters().queued, 0, Patience);
    }
    SETTLE();
    const zvr3decoder_counters end = node.counters();
    QCOMPARE(end.decoded + end.dropped, qint64(Frames));
    QCOMPARE(end.queued, 0);
    QCOMPARE(out.size(), end.decoded);
    for (int i = 0; i < out.size(); ++i) {
        const qint64 n = out.at(i).time;
        QVERIFY2(clip.keys.at(n % 30) || (i > 0 && out.at(i - 1).time == n - 1), qPrintable(QString::number(n)));
        QVERIFY(zvr3testvideo::psnr(out.at(i).value.value<QImage>(), clip.sources.at(n % 30)) > 25);
    }
}

QTEST_MAIN(tst_zvr3decoder)
#include "tst_zvr3decoder.moc"
