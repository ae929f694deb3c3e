// Internal header of zvr3lib, not installed.
#ifndef ZVR3PLAYER_PRIV_H
#define ZVR3PLAYER_PRIV_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QTimer>
#include <QVariant>

#include <deque>
#include <map>
#include <memory>
#include <optional>

#include "zvr3item.h"
#include "zvr3player.h"
#include "zvr3stats.h"
#include "zvr3tz.h"

class zvr3decoder;
class zvr3net_archive;
class zvr3online;
class zvr3supervisor;

// The state of a zvr3player: its chain, the decoded items waiting for their time, and the clock
// that releases them. The clock is reachable here, so that a test moves it itself and checks
// each release against the time it set, on a machine of any speed.
struct zvr3player_private
{
    explicit zvr3player_private(zvr3player *q);
    ~zvr3player_private();

    // One stream of the last header, with its decoder when it has one. The times of the records
    // handed to the decoder that have not come out yet (as items, or as nothing) tell which
    // times another stream's items may still bring: an item is released only once no stream can
    // bring an earlier one.
    struct Stream
    {
        STREAM_T info;
        zvr3decoder *decoder = nullptr;
        std::deque<qint64> pending;  // archive: times of the records handed and not yet out
        qint64 handed = 0;           // records handed since the decoder was made
        qint64 settled = 0;          // of those, the ones known to be out
        bool settling = false;       // a check that the decoder has run dry is on its way
        quint64 serial = 0;          // counts the decoders made for the stream
    };

    void open(zvr3player::Mode mode, const QUrl &url);
    void teardown();
    void fromChain(const QVariant &value);
    void header(const HDR_T &header);
    zvr3decoder *ensureDecoder(Stream &stream);
    void dropDecoders();
    void resetDecoder(Stream &stream);
    bool wanted(const STREAM_T &stream) const;
    void data(const QVariant &frame);
    void fromDecoder(int stream, const QVariant &value);
    bool emitItem(const zvr3item &item);  // false: the player changed under the signal
    void applyChannels(const QList<int> &previous);

    // Archive pacing.
    qint64 nowUs() const;
    qint64 mediaAt(qint64 us) const;      // the recorded time (ms) that the clock stands at
    qint64 dueUs(qint64 timeMs) const;
    void reanchor(qint64 us, qint64 mediaMs);
    bool ready(qint64 timeMs, int stream);
    void settle(int stream, quint64 serial, qint64 handedThen);
    void pump();
    void updateHold();
    void seekTo(const QDateTime &from);
    void clearBuffer();
    int buffered() const;                 // items waiting plus records waiting in the decoders

    // Times.
    QDateTime toUtc(qint64 recorderMs) const;
    QDateTime toRecorder(const QDateTime &utc) const;
    qint64 toRecorderMs(const QDateTime &utc) const;

    static zvr3player_private *of(zvr3player *player) { return player->d; }

    zvr3player *const q;
    zvr3player::Mode mode = zvr3player::Idle;
    zvr3supervisor *supervisor = nullptr;
    zvr3online *live = nullptr;
    zvr3net_archive *archive = nullptr;
    QString rule;
    std::optional<zvr3tz> tz;
    qreal rate = 1;
    bool paused = false;
    zvr3stats::State state = zvr3stats::Closed;
    QVector<STREAM_T> streams;
    HDR_T lastHeader;
    bool haveHeader = false;
    QList<int> channels;
    QHash<int, Stream> decoders;  // by stream number
    int generation = 0;           // counts opens, seeks and closes: a signal's receiver may change the player

    // Archive.
    QDateTime endTime;
    bool finished = false;
    QDateTime position;
    struct Key
    {
        qint64 time;
        quint64 sequence;
        bool operator<(const Key &o) const { return time < o.time || (time == o.time && sequence < o.sequence); }
    };
    std::map<Key, zvr3item> waiting;  // decoded items not yet released, in time order
    quint64 sequence = 0;
    bool anchored = false;        // the first item since the open or seek has left
    qint64 anchorUs = 0;          // the clock reading ...
    qint64 anchorMs = 0;          // ... at which this recorded time was due
    std::optional<qint64> pausedAtMs;  // the recorded time the clock stood at when paused
    qint64 lastHandedMs = 0;      // the latest record handed to a decoder
    bool holding = false;         // the fetch is held back for the buffer
    QTimer timer;                 // wakes the release at the next due time
    QTimer poll;                  // looks at the decoders again while they hold up a release
    QElapsedTimer clock;

    // The bound of the buffer: items waiting plus records in the decoders, and the span of
    // recorded time they cover ahead of the position; the fetch goes on at half of each.
    int maxBuffered = 100;
    qint64 maxBufferedMs = 3000;
    // An item this late (on the clock) starts the pacing afresh from it: after an outage the
    // archive goes on at its pace instead of catching up in a burst.
    qint64 lateResetUs = 500000;
    static constexpr int LiveQueueLimit = 50;
    static constexpr int PollMs = 5;

    // Test seams. manualClock: nowUs() reads manualNowUs, no timer wakes the release and the
    // test calls pump() after moving the clock. highWater: the most buffered() has been since
    // the open.
    bool manualClock = false;
    qint64 manualNowUs = 0;
    int highWater = 0;
};

#endif // ZVR3PLAYER_PRIV_H
