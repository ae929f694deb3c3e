#ifndef ZVR3RECORDS_H
#define ZVR3RECORDS_H

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QVector>

/*!
    \file zvr3records.h
    \brief The records of a recorder's archive stream, as zvr3parser emits them and zvr3saver takes them.

    On the wire the stream is a sequence of four kinds of record, all little-endian and unpadded:

    \list
    \li a stream header (magic B5 B5 05 B5): the header name, the stream table and a parameter table
        (HDR_T);
    \li a chunk header (magic 05 E5 E5 E5), 20 bytes (ARCHIVE_T_HDR);
    \li an index record (magic 05 B5 B5 B5): the recorder time in seconds that the data records
        after it are timed from (IDX_T);
    \li a data record, without magic: a 4-byte header (size, flags, stream number) and the payload; a
        video frame start has 4 more bytes (milliseconds after the index time, the extra byte, and a
        zero byte) (DATA_T).
    \endlist

    Times are the recorder's: its clock runs on the local wall-clock time of its zone, and counts
    from 1970-01-01 00:00 as if that local time were UTC. An IDX_T's \c time is in seconds, a
    DATA_T's (and a whole frame's) \c time in milliseconds (index seconds × 1000, plus the
    milliseconds a video frame start carries). zvr3tz converts them: toGMT() of the seconds gives
    UTC, toLocal() of a UTC time gives the recorder's seconds.

    Streams and channels: the stream header lists the recording's streams, and every data record
    names its stream by STREAM_T::number. A video stream (type 1) is numbered by its channel:
    stream N is the picture of channel N, the channel that channel requests and snapshots name.
    Sound (type 2) and text or position streams (type 4) belong to no channel by their number; the
    library gives STREAM_T::text2 no meaning, but recorders put a name of the stream there (the
    recorder simulator: "Channel 0", "Microphone", "Events", "GPS"), the one hint which camera or
    device such a stream belongs to.
*/

//! One entry of a stream header's stream table.
struct STREAM_T
{
    int number = 0;   //!< stream number; data records name their stream by it
    int type = 0;     //!< 1 video, 2 audio, 4 text data; anything else is passed on undecoded
    QString codec;    //!< the coding of the stream's data ("H264", "mjpeg", "mp4v", "ima1", "text", "nmea", ...)
    QString text2;    //!< carried unread; recorders name the stream here, such as "Microphone"
    QString text3;    //!< options of the stream, such as "-rate=8000"
};
Q_DECLARE_METATYPE(STREAM_T)

//! One entry of a stream header's parameter table, and one numbered text of an event record.
struct PARAM_T
{
    int id = 0;
    QString text;
};
Q_DECLARE_METATYPE(PARAM_T)

//! A stream header.
struct HDR_T
{
    unsigned int streams_end = 0;  //!< offset of the end of the stream table, as read (the writer recomputes it)
    unsigned int params_size = 0;  //!< length of the parameter table, as read (the writer recomputes it)
    QString name;
    QVector<STREAM_T> streams;     //!< in wire order
    QVector<PARAM_T> params;       //!< in wire order
};
Q_DECLARE_METATYPE(HDR_T)

//! A chunk header; the network archive sends \c ref_high and \c ref_low back when it asks for an index.
struct ARCHIVE_T_HDR
{
    unsigned int ref_high = 0;
    unsigned int ref_low = 0;
    quint64 value64 = 0;           //!< a 32-bit wire value, widened
    unsigned int value32 = 0;
};
Q_DECLARE_METATYPE(ARCHIVE_T_HDR)

//! An index record: the time base of the data records that follow it.
struct IDX_T
{
    quint64 time = 0;              //!< seconds on the recorder's clock (its local wall-clock time)
    unsigned int value = 0;
    QByteArray bytes;              //!< 0 to 255 opaque bytes, carried unchanged
};
Q_DECLARE_METATYPE(IDX_T)

//! A data record as it was sent: one part of a frame, or a whole one.
struct DATA_T
{
    unsigned int size = 0;         //!< payload length (for a combined frame: the sum over its parts)
    signed char level = 0;         //!< flags bits 0 to 4 (0 to 31)
    bool marked = false;           //!< flags bit 5
    unsigned int part = 0;         //!< 0 middle, 1 last, 2 first part of a frame, 3 a whole frame
    unsigned int stream = 0;       //!< stream number
    qint64 time = 0;               //!< milliseconds on the recorder's clock (its local wall-clock time)
    unsigned int extra = 0;        //!< the extra byte of a video frame start, else 0
    QByteArray data;               //!< payload
};
Q_DECLARE_METATYPE(DATA_T)

/*!
    A whole frame: a data record with part 3, or the parts 2, 0..., 1 of one stream put together. It
    has the fields of DATA_T but is a type of its own, so that a consumer tells a whole frame from a
    single record by the variant's type alone.
*/
struct zvr3parser_combined_DATA_T : DATA_T
{
    zvr3parser_combined_DATA_T() = default;
    explicit zvr3parser_combined_DATA_T(const DATA_T &record)
        : DATA_T(record)
    {
    }
};
Q_DECLARE_METATYPE(zvr3parser_combined_DATA_T)

/*!
    Where in the byte stream a record lay. A parser emits one right before each record it emits.

    \c type: 1 stream header, 2 chunk header, 3 index record, 4 data record, 5 index file entry,
    6 event file record, 7 bytes skipped while looking for a stream header (length may be 0).
*/
struct zvr3parser_position
{
    int type = 0;
    qint64 position = 0;           //!< offset of the record's first byte since the parser's last reset
    int length = 0;                //!< bytes the record took
};
Q_DECLARE_METATYPE(zvr3parser_position)

#endif // ZVR3RECORDS_H
