#include "zvr3saver_priv.h"

#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3logging_p.h"
#include "zvr3metatype_p.h"
#include "zvr3stream_encode_p.h"
#include "zvr3stream_format_p.h"

using namespace zvr3format;

namespace {
enum State { Closed = 0, Open = 1, HeaderWritten = 2, IndexWritten = 3 };
enum Command { OpenFile = 2, CloseFile = 3 };
}

zvr3saver_priv::zvr3saver_priv() = default;

zvr3saver_priv::~zvr3saver_priv()
{
    if (file.isOpen()) {
        file.flush();
        file.close();
    }
}

void zvr3saver_priv::slotData(const QVariant &data)
{
    if (zvr3holds<zvr3command>(data)) {
        const zvr3command command = data.value<zvr3command>();
        if (command.code == OpenFile) {
            slotData(zvr3value(zvr3command(CloseFile)));
            url = command.data.toUrl();
            file.setFileName(url.toLocalFile());
            if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                state = Open;
            } else {
                const QString text = tr("Can't open file \"%1\". %2 (%3)")
                                         .arg(file.fileName(), file.errorString(), QString::number(int(file.error())));
                qCDebug(lcZvr3Archive, "saver: %s", qUtf8Printable(text));
                emit sigData(zvr3value(zvr3error(-1, text, zvr3error::FileError)));
            }
        } else if (command.code == CloseFile) {
            if (state != Closed) {
                file.flush();
                file.close();
                state = Closed;
            }
        }
        return;
    }
    if (zvr3holds<HDR_T>(data)) {
        if (state != Closed && writeHdr(data.value<HDR_T>()))
            state = HeaderWritten;
    } else if (zvr3holds<IDX_T>(data)) {
        if ((state == HeaderWritten || state == IndexWritten) && writeIdx(data.value<IDX_T>()))
            state = IndexWritten;
    } else if (zvr3holds<DATA_T>(data)) {
        if (state == IndexWritten)
            writeData(data.value<DATA_T>());
    }
}

bool zvr3saver_priv::writeHdr(const HDR_T &value)
{
    bool fits = false;
    const QByteArray out = encodeHeader(value, &fits);
    if (!fits)
        return tooLarge();
    file.write(out);
    header = value;
    return true;
}

bool zvr3saver_priv::writeIdx(const IDX_T &value)
{
    if (value.bytes.size() > MaxIndexBytes)
        return tooLarge();
    file.write(encodeIndex(value.time, 0, value.bytes));  // the index value is not kept
    index = value;
    return true;
}

bool zvr3saver_priv::writeData(const DATA_T &record)
{
    if (record.data.size() > MaxPayload)
        return tooLarge();
    // The layout follows the header this file holds, exactly as the parser will decide it when it
    // reads the file back. The marked flag (bit 5) is not kept. The format has no escape for
    // record starts that look like a magic word: a marked record of 0xB5B5 bytes, level 5, part 0,
    // on stream 0xB5 (B5 B5 25 B5) is written as B5 B5 05 B5 and reads back as a stream header,
    // just as the same unmarked record would in the recorder's own stream.
    file.write(encodeData(record, isFrameStart(header, record), index.time, DropMark));
    return true;
}

void zvr3saver_priv::reset()
{
    file.close();
    state = Closed;
}

bool zvr3saver_priv::tooLarge()
{
    emit sigData(zvr3value(zvr3error(-1, tr("Record too large for the archive file"), zvr3error::TooLarge)));
    return false;
}
