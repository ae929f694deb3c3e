#include "zvr3net_archive.h"

#include "zvr3metatype_p.h"
#include "zvr3net_archive_priv.h"
#include "zvr3net_priv.h"
#include "zvr3node_p.h"

namespace {
constexpr int ArchiveService = 2;
enum Command { Play = 4, Pause = 5, Enable = 6, Disable = 7 };
}

bool zvr3net_archive_priv::sameHeader(const HDR_T &a, const HDR_T &b)
{
    if (a.streams_end != b.streams_end || a.params_size != b.params_size || a.name != b.name
        || a.streams.size() != b.streams.size() || a.params.size() != b.params.size())
        return false;
    for (qsizetype i = 0; i < a.streams.size(); ++i) {
        const STREAM_T &x = a.streams.at(i);
        const STREAM_T &y = b.streams.at(i);
        if (x.number != y.number || x.type != y.type || x.codec != y.codec || x.text2 != y.text2 || x.text3 != y.text3)
            return false;
    }
    for (qsizetype i = 0; i < a.params.size(); ++i) {
        if (a.params.at(i).id != b.params.at(i).id || a.params.at(i).text != b.params.at(i).text)
            return false;
    }
    return true;
}

zvr3net_archive::zvr3net_archive() : d(zvr3node::makeWorker<zvr3net_archive_priv>(this)) {}
zvr3net_archive::~zvr3net_archive() { zvr3node::dropWorker(this, d); }
// Every value, not only commands, is the worker's to judge.
void zvr3net_archive::slotData(const QVariant &data) { d->slotData(data); }

void zvr3net_archive::mark(const QVariant &value) { zvr3node::send(this, zvr3node::Mark, value); }
void zvr3net_archive::open(const QUrl &url) { zvr3node::send(this, zvr3node::Open, url); }
void zvr3net_archive::close() { zvr3node::send(this, zvr3node::Close); }
void zvr3net_archive::play(const QDateTime &from) { zvr3node::send(this, Play, from); }
void zvr3net_archive::setPaused(bool paused) { zvr3node::send(this, Pause, paused); }
void zvr3net_archive::showChannels(const QList<int> &channels) { zvr3node::send(this, Enable, zvr3node::channelBytes(channels)); }
void zvr3net_archive::hideChannels(const QList<int> &channels) { zvr3node::send(this, Disable, zvr3node::channelBytes(channels)); }

zvr3net_archive_priv::zvr3net_archive_priv()
    : zvr3service_priv(ArchiveService, {1, 2, 3, 4, 5, 6, 7})
{
    connect(&parser, &zvr3base::sigData, this, qOverload<const QVariant &>(&zvr3net_archive_priv::slotData));
}

zvr3net_archive_priv::~zvr3net_archive_priv()
{
    parser.disconnect(this);
}

void zvr3net_archive_priv::failed(const QVariant &e)
{
    // The error goes downstream first, then the worker resets.
    zvr3service_priv::failed(e);
    reset();
}

void zvr3net_archive_priv::reset()
{
    state = Idle;
    connection->close();
    parser.reset();
    last = HDR_T();
    next = ARCHIVE_T_HDR();
}

void zvr3net_archive_priv::received(const QByteArray &a)
{
    // Every chunk of bytes keeps the watchdog away; only a recorder that falls silent in the
    // middle of a chunk runs into it.
    connection->setWatchdog(zvr3net_priv::Timeout);
    parser.slotData(QVariant(a));
}

void zvr3net_archive_priv::stateChanged(int s)
{
    if (s == zvr3net_priv::LoggedIn) {
        connection->setWatchdog(0);
        state = Ready;
        nextCommand();
    } else if (s == zvr3net_priv::Closed) {
        reset();
        nextCommand();
    }
}

