#include "nettest.h"
#include "zvr3events.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"

namespace {
using ev = EVENTS_FILE_DATA_T;  // time in milliseconds, number, texts

QString listLine(const EVENTS_FILE_LIST_T &list)
{
    return QString::fromUtf8(zvr3jsonl::line(zvr3value(list)));
}

const QByteArray emptyList = zvr3test::hex("06E5E5E5 00000000 07E5E5E5");
const QString allTime = QStringLiteral("GET_ALL_EVENTS_01/01/1970,00:00:00,01/01/1970,00:00:00");
} // namespace

class tst_zvr3events : public QObject
{
    Q_OBJECT
private slots:
    void scenarios_data()
    {
        scenarioColumns();
        const int accept = FakeRecorder::Accept;
        // The period from the query items: 14 characters of any kind become a date and time.
        const QStringList none{listLine({})};
        const char *periods[][3] = {
            {"no period", "2", "01/01/1970,00:00:00,01/01/1970,00:00:00"},
            {"from and to", "2:from=20100305140709&to=20100306000000", "05/03/2010,14:07:09,06/03/2010,00:00:00"},
            {"28 characters", "2:from=2010030514070920110102030405", "05/03/2010,14:07:0902/01/2011,03:04:05,01/01/1970,00:00:00"},
            {"10 characters", "2:from=2010030514&to=x", "2010030514,x"},
            {"any 14 characters, decoded", "2:to=abcdEFghIJkl%2Fn", "01/01/1970,00:00:00,gh/EF/abcd,IJ:kl:/n"}};
        for (const auto &row : periods)
            QTest::newRow(row[0]) << accept << emptyList << 0 << row[1] << none << QStringLiteral("GET_ALL_EVENTS_") + row[2];

        // Replies in pieces of any size; records without texts are left out, an empty text counts,
        // an empty group adds nothing; a record announcing more texts than its group holds stops at
        // the group's end, and the next group starts where the length says.
        const EVENTS_FILE_DATA_T motion = ev{1267798029000, 7, {{1, QStringLiteral("Motion")}, {2, QString::fromUtf8("Камера 2")}}};
        const EVENTS_FILE_DATA_T empty = ev{1267798030000, 8, {{3, QString()}}};
        QByteArray cut = zvr3stream::encodeEvent(ev{5000, 1, {{4, QStringLiteral("x")}}});
        cut[8] = 3;
        const QList<QPair<QByteArray, EVENTS_FILE_LIST_T>> replies{
            {emptyList, {}},
            {zvr3test::hex("06E5E5E5 01000000 00000000 0C000000 01000000 02000000 01 05 6100 07E5E5E5"),
             {ev{1000, 2, {{5, QStringLiteral("a")}}}}},
            {zvr3test::hex("06E5E5E5 FFFFFFFF 07E5E5E5"), {}},
            {zvr3fake::eventListReply({zvr3stream::encodeEvent(motion) + zvr3stream::encodeEvent(ev{1267798031000, 9, {}})
                                           + zvr3stream::encodeEvent(empty),
                                       QByteArray(), zvr3stream::encodeEvent(motion)}),
             {motion, empty, motion}},
            {zvr3fake::eventListReply({cut, zvr3stream::encodeEvent(empty)}), {ev{5000, 1, {{4, QStringLiteral("x")}}}, empty}}};
        // A reply of 12 bytes has no 13-byte pieces; it comes with the login answer instead, so
        // that the list is decoded from the bytes that the login left over (-1).
        for (int i = 0; i < replies.size(); ++i) {
            for (int pieces : {0, 1, 5, replies[i].first.size() > 13 ? 13 : -1}) {
                QTest::addRow(pieces < 0 ? "reply %d with the login answer" : "reply %d in %d-byte pieces", i, pieces)
                    << accept << replies[i].first << pieces << "2 1:done"
                    << QStringList{listLine(replies[i].second), "marker done"} << allTime;
            }
        }

        // A marker waits for the list of the request ahead of it, a second request for the end of
        // the first; other codes are not for this node.
        QTest::newRow("queue") << accept << emptyList << 1 << "2 1:m1 3 0 2 1:m2"
                               << QStringList{listLine({}), "marker m1", listLine({}), "marker m2"} << allTime + " | " + allTime;
        // A failed request takes the marker behind it along; the reset opens the next request.
        const QByteArray partial = zvr3fake::eventListReply({zvr3stream::encodeEvent(ev{1000, 1, {{1, QStringLiteral("abc")}}})}).left(20);
        const QString two = allTime + " | " + allTime;
        const QString dropped = QStringLiteral("error 1 The remote host closed the connection");
        QTest::newRow("dropped mid-reply") << accept << partial << 0 << "2 1:gone 2 1:gone" << QStringList{dropped, dropped} << two;
        const QString timeout = QStringLiteral("error -1 Network operation timeout");
        QTest::newRow("silent") << int(Fake::Mute) << partial << 0 << "2 1:gone 2 1:gone" << QStringList{timeout, timeout}
                                << two;
        QTest::newRow("wrong magic") << accept << zvr3test::hex("06E5E5E6 00000000 07E5E5E5 0000 0000") << 0 << "2"
                                     << QStringList{"error -1 Wrong event file format", dropped} << allTime;
        // A code 2 while the previous one still logs in replaces it.
        QTest::newRow("replaced while logging in") << int(FakeRecorder::Silent) << emptyList << 0 << "2 2"
                                                   << QStringList{timeout} << " | ";
        // Counts and lengths that promise far more than arrives only make the reader wait; nothing
        // is allocated for them.
        QTest::newRow("hostile lengths")
            << accept << zvr3test::hex("06E5E5E5 FFFFFF7F 00000000 F0FFFFFF 0102030405060708090a 07E5E5E5") << 3 << "2"
            << QStringList{dropped} << allTime;
    }
    // One connection per request, closed once the list is in.
    void scenarios() { runScenario<zvr3events>(3, CloseAfterReply); }

    void requestOutBeforeTheList()
    {
        // The whole reply comes with the login answer: the list is out before the recorder can
        // have read the request. An application may end right there, without another turn of the
        // event loop, so by then the request must have left the process.
        Rig<zvr3events> r;
        r.recorder.afterLogin = emptyList;
        bool arrived = false;
        connect(&r.node, &zvr3base::sigData, &r.log.context, [&] {
            QTcpSocket *peer = r.recorder.lastSession()->socket();
            arrived = peer->bytesAvailable() > 0 || peer->waitForReadyRead(5000);
        });
        r.play(QStringLiteral("2"));
        QTRY_COMPARE(r.log.lines, QStringList{listLine({})});
        QVERIFY(arrived);
        QTRY_COMPARE(sent(r.recorder), allTime);
    }
};

QTEST_GUILESS_MAIN(tst_zvr3events)
#include "tst_zvr3events.moc"
