#include "zvr3supervisor.h"

#include <QRandomGenerator>

#include <limits>

#include "zvr3command.h"
#include "zvr3metatype_p.h"
#include "zvr3net_priv.h"
#include "zvr3node_p.h"
#include "zvr3online.h"
#include "zvr3supervisor_priv.h"

namespace {
enum Command { Unstrip = 6, Strip = 7 };
// What zvr3online's open asks for by itself.
constexpr int OpenedChannels = 4;
}

zvr3supervisor_private::zvr3supervisor_private(zvr3supervisor *q)
    : q(q)
{
    for (QTimer *t : {&retry, &idle, &steady}) {
        t->setSingleShot(true);
        t->setTimerType(Qt::PreciseTimer);
    }
    QObject::connect(&retry, &QTimer::timeout, q, [this] { startAttempt(); });
    QObject::connect(&idle, &QTimer::timeout, q, [this] { stall(); });
    QObject::connect(&steady, &QTimer::timeout, q, [this] { steadyReached(); });
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, q, [this] { tick(); });
    QObject::connect(&parser, &zvr3base::sigData, q, &zvr3base::sigData);
    zvr3typeId<zvr3stats>();
}

void zvr3supervisor_private::start(QTimer &timer, qint64 ms)
{
    timer.start(int(qMin<qint64>(ms * qMax(timerScale, 1), std::numeric_limits<int>::max())));
}

zvr3supervisor_private *zvr3supervisor_private::of(zvr3supervisor *supervisor)
{
    return supervisor->d;
}

void zvr3supervisor_private::attach(zvr3base *s)
{
    source = s;
    live = qobject_cast<zvr3online *>(s);
    if (!s)
        return;
    QObject::connect(s, &zvr3base::sigData, q, [this](const QVariant &v) { fromSource(v); });
    if (live) {
        connection = live->connection;
        QObject::connect(connection, &zvr3net_priv::sigState, q, [this](int st) { connectionState(st); });
    }
}

void zvr3supervisor_private::detach()
{
    if (source) {
        closeSource();
        source->disconnect(q);
    }
    if (connection)
        connection->disconnect(q);
    source = nullptr;
    live = nullptr;
    connection = nullptr;
}

void zvr3supervisor_private::command(int code, const QVariant &arg)
{
    if (!live) {
        if (source)
            source->slotData(zvr3value(zvr3command(code, arg)));
        return;
    }
    switch (code) {
    case zvr3node::Open:
        retry.stop();
        url = arg.toUrl();
        channels.reset();
        for (int c = 0; c < OpenedChannels; ++c)
            channels.set(c);
        failures = 0;
        stats.attempt = 0;
        stats.lastError = zvr3error();
        lastByte.invalidate();
        if (statsInterval > 0)
            start(ticker, statsInterval);
        startAttempt();
        break;
    case zvr3node::Close:
        retry.stop();
        ticker.stop();
        closeSource();
        if (stats.state != zvr3stats::Closed)
            setState(zvr3stats::Closed);
        break;
    case Unstrip:
    case Strip:
        for (const char c : arg.toByteArray())
            channels.set(quint8(c), code == Strip);
        // While waiting nothing is connected: the reconnect asks for what is wanted then.
        if (stats.state == zvr3stats::Connecting || stats.state == zvr3stats::Streaming)
            source->slotData(zvr3value(zvr3command(code, arg)));
        break;
    default:
        source->slotData(zvr3value(zvr3command(code, arg)));
        break;
    }
}

void zvr3supervisor_private::startAttempt()
{
    if (!live)
        return;
    if (stats.attempt > 0)
        ++stats.reconnects;
    ++stats.attempt;
    connectionBytes = 0;
    stable = false;
    parser.reset();
    setState(zvr3stats::Connecting);
    quiet = true;
    live->slotData(zvr3value(zvr3command(zvr3node::Open, url)));
    quiet = false;
    restoreChannels();
}

void zvr3supervisor_private::restoreChannels()
{
    QByteArray hide;
    QByteArray show;
    for (int c = 0; c < int(channels.size()); ++c) {
        if (c < OpenedChannels && !channels.test(c))
            hide += char(c);
        else if (c >= OpenedChannels && channels.test(c))
            show += char(c);
    }
    if (!hide.isEmpty())
        live->slotData(zvr3value(zvr3command(Unstrip, hide)));
    if (!show.isEmpty())
        live->slotData(zvr3value(zvr3command(Strip, show)));
}

void zvr3supervisor_private::fromSource(const QVariant &value)
{
    if (!live) {
        emit q->sigData(value);
        return;
    }
    if (value.typeId() == QMetaType::QByteArray) {
        const QByteArray bytes = value.toByteArray();
        stats.bytesReceived += bytes.size();
        connectionBytes += bytes.size();
        lastByte.start();
        if (stats.state == zvr3stats::Streaming && idleTimeout > 0)
            start(idle, idleTimeout);
        parser.slotData(value);
        return;
    }
    emit q->sigData(value);
    if (const auto e = zvr3take<zvr3error>(value))
        failure(*e);
}

void zvr3supervisor_private::connectionState(int st)
{
    if (quiet)
        return;
    if (st == zvr3net_priv::LoggedIn && stats.state == zvr3stats::Connecting) {
        setState(zvr3stats::Streaming);
        if (idleTimeout > 0)
            start(idle, idleTimeout);
        start(steady, StableTime);
    } else if (st == zvr3net_priv::Closed) {
        // A peer that closed without a socket error first.
        failure(zvr3error(int(QAbstractSocket::RemoteHostClosedError),
                          zvr3supervisor::tr("The remote host closed the connection"), zvr3error::SocketError));
    }
}

