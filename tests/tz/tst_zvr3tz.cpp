#include <QtTest>

#include <cstring>
#include <ctime>

#include "zvr3tz.h"

namespace {

// Opens the protected helpers and the parsed rule to the tests.
class probe : public zvr3tz
{
public:
    using zvr3tz::zvr3tz;
    using zvr3tz::_find_year;
    using zvr3tz::_mwdh2time;
    using zvr3tz::_time2seconds;
    using zvr3tz::mMonthBoundsCommon;
    using zvr3tz::mMonthBoundsLeap;

    qint32 stdOffset() const { return m_stdOffset; }
    qint32 dstOffset() const { return m_dstOffset; }
    bool daylight() const { return m_daylight; }
    bool utc() const { return m_utc; }
    QString rule() const { return m_rule; }
    QList<int> start() const { return {m_start.month, m_start.week, m_start.day, m_start.hour}; }
    QList<int> end() const { return {m_end.month, m_end.week, m_end.day, m_end.hour}; }
};

// Seconds since 1970 of a Gregorian UTC date; the calendar of zvr3tz agrees up to February 2100.
quint32 at(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    return quint32(QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC).toSecsSinceEpoch());
}

const quint32 hour = 3600;

} // namespace

class tst_zvr3tz : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void parse_data();
    void parse();
    void time2seconds_data();
    void time2seconds();
    void defaultRule();
    void transitionWeeks_data();
    void transitionWeeks();
    void withoutDaylight_data();
    void withoutDaylight();
    void utcMarker();
    void southernHemisphere();
    void wrapsIn32Bits();
    void findYear_data();
    void findYear();
    void mktime_data();
    void mktime();
    void agreesWithCLibrary_data();
    void agreesWithCLibrary();

private:
    QByteArray m_savedTz;
    bool m_tzChanged = false;
};

void tst_zvr3tz::cleanup()
{
    if (!m_tzChanged)
        return;
    if (m_savedTz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", m_savedTz);
    tzset();
    m_tzChanged = false;
}

void tst_zvr3tz::parse_data()
{
    QTest::addColumn<QByteArray>("rule");
    QTest::addColumn<int>("stdOffset");
    QTest::addColumn<int>("dstOffset");
    QTest::addColumn<bool>("daylight");
    QTest::addColumn<QList<int>>("start");
    QTest::addColumn<QList<int>>("end");

    const QList<int> none = {0, 0, 0, 0};
    QTest::newRow("minutes") << QByteArray("UTC+5:30UTC+4:30,M3.2.0/2,M11.1.0/2") << 19800 << 16200 << true
                             << QList<int>{3, 2, 0, 2} << QList<int>{11, 1, 0, 2};
    QTest::newRow("seconds") << QByteArray("UTC-3:30:15UTC+1:02:03,M4.1.6/23,M9.4.3/0") << -12615 << 3723 << true
                             << QList<int>{4, 1, 6, 23} << QList<int>{9, 4, 3, 0};
    QTest::newRow("missing hour") << QByteArray("UTC-3UTC-4,M3.5.0,M10.5") << -10800 << -14400 << true
                                  << QList<int>{3, 5, 0, 0} << QList<int>{10, 5, 0, 0};
    QTest::newRow("no end") << QByteArray("UTC-3UTC-4,M3.5.0/2") << -10800 << -14400 << true
                            << QList<int>{3, 5, 0, 2} << none;
    QTest::newRow("other zone names") << QByteArray("MSK-3MSD-4,M3.5.0/2,M10.5.0/2") << 0 << 0 << true
                                      << none << QList<int>{3, 5, 0, 2};
    QTest::newRow("dropped characters and zone letters") << QByteArray("+12UTC-1") << -3600 << 0 << false << none
                                                          << none;
    QTest::newRow("garbage") << QByteArray(",,,") << 0 << 0 << true << none << none;
    QTest::newRow("huge numbers") << QByteArray("UTC-99999999999UTC-4,M99999999999.5.0/2,M10.5.0/2")
                                  << qint32(quint32(0u - quint32(Q_UINT64_C(99999999999)) * 3600u)) << -14400 << true
                                  << QList<int>{int(quint32(Q_UINT64_C(99999999999))), 5, 0, 2}
                                  << QList<int>{10, 5, 0, 2};
}

void tst_zvr3tz::parse()
{
    QFETCH(QByteArray, rule);
    QFETCH(int, stdOffset);
    QFETCH(int, dstOffset);
    QFETCH(bool, daylight);
    QFETCH(QList<int>, start);
    QFETCH(QList<int>, end);

    probe tz(rule.constData());
    QCOMPARE(tz.rule(), QString::fromLatin1(rule));
    QCOMPARE(tz.stdOffset(), stdOffset);
    QCOMPARE(tz.daylight(), daylight);
    QVERIFY(!tz.utc());
    if (daylight) {
        QCOMPARE(tz.dstOffset(), dstOffset);
        QCOMPARE(tz.start(), start);
        QCOMPARE(tz.end(), end);
    }

    // Nothing of the previous rule's transitions survives a new rule.
    probe again;
    again.setTimeZone(rule.constData());
    QCOMPARE(again.stdOffset(), stdOffset);
    QCOMPARE(again.start(), start);
    QCOMPARE(again.end(), end);
}

void tst_zvr3tz::time2seconds_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("seconds");
    QTest::newRow("hours") << QByteArray("-3") << -10800;
    QTest::newRow("hours and minutes") << QByteArray("+5:30") << 19800;
    QTest::newRow("hours, minutes, seconds") << QByteArray("-3:30:15") << -12615;
    QTest::newRow("empty") << QByteArray("") << 0;
    QTest::newRow("no digits") << QByteArray("abc") << 0;
    QTest::newRow("blank hides the sign") << QByteArray(" -3") << 10800;
    QTest::newRow("several signs") << QByteArray("-+-2") << -7200;
    QTest::newRow("no hours") << QByteArray(":30") << 1800;
    QTest::newRow("signed minutes, not removed") << QByteArray("1:-30") << 3600 - 1800 - 30;
    QTest::newRow("trailing text") << QByteArray("2x") << 7200;
}

