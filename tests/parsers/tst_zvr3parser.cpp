#include <QtTest>

#include "evtparser.h"
#include "id3parser.h"
#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3fakerecorder.h"
#include "zvr3metatype_p.h"
#include "zvr3online.h"
#include "zvr3parser.h"
#include "zvr3parser_buffer.h"
#include "zvr3parser_p.h"
#include "zvr3stream_format_p.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"

using zvr3test::hex;

namespace {

// 53 bytes with the name "rec": streams 1 and 3 are video, 2 is audio.
QByteArray header(const QString &name = QStringLiteral("rec"))
{
    HDR_T h;
    h.name = name;
    h.streams = {{1, 1, QStringLiteral("H264"), QString(), QString()},
                 {2, 2, QStringLiteral("ima1"), QString(), QStringLiteral("-rate=8000")},
                 {3, 1, QStringLiteral("mjpeg"), QString(), QString()}};
    h.params = {{7, QStringLiteral("p")}};
    return zvr3stream::encodeHeader(h);
}

// 15 bytes.
QByteArray index(quint32 seconds)
{
    return zvr3stream::encodeIndex({seconds, 99, QByteArrayLiteral("\x01\x02")});
}

// A data record of level 5; a video frame start gets its milliseconds after indexSeconds.
QByteArray data(int stream, int part, const QByteArray &payload, int msec = -1, quint32 indexSeconds = 0, int extra = 0)
{
    const qint64 time = qint64(indexSeconds) * 1000 + qMax(msec, 0);
    const DATA_T record{0, 5, false, unsigned(part), unsigned(stream), time, unsigned(extra), payload};
    return zvr3stream::encodeData(record, msec >= 0, indexSeconds);
}

// What a parser emits for the bytes in chunks of chunkSize (0: at once). Every other chunk stays
// referenced, as a caller may keep it: the buffer must leave those alone and may reuse the others.
// A held chunk that no longer has its bytes fails the test.
QList<QVariant> parse(const QByteArray &bytes, int chunkSize)
{
    zvr3parser parser;
    zvr3test::Recorder out(&parser);
    QList<std::pair<qsizetype, QByteArray>> kept;
    const qsizetype step = chunkSize > 0 ? chunkSize : qMax<qsizetype>(1, bytes.size());
    for (qsizetype at = 0; at < bytes.size(); at += step) {
        const QByteArray chunk(bytes.constData() + at, qMin(step, bytes.size() - at));  // an array of its own
        parser.slotData(chunk);
        if (at / step % 2)
            kept.append({at, chunk});
    }
    for (const auto &[at, chunk] : std::as_const(kept)) {
        if (!QTest::qVerify(chunk == bytes.mid(at, step), "chunk == bytes.mid(at, step)",
                            qPrintable(QStringLiteral("the held chunk at %1 was changed").arg(at)), __FILE__, __LINE__))
            break;
    }
    return out.values;
}

// One word per emitted value: a position report as type+length; "hdr:" and the header's name;
// "chunk:" and a chunk header's two references; "idx:" and an index time; a data record (d) or a
// whole frame (f) as stream.part@time, then x and the extra byte unless it is 0, then ":" and the
// payload (its length when longer than 20 bytes), and the size field when it is not that length.
QString render(const QList<QVariant> &values)
{
    QStringList words;
    for (const QVariant &v : values) {
        const auto p = v.value<zvr3parser_position>();
        const bool frame = zvr3holds<zvr3parser_combined_DATA_T>(v);
        const DATA_T d = frame ? v.value<zvr3parser_combined_DATA_T>() : v.value<DATA_T>();
        const QString extra = d.extra ? QStringLiteral("x%1").arg(d.extra) : QString();
        const QString payload = d.data.size() > 20 ? QString::number(d.data.size()) : QString::fromLatin1(d.data);
        const QString size = d.size == unsigned(d.data.size()) ? QString() : QStringLiteral("(size %1)").arg(d.size);
        if (zvr3holds<zvr3parser_position>(v))
            words << QStringLiteral("%1+%2").arg(p.type).arg(p.length);
        else if (zvr3holds<HDR_T>(v))
            words << "hdr:" + v.value<HDR_T>().name;
        else if (zvr3holds<ARCHIVE_T_HDR>(v))
            words << QStringLiteral("chunk:%1/%2").arg(v.value<ARCHIVE_T_HDR>().ref_high).arg(v.value<ARCHIVE_T_HDR>().ref_low);
        else if (zvr3holds<IDX_T>(v))
            words << QStringLiteral("idx:%1").arg(v.value<IDX_T>().time);
        else
            words << QStringLiteral("%1%2.%3@%4").arg(frame ? 'f' : 'd').arg(d.stream).arg(d.part).arg(d.time) + extra
                    + ':' + payload + size;
    }
    return words.join(' ');
}

// Payload bytes that differ from record to record and along the record.
QByteArray pattern(int size, int seed)
{
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        out[i] = char(i * 31 + seed * 7 + i / 251);
    return out;
}

// About 9 KB of stream: a header with video, sound and text streams; frames in parts, one part
// long enough to be collected across chunks (and one longer than a stitched copy), whole frames,
// sound records, texts, a chunk header, index records and a second header.
QByteArray mixedStream()
{
    HDR_T h;
    h.name = QStringLiteral("mixed");
    h.streams = {{1, 1, QStringLiteral("H264"), QString(), QString()},
                 {2, 2, QStringLiteral("ima1"), QString(), QStringLiteral("-rate=8000")},
                 {4, 4, QStringLiteral("text"), QStringLiteral("Events"), QString()}};
    const QByteArray head = zvr3stream::encodeHeader(h);
    QByteArray out = "junk" + head + zvr3stream::encodeChunkHeader({1, 2, 3, 4});
    int seed = 0;
    quint32 second = 100;
    // A record of a payload of its own; a video frame start (msec >= 0) timed after the index.
    const auto add = [&](int stream, int part, int size, int msec = -1) {
        ++seed;
        out += data(stream, part, pattern(size, seed), msec, second, msec >= 0 ? seed : 0);
    };
    for (; second < 102; ++second) {
        out += index(second);
        add(1, 2, 70, 40);
        add(2, 3, 320);
        add(1, 0, 1500 + 700 * int(second - 100));
        out += data(4, 3, QByteArray("motion\0", 7));
        for (int i = 0; i < 3; ++i)
            add(2, 3, 320);
        add(1, 1, 900);
        add(1, 3, 1100, 80);
        add(1, 2, 30, 120);
        add(2, 3, 320);
        add(1, 1, 2);
    }
    out += head + index(second);
    add(2, 3, 320);
    return out + data(4, 3, QByteArray("end\0", 4));
}

// One line per emitted value, positions included; payloads by their length and a hash of their bytes.
QByteArrayList records(const QList<QVariant> &values)
{
    QByteArrayList out;
    out.reserve(values.size());
    char line[160];
    for (const QVariant &v : values) {
        if (zvr3holds<zvr3parser_position>(v)) {
            const auto p = v.value<zvr3parser_position>();
            std::snprintf(line, sizeof line, "at %lld+%d type %d", qlonglong(p.position), p.length, p.type);
        } else if (zvr3holds<DATA_T>(v) || zvr3holds<zvr3parser_combined_DATA_T>(v)) {
            const bool frame = zvr3holds<zvr3parser_combined_DATA_T>(v);
            const DATA_T &d = frame ? *static_cast<const zvr3parser_combined_DATA_T *>(v.constData())
                                    : *static_cast<const DATA_T *>(v.constData());
            std::snprintf(line, sizeof line, "%s %u.%u@%lld x%u size %u level %d: %lld bytes, hash %zu",
                          frame ? "frame" : "data", d.stream, d.part, qlonglong(d.time), d.extra, d.size,
                          int(d.level), qlonglong(d.data.size()), size_t(qHash(d.data)));
        } else {
            out << render({v}).toUtf8();
            continue;
        }
        out << QByteArray(line);
    }
    return out;
}

const QStringList Broken = {QStringLiteral("broken")};

// The listing without the reports of skipped bytes, which depend on how the bytes were chunked; or
// Broken when the position reports do not cover the stream one record after the other from 0,
// or go beyond the size bytes that arrived.
QStringList withoutSkips(const QList<QVariant> &values, qint64 size)
{
    QList<QVariant> kept;
    qint64 next = 0;
    for (const QVariant &v : values) {
        const bool position = zvr3holds<zvr3parser_position>(v);
        const auto p = v.value<zvr3parser_position>();
        if (position && (p.position != next || p.length < 0))
            return Broken;
        next += position ? p.length : 0;
        if (!position || p.type != 7)
            kept.append(v);
    }
    return next <= size ? zvr3test::listing(kept) : Broken;
}

} // namespace

