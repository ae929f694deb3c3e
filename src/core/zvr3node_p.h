// Internal header of zvr3lib, not installed.
#ifndef ZVR3NODE_P_H
#define ZVR3NODE_P_H

#include <QByteArray>
#include <QList>
#include <QVariant>

#include "zvr3base.h"

// What the public nodes share. A node that keeps its state in a worker makes the worker without a
// parent, relays everything the worker emits as its own sigData(), hands its input to the worker
// by a direct call, and lets the event loop delete the worker when the node goes (the node may be
// destroyed from inside one of the worker's signals). Typed calls such as zvr3jpeg::fetch() are
// the commands an application could send itself, sent to the node's own slotData().
namespace zvr3node {

// The codes every source reads alike: a marker whose data comes out when its turn comes, the URL
// to open, connect to or fetch, and the end of a connection or file. Each node names its others.
enum Command { Mark = 1, Open = 2, Close = 3 };

// A new worker of type W whose output leaves through node.
template <typename W>
W *makeWorker(zvr3base *node, Qt::ConnectionType type = Qt::AutoConnection)
{
    W *worker = new W;
    QObject::connect(worker, &zvr3base::sigData, node, &zvr3base::sigData, type);
    return worker;
}

// Cuts the worker off from the node, so that nothing it emits while it goes reaches a node that
// is being destroyed, and hands it to the event loop for deletion.
void dropWorker(QObject *node, QObject *worker);

// Hands data to the worker when it holds a zvr3command; anything else is ignored.
void forwardCommand(zvr3base *worker, const QVariant &data);

// The command (code, data) sent to the node's own slotData(), as an application sends it.
void send(zvr3base *node, int code, const QVariant &data = QVariant());

// A channel list as the commands carry it: one byte per channel, in order. Channels outside 0 to
// 255 cannot be named by a request; they are left out, with a warning.
QByteArray channelBytes(const QList<int> &channels);

} // namespace zvr3node

#endif // ZVR3NODE_P_H
