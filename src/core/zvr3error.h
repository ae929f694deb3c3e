#ifndef ZVR3ERROR_H
#define ZVR3ERROR_H

#include <QMetaType>
#include <QString>

/*!
    \class zvr3error
    \brief A failure report; nodes emit it on sigData() in order with their data.

    A \c code of 0 or more is a QAbstractSocket::SocketError and \c text is the socket's own message.
    Negative codes are the library's own:
    \list
    \li -1: "Access denied", "Network operation timeout", "Device returns error",
        "Device data protocol error", "Can't open file ...", "Wrong event file format"
    \li -2: "Unexpected authorization reply received"
    \li -3: "Unexpected data received in state #N"
    \endlist
*/
struct zvr3error
{
    zvr3error() = default;
    zvr3error(int code, const QString &text)
        : code(code), text(text)
    {
    }

    int code = 0;
    QString text;
};
Q_DECLARE_METATYPE(zvr3error)

#endif // ZVR3ERROR_H
