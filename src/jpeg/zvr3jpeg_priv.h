#ifndef ZVR3JPEG_PRIV_H
#define ZVR3JPEG_PRIV_H

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QUrl>
#include <QVector>

#include "zvr3base.h"
#include "zvr3command.h"

class zvr3net_priv;

/*!
    \class zvr3jpeg_priv
    \brief The worker of zvr3jpeg: the queue, one connection per snapshot, and the frame cutting.

    It accepts and emits exactly what zvr3jpeg documents. The recorder answers a snapshot request
    with a frame: a 4-byte little-endian length and that many bytes, either a JPEG image or a status
    "-D:" (D = 5 no signal, 6 disabled, anything else an error); then it closes the connection.
*/
class ZVR3LIB_EXPORT zvr3jpeg_priv : public zvr3base
{
    Q_OBJECT
public:
    zvr3jpeg_priv();
    ~zvr3jpeg_priv() override;

    /*! The placeholders, drawn once per process by the first worker: 0 "error" (red), 1 "no signal"
        (red with a cross), 2 "disabled" (grey with a cross). */
    static QVector<QImage> mDefaultImages;

public Q_SLOTS:
    void slotData(const QVariant &data) override;

protected Q_SLOTS:
    void slotError(const QVariant &e);
    void slotData(const QByteArray &a);
    void slotState(int state);

protected:
    void reset();
    /*! The value of the query item \a key of the snapshot URL, or \a defaultValue when it has none. */
    QString urlValue(const QString &key, const QString &defaultValue);
    /*! Cuts the first frame out of what arrived and emits its picture or a placeholder. */
    void makeImage();
    void nextCommand();
    static void createDefaultImages();

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

    zvr3net_priv *const connection;
    bool busy = false;
    QList<zvr3command> queue;
    QUrl url;
    QByteArray buffer;

    Q_DISABLE_COPY(zvr3jpeg_priv)
};

#endif // ZVR3JPEG_PRIV_H
