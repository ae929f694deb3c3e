#include "zvr3decoder_priv_video.h"

#include "zvr3decoder_ffmpeglog.h"
#include "zvr3logging_p.h"

#include <QImage>

#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

namespace {
// Picture memory kept for reuse: enough for a consumer that holds the last one or two.
constexpr qsizetype MaxKeptPictures = 4;
// swscale's converters write whole blocks of pixels, past the end of the last line for some
// sizes (60 bytes for a 1 × 2 YUV 4:2:0 picture): every picture has this much room after it.
constexpr qsizetype ConverterSlack = 256;

// What an image's clean-up needs to hand its memory back.
struct Lease
{
    std::shared_ptr<zvr3decoder_priv_video::PicturePool> pool;
    void *data;
    qsizetype bytes;
};

void returnPicture(void *info)
{
    auto *lease = static_cast<Lease *>(info);
    lease->pool->give(lease->data, lease->bytes);
    delete lease;
}

// The offset of the byte after the first start code (00 00 01) at or after from; -1 when there is
// none. H.264 in Annex B and MPEG-4 Visual mark every unit so, and neither lets the three bytes
// occur inside a unit.
qsizetype nextUnit(const uchar *p, qsizetype n, qsizetype from)
{
    qsizetype i = from;
    while (i + 2 < n) {
        if (p[i + 2] > 1) {
            i += 3;  // no start code can begin at i, i + 1 or i + 2
        } else if (p[i + 2] == 1 && p[i] == 0 && p[i + 1] == 0) {
            return i + 3;
        } else {
            ++i;
        }
    }
    return -1;
}

bool h264KeyFrame(const uchar *p, qsizetype n)
{
    for (qsizetype at = nextUnit(p, n, 0); at >= 0 && at < n; at = nextUnit(p, n, at)) {
        const int type = p[at] & 0x1F;
        if (type == 5 || type == 7)  // an IDR slice, or a sequence parameter set that starts anew
            return true;
        if (type >= 1 && type <= 4)  // a slice of another picture, or a partition of one
            return false;
    }
    return false;
}

bool mpeg4KeyFrame(const uchar *p, qsizetype n)
{
    for (qsizetype at = nextUnit(p, n, 0); at >= 0 && at < n; at = nextUnit(p, n, at)) {
        if (p[at] == 0xB6)  // a VOP; its first two bits tell how it is coded, 00 intra
            return at + 1 < n && (p[at + 1] >> 6) == 0;
    }
    return false;
}

}

zvr3decoder_priv_video::PicturePool::~PicturePool()
{
    for (void *data : std::as_const(m_kept))
        std::free(data);
}

void *zvr3decoder_priv_video::PicturePool::take(qsizetype bytes)
{
    {
        const QMutexLocker locker(&m_lock);
        if (bytes != m_bytes) {
            // The pictures changed size: what is kept no longer fits.
            for (void *data : std::as_const(m_kept))
                std::free(data);
            m_kept.clear();
            m_bytes = bytes;
        }
        if (!m_kept.isEmpty())
            return m_kept.takeLast();
    }
    return std::malloc(size_t(bytes + ConverterSlack));
}

void zvr3decoder_priv_video::PicturePool::give(void *data, qsizetype bytes)
{
    {
        const QMutexLocker locker(&m_lock);
        if (bytes == m_bytes && m_kept.size() < MaxKeptPictures) {
            m_kept.append(data);
            return;
        }
    }
    std::free(data);
}

QImage zvr3decoder_priv_video::newImage(int w, int h)
{
    const qsizetype bytesPerLine = qsizetype(w) * 4;
    const qsizetype bytes = bytesPerLine * h;
    void *data = m_pool->take(bytes);
    if (!data)
        return QImage();
    auto *lease = new Lease{m_pool, data, bytes};
    QImage image(static_cast<uchar *>(data), w, h, bytesPerLine, QImage::Format_ARGB32, returnPicture, lease);
    if (image.isNull()) {  // no image was made, so none will clean up
        delete lease;
        std::free(data);
    }
    return image;
}

zvr3decoder_priv_video::~zvr3decoder_priv_video()
{
    stopWorker();
    close();
    sws_freeContext(m_scaler);
}

const char *zvr3decoder_priv_video::decoderName(const QString &codec)
{
    if (codec == QLatin1String("mjpeg"))
        return "mjpeg";
    if (codec == QLatin1String("H264"))
        return "h264";
    if (codec == QLatin1String("mp4v"))
        return "mpeg4";
    return nullptr;
}

bool zvr3decoder_priv_video::keyFrame(const QString &codec, const QByteArray &payload)
{
    const auto *p = reinterpret_cast<const uchar *>(payload.constData());
    if (codec == QLatin1String("H264"))
        return h264KeyFrame(p, payload.size());
    if (codec == QLatin1String("mp4v"))
        return mpeg4KeyFrame(p, payload.size());
    return true;
}

