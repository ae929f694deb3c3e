// Internal header of zvr3lib, not installed.
#ifndef ZVR3NET_PRIV_H
#define ZVR3NET_PRIV_H

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#include "zvr3error.h"

class QTcpSocket;

/*
    One TCP connection to one service of a recorder.

    open() connects to the URL's host (port 5049 unless the URL names one) and logs in: the first
    byte sent names the service, then "LOGIN=<user>\r\nPASS=<md5 of password, lower-case hex>\r\n".
    The recorder answers "LENGTH=16\r\nTRAL_ANSWER=OK\r\n" or "LENGTH=19\r\nTRAL_ANSWER=ERROR\r\n".
    After the login every received byte goes to the owner unchanged on sigData(), and slotData()
    writes the owner's requests; requests given earlier are queued and written right after the
    login answer.

    States reported on sigState() (State): Connecting (not signalled), LoginSent, LoggedIn, Closed.
    Failures go out on sigError() as a zvr3error, always before the Closed that follows them.

    Owners may close the connection or open a new one from their handlers of these signals: every
    step that follows an emission checks that it is still working on the same socket, and every
    callback of a socket or of the watchdog first checks that it concerns the connection held now.
*/
class zvr3net_priv : public QObject
{
    Q_OBJECT
public:
    // The values are those that sigState() carries.
    enum State { Connecting = 0, LoginSent = 1, LoggedIn = 2, Closed = 3 };

    zvr3net_priv();
    ~zvr3net_priv() override;

    void open(const QUrl &url, int service);
    void close();
    // 0 stops the watchdog; any other value (re)starts it with that many milliseconds.
    void setWatchdog(int ms);

    QUrl currentUrl() const { return url; }
    int currentState() const { return state; }

    // Test seam: called with every connection made from now on (null: no longer), so that tests
    // reach the connections inside the nodes (through zvr3net_priv_test) and can let a watchdog
    // expire at the moment they choose.
    static void setCreationHook(void (*hook)(zvr3net_priv *));

    static constexpr int DefaultPort = 5049;
    static constexpr int Timeout = 30000;
    static constexpr qint64 ReadChunk = 1 << 20;

Q_SIGNALS:
    void sigError(const QVariant &error);
    void sigData(const QByteArray &data);
    void sigState(int state);

public Q_SLOTS:
    void slotData(const QByteArray &a);

protected Q_SLOTS:
    void connected();
    void disconnected();
    void error(QAbstractSocket::SocketError e);
    void readyRead();
    void slotWathdog();

private:
    friend class tst_zvr3net_priv;
    friend struct zvr3net_priv_fuzz;  // the fuzz target of the login answer
    friend struct zvr3net_priv_test;  // the network tests: the watchdog and the socket
    friend struct zvr3supervisor_private;  // ends a request that has run out of time

    void write(const QByteArray &a);  // to the socket held, and on to the system
    void recogniseAnswer(const QByteArray &bytes);
    void fail(int code, const QString &text, zvr3error::Reason reason);
    // Whether the signal being handled comes from the socket held now: a socket given up, or a
    // callback that is not a signal of a socket at all, has nothing to say about this connection.
    bool fromSocket() const;
    // Lets a socket that is no longer ours end and destroy itself.
    static void release(QTcpSocket *socket);

    QTimer watchdog;
    QByteArray reply;      // bytes received while the login answer is awaited
    QByteArray outgoing;   // requests given before the login succeeded
    QUrl url;
    QTcpSocket *socket = nullptr;
    int service = 0;
    State state = Connecting;
    quint64 generation = 0;  // counts open() calls, so that an open nested in close() is noticed

    static void (*mCreationHook)(zvr3net_priv *);

    Q_DISABLE_COPY(zvr3net_priv)
};

#endif // ZVR3NET_PRIV_H
