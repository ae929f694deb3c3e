#include "id3parser.h"

#include "zvr3metatype_p.h"
#include "zvr3parser_buffer.h"
#include "zvr3stream_format_p.h"

using namespace zvr3format;

id3parser::id3parser() = default;
id3parser::~id3parser() = default;

void id3parser::parse()
{
    while (buffer->available() >= IndexFileEntrySize) {
        int pos = 0;
        ZVR_ID3_REC entry;
        entry.type = buffer->readU8(pos);
        entry.count = qMin<unsigned int>(buffer->readU8(pos), IndexFilePairs);
        pos += 1;  // not used
        const qint64 positionHigh = buffer->readU8(pos);
        entry.time = qint64(buffer->readU32(pos)) * 1000;
        entry.position = (positionHigh << 32) + buffer->readU32(pos);
        for (ZVR_ID3_REC::Pair &pair : entry.pairs) {
            pair.first = buffer->readU8(pos);
            pair.second = buffer->readU8(pos);
        }
        skip(IndexFileEntrySize, IndexFileEntry);
        emit sigData(zvr3value(entry));
    }
}
