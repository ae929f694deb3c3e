#include "zvr3supervisor.h"

#include <QImage>
#include <QRandomGenerator>

#include <limits>

#include "zvr3decoder.h"
#include "zvr3events.h"
#include "zvr3events_priv.h"
#include "zvr3jpeg.h"
#include "zvr3jpeg_priv.h"
#include "zvr3metatype_p.h"
#include "zvr3net_archive.h"
#include "zvr3net_archive_priv.h"
#include "zvr3net_priv.h"
#include "zvr3node_p.h"
#include "zvr3online.h"
#include "zvr3setup.h"
#include "zvr3setup_priv.h"
#include "zvr3supervisor_priv.h"

// The marker the supervisor puts in front of an archive time request of its own: records that
// come before it belong to what was asked for earlier. Its serial tells the marker of the last
// time request from those of requests that a later one has overtaken.
struct zvr3supervisor_seek
{
    quint64 serial = 0;
};
Q_DECLARE_METATYPE(zvr3supervisor_seek)

namespace {
enum Command { Play = 4, Pause = 5, Enable = 6, Disable = 7, Request = 8 };
// The live source's codes: 6 stops channels, 7 asks for them.
enum LiveCommand { Unstrip = 6, Strip = 7 };
// What zvr3online's open asks for by itself.
constexpr int OpenedChannels = 4;
constexpr int RemoteHostClosed = int(QAbstractSocket::RemoteHostClosedError);

bool isData(const QVariant &v)
{
    return zvr3holds<DATA_T>(v) || zvr3holds<zvr3parser_combined_DATA_T>(v);
}

DATA_T dataOf(const QVariant &v)
{
    return zvr3holds<DATA_T>(v) ? v.value<DATA_T>() : DATA_T(v.value<zvr3parser_combined_DATA_T>());
}
}

zvr3supervisor_private::zvr3supervisor_private(zvr3supervisor *q)
    : q(q)
{
    for (QTimer *t : {&retry, &idle, &steady, &deadline}) {
        t->setSingleShot(true);
        t->setTimerType(Qt::PreciseTimer);
    }
    QObject::connect(&retry, &QTimer::timeout, q, [this] { startAttempt(); });
    QObject::connect(&idle, &QTimer::timeout, q, [this] { stall(); });
    QObject::connect(&steady, &QTimer::timeout, q, [this] { steadyReached(); });
    QObject::connect(&deadline, &QTimer::timeout, q, [this] { deadlineReached(); });
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, q, [this] { tick(); });
    QObject::connect(&garbage, &QTimer::timeout, q, [this] { checkGarbage(); });
    QObject::connect(&pressure, &QTimer::timeout, q, [this] { checkPressure(); });
    QObject::connect(&parser, &zvr3base::sigData, q, [this](const QVariant &v) { fromParser(v); });
    zvr3typeId<zvr3stats>();
    zvr3typeId<zvr3supervisor_seek>();
}

void zvr3supervisor_private::start(QTimer &timer, qint64 ms)
{
    timer.start(int(qMin<qint64>(ms * qMax(timerScale, 1), std::numeric_limits<int>::max())));
}

zvr3supervisor_private *zvr3supervisor_private::of(zvr3supervisor *supervisor)
{
    return supervisor->d;
}

// ---- the source

