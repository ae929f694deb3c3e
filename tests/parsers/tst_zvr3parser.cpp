#include <QtTest>

#include "zvr3parser.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"

using zvr3test::feed;

namespace {

const STREAM_T Video{1, 1, QStringLiteral("H264"), QString(), QString()};
const STREAM_T Audio{2, 2, QStringLiteral("ima1"), QString(), QStringLiteral("-rate=8000")};
const STREAM_T Video2{3, 1, QStringLiteral("mjpeg"), QString(), QString()};

QByteArray header(const QString &name = QStringLiteral("rec"))
{
    HDR_T h;
    h.name = name;
    h.streams = {Video, Audio, Video2};
    h.params = {{7, QStringLiteral("p")}};
    return zvr3stream::encodeHeader(h);
}

QByteArray index(quint32 seconds)
{
    return zvr3stream::encodeIndex({seconds, 99, QByteArrayLiteral("\x01\x02")});
}

// A data record; a video frame start gets its milliseconds after indexSeconds.
QByteArray data(int stream, int part, const QByteArray &payload, int msec = -1, quint32 indexSeconds = 0, int extra = 0)
{
    DATA_T r;
    r.stream = unsigned(stream);
    r.part = unsigned(part);
    r.data = payload;
    r.level = 5;
    r.extra = unsigned(extra);
    r.time = qint64(indexSeconds) * 1000 + qMax(msec, 0);
    return zvr3stream::encodeData(r, msec >= 0, indexSeconds);
}

template <typename T>
QList<T> all(const QList<QVariant> &values)
{
    QList<T> out;
    for (const QVariant &v : values) {
        if (v.metaType() == QMetaType::fromType<T>())
            out.append(v.value<T>());
    }
    return out;
}

QStringList typeNames(const QList<QVariant> &values)
{
    QStringList names;
    for (const QVariant &v : values) {
        QString name = QString::fromLatin1(v.typeName());
        if (v.metaType() == QMetaType::fromType<zvr3parser_position>())
            name = QStringLiteral("pos%1").arg(v.value<zvr3parser_position>().type);
        names.append(name);
    }
    return names;
}

// The listing without the reports of skipped bytes, which depend on how the bytes were chunked.
QStringList withoutSkips(const QList<QVariant> &values)
{
    QList<QVariant> kept;
    for (const QVariant &v : values) {
        if (v.metaType() != QMetaType::fromType<zvr3parser_position>() || v.value<zvr3parser_position>().type != 7)
            kept.append(v);
    }
    return zvr3test::listing(kept);
}

qint64 skipped(const QList<QVariant> &values)
{
    qint64 sum = 0;
    for (const zvr3parser_position &p : all<zvr3parser_position>(values))
        sum += p.type == 7 ? p.length : 0;
    return sum;
}

// A stream that exercises every path: garbage, two headers, chunk headers, parts of interleaved
// frames, empty payloads, a record whose stream has no entry, and a broken stretch.
QByteArray mixedStream()
{
    QByteArray s = "junk" + header() + zvr3stream::encodeChunkHeader({1, 2, 3, 4}) + index(100);
    s += data(1, 2, QByteArray(70, 'a'), 40, 100, 1) + data(3, 2, QByteArray(10, 'x'), 50, 100);
    s += data(2, 3, QByteArray(32, 's')) + data(1, 0, QByteArray(65535, 'b')) + data(3, 1, "yy");
    s += data(1, 1, "c") + data(9, 0, QByteArray()) + data(1, 3, "w", 900, 100);
    s += index(101) + data(2, 3, QByteArray(), -1) + header(QStringLiteral("second"));
    s += data(2, 3, "lost") + header() + index(102) + data(1, 3, "z", 7, 102);
    return s;
}

} // namespace

class tst_zvr3parser : public QObject
{
    Q_OBJECT
private slots:
    void garbageBeforeHeader();
    void headerOneBytePerChunk();
    void headerFields();
    void partsMakeOneFrame();
    void interleavedStreams();
    void secondFirstPartDropsThePending();
    void indexDropsPendingFrames();
    void videoStartSetsTheTime();
    void unlistedStreamHasShortHeader();
    void dataWithoutIndexFallsBack();
    void magicInsidePayloadIsARecord();
    void resetRestartsPositions();
    void chunkInvariance_data();
    void chunkInvariance();
    void truncatedStreamsGivePrefixes();
    void hostileInput_data();
    void hostileInput();
};

