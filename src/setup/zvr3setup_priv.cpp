#include "zvr3setup_priv.h"

#include <algorithm>
#include <limits>

#include "zvr3error.h"
#include "zvr3logging_p.h"
#include "zvr3metatype_p.h"
#include "zvr3net_priv.h"

namespace {
constexpr int SetupService = 4;
// The longest answer block accepted, length line included. Set-up answers are configuration texts
// of a few kilobytes; a block that announces, or grows to, more than this is not one, and
// gathering it would cost the application that much memory and more. The limit applies as soon as
// the "LENGTH=" number is read, before any of the block has arrived, and to whatever the buffer
// holds, so that a length line without its CR LF, or data that never ends a block, is bounded too.
// Beyond it the answer is given up as a failed connection is: "Set-up answer too large" is
// reported, the received bytes are freed, the commands queued behind the request are dropped and
// the connection is closed.
constexpr qint64 MaxAnswer = qint64(64) << 20;

const QByteArray LengthTag = QByteArrayLiteral("LENGTH=");
const QByteArray TrailerTag = QByteArrayLiteral("TRAL_ANSWER=");
const QByteArray TrailerOk = QByteArrayLiteral("TRAL_ANSWER=OK\r\n");
const QByteArray TrailerError = QByteArrayLiteral("TRAL_ANSWER=ERROR");
}

qint64 zvr3setup_priv::mAnswerLimitOverride = 0;

zvr3setup_priv::zvr3setup_priv()
    : zvr3service_priv(SetupService, {1, 2, 3, 8})
{
}

void zvr3setup_priv::failed(const QVariant &e)
{
    // A connection failure leaves as data first; the reset follows.
    zvr3service_priv::failed(e);
    hardReset();
}

void zvr3setup_priv::received(const QByteArray &a)
{
    // Grown by doubling in place: a long answer is not copied, and so not held twice, at each step.
    if (!buffer.isEmpty() && buffer.capacity() - buffer.size() < a.size())
        buffer.reserve(qMax(buffer.size() + a.size(), 2 * buffer.capacity()));
    buffer.append(a);
    if (parseBlock()) {
        busy = false;
        nextCommand();
    } else if (buffer.size() > answerLimit()) {
        qCDebug(lcZvr3Setup, "%lld bytes received without an answer block", qlonglong(buffer.size()));
        tooLarge();
    }
}

void zvr3setup_priv::stateChanged(int state)
{
    if (state == zvr3net_priv::LoggedIn) {
        busy = false;
        nextCommand();
    } else if (state == zvr3net_priv::Closed && !replacing) {
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
    lineSearched = 0;
    url.clear();
    busy = false;
    connection->setWatchdog(0);
}

void zvr3setup_priv::tooLarge()
{
    buffer = QByteArray();
    emit sigData(zvr3value(zvr3error(-1, tr("Set-up answer too large"), zvr3error::TooLarge)));
    hardReset();
    connection->close();
}

qint64 zvr3setup_priv::answerLimit() const
{
    return mAnswerLimitOverride ? mAnswerLimitOverride : MaxAnswer;
}

void zvr3setup_priv::setAnswerLimitOverride(qint64 bytes)
{
    mAnswerLimitOverride = bytes;
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
    open(url);
    replacing = false;
}

bool zvr3setup_priv::serve(const zvr3command &command)
{
    const bool connected = !url.isEmpty();
    switch (command.code) {
    case 2:
        reConnect(command);
        return false;
    case 3:
        if (connected) {
            closeOwn();
            reset();
        }
        return true;
    case 8:
        if (!connected)
            return true;
        busy = true;
        connection->setWatchdog(zvr3net_priv::Timeout);
        qCDebug(lcZvr3Setup, "request of %lld bytes", qlonglong(command.data.toByteArray().size()));
        connection->slotData(command.data.toByteArray());
        return false;
    default:
        return true;
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
        emit sigData(zvr3value(zvr3error(-1, tr("Device data protocol error"), zvr3error::ProtocolError)));
        return false;
    }
    const qsizetype lineEnd = buffer.indexOf("\r\n", lineSearched);
    if (lineEnd < 0) {
        // The next search starts where this one gave up, so that a length line arriving in many
        // pieces costs time in proportion to its length.
        lineSearched = buffer.size() - 1;
        return false;
    }
    const qsizetype bodyStart = lineEnd + 2;
    const QByteArray digits =
        QByteArray::fromRawData(buffer.constData() + LengthTag.size(), lineEnd - LengthTag.size());
    bool ok = false;
    quint64 n = digits.toULongLong(&ok, 10);
    // Qt reads a number only up to a zero byte, as in a C string: "3\0x" is no number either.
    if (!ok || digits.contains('\0')) {
        // Not a number reads as 0; a number too long for 64 bits is still a length, and too large.
        const bool number = !digits.isEmpty()
            && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
        n = number ? std::numeric_limits<quint64>::max() : 0;
    }
    if (bodyStart > answerLimit() || n > quint64(answerLimit() - bodyStart)) {
        qCDebug(lcZvr3Setup, "answer block of %llu bytes announced: too large", static_cast<unsigned long long>(n));
        tooLarge();
        return false;
    }
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
        emit sigData(zvr3value(zvr3error(-1, tr("Device returns error"), zvr3error::DeviceError)));
    else {
        qCDebug(lcZvr3Setup, "answer of %lld bytes without a known trailer", qlonglong(total));
        emit sigData(zvr3value(zvr3error(-1, tr("Device data protocol error"), zvr3error::ProtocolError)));
    }

    buffer.remove(0, total);
    lineSearched = 0;
    connection->setWatchdog(0);
    return true;
}
