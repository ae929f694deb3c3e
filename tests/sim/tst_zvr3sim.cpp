#include <QtTest>

#include <QImage>

#include <cmath>

#include "evtparser.h"
#include "simsource.h"
#include "zvr3command.h"
#include "zvr3decoder.h"
#include "zvr3error.h"
#include "zvr3events.h"
#include "zvr3item.h"
#include "zvr3jpeg.h"
#include "zvr3metatype_p.h"
#include "zvr3net_archive.h"
#include "zvr3online.h"
#include "zvr3parser.h"
#include "zvr3position_info.h"
#include "zvr3setup.h"
#include "zvr3sound_buffer.h"
#include "zvr3testutil.h"

// The library against the recorder simulator, service by service, on loopback: one simulator for
// the whole run, with four small channels, channel 2 without signal and channel 3 disabled.
class tst_zvr3sim : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void live();
    void liveChannelSelection();
    void loginRefused();
    void archive();
    void events();
    void setup();
    void snapshot_data();
    void snapshot();
    void bigFramesAndDrop();
    void slowAndGarbage();

private:
    // Starts a simulator with these extra options; returns its port, 0 on failure.
    static quint16 start(QProcess &process, const QStringList &extra);
    static void stop(QProcess &process);
    QUrl url(const QString &password = QStringLiteral("pw"), const QString &query = QString()) const;
    QProcess m_sim;
    quint16 m_port = 0;
    QTemporaryDir m_dir;
};

static const QSize PictureSize(320, 180);

// Pictures whose pixels differ: something was drawn, not a flat or black frame.
static bool hasContent(const QImage &image)
{
    const QImage small = image.convertToFormat(QImage::Format_RGB32);
    QSet<QRgb> colours;
    for (int y = 0; y < small.height(); y += 7) {
        for (int x = 0; x < small.width(); x += 7)
            colours.insert(small.pixel(x, y));
    }
    return colours.size() > 20;
}

quint16 tst_zvr3sim::start(QProcess &process, const QStringList &extra)
{
    static int count = 0;
    const QString ready = QDir::temp().filePath(QStringLiteral("zvr3sim-%1-%2.port").arg(QCoreApplication::applicationPid()).arg(++count));
    QFile::remove(ready);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral(ZVR3_SIM),
                  QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--ready-file"), ready,
                              QStringLiteral("--user"), QStringLiteral("tester"), QStringLiteral("--password"),
                              QStringLiteral("pw"), QStringLiteral("--quiet")} + extra);
    if (!process.waitForStarted())
        return 0;
    // Encoding the picture loops takes a moment, longer under the sanitizers.
    QElapsedTimer timer;
    timer.start();
    QByteArray port;
    while (timer.elapsed() < 60000 && process.state() == QProcess::Running) {
        QFile file(ready);
        if (file.open(QIODevice::ReadOnly))
            port = file.readAll().trimmed();
        if (!port.isEmpty())
            break;
        QTest::qWait(50);
    }
    QFile::remove(ready);
    // The listening line comes first on stdout.
    if (!port.isEmpty() && !process.canReadLine())
        process.waitForReadyRead(5000);
    const QByteArray line = process.readLine().trimmed();
    if (line != "zvr3-sim listening on 127.0.0.1:" + port)
        return 0;
    return quint16(port.toUInt());
}

