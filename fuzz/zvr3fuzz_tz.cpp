// Time zone rules: any rule text, any times.
#include <QDateTime>
#include <QTimeZone>

#include <cstring>
#include <ctime>

#include "zvr3fuzz_p.h"
#include "zvr3tz.h"

namespace zvr3fuzz {

namespace {

// The offsets that a rule read into, to say what the conversions must give.
struct Rule : zvr3tz
{
    using zvr3tz::zvr3tz;
    quint32 standard() const { return quint32(m_stdOffset); }
    quint32 daylight() const { return quint32(m_dstOffset); }
    bool hasDaylight() const { return m_daylight; }
    bool keepsUtc() const { return m_utc; }
};

constexpr quint64 Wrap = quint64(1) << 32;

} // namespace

// What the conversions must do with whatever the rule read into: times are taken and given modulo
// 2^32; local time is UTC minus the standard or the daylight offset (the standard one alone without
// daylight saving); the offset reported is that difference (0 for a recorder that keeps UTC);
// toGMT() picks its offset by the same transitions that toLocal() uses on local standard time, so
// that without daylight saving the two undo each other. mktime() counts as the Gregorian calendar
// up to 2099, and adds each second as one.
void runTz(const uint8_t *data, size_t size)
{
    // The rule runs to the first zero byte; the bytes after it are times, 4 at a time, and a tm.
    const QByteArray all = body(data, size);
    const qsizetype end = all.indexOf('\0');
    const QByteArray text = end < 0 ? all : all.left(end);
    const QByteArray times = end < 0 ? QByteArray() : all.mid(end + 1);

    const Rule rule(text.constData());
    Rule copy;
    copy = rule;
    const quint32 stdOffset = rule.standard();
    const quint32 dstOffset = rule.daylight();
    const bool daylight = rule.hasDaylight();

    QList<quint32> moments = {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu, 1277942400u};
    for (qsizetype at = 0; at + 4 <= times.size() && at < 64; at += 4)
        moments.append(le32(times, at));
    for (const quint32 t : std::as_const(moments)) {
        const unsigned long local = rule.toLocal(t);
        const unsigned long gmt = rule.toGMT(t);
        const unsigned long offset = rule.getCurrentOffset(t);
        if (local >= Wrap || gmt >= Wrap || offset >= Wrap)
            broken("tz \"%s\": a result past 32 bits for %u", text.constData(), t);
        if (rule.toLocal(t + Wrap) != local || rule.toGMT(t + Wrap) != gmt)
            broken("tz \"%s\": %u and %u + 2^32 convert differently", text.constData(), t, t);
        if (copy.toLocal(t) != local || copy.toGMT(t) != gmt || copy.getCurrentOffset(t) != offset)
            broken("tz \"%s\": a copy converts differently", text.constData());

        const quint32 difference = quint32(local) - t;
        if (difference != 0u - stdOffset && !(daylight && difference == 0u - dstOffset))
            broken("tz \"%s\": local time %lu for %u is neither offset (%d, %d)", text.constData(), local, t,
                   qint32(stdOffset), qint32(dstOffset));
        if (offset != (rule.keepsUtc() ? 0u : difference))
            broken("tz \"%s\": offset %lu at %u, local time %lu", text.constData(), offset, t, local);

        // toGMT(l): l + daylight offset where l + standard offset lies between the transitions,
        // which is where toLocal() of u = l + 2 × standard offset takes the daylight offset.
        const quint32 u = t + 2 * stdOffset;
        const quint32 expected = daylight && quint32(rule.toLocal(u)) == u - dstOffset ? t + dstOffset : t + stdOffset;
        if (gmt != expected)
            broken("tz \"%s\": toGMT(%u) = %lu, expected %u", text.constData(), t, gmt, expected);
        if (!daylight && rule.toGMT(local) != t)
            broken("tz \"%s\": toGMT(toLocal(%u)) = %lu", text.constData(), t, rule.toGMT(local));
    }

    if (times.size() >= 24) {
        tm t {};
        t.tm_year = qint8(times.at(0)) + 100;
        t.tm_mon = qint8(times.at(1));
        t.tm_mday = qint8(times.at(2));
        t.tm_hour = qint8(times.at(3));
        t.tm_min = qint8(times.at(4));
        t.tm_sec = qint8(times.at(5));
        const tm before = t;
        const unsigned long seconds = rule.mktime(&t);
        if (std::memcmp(&before, &t, sizeof t) != 0)
            broken("tz: mktime changed its argument");
        if (t.tm_year < 70 || t.tm_year > 206 || t.tm_mon < 0 || t.tm_mon > 11) {
            if (seconds != 0)
                broken("tz: mktime of year %d, month %d gave %lu", t.tm_year, t.tm_mon, seconds);
        } else {
            const QDate day(1900 + t.tm_year, 1 + t.tm_mon, t.tm_mday);
            const QTime clock(t.tm_hour, t.tm_min, t.tm_sec);
            if (t.tm_year < 200 && day.isValid() && clock.isValid()) {
                const qint64 gregorian = QDateTime(day, clock, QTimeZone::utc()).toSecsSinceEpoch();
                if (qint64(seconds) != gregorian)
                    broken("tz: mktime of %s gave %lu, not %lld", qPrintable(day.toString(Qt::ISODate)), seconds,
                           qlonglong(gregorian));
            }
            tm next = t;
            ++next.tm_sec;
            if (rule.mktime(&next) != (quint32(seconds) + 1u))
                broken("tz: mktime does not count a second as one");
        }
    }
}

QList<QByteArray> seedsTz()
{
    const QByteArray times = u32(1700000000) + u32(1711846800) + u32(0) + u32(0xFFFFFFFF) + u32(1729990000)
                             + QByteArray("\x18\x02\x1d\x02\x00\x00", 6);
    const QByteArray edges = u32(1269730799) + u32(1269730800) + u32(1288479599) + u32(1288479600) + u32(1269745200)
                             + u32(1288490400) + QByteArray("\x0a\x09\x1f\x17\x3b\x3b", 6);
    return {input(QByteArray("UTC-3UTC-4,M3.5.0/2,M10.5.0/2") + '\0' + times),
            input(QByteArray("UTC-3UTC-4,M3.5.0/2,M10.5.0/2") + '\0' + edges),
            input(QByteArray("UTC+0UTC+0") + '\0' + times),
            input(QByteArray("UTC-5:30:15UTC+1,M12.0.6/23,M1.9.0/-4") + '\0' + times),
            input(QByteArray("UTC+3") + '\0' + edges),
            input(QByteArray("XYZ+3"))};
}

} // namespace zvr3fuzz