void tst_zvr3parser::garbageBeforeHeader()
{
    zvr3parser parser;
    const QByteArray h = header();
    const QList<QVariant> out = feed(parser, "\x01\x02\x03" + h + index(5), 0);
    QCOMPARE(typeNames(out), QStringList({"pos7", "pos1", "HDR_T", "pos3", "IDX_T"}));
    const auto pos = all<zvr3parser_position>(out);
    QCOMPARE(pos.at(0).position, 0);
    QCOMPARE(pos.at(0).length, 3);
    QCOMPARE(pos.at(1).position, 3);
    QCOMPARE(pos.at(1).length, int(h.size()));
    QCOMPARE(pos.at(2).position, 3 + h.size());
}

void tst_zvr3parser::headerOneBytePerChunk()
{
    zvr3parser parser;
    const QByteArray h = header();
    const QList<QVariant> out = feed(parser, h, 1);
    QCOMPARE(all<HDR_T>(out).size(), 1);
    const QStringList names = typeNames(out);
    QCOMPARE(names.mid(names.size() - 2), QStringList({"pos1", "HDR_T"}));
    QCOMPARE(names.size(), h.size() + 2);  // one attempt per byte, each reporting a skip
    for (const zvr3parser_position &p : all<zvr3parser_position>(out)) {
        if (p.type == 7)
            QCOMPARE(p.length, 0);
    }
}

void tst_zvr3parser::headerFields()
{
    zvr3parser parser;
    HDR_T h;
    h.streams = {Video};
    const QByteArray bytes = zvr3stream::encodeHeader(h);  // empty name, no parameters
    const QList<HDR_T> headers = all<HDR_T>(feed(parser, bytes, 0));
    QCOMPARE(headers.size(), 1);
    QCOMPARE(headers[0].streams_end, 9u + 2 + 5 + 1 + 1);
    QCOMPARE(headers[0].params_size, 0u);
    QCOMPARE(headers[0].name, QString());
    QCOMPARE(headers[0].streams.size(), 1);
    QCOMPARE(headers[0].streams[0].codec, QStringLiteral("H264"));

    zvr3parser second;
    const QList<HDR_T> full = all<HDR_T>(feed(second, header(QStringLiteral("\u00e9t\u00e9")), 0));
    QCOMPARE(full.size(), 1);
    QCOMPARE(full[0].name, QStringLiteral("\u00e9t\u00e9"));
    QCOMPARE(full[0].streams.size(), 3);
    QCOMPARE(full[0].streams[1].text3, QStringLiteral("-rate=8000"));
    QCOMPARE(full[0].params.size(), 1);
    QCOMPARE(full[0].params[0].id, 7);
    QCOMPARE(full[0].params[0].text, QStringLiteral("p"));
}

void tst_zvr3parser::partsMakeOneFrame()
{
    zvr3parser parser;
    const QByteArray s = header() + index(10) + data(1, 2, "first", 250, 10, 7) + data(2, 3, "snd")
        + data(1, 0, "mid1") + data(1, 0, "mid2") + data(1, 1, "last");
    const QList<QVariant> out = feed(parser, s, 0);
    QCOMPARE(typeNames(out).mid(5), QStringList({"pos4", "DATA_T", "pos4", "DATA_T", "zvr3parser_combined_DATA_T",
                                                 "pos4", "DATA_T", "pos4", "DATA_T", "pos4", "DATA_T",
                                                 "zvr3parser_combined_DATA_T"}));
    const auto frames = all<zvr3parser_combined_DATA_T>(out);
    QCOMPARE(frames.size(), 2);
    QCOMPARE(frames[0].data, QByteArray("snd"));
    QCOMPARE(frames[0].time, 10250);  // the audio takes the frame start's time
    QCOMPARE(frames[1].data, QByteArray("firstmid1mid2last"));
    QCOMPARE(frames[1].size, 17u);
    QCOMPARE(frames[1].part, 2u);
    QCOMPARE(frames[1].time, 10250);
    QCOMPARE(frames[1].extra, 7u);
    QCOMPARE(int(frames[1].level), 5);
    const auto records = all<DATA_T>(out);
    QCOMPARE(records[2].extra, 0u);  // middle parts carry no extra byte
}

void tst_zvr3parser::interleavedStreams()
{
    zvr3parser parser;
    const QByteArray s = header() + index(1) + data(1, 2, "A1", 10, 1) + data(3, 2, "B1", 20, 1) + data(1, 0, "A2")
        + data(3, 1, "B2") + data(1, 1, "A3");
    const auto frames = all<zvr3parser_combined_DATA_T>(feed(parser, s, 0));
    QCOMPARE(frames.size(), 2);
    QCOMPARE(frames[0].data, QByteArray("B1B2"));
    QCOMPARE(frames[0].time, 1020);
    QCOMPARE(frames[1].data, QByteArray("A1A2A3"));
    QCOMPARE(frames[1].time, 1010);
}

