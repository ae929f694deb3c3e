#include "zvr3decoder_priv_nmea.h"

#include <QDateTime>
#include <QTimeZone>

#include <cmath>

#include "zvr3metatype_p.h"

namespace {
// An NMEA sentence is at most 82 characters; an unfinished one that grows far beyond that is
// garbage, and dropping it keeps the buffer bounded.
constexpr qsizetype MaxSentence = 4096;

double number(const QByteArray &field)
{
    bool ok = false;
    const double v = field.toDouble(&ok);
    return ok && std::isfinite(v) ? v : 0.0;
}

int integer(const QByteArray &field)
{
    bool ok = false;
    const int v = field.toInt(&ok, 10);
    return ok ? v : 0;
}

// ddmm.mmmm (or dddmm.mmmm) and a hemisphere letter to signed degrees.
double coordinate(const QByteArray &value, const QByteArray &hemisphere)
{
    const double d = number(value) / 100;
    const double whole = std::trunc(d);
    const double degrees = whole + 100 * (d - whole) / 60;
    return hemisphere == "N" || hemisphere == "E" ? degrees : -degrees;
}

bool digits(const QByteArray &text, qsizetype from, qsizetype count)
{
    if (from + count > text.size())
        return false;
    for (qsizetype i = from; i < from + count; ++i) {
        if (text.at(i) < '0' || text.at(i) > '9')
            return false;
    }
    return true;
}

int twoDigits(const QByteArray &text, qsizetype at)
{
    return (text.at(at) - '0') * 10 + (text.at(at + 1) - '0');
}
}

zvr3decoder_priv_nmea::~zvr3decoder_priv_nmea()
{
    stopWorker();
}

bool zvr3decoder_priv_nmea::readTime(const QByteArray &date, const QByteArray &time, qint64 &milliseconds)
{
    if (date.size() != 6 || !digits(date, 0, 6) || time.size() < 6 || !digits(time, 0, 6))
        return false;
    int msec = 0;
    if (time.size() > 6) {
        // A decimal fraction of a second, one to three digits: ".5" is 500 ms.
        const qsizetype fraction = time.size() - 7;
        if (time.at(6) != '.' || fraction < 1 || fraction > 3 || !digits(time, 7, fraction))
            return false;
        for (qsizetype i = 0; i < 3; ++i)
            msec = msec * 10 + (i < fraction ? time.at(7 + i) - '0' : 0);
    }
    // Two-digit years: 70 to 99 are 1970 to 1999, the rest 2000 to 2069.
    const int yy = twoDigits(date, 4);
    const QDate day(yy < 70 ? 2000 + yy : 1900 + yy, twoDigits(date, 2), twoDigits(date, 0));
    const QTime clock(twoDigits(time, 0), twoDigits(time, 2), twoDigits(time, 4), msec);
    if (!day.isValid() || !clock.isValid())
        return false;
    milliseconds = QDateTime(day, clock, QTimeZone::utc()).toMSecsSinceEpoch();
    return true;
}

void zvr3decoder_priv_nmea::decode(zvr3item &item)
{
    m_buffer += item.data;
    const QList<QByteArray> parts = m_buffer.split('$');
    bool lastUsed = true;
    for (const QByteArray &part : parts)
        lastUsed = useSentence(part);
    // An unfinished sentence of a known name waits for the rest of it.
    if (lastUsed || parts.constLast().size() >= MaxSentence)
        m_buffer.clear();
    else
        m_buffer = '$' + parts.constLast();
    item.value = zvr3value(m_position);
    emitItem(item);
}

void zvr3decoder_priv_nmea::resync()
{
    m_buffer.clear();
}

bool zvr3decoder_priv_nmea::useSentence(const QByteArray &part)
{
    if (part.startsWith("GPRMC"))
        return rmc(part.split(','));
    if (part.startsWith("GPGGA"))
        return gga(part.split(','));
    if (part.startsWith("PGRME"))
        return pgrme(part.split(','));
    return true;
}

void zvr3decoder_priv_nmea::fix(bool valid, const QList<QByteArray> &f, int at)
{
    m_position.valid = valid;
    m_position.latitude = coordinate(f[at], f[at + 1]);
    m_position.longitude = coordinate(f[at + 2], f[at + 3]);
}

bool zvr3decoder_priv_nmea::rmc(const QList<QByteArray> &f)
{
    if (f.size() != 12)
        return false;
    fix(f[2] == "A", f, 3);
    m_position.course = number(f[8]);
    m_position.speed = number(f[7]) * 0.514444444;  // knots
    readTime(f[9], f[1], m_position.time);
    return true;
}

bool zvr3decoder_priv_nmea::gga(const QList<QByteArray> &f)
{
    if (f.size() != 15)
        return false;
    fix(f[6] != "0", f, 2);
    m_position.altitude = number(f[9]);
    m_position.satellites = integer(f[7]);
    m_position.hdop = integer(f[8]);
    return true;
}

bool zvr3decoder_priv_nmea::pgrme(const QList<QByteArray> &f)
{
    if (f.size() != 16)
        return false;
    fix(f[11] != "0", f, 6);
    // km/h; a speed so large that the metres overflow is divided first, so that it stays finite.
    const double kmh = number(f[12]);
    m_position.speed = std::isfinite(kmh * 1000) ? kmh * 1000 / 3600 : kmh / 3.6;
    m_position.course = number(f[13]);
    readTime(f[3], f[4] + ".00", m_position.time);
    m_position.hdop = integer(f[14]);
    return true;
}