void tst_zvr3sim::stop(QProcess &process)
{
    process.terminate();   // SIGTERM: the simulator closes everything and exits with 0
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

QUrl tst_zvr3sim::url(const QString &password, const QString &query) const
{
    QUrl u;
    u.setScheme(QStringLiteral("tcp"));
    u.setHost(QStringLiteral("127.0.0.1"));
    u.setPort(m_port);
    u.setUserName(QStringLiteral("tester"));
    u.setPassword(password);
    if (!query.isEmpty())
        u.setQuery(query);
    return u;
}

void tst_zvr3sim::initTestCase()
{
    m_port = start(m_sim, {QStringLiteral("--size"), QStringLiteral("320x180"), QStringLiteral("--no-signal"),
                           QStringLiteral("2"), QStringLiteral("--disabled"), QStringLiteral("3"),
                           QStringLiteral("--archive-seconds"), QStringLiteral("60")});
    QVERIFY(m_port != 0);
}

void tst_zvr3sim::cleanupTestCase()
{
    if (m_sim.state() == QProcess::Running)
        stop(m_sim);
}

// Collects the items a decoder emits.
static QMetaObject::Connection collect(zvr3decoder &decoder, QList<zvr3item> &items)
{
    return QObject::connect(&decoder, &zvr3base::sigData, &decoder, [&items](const QVariant &v) {
        if (zvr3holds<zvr3item>(v))
            items.append(v.value<zvr3item>());
    });
}

void tst_zvr3sim::live()
{
    zvr3online source;
    zvr3parser parser;
    zvr3decoder h264(0);
    zvr3decoder mjpeg(3);
    zvr3decoder sound(zvr3sim::AudioStream);
    zvr3decoder text(zvr3sim::TextStream);
    zvr3decoder nmea(zvr3sim::NmeaStream);
    QObject::connect(&source, &zvr3base::sigData, &parser, &zvr3base::slotData);
    QList<zvr3item> pictures, mjpegPictures, buffers, texts, positions;
    for (auto [decoder, list] : {std::pair{&h264, &pictures}, {&mjpeg, &mjpegPictures}, {&sound, &buffers},
                                  {&text, &texts}, {&nmea, &positions}}) {
        QObject::connect(&parser, &zvr3base::sigData, decoder, &zvr3base::slotData);
        collect(*decoder, *list);
    }
    QList<HDR_T> headers;
    QList<zvr3error> errors;
    connect(&parser, &zvr3base::sigData, this, [&](const QVariant &v) {
        if (zvr3holds<HDR_T>(v))
            headers.append(v.value<HDR_T>());
    });
    connect(&source, &zvr3base::sigData, this, [&](const QVariant &v) {
        if (zvr3holds<zvr3error>(v))
            errors.append(v.value<zvr3error>());
    });
    source.slotData(zvr3value(zvr3command(2, url())));

    // A text event comes every five seconds.
    auto counts = [&] {
        return QStringLiteral("%1 %2 %3 %4 %5").arg(pictures.size()).arg(mjpegPictures.size()).arg(texts.size())
            .arg(positions.size()).arg(buffers.size());
    };
    QTRY_VERIFY2_WITH_TIMEOUT(pictures.size() >= 25 && mjpegPictures.size() >= 25 && !texts.isEmpty()
                                  && positions.size() >= 2 && buffers.size() >= 25,
                              qPrintable(counts()), 12000);
    QVERIFY(errors.isEmpty());
    QCOMPARE(headers.size(), 1);
    QCOMPARE(headers[0].streams[0].codec, QStringLiteral("H264"));
    QCOMPARE(headers[0].streams[3].codec, QStringLiteral("mjpeg"));

    for (const QList<zvr3item> *list : {&pictures, &mjpegPictures}) {
        const QImage image = list->last().value.value<QImage>();
        QCOMPARE(image.size(), PictureSize);
        QVERIFY(hasContent(image));
        // 25 frames a second, 40 ms apart.
        QCOMPARE(list->at(list->size() - 1).time - list->at(list->size() - 2).time, qint64(40));
    }
    // The picture moves.
    QVERIFY(pictures.last().value.value<QImage>() != pictures[pictures.size() - 6].value.value<QImage>());

    const zvr3sound_buffer pcm = buffers.last().value.value<zvr3sound_buffer>();
    QCOMPARE(pcm.rate, 8000);
    QCOMPARE(pcm.data.size(), 320 * 2);
    // Beeps of a 500 Hz tone (a level of about 18,000 from peak to peak) and silence. A decoder
    // that joins in the middle may carry a constant offset, so the swing is measured, not the level.
    int loudest = 0;
    int quiet = 0;
    for (const zvr3item &item : std::as_const(buffers)) {
        const QByteArray d = item.value.value<zvr3sound_buffer>().data;
        const auto *s = reinterpret_cast<const qint16 *>(d.constData());
        const auto [low, high] = std::minmax_element(s, s + d.size() / 2);
        loudest = qMax(loudest, *high - *low);
        quiet += *high - *low < 200;
    }
    QVERIFY2(loudest > 12000 && loudest < 24000, qPrintable(QString::number(loudest)));
    QVERIFY(quiet > 0);

    QVERIFY(texts[0].value.toString().startsWith(QLatin1String("Motion detected on channel ")));
    QCOMPARE(texts[0].time % 5000, qint64(0));

    const zvr3position_info position = positions.last().value.value<zvr3position_info>();
    QVERIFY(position.valid);
    const double dLat = position.latitude - zvr3sim::RouteLatitude;
    const double dLon = (position.longitude - zvr3sim::RouteLongitude) * std::cos(zvr3sim::RouteLatitude * M_PI / 180);
    QVERIFY2(std::fabs(std::hypot(dLat, dLon) - zvr3sim::RouteRadius) < 0.0005,
             qPrintable(QStringLiteral("%1 %2").arg(position.latitude).arg(position.longitude)));
    QCOMPARE(position.satellites, 8);
    QVERIFY(position.speed > 0);
    // The recorder's clock is the real one.
    QVERIFY(std::llabs(pictures.last().time - QDateTime::currentMSecsSinceEpoch()) < 5000);
}

void tst_zvr3sim::liveChannelSelection()
{
    zvr3online source;
    zvr3parser parser;
    QObject::connect(&source, &zvr3base::sigData, &parser, &zvr3base::slotData);
    QMap<unsigned, int> frames;
    connect(&parser, &zvr3base::sigData, this, [&](const QVariant &v) {
        if (zvr3holds<zvr3parser_combined_DATA_T>(v))
            ++frames[v.value<zvr3parser_combined_DATA_T>().stream];
    });
    source.slotData(zvr3value(zvr3command(2, url())));
    // Channels 0 to 3 come first; then 1 and 3 are dropped.
    QTRY_VERIFY_WITH_TIMEOUT(frames.value(1) >= 5 && frames.value(3) >= 5, 5000);
    source.slotData(zvr3value(zvr3command(6, QByteArray("\x01\x03", 2))));
    QTest::qWait(300);   // what was on the way
    const int one = frames.value(1);
    const int three = frames.value(3);
    const int zero = frames.value(0);
    QTRY_VERIFY_WITH_TIMEOUT(frames.value(0) >= zero + 10, 3000);
    QCOMPARE(frames.value(1), one);
    QCOMPARE(frames.value(3), three);
    // And channel 1 back again.
    source.slotData(zvr3value(zvr3command(7, QByteArray("\x01", 1))));
    QTRY_VERIFY_WITH_TIMEOUT(frames.value(1) >= one + 5, 3000);
    QCOMPARE(frames.value(3), three);
}

void tst_zvr3sim::loginRefused()
{
    zvr3online source;
    zvr3test::Recorder out(&source);
    source.slotData(zvr3value(zvr3command(2, url(QStringLiteral("wrong")))));
    QTRY_VERIFY_WITH_TIMEOUT(!out.values.isEmpty(), 5000);
    QVERIFY(zvr3holds<zvr3error>(out.values[0]));
    QCOMPARE(out.values[0].value<zvr3error>().text, QStringLiteral("Access denied"));
}

void tst_zvr3sim::archive()
{
    zvr3net_archive archive;
    zvr3decoder h264(0);
    zvr3decoder mjpeg(3);
    zvr3decoder nmea(zvr3sim::NmeaStream);
    QList<zvr3item> pictures, mjpegPictures, positions;
    for (auto [decoder, list] : {std::pair{&h264, &pictures}, {&mjpeg, &mjpegPictures}, {&nmea, &positions}}) {
        QObject::connect(&archive, &zvr3base::sigData, decoder, &zvr3base::slotData);
        collect(*decoder, *list);
    }
    QList<quint64> seconds;
    QList<zvr3error> errors;
    qsizetype paused = -1;
    connect(&archive, &zvr3base::sigData, this, [&](const QVariant &v) {
        if (zvr3holds<IDX_T>(v))
            seconds.append(v.value<IDX_T>().time);
        if (zvr3holds<zvr3error>(v))
            errors.append(v.value<zvr3error>());
        if (v.typeId() == QMetaType::QString && v.toString() == QLatin1String("paused"))
            paused = seconds.size();
    });
    // Half a minute back: before the simulator started, from the history it made at start.
    const QDateTime from = QDateTime::currentDateTimeUtc().addSecs(-30);
    archive.slotData(zvr3value(zvr3command(2, url())));
    archive.slotData(zvr3value(zvr3command(4, from)));
    QTRY_VERIFY_WITH_TIMEOUT(seconds.size() >= 6, 10000);
    // Pause: the chunk under way ends, then nothing more comes. The marker behind the pause
    // comes out when the pause has been served.
    archive.slotData(zvr3value(zvr3command(5, true)));
    archive.slotData(zvr3value(zvr3command(1, QStringLiteral("paused"))));
    QTRY_VERIFY2_WITH_TIMEOUT(pictures.size() >= 100 && mjpegPictures.size() >= 100 && positions.size() >= 4,
                              qPrintable(QStringLiteral("%1 %2 %3 %4").arg(seconds.size()).arg(pictures.size())
                                             .arg(mjpegPictures.size()).arg(positions.size())),
                              10000);
    QVERIFY(errors.isEmpty());
    QCOMPARE(qint64(seconds[0]), from.toSecsSinceEpoch());
    for (int i = 1; i < seconds.size(); ++i)
        QCOMPARE(seconds[i], seconds[i - 1] + 1);
    QCOMPARE(pictures[0].time, from.toSecsSinceEpoch() * 1000);
    QVERIFY(hasContent(pictures[0].value.value<QImage>()));
    QCOMPARE(pictures[0].value.value<QImage>().size(), PictureSize);
    QVERIFY(hasContent(mjpegPictures.last().value.value<QImage>()));
    QTRY_VERIFY_WITH_TIMEOUT(paused > 0, 5000);
    QTest::qWait(500);
    QCOMPARE(seconds.size(), paused);
    // Resume: the next chunk follows on.
    archive.slotData(zvr3value(zvr3command(5, false)));
    QTRY_VERIFY_WITH_TIMEOUT(seconds.size() >= paused + 2, 5000);
    QCOMPARE(seconds[paused], seconds[paused - 1] + 1);
    // The positions of the archive are those the route had then.
    const zvr3position_info p = positions[0].value.value<zvr3position_info>();
    double lat = 0;
    double lon = 0;
    zvr3sim::routePosition(from.toSecsSinceEpoch(), &lat, &lon);
    QVERIFY(std::fabs(p.latitude - lat) < 1e-4);
    QVERIFY(std::fabs(p.longitude - lon) < 1e-4);
    archive.slotData(zvr3value(zvr3command(3)));
}

void tst_zvr3sim::events()
{
    zvr3events events;
    zvr3test::Recorder out(&events);
    const QDateTime to = QDateTime::currentDateTimeUtc().addSecs(-1);
    const QDateTime from = to.addSecs(-40);
    const QString format = QStringLiteral("yyyyMMddhhmmss");
    events.slotData(zvr3value(zvr3command(
        2, url(QStringLiteral("pw"), QStringLiteral("from=%1&to=%2").arg(from.toString(format), to.toString(format))))));
    QTRY_COMPARE_WITH_TIMEOUT(out.values.size(), 1, 5000);
    QVERIFY(zvr3holds<EVENTS_FILE_LIST_T>(out.values[0]));
    const EVENTS_FILE_LIST_T list = out.values[0].value<EVENTS_FILE_LIST_T>();
    // One every five seconds of the period (the request carries whole seconds).
    int expected = 0;
    for (qint64 s = from.toSecsSinceEpoch(); s <= to.toSecsSinceEpoch(); ++s)
        expected += s % 5 == 0;
    QCOMPARE(list.size(), expected);
    for (const EVENTS_FILE_DATA_T &event : list) {
        QVERIFY(event.time >= from.toMSecsSinceEpoch() - 999 && event.time <= to.toMSecsSinceEpoch());
        QCOMPARE(event.time % 5000, qint64(0));
        QCOMPARE(event.texts.size(), 2);
        QCOMPARE(event.texts[0].text, QStringLiteral("Motion detected on channel %1").arg(event.number));
    }
}

void tst_zvr3sim::setup()
{
    zvr3setup setup;
    zvr3test::Recorder out(&setup);
    setup.slotData(zvr3value(zvr3command(2, url())));
    for (const char *request : {"GET device.name\r\n", "SET device.name=lab\r\n", "GET device.name\r\n", "GET nothing\r\n",
                                "LIST\r\n"})
        setup.slotData(zvr3value(zvr3command(8, QByteArray(request))));
    QTRY_COMPARE_WITH_TIMEOUT(out.values.size(), 5, 5000);
    QCOMPARE(out.values[0].toByteArray(), QByteArray("device.name=zvr3-sim\r\n"));
    QCOMPARE(out.values[1].toByteArray(), QByteArray("device.name=lab\r\n"));
    QCOMPARE(out.values[2].toByteArray(), QByteArray("device.name=lab\r\n"));
    QVERIFY(zvr3holds<zvr3error>(out.values[3]));
    QCOMPARE(out.values[3].value<zvr3error>().text, QStringLiteral("Device returns error"));
    const QByteArray list = out.values[4].toByteArray();
    for (const char *line : {"device.name=lab\r\n", "device.channels=4\r\n", "video.width=320\r\n", "video.height=180\r\n",
                             "time.zone=UTC\r\n"})
        QVERIFY2(list.contains(line), list.constData());
    // Put the name back for whoever asks next.
    setup.slotData(zvr3value(zvr3command(8, QByteArray("SET device.name=zvr3-sim\r\n"))));
    QTRY_COMPARE_WITH_TIMEOUT(out.values.size(), 6, 5000);
}

void tst_zvr3sim::snapshot_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("description");
    QTest::newRow("picture") << 0 << "ok";
    QTest::newRow("second channel") << 1 << "ok";
    QTest::newRow("no signal") << 2 << "no signal";
    QTest::newRow("disabled") << 3 << "disabled";
    QTest::newRow("no such channel") << 9 << "error";
}

