#ifndef ZVR3_STOP_H
#define ZVR3_STOP_H

#include <QObject>

#include <functional>

// Ending the tool cleanly. SIGINT and SIGTERM are caught and handed to the event loop through a
// pipe (the handler itself only records the signal and writes a byte), so that a command stops its
// sources, lets its decoders finish, closes its files and standard output with whole lines, and
// exits with 128 + the signal's number: 130 for SIGINT, 143 for SIGTERM.
namespace zvr3stop {

// Catches SIGINT and SIGTERM from now on. Needs the application; call it once.
void install();

// The first signal caught, 0 while none has come.
int signal();
// 128 + signal(): the exit code of a command that a signal ended.
int exitCode();

// Calls `handler` from the event loop each time a signal comes, as long as `context` lives.
void onSignal(QObject *context, const std::function<void()> &handler);

// Turns the event loop until `fd` has something to read or has reached its end. False when a
// signal came first (or had come before).
bool waitReadable(int fd);

// Lets the connections the command opened go: delivers the deferred deletions, in which they
// close their sockets, and turns the event loop once.
void settle();

} // namespace zvr3stop

#endif // ZVR3_STOP_H
