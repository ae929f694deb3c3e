#include <QtTest>

#include <atomic>

#include "zvr3decoder.h"
#include "zvr3decoder_priv.h"
#include "zvr3decoder_priv_ima1.h"
#include "zvr3decoder_priv_nmea.h"
#include "zvr3decoder_priv_text.h"
#include "zvr3decoder_priv_thread.h"
#include "zvr3decoder_priv_video.h"
#include "zvr3metatype_p.h"
#include "zvr3testutil.h"

// Waits until every worker has decoded what it was given and the items have reached the nodes.
#define SETTLE()                                                        \
    do {                                                                \
        QTRY_COMPARE(zvr3decoder_priv_thread::outstanding(), 0);        \
        QCoreApplication::processEvents();                              \
    } while (false)

namespace {

STREAM_T entry(int number, int type, const char *codec, const char *text3 = "")
{
    STREAM_T s;
    s.number = number;
    s.type = type;
    s.codec = QString::fromLatin1(codec);
    s.text2 = QStringLiteral("t2");
    s.text3 = QString::fromLatin1(text3);
    return s;
}

QVariant header(const QVector<STREAM_T> &streams)
{
    HDR_T h;
    h.streams = streams;
    return zvr3value(h);
}

QVariant frame(int stream, const QByteArray &data, qint64 time = 0, int level = 0, int extra = 0)
{
    DATA_T d;
    d.stream = uint(stream);
    d.part = 3;
    d.data = data;
    d.size = uint(data.size());
    d.time = time;
    d.level = static_cast<signed char>(level);
    d.extra = uint(extra);
    return zvr3value(zvr3parser_combined_DATA_T(d));
}

zvr3item itemAt(const QList<QVariant> &values, int i)
{
    return values.at(i).value<zvr3item>();
}

// A decoder that takes its time, to catch a worker that outlives its owner.
class SlowDecoder : public zvr3decoder_priv
{
public:
    SlowDecoder(std::atomic<int> *started, std::atomic<int> *finished)
        : zvr3decoder_priv(entry(1, 9, "slow"))
        , m_started(started)
        , m_finished(finished)
    {
    }
    ~SlowDecoder() override { stopWorker(); }
    void decode(zvr3item &item) override
    {
        ++*m_started;
        QThread::msleep(300);
        m_lastTime = item.time;  // owner state, touched after the wait
        emitItem(item);
        ++*m_finished;
    }

private:
    std::atomic<int> *m_started;
    std::atomic<int> *m_finished;
    qint64 m_lastTime = 0;
};

} // namespace

class tst_zvr3decoder : public QObject
{
    Q_OBJECT
private slots:
    void choosesDecoder_data();
    void choosesDecoder();
    void firstEntryWins();
    void itemFields();
    void onlyOwnStreamAndWholeFrames();
    void itemsLeaveOnNodeThreadInOrder();
    void newHeaderReplacesDecoder();
    void headerWithoutEntryDropsData();
    void destroyingDiscardsQueue();
    void slowDecodeOutlivesStopWait();
};

void tst_zvr3decoder::choosesDecoder_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QString>("decoder");
    QTest::newRow("video H264") << 1 << "H264" << "zvr3decoder_priv_video";
    QTest::newRow("video any name") << 1 << "whatever" << "zvr3decoder_priv_video";
    QTest::newRow("ima1") << 2 << "ima1" << "zvr3decoder_priv_ima1";
    QTest::newRow("IMA1") << 2 << "IMA1" << "zvr3decoder_priv";
    QTest::newRow("text") << 4 << "text" << "zvr3decoder_priv_text";
    QTest::newRow("Text") << 4 << "Text" << "zvr3decoder_priv";
    QTest::newRow("text-utf-8") << 4 << "text-utf-8" << "zvr3decoder_priv_text";
    QTest::newRow("text-koi8r") << 4 << "text-koi8r" << "zvr3decoder_priv_text";
    QTest::newRow("text-latin1") << 4 << "text-latin1" << "zvr3decoder_priv";
    QTest::newRow("nmea") << 4 << "nmea" << "zvr3decoder_priv_nmea";
    QTest::newRow("nmea as audio") << 2 << "nmea" << "zvr3decoder_priv";
    QTest::newRow("type 3") << 3 << "text" << "zvr3decoder_priv";
    QTest::newRow("type 0") << 0 << "" << "zvr3decoder_priv";
}

