#include <QtTest>

#include "zvr3archive.h"
#include "zvr3archive_priv_file.h"
#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3metatype_p.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"

using zvr3test::listing;

namespace {

const STREAM_T Video{1, 1, QStringLiteral("H264"), QString(), QString()};
const STREAM_T Audio{2, 2, QStringLiteral("ima1"), QString(), QString()};
const STREAM_T Text{5, 4, QStringLiteral("text"), QString(), QString()};
const STREAM_T Nmea{6, 4, QStringLiteral("nmea"), QString(), QString()};

DATA_T record(unsigned stream, unsigned part, const QByteArray &payload)
{
    DATA_T r;
    r.stream = stream;
    r.part = part;
    r.data = payload;
    r.size = unsigned(payload.size());
    return r;
}

// Builds an archive file and, beside it, what scanning it must give.
class File
{
public:
    File &header(const QVector<STREAM_T> &streams)
    {
        HDR_T h;
        h.name = QStringLiteral("cam");
        h.streams = streams;
        bytes += zvr3stream::encodeHeader(h);
        return *this;
    }
    File &chunk() { bytes += zvr3stream::encodeChunkHeader({1, 2, 3, 4}); return *this; }
    // An index record; its seek entry is the offset it starts at.
    File &index(quint32 seconds)
    {
        ZVR_ID3_REC entry;
        entry.position = bytes.size();
        entry.time = qint64(seconds) * 1000;
        seek.append(entry);
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
    QList<ZVR_ID3_REC> seek;
    quint32 last = 0;
};

EVENTS_FILE_DATA_T textEvent(qint64 time, unsigned number, const QVector<PARAM_T> &texts)
{
    EVENTS_FILE_DATA_T e;
    e.time = time;
    e.number = number;
    e.texts = texts;
    return e;
}

QVariant openCommand(const QUrl &url)
{
    return zvr3value(zvr3command(2, url));
}

} // namespace

class tst_zvr3archive : public QObject
{
    Q_OBJECT
private slots:
    void scan_data();
    void scan();
    void generatedRecording();
    void unreadableFile();
    void otherSchemes_data();
    void otherSchemes();
    void secondOpenReplacesReader();
    void textBeforeFirstIndex();
    void readerOpenCollectsSilently();

private:
    QString write(const QByteArray &bytes);
    QTemporaryDir dir;
    int files = 0;
};

QString tst_zvr3archive::write(const QByteArray &bytes)
{
    const QString path = dir.filePath(QStringLiteral("f%1.zvr").arg(++files));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void tst_zvr3archive::scan_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<ZVR_ID3_REC>>("seek");
    QTest::addColumn<EVENTS_FILE_LIST_T>("events");

    File none;
    none.header({Video, Audio}).chunk().index(100).data(1, 3, "v").data(2, 3, "a").chunk().index(101).data(1, 2, "v1")
        .data(1, 1, "v2").index(102);
    QTest::newRow("no text stream") << none.bytes << none.seek << EVENTS_FILE_LIST_T();

    File texts;
    texts.header({Video, Text, Nmea}).index(200).data(1, 3, "v").text("first").data(6, 3, "$GPRMC")
        .index(201).data(1, 3, "no text after this index").index(202).text(QByteArray("cut\0here", 8))
        .data(Text.number, 2, "split ").data(Text.number, 0, "in ").data(Text.number, 1, "parts")
        .text("").text("after the last index");
    QTest::newRow("text streams") << texts.bytes << texts.seek
        << EVENTS_FILE_LIST_T{textEvent(200000, 1, {{5, "first"}, {6, "$GPRMC"}}),
                              textEvent(202000, 5, {{5, "cut"}, {5, "split in parts"}, {5, ""}, {5, "after the last index"}})};

    // Stream 5 is text in the first header only; the second header's table decides afterwards.
    File headers;
    headers.header({Text}).index(300).text("one").header({Audio, {5, 2, "ima1", "", ""}}).index(301).text("sound")
        .header({Nmea}).index(302).data(6, 3, "$GPGGA");
    QTest::newRow("several headers") << headers.bytes << headers.seek
        << EVENTS_FILE_LIST_T{textEvent(300000, 1, {{5, "one"}}), textEvent(302000, 5, {{6, "$GPGGA"}})};

    QTest::newRow("empty file") << QByteArray() << QList<ZVR_ID3_REC>() << EVENTS_FILE_LIST_T();
    QTest::newRow("not an archive stream") << QByteArray(100000, 'z') << QList<ZVR_ID3_REC>() << EVENTS_FILE_LIST_T();
}

void tst_zvr3archive::scan()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<ZVR_ID3_REC>, seek);
    QFETCH(EVENTS_FILE_LIST_T, events);
    QList<QVariant> expected;
    for (const ZVR_ID3_REC &entry : std::as_const(seek))
        expected.append(zvr3value(entry));
    expected.append(zvr3value(events));

    zvr3archive archive;
    zvr3test::Recorder out(&archive);
    archive.slotData(openCommand(QUrl::fromLocalFile(write(bytes))));
    QCOMPARE(listing(out.values), listing(expected));
}

