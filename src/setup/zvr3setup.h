#ifndef ZVR3SETUP_H
#define ZVR3SETUP_H

#include <QByteArray>
#include <QUrl>

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
    "Device returns error" (-1, reason DeviceError) for an answer whose trailer line is
    "TRAL_ANSWER=ERROR...", "Device data protocol error" (-1, ProtocolError) for a malformed
    answer, and the connection's own errors ("Access denied", "Network operation timeout" after
    30 s without an answer, socket errors; see zvr3online), after which the queued commands are
    dropped. An answer block larger than 64 MiB, length line included, is not gathered: "Set-up
    answer too large" (-1, TooLarge) is emitted as soon as its length line says so (or as soon as
    that many bytes have come without a block), the connection is closed and the queued commands
    are dropped, as for a failed connection. The requests after a DeviceError or a ProtocolError
    are still served; after any other error they are gone.

    An answer block is "LENGTH=n\r\n" followed by n bytes: the data and the trailer line
    "TRAL_ANSWER=OK\r\n".

    The typed slots send these commands to slotData(), exactly as an application would:
    mark(value) is code 1, open(url) code 2, close() code 3 and request(bytes) code 8, each with
    its argument as \c data.
*/
class ZVR3LIB_EXPORT zvr3setup : public zvr3base
{
    Q_OBJECT
public:
    zvr3setup();
    ~zvr3setup() override;

public Q_SLOTS:
    /*! Connects and logs in to the recorder at \a url, replacing any connection (code 2). */
    void open(const QUrl &url);
    /*! Sends \a bytes, unchanged, as one request and waits for its answer (code 8). */
    void request(const QByteArray &bytes);
    /*! Emits \a value on sigData() when its turn comes (code 1). */
    void mark(const QVariant &value);
    /*! Disconnects once the requests before it are answered (code 3). */
    void close();
    void slotData(const QVariant &data) override;

private:
    friend struct zvr3supervisor_private;  // follows the worker's connection
    zvr3setup_priv *const d;
    Q_DISABLE_COPY(zvr3setup)
};

#endif // ZVR3SETUP_H
