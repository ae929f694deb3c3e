#include <QtTest>

#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3metatype_p.h"
#include "zvr3parser.h"
#include "zvr3saver.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"

using zvr3test::feed;
using zvr3test::listing;

namespace {

const STREAM_T Video{1, 1, QStringLiteral("H264"), QString(), QString()};
const STREAM_T Audio{2, 2, QStringLiteral("ima1"), QString(), QStringLiteral("-rate=8000")};

QVariant open(const QString &path)
{
    return zvr3value(zvr3command(2, QUrl::fromLocalFile(path)));
}

QVariant close()
{
    return zvr3value(zvr3command(3));
}

HDR_T header(const QString &name = QStringLiteral("rec"))
{
    HDR_T h;
    h.name = name;
    h.streams = {Video, Audio};
    h.params = {{7, QStringLiteral("p")}};
    return h;
}

DATA_T data(unsigned stream, unsigned part, const QByteArray &payload, qint64 time = 0)
{
    DATA_T r;
    r.stream = stream;
    r.part = part;
    r.data = payload;
    r.size = unsigned(payload.size());
    r.time = time;
    return r;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The headers, index records, data records and whole frames of a parse, rendered. With normalise,
// as they must come back from a round trip: index value 0 and marked false.
QStringList kept(const QList<QVariant> &values, bool normalise)
{
    QList<QVariant> out;
    for (const QVariant &v : values) {
        if (normalise && zvr3holds<IDX_T>(v)) {
            IDX_T idx = v.value<IDX_T>();
            idx.value = 0;
            out.append(zvr3value(idx));
        } else if (normalise && zvr3holds<DATA_T>(v)) {
            DATA_T d = v.value<DATA_T>();
            d.marked = false;
            out.append(zvr3value(d));
        } else if (normalise && zvr3holds<zvr3parser_combined_DATA_T>(v)) {
            zvr3parser_combined_DATA_T d = v.value<zvr3parser_combined_DATA_T>();
            d.marked = false;
            out.append(zvr3value(d));
        } else if (zvr3holds<HDR_T>(v) || zvr3holds<IDX_T>(v) || zvr3holds<DATA_T>(v)
                   || zvr3holds<zvr3parser_combined_DATA_T>(v)) {
            out.append(v);
        }
    }
    return listing(out);
}

} // namespace

class tst_zvr3saver : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void frameStartWraps();
    void stateTable_data();
    void stateTable();
    void reopenFlushesAndTruncates();
    void tooLarge();
    void openFails();
    void destroyedWhileOpen();

private:
    QTemporaryDir dir;
};

void tst_zvr3saver::roundTrip_data()
{
    QTest::addColumn<QByteArray>("stream");

    zvr3stream::Recording big;
    big.seconds = 3;
    big.videoStreams = 2;
    big.framesPerSecond = 5;
    big.minFrameBytes = 0;
    big.maxFrameBytes = 150000;  // whole frames, and first, middle and last parts
    QTest::newRow("generated, parts of every kind") << zvr3stream::generate(big);

    zvr3stream::Recording second;
    second.seconds = 2;
    second.startTime = 1800000000;
    second.videoStreams = 3;
    second.seed = 7;
    zvr3stream::Recording plain = second;
    plain.audio = false;
    plain.text = false;
    plain.startTime = 1900000000;
    QTest::newRow("several headers") << zvr3stream::generate(second) + zvr3stream::generate(big)
                                            + zvr3stream::generate(plain);

    // Fields the generator leaves alone: index bytes and value, marked and level bits, extra, empty
    // payloads, a stream missing from the header, a header without name or parameters.
    HDR_T bare;
    bare.streams = {Video, Audio};
    DATA_T marked = data(1, 3, "frame", 50000999);
    marked.marked = true;
    marked.level = 31;
    marked.extra = 255;
    QByteArray odd = zvr3stream::encodeHeader(bare);
    odd += zvr3stream::encodeIndex({50000, 1234, QByteArray(255, 'x')});
    odd += zvr3stream::encodeData(data(1, 3, QByteArray(), 50000001), true, 50000);
    odd += zvr3stream::encodeData(data(2, 3, QByteArray()), false, 50000);
    odd += zvr3stream::encodeData(marked, true, 50000);
    odd += zvr3stream::encodeData(data(9, 3, "unknown stream"), false, 50000);
    odd += zvr3stream::encodeData(data(1, 2, QByteArray(), 50000500), true, 50000);
    odd += zvr3stream::encodeData(data(1, 0, QByteArray()), false, 50000);
    odd += zvr3stream::encodeData(data(1, 1, "end"), false, 50000);
    odd += zvr3stream::encodeIndex({50001, 0, QByteArray()});
    odd += zvr3stream::encodeData(data(2, 3, "sound"), false, 50001);
    QTest::newRow("odd fields and empty payloads") << odd;
}