void tst_zvr3tz::time2seconds()
{
    QFETCH(QByteArray, text);
    QFETCH(int, seconds);
    probe tz;
    QCOMPARE(qint32(quint32(tz._time2seconds(text.constData()))), seconds);
}

void tst_zvr3tz::defaultRule()
{
    probe tz;
    QCOMPARE(tz.rule(), QStringLiteral("UTC-3UTC-4,M3.5.0/2,M10.5.0/2"));
    QCOMPARE(tz.stdOffset(), -10800);
    QCOMPARE(tz.dstOffset(), -14400);
    QCOMPARE(tz.start(), (QList<int>{3, 5, 0, 2}));
    QCOMPARE(tz.end(), (QList<int>{10, 5, 0, 2}));

    QCOMPARE(tz.toLocal(at(2010, 1, 15, 12)), (unsigned long)at(2010, 1, 15, 15));
    QCOMPARE(tz.toLocal(1277942400), 1277956800ul);
    QCOMPARE(tz.getCurrentOffset(at(2010, 1, 15, 12)), 10800ul);
    QCOMPARE(tz.getCurrentOffset(1277942400), 14400ul);

    // Into daylight time at 02:00 local standard time on the last Sunday of March.
    const quint32 start = at(2010, 3, 27, 23);
    QCOMPARE(tz.toLocal(start - 1), (unsigned long)at(2010, 3, 28, 1, 59, 59));
    QCOMPARE(tz.toLocal(start), (unsigned long)at(2010, 3, 28, 3));
    // Out of it at 02:00 local standard time (03:00 daylight) on the last Sunday of October.
    const quint32 end = at(2010, 10, 30, 23);
    QCOMPARE(tz.toLocal(end - 1), (unsigned long)at(2010, 10, 31, 2, 59, 59));
    QCOMPARE(tz.toLocal(end), (unsigned long)at(2010, 10, 31, 2));

    QCOMPARE(tz.toGMT(at(2010, 3, 28, 3)), (unsigned long)at(2010, 3, 28));
    QCOMPARE(tz.toGMT(at(2010, 10, 31, 2)), (unsigned long)at(2010, 10, 30, 22));
    QCOMPARE(tz.toGMT(at(2010, 7, 1, 4)), (unsigned long)at(2010, 7, 1));
    QCOMPARE(tz.toGMT(at(2010, 12, 1, 3)), (unsigned long)at(2010, 12, 1));
}

