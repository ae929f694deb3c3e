#ifndef SIMSOURCE_H
#define SIMSOURCE_H

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <QVector>

#include <cmath>

#include "zvr3records.h"

// What the simulated recorder "films": for every channel a loop of pre-encoded pictures, a loop of
// sound, a route driven by a GPS receiver and a text event now and then. Everything is a function
// of the frame number f (milliseconds since the epoch / 40), so that the live streams and the
// archive show the same thing for the same moment, and any past second can be rebuilt on demand
// instead of being stored.
namespace zvr3sim {

constexpr int FramesPerSecond = 25;
constexpr int FrameMs = 1000 / FramesPerSecond;
constexpr int LoopFrames = 2 * FramesPerSecond;  // the picture and sound loop: two seconds
constexpr int KeyFrameInterval = FramesPerSecond; // every second starts with a key frame
constexpr int SampleRate = 8000;
constexpr int SamplesPerFrame = SampleRate / FramesPerSecond;
constexpr int EventEverySeconds = 5;

// Stream numbers: channel c is stream c; these come after the largest channel count.
constexpr int AudioStream = 64;
constexpr int TextStream = 65;
constexpr int NmeaStream = 66;

// The route: a circle around this point, one lap in RouteLapSeconds.
constexpr double RouteLatitude = 48.1173;
constexpr double RouteLongitude = 11.5167;
constexpr double RouteRadius = 0.01;     // degrees
constexpr int RouteLapSeconds = 600;

// The picture of a channel at a moment: a moving ball over a colour field, the channel's name
// and the clock text.
QImage drawPicture(int channel, const QSize &size, qint64 msecs, const QString &clock);

// NMEA sentences (GPRMC and GPGGA, with checksums) for second s of the route.
QByteArray nmeaSentences(qint64 second);
inline void routePosition(qint64 second, double *latitude, double *longitude)
{
    const double angle = 2 * M_PI * double(second % RouteLapSeconds) / RouteLapSeconds;
    *latitude = RouteLatitude + RouteRadius * std::sin(angle);
    *longitude = RouteLongitude + RouteRadius * std::cos(angle) / std::cos(RouteLatitude * M_PI / 180);
}
// The text event of second s, empty when none happens then.
QString eventText(qint64 second, int channels);

class Source
{
public:
    Source(int channels, const QSize &size);
    // The channel sent as MJPEG (the last one unless changed before prepare(); -1: none).
    void setJpegChannel(int channel) { m_jpegChannel = channel; }
    // Encodes the loops; false (with a message in error()) when no encoder could be opened.
    bool prepare();
    QString error() const { return m_error; }

    int channels() const { return m_channels; }
    QSize size() const { return m_size; }
    QString videoCodec(int channel) const;   // "H264" (or "mp4v") and "mjpeg" for the last channel
    HDR_T header() const;
    // Channel c's loop of encoded pictures, LoopFrames packets.
    const QVector<QByteArray> &videoLoop(int channel) const { return m_video.at(channel); }

    // The records of frame f: the index record when f starts a second, each selected channel's
    // video frame (split into parts when over 65,535 bytes), 40 ms of sound, and at the start of a
    // second the positions and any text event.
    QByteArray frameRecords(qint64 f, const QVector<bool> &selected) const;
    // A whole second: frameRecords of its 25 frames.
    QByteArray secondRecords(qint64 second, const QVector<bool> &selected) const;
    // An index record for second s (a live client joining in the middle of a second gets one).
    static QByteArray indexRecord(qint64 second);

private:
    QString encodeLoop(int channel);   // an error message, empty on success

    int m_channels;
    int m_jpegChannel;
    QSize m_size;
    QString m_mainCodec;
    QVector<QVector<QByteArray>> m_video;  // per channel, LoopFrames packets
    QByteArray m_audio;                    // LoopFrames × SamplesPerFrame / 2 bytes of IMA ADPCM
    QString m_error;
};

// A 4-bit IMA ADPCM encoder, the inverse of the decoder the library has for "ima1": high nibble
// first, state carried from call to call.
class ImaEncoder
{
public:
    QByteArray encode(const qint16 *samples, int count);

private:
    int m_predictor = 0;
    int m_index = 0;
};

} // namespace zvr3sim

#endif // SIMSOURCE_H
