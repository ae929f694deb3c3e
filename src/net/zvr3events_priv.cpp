#include "zvr3events_priv.h"

#include <QRegularExpression>
#include <QUrlQuery>

#include <cstring>
#include <limits>

#include "evtparser.h"
#include "zvr3error.h"
#include "zvr3logging_p.h"
#include "zvr3metatype_p.h"
#include "zvr3net_priv.h"
#include "zvr3parser_buffer.h"
#include "zvr3stream_format_p.h"

namespace {
constexpr int EventService = 3;
// A reply is a few dozen bytes per event; one that grows past this is not an event list.
constexpr qint64 MaxReply = qint64(256) << 20;
}

/*
    The event list reply as it arrives: magic, group count, the groups (an ignored word, a length,
    that many bytes of event records) and the trailer.

    Where the trailer stands follows from the group headers alone, so they are walked as they
    arrive and the walk is remembered between pieces: each piece costs time in proportion to its
    own size. The records are decoded once, when the trailer is in place.
*/
struct zvr3events_priv_reply
{
    enum Progress { BadMagic, Incomplete, Complete };

    zvr3parser_buffer buffer;
    bool counted = false;   // the group count has been read
    qint64 groupsLeft = 0;  // group headers not walked yet
    qint64 walk = 8;        // where the next group header, or the trailer, begins
    qint64 noTextEnd = std::numeric_limits<qint64>::max();  // no NUL byte from here to the end
    bool listed = false;    // the list has been emitted

    void clear() { *this = zvr3events_priv_reply(); }
    qint64 size() const { return buffer.available(); }
    Progress progress();
    EVENTS_FILE_LIST_T decode();

private:
    QString readText(int &pos);
};

zvr3events_priv_reply::Progress zvr3events_priv_reply::progress()
{
    if (buffer.peekU32(0) != zvr3format::EventListMagic)
        return BadMagic;
    if (!counted) {
        counted = true;
        groupsLeft = qMax<qint32>(0, qint32(buffer.peekU32(4)));
    }
    while (groupsLeft > 0) {
        if (size() < walk + 8)
            return Incomplete;
        walk += 8 + qint64(buffer.peekU32(walk + 4));
        --groupsLeft;
    }
    return size() >= walk + 4 && buffer.peekU32(walk) == zvr3format::EventListTrailer ? Complete : Incomplete;
}

QString zvr3events_priv_reply::readText(int &pos)
{
    // A text runs to the next NUL byte. Once a search has found none up to the end, no text
    // further on can end either: that is remembered, so hostile replies do not cost a search per text.
    if (pos >= noTextEnd || pos >= size())
        return QString();
    const char *start = buffer.bytes.constData() + buffer.offset + pos;
    const void *zero = std::memchr(start, 0, size_t(size() - pos));
    if (!zero) {
        noTextEnd = pos;
        return QString();
    }
    const int length = int(static_cast<const char *>(zero) - start);
    pos += length + 1;
    return QString::fromUtf8(start, length);
}

EVENTS_FILE_LIST_T zvr3events_priv_reply::decode()
{
    // The walk has checked that every group lies within what has arrived, and the reply is
    // capped well below 2 GiB, so int positions hold.
    EVENTS_FILE_LIST_T list;
    int pos = 4;
    const qint32 groups = qint32(buffer.readU32(pos));
    for (qint32 g = 0; g < groups; ++g) {
        pos += 4;  // a word the client has no use for
        const quint32 length = buffer.readU32(pos);
        const int end = int(pos + qint64(length));
        while (pos < end) {
            EVENTS_FILE_DATA_T event;
            event.time = qint64(buffer.readU32(pos)) * 1000;
            event.number = buffer.readU32(pos);
            const int count = buffer.readU8(pos);
            for (int i = 0; i < count && pos < end; ++i) {
                PARAM_T text;
                text.id = buffer.readU8(pos);
                text.text = readText(pos);
                event.texts.append(text);
            }
            if (!event.texts.isEmpty())
                list.append(event);
        }
        pos = end;
    }
    return list;
}

zvr3events_priv::zvr3events_priv()
    : zvr3service_priv(EventService, {1, 2}), reply(new zvr3events_priv_reply)
{
}

zvr3events_priv::~zvr3events_priv()
{
    delete reply;
}

bool zvr3events_priv::servable(const zvr3command &command) const
{
    // A marker belongs behind the list of the request ahead of it: it waits for that list even
    // when a command arriving in the meantime makes the queue be looked at.
    return command.code == 1 ? requested && reply->listed : !requested;
}

bool zvr3events_priv::serve(const zvr3command &command)
{
    // Opening closes a connection that is still logging in, and its Closed comes back to the
    // queue at once.
    open(command.data.toUrl());
    return true;
}

void zvr3events_priv::stateChanged(int state)
{
    if (state == zvr3net_priv::LoggedIn) {
        requested = true;
        connection->setWatchdog(zvr3net_priv::Timeout);
        const QString request = QStringLiteral("GET_ALL_EVENTS_%1,%2\r\n").arg(dateArg(QStringLiteral("from")), dateArg(QStringLiteral("to")));
        qCDebug(lcZvr3Net, "events: request %s", qUtf8Printable(request.trimmed()));
        connection->slotData(request.toUtf8());
    } else if (state == zvr3net_priv::Closed) {
        reset();
        nextCommand();
    }
}

void zvr3events_priv::failed(const QVariant &e)
{
    reset();
    emit sigData(e);
}

void zvr3events_priv::reset()
{
    requested = false;
    dropMarkers();
    reply->clear();
    connection->close();
}

QString zvr3events_priv::dateArg(const QString &name)
{
    const QUrlQuery query(connection->currentUrl());
    QString value = query.hasQueryItem(name) ? query.queryItemValue(name, QUrl::FullyDecoded)
                                             : QStringLiteral("19700101000000");
    static const QRegularExpression date(QStringLiteral("(.{4})(.{2})(.{2})(.{2})(.{2})(.{2})"));
    return value.replace(date, QStringLiteral("\\3/\\2/\\1,\\4:\\5:\\6"));
}

void zvr3events_priv::received(const QByteArray &a)
{
    connection->setWatchdog(zvr3net_priv::Timeout);
    reply->buffer.append(a);
    if (!requested || reply->size() < 12)
        return;

    switch (reply->progress()) {
    case zvr3events_priv_reply::BadMagic:
        qCDebug(lcZvr3Net, "events: the reply does not start with the event list magic");
        emit sigData(zvr3value(zvr3error(-1, tr("Wrong event file format"), zvr3error::FormatError)));
        return;
    case zvr3events_priv_reply::Incomplete:
        if (reply->size() > MaxReply) {
            // No event list is that long: give up on the connection rather than keep growing.
            reset();
            emit sigData(zvr3value(zvr3error(-1, tr("Wrong event file format"), zvr3error::TooLarge)));
            nextCommand();
        }
        return;
    case zvr3events_priv_reply::Complete:
        break;
    }
    reply->listed = true;
    const EVENTS_FILE_LIST_T list = reply->decode();
    qCDebug(lcZvr3Net, "events: list of %lld events in %lld bytes", qlonglong(list.size()), qlonglong(reply->size()));
    emit sigData(zvr3value(list));
    nextCommand();  // the markers that waited for this list
    connection->close();
}
