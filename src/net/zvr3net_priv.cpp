#include "zvr3net_priv.h"

#include <QCryptographicHash>
#include <QTcpSocket>

#include "zvr3error.h"
#include "zvr3logging_p.h"
#include "zvr3metatype_p.h"

namespace {
// The recorder frames its login answer like every other answer: "LENGTH=" and the byte count of
// the answer line, then the line. Only these two answers exist, so they are compared as a whole.
const QByteArray AnswerOk = QByteArrayLiteral("LENGTH=16\r\nTRAL_ANSWER=OK\r\n");
const QByteArray AnswerRefused = QByteArrayLiteral("LENGTH=19\r\nTRAL_ANSWER=ERROR\r\n");
// The longer answer is 30 bytes: 32 bytes that match neither cannot become one.
constexpr int AnswerLimit = 32;

// A request as the debug log shows it: all of its lines, with CR, LF, the backslash and every
// byte outside printable ASCII escaped. A write can be large (a set-up request may carry a whole
// configuration), so only its first 512 bytes are shown, followed by its size.
QByteArray escaped(const QByteArray &a)
{
    constexpr qsizetype Shown = 512;
    QByteArray out;
    for (qsizetype i = 0; i < qMin(a.size(), Shown); ++i) {
        const uchar c = uchar(a.at(i));
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else if (c >= 0x20 && c < 0x7F)
            out += char(c);
        else
            out += "\\x" + QByteArray::number(c, 16).rightJustified(2, '0');
    }
    if (a.size() > Shown)
        out += "... (" + QByteArray::number(a.size()) + " bytes)";
    return out;
}
}

void (*zvr3net_priv::mCreationHook)(zvr3net_priv *) = nullptr;

zvr3net_priv::zvr3net_priv()
{
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, this, &zvr3net_priv::slotWathdog);
    if (mCreationHook)
        mCreationHook(this);
}

zvr3net_priv::~zvr3net_priv()
{
    close();
}

void zvr3net_priv::setCreationHook(void (*hook)(zvr3net_priv *))
{
    mCreationHook = hook;
}

void zvr3net_priv::setWatchdog(int ms)
{
    if (ms == 0)
        watchdog.stop();
    else
        watchdog.start(ms);
}

void zvr3net_priv::open(const QUrl &u, int s)
{
    url = u;
    service = s;
    reply.clear();
    outgoing.clear();
    const quint64 mine = ++generation;
    close();
    // Closing the old connection may have made an owner open again from its handler: that later
    // open stands, and this one has nothing left to do.
    if (generation != mine)
        return;

    watchdog.start(Timeout);
    state = Connecting;
    qCDebug(lcZvr3Net, "connecting to %s:%d, service %d", qUtf8Printable(url.host()), url.port(DefaultPort), service);
    socket = new QTcpSocket;
    // Each read hands the owner at most this much: without a bound, one read takes whatever the
    // system holds for the socket, tens of megabytes on a fast link, on top of what the owner
    // gathers. Chunk boundaries carry no meaning, so nothing else changes.
    socket->setReadBufferSize(ReadChunk);
    connect(socket, &QTcpSocket::connected, this, &zvr3net_priv::connected);
    connect(socket, &QTcpSocket::disconnected, this, &zvr3net_priv::disconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, &zvr3net_priv::error);
    connect(socket, &QTcpSocket::readyRead, this, &zvr3net_priv::readyRead);
    socket->connectToHost(url.host(), quint16(url.port(DefaultPort)), QIODevice::ReadWrite);
}

void zvr3net_priv::close()
{
    watchdog.stop();
    if (!socket)
        return;
    QTcpSocket *old = socket;
    socket = nullptr;
    release(old);
    state = Closed;
    qCDebug(lcZvr3Net, "closed (service %d)", service);
    emit sigState(Closed);
}

void zvr3net_priv::release(QTcpSocket *s)
{
    s->disconnect();
    const QAbstractSocket::SocketState st = s->state();
    if (st == QAbstractSocket::ConnectedState || st == QAbstractSocket::ClosingState) {
        // A connected socket is closed politely, so that requests still in its write buffer go
        // out; it deletes itself once it has disconnected. A peer that never lets it finish gets
        // it aborted after the usual timeout.
        connect(s, &QAbstractSocket::disconnected, s, &QObject::deleteLater);
        s->disconnectFromHost();
        if (s->state() != QAbstractSocket::UnconnectedState) {
            QTimer::singleShot(Timeout, s, [s] { s->abort(); });
        }
    } else {
        // Never connected (still looking up or connecting) or already gone: no disconnected()
        // will come, so end it here.
        s->abort();
        s->deleteLater();
    }
}

void zvr3net_priv::slotData(const QByteArray &a)
{
    qCDebug(lcZvr3Net, "request (service %d, %s): %s", service, state == LoggedIn && socket ? "sent" : "queued",
            escaped(a).constData());
    if (state == LoggedIn && socket)
        write(a);
    else
        outgoing.append(a);
}

