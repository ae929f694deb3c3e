#include "zvr3fakerecorder.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <climits>

#include "zvr3stream_format_p.h"

namespace zvr3fake {

namespace {
void appendU32(QByteArray &out, quint32 v)
{
    const char bytes[4] = {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char((v >> 24) & 0xFF)};
    out.append(bytes, 4);
}
}

QByteArray loginOk()
{
    return QByteArrayLiteral("LENGTH=16\r\nTRAL_ANSWER=OK\r\n");
}

QByteArray loginRefused()
{
    return QByteArrayLiteral("LENGTH=19\r\nTRAL_ANSWER=ERROR\r\n");
}

QByteArray passwordDigest(const QString &password)
{
    return QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Md5).toHex();
}

QByteArray eventListReply(const QList<QByteArray> &groups)
{
    QByteArray out;
    appendU32(out, zvr3format::EventListMagic);
    appendU32(out, quint32(groups.size()));
    for (const QByteArray &group : groups) {
        appendU32(out, 0);
        appendU32(out, quint32(group.size()));
        out.append(group);
    }
    appendU32(out, zvr3format::EventListTrailer);
    return out;
}

QByteArray answerBlock(const QByteArray &data, const QByteArray &trailer)
{
    return "LENGTH=" + QByteArray::number(data.size() + trailer.size()) + "\r\n" + data + trailer;
}

FakeSession::FakeSession(FakeRecorder *recorder, QTcpSocket *socket)
    : QObject(recorder), m_recorder(recorder), m_socket(socket)
{
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, &FakeSession::readClient);
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_socket && m_socket->bytesToWrite() == 0) {
            // One piece per turn of the event loop (or per pause), so that the client reads
            // them apart; until then nothing else is written.
            QTimer::singleShot(m_recorder->pieceDelay, Qt::PreciseTimer, this, [this] {
                m_writing = false;
                writeNext();
            });
        }
    });
    connect(socket, &QTcpSocket::disconnected, this, &FakeSession::closed);
}

FakeSession::~FakeSession() = default;

bool FakeSession::isOpen() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

qint64 FakeSession::pendingBytes() const
{
    qint64 total = m_socket ? m_socket->bytesToWrite() : 0;
    for (const QByteArray &piece : m_out)
        total += piece.size();
    return total;
}

void FakeSession::send(const QByteArray &bytes, int chunkSize)
{
    if (chunkSize <= 0)
        chunkSize = m_recorder->chunkSize;
    if (chunkSize <= 0 || chunkSize >= bytes.size()) {
        if (!bytes.isEmpty())
            m_out.append(bytes);
    } else {
        for (qsizetype at = 0; at < bytes.size(); at += chunkSize)
            m_out.append(bytes.mid(at, chunkSize));
    }
    writeNext();
}

void FakeSession::writeNext()
{
    if (!m_socket || m_writing)
        return;
    if (m_out.isEmpty()) {
        if (m_closeWhenSent)
            m_socket->disconnectFromHost();
        return;
    }
    m_writing = true;
    m_socket->write(m_out.takeFirst());
    m_socket->flush();
}

void FakeSession::closeWhenSent()
{
    m_closeWhenSent = true;
    writeNext();
}

void FakeSession::abort()
{
    m_out.clear();
    if (m_socket)
        m_socket->abort();
}

void FakeSession::readClient()
{
    if (!m_socket)
        return;
    const QByteArray bytes = m_socket->readAll();
    const bool wasLoggedIn = m_loggedIn;
    const qsizetype kept = m_pending.size();
    m_received += bytes;
    m_pending += bytes;
    if (m_service < 0 && !m_pending.isEmpty()) {
        m_service = quint8(m_pending.at(0));
        m_pending.remove(0, 1);
    }
    if (!m_answered) {
        handleLogin();
        if (!m_answered)
            return;
    }
    if (!m_loggedIn) {
        m_pending.clear();  // a refused client has nothing to ask
        return;
    }
    if (m_recorder->onBytes) {
        const QByteArray fresh = wasLoggedIn ? m_pending.mid(kept) : m_pending;
        if (!fresh.isEmpty())
            m_recorder->onBytes(this, fresh);
        if (!m_socket)
            return;
    }
    for (;;) {
        const qsizetype end = m_pending.indexOf("\r\n");
        if (end < 0)
            break;
        const QByteArray line = m_pending.left(end);
        m_pending.remove(0, end + 2);
        m_requests.append(line);
        emit requestReceived(line);
        emit m_recorder->requestReceived(this, line);
        if (m_recorder->onRequest)
            m_recorder->onRequest(this, line);
        if (!m_socket)
            return;
    }
}

