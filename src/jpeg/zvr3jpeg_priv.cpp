#include "zvr3jpeg_priv.h"

#include <QUrlQuery>

#include "zvr3error.h"
#include "zvr3logging_p.h"
#include "zvr3metatype_p.h"
#include "zvr3net_priv.h"

namespace {
constexpr int JpegService = 6;
// The socket's error for a connection closed by the recorder: how every snapshot normally ends.
constexpr int RemoteHostClosed = 1;
// The longest snapshot accepted: the length field of the frame may announce at most this many
// bytes. A recorder's JPEG takes tens to hundreds of kilobytes, a few megabytes at the largest
// sizes and qualities; a frame announcing more is no snapshot, and gathering it would cost the
// application that much memory and more. A longer frame is given up as soon as its length field
// is in: the bytes received are freed, "Snapshot too large" is reported, the connection is closed
// and its end brings the "error" placeholder, as for a failed snapshot; the commands queued behind
// it are served as usual.
constexpr qint64 MaxSnapshot = qint64(64) << 20;

const QString Description = QStringLiteral("description");
}

QVector<QImage> zvr3jpeg_priv::mDefaultImages;
qint64 zvr3jpeg_priv::mReplyLimitOverride = 0;

zvr3jpeg_priv::zvr3jpeg_priv()
    : zvr3service_priv(JpegService, {1, 2})
{
    if (mDefaultImages.isEmpty())
        createDefaultImages();
}

void zvr3jpeg_priv::received(const QByteArray &a)
{
    // Only the first frame is ever looked at. Once its length field is in, a frame longer than a
    // snapshot can be is given up at once, and bytes past the frame are not kept.
    if (buffer.size() >= 4) {
        const qint64 missing = qint64(4 + frameLength()) - buffer.size();
        if (missing > 0)
            buffer.append(a.constData(), qMin<qint64>(missing, a.size()));
        return;
    }
    buffer.append(a);
    if (buffer.size() < 4)
        return;
    const quint64 n = frameLength();
    if (n > quint64(mReplyLimitOverride ? mReplyLimitOverride : MaxSnapshot)) {
        qCDebug(lcZvr3Jpeg, "frame of %llu bytes announced: too large", static_cast<unsigned long long>(n));
        tooLarge();
        return;
    }
    if (quint64(buffer.size()) > 4 + n)
        buffer.truncate(qsizetype(4 + n));
}

quint64 zvr3jpeg_priv::frameLength() const
{
    const uchar *p = reinterpret_cast<const uchar *>(buffer.constData());
    return quint64(p[0]) | quint64(p[1]) << 8 | quint64(p[2]) << 16 | quint64(p[3]) << 24;
}

void zvr3jpeg_priv::tooLarge()
{
    buffer = QByteArray();
    emit sigData(zvr3value(zvr3error(-1, tr("Snapshot too large"), zvr3error::TooLarge)));
    connection->close();
}

void zvr3jpeg_priv::setReplyLimitOverride(qint64 bytes)
{
    mReplyLimitOverride = bytes;
}

void zvr3jpeg_priv::failed(const QVariant &e)
{
    if (!zvr3holds<zvr3error>(e) || e.value<zvr3error>().code == RemoteHostClosed)
        return;
    queue.clear();
    reset();
    busy = false;
    emit sigData(e);
}

void zvr3jpeg_priv::stateChanged(int state)
{
    if (state == zvr3net_priv::LoggedIn) {
        buffer.clear();
        // The connection keeps no timer after the login: this bounds the whole reply.
        connection->setWatchdog(zvr3net_priv::Timeout);
        const QString request = QStringLiteral("GET_JPEG_STREAM %1 %2 %3 %4 -1\r\n")
                                    .arg(urlValue(QStringLiteral("stream"), QStringLiteral("0")))
                                    .arg(urlValue(QStringLiteral("width"), QStringLiteral("320")))
                                    .arg(urlValue(QStringLiteral("height"), QStringLiteral("240")))
                                    .arg(urlValue(QStringLiteral("quality"), QStringLiteral("90")));
        qCDebug(lcZvr3Jpeg, "request %s", qUtf8Printable(request.trimmed()));
        connection->slotData(request.toUtf8());
    } else if (state == zvr3net_priv::Closed) {
        busy = false;
        makeImage();
        nextCommand();
    }
}

void zvr3jpeg_priv::reset()
{
    buffer.clear();
    url.clear();
}

QString zvr3jpeg_priv::urlValue(const QString &key, const QString &defaultValue)
{
    const QUrlQuery query(url);
    return query.hasQueryItem(key) ? query.queryItemValue(key, QUrl::FullyDecoded) : defaultValue;
}

void zvr3jpeg_priv::makeImage()
{
    QImage image = mDefaultImages.at(0);
    QString text = QStringLiteral("error");
    const qsizetype received = buffer.size();
    m_wholeReply = false;

    if (buffer.size() >= 4) {
        const quint64 n = frameLength();
        if (quint64(buffer.size()) >= n + 4) {
            m_wholeReply = true;
            const QByteArray payload = buffer.mid(4, qsizetype(n));
            buffer.remove(0, qsizetype(n + 4));
            if (payload.size() >= 3 && payload.at(0) == '-' && payload.at(2) == ':') {
                if (payload.at(1) == '5') {
                    image = mDefaultImages.at(1);
                    text = QStringLiteral("no signal");
                } else if (payload.at(1) == '6') {
                    image = mDefaultImages.at(2);
                    text = QStringLiteral("disabled");
                }
            } else {
                const QImage decoded = QImage::fromData(payload, "JPEG");
                if (!decoded.isNull()) {
                    image = decoded;
                    text = QStringLiteral("ok");
                }
            }
        }
    }
    qCDebug(lcZvr3Jpeg, "snapshot of %lld bytes received: %s", qlonglong(received), qUtf8Printable(text));
    image.setText(Description, text);
    emit sigData(QVariant(image));
}

bool zvr3jpeg_priv::serve(const zvr3command &command)
{
    if (!command.data.canConvert<QUrl>()) {
        // No snapshot to fetch: the bare "error" placeholder; the rest waits for the next command.
        emit sigData(QVariant(mDefaultImages.at(0)));
        return false;
    }
    busy = true;
    reset();
    url = command.data.toUrl();
    open(url);
    return false;
}
