#include "zvr3parser.h"

#include <utility>

#include "zvr3error.h"
#include "zvr3logging_p.h"
#include "zvr3metatype_p.h"
#include "zvr3parser_buffer.h"
#include "zvr3parser_p.h"
#include "zvr3stream_format_p.h"

using namespace zvr3format;

namespace {
// Payloads at least this long that have not fully arrived are collected straight from the chunks.
constexpr unsigned int CollectFrom = 1024;

enum State { LookingForHeader = 0, AfterHeader = 1, ReadingData = 2 };
}

qint64 zvr3parser_private::frameLimitOverride = 0;

zvr3parser::zvr3parser()
    : d(new zvr3parser_private)
{
}

zvr3parser::~zvr3parser()
{
    delete d;
}

void zvr3parser::resetStreamState()
{
    d->partial.clear();
    d->collecting = DATA_T();
}

void zvr3parser::parse()
{
    for (;;) {
        if (buffer->collecting()) {
            if (!buffer->collected())
                return;
            DATA_T record = std::exchange(d->collecting, DATA_T());
            record.data = buffer->takeCollected();
            report(d->collectingStart, d->collectingLength, DataRecord);
            emitMoving<DATA_T>(d->dataValue, record);
            combine(record);
        }
        bool progressed = false;
        switch (state) {
        case LookingForHeader: progressed = parse_hdr(); break;
        case AfterHeader: progressed = parse_idx(); break;
        case ReadingData: progressed = parse_data(); break;
        default: return;
        }
        if (!progressed)
            return;
    }
}

int zvr3parser::stream_type(int number)
{
    return streamType(header, number);
}

bool zvr3parser::parse_hdr()
{
    // What a damaged header gives depends on how many of its bytes have arrived, and the skip
    // reports on where the chunks end: both are read with every byte that has arrived.
    buffer->unstitch();

    // Skip up to the header magic. When it is not there, keep the last three bytes: a magic word
    // may begin in them.
    qint64 k = buffer->find(StreamHeaderMagicBytes);
    if (k < 0)
        k = qMax<qint64>(0, buffer->available() - (MagicSize - 1));
    if (k > 0)
        qCDebug(lcZvr3Parser, "skipping %lld bytes that are no stream header", qlonglong(k));
    skip(int(k), SkippedBytes);

    if (buffer->available() < MagicSize)
        return false;

    // A header is complete only once streams_end + params_size bytes are there; until then reading
    // it would only be thrown away.
    int pos = MagicSize;
    HDR_T h;
    h.streams_end = buffer->readU16(pos);
    h.params_size = buffer->readU16(pos);
    const qint64 available = buffer->available();
    if (available < StreamHeaderFixedSize || available < qint64(h.streams_end) + h.params_size)
        return false;

    h.name = buffer->readString(pos);
    while (available >= pos && pos < int(h.streams_end)) {
        STREAM_T stream;
        stream.number = buffer->readU8(pos);
        stream.type = buffer->readU8(pos);
        stream.codec = buffer->readString(pos);
        stream.text2 = buffer->readString(pos);
        stream.text3 = buffer->readString(pos);
        h.streams.append(stream);
    }
    while (available >= pos && pos < int(h.streams_end + h.params_size)) {
        PARAM_T param;
        param.id = buffer->readU8(pos);
        param.text = buffer->readString(pos);
        h.params.append(param);
    }
    if (available < pos)
        return false;

    state = AfterHeader;
    header = h;
    skip(pos, StreamHeader);
    qCDebug(lcZvr3Parser, "stream header \"%s\" with %lld streams", qUtf8Printable(h.name), qlonglong(h.streams.size()));
    emit sigData(zvr3value(h));
    return true;
}

bool zvr3parser::parse_idx()
{
    if (buffer->available() < MagicSize)
        return false;

    const quint32 magic = buffer->peekU32(0);
    if (magic == IndexMagic) {
        int pos = MagicSize;
        IDX_T idx;
        idx.time = buffer->readU32(pos);
        idx.value = buffer->readU32(pos);
        const int n = buffer->readU8(pos);
        idx.bytes = buffer->readBytes(pos, n);
        if (buffer->available() < pos)
            return false;
        state = ReadingData;
        index = idx;
        time = qint64(idx.time) * 1000;
        d->partial.clear();  // frames not finished before an index record are dropped
        skip(pos, IndexRecord);
        emit sigData(zvr3value(idx));
        return true;
    }
    if (magic == ChunkHeaderMagic) {
        if (buffer->available() < ChunkHeaderSize)
            return false;
        ARCHIVE_T_HDR chunk;
        chunk.ref_high = buffer->peekU32(4);
        chunk.ref_low = buffer->peekU32(8);
        chunk.value64 = buffer->peekU32(12);
        chunk.value32 = buffer->peekU32(16);
        skip(ChunkHeaderSize, ChunkHeader);
        emit sigData(zvr3value(chunk));
        return true;
    }
    // Neither: the structure is broken, look for the next stream header.
    state = LookingForHeader;
    return true;
}

