#ifndef ZVR3SAVER_H
#define ZVR3SAVER_H

#include <QUrl>

#include "zvr3base.h"

class zvr3saver_priv;

/*!
    \class zvr3saver
    \brief Records a parsed archive stream to an archive file on disk.

    Connect a zvr3parser's sigData() to slotData() and steer the saver with zvr3command values on the
    same slot:

    \list
    \li code 2: open the local file named by the QUrl in \c data for writing. An open file is
        flushed and closed first; the new file is created or emptied.
    \li code 3: flush and close the file. Nothing happens when no file is open.
    \endlist

    Between the two the saver writes every HDR_T, IDX_T and DATA_T it receives back into the archive
    stream format, so that zvr3parser reads the file again as the same headers, index records (with
    \c value 0) and data records (with \c marked false). A file always begins with a stream header,
    and after each header the saver waits for an index record before it takes data again: data
    records before that are dropped. Whole frames (zvr3parser_combined_DATA_T), chunk headers,
    positions and every other value are ignored, so a frame sent in parts is stored in parts.

    A video frame start stores its time as the milliseconds after its index record's time in 16
    bits: a frame more than 65,535 ms after its index comes back 65,536 ms (or a multiple) earlier.

    Emits on sigData() nothing but errors, each a zvr3error with code -1:
    \list
    \li "Can't open file \"<name>\". <reason> (<QFileDevice::FileError>)" (reason FileError) when
        the file cannot be opened; records are then ignored until a file is opened.
    \li "Record too large for the archive file" (reason TooLarge) for a data record whose payload
        is longer than 65,535 bytes, an index record with more than 255 bytes, or a header whose
        stream or parameter table does not fit its 16-bit length field. Nothing of the record is
        written and the file stays readable; the saver's state does not change.
    \endlist

    Destroying the saver flushes and closes an open file. open(file) sends code 2 with \c data
    \a file (QUrl::fromLocalFile() makes one of a path), close() code 3, both to slotData() as an
    application would.
*/
class ZVR3LIB_EXPORT zvr3saver : public zvr3base
{
    Q_OBJECT
public:
    zvr3saver();
    ~zvr3saver() override;

public Q_SLOTS:
    /*! Closes any open file and creates or empties the local \a file for writing (code 2). */
    void open(const QUrl &file);
    /*! Flushes and closes the file (code 3). */
    void close();
    /*! Commands 2 and 3, and the records of a zvr3parser; see the class description. */
    void slotData(const QVariant &data) override;

private:
    zvr3saver_priv *const d;
};

#endif // ZVR3SAVER_H
