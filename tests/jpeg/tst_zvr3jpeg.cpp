#include <QtTest>

#include <QBuffer>
#include <QImage>
#include <QPainter>

#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3fakerecorder.h"
#include "zvr3jpeg.h"
#include "zvr3jpeg_priv.h"
#include "zvr3net_priv.h"
#include "zvr3testutil.h"

using zvr3fake::FakeRecorder;
using zvr3fake::FakeSession;

namespace {

QVariant cmd(int code, const QVariant &data = QVariant())
{
    return QVariant::fromValue(zvr3command(code, data));
}

// A frame as the recorder sends it: 4-byte little-endian length, then the payload.
QByteArray frame(const QByteArray &payload)
{
    QByteArray out(4, '\0');
    qToLittleEndian<quint32>(quint32(payload.size()), out.data());
    return out + payload;
}

// A real JPEG of a test pattern: four coloured quadrants.
QImage pattern(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    p.fillRect(0, 0, w / 2, h / 2, Qt::red);
    p.fillRect(w / 2, 0, w - w / 2, h / 2, Qt::green);
    p.fillRect(0, h / 2, w / 2, h - h / 2, Qt::blue);
    p.fillRect(w / 2, h / 2, w - w / 2, h - h / 2, Qt::white);
    return image;
}

QByteArray jpeg(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 90);
    return bytes;
}

// What the node emitted: "image <description> <w>x<h>", "error <code> <text>", "marker <text>".
QStringList describe(const QList<QVariant> &values)
{
    QStringList out;
    for (const QVariant &v : values) {
        if (v.metaType() == QMetaType::fromType<QImage>()) {
            const QImage image = v.value<QImage>();
            out << QStringLiteral("image %1 %2x%3").arg(image.text(QStringLiteral("description"))).arg(image.width()).arg(image.height());
        } else if (v.metaType() == QMetaType::fromType<zvr3error>()) {
            out << QStringLiteral("error %1 %2").arg(v.value<zvr3error>().code).arg(v.value<zvr3error>().text);
        } else {
            out << QStringLiteral("marker ") + v.toString();
        }
    }
    return out;
}

} // namespace

class tst_zvr3jpeg : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { zvr3net_priv::setWatchdogOverride(0); }
    void requestLine_data();
    void requestLine();
    void replies_data();
    void replies();
    void realSnapshot();
    void queueAndMarkers();
    void failuresDropTheQueue_data();
    void failuresDropTheQueue();
    void notAUrl();
    void placeholdersAreDrawnOnce();
    void placeholderPixels();
};

void tst_zvr3jpeg::requestLine_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("defaults") << QString() << QByteArray("GET_JPEG_STREAM 0 320 240 90 -1");
    QTest::newRow("all items") << "stream=3&width=640&height=480&quality=50" << QByteArray("GET_JPEG_STREAM 3 640 480 50 -1");
    QTest::newRow("empty value") << "stream=2&width=" << QByteArray("GET_JPEG_STREAM 2  240 90 -1");
    // A value holding a place marker is itself filled by a later argument, as QString::arg does.
    QTest::newRow("marker in value") << "stream=%253" << QByteArray("GET_JPEG_STREAM 240 320 240 90 -1");
    QTest::newRow("encoded value") << "stream=a%20b" << QByteArray("GET_JPEG_STREAM a b 320 240 90 -1");
}

void tst_zvr3jpeg::requestLine()
{
    QFETCH(QString, query);
    QFETCH(QByteArray, line);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.onRequest = [](FakeSession *session, const QByteArray &) {
        session->send(frame("-5:"));
        session->closeWhenSent();
    };
    zvr3jpeg node;
    zvr3test::Recorder out(&node);
    node.slotData(cmd(2, recorder.url(QStringLiteral("admin"), QStringLiteral("secret"), query)));
    QTRY_COMPARE(out.values.size(), 1);
    FakeSession *session = recorder.lastSession();
    QCOMPARE(session->service(), 6);
    // The request is the first thing sent after the login lines, ended by CR LF.
    QVERIFY(session->received().endsWith("\r\n" + line + "\r\n"));
    QCOMPARE(session->requests(), QList<QByteArray>{line});
}

