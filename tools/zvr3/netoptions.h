#ifndef ZVR3_NETOPTIONS_H
#define ZVR3_NETOPTIONS_H

#include <QByteArray>
#include <QCommandLineParser>
#include <QList>
#include <QPair>
#include <QStringList>
#include <QUrl>

#include "netrun.h"

// The command line that the network commands read alike: --help, the parse errors and the
// recorder URL, for the two players --channels and --duration, and for all of them the options of
// their supervisor: --reconnect, --idle, --max-delay and --stats.
namespace zvr3net {

// The help text of live and archive: they print `what` until --duration has passed, a failure or a
// signal, and decode (--out) or record (--record) on the way.
QString playerDescription(const QString &what);

// --reconnect (described by `reconnect`: what the command does through failures), --idle,
// --max-delay and --stats, for a command that plays a stream or one that makes requests.
void addSupervisionOptions(QCommandLineParser &options, Supervision::Service service, const QString &reconnect);

// Reads those options. False after printing which of them is wrong.
bool supervisionOptions(const QString &command, const QCommandLineParser &options, Supervision::Service service,
                        Supervision &supervision);

// A whole number of `unit` from 0 on for the option `name`, when it is given (value stays as it is
// otherwise). False after printing that it is wrong.
bool count(const QString &command, const QCommandLineParser &options, const char *name, const char *unit, int &value);

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
