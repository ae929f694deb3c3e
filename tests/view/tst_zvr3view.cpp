// zvr3-view against the recorder simulator on loopback, offscreen: the main window is made in the
// test and looked into (tiles, timeline, console), and the program itself takes a screenshot.
#include <QtTest>
#include <QtWidgets>

#include "archiveview.h"
#include "liveview.h"
#include "mainwindow.h"
#include "setupconsole.h"
#include "simsource.h"
#include "zvr3player.h"
#include "zvr3supervisor.h"
#include "zvr3testsim.h"

using namespace zvr3view;

namespace {

// Only a failing test waits this long: the simulator and the decoders may be slow on a loaded machine.
constexpr int Patience = 60000;

using zvr3test::Sim;

// The average colour of a picture, and how far its brightest and darkest pixels lie apart.
struct Look
{
    QColor mean;
    int spread = 0;
};
Look look(const QImage &image)
{
    const QImage small = image.scaled(32, 18).convertToFormat(QImage::Format_RGB32);
    qint64 r = 0, g = 0, b = 0;
    int lo = 255, hi = 0;
    for (int y = 0; y < small.height(); ++y)
        for (int x = 0; x < small.width(); ++x) {
            const QRgb p = small.pixel(x, y);
            r += qRed(p), g += qGreen(p), b += qBlue(p);
            lo = qMin(lo, qGray(p)), hi = qMax(hi, qGray(p));
        }
    const qint64 n = qint64(small.width()) * small.height();
    return {QColor(int(r / n), int(g / n), int(b / n)), hi - lo};
}

int colourDistance(const QColor &a, const QColor &b)
{
    return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue());
}

} // namespace

class tst_zvr3view : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void liveGrid();
    void archive();
    void snapshotAndRecording();
    void setupConsole();
    void outage();
    void refused();
    void screenshot();

private:
    // A main window with its settings in the test's folder, on a fresh simulator's recorder.
    std::unique_ptr<MainWindow> window();

    QTemporaryDir m_dir;
    std::unique_ptr<QSettings> m_settings;
    std::unique_ptr<Sim> m_sim;
};

void tst_zvr3view::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    m_settings = std::make_unique<QSettings>(m_dir.filePath(QStringLiteral("view.ini")), QSettings::IniFormat);
    m_sim = std::make_unique<Sim>();
    QVERIFY(m_sim->port != 0);
}

std::unique_ptr<MainWindow> tst_zvr3view::window()
{
    auto w = std::make_unique<MainWindow>(m_settings.get());
    w->live()->setOutputDir(m_dir.path());
    w->resize(960, 640);
    w->show();
    return w;
}

void tst_zvr3view::liveGrid()
{
    auto w = window();
    QVERIFY(w->openRecorder(m_sim->url()));
    // Remembered without the password.
    QCOMPARE(w->recent().value(0), QStringLiteral("tcp://tester@127.0.0.1:%1").arg(m_sim->port));
    QVERIFY(!m_settings->value(QStringLiteral("recent")).toStringList().join(' ').contains(QLatin1String("pw")));

    TileGrid *grid = w->live()->grid();
    QCOMPARE(grid->count(), 4);
    for (int i = 0; i < 4; ++i)
        QTRY_VERIFY_WITH_TIMEOUT(grid->tile(i)->pictureCount() > 0, Patience);
    QVector<Look> looks;
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(grid->tile(i)->title(), QStringLiteral("Channel %1").arg(i));  // the simulator's stream names
        QCOMPARE(grid->tile(i)->stateText(), QStringLiteral("streaming"));
        looks.append(look(grid->tile(i)->lastImage()));
        QVERIFY2(looks.last().spread > 40, qPrintable(QStringLiteral("tile %1 is blank").arg(i)));
    }
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j)
            QVERIFY2(colourDistance(looks[i].mean, looks[j].mean) > 30, qPrintable(QStringLiteral("tiles %1 and %2 look alike").arg(i).arg(j)));

    // The selected tile gets the texts and the position; double-click enlarges and brings back.
    grid->select(2);
    QTRY_VERIFY_WITH_TIMEOUT(grid->tile(2)->overlay().join(' ').contains(QLatin1String("GPS")), Patience);
    QVERIFY(grid->tile(0)->overlay().isEmpty());
    QTest::mouseDClick(grid->tile(1), Qt::LeftButton);
    QCOMPARE(grid->enlarged(), 1);
    QVERIFY(grid->tile(1)->isVisible() && !grid->tile(0)->isVisible());
    QTest::mouseDClick(grid->tile(1), Qt::LeftButton);
    QCOMPARE(grid->enlarged(), -1);
    QVERIFY(grid->tile(0)->isVisible());

    // Sound: with no audio device (offscreen) it is silent and says so.
    w->live()->setSoundEnabled(true);
    if (!w->live()->sound()->hasDevice()) {
        QVERIFY(w->live()->sound()->status().contains(QLatin1String("no audio device")));
        QVERIFY(grid->tile(grid->selected())->badge().contains(QLatin1String("no audio device")));
    }

    // Nine tiles: the channels the recorder lacks show the placeholder.
    w->live()->setGridSize(9);
    QCOMPARE(grid->count(), 9);
    const qint64 before = grid->tile(3)->pictureCount();
    QTRY_VERIFY_WITH_TIMEOUT(grid->tile(3)->pictureCount() > before + 10, Patience);
    QCOMPARE(grid->tile(7)->channel(), 7);
    QCOMPARE(grid->tile(7)->pictureCount(), 0);
}

