#include "simserver.h"

#include <QBuffer>
#include <QDateTime>
#include <QRegularExpression>

#include "zvr3streamwriter.h"

using zvr3fake::FakeSession;

namespace zvr3sim {

namespace {

constexpr int ChunkSeconds = 2;
constexpr qint64 MaxLag = 4 * 1024 * 1024;   // bytes queued for a live client before frames are left out
constexpr quint32 ChunkRefHigh = 1;

void appendU32(QByteArray &out, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xFF));
}

// "dd/MM/yyyy,hh:mm:ss", read as UTC: the simulated recorder's clock runs on UTC.
qint64 parseTime(const QString &text, bool *ok)
{
    const QStringList parts = text.trimmed().split(QLatin1Char(','));
    const QDate date = parts.size() == 2 ? QDate::fromString(parts[0], QStringLiteral("dd/MM/yyyy")) : QDate();
    const QTime time = parts.size() == 2 ? QTime::fromString(parts[1], QStringLiteral("hh:mm:ss")) : QTime();
    *ok = date.isValid() && time.isValid();
    return *ok ? QDateTime(date, time, Qt::UTC).toSecsSinceEpoch() : 0;
}

} // namespace

Server::Server(const Options &options, Source *source)
    : m_options(options), m_source(source)
{
    m_recorder.checkLogin = true;
    m_recorder.expectedUser = options.user;
    m_recorder.expectedPassword = options.password;
    m_recorder.onLogin = [this](FakeSession *session) { loggedIn(session); };
    m_recorder.onRequest = [this](FakeSession *session, const QByteArray &line) { request(session, line); };
    connect(&m_recorder, &zvr3fake::FakeRecorder::sessionStarted, this, &Server::started);

    m_settings.insert(QStringLiteral("device.name"), QStringLiteral("zvr3-sim"));
    m_settings.insert(QStringLiteral("device.channels"), QString::number(options.channels));
    m_settings.insert(QStringLiteral("video.width"), QString::number(options.size.width()));
    m_settings.insert(QStringLiteral("video.height"), QString::number(options.size.height()));
    m_settings.insert(QStringLiteral("video.fps"), QString::number(FramesPerSecond));
    m_settings.insert(QStringLiteral("audio.rate"), QString::number(SampleRate));
    m_settings.insert(QStringLiteral("time.zone"), QStringLiteral("UTC"));
    m_settings.insert(QStringLiteral("archive.seconds"), QString::number(options.keepSeconds));

    m_startSecond = QDateTime::currentMSecsSinceEpoch() / 1000;
    m_ticker.setTimerType(Qt::PreciseTimer);
    m_ticker.setInterval(FrameMs);
    connect(&m_ticker, &QTimer::timeout, this, &Server::tick);
    m_upTimer.setTimerType(Qt::PreciseTimer);
    m_upTimer.setSingleShot(true);
    connect(&m_upTimer, &QTimer::timeout, this, &Server::comeUp);
}

Server::~Server()
{
    // The recorder closes its connections as it goes; their signals must not reach a half-gone server.
    m_ticker.stop();
    m_recorder.onLogin = nullptr;
    m_recorder.onRequest = nullptr;
    for (FakeSession *session : m_recorder.sessions())
        session->disconnect(this);
}

bool Server::listen()
{
    if (!m_recorder.listen(m_options.address, m_options.port))
        return false;
    m_port = m_recorder.port();
    m_lastFrame = QDateTime::currentMSecsSinceEpoch() / FrameMs;
    m_ticker.start();
    if (m_options.downAt >= 0)
        QTimer::singleShot(m_options.downAt, Qt::PreciseTimer, this, [this] { goDown(m_options.downMs); });
    return true;
}

void Server::goDown(int milliseconds)
{
    goDown(milliseconds, nullptr);
}

void Server::goDown(int milliseconds, FakeSession *spared)
{
    if (m_down)
        return;
    // The port closes first: whoever sees a connection end and tries again is refused.
    m_down = true;
    m_recorder.close();
    emit wentDown(milliseconds);
    for (FakeSession *session : m_recorder.sessions()) {
        if (session != spared && session->isOpen())
            session->abort();
    }
    if (milliseconds > 0)
        m_upTimer.start(milliseconds);
}

void Server::comeUp()
{
    if (!m_down)
        return;
    m_upTimer.stop();
    // The same port, which nobody else should have taken meanwhile; if someone has, try again.
    if (!m_recorder.listen(m_options.address, m_port)) {
        emit listenFailed(m_recorder.errorString());
        m_upTimer.start(100);
        return;
    }
    m_down = false;
    emit listening(m_port);
}

