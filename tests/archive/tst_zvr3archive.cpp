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
using zvr3test::fileBytes;
using zvr3test::hex;
using zvr3test::listing;

// Archive files: the saver that writes them, and the reader that collects their seek entries and
// text events.
class tst_zvr3archive : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip();
    void saver_data();
    void saver();
    void scan_data();
    void scan();
    void textBeforeFirstIndex();

private:
    QString path(const QString &name) const { return dir.filePath(name); }
    QString write(const QByteArray &bytes);
    QTemporaryDir dir;
    int files = 0;
};

namespace {

const STREAM_T Video{1, 1, "H264", "", ""};
const STREAM_T Audio{2, 2, "ima1", "", "-rate=8000"};
const STREAM_T Text{5, 4, "text", "", ""};
const STREAM_T Nmea{6, 4, "nmea", "", ""};

QVariant header(const QVector<STREAM_T> &streams, const QString &name = "rec")
{
    return zvr3value(HDR_T{0, 0, name, streams, {{7, "p"}}});
}

QVariant index(quint64 seconds, const QByteArray &bytes = "ab")
{
    return zvr3value(IDX_T{seconds, 0, bytes});
}

// A data record: size, level, marked, part, stream, time, extra, payload.
DATA_T record(unsigned stream, unsigned part, const QByteArray &payload, qint64 time = 0)
{
    return DATA_T{unsigned(payload.size()), 0, false, part, stream, time, 0, payload};
}

QVariant data(unsigned stream, unsigned part, const QByteArray &payload, qint64 time = 0)
{
    return zvr3value(record(stream, part, payload, time));
}

QVariant open(const QString &path)
{
    return zvr3value(zvr3command(2, QUrl::fromLocalFile(path)));
}

QVariant close()
{
    return zvr3value(zvr3command(3));
}

QVariant events(std::initializer_list<EVENTS_FILE_DATA_T> list)
{
    return zvr3value(EVENTS_FILE_LIST_T(list));
}

// The bytes of records in an archive file; with seek, also the seek entries that scanning the file
// must give: one for each index record, at the offset it starts at.
QByteArray encode(const QList<QVariant> &records, QList<QVariant> *seek = nullptr)
{
    QByteArray bytes;
    quint64 seconds = 0;
    for (const QVariant &v : records) {
        if (zvr3holds<HDR_T>(v)) {
            bytes += zvr3stream::encodeHeader(v.value<HDR_T>());
        } else if (zvr3holds<ARCHIVE_T_HDR>(v)) {
            bytes += zvr3stream::encodeChunkHeader(v.value<ARCHIVE_T_HDR>());
        } else if (zvr3holds<IDX_T>(v)) {
            seconds = v.value<IDX_T>().time;
            if (seek)
                seek->append(zvr3value(ZVR_ID3_REC{0, 0, bytes.size(), qint64(seconds) * 1000, {}}));
            bytes += zvr3stream::encodeIndex(v.value<IDX_T>());
        } else {
            const DATA_T d = v.value<DATA_T>();
            bytes += zvr3stream::encodeData(d, d.stream == 1 && (d.part & 2), seconds);
        }
    }
    return bytes;
}

// The headers, index records, data records and whole frames of a parse, rendered.
QStringList kept(const QList<QVariant> &values)
{
    return listing(values).filter(QRegularExpression(R"re(^\{"record": "(HDR_T|IDX_T|DATA_T|zvr3parser_combined_DATA_T)")re"));
}

} // namespace

QString tst_zvr3archive::write(const QByteArray &bytes)
{
    const QString name = path(QStringLiteral("f%1.zvr").arg(++files));
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(name));
    return name;
}

