#ifndef ZVR3TESTVIDEO_H
#define ZVR3TESTVIDEO_H

#include <QByteArray>
#include <QImage>
#include <QList>

// Real compressed video for the decoder tests, made with FFmpeg's own encoders.
namespace zvr3testvideo {

struct Encoded
{
    QList<QByteArray> packets;  // one per picture, in order
    QList<bool> keys;           // the encoder's key flag of each packet
    QList<QImage> sources;      // the pictures that were encoded, Format_RGB888
};

// A smooth pattern that moves with the frame number and survives lossy coding well.
QImage pattern(int w, int h, int frame);

// Encodes frames pictures of the pattern with the named FFmpeg encoder ("mpeg4", "mjpeg",
// "libx264"), without B-frames or encoder delay; empty when the encoder is missing.
Encoded encode(const char *encoderName, int w, int h, int frames);

// Peak signal-to-noise ratio in dB of a decoded picture against its source, over R, G and B.
double psnr(const QImage &decoded, const QImage &source);

} // namespace zvr3testvideo

#endif // ZVR3TESTVIDEO_H
