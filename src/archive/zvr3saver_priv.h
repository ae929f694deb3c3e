#ifndef ZVR3SAVER_PRIV_H
#define ZVR3SAVER_PRIV_H

#include <QFile>
#include <QUrl>

#include "zvr3base.h"
#include "zvr3records.h"

/*!
    \class zvr3saver_priv
    \brief The worker of zvr3saver: holds the archive file and writes the records into it.

    It accepts and emits what zvr3saver documents. \c state is 0 while no file is open, 1 once a
    file is open, 2 after a stream header has been written and 3 after an index record has been
    written; only in state 3 are data records written.

    \table
    \header \li state \li open \li close \li HDR_T \li IDX_T \li DATA_T
    \row \li 0 \li 1, or 0 and an error \li - \li ignored \li ignored \li ignored
    \row \li 1 \li 1 (new file) \li 0 \li written, 2 \li ignored \li ignored
    \row \li 2 \li 1 (new file) \li 0 \li written, 2 \li written, 3 \li ignored
    \row \li 3 \li 1 (new file) \li 0 \li written, 2 \li written, 3 \li written
    \endtable
*/
class ZVR3LIB_EXPORT zvr3saver_priv : public zvr3base
{
    Q_OBJECT
public:
    zvr3saver_priv();
    ~zvr3saver_priv() override;

public Q_SLOTS:
    void slotData(const QVariant &data) override;

protected:
    /*! Each writes one whole record with a single write and keeps the header or index written;
        false (after reporting) when the record does not fit the format and nothing was written. */
    bool writeHdr(const HDR_T &header);
    bool writeIdx(const IDX_T &index);
    bool writeData(const DATA_T &record);
    /*! Closes the file and returns to state 0 without a report. */
    void reset();

    int state = 0;
    QFile file;
    QUrl url;
    HDR_T header;  //!< the last stream header written
    IDX_T index;   //!< the last index record written

private:
    bool tooLarge();  // reports, and gives false
};

#endif // ZVR3SAVER_PRIV_H