void FakeSession::handleLogin()
{
    // Two lines: "LOGIN=<user>\r\n" and "PASS=<digest>\r\n".
    const qsizetype first = m_pending.indexOf("\r\n");
    if (first < 0)
        return;
    const qsizetype second = m_pending.indexOf("\r\n", first + 2);
    if (second < 0)
        return;
    const QByteArray loginLine = m_pending.left(first);
    const QByteArray passLine = m_pending.mid(first + 2, second - first - 2);
    m_pending.remove(0, second + 2);
    m_answered = true;

    const bool wellFormed = loginLine.startsWith("LOGIN=") && passLine.startsWith("PASS=");
    m_user = QString::fromUtf8(loginLine.mid(6));
    m_digest = passLine.mid(5);
    bool ok = wellFormed;
    if (m_recorder->expectedService >= 0 && m_service != m_recorder->expectedService)
        ok = false;
    if (m_recorder->checkLogin
        && (m_user != m_recorder->expectedUser || m_digest != passwordDigest(m_recorder->expectedPassword)))
        ok = false;

    switch (m_recorder->loginMode) {
    case FakeRecorder::Silent:
        return;
    case FakeRecorder::Garbage:
        send(m_recorder->loginReply, m_recorder->loginChunkSize);
        return;
    case FakeRecorder::Refuse:
        ok = false;
        break;
    case FakeRecorder::Accept:
        break;
    }
    if (!ok) {
        send(loginRefused(), m_recorder->loginChunkSize);
        return;
    }
    m_loggedIn = true;
    send(loginOk() + m_recorder->afterLogin, m_recorder->loginChunkSize > 0 ? m_recorder->loginChunkSize : INT_MAX);
    emit m_recorder->loggedIn(this);
    if (m_recorder->onLogin)
        m_recorder->onLogin(this);
}

FakeRecorder::FakeRecorder(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeRecorder::accept);
}

FakeRecorder::~FakeRecorder()
{
    m_server.close();
    for (const QPointer<FakeSession> &session : std::as_const(m_sessions)) {
        if (session && session->socket())
            session->socket()->abort();
    }
}

bool FakeRecorder::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

bool FakeRecorder::listen(const QHostAddress &address, quint16 port)
{
    return m_server.listen(address, port);
}

QUrl FakeRecorder::url(const QString &user, const QString &password, const QString &query) const
{
    QUrl u;
    u.setScheme(QStringLiteral("tcp"));
    u.setHost(QStringLiteral("127.0.0.1"));
    u.setPort(port());
    u.setUserName(user);
    u.setPassword(password);
    if (!query.isEmpty())
        u.setQuery(query);
    return u;
}

QList<FakeSession *> FakeRecorder::sessions() const
{
    QList<FakeSession *> out;
    for (const QPointer<FakeSession> &session : m_sessions) {
        if (session)
            out.append(session);
    }
    return out;
}

FakeSession *FakeRecorder::lastSession() const
{
    return m_sessions.isEmpty() ? nullptr : m_sessions.last().data();
}

void FakeRecorder::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        auto *session = new FakeSession(this, socket);
        m_sessions.append(session);
        emit sessionStarted(session);
        // Bytes may have come with the connection.
        if (socket->bytesAvailable() > 0)
            QTimer::singleShot(0, session, [session] { session->readClient(); });
    }
}

} // namespace zvr3fake
