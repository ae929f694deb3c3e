#include "zvr3parserbase.h"

#include <QScopeGuard>

#include "zvr3metatype_p.h"
#include "zvr3parser_buffer.h"
#include "zvr3records.h"

zvr3parserbase::zvr3parserbase()
    : buffer(new zvr3parser_buffer)
    , positionValue(zvr3value(zvr3parser_position()))
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
    resetStreamState();
}

void zvr3parserbase::resetStreamState()
{
}

void zvr3parserbase::slotData(const QVariant &data)
{
    if (data.typeId() != QMetaType::QByteArray)
        return;
    ++depth;
    const auto done = qScopeGuard([this] { --depth; });
    // Read the chunk in place: no copy of the array handle, which costs two atomic operations a chunk.
    buffer->appendStitched(*static_cast<const QByteArray *>(data.constData()));
    parse();
    if (buffer->stitched()) {
        // The parse stopped short of the chunk's bytes that were not copied: a wait for more
        // bytes, which emits nothing, so going on with the whole chunk emits what it would have.
        buffer->unstitch();
        parse();
    }
    // The parse may have let a receiver reset the parser, which replaces the buffer.
    buffer->letGoOfRawData();
}

void zvr3parserbase::skip(int length, int type)
{
    // The record is consumed before the report goes out, so a receiver that feeds or resets the
    // parser from its slot finds it in a consistent state.
    const qint64 position = buffer->position();
    buffer->advance(length);
    report(position, length, type);
}

void zvr3parserbase::report(qint64 position, int length, int type)
{
    emitReusing(positionValue, zvr3parser_position{type, position, length});
}
