#ifndef EVTPARSER_H
#define EVTPARSER_H

#include <QMetaType>
#include <QVector>

#include "zvr3parserbase.h"
#include "zvr3records.h"

/*!
    One event record: a list of short numbered texts stamped with a time.

    On the wire: the time in seconds (4), \c number (4), the number of entries n (1), then n entries
    of an id byte and a UTF-8 text ended by a zero byte. There is no magic word and no length field.
*/
struct EVENTS_FILE_DATA_T
{
    qint64 time = 0;           //!< milliseconds on the recorder's clock (its local wall-clock time)
    unsigned int number = 0;
    QVector<PARAM_T> texts;    //!< the entries in wire order
};
Q_DECLARE_METATYPE(EVENTS_FILE_DATA_T)

/*!
    A list of events in the order the recorder or the archive file gave them, as zvr3events and
    zvr3archive emit it. A type of its own, so that receivers recognise it by the variant's type.
*/
struct EVENTS_FILE_LIST_T : QVector<EVENTS_FILE_DATA_T>
{
    using QVector<EVENTS_FILE_DATA_T>::QVector;
};
Q_DECLARE_METATYPE(EVENTS_FILE_LIST_T)

/*!
    \class evtparser
    \brief Reads an event file into EVENTS_FILE_DATA_T records.

    Accepts QByteArray chunks on slotData(). For each complete record it emits a zvr3parser_position
    of type 6 and then the EVENTS_FILE_DATA_T. A record is complete when all its fixed fields and
    every text up to its zero byte have arrived; until then it waits for more bytes and is read
    again from its start. Values are not checked.
*/
class ZVR3LIB_EXPORT evtparser : public zvr3parserbase
{
    Q_OBJECT
public:
    evtparser();
    ~evtparser() override;

protected:
    void parse() override;

private:
    bool parse_event();
};

#endif // EVTPARSER_H
