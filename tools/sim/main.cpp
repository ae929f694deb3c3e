// zvr3-sim: a recorder simulator on one TCP port, serving live streams, archive, the event list,
// set-up and JPEG snapshots, so that the library and the zvr3 tool can be tried without a recorder.
#include <QCommandLineParser>
#include <QFile>
#include <QGuiApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#include "simserver.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const char c = char(number);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

// A line about the simulator's state that a test or script waits for: out at once, also with
// --quiet, and before the clients can see what it tells.
void stateLine(const QString &line)
{
    std::printf("zvr3-sim %s\n", qPrintable(line));
    std::fflush(stdout);
}

// "for N ms", or "until SIGUSR2" for a fault without an end of its own.
QString lasting(int milliseconds)
{
    return milliseconds > 0 ? QStringLiteral("for %1 ms").arg(milliseconds) : QStringLiteral("until SIGUSR2");
}

// A whole number from min on for an option that is set; false with a usage message otherwise.
bool number(const QCommandLineParser &parser, const QCommandLineOption &option, int min, int *out)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    *out = parser.value(option).toInt(&ok);
    return ok && *out >= min;
}

bool channelSet(const QString &text, int channels, QSet<int> &out)
{
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        const int c = part.trimmed().toInt(&ok);
        if (!ok || c < 0 || c >= channels)
            return false;
        out.insert(c);
    }
    return true;
}