void tst_zvr3archive::roundTrip()
{
    // Generated recordings with several headers and streams, frames over 65,535 bytes in first,
    // middle and last parts; then fields the generator leaves alone: index bytes and value, marked
    // and level bits, extra, empty payloads, a stream missing from the header, a header without
    // name or parameters.
    zvr3stream::Recording r;
    r.seconds = 3;
    r.videoStreams = 2;
    r.framesPerSecond = 5;
    r.minFrameBytes = 0;
    r.maxFrameBytes = 150000;
    QByteArray stream = zvr3stream::generate(r);
    r.startTime = 1800000000;
    r.audio = false;
    r.text = false;
    stream += zvr3stream::generate(r) + encode({
        zvr3value(HDR_T{0, 0, QString(), {Video, Audio}, {}}), zvr3value(IDX_T{50000, 1234, QByteArray(255, 'x')}),
        data(1, 3, QByteArray(), 50000001), data(2, 3, QByteArray()), zvr3value(DATA_T{5, 31, true, 3, 1, 50000999, 255, "frame"}),
        data(9, 3, "unknown stream"), data(1, 2, QByteArray(), 50000500), data(1, 0, QByteArray()), data(1, 1, "end"),
        index(50001, QByteArray()), data(2, 3, "sound")});
    zvr3parser parser;
    const QList<QVariant> original = feed(parser, stream, 0);
    // Then a frame start 70,000 ms after its index: its milliseconds are written in 16 bits.
    DATA_T late{2, 3, false, 3, 1, 50001000 + 70000, 0x42, "ab"};
    zvr3saver saver;
    zvr3test::Recorder errors(&saver);
    for (const QVariant &value : QList<QVariant>{open(path(QStringLiteral("roundtrip.zvr")))} + original
             + QList<QVariant>{zvr3value(late), close()})
        saver.slotData(value);
    QVERIFY(errors.values.isEmpty());

    // The same records come back, but index records with value 0 and data records unmarked.
    QStringList expected = kept(original);
    expected.replaceInStrings(QRegularExpression(R"("value": \d+)"), R"("value": 0)");
    expected.replaceInStrings(R"("marked": true)", R"("marked": false)");
    late.time -= 65536;
    expected += kept({zvr3value(late), zvr3value(zvr3parser_combined_DATA_T(late))});
    for (const char *part : {"\"part\": 0", "\"part\": 1", "\"part\": 2", "\"part\": 3", "\"marked\": true"})
        QVERIFY2(kept(original).join('\n').contains(QLatin1String(part)), part);
    zvr3parser again;
    QCOMPARE(kept(feed(again, fileBytes(path(QStringLiteral("roundtrip.zvr"))), 1000)), expected);
}

