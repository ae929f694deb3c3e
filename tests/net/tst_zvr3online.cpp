#include <QtTest>

#include "netlog.h"
#include "zvr3command.h"
#include "zvr3fakerecorder.h"
#include "zvr3metatype_p.h"
#include "zvr3net_priv.h"
#include "zvr3online.h"

using zvr3fake::FakeRecorder;

namespace {
QVariant command(int code, const QVariant &data = QVariant())
{
    return zvr3value(zvr3command(code, data));
}

class online : public zvr3online
{
public:
    using zvr3online::cmdForChnList;
};
}

class tst_zvr3online : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { zvr3net_priv::setWatchdogOverride(0); }
    void channelLines_data();
    void channelLines();
    void openSendsStripLinesFirst();
    void channelRequestsOnTheWire();
    void passThroughAndIgnored();
    void chunksAsDelivered();
    void failuresGoDownstreamInOrder();
    void requestsBeforeOpenAreDropped();
};

void tst_zvr3online::channelLines_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("channel 10") << "UNSTRIP_%1\r\n" << QByteArray("\x0a") << QByteArray("UNSTRIP_0A\r\n");
    QTest::newRow("0 and 3") << "STRIP_%1\r\n" << QByteArray("\x00\x03", 2) << QByteArray("STRIP_00\r\nSTRIP_03\r\n");
    QTest::newRow("255 and 31") << "STRIP_%1\r\n" << QByteArray("\xff\x1f") << QByteArray("STRIP_FF\r\nSTRIP_1F\r\n");
    QTest::newRow("empty") << "STRIP_%1\r\n" << QByteArray() << QByteArray();
}

void tst_zvr3online::channelLines()
{
    QFETCH(QString, format);
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, expected);
    online node;
    QCOMPARE(node.cmdForChnList(format, list), expected);
}

void tst_zvr3online::openSendsStripLinesFirst()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    zvr3online node;
    NodeLog log(&node);
    node.slotData(command(2, recorder.url(QStringLiteral("view"), QString())));
    node.slotData(command(7, QByteArray("\x05")));  // before the login: queued behind the four lines
    QTRY_COMPARE(recorder.lastSession() ? recorder.lastSession()->requests().size() : 0, 5);
    QCOMPARE(recorder.lastSession()->received(),
             QByteArray("\x01LOGIN=view\r\nPASS=d41d8cd98f00b204e9800998ecf8427e\r\n"
                        "STRIP_00\r\nSTRIP_01\r\nSTRIP_02\r\nSTRIP_03\r\nSTRIP_05\r\n"));
    QVERIFY(log.lines.isEmpty());
}

void tst_zvr3online::channelRequestsOnTheWire()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    zvr3online node;
    node.slotData(command(2, recorder.url()));
    QTRY_COMPARE(recorder.lastSession() ? recorder.lastSession()->requests().size() : 0, 4);
    const qsizetype loggedIn = recorder.lastSession()->received().size();
    node.slotData(command(6, QByteArray("\x0a\x1f")));
    node.slotData(command(7, QByteArray()));
    node.slotData(command(4, QByteArray("\x01")));
    node.slotData(command(5, true));
    node.slotData(command(7, QByteArray("\x02")));
    QTRY_COMPARE(recorder.lastSession()->requests().size(), 7);
    QCOMPARE(recorder.lastSession()->received().mid(loggedIn), QByteArray("UNSTRIP_0A\r\nUNSTRIP_1F\r\nSTRIP_02\r\n"));
}

void tst_zvr3online::passThroughAndIgnored()
{
    zvr3online node;
    NodeLog log(&node);
    node.slotData(QVariant(QByteArray("raw")));
    node.slotData(QVariant(QStringLiteral("text")));
    node.slotData(QVariant(42));
    node.slotData(QVariant());
    node.slotData(command(3));  // closing a closed source
    node.slotData(command(8));
    QCOMPARE(log.values.size(), 1);
    QCOMPARE(log.values.at(0).typeId(), int(QMetaType::QByteArray));
    QCOMPARE(log.values.at(0).toByteArray(), QByteArray("raw"));
}

void tst_zvr3online::chunksAsDelivered()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    recorder.afterLogin = "HEAD";
    zvr3online node;
    NodeLog log(&node);
    node.slotData(command(2, recorder.url()));
    QTRY_COMPARE(log.values.size(), 1);
    QCOMPARE(log.values.at(0).toByteArray(), QByteArray("HEAD"));
    QByteArray stream(5000, 'z');
    for (int i = 0; i < stream.size(); ++i)
        stream[i] = char(i * 7);
    recorder.lastSession()->send(stream, 777);
    QByteArray got;
    QTRY_VERIFY((got = [&] {
                     QByteArray all;
                     for (const QVariant &v : std::as_const(log.values))
                         all += v.toByteArray();
                     return all;
                 }()).size() >= 5004);
    QCOMPARE(got, "HEAD" + stream);
    for (const QVariant &v : std::as_const(log.values))
        QCOMPARE(v.typeId(), int(QMetaType::QByteArray));
}

void tst_zvr3online::failuresGoDownstreamInOrder()
{
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    zvr3online node;
    NodeLog log(&node);
    node.slotData(command(2, recorder.url()));
    QTRY_VERIFY(recorder.lastSession() && recorder.lastSession()->requests().size() == 4);
    recorder.lastSession()->send("LAST");
    QTRY_COMPARE(log.values.size(), 1);
    recorder.lastSession()->abort();
    QTRY_COMPARE(log.lines.size(), 2);
    QCOMPARE(log.lines.at(1), QStringLiteral("error 1 The remote host closed the connection"));

    // A refused login, then a new open that works.
    FakeRecorder refusing;
    QVERIFY(refusing.listen());
    refusing.loginMode = FakeRecorder::Refuse;
    node.slotData(command(2, refusing.url()));
    QTRY_COMPARE(log.lines.size(), 3);
    QCOMPARE(log.lines.at(2), QStringLiteral("error -1 Access denied"));
    node.slotData(command(2, recorder.url()));
    QTRY_COMPARE(recorder.sessionCount(), 2);
    QTRY_COMPARE(recorder.lastSession()->requests().size(), 4);
    QCOMPARE(log.lines.size(), 3);
}

void tst_zvr3online::requestsBeforeOpenAreDropped()
{
    zvr3net_priv::setWatchdogOverride(200);
    FakeRecorder silent;
    QVERIFY(silent.listen());
    silent.loginMode = FakeRecorder::Silent;
    zvr3online node;
    NodeLog log(&node);
    node.slotData(command(2, silent.url()));
    node.slotData(command(6, QByteArray("\x09")));
    QTRY_COMPARE(log.lines, QStringList{"error -1 Network operation timeout"});
    zvr3net_priv::setWatchdogOverride(0);

    // The channel request that waited for the failed login does not reach the next connection.
    FakeRecorder recorder;
    QVERIFY(recorder.listen());
    node.slotData(command(2, recorder.url()));
    QTRY_COMPARE(recorder.lastSession() ? recorder.lastSession()->requests().size() : 0, 4);
    node.slotData(command(7, QByteArray("\x01")));
    QTRY_COMPARE(recorder.lastSession()->requests().size(), 5);
    QCOMPARE(recorder.lastSession()->requests(),
             QList<QByteArray>({"STRIP_00", "STRIP_01", "STRIP_02", "STRIP_03", "STRIP_01"}));
}

QTEST_GUILESS_MAIN(tst_zvr3online)
#include "tst_zvr3online.moc"