void Server::endFaults()
{
    comeUp();
    const QList<FakeSession *> sessions = m_connections.keys();
    for (FakeSession *session : sessions)
        goOn(session);
}

void Server::goOn(FakeSession *session)
{
    auto it = m_connections.find(session);
    if (it == m_connections.end() || !it->stalled)
        return;
    it->stalled = false;
    const QList<QPair<QByteArray, int>> held = std::exchange(it->held, {});
    emit goingOn(it->number);
    for (const auto &answer : held)
        deliver(session, answer.first, answer.second);
}

qint64 Server::newestSecond() const
{
    return QDateTime::currentMSecsSinceEpoch() / 1000 - 1;
}

qint64 Server::oldestSecond() const
{
    // History "recorded" before the start, then everything since, up to the amount kept.
    const qint64 newest = newestSecond();
    return qMin(newest, qMax(m_startSecond - m_options.archiveSeconds, newest - m_options.keepSeconds + 1));
}

void Server::started(FakeSession *session)
{
    connect(session, &FakeSession::closed, this, [this, session] {
        m_live.remove(session);
        m_connections.remove(session);
        session->deleteLater();
    });
    m_connections[session].number = ++m_connectionCount;
    if (m_options.dropEvery > 0) {
        QTimer::singleShot(m_options.dropEvery * 1000, Qt::PreciseTimer, session, [session] {
            if (session->isOpen())
                session->abort();
        });
    }
}

void Server::reply(FakeSession *session, const QByteArray &bytes, bool close)
{
    const auto it = m_connections.find(session);
    if (it == m_connections.end())
        return;   // closed already
    QByteArray out = bytes;
    const int count = ++it->replies;
    if (m_options.garbage && count % 10 == 0) {
        for (char &c : out)
            c = char(QRandomGenerator::global()->bounded(256));
    }
    // The n-th answer still goes out whole; the line closes (or stalls) behind it.
    int flags = close ? Close : 0;
    if (m_options.dropAfter > 0 && count == m_options.dropAfter)
        flags |= Close;
    if (m_options.stallAfter > 0 && count == m_options.stallAfter)
        flags |= Stall;
    if (m_options.downAfter > 0 && count == m_options.downAfter && !m_downAfterDone) {
        m_downAfterDone = true;
        flags |= Down;
    }
    if (m_options.slowMs <= 0) {
        deliver(session, out, flags);
        return;
    }
    QPointer<FakeSession> guard(session);
    QTimer::singleShot(m_options.slowMs, Qt::PreciseTimer, this, [this, guard, out, flags] {
        if (guard)
            deliver(guard, out, flags);
    });
}

void Server::deliver(FakeSession *session, const QByteArray &bytes, int flags)
{
    auto it = m_connections.find(session);
    if (it == m_connections.end())
        return;
    if (it->stalled) {
        it->held.append(qMakePair(bytes, flags));
        return;
    }
    if (flags & Down) {
        // This connection gets its answer before its line closes; the others go at once.
        goDown(m_options.downMs, session);
        flags |= Close;
    }
    session->send(bytes, INT_MAX);
    if (flags & Close) {
        session->closeWhenSent();
    } else if (flags & Stall) {
        Connection &connection = m_connections[session];
        connection.stalled = true;
        emit stalled(connection.number, m_options.stallMs);
        if (m_options.stallMs > 0) {
            QPointer<FakeSession> guard(session);
            QTimer::singleShot(m_options.stallMs, Qt::PreciseTimer, this, [this, guard] {
                if (guard)
                    goOn(guard);
            });
        }
    }
}

void Server::loggedIn(FakeSession *session)
{
    if (session->service() == 1) {
        // The stream starts with the header and the current second's index record; the channels
        // come as the client picks them.
        LiveClient client;
        client.selected = QVector<bool>(m_source->channels(), false);
        client.lastSecond = QDateTime::currentMSecsSinceEpoch() / 1000;
        m_live.insert(session, client);
        reply(session, zvr3stream::encodeHeader(m_source->header()) + Source::indexRecord(client.lastSecond));
    }
}

void Server::request(FakeSession *session, const QByteArray &line)
{
    switch (session->service()) {
    case 1:
        liveRequest(session, line);
        break;
    case 2:
        archiveRequest(session, line);
        break;
    case 3:
        eventsRequest(session, line);
        break;
    case 4:
        setupRequest(session, line);
        break;
    case 6:
        jpegRequest(session, line);
        break;
    default:
        session->abort();
        break;
    }
}

