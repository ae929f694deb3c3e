// What the tests of the network nodes share: a fake recorder that listens at once, a log of what
// a node or a connection emits, scripts of commands, and tables of scenarios run on a node.
#ifndef NETTEST_H
#define NETTEST_H

#include <QImage>
#include <QtTest>

#include <utility>

#include "zvr3base.h"
#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3fakerecorder.h"
#include "zvr3jsonl.h"
#include "zvr3metatype_p.h"
#include "zvr3net_priv.h"
#include "zvr3records.h"

using zvr3fake::FakeRecorder;
using zvr3fake::FakeSession;

// A fake recorder on 127.0.0.1 that answers logins as mode says; Mute: it accepts the login and
// then never answers.
struct Fake : FakeRecorder
{
    enum { Mute = 100 };
    explicit Fake(int mode = Accept)
        : mute(mode == Mute)
    {
        loginMode = mute ? Accept : LoginMode(mode);
        if (!listen())
            qFatal("the fake recorder cannot listen: %s", qPrintable(errorString()));
    }
    // Answers every request line with reply, in pieces of the given size, and closes when asked.
    void answer(const QByteArray &reply, int pieces = 0, bool close = false)
    {
        if (mute)
            return;
        onRequest = [reply, pieces, close](FakeSession *s, const QByteArray &) {
            s->send(reply, pieces);
            if (close)
                s->closeWhenSent();
        };
    }
    const bool mute;
};

// The reason each error of the network nodes must carry, known by its code and text: every
// scenario that brings about an error checks it (Log does).
inline zvr3error::Reason expectedReason(const zvr3error &e)
{
    static const QHash<QString, zvr3error::Reason> reasons{
        {QStringLiteral("Access denied"), zvr3error::AccessDenied},
        {QStringLiteral("Network operation timeout"), zvr3error::Timeout},
        {QStringLiteral("Unexpected authorization reply received"), zvr3error::UnexpectedReply},
        {QStringLiteral("Device data protocol error"), zvr3error::ProtocolError},
        {QStringLiteral("Device returns error"), zvr3error::DeviceError},
        {QStringLiteral("Wrong event file format"), zvr3error::FormatError},
        {QStringLiteral("Set-up answer too large"), zvr3error::TooLarge},
        {QStringLiteral("Snapshot too large"), zvr3error::TooLarge}};
    if (e.code >= 0)
        return zvr3error::SocketError;
    if (e.code == -3 && e.text.startsWith(QLatin1String("Unexpected data received in state #")))
        return zvr3error::UnexpectedReply;
    return reasons.value(e.text, zvr3error::None);
}

// Everything emitted, in order, one line each: "marker <text>", "error <code> <text>",
// "data <bytes>", "state <n>", "image <description> <w>x<h>", anything else but position reports
// as its JSON line. The values themselves are kept too.
class Log
{
public:
    explicit Log(zvr3base *node)
    {
        QObject::connect(node, &zvr3base::sigData, &context, [this](const QVariant &v) { add(v); });
    }
    explicit Log(zvr3net_priv *net)
    {
        QObject::connect(net, &zvr3net_priv::sigState, &context, [this](int s) { lines << QStringLiteral("state %1").arg(s); });
        QObject::connect(net, &zvr3net_priv::sigError, &context, [this](const QVariant &v) { add(v); });
        QObject::connect(net, &zvr3net_priv::sigData, &context, [this](const QByteArray &a) { add(a); });
    }
    void add(const QVariant &v)
    {
        values << v;
        const QMetaType type = v.metaType();
        if (type == QMetaType::fromType<QString>()) {
            lines << QStringLiteral("marker ") + v.toString();
        } else if (type == QMetaType::fromType<zvr3error>()) {
            const zvr3error e = v.value<zvr3error>();
            lines << QStringLiteral("error %1 %2").arg(e.code).arg(e.text);
            if (e.reason != expectedReason(e) || e.reason == zvr3error::None) {
                const char *name = QMetaEnum::fromType<zvr3error::Reason>().valueToKey(e.reason);
                QTest::qFail(qPrintable(lines.last() + QStringLiteral(": wrong reason ") + QLatin1String(name)), __FILE__, __LINE__);
            }
        } else if (type == QMetaType::fromType<QByteArray>()) {
            lines << QStringLiteral("data ") + QString::fromLatin1(v.toByteArray());
        } else if (type == QMetaType::fromType<QImage>()) {
            const QImage i = v.value<QImage>();
            lines << QStringLiteral("image %1 %2x%3").arg(i.text(QStringLiteral("description"))).arg(i.width()).arg(i.height());
        } else if (type != QMetaType::fromType<zvr3parser_position>()) {
            lines << QString::fromUtf8(zvr3jsonl::line(v));
        }
    }
    // The bytes of all "data" values, joined.
    QByteArray data() const
    {
        QByteArray all;
        for (const QVariant &v : values)
            all += v.metaType() == QMetaType::fromType<QByteArray>() ? v.toByteArray() : QByteArray();
        return all;
    }