void tst_zvr3saver::roundTrip()
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

    zvr3parser again;
    const QList<QVariant> reread = feed(again, contents(path), 1000);
    const QStringList expected = kept(original, true);
    QVERIFY(expected.size() > 10);
    for (const char *part : {"\"part\": 0", "\"part\": 1", "\"part\": 2", "\"part\": 3"})
        QVERIFY2(expected.join(QLatin1Char('\n')).contains(QLatin1String(part)), part);
    QCOMPARE(kept(reread, false), expected);
}

void tst_zvr3saver::frameStartWraps()
{
    const QString path = dir.filePath(QStringLiteral("wrap.zvr"));
    DATA_T frame = data(1, 3, "ab", 100 * 1000 + 70000);
    frame.extra = 0x42;
    frame.level = 3;
    frame.marked = true;
    {
        zvr3saver saver;
        saver.slotData(open(path));
        HDR_T h;
        h.streams = {Video};
        saver.slotData(zvr3value(h));
        saver.slotData(zvr3value(IDX_T{100, 5, QByteArray()}));
        saver.slotData(zvr3value(frame));
    }
    const QByteArray bytes = contents(path);
    // size 2, flags part 3 | level 3 (marked dropped), stream 1, msec 4464, extra, zero, payload.
    QCOMPARE(bytes.right(10).toHex(' '), QByteArray("02 00 c3 01 70 11 42 00 61 62"));

    zvr3parser parser;
    const QList<QVariant> values = feed(parser, bytes, 0);
    DATA_T back;
    for (const QVariant &v : values) {
        if (zvr3holds<DATA_T>(v))
            back = v.value<DATA_T>();
    }
    QCOMPARE(back.time, frame.time - 65536);
    QCOMPARE(back.extra, 0x42u);
    QCOMPARE(back.marked, false);
}

void tst_zvr3saver::stateTable_data()
{
    QTest::addColumn<QList<QVariant>>("input");
    QTest::addColumn<QByteArray>("expected");

    const QVariant h = zvr3value(header());
    const QVariant h2 = zvr3value(header(QStringLiteral("second")));
    const QVariant i = zvr3value(IDX_T{10, 0, "i"});
    const QVariant i2 = zvr3value(IDX_T{20, 0, QByteArray()});
    const QVariant d1 = zvr3value(data(2, 3, "one"));
    const QVariant d2 = zvr3value(data(2, 3, "two"));
    const QByteArray H = zvr3stream::encodeHeader(header());
    const QByteArray H2 = zvr3stream::encodeHeader(header(QStringLiteral("second")));
    const QByteArray I = zvr3stream::encodeIndex({10, 0, "i"});
    const QByteArray I2 = zvr3stream::encodeIndex({20, 0, QByteArray()});
    const QByteArray D1 = zvr3stream::encodeData(data(2, 3, "one"), false, 0);
    const QByteArray D2 = zvr3stream::encodeData(data(2, 3, "two"), false, 0);

    QTest::newRow("data before the first index is dropped") << QList<QVariant>{h, d1, i, d2} << H + I + D2;
    QTest::newRow("records before a header are dropped") << QList<QVariant>{i, d1, h, i, d1} << H + I + D1;
    QTest::newRow("a new header waits for an index") << QList<QVariant>{h, i, d1, h2, d2, i2, d2} << H + I + D1 + H2 + I2 + D2;
    QTest::newRow("close stops writing") << QList<QVariant>{h, i, d1, close(), d2, h2} << H + I + D1;
    QTest::newRow("close twice") << QList<QVariant>{h, close(), close()} << H;
    QTest::newRow("whole frames, positions, chunk headers and bytes are ignored")
        << QList<QVariant>{h, i, zvr3value(zvr3parser_combined_DATA_T(data(2, 3, "one"))),
                           zvr3value(zvr3parser_position{4, 0, 7}), zvr3value(ARCHIVE_T_HDR{1, 2, 3, 4}),
                           QVariant(QByteArray("raw")), QVariant(42), QVariant(), zvr3value(zvr3command(1)), d2}
        << H + I + D2;
}

