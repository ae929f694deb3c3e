// Internal header of zvr3lib, not installed.
#ifndef ZVR3STREAM_ENCODE_P_H
#define ZVR3STREAM_ENCODE_P_H

#include <QByteArray>

#include "zvr3records.h"

/*
    The archive stream's records as bytes, as the saver writes them into archive files and the
    tools' stream writer makes them for tests and the recorder simulator. Each encode function
    returns one whole record. Length fields keep the low bits of what they count, as wide as the field is; the
    saver refuses records that do not fit before it encodes them.

    The code is built as a library of its own beside the library's objects, so that the tools'
    writer links it also where it runs beside the shared library, which does not export it.
*/
namespace zvr3format {

// The format's integers, little-endian, each kept to its width.
inline void putU8(QByteArray &out, quint32 v)
{
    out.append(char(v & 0xFF));
}

inline void putU16(QByteArray &out, quint32 v)
{
    putU8(out, v);
    putU8(out, v >> 8);
}

inline void putU32(QByteArray &out, quint32 v)
{
    putU16(out, v & 0xFFFF);
    putU16(out, v >> 16);
}

// A text: its UTF-8 bytes and a zero byte. The zero ends it on the wire, so a text that holds
// U+0000 is cut there.
void putText(QByteArray &out, const QString &text);

// A stream header. Texts end at their first zero byte (the wire has no other end for them), and
// the two lengths are computed from the tables, not taken from the value. With fits, tells whether
// both lengths fit their 16 bits; the bytes are made either way.
QByteArray encodeHeader(const HDR_T &header, bool *fits = nullptr);

// An index record: the time in seconds (32 bits), the value, the count of the bytes (8 bits) and at
// most 255 of them.
QByteArray encodeIndex(quint64 seconds, quint32 value, const QByteArray &bytes);

// Whether a data record keeps its mark (flags bit 5) on the way into bytes.
enum Marked { DropMark, KeepMark };

// A data record; a video frame start (frameStart) gets the longer header with the milliseconds of
// record.time after indexSeconds × 1000, in 16 bits. The size field is the length of the payload.
QByteArray encodeData(const DATA_T &record, bool frameStart, quint64 indexSeconds, Marked marked);

} // namespace zvr3format

#endif // ZVR3STREAM_ENCODE_P_H
