#ifndef ZVR3_NETOPTIONS_H
#define ZVR3_NETOPTIONS_H

#include <QByteArray>
#include <QCommandLineParser>
#include <QList>
#include <QPair>
#include <QStringList>
#include <QUrl>

// The command line that `live`, `archive` and `events` read alike: --help, the parse errors and
// the recorder URL, and for the two players --channels and --duration.
namespace zvr3net {

// The help text of live and archive: they print `what` until --duration has passed, a failure or a
// signal, and decode (--out) or record (--record) on the way.
QString playerDescription(const QString &what);

// Parses the arguments. Returns -1 when the command goes on with url set; otherwise the exit code:
// 0 after printing the help text, 2 after printing why the command line is wrong.
int parseCommandLine(const QString &command, QCommandLineParser &options, const QStringList &arguments, QUrl &url);

// --channels (empty when not given) and --duration (-1 when not given). Returns false after
// printing which of them is wrong.
bool channelsAndDuration(const QString &command, const QCommandLineParser &options, QList<int> &channels,
                         int &durationMs);

// The values of the options named in `wanted`, as (name, value) pairs in the order they stand in
// `arguments` (the command line that `options` parsed). QCommandLineParser keeps the values of
// each option apart, so the order across options is read off the arguments; `valued` names every
// option of the command that takes a value, so that a value that looks like an option is skipped.
// False when that reading disagrees with the parser's.
bool orderedValues(const QCommandLineParser &options, const QStringList &arguments, const QStringList &valued,
                   const QStringList &wanted, QList<QPair<QString, QString>> &values);

// "3,171" as a list of channels, in the order given: decimal numbers from 0 to 255 separated by
// commas. False for an empty list or item and anything else.
bool strictChannelList(const QString &text, QList<int> &list);

} // namespace zvr3net

#endif // ZVR3_NETOPTIONS_H
