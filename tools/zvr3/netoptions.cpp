#include "netoptions.h"

#include <cstdio>

#include "netrun.h"

namespace zvr3net {

int parseCommandLine(const QString &command, QCommandLineParser &options, const QStringList &arguments, QUrl &url)
{
    if (!options.parse(arguments)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(command), qPrintable(options.errorText()));
        return 2;
    }
    if (options.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(options.helpText()), stdout);
        return 0;
    }
    return recorderUrl(command, options, url) ? -1 : 2;
}

bool channelsAndDuration(const QString &command, const QCommandLineParser &options, QByteArray &channels,
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

} // namespace zvr3net
