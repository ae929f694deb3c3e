#include "zvr3service_priv.h"

#include "zvr3metatype_p.h"
#include "zvr3net_priv.h"

zvr3service_priv::zvr3service_priv(int s, const QList<int> &c)
    : connection(new zvr3net_priv), service(s), codes(c)
{
    connect(connection, &zvr3net_priv::sigError, this, &zvr3service_priv::slotError);
    connect(connection, &zvr3net_priv::sigData, this, qOverload<const QByteArray &>(&zvr3service_priv::slotData));
    connect(connection, &zvr3net_priv::sigState, this, &zvr3service_priv::slotState);
}

zvr3service_priv::~zvr3service_priv()
{
    queue.clear();
    // The connection's closing must not call back into a worker being destroyed.
    connection->disconnect(this);
    delete connection;
}

void zvr3service_priv::slotData(const QVariant &data)
{
    if (!zvr3holds<zvr3command>(data))
        return;
    const zvr3command command = data.value<zvr3command>();
    if (!codes.contains(command.code))
        return;
    queue.append(command);
    nextCommand();
}

void zvr3service_priv::slotData(const QByteArray &a)
{
    received(a);
}

void zvr3service_priv::slotState(int state)
{
    stateChanged(state);
}

void zvr3service_priv::slotError(const QVariant &e)
{
    failed(e);
}

void zvr3service_priv::failed(const QVariant &e)
{
    emit sigData(e);
}

bool zvr3service_priv::servable(const zvr3command &) const
{
    return !busy;
}

bool zvr3service_priv::takeAhead(zvr3command &)
{
    return false;
}

void zvr3service_priv::nextCommand()
{
    while (!queue.isEmpty()) {
        // Off the queue before it is served: serving may come back here.
        zvr3command command;
        if (servable(queue.constFirst()))
            command = queue.takeFirst();
        else if (!takeAhead(command))
            return;
        if (command.code == 1)
            emit sigData(command.data);
        else if (!serve(command))
            return;
    }
}

void zvr3service_priv::open(const QUrl &url)
{
    connection->open(url, service);
}

void zvr3service_priv::dropMarkers()
{
    while (!queue.isEmpty() && queue.constFirst().code == 1)
        queue.removeFirst();
}

void zvr3service_priv::flush(qsizetype count)
{
    // Off the queue before any comes out: a receiver of a marker may queue more.
    const QList<zvr3command> ahead = queue.mid(0, count);
    queue.remove(0, count);
    for (const zvr3command &command : ahead) {
        if (command.code == 1)
            emit sigData(command.data);
    }
}
