#include "netoptions.h"

#include <cstdio>

#include "console.h"
#include "netrun.h"

namespace zvr3net {

QString playerDescription(const QString &what)
{
    return QStringLiteral("Prints ") + what
        + QStringLiteral(" as JSON Lines until --duration has passed,\n"
                         "an error ends the run (with --reconnect: only a refused login or the attempts given up),\n"
                         "or SIGINT or SIGTERM stops it (exit code 130 or 143, with the files finished). A recorder\n"
                         "that sends nothing for --idle milliseconds has failed: \"Network operation timeout\".\n"
                         "With --out, also decodes every stream into files; with --record, also records the stream to an "
                         "archive file.");
}

void addSupervisionOptions(QCommandLineParser &options, Supervision::Service service, const QString &reconnect)
{
    options.addOption({QStringLiteral("reconnect"), reconnect});
    options.addOption({QStringLiteral("idle"),
                       service == Supervision::Stream
                           ? QStringLiteral("Give a connection up after this many milliseconds without data (default "
                                            "10000; 0: never): with --reconnect connect again, without it end with 1.")
                           : QStringLiteral("Give an answer up when it has not come whole after this many milliseconds "
                                            "(default 120000; 0: no limit besides the 30 s without any byte)."),
                       QStringLiteral("ms")});
    options.addOption({QStringLiteral("max-delay"),
                       QStringLiteral("With --reconnect: the longest wait between two attempts in milliseconds "
                                      "(default 30000). The wait starts at 500 and doubles with every failure."),
                       QStringLiteral("ms")});
    options.addOption({QStringLiteral("stats"),
                       QStringLiteral("List the connection's state records (zvr3stats) on every change, which "
                                      "--reconnect does anyway, and every this many milliseconds too (0: only on "
                                      "changes)."),
                       QStringLiteral("ms")});
}

bool supervisionOptions(const QString &command, const QCommandLineParser &options, Supervision::Service service,
                        Supervision &supervision)
{
    supervision = Supervision();
    supervision.service = service;
    supervision.reconnect = options.isSet(QStringLiteral("reconnect"));
    supervision.listStats = supervision.reconnect || options.isSet(QStringLiteral("stats"));
    if (!count(command, options, "idle", "milliseconds", supervision.idleMs)
        || !count(command, options, "stats", "milliseconds", supervision.statsMs)
        || !count(command, options, "max-delay", "milliseconds", supervision.maxDelayMs))
        return false;
    if (options.isSet(QStringLiteral("max-delay")) && !supervision.reconnect) {
        std::fprintf(stderr, "%s: --max-delay goes with --reconnect\n", qPrintable(command));
        return false;
    }
    return true;
}

bool count(const QString &command, const QCommandLineParser &options, const char *name, const char *unit, int &value)
{
    if (!options.isSet(QLatin1String(name)))
        return true;
    bool ok = false;
    const int number = options.value(QLatin1String(name)).toInt(&ok);
    if (!ok || number < 0) {
        std::fprintf(stderr, "%s: --%s takes %s, 0 or more\n", qPrintable(command), name, unit);
        return false;
    }
    value = number;
    return true;
}

int parseCommandLine(const QString &command, QCommandLineParser &options, const QStringList &arguments, QUrl &url)
{
    if (const int code = zvr3console::parseOptions(options, arguments); code >= 0)
        return code;
    return recorderUrl(command, options, url) ? -1 : 2;
}

bool channelsAndDuration(const QString &command, const QCommandLineParser &options, QList<int> &channels,
                         int &durationMs)
{
    channels.clear();
    if (options.isSet(QStringLiteral("channels")) && !channelList(options.value(QStringLiteral("channels")), channels)) {
        std::fprintf(stderr, "%s: --channels takes channel numbers from 0 to 255, separated by commas\n",
                     qPrintable(command));
        return false;
    }
    durationMs = zvr3net::durationMs(options);
    if (durationMs == -2) {
        std::fprintf(stderr, "%s: --duration takes a number of seconds\n", qPrintable(command));
        return false;
    }
    return true;
}

bool orderedValues(const QCommandLineParser &options, const QStringList &arguments, const QStringList &valued,
                   const QStringList &wanted, QList<QPair<QString, QString>> &values)
{
    values.clear();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--"))
            break;  // positional arguments from here on
        if (!argument.startsWith(QLatin1String("--")))
            continue;
        const qsizetype assign = argument.indexOf(QLatin1Char('='));
        const QString name = argument.mid(2, assign < 0 ? -1 : assign - 2);
        if (!valued.contains(name))
            continue;
        const QString value = assign >= 0 ? argument.mid(assign + 1) : arguments.value(++i);
        if (wanted.contains(name))
            values.append({name, value});
    }
    // The parser has the last word on what each option holds; a disagreement would mean the
    // reading above missed a form of the command line.
    for (const QString &name : wanted) {
        QStringList found;
        for (const auto &[option, value] : std::as_const(values)) {
            if (option == name)
                found.append(value);
        }
        if (found != options.values(name))
            return false;
    }
    return true;
}

bool strictChannelList(const QString &text, QList<int> &list)
{
    list.clear();
    for (const QString &item : text.split(QLatin1Char(','))) {
        const QString number = item.trimmed();
        bool ok = !number.isEmpty() && number.size() <= 3;
        for (const QChar c : number)
            ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        if (!ok || number.toUInt() > 255)
            return false;
        list.append(int(number.toUInt()));
    }
    return true;
}

} // namespace zvr3net
