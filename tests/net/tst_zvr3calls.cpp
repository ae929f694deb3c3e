// The typed calls of the public nodes (open(), fetch(), showChannels(), ...): each is the command
// its node defines, sent to the node's own slotData(), so it puts the same bytes on the wire and
// brings the same values out of sigData() as that command.
#include <type_traits>

#include "nettest.h"
#include "zvr3archive.h"
#include "zvr3events.h"
#include "zvr3jpeg.h"
#include "zvr3net_archive.h"
#include "zvr3online.h"
#include "zvr3saver.h"
#include "zvr3setup.h"
#include "zvr3streamwriter.h"
#include "zvr3testutil.h"

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

QList<int> channels(const QByteArray &bytes)
{
    QList<int> out;
    for (const char c : bytes)
        out << quint8(c);
    return out;
}

// Plays a script of play() (nettest.h) through the typed calls instead of commands: each word
// becomes the call that stands for its code on this node.
template <typename N>
void playTyped(N &node, const FakeRecorder &recorder, const QString &script)
{
    constexpr bool fetches = std::is_same_v<N, zvr3events> || std::is_same_v<N, zvr3jpeg>;
    for (const QString &word : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const int code = word.section(QLatin1Char(':'), 0, 0).toInt();
        const QString arg = word.section(QLatin1Char(':'), 1);
        const QUrl url = arg.contains(QLatin1Char('=')) ? recorder.url(QStringLiteral("admin"), QStringLiteral("secret"), arg)
                                                        : recorder.url(arg.isEmpty() ? QStringLiteral("admin") : arg);
        const QList<int> list = channels(QByteArray::fromHex(arg.toLatin1()));
        if constexpr (fetches) {
            code == 1 ? node.mark(arg) : node.fetch(url);
        } else if constexpr (std::is_same_v<N, zvr3online>) {
            code == 2 ? node.open(url) : code == 7 ? node.showChannels(list) : node.hideChannels(list);
        } else if constexpr (std::is_same_v<N, zvr3setup>) {
            code == 1 ? node.mark(arg) : code == 2 ? node.open(url) : code == 3 ? node.close() : node.request(arg.toLatin1() + "\r\n");
        } else {
            switch (code) {
            case 1: node.mark(arg); break;
            case 2: node.open(url); break;
            case 4: node.play(QDateTime::fromString(arg, Qt::ISODate)); break;
            case 5: node.setPaused(arg == QLatin1String("1")); break;
            case 6: node.showChannels(list); break;
            default: node.hideChannels(list); break;
            }
        }
    }
}

// The recorder of the comparisons: a chunk of archive closed by the header and index that name
// the next one, a set-up answer, an empty event list, a snapshot's "no signal"; each service
// takes what it reads.
void answerEveryService(FakeSession *s, const QByteArray &line)
{
    IDX_T index;
    index.time = 1267798029;
    const QByteArray section = zvr3stream::encodeHeader(zvr3stream::sampleHeader({})) + zvr3stream::encodeChunkHeader({})
                               + zvr3stream::encodeIndex(index);
    if (line.startsWith("GET_TIME_")) {
        s->send(section + zvr3stream::encodeChunkHeader({1, 255, 0, 0}) + zvr3stream::encodeIndex(index));
    } else if (s->service() == 4) {
        s->send(zvr3fake::answerBlock("ok"));
    } else if (s->service() == 3 || s->service() == 6) {
        s->send(s->service() == 3 ? zvr3test::hex("06E5E5E5 00000000 07E5E5E5") : QByteArray("\x03\x00\x00\x00-5:", 7));
        s->closeWhenSent();
    }
}

// What the recorder received on every connection, and what the node emitted, once the recorder
// has had the requests expected and the node has emitted its last line.
template <typename N>
void outcome(bool typed, const QString &script, const QString &requests, const QString &last, QByteArray &wire,
             QStringList &lines)
{
    Rig<N> r;
    r.recorder.onRequest = answerEveryService;
    if (typed)
        playTyped(r.node, r.recorder, script);
    else
        r.play(script);
    QTRY_COMPARE(sent(r.recorder), requests);
    QTRY_COMPARE(r.log.lines.value(r.log.lines.size() - 1), last);
    for (const FakeSession *s : r.recorder.sessions())
        wire += s->received() + '|';
    lines = r.log.lines;
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
        row("archive resume", sentBy<zvr3net_archive>([](auto &n) { n.setPaused(false); }), 5, false);
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

    void sameAsTheCommands_data()
    {
        QTest::addColumn<int>("node");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("requests");
        QTest::addColumn<QString>("last");  // the node's last line
        QTest::newRow("zvr3online") << 0 << "2 7:00ff0a 6:0102"
                                    << "STRIP_00 STRIP_01 STRIP_02 STRIP_03 STRIP_00 STRIP_FF STRIP_0A UNSTRIP_01 UNSTRIP_02 (open)"
                                    << QString();
        QTest::newRow("zvr3net_archive") << 1 << "2 6:0a 7:03 4:2010-03-05T14:07:09 1:m 5:1 1:paused 5:0"
                                         << "ENABLE_0a DISABLE_03 GET_TIME_05/03/2010,14:07:09 GET_INDEX_00000001000000ff (open)"
                                         << "marker paused";
        QTest::newRow("zvr3events") << 2 << "2:from=20100305140709&to=20100306000000 1:done"
                                    << "GET_ALL_EVENTS_05/03/2010,14:07:09,06/03/2010,00:00:00" << "marker done";
        QTest::newRow("zvr3setup") << 3 << "2 8:GET 1:m 8:SET 3 1:end" << "GET SET" << "marker end";
        QTest::newRow("zvr3jpeg") << 4 << "2:stream=3&width=640 1:m 2 1:end"
                                  << "GET_JPEG_STREAM 3 640 240 90 -1 | GET_JPEG_STREAM 0 320 240 90 -1" << "marker end";
    }
    void sameAsTheCommands()
    {
        QFETCH(int, node);
        QFETCH(QString, script);
        QFETCH(QString, requests);
        QFETCH(QString, last);
        QByteArray wire[2];
        QStringList lines[2];
        for (const bool typed : {false, true}) {
            using Outcome = void (*)(bool, const QString &, const QString &, const QString &, QByteArray &, QStringList &);
            const Outcome run[] = {outcome<zvr3online>, outcome<zvr3net_archive>, outcome<zvr3events>, outcome<zvr3setup>,
                                   outcome<zvr3jpeg>};
            run[node](typed, script, requests, last, wire[typed], lines[typed]);
            if (QTest::currentTestFailed())
                return;
        }
        QVERIFY(!wire[0].isEmpty());
        QCOMPARE(wire[1], wire[0]);
        QCOMPARE(lines[1], lines[0]);
    }
};

QTEST_GUILESS_MAIN(tst_zvr3calls)
#include "tst_zvr3calls.moc"
