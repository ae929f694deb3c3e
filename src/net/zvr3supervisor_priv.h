// Internal header of zvr3lib, not installed.
#ifndef ZVR3SUPERVISOR_PRIV_H
#define ZVR3SUPERVISOR_PRIV_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <QUrl>

#include <bitset>
#include <optional>

#include "zvr3command.h"
#include "zvr3parser.h"
#include "zvr3stats.h"

class zvr3decoder;
class zvr3net_archive_priv;
class zvr3net_priv;
class zvr3service_priv;
class zvr3supervisor;

// The state of a zvr3supervisor. Its timers and the source of jitter are reachable here, so that
// the tests can let a wait end at the moment they choose and fix the random share of a delay.
//
// What is common to every source (the attempts, the waits between them, the state records, the
// watch for silence) is written once; what a kind of source needs after a reconnect is kept apart:
// a live source gets its channels back, an archive its place, a request service its unanswered
// request.
struct zvr3supervisor_private
{
    enum Kind { NoSource, Live, Archive, Events, Jpeg, Setup };

    explicit zvr3supervisor_private(zvr3supervisor *q);

    void attach(zvr3base *source);
    void detach();
    // Forgets what belongs to one connection: its bytes, login, parser and stream list.
    void resetConnection();

    void command(int code, const QVariant &arg);
    void fromSource(const QVariant &value);
    void connectionState(int state);
    void bytesIn(qint64 count);

    void startAttempt();   // the wait before the next attempt has ended
    void failure(const zvr3error &error);
    void stall();          // the idle time has passed without a byte
    void steadyReached();  // the connection has stayed logged in for StableTime
    void tick();           // the statistics interval has passed
    void checkGarbage();   // an idle time of bytes has passed: was most of it garbage?
    void emitStats();
    void countDecoders(zvr3stats &s) const;
    void setState(zvr3stats::State state);
    // The wait before the next attempt, after the given count of failures in a row.
    qint64 delayAfter(int failures) const;
    void closeSource();
    void send(int code, const QVariant &arg = QVariant());
    // Archive: a marker of the place asked for next, behind a barrier that holds it back to the
    // end of the chunk under way.
    void sendSeekMarker();
    bool supervising() const;  // a wait, an attempt or a connection is under way

    // Live and archive: the parser's records, counted and passed on.
    void fromParser(const QVariant &value);
    void countRecord(const QVariant &value);
    void restoreChannels();

    // The archive: its place kept, records already passed left out after a reconnect, its fetch
    // held back while the decoders are full.
    void fromArchive(const QVariant &value);
    bool passAgain(quint64 key, qint64 time);
    void updatePause();
    // The owner of the chain (zvr3player) holds the fetch back while its own buffer is full,
    // apart from the application's pause and the decoders' back-pressure.
    void setOwnerHold(bool hold);
    void checkPressure();
    bool awaitingChunk() const;
    QDateTime resumeTime() const;

    // Event lists, snapshots and set-up: one request at a time, sent again after a failure
    // when that is safe.
    void fromRequests(const QVariant &value);
    void pump();
    void requestDone(bool answered);
    void deadlineReached();
    bool retryable(const zvr3error &e) const;

    zvr3supervisor *const q;
    Kind kind = NoSource;
    QPointer<zvr3base> source;
    QPointer<zvr3net_priv> connection;     // the source's connection
    QPointer<zvr3service_priv> worker;     // the source's worker, for the request-driven ones
    QPointer<zvr3net_archive_priv> archive;
    zvr3parser parser;                     // live: the supervisor parses the stream itself

    QUrl url;
    zvr3stats stats;
    int failures = 0;           // failures in a row since the last good connection
    qint64 connectionBytes = 0; // bytes of the connection held now
    bool stable = false;        // the connection has stayed logged in for StableTime
    bool quiet = false;         // the supervisor itself opens or closes the source
    bool loggedIn = false;      // the connection of this attempt has logged in