    QStringList lines;
    QList<QVariant> values;
    QObject context;  // the log may outlive the node
};

// Sends a node the commands of a script, one word each: "<code>" or "<code>:<argument>". The
// argument is a marker's text for code 1; for code 2 the recorder's URL with these query items
// (when it holds a "=") or with this user name; a time (ISO 8601) for 4; 0 or 1 for
// 5; channel numbers in hex for 6 and 7; a request line for 8 (CR LF added).
inline void play(zvr3base &node, const FakeRecorder &recorder, const QString &script)
{
    for (const QString &word : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const int code = word.section(QLatin1Char(':'), 0, 0).toInt();
        const QString arg = word.section(QLatin1Char(':'), 1);
        QVariant data = arg;
        if (code == 2 && arg.contains(QLatin1Char('=')))
            data = recorder.url(QStringLiteral("admin"), QStringLiteral("secret"), arg);
        else if (code == 2)
            data = recorder.url(arg.isEmpty() ? QStringLiteral("admin") : arg);
        else if (code == 4)
            data = QDateTime::fromString(arg, Qt::ISODate);
        else if (code == 5)
            data = arg == QLatin1String("1");
        else if (code == 6 || code == 7)
            data = QByteArray::fromHex(arg.toLatin1());
        else if (code == 8)
            data = arg.toLatin1() + "\r\n";
        node.slotData(QVariant::fromValue(zvr3command(code, data)));
    }
}

// The request lines each connection to the recorder received, joined by spaces, the connections
// by " | "; one that is still open ends in "(open)".
inline QString sent(const FakeRecorder &recorder)
{
    QStringList out;
    for (const FakeSession *s : recorder.sessions()) {
        QByteArrayList lines = s->requests();
        if (s->isOpen())
            lines << "(open)";
        out << QString::fromLatin1(lines.join(' '));
    }
    return out.join(QLatin1String(" | "));
}

// What the tests may see and do inside a connection: whether its watchdog runs, its expiry at
// the moment the test chooses (a timeout as an event, not a race against a clock), and the local
// port of its socket, which names the fake recorder's session at the other end.
struct zvr3net_priv_test
{
    static bool watching(const zvr3net_priv *c) { return c->watchdog.isActive(); }
    static void expire(zvr3net_priv *c)
    {
        c->watchdog.stop();
        c->slotWathdog();
    }
    static quint16 localPort(const zvr3net_priv *c) { return c->socket ? c->socket->localPort() : 0; }
};

// The connections made while it lives, those of the nodes included.
class Connections
{
public:
    Connections()
    {
        Q_ASSERT(!current);
        current = this;
        zvr3net_priv::setCreationHook([](zvr3net_priv *c) { current->made << c; });
    }
    ~Connections()
    {
        zvr3net_priv::setCreationHook(nullptr);
        current = nullptr;
    }
    QList<zvr3net_priv *> alive() const
    {
        QList<zvr3net_priv *> out;
        for (const QPointer<zvr3net_priv> &c : made) {
            if (c)
                out << c.data();
        }
        return out;
    }
    // How many of them have a watchdog running: none, where a node has nothing to wait for.
    int watching() const
    {
        int n = 0;
        for (zvr3net_priv *c : alive())
            n += zvr3net_priv_test::watching(c);
        return n;
    }

private:
    static inline Connections *current = nullptr;
    QList<QPointer<zvr3net_priv>> made;
    Q_DISABLE_COPY(Connections)
};