void zvr3supervisor_private::attach(zvr3base *s)
{
    source = s;
    kind = NoSource;
    if (!s)
        return;
    if (auto *l = qobject_cast<zvr3online *>(s)) {
        kind = Live;
        connection = l->connection;
    } else if (auto *a = qobject_cast<zvr3net_archive *>(s)) {
        kind = Archive;
        archive = a->d;
        worker = a->d;
    } else if (auto *e = qobject_cast<zvr3events *>(s)) {
        kind = Events;
        worker = e->d;
    } else if (auto *j = qobject_cast<zvr3jpeg *>(s)) {
        kind = Jpeg;
        worker = j->d;
    } else if (auto *u = qobject_cast<zvr3setup *>(s)) {
        kind = Setup;
        worker = u->d;
    }
    if (worker)
        connection = worker->net();
    QObject::connect(s, &zvr3base::sigData, q, [this](const QVariant &v) { fromSource(v); });
    if (connection) {
        QObject::connect(connection, &zvr3net_priv::sigState, q, [this](int st) { connectionState(st); });
        QObject::connect(connection, &zvr3net_priv::sigData, q, [this](const QByteArray &a) { bytesIn(a.size()); });
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
    connection = nullptr;
    worker = nullptr;
    archive = nullptr;
    kind = NoSource;
    pending.clear();
    outstanding.reset();
    resetConnection();
}

void zvr3supervisor_private::resetConnection()
{
    connectionBytes = 0;
    stable = false;
    loggedIn = false;
    written = false;
    sawError = false;
    haveHeader = false;
    listed.clear();
    windowBytes = windowGarbage = 0;
    parser.reset();
}

void zvr3supervisor_private::send(int code, const QVariant &arg)
{
    if (source)
        source->slotData(zvr3value(zvr3command(code, arg)));
}

void zvr3supervisor_private::sendSeekMarker()
{
    // A marker is served as soon as its turn in the source's queue comes, even in the middle of a
    // chunk. Code 6 waits for the end of the chunk under way, and with no channel it sends
    // nothing: a marker behind it comes out between chunks.
    send(Enable, QByteArray());
    send(zvr3node::Mark, QVariant::fromValue(zvr3supervisor_seek{++seekSerial}));
    seekPending = true;
}

bool zvr3supervisor_private::supervising() const
{
    return stats.state == zvr3stats::Connecting || stats.state == zvr3stats::Streaming
           || stats.state == zvr3stats::Stalled;
}

void zvr3supervisor_private::closeSource()
{
    idle.stop();
    steady.stop();
    garbage.stop();
    deadline.stop();
    pressure.stop();
    if (!source)
        return;
    quiet = true;
    if (kind == Events || kind == Jpeg) {
        // Neither service has a close of its own: the connection is closed under the worker,
        // which then drops the request as after any close.
        if (connection)
            connection->close();
    } else if (kind != NoSource) {
        send(zvr3node::Close);
    }
    quiet = false;
}

// ---- commands

void zvr3supervisor_private::command(int code, const QVariant &arg)
{
    if (kind == NoSource) {
        send(code, arg);
        return;
    }
    if (code == zvr3node::Close) {
        retry.stop();
        ticker.stop();
        pending.clear();
        outstanding.reset();
        closeSource();
        if (stats.state != zvr3stats::Closed)
            setState(zvr3stats::Closed);
        return;
    }
    if (kind == Events || kind == Jpeg || (kind == Setup && (code == zvr3node::Mark || code == Request))) {
        pending.append(zvr3command(code, arg));
        pump();
        return;
    }
    if (code == zvr3node::Open) {
        retry.stop();
        url = arg.toUrl();
        channels.reset();
        for (int c = 0; c < OpenedChannels; ++c)
            channels.set(c);
        channelCommands.clear();
        playFrom.reset();
        passed.clear();
        skip.clear();
        lastPassedMs.reset();
        lastIndex.reset();
        headerPassed = false;
        resuming = appPaused = heldBack = sourcePaused = needTimeRequest = false;
        heldPosition = QVariant();
        pending.clear();
        outstanding.reset();
        failures = 0;
        stats.attempt = 0;
        stats.lastError = zvr3error();
        lastByte.invalidate();
        if (statsInterval > 0)
            start(ticker, statsInterval);
        startAttempt();
        return;
    }
    if (kind == Live && (code == Unstrip || code == Strip)) {
        for (const char c : arg.toByteArray())
            channels.set(quint8(c), code == Strip);
        // While waiting nothing is connected: the reconnect asks for what is wanted then.
        if (stats.state == zvr3stats::Connecting || stats.state == zvr3stats::Streaming)
            send(code, arg);
        return;
    }
    if (kind == Archive) {
        switch (code) {
        case Enable:
        case Disable:
            channelCommands.append(zvr3command(code, arg));
            if (supervising())
                send(code, arg);
            return;
        case Play: {
            const bool fetching = supervising() && !sourcePaused && !needTimeRequest;
            playFrom = arg.toDateTime();
            passed.clear();
            skip.clear();
            lastPassedMs.reset();
            lastIndex.reset();
            resuming = false;
            if (!supervising()) {
                needTimeRequest = true;
            } else if (fetching) {
                // The rest of the chunk under way (of the old place, or of a time request still
                // waiting, that this one overtakes) still comes and is left out; the marker,
                // behind the barrier, tells where the new place begins. (Passed on, those records
                // would also become the place a reconnect resumes from.)
                discarding = true;
                sendSeekMarker();
                send(Play, *playFrom);
                idle.stop();
                if (idleTimeout > 0)
                    start(idle, idleTimeout);
            } else {
                // A source told to pause may still be in the chunk under way, and going on brings
                // one more chunk of the old place: none of it is the place asked for now. The
                // marker sent with the time request, when the hold ends, lets records through
                // again. (A source that a reconnect left asking for nothing brings nothing, and
                // its time request goes without a marker.)
                if (sourcePaused)
                    discarding = true;
                needTimeRequest = true;
                updatePause();
            }
            return;
        }
        case Pause:
            appPaused = arg.toBool();
            updatePause();
            return;
        default:
            break;
        }
    }
    send(code, arg);
}

void zvr3supervisor_private::startAttempt()
{
    if (kind == NoSource)
        return;
    if (stats.attempt > 0)
        ++stats.reconnects;
    ++stats.attempt;
    resetConnection();
    setState(zvr3stats::Connecting);
    quiet = true;
    // Commands the failed connection left waiting are the supervisor's to send again, or not.
    if (worker)
        worker->flushQueue();
    send(zvr3node::Open, url);
    quiet = false;
    switch (kind) {
    case Live:
        restoreChannels();
        break;
    case Archive:
        for (const zvr3command &c : std::as_const(channelCommands))
            send(c.code, c.data);
        heldPosition = QVariant();
        // The records that the new connection brings again are matched against those passed.
        skip = passed;
        resuming = true;
        discarding = false;
        seekPending = false;
        sourcePaused = false;
        needTimeRequest = playFrom.has_value();
        updatePause();
        break;
    case Events:
    case Jpeg:
        start(deadline, requestTimeout);
        break;
    case Setup:
        if (outstanding) {
            start(deadline, requestTimeout);
            send(outstanding->code, outstanding->data);
        } else {
            pump();
        }
        break;
    case NoSource:
        break;
    }
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
        send(Unstrip, hide);
    if (!show.isEmpty())
        send(Strip, show);
}

// ---- what the source says

void zvr3supervisor_private::bytesIn(qint64 count)
{
    stats.bytesReceived += count;
    connectionBytes += count;
    windowBytes += count;
    lastByte.start();
    if (stats.state == zvr3stats::Streaming && idleTimeout > 0 && kind != Events && kind != Jpeg && kind != Setup)
        start(idle, idleTimeout);
}

void zvr3supervisor_private::fromSource(const QVariant &value)
{
    switch (kind) {
    case Live:
        if (value.typeId() == QMetaType::QByteArray) {
            parser.slotData(value);
            return;
        }
        emit q->sigData(value);
        if (const auto e = zvr3take<zvr3error>(value))
            failure(*e);
        return;
    case Archive:
        fromArchive(value);
        return;
    case Events:
    case Jpeg:
    case Setup:
        fromRequests(value);
        return;
    case NoSource:
        emit q->sigData(value);
        return;
    }
}

void zvr3supervisor_private::connectionState(int st)
{
    if (quiet)
        return;
    if (st == zvr3net_priv::LoggedIn && stats.state == zvr3stats::Connecting) {
        loggedIn = true;
        setState(zvr3stats::Streaming);
        if (kind == Setup && outstanding)
            written = true;  // the worker writes its request at the login
        if (kind == Live || kind == Archive) {
            if (idleTimeout > 0) {
                start(idle, idleTimeout);
                start(garbage, idleTimeout);
            }
            start(steady, StableTime);
        }
    } else if (st == zvr3net_priv::Closed && (kind == Live || kind == Archive)) {
        // A peer that closed without a socket error first. Event lists and snapshots end with a
        // close of their own; the set-up node reports every failure, a turn of the event loop
        // after the close.
        failure(zvr3error(RemoteHostClosed, zvr3supervisor::tr("The remote host closed the connection"),
                          zvr3error::SocketError));
    }
}

void zvr3supervisor_private::fromParser(const QVariant &value)
{
    countRecord(value);
    emit q->sigData(value);
}

void zvr3supervisor_private::countRecord(const QVariant &value)
{
    if (const auto p = zvr3take<zvr3parser_position>(value)) {
        if (p->type == 7) {
            stats.skippedBytes += p->length;
            windowGarbage += p->length;
        }
    } else if (const auto h = zvr3take<HDR_T>(value)) {
        listed.clear();
        for (const STREAM_T &s : h->streams)
            listed.insert(uint(s.number));
        haveHeader = true;
    } else if (zvr3holds<DATA_T>(value)) {
        const DATA_T d = value.value<DATA_T>();
        if (haveHeader && !listed.contains(d.stream)) {
            ++stats.unlistedRecords;
            windowGarbage += d.data.size() + 4;
        }
    }
}

void zvr3supervisor_private::checkGarbage()
{
    // Most of what came in the last idle time was not a stream: such a source is no better than
    // a silent one.
    const bool mostlyGarbage = windowBytes > 0 && windowGarbage * 2 > windowBytes;
    windowBytes = windowGarbage = 0;
    if (!mostlyGarbage || stats.state != zvr3stats::Streaming)
        return;
    setState(zvr3stats::Stalled);
    const zvr3error e(-1, zvr3supervisor::tr("Device data protocol error"), zvr3error::ProtocolError);
    emit q->sigData(zvr3value(e));
    closeSource();
    failure(e);
}

// ---- the archive

bool zvr3supervisor_private::awaitingChunk() const
{
    if (!archive)
        return false;
    const int s = archive->currentState();
    return s >= zvr3net_archive_priv::Requested && s <= zvr3net_archive_priv::Closing;
}

QDateTime zvr3supervisor_private::resumeTime() const
{
    // Record times count the recorder's wall clock as if it were UTC; the time request writes the
    // date-time's own fields, so a UTC date-time of the same count asks for the same moment.
    if (lastPassedMs)
        return QDateTime::fromMSecsSinceEpoch(*lastPassedMs, Qt::UTC);
    return playFrom.value_or(QDateTime());
}

void zvr3supervisor_private::updatePause()
{
    if (kind != Archive || !supervising())
        return;
    const bool hold = appPaused || heldBack || ownerHold;
    if (hold && !sourcePaused && !needTimeRequest && !seekPending) {
        // Served when the chunk under way is complete: the next one is not asked for.
        send(Pause, true);
        sourcePaused = true;
    } else if (!hold && needTimeRequest && playFrom) {
        if (sourcePaused) {
            // The source sits paused after a chunk of the old place: going on brings one more
            // chunk of it, which the seek marker sets apart. A source that has served the
            // pause already asks for that chunk at once, and would let the marker out before
            // the chunk comes: the barrier holds it back to the chunk's end.
            discarding = true;
            send(Pause, false);
            sendSeekMarker();
        }
        send(Play, resumeTime());
        sourcePaused = false;
        needTimeRequest = false;
    } else if (!hold && sourcePaused) {
        send(Pause, false);
        sourcePaused = false;
    } else {
        return;
    }
    if (!hold && idleTimeout > 0 && stats.state == zvr3stats::Streaming)
        start(idle, idleTimeout);
}

void zvr3supervisor_private::setOwnerHold(bool hold)
{
    if (ownerHold == hold)
        return;
    ownerHold = hold;
    updatePause();
}

void zvr3supervisor_private::checkPressure()
{
    if (kind != Archive || backPressure <= 0)
        return;
    qint64 most = 0;
    for (const QPointer<zvr3decoder> &d : std::as_const(decoders)) {
        if (d)
            most = qMax(most, d->counters().queued);
    }
    if (!heldBack && most >= backPressure) {
        heldBack = true;
        pressure.start(PressurePollMs);
        updatePause();
    } else if (heldBack && most <= backPressure / 2) {
        heldBack = false;
        pressure.stop();
        updatePause();
    }
}

quint64 zvr3supervisor_private::streamKey(const QVariant &record)
{
    const DATA_T d = dataOf(record);
    return quint64(d.stream) << 1 | (zvr3holds<zvr3parser_combined_DATA_T>(record) ? 1 : 0);
}

bool zvr3supervisor_private::passAgain(quint64 key, qint64 time)
{
    // After a reconnect the chunk that holds the resume time comes again from its start: what
    // each stream has passed already (up to its last time, and as many records at that time)
    // is left out, the rest goes on.
    const auto it = skip.find(key);
    if (it == skip.end())
        return true;
    if (time < it->time)
        return false;
    if (time == it->time && it->count > 0) {
        --it->count;
        return false;
    }
    skip.erase(it);
    return true;
}

void zvr3supervisor_private::fromArchive(const QVariant &value)
{
    countRecord(value);
    if (const auto seek = zvr3take<zvr3supervisor_seek>(value)) {
        // From here on the records are those of the time asked for: nothing before is kept as
        // the place to resume from, and (after a pause) the chunk of the old place was not asked
        // for. Markers that a reconnect flushes out of the worker's queue change nothing.
        if (quiet)
            return;
        heldPosition = QVariant();
        if (seek->serial != seekSerial) {
            // A later time request waits behind this one: what this one brings is a place left
            // behind too, up to the marker of the last.
            discarding = true;
            return;
        }
        seekPending = false;
        passed.clear();
        lastPassedMs.reset();
        lastIndex.reset();
        discarding = false;
        // A hold that came meanwhile takes effect now, after the chunk of the place asked for.
        updatePause();
        return;
    }
    if (zvr3holds<zvr3parser_position>(value)) {
        if (heldPosition.isValid() && !discarding)
            emit q->sigData(heldPosition);
        heldPosition = value;
        return;
    }
    const QVariant position = std::exchange(heldPosition, QVariant());
    const bool record = zvr3holds<HDR_T>(value) || zvr3holds<IDX_T>(value) || isData(value);
    bool pass = !(record && discarding);
    if (const auto e = zvr3take<zvr3error>(value)) {
        if (position.isValid())
            emit q->sigData(position);
        emit q->sigData(value);
        failure(*e);
        return;
    }
    if (const auto h = zvr3take<HDR_T>(value)) {
        // The worker leaves out a header that repeats the last one of its connection; across
        // connections the supervisor does.
        if (headerPassed && zvr3net_archive_priv::sameHeader(*h, lastHeader))
            pass = false;
        if (pass) {
            lastHeader = *h;
            headerPassed = true;
        }
    } else if (const auto x = zvr3take<IDX_T>(value)) {
        if (resuming && lastIndex && x->time <= *lastIndex)
            pass = false;
        if (pass)
            lastIndex = x->time;
    } else if (isData(value)) {
        const qint64 time = dataOf(value).time;
        const quint64 key = streamKey(value);
        if (pass && resuming)
            pass = passAgain(key, time);
        if (pass) {
            Passed &p = passed[key];
            p.count = p.time == time ? p.count + 1 : 1;
            p.time = time;
            lastPassedMs = time;
        }
    }
    if (!pass)
        return;
    if (position.isValid())
        emit q->sigData(position);
    emit q->sigData(value);
    if (isData(value) && backPressure > 0)
        checkPressure();
}

// ---- requests

bool zvr3supervisor_private::retryable(const zvr3error &e) const
{
    // The connection failed: another attempt may succeed. A refused login is not tried again,
    // and an answer that the recorder gave (an error, a reply of the wrong form or size) would
    // come again.
    return e.reason == zvr3error::SocketError || e.reason == zvr3error::Timeout || e.reason == zvr3error::UnexpectedReply;
}

void zvr3supervisor_private::pump()
{
    while (!outstanding && !pending.isEmpty()) {
        if (kind == Setup && !supervising() && stats.state != zvr3stats::Closed)
            return;  // waiting to reconnect: the requests wait too
        const zvr3command c = pending.takeFirst();
        if (c.code == zvr3node::Mark) {
            emit q->sigData(c.data);
            continue;
        }
        outstanding = c;
        if (kind == Setup) {
            if (stats.state == zvr3stats::Closed) {
                // Not opened: the worker drops it, as it would without a supervisor.
                outstanding.reset();
                send(c.code, c.data);
                continue;
            }
            written = loggedIn;
            start(deadline, requestTimeout);
            send(c.code, c.data);
            return;
        }
        url = c.data.toUrl();
        failures = 0;
        stats.attempt = 0;
        stats.lastError = zvr3error();
        lastByte.invalidate();
        startAttempt();
    }
}

void zvr3supervisor_private::requestDone(bool answered)
{
    deadline.stop();
    outstanding.reset();
    if (answered)
        failures = 0;
    if ((kind == Events || kind == Jpeg) && stats.state != zvr3stats::Failed)
        setState(zvr3stats::Closed);
    pump();
}

void zvr3supervisor_private::fromRequests(const QVariant &value)
{
    if (const auto e = zvr3take<zvr3error>(value)) {
        emit q->sigData(value);
        if (!outstanding && kind != Setup)
            return;
        if (retryable(*e) || e->reason == zvr3error::AccessDenied) {
            if (kind == Jpeg && e->code == RemoteHostClosed)
                return;  // the snapshot service ends every reply so; the picture tells
            sawError = true;
            if (kind == Setup && outstanding && written) {
                // The request may have been carried out: a SET is never applied twice.
                deadline.stop();
                outstanding.reset();
            }
            failure(*e);
            if (stats.state == zvr3stats::Failed && outstanding && kind != Jpeg)
                requestDone(false);
            return;
        }
        // An answer of its own kind: the request is over, the next one goes on (a snapshot's
        // placeholder follows and ends it).
        if (kind == Events) {
            quiet = true;
            if (connection)
                connection->close();
            quiet = false;
            requestDone(false);
        } else if (kind == Setup && (e->reason == zvr3error::DeviceError || e->reason == zvr3error::ProtocolError)) {
            requestDone(false);
        } else if (kind == Setup) {
            outstanding.reset();
            failure(*e);
        } else {
            sawError = true;
        }
        return;
    }
    if (kind == Events && zvr3holds<EVENTS_FILE_LIST_T>(value)) {
        emit q->sigData(value);
        requestDone(true);
        return;
    }
    if (kind == Setup && value.typeId() == QMetaType::QByteArray && outstanding) {
        emit q->sigData(value);
        requestDone(true);
        return;
    }
    if (kind == Jpeg && zvr3holds<QImage>(value) && outstanding) {
        const QImage image = value.value<QImage>();
        const bool failedPicture = image.text(QStringLiteral("description")) == QLatin1String("error");
        if (failedPicture && stats.state == zvr3stats::WaitingToReconnect)
            return;  // the failed attempt's placeholder: another attempt follows
        const auto *jpeg = qobject_cast<const zvr3jpeg_priv *>(worker.data());
        if (failedPicture && !sawError && supervising() && !(jpeg && jpeg->wholeReply())) {
            // The recorder closed before the picture was whole. A whole reply that is no picture
            // is its answer, and would come again.
            failure(zvr3error(RemoteHostClosed, zvr3supervisor::tr("The remote host closed the connection"),
                              zvr3error::SocketError));
            if (stats.state == zvr3stats::WaitingToReconnect)
                return;
        }
        emit q->sigData(value);
        requestDone(!failedPicture);
        return;
    }
    emit q->sigData(value);
}

void zvr3supervisor_private::deadlineReached()
{
    // The connection's own watchdog restarts with every piece of the answer; a recorder that
    // trickles keeps it away for ever. This bounds the whole request.
    if (outstanding && connection)
        connection->fail(-1, zvr3supervisor::tr("Network operation timeout"), zvr3error::Timeout);
}

// ---- attempts and waits

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
    if (!rateClock.isValid()) {
        rateClock.start();
        rateBytes = stats.bytesReceived;
    } else if (const qint64 ms = rateClock.elapsed(); ms >= 100) {
        stats.bytesPerSecond = (stats.bytesReceived - rateBytes) * 1000 / ms;
        rateClock.start();
        rateBytes = stats.bytesReceived;
    }
    countDecoders(stats);
    emit q->sigData(zvr3value(stats));
}

