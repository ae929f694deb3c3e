#ifndef ZVR3ERROR_H
#define ZVR3ERROR_H

#include <QMetaType>
#include <QObject>
#include <QString>

#include "zvr3lib_export.h"

/*!
    \class zvr3error
    \brief A failure report; nodes emit it on sigData() in order with their data.

    A \c code of 0 or more is a QAbstractSocket::SocketError and \c text is the socket's own message.
    Negative codes are the library's own:
    \list
    \li -1: "Access denied", "Network operation timeout", "Device returns error",
        "Device data protocol error", "Can't open file ...", "Wrong event file format", and the
        limits "Frame of stream N too large, dropped", "Set-up answer too large",
        "Snapshot too large", "Record too large for the archive file"
    \li -2: "Unexpected authorization reply received"
    \li -3: "Unexpected data received in state #N"
    \endlist

    Codes and texts are kept as they have always been, so -1 stands for many things; \c reason
    tells them apart without comparing texts (which may be translated). Every error a node emits
    carries one; a zvr3error made without one has the reason None.

    \table
    \header \li reason \li code \li text \li the connection
    \row \li SocketError \li the QAbstractSocket::SocketError \li the socket's message \li is closed
    \row \li AccessDenied \li -1 \li "Access denied" \li is closed
    \row \li Timeout \li -1 \li "Network operation timeout" \li is closed
    \row \li UnexpectedReply \li -2, -3 \li "Unexpected authorization reply received",
         "Unexpected data received in state #N" \li is closed
    \row \li ProtocolError \li -1 \li "Device data protocol error" (zvr3setup: an answer that is
         not framed as an answer block, or whose trailer line is neither OK nor ERROR) \li stays
    \row \li DeviceError \li -1 \li "Device returns error" (zvr3setup: the recorder refused the
         request) \li stays
    \row \li FormatError \li -1 \li "Wrong event file format" (zvr3events) \li stays until the
         reply ends
    \row \li FileError \li -1 \li "Can't open file ..." (zvr3saver, zvr3archive) \li -
    \row \li TooLarge \li -1 \li "... too large ..." (zvr3parser, zvr3setup, zvr3jpeg, zvr3saver),
         and "Wrong event file format" for an event list reply past 256 MiB (zvr3events):
         something bigger than the node keeps was given up \li as each node describes
    \endtable

    QDebug prints a reason by its name (the enum is declared to Qt's meta-object system), and
    QMetaEnum::fromType<zvr3error::Reason>() gives the names for other uses.
*/
struct ZVR3LIB_EXPORT zvr3error
{
    Q_GADGET
public:
    enum Reason {
        None = 0,         //!< a zvr3error made without a reason
        SocketError,      //!< the socket failed; \c code is its QAbstractSocket::SocketError
        AccessDenied,     //!< the recorder refused the login
        Timeout,          //!< a wait on the recorder ran out (30 seconds)
        UnexpectedReply,  //!< the recorder's login answer, or data out of turn, was not understood
        ProtocolError,    //!< a set-up answer whose framing or trailer line is not understood
        DeviceError,      //!< the recorder refused a set-up request
        FormatError,      //!< an event list reply that is not in the event list format
        FileError,        //!< a local file could not be opened
        TooLarge,         //!< more than the node keeps: a frame, an answer, a snapshot, a record
    };
    Q_ENUM(Reason)

    zvr3error() = default;
    zvr3error(int code, const QString &text, Reason reason = None)
        : code(code), text(text), reason(reason)
    {
    }

    int code = 0;
    QString text;
    Reason reason = None;
};
Q_DECLARE_METATYPE(zvr3error)

#endif // ZVR3ERROR_H
