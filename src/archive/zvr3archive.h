#ifndef ZVR3ARCHIVE_H
#define ZVR3ARCHIVE_H

#include <QUrl>

#include "zvr3base.h"

class zvr3archive_priv;

/*!
    \class zvr3archive
    \brief The source node for archive files on local disk: scans a file into seek entries and text
    events.

    slotData() accepts zvr3command values:
    \list
    \li code 2: open the QUrl in \c data. A "file" URL (QUrl::fromLocalFile()) is scanned at once,
        start to end, on the calling thread, before slotData() returns. Any other scheme, or a URL
        without one such as a bare path, gets a reader that does nothing, silently. A second code 2
        replaces the reader; the old one is deleted later by the event loop.
    \li codes 6 and 7 (the live source's channel selection): passed on to the reader, which has no
        use for them on a local file.
    \endlist
    Every other value and code is ignored.

    After a successful scan the node emits on sigData(), in this order:
    \list
    \li one ZVR_ID3_REC per index record of the file, in file order: \c type 0, \c count 0, all
        pairs 0, \c position the byte offset at which the index record starts, \c time its time in
        milliseconds;
    \li one EVENTS_FILE_LIST_T with the file's text events: the texts of every text stream (type 4)
        frame that follows one index record make one event, stamped with that index record's time,
        each text a PARAM_T whose \c id is the stream number. Events are numbered 1, 3, 5, ... in
        the order of the index records. Texts before the first index record make an event of time 0
        and number 0; index records followed by no text make none.
    \endlist

    A file that cannot be opened is reported instead as a zvr3error with code -1, reason
    FileError and the text "Can't open file \"<name>\". <reason> (<QFileDevice::FileError>)".
    Bytes that are not an archive stream are skipped by the stream parser and yield nothing.

    Times are the recorder's, as it recorded them: a seek entry's \c time and an event's \c time in
    milliseconds on its clock (its local wall-clock time, counted as if it were UTC).

    open(url) sends code 2 with \c data \a url to slotData(), as an application would. Codes 6
    and 7 have no typed calls: they do nothing for a local file.
*/
class ZVR3LIB_EXPORT zvr3archive : public zvr3base
{
    Q_OBJECT
public:
    zvr3archive();
    ~zvr3archive() override;

public Q_SLOTS:
    /*! Scans the archive file named by the "file" URL \a url (code 2). */
    void open(const QUrl &url);
    void slotData(const QVariant &data) override;

protected:
    /*! Acts on codes 2, 6 and 7 as described above. */
    void onCommand(int code, const QVariant &arg);

private:
    zvr3archive_priv *reader = nullptr;
};

#endif // ZVR3ARCHIVE_H
