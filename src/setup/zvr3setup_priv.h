#ifndef ZVR3SETUP_PRIV_H
#define ZVR3SETUP_PRIV_H

#include <QByteArray>
#include <QUrl>

#include "zvr3service_priv.h"

/*!
    \class zvr3setup_priv
    \brief The worker of zvr3setup: the command queue, the connection and the answer framing.

    It accepts and emits what zvr3setup documents, but synchronously; zvr3setup relays its output
    through the event loop.
*/
class ZVR3LIB_EXPORT zvr3setup_priv : public zvr3service_priv
{
    Q_OBJECT
public:
    zvr3setup_priv();

protected Q_SLOTS:
    /*! Forgets the queue, the received bytes and the connection's URL. */
    void hardReset();
    /*! As hardReset(), but the queue stays. */
    void reset();

protected:
    // Connects, disconnects or sends a request; without a connection a request is dropped.
    bool serve(const zvr3command &command) override;
    void reConnect(const zvr3command &cmd);
    // Logged in, or closed without the worker asking: the queue goes on.
    void stateChanged(int state) override;
    // A failure of the connection goes downstream, and takes the queue along.
    void failed(const QVariant &e) override;
    // Each answer block ends the wait for it.
    void received(const QByteArray &a) override;
    /*! Takes one answer block off the buffer and emits its data or error; false while it is incomplete. */
    bool parseBlock();

private:
    friend class tst_zvr3setup;
    friend struct zvr3setup_priv_fuzz;  // the fuzz target runs with a small answer limit

    // Closes or replaces the connection. The Closed that the connection reports from inside
    // close() or open() concerns a connection the worker gave up itself, not a lost one: it is
    // not served as such (it would start a nested pass over the queue mid-command).
    void closeOwn();
    void openOwn();
    /*! Gives up an answer too large to keep, as a failed connection is given up: reports it, drops
        the queue and the received bytes, and closes the connection. */
    void tooLarge();
    qint64 answerLimit() const;
    /*! For tests: the longest answer block accepted, in bytes, instead of the usual one; 0 restores it. */
    static void setAnswerLimitOverride(qint64 bytes);
    static qint64 mAnswerLimitOverride;

    QUrl url;
    QByteArray buffer;
    qsizetype lineSearched = 0;  // no CR LF begins in the buffer before this index
    bool replacing = false;

    Q_DISABLE_COPY(zvr3setup_priv)
};

#endif // ZVR3SETUP_PRIV_H
