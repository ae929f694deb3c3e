#ifndef ZVR3DECODER_H
#define ZVR3DECODER_H

#include <memory>

#include "zvr3base.h"
#include "zvr3decoder_counters.h"
#include "zvr3lib_export.h"

class zvr3decoder_priv;
struct zvr3decoder_priv_counts;
struct zvr3decoder_priv_outbox;

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
         a record that gives no picture is not emitted. Each image is the application's own: its
         memory is written again, for a later picture, only once every copy of it is gone
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

    \section1 Keeping up

    By default nothing is dropped: records wait for the worker thread however many there are, and
    a decoder that cannot keep up falls further and further behind. With a queue limit
    (setQueueLimit(), the \c queueLimit property) at most that many records wait; the one being
    decoded is not among them. A record that arrives at a full queue makes room:

    \list
    \li video drops the oldest waiting frame and every waiting frame after it up to the next key
        frame. When no key frame waits, the arriving frames are dropped too until one arrives.
        Decoding goes on at that key frame, with the codec flushed first, so no picture is decoded
        from a frame whose reference was dropped and no damaged picture is emitted. Key frames are
        read from the bitstream: for "H264" (Annex B) a frame with an SPS or an IDR slice, for
        "mp4v" one whose first VOP is intra-coded, for "mjpeg" every frame;
    \li sound, texts, positions and undecoded streams drop the oldest waiting record. A sentence
        of positions cut by the drop is not completed with the text after it.
    \endlist

    counters() tells how many records were decoded, dropped and are waiting.
*/
class ZVR3LIB_EXPORT zvr3decoder : public zvr3base
{
    Q_OBJECT
    /*! The most records that wait for decoding; 0, the default, for no limit. */
    Q_PROPERTY(int queueLimit READ queueLimit WRITE setQueueLimit)
public:
    /*! A node that decodes the stream numbered \a stream. */
    explicit zvr3decoder(int stream);
    ~zvr3decoder() override;

    /*! The most records that wait for decoding at a time; 0 for no limit. */
    int queueLimit() const;
    /*!
        Limits the queue of records waiting for decoding to \a limit records; 0 (the default) or
        less: no limit. Applies to the current decoder and to those that later headers make, from
        the next record on.
    */
    void setQueueLimit(int limit);

    /*!
        What the node has done with its stream's records so far: decoded, dropped (at a full queue,
        or still waiting when a new header or the node's end discarded them) and waiting now. Safe
        to call from any thread at any time; each count is exact when read, and the three are read
        one after the other while the worker may go on.
    */
    zvr3decoder_counters counters() const;

public Q_SLOTS:
    void slotData(const QVariant &data) override;

private:
    // On the node's thread: emits the items that the workers have put out so far. Invokable so
    // that the workers can queue it through the meta-object system: the queued call is then made
    // and freed inside Qt, whose locking the thread checker sees as one.
    Q_INVOKABLE void deliver();
    void queueDelivery();

    const int m_stream;
    zvr3decoder_priv *m_priv = nullptr;
    int m_queueLimit = 0;
    const std::shared_ptr<zvr3decoder_priv_counts> m_counts;
    const std::unique_ptr<zvr3decoder_priv_outbox> m_outbox;
    Q_DISABLE_COPY(zvr3decoder)
};

#endif // ZVR3DECODER_H