void zvr3supervisor_private::countDecoders(zvr3stats &s) const
{
    s.decoded = s.dropped = s.queued = 0;
    for (const QPointer<zvr3decoder> &d : decoders) {
        if (!d)
            continue;
        const zvr3decoder_counters c = d->counters();
        s.decoded += c.decoded;
        s.dropped += c.dropped;
        s.queued += c.queued;
    }
}

void zvr3supervisor_private::stall()
{
    if (stats.state != zvr3stats::Streaming)
        return;
    // A paused archive, or one that has asked for nothing yet, is silent by right.
    if (kind == Archive && !awaitingChunk())
        return;
    setState(zvr3stats::Stalled);
    const zvr3error e(-1, zvr3supervisor::tr("Network operation timeout"), zvr3error::Timeout);
    emit q->sigData(zvr3value(e));
    closeSource();
    failure(e);
}

void zvr3supervisor_private::failure(const zvr3error &e)
{
    if (!supervising())
        return;
    idle.stop();
    steady.stop();
    garbage.stop();
    deadline.stop();
    pressure.stop();
    heldBack = false;
    stats.lastError = e;
    if (stable && connectionBytes > 0)
        failures = 0;
    if (e.reason == zvr3error::AccessDenied || (maxAttempts > 0 && stats.attempt >= maxAttempts)) {
        setState(zvr3stats::Failed);
        closeSource();
        if (kind == Events || kind == Jpeg || kind == Setup)
            pending.clear();
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

// ---- the node

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
int zvr3supervisor::requestTimeout() const { return d->requestTimeout; }
void zvr3supervisor::setRequestTimeout(int ms) { d->requestTimeout = qMax(ms, 0); }
int zvr3supervisor::statsInterval() const { return d->statsInterval; }
void zvr3supervisor::setStatsInterval(int ms)
{
    d->statsInterval = qMax(ms, 0);
    if (d->statsInterval == 0)
        d->ticker.stop();
    else if (d->stats.state != zvr3stats::Closed)
        zvr3supervisor_private::start(d->ticker, d->statsInterval);
}

int zvr3supervisor::backPressure() const { return d->backPressure; }
void zvr3supervisor::setBackPressure(int records)
{
    d->backPressure = qMax(records, 0);
    if (d->backPressure == 0 && d->heldBack) {
        d->heldBack = false;
        d->pressure.stop();
        d->updatePause();
    }
}

void zvr3supervisor::addDecoder(zvr3decoder *decoder)
{
    if (decoder && !d->decoders.contains(decoder))
        d->decoders.append(decoder);
}

void zvr3supervisor::removeDecoder(zvr3decoder *decoder)
{
    d->decoders.removeAll(decoder);
    d->decoders.removeAll(nullptr);
}

zvr3stats zvr3supervisor::stats() const
{
    zvr3stats s = d->stats;
    s.msSinceLastByte = d->lastByte.isValid() ? d->lastByte.elapsed() : -1;
    d->countDecoders(s);
    return s;
}

void zvr3supervisor::slotData(const QVariant &data)
{
    if (const auto c = zvr3take<zvr3command>(data))
        d->command(c->code, c->data);
}

void zvr3supervisor::open(const QUrl &url) { zvr3node::send(this, zvr3node::Open, url); }
void zvr3supervisor::close() { zvr3node::send(this, zvr3node::Close); }
void zvr3supervisor::mark(const QVariant &value) { zvr3node::send(this, zvr3node::Mark, value); }
void zvr3supervisor::showChannels(const QList<int> &channels)
{
    // Code 7 asks for channels on a live source and leaves them out of an archive.
    zvr3node::send(this, d->kind == zvr3supervisor_private::Archive ? int(Enable) : int(Strip), zvr3node::channelBytes(channels));
}
void zvr3supervisor::hideChannels(const QList<int> &channels)
{
    zvr3node::send(this, d->kind == zvr3supervisor_private::Archive ? int(Disable) : int(Unstrip), zvr3node::channelBytes(channels));
}
void zvr3supervisor::play(const QDateTime &from) { zvr3node::send(this, Play, from); }
void zvr3supervisor::setPaused(bool paused) { zvr3node::send(this, Pause, paused); }
void zvr3supervisor::fetch(const QUrl &url) { zvr3node::send(this, zvr3node::Open, url); }
void zvr3supervisor::request(const QByteArray &bytes) { zvr3node::send(this, Request, bytes); }