void tst_zvr3archive::saver_data()
{
    QTest::addColumn<QList<QVariant>>("input");
    QTest::addColumn<QByteArray>("first");  // what the two files hold once the saver is gone
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QList<QVariant>>("errors");

    const QVariant o1 = open(path(QStringLiteral("first.zvr")));
    const QVariant o2 = open(path(QStringLiteral("second.zvr")));
    const QVariant h = header({Video, Audio});
    const QVariant h2 = header({Video, Audio}, "second");
    const QVariant i = index(10);
    const QVariant d1 = data(2, 3, "one");
    const QVariant d2 = data(2, 3, "two");
    const QList<QVariant> none;

    QTest::newRow("nothing is written before an open") << QList<QVariant>{close(), h, i, d1, o1, i, d2}
                                                       << QByteArray() << QByteArray() << none;
    QTest::newRow("records before a header or an index are dropped") << QList<QVariant>{o1, i, d1, h, d1, i, d2}
                                                                      << encode({h, i, d2}) << QByteArray() << none;
    QTest::newRow("a new header waits for an index") << QList<QVariant>{o1, h, i, d1, h2, d2, index(20), d2}
                                                     << encode({h, i, d1, h2, index(20), d2}) << QByteArray() << none;
    QTest::newRow("closing stops writing; closing again does nothing") << QList<QVariant>{o1, h, i, d1, close(), close(), d2, h2}
                                                                        << encode({h, i, d1}) << QByteArray() << none;
    QTest::newRow("whole frames, positions, chunk headers and bytes are ignored")
        << QList<QVariant>{o1, h, i, zvr3value(zvr3parser_combined_DATA_T(record(2, 3, "one"))),
                           zvr3value(zvr3parser_position{4, 0, 7}), zvr3value(ARCHIVE_T_HDR{1, 2, 3, 4}),
                           QVariant(QByteArray("raw")), QVariant(42), QVariant(), zvr3value(zvr3command(1)), d2}
        << encode({h, i, d2}) << QByteArray() << none;
    QTest::newRow("reopening flushes and truncates") << QList<QVariant>{o1, h, o2, i, h2, o1}
                                                     << QByteArray() << encode({h2}) << none;
    // A file still open when the saver is destroyed is flushed and closed.
    QTest::newRow("destroyed while open") << QList<QVariant>{o1, h, i, d1} << encode({h, i, d1}) << QByteArray() << none;

    // A small file byte by byte: a stream header, an index record and data records of each kind.
    const QList<QVariant> small{o1, header({Video, Audio}, "cam"), zvr3value(IDX_T{100, 5, "ab"}),
                                zvr3value(DATA_T{3, 31, true, 3, 2, 100000, 0, "snd"}),
                                zvr3value(DATA_T{2, 3, true, 2, 1, 170000, 0x42, "ab"}),
                                zvr3value(DATA_T{1, 0, false, 0, 1, 170000, 0, "c"}),
                                zvr3value(DATA_T{0, 0, false, 3, 9, 170000, 0, ""})};
    const QByteArray smallFile =
        // Stream header: magic; the stream table ends at 40 (8 + name + two entries), 3 bytes of
        // parameters. Name "cam"; stream 1 type 1 "H264" "" ""; stream 2 type 2 "ima1" ""
        // "-rate=8000"; parameter 7 "p".
        hex("B5 B5 05 B5  28 00  03 00  63 61 6D 00"
            "01 01 48 32 36 34 00 00 00"
            "02 02 69 6D 61 31 00 00 2D 72 61 74 65 3D 38 30 30 30 00"
            "07 70 00")
        // Index record: magic, 100 s, the value written as 0, 2 bytes "ab".
        + hex("05 B5 B5 B5  64 00 00 00  00 00 00 00  02 61 62")
        // Sound, a whole frame: size 3, flags part 3 and level 31 (the mark is not written), stream
        // 2, "snd".
        + hex("03 00  DF  02  73 6E 64")
        // The first part of a video frame: size 2, flags part 2 and level 3, stream 1, 70,000 ms after
        // the index in 16 bits (4,464), extra 0x42, a zero byte, "ab".
        + hex("02 00  83  01  70 11  42  00  61 62")
        // A middle part of it: a 4-byte header, "c".
        + hex("01 00  00  01  63")
        // Stream 9, which the header does not list: an empty whole frame.
        + hex("00 00  C0  09");
    QTest::newRow("byte by byte") << small << smallFile << QByteArray() << none;

    // Refused records leave no trace; the last good header and index still hold.
    HDR_T huge = header({Video, Audio}).value<HDR_T>();
    huge.params = {{1, QString(70000, QLatin1Char('p'))}};
    const QVariant tooLarge = zvr3value(zvr3error(-1, "Record too large for the archive file", zvr3error::TooLarge));
    QTest::newRow("too large") << QList<QVariant>{o1, h, index(10, QByteArray(256, 'i')), d1, index(10, QByteArray(255, 'i')),
                                                  data(2, 3, QByteArray(65536, 'x')), data(2, 3, QByteArray(65535, 'y')),
                                                  zvr3value(huge), d2}
                               << encode({h, index(10, QByteArray(255, 'i')), data(2, 3, QByteArray(65535, 'y')), d2})
                               << QByteArray() << QList<QVariant>{tooLarge, tooLarge, tooLarge};

    const QString bad = path(QStringLiteral("no/such/dir/x.zvr"));
    const QString text = QStringLiteral("Can't open file \"%1\". No such file or directory (5)").arg(bad);
    QTest::newRow("a file that cannot be opened") << QList<QVariant>{o1, h, open(bad), h} << encode({h}) << QByteArray()
                                                  << QList<QVariant>{zvr3value(zvr3error(-1, text, zvr3error::FileError))};
}