// A node (or a connection) of type N, a fake recorder, the log of what N emits and the
// connections N makes.
template <typename N>
struct Rig
{
    explicit Rig(int mode = FakeRecorder::Accept)
        : recorder(mode)
    {
    }
    void play(const QString &script) { ::play(node, recorder, script); }

    Fake recorder;
    Connections connections;
    N node;
    Log log{&node};
};

// The connection whose watchdog a scenario expects to expire now, if any: the next line expected
// is the timeout, the node has emitted every line before it, and the recorder has done all it
// will on that connection (read the login if it never answers one, else had a request) and has
// nothing left to send.
template <typename N>
zvr3net_priv *dueWatchdog(const Rig<N> &r, const QStringList &expected)
{
    const qsizetype at = expected.indexOf(QStringLiteral("error -1 Network operation timeout"), r.log.lines.size());
    if (at < 0 || r.log.lines != expected.mid(0, at))
        return nullptr;
    const bool silent = r.recorder.loginMode == FakeRecorder::Silent;
    for (zvr3net_priv *c : r.connections.alive()) {
        if (!zvr3net_priv_test::watching(c))
            continue;
        for (const FakeSession *s : r.recorder.sessions()) {
            if (s->socket() && s->socket()->peerPort() == zvr3net_priv_test::localPort(c) && s->pendingBytes() == 0
                && (silent ? s->loginReceived() : !s->requests().isEmpty()))
                return c;
        }
    }
    return nullptr;
}

// The columns of a scenario table: the recorder's login mode (or Fake::Mute), its reply to every
// request (sent in pieces of the given size), the script played to the node, the lines the node
// must emit and the requests the recorder must receive (as sent() renders them).
inline void scenarioColumns()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("pieces");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("requests");
}

// How runScenario() treats a node.
enum ScenarioFlag {
    CloseAfterReply = 1,  // the recorder closes the connection after each reply
    Queued = 2,           // nothing may come out from inside the sending calls
    MarkerWhenIdle = 4,   // a marker given at the end comes out next: the node is idle, what it dropped stays dropped
};

// Runs the current row of a scenario table on a node of type N whose connections use the given
// service. A reply of "pieces" -1 comes with the login answer, in the same write. The timeouts
// that the row expects are brought about by letting the watchdog expire once the recorder waits;
// at the end no connection may have a watchdog running.
template <typename N>
void runScenario(int service, int flags)
{
    QFETCH(int, mode);
    QFETCH(QByteArray, reply);
    QFETCH(int, pieces);
    QFETCH(QString, script);
    QFETCH(QStringList, expected);
    QFETCH(QString, requests);
    Rig<N> r(mode);
    if (pieces < 0)
        r.recorder.afterLogin = std::exchange(reply, QByteArray());
    r.recorder.answer(reply, pieces, flags & CloseAfterReply);
    r.play(script);
    QVERIFY(!(flags & Queued) || r.log.lines.isEmpty());
    for (;;) {
        zvr3net_priv *due = nullptr;
        QTRY_VERIFY2(r.log.lines == expected || (due = dueWatchdog(r, expected)),
                     qPrintable(QStringLiteral("emitted: ") + r.log.lines.join(QLatin1String(" / "))));
        if (!due)
            break;
        zvr3net_priv_test::expire(due);
    }
    QTRY_COMPARE(sent(r.recorder), requests);
    for (const FakeSession *s : r.recorder.sessions())
        QVERIFY(s->service() == service || s->received().isEmpty());
    QCOMPARE(r.connections.watching(), 0);
    if (!(flags & MarkerWhenIdle))
        return;
    r.play(QStringLiteral("1:end"));
    expected << QStringLiteral("marker end");
    QTRY_COMPARE(r.log.lines, expected);
}

#endif // NETTEST_H
