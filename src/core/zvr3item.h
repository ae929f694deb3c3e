#ifndef ZVR3ITEM_H
#define ZVR3ITEM_H

#include <QByteArray>
#include <QMetaType>
#include <QVariant>

#include "zvr3records.h"

/*!
    \class zvr3item
    \brief One decoded unit of a stream: a picture, a sound buffer, a text or a position.

    \c value holds the decoded result (a QImage, a zvr3sound_buffer, a QString or a
    zvr3position_info) and stays invalid for a stream that no decoder takes; \c data keeps the
    payload it was decoded from. \c value2 is a second result slot that the library leaves invalid.
*/
struct zvr3item
{
    STREAM_T stream;      //!< the stream the item belongs to
    qint64 time = 0;      //!< milliseconds on the recorder's clock (its local wall-clock time)
    qint64 duration = 0;  //!< milliseconds; the decoder sets 40
    int extra = 0;        //!< the frame's extra byte
    int level = 0;        //!< the frame's level as a percentage (0 to 100)
    QByteArray data;      //!< the payload
    QVariant value;       //!< the decoded result
    QVariant value2;      //!< a second result slot
};
Q_DECLARE_METATYPE(zvr3item)

#endif // ZVR3ITEM_H
