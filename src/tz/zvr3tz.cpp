#include "zvr3tz.h"

#include <QRegularExpression>

// Recorders count every year divisible by four as a leap year, 2100 included, so this table is
// built that way rather than from the Gregorian calendar: entries from 2101 on lie one day above
// the Gregorian values. The last entry is the start of 2106.
const unsigned long zvr3tz::mYears[137] = {
    0, 31536000, 63072000, 94694400, 126230400, 157766400,
    189302400, 220924800, 252460800, 283996800, 315532800, 347155200,
    378691200, 410227200, 441763200, 473385600, 504921600, 536457600,
    567993600, 599616000, 631152000, 662688000, 694224000, 725846400,
    757382400, 788918400, 820454400, 852076800, 883612800, 915148800,
    946684800, 978307200, 1009843200, 1041379200, 1072915200, 1104537600,
    1136073600, 1167609600, 1199145600, 1230768000, 1262304000, 1293840000,
    1325376000, 1356998400, 1388534400, 1420070400, 1451606400, 1483228800,
    1514764800, 1546300800, 1577836800, 1609459200, 1640995200, 1672531200,
    1704067200, 1735689600, 1767225600, 1798761600, 1830297600, 1861920000,
    1893456000, 1924992000, 1956528000, 1988150400, 2019686400, 2051222400,
    2082758400, 2114380800, 2145916800, 2177452800, 2208988800, 2240611200,
    2272147200, 2303683200, 2335219200, 2366841600, 2398377600, 2429913600,
    2461449600, 2493072000, 2524608000, 2556144000, 2587680000, 2619302400,
    2650838400, 2682374400, 2713910400, 2745532800, 2777068800, 2808604800,
    2840140800, 2871763200, 2903299200, 2934835200, 2966371200, 2997993600,
    3029529600, 3061065600, 3092601600, 3124224000, 3155760000, 3187296000,
    3218832000, 3250454400, 3281990400, 3313526400, 3345062400, 3376684800,
    3408220800, 3439756800, 3471292800, 3502915200, 3534451200, 3565987200,
    3597523200, 3629145600, 3660681600, 3692217600, 3723753600, 3755376000,
    3786912000, 3818448000, 3849984000, 3881606400, 3913142400, 3944678400,
    3976214400, 4007836800, 4039372800, 4070908800, 4102444800, 4134067200,
    4165603200, 4197139200, 4228675200, 4260297600, 4291833600,
};

const unsigned long zvr3tz::mMonthBoundsCommon[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};
const unsigned long zvr3tz::mMonthBoundsLeap[13] = {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366};