void tst_zvr3saver::stateTable()
{
    QFETCH(QList<QVariant>, input);
    QFETCH(QByteArray, expected);
    const QString path = dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + QStringLiteral(".zvr"));
    zvr3saver saver;
    zvr3test::Recorder out(&saver);
    // Nothing is written anywhere before an open.
    saver.slotData(close());
    for (const QVariant &value : input)
        saver.slotData(value);
    QVERIFY(!QFile::exists(path));

    saver.slotData(open(path));
    for (const QVariant &value : input)
        saver.slotData(value);
    saver.slotData(close());
    QCOMPARE(contents(path).toHex(' '), expected.toHex(' '));
    QVERIFY(out.values.isEmpty());
}

void tst_zvr3saver::reopenFlushesAndTruncates()
{
    const QString first = dir.filePath(QStringLiteral("first.zvr"));
    const QString second = dir.filePath(QStringLiteral("second.zvr"));
    zvr3saver saver;
    saver.slotData(open(first));
    saver.slotData(zvr3value(header()));
    saver.slotData(open(second));
    // The first file is complete while the saver is busy with the second one.
    QCOMPARE(contents(first), zvr3stream::encodeHeader(header()));
    saver.slotData(zvr3value(IDX_T{1, 0, QByteArray()}));  // state 1 again: ignored
    saver.slotData(zvr3value(header(QStringLiteral("second"))));
    saver.slotData(open(first));  // emptied
    saver.slotData(close());
    QCOMPARE(contents(first), QByteArray());
    QCOMPARE(contents(second), zvr3stream::encodeHeader(header(QStringLiteral("second"))));
}

void tst_zvr3saver::tooLarge()
{
    const QString path = dir.filePath(QStringLiteral("large.zvr"));
    zvr3saver saver;
    zvr3test::Recorder out(&saver);
    saver.slotData(open(path));
    saver.slotData(zvr3value(header()));
    saver.slotData(zvr3value(IDX_T{10, 0, QByteArray(256, 'i')}));  // refused: no index yet
    saver.slotData(zvr3value(data(2, 3, "lost")));
    saver.slotData(zvr3value(IDX_T{10, 0, QByteArray(255, 'i')}));
    saver.slotData(zvr3value(data(2, 3, QByteArray(65536, 'x'))));
    saver.slotData(zvr3value(data(2, 3, QByteArray(65535, 'y'))));
    HDR_T huge = header();
    huge.params = {{1, QString(70000, QLatin1Char('p'))}};
    saver.slotData(zvr3value(huge));
    saver.slotData(zvr3value(data(2, 3, "kept")));  // the last good header and index still hold
    saver.slotData(close());

    QCOMPARE(out.values.size(), 3);
    for (const QVariant &v : std::as_const(out.values)) {
        QVERIFY(zvr3holds<zvr3error>(v));
        QCOMPARE(v.value<zvr3error>().code, -1);
        QCOMPARE(v.value<zvr3error>().text, QStringLiteral("Record too large for the archive file"));
    }
    const QByteArray expected = zvr3stream::encodeHeader(header()) + zvr3stream::encodeIndex({10, 0, QByteArray(255, 'i')})
        + zvr3stream::encodeData(data(2, 3, QByteArray(65535, 'y')), false, 0)
        + zvr3stream::encodeData(data(2, 3, "kept"), false, 0);
    QCOMPARE(contents(path), expected);
}

void tst_zvr3saver::openFails()
{
    const QString path = dir.filePath(QStringLiteral("no/such/dir/x.zvr"));
    const QString good = dir.filePath(QStringLiteral("good.zvr"));
    zvr3saver saver;
    zvr3test::Recorder out(&saver);
    saver.slotData(open(good));
    saver.slotData(zvr3value(header()));
    saver.slotData(open(path));
    saver.slotData(zvr3value(header()));  // ignored: nothing is open
    QCOMPARE(out.values.size(), 1);
    const zvr3error error = out.values.first().value<zvr3error>();
    QCOMPARE(error.code, -1);
    QCOMPARE(error.text, QStringLiteral("Can't open file \"%1\". No such file or directory (5)").arg(path));
    QCOMPARE(contents(good), zvr3stream::encodeHeader(header()));
}

void tst_zvr3saver::destroyedWhileOpen()
{
    const QString path = dir.filePath(QStringLiteral("destroyed.zvr"));
    auto *saver = new zvr3saver;
    saver->slotData(open(path));
    saver->slotData(zvr3value(header()));
    delete saver;
    // Before any event loop has run the worker's deferred deletion, the file is complete.
    QCOMPARE(contents(path), zvr3stream::encodeHeader(header()));
}

QTEST_GUILESS_MAIN(tst_zvr3saver)
#include "tst_zvr3saver.moc"
