#ifndef ZVR3EVENTS_PRIV_H
#define ZVR3EVENTS_PRIV_H

#include <QList>
#include <QString>

#include "zvr3base.h"
#include "zvr3command.h"

class zvr3net_priv;
struct zvr3events_priv_reply;

/*!
    \class zvr3events_priv
    \brief The worker of zvr3events: one connection per request, a queue of requests, and the
    reader of the event list reply.

    It accepts and emits exactly what zvr3events documents; zvr3events forwards its commands here
    and relays everything emitted here. The reply is read as it arrives, each piece costing time
    in proportion to its own size, and decoded once its trailer is in.
*/
class ZVR3LIB_EXPORT zvr3events_priv : public zvr3base
{
    Q_OBJECT
public:
    zvr3events_priv();
    ~zvr3events_priv() override;

public Q_SLOTS:
    void slotData(const QVariant &data) override;

protected Q_SLOTS:
    void slotError(const QVariant &e);
    void slotData(const QByteArray &a);
    void slotState(int state);

protected:
    /*! The period argument for the query item \a name: its value (or "19700101000000") with
        each run of 14 characters yyyyMMddhhmmss rearranged into dd/MM/yyyy,hh:mm:ss. */
    QString dateArg(const QString &name);
    void reset();
    void nextCommand();

private:
    friend class tst_zvr3events;

    zvr3net_priv *const connection;
    QList<zvr3command> queue;
    zvr3events_priv_reply *const reply;
    bool requested = false;

    Q_DISABLE_COPY(zvr3events_priv)
};

#endif // ZVR3EVENTS_PRIV_H