void tst_zvr3decoder::choosesDecoder()
{
    QFETCH(int, type);
    QFETCH(QString, codec);
    QFETCH(QString, decoder);
    HDR_T h;
    h.streams = {entry(1, 1, "H264"), entry(3, type, codec.toLatin1().constData())};
    std::unique_ptr<zvr3decoder_priv> priv(zvr3decoder_priv::create(3, h));
    QVERIFY(priv);
    QCOMPARE(QString::fromLatin1(priv->metaObject()->className()), decoder);
    QCOMPARE(priv->stream().number, 3);
    QCOMPARE(priv->stream().codec, codec);
    QVERIFY(!zvr3decoder_priv::create(5, h));
}

void tst_zvr3decoder::firstEntryWins()
{
    HDR_T h;
    h.streams = {entry(3, 4, "nmea"), entry(3, 4, "text")};
    std::unique_ptr<zvr3decoder_priv> priv(zvr3decoder_priv::create(3, h));
    QVERIFY(qobject_cast<zvr3decoder_priv_nmea *>(priv.get()));
}

void tst_zvr3decoder::itemFields()
{
    zvr3decoder node(7);
    zvr3test::Recorder out(&node);
    node.slotData(header({entry(7, 3, "raw", "-x")}));
    const QByteArray payload("\x01\x02\x03", 3);
    const int levels[] = {0, 1, 15, 31};
    for (int level : levels)
        node.slotData(frame(7, payload, 1700000000123LL + level, level, 0xAB));
    SETTLE();
    QCOMPARE(out.values.size(), 4);
    const int percent[] = {0, 3, 48, 100};
    for (int i = 0; i < 4; ++i) {
        const zvr3item item = itemAt(out.values, i);
        QCOMPARE(item.level, percent[i]);
        QCOMPARE(item.time, 1700000000123LL + levels[i]);
        QCOMPARE(item.duration, 40);
        QCOMPARE(item.extra, 0xAB);
        QCOMPARE(item.data, payload);
        QCOMPARE(item.stream.number, 7);
        QCOMPARE(item.stream.codec, QStringLiteral("raw"));
        QCOMPARE(item.stream.text2, QStringLiteral("t2"));
        QCOMPARE(item.stream.text3, QStringLiteral("-x"));
        QVERIFY(!item.value.isValid());
        QVERIFY(!item.value2.isValid());
    }
}

void tst_zvr3decoder::onlyOwnStreamAndWholeFrames()
{
    // Stream 3 is text beside a video stream 1: only stream 3's whole frames are decoded, as text.
    zvr3decoder node(3);
    zvr3test::Recorder out(&node);
    node.slotData(frame(3, "before the header"));
    node.slotData(header({entry(1, 1, "H264"), entry(3, 4, "text")}));
    node.slotData(zvr3value(IDX_T{5, 0, QByteArray()}));
    node.slotData(frame(1, "video"));
    DATA_T plain;
    plain.stream = 3;
    plain.data = "plain record";
    node.slotData(zvr3value(plain));
    node.slotData(QVariant(42));
    node.slotData(QVariant());
    node.slotData(frame(3, QByteArray("abc\0def", 7)));
    SETTLE();
    QCOMPARE(out.values.size(), 1);
    QCOMPARE(itemAt(out.values, 0).value, QVariant(QStringLiteral("abc")));
}

