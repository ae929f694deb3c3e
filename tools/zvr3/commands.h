#ifndef ZVR3_COMMANDS_H
#define ZVR3_COMMANDS_H

#include <QStringList>

// The subcommands of the zvr3 tool. Each takes its own arguments (without the subcommand's name)
// and returns the process exit code: 0 success, 1 failure, 2 bad usage, 128 + N after signal N.
int probeMain(const QStringList &arguments);
int tzMain(const QStringList &arguments);
int recordMain(const QStringList &arguments);
int scanMain(const QStringList &arguments);
int decodeMain(const QStringList &arguments);
int liveMain(const QStringList &arguments);
int archiveMain(const QStringList &arguments);
int eventsMain(const QStringList &arguments);
int setupMain(const QStringList &arguments);
int snapshotMain(const QStringList &arguments);

#endif // ZVR3_COMMANDS_H
