#ifndef ZVR3EVENTS_PRIV_H
#define ZVR3EVENTS_PRIV_H

#include <QString>

#include "zvr3service_priv.h"

struct zvr3events_priv_reply;

/*!
    \class zvr3events_priv
    \brief The worker of zvr3events: one connection per request, a queue of requests, and the
    reader of the event list reply.

    It accepts and emits exactly what zvr3events documents; zvr3events forwards its commands here
    and relays everything emitted here. The reply is read as it arrives, each piece costing time
    in proportion to its own size, and decoded once its trailer is in.
*/
class ZVR3LIB_EXPORT zvr3events_priv : public zvr3service_priv
{
    Q_OBJECT
public:
    zvr3events_priv();
    ~zvr3events_priv() override;

protected:
    /*! The period argument for the query item \a name: its value (or "19700101000000") with
        each run of 14 characters yyyyMMddhhmmss rearranged into dd/MM/yyyy,hh:mm:ss. */
    QString dateArg(const QString &name);
    void reset();

    void received(const QByteArray &a) override;
    void stateChanged(int state) override;
    void failed(const QVariant &e) override;
    // A marker waits for the list of the request ahead of it; a request waits while the one ahead
    // has its request out, and replaces one that is still logging in.
    bool servable(const zvr3command &command) const override;
    bool serve(const zvr3command &command) override;

private:
    friend class tst_zvr3events;

    zvr3events_priv_reply *const reply;
    bool requested = false;

    Q_DISABLE_COPY(zvr3events_priv)
};

#endif // ZVR3EVENTS_PRIV_H
