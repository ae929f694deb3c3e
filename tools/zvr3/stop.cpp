#include "stop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace zvr3stop {

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

std::atomic<int> firstSignal{0};
int wakePipe[2] = {-1, -1};
QSocketNotifier *wake = nullptr;

void handler(int number)
{
    // Only what is safe in a signal handler: atomics and write(2).
    const int savedErrno = errno;
    int none = 0;
    firstSignal.compare_exchange_strong(none, number);
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

void install()
{
    if (wake || ::pipe(wakePipe) != 0)
        return;
    for (const int fd : wakePipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    // Made before the handlers, so that it is the first to hear of a signal and empties the pipe.
    wake = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(wake, &QSocketNotifier::activated, wake, [] {
        char bytes[64];
        while (::read(wakePipe[0], bytes, sizeof bytes) > 0) {
        }
    });

    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

int signal()
{
    return firstSignal.load();
}

int exitCode()
{
    return 128 + signal();
}

void onSignal(QObject *context, const std::function<void()> &handler)
{
    if (wake)
        QObject::connect(wake, &QSocketNotifier::activated, context, handler);
}

bool waitReadable(int fd)
{
    if (signal())
        return false;
    QEventLoop loop;
    QSocketNotifier input(fd, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    onSignal(&loop, [&loop] { loop.quit(); });
    loop.exec();
    return !signal();
}

void settle()
{
    // The nodes are gone; their workers, and with them the connections, go with the deferred
    // deletions. The library hands every request to the system as it writes it, and a connection
    // closes its socket politely, so what it wrote leaves even though the process ends next.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace zvr3stop
