// What the tests of the network nodes share: a fake recorder that listens at once, a log of what
// a node or a connection emits, scripts of commands, and tables of scenarios run on a node.
#ifndef NETTEST_H
#define NETTEST_H

#include <QImage>
#include <QtTest>

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
            lines << QStringLiteral("error %1 %2").arg(v.value<zvr3error>().code).arg(v.value<zvr3error>().text);
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

// A node (or a connection) of type N, a fake recorder and the log of what N emits.
template <typename N>
struct Rig
{
    explicit Rig(int mode = FakeRecorder::Accept)
        : recorder(mode)
    {
    }
    void play(const QString &script) { ::play(node, recorder, script); }

    Fake recorder;
    N node;
    Log log{&node};
};

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
// service. The watchdog is cut to 500 ms.
template <typename N>
void runScenario(int service, int flags)
{
    QFETCH(int, mode);
    QFETCH(QByteArray, reply);
    QFETCH(int, pieces);
    QFETCH(QString, script);
    QFETCH(QStringList, expected);
    QFETCH(QString, requests);
    zvr3net_priv::setWatchdogOverride(500);
    Rig<N> r(mode);
    r.recorder.answer(reply, pieces, flags & CloseAfterReply);
    r.play(script);
    QVERIFY(!(flags & Queued) || r.log.lines.isEmpty());
    QTRY_COMPARE(r.log.lines, expected);
    QTRY_COMPARE(sent(r.recorder), requests);
    for (const FakeSession *s : r.recorder.sessions())
        QVERIFY(s->service() == service || s->received().isEmpty());
    if (!(flags & MarkerWhenIdle))
        return;
    r.play(QStringLiteral("1:end"));
    expected << QStringLiteral("marker end");
    QTRY_COMPARE(r.log.lines, expected);
}

#endif // NETTEST_H