void tst_zvr3tz::transitionWeeks_data()
{
    QTest::addColumn<int>("month");
    QTest::addColumn<int>("week");
    QTest::addColumn<int>("day");
    QTest::addColumn<QDate>("date");
    // March 2010 starts on a Monday and has four Sundays; May 2010 starts on a Saturday and has five.
    QTest::newRow("March week 0") << 3 << 0 << 0 << QDate(2010, 3, 7);
    QTest::newRow("March week 1") << 3 << 1 << 0 << QDate(2010, 3, 7);
    QTest::newRow("March week 4") << 3 << 4 << 0 << QDate(2010, 3, 28);
    QTest::newRow("March week 5") << 3 << 5 << 0 << QDate(2010, 3, 28);
    QTest::newRow("May week -1") << 5 << -1 << 0 << QDate(2010, 5, 2);
    QTest::newRow("May week 1") << 5 << 1 << 0 << QDate(2010, 5, 2);
    QTest::newRow("May week 2") << 5 << 2 << 0 << QDate(2010, 5, 9);
    QTest::newRow("May week 3") << 5 << 3 << 0 << QDate(2010, 5, 16);
    QTest::newRow("May week 4") << 5 << 4 << 0 << QDate(2010, 5, 23);
    QTest::newRow("May week 5") << 5 << 5 << 0 << QDate(2010, 5, 30);
    QTest::newRow("May week 9") << 5 << 9 << 0 << QDate(2010, 5, 30);
    QTest::newRow("May first Saturday") << 5 << 1 << 6 << QDate(2010, 5, 1);
    QTest::newRow("May last Monday") << 5 << 5 << 1 << QDate(2010, 5, 31);
    QTest::newRow("February 2012, leap") << 2 << 5 << 3 << QDate(2012, 2, 29);
    QTest::newRow("February 2011") << 2 << 5 << 1 << QDate(2011, 2, 28);
    QTest::newRow("December 2099") << 12 << 5 << 4 << QDate(2099, 12, 31);
}

void tst_zvr3tz::transitionWeeks()
{
    QFETCH(int, month);
    QFETCH(int, week);
    QFETCH(int, day);
    QFETCH(QDate, date);
    // Daylight time one hour ahead from the given transition at midnight on; the end transition,
    // 9999 hours after the last Sunday of December, lies beyond every year's end.
    const QByteArray rule = QStringLiteral("UTC+0UTC-1,M%1.%2.%3/0,M12.5.0/9999").arg(month).arg(week).arg(day).toLatin1();
    zvr3tz tz(rule.constData());
    const quint32 t = at(date.year(), date.month(), date.day());
    QCOMPARE(tz.toLocal(t - 1), (unsigned long)(t - 1));
    QCOMPARE(tz.toLocal(t), (unsigned long)(t + hour));
}

void tst_zvr3tz::withoutDaylight_data()
{
    QTest::addColumn<QByteArray>("rule");
    QTest::addColumn<int>("offset");
    QTest::newRow("UTC+3") << QByteArray("UTC+3") << -10800;
    QTest::newRow("MSK-3") << QByteArray("MSK-3") << 10800;
    QTest::newRow("empty") << QByteArray("") << 0;
    QTest::newRow("start month 0") << QByteArray("UTC-3UTC-4,M0.5.0/2,M10.5.0/2") << 10800;
    QTest::newRow("start month 13") << QByteArray("UTC-3UTC-4,M13.5.0/2,M10.5.0/2") << 10800;
    QTest::newRow("end month -1") << QByteArray("UTC-3UTC-4,M3.5.0/2,M-1.5.0/2") << 10800;
    QTest::newRow("end missing") << QByteArray("UTC-3UTC-4,M3.5.0/2") << 10800;
    QTest::newRow("julian day") << QByteArray("UTC-3UTC-4,J60/2,M10.5.0/2") << 10800;
    QTest::newRow("other zone names") << QByteArray("MSK-3MSD-4,M3.5.0/2,M10.5.0/2") << 0;
}

