#include <QtTest>

#include <cstring>
#include <ctime>

#include "zvr3tz.h"

namespace {

// Opens the protected year lookup to the tests.
class probe : public zvr3tz
{
public:
    using zvr3tz::zvr3tz;
    using zvr3tz::_find_year;
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
    void conversions_data()
    {
        // A rule (null: the default), a conversion: L toLocal, G toGMT, O getCurrentOffset, Y the
        // year lookup, or A the offset that toLocal adds at any time of the year (and toGMT takes
        // away, and getCurrentOffset gives); a time, and what the conversion gives.
        QTest::addColumn<QByteArray>("rule");
        QTest::addColumn<char>("conversion");
        QTest::addColumn<qint64>("time");
        QTest::addColumn<qint64>("result");
        const auto row = [](const char *name, const char *rule, char conversion, qint64 time, qint64 result) {
            QTest::newRow(name) << QByteArray(rule) << conversion << time << result;
        };
        const char *const standard = nullptr;  // "UTC-3UTC-4,M3.5.0/2,M10.5.0/2"
        row("winter", standard, 'L', at(2010, 1, 15, 12), at(2010, 1, 15, 15));
        row("summer", standard, 'L', 1277942400, 1277956800);
        row("winter offset", standard, 'O', at(2010, 1, 15, 12), 10800);
        row("summer offset", standard, 'O', 1277942400, 14400);
        // Into daylight time at 02:00 local standard time on the last Sunday of March; out of it at
        // 02:00 local standard time (03:00 daylight) on the last Sunday of October. toLocal() around
        // the changes of this rule and others is checked against the C library below.
        row("back from the start", standard, 'G', at(2010, 3, 28, 3), at(2010, 3, 28));
        row("back from the end", standard, 'G', at(2010, 10, 31, 2), at(2010, 10, 30, 22));
        // Unsigned 32-bit arithmetic that wraps, on the low 32 bits of the argument.
        row("offset west", "UTC+1", 'O', at(2010, 1, 15), 4294963696);
        row("west of 0", "UTC+1", 'L', 0, 4294963696);
        row("back from 0", standard, 'G', 0, 4294956496);
        row("after the last second", standard, 'L', 4294967295, 10799);
        row("high bits", standard, 'L', (Q_INT64_C(1) << 32) + at(2010, 7, 1), at(2010, 7, 1, 4));
        row("high bits, offset", standard, 'O', (Q_INT64_C(1) << 32) + at(2010, 7, 1), 14400);
        // The year lookup at the ends of the table; 2100 counts as a leap year.
        row("year of 0", standard, 'Y', 0, 1970);
        row("year at the start of 1971", standard, 'Y', 31536000, 1971);
        row("year at 2100-12-31", standard, 'Y', 4134067199, 2100);
        row("year at the end of 2105", standard, 'Y', 4291833599, 2105);
        row("year at the start of 2106", standard, 'Y', 4291833600, 2105);
        row("year, high bits", standard, 'Y', Q_INT64_C(1) << 32, 1970);
        // Rules without daylight time, and local time minus UTC all year round (A).
        row("UTC+3", "UTC+3", 'A', 0, -10800);
        row("seconds", "UTC-3:30:15", 'A', 0, 12615);
        row("first three characters dropped", "MSK-3", 'A', 0, 10800);
        row("then zone letters", "+12UTC-1", 'A', 0, 3600);
        row("empty", "", 'A', 0, 0);
        row("blank hides the sign", "UTC -3", 'A', 0, -10800);
        row("several signs", "UTC-+-2", 'A', 0, 7200);
        row("two colons", "UTC1::30", 'A', 0, -(3600 + 30));
        row("trailing text", "UTC2x", 'A', 0, -7200);
        row("marker not at the start", " UTC+0UTC+0", 'A', 0, 0);
        row("garbage", ",,,", 'A', 0, 0);
        row("start month 0", "UTC-3UTC-4,M0.5.0/2,M10.5.0/2", 'A', 0, 10800);
        row("start month 13", "UTC-3UTC-4,M13.5.0/2,M10.5.0/2", 'A', 0, 10800);
        row("end month -1", "UTC-3UTC-4,M3.5.0/2,M-1.5.0/2", 'A', 0, 10800);
        row("end missing", "UTC-3UTC-4,M3.5.0/2", 'A', 0, 10800);
        row("julian day", "UTC-3UTC-4,J60/2,M10.5.0/2", 'A', 0, 10800);
        row("other zone names", "MSK-3MSD-4,M3.5.0/2,M10.5.0/2", 'A', 0, 0);
        row("huge numbers", "UTC-99999999999UTC-4,M99999999999.5.0/2,M10.5.0/2", 'A', 0,
            qint64(quint32(Q_UINT64_C(99999999999)) * 3600u));
        // Daylight time from October to April: the end comes first in the year, so it never applies.
        row("southern hemisphere", "UTC-10UTC-11,M10.1.0/2,M4.1.0/3", 'A', 0, 36000);
        // The marker gives the offset 0, while conversions go by one hour west with daylight time.
        row("marker, summer offset", "UTC+0UTC+0", 'O', at(2010, 7, 1, 12), 0);
        row("marker, summer", "UTC+0UTC+0 whatever follows", 'L', at(2010, 7, 1, 12), at(2010, 7, 1, 11));
        row("marker, winter", "UTC+0UTC+0", 'L', at(2010, 1, 15, 12), at(2010, 1, 15, 12));
        row("marker, back in summer", "UTC+0UTC+0", 'G', at(2010, 7, 1, 12), at(2010, 7, 1, 13));
        // Week 0 or less is the first such weekday, 5 or more the last; a missing hour is 0. The
        // end, 9999 hours after the last Sunday of December, lies beyond every year's end.
        row("week 0, no hour, before", "UTC+0UTC-1,M3.0.0,M12.5.0/9999", 'L', at(2010, 3, 7) - 1, at(2010, 3, 7) - 1);
        row("week 0, no hour", "UTC+0UTC-1,M3.0.0,M12.5.0/9999", 'L', at(2010, 3, 7), at(2010, 3, 7, 1));
        row("week 9, before", "UTC+0UTC-1,M5.9.0/0,M12.5.0/9999", 'L', at(2010, 5, 30) - 1, at(2010, 5, 30) - 1);
        row("week 9", "UTC+0UTC-1,M5.9.0/0,M12.5.0/9999", 'L', at(2010, 5, 30), at(2010, 5, 30, 1));
        // Signed fields. A weekday below that of the month's first day moves on one week: -3 in a
        // January that starts on a Friday is the Thursday before it, and the last such day is the
        // last Thursday; -10 starts two weeks back and still ends there. With week 0, -9 in a
        // March that starts on a Monday stays in February (26th); -9 in that January lies before
        // the year, where the wrapped time is never reached. A negative hour goes back a day.
        row("weekday -3, summer", "UTC-3UTC-4,M1.5.-3/2,M10.5.0/2", 'L', 1277942400, 1277956800);
        row("weekday -3, before", "UTC-3UTC-4,M1.5.-3/2,M10.5.0/2", 'L', at(2010, 1, 27, 22, 59, 59), at(2010, 1, 28, 1, 59, 59));
        row("weekday -3", "UTC-3UTC-4,M1.5.-3/2,M10.5.0/2", 'L', at(2010, 1, 27, 23), at(2010, 1, 28, 3));
        row("weekday -10, before", "UTC+0UTC-1,M1.5.-10/0,M12.5.0/9999", 'L', at(2010, 1, 28) - 1, at(2010, 1, 28) - 1);
        row("weekday -10", "UTC+0UTC-1,M1.5.-10/0,M12.5.0/9999", 'L', at(2010, 1, 28), at(2010, 1, 28, 1));
        row("weekday -9, week 0, before", "UTC+0UTC-1,M3.0.-9/0,M12.5.0/9999", 'L', at(2010, 2, 26) - 1, at(2010, 2, 26) - 1);
        row("weekday -9, week 0", "UTC+0UTC-1,M3.0.-9/0,M12.5.0/9999", 'L', at(2010, 2, 26), at(2010, 2, 26, 1));
        row("start before the year", "UTC+0UTC-1,M1.0.-9/0,M12.5.0/9999", 'A', 0, 0);
        row("hour -2, before", "UTC+0UTC-1,M5.5.0/-2,M12.5.0/9999", 'L', at(2010, 5, 29, 22) - 1, at(2010, 5, 29, 22) - 1);
        row("hour -2", "UTC+0UTC-1,M5.5.0/-2,M12.5.0/9999", 'L', at(2010, 5, 29, 22), at(2010, 5, 29, 23));
    }