void tst_zvr3parser::secondFirstPartDropsThePending()
{
    zvr3parser parser;
    const QByteArray s = header() + index(1) + data(1, 2, "old", 1, 1) + data(1, 2, "new", 2, 1) + data(1, 1, "end")
        + data(1, 1, "orphan") + data(1, 0, "orphan");
    const QList<QVariant> out = feed(parser, s, 0);
    QCOMPARE(all<DATA_T>(out).size(), 5);
    const auto frames = all<zvr3parser_combined_DATA_T>(out);
    QCOMPARE(frames.size(), 1);
    QCOMPARE(frames[0].data, QByteArray("newend"));
}

void tst_zvr3parser::indexDropsPendingFrames()
{
    zvr3parser parser;
    const QByteArray s = header() + index(1) + data(1, 2, "a", 1, 1) + index(2) + data(1, 1, "b");
    const QList<QVariant> out = feed(parser, s, 0);
    QCOMPARE(all<DATA_T>(out).size(), 2);
    QVERIFY(all<zvr3parser_combined_DATA_T>(out).isEmpty());
    QCOMPARE(all<DATA_T>(out).at(1).time, 2000);
}

void tst_zvr3parser::videoStartSetsTheTime()
{
    zvr3parser parser;
    const QByteArray frame = data(1, 3, "frame", 999, 4000000000u, 0xAB);
    QCOMPARE(frame.size(), 8 + 5);
    const QByteArray s = header() + index(4000000000u) + data(2, 3, "early") + frame + data(2, 3, "late");
    const QList<QVariant> out = feed(parser, s, 0);
    const auto records = all<DATA_T>(out);
    QCOMPARE(records.size(), 3);
    QCOMPARE(records[0].time, Q_INT64_C(4000000000000));  // before any frame start: the index time
    QCOMPARE(records[1].time, Q_INT64_C(4000000000999));
    QCOMPARE(records[1].extra, 0xABu);
    QCOMPARE(records[2].time, Q_INT64_C(4000000000999));
    QCOMPARE(records[2].extra, 0u);
    QCOMPARE(all<zvr3parser_position>(out).at(4).length, 13);
}

void tst_zvr3parser::unlistedStreamHasShortHeader()
{
    zvr3parser parser;
    // Stream 9 is not in the header: part 3 does not make it a video frame start.
    const QByteArray s = header() + index(3) + data(9, 3, "abc") + data(9, 3, QByteArray());
    const QList<QVariant> out = feed(parser, s, 0);
    const auto records = all<DATA_T>(out);
    QCOMPARE(records.size(), 2);
    QCOMPARE(records[0].data, QByteArray("abc"));
    QCOMPARE(records[0].time, 3000);
    QCOMPARE(records[1].size, 0u);
    QCOMPARE(records[1].data, QByteArray());
    QCOMPARE(all<zvr3parser_position>(out).last().length, 4);
}

void tst_zvr3parser::dataWithoutIndexFallsBack()
{
    zvr3parser parser;
    const QByteArray first = header();
    const QByteArray s = first + data(2, 3, "lost audio") + header(QStringLiteral("again")) + index(1);
    const QList<QVariant> out = feed(parser, s, 0);
    QCOMPARE(typeNames(out), QStringList({"pos7", "pos1", "HDR_T", "pos7", "pos1", "HDR_T", "pos3", "IDX_T"}));
    const auto pos = all<zvr3parser_position>(out);
    QCOMPARE(pos[2].position, first.size());
    QCOMPARE(pos[2].length, 14);  // the skipped data record
}

void tst_zvr3parser::magicInsidePayloadIsARecord()
{
    zvr3parser parser;
    // A data record whose size, flags and stream bytes read 05 B5 B5 B5 is taken for an index record.
    const QByteArray s = header() + index(1) + zvr3test::hex("05 B5 B5 B5") + QByteArray(9, '\0');
    const QList<QVariant> out = feed(parser, s, 0);
    QCOMPARE(all<IDX_T>(out).size(), 2);
    QVERIFY(all<DATA_T>(out).isEmpty());
}