bool zvr3parser::parse_data()
{
    // Data records follow one another up to the next magic word; the record that begins with it is
    // read in the state it leads to.
    if (buffer->available() < MagicSize)
        return false;
    switch (buffer->peekU32(0)) {
    case StreamHeaderMagic:
        state = LookingForHeader;
        return true;
    case IndexMagic:
    case ChunkHeaderMagic:
        state = AfterHeader;
        return true;
    }

    int pos = 0;
    DATA_T record;
    record.size = buffer->readU16(pos);
    const quint8 flags = buffer->readU8(pos);
    record.level = static_cast<signed char>(flags & LevelMask);
    record.marked = flags & MarkedBit;
    record.part = flags >> PartShift;
    record.stream = buffer->readU8(pos);
    if (isFrameStart(header, record)) {
        // A video frame start carries its own time: milliseconds after the last index time. It
        // becomes the time of the records that follow.
        const quint16 msec = buffer->readU16(pos);
        record.time = qint64(index.time) * 1000 + msec;
        time = record.time;
        record.extra = buffer->readU8(pos);
        pos += 1;  // a zero byte
    } else {
        record.time = time;
    }
    if (buffer->available() < qint64(pos) + record.size) {
        if (record.size >= CollectFrom && buffer->available() >= pos) {
            d->collecting = record;
            d->collectingStart = buffer->position();
            d->collectingLength = pos + int(record.size);
            buffer->collect(pos, int(record.size));
            return buffer->collected();  // a stitched buffer may have held the whole payload
        }
        return false;
    }

    // Into the array of an earlier record that no receiver kept: no allocation for most records.
    record.data.swap(d->sparePayload);
    buffer->readBytesInto(pos, int(record.size), record.data);
    skip(pos, DataRecord);
    emitMoving<DATA_T>(d->dataValue, record);
    combine(record);
    if (record.data.isDetached() && record.data.capacity() <= zvr3parser_private::MaxSparePayload)
        d->sparePayload.swap(record.data);
    return true;
}

void zvr3parser::combine(DATA_T &record)
{
    QMap<int, DATA_T> &partial = d->partial;
    const int stream = int(record.stream);
    switch (record.part) {
    case Whole:
        if (!partial.isEmpty())
            partial.remove(stream);
        emitMoving<zvr3parser_combined_DATA_T>(d->frameValue, record);
        break;
    case First:
        partial.insert(stream, record);  // replaces an unfinished frame of the stream
        if (record.data.size() > zvr3parser_private::frameLimit())
            dropFrame(stream);
        break;
    case Middle:
    case Last: {
        const auto pending = partial.find(stream);
        if (pending == partial.end())
            break;  // a part without its first one never becomes a frame
        if (qint64(pending->data.size()) + record.data.size() > zvr3parser_private::frameLimit()) {
            dropFrame(stream);
            break;
        }
        // Grown by doubling in place: a large frame is not copied, and so not held twice, at each step.
        // The first part's array is the one emitted with its record; the frame moves to an array
        // of its own at the first part after it: the array of an earlier frame when it is large
        // enough, and not over four times what the frame holds so far, since a receiver that keeps
        // the frame holds all of it.
        QByteArray &data = pending->data;
        const qsizetype need = data.size() + record.data.size();
        if (!data.isDetached() || data.capacity() < need) {
            QByteArray grown;
            const qsizetype spare = d->spareFrame.capacity();
            if (spare >= need && spare <= 4 * need)
                grown = std::exchange(d->spareFrame, QByteArray());
            else
                grown.reserve(qMax(need, 2 * data.capacity()));
            grown.resize(0);
            grown.append(data);
            data = grown;
        }
        data.append(record.data);
        pending->size += record.size;
        if (record.part == Middle)
            break;
        DATA_T frame = std::move(*pending);
        partial.erase(pending);
        emitMoving<zvr3parser_combined_DATA_T>(d->frameValue, frame);
        keepForReuse(frame.data);
        break;
    }
    }
}

void zvr3parser::keepForReuse(QByteArray &frame)
{
    // Only an array that no receiver kept is written again: an emitted frame stays as it was for
    // whoever holds it. The array of the latest frame is kept, of at most MaxSpareFrame bytes.
    if (frame.isDetached() && frame.capacity() <= zvr3parser_private::MaxSpareFrame)
        d->spareFrame = std::move(frame);
}

void zvr3parser::dropFrame(int stream)
{
    d->partial.remove(stream);
    ++d->dropped;
    qCDebug(lcZvr3Parser, "frame of stream %d dropped: too large", stream);
    emit sigData(zvr3value(zvr3error(-1, tr("Frame of stream %1 too large, dropped").arg(stream), zvr3error::TooLarge)));
}

qint64 zvr3parser::droppedFrames() const
{
    return d->dropped;
}
