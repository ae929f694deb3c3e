// Internal header of zvr3lib, not installed.
#ifndef ZVR3NET_ARCHIVE_PRIV_H
#define ZVR3NET_ARCHIVE_PRIV_H

#include <QDateTime>
#include <QList>

#include "zvr3base.h"
#include "zvr3command.h"
#include "zvr3net_priv.h"
#include "zvr3parser.h"
#include "zvr3records.h"

// The worker of zvr3net_archive: the connection, the parser, and the state machine that follows
// a chunk's records and asks for the next chunk.
class zvr3net_archive_priv : public zvr3base
{
    Q_OBJECT
public:
    // The worker's states; 7 is not used.
    enum State {
        Idle = 0,
        Connecting = 1,
        Ready = 2,
        Requested = 3,     // a request went out; the chunk's first HDR_T is awaited
        HaveHeader = 4,    // the section's ARCHIVE_T_HDR is awaited
        HaveChunkHdr = 5,  // the section's IDX_T is awaited
        InSection = 6,     // data records pass
        Closing = 8,       // the closing IDX_T is awaited
        Paused = 9,
    };

    zvr3net_archive_priv();
    ~zvr3net_archive_priv() override;

    int currentState() const { return state; }

public Q_SLOTS:
    void slotData(const QVariant &v) override;

protected Q_SLOTS:
    void reset();
    void slotData(const QByteArray &a);
    void slotState(int s);

public:
    void processQueue();
    void requestTime(const QDateTime &t);
    void requestIndex();

private:
    friend class tst_zvr3net_archive;
    friend struct zvr3net_archive_priv_fuzz;  // the fuzz target of the state machine

    bool servable(const zvr3command &command) const;
    // Carries out a command taken off the queue; false when serving stops after it.
    bool serve(const zvr3command &command);
    void sendChannels(const char *format, const QByteArray &list);

    int state = Idle;
    zvr3net_priv connection;
    zvr3parser parser;
    QList<zvr3command> queue;
    ARCHIVE_T_HDR next;
    HDR_T last;
    bool opening = false;  // a code 2 is being served: the queue pass its reset raises stops at a code 2

    Q_DISABLE_COPY(zvr3net_archive_priv)
};

#endif // ZVR3NET_ARCHIVE_PRIV_H
