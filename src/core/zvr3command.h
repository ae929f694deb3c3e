#ifndef ZVR3COMMAND_H
#define ZVR3COMMAND_H

#include <QMetaType>
#include <QVariant>

/*!
    \class zvr3command
    \brief A command to a source node, sent to its slotData() like any other value.

    Across nodes, code 1 is a marker whose \c data is emitted downstream when its turn comes, code 2
    opens, connects or fetches the URL in \c data, and code 3 closes. Each node documents the codes
    it acts on; every other code is ignored.
*/
struct zvr3command
{
    zvr3command() = default;
    zvr3command(int code, const QVariant &data = QVariant())
        : code(code), data(data)
    {
    }

    int code = 0;
    QVariant data;
};
Q_DECLARE_METATYPE(zvr3command)

#endif // ZVR3COMMAND_H
