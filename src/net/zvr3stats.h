#ifndef ZVR3STATS_H
#define ZVR3STATS_H

#include <QMetaType>
#include <QObject>

#include "zvr3error.h"
#include "zvr3lib_export.h"

/*!
    \class zvr3stats
    \brief Where a zvr3supervisor stands: emitted on its sigData() on every change of its state.

    \table
    \header \li field \li meaning
    \row \li state \li see State
    \row \li attempt \li the connection attempt under way or last made since the last open,
         counting from 1 (the first attempt counts); 0 before any
    \row \li nextAttemptMs \li in WaitingToReconnect: the delay chosen before the next attempt, in
         milliseconds; -1 in every other state
    \row \li reconnects \li attempts made after a failure since the supervisor was made
    \row \li lastError \li the failure that ended the last connection (reason None: none yet)
    \row \li bytesReceived \li bytes the source received since the supervisor was made
    \row \li msSinceLastByte \li milliseconds since the last byte received; -1 before the first
         byte after an open
    \row \li bytesPerSecond \li the rate of bytes received between the last two records (over at
         least a tenth of a second); 0 before that
    \row \li skippedBytes \li live and archive: bytes the parser skipped while looking for a
         stream header, since the supervisor was made
    \row \li unlistedRecords \li live and archive: data records of a stream that the last stream
         header does not list, since the supervisor was made
    \row \li decoded, dropped, queued \li the sums of zvr3decoder::counters() over the decoders
         handed to zvr3supervisor::addDecoder(); 0 without any
    \endtable

    Besides on every change of state, the supervisor emits the record every statsInterval
    milliseconds, when the application asks for it.
*/
struct ZVR3LIB_EXPORT zvr3stats
{
    Q_GADGET
public:
    enum State {
        Closed = 0,          //!< not opened, or closed by the application
        Connecting,          //!< connecting and logging in
        Streaming,           //!< logged in; the recorder's data flows
        Stalled,             //!< logged in, but nothing came for the idle time (or mostly garbage): the connection is given up
        WaitingToReconnect,  //!< the connection failed; the next attempt starts after nextAttemptMs
        Failed,              //!< given up: a refused login, or the attempt budget spent
    };
    Q_ENUM(State)

    State state = Closed;
    int attempt = 0;
    qint64 nextAttemptMs = -1;
    int reconnects = 0;
    zvr3error lastError;
    qint64 bytesReceived = 0;
    qint64 msSinceLastByte = -1;
    qint64 bytesPerSecond = 0;
    qint64 skippedBytes = 0;
    qint64 unlistedRecords = 0;
    qint64 decoded = 0;
    qint64 dropped = 0;
    qint64 queued = 0;
};
Q_DECLARE_METATYPE(zvr3stats)

#endif // ZVR3STATS_H
