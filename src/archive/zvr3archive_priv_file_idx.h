// Internal header of zvr3lib, not installed.
#ifndef ZVR3ARCHIVE_PRIV_FILE_IDX_H
#define ZVR3ARCHIVE_PRIV_FILE_IDX_H

#include <QList>
#include <QObject>
#include <QVariant>

#include "id3parser.h"

// Collects the seek list of an archive file from what a zvr3parser emits: one ZVR_ID3_REC per index
// record, at the offset the parser reported for it just before.
class zvr3archive_priv_file_idx : public QObject
{
    Q_OBJECT
public:
    QList<ZVR_ID3_REC> list;  //!< the seek list, in file order
    qint64 last = 0;          //!< the offset of the last record the parser reported

public Q_SLOTS:
    void slotData(const QVariant &v);
};

#endif // ZVR3ARCHIVE_PRIV_FILE_IDX_H
