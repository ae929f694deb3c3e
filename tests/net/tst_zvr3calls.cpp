// The typed calls of the public nodes (open(), fetch(), showChannels(), ...): each is the command
// its node defines, sent to the node's own slotData() and nothing else, so it puts the same bytes
// on the wire and brings the same values out of sigData() as that command (which the scenario
// tests of each node check). What reaches slotData() is all there is to compare.
#include "nettest.h"
#include "zvr3archive.h"
#include "zvr3events.h"
#include "zvr3jpeg.h"
#include "zvr3net_archive.h"
#include "zvr3online.h"
#include "zvr3saver.h"
#include "zvr3setup.h"

namespace {

// A node whose slotData() only records what reaches it: what a typed call sends.
template <typename N>
struct Spy : N
{
    void slotData(const QVariant &data) override { got << data; }
    QList<QVariant> got;
};

// What a typed call did to a node of type N.
template <typename N>
QList<QVariant> sentBy(void (*call)(N &))
{
    Spy<N> spy;
    call(spy);
    return spy.got;
}

} // namespace

class tst_zvr3calls : public QObject
{
    Q_OBJECT
private slots:
    void sendsItsCommand_data()
    {
        // Each call, and the command it must send to the node's own slotData().
        QTest::addColumn<QList<QVariant>>("got");
        QTest::addColumn<int>("code");
        QTest::addColumn<QVariant>("data");
        const QUrl url(QStringLiteral("tcp://u:p@h:1?from=20100305140709"));
        const QDateTime from(QDate(2010, 3, 5), QTime(14, 7, 9));
        const QVariant none;
        const QVariant list = QByteArray("\x00\x0a\xff", 3);
        auto row = [](const char *name, const QList<QVariant> &got, int code, const QVariant &data) {
            QTest::newRow(name) << got << code << data;
        };
        row("online open", sentBy<zvr3online>([](auto &n) { n.open(QUrl(QStringLiteral("tcp://u:p@h:1?from=20100305140709"))); }), 2, url);
        row("online close", sentBy<zvr3online>([](auto &n) { n.close(); }), 3, none);
        row("online show", sentBy<zvr3online>([](auto &n) { n.showChannels({0, 10, 255}); }), 7, list);
        row("online hide", sentBy<zvr3online>([](auto &n) { n.hideChannels({0, 10, 255}); }), 6, list);
        row("online hide none", sentBy<zvr3online>([](auto &n) { n.hideChannels({}); }), 6, QByteArray());
        row("archive mark", sentBy<zvr3net_archive>([](auto &n) { n.mark(QStringLiteral("m")); }), 1, QStringLiteral("m"));
        row("archive open", sentBy<zvr3net_archive>([](auto &n) { n.open(QUrl(QStringLiteral("tcp://u:p@h:1?from=20100305140709"))); }), 2, url);
        row("archive close", sentBy<zvr3net_archive>([](auto &n) { n.close(); }), 3, none);
        row("archive play", sentBy<zvr3net_archive>([](auto &n) { n.play(QDateTime(QDate(2010, 3, 5), QTime(14, 7, 9))); }), 4, from);
        row("archive pause", sentBy<zvr3net_archive>([](auto &n) { n.setPaused(true); }), 5, true);
        row("archive show", sentBy<zvr3net_archive>([](auto &n) { n.showChannels({0, 10, 255}); }), 6, list);
        row("archive hide", sentBy<zvr3net_archive>([](auto &n) { n.hideChannels({0, 10, 255}); }), 7, list);
        row("events fetch", sentBy<zvr3events>([](auto &n) { n.fetch(QUrl(QStringLiteral("tcp://u:p@h:1?from=20100305140709"))); }), 2, url);
        row("events mark", sentBy<zvr3events>([](auto &n) { n.mark(42); }), 1, 42);
        row("setup mark", sentBy<zvr3setup>([](auto &n) { n.mark(QVariant()); }), 1, none);
        row("setup open", sentBy<zvr3setup>([](auto &n) { n.open(QUrl(QStringLiteral("tcp://u:p@h:1?from=20100305140709"))); }), 2, url);
        row("setup close", sentBy<zvr3setup>([](auto &n) { n.close(); }), 3, none);
        row("setup request", sentBy<zvr3setup>([](auto &n) { n.request(QByteArray("GET x\r\n\0", 8)); }), 8, QByteArray("GET x\r\n\0", 8));
        row("jpeg fetch", sentBy<zvr3jpeg>([](auto &n) { n.fetch(QUrl(QStringLiteral("tcp://u:p@h:1?from=20100305140709"))); }), 2, url);
        row("jpeg mark", sentBy<zvr3jpeg>([](auto &n) { n.mark(QStringLiteral("m")); }), 1, QStringLiteral("m"));
        row("saver open", sentBy<zvr3saver>([](auto &n) { n.open(QUrl::fromLocalFile(QStringLiteral("/tmp/a b#c.zvr"))); }), 2,
            QUrl::fromLocalFile(QStringLiteral("/tmp/a b#c.zvr")));
        row("saver close", sentBy<zvr3saver>([](auto &n) { n.close(); }), 3, none);
        row("archive file open", sentBy<zvr3archive>([](auto &n) { n.open(QUrl::fromLocalFile(QStringLiteral("/x.zvr"))); }), 2,
            QUrl::fromLocalFile(QStringLiteral("/x.zvr")));
    }
    void sendsItsCommand()
    {
        QFETCH(QList<QVariant>, got);
        QFETCH(int, code);
        QFETCH(QVariant, data);
        QCOMPARE(got.size(), 1);
        const auto command = zvr3take<zvr3command>(got.first());
        QVERIFY(command);
        QCOMPARE(command->code, code);
        QCOMPARE(command->data.metaType(), data.metaType());
        QCOMPARE(command->data, data);
    }

    void channelsOutsideTheRange()
    {
        // A channel no request can name is left out, with a warning; the others still go, in order.
        QTest::ignoreMessage(QtWarningMsg, "channel -1 left out: channel numbers run from 0 to 255");
        QTest::ignoreMessage(QtWarningMsg, "channel 256 left out: channel numbers run from 0 to 255");
        const QList<QVariant> got = sentBy<zvr3online>([](auto &n) { n.showChannels({-1, 3, 256, 255}); });
        QCOMPARE(zvr3take<zvr3command>(got.value(0))->data, QVariant(QByteArray("\x03\xff")));
    }
};

QTEST_GUILESS_MAIN(tst_zvr3calls)
#include "tst_zvr3calls.moc"
