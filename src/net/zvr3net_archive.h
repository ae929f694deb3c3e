#ifndef ZVR3NET_ARCHIVE_H
#define ZVR3NET_ARCHIVE_H

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
        that time ("GET_TIME_dd/MM/yyyy,hh:mm:ss", as the date-time reads, without converting between local time and UTC).
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
    chunk that stops arriving ends after 30 seconds with -1 "Network operation timeout".
*/
class ZVR3LIB_EXPORT zvr3net_archive : public zvr3base
{
    Q_OBJECT
public:
    zvr3net_archive();
    ~zvr3net_archive() override;

public Q_SLOTS:
    void slotData(const QVariant &data) override;

private:
    zvr3net_archive_priv *const d;

    Q_DISABLE_COPY(zvr3net_archive)
};

#endif // ZVR3NET_ARCHIVE_H
