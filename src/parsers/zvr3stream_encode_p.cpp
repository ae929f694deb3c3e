#include "zvr3stream_encode_p.h"

#include "zvr3stream_format_p.h"

namespace zvr3format {

void putText(QByteArray &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    const qsizetype zero = utf8.indexOf('\0');
    out.append(zero < 0 ? utf8 : utf8.left(zero));
    out.append('\0');
}

QByteArray encodeHeader(const HDR_T &header, bool *fits)
{
    // The stream table's end counts the fixed part, the name and the table.
    QByteArray streams;
    putText(streams, header.name);
    for (const STREAM_T &stream : header.streams) {
        putU8(streams, quint32(stream.number));
        putU8(streams, quint32(stream.type));
        putText(streams, stream.codec);
        putText(streams, stream.text2);
        putText(streams, stream.text3);
    }
    QByteArray params;
    for (const PARAM_T &param : header.params) {
        putU8(params, quint32(param.id));
        putText(params, param.text);
    }
    const qsizetype streamsEnd = StreamHeaderFixedSize + streams.size();
    if (fits)
        *fits = streamsEnd <= MaxHeaderLength && params.size() <= MaxHeaderLength;

    QByteArray out;
    out.reserve(streamsEnd + params.size());
    putU32(out, StreamHeaderMagic);
    putU16(out, quint32(streamsEnd));
    putU16(out, quint32(params.size()));
    out.append(streams).append(params);
    return out;
}

QByteArray encodeIndex(quint64 seconds, quint32 value, const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(IndexFixedSize + qMin(bytes.size(), MaxIndexBytes));
    putU32(out, IndexMagic);
    putU32(out, quint32(seconds));
    putU32(out, value);
    putU8(out, quint32(bytes.size()));
    out.append(bytes.left(MaxIndexBytes));
    return out;
}

QByteArray encodeData(const DATA_T &record, bool frameStart, quint64 indexSeconds, Marked marked)
{
    QByteArray out;
    out.reserve(FrameStartHeaderSize + record.data.size());
    putU16(out, quint32(record.data.size()));
    putU8(out, (quint32(record.level) & LevelMask) | (marked == KeepMark && record.marked ? MarkedBit : 0)
                   | (record.part & 3) << PartShift);
    putU8(out, record.stream);
    if (frameStart) {
        // Milliseconds after the index time, in 16 bits: later times wrap around.
        putU16(out, quint32(record.time - qint64(indexSeconds) * 1000));
        putU8(out, record.extra);
        putU8(out, 0);
    }
    out.append(record.data);
    return out;
}

} // namespace zvr3format
