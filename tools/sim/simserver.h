#ifndef SIMSERVER_H
#define SIMSERVER_H

#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QRandomGenerator>
#include <QSet>
#include <QTimer>

#include "simsource.h"
#include "zvr3fakerecorder.h"

namespace zvr3sim {

struct Options
{
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 5049;
    QString user = QStringLiteral("admin");
    QString password = QStringLiteral("admin");
    int channels = 4;
    QSize size = QSize(640, 360);
    QSet<int> noSignal;
    QSet<int> disabled;
    int archiveSeconds = 120;   // history there from the start
    int keepSeconds = 600;      // history kept at most
    int dropEvery = 0;          // seconds; 0: never
    int dropAfter = 0;          // answers; 0: never
    int slowMs = 0;
    int stallAfter = 0;         // answers of a connection, then it stalls; 0: never
    int stallMs = 0;            // how long a stall lasts; 0: until endFaults()
    int downAt = -1;            // milliseconds after listen(), then the recorder goes down; -1: never
    int downAfter = 0;          // answers of a connection, then the recorder goes down; 0: never
    int downMs = 0;             // how long the recorder stays down; 0: until endFaults()
    bool garbage = false;
    bool quiet = false;
};

// The simulated recorder: one port, every service picked by the connection's first byte.
//
// 1 live: the stream header and an index record at once, then every 40 ms the frames of the
//   channels chosen with "STRIP_nn" (and dropped with "UNSTRIP_nn"), the sound, and every second
//   an index record, the positions and now and then an event text.
// 2 archive: "GET_TIME_dd/MM/yyyy,hh:mm:ss" and "GET_INDEX_<ref_high><ref_low>" (8 hex digits
//   each) answered with a chunk of two one-second sections, each opened by the stream header, a
//   chunk header and an index record, and closed by a chunk header and an index record that name
//   the next second. Times are UTC seconds.
// 3 event list: "GET_ALL_EVENTS_<from>,<to>" with the motion events of that period.
// 4 set-up: "LIST", "GET name" and "SET name=value".
// 6 JPEG: "GET_JPEG_STREAM channel width height quality -1": one frame, then the end.
//
// Faults, for clients that must keep going through them:
// - a stall: after its stallAfter-th answer a connection gets nothing for stallMs, and stays open.
//   Answers it asks for meanwhile are sent when the stall ends; a live stream leaves its frames out
//   and goes on at the present, from the start of the next second.
// - down: the port is closed (connections are refused) and every connection is dropped, for
//   downMs; then the recorder listens on the same port again. At downAt after listen(), or right
//   after the downAfter-th answer of a connection, which still goes out whole before the line
//   closes; each once.
// The signals tell when each happens, before the clients can see it.
class Server : public QObject
{
    Q_OBJECT
public:
    Server(const Options &options, Source *source);
    ~Server() override;
    bool listen();
    quint16 port() const { return m_port; }
    QString errorString() const { return m_recorder.errorString(); }

    // Goes down now, for milliseconds (0: until endFaults()); nothing when down already.
    void goDown(int milliseconds);
    // Comes up again and ends every stall now.
    void endFaults();

signals:
    // Frame f (milliseconds since the epoch / 40) is about to be written to the live clients;
    // emitted on the server's thread, for measuring delays.
    void frameWriting(qint64 f);
    // Connection number n (counted from 1 in the order they came) stalls for milliseconds (0: until
    // endFaults()); it then goes on.
    void stalled(int connection, int milliseconds);
    void goingOn(int connection);
    // The port was closed, for milliseconds (0: until endFaults()); then it listens again.
    void wentDown(int milliseconds);
    void listening(quint16 port);
    // Listening again failed; it tries again shortly.
    void listenFailed(const QString &error);

private:
    struct Connection
    {
        int number = 0;
        int replies = 0;         // answers made since the login, for --garbage, --drop-after, --stall-after
        bool stalled = false;
        QList<QPair<QByteArray, int>> held;  // answers made during a stall, with their Close/Stall/Down flags
    };
    enum AnswerFlag { Close = 1, Stall = 2, Down = 4 };

    struct LiveClient
    {
        QVector<bool> selected;
        qint64 lastSecond = -1;   // the second of the last index record sent
        bool skipping = false;    // the client lags: frames are left out until the next second
    };

    void started(zvr3fake::FakeSession *session);
    void loggedIn(zvr3fake::FakeSession *session);
    void request(zvr3fake::FakeSession *session, const QByteArray &line);
    // Every answer goes through here: the fault options apply. close: the line closes behind it.
    void reply(zvr3fake::FakeSession *session, const QByteArray &bytes, bool close = false);
    void deliver(zvr3fake::FakeSession *session, const QByteArray &bytes, int flags);
    void goOn(zvr3fake::FakeSession *session);
    // Goes down, dropping every connection but spared.
    void goDown(int milliseconds, zvr3fake::FakeSession *spared);
    void comeUp();
    void tick();
    void liveRequest(zvr3fake::FakeSession *session, const QByteArray &line);
    void archiveRequest(zvr3fake::FakeSession *session, const QByteArray &line);
    void sendChunk(zvr3fake::FakeSession *session, qint64 second);
    void eventsRequest(zvr3fake::FakeSession *session, const QByteArray &line);
    void setupRequest(zvr3fake::FakeSession *session, const QByteArray &line);
    void jpegRequest(zvr3fake::FakeSession *session, const QByteArray &line);
    qint64 oldestSecond() const;
    qint64 newestSecond() const;   // the last complete second

    Options m_options;
    Source *m_source;
    zvr3fake::FakeRecorder m_recorder;
    quint16 m_port = 0;
    QTimer m_ticker;
    QTimer m_upTimer;
    bool m_down = false;
    bool m_downAfterDone = false;
    int m_connectionCount = 0;
    qint64 m_lastFrame = -1;
    qint64 m_startSecond = 0;
    QHash<zvr3fake::FakeSession *, LiveClient> m_live;
    QHash<zvr3fake::FakeSession *, Connection> m_connections;
    QMap<QString, QString> m_settings;
};

} // namespace zvr3sim

#endif // SIMSERVER_H
