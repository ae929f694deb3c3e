#ifndef ZVR3_CONSOLE_H
#define ZVR3_CONSOLE_H

#include <QByteArray>
#include <QCommandLineParser>
#include <QString>
#include <QVariant>

// Standard output and standard error of the tool. Standard output carries whole JSON lines only:
// lines are written whole into the stdio buffer, and the buffer leaves whenever the tool is about
// to wait for something, so that a reader of a pipe sees each record soon after it came and a
// stop never leaves half a line behind.
namespace zvr3console {

// The name that messages begin with, such as "zvr3 live".
void setCommand(const QString &name);
QByteArray command();

// Flushes standard output each time the event loop is about to block. Needs the application.
void flushWhenIdle();

// One line of standard output; the line end is added.
void printLine(const QByteArray &line);

// A value a node emitted, as one JSON line. A zvr3error also goes to standard error as
// "zvr3 <command>: <text>"; returns true for one.
bool printValue(const QVariant &value);

// "zvr3 <command>: <message>" on standard error.
void error(const QString &message);

// A command line that cannot be run: error(message), then the exit code 2 to return.
int usageError(const QString &message);

// Parses a command's arguments. -1 when the command goes on; otherwise its exit code: 0 after
// printing the help text (--help), 2 after printing why the arguments do not parse.
int parseOptions(QCommandLineParser &options, const QStringList &arguments);

} // namespace zvr3console

#endif // ZVR3_CONSOLE_H