void tst_zvr3sim::snapshot()
{
    QFETCH(int, channel);
    QFETCH(QString, description);
    zvr3jpeg jpeg;
    zvr3test::Recorder out(&jpeg);
    jpeg.slotData(zvr3value(zvr3command(
        2, url(QStringLiteral("pw"), QStringLiteral("stream=%1&width=200&height=150&quality=80").arg(channel)))));
    QTRY_COMPARE_WITH_TIMEOUT(out.values.size(), 1, 5000);
    const QImage image = out.values[0].value<QImage>();
    QCOMPARE(image.text(QStringLiteral("description")), description);
    if (description == QLatin1String("ok")) {
        QCOMPARE(image.size(), QSize(200, 150));
        QVERIFY(hasContent(image));
    }
}

void tst_zvr3sim::bigFramesAndDrop()
{
    // A second simulator with one channel, in MJPEG, whose frames do not fit one record, and that
    // drops every connection after a second: the live source reports the drop.
    QProcess sim;
    const quint16 port = start(sim, {QStringLiteral("--channels"), QStringLiteral("1"), QStringLiteral("--size"),
                                     QStringLiteral("640x360"), QStringLiteral("--drop-every"), QStringLiteral("1")});
    QVERIFY(port != 0);
    zvr3online source;
    zvr3parser parser;
    zvr3decoder decoder(0);
    QObject::connect(&source, &zvr3base::sigData, &parser, &zvr3base::slotData);
    QObject::connect(&parser, &zvr3base::sigData, &decoder, &zvr3base::slotData);
    QList<zvr3item> pictures;
    collect(decoder, pictures);
    QList<unsigned> parts;     // of stream 0's records
    int bigFrames = 0;
    QList<zvr3error> errors;
    connect(&parser, &zvr3base::sigData, this, [&](const QVariant &v) {
        if (zvr3holds<DATA_T>(v) && v.value<DATA_T>().stream == 0)
            parts.append(v.value<DATA_T>().part);
        if (zvr3holds<zvr3parser_combined_DATA_T>(v) && v.value<zvr3parser_combined_DATA_T>().data.size() > 65535)
            ++bigFrames;
    });
    connect(&source, &zvr3base::sigData, this, [&](const QVariant &v) {
        if (zvr3holds<zvr3error>(v))
            errors.append(v.value<zvr3error>());
    });
    QUrl u = url();
    u.setPort(port);
    QElapsedTimer timer;
    timer.start();
    source.slotData(zvr3value(zvr3command(2, u)));
    QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty(), 5000);
    QVERIFY(timer.elapsed() >= 900);
    QCOMPARE(errors[0].code, int(QAbstractSocket::RemoteHostClosedError));
    QCOMPARE(errors.size(), 1);
    // Each frame in two parts: the first, then the last.
    QVERIFY(bigFrames >= 1);
    const qsizetype first = parts.indexOf(2);
    QVERIFY(first >= 0);
    QCOMPARE(parts.value(first + 1), 1u);
    QTRY_VERIFY_WITH_TIMEOUT(pictures.size() >= 10, 5000);
    QCOMPARE(pictures.last().value.value<QImage>().size(), QSize(640, 360));
    QVERIFY(hasContent(pictures.last().value.value<QImage>()));
    stop(sim);
}

