// Internal header of zvr3lib, not installed.
#ifndef ZVR3PARSER_BUFFER_H
#define ZVR3PARSER_BUFFER_H

#include <QByteArray>
#include <QString>

#include <cstring>

/*
    The bytes a parser has received and not yet consumed, with exact stream positions.

    Reads take a position relative to the first unconsumed byte and advance it by the width read
    whether or not the bytes are there: a read past what has arrived gives 0, zero bytes or an empty
    text and never touches memory outside the buffer. A parser reads a whole record that way and then
    checks available() >= pos once; if the record is not complete it is read again from its start
    when more bytes have come.
*/
class zvr3parser_buffer
{
public:
    // Bytes received and not yet consumed; negative after a skip past the end of what arrived.
    qint64 available() const { return qint64(bytes.size()) - offset; }
    // Stream position of the first unconsumed byte: the number of bytes consumed since the buffer was made.
    qint64 position() const { return base + offset; }

    quint32 peekU32(qint64 at) const
    {
        return at >= 0 && available() >= at + 4 ? le32(at) : 0;
    }
    quint8 readU8(int &pos) const
    {
        const quint8 v = pos >= 0 && available() >= qint64(pos) + 1 ? at(pos) : 0;
        pos += 1;
        return v;
    }
    quint16 readU16(int &pos) const
    {
        const quint16 v = pos >= 0 && available() >= qint64(pos) + 2 ? quint16(at(pos) | at(pos + 1) << 8) : 0;
        pos += 2;
        return v;
    }
    quint32 readU32(int &pos) const
    {
        const quint32 v = pos >= 0 && available() >= qint64(pos) + 4 ? le32(pos) : 0;
        pos += 4;
        return v;
    }
    QByteArray readBytes(int &pos, int n) const;
    // The same, into `into`: in place when its storage fits the payload (at most four times as
    // large) and no one else holds it, else into a new array.
    void readBytesInto(int &pos, int n, QByteArray &into) const;
    QString readString(int &pos) const;
    // Whether a zero byte ends a text at pos within the bytes that have arrived.
    bool hasString(int pos) const;
    // Where the 4 bytes of magic begin, relative to the first unconsumed byte; -1 when they are not there.
    qint64 find(const char magic[4]) const;

    void append(const QByteArray &chunk);

    // Like append(), for a reader that consumes what it reads through advance() and collect(): a
    // large chunk that arrives behind an unconsumed tail is not copied behind it whole. Only its
    // first StitchBytes are, enough for the record the tail begins in most streams; once that
    // record has been consumed the buffer takes the chunk over as it is, where the copy ended.
    // Until then the buffer is stitched: it holds only part of what has arrived. A reader for which
    // that makes a difference calls unstitch() first, and the parser base calls it when a parse
    // stops while the buffer is still stitched, and parses again.
    void appendStitched(const QByteArray &chunk);
    bool stitched() const { return nextAt >= 0; }
    // The chunks that are stitched rather than copied whole: those of at least this many bytes.
    static constexpr qsizetype StitchFrom = 4096;
    // For tests: false makes appendStitched() an append(), to compare what the parsers emit.
    static inline bool stitching = true;
    // Copies the rest of the chunk behind the bytes already copied.
    void unstitch();
    // After a chunk made with QByteArray::fromRawData() has been parsed: copies what is left of it
    // into an array of the buffer's own, so that the caller may reuse the memory the chunk referred
    // to once slotData() has returned. Does nothing when the buffer holds its own or a counted array.
    void letGoOfRawData();

    // A large payload whose record header has been read is collected straight from the chunks as
    // they arrive, instead of being copied into `bytes` and then out again. collect() takes the
    // payload bytes already there and consumes them; append() then routes chunk bytes into
    // `pending` until it holds `pendingSize` bytes, and keeps the rest of the chunk without a copy.
    // The record the payload belongs to is the parser's to keep.
    void collect(int pos, int size);
    bool collecting() const { return pendingSize >= 0; }
    bool collected() const { return pending.size() >= pendingSize; }
    QByteArray takeCollected();
    void advance(qint64 n)
    {
        offset += n;
        if (nextAt >= 0 && offset >= nextAt)
            takeOverNext();
    }

    qint64 offset = 0;
    QByteArray bytes;
    qint64 base = 0;
    QByteArray spare;           // an array of our own, kept for reuse while `bytes` holds a chunk

private:
    QByteArray next;            // while stitched: the chunk whose first bytes end `bytes`
    qsizetype nextCopied = 0;   // how many of them were copied
    qsizetype nextAt = -1;      // where they begin in `bytes`; -1 when not stitched

    QByteArray pending;         // the payload collected so far
    qint64 pendingSize = -1;    // its full size; -1 when nothing is being collected

    // Makes `chunk` the buffered bytes, keeping the array it replaces for reuse when it is ours.
    void takeOver(const QByteArray &chunk);
    void appendPart(const QByteArray &chunk, qsizetype size);
    void takeOverNext();
    quint8 at(qint64 pos) const { return quint8(bytes.constData()[offset + pos]); }
    quint32 le32(qint64 pos) const
    {
        const uchar *p = reinterpret_cast<const uchar *>(bytes.constData()) + offset + pos;
        return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
    }
};

#endif // ZVR3PARSER_BUFFER_H
