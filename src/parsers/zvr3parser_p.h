// Internal header of zvr3lib, not installed.
#ifndef ZVR3PARSER_P_H
#define ZVR3PARSER_P_H

#include <QMap>

#include "zvr3parser.h"
#include "zvr3records.h"

/*
    What the stream parser keeps of the stream beside the buffered bytes: the frames being put
    together, and the data record whose long payload the buffer is collecting. reset() drops both,
    with the bytes; the count of dropped frames stays.
*/
struct zvr3parser_private
{
    QMap<int, DATA_T> partial;  // frames being put together, by stream number

    // The data record whose payload the buffer collects straight from the chunks, without its
    // data; where it starts in the stream and its length, header included.
    DATA_T collecting;
    qint64 collectingStart = 0;
    int collectingLength = 0;

    qint64 dropped = 0;  // frames dropped for being too large

    // The array of a frame put together from parts that no receiver kept, written again for the
    // next such frame rather than allocating one; at most MaxSpareFrame bytes.
    QByteArray spareFrame;

    // The payload array of the last data record that no receiver kept, written again for the next
    // one; at most a record's largest payload.
    QByteArray sparePayload;
    static constexpr qsizetype MaxSparePayload = 0x10000;

    // The values the records and the whole frames go out in, reused while no receiver keeps them.
    QVariant dataValue = zvr3value(DATA_T());
    QVariant frameValue = zvr3value(zvr3parser_combined_DATA_T());
    static constexpr qsizetype MaxSpareFrame = qsizetype(4) << 20;

    // The most payload bytes a frame put together from parts may hold. A record holds at most 64 KiB,
    // so only a frame of many parts can grow large, and no recorder's frame comes near this: an
    // intra frame of a high-resolution channel takes a few megabytes. A frame that would grow past
    // it is dropped with the parts it has gathered, and the parser reports it; the parts that
    // follow, up to the next first part, are passed on as records but no longer gathered.
    static constexpr qint64 MaxFrame = qint64(64) << 20;
    static qint64 frameLimit() { return frameLimitOverride ? frameLimitOverride : MaxFrame; }
    // For tests: the most bytes a frame may hold instead of MaxFrame; 0 restores it.
    static void setFrameLimitOverride(qint64 bytes) { frameLimitOverride = bytes; }

    static zvr3parser_private *get(zvr3parser &parser) { return parser.d; }

private:
    static qint64 frameLimitOverride;
};

#endif // ZVR3PARSER_P_H
