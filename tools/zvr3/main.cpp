// zvr3: the command-line face of zvr3lib. Each subcommand drives one chain of the library's nodes
// and prints what comes out as JSON Lines, one object per emitted value.
#include <QCoreApplication>

#include <cstdio>

#include "commands.h"
#include "console.h"
#include "stop.h"

namespace {

struct Subcommand
{
    const char *name;
    int (*run)(const QStringList &arguments);
    const char *summary;
    // Ends cleanly on SIGINT and SIGTERM. The others are short, or spend their time in one call
    // of the library that cannot be cut short, and keep the signals' default action.
    bool stoppable;
};

const Subcommand subcommands[] = {
    {"probe", probeMain, "print the records of an archive stream, index file or event file", true},
    {"tz", tzMain, "convert recorder times between UTC and local time by a time zone rule", false},
    {"record", recordMain, "record an archive stream to an archive file", true},
    {"scan", scanMain, "print the seek entries and text events of an archive file", false},
    {"decode", decodeMain, "decode one stream of an archive stream into pictures, sound, texts or positions", true},
    {"live", liveMain, "print the records of a recorder's live streams", true},
    {"archive", archiveMain, "print the records of a recorder's archive from a point in time", true},
    {"events", eventsMain, "print a recorder's event list for a period", true},
    {"setup", setupMain, "send set-up requests to a recorder and print its answers", true},
    {"snapshot", snapshotMain, "fetch a JPEG snapshot of a channel into an image file", true},
};

int usage(FILE *to)
{
    std::fprintf(to, "Usage: zvr3 <command> [options] [arguments]\n\nCommands:\n");
    for (const Subcommand &command : subcommands)
        std::fprintf(to, "  %-10s %s\n", command.name, command.summary);
    std::fprintf(to, "\nRun 'zvr3 <command> --help' for the options of a command.\n");
    return to == stdout ? 0 : 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zvr3"));
    QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2)
        return usage(stderr);
    const QString name = arguments.at(1);
    if (name == QLatin1String("--help") || name == QLatin1String("-h") || name == QLatin1String("help"))
        return usage(stdout);
    for (const Subcommand &command : subcommands) {
        if (name == QLatin1String(command.name)) {
            arguments.removeAt(1);
            arguments[0] += QLatin1Char(' ') + name;
            // The help text names the program by the application's first argument: "zvr3 probe".
            static QByteArray program;
            program = "zvr3 " + name.toLocal8Bit();
            argv[0] = program.data();
            zvr3console::setCommand(QLatin1String(program));
            zvr3console::flushWhenIdle();
            if (command.stoppable)
                zvr3stop::install();
            const int exitCode = command.run(arguments);
            // The command's nodes are gone by now; their connections may still have bytes to write.
            zvr3stop::settle();
            return std::fflush(stdout) == 0 ? exitCode : 1;
        }
    }
    std::fprintf(stderr, "zvr3: unknown command '%s'\n\n", qPrintable(name));
    return usage(stderr);
}
