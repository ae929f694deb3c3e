#include "zvr3online.h"

#include "zvr3command.h"
#include "zvr3metatype_p.h"
#include "zvr3net_priv.h"

namespace {
constexpr int LiveService = 1;
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
    connection->disconnect(this);
    connection->deleteLater();
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
    case 2:
        connection->open(arg.toUrl(), LiveService);
        // The recorder starts with the first four channels.
        connection->slotData(QByteArrayLiteral("STRIP_00\r\nSTRIP_01\r\nSTRIP_02\r\nSTRIP_03\r\n"));
        break;
    case 3:
        connection->close();
        break;
    case 6:
        connection->slotData(cmdForChnList(QStringLiteral("UNSTRIP_%1\r\n"), arg.toByteArray()));
        break;
    case 7:
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