void Server::liveRequest(FakeSession *session, const QByteArray &line)
{
    auto it = m_live.find(session);
    if (it == m_live.end())
        return;
    static const QRegularExpression channelLine(QStringLiteral("^(UN)?STRIP_([0-9A-Fa-f]{2})$"));
    const QRegularExpressionMatch match = channelLine.match(QString::fromLatin1(line));
    if (!match.hasMatch())
        return;
    const int channel = match.captured(2).toInt(nullptr, 16);
    if (channel < it->selected.size())
        it->selected[channel] = match.captured(1).isEmpty();
}

void Server::tick()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch() / FrameMs;
    // After a stall, catch up a little, but never flood the clients with a long backlog.
    qint64 first = qMax(m_lastFrame + 1, now - 4);
    for (qint64 f = first; f <= now; ++f) {
        emit frameWriting(f);
        const qint64 second = f / FramesPerSecond;
        const bool secondStart = f % FramesPerSecond == 0;
        // Answers may drop connections (--down-after): walk a copy.
        const QList<FakeSession *> sessions = m_live.keys();
        for (FakeSession *session : sessions) {
            const auto it = m_live.find(session);
            if (it == m_live.end())
                continue;
            LiveClient &client = it.value();
            if (!session->isOpen())
                continue;
            if (m_connections.value(session).stalled) {
                client.skipping = true;   // the stall's frames are left out
                continue;
            }
            if (session->pendingBytes() > MaxLag) {
                client.skipping = true;
                continue;
            }
            if (client.skipping && !secondStart)
                continue;
            client.skipping = false;
            QByteArray bytes;
            if (!secondStart && second != client.lastSecond)
                bytes += Source::indexRecord(second);   // a second whose start was left out
            client.lastSecond = second;
            bytes += m_source->frameRecords(f, client.selected);
            reply(session, bytes);
        }
    }
    m_lastFrame = now;
}

void Server::archiveRequest(FakeSession *session, const QByteArray &line)
{
    qint64 second = 0;
    if (line.startsWith("GET_TIME_")) {
        bool ok = false;
        second = parseTime(QString::fromLatin1(line.mid(9)), &ok);
        if (!ok) {
            reply(session, zvr3fake::answerBlock(QByteArray(), "TRAL_ANSWER=ERROR\r\n"));
            return;
        }
    } else if (line.startsWith("GET_INDEX_") && line.size() == 10 + 16) {
        bool ok = false;
        second = line.mid(18, 8).toLongLong(&ok, 16);
        if (!ok) {
            reply(session, zvr3fake::answerBlock(QByteArray(), "TRAL_ANSWER=ERROR\r\n"));
            return;
        }
    } else {
        reply(session, zvr3fake::answerBlock(QByteArray(), "TRAL_ANSWER=ERROR\r\n"));
        return;
    }
    // A time before the oldest second kept plays from the oldest, one after the present from the
    // newest; a chunk announced by the last one (the second after it) waits until it is recorded.
    const bool announced = line.startsWith("GET_INDEX_") && second <= newestSecond() + ChunkSeconds;
    if (!announced)
        second = qMin(second, newestSecond());
    second = qMax(second, oldestSecond());
    const qint64 wait = (second + 1) * 1000 - QDateTime::currentMSecsSinceEpoch();
    if (second > newestSecond() && wait > 0) {
        // Playback has caught up with the present: the chunk goes out once its second is over.
        QPointer<FakeSession> guard(session);
        QTimer::singleShot(int(qMin<qint64>(wait + 20, 600000)), Qt::PreciseTimer, this, [this, guard, second] {
            if (guard && guard->isOpen())
                sendChunk(guard, second);
        });
        return;
    }
    sendChunk(session, second);
}

void Server::sendChunk(FakeSession *session, qint64 second)
{
    const qint64 last = qMin(second + ChunkSeconds - 1, qMax(second, newestSecond()));
    const QVector<bool> all(m_source->channels(), true);
    const QByteArray header = zvr3stream::encodeHeader(m_source->header());
    QByteArray out;
    for (qint64 s = second; s <= last; ++s) {
        ARCHIVE_T_HDR chunk;
        chunk.ref_high = ChunkRefHigh;
        chunk.ref_low = quint32(s);
        out += header + zvr3stream::encodeChunkHeader(chunk) + m_source->secondRecords(s, all);
    }
    ARCHIVE_T_HDR next;
    next.ref_high = ChunkRefHigh;
    next.ref_low = quint32(last + 1);
    out += zvr3stream::encodeChunkHeader(next) + Source::indexRecord(last + 1);
    reply(session, out);
}

