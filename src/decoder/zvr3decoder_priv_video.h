// Internal header of zvr3lib, not installed.
#ifndef ZVR3DECODER_PRIV_VIDEO_H
#define ZVR3DECODER_PRIV_VIDEO_H

#include <QImage>
#include <QList>
#include <QMutex>

#include <memory>

#include "zvr3decoder_priv.h"

struct AVCodec;
struct AVCodecContext;
struct AVFrame;
struct SwsContext;

// Video streams: each payload is one compressed frame for FFmpeg's decoder named after the stream's
// codec ("H264" h264, "mp4v" mpeg4, "mjpeg" mjpeg). The codec is opened at the first item, and
// again at every item while opening fails. An item gives at most one picture: the first one the
// decoder hands out after the item's packet, converted to a Format_ARGB32 QImage of the picture's
// size. Items without a picture are not emitted.
class zvr3decoder_priv_video : public zvr3decoder_priv
{
    Q_OBJECT
public:
    using zvr3decoder_priv::zvr3decoder_priv;
    ~zvr3decoder_priv_video() override;

    void decode(zvr3item &item) override;
    // A key frame: a picture that needs no other (see keyFrame()).
    bool startsChain(const QByteArray &payload) const override;
    // Drops what the codec holds of the pictures before, so that it starts afresh at a key frame.
    void resync() override;

    // The FFmpeg decoder name for a stream codec name; nullptr for one we do not decode.
    static const char *decoderName(const QString &codec);
    // Whether a payload of a stream with this codec name is a key frame, read from the bitstream:
    // "H264" (Annex B, with start codes) one that holds an SPS or an IDR slice before any other
    // slice; "mp4v" one whose first VOP is intra-coded (a VOS or VOL header may come before it);
    // "mjpeg" every one. A codec that we do not decode has no chains: every payload.
    static bool keyFrame(const QString &codec, const QByteArray &payload);

    // The memory of the pictures handed out. An image's clean-up (run when its last copy goes, on
    // whatever thread that is) gives the memory back; the next picture of the same size is written
    // into what was given back last, which is the most likely to be still in a cache. It outlives
    // the decoder while images of it are held.
    class PicturePool
    {
    public:
        ~PicturePool();
        // Memory for a picture of this many bytes (and room after it for the converter): kept or
        // new; nullptr when none can be had. Kept memory of another size is freed.
        void *take(qsizetype bytes);
        // Memory that take() gave, no longer used: kept when it fits and there is room, else freed.
        void give(void *data, qsizetype bytes);

    private:
        QMutex m_lock;
        QList<void *> m_kept;
        qsizetype m_bytes = -1;
    };

    // For tests: whether the codec is open, and how often the scaler has been made.
    bool isOpen() const { return m_context != nullptr; }
    int scalerCount() const { return m_scalerCount; }

private:
    bool open();
    void close();
    void convert(zvr3item &item);
    // A w × h Format_ARGB32 image over memory from the pool.
    QImage newImage(int w, int h);

    const AVCodec *m_codec = nullptr;
    AVCodecContext *m_context = nullptr;
    AVFrame *m_frame = nullptr;
    SwsContext *m_scaler = nullptr;
    int m_lastWidth = -1;
    int m_lastHeight = -1;
    int m_lastFormat = -1;
    int m_scalerCount = 0;
    QByteArray m_packetBuffer;
    // Fresh memory for every picture would cost a page fault per 4 KB, about as much as the
    // decoding itself.
    const std::shared_ptr<PicturePool> m_pool = std::make_shared<PicturePool>();
};

#endif // ZVR3DECODER_PRIV_VIDEO_H
