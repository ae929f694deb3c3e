// Internal header of zvr3lib, not installed.
#ifndef ZVR3ARCHIVE_PRIV_FILE_EVT_H
#define ZVR3ARCHIVE_PRIV_FILE_EVT_H

#include <QObject>
#include <QVariant>

#include "evtparser.h"
#include "zvr3records.h"

// Collects the text events of an archive file from what a zvr3parser emits. The texts of the text
// stream frames that follow one index record make one event stamped with that record's time; the
// event is complete when the next index record or the end command (code 3) arrives.
class zvr3archive_priv_file_evt : public QObject
{
    Q_OBJECT
public:
    EVENTS_FILE_LIST_T list;     //!< the events, in file order
    HDR_T header;                //!< the last stream header
    IDX_T index;                 //!< the last index record
    int counter = 0;             //!< events are numbered counter + 1: 1, 3, 5, ...
    EVENTS_FILE_DATA_T pending;  //!< the event being gathered

public Q_SLOTS:
    void slotData(const QVariant &v);

private:
    void flush();
};

#endif // ZVR3ARCHIVE_PRIV_FILE_EVT_H
