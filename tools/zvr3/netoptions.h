#ifndef ZVR3_NETOPTIONS_H
#define ZVR3_NETOPTIONS_H

#include <QByteArray>
#include <QCommandLineParser>
#include <QStringList>
#include <QUrl>

// The command line that `live`, `archive` and `events` read alike: --help, the parse errors and
// the recorder URL, and for the two players --channels and --duration.
namespace zvr3net {

// Parses the arguments. Returns -1 when the command goes on with url set; otherwise the exit code:
// 0 after printing the help text, 2 after printing why the command line is wrong.
int parseCommandLine(const QString &command, QCommandLineParser &options, const QStringList &arguments, QUrl &url);

// --channels (empty when not given) and --duration (-1 when not given). Returns false after
// printing which of them is wrong.
bool channelsAndDuration(const QString &command, const QCommandLineParser &options, QByteArray &channels,
                         int &durationMs);

} // namespace zvr3net

#endif // ZVR3_NETOPTIONS_H