bool zvr3decoder_priv_video::startsChain(const QByteArray &payload) const
{
    return keyFrame(m_stream.codec, payload);
}

void zvr3decoder_priv_video::resync()
{
    // A picture that the codec still held back would leave with the key frame's item, under its
    // time; and what the codec kept of the references before must not be used for concealment.
    if (m_context)
        avcodec_flush_buffers(m_context);
}

bool zvr3decoder_priv_video::open()
{
    // The FFmpeg in use registers its codecs itself and opens them thread-safely, so decoders on
    // several worker threads open theirs without a lock.
    zvr3ffmpegLog::ensureInstalled();
    const char *name = decoderName(m_stream.codec);
    m_codec = name ? avcodec_find_decoder_by_name(name) : nullptr;
    m_context = avcodec_alloc_context3(m_codec);
    m_frame = av_frame_alloc();
    if (m_codec && m_context && m_frame && avcodec_open2(m_context, m_codec, nullptr) == 0)
        return true;
    qCDebug(lcZvr3Decoder, "stream %d: cannot open a decoder for codec \"%s\"", m_stream.number,
            qUtf8Printable(m_stream.codec));
    close();
    return false;
}

void zvr3decoder_priv_video::close()
{
    avcodec_free_context(&m_context);
    av_frame_free(&m_frame);
    m_codec = nullptr;
}

void zvr3decoder_priv_video::decode(zvr3item &item)
{
    if (!(m_codec && m_context && m_frame) && !open())
        return;

    // An empty payload sends no packet: an empty packet would tell the decoder that the stream has
    // ended. It only collects a picture that is already waiting.
    if (!item.data.isEmpty()) {
        // The decoder may read a little past the end of its input: give it zeroed padding.
        const qsizetype size = item.data.size();
        if (m_packetBuffer.size() < size + AV_INPUT_BUFFER_PADDING_SIZE)
            m_packetBuffer.resize(size + AV_INPUT_BUFFER_PADDING_SIZE);
        std::memcpy(m_packetBuffer.data(), item.data.constData(), size_t(size));
        std::memset(m_packetBuffer.data() + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);

        AVPacket *packet = av_packet_alloc();
        if (!packet)
            return;
        packet->data = reinterpret_cast<uint8_t *>(m_packetBuffer.data());
        packet->size = int(qMin<qsizetype>(size, INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE));
        int sent = avcodec_send_packet(m_context, packet);
        if (sent == AVERROR(EAGAIN)) {
            // Pictures of earlier packets are still waiting. The oldest one goes out with this
            // item, then the packet is taken in; it gives its picture with a later item.
            const bool got = avcodec_receive_frame(m_context, m_frame) == 0;
            sent = avcodec_send_packet(m_context, packet);
            av_packet_free(&packet);
            if (got)
                convert(item);
            return;
        }
        av_packet_free(&packet);
        if (sent < 0)
            return;  // a decoder error; the codec stays open for the next item
    }
    if (avcodec_receive_frame(m_context, m_frame) == 0)
        convert(item);
}

void zvr3decoder_priv_video::convert(zvr3item &item)
{
    // The frame's own size and format: they describe the planes that the scaler reads.
    const int w = m_frame->width;
    const int h = m_frame->height;
    const int format = m_frame->format;
    if (w <= 0 || h <= 0 || format < 0) {
        av_frame_unref(m_frame);
        return;
    }
    if (w != m_lastWidth || h != m_lastHeight || format != m_lastFormat) {
        // Made again only when the picture changes; the sizes are equal, so the scaler only
        // converts the pixel format. A new format at the same size needs a new scaler too, or it
        // would read the planes with the old layout.
        sws_freeContext(m_scaler);
        m_scaler = sws_getContext(w, h, AVPixelFormat(format), w, h, AV_PIX_FMT_BGRA, SWS_FAST_BILINEAR,
                                  nullptr, nullptr, nullptr);
        ++m_scalerCount;
        m_lastWidth = w;
        m_lastHeight = h;
        m_lastFormat = format;
    }
    if (!m_scaler) {
        av_frame_unref(m_frame);
        return;
    }

    // Converting straight into the image that is emitted, in memory that no image anyone holds
    // uses: fresh, or given back by the clean-up of an earlier image when its last copy went,
    // through the pool's lock. B, G, R, A in memory is Format_ARGB32 on a little-endian machine.
    QImage image = newImage(w, h);
    if (image.isNull()) {
        av_frame_unref(m_frame);
        return;
    }
    uint8_t *planes[4] = {image.bits(), nullptr, nullptr, nullptr};
    const int strides[4] = {int(image.bytesPerLine()), 0, 0, 0};
    sws_scale(m_scaler, m_frame->data, m_frame->linesize, 0, h, planes, strides);
    av_frame_unref(m_frame);

    item.value = QVariant(std::move(image));
    emitItem(item);
}
