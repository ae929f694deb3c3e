#ifndef ZVR3SERVICE_PRIV_H
#define ZVR3SERVICE_PRIV_H

#include <QList>

#include "zvr3base.h"
#include "zvr3command.h"

class QUrl;
class zvr3net_priv;

/*!
    \class zvr3service_priv
    \brief What the workers of the request-driven services share: the connection to the service,
    the queue of commands and the markers.

    A worker takes the commands whose codes it admits and serves them from a first-in, first-out
    queue, one at a time: the command at the head is taken off when the worker can serve it now,
    before it is served, as serving may come back to the queue. A marker (code 1) emits its \c data
    when its turn comes; every other command goes to the worker, which says whether serving goes
    on. The queue is served again where the worker calls nextCommand(): on a state change of the
    connection, or when an answer is complete.

    The connection's signals arrive as calls of received(), stateChanged() and failed(): a worker
    keeps only its service's requests and answers.
*/
class ZVR3LIB_EXPORT zvr3service_priv : public zvr3base
{
    Q_OBJECT
public:
    ~zvr3service_priv() override;

public Q_SLOTS:
    /*! Queues a zvr3command whose code the worker admits and serves the queue; ignores anything else. */
    void slotData(const QVariant &data) override;

public:
    /*! The connection to the service, for a supervisor that watches it. */
    zvr3net_priv *net() const { return connection; }
    /*! Takes every waiting command off the queue; the markers among them come out. */
    void flushQueue() { flush(queue.size()); }

protected Q_SLOTS:
    void slotData(const QByteArray &a);
    void slotState(int state);
    void slotError(const QVariant &e);

protected:
    /*! A worker that admits the command \a codes and logs in to \a service. */
    zvr3service_priv(int service, const QList<int> &codes);

    /*! Bytes of the service, as the connection received them. */
    virtual void received(const QByteArray &a) = 0;
    /*! The connection's new state, a zvr3net_priv::State. */
    virtual void stateChanged(int state) = 0;
    /*! A failure of the connection; by default it goes downstream as it is. */
    virtual void failed(const QVariant &e);

    /*! Whether \a command, at the head of the queue, can be served now: by default while not busy. */
    virtual bool servable(const zvr3command &command) const;
    /*! Carries out \a command, taken off the queue, a marker's excepted; false: serving stops. */
    virtual bool serve(const zvr3command &command) = 0;
    /*! When the head has to wait: may take a command further back that need not wait with it. */
    virtual bool takeAhead(zvr3command &command);

    void nextCommand();
    /*! Opens the connection to this worker's service at \a url. */
    void open(const QUrl &url);
    /*! Drops the markers that stand at the head of the queue. */
    void dropMarkers();
    /*! Takes the first \a count commands off the queue; the markers among them come out. */
    void flush(qsizetype count);

    zvr3net_priv *const connection;
    QList<zvr3command> queue;
    bool busy = false;  // a command is being served: the queue waits for its end

private:
    const int service;
    const QList<int> codes;

    Q_DISABLE_COPY(zvr3service_priv)
};

#endif // ZVR3SERVICE_PRIV_H