namespace {

constexpr int firstYear = 1970;
constexpr int yearCount = 137;

// Rule and offset texts are ASCII; Latin-1 carries any other byte through unchanged.
QString fromText(const char *text)
{
    return text ? QString::fromLatin1(text) : QString();
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads an integer the way atoi() and scanf("%d") do: blanks, an optional sign, then digits.
// The value wraps modulo 2^32 instead of overflowing, so no text can make it undefined. Returns
// false, leaving *text where it was, when there is no digit.
bool readInt(const char **text, quint32 *value)
{
    const char *p = *text;
    while (isBlank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (*p < '0' || *p > '9')
        return false;
    quint32 v = 0;
    while (*p >= '0' && *p <= '9')
        v = v * 10u + quint32(*p++ - '0');
    *value = negative ? 0u - v : v;
    *text = p;
    return true;
}

// atoi() of the start of a text: 0 when no integer begins there.
quint32 leadingInt(const QString &text)
{
    const QByteArray bytes = text.toLatin1();
    const char *p = bytes.constData();
    quint32 value = 0;
    return readInt(&p, &value) ? value : 0u;
}

bool validMonth(int month)
{
    return month >= 1 && month <= 12;
}

// Weekday of 1 January of year (0 = Sunday) under the every-fourth-year calendar; 1970 began on a
// Thursday and each year moves the weekday on by one, a leap year by two.
int newYearWeekday(int year)
{
    const int r = year % 4;
    return (r + 5 * (year / 4 + 1) + (r != 0 ? 1 : 0)) % 7;
}

} // namespace

zvr3tz::zvr3tz(const char *rule)
{
    setTimeZone(rule);
}

zvr3tz::zvr3tz(const zvr3tz &other) = default;
zvr3tz &zvr3tz::operator=(const zvr3tz &other) = default;
zvr3tz::~zvr3tz() = default;

void zvr3tz::setTimeZone(const char *text)
{
    m_start = tztrans{0, 0, 0, 0};
    m_end = tztrans{0, 0, 0, 0};

    // The rule recorders use when none was given.
    QString rule = text ? fromText(text) : QStringLiteral("UTC-3UTC-4,M3.5.0/2,M10.5.0/2");
    // "UTC+0UTC+0" is how a recorder says that it keeps UTC: it reports no offset of its own, but
    // its times still convert by a one-hour-west summer rule.
    m_utc = rule.startsWith(QLatin1String("UTC+0UTC+0"));
    if (m_utc)
        rule = QStringLiteral("UTC-0UTC+1,M3.5.0/2,M10.5.0/2");
    m_rule = rule;
    m_daylight = rule.contains(QLatin1Char(','));

    static const QRegularExpression zoneLetters(QStringLiteral("^[UTC]*"));
    if (!m_daylight) {
        // The zone name is taken to be three characters long, whatever they are.
        QString s = rule.mid(3);
        s.remove(zoneLetters);
        m_stdOffset = qint32(quint32(_time2seconds(s.toLatin1().constData())));
        return;
    }

    // "[+-:]" is the range from '+' to ':', which holds + , - . / as well as the digits and ':'.
    static const QRegularExpression offsetText(QStringLiteral("^[0123456789+-:]*"));
    static const QRegularExpression offsetAndComma(QStringLiteral("^[0123456789+-:]*,"));
    static const QRegularExpression zoneOrComma(QStringLiteral("[U,]"));
    QString s = rule;
    s.remove(zoneLetters);
    m_stdOffset = qint32(quint32(_time2seconds(s.section(zoneOrComma, 0, 0).toLatin1().constData())));
    s.remove(offsetText);
    s.remove(zoneLetters);
    m_dstOffset = qint32(quint32(_time2seconds(s.section(zoneOrComma, 0, 0).toLatin1().constData())));
    s.remove(offsetAndComma);
    _str2mwdh(s.section(QLatin1Char(','), 0, 0).toLatin1().constData(), &m_start);
    _str2mwdh(s.section(QLatin1Char(','), 1, 1).toLatin1().constData(), &m_end);
}

unsigned long zvr3tz::toLocal(unsigned long utc) const
{
    return _tflocal(utc, quint32(m_stdOffset), quint32(m_dstOffset));
}

unsigned long zvr3tz::toGMT(unsigned long local) const
{
    return _tflocal(local, 0u - quint32(m_stdOffset), 0u - quint32(m_dstOffset));
}

unsigned long zvr3tz::getCurrentOffset(unsigned long utc) const
{
    if (m_utc)
        return 0;
    return quint32(toLocal(utc)) - quint32(utc);
}

unsigned long zvr3tz::mktime(tm *t) const
{
    if (!t || t->tm_year < firstYear - 1900 || t->tm_year >= firstYear - 1900 + yearCount || t->tm_mon < 0
        || t->tm_mon > 11)
        return 0;
    const int year = t->tm_year + 1900;
    const unsigned long *bounds = year % 4 == 0 ? mMonthBoundsLeap : mMonthBoundsCommon;
    const quint32 days = quint32(bounds[t->tm_mon]) + quint32(t->tm_mday) - 1u;
    const quint32 seconds = ((days * 24u + quint32(t->tm_hour)) * 60u + quint32(t->tm_min)) * 60u + quint32(t->tm_sec);
    return quint32(mYears[year - firstYear]) + seconds;
}

unsigned long zvr3tz::_time2seconds(const char *text) const
{
    QString s = fromText(text);
    // The sign is looked at before anything is stripped, so " -3" counts as positive.
    const bool negative = s.startsWith(QLatin1Char('-'));
    static const QRegularExpression leadingSigns(QStringLiteral("^[ +-]*"));
    s.remove(leadingSigns);
    static const QRegularExpression field(QStringLiteral("^[0123456789]*[:]{0,1}"));
    quint32 seconds = 0;
    if (!s.isEmpty()) {
        seconds = leadingInt(s) * 3600u;
        s.remove(field);
    }
    if (!s.isEmpty()) {
        seconds += leadingInt(s) * 60u;
        s.remove(field);
    }
    if (!s.isEmpty())
        seconds += leadingInt(s);
    return negative ? 0u - seconds : seconds;
}

void zvr3tz::_str2mwdh(const char *text, tztrans *rule) const
{
    // sscanf(text, "M%d.%d.%d/%d", ...) without its undefined behaviour on overflowing numbers:
    // each field is stored as it is read, and reading stops at the first mismatch.
    if (!text || !rule || *text != 'M')
        return;
    const char *p = text + 1;
    int *const fields[4] = {&rule->month, &rule->week, &rule->day, &rule->hour};
    const char separators[3] = {'.', '.', '/'};
    for (int i = 0; i < 4; ++i) {
        quint32 value = 0;
        if (!readInt(&p, &value))
            return;
        *fields[i] = int(value);
        if (i < 3 && *p++ != separators[i])
            return;
    }
}

int zvr3tz::_find_year(unsigned long t) const
{
    const quint32 time = quint32(t);
    for (int i = 0; i < yearCount; ++i) {
        if (time < mYears[i])
            return firstYear - 1 + i;
    }
    return firstYear + yearCount - 2;  // the last year whose end the table knows: 2105
}

unsigned long zvr3tz::_mwdh2time(const tztrans &rule, const unsigned long *monthBounds, int jan1Weekday) const
{
    if (!monthBounds || !validMonth(rule.month))
        return 0;
    // Rule fields are signed and may be anything a rule string spells ("M1.5.-3/-2"), so the day
    // is worked out in plain integer arithmetic, wide enough for any int field; only the result
    // wraps to 32 bits, as every time does.
    const qint64 first = qint64(monthBounds[rule.month - 1]);
    const qint64 next = qint64(monthBounds[rule.month]);

    // The first such weekday of the month: a weekday below the month's first one moves on a week,
    // once, so a negative weekday can still land before the month starts.
    const qint64 firstWeekday = (first + jan1Weekday) % 7;
    qint64 day = first + (qint64(rule.day) - firstWeekday);
    if (rule.day < firstWeekday)
        day += 7;

    // POSIX weeks: 1 (and 0 or less) the first such weekday, 2 the second ..., 5 or more the last.
    // Moving on a week stops where the next step would leave the month (day + 7 >= next); the
    // steps are counted rather than walked, as a far-off day would take many.
    const qint64 room = day + 7 < next ? (next - 1 - day) / 7 : 0;
    const qint64 steps = rule.week >= 5 ? room : qMin<qint64>(room, qMax(0, rule.week - 1));
    day += 7 * steps;

    return quint32((qint64(rule.hour) + day * 24) * 3600);
}

unsigned long zvr3tz::_tflocal(unsigned long t, unsigned long stdOffset, unsigned long dstOffset) const
{
    const quint32 standard = quint32(t) - quint32(stdOffset);
    // A transition that did not read as a month of the year leaves nothing to switch by.
    if (!m_daylight || !validMonth(m_start.month) || !validMonth(m_end.month))
        return standard;

    const int year = _find_year(standard);
    const unsigned long *bounds = year % 4 == 0 ? mMonthBoundsLeap : mMonthBoundsCommon;
    const quint32 sinceNewYear = standard - quint32(mYears[year - firstYear]);
    const int weekday = newYearWeekday(year);
    // Both transitions are compared with local standard time. Daylight time is in force only
    // between them, so a rule whose end comes first in the year never applies it.
    if (sinceNewYear < quint32(_mwdh2time(m_start, bounds, weekday)))
        return standard;
    if (sinceNewYear >= quint32(_mwdh2time(m_end, bounds, weekday)))
        return standard;
    return quint32(t) - quint32(dstOffset);
}
