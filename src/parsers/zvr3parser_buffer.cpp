#include "zvr3parser_buffer.h"

#include <utility>

namespace {
// The largest array kept for reuse: many times the chunks that sockets and files deliver.
constexpr qsizetype MaxSpare = qsizetype(1) << 20;
// How much of a large chunk is copied behind an unconsumed tail: more than a sound record, a
// small video record or an index record needs. A record that needs more costs one more parse.
constexpr qsizetype StitchBytes = 1024;
static_assert(zvr3parser_buffer::StitchFrom >= 2 * StitchBytes);
}

QByteArray zvr3parser_buffer::readBytes(int &pos, int n) const
{
    QByteArray out;
    if (n > 0) {
        if (pos >= 0 && available() >= qint64(pos) + n)
            out = QByteArray(bytes.constData() + offset + pos, n);
        else
            out = QByteArray(n, '\0');
    }
    pos += n;
    return out;
}

void zvr3parser_buffer::readBytesInto(int &pos, int n, QByteArray &into) const
{
    // An array much larger than the payload is not used: a receiver that keeps the record would
    // hold all of it.
    if (n <= 0 || !into.isDetached() || into.capacity() < n || into.capacity() > 4 * qsizetype(n)) {
        into = readBytes(pos, n);
        return;
    }
    into.resize(n);
    if (pos >= 0 && available() >= qint64(pos) + n)
        std::memcpy(into.data(), bytes.constData() + offset + pos, size_t(n));
    else
        std::memset(into.data(), 0, size_t(n));
    pos += n;
}

QString zvr3parser_buffer::readString(int &pos) const
{
    const qint64 avail = available();
    if (pos < 0 || pos >= avail)
        return QString();
    const char *start = bytes.constData() + offset + pos;
    const void *zero = std::memchr(start, 0, size_t(avail - pos));
    if (!zero)
        return QString();  // the end of the text has not arrived: the position stays
    const int length = int(static_cast<const char *>(zero) - start);
    pos += length + 1;
    return length ? QString::fromUtf8(start, length) : QString();
}

bool zvr3parser_buffer::hasString(int pos) const
{
    const qint64 avail = available();
    return pos >= 0 && pos < avail
        && std::memchr(bytes.constData() + offset + pos, 0, size_t(avail - pos)) != nullptr;
}

qint64 zvr3parser_buffer::find(const char magic[4]) const
{
    if (available() < 4)
        return -1;
    const qsizetype at = bytes.indexOf(QByteArrayView(magic, 4), offset);
    return at < 0 ? -1 : at - offset;
}

void zvr3parser_buffer::collect(int pos, int size)
{
    const qint64 have = qMax<qint64>(0, available() - pos);
    pending = QByteArray();
    pending.reserve(size);
    pending.append(bytes.constData() + offset + pos, have);
    pendingSize = size;
    advance(pos + have);
    // Stitched, the consumed bytes reach into the chunk, which the buffer now holds: the payload
    // takes what it needs of the rest of it.
    const qint64 more = qMin<qint64>(pendingSize - pending.size(), available());
    if (more > 0) {
        pending.append(bytes.constData() + offset, more);
        offset += more;
    }
}

QByteArray zvr3parser_buffer::takeCollected()
{
    pendingSize = -1;
    return std::exchange(pending, QByteArray());
}

void zvr3parser_buffer::takeOver(const QByteArray &chunk)
{
    // An array larger than MaxSpare came from a reader that fell behind and handed over megabytes
    // at once; kept, it would hold that much memory for the rare copy of a record's tail.
    if (bytes.isDetached() && bytes.capacity() > spare.capacity() && bytes.capacity() <= MaxSpare)
        spare.swap(bytes);
    bytes = chunk;
}

void zvr3parser_buffer::letGoOfRawData()
{
    // A counted array, even one shared with the caller, stays valid as long as the buffer holds it.
    if (bytes.data_ptr().d_ptr() || bytes.isEmpty())
        return;
    const qint64 tail = available();
    base += offset;
    offset = 0;
    if (tail <= 0) {
        // Nothing left, or a skip past the end whose rest carries over into the next chunk.
        offset = -tail;
        bytes = QByteArray();
        return;
    }
    QByteArray own = std::exchange(spare, QByteArray());
    own.resize(0);
    if (own.capacity() < tail + bytes.size())
        own.reserve(qMax<qsizetype>(tail + bytes.size(), 4096));
    own.append(bytes.constData() + bytes.size() - tail, tail);
    bytes = std::move(own);
}

void zvr3parser_buffer::append(const QByteArray &chunk)
{
    if (collecting() && !collected()) {
        // Everything before the chunk has been consumed: the collected part of the chunk counts
        // as consumed too, and the rest is kept as it is.
        const qint64 take = qMin<qint64>(pendingSize - pending.size(), chunk.size());
        pending.append(chunk.constData(), take);
        base = position();
        takeOver(chunk);
        offset = take;
        return;
    }
    if (available() < 1) {
        // Everything was consumed, or a skip went past the end: what remains of the skip carries
        // over into the new chunk. The chunk is taken over without a copy.
        base += bytes.size();
        offset -= bytes.size();
        takeOver(chunk);
        return;
    }
    appendPart(chunk, chunk.size());
}

void zvr3parser_buffer::appendStitched(const QByteArray &chunk)
{
    if ((collecting() && !collected()) || available() < 1 || chunk.size() < StitchFrom || !stitching) {
        append(chunk);
        return;
    }
    appendPart(chunk, StitchBytes);
    next = chunk;
    nextCopied = StitchBytes;
    nextAt = bytes.size() - StitchBytes;
}

void zvr3parser_buffer::unstitch()
{
    if (nextAt < 0)
        return;
    const qsizetype rest = next.size() - nextCopied;
    if (bytes.capacity() - bytes.size() < rest)
        bytes.reserve(bytes.size() + rest);
    bytes.append(next.constData() + nextCopied, rest);
    next = QByteArray();
    nextAt = -1;
}

void zvr3parser_buffer::takeOverNext()
{
    // Everything before the chunk's bytes has been consumed: go on in the chunk itself.
    base += nextAt;
    offset -= nextAt;
    nextAt = -1;
    takeOver(std::exchange(next, QByteArray()));
}

void zvr3parser_buffer::appendPart(const QByteArray &chunk, qsizetype size)
{
    // Drop consumed bytes only once they are at least as many as the unconsumed tail, so that
    // moving the tail costs no more than what was consumed before it: every byte is copied in once
    // and moved at most once more, and a record arriving in many small chunks costs time linear in
    // its size.
    const qsizetype tail = bytes.size() - offset;
    if (!bytes.isDetached()) {
        // Still shared with a chunk that was taken over: copy only the tail into an array of our own.
        QByteArray own = std::exchange(spare, QByteArray());
        own.resize(0);
        if (own.capacity() < tail + size)
            own.reserve(qMax<qsizetype>(2 * (tail + size), 4096));
        own.append(bytes.constData() + offset, tail);
        bytes = std::move(own);
        base += offset;
        offset = 0;
    } else if (offset >= tail) {
        char *data = bytes.data();
        std::memmove(data, data + offset, size_t(tail));
        bytes.resize(tail);
        base += offset;
        offset = 0;
    }
    if (bytes.capacity() - bytes.size() < size)
        bytes.reserve(qMax(bytes.size() + size, 2 * bytes.capacity()));
    bytes.append(chunk.constData(), size);
}
