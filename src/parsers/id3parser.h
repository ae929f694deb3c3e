#ifndef ID3PARSER_H
#define ID3PARSER_H

#include <QMetaType>

#include "zvr3parserbase.h"

/*!
    One entry of an index file: a time tied to a byte position in an archive file.

    On disk an entry is 24 bytes: type (1), count (1), an unused byte, bits 32 to 39 of the position
    (1), the time in seconds (4), bits 0 to 31 of the position (4), and six pairs of bytes (12).
*/
struct ZVR_ID3_REC
{
    struct Pair
    {
        unsigned int first = 0;
        unsigned int second = 0;
    };

    unsigned int type = 0;
    unsigned int count = 0;    //!< number of valid pairs, at most 6
    qint64 position = 0;       //!< byte offset in the archive file (40 bits)
    qint64 time = 0;           //!< milliseconds on the recorder's clock (its local wall-clock time)
    Pair pairs[6];             //!< all six as stored, whatever count says
};
Q_DECLARE_METATYPE(ZVR_ID3_REC)

/*!
    \class id3parser
    \brief Reads an index file into ZVR_ID3_REC records.

    Accepts QByteArray chunks on slotData(). Every 24 bytes make one entry: the parser emits a
    zvr3parser_position of type 5 and then the ZVR_ID3_REC, as soon as the entry's last byte has
    arrived. Values are not checked; bytes short of a whole entry wait for the next chunk.
*/
class ZVR3LIB_EXPORT id3parser : public zvr3parserbase
{
    Q_OBJECT
public:
    id3parser();
    ~id3parser() override;

protected:
    void parse() override;
};

#endif // ID3PARSER_H
