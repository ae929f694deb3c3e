#include <QtTest>

#include "zvr3streamwriter.h"
#include "zvr3testvideo.h"

// Runs `zvr3 decode` on a recording made by the test: MPEG-4 video, IMA ADPCM sound, text and NMEA.
class tst_zvr3tool_decode : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void text();
    void sound();
    void videoToFiles();
    void positionsFromStandardInput();
    void badUsage_data();
    void badUsage();

private:
    struct Run
    {
        int exitCode = -1;
        QList<QByteArray> lines;
        QByteArray err;
    };
    static Run run(const QStringList &arguments, const QByteArray &input = QByteArray());
    static QJsonObject json(const QByteArray &line) { return QJsonDocument::fromJson(line).object(); }

    QTemporaryDir m_dir;
    QString m_file;
    QByteArray m_stream;
    zvr3testvideo::Encoded m_video;
};

namespace {
constexpr quint32 Start = 1700000000;
const QByteArray Rmc("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");

STREAM_T entry(int number, int type, const char *codec, const char *text3 = "")
{
    STREAM_T s;
    s.number = number;
    s.type = type;
    s.codec = QString::fromLatin1(codec);
    s.text3 = QString::fromLatin1(text3);
    return s;
}

QByteArray data(int stream, const QByteArray &payload, int level = 31, bool video = false, int ms = 0)
{
    DATA_T d;
    d.stream = uint(stream);
    d.part = 3;
    d.level = static_cast<signed char>(level);
    d.time = qint64(Start) * 1000 + ms;
    d.data = payload;
    return zvr3stream::encodeData(d, video, Start);
}

QString sha1(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}
}

void tst_zvr3tool_decode::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_video = zvr3testvideo::encode("mpeg4", 176, 144, 5);
    QCOMPARE(m_video.packets.size(), 5);
    HDR_T header;
    header.streams = {entry(0, 1, "mp4v"), entry(10, 2, "ima1", "-rate=8000"), entry(11, 4, "text"), entry(12, 4, "nmea")};
    m_stream = zvr3stream::encodeHeader(header) + zvr3stream::encodeIndex({Start, 0, QByteArray()});
    for (int i = 0; i < 5; ++i) {
        m_stream += data(0, m_video.packets.at(i), 31, true, 40 * i);
        m_stream += data(10, QByteArray("\x70\x00\x00", 3));
        m_stream += data(11, "hello " + QByteArray::number(i));
        m_stream += data(12, i % 2 ? Rmc.mid(20) : Rmc.left(20));
    }
    m_file = m_dir.filePath(QStringLiteral("recording.zvr"));
    QFile file(m_file);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(m_stream);
}

tst_zvr3tool_decode::Run tst_zvr3tool_decode::run(const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.start(QStringLiteral(ZVR3_TOOL), QStringList{QStringLiteral("decode")} + arguments);
    if (!process.waitForStarted())
        return {};
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(60000);
    const QByteArray out = process.readAllStandardOutput().trimmed();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            out.isEmpty() ? QList<QByteArray>() : out.split('\n'), process.readAllStandardError()};
}

void tst_zvr3tool_decode::text()
{
    const Run r = run({"--stream", "11", m_file});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.lines.size(), 5);
    for (int i = 0; i < 5; ++i) {
        const QByteArray payload = "hello " + QByteArray::number(i);
        const QString expected = QStringLiteral(
            R"({"record": "zvr3item", "stream": {"number": 11, "type": 4, "codec": "text", "text2": "", "text3": ""}, )"
            R"("time": %1, "duration": 40, "extra": 0, "level": 100, "bytes": 7, "sha1": "%2", )"
            R"("value": {"text": "%3"}, "value2": null})").arg(qint64(Start) * 1000 + 40 * i).arg(sha1(payload), QString::fromLatin1(payload));
        QCOMPARE(QString::fromUtf8(r.lines.at(i)), expected);
    }
}