void tst_zvr3tz::withoutDaylight()
{
    QFETCH(QByteArray, rule);
    QFETCH(int, offset);
    zvr3tz tz(rule.constData());
    for (const quint32 t : {at(2010, 1, 15, 12), at(2010, 7, 1), at(2099, 6, 30, 23, 59, 59)}) {
        QCOMPARE(tz.toLocal(t), (unsigned long)(t + quint32(offset)));
        QCOMPARE(tz.toGMT(t), (unsigned long)(t - quint32(offset)));
        QCOMPARE(tz.getCurrentOffset(t), (unsigned long)quint32(offset));
    }
}

void tst_zvr3tz::utcMarker()
{
    probe tz("UTC+0UTC+0 whatever follows");
    QVERIFY(tz.utc());
    QCOMPARE(tz.rule(), QStringLiteral("UTC-0UTC+1,M3.5.0/2,M10.5.0/2"));
    const quint32 summer = at(2010, 7, 1, 12);
    const quint32 winter = at(2010, 1, 15, 12);
    QCOMPARE(tz.getCurrentOffset(summer), 0ul);
    QCOMPARE(tz.getCurrentOffset(winter), 0ul);
    QCOMPARE(tz.toLocal(summer), (unsigned long)(summer - hour));
    QCOMPARE(tz.toLocal(winter), (unsigned long)winter);
    QCOMPARE(tz.toGMT(summer), (unsigned long)(summer + hour));

    // The marker only counts at the very start.
    probe shifted(" UTC+0UTC+0");
    QVERIFY(!shifted.utc());
    // A new rule clears it.
    tz.setTimeZone("UTC+0");
    QVERIFY(!tz.utc());
    QCOMPARE(tz.getCurrentOffset(summer), 0ul);
}

void tst_zvr3tz::southernHemisphere()
{
    // Daylight time from October to April: the end comes first in the year, so it never applies.
    zvr3tz tz("UTC-10UTC-11,M10.1.0/2,M4.1.0/3");
    for (const quint32 t : {at(2010, 1, 15), at(2010, 4, 3, 12), at(2010, 7, 1), at(2010, 10, 3, 12), at(2010, 12, 25)})
        QCOMPARE(tz.toLocal(t), (unsigned long)(t + 10 * hour));
}

void tst_zvr3tz::wrapsIn32Bits()
{
    zvr3tz west("UTC+1");
    QCOMPARE(west.getCurrentOffset(at(2010, 1, 15)), 4294963696ul);
    QCOMPARE(west.toLocal(0), 4294963696ul);
    QCOMPARE(zvr3tz().toGMT(0), 4294956496ul);
    QCOMPARE(zvr3tz().toLocal(4294967295ul), 10799ul);
    if (sizeof(unsigned long) > 4) {
        // Only the low 32 bits of an argument count.
        const unsigned long high = (unsigned long)(Q_UINT64_C(1) << 32);
        const quint32 t = at(2010, 7, 1);
        QCOMPARE(zvr3tz().toLocal(high + t), zvr3tz().toLocal(t));
        QCOMPARE(zvr3tz().getCurrentOffset(high + t), 14400ul);
        probe tz;
        QCOMPARE(tz._find_year(high), 1970);
    }
}

