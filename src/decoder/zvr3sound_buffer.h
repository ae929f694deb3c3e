#ifndef ZVR3SOUND_BUFFER_H
#define ZVR3SOUND_BUFFER_H

#include <QByteArray>
#include <QMetaType>

/*!
    \class zvr3sound_buffer
    \brief Decoded sound: the \c value of a zvr3item from an IMA ADPCM stream.

    \c data holds signed 16-bit samples, little-endian, in time order. \c rate is the stream's sample
    rate in samples per second, taken from the "-rate=" clause of the stream's option text; it is 0
    while the stream has not named one.
*/
struct zvr3sound_buffer
{
    int rate = 0;      //!< samples per second; 0 when the stream gives none
    int channels = 1;  //!< always 1
    QByteArray data;   //!< 16-bit little-endian PCM
};
Q_DECLARE_METATYPE(zvr3sound_buffer)

#endif // ZVR3SOUND_BUFFER_H