void zvr3net_archive_priv::slotData(const QVariant &v)
{
    if (zvr3holds<zvr3command>(v)) {
        zvr3service_priv::slotData(v);
        return;
    }
    if (zvr3holds<HDR_T>(v)) {
        if (state != Requested && state != InSection)
            return;
        // A recorder repeats the stream header at every chunk; a player needs it only when the
        // streams change.
        const HDR_T header = v.value<HDR_T>();
        state = HaveHeader;
        if (!sameHeader(header, last)) {
            last = header;
            emit sigData(v);
        }
        return;
    }
    if (zvr3holds<ARCHIVE_T_HDR>(v)) {
        if (state == HaveHeader) {
            state = HaveChunkHdr;
        } else if (state == InSection) {
            // The closing header names the next chunk.
            next = v.value<ARCHIVE_T_HDR>();
            state = Closing;
        }
        return;
    }
    if (zvr3holds<IDX_T>(v)) {
        if (state == HaveChunkHdr) {
            state = InSection;
            emit sigData(v);
        } else if (state == Closing) {
            // The chunk is complete: commands that waited for it go first, and unless one of
            // them asked for something else (a time, a pause, a new connection) playback goes on
            // with the next chunk.
            state = Ready;
            connection->setWatchdog(0);
            nextCommand();
            if (state == Ready)
                requestIndex();
        }
        return;
    }
    if (zvr3holds<DATA_T>(v) || zvr3holds<zvr3parser_combined_DATA_T>(v)) {
        if (state == InSection)
            emit sigData(v);
        return;
    }
    if (zvr3holds<zvr3parser_position>(v))
        emit sigData(v);
}

bool zvr3net_archive_priv::servable(const zvr3command &command) const
{
    switch (command.code) {
    case 1:
    case 3:
        return true;
    case 2:
        return !opening;
    case 4:
    case 6:
    case 7:
        return state == Ready;
    case 5:
        return state == Ready || state == Paused;
    default:
        return false;
    }
}

bool zvr3net_archive_priv::takeAhead(zvr3command &command)
{
    for (qsizetype at = 1; at < queue.size(); ++at) {
        const int code = queue.at(at).code;
        if (code == 2 && opening)
            return false;  // the pass inside an open's reset leaves later opens, and what follows them, alone
        if (code != 2 && code != 3)
            continue;
        command = queue.takeAt(at);
        // A close ends what was asked of the connection: requests waiting ahead of it go,
        // markers ahead of it still come out in their place.
        if (code == 3)
            flush(at);
        return true;
    }
    return false;
}

bool zvr3net_archive_priv::serve(const zvr3command &command)
{
    switch (command.code) {
    case 2:
        // The reset closes the old connection; its Closed serves, at once, the markers and
        // closes queued behind this command.
        opening = true;
        reset();
        opening = false;
        state = Connecting;
        open(command.data.toUrl());
        return false;
    case 3:
        reset();
        return true;
    case 4:
        requestTime(command.data.toDateTime());
        return false;
    case 5: {
        const bool pause = command.data.toBool();
        if (state == Ready && pause) {
            state = Paused;
        } else if (state == Paused && !pause) {
            state = Ready;
            requestIndex();
            return false;
        }
        return true;
    }
    case 6:
        sendChannels("ENABLE_%1\r\n", command.data.toByteArray());
        return true;
    case 7:
        sendChannels("DISABLE_%1\r\n", command.data.toByteArray());
        return true;
    default:
        return true;
    }
}

void zvr3net_archive_priv::sendChannels(const char *format, const QByteArray &list)
{
    const QString line = QString::fromLatin1(format);
    QByteArray out;
    for (const char channel : list)
        out += line.arg(uint(quint8(channel)), 2, 16, QLatin1Char('0')).toLatin1();
    if (!out.isEmpty())
        connection->slotData(out);
}

void zvr3net_archive_priv::requestTime(const QDateTime &t)
{
    state = Requested;
    connection->setWatchdog(zvr3net_priv::Timeout);
    connection->slotData(
        QStringLiteral("GET_TIME_%1\r\n").arg(t.toString(QStringLiteral("dd/MM/yyyy,hh:mm:ss"))).toUtf8());
}

void zvr3net_archive_priv::requestIndex()
{
    state = Requested;
    connection->setWatchdog(zvr3net_priv::Timeout);
    connection->slotData(QStringLiteral("GET_INDEX_%1%2\r\n")
                            .arg(next.ref_high, 8, 16, QLatin1Char('0'))
                            .arg(next.ref_low, 8, 16, QLatin1Char('0'))
                            .toUtf8());
}
