#include "../net/nettest.h"

#include <QBuffer>

#include "zvr3jpeg.h"
#include "zvr3jpeg_priv.h"

namespace {
// A frame's length field: 4 bytes, little-endian.
QByteArray lengthField(qint64 length)
{
    QByteArray out(4, '\0');
    qToLittleEndian<quint32>(quint32(length), out.data());
    return out;
}

// A frame as the recorder sends it: the length field, then the payload.
QByteArray frame(const QByteArray &payload)
{
    return lengthField(payload.size()) + payload;
}
} // namespace

class tst_zvr3jpeg : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { zvr3jpeg_priv::setReplyLimitOverride(0); }

    void scenarios_data()
    {
        scenarioColumns();
        const int accept = FakeRecorder::Accept;
        const QByteArray none = frame("-5:");
        const QString request = QStringLiteral("GET_JPEG_STREAM 0 320 240 90 -1");
        const QStringList noSignal{"image no signal 320x240"};
        QTest::newRow("defaults") << accept << none << 3 << "2" << noSignal << request;
        QTest::newRow("all items") << accept << none << 3 << "2:stream=3&width=640&height=480&quality=50" << noSignal
                                   << "GET_JPEG_STREAM 3 640 480 50 -1";
        QTest::newRow("empty value") << accept << none << 3 << "2:stream=2&width=" << noSignal << "GET_JPEG_STREAM 2  240 90 -1";
        // A value holding a place marker is itself filled by a later argument, as QString::arg does.
        QTest::newRow("marker in value") << accept << none << 3 << "2:stream=%253" << noSignal
                                         << "GET_JPEG_STREAM 240 320 240 90 -1";
        QTest::newRow("encoded value") << accept << none << 3 << "2:stream=a%20b" << noSignal << "GET_JPEG_STREAM a b 320 240 90 -1";

        const QStringList error{"image error 320x240"};
        QTest::newRow("disabled") << accept << frame("-6:text") << 3 << "2" << QStringList{"image disabled 320x240"} << request;
        QTest::newRow("other digit") << accept << frame("-7:") << 3 << "2" << error << request;
        QTest::newRow("two bytes are no status") << accept << frame("-5") << 3 << "2" << error << request;
        QTest::newRow("not a jpeg") << accept << frame("hello") << 3 << "2" << error << request;
        QTest::newRow("short frame") << accept << none.left(5) << 3 << "2" << error << request;
        QTest::newRow("under 4 bytes") << accept << QByteArray("\x03\x00", 2) << 3 << "2" << error << request;
        QTest::newRow("nothing") << accept << QByteArray() << 3 << "2" << error << request;
        QTest::newRow("4 GiB announced") << accept << QByteArray("\xff\xff\xff\xff-5:", 7) << 3 << "2"
                                         << QStringList{"error -1 Snapshot too large", "image error 320x240"} << request;
        QImage picture(64, 48, QImage::Format_RGB32);
        picture.fill(Qt::darkCyan);
        QBuffer jpeg;
        QVERIFY(jpeg.open(QIODevice::WriteOnly) && picture.save(&jpeg, "JPEG"));
        QTest::newRow("real jpeg, then a frame") << accept << frame(jpeg.data()) + frame("-6:") << 3 << "2" << QStringList{"image ok 64x48"} << request;

        // One image per request, in order, with the markers between; other codes are not for this node.
        const QString one = QStringLiteral("GET_JPEG_STREAM 1 320 240 90 -1");
        QTest::newRow("queue") << accept << none << 0 << "2:stream=1 1:m1 2 7 2:stream=1 1:m2"
                               << QStringList{"image no signal 320x240", "marker m1", "image no signal 320x240",
                                              "image no signal 320x240", "marker m2"}
                               << one + " | " + request + " | " + one;
        // Errors come before the "error" placeholder, and the queue behind the request is dropped.
        QTest::newRow("refused") << int(FakeRecorder::Refuse) << none << 0 << "2 2 1:dropped"
                                 << QStringList{"error -1 Access denied", "image error 320x240"} << QString();
        QTest::newRow("never closes") << int(Fake::Mute) << none << 0 << "2 2 1:dropped"
                                      << QStringList{"error -1 Network operation timeout", "image error 320x240"} << request;
    }
    void scenarios() { runScenario<zvr3jpeg>(6, CloseAfterReply | MarkerWhenIdle); }

    void requestFromHandler()
    {
        // A snapshot asked for while the first picture is handed out waits for its turn behind the
        // one already queued: each gets a connection and a picture of its own.
        Rig<zvr3jpeg> r;
        r.recorder.answer(frame("-5:"), 0, true);
        bool asked = false;
        connect(&r.node, &zvr3base::sigData, &r.log.context, [&] {
            if (!std::exchange(asked, true))
                r.play(QStringLiteral("2:stream=3"));
        });
        r.play(QStringLiteral("2 2:stream=2"));
        QTRY_COMPARE(r.log.lines, QStringList(3, QStringLiteral("image no signal 320x240")));
        QTRY_COMPARE(sent(r.recorder), QStringLiteral("GET_JPEG_STREAM 0 320 240 90 -1 | GET_JPEG_STREAM 2 320 240 90 -1 | "
                                                      "GET_JPEG_STREAM 3 320 240 90 -1"));
    }

    void tooLarge_data()
    {
        QTest::addColumn<qint64>("limit");  // 0: the usual one
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("closes");   // the recorder closes after the reply; if not, only the node can
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<qsizetype>("kept");  // the bytes the worker holds when the first value comes out
        const QByteArray junk(5000, 'j');
        const QStringList next{"marker m", "image no signal 320x240"};
        const QStringList given = QStringList{"error -1 Snapshot too large", "image error 320x240"} + next;
        const QStringList error = QStringList{"image error 320x240"} + next;
        const qint64 mib64 = qint64(64) << 20;
        QTest::newRow("at the limit") << qint64(1000) << frame(QByteArray(1000, 'j')) << true << error << qsizetype(0);
        QTest::newRow("bytes past the frame") << qint64(1000) << frame("-6:") + junk << true
                                              << QStringList{"image disabled 320x240"} + next << qsizetype(0);
        QTest::newRow("over 64 MiB") << qint64(0) << lengthField(mib64 + 1) + junk << false << given << qsizetype(0);
        QTest::newRow("64 MiB") << qint64(0) << lengthField(mib64) + junk << true << error << qsizetype(5004);
    }
    void tooLarge()
    {
        // A frame announcing more than a snapshot can be is given up at once: the worker frees it,
        // reports it and closes the connection itself; the "error" placeholder follows, and the
        // next request is served as usual.
        QFETCH(qint64, limit);
        QFETCH(QByteArray, reply);
        QFETCH(bool, closes);
        QFETCH(QStringList, expected);
        QFETCH(qsizetype, kept);
        zvr3jpeg_priv::setReplyLimitOverride(limit);
        Rig<zvr3jpeg_priv> r;
        r.recorder.onRequest = [&](FakeSession *s, const QByteArray &) {
            const bool first = r.recorder.sessionCount() == 1;
            s->send(first ? reply : frame("-5:"), 1000);
            if (closes || !first)
                s->closeWhenSent();
        };
        qsizetype held = -1;
        qsizetype capacity = -1;
        QObject::connect(&r.node, &zvr3base::sigData, &r.log.context, [&](const QVariant &v) {
            if (held < 0)
                held = r.node.buffer.size();
            if (zvr3holds<zvr3error>(v))
                capacity = r.node.buffer.capacity();
        });
        r.play(QStringLiteral("2 1:m 2"));
        QTRY_COMPARE(r.log.lines, expected);
        QCOMPARE(held, kept);
        QCOMPARE(capacity, expected.first().startsWith(QLatin1String("error")) ? 0 : -1);
    }

    void placeholders()
    {
        zvr3jpeg first;
        const QVector<QImage> &images = zvr3jpeg_priv::mDefaultImages;
        const qint64 key = images.at(1).cacheKey();
        zvr3jpeg second;  // drawn once per process
        QCOMPARE(images.size(), 3);
        QCOMPARE(images.at(1).cacheKey(), key);
        for (const QImage &image : images) {
            QCOMPARE(image.size(), QSize(320, 240));
            QCOMPARE(image.format(), QImage::Format_ARGB32);
        }
        // Background: full colour at the bottom row, darker(200) at the top, under the gloss.
        QCOMPARE(QColor(images[0].pixel(5, 239)), QColor(Qt::red));
        QCOMPARE(QColor(images[2].pixel(5, 239)), QColor(Qt::gray));
        // The gloss is white with alpha 128 at the top, so the top row is halfway to white.
        const QColor top(images[0].pixel(300, 0));
        QVERIFY(qAbs(top.red() - (QColor(Qt::red).darker(200).red() + 255) / 2) <= 2);
        QVERIFY(qAbs(top.green() - 128) <= 2);
        // At the left edge the gloss fades out by y = 120.
        QCOMPARE(QColor(images[0].pixel(0, 125)).green(), 0);
        QVERIFY(QColor(images[0].pixel(0, 100)).green() > 0);
        QVERIFY(QColor(images[0].pixel(0, 100)).green() < QColor(images[0].pixel(0, 20)).green());

        // The cross: image 1 differs from image 0 (same red base) exactly where the cross is, and
        // image 0 has none. Its middle is the pixel corner at (159, 119): through row 119 and column
        // 159 it spans as far on one side as on the other, so its middle pixel index is 158.5 / 118.5
        // (centred on (160, 120) it would be 159.5 / 119.5).
        QList<int> row, column;
        for (int i = 0; i < 320; ++i) {
            if (images[1].pixel(i, 119) != images[0].pixel(i, 119))
                row << i;
            if (i < 240 && images[1].pixel(159, i) != images[0].pixel(159, i))
                column << i;
        }
        QCOMPARE((row.first() + row.last()) / 2.0, 158.5);
        QCOMPARE((column.first() + column.last()) / 2.0, 118.5);
        // An upright x: along a diagonal from the centre, not along the column; image 2 has it too.
        QVERIFY(images[1].pixel(159 + 60, 119 - 60) != images[0].pixel(159 + 60, 119 - 60));
        QCOMPARE(images[1].pixel(159, 119 + 60), images[0].pixel(159, 119 + 60));
        QVERIFY(images[2].pixel(159, 119) != images[2].pixel(5, 119));
    }
};

QTEST_MAIN(tst_zvr3jpeg)
#include "tst_zvr3jpeg.moc"
