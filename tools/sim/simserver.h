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
class Server : public QObject
{
    Q_OBJECT
public:
    Server(const Options &options, Source *source);
    ~Server() override;
    bool listen();
    quint16 port() const { return m_recorder.port(); }
    QString errorString() const { return m_recorder.errorString(); }

signals:
    // Frame f (milliseconds since the epoch / 40) is about to be written to the live clients;
    // emitted on the server's thread, for measuring delays.
    void frameWriting(qint64 f);

private:
    struct LiveClient
    {
        QVector<bool> selected;
        qint64 lastSecond = -1;   // the second of the last index record sent
        bool skipping = false;    // the client lags: frames are left out until the next second
    };

    void started(zvr3fake::FakeSession *session);
    void loggedIn(zvr3fake::FakeSession *session);
    void request(zvr3fake::FakeSession *session, const QByteArray &line);
    // Every answer goes through here: the fault options apply.
    void reply(zvr3fake::FakeSession *session, const QByteArray &bytes);
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
    QTimer m_ticker;
    qint64 m_lastFrame = -1;
    qint64 m_startSecond = 0;
    QHash<zvr3fake::FakeSession *, LiveClient> m_live;
    QHash<zvr3fake::FakeSession *, int> m_replies;   // answers sent since the login, for --garbage and --drop-after
    QMap<QString, QString> m_settings;
};

} // namespace zvr3sim

#endif // SIMSERVER_H