void tst_zvr3archive::saver()
{
    QFETCH(QList<QVariant>, input);
    QFETCH(QList<QVariant>, errors);
    QFile::remove(path(QStringLiteral("first.zvr")));
    QFile::remove(path(QStringLiteral("second.zvr")));
    {
        zvr3saver saver;
        zvr3test::Recorder out(&saver);
        for (const QVariant &value : input)
            saver.slotData(value);
        QCOMPARE(listing(out.values), listing(errors));
    }
    // Checked before any event loop has run the deferred deletion of the saver's worker.
    QTEST(fileBytes(path(QStringLiteral("first.zvr"))), "first");
    QTEST(fileBytes(path(QStringLiteral("second.zvr"))), "second");
}

void tst_zvr3archive::scan_data()
{
    QTest::addColumn<QList<QUrl>>("urls");  // opened one after the other
    QTest::addColumn<QList<QVariant>>("expected");
    const auto file = [this](const QByteArray &bytes) { return QUrl::fromLocalFile(write(bytes)); };
    const QVariant chunk = zvr3value(ARCHIVE_T_HDR{1, 2, 3, 4});

    QList<QVariant> none;
    const QByteArray noText = encode({header({Video, Audio}), chunk, index(100), data(1, 3, "v"), data(2, 3, "a"), chunk,
                                      index(101), data(1, 2, "v1"), data(1, 1, "v2"), index(102)}, &none);
    QTest::newRow("no text stream") << QList<QUrl>{file(noText)} << none + QList<QVariant>{events({})};

    // Texts cut at a zero byte, frames in parts put together, an empty text, texts after the last
    // index record; frames over several chunks of reading.
    QList<QVariant> texts;
    const QByteArray big(65535, 'v');
    const QByteArray withText = encode({header({Video, Text, Nmea}), index(200), data(1, 3, "v"), data(5, 3, "first"),
        data(6, 3, "$GPRMC"), index(201), data(1, 3, big), data(1, 3, big), data(1, 3, big), data(1, 3, big),
        index(202), data(5, 3, QByteArray("cut\0here", 8)), data(5, 2, "split "), data(5, 0, "in "), data(5, 1, "parts"),
        data(5, 3, ""), data(5, 3, "after the last index")}, &texts);
    QTest::newRow("text streams") << QList<QUrl>{file(withText)}
        << texts + QList<QVariant>{events({{200000, 1, {{5, "first"}, {6, "$GPRMC"}}},
                                           {202000, 5, {{5, "cut"}, {5, "split in parts"}, {5, ""}, {5, "after the last index"}}}})};

    // Stream 5 is text in the first header only; the second header's table decides afterwards.
    QList<QVariant> headers;
    const QByteArray several = encode({header({Text}), index(300), data(5, 3, "one"), header({Audio, {5, 2, "ima1", "", ""}}),
        index(301), data(5, 3, "sound"), header({Nmea}), index(302), data(6, 3, "$GPGGA")}, &headers);
    headers += events({{300000, 1, {{5, "one"}}}, {302000, 5, {{6, "$GPGGA"}}}});
    QTest::newRow("several headers") << QList<QUrl>{file(several)} << headers;
    QTest::newRow("second open replaces the reader") << QList<QUrl>{file(several), file(noText)}
                                                     << headers + none + QList<QVariant>{events({})};

    // Records cut where the file's reads end and where the pieces handed to the parser end: a text
    // frame, an index record, the last part of a text frame; the file is read in blocks of
    // several pieces into one array.
    QList<QVariant> records{header({Video, Audio, Text}), index(400)};
    const auto fillTo = [&records](qint64 offset) {  // sound records up to the offset
        for (qint64 left; (left = offset - encode(records).size()) > 0;)
            records << data(2, 3, QByteArray(int(left > 65539 ? 30000 : left - 4), 'f'));
    };
    const qint64 block = zvr3archive_priv_file::ReadSize, piece = zvr3archive_priv_file::ChunkSize;
    fillTo(block - 5);
    records << data(5, 3, "across blocks");
    fillTo(2 * block - 7);
    records << index(401) << data(5, 2, "first ");
    fillTo(3 * block - 3);
    records << data(5, 0, "mid ") << data(5, 1, "last");
    fillTo(3 * block + piece - 2);
    records << index(402) << data(5, 3, "in a block");
    QList<QVariant> blocks;
    const QByteArray acrossBlocks = encode(records, &blocks);
    QTest::newRow("records across reads")
        << QList<QUrl>{file(acrossBlocks)}
        << blocks + QList<QVariant>{events({{400000, 1, {{5, "across blocks"}}}, {401000, 3, {{5, "first mid last"}}},
                                            {402000, 5, {{5, "in a block"}}}})};

    QTest::newRow("empty file") << QList<QUrl>{file(QByteArray())} << QList<QVariant>{events({})};
    QTest::newRow("not an archive stream") << QList<QUrl>{file(QByteArray(100000, 'z'))} << QList<QVariant>{events({})};
    const QString missing = path(QStringLiteral("missing.zvr"));
    const QString text = QStringLiteral("Can't open file \"%1\". No such file or directory (5)").arg(missing);
    QTest::newRow("unreadable file") << QList<QUrl>{QUrl::fromLocalFile(missing)}
                                     << QList<QVariant>{zvr3value(zvr3error(-1, text, zvr3error::FileError))};
    // Other schemes, a bare path too, get a reader that does nothing.
    QTest::newRow("bare path") << QList<QUrl>{QUrl(write(withText))} << QList<QVariant>();
}

