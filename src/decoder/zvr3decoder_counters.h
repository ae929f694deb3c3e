#ifndef ZVR3DECODER_COUNTERS_H
#define ZVR3DECODER_COUNTERS_H

#include <QMetaType>
#include <QtGlobal>

/*!
    \class zvr3decoder_counters
    \brief What a zvr3decoder has done with the records of its stream: zvr3decoder::counters().

    Every record of the node's stream that reaches a decoder is counted once in \c queued when it
    is taken in, and later moves to \c decoded or \c dropped; a record dropped on arrival goes to
    \c dropped at once. So decoded + dropped + queued is the number of records taken in so far. The
    counts run over the node's whole life, across the decoders that its headers make.
*/
struct zvr3decoder_counters
{
    qint64 decoded = 0;  //!< records decoded, whether or not they gave an item
    qint64 dropped = 0;  //!< records discarded without being decoded
    qint64 queued = 0;   //!< records waiting to be decoded now, the one being decoded included
};
Q_DECLARE_METATYPE(zvr3decoder_counters)

#endif // ZVR3DECODER_COUNTERS_H