void tst_zvr3tz::findYear_data()
{
    QTest::addColumn<qint64>("time");
    QTest::addColumn<int>("year");
    QTest::newRow("0") << qint64(0) << 1970;
    QTest::newRow("end of 1970") << qint64(31535999) << 1970;
    QTest::newRow("start of 1971") << qint64(31536000) << 1971;
    QTest::newRow("2012-12-31 23:59:59") << qint64(1356998399) << 2012;
    QTest::newRow("end of 2099") << qint64(4102444799) << 2099;
    QTest::newRow("start of 2100") << qint64(4102444800) << 2100;
    QTest::newRow("2100-12-31, a leap day later") << qint64(4134067199) << 2100;
    QTest::newRow("end of 2105") << qint64(4291833599) << 2105;
    QTest::newRow("start of 2106") << qint64(4291833600) << 2105;
    QTest::newRow("last second") << qint64(4294967295) << 2105;
}

void tst_zvr3tz::findYear()
{
    QFETCH(qint64, time);
    QFETCH(int, year);
    probe tz;
    QCOMPARE(tz._find_year((unsigned long)time), year);
}

void tst_zvr3tz::mktime_data()
{
    QTest::addColumn<QList<int>>("fields");  // year, month (1-12), day, hour, minute, second
    QTest::addColumn<qint64>("seconds");
    QTest::newRow("epoch") << QList<int>{1970, 1, 1, 0, 0, 0} << qint64(0);
    QTest::newRow("2010 transition") << QList<int>{2010, 3, 27, 23, 0, 0} << qint64(1269730800);
    QTest::newRow("2012-02-29") << QList<int>{2012, 2, 29, 12, 0, 0} << qint64(at(2012, 2, 29, 12));
    QTest::newRow("2100-02-28") << QList<int>{2100, 2, 28, 0, 0, 0} << qint64(at(2100, 2, 28));
    QTest::newRow("2100-02-29, a day of this calendar only") << QList<int>{2100, 2, 29, 0, 0, 0} << qint64(at(2100, 3, 1));
    QTest::newRow("2100-03-01, one day past Gregorian") << QList<int>{2100, 3, 1, 0, 0, 0} << qint64(4107542400 + 86400);
    QTest::newRow("last second") << QList<int>{2106, 2, 6, 6, 28, 15} << qint64(4294967295);
    QTest::newRow("wraps after it") << QList<int>{2106, 2, 6, 6, 28, 16} << qint64(0);
    QTest::newRow("not normalised") << QList<int>{2010, 1, 32, 25, 61, -1} << qint64(at(2010, 2, 2, 2, 0, 59));
    QTest::newRow("year 1969") << QList<int>{1969, 12, 31, 0, 0, 0} << qint64(0);
    QTest::newRow("year 2107") << QList<int>{2107, 1, 1, 0, 0, 0} << qint64(0);
    QTest::newRow("month 13") << QList<int>{2010, 13, 1, 0, 0, 0} << qint64(0);
    QTest::newRow("month 0") << QList<int>{2010, 0, 1, 0, 0, 0} << qint64(0);
}

void tst_zvr3tz::mktime()
{
    QFETCH(QList<int>, fields);
    QFETCH(qint64, seconds);
    tm t;
    std::memset(&t, 0x5a, sizeof t);
    t.tm_year = fields[0] - 1900;
    t.tm_mon = fields[1] - 1;
    t.tm_mday = fields[2];
    t.tm_hour = fields[3];
    t.tm_min = fields[4];
    t.tm_sec = fields[5];
    const tm before = t;
    zvr3tz tz("UTC-5UTC-6,M3.2.0/2,M11.1.0/2");  // the rule plays no part
    QCOMPARE(tz.mktime(&t), (unsigned long)seconds);
    QVERIFY(std::memcmp(&before, &t, sizeof t) == 0);
    QCOMPARE(tz.mktime(nullptr), 0ul);
}