int usage(const QString &message)
{
    std::fprintf(stderr, "zvr3-sim: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    // Pictures are drawn with QPainter, which needs a GUI application but no screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zvr3-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A recorder simulator: live channels, archive, event list, set-up and JPEG snapshots on one port.\n"
        "Set-up requests: LIST, GET name, SET name=value. Runs until SIGINT or SIGTERM.\n"
        "Faults: SIGUSR1 takes it down (for --down-ms, or until SIGUSR2); SIGUSR2 brings it up and\n"
        "ends every stall. Each fault prints a line when it begins and when it ends (the listening\n"
        "line again for the end of a down time), before any client can see it."));
    parser.addHelpOption();
    const QCommandLineOption listenOption(QStringLiteral("listen"), QStringLiteral("Address to listen on (default 127.0.0.1)."), QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port (default 5049; 0: any free port)."), QStringLiteral("n"), QStringLiteral("5049"));
    const QCommandLineOption userOption(QStringLiteral("user"), QStringLiteral("User name (default admin)."), QStringLiteral("name"), QStringLiteral("admin"));
    const QCommandLineOption passwordOption(QStringLiteral("password"), QStringLiteral("Password (default admin)."), QStringLiteral("secret"), QStringLiteral("admin"));
    const QCommandLineOption channelsOption(QStringLiteral("channels"), QStringLiteral("Number of channels, 1 to 32 (default 4)."), QStringLiteral("n"), QStringLiteral("4"));
    const QCommandLineOption sizeOption(QStringLiteral("size"), QStringLiteral("Picture size (default 640x360)."), QStringLiteral("WxH"), QStringLiteral("640x360"));
    const QCommandLineOption noSignalOption(QStringLiteral("no-signal"), QStringLiteral("Channels whose snapshot reports no signal."), QStringLiteral("ch,..."));
    const QCommandLineOption disabledOption(QStringLiteral("disabled"), QStringLiteral("Channels whose snapshot reports disabled."), QStringLiteral("ch,..."));
    const QCommandLineOption archiveOption(QStringLiteral("archive-seconds"), QStringLiteral("Seconds of archive before the start (default 120, at most 600)."), QStringLiteral("n"), QStringLiteral("120"));
    const QCommandLineOption dropOption(QStringLiteral("drop-every"), QStringLiteral("Close every connection this many seconds after it was accepted."), QStringLiteral("seconds"));
    const QCommandLineOption dropAfterOption(QStringLiteral("drop-after"), QStringLiteral("Close every connection right after its n-th answer."), QStringLiteral("n"));
    const QCommandLineOption slowOption(QStringLiteral("slow"), QStringLiteral("Delay every answer by this many milliseconds."), QStringLiteral("ms"));
    const QCommandLineOption stallAfterOption(QStringLiteral("stall-after"), QStringLiteral("Stall every connection right after its n-th answer: send nothing, keep it open."), QStringLiteral("n"));
    const QCommandLineOption stallMsOption(QStringLiteral("stall-ms"), QStringLiteral("How long a stall lasts (default: until SIGUSR2)."), QStringLiteral("ms"));
    const QCommandLineOption downAtOption(QStringLiteral("down-at"), QStringLiteral("Go down this long after listening: drop every connection and refuse new ones."), QStringLiteral("ms"));
    const QCommandLineOption downAfterOption(QStringLiteral("down-after"), QStringLiteral("Go down right after the n-th answer of a connection, which still goes out."), QStringLiteral("n"));
    const QCommandLineOption downMsOption(QStringLiteral("down-ms"), QStringLiteral("How long it stays down, then listens on the same port again (default: until SIGUSR2)."), QStringLiteral("ms"));
    const QCommandLineOption garbageOption(QStringLiteral("garbage"), QStringLiteral("Replace about every tenth answer by random bytes."));
    const QCommandLineOption readyOption(QStringLiteral("ready-file"), QStringLiteral("Write the port number to this file once listening."), QStringLiteral("file"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"), QStringLiteral("Print nothing but errors, the listening line and the lines of faults."));
    parser.addOptions({listenOption, portOption, userOption, passwordOption, channelsOption, sizeOption, noSignalOption,
                       disabledOption, archiveOption, dropOption, dropAfterOption, slowOption, stallAfterOption,
                       stallMsOption, downAtOption, downAfterOption, downMsOption, garbageOption, readyOption, quietOption});
    if (!parser.parse(app.arguments()))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst()));

    zvr3sim::Options options;
    bool ok = false;
    if (!options.address.setAddress(parser.value(listenOption)))
        return usage(QStringLiteral("--listen takes an IP address"));
    const int port = parser.value(portOption).toInt(&ok);
    if (!ok || port < 0 || port > 65535)
        return usage(QStringLiteral("--port takes a number from 0 to 65535"));
    options.port = quint16(port);
    options.user = parser.value(userOption);
    options.password = parser.value(passwordOption);
    options.channels = parser.value(channelsOption).toInt(&ok);
    if (!ok || options.channels < 1 || options.channels > 32)
        return usage(QStringLiteral("--channels takes a number from 1 to 32"));
    const QStringList size = parser.value(sizeOption).split(QLatin1Char('x'));
    int w = 0;
    int h = 0;
    if (size.size() == 2)
        w = size[0].toInt(), h = size[1].toInt();
    if (w < 16 || h < 16 || w > 4096 || h > 4096 || w % 2 || h % 2)
        return usage(QStringLiteral("--size takes WIDTHxHEIGHT, even numbers from 16 to 4096"));
    options.size = QSize(w, h);
    if (!channelSet(parser.value(noSignalOption), options.channels, options.noSignal)
        || !channelSet(parser.value(disabledOption), options.channels, options.disabled))
        return usage(QStringLiteral("--no-signal and --disabled take channel numbers below --channels, separated by commas"));
    options.archiveSeconds = parser.value(archiveOption).toInt(&ok);
    if (!ok || options.archiveSeconds < 0 || options.archiveSeconds > options.keepSeconds)
        return usage(QStringLiteral("--archive-seconds takes a number from 0 to %1").arg(options.keepSeconds));
    if (parser.isSet(dropOption)) {
        options.dropEvery = parser.value(dropOption).toInt(&ok);
        if (!ok || options.dropEvery < 1)
            return usage(QStringLiteral("--drop-every takes a number of seconds"));
    }
    if (parser.isSet(dropAfterOption)) {
        options.dropAfter = parser.value(dropAfterOption).toInt(&ok);
        if (!ok || options.dropAfter < 1)
            return usage(QStringLiteral("--drop-after takes a number of answers"));
    }
    if (parser.isSet(slowOption)) {
        options.slowMs = parser.value(slowOption).toInt(&ok);
        if (!ok || options.slowMs < 0)
            return usage(QStringLiteral("--slow takes a number of milliseconds"));
    }
    if (!number(parser, stallAfterOption, 1, &options.stallAfter))
        return usage(QStringLiteral("--stall-after takes a number of answers"));
    if (!number(parser, stallMsOption, 1, &options.stallMs))
        return usage(QStringLiteral("--stall-ms takes a number of milliseconds"));
    if (!number(parser, downAtOption, 0, &options.downAt))
        return usage(QStringLiteral("--down-at takes a number of milliseconds"));
    if (!number(parser, downAfterOption, 1, &options.downAfter))
        return usage(QStringLiteral("--down-after takes a number of answers"));
    if (!number(parser, downMsOption, 1, &options.downMs))
        return usage(QStringLiteral("--down-ms takes a number of milliseconds"));
    options.garbage = parser.isSet(garbageOption);
    options.quiet = parser.isSet(quietOption);

    zvr3sim::Source source(options.channels, options.size);
    if (!source.prepare()) {
        std::fprintf(stderr, "zvr3-sim: %s\n", qPrintable(source.error()));
        return 1;
    }
    zvr3sim::Server server(options, &source);
    QObject::connect(&server, &zvr3sim::Server::stalled, [](int connection, int ms) {
        stateLine(QStringLiteral("stalls connection %1 %2").arg(connection).arg(lasting(ms)));
    });
    QObject::connect(&server, &zvr3sim::Server::goingOn, [](int connection) {
        stateLine(QStringLiteral("goes on with connection %1").arg(connection));
    });
    QObject::connect(&server, &zvr3sim::Server::wentDown, [](int ms) { stateLine(QStringLiteral("down %1").arg(lasting(ms))); });
    QObject::connect(&server, &zvr3sim::Server::listening, [&options](quint16 port) {
        stateLine(QStringLiteral("listening on %1:%2").arg(options.address.toString()).arg(port));
    });
    QObject::connect(&server, &zvr3sim::Server::listenFailed, [](const QString &error) {
        std::fprintf(stderr, "zvr3-sim: can't listen again, trying again: %s\n", qPrintable(error));
    });
    if (!server.listen()) {
        std::fprintf(stderr, "zvr3-sim: can't listen on %s:%d: %s\n", qPrintable(options.address.toString()), port,
                     qPrintable(server.errorString()));
        return 1;
    }

    // Signals reach the event loop through a pipe: SIGINT and SIGTERM end it, so that everything
    // closes in order; SIGUSR1 and SIGUSR2 steer the faults.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        std::perror("zvr3-sim: socketpair");
        return 1;
    }
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&server, &options] {
        char c = 0;
        if (::read(signalPipe[0], &c, 1) != 1)
            return;
        if (c == SIGUSR1)
            server.goDown(options.downMs);
        else if (c == SIGUSR2)
            server.endFaults();
        else
            QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
        sigaction(number, &action, nullptr);

    std::printf("zvr3-sim listening on %s:%u\n", qPrintable(options.address.toString()), unsigned(server.port()));
    std::fflush(stdout);
    if (parser.isSet(readyOption)) {
        QFile ready(parser.value(readyOption));
        if (!ready.open(QIODevice::WriteOnly | QIODevice::Truncate) || ready.write(QByteArray::number(server.port()) + '\n') < 0) {
            std::fprintf(stderr, "zvr3-sim: can't write '%s'\n", qPrintable(ready.fileName()));
            return 1;
        }
    }
    if (!options.quiet) {
        std::fprintf(stderr, "zvr3-sim: %d channels of %dx%d (%s, channel %d mjpeg), user '%s'\n", options.channels, w, h,
                     qPrintable(source.videoCodec(0)), options.channels - 1, qPrintable(options.user));
    }
    const int result = app.exec();
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    return result;
}
