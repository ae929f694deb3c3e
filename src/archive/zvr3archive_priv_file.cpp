#include "zvr3archive_priv_file.h"

#include <QFile>

#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3logging_p.h"
#include "zvr3metatype_p.h"
#include "zvr3parser.h"

zvr3archive_priv_file::zvr3archive_priv_file() = default;
zvr3archive_priv_file::~zvr3archive_priv_file() = default;

void zvr3archive_priv_file::start()
{
    if (!scan(url))
        return;
    // What the scan found leaves once the file has been read: the seek entries in file order, then
    // the events. Copies are emitted, so a receiver that reopens the node (and has this reader
    // deleted later) does not pull the lists from under the loop.
    const QList<ZVR_ID3_REC> entries = idx.list;
    for (const ZVR_ID3_REC &entry : entries)
        emit sigData(zvr3value(entry));
    emit sigData(zvr3value(evt.list));
}

void zvr3archive_priv_file::open(const QUrl &url)
{
    scan(url);
}

bool zvr3archive_priv_file::scan(const QUrl &url)
{
    QFile file(url.toLocalFile());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        const QString text = tr("Can't open file \"%1\". %2 (%3)")
                                 .arg(file.fileName(), file.errorString(), QString::number(int(file.error())));
        qCDebug(lcZvr3Archive, "archive: %s", qUtf8Printable(text));
        emit sigData(zvr3value(zvr3error(-1, text, zvr3error::FileError)));
        return false;
    }

    // The parser lives for this scan only; every record reaches the index collector first and the
    // event collector second, synchronously.
    zvr3parser parser;
    connect(&parser, &zvr3base::sigData, &idx, &zvr3archive_priv_file_idx::slotData);
    connect(&parser, &zvr3base::sigData, &evt, &zvr3archive_priv_file_evt::slotData);
    // The file is read in large blocks straight into one array, without QFile's buffer, and each
    // block is handed to the parser in ChunkSize pieces that refer to it: no allocation or copy per
    // piece, and the memory is the same however large the file. The parser copies what it keeps of
    // such a piece before slotData() returns, so the block can be read into again. The pieces are
    // those the scan has always handed over, whatever the block size: a damaged stream header is
    // read as far as its bytes have arrived, so where the pieces end can change what it gives.
    QByteArray block(ReadSize, Qt::Uninitialized);
    for (bool end = false; !end;) {
        qint64 filled = 0;
        while (filled < ReadSize) {
            const qint64 got = file.read(block.data() + filled, ReadSize - filled);
            if (got <= 0) {
                end = true;  // the end of the file, or a read error: keep what was read so far
                break;
            }
            filled += got;
        }
        for (qint64 at = 0; at < filled; at += ChunkSize)
            parser.slotData(QVariant(QByteArray::fromRawData(block.constData() + at, qMin(ChunkSize, filled - at))));
    }
    const QVariant end = zvr3value(zvr3command(3));
    idx.slotData(end);
    evt.slotData(end);
    return true;
}
