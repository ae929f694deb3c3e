#ifndef ZVR3TZ_H
#define ZVR3TZ_H

#include <QString>
#include <QtGlobal>

#include <ctime>

#include "zvr3lib_export.h"

/*!
    \class zvr3tz
    \brief Converts recorder times between UTC and the recorder's local time by a time zone rule.

    A recorder describes its time zone by a rule string in the style of the POSIX \c TZ variable,
    for example "UTC-3UTC-4,M3.5.0/2,M10.5.0/2": the standard-time offset, the daylight-saving
    offset, and the two yearly transitions into and out of daylight-saving time, each written as
    M<month>.<week>.<weekday>/<hour>. Offsets count hours (optionally :minutes and :seconds) west
    of Greenwich, so "-3" is three hours ahead of UTC.

    A recorder keeps its clock in the local time of its zone, and every time it sends or records
    (index records, data records, events, archive and event-list requests) reads that clock: the
    seconds since 1970-01-01 00:00 as if its local time were UTC. toLocal() turns a UTC time into
    that reading, toGMT() a reading into UTC; records in milliseconds convert by their seconds.

    Times are seconds since 1970-01-01 00:00 UTC held in 32 bits. The calendar of this class runs
    from 1970 to 2106 and counts every year divisible by four as a leap year, 2100 included, as the
    recorders do; from March 2100 on its dates are one day ahead of the Gregorian calendar.

    Conventions that differ from POSIX, kept because recorders convert this way:
    \list
    \li The hour of both transitions is read in local standard time. POSIX reads the hour of the
        transition out of daylight-saving time in daylight time, so daylight time here lasts one
        hour longer than under POSIX.
    \li Daylight-saving time applies only when the transition into it comes earlier in the year
        than the transition out of it; a southern-hemisphere rule therefore never applies it.
    \li A rule whose zone names are not made of the letters U, T and C reads as offset 0, and a
        transition that does not read as M<month>.<week>.<weekday>/<hour> with a month from 1 to 12
        turns daylight-saving time off for that rule.
    \li A rule starting with "UTC+0UTC+0" marks a recorder that keeps UTC: getCurrentOffset() then
        returns 0, while toLocal() and toGMT() convert by "UTC-0UTC+1,M3.5.0/2,M10.5.0/2".
    \endlist

    Week numbers follow POSIX: week 1 is the first such weekday of the month, 2 the second, 3 the
    third, 4 the fourth, 5 (or more) the last; 0 (or less) also gives the first.

    Transition fields are signed, as scanf's %d reads them, and are not brought into range. The
    first such weekday of a month is the month's first day plus (weekday - weekday of that day),
    plus 7 when the weekday is the smaller: a negative weekday may thus fall a few days before the
    month starts (week 0), or count as the weekday seven later once weeks move it on within the
    month ("M1.5.-3/2": the last Thursday of January). A negative hour moves the transition back
    into the day before. Only the resulting time wraps to 32 bits.

    All arithmetic is unsigned 32-bit and wraps, also where \c unsigned \c long is wider: arguments
    are taken modulo 2^32, and results lie in 0 to 4294967295. Nothing is ever rejected; text that
    does not match the grammar yields offsets and transition fields of 0.

    A plain value class: no signals, no shared state, freely copied.
*/
class ZVR3LIB_EXPORT zvr3tz
{
public:
    struct btz
    {
        /*! One yearly transition, in the order of the text M<month>.<week>.<day>/<hour>. */
        struct tztrans
        {
            int month;  //!< 1 to 12
            int week;   //!< which such weekday of the month: 1 the first ... 5 the last; 0 the first
            int day;    //!< weekday, 0 = Sunday to 6 = Saturday
            int hour;   //!< hour of the day, local standard time
        };
    };
    using tztrans = btz::tztrans;

    /*! Parses \a rule as setTimeZone() does; a null rule gives "UTC-3UTC-4,M3.5.0/2,M10.5.0/2". */
    explicit zvr3tz(const char *rule = nullptr);
    zvr3tz(const zvr3tz &other);
    zvr3tz &operator=(const zvr3tz &other);
    virtual ~zvr3tz();

    /*! Replaces the rule in force by \a rule (null: the default rule above). Never fails. */
    void setTimeZone(const char *rule);

    /*! The local time of the UTC time \a utc. */
    unsigned long toLocal(unsigned long utc) const;

    /*! The UTC time of the local time \a local. It decides between the two offsets by comparing
        the time that \a local would be in UTC under standard time with the transitions of that
        year, the comparison toLocal() makes on local standard time. Within the zone's offset of a
        transition it can therefore pick the other offset: with the default rule, local 03:00 on
        the day daylight time starts gives 00:00 UTC. */
    unsigned long toGMT(unsigned long local) const;

    /*! toLocal(\a utc) - \a utc, modulo 2^32: a local time behind UTC gives its two's complement
        (4294963696 for one hour west). 0 for a rule marked "UTC+0UTC+0". */
    unsigned long getCurrentOffset(unsigned long utc) const;

    /*! The seconds since 1970 of the broken-down time \a t taken as UTC, by this class's calendar.
        Reads tm_year (70 to 206), tm_mon (0 to 11), tm_mday, tm_hour, tm_min and tm_sec without
        normalising them and without changing \a t. A null \a t, or a year or month outside those
        ranges, gives 0. */
    unsigned long mktime(tm *t) const;

protected:
    /*! Seconds of an offset text such as "-3", "+5:30" or "-3:30:15" (hours[:minutes[:seconds]]);
        negative when the text starts with a minus sign. Text without digits gives 0. */
    unsigned long _time2seconds(const char *text) const;

    /*! Reads "M%d.%d.%d/%d" from \a text into the month, week, day and hour of \a rule; fields the
        text does not supply keep their values. */
    void _str2mwdh(const char *text, tztrans *rule) const;

    /*! The year holding \a t: 1970 to 2105, where every time from the start of 2106 on counts as
        2105. */
    int _find_year(unsigned long t) const;

    /*! Seconds from the start of the year to the transition \a rule, given the month bounds of the
        year and the weekday of its 1 January (0 = Sunday). 0 for a month outside 1 to 12. */
    unsigned long _mwdh2time(const tztrans &rule, const unsigned long *monthBounds, int jan1Weekday) const;

    /*! The conversion behind toLocal() and toGMT(): \a t - \a stdOffset, or \a t - \a dstOffset when
        the standard-time result lies between the two transitions of its year. */
    unsigned long _tflocal(unsigned long t, unsigned long stdOffset, unsigned long dstOffset) const;

    //! Seconds from 1970-01-01 to 1 January of 1970 + i, every fourth year a leap year (137 years).
    static const unsigned long mYears[137];
    //! Day of the year (from 0) on which each month starts, then the length of the year.
    static const unsigned long mMonthBoundsCommon[13];
    static const unsigned long mMonthBoundsLeap[13];

    QString m_rule;               //!< the rule in force, after the substitutions of setTimeZone()
    tztrans m_start {};           //!< into daylight-saving time
    tztrans m_end {};             //!< out of daylight-saving time
    bool m_daylight = false;      //!< the rule holds a comma
    qint32 m_stdOffset = 0;       //!< seconds west of Greenwich in standard time
    qint32 m_dstOffset = 0;       //!< seconds west of Greenwich in daylight-saving time
    bool m_utc = false;           //!< the rule starts with "UTC+0UTC+0"
};

#endif // ZVR3TZ_H
