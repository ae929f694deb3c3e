#include "zvr3online.h"

#include "zvr3command.h"
#include "zvr3metatype_p.h"
#include "zvr3net_priv.h"
#include "zvr3node_p.h"

namespace {
constexpr int LiveService = 1;
enum Command { Unstrip = 6, Strip = 7 };
}

zvr3online::zvr3online()
    : connection(new zvr3net_priv)
{
    connect(connection, &zvr3net_priv::sigData, this, qOverload<const QByteArray &>(&zvr3online::slotData));
    connect(connection, &zvr3net_priv::sigError, this, &zvr3base::sigData);
}

zvr3online::~zvr3online()
{
    // The connection closes its socket when it goes; nothing of that may reach us any more.
    zvr3node::dropWorker(this, connection);
}

void zvr3online::slotData(const QVariant &data)
{
    if (zvr3holds<zvr3command>(data)) {
        const zvr3command command = data.value<zvr3command>();
        onCommand(command.code, command.data);
    } else if (data.typeId() == QMetaType::QByteArray) {
        emit sigData(data);
    }
}

void zvr3online::slotData(const QByteArray &a)
{
    emit sigData(QVariant(a));
}

void zvr3online::onCommand(int code, const QVariant &arg)
{
    switch (code) {
    case zvr3node::Open:
        connection->open(arg.toUrl(), LiveService);
        // The recorder starts with the first four channels.
        connection->slotData(QByteArrayLiteral("STRIP_00\r\nSTRIP_01\r\nSTRIP_02\r\nSTRIP_03\r\n"));
        break;
    case zvr3node::Close:
        connection->close();
        break;
    case Unstrip:
        connection->slotData(cmdForChnList(QStringLiteral("UNSTRIP_%1\r\n"), arg.toByteArray()));
        break;
    case Strip:
        connection->slotData(cmdForChnList(QStringLiteral("STRIP_%1\r\n"), arg.toByteArray()));
        break;
    default:
        break;
    }
}

QByteArray zvr3online::cmdForChnList(const QString &format, const QByteArray &list)
{
    QByteArray out;
    for (const char channel : list)
        out += format.arg(uint(quint8(channel)), 2, 16, QLatin1Char('0')).toUpper().toLatin1();
    return out;
}

void zvr3online::open(const QUrl &url) { zvr3node::send(this, zvr3node::Open, url); }
void zvr3online::close() { zvr3node::send(this, zvr3node::Close); }
void zvr3online::showChannels(const QList<int> &channels) { zvr3node::send(this, Strip, zvr3node::channelBytes(channels)); }
void zvr3online::hideChannels(const QList<int> &channels) { zvr3node::send(this, Unstrip, zvr3node::channelBytes(channels)); }
