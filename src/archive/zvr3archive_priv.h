// Internal header of zvr3lib, not installed.
#ifndef ZVR3ARCHIVE_PRIV_H
#define ZVR3ARCHIVE_PRIV_H

#include <QUrl>

#include "zvr3base.h"

// A reader of what one URL given to zvr3archive names. This base is the reader for schemes the
// library cannot read: it holds its URL and does nothing. zvr3archive makes one per code-2 command,
// sets url, connects its sigData to its own and calls start().
class zvr3archive_priv : public zvr3base
{
    Q_OBJECT
public:
    zvr3archive_priv();
    ~zvr3archive_priv() override;

    QUrl url;  //!< the URL the reader was made for

public Q_SLOTS:
    // A zvr3command goes to onCommand(); anything else is ignored.
    void slotData(const QVariant &data) override;

public:
    // Called once, right after the reader has been made and given its URL.
    virtual void start();
    // Code 2 opens the URL in arg; every other code is ignored.
    virtual void onCommand(int code, const QVariant &arg);
    // Opens and reads what the URL names.
    virtual void open(const QUrl &url);
};

#endif // ZVR3ARCHIVE_PRIV_H
