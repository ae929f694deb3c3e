#include "zvr3archive_priv_file_evt.h"

#include "zvr3command.h"
#include "zvr3metatype_p.h"
#include "zvr3stream_format_p.h"

namespace {
constexpr int EndOfData = 3;
}

void zvr3archive_priv_file_evt::slotData(const QVariant &v)
{
    if (zvr3holds<EVENTS_FILE_DATA_T>(v)) {
        list.append(v.value<EVENTS_FILE_DATA_T>());
    } else if (zvr3holds<HDR_T>(v)) {
        header = v.value<HDR_T>();
    } else if (zvr3holds<IDX_T>(v)) {
        index = v.value<IDX_T>();
        flush();
        pending.number = unsigned(counter + 1);
        counter += 2;
        pending.time = qint64(index.time) * 1000;
    } else if (zvr3holds<zvr3parser_combined_DATA_T>(v)) {
        const zvr3parser_combined_DATA_T frame = v.value<zvr3parser_combined_DATA_T>();
        if (zvr3format::streamType(header, int(frame.stream)) != zvr3format::Text)
            return;
        const qsizetype zero = frame.data.indexOf('\0');
        PARAM_T text;
        text.id = int(frame.stream);
        text.text = QString::fromUtf8(zero < 0 ? frame.data : frame.data.left(zero));
        pending.texts.append(text);
    } else if (zvr3holds<zvr3command>(v)) {
        if (v.value<zvr3command>().code == EndOfData)
            flush();
    }
}

void zvr3archive_priv_file_evt::flush()
{
    if (pending.texts.isEmpty())
        return;
    list.append(pending);
    pending.texts.clear();
}
