#include "zvr3archive_priv_file_idx.h"

#include "zvr3metatype_p.h"
#include "zvr3records.h"

void zvr3archive_priv_file_idx::slotData(const QVariant &v)
{
    if (zvr3holds<ZVR_ID3_REC>(v)) {
        list.append(v.value<ZVR_ID3_REC>());
    } else if (zvr3holds<zvr3parser_position>(v)) {
        last = v.value<zvr3parser_position>().position;
    } else if (zvr3holds<IDX_T>(v)) {
        // The parser reports where a record starts right before the record, so last is the offset
        // of this index record: the place to start reading to play from its time.
        ZVR_ID3_REC entry;
        entry.position = last;
        entry.time = qint64(v.value<IDX_T>().time) * 1000;
        list.append(entry);
    }
}
