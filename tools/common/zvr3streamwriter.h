#ifndef ZVR3STREAMWRITER_H
#define ZVR3STREAMWRITER_H

#include <QByteArray>

#include "evtparser.h"
#include "id3parser.h"
#include "zvr3records.h"

namespace zvr3stream {

// A synthetic recording, and encoders of the archive stream's records, index file entries and
// event records: the tools, tests and benchmarks make their inputs with these.
struct Recording
{
    int seconds = 10;            // length of the recording; one index record per second
    quint32 startTime = 1700000000;
    int videoStreams = 1;        // streams 0, 1, ...: video, "H264"
    int framesPerSecond = 25;
    int minFrameBytes = 4000;
    int maxFrameBytes = 20000;   // frames over 65,535 bytes are sent in parts
    bool audio = true;           // one "ima1" stream: 320-byte records, 25 a second
    int audioRecordsPerSecond = 25;
    int audioBytes = 320;
    bool text = true;            // one "text" stream and one "nmea" stream, a record a second each
    quint32 seed = 1;
};

// Stream numbers used by generate().
constexpr int FirstVideoStream = 0;
constexpr int AudioStream = 10;
constexpr int TextStream = 11;
constexpr int NmeaStream = 12;

HDR_T sampleHeader(const Recording &recording);
// A whole recording: the header, then a chunk header and an index record every second, each
// followed by the second's video frames, sound and texts, interleaved as a recorder sends them.
QByteArray generate(const Recording &recording);

// Stream headers, index records and data records are encoded by the saver's own code; unlike the
// saver, these keep the index record's value and the data record's mark.
QByteArray encodeHeader(const HDR_T &header);
QByteArray encodeChunkHeader(const ARCHIVE_T_HDR &chunk);
QByteArray encodeIndex(const IDX_T &index);
// A data record; a video frame start (videoStart) gets the 8-byte header with the milliseconds of
// record.time after indexSeconds × 1000.
QByteArray encodeData(const DATA_T &record, bool videoStart, quint64 indexSeconds);
QByteArray encodeIndexEntry(const ZVR_ID3_REC &entry);
QByteArray encodeEvent(const EVENTS_FILE_DATA_T &event);

} // namespace zvr3stream

#endif // ZVR3STREAMWRITER_H
