#ifndef ZVR3PARSERBASE_H
#define ZVR3PARSERBASE_H

#include "zvr3base.h"

class zvr3parser_buffer;

/*!
    \class zvr3parserbase
    \brief The common base of the byte-stream parsers zvr3parser, id3parser and evtparser.

    slotData() accepts QByteArray chunks of any size and ignores every other value. The parser keeps
    the bytes it has not used yet and, after each chunk, emits every record that is complete. A
    record cut by a chunk boundary is read when the rest of it arrives, so the records, their
    positions and their order do not depend on how the bytes were chunked.

    A chunk may be a QByteArray::fromRawData() view of the caller's memory: the parser copies what it
    keeps of it before slotData() returns, so the caller may reuse that memory at once. Nothing the
    parser emits refers to such memory.

    Right before each record the parser emits a zvr3parser_position telling where in the byte stream
    the record lay (its offset from the first byte received since the last reset()) and how many
    bytes it took.
*/
class ZVR3LIB_EXPORT zvr3parserbase : public zvr3base
{
    Q_OBJECT
public:
    zvr3parserbase();
    ~zvr3parserbase() override;

    /*! Forgets the unconsumed bytes and any frames being put together; the next byte received has
        position 0 again. */
    void reset();

public Q_SLOTS:
    void slotData(const QVariant &data) override;

protected:
    /*! Consumes every complete record in the buffer, emitting what it finds. */
    virtual void parse() = 0;

    /*! Consumes \a length bytes as one record and reports it as a zvr3parser_position of \a type,
        at the stream position of the record's first byte. */
    void skip(int length, int type);
    /*! Reports a record of \a type and \a length at stream \a position, consuming nothing. */
    void report(qint64 position, int length, int type);
    /*! Called by reset() once the buffer has been replaced: a subclass that keeps something of the
        stream beside the buffered bytes drops it here. Does nothing by default. */
    virtual void resetStreamState();

    /*! \internal Emits \a value as a T (a type derived from V, or V) on sigData() in \a slot, a
        value of type T kept for such emissions (made with zvr3value(T()) and holding nothing
        else): when no receiver kept the last one, its storage takes \a value in place of a new
        allocation. The value is moved in and, once the receivers have returned, back out into
        \a value: the emission costs no copy of the value's members. A value a receiver holds is
        never written again, and emissions of a parser fed from one of its own receivers use
        values of their own. */
    template <typename T, typename V>
    void emitMoving(QVariant &slot, V &value)
    {
        if (depth > 1) {
            T copy;
            static_cast<V &>(copy) = value;
            emit sigData(zvr3value(copy));
            return;
        }
        if (!slot.isDetached())
            slot = zvr3value(T());  // a receiver keeps the last one
        V &held = *static_cast<T *>(const_cast<void *>(slot.constData()));
        held = std::move(value);
        emit sigData(slot);
        if (slot.isDetached())
            value = std::move(held);
        else
            value = held;  // a receiver keeps the value: it stays as it went out
    }

    int state = 0;                         //!< free for the subclass; 0 after construction and reset()
    zvr3parser_buffer *buffer = nullptr;   //!< owned

private:
    int depth = 0;                         // slotData() calls in progress on this parser
    QVariant positionValue;                // the value report() emits, reused

    Q_DISABLE_COPY(zvr3parserbase)
};

#endif // ZVR3PARSERBASE_H
