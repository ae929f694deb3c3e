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
    // A parser fed from one of its own receivers reports in values of their own; otherwise the
    // value is reused while no receiver keeps the last one.
    if (depth > 1) {
        emit sigData(zvr3value(zvr3parser_position{type, position, length}));
        return;
    }
    if (!positionValue.isDetached())
        positionValue = zvr3value(zvr3parser_position());
    // Field by field: a position made whole on the stack and copied in at once would be read back
    // before its parts have been written, which stalls the processor on every record.
    auto *held = static_cast<zvr3parser_position *>(const_cast<void *>(positionValue.constData()));
    held->type = type;
    held->position = position;
    held->length = length;
    emit sigData(positionValue);
}
