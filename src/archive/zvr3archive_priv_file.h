// Internal header of zvr3lib, not installed.
#ifndef ZVR3ARCHIVE_PRIV_FILE_H
#define ZVR3ARCHIVE_PRIV_FILE_H

#include "zvr3archive_priv.h"
#include "zvr3archive_priv_file_evt.h"
#include "zvr3archive_priv_file_idx.h"

// The reader of "file" URLs: scans the whole archive file through a zvr3parser into the two
// collectors. start() scans and then emits the seek list (one ZVR_ID3_REC each) and the event list
// (one EVENTS_FILE_LIST_T); a code-2 command given to the reader itself scans the file it names into
// the same collections without emitting them. A file that cannot be opened is reported as a
// zvr3error.
class zvr3archive_priv_file : public zvr3archive_priv
{
    Q_OBJECT
public:
    zvr3archive_priv_file();
    ~zvr3archive_priv_file() override;

    void start() override;
    void open(const QUrl &url) override;

    zvr3archive_priv_file_idx idx;
    zvr3archive_priv_file_evt evt;

    // The size of the chunks the parser is given.
    static constexpr qint64 ChunkSize = 0x10000;
    // The size of the reads, a multiple of ChunkSize: large enough that a read costs little more
    // than the copy out of the page cache, small enough to stay in the processor's cache.
    static constexpr qint64 ReadSize = 4 * ChunkSize;

private:
    bool scan(const QUrl &url);
};

#endif // ZVR3ARCHIVE_PRIV_FILE_H
