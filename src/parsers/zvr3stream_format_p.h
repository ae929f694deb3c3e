// Internal header of zvr3lib, not installed.
#ifndef ZVR3STREAM_FORMAT_P_H
#define ZVR3STREAM_FORMAT_P_H

#include <QtGlobal>

#include "zvr3records.h"

/*
    The byte formats the recorders use: the archive stream, index files, event files and the event
    list reply. Everything that reads or writes them takes its magic words, sizes and codes from
    here. Integers are little-endian; a magic word is given as the u32 read at a record's first byte.

    Only Qt is needed to include this header, so code that does not link the library (the fake
    recorder of the tests) uses it too.
*/
namespace zvr3format {

// The archive stream. A stream header, a chunk header and an index record begin with a magic
// word; a data record has none: whatever does not begin with one of the three is read as data.
constexpr quint32 StreamHeaderMagic = 0xB505B5B5;
constexpr quint32 ChunkHeaderMagic = 0xE5E5E505;
constexpr quint32 IndexMagic = 0xB5B5B505;
// The stream header's magic as its bytes in stream order, to search for it in arbitrary bytes.
constexpr char StreamHeaderMagicBytes[4] = {char(0xB5), char(0xB5), char(0x05), char(0xB5)};

// Sizes in bytes.
enum Size : int {
    MagicSize = 4,
    // A stream header's fixed part: the magic, the end of the stream table (u16, counted from the
    // magic's first byte) and the length of the parameter table (u16).
    StreamHeaderFixedSize = 8,
    ChunkHeaderSize = 20,  // the magic and four u32
    // An index record's fixed part: the magic, the time (u32), a value (u32) and the count of the
    // bytes that follow (u8).
    IndexFixedSize = 13,
    // A data record's header: size (u16), flags, stream number; a video frame start adds the
    // milliseconds after the index time (u16), the extra byte and a zero byte.
    DataHeaderSize = 4,
    FrameStartHeaderSize = 8,
    // An index file is a plain sequence of entries: type, count, a byte not used, bits 32 to 39
    // of the position, the time in seconds (u32), bits 0 to 31 of the position (u32), and six
    // pairs of bytes.
    IndexFileEntrySize = 24,
    // An event record (of an event file, and inside the event list reply): the time in seconds
    // (u32), a number (u32), a count (u8), then that many entries of an id byte and a text ended
    // by a zero byte.
    EventFixedSize = 9,
};
constexpr int IndexFilePairs = 6;

// The widths of the length fields: a data record's size is 16 bits, an index record's byte count
// 8 bits, and the two lengths of a stream header 16 bits each.
constexpr qsizetype MaxPayload = 0xFFFF, MaxIndexBytes = 0xFF, MaxHeaderLength = 0xFFFF;

// A data record's flags byte: the level in bits 0 to 4, the mark in bit 5, the part in bits 6 and 7.
constexpr quint32 LevelMask = 0x1F, MarkedBit = 0x20;
constexpr int PartShift = 6;

// Which piece of a frame a data record carries. A frame in parts is one First, any number of
// Middle and one Last; bit 1 set (First or Whole) starts a frame.
enum Part { Middle = 0, Last = 1, First = 2, Whole = 3 };

// The stream types of a header's stream table; the decoders know these three.
enum StreamType { Video = 1, Audio = 2, Text = 4 };

// The kinds of record a parser reports the place of (zvr3parser_position::type); SkippedBytes are
// bytes before a stream header.
enum RecordType { StreamHeader = 1, ChunkHeader = 2, IndexRecord = 3, DataRecord = 4,
                  IndexFileEntry = 5, EventFileRecord = 6, SkippedBytes = 7 };

// The event list reply: this magic, a group count (u32), the groups (an ignored u32, a length
// (u32) and that many bytes of event records), and this trailer.
constexpr quint32 EventListMagic = 0xE5E5E506;
constexpr quint32 EventListTrailer = 0xE5E5E507;

// The type of the stream numbered `number` in a header's stream table; 0 when it has none.
inline int streamType(const HDR_T &header, int number)
{
    for (const STREAM_T &stream : header.streams) {
        if (stream.number == number)
            return stream.type;
    }
    return 0;
}

// Whether a data record is a video frame start under this header: the record with the longer
// header, which carries the frame's own time.
inline bool isFrameStart(const HDR_T &header, const DATA_T &record)
{
    return (record.part & First) && streamType(header, int(record.stream)) == Video;
}

} // namespace zvr3format

#endif // ZVR3STREAM_FORMAT_P_H
