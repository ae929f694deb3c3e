#ifndef ZVR3_COMMANDS_H
#define ZVR3_COMMANDS_H

#include <QStringList>
#include <QUrl>

// The subcommands of the zvr3 tool. Each takes its own arguments (without the subcommand's name)
// and returns the process exit code: 0 success, 1 failure, 2 bad usage.
int probeMain(const QStringList &arguments);
int setupMain(const QStringList &arguments);
int snapshotMain(const QStringList &arguments);

// A recorder URL from the command line: "tcp://" is assumed when no scheme is given.
QUrl recorderUrl(const QString &argument);

#endif // ZVR3_COMMANDS_H
