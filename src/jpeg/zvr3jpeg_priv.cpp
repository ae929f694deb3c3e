#include "zvr3jpeg_priv.h"

#include <QUrlQuery>

#include "zvr3error.h"
#include "zvr3logging_p.h"
#include "zvr3metatype_p.h"
#include "zvr3net_priv.h"

namespace {
constexpr int JpegService = 6;
constexpr int ReplyTimeout = 30000;
constexpr int LoggedIn = 2;
constexpr int Closed = 3;
// The socket's error for a connection closed by the recorder: how every snapshot normally ends.
constexpr int RemoteHostClosed = 1;

const QString Description = QStringLiteral("description");
}

QVector<QImage> zvr3jpeg_priv::mDefaultImages;

zvr3jpeg_priv::zvr3jpeg_priv()
    : connection(new zvr3net_priv)
{
    if (mDefaultImages.isEmpty())
        createDefaultImages();
    connect(connection, &zvr3net_priv::sigError, this, &zvr3jpeg_priv::slotError);
    connect(connection, &zvr3net_priv::sigData, this, qOverload<const QByteArray &>(&zvr3jpeg_priv::slotData));
    connect(connection, &zvr3net_priv::sigState, this, &zvr3jpeg_priv::slotState);
}

zvr3jpeg_priv::~zvr3jpeg_priv()
{
    // The connection's closing signals must not reach a worker that is going away.
    connection->disconnect(this);
    delete connection;
}

void zvr3jpeg_priv::slotData(const QVariant &data)
{
    if (!zvr3holds<zvr3command>(data))
        return;
    const zvr3command cmd = data.value<zvr3command>();
    if (cmd.code != 1 && cmd.code != 2)
        return;
    queue.append(cmd);
    if (!busy)
        nextCommand();
}

void zvr3jpeg_priv::slotData(const QByteArray &a)
{
    buffer.append(a);
}

void zvr3jpeg_priv::slotError(const QVariant &e)
{
    if (!zvr3holds<zvr3error>(e) || e.value<zvr3error>().code == RemoteHostClosed)
        return;
    queue.clear();
    reset();
    busy = false;
    emit sigData(e);
}

void zvr3jpeg_priv::slotState(int state)
{
    if (state == LoggedIn) {
        buffer.clear();
        // The connection keeps no timer after the login: this bounds the whole reply.
        connection->setWatchdog(ReplyTimeout);
        const QString request = QStringLiteral("GET_JPEG_STREAM %1 %2 %3 %4 -1\r\n")
                                    .arg(urlValue(QStringLiteral("stream"), QStringLiteral("0")))
                                    .arg(urlValue(QStringLiteral("width"), QStringLiteral("320")))
                                    .arg(urlValue(QStringLiteral("height"), QStringLiteral("240")))
                                    .arg(urlValue(QStringLiteral("quality"), QStringLiteral("90")));
        qCDebug(lcZvr3Jpeg, "request %s", qUtf8Printable(request.trimmed()));
        connection->slotData(request.toUtf8());
    } else if (state == Closed) {
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

    if (buffer.size() >= 4) {
        const uchar *p = reinterpret_cast<const uchar *>(buffer.constData());
        const quint64 n = quint64(p[0]) | quint64(p[1]) << 8 | quint64(p[2]) << 16 | quint64(p[3]) << 24;
        if (quint64(buffer.size()) >= n + 4) {
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

void zvr3jpeg_priv::nextCommand()
{
    while (!queue.isEmpty()) {
        const zvr3command cmd = queue.takeFirst();
        if (cmd.code == 1) {
            emit sigData(cmd.data);
            continue;
        }
        if (!cmd.data.canConvert<QUrl>()) {
            // No snapshot to fetch: the bare "error" placeholder; the rest waits for the next command.
            emit sigData(QVariant(mDefaultImages.at(0)));
            return;
        }
        busy = true;
        reset();
        url = cmd.data.toUrl();
        connection->open(url, JpegService);
        return;
    }
}