// The stream parser; then the parser base with its buffer, and the parsers of index and event files.
class tst_zvr3parser : public QObject
{
    Q_OBJECT
private slots:
    void streams_data()
    {
        // The stream, and what it gives in one chunk; null for broken input.
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        const QString start = QStringLiteral("7+0 1+53 hdr:rec 3+15 ");
        // Every path at once: garbage before the header, a chunk header, parts of interleaved
        // frames, a payload long enough to be collected across chunks, empty payloads, a frame
        // start whose stream has no entry (a 4-byte header), data right after a header (skipped
        // up to the next header) and a second header.
        QByteArray mixed = "junk" + header() + zvr3stream::encodeChunkHeader({1, 2, 3, 4}) + index(100);
        mixed += data(1, 2, QByteArray(70, 'a'), 40, 100, 1) + data(3, 2, QByteArray(10, 'x'), 50, 100);
        mixed += data(2, 3, QByteArray(32, 's')) + data(1, 0, QByteArray(3000, 'b')) + data(3, 1, "yy");
        mixed += data(1, 1, "c") + data(9, 3, QByteArray()) + data(1, 3, "w", 900, 100);
        mixed += index(101) + data(2, 3, QByteArray(), -1) + header(QStringLiteral("second"));
        mixed += data(2, 3, "lost") + header() + index(102) + data(1, 3, "z", 7, 102);
        QTest::newRow("parts make one frame")
            << header() + index(10) + data(1, 2, "first", 250, 10, 7) + data(2, 3, "snd") + data(1, 0, "mid1")
                   + data(1, 0, "mid2") + data(1, 1, "last")
            << start + "idx:10 4+13 d1.2@10250x7:first 4+7 d2.3@10250:snd f2.3@10250:snd 4+8 d1.0@10250:mid1 "
                       "4+8 d1.0@10250:mid2 4+8 d1.1@10250:last f1.2@10250x7:firstmid1mid2last";
        QTest::newRow("a first part or a whole frame drops the pending one")
            << header() + index(1) + data(1, 2, "old", 1, 1) + data(1, 2, "new", 2, 1) + data(1, 1, "end")
                   + data(1, 2, "cut", 3, 1) + data(1, 3, "W", 4, 1) + data(1, 1, "orphan") + data(1, 0, "orphan")
            << start + "idx:1 4+11 d1.2@1001:old 4+11 d1.2@1002:new 4+7 d1.1@1002:end f1.2@1002:newend "
                       "4+11 d1.2@1003:cut 4+9 d1.3@1004:W f1.3@1004:W 4+10 d1.1@1004:orphan 4+10 d1.0@1004:orphan";
        QTest::newRow("index drops pending frames; chunk header; header without a name")
            << header() + index(1) + data(1, 2, "a", 1, 1) + zvr3stream::encodeChunkHeader({5, 6, 7, 8}) + index(2)
                   + data(1, 1, "b") + header(QString()) + index(3)
            << start + "idx:1 4+9 d1.2@1001:a 2+20 chunk:5/6 3+15 idx:2 4+5 d1.1@2000:b 7+0 1+50 hdr: 3+15 idx:3";
        QTest::newRow("video frame start sets the time")
            << header() + index(4000000000u) + data(2, 3, "early") + data(1, 3, "frame", 999, 4000000000u, 0xAB)
                   + data(2, 3, "late")
            << start + "idx:4000000000 4+9 d2.3@4000000000000:early f2.3@4000000000000:early "
                       "4+13 d1.3@4000000000999x171:frame f1.3@4000000000999x171:frame "
                       "4+8 d2.3@4000000000999:late f2.3@4000000000999:late";
        QTest::newRow("magic word in a data record") << header() + index(1) + hex("05 B5 B5 B5") + QByteArray(9, '\0')
                                                     << start + "idx:1 3+13 idx:0";
        QTest::newRow("every path")
            << mixed
            << "7+4 1+53 hdr:rec 2+20 chunk:1/2 3+15 idx:100 4+78 d1.2@100040x1:70 4+18 d3.2@100050:xxxxxxxxxx "
               "4+36 d2.3@100050:32 f2.3@100050:32 4+3004 d1.0@100050:3000 4+6 d3.1@100050:yy f3.2@100050:xxxxxxxxxxyy "
               "4+5 d1.1@100050:c f1.2@100040x1:3071 4+4 d9.3@100050: f9.3@100050: 4+9 d1.3@100900:w f1.3@100900:w "
               "3+15 idx:101 4+4 d2.3@101000: f2.3@101000: 7+0 1+56 hdr:second 7+8 1+53 hdr:rec 3+15 idx:102 "
               "4+9 d1.3@102007:z f1.3@102007:z";
        const QByteArray magic = hex("B5 B5 05 B5");
        QTest::newRow("header lengths past the end") << magic + hex("FF FF FF FF") + QByteArray(100, 'n') << QString();
        QTest::newRow("header lengths too small") << magic + hex("00 00 00 00 41 00") + index(1) + data(2, 3, "x")
                                                  << QString();
        QTest::newRow("text without zero") << magic + hex("20 00 00 00") + QByteArray(64, 'q') << QString();
        QTest::newRow("index length past the end") << header() + hex("05 B5 B5 B5 00 00 00 00 00 00 00 00 FF 01")
                                                   << QString();
        QTest::newRow("data size past the end") << header() + index(1) + hex("FF FF C1 01 10 00") << QString();
        QByteArray noise;
        quint32 x = 12345;
        for (int i = 0; i < 20000; ++i) {
            x = x * 1103515245u + 12345u;
            const int pick = int(x >> 24) % 8;
            noise += pick == 0 ? magic : pick == 1 ? index(x) : QByteArray(1, char(x >> 16));
        }
        QTest::newRow("noise and magic words") << noise << QString();
        QByteArray flipped = mixed;
        for (int i = 0; i < flipped.size(); i += 97)
            flipped[i] = char(flipped[i] ^ 0x5A);
        QTest::newRow("damaged stream") << flipped << QString();
    }