void zvr3supervisor_private::steadyReached()
{
    stable = true;
}

void zvr3supervisor_private::tick()
{
    if (stats.state != zvr3stats::Closed)
        emitStats();
}

void zvr3supervisor_private::emitStats()
{
    stats.msSinceLastByte = lastByte.isValid() ? lastByte.elapsed() : -1;
    emit q->sigData(zvr3value(stats));
}

void zvr3supervisor_private::stall()
{
    if (stats.state != zvr3stats::Streaming)
        return;
    setState(zvr3stats::Stalled);
    const zvr3error e(-1, zvr3supervisor::tr("Network operation timeout"), zvr3error::Timeout);
    emit q->sigData(zvr3value(e));
    closeSource();
    failure(e);
}

void zvr3supervisor_private::failure(const zvr3error &e)
{
    if (stats.state != zvr3stats::Connecting && stats.state != zvr3stats::Streaming && stats.state != zvr3stats::Stalled)
        return;
    idle.stop();
    steady.stop();
    stats.lastError = e;
    if (stable && connectionBytes > 0)
        failures = 0;
    if (e.reason == zvr3error::AccessDenied || (maxAttempts > 0 && stats.attempt >= maxAttempts)) {
        setState(zvr3stats::Failed);
        closeSource();
        return;
    }
    const qint64 delay = delayAfter(failures);
    ++failures;
    stats.nextAttemptMs = delay;
    setState(zvr3stats::WaitingToReconnect);
    closeSource();
    if (stats.state == zvr3stats::WaitingToReconnect)
        start(retry, delay);
}

qint64 zvr3supervisor_private::delayAfter(int n) const
{
    qint64 nominal = qMax(initialDelay, 0);
    for (int i = 0; i < n && nominal < maxDelay; ++i)
        nominal *= 2;
    nominal = qMin<qint64>(nominal, qMax(maxDelay, 0));
    const double r = random ? random() : QRandomGenerator::global()->generateDouble();
    return nominal - qint64(double(nominal) * JitterShare * qBound(0.0, r, 1.0));
}

void zvr3supervisor_private::setState(zvr3stats::State st)
{
    if (st != zvr3stats::WaitingToReconnect)
        stats.nextAttemptMs = -1;
    stats.state = st;
    emitStats();
}

void zvr3supervisor_private::closeSource()
{
    idle.stop();
    steady.stop();
    if (!live)
        return;
    quiet = true;
    live->slotData(zvr3value(zvr3command(zvr3node::Close)));
    quiet = false;
}

zvr3supervisor::zvr3supervisor(zvr3base *source)
    : d(new zvr3supervisor_private(this))
{
    d->attach(source);
}

zvr3supervisor::~zvr3supervisor()
{
    d->retry.stop();
    d->detach();
    delete d;
}

void zvr3supervisor::setSource(zvr3base *source)
{
    d->retry.stop();
    d->ticker.stop();
    d->detach();
    if (d->stats.state != zvr3stats::Closed)
        d->setState(zvr3stats::Closed);
    d->attach(source);
}

zvr3base *zvr3supervisor::source() const { return d->source; }
int zvr3supervisor::initialDelay() const { return d->initialDelay; }
void zvr3supervisor::setInitialDelay(int ms) { d->initialDelay = qMax(ms, 0); }
int zvr3supervisor::maxDelay() const { return d->maxDelay; }
void zvr3supervisor::setMaxDelay(int ms) { d->maxDelay = qMax(ms, 0); }
int zvr3supervisor::maxAttempts() const { return d->maxAttempts; }
void zvr3supervisor::setMaxAttempts(int attempts) { d->maxAttempts = qMax(attempts, 0); }
int zvr3supervisor::idleTimeout() const { return d->idleTimeout; }
void zvr3supervisor::setIdleTimeout(int ms) { d->idleTimeout = qMax(ms, 0); }
int zvr3supervisor::statsInterval() const { return d->statsInterval; }
void zvr3supervisor::setStatsInterval(int ms)
{
    d->statsInterval = qMax(ms, 0);
    if (d->statsInterval == 0)
        d->ticker.stop();
    else if (d->stats.state != zvr3stats::Closed)
        zvr3supervisor_private::start(d->ticker, d->statsInterval);
}

zvr3stats zvr3supervisor::stats() const
{
    zvr3stats s = d->stats;
    s.msSinceLastByte = d->lastByte.isValid() ? d->lastByte.elapsed() : -1;
    return s;
}

void zvr3supervisor::slotData(const QVariant &data)
{
    if (const auto c = zvr3take<zvr3command>(data))
        d->command(c->code, c->data);
}

void zvr3supervisor::open(const QUrl &url) { zvr3node::send(this, zvr3node::Open, url); }
void zvr3supervisor::close() { zvr3node::send(this, zvr3node::Close); }
void zvr3supervisor::showChannels(const QList<int> &channels) { zvr3node::send(this, Strip, zvr3node::channelBytes(channels)); }
void zvr3supervisor::hideChannels(const QList<int> &channels) { zvr3node::send(this, Unstrip, zvr3node::channelBytes(channels)); }