void Server::eventsRequest(FakeSession *session, const QByteArray &line)
{
    if (!line.startsWith("GET_ALL_EVENTS_")) {
        reply(session, zvr3fake::answerBlock(QByteArray(), "TRAL_ANSWER=ERROR\r\n"));
        return;
    }
    const QStringList parts = QString::fromLatin1(line.mid(15)).split(QLatin1Char(','));
    bool okFrom = false;
    bool okTo = false;
    qint64 from = parts.size() == 4 ? parseTime(parts[0] + QLatin1Char(',') + parts[1], &okFrom) : 0;
    qint64 to = parts.size() == 4 ? parseTime(parts[2] + QLatin1Char(',') + parts[3], &okTo) : 0;
    if (!okFrom || !okTo) {
        reply(session, zvr3fake::eventListReply({}));
        return;
    }
    // The events of the period that the archive still holds.
    from = qMax(from, oldestSecond());
    to = qMin(to, newestSecond());
    QByteArray group;
    for (qint64 s = from + (EventEverySeconds - from % EventEverySeconds) % EventEverySeconds; s <= to;
         s += EventEverySeconds) {
        EVENTS_FILE_DATA_T event;
        event.time = s * 1000;
        event.number = quint32(s / EventEverySeconds % qMax(1, m_source->channels()));
        event.texts.append(PARAM_T{1, eventText(s, m_source->channels())});
        event.texts.append(PARAM_T{2, QStringLiteral("Channel %1").arg(event.number)});
        group += zvr3stream::encodeEvent(event);
    }
    reply(session, zvr3fake::eventListReply({group}));
}

void Server::setupRequest(FakeSession *session, const QByteArray &line)
{
    const QString text = QString::fromUtf8(line).trimmed();
    const QByteArray error = zvr3fake::answerBlock(QByteArray(), "TRAL_ANSWER=ERROR\r\n");
    auto entry = [this](const QString &name) { return (name + QLatin1Char('=') + m_settings.value(name) + QStringLiteral("\r\n")).toUtf8(); };
    if (text == QLatin1String("LIST")) {
        QByteArray data;
        for (auto it = m_settings.cbegin(); it != m_settings.cend(); ++it)
            data += entry(it.key());
        reply(session, zvr3fake::answerBlock(data));
    } else if (text.startsWith(QLatin1String("GET "))) {
        const QString name = text.mid(4).trimmed();
        reply(session, m_settings.contains(name) ? zvr3fake::answerBlock(entry(name)) : error);
    } else if (text.startsWith(QLatin1String("SET "))) {
        const QString assignment = text.mid(4);
        const qsizetype equals = assignment.indexOf(QLatin1Char('='));
        const QString name = assignment.left(equals).trimmed();
        if (equals < 0 || !m_settings.contains(name)) {
            reply(session, error);
            return;
        }
        m_settings.insert(name, assignment.mid(equals + 1));
        reply(session, zvr3fake::answerBlock(entry(name)));
    } else {
        reply(session, error);
    }
}

void Server::jpegRequest(FakeSession *session, const QByteArray &line)
{
    const QList<QByteArray> fields = line.simplified().split(' ');
    QByteArray payload;
    int channel = -1;
    int width = 0;
    int height = 0;
    int quality = 0;
    bool ok = fields.size() >= 5 && fields[0] == "GET_JPEG_STREAM";
    if (ok) {
        bool a = false, b = false, c = false, d = false;
        channel = fields[1].toInt(&a);
        width = fields[2].toInt(&b);
        height = fields[3].toInt(&c);
        quality = fields[4].toInt(&d);
        ok = a && b && c && d && width > 0 && height > 0 && width <= 4096 && height <= 4096;
    }
    if (!ok || channel < 0 || channel >= m_source->channels()) {
        payload = "-1:bad request";
    } else if (m_options.disabled.contains(channel)) {
        payload = "-6:";
    } else if (m_options.noSignal.contains(channel)) {
        payload = "-5:";
    } else {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const QString clock = QDateTime::fromMSecsSinceEpoch(now, Qt::UTC).toString(QStringLiteral("hh:mm:ss.zzz"));
        const QImage picture = drawPicture(channel, QSize(width, height), now, clock);
        QBuffer buffer(&payload);
        buffer.open(QIODevice::WriteOnly);
        picture.save(&buffer, "JPEG", qBound(1, quality, 100));
    }
    QByteArray frame;
    appendU32(frame, quint32(payload.size()));
    frame += payload;
    // The connection ends after the frame (after the delay of --slow, or a stall, too).
    reply(session, frame, true);
}

} // namespace zvr3sim
