#ifndef ZVR3PARSER_H
#define ZVR3PARSER_H

#include "zvr3parserbase.h"
#include "zvr3records.h"

struct zvr3parser_private;

/*!
    \class zvr3parser
    \brief Turns a recorder's archive stream, in byte chunks of any size, into records.

    Accepts QByteArray chunks on slotData(). Emits on sigData(), for each record in stream order, a
    zvr3parser_position and then the record:

    \table
    \header \li record \li position type \li then emitted
    \row \li bytes before a stream header \li 7 \li nothing more
    \row \li stream header \li 1 \li HDR_T
    \row \li chunk header \li 2 \li ARCHIVE_T_HDR
    \row \li index record \li 3 \li IDX_T
    \row \li data record \li 4 \li DATA_T, then a zvr3parser_combined_DATA_T when a frame is whole
    \endtable

    The parser looks for a stream header first, skipping whatever precedes it. After the header it
    expects chunk headers and index records; after an index record it reads data records until the
    next magic word. Anything that breaks this structure sends it back to looking for a stream header.

    Each data record gets a time in milliseconds: the last index record's time × 1000, or, for a
    video frame start, that plus the milliseconds the record carries (and later records take that
    time). Frames sent in parts (first, middle..., last) are put together per stream and emitted
    whole as a zvr3parser_combined_DATA_T with the first part's fields; a frame in one record (part 3)
    is emitted as a whole frame at once. An index record drops frames not finished before it.

    Damaged bytes are skipped or read as data, without a report. The one error the parser reports is
    a frame that grows past 64 MiB while it is put together: no recorder sends such frames, and
    gathering one would cost that much memory. The frame is dropped at once (its parts are still
    emitted as DATA_T, but no zvr3parser_combined_DATA_T comes for it), a zvr3error with code -1
    and the text "Frame of stream N too large, dropped" is emitted right after the record that
    made it too large, droppedFrames() counts it, and parsing goes on with the next frame.
*/
class ZVR3LIB_EXPORT zvr3parser : public zvr3parserbase
{
    Q_OBJECT
public:
    zvr3parser();
    ~zvr3parser() override;

    /*! The number of frames dropped for being too large since the parser was made; reset()
        leaves it as it is. */
    qint64 droppedFrames() const;

protected:
    void parse() override;
    void resetStreamState() override;

    bool parse_hdr();
    bool parse_idx();
    bool parse_data();
    /*! The type of the stream numbered \a number in the last header; 0 when it has none. */
    int stream_type(int number);

    HDR_T header;     //!< the last stream header read
    IDX_T index;      //!< the last index record read
    qint64 time = 0;  //!< current time in milliseconds

private:
    // Takes the record's parts into the frames being put together; may take its payload.
    void combine(DATA_T &record);
    void keepForReuse(QByteArray &frame);
    void dropFrame(int stream);

    friend struct zvr3parser_private;
    zvr3parser_private *const d;  //!< what is kept of the stream beside the buffered bytes
};

#endif // ZVR3PARSER_H
