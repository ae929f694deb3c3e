// Internal header of zvr3lib, not installed.
#ifndef ZVR3SUPERVISOR_PRIV_H
#define ZVR3SUPERVISOR_PRIV_H

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <bitset>
#include <memory>

#include "zvr3parser.h"
#include "zvr3stats.h"

class zvr3net_priv;
class zvr3online;
class zvr3supervisor;

// The state of a zvr3supervisor. Its timers and the source of jitter are reachable here, so that
// the tests can let a wait end at the moment they choose and fix the random share of a delay.
struct zvr3supervisor_private
{
    explicit zvr3supervisor_private(zvr3supervisor *q);

    void attach(zvr3base *source);
    void detach();

    void command(int code, const QVariant &arg);
    void fromSource(const QVariant &value);
    void connectionState(int state);

    void startAttempt();   // the wait before the next attempt has ended
    void failure(const zvr3error &error);
    void stall();          // the idle time has passed without a byte
    void steadyReached();  // the connection has stayed logged in for StableTime
    void tick();           // the statistics interval has passed
    void emitStats();
    void setState(zvr3stats::State state);
    // The wait before the next attempt, after the given count of failures in a row.
    qint64 delayAfter(int failures) const;
    void restoreChannels();
    void closeSource();

    zvr3supervisor *const q;
    QPointer<zvr3base> source;
    QPointer<zvr3online> live;           // the source, when it is a live one
    QPointer<zvr3net_priv> connection;   // the live source's connection
    zvr3parser parser;

    QUrl url;
    std::bitset<256> channels;  // the channels the application wants
    zvr3stats stats;
    int failures = 0;           // failures in a row since the last good connection
    qint64 connectionBytes = 0; // bytes of the connection held now
    bool stable = false;        // the connection has stayed logged in for StableTime
    bool quiet = false;         // the supervisor itself opens or closes the source

    QTimer retry;   // the wait before the next attempt
    QTimer idle;    // silence on a logged-in connection
    QTimer steady;  // how long a connection has stayed logged in
    QTimer ticker;  // the statistics interval
    QElapsedTimer lastByte;  // since the last byte received; invalid before the first after an open

    int initialDelay = 500;
    int maxDelay = 30000;
    int maxAttempts = 0;
    int idleTimeout = 10000;
    int statsInterval = 0;

    static constexpr int StableTime = 10000;
    static constexpr double JitterShare = 0.2;

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