// A long recording read in many chunks: one seek entry per second at its index record, one event
// per second with the text and the position sentence.
void tst_zvr3archive::generatedRecording()
{
    zvr3stream::Recording r;
    r.seconds = 12;
    r.maxFrameBytes = 90000;
    const QByteArray bytes = zvr3stream::generate(r);
    QVERIFY(bytes.size() > 4 * 65536);

    zvr3archive archive;
    zvr3test::Recorder out(&archive);
    archive.slotData(openCommand(QUrl::fromLocalFile(write(bytes))));
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

void tst_zvr3archive::unreadableFile()
{
    const QString path = dir.filePath(QStringLiteral("missing.zvr"));
    zvr3archive archive;
    zvr3test::Recorder out(&archive);
    archive.slotData(openCommand(QUrl::fromLocalFile(path)));
    QCOMPARE(out.values.size(), 1);
    QVERIFY(zvr3holds<zvr3error>(out.values.first()));
    const zvr3error error = out.values.first().value<zvr3error>();
    QCOMPARE(error.code, -1);
    QCOMPARE(error.text, QStringLiteral("Can't open file \"%1\". No such file or directory (5)").arg(path));
}

void tst_zvr3archive::otherSchemes_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::newRow("bare path") << QString();
    QTest::newRow("http") << QStringLiteral("http");
}

void tst_zvr3archive::otherSchemes()
{
    QFETCH(QString, scheme);
    File file;
    file.header({Text}).index(5).text("never read");
    const QString path = write(file.bytes);
    QUrl url(path);
    if (!scheme.isEmpty())
        url = QUrl(scheme + QStringLiteral("://") + path);
    QCOMPARE(url.scheme() == QLatin1String("file"), false);

    zvr3archive archive;
    zvr3test::Recorder out(&archive);
    archive.slotData(openCommand(url));
    archive.slotData(zvr3value(zvr3command(6, QByteArray("\x01"))));
    archive.slotData(zvr3value(zvr3command(7, QByteArray("\x01"))));
    archive.slotData(zvr3value(zvr3command(3)));
    QVERIFY(out.values.isEmpty());
}

void tst_zvr3archive::secondOpenReplacesReader()
{
    File a;
    a.header({Text}).index(1).text("a");
    File b;
    b.header({Text}).chunk().index(2);
    zvr3archive archive;
    zvr3test::Recorder out(&archive);
    // Channel selection before any open, values that are not commands, unknown codes: nothing.
    archive.slotData(zvr3value(zvr3command(6, QByteArray("\x01"))));
    archive.slotData(QVariant(a.bytes));
    archive.slotData(zvr3value(zvr3command(4)));
    QVERIFY(out.values.isEmpty());

    archive.slotData(openCommand(QUrl::fromLocalFile(write(a.bytes))));
    archive.slotData(openCommand(QUrl::fromLocalFile(write(b.bytes))));
    QList<QVariant> expected{zvr3value(a.seek.first()), zvr3value(EVENTS_FILE_LIST_T{textEvent(1000, 1, {{5, "a"}})}),
                             zvr3value(b.seek.first()), zvr3value(EVENTS_FILE_LIST_T())};
    QCOMPARE(listing(out.values), listing(expected));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// A parser never hands out data before an index record, but the collector keeps such texts too:
// they make an event of time 0 and number 0.
void tst_zvr3archive::textBeforeFirstIndex()
{
    HDR_T h;
    h.streams = {Text};
    zvr3archive_priv_file_evt evt;
    evt.slotData(zvr3value(h));
    evt.slotData(zvr3value(zvr3parser_combined_DATA_T(record(5, 3, "early"))));
    evt.slotData(zvr3value(DATA_T(record(5, 3, "not a whole frame"))));
    evt.slotData(zvr3value(IDX_T{9, 0, QByteArray()}));
    evt.slotData(zvr3value(zvr3parser_combined_DATA_T(record(5, 3, "late"))));
    evt.slotData(zvr3value(zvr3command(2)));
    QCOMPARE(evt.list.size(), 1);
    evt.slotData(zvr3value(zvr3command(3)));
    QCOMPARE(listing({zvr3value(evt.list)}),
             listing({zvr3value(EVENTS_FILE_LIST_T{textEvent(0, 0, {{5, "early"}}), textEvent(9000, 1, {{5, "late"}})})}));
}

// A code-2 command given to the file reader itself scans into the collections (a second scan
// appends) and emits nothing.
void tst_zvr3archive::readerOpenCollectsSilently()
{
    File file;
    file.header({Text}).index(3).text("t");
    const QUrl url = QUrl::fromLocalFile(write(file.bytes));
    zvr3archive_priv_file reader;
    reader.url = url;
    zvr3test::Recorder out(&reader);
    reader.slotData(openCommand(url));
    reader.slotData(openCommand(url));
    QVERIFY(out.values.isEmpty());
    QCOMPARE(reader.idx.list.size(), 2);
    QCOMPARE(reader.idx.list.at(1).position, file.seek.first().position);
    QCOMPARE(reader.evt.list.size(), 2);
    QCOMPARE(reader.evt.list.at(1).number, 3u);
}

QTEST_GUILESS_MAIN(tst_zvr3archive)
#include "tst_zvr3archive.moc"
