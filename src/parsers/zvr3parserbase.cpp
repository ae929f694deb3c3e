#include "zvr3parserbase.h"

#include "zvr3metatype_p.h"
#include "zvr3parser_buffer.h"

zvr3parserbase::zvr3parserbase()
    : buffer(new zvr3parser_buffer)
{
}

zvr3parserbase::~zvr3parserbase()
{
    delete buffer;
}

void zvr3parserbase::reset()
{
    state = 0;
    delete buffer;
    buffer = new zvr3parser_buffer;
}

void zvr3parserbase::slotData(const QVariant &data)
{
    if (data.typeId() != QMetaType::QByteArray)
        return;
    buffer->append(data.toByteArray());
    parse();
}

void zvr3parserbase::skip(int length, int type)
{
    // The record is consumed before the report goes out, so a receiver that feeds or resets the
    // parser from its slot finds it in a consistent state.
    const zvr3parser_position where{type, buffer->position(), length};
    buffer->advance(length);
    emit sigData(zvr3value(where));
}
