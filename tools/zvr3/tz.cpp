// zvr3 tz: converts recorder times by a time zone rule, the way zvr3tz does.
#include <QCommandLineParser>
#include <QRegularExpression>

#include <cstdio>
#include <ctime>

#include "commands.h"
#include "zvr3tz.h"

namespace {

int badUsage(const char *message)
{
    std::fprintf(stderr, "zvr3 tz: %s\n", message);
    return 2;
}

int print(const QList<quint64> &values)
{
    for (const quint64 value : values) {
        const QByteArray line = QByteArray::number(value) + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// "YYYY-MM-DD hh:mm:ss" as UTC seconds by zvr3tz's calendar, where every fourth year is a leap
// year, 2100 included. Returns false for text out of shape, dates that calendar lacks, and times
// past the last second that 32 bits hold (2106-02-06 06:28:15 there).
bool parseDateTime(const QString &text, unsigned long *seconds)
{
    static const QRegularExpression shape(
        QStringLiteral("\\A([0-9]{4})-([0-9]{2})-([0-9]{2}) ([0-9]{2}):([0-9]{2}):([0-9]{2})\\z"));
    const QRegularExpressionMatch match = shape.match(text);
    if (!match.hasMatch())
        return false;
    int fields[6];
    for (int i = 0; i < 6; ++i)
        fields[i] = match.captured(i + 1).toInt();
    const int year = fields[0], month = fields[1], day = fields[2];
    static const int monthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int days = month == 2 && year % 4 == 0 ? 29 : (month >= 1 && month <= 12 ? monthDays[month - 1] : 0);
    if (year < 1970 || year > 2106 || day < 1 || day > days || fields[3] > 23 || fields[4] > 59 || fields[5] > 59)
        return false;

    tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = fields[3];
    t.tm_min = fields[4];
    t.tm_sec = fields[5];
    const zvr3tz tz;
    *seconds = tz.mktime(&t);
    // Past the 32-bit range the count wraps below the start of 2106.
    tm newYear = {};
    newYear.tm_year = year - 1900;
    newYear.tm_mday = 1;
    return *seconds >= tz.mktime(&newYear);
}

} // namespace

int tzMain(const QStringList &arguments)
{
    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral(
        "Converts recorder times (seconds since 1970-01-01 00:00 UTC, 0 to 4294967295) by a time zone\n"
        "rule such as UTC-3UTC-4,M3.5.0/2,M10.5.0/2 and prints one unsigned decimal per line.\n"
        "Give the rule as --rule=RULE so that a rule starting with '-', or an empty one, passes."));
    options.addHelpOption();
    options.addOption({QStringLiteral("rule"), QStringLiteral("The time zone rule."), QStringLiteral("RULE")});
    options.addOption({QStringLiteral("to-local"), QStringLiteral("Print the local time of each UTC time T.")});
    options.addOption({QStringLiteral("to-gmt"), QStringLiteral("Print the UTC time of each local time T.")});
    options.addOption({QStringLiteral("offset"),
                       QStringLiteral("Print the offset of local time from UTC at each UTC time T, in seconds "
                                      "modulo 2^32 (one hour west is 4294963696).")});
    options.addOption({QStringLiteral("mktime"),
                       QStringLiteral("Print the seconds of a UTC date and time given as \"YYYY-MM-DD hh:mm:ss\", "
                                      "counting every fourth year as a leap year (the rule is not needed)."),
                       QStringLiteral("DATETIME")});
    options.addPositionalArgument(QStringLiteral("T"), QStringLiteral("Times to convert."), QStringLiteral("T..."));
    if (!options.parse(arguments))
        return badUsage(qPrintable(options.errorText()));
    if (options.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(options.helpText()), stdout);
        return 0;
    }

    const QStringList modes = {QStringLiteral("to-local"), QStringLiteral("to-gmt"), QStringLiteral("offset"),
                               QStringLiteral("mktime")};
    QString mode;
    for (const QString &candidate : modes) {
        if (!options.isSet(candidate))
            continue;
        if (!mode.isEmpty())
            return badUsage("give only one of --to-local, --to-gmt, --offset and --mktime");
        mode = candidate;
    }
    if (mode.isEmpty())
        return badUsage("give one of --to-local, --to-gmt, --offset and --mktime");
    if (options.values(QStringLiteral("rule")).size() > 1 || options.values(QStringLiteral("mktime")).size() > 1)
        return badUsage("give --rule and --mktime at most once");

    const QStringList times = options.positionalArguments();
    if (mode == QLatin1String("mktime")) {
        if (!times.isEmpty())
            return badUsage("--mktime takes its one date and time as its value, no further arguments");
        unsigned long seconds = 0;
        if (!parseDateTime(options.value(QStringLiteral("mktime")), &seconds)) {
            return badUsage(qPrintable(
                QStringLiteral("--mktime takes \"YYYY-MM-DD hh:mm:ss\" from 1970-01-01 00:00:00 to "
                               "2106-02-06 06:28:15, not '%1'")
                    .arg(options.value(QStringLiteral("mktime")))));
        }
        return print({quint64(seconds)});
    }

    if (!options.isSet(QStringLiteral("rule")))
        return badUsage("give the time zone rule with --rule=RULE");
    if (times.isEmpty())
        return badUsage("give at least one time T");
    static const QRegularExpression digits(QStringLiteral("\\A[0-9]{1,10}\\z"));
    QList<quint64> values;
    for (const QString &text : times) {
        const quint64 value = text.toULongLong();
        if (!digits.match(text).hasMatch() || value > 0xFFFFFFFFu) {
            return badUsage(qPrintable(
                QStringLiteral("times are unsigned decimal seconds from 0 to 4294967295, not '%1'").arg(text)));
        }
        values.append(value);
    }

    const QByteArray rule = options.value(QStringLiteral("rule")).toLocal8Bit();
    const zvr3tz tz(rule.constData());
    for (quint64 &value : values) {
        if (mode == QLatin1String("to-local"))
            value = tz.toLocal((unsigned long)value);
        else if (mode == QLatin1String("to-gmt"))
            value = tz.toGMT((unsigned long)value);
        else
            value = tz.getCurrentOffset((unsigned long)value);
    }
    return print(values);
}
