#include "zvr3streamwriter.h"

#include <QtEndian>

namespace zvr3stream {
namespace {

void putU8(QByteArray &out, quint32 v) { out.append(char(v & 0xFF)); }
void putU16(QByteArray &out, quint32 v)
{
    putU8(out, v);
    putU8(out, v >> 8);
}
void putU32(QByteArray &out, quint32 v)
{
    putU16(out, v & 0xFFFF);
    putU16(out, v >> 16);
}
void putText(QByteArray &out, const QString &text)
{
    out.append(text.toUtf8());
    out.append('\0');
}

// A small deterministic generator, so that a recording is the same on every machine.
class Random
{
public:
    explicit Random(quint32 seed) : m_state(seed ? seed : 1) {}
    quint32 next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state;
    }
    int between(int low, int high) { return high <= low ? low : low + int(next() % quint32(high - low + 1)); }

private:
    quint32 m_state;
};

QByteArray payload(Random &random, int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    char *p = bytes.data();
    for (int i = 0; i < size; i += 4) {
        const quint32 v = random.next();
        for (int j = 0; j < 4 && i + j < size; ++j)
            p[i + j] = char(v >> (8 * j));
    }
    return bytes;
}

} // namespace

QByteArray encodeHeader(const HDR_T &header)
{
    QByteArray streams;
    for (const STREAM_T &s : header.streams) {
        putU8(streams, quint32(s.number));
        putU8(streams, quint32(s.type));
        putText(streams, s.codec);
        putText(streams, s.text2);
        putText(streams, s.text3);
    }
    QByteArray params;
    for (const PARAM_T &p : header.params) {
        putU8(params, quint32(p.id));
        putText(params, p.text);
    }
    const QByteArray name = header.name.toUtf8();
    QByteArray out;
    putU32(out, 0xB505B5B5);
    putU16(out, quint32(8 + name.size() + 1 + streams.size()));
    putU16(out, quint32(params.size()));
    out.append(name).append('\0').append(streams).append(params);
    return out;
}

QByteArray encodeChunkHeader(const ARCHIVE_T_HDR &chunk)
{
    QByteArray out;
    putU32(out, 0xE5E5E505);
    putU32(out, chunk.ref_high);
    putU32(out, chunk.ref_low);
    putU32(out, quint32(chunk.value64));
    putU32(out, chunk.value32);
    return out;
}

QByteArray encodeIndex(const IDX_T &index)
{
    QByteArray out;
    putU32(out, 0xB5B5B505);
    putU32(out, quint32(index.time));
    putU32(out, index.value);
    putU8(out, quint32(index.bytes.size()));
    out.append(index.bytes.left(255));
    return out;
}

QByteArray encodeData(const DATA_T &record, bool videoStart, quint64 indexSeconds)
{
    QByteArray out;
    out.reserve(8 + record.data.size());
    putU16(out, quint32(record.data.size()));
    putU8(out, (quint32(record.level) & 0x1F) | (record.marked ? 0x20 : 0) | (record.part & 3) << 6);
    putU8(out, record.stream);
    if (videoStart) {
        putU16(out, quint32(record.time - qint64(indexSeconds) * 1000));
        putU8(out, record.extra);
        putU8(out, 0);
    }
    out.append(record.data);
    return out;
}

QByteArray encodeIndexEntry(const ZVR_ID3_REC &entry)
{
    QByteArray out;
    putU8(out, entry.type);
    putU8(out, entry.count);
    putU8(out, 0);
    putU8(out, quint32(quint64(entry.position) >> 32));
    putU32(out, quint32(entry.time / 1000));
    putU32(out, quint32(entry.position));
    for (const ZVR_ID3_REC::Pair &pair : entry.pairs) {
        putU8(out, pair.first);
        putU8(out, pair.second);
    }
    return out;
}

QByteArray encodeEvent(const EVENTS_FILE_DATA_T &event)
{
    QByteArray out;
    putU32(out, quint32(event.time / 1000));
    putU32(out, event.number);
    putU8(out, quint32(event.texts.size()));
    for (const PARAM_T &entry : event.texts) {
        putU8(out, quint32(entry.id));
        putText(out, entry.text);
    }
    return out;
}

HDR_T sampleHeader(const Recording &recording)
{
    HDR_T header;
    header.name = QStringLiteral("zvr3 sample");
    for (int i = 0; i < recording.videoStreams; ++i)
        header.streams.append({FirstVideoStream + i, 1, QStringLiteral("H264"), QString(), QStringLiteral("-fps=25")});
    if (recording.audio)
        header.streams.append({AudioStream, 2, QStringLiteral("ima1"), QString(), QStringLiteral("-rate=8000")});
    if (recording.text) {
        header.streams.append({TextStream, 4, QStringLiteral("text"), QString(), QString()});
        header.streams.append({NmeaStream, 4, QStringLiteral("nmea"), QString(), QString()});
    }
    header.params.append({1, QStringLiteral("recorder=zvr3-sample")});
    return header;
}

QByteArray generate(const Recording &recording)
{
    Random random(recording.seed);
    QByteArray out = encodeHeader(sampleHeader(recording));
    const int fps = qMax(1, recording.framesPerSecond);
    const int audioPerSecond = recording.audio ? qMax(1, recording.audioRecordsPerSecond) : 0;

    for (int second = 0; second < recording.seconds; ++second) {
        const quint32 seconds = recording.startTime + quint32(second);
        out.append(encodeChunkHeader({seconds, quint32(second), 0, 0}));
        out.append(encodeIndex({seconds, 0, QByteArray()}));
        int audioSent = 0;
        for (int frame = 0; frame < fps; ++frame) {
            const qint64 frameTime = qint64(seconds) * 1000 + frame * 1000 / fps;
            for (int v = 0; v < recording.videoStreams; ++v) {
                const QByteArray bytes = payload(random, random.between(recording.minFrameBytes, recording.maxFrameBytes));
                // Frames over 65,535 bytes go out as a first part, middle parts and a last part.
                const int parts = qMax(1, int((bytes.size() + 65534) / 65535));
                for (int p = 0; p < parts; ++p) {
                    DATA_T record;
                    record.stream = unsigned(FirstVideoStream + v);
                    record.part = parts == 1 ? 3 : p == 0 ? 2 : p == parts - 1 ? 1 : 0;
                    record.level = static_cast<signed char>(frame % 32);
                    record.time = frameTime;
                    record.extra = frame == 0 ? 1 : 0;
                    record.data = bytes.mid(p * 65535, 65535);
                    out.append(encodeData(record, record.part & 2, seconds));
                }
            }
            // Sound records spread evenly between the frames.
            while (audioSent < audioPerSecond && audioSent * fps < (frame + 1) * audioPerSecond) {
                DATA_T record;
                record.stream = AudioStream;
                record.part = 3;
                record.data = payload(random, recording.audioBytes);
                out.append(encodeData(record, false, seconds));
                ++audioSent;
            }
        }
        if (recording.text) {
            DATA_T text;
            text.stream = TextStream;
            text.part = 3;
            text.data = QStringLiteral("Motion on channel %1 at second %2").arg(second % 4 + 1).arg(second).toUtf8();
            out.append(encodeData(text, false, seconds));
            DATA_T nmea;
            nmea.stream = NmeaStream;
            nmea.part = 3;
            nmea.data = QByteArrayLiteral("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
            out.append(encodeData(nmea, false, seconds));
        }
    }
    return out;
}

} // namespace zvr3stream
