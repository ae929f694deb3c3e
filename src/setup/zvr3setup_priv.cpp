#include "zvr3setup_priv.h"

#include "zvr3error.h"
#include "zvr3logging_p.h"
#include "zvr3metatype_p.h"
#include "zvr3net_priv.h"

namespace {
constexpr int SetupService = 4;
constexpr int AnswerTimeout = 30000;
constexpr int LoggedIn = 2;
constexpr int Closed = 3;

const QByteArray LengthTag = QByteArrayLiteral("LENGTH=");
const QByteArray TrailerTag = QByteArrayLiteral("TRAL_ANSWER=");
const QByteArray TrailerOk = QByteArrayLiteral("TRAL_ANSWER=OK\r\n");
const QByteArray TrailerError = QByteArrayLiteral("TRAL_ANSWER=ERROR");
}

zvr3setup_priv::zvr3setup_priv()
    : connection(new zvr3net_priv)
{
    // A connection failure leaves as data first; the reset follows.
    connect(connection, &zvr3net_priv::sigError, this, &zvr3base::sigData);
    connect(connection, &zvr3net_priv::sigError, this, &zvr3setup_priv::hardReset);
    connect(connection, &zvr3net_priv::sigData, this, qOverload<const QByteArray &>(&zvr3setup_priv::slotData));
    connect(connection, &zvr3net_priv::sigState, this, &zvr3setup_priv::slotState);
}

zvr3setup_priv::~zvr3setup_priv()
{
    queue.clear();
    connection->disconnect(this);
    delete connection;
}

void zvr3setup_priv::slotData(const QVariant &data)
{
    if (!zvr3holds<zvr3command>(data))
        return;
    const zvr3command cmd = data.value<zvr3command>();
    if (cmd.code != 1 && cmd.code != 2 && cmd.code != 3 && cmd.code != 8)
        return;
    queue.append(cmd);
    if (!busy)
        nextCommand();
}

void zvr3setup_priv::slotData(const QByteArray &a)
{
    buffer.append(a);
    if (parseBlock()) {
        busy = false;
        nextCommand();
    }
}

void zvr3setup_priv::slotState(int state)
{
    if (state == LoggedIn) {
        busy = false;
        nextCommand();
    } else if (state == Closed && !replacing) {
        reset();
        nextCommand();
    }
}

void zvr3setup_priv::hardReset()
{
    queue.clear();
    reset();
}

void zvr3setup_priv::reset()
{
    buffer.clear();
    url.clear();
    busy = false;
    connection->setWatchdog(0);
}

void zvr3setup_priv::closeOwn()
{
    replacing = true;
    connection->close();
    replacing = false;
}

void zvr3setup_priv::openOwn()
{
    replacing = true;
    connection->open(url, SetupService);
    replacing = false;
}

void zvr3setup_priv::nextCommand()
{
    while (!queue.isEmpty()) {
        const zvr3command cmd = queue.takeFirst();  // off the queue first: serving may re-enter
        const bool connected = !url.isEmpty();
        switch (cmd.code) {
        case 1:
            emit sigData(cmd.data);
            break;
        case 2:
            reConnect(cmd);
            return;
        case 3:
            if (connected) {
                closeOwn();
                reset();
            }
            break;
        case 8:
            if (connected) {
                busy = true;
                connection->setWatchdog(AnswerTimeout);
                qCDebug(lcZvr3Setup, "request of %lld bytes", qlonglong(cmd.data.toByteArray().size()));
                connection->slotData(cmd.data.toByteArray());
                return;
            }
            break;
        default:
            break;
        }
    }
}

void zvr3setup_priv::reConnect(const zvr3command &cmd)
{
    reset();
    busy = true;
    url = cmd.data.toUrl();
    openOwn();
}

bool zvr3setup_priv::parseBlock()
{
    if (buffer.size() < 10)
        return false;
    if (!buffer.startsWith(LengthTag)) {
        // The buffer stays as it is: every further chunk repeats the error until the watchdog
        // or the connection ends the wait.
        qCDebug(lcZvr3Setup, "answer does not start with LENGTH=");
        emit sigData(zvr3value(zvr3error(-1, tr("Device data protocol error"))));
        return false;
    }
    const qsizetype lineEnd = buffer.indexOf("\r\n");
    if (lineEnd < 0)
        return false;
    bool ok = false;
    const QByteArray digits = buffer.mid(LengthTag.size(), lineEnd - LengthTag.size());
    quint64 n = digits.toULongLong(&ok, 10);
    // Qt reads a number only up to a zero byte, as in a C string: "3\0x" is no number either.
    if (!ok || digits.contains('\0'))
        n = 0;
    const qsizetype bodyStart = lineEnd + 2;
    if (n > quint64(buffer.size()) || quint64(buffer.size()) < quint64(bodyStart) + n)
        return false;
    const qsizetype total = bodyStart + qsizetype(n);
    if (!buffer.endsWith("\r\n"))
        return false;

    const qsizetype at = buffer.lastIndexOf(TrailerTag);
    const QByteArray trailer = at < 0 ? QByteArray() : buffer.mid(at);
    if (trailer == TrailerOk)
        emit sigData(QVariant(buffer.mid(bodyStart, qMax<qsizetype>(0, at - bodyStart))));
    else if (trailer.startsWith(TrailerError))
        emit sigData(zvr3value(zvr3error(-1, tr("Device returns error"))));
    else {
        qCDebug(lcZvr3Setup, "answer of %lld bytes without a known trailer", qlonglong(total));
        emit sigData(zvr3value(zvr3error(-1, tr("Device data protocol error"))));
    }

    buffer.remove(0, total);
    connection->setWatchdog(0);
    return true;
}