void tst_zvr3sim::slowAndGarbage()
{
    // Answers a third of a second late, and every tenth one is noise.
    QProcess sim;
    const quint16 port = start(sim, {QStringLiteral("--channels"), QStringLiteral("1"), QStringLiteral("--size"),
                                     QStringLiteral("64x48"), QStringLiteral("--slow"), QStringLiteral("300"),
                                     QStringLiteral("--garbage")});
    QVERIFY(port != 0);
    zvr3setup setup;
    zvr3test::Recorder out(&setup);
    QUrl u = url();
    u.setPort(port);
    setup.slotData(zvr3value(zvr3command(2, u)));
    QElapsedTimer timer;
    timer.start();
    setup.slotData(zvr3value(zvr3command(8, QByteArray("GET video.width\r\n"))));
    QTRY_COMPARE_WITH_TIMEOUT(out.values.size(), 1, 5000);
    QVERIFY(timer.elapsed() >= 300);
    QCOMPARE(out.values[0].toByteArray(), QByteArray("video.width=64\r\n"));
    for (int i = 0; i < 9; ++i)
        setup.slotData(zvr3value(zvr3command(8, QByteArray("GET video.width\r\n"))));
    QTRY_COMPARE_WITH_TIMEOUT(out.values.size(), 10, 10000);
    for (int i = 0; i < 9; ++i)
        QCOMPARE(out.values[i].toByteArray(), QByteArray("video.width=64\r\n"));
    QVERIFY(zvr3holds<zvr3error>(out.values[9]));
    QCOMPARE(out.values[9].value<zvr3error>().text, QStringLiteral("Device data protocol error"));
    stop(sim);
}

QTEST_MAIN(tst_zvr3sim)
#include "tst_zvr3sim.moc"
