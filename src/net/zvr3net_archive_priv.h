// Internal header of zvr3lib, not installed.
#ifndef ZVR3NET_ARCHIVE_PRIV_H
#define ZVR3NET_ARCHIVE_PRIV_H

#include <QDateTime>

#include "zvr3parser.h"
#include "zvr3records.h"
#include "zvr3service_priv.h"

// The worker of zvr3net_archive: the connection, the parser, and the state machine that follows
// a chunk's records and asks for the next chunk.
class zvr3net_archive_priv : public zvr3service_priv
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
    // Whether two stream headers are the same in every field.
    static bool sameHeader(const HDR_T &a, const HDR_T &b);

public Q_SLOTS:
    // The commands, and the records of the parser.
    void slotData(const QVariant &v) override;

protected Q_SLOTS:
    void reset();

public:
    void processQueue() { nextCommand(); }
    void requestTime(const QDateTime &t);
    void requestIndex();

private:
    friend class tst_zvr3net_archive;
    friend struct zvr3net_archive_priv_fuzz;  // the fuzz target of the state machine

    void received(const QByteArray &a) override;
    void stateChanged(int s) override;
    void failed(const QVariant &e) override;
    bool servable(const zvr3command &command) const override;
    bool serve(const zvr3command &command) override;
    // An open or a close further back does not wait with a head that waits for a state.
    bool takeAhead(zvr3command &command) override;
    void sendChannels(const char *format, const QByteArray &list);

    int state = Idle;
    zvr3parser parser;
    ARCHIVE_T_HDR next;
    HDR_T last;
    bool opening = false;  // a code 2 is being served: the queue pass its reset raises stops at a code 2

    Q_DISABLE_COPY(zvr3net_archive_priv)
};

#endif // ZVR3NET_ARCHIVE_PRIV_H
