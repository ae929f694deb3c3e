#ifndef ZVR3NET_ARCHIVE_H
#define ZVR3NET_ARCHIVE_H

#include <QDateTime>
#include <QList>
#include <QUrl>

#include "zvr3base.h"

class zvr3net_archive_priv;

/*!
    \class zvr3net_archive
    \brief The source of a recorder's recorded archive, played from a point in time onwards.

    The recorder sends its archive in chunks: a chunk is one or more sections (a stream header, a
    chunk header, an index record and data records) closed by a chunk header and an index record
    that name the next chunk. The node asks for the chunk that covers a time, then for each next
    chunk by itself, and parses what arrives.

    slotData() accepts zvr3command values, kept in a queue and served in order:
    \list
    \li code 1: a marker; its \c data is emitted unchanged when its turn comes.
    \li code 2, \c data a QUrl (host, optional port, default 5049, user name, password): closes any
        connection and connects to the recorder's archive service.
    \li code 3: closes the connection.
    \li code 4, \c data a QDateTime: once logged in and between chunks, asks for the archive from
        that time ("GET_TIME_dd/MM/yyyy,hh:mm:ss"). The recorder reads it on its own clock, its
        local wall-clock time, so the QDateTime must read the recorder's date and time: it is
        written as it reads, whatever its Qt::TimeSpec, never converted between local time and
        UTC. An application in another zone converts with zvr3tz (see the README, "Recorder
        time").
    \li code 5, \c data a bool: true pauses after the current chunk, false goes on with the chunk
        announced by the last one.
    \li codes 6 and 7, \c data a QByteArray of channel numbers: between chunks, "ENABLE_xx" (6) or
        "DISABLE_xx" (7) for each channel (xx: lower-case hex, two digits).
    \endlist
    Other codes and values are ignored. A command waits while it cannot be served (codes 4, 6 and
    7 need a logged-in connection between chunks, code 5 a logged-in or paused one); codes 2 and 3
    never wait: they are served at once, and a code 3 drops the codes 4 and 5 waiting ahead of it
    (markers ahead of it are emitted first). A lost connection leaves the queue as it is.

    sigData() emits, for each chunk in order: the stream parser's zvr3parser_position reports (one
    before every record), the stream header of each section when it differs from the last one
    emitted, the first index record (IDX_T) of each section and the section's DATA_T and
    zvr3parser_combined_DATA_T records. Chunk headers and closing index records are not emitted.
    Failures of the connection arrive as a zvr3error (see zvr3online) before the node resets; a
    chunk that stops arriving ends after 30 seconds with -1 "Network operation timeout" (reason
    Timeout).

    Times: an IDX_T's \c time is in seconds and a record's \c time in milliseconds, both on the
    recorder's clock (its local wall-clock time, counted as if it were UTC). zvr3tz::toGMT()
    turns the seconds into UTC.

    The typed slots send these commands to slotData(), exactly as an application would:

    \table
    \header \li call \li command
    \row \li mark(value) \li code 1, \c data \a value
    \row \li open(url) \li code 2, \c data \a url
    \row \li close() \li code 3
    \row \li play(from) \li code 4, \c data \a from
    \row \li setPaused(paused) \li code 5, \c data \a paused
    \row \li showChannels(channels) \li code 6: "ENABLE_xx" per channel
    \row \li hideChannels(channels) \li code 7: "DISABLE_xx" per channel
    \endtable

    Channel lists become the command's QByteArray as for zvr3online: one byte per channel in the
    order given; numbers outside 0 to 255 are left out, with a warning. Note that the codes of the
    two channel commands are the other way round than zvr3online's.
*/
class ZVR3LIB_EXPORT zvr3net_archive : public zvr3base
{
    Q_OBJECT
public:
    zvr3net_archive();
    ~zvr3net_archive() override;

public Q_SLOTS:
    /*! Closes any connection and connects to the recorder at \a url (code 2). */
    void open(const QUrl &url);
    /*! Plays the archive from \a from, a date and time on the recorder's clock (code 4). */
    void play(const QDateTime &from);
    /*! Pauses after the chunk under way, or goes on with the next chunk (code 5). */
    void setPaused(bool paused);
    /*! Asks for the streams of \a channels, 0 to 255 (code 6, "ENABLE_xx"). */
    void showChannels(const QList<int> &channels);
    /*! Stops the streams of \a channels, 0 to 255 (code 7, "DISABLE_xx"). */
    void hideChannels(const QList<int> &channels);
    /*! Emits \a value on sigData() when its turn in the queue comes (code 1). */
    void mark(const QVariant &value);
    /*! Closes the connection (code 3). */
    void close();
    void slotData(const QVariant &data) override;

private:
    friend struct zvr3supervisor_private;  // follows the worker's connection
    zvr3net_archive_priv *const d;

    Q_DISABLE_COPY(zvr3net_archive)
};

#endif // ZVR3NET_ARCHIVE_H
