#include <QtTest>

#include "zvr3archive.h"
#include "zvr3archive_priv_file.h"
#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3metatype_p.h"
#include "zvr3parser.h"
#include "zvr3saver.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"

using zvr3test::feed;
using zvr3test::listing;

// Archive files: the saver that writes them, and the reader that collects their seek entries and
// text events.
class tst_zvr3archive : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void frameStartWraps();
    void saver_data();
    void saver();
    void saverDestroyedWhileOpen();
    void scan_data();
    void scan();
    void scanGeneratedRecording();
    void textBeforeFirstIndex();

private:
    QString write(const QByteArray &bytes);
    QTemporaryDir dir;
    int files = 0;
};

namespace {

const STREAM_T Video{1, 1, "H264", "", ""};
const STREAM_T Audio{2, 2, "ima1", "", "-rate=8000"};
const STREAM_T Text{5, 4, "text", "", ""};
const STREAM_T Nmea{6, 4, "nmea", "", ""};

HDR_T header(const QVector<STREAM_T> &streams, const QString &name = "rec")
{
    return HDR_T{0, 0, name, streams, {{7, "p"}}};
}

// A data record: size, level, marked, part, stream, time, extra, payload.
DATA_T record(unsigned stream, unsigned part, const QByteArray &payload, qint64 time = 0)
{
    return DATA_T{unsigned(payload.size()), 0, false, part, stream, time, 0, payload};
}

QVariant open(const QUrl &url)
{
    return zvr3value(zvr3command(2, url));
}

QVariant open(const QString &path)
{
    return open(QUrl::fromLocalFile(path));
}

QVariant close()
{
    return zvr3value(zvr3command(3));
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The headers, index records, data records and whole frames of a parse, rendered.
QStringList kept(const QList<QVariant> &values)
{
    return listing(values).filter(QRegularExpression(R"re(^\{"record": "(HDR_T|IDX_T|DATA_T|zvr3parser_combined_DATA_T)")re"));
}

// Builds an archive file and, beside it, the seek entries that scanning it must give.
struct File
{
    File &header(const QVector<STREAM_T> &streams)
    {
        bytes += zvr3stream::encodeHeader(::header(streams, "cam"));
        return *this;
    }
    File &chunk()
    {
        bytes += zvr3stream::encodeChunkHeader({1, 2, 3, 4});
        return *this;
    }
    // An index record; its seek entry is the offset it starts at.
    File &index(quint32 seconds)
    {
        ZVR_ID3_REC entry;
        entry.position = bytes.size();
        entry.time = qint64(seconds) * 1000;
        seek.append(zvr3value(entry));
        bytes += zvr3stream::encodeIndex({seconds, 77, "ab"});
        last = seconds;
        return *this;
    }
    File &data(unsigned stream, unsigned part, const QByteArray &payload)
    {
        bytes += zvr3stream::encodeData(record(stream, part, payload), stream == 1 && (part & 2), last);
        return *this;
    }
    File &text(const QByteArray &payload) { return data(Text.number, 3, payload); }

    QByteArray bytes;
    QList<QVariant> seek;
    quint32 last = 0;
};

QVariant events(std::initializer_list<EVENTS_FILE_DATA_T> list)
{
    return zvr3value(EVENTS_FILE_LIST_T(list));
}

} // namespace

QString tst_zvr3archive::write(const QByteArray &bytes)
{
    const QString path = dir.filePath(QStringLiteral("f%1.zvr").arg(++files));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void tst_zvr3archive::roundTrip_data()
{
    QTest::addColumn<QByteArray>("stream");

    // Several headers and streams; frames over 65,535 bytes give first, middle and last parts.
    zvr3stream::Recording big;
    big.seconds = 3;
    big.videoStreams = 2;
    big.framesPerSecond = 5;
    big.minFrameBytes = 0;
    big.maxFrameBytes = 150000;
    zvr3stream::Recording second;
    second.seconds = 2;
    second.startTime = 1800000000;
    second.videoStreams = 3;
    second.seed = 7;
    zvr3stream::Recording plain = second;
    plain.audio = false;
    plain.text = false;
    plain.startTime = 1900000000;
    QTest::newRow("generated") << zvr3stream::generate(second) + zvr3stream::generate(big) + zvr3stream::generate(plain);

    // Fields the generator leaves alone: index bytes and value, marked and level bits, extra, empty
    // payloads, a stream missing from the header, a header without name or parameters.
    const DATA_T marked{5, 31, true, 3, 1, 50000999, 255, "frame"};
    QByteArray odd = zvr3stream::encodeHeader(HDR_T{0, 0, QString(), {Video, Audio}, {}});
    odd += zvr3stream::encodeIndex({50000, 1234, QByteArray(255, 'x')});
    odd += zvr3stream::encodeData(record(1, 3, QByteArray(), 50000001), true, 50000);
    odd += zvr3stream::encodeData(record(2, 3, QByteArray()), false, 50000);
    odd += zvr3stream::encodeData(marked, true, 50000);
    odd += zvr3stream::encodeData(record(9, 3, "unknown stream"), false, 50000);
    odd += zvr3stream::encodeData(record(1, 2, QByteArray(), 50000500), true, 50000);
    odd += zvr3stream::encodeData(record(1, 0, QByteArray()), false, 50000);
    odd += zvr3stream::encodeData(record(1, 1, "end"), false, 50000);
    odd += zvr3stream::encodeIndex({50001, 0, QByteArray()});
    odd += zvr3stream::encodeData(record(2, 3, "sound"), false, 50001);
    QTest::newRow("odd fields and empty payloads") << odd;
}

void tst_zvr3archive::roundTrip()
{
    QFETCH(QByteArray, stream);
    zvr3parser parser;
    const QList<QVariant> original = feed(parser, stream, 0);
    const QString path = dir.filePath(QStringLiteral("roundtrip.zvr"));
    zvr3saver saver;
    zvr3test::Recorder errors(&saver);
    saver.slotData(open(path));
    for (const QVariant &value : original)
        saver.slotData(value);
    saver.slotData(close());
    QVERIFY(errors.values.isEmpty());

    // The same records come back, but index records with value 0 and data records unmarked.
    QStringList expected = kept(original);
    expected.replaceInStrings(QRegularExpression(R"("value": \d+)"), R"("value": 0)");
    expected.replaceInStrings(R"("marked": true)", R"("marked": false)");
    for (const char *part : {"\"part\": 0", "\"part\": 1", "\"part\": 2", "\"part\": 3"})
        QVERIFY2(expected.join('\n').contains(QLatin1String(part)), part);
    zvr3parser again;
    QCOMPARE(kept(feed(again, contents(path), 1000)), expected);
}

void tst_zvr3archive::frameStartWraps()
{
    // A frame start holds its milliseconds after the index in 16 bits: 70,000 ms is written as 4,464.
    const QString path = dir.filePath(QStringLiteral("wrap.zvr"));
    DATA_T frame{2, 3, true, 3, 1, 100 * 1000 + 70000, 0x42, "ab"};
    {
        zvr3saver saver;
        for (const QVariant &v : {open(path), zvr3value(header({Video})), zvr3value(IDX_T{100, 5, {}}), zvr3value(frame)})
            saver.slotData(v);
    }
    const QByteArray bytes = contents(path);
    // size 2, flags part 3 | level 3 (marked dropped), stream 1, msec 4464, extra, zero, payload.
    QCOMPARE(bytes.right(10).toHex(' '), QByteArray("02 00 c3 01 70 11 42 00 61 62"));
    frame.time -= 65536;
    frame.marked = false;
    zvr3parser parser;
    QVERIFY(listing(feed(parser, bytes, 0)).contains(listing({zvr3value(frame)}).at(0)));
}

void tst_zvr3archive::saver_data()
{
    QTest::addColumn<QList<QVariant>>("input");
    QTest::addColumn<QByteArray>("first");  // what the two files hold afterwards
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QList<QVariant>>("errors");

    const QVariant o1 = open(dir.filePath(QStringLiteral("first.zvr")));
    const QVariant o2 = open(dir.filePath(QStringLiteral("second.zvr")));
    const QVariant h = zvr3value(header({Video, Audio}));
    const QVariant h2 = zvr3value(header({Video, Audio}, "second"));
    const QVariant i = zvr3value(IDX_T{10, 0, "i"});
    const QVariant i2 = zvr3value(IDX_T{20, 0, QByteArray()});
    const QVariant d1 = zvr3value(record(2, 3, "one"));
    const QVariant d2 = zvr3value(record(2, 3, "two"));
    const QByteArray H = zvr3stream::encodeHeader(header({Video, Audio}));
    const QByteArray H2 = zvr3stream::encodeHeader(header({Video, Audio}, "second"));
    const QByteArray I = zvr3stream::encodeIndex({10, 0, "i"});
    const QByteArray I2 = zvr3stream::encodeIndex({20, 0, QByteArray()});
    const QByteArray D1 = zvr3stream::encodeData(record(2, 3, "one"), false, 0);
    const QByteArray D2 = zvr3stream::encodeData(record(2, 3, "two"), false, 0);
    const QList<QVariant> none;

    QTest::newRow("nothing is written before an open") << QList<QVariant>{close(), h, i, d1, o1, i, d2, close()}
                                                       << QByteArray() << QByteArray() << none;
    QTest::newRow("data before the first index is dropped") << QList<QVariant>{o1, h, d1, i, d2, close()} << H + I + D2
                                                            << QByteArray() << none;
    QTest::newRow("records before a header are dropped") << QList<QVariant>{o1, i, d1, h, i, d1, close()} << H + I + D1
                                                         << QByteArray() << none;
    QTest::newRow("a new header waits for an index") << QList<QVariant>{o1, h, i, d1, h2, d2, i2, d2, close()}
                                                     << H + I + D1 + H2 + I2 + D2 << QByteArray() << none;
    QTest::newRow("closing stops writing; closing again does nothing")
        << QList<QVariant>{o1, h, i, d1, close(), close(), d2, h2} << H + I + D1 << QByteArray() << none;
    QTest::newRow("whole frames, positions, chunk headers and bytes are ignored")
        << QList<QVariant>{o1, h, i, zvr3value(zvr3parser_combined_DATA_T(record(2, 3, "one"))),
                           zvr3value(zvr3parser_position{4, 0, 7}), zvr3value(ARCHIVE_T_HDR{1, 2, 3, 4}),
                           QVariant(QByteArray("raw")), QVariant(42), QVariant(), zvr3value(zvr3command(1)), d2, close()}
        << H + I + D2 << QByteArray() << none;
    // The first file is complete while the saver is busy with the second one.
    QTest::newRow("reopening flushes") << QList<QVariant>{o1, h, o2} << H << QByteArray() << none;
    QTest::newRow("reopening truncates") << QList<QVariant>{o1, h, close(), o2, i, h2, o1, close()} << QByteArray() << H2
                                         << none;

    // Refused records leave no trace; the last good header and index still hold.
    HDR_T huge = header({Video, Audio});
    huge.params = {{1, QString(70000, QLatin1Char('p'))}};
    const QVariant tooLarge = zvr3value(zvr3error(-1, "Record too large for the archive file"));
    QTest::newRow("too large") << QList<QVariant>{o1, h, zvr3value(IDX_T{10, 0, QByteArray(256, 'i')}), d1,
                                                  zvr3value(IDX_T{10, 0, QByteArray(255, 'i')}),
                                                  zvr3value(record(2, 3, QByteArray(65536, 'x'))),
                                                  zvr3value(record(2, 3, QByteArray(65535, 'y'))), zvr3value(huge), d2, close()}
                               << H + zvr3stream::encodeIndex({10, 0, QByteArray(255, 'i')})
            + zvr3stream::encodeData(record(2, 3, QByteArray(65535, 'y')), false, 0) + D2
                               << QByteArray() << QList<QVariant>{tooLarge, tooLarge, tooLarge};

    const QString bad = dir.filePath(QStringLiteral("no/such/dir/x.zvr"));
    const QString text = QStringLiteral("Can't open file \"%1\". No such file or directory (5)").arg(bad);
    QTest::newRow("a file that cannot be opened") << QList<QVariant>{o1, h, open(bad), h} << H << QByteArray()
                                                  << QList<QVariant>{zvr3value(zvr3error(-1, text))};
}

void tst_zvr3archive::saver()
{
    QFETCH(QList<QVariant>, input);
    QFETCH(QList<QVariant>, errors);
    QFile::remove(dir.filePath(QStringLiteral("first.zvr")));
    QFile::remove(dir.filePath(QStringLiteral("second.zvr")));
    zvr3saver saver;
    zvr3test::Recorder out(&saver);
    for (const QVariant &value : input)
        saver.slotData(value);
    QCOMPARE(listing(out.values), listing(errors));
    QTEST(contents(dir.filePath(QStringLiteral("first.zvr"))), "first");
    QTEST(contents(dir.filePath(QStringLiteral("second.zvr"))), "second");
}

void tst_zvr3archive::saverDestroyedWhileOpen()
{
    const QString path = dir.filePath(QStringLiteral("destroyed.zvr"));
    auto *saver = new zvr3saver;
    saver->slotData(open(path));
    saver->slotData(zvr3value(header({Video})));
    delete saver;
    // Before any event loop has run the worker's deferred deletion, the file is complete.
    QCOMPARE(contents(path), zvr3stream::encodeHeader(header({Video})));
}

void tst_zvr3archive::scan_data()
{
    QTest::addColumn<QList<QUrl>>("urls");  // opened one after the other
    QTest::addColumn<QList<QVariant>>("expected");

    File none;
    none.header({Video, Audio}).chunk().index(100).data(1, 3, "v").data(2, 3, "a").chunk().index(101).data(1, 2, "v1")
        .data(1, 1, "v2").index(102);
    QTest::newRow("no text stream") << QList<QUrl>{QUrl::fromLocalFile(write(none.bytes))}
                                    << none.seek + QList<QVariant>{events({})};

    File texts;
    texts.header({Video, Text, Nmea}).index(200).data(1, 3, "v").text("first").data(6, 3, "$GPRMC")
        .index(201).data(1, 3, "no text after this index").index(202).text(QByteArray("cut\0here", 8))
        .data(Text.number, 2, "split ").data(Text.number, 0, "in ").data(Text.number, 1, "parts")
        .text("").text("after the last index");
    QTest::newRow("text streams") << QList<QUrl>{QUrl::fromLocalFile(write(texts.bytes))}
        << texts.seek + QList<QVariant>{events({{200000, 1, {{5, "first"}, {6, "$GPRMC"}}},
                                                {202000, 5, {{5, "cut"}, {5, "split in parts"}, {5, ""}, {5, "after the last index"}}}})};

    // Stream 5 is text in the first header only; the second header's table decides afterwards.
    File headers;
    headers.header({Text}).index(300).text("one").header({Audio, {5, 2, "ima1", "", ""}}).index(301).text("sound")
        .header({Nmea}).index(302).data(6, 3, "$GPGGA");
    QTest::newRow("several headers") << QList<QUrl>{QUrl::fromLocalFile(write(headers.bytes))}
        << headers.seek + QList<QVariant>{events({{300000, 1, {{5, "one"}}}, {302000, 5, {{6, "$GPGGA"}}}})};

    QTest::newRow("empty file") << QList<QUrl>{QUrl::fromLocalFile(write(QByteArray()))} << QList<QVariant>{events({})};
    QTest::newRow("not an archive stream") << QList<QUrl>{QUrl::fromLocalFile(write(QByteArray(100000, 'z')))}
                                           << QList<QVariant>{events({})};

    const QString missing = dir.filePath(QStringLiteral("missing.zvr"));
    const QString text = QStringLiteral("Can't open file \"%1\". No such file or directory (5)").arg(missing);
    QTest::newRow("unreadable file") << QList<QUrl>{QUrl::fromLocalFile(missing)}
                                     << QList<QVariant>{zvr3value(zvr3error(-1, text))};

    // Other schemes get a reader that does nothing.
    const QString path = write(texts.bytes);
    QTest::newRow("bare path") << QList<QUrl>{QUrl(path)} << QList<QVariant>();
    QTest::newRow("http") << QList<QUrl>{QUrl(QStringLiteral("http://") + path)} << QList<QVariant>();

    File chunkOnly;
    chunkOnly.header({Text}).chunk().index(2);
    QTest::newRow("second open replaces the reader")
        << QList<QUrl>{QUrl::fromLocalFile(write(headers.bytes)), QUrl::fromLocalFile(write(chunkOnly.bytes))}
        << headers.seek + QList<QVariant>{events({{300000, 1, {{5, "one"}}}, {302000, 5, {{6, "$GPGGA"}}}})}
            + chunkOnly.seek + QList<QVariant>{events({})};
}

void tst_zvr3archive::scan()
{
    QFETCH(QList<QUrl>, urls);
    zvr3archive archive;
    zvr3test::Recorder out(&archive);
    // Before any open: channel selection, values that are not commands, unknown codes.
    archive.slotData(zvr3value(zvr3command(6, QByteArray("\x01"))));
    archive.slotData(QVariant(QByteArray("bytes")));
    archive.slotData(zvr3value(zvr3command(4)));
    for (const QUrl &url : urls)
        archive.slotData(open(url));
    // Channel selection and closing do nothing for files, nor for other schemes.
    archive.slotData(zvr3value(zvr3command(6, QByteArray("\x01"))));
    archive.slotData(zvr3value(zvr3command(7, QByteArray("\x01"))));
    archive.slotData(close());
    QFETCH(QList<QVariant>, expected);
    QCOMPARE(listing(out.values), listing(expected));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// A long recording read in many chunks: one seek entry per second at its index record, one event
// per second with the text and the position sentence.
void tst_zvr3archive::scanGeneratedRecording()
{
    zvr3stream::Recording r;
    r.seconds = 12;
    r.maxFrameBytes = 90000;
    const QByteArray bytes = zvr3stream::generate(r);
    QVERIFY(bytes.size() > 4 * zvr3archive_priv_file::ChunkSize);
    zvr3archive archive;
    zvr3test::Recorder out(&archive);
    archive.slotData(open(write(bytes)));
    QCOMPARE(out.values.size(), r.seconds + 1);
    for (int second = 0; second < r.seconds; ++second) {
        const ZVR_ID3_REC entry = out.values.at(second).value<ZVR_ID3_REC>();
        QCOMPARE(entry.time, (qint64(r.startTime) + second) * 1000);
        QCOMPARE(bytes.mid(entry.position, 4), QByteArray("\x05\xB5\xB5\xB5"));
    }
    const EVENTS_FILE_LIST_T events = out.values.last().value<EVENTS_FILE_LIST_T>();
    QCOMPARE(events.size(), r.seconds);
    QCOMPARE(events.at(11).number, 23u);
    QCOMPARE(events.at(11).time, (qint64(r.startTime) + 11) * 1000);
    QCOMPARE(events.at(11).texts.size(), 2);
    QCOMPARE(events.at(11).texts.at(0).text, QStringLiteral("Motion on channel 4 at second 11"));
    QCOMPARE(events.at(11).texts.at(1).id, zvr3stream::NmeaStream);
}

// A parser never hands out data before an index record, but the collector keeps such texts too:
// they make an event of time 0 and number 0.
void tst_zvr3archive::textBeforeFirstIndex()
{
    zvr3archive_priv_file_evt evt;
    evt.slotData(zvr3value(header({Text})));
    evt.slotData(zvr3value(zvr3parser_combined_DATA_T(record(5, 3, "early"))));
    evt.slotData(zvr3value(record(5, 3, "not a whole frame")));
    evt.slotData(zvr3value(IDX_T{9, 0, QByteArray()}));
    evt.slotData(zvr3value(zvr3parser_combined_DATA_T(record(5, 3, "late"))));
    evt.slotData(zvr3value(zvr3command(2)));
    QCOMPARE(evt.list.size(), 1);
    evt.slotData(close());
    QCOMPARE(listing({zvr3value(evt.list)}), listing({events({{0, 0, {{5, "early"}}}, {9000, 1, {{5, "late"}}}})}));
}

QTEST_GUILESS_MAIN(tst_zvr3archive)
#include "tst_zvr3archive.moc"
