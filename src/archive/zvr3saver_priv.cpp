#include "zvr3saver_priv.h"

#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3logging_p.h"
#include "zvr3metatype_p.h"

namespace {

enum State { Closed = 0, Open = 1, HeaderWritten = 2, IndexWritten = 3 };
enum Command { OpenFile = 2, CloseFile = 3 };

constexpr quint32 HeaderMagic = 0xB505B5B5;
constexpr quint32 IndexMagic = 0xB5B5B505;
constexpr int VideoStream = 1;
// The widths of the format's length fields: a data record's size is 16 bits, an index record's
// byte count 8 bits, and the two lengths of a stream header 16 bits each.
constexpr qsizetype MaxPayload = 0xFFFF;
constexpr qsizetype MaxIndexBytes = 0xFF;
constexpr qsizetype MaxHeaderLength = 0xFFFF;

void putU8(QByteArray &out, quint32 v)
{
    out.append(char(v & 0xFF));
}

void putU16(QByteArray &out, quint32 v)
{
    putU8(out, v);
    putU8(out, v >> 8);
}

void putU32(QByteArray &out, quint32 v)
{
    putU16(out, v & 0xFFFF);
    putU16(out, v >> 16);
}

// A text ends at its zero byte on the wire, so one that holds U+0000 is cut there.
void putText(QByteArray &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    const qsizetype zero = utf8.indexOf('\0');
    out.append(zero < 0 ? utf8 : utf8.left(zero));
    out.append('\0');
}

} // namespace

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
        if (state != Closed) {
            const HDR_T value = data.value<HDR_T>();
            if (writeHdr(value)) {
                header = value;
                state = HeaderWritten;
            }
        }
        return;
    }
    if (zvr3holds<IDX_T>(data)) {
        if (state == HeaderWritten || state == IndexWritten) {
            const IDX_T value = data.value<IDX_T>();
            if (writeIdx(value)) {
                index = value;
                state = IndexWritten;
            }
        }
        return;
    }
    if (zvr3holds<DATA_T>(data)) {
        if (state == IndexWritten)
            writeData(data.value<DATA_T>());
        return;
    }
}

bool zvr3saver_priv::writeHdr(const HDR_T &value)
{
    QByteArray streams;
    putText(streams, value.name);
    for (const STREAM_T &stream : value.streams) {
        putU8(streams, quint32(stream.number));
        putU8(streams, quint32(stream.type));
        putText(streams, stream.codec);
        putText(streams, stream.text2);
        putText(streams, stream.text3);
    }
    QByteArray params;
    for (const PARAM_T &param : value.params) {
        putU8(params, quint32(param.id));
        putText(params, param.text);
    }
    if (streams.size() + 8 > MaxHeaderLength || params.size() > MaxHeaderLength) {
        tooLarge();
        return false;
    }

    QByteArray out;
    out.reserve(8 + streams.size() + params.size());
    putU32(out, HeaderMagic);
    putU16(out, quint32(streams.size() + 8));
    putU16(out, quint32(params.size()));
    out.append(streams).append(params);
    file.write(out);
    return true;
}

bool zvr3saver_priv::writeIdx(const IDX_T &value)
{
    if (value.bytes.size() > MaxIndexBytes) {
        tooLarge();
        return false;
    }
    QByteArray out;
    out.reserve(13 + value.bytes.size());
    putU32(out, IndexMagic);
    putU32(out, quint32(value.time));
    putU32(out, 0);  // the index value is not kept
    putU8(out, quint32(value.bytes.size()));
    out.append(value.bytes);
    file.write(out);
    return true;
}

bool zvr3saver_priv::writeData(const DATA_T &record)
{
    if (record.data.size() > MaxPayload) {
        tooLarge();
        return false;
    }
    int type = 0;
    for (const STREAM_T &stream : std::as_const(header.streams)) {
        if (stream.number == int(record.stream)) {
            type = stream.type;
            break;
        }
    }
    // The layout follows the header this file holds, exactly as the parser will decide it when it
    // reads the file back. The marked flag (bit 5) is not kept. The format has no escape for
    // record starts that look like a magic word: a marked record of 0xB5B5 bytes, level 5, part 0,
    // on stream 0xB5 (B5 B5 25 B5) is written as B5 B5 05 B5 and reads back as a stream header,
    // just as the same unmarked record would in the recorder's own stream.
    const bool frameStart = type == VideoStream && (record.part & 2);

    QByteArray out;
    out.reserve(8 + record.data.size());
    putU16(out, quint32(record.data.size()));
    putU8(out, (quint32(int(record.level)) & 0x1F) | (record.part << 6));
    putU8(out, record.stream);
    if (frameStart) {
        // Milliseconds after the index time, in 16 bits: later times wrap around.
        putU16(out, quint32(record.time - qint64(index.time) * 1000));
        putU8(out, record.extra);
        putU8(out, 0);
    }
    out.append(record.data);
    file.write(out);
    return true;
}

void zvr3saver_priv::reset()
{
    file.close();
    state = Closed;
}

void zvr3saver_priv::tooLarge()
{
    emit sigData(zvr3value(zvr3error(-1, tr("Record too large for the archive file"), zvr3error::TooLarge)));
}
