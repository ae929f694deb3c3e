#include "evtparser.h"

#include "zvr3metatype_p.h"
#include "zvr3parser_buffer.h"
#include "zvr3stream_format_p.h"

using zvr3format::EventFileRecord;

evtparser::evtparser() = default;
evtparser::~evtparser() = default;

void evtparser::parse()
{
    while (parse_event()) {
    }
}

bool evtparser::parse_event()
{
    int pos = 0;
    EVENTS_FILE_DATA_T event;
    event.time = qint64(buffer->readU32(pos)) * 1000;
    event.number = buffer->readU32(pos);
    const int n = buffer->readU8(pos);
    if (buffer->available() < pos)
        return false;
    event.texts.reserve(n);
    for (int i = 0; i < n; ++i) {
        PARAM_T entry;
        entry.id = buffer->readU8(pos);
        // A text whose zero byte has not arrived yet leaves the whole record for the next chunk,
        // rather than being read as an empty text.
        if (!buffer->hasString(pos))
            return false;
        entry.text = buffer->readString(pos);
        event.texts.append(entry);
    }
    if (buffer->available() < pos)
        return false;
    skip(pos, EventFileRecord);
    emit sigData(zvr3value(event));
    return true;
}
