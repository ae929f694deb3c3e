#include "zvr3streamwriter.h"

#include "zvr3stream_encode_p.h"
#include "zvr3stream_format_p.h"

namespace zvr3stream {

using zvr3format::putText;
using zvr3format::putU32;
using zvr3format::putU8;

namespace {

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
    return zvr3format::encodeHeader(header);
}

QByteArray encodeChunkHeader(const ARCHIVE_T_HDR &chunk)
{
    QByteArray out;
    out.reserve(zvr3format::ChunkHeaderSize);
    putU32(out, zvr3format::ChunkHeaderMagic);
    putU32(out, chunk.ref_high);
    putU32(out, chunk.ref_low);
    putU32(out, quint32(chunk.value64));
    putU32(out, chunk.value32);
    return out;
}

QByteArray encodeIndex(const IDX_T &index)
{
    return zvr3format::encodeIndex(index.time, index.value, index.bytes);
}

QByteArray encodeData(const DATA_T &record, bool videoStart, quint64 indexSeconds)
{
    return zvr3format::encodeData(record, videoStart, indexSeconds, zvr3format::KeepMark);
}

QByteArray encodeIndexEntry(const ZVR_ID3_REC &entry)
{
    QByteArray out;
    out.reserve(zvr3format::IndexFileEntrySize);
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
        header.streams.append({FirstVideoStream + i, zvr3format::Video, QStringLiteral("H264"), QString(), QStringLiteral("-fps=25")});
    if (recording.audio)
        header.streams.append({AudioStream, zvr3format::Audio, QStringLiteral("ima1"), QString(), QStringLiteral("-rate=8000")});
    if (recording.text) {
        header.streams.append({TextStream, zvr3format::Text, QStringLiteral("text"), QString(), QString()});
        header.streams.append({NmeaStream, zvr3format::Text, QStringLiteral("nmea"), QString(), QString()});
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
                constexpr qsizetype Most = zvr3format::MaxPayload;
                const int parts = qMax(1, int((bytes.size() + Most - 1) / Most));
                for (int p = 0; p < parts; ++p) {
                    DATA_T record;
                    record.stream = unsigned(FirstVideoStream + v);
                    record.part = parts == 1 ? zvr3format::Whole
                        : p == 0             ? zvr3format::First
                        : p == parts - 1     ? zvr3format::Last
                                             : zvr3format::Middle;
                    record.level = static_cast<signed char>(frame % 32);
                    record.time = frameTime;
                    record.extra = frame == 0 ? 1 : 0;
                    record.data = bytes.mid(p * Most, Most);
                    out.append(encodeData(record, record.part & zvr3format::First, seconds));
                }
            }
            // Sound records spread evenly between the frames.
            while (audioSent < audioPerSecond && audioSent * fps < (frame + 1) * audioPerSecond) {
                DATA_T record;
                record.stream = AudioStream;
                record.part = zvr3format::Whole;
                record.data = payload(random, recording.audioBytes);
                out.append(encodeData(record, false, seconds));
                ++audioSent;
            }
        }
        if (recording.text) {
            DATA_T text;
            text.stream = TextStream;
            text.part = zvr3format::Whole;
            text.data = QStringLiteral("Motion on channel %1 at second %2").arg(second % 4 + 1).arg(second).toUtf8();
            out.append(encodeData(text, false, seconds));
            DATA_T nmea;
            nmea.stream = NmeaStream;
            nmea.part = zvr3format::Whole;
            nmea.data = QByteArrayLiteral("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
            out.append(encodeData(nmea, false, seconds));
        }
    }
    return out;
}

} // namespace zvr3stream