void tst_zvr3view::archive()
{
    auto w = window();
    QVERIFY(w->openRecorder(m_sim->url()));
    w->showArchive();
    ArchiveView *a = w->archive();
    QVERIFY(a->isOpen());
    QTRY_VERIFY_WITH_TIMEOUT(a->grid()->tile(0)->pictureCount() > 0, Patience);
    QTRY_VERIFY_WITH_TIMEOUT(a->player()->position().isValid(), Patience);
    const QDateTime first = a->player()->position();
    QTRY_VERIFY_WITH_TIMEOUT(a->player()->position() > first, Patience);
    QVERIFY(a->positionText().contains(QLatin1String("UTC: ")));

    // The events on the timeline and in the list are the simulator's: one every five seconds of
    // its history, with its text.
    QTRY_VERIFY_WITH_TIMEOUT(a->timeline()->events().size() >= 10, Patience);
    const QVector<TimelineEvent> events = a->timeline()->events();
    QCOMPARE(a->eventList()->topLevelItemCount(), events.size());
    for (const TimelineEvent &e : events) {
        const qint64 second = e.utc.toSecsSinceEpoch();
        QCOMPARE(e.utc.toMSecsSinceEpoch() % 1000, 0);
        QCOMPARE(e.text.section(QStringLiteral("; "), 0, 0), zvr3sim::eventText(second, 4));
    }

    // A click on the timeline at the first event plays from there: back before where it was.
    const QDateTime target = events.first().utc;
    QVERIFY(target < first);
    a->timeline()->centreOn(target);
    const int x = a->timeline()->xOf(target);
    QTest::mouseClick(a->timeline(), Qt::LeftButton, {}, QPoint(x, a->timeline()->height() / 2));
    QTRY_VERIFY_WITH_TIMEOUT(a->player()->position().isValid() && a->player()->position() < first, Patience);
    QVERIFY(a->player()->position() >= target.addSecs(-2));

    // A double-click on an event in the list plays from that event: on past where it was.
    int row = 0;
    while (row < events.size() && events[row].utc <= first.addSecs(10))
        ++row;
    QVERIFY(row < events.size());
    QTreeWidgetItem *item = a->eventList()->topLevelItem(row);
    a->eventList()->scrollToItem(item);
    const QPoint at = a->eventList()->visualItemRect(item).center();
    QTest::mouseClick(a->eventList()->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(a->eventList()->viewport(), Qt::LeftButton, {}, at);
    QTRY_VERIFY_WITH_TIMEOUT(a->player()->position() >= events[row].utc.addSecs(-1), Patience);

    // Pause and rate.
    a->setRate(4);
    QCOMPARE(a->player()->rate(), 4.0);
    a->togglePause();
    QVERIFY(a->player()->isPaused());
}

void tst_zvr3view::snapshotAndRecording()
{
    auto w = window();
    QVERIFY(w->openRecorder(m_sim->url()));
    TileGrid *grid = w->live()->grid();
    grid->select(1);
    QTRY_VERIFY_WITH_TIMEOUT(grid->tile(1)->pictureCount() > 0, Patience);
    QSignalSpy saved(w->live()->snapshots(), &Snapshots::saved);
    w->live()->snapshotSelected();
    QTRY_COMPARE_WITH_TIMEOUT(saved.count(), 1, Patience);
    const QString path = saved[0][1].toString();
    QImageReader reader(path);
    QCOMPARE(reader.format(), QByteArray("jpeg"));
    QCOMPARE(reader.size(), QSize(640, 360));   // the simulator's picture size

    // Recording the selected tile's channel: an archive file that starts with a stream header.
    w->live()->toggleRecordingSelected();
    Recording *r = w->live()->recording(1);
    QVERIFY(r);
    QTRY_VERIFY_WITH_TIMEOUT(r->records() > 30, Patience);
    QVERIFY(grid->tile(1)->badge().contains(QLatin1String("REC")));
    const QString file = r->path();
    w->live()->toggleRecordingSelected();
    QVERIFY(!w->live()->recording(1));
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.read(4), QByteArray("\xB5\xB5\x05\xB5", 4));
    QVERIFY(f.size() > 10000);
}

