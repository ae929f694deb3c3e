#ifndef ZVR3JPEG_PRIV_H
#define ZVR3JPEG_PRIV_H

#include <QByteArray>
#include <QImage>
#include <QUrl>
#include <QVector>

#include "zvr3service_priv.h"

/*!
    \class zvr3jpeg_priv
    \brief The worker of zvr3jpeg: the queue, one connection per snapshot, and the frame cutting.

    It accepts and emits exactly what zvr3jpeg documents. The recorder answers a snapshot request
    with a frame: a 4-byte little-endian length and that many bytes, either a JPEG image or a status
    "-D:" (D = 5 no signal, 6 disabled, anything else an error); then it closes the connection.
*/
class ZVR3LIB_EXPORT zvr3jpeg_priv : public zvr3service_priv
{
    Q_OBJECT
public:
    zvr3jpeg_priv();

    /*! The placeholders, drawn once per process by the first worker: 0 "error" (red), 1 "no signal"
        (red with a cross), 2 "disabled" (grey with a cross). */
    static QVector<QImage> mDefaultImages;

    /*! Whether the last picture came from a whole frame (the recorder's answer, even when it is
        no picture), rather than from a reply that ended early. */
    bool wholeReply() const { return m_wholeReply; }

protected:
    // A snapshot is fetched on a connection of its own; a value that is no URL gets the bare
    // "error" placeholder.
    bool serve(const zvr3command &command) override;
    void reset();
    /*! The value of the query item \a key of the snapshot URL, or \a defaultValue when it has none. */
    QString urlValue(const QString &key, const QString &defaultValue);
    // Logged in: the request goes out. Closed: the picture comes out, then the next command.
    void stateChanged(int state) override;
    /*! Cuts the first frame out of what arrived and emits its picture or a placeholder. */
    void makeImage();
    static void createDefaultImages();
    // A failure other than the recorder's closing ends the snapshot and drops the queue.
    void failed(const QVariant &e) override;
    // Keeps the first frame, as it arrives.
    void received(const QByteArray &a) override;

private:
    friend class tst_zvr3jpeg;
    friend struct zvr3jpeg_priv_fuzz;  // the fuzz target runs with a small snapshot limit

    /*! The payload length of the frame whose length field is in the buffer. */
    quint64 frameLength() const;
    /*! Gives up a reply too large to keep: frees it, reports it and closes the connection, whose
        end then brings the "error" placeholder. */
    void tooLarge();
    /*! For tests: the longest snapshot accepted, in bytes, instead of the usual one; 0 restores it. */
    static void setReplyLimitOverride(qint64 bytes);
    static qint64 mReplyLimitOverride;

    QUrl url;
    QByteArray buffer;
    bool m_wholeReply = false;

    Q_DISABLE_COPY(zvr3jpeg_priv)
};

#endif // ZVR3JPEG_PRIV_H