    void streams()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        const QList<QVariant> whole = parse(bytes, 0);
        if (!expected.isNull())
            QCOMPARE(render(whole), expected);
        // In chunks the same records come out at the same positions; only the reports of skipped
        // bytes may come in pieces. A broken header is read as far as its bytes have arrived, so
        // for broken input only the positions are checked.
        const QStringList records = withoutSkips(whole, bytes.size());
        QVERIFY(records != Broken);
        // In chunks of 16 bytes, the long payload of "every path" ends inside a chunk that the
        // caller holds, and the buffer takes the rest of that chunk over as it is.
        for (const int chunkSize : {1, 7, 16, 1460}) {
            const QStringList out = withoutSkips(parse(bytes, chunkSize), bytes.size());
            QVERIFY(out != Broken);
            if (!expected.isNull())
                QCOMPARE(out, records);
        }
        // Wherever a stream ends, what came out is a prefix of what the whole stream gives: a
        // record whose length points past the end waits instead of being read.
        for (qsizetype cut = 0; cut < bytes.size() && !expected.isNull(); cut += 1 + bytes.size() / 1000) {
            const QStringList got = withoutSkips(parse(bytes.left(cut), 0), cut);
            QVERIFY(got.size() < records.size());
            QCOMPARE(got, records.mid(0, got.size()));
        }
    }

    void everyChunkSize_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("count");  // the records, and their position reports; -1: not checked
        const QByteArray bytes = mixedStream();
        QTest::newRow("stream") << bytes << 84;
        QByteArray damaged = bytes;
        for (int i = 50; i < damaged.size(); i += 211)
            damaged[i] = char(damaged[i] ^ 0x5A);
        QTest::newRow("damaged") << damaged << -1;
        // Chunks that end while the parser looks for a header.
        QByteArray noise = pattern(12000, 5);
        QVERIFY(!noise.contains(QByteArrayView(zvr3format::StreamHeaderMagicBytes, 4)));
        QTest::newRow("noise between headers")
            << header() + noise + header() + index(2) + data(2, 3, pattern(320, 2)) << 9;
    }

    void everyChunkSize()
    {
        // Cut at every byte, in chunks of every size up to the whole stream, the same records come
        // out at the same positions. Odd sizes come as arrays of their own; even sizes as views of
        // one scratch array that is overwritten after every chunk, as a reader reusing its buffer
        // does: nothing the parser keeps or emits may still refer to it. Large chunks are copied
        // only in part behind a record they complete; with every chunk copied whole instead,
        // everything comes out the same, skipped bytes and damaged headers included.
        QFETCH(QByteArray, bytes);
        QFETCH(int, count);
        QByteArray scratch(bytes.size(), Qt::Uninitialized);
        const auto run = [&](int size) {
            zvr3parser parser;
            zvr3test::Recorder out(&parser);
            for (qsizetype at = 0; at < bytes.size(); at += size) {
                const qsizetype n = qMin<qsizetype>(size, bytes.size() - at);
                if (size % 2) {
                    parser.slotData(bytes.mid(at, n));
                } else {
                    std::memcpy(scratch.data(), bytes.constData() + at, size_t(n));
                    parser.slotData(QByteArray::fromRawData(scratch.constData(), n));
                    scratch.fill('\xEE');
                }
            }
            return records(out.values);
        };
        const auto withoutSkips = [](QByteArrayList lines) {
            lines.removeIf([](const QByteArray &line) { return line.endsWith(" type 7"); });
            return lines;
        };
        const QByteArrayList expected = withoutSkips(run(bytes.size()));
        if (count >= 0)
            QCOMPARE(expected.size(), count);
        const auto restore = qScopeGuard([] { zvr3parser_buffer::stitching = true; });
        for (int size = 1; size <= bytes.size(); ++size) {
            const QByteArrayList got = run(size);
            if (size >= zvr3parser_buffer::StitchFrom) {
                zvr3parser_buffer::stitching = false;
                const QByteArrayList whole = run(size);
                zvr3parser_buffer::stitching = true;
                if (got != whole)
                    QCOMPARE(got, whole);  // reports the first difference, only then
            }
            if (count >= 0 && withoutSkips(got) != expected)
                QCOMPARE(withoutSkips(got), expected);
        }
    }

    void keptPayloadsStayIntact()
    {
        // A receiver keeps the payload of every third record or whole frame and the value of every
        // fifth: they stay as they went out while the parser reads later records and puts later
        // frames together, in arrays it reuses when no receiver kept them.
        QByteArray bytes = header() + index(1);
        for (int i = 0; i < 30; ++i) {
            const int stream = i % 2 ? 3 : 1;
            bytes += data(stream, 2, pattern(100 + 37 * i, i), i, 1) + data(stream, 0, pattern(3000 + 50 * i, i + 100));
            bytes += data(2, 3, pattern(320, i + 200)) + data(stream, 1, pattern(900, i + 300));
            bytes += data(stream, 3, pattern(500 + i, i + 400), i, 1);
        }
        zvr3parser parser;
        QList<QByteArray> sent, keptBytes;  // a copy of every payload as it went out; the kept ones
        QList<QVariant> keptValues;
        QObject::connect(&parser, &zvr3base::sigData, [&](const QVariant &v) {
            const bool frame = zvr3holds<zvr3parser_combined_DATA_T>(v);
            if (!frame && !zvr3holds<DATA_T>(v))
                return;
            const QByteArray payload = frame ? v.value<zvr3parser_combined_DATA_T>().data : v.value<DATA_T>().data;
            if (sent.size() % 3 == 0)
                keptBytes << payload;
            if (sent.size() % 5 == 0)
                keptValues << v;
            sent << QByteArray(payload.constData(), payload.size());
        });
        zvr3test::feed(parser, bytes, 1460);
        QCOMPARE(sent.size(), 30 * 8);
        for (int i = 0; i < keptBytes.size(); ++i)
            QCOMPARE(keptBytes.at(i), sent.at(3 * i));
        for (int i = 0; i < keptValues.size(); ++i) {
            const QVariant &v = keptValues.at(i);
            QCOMPARE(zvr3holds<DATA_T>(v) ? v.value<DATA_T>().data : v.value<zvr3parser_combined_DATA_T>().data,
                     sent.at(5 * i));
        }
    }

    void headerOneBytePerChunk()
    {
        // Every attempt reports a skip, of length 0, until the header is whole.
        QCOMPARE(render(parse(header(), 1)), QStringLiteral("7+0 ").repeated(53) + "1+53 hdr:rec");
    }

    void headerFields()
    {
        QCOMPARE(zvr3test::listing(parse(header(QStringLiteral("\u00e9t\u00e9")), 0)).at(2),
                 QString::fromUtf8(R"({"record": "HDR_T", "streams_end": 52, "params_size": 3, "name": "été", )"
                                   R"("streams": [{"number": 1, "type": 1, "codec": "H264", "text2": "", "text3": ""}, )"
                                   R"({"number": 2, "type": 2, "codec": "ima1", "text2": "", "text3": "-rate=8000"}, )"
                                   R"({"number": 3, "type": 1, "codec": "mjpeg", "text2": "", "text3": ""}], )"
                                   R"("params": [{"id": 7, "text": "p"}]})"));
    }

    void resetRestartsPositions()
    {
        // Reset in the middle of a frame whose long payload is being collected.
        zvr3parser parser;
        zvr3test::feed(parser, (header() + index(1) + data(1, 2, QByteArray(2000, 'p'), 0, 1)).left(1500), 0);
        parser.reset();
        const QByteArray bytes = "xx" + header() + index(2) + data(1, 1, "tail");
        const QList<QVariant> out = zvr3test::feed(parser, bytes, 0);
        QCOMPARE(render(out), QStringLiteral("7+2 1+53 hdr:rec 3+15 idx:2 4+8 d1.1@2000:tail"));
        QVERIFY(withoutSkips(out, bytes.size()) != Broken);  // positions from 0 again
    }

    void resetFromAReceiver()
    {
        // A receiver resets the parser on the last part of a frame, one whose payload was collected
        // across chunks: the frame goes with the reset, and the next stream reads as usual.
        zvr3parser parser;
        QStringList out;
        QObject::connect(&parser, &zvr3base::sigData, [&](const QVariant &v) {
            if (zvr3holds<zvr3parser_position>(v))
                return;
            out << render({v});
            if (zvr3holds<DATA_T>(v) && v.value<DATA_T>().part == 1 && out.size() == 4)
                parser.reset();
        });
        zvr3test::feed(parser, header() + index(1) + data(1, 2, "a", 1, 1) + data(1, 1, QByteArray(2000, 'b')), 700);
        parser.slotData(header() + index(2) + data(1, 1, "c"));
        QCOMPARE(out.join(' '), QStringLiteral("hdr:rec idx:1 d1.2@1001:a d1.1@1001:2000 hdr:rec idx:2 d1.1@2000:c"));
    }

    void frameTooLarge()
    {
        // A frame that grows past the limit while its parts are put together is dropped at once,
        // with an error right after the part that made it too large; its later parts still come
        // out as records, and other streams and the next frame are put together as usual. Fed live,
        // from a recorder through the live source, in pieces that cut the records anywhere.
        zvr3parser_private::setFrameLimitOverride(1000);
        const auto restore = qScopeGuard([] { zvr3parser_private::setFrameLimitOverride(0); });
        zvr3fake::FakeRecorder recorder;
        QVERIFY(recorder.listen());
        const QByteArray stream = header() + index(1) + data(1, 2, QByteArray(500, 'a'), 10, 1)
            + data(1, 0, QByteArray(500, 'b')) + data(1, 1, QByteArray()) + data(1, 2, QByteArray(500, 'c'), 20, 1)
            + data(3, 2, "x", 30, 1) + data(1, 0, QByteArray(1200, 'd')) + data(1, 0, QByteArray(400, 'e')).repeated(3)
            + data(3, 1, "y") + data(1, 1, "z") + data(1, 2, "f", 40, 1) + data(1, 1, "g");
        recorder.onLogin = [&](zvr3fake::FakeSession *s) { s->send(stream, 333); };
        zvr3online source;
        zvr3parser parser;
        QObject::connect(&source, &zvr3base::sigData, &parser, &zvr3base::slotData);
        QStringList out;
        QList<int> pending;  // the streams with a frame still pending when the error comes
        QObject::connect(&parser, &zvr3base::sigData, [&](const QVariant &v) {
            if (zvr3holds<zvr3error>(v)) {
                out << "error:" + v.value<zvr3error>().text;
                QCOMPARE(v.value<zvr3error>().reason, zvr3error::TooLarge);
                pending = zvr3parser_private::get(parser)->partial.keys();
            } else if (!zvr3holds<zvr3parser_position>(v)) {
                out << render({v});
            }
        });
        source.slotData(QVariant::fromValue(zvr3command(2, recorder.url())));
        QTRY_COMPARE(out.join(' '),
                     QStringLiteral("hdr:rec idx:1 d1.2@1010:500 d1.0@1010:500 d1.1@1010: f1.2@1010:1000 d1.2@1020:500 "
                                    "d3.2@1030:x d1.0@1030:1200 error:Frame of stream 1 too large, dropped d1.0@1030:400 "
                                    "d1.0@1030:400 d1.0@1030:400 d3.1@1030:y f3.2@1030:xy d1.1@1030:z d1.2@1040:f "
                                    "d1.1@1040:g f1.2@1040:fg"));
        QCOMPARE(pending, QList<int>{3});
        QCOMPARE(parser.droppedFrames(), 1);
        QVERIFY(zvr3parser_private::get(parser)->partial.isEmpty());
    }

    void unknownValuesPassWithoutEffect()
    {
        // Nothing comes out, and nothing is buffered: no byte is skipped before the next header.
        zvr3parser parser;
        id3parser index;
        evtparser events;
        for (const QVariant &value : {QVariant(), QVariant(42), QVariant(QStringLiteral("\xB5\xB5")),
                                      zvr3value(zvr3command(2, QByteArray("x"))), zvr3value(DATA_T())}) {
            for (zvr3parserbase *node : std::initializer_list<zvr3parserbase *>{&parser, &index, &events}) {
                zvr3test::Recorder out(node);
                node->slotData(value);
                QVERIFY(out.values.isEmpty());
            }
        }
        QCOMPARE(render(zvr3test::feed(parser, hex("B5 B5 05 B5 09 00 00 00 00 00"), 0)), QStringLiteral("7+0 1+9 hdr:"));
    }

    // The buffer's number readers, and appending chunks of every size, are covered by the parser
    // tests: any record cut short or misplaced there changes what the parsers emit.
    void readString_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("from");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("after");
        QTest::newRow("text") << QByteArray("ab\0c", 4) << 0 << QStringLiteral("ab") << 3;
        QTest::newRow("empty text") << QByteArray("\0ab", 3) << 0 << QString() << 1;
        QTest::newRow("no zero yet") << QByteArray("abc") << 0 << QString() << 0;
        QTest::newRow("at the end") << QByteArray("ab") << 2 << QString() << 2;
        QTest::newRow("past the end") << QByteArray("ab") << 9 << QString() << 9;
        QTest::newRow("utf-8") << QByteArray("\xd0\x9a\xd0\xb0\0", 5) << 0 << QStringLiteral("\u041a\u0430") << 5;
    }

    void readString()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, from);
        QFETCH(QString, text);
        QFETCH(int, after);
        zvr3parser_buffer b;
        b.append(bytes);
        QCOMPARE(b.readString(from), text);
        QCOMPARE(from, after);
    }

    void skipPastTheEndCarriesOver()
    {
        zvr3parser_buffer b;
        b.append("abc");
        b.advance(5);  // 2 bytes beyond what has arrived
        b.append("d");  // swallowed by the skip, as is the "e" that follows
        b.append("efgh");
        QCOMPARE(b.available(), 3);
        QCOMPARE(b.position(), 5);
        int pos = 0;
        QCOMPARE(b.readBytes(pos, 3), QByteArray("fgh"));
    }

    void indexFile()
    {
        // Type 1, count 9, unused, position bits 32-39 = 0x01, 4,000,000,000 s, position bits 0-31
        // 0x80000000, pairs 1 to 12; then type 7, count 3, position bits 32-39 = 0.
        const QByteArray file = hex("01 09 FF 01 00 28 6B EE 00 00 00 80 01 02 03 04 05 06 07 08 09 0A 0B 0C"
                                    "07 03 FF 00 00 28 6B EE 00 00 00 80 01 02 03 04 05 06 07 08 09 0A 0B 0C");
        for (const int chunkSize : {0, 10, 1}) {
            id3parser parser;
            QCOMPARE(zvr3test::listing(zvr3test::feed(parser, file, chunkSize)), QStringList({
                R"({"record": "zvr3parser_position", "type": 5, "position": 0, "length": 24})",
                R"({"record": "ZVR_ID3_REC", "type": 1, "count": 6, "position": 6442450944, "time": 4000000000000, "pairs": [[1, 2], [3, 4], [5, 6], [7, 8], [9, 10], [11, 12]]})",
                R"({"record": "zvr3parser_position", "type": 5, "position": 24, "length": 24})",
                R"({"record": "ZVR_ID3_REC", "type": 7, "count": 3, "position": 2147483648, "time": 4000000000000, "pairs": [[1, 2], [3, 4], [5, 6], [7, 8], [9, 10], [11, 12]]})",
            }));
            QVERIFY(zvr3test::feed(parser, QByteArray(23, '\0'), 0).isEmpty());  // a part entry stays unread
        }
    }

    void eventFile()
    {
        // A record without texts, and one whose second text is empty. Repeated, so that chunks
        // end inside every field; a record whose text is cut waits for the text's zero byte.
        const EVENTS_FILE_DATA_T a{Q_INT64_C(4000000000000), 77, {}};
        const EVENTS_FILE_DATA_T b{5000, 0xFFFFFFFF, {{3, QStringLiteral("Motion \u0434")}, {4, QString()}}};
        const QByteArray bytes = (zvr3stream::encodeEvent(a) + zvr3stream::encodeEvent(b)).repeated(50);
        evtparser whole;
        const QStringList expected = zvr3test::listing(zvr3test::feed(whole, bytes, 0));
        QCOMPARE(expected.mid(0, 4), QStringList({
            R"({"record": "zvr3parser_position", "type": 6, "position": 0, "length": 9})",
            R"({"record": "EVENTS_FILE_DATA_T", "time": 4000000000000, "number": 77, "texts": []})",
            R"({"record": "zvr3parser_position", "type": 6, "position": 9, "length": 22})",
            QString::fromUtf8(R"({"record": "EVENTS_FILE_DATA_T", "time": 5000, "number": 4294967295, "texts": [{"id": 3, "text": "Motion д"}, {"id": 4, "text": ""}]})"),
        }));
        QCOMPARE(expected.size(), 200);
        for (const int chunkSize : {1, 7, 1460}) {
            evtparser parser;
            QCOMPARE(zvr3test::listing(zvr3test::feed(parser, bytes, chunkSize)), expected);
        }
    }
};

QTEST_GUILESS_MAIN(tst_zvr3parser)
#include "tst_zvr3parser.moc"