    // Live.
    std::bitset<256> channels;  // the channels the application wants

    // Live and archive: the streams the last stream header lists, and the bytes of garbage in
    // the window that checkGarbage() looks at.
    QSet<unsigned int> listed;
    bool haveHeader = false;
    qint64 windowBytes = 0;
    qint64 windowGarbage = 0;

    // Archive.
    struct Passed
    {
        qint64 time = 0;  // the time of the stream's last record passed
        int count = 0;    // records of the stream passed at that time
    };
    QList<zvr3command> channelCommands;  // codes 6 and 7 since the open, in order
    std::optional<QDateTime> playFrom;   // the application's last play; none before
    // Per stream, and apart for its whole frames (the parser gives a frame's records and then
    // the frame put together): what has been passed since the last play, and after a reconnect
    // what the records coming again have still to be matched against.
    static quint64 streamKey(const QVariant &record);
    QHash<quint64, Passed> passed;
    QHash<quint64, Passed> skip;
    std::optional<qint64> lastPassedMs;  // the last data record's time
    std::optional<quint64> lastIndex;    // the last IDX_T's time
    HDR_T lastHeader;
    bool headerPassed = false;
    bool resuming = false;       // the records of a reconnect are being matched against those passed
    bool discarding = false;     // records of a place left behind come before the seek marker
    quint64 seekSerial = 0;      // the serial of the last seek marker sent
    // That marker has not come back yet: its time request waits in the source's queue. A new
    // time request then simply follows it, and a pause waits for it, as a pause sent now would
    // be served after the chunk of a place that is left behind, and going on would ask for the
    // chunk after that one (at the archive's end: one that never comes).
    bool seekPending = false;
    bool appPaused = false;      // the application has paused
    bool heldBack = false;       // the decoders are full
    bool ownerHold = false;      // the owner's buffer is full (zvr3player): a third reason to pause
    bool sourcePaused = false;   // the source is told to pause (or, after a reconnect, asked nothing)
    bool needTimeRequest = false;  // after a reconnect: playing on needs a time request
    QVariant heldPosition;       // a position report waits for the record it belongs to
    QList<QPointer<zvr3decoder>> decoders;
    int backPressure = 0;

    // Requests.
    QList<zvr3command> pending;           // the application's commands not yet given to the source
    std::optional<zvr3command> outstanding;  // the request the source serves now
    bool written = false;        // set-up: the outstanding request has gone out on this connection
    bool sawError = false;       // a snapshot: this attempt has failed already

    QTimer retry;     // the wait before the next attempt
    QTimer idle;      // silence on a logged-in connection
    QTimer steady;    // how long a connection has stayed logged in
    QTimer ticker;    // the statistics interval
    QTimer garbage;   // the window of bytes judged for garbage
    QTimer deadline;  // a request's whole time
    QTimer pressure;  // while held back: looks at the decoders' queues again
    QElapsedTimer lastByte;  // since the last byte received; invalid before the first after an open
    QElapsedTimer rateClock; // since the last statistics record
    qint64 rateBytes = 0;    // bytes received then

    int initialDelay = 500;
    int maxDelay = 30000;
    int maxAttempts = 0;
    int idleTimeout = 10000;
    int statsInterval = 0;
    int requestTimeout = 120000;

    static constexpr int StableTime = 10000;
    static constexpr double JitterShare = 0.2;
    static constexpr int PressurePollMs = 10;

    // Test seam: the random number in [0, 1) that sets the share of a delay taken off
    // (null: QRandomGenerator).
    static inline double (*random)() = nullptr;
    // Test seam: every timer runs this many times longer than the delay it stands for, so that
    // a test ends the waits itself, by calling their handlers, on a machine of any speed.
    static inline int timerScale = 1;
    static void start(QTimer &timer, qint64 ms);
    static zvr3supervisor_private *of(zvr3supervisor *supervisor);
};

#endif // ZVR3SUPERVISOR_PRIV_H
