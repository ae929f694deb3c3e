#ifndef ZVR3JPEG_H
#define ZVR3JPEG_H

#include <QUrl>

#include "zvr3base.h"

class zvr3jpeg_priv;

/*!
    \class zvr3jpeg
    \brief Fetches JPEG snapshots of a recorder's channels: exactly one picture per request.

    Commands (zvr3command) accepted on slotData(), served one at a time, in order:

    \list
    \li 1: marker; its \c data is emitted unchanged when its turn comes;
    \li 2: fetch one snapshot for the URL in \c data. The URL names the recorder (host, port, user,
        password) and the picture through the query items "stream" (default "0"), "width" ("320"),
        "height" ("240") and "quality" ("90").
    \endlist

    Each snapshot uses a connection of its own to the recorder's JPEG service. For every code 2
    exactly one QImage is emitted on sigData(), with the text "description" telling what it is:
    "ok" for the decoded snapshot, or a placeholder (320 × 240): "no signal" for a channel without
    signal, "disabled" for a disabled channel, "error" when no picture could be had. When the
    connection fails (login refused, socket error, no end of the reply within 30 s) its zvr3error
    is emitted first (see zvr3online), then the "error" placeholder, and the commands still queued
    are dropped. A reply whose frame announces more than 64 MiB is not gathered: "Snapshot too
    large" (-1, reason TooLarge) is emitted, the connection is closed, the "error" placeholder
    follows and the queue goes on. A code 2 whose \c data is no URL gives the "error" placeholder
    without a description.

    The "stream" item names a channel: the recorder's video stream numbers are its channel
    numbers.

    The typed slots send these commands to slotData(), exactly as an application would:
    fetch(url) is code 2 with \c data \a url, mark(value) code 1 with \c data \a value.
*/
class ZVR3LIB_EXPORT zvr3jpeg : public zvr3base
{
    Q_OBJECT
public:
    zvr3jpeg();
    ~zvr3jpeg() override;

public Q_SLOTS:
    /*! Fetches one snapshot for the recorder and picture in \a url (code 2). */
    void fetch(const QUrl &url);
    /*! Emits \a value on sigData() when its turn comes (code 1). */
    void mark(const QVariant &value);
    void slotData(const QVariant &data) override;

private:
    friend struct zvr3supervisor_private;  // follows the worker's connection
    zvr3jpeg_priv *const d;
    Q_DISABLE_COPY(zvr3jpeg)
};

#endif // ZVR3JPEG_H