void tst_zvr3view::setupConsole()
{
    auto w = window();
    QVERIFY(w->openRecorder(m_sim->url()));
    SetupConsole *console = w->setup();
    w->tabs()->setCurrentWidget(console);
    QTest::keyClicks(console->input(), QStringLiteral("GET device.channels"));
    QTest::keyClick(console->input(), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(console->answers(), 1, Patience);
    QVERIFY2(console->text().contains(QLatin1String("> GET device.channels\ndevice.channels=4")), qPrintable(console->text()));
    console->send(QStringLiteral("GET nothing"));
    QTRY_VERIFY_WITH_TIMEOUT(console->text().contains(QLatin1String("error: Device returns error")), Patience);
    QVERIFY(w->sourceStates().contains(QStringLiteral("Set-up: streaming")));
}

void tst_zvr3view::outage()
{
    Sim sim;   // a simulator of its own: it goes down
    QVERIFY(sim.port != 0);
    auto w = window();
    // Short waits between attempts: the outage lasts until the test ends it.
    w->live()->player()->supervisor()->setInitialDelay(100);
    w->live()->player()->supervisor()->setMaxDelay(1000);
    QVERIFY(w->openRecorder(sim.url()));
    VideoTile *tile = w->live()->grid()->tile(0);
    QTRY_VERIFY_WITH_TIMEOUT(tile->pictureCount() > 0, Patience);
    sim.signal(SIGUSR1);
    QTRY_VERIFY_WITH_TIMEOUT(tile->stateText().startsWith(QLatin1String("reconnecting")), Patience);
    QVERIFY(w->statusText().contains(QLatin1String("Live: reconnecting")));
    const qint64 before = tile->pictureCount();
    sim.signal(SIGUSR2);
    QTRY_VERIFY_WITH_TIMEOUT(tile->pictureCount() > before + 5, Patience);
    QTRY_COMPARE_WITH_TIMEOUT(tile->stateText(), QStringLiteral("streaming"), Patience);
}

void tst_zvr3view::refused()
{
    // A refused login is not tried again: every tile and the status bar say why.
    auto w = window();
    QUrl url = m_sim->url();
    url.setPassword(QStringLiteral("wrong"));
    QVERIFY(w->openRecorder(url));
    QTRY_COMPARE_WITH_TIMEOUT(w->live()->grid()->tile(0)->stateText(), QStringLiteral("failed: Access denied"), Patience);
    QCOMPARE(w->live()->grid()->tile(3)->stateText(), QStringLiteral("failed: Access denied"));
    QTRY_VERIFY_WITH_TIMEOUT(w->statusText().contains(QLatin1String("Live: failed: Access denied")), Patience);
    QCOMPARE(w->live()->grid()->tile(0)->pictureCount(), 0);
}

void tst_zvr3view::screenshot()
{
    // The program itself, offscreen, with its settings in the test's folder.
    QProcess view;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    view.setProcessEnvironment(env);
    view.setProcessChannelMode(QProcess::ForwardedChannels);
    const QString file = m_dir.filePath(QStringLiteral("shot.png"));
    view.start(QStringLiteral(ZVR3_VIEW), {m_sim->url().toString(), "--screenshot", file, "--after", "1", "--size", "800x500"});
    QVERIFY(view.waitForFinished(Patience));
    QCOMPARE(view.exitCode(), 0);
    const QImage shot(file);
    QCOMPARE(shot.size(), QSize(800, 500));
    QVERIFY(QFile::exists(m_dir.filePath(QStringLiteral("config/zvr3lib/zvr3-view.conf"))));
}

QTEST_MAIN(tst_zvr3view)
#include "tst_zvr3view.moc"