    void conversions()
    {
        QFETCH(QByteArray, rule);
        QFETCH(char, conversion);
        QFETCH(qint64, time);
        QFETCH(qint64, result);
        probe tz("UTC+0UTC+0");  // a new rule leaves nothing of the previous one behind
        tz.setTimeZone(rule.isNull() ? nullptr : rule.constData());
        if (conversion == 'A') {
            for (const quint32 t : {at(2010, 1, 15, 12), at(2010, 7, 1), at(2010, 12, 25), at(2099, 6, 30, 23, 59, 59)}) {
                QCOMPARE(tz.toLocal(t), (unsigned long)(t + quint32(result)));
                QCOMPARE(tz.toGMT(t), (unsigned long)(t - quint32(result)));
                QCOMPARE(tz.getCurrentOffset(t), (unsigned long)quint32(result));
            }
            return;
        }
        const unsigned long t = (unsigned long)time;
        const unsigned long got = conversion == 'L' ? tz.toLocal(t) : conversion == 'G' ? tz.toGMT(t)
            : conversion == 'O' ? tz.getCurrentOffset(t) : (unsigned long)tz._find_year(t);
        QCOMPARE(got, (unsigned long)result);
    }

    void mktime_data()
    {
        QTest::addColumn<QList<int>>("fields");  // year, month (1-12), day, hour, minute, second
        QTest::addColumn<qint64>("seconds");
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

    void mktime()
    {
        QFETCH(QList<int>, fields);
        QFETCH(qint64, seconds);
        tm t;
        std::memset(&t, 0x5a, sizeof t);
        int *const field[] = {&t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec};
        for (int i = 0; i < 6; ++i)
            *field[i] = fields[i] - (i == 0 ? 1900 : i == 1 ? 1 : 0);
        const tm before = t;
        const zvr3tz tz;  // the rule plays no part
        QCOMPARE(tz.mktime(&t), (unsigned long)seconds);
        QVERIFY(std::memcmp(&before, &t, sizeof t) == 0);
        QCOMPARE(tz.mktime(nullptr), 0ul);
    }

    void agreesWithCLibrary_data()
    {
        // Northern-hemisphere rules with daylight time one hour ahead, covering weeks 1, 2, 4 and 5, at
        // both ends, several weekdays and hours, zones east and west and offsets with minutes.
        QTest::addColumn<QByteArray>("rule");
        QTest::newRow("weeks 5 and 5") << QByteArray("UTC-3UTC-4,M3.5.0/2,M10.5.0/2");
        QTest::newRow("weeks 2 and 1") << QByteArray("UTC+5UTC+4,M3.2.0/2,M11.1.0/2");
        QTest::newRow("weeks 1 and 4") << QByteArray("UTC+0UTC-1,M4.1.6/0,M9.4.3/23");
        QTest::newRow("weeks 1 and 5") << QByteArray("UTC+3:30UTC+2:30,M3.1.0/1,M11.5.6/1");
        QTest::newRow("February and December") << QByteArray("UTC-1UTC-2,M2.5.3/0,M12.5.4/23");
    }

    void agreesWithCLibrary()
    {
        // Nothing else in this test reads the process's local time zone.
        QFETCH(QByteArray, rule);
        qputenv("TZ", rule);
        tzset();
        const auto cLocal = [](qint64 t) {
            const time_t when = time_t(t);
            tm broken;
            localtime_r(&when, &broken);
            return std::make_pair(quint32(t + broken.tm_gmtoff), broken.tm_isdst > 0);
        };
        // The first second in daylight time (daylight) or out of it, between low and high.
        const auto first = [&](qint64 low, qint64 high, bool daylight) {
            while (high - low > 1) {
                const qint64 mid = low + (high - low) / 2;
                (cLocal(mid).second == daylight ? high : low) = mid;
            }
            return high;
        };
        const zvr3tz tz(rule.constData());
        for (int year = 1971; year <= 2099; ++year) {
            // Around both transitions, which the C library says where they are. POSIX reads the hour
            // of the end transition in daylight time, this class in standard time: in the hour
            // after the C library's end, daylight time here lasts one hour longer.
            const qint64 start = first(at(year, 1, 1), at(year, 7, 1), true);
            const qint64 end = first(at(year, 7, 1), at(year + 1, 1, 1) - 1, false);
            for (const qint64 t : {start - hour, start - 1, start, start + 1, end - hour, end - 1, end + hour, end + hour + 1})
                QCOMPARE(quint32(tz.toLocal((unsigned long)t)), cLocal(t).first);
            for (const qint64 t : {end, end + 1, end + hour - 1})
                QCOMPARE(quint32(tz.toLocal((unsigned long)t)), cLocal(t).first + hour);
        }
    }
};

QTEST_GUILESS_MAIN(tst_zvr3tz)
#include "tst_zvr3tz.moc"