void tst_zvr3parser::resetRestartsPositions()
{
    zvr3parser parser;
    feed(parser, header() + index(1) + data(1, 2, "pending", 0, 1), 0);
    parser.reset();
    const QList<QVariant> out = feed(parser, "xx" + header() + index(2) + data(1, 1, "tail"), 0);
    const auto pos = all<zvr3parser_position>(out);
    QCOMPARE(pos.first().position, 0);
    QCOMPARE(pos.first().length, 2);
    QVERIFY(all<zvr3parser_combined_DATA_T>(out).isEmpty());
}

void tst_zvr3parser::chunkInvariance_data()
{
    QTest::addColumn<int>("chunkSize");
    QTest::newRow("1") << 1;
    QTest::newRow("7") << 7;
    QTest::newRow("1460") << 1460;
    QTest::newRow("65536") << 65536;
}

void tst_zvr3parser::chunkInvariance()
{
    QFETCH(int, chunkSize);
    const QByteArray s = mixedStream();
    zvr3parser whole;
    const QList<QVariant> expected = feed(whole, s, 0);
    QCOMPARE(all<zvr3parser_combined_DATA_T>(expected).size(), 6);
    zvr3parser chunked;
    const QList<QVariant> out = feed(chunked, s, chunkSize);
    QCOMPARE(withoutSkips(out), withoutSkips(expected));
    QCOMPARE(skipped(out), skipped(expected));
}

void tst_zvr3parser::truncatedStreamsGivePrefixes()
{
    // Wherever a stream ends, what came out is a prefix of what the whole stream gives: a record
    // whose length points past the end waits instead of being read.
    QByteArray s = header() + index(1) + data(1, 2, QByteArray(300, 'v'), 3, 1) + data(2, 3, QByteArray(40, 's'));
    s += data(1, 1, "end") + zvr3stream::encodeChunkHeader({5, 6, 7, 8}) + index(2) + data(3, 3, "j", 0, 2);
    zvr3parser whole;
    const QStringList expected = withoutSkips(feed(whole, s, 0));
    for (int cut = 0; cut < s.size(); ++cut) {
        zvr3parser parser;
        const QStringList got = withoutSkips(feed(parser, s.left(cut), 0));
        QVERIFY2(got.size() < expected.size(), qPrintable(QString::number(cut)));
        QCOMPARE(got, expected.mid(0, got.size()));
    }
}

void tst_zvr3parser::hostileInput_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("chunkSize");
    const QByteArray magic = zvr3test::hex("B5 B5 05 B5");
    QTest::newRow("header lengths past the end") << magic + zvr3test::hex("FF FF FF FF") + QByteArray(100, 'n') << 3;
    QTest::newRow("header lengths too small") << magic + zvr3test::hex("00 00 00 00 41 00") + index(1) + data(2, 3, "x") << 1;
    QTest::newRow("text without zero") << magic + zvr3test::hex("20 00 00 00") + QByteArray(64, 'q') << 5;
    QTest::newRow("only magic words") << (magic + zvr3test::hex("05 B5 B5 B5 05 E5 E5 E5")).repeated(50) << 7;
    QTest::newRow("index length past the end") << header() + zvr3test::hex("05 B5 B5 B5 00 00 00 00 00 00 00 00 FF 01") << 2;
    QTest::newRow("data size past the end") << header() + index(1) + zvr3test::hex("FF FF C1 01 10 00") << 1;
    QByteArray noise;
    quint32 x = 12345;
    for (int i = 0; i < 200000; ++i) {
        x = x * 1103515245u + 12345u;
        const int pick = int(x >> 24) % 8;
        noise += pick == 0 ? magic : pick == 1 ? index(x) : QByteArray(1, char(x >> 16));
    }
    QTest::newRow("noise and magic words") << noise << 1460;
    QByteArray flipped = mixedStream();
    for (int i = 0; i < flipped.size(); i += 97)
        flipped[i] = char(flipped[i] ^ 0x5A);
    QTest::newRow("damaged stream") << flipped << 13;
}

void tst_zvr3parser::hostileInput()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, chunkSize);
    zvr3parser parser;
    const QList<QVariant> out = feed(parser, bytes, chunkSize);
    // The reported records cover the bytes one after the other, never beyond what arrived.
    qint64 next = 0;
    for (const zvr3parser_position &p : all<zvr3parser_position>(out)) {
        QCOMPARE(p.position, next);
        QVERIFY(p.length >= 0);
        next += p.length;
    }
    QVERIFY(next <= bytes.size());
}

QTEST_GUILESS_MAIN(tst_zvr3parser)
#include "tst_zvr3parser.moc"