void zvr3net_priv::write(const QByteArray &a)
{
    // Handed to the system at once rather than on the next turn of the event loop: an owner may
    // emit its result, and the application end, before that turn comes (an event list that came
    // with the login answer), and the request must still reach the recorder.
    socket->write(a);
    socket->flush();
}

bool zvr3net_priv::fromSocket() const
{
    return socket && sender() == socket;
}

void zvr3net_priv::connected()
{
    if (!fromSocket() || state != Connecting)
        return;
    const QByteArray digest =
        QCryptographicHash::hash(url.password(QUrl::FullyDecoded).toUtf8(), QCryptographicHash::Md5).toHex();
    QByteArray login(1, char(service & 0xFF));
    login += QStringLiteral("LOGIN=%1\r\nPASS=%2\r\n")
                 .arg(url.userName(QUrl::FullyDecoded), QString::fromLatin1(digest))
                 .toUtf8();
    write(login);
    watchdog.start(Timeout);
    state = LoginSent;
    qCDebug(lcZvr3Net, "connected, login sent as \"%s\" (service %d)", qUtf8Printable(url.userName(QUrl::FullyDecoded)), service);
    emit sigState(LoginSent);
}

void zvr3net_priv::disconnected()
{
    if (!fromSocket())
        return;
    watchdog.stop();
    state = Closed;
    QTcpSocket *old = socket;
    socket = nullptr;
    release(old);
    qCDebug(lcZvr3Net, "disconnected by the peer (service %d)", service);
    emit sigState(Closed);
}

void zvr3net_priv::error(QAbstractSocket::SocketError e)
{
    if (!fromSocket())
        return;
    QTcpSocket *failed = socket;
    watchdog.stop();
    qCDebug(lcZvr3Net, "socket error %d: %s", int(e), qUtf8Printable(failed->errorString()));
    emit sigError(zvr3value(zvr3error(int(e), failed->errorString(), zvr3error::SocketError)));
    // The owner may have closed the connection, or opened a new one, while handling the error:
    // only the socket that failed is closed here.
    if (socket == failed)
        close();
}

void zvr3net_priv::slotWathdog()
{
    // With no socket there is nothing left to wait for: the connection has ended already.
    if (!socket)
        return;
    QTcpSocket *waiting = socket;
    const quint64 mine = generation;
    qCDebug(lcZvr3Net, "timeout in state %d (service %d)", state, service);
    emit sigError(zvr3value(zvr3error(-1, tr("Network operation timeout"), zvr3error::Timeout)));
    if (socket == waiting && generation == mine)
        close();
}

void zvr3net_priv::readyRead()
{
    if (!fromSocket())
        return;
    const QByteArray bytes = socket->readAll();
    if (bytes.isEmpty())
        return;
    switch (state) {
    case LoginSent:
        watchdog.start(Timeout);
        recogniseAnswer(bytes);
        break;
    case LoggedIn:
        emit sigData(bytes);
        break;
    case Connecting:
    case Closed:
        fail(-3, tr("Unexpected data received in state #%1").arg(state), zvr3error::UnexpectedReply);
        break;
    }
}

void zvr3net_priv::fail(int code, const QString &text, zvr3error::Reason reason)
{
    QTcpSocket *failed = socket;
    qCDebug(lcZvr3Net, "protocol error %d: %s", code, qUtf8Printable(text));
    emit sigError(zvr3value(zvr3error(code, text, reason)));
    // The socket's disconnected() then brings Closed, unless the owner has already moved on.
    if (failed && socket == failed)
        failed->disconnectFromHost();
}

void zvr3net_priv::recogniseAnswer(const QByteArray &bytes)
{
    // Once the answer has been judged, the rest of what this connection sends is not looked at
    // again: the disconnection asked for is on its way.
    if (reply.size() >= AnswerLimit || reply.startsWith(AnswerRefused))
        return;
    reply.append(bytes);

    if (reply.startsWith(AnswerOk)) {
        QTcpSocket *s = socket;
        watchdog.stop();
        state = LoggedIn;
        const QByteArray rest = reply.mid(AnswerOk.size());
        reply.clear();
        qCDebug(lcZvr3Net, "logged in (service %d)", service);
        emit sigState(LoggedIn);
        // What the owner sends from its handler of the state has been written already; bytes
        // that came with the answer go to it next, then the requests it queued before the login.
        if (socket != s || state != LoggedIn)
            return;
        if (!rest.isEmpty())
            emit sigData(rest);
        if (socket == s && state == LoggedIn && !outgoing.isEmpty()) {
            write(outgoing);
            outgoing.clear();
        }
        return;
    }
    if (reply.startsWith(AnswerRefused)) {
        watchdog.stop();
        fail(-1, tr("Access denied"), zvr3error::AccessDenied);
        return;
    }
    if (reply.size() < AnswerLimit)
        return;
    watchdog.stop();
    fail(-2, tr("Unexpected authorization reply received"), zvr3error::UnexpectedReply);
}