void tst_zvr3jpeg::replies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no signal") << frame("-5:") << "image no signal 320x240";
    QTest::newRow("disabled") << frame("-6:text") << "image disabled 320x240";
    QTest::newRow("other digit") << frame("-7:") << "image error 320x240";
    QTest::newRow("two bytes are no status") << frame("-5") << "image error 320x240";
    QTest::newRow("not a jpeg") << frame("hello") << "image error 320x240";
    QTest::newRow("short frame") << frame("-5:").left(5) << "image error 320x240";
    QTest::newRow("under 4 bytes") << QByteArray("\x03\x00", 2) << "image error 320x240";
    QTest::newRow("nothing") << QByteArray() << "image error 320x240";
    QTest::newRow("two frames") << frame(jpeg(pattern(64, 48))) + frame("-6:") << "image ok 64x48";
    QTest::newRow("huge length") << QByteArray("\xff\xff\xff\xff-5:", 7) << "image error 320x240";
}

void tst_zvr3jpeg::replies()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, expected);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.onRequest = [&](FakeSession *session, const QByteArray &) {
        session->send(reply, 3);
        session->closeWhenSent();
    };
    zvr3jpeg node;
    zvr3test::Recorder out(&node);
    node.slotData(cmd(2, recorder.url()));
    QTRY_COMPARE(describe(out.values), QStringList{expected});
}

void tst_zvr3jpeg::realSnapshot()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    const QImage source = pattern(352, 288);
    recorder.onRequest = [&](FakeSession *session, const QByteArray &) {
        session->send(frame(jpeg(source)), 1460);
        session->closeWhenSent();
    };
    zvr3jpeg node;
    zvr3test::Recorder out(&node);
    node.slotData(cmd(2, recorder.url()));
    QTRY_COMPARE(out.values.size(), 1);
    const QImage image = out.values.at(0).value<QImage>();
    QCOMPARE(image.text(QStringLiteral("description")), QStringLiteral("ok"));
    QCOMPARE(image.size(), source.size());
    // JPEG is lossy: compare the middle of each quadrant, within a tolerance.
    for (const QPoint p : {QPoint(88, 72), QPoint(264, 72), QPoint(88, 216), QPoint(264, 216)}) {
        const QRgb a = image.pixel(p);
        const QRgb b = source.pixel(p);
        QVERIFY2(qAbs(qRed(a) - qRed(b)) < 16 && qAbs(qGreen(a) - qGreen(b)) < 16 && qAbs(qBlue(a) - qBlue(b)) < 16,
                 qPrintable(QStringLiteral("pixel %1,%2").arg(p.x()).arg(p.y())));
    }
}

void tst_zvr3jpeg::queueAndMarkers()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.onRequest = [](FakeSession *session, const QByteArray &line) {
        session->send(frame(line.contains("GET_JPEG_STREAM 1 ") ? "-5:" : "-6:"));
        session->closeWhenSent();
    };
    zvr3jpeg node;
    zvr3test::Recorder out(&node);
    const QUrl url = recorder.url();
    QUrl one = url;
    one.setQuery(QStringLiteral("stream=1"));
    node.slotData(cmd(2, one));
    node.slotData(cmd(1, QStringLiteral("m1")));
    node.slotData(cmd(2, url));
    node.slotData(cmd(7, url));  // not a code of this node: ignored
    node.slotData(cmd(2, one));
    node.slotData(cmd(1, QStringLiteral("m2")));
    QTRY_COMPARE(describe(out.values), (QStringList{"image no signal 320x240", "marker m1", "image disabled 320x240",
                                                    "image no signal 320x240", "marker m2"}));
    QCOMPARE(recorder.sessionCount(), 3);
}

void tst_zvr3jpeg::failuresDropTheQueue_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("error");
    QTest::newRow("refused") << int(FakeRecorder::Refuse) << "error -1 Access denied";
    QTest::newRow("never closes") << int(FakeRecorder::Accept) << "error -1 Network operation timeout";
}

void tst_zvr3jpeg::failuresDropTheQueue()
{
    QFETCH(int, mode);
    QFETCH(QString, error);
    zvr3net_priv::setWatchdogOverride(300);
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.loginMode = FakeRecorder::LoginMode(mode);
    recorder.onRequest = [](FakeSession *session, const QByteArray &) { session->send(frame("-5:")); };  // no close
    zvr3jpeg node;
    zvr3test::Recorder out(&node);
    node.slotData(cmd(2, recorder.url()));
    node.slotData(cmd(2, recorder.url()));
    node.slotData(cmd(1, QStringLiteral("dropped")));
    QTRY_COMPARE(describe(out.values), (QStringList{error, "image error 320x240"}));
    node.slotData(cmd(1, QStringLiteral("after")));
    QCOMPARE(describe(out.values).last(), QStringLiteral("marker after"));
    QCOMPARE(recorder.sessionCount(), 1);
}