void tst_zvr3archive::scan()
{
    QFETCH(QList<QUrl>, urls);
    QFETCH(QList<QVariant>, expected);
    zvr3archive archive;
    zvr3test::Recorder out(&archive);
    const QVariant select = zvr3value(zvr3command(6, QByteArray("\x01")));
    // Before any open: channel selection, values that are not commands, unknown codes.
    for (const QVariant &v : {select, QVariant(QByteArray("bytes")), zvr3value(zvr3command(4))})
        archive.slotData(v);
    for (const QUrl &url : urls)
        archive.slotData(zvr3value(zvr3command(2, url)));
    // Channel selection and closing do nothing for files, nor for other schemes.
    for (const QVariant &v : {select, zvr3value(zvr3command(7, QByteArray("\x01"))), close()})
        archive.slotData(v);
    QCOMPARE(listing(out.values), listing(expected));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// A parser never hands out data before an index record, but the collector keeps such texts too:
// they make an event of time 0 and number 0.
void tst_zvr3archive::textBeforeFirstIndex()
{
    zvr3archive_priv_file_evt evt;
    for (const QVariant &v : {header({Text}), zvr3value(zvr3parser_combined_DATA_T(record(5, 3, "early"))),
                              data(5, 3, "not a whole frame"), index(9),
                              zvr3value(zvr3parser_combined_DATA_T(record(5, 3, "late"))), zvr3value(zvr3command(2))})
        evt.slotData(v);
    QCOMPARE(evt.list.size(), 1);
    evt.slotData(close());
    QCOMPARE(listing({zvr3value(evt.list)}), listing({events({{0, 0, {{5, "early"}}}, {9000, 1, {{5, "late"}}}})}));
}

QTEST_GUILESS_MAIN(tst_zvr3archive)
#include "tst_zvr3archive.moc"
