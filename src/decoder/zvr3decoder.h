#ifndef ZVR3DECODER_H
#define ZVR3DECODER_H

#include "zvr3base.h"
#include "zvr3lib_export.h"

class zvr3decoder_priv;

/*!
    \class zvr3decoder
    \brief Decodes one stream of a recording into pictures, sound, texts or positions.

    Stands behind a zvr3parser and is made for one stream number (a video stream's number is its
    channel's). slotData() takes:

    \list
    \li HDR_T: the stream's entry in the header (the first one with the node's stream number)
        chooses a decoder by the stream's type and codec name; every header, also one equal to the
        last, starts a fresh decoder. A header without an entry for the stream leaves the node
        without one, and data is dropped until the next header.
    \li zvr3parser_combined_DATA_T of the node's stream: queued for decoding on the decoder's own
        worker thread. The call never waits for decoding.
    \li everything else (IDX_T, plain DATA_T, records of other streams, ...) is ignored.
    \endlist

    sigData() emits a zvr3item per decoded record, on the node's thread, in the order of the
    records. The item carries the stream entry, the record's time and extra byte, its level as a
    percentage (level × 100 / 31), a duration of 40 ms, the payload in \c data and the result in
    \c value:

    \table
    \header \li type \li codec \li value
    \row \li 1 \li "H264", "mp4v", "mjpeg" \li a QImage, Format_ARGB32, of the picture's size;
         a record that gives no picture is not emitted
    \row \li 2 \li "ima1" \li a zvr3sound_buffer of 16-bit PCM; records of 0 or 1 byte are not
         emitted, a 2-byte record is a stretch of silence
    \row \li 4 \li "text", "text-utf8", "text-utf-8", "text-none" \li a QString, the payload up to
         its first zero byte read as UTF-8
    \row \li 4 \li "text-koi8", "text-koi8r" \li a QString, the whole payload read as KOI8-R
    \row \li 4 \li "nmea" \li a zvr3position_info, the position after the record's sentences
    \row \li other \li \li empty: the payload passes on undecoded
    \endtable

    Codec names are compared case-sensitively. Decoders report no errors: an undecodable record
    gives no item (video, sound) or an item with the state as it was (positions).

    Destroying the node stops its decoders' worker threads; records still queued are discarded.
*/
class ZVR3LIB_EXPORT zvr3decoder : public zvr3base
{
    Q_OBJECT
public:
    /*! A node that decodes the stream numbered \a stream. */
    explicit zvr3decoder(int stream);
    ~zvr3decoder() override;

public Q_SLOTS:
    void slotData(const QVariant &data) override;

private:
    const int m_stream;
    zvr3decoder_priv *m_priv = nullptr;
    Q_DISABLE_COPY(zvr3decoder)
};

#endif // ZVR3DECODER_H