void tst_zvr3jpeg::notAUrl()
{
    // A code 2 without a URL gives the bare "error" placeholder; what is queued behind it waits
    // for the next command to arrive.
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.onRequest = [](FakeSession *session, const QByteArray &) {
        session->send(frame("-6:"));
        session->closeWhenSent();
    };
    zvr3jpeg node;
    zvr3test::Recorder out(&node);
    node.slotData(cmd(2, recorder.url()));
    node.slotData(cmd(2, QVariant::fromValue(zvr3error())));
    node.slotData(cmd(1, QStringLiteral("waits")));
    QTRY_COMPARE(describe(out.values), (QStringList{"image disabled 320x240", "image  320x240"}));
    node.slotData(cmd(1, QStringLiteral("wakes")));
    QCOMPARE(describe(out.values), (QStringList{"image disabled 320x240", "image  320x240", "marker waits", "marker wakes"}));
}

void tst_zvr3jpeg::placeholdersAreDrawnOnce()
{
    zvr3jpeg first;
    QCOMPARE(zvr3jpeg_priv::mDefaultImages.size(), 3);
    const qint64 key = zvr3jpeg_priv::mDefaultImages.at(1).cacheKey();
    zvr3jpeg second;
    QCOMPARE(zvr3jpeg_priv::mDefaultImages.size(), 3);
    QCOMPARE(zvr3jpeg_priv::mDefaultImages.at(1).cacheKey(), key);
}

void tst_zvr3jpeg::placeholderPixels()
{
    zvr3jpeg node;
    const QVector<QImage> &images = zvr3jpeg_priv::mDefaultImages;
    for (const QImage &image : images) {
        QCOMPARE(image.size(), QSize(320, 240));
        QCOMPARE(image.format(), QImage::Format_ARGB32);
    }
    // Background: full colour at the bottom row, darker(200) at the top, under the gloss.
    QCOMPARE(QColor(images[0].pixel(5, 239)), QColor(Qt::red));
    QCOMPARE(QColor(images[2].pixel(5, 239)), QColor(Qt::gray));
    const QColor darkRed = QColor(Qt::red).darker(200);
    // The gloss is white with alpha 128 at the top, so the top row is halfway to white.
    const QColor top(images[0].pixel(300, 0));
    QVERIFY(qAbs(top.red() - (darkRed.red() + 255) / 2) <= 2);
    QVERIFY(qAbs(top.green() - 128) <= 2);
    // At the left edge the gloss fades out by y = 120; below it the background is alone.
    const QColor below(images[0].pixel(0, 125));
    QCOMPARE(below.green(), 0);
    QVERIFY(QColor(images[0].pixel(0, 100)).green() > 0);
    QVERIFY(QColor(images[0].pixel(0, 100)).green() < QColor(images[0].pixel(0, 20)).green());
    // Right of x = 320 - 40 the gloss is 40 high only.
    QCOMPARE(QColor(images[0].pixel(319, 60)).green(), 0);

    // The cross: image 1 differs from image 0 (same red base) exactly where the cross is, and
    // image 0 has none. Its middle is the pixel corner at (159, 119): through row 119 and column 159
    // the cross spans as far on one side as on the other, so its middle pixel index is 158.5 / 118.5
    // (centred on (160, 120) it would be 159.5 / 119.5).
    auto inCross = [&](int x, int y) { return images[1].pixel(x, y) != images[0].pixel(x, y); };
    auto span = [&](bool row) {
        int first = -1, last = -1;
        for (int i = 0; i < (row ? 320 : 240); ++i) {
            if (row ? inCross(i, 119) : inCross(159, i)) {
                if (first < 0)
                    first = i;
                last = i;
            }
        }
        return (first + last) / 2.0;
    };
    QCOMPARE(span(true), 158.5);
    QCOMPARE(span(false), 118.5);
    // Upright x: along the diagonals from the centre, within 2a + a/2 = 100 (about 70 per axis).
    QVERIFY(images[1].pixel(159 + 60, 119 + 60) != images[0].pixel(159 + 60, 119 + 60));
    QVERIFY(images[1].pixel(159 + 60, 119 - 60) != images[0].pixel(159 + 60, 119 - 60));
    QCOMPARE(images[1].pixel(159 + 78, 119 + 78), images[0].pixel(159 + 78, 119 + 78));
    QCOMPARE(images[1].pixel(159, 119 + 60), images[0].pixel(159, 119 + 60));
    QVERIFY(images[2].pixel(159, 119) != images[2].pixel(5, 119));
}

QTEST_MAIN(tst_zvr3jpeg)
#include "tst_zvr3jpeg.moc"