void tst_zvr3decoder::itemsLeaveOnNodeThreadInOrder()
{
    zvr3decoder node(2);
    QList<QThread *> threads;
    QList<qint64> times;
    connect(&node, &zvr3base::sigData, this, [&](const QVariant &v) {
        threads.append(QThread::currentThread());
        times.append(v.value<zvr3item>().time);
    });
    node.slotData(header({entry(2, 4, "text")}));
    QList<qint64> expected;
    for (int i = 0; i < 500; ++i) {
        node.slotData(frame(2, QByteArray::number(i), i));
        expected.append(i);
    }
    SETTLE();
    QCOMPARE(times, expected);
    for (QThread *thread : std::as_const(threads))
        QCOMPARE(thread, QThread::currentThread());
}

void tst_zvr3decoder::newHeaderReplacesDecoder()
{
    // The NMEA state starts afresh with every header, also an identical one.
    const QByteArray rmc("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
    zvr3decoder node(4);
    zvr3test::Recorder out(&node);
    node.slotData(header({entry(4, 4, "nmea")}));
    node.slotData(frame(4, rmc.left(30)));
    node.slotData(header({entry(4, 4, "nmea")}));
    // The replaced decoder goes on with its queue until the event loop destroys it.
    QDeadlineTimer deadline(10000);
    while (zvr3decoder_priv_thread::outstanding() != 0 && !deadline.hasExpired())
        QThread::yieldCurrentThread();
    QCOMPARE(node.findChildren<zvr3decoder_priv *>().size(), 1);
    node.slotData(frame(4, rmc.mid(30)));
    node.slotData(frame(4, rmc));
    SETTLE();
    QCOMPARE(out.values.size(), 3);
    // The tail of the sentence reached a fresh decoder with an empty buffer: no position from it.
    QCOMPARE(itemAt(out.values, 1).value.value<zvr3position_info>().valid, false);
    QCOMPARE(itemAt(out.values, 2).value.value<zvr3position_info>().valid, true);
    QTRY_VERIFY(node.findChildren<zvr3decoder_priv *>().isEmpty());
}

void tst_zvr3decoder::headerWithoutEntryDropsData()
{
    zvr3decoder node(4);
    zvr3test::Recorder out(&node);
    node.slotData(header({entry(4, 4, "text")}));
    node.slotData(header({entry(5, 4, "text")}));
    node.slotData(frame(4, "dropped"));
    node.slotData(header({entry(4, 4, "text")}));
    node.slotData(frame(4, "kept"));
    SETTLE();
    QCOMPARE(out.values.size(), 1);
    QCOMPARE(itemAt(out.values, 0).value, QVariant(QStringLiteral("kept")));
}

void tst_zvr3decoder::destroyingDiscardsQueue()
{
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    auto *slow = new SlowDecoder(&started, &finished);
    QList<QVariant> out;
    connect(slow, &zvr3decoder_priv::sigData, this, [&](const QVariant &v) { out.append(v); });
    for (int i = 0; i < 5; ++i)
        slow->slotData(frame(1, "x", i));
    QTRY_COMPARE(started.load(), 1);
    delete slow;
    // The item being decoded was finished; the four queued behind it were dropped.
    QCOMPARE(started.load(), 1);
    QCOMPARE(finished.load(), 1);
    QCOMPARE(zvr3decoder_priv_thread::outstanding(), 0);
    QCoreApplication::processEvents();
    QCOMPARE(out.size(), 1);
}

void tst_zvr3decoder::slowDecodeOutlivesStopWait()
{
    // The stop wait runs out while a decode is still busy: the destructor goes on waiting, so the
    // worker never touches a destroyed owner.
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    auto *slow = new SlowDecoder(&started, &finished);
    slow->worker()->setStopWait(20);
    slow->slotData(frame(1, "x"));
    QTRY_COMPARE(started.load(), 1);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("still busy after 20 ms")));
    delete slow;
    QCOMPARE(finished.load(), 1);
}

QTEST_MAIN(tst_zvr3decoder)
#include "tst_zvr3decoder.moc"
