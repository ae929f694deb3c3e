#include "zvr3node_p.h"

#include "zvr3command.h"
#include "zvr3logging_p.h"
#include "zvr3value.h"

namespace zvr3node {

void dropWorker(QObject *node, QObject *worker)
{
    worker->disconnect(node);
    worker->deleteLater();
}

void forwardCommand(zvr3base *worker, const QVariant &data)
{
    if (zvr3holds<zvr3command>(data))
        worker->slotData(data);
}

void send(zvr3base *node, int code, const QVariant &data)
{
    node->slotData(zvr3value(zvr3command(code, data)));
}

QByteArray channelBytes(const QList<int> &channels)
{
    QByteArray bytes;
    bytes.reserve(channels.size());
    for (const int channel : channels) {
        if (channel >= 0 && channel <= 255)
            bytes.append(char(channel));
        else
            qCWarning(lcZvr3Net, "channel %d left out: channel numbers run from 0 to 255", channel);
    }
    return bytes;
}

} // namespace zvr3node