void tst_zvr3tool_decode::sound()
{
    const QString out = m_dir.filePath(QStringLiteral("sound"));
    const Run r = run({"--stream", "10", "--out", out, m_file});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.lines.size(), 5);
    const QJsonObject first = json(r.lines.at(0)).value(QStringLiteral("value")).toObject().value(QStringLiteral("sound")).toObject();
    QCOMPARE(first.value(QStringLiteral("rate")).toInt(), 8000);
    QCOMPARE(first.value(QStringLiteral("channels")).toInt(), 1);
    QCOMPARE(first.value(QStringLiteral("samples")).toInt(), 6);
    const qint16 samples[] = {11, 13, 14, 15, 16, 17};
    QCOMPARE(first.value(QStringLiteral("sha1")).toString(), sha1(QByteArray(reinterpret_cast<const char *>(samples), 12)));
    // The ADPCM state runs on: the second item does not repeat the first.
    QVERIFY(r.lines.at(1).mid(r.lines.at(1).indexOf("\"value\"")) != r.lines.at(0).mid(r.lines.at(0).indexOf("\"value\"")));

    QFile wav(out + QStringLiteral("/audio.wav"));
    QVERIFY(wav.open(QIODevice::ReadOnly));
    const QByteArray bytes = wav.readAll();
    QCOMPARE(bytes.size(), 44 + 5 * 12);
    QVERIFY(bytes.startsWith("RIFF"));
    QCOMPARE(qFromLittleEndian<quint32>(bytes.constData() + 24), 8000u);
    QCOMPARE(bytes.mid(44, 12), QByteArray(reinterpret_cast<const char *>(samples), 12));
    QVERIFY(!QFile::exists(out + QStringLiteral("/texts.txt")));
}

void tst_zvr3tool_decode::videoToFiles()
{
    const QString out = m_dir.filePath(QStringLiteral("video"));
    const Run r = run({"--stream", "0", "--out", out, m_file});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.lines.size(), 5);
    for (int i = 0; i < 5; ++i) {
        const QJsonObject item = json(r.lines.at(i));
        QCOMPARE(item.value(QStringLiteral("time")).toInteger(), qint64(Start) * 1000 + 40 * i);
        const QJsonObject image = item.value(QStringLiteral("value")).toObject().value(QStringLiteral("image")).toObject();
        QCOMPARE(image.value(QStringLiteral("width")).toInt(), 176);
        QCOMPARE(image.value(QStringLiteral("height")).toInt(), 144);
        QCOMPARE(image.value(QStringLiteral("format")).toString(), QStringLiteral("ARGB32"));

        const QImage png(out + QStringLiteral("/frame-%1.png").arg(i + 1, 6, 10, QLatin1Char('0')));
        QCOMPARE(png.size(), QSize(176, 144));
        const double db = zvr3testvideo::psnr(png, m_video.sources.at(i));
        QVERIFY2(db > 25, qPrintable(QString::number(db)));  // small pictures lose more to 4:2:0 chroma
        const QImage argb = png.convertToFormat(QImage::Format_ARGB32);
        QCryptographicHash md5(QCryptographicHash::Md5);
        for (int y = 0; y < argb.height(); ++y)
            md5.addData(QByteArrayView(reinterpret_cast<const char *>(argb.constScanLine(y)), 4 * argb.width()));
        QCOMPARE(image.value(QStringLiteral("md5")).toString(), QString::fromLatin1(md5.result().toHex()));
    }
    QVERIFY(!QFile::exists(out + QStringLiteral("/frame-000006.png")));
}

void tst_zvr3tool_decode::positionsFromStandardInput()
{
    const QString out = m_dir.filePath(QStringLiteral("nmea"));
    const Run r = run({"--stream", "12", "--out", out, "-"}, m_stream);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.lines.size(), 5);
    // Items 2 and 4 complete the sentence that items 1 and 3 began.
    const QJsonObject second = json(r.lines.at(1)).value(QStringLiteral("value")).toObject().value(QStringLiteral("position")).toObject();
    QCOMPARE(second.value(QStringLiteral("valid")).toBool(), true);
    QCOMPARE(second.value(QStringLiteral("latitude")).toDouble(), 48.1173);
    QCOMPARE(second.value(QStringLiteral("time")).toInteger(), 764426119000LL);
    QVERIFY(r.lines.at(0).contains(R"("valid": false)"));

    QFile positions(out + QStringLiteral("/positions.jsonl"));
    QVERIFY(positions.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = positions.readAll().trimmed().split('\n');
    QCOMPARE(lines.size(), 5);
    QCOMPARE(QJsonDocument::fromJson(lines.at(1)).object(), second);
}

void tst_zvr3tool_decode::badUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("no stream") << QStringList{"x"} << 2 << QByteArray("--stream N is required");
    QTest::newRow("bad stream") << QStringList{"--stream", "one", "x"} << 2 << QByteArray("--stream takes");
    QTest::newRow("stream too big") << QStringList{"--stream", "256", "x"} << 2 << QByteArray("--stream takes");
    QTest::newRow("no file") << QStringList{"--stream", "1"} << 2 << QByteArray("give one input file");
    QTest::newRow("missing file") << QStringList{"--stream", "1", "/nonexistent/file"} << 1
                                  << QByteArray("can't open '/nonexistent/file'");
}

void tst_zvr3tool_decode::badUsage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    const Run r = run(arguments);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.contains(message), r.err.constData());
    QVERIFY(r.lines.isEmpty());
}

QTEST_MAIN(tst_zvr3tool_decode)
#include "tst_zvr3tool_decode.moc"
