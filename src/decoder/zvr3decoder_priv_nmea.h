// Internal header of zvr3lib, not installed.
#ifndef ZVR3DECODER_PRIV_NMEA_H
#define ZVR3DECODER_PRIV_NMEA_H

#include <QByteArray>

#include "zvr3decoder_priv.h"
#include "zvr3position_info.h"

// "nmea" streams: NMEA 0183 sentences of the recorder's GPS receiver, cut into items anywhere.
// GPRMC, GPGGA and the recorder's own PGRME update the position field by field; every item is
// emitted with a copy of the position as it stands after the item.
class zvr3decoder_priv_nmea : public zvr3decoder_priv
{
    Q_OBJECT
public:
    using zvr3decoder_priv::zvr3decoder_priv;
    ~zvr3decoder_priv_nmea() override;

    void decode(zvr3item &item) override;
    // A sentence cut by dropped records is not completed with the text that follows them.
    void resync() override;

    // For tests.
    const zvr3position_info &position() const { return m_position; }
    const QByteArray &sentenceBuffer() const { return m_buffer; }

    // The UTC time in milliseconds of an NMEA date (ddmmyy) and time (hhmmss, hhmmss.s up to
    // hhmmss.sss); false when either cannot be read.
    static bool readTime(const QByteArray &date, const QByteArray &time, qint64 &milliseconds);

private:
    bool useSentence(const QByteArray &part);
    bool rmc(const QList<QByteArray> &fields);
    bool gga(const QList<QByteArray> &fields);
    bool pgrme(const QList<QByteArray> &fields);
    // The fix every sentence carries: whether it is valid, and the latitude and longitude from
    // the four fields from `at` on (degrees and minutes, then the hemisphere, for each).
    void fix(bool valid, const QList<QByteArray> &fields, int at);

    zvr3position_info m_position;
    QByteArray m_buffer;
};

#endif // ZVR3DECODER_PRIV_NMEA_H