void tst_zvr3tz::agreesWithCLibrary_data()
{
    // Northern-hemisphere rules with daylight time one hour ahead, covering weeks 1 to 5 at both
    // ends, several weekdays and hours, zones east and west and offsets with minutes.
    QTest::addColumn<QByteArray>("rule");
    QTest::newRow("weeks 5 and 5") << QByteArray("UTC-3UTC-4,M3.5.0/2,M10.5.0/2");
    QTest::newRow("weeks 2 and 1") << QByteArray("UTC+5UTC+4,M3.2.0/2,M11.1.0/2");
    QTest::newRow("weeks 1 and 4") << QByteArray("UTC+0UTC-1,M4.1.6/0,M9.4.3/23");
    QTest::newRow("weeks 3 and 2") << QByteArray("UTC-5:30UTC-6:30,M4.3.2/5,M10.2.5/3");
    QTest::newRow("weeks 4 and 3") << QByteArray("UTC-10UTC-11,M5.4.1/4,M8.3.0/2");
    QTest::newRow("weeks 1 and 5") << QByteArray("UTC+3:30UTC+2:30,M3.1.0/1,M11.5.6/1");
}

void tst_zvr3tz::agreesWithCLibrary()
{
    QFETCH(QByteArray, rule);
    m_savedTz = qgetenv("TZ");
    m_tzChanged = true;
    qputenv("TZ", rule);
    tzset();

    struct Local
    {
        quint32 time;
        bool daylight;
    };
    auto cLocal = [](qint64 t) {
        const time_t when = time_t(t);
        tm broken;
        localtime_r(&when, &broken);
        return Local{quint32(t + broken.tm_gmtoff), broken.tm_isdst > 0};
    };

    const zvr3tz tz(rule.constData());
    QStringList mismatches;
    int compared = 0;
    auto check = [&](qint64 t) {
        ++compared;
        const quint32 expected = cLocal(t).time;
        const quint32 actual = quint32(tz.toLocal((unsigned long)t));
        if (actual != expected && mismatches.size() < 10) {
            mismatches << QStringLiteral("%1 (%2): %3, C library %4")
                              .arg(t)
                              .arg(QDateTime::fromSecsSinceEpoch(t, Qt::UTC).toString(Qt::ISODate))
                              .arg(actual)
                              .arg(expected);
        }
    };
    // POSIX reads the hour of the end transition in daylight time, this class in standard time:
    // during the hour after the C library's end transition the two differ by design.
    auto withinEndHour = [&](qint64 t) { return cLocal(t - hour).daylight && !cLocal(t).daylight; };

    // Every year: the transitions themselves, found in the C library's answers.
    for (int year = 1971; year <= 2099; ++year) {
        const qint64 newYear = at(year, 1, 1);
        const qint64 midYear = at(year, 7, 1);
        const qint64 nextYear = at(year + 1, 1, 1);
        QVERIFY(!cLocal(newYear).daylight && cLocal(midYear).daylight && !cLocal(nextYear - 1).daylight);
        auto firstWhere = [&](qint64 low, qint64 high, bool daylight) {  // high satisfies, low does not
            while (high - low > 1) {
                const qint64 mid = low + (high - low) / 2;
                (cLocal(mid).daylight == daylight ? high : low) = mid;
            }
            return high;
        };
        const qint64 start = firstWhere(newYear, midYear, true);
        const qint64 end = firstWhere(midYear, nextYear - 1, false);
        for (const qint64 t : {start - hour, start - 1, start, start + 1, start + hour, end - hour, end - 1,
                               end + hour, end + hour + 1, end + 2 * hour})
            check(t);
        // The hour that this class keeps in daylight time.
        for (const qint64 t : {end, end + 1, end + hour - 1}) {
            if (quint32(tz.toLocal((unsigned long)t)) != cLocal(t).time + hour && mismatches.size() < 10)
                mismatches << QStringLiteral("%1: daylight time should last one hour more").arg(t);
        }
    }

    // Times spread over the whole range, at every time of day.
    for (qint64 t = at(1971, 1, 1); t < qint64(at(2100, 1, 1)); t += 100003) {
        if (!withinEndHour(t))
            check(t);
    }
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches.join(QLatin1String("\n"))));
    QVERIFY(compared > 40000);
}

QTEST_GUILESS_MAIN(tst_zvr3tz)
#include "tst_zvr3tz.moc"
