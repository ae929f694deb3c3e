#ifndef ZVR3SETUP_H
#define ZVR3SETUP_H

#include "zvr3base.h"

class zvr3setup_priv;

/*!
    \class zvr3setup
    \brief Sends set-up requests to a recorder and hands back its answers.

    The node is a transport: the application builds each request as bytes, the node sends it on
    the recorder's set-up service and returns the data of the one answer block the recorder sends
    back. Commands (zvr3command) accepted on slotData(), served strictly one at a time, in order:

    \list
    \li 1: marker; its \c data is emitted unchanged when its turn comes;
    \li 2: connect and log in to the recorder URL in \c data (replacing any connection);
    \li 3: disconnect;
    \li 8: send the bytes in \c data and wait for the answer. Dropped when not connected.
    \endlist

    Emitted on sigData(), always from the event loop after the call that caused it has returned:
    each answer's data as a QByteArray (possibly empty), marker arguments, and failures as zvr3error:
    "Device returns error" (-1) for an answer whose trailer line is "TRAL_ANSWER=ERROR...",
    "Device data protocol error" (-1) for a malformed answer, and the connection's own errors ("Access
    denied", "Network operation timeout" after 30 s without an answer, socket errors), after which
    the queued commands are dropped. An answer block larger than 64 MiB, length line included, is
    not gathered: "Set-up answer too large" (-1) is emitted as soon as its length line says so (or
    as soon as that many bytes have come without a block), the connection is closed and the queued
    commands are dropped, as for a failed connection.

    An answer block is "LENGTH=n\r\n" followed by n bytes: the data and the trailer line
    "TRAL_ANSWER=OK\r\n".
*/
class ZVR3LIB_EXPORT zvr3setup : public zvr3base
{
    Q_OBJECT
public:
    zvr3setup();
    ~zvr3setup() override;

public Q_SLOTS:
    void slotData(const QVariant &data) override;

private:
    zvr3setup_priv *const d;
    Q_DISABLE_COPY(zvr3setup)
};

#endif // ZVR3SETUP_H
