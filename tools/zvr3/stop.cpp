#include "stop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace zvr3stop {

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

std::atomic<int> firstSignal{0};
std::atomic<int> signalCount{0};
int wakePipe[2] = {-1, -1};
QSocketNotifier *wake = nullptr;
QSet<QByteArray> socketsAtStart;

void handler(int number)
{
    // Only what is safe in a signal handler: atomics and write(2).
    const int savedErrno = errno;
    int none = 0;
    firstSignal.compare_exchange_strong(none, number);
    signalCount.fetch_add(1);
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
    errno = savedErrno;
}

// The inodes of the sockets the process holds ("socket:[12345]" in /proc/self/fd).
QSet<QByteArray> openSockets()
{
    QSet<QByteArray> sockets;
#ifdef Q_OS_LINUX
    const QStringList fds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System);
    for (const QString &fd : fds) {
        char target[64];
        const ssize_t length = ::readlink(qPrintable(QStringLiteral("/proc/self/fd/") + fd), target, sizeof target);
        if (length > 9 && qstrncmp(target, "socket:[", 8) == 0)
            sockets.insert(QByteArray(target + 8, int(length) - 9));
    }
#endif
    return sockets;
}

// The inodes of the TCP sockets of the process's network namespace. Only those count: the system
// libraries may keep a local socket open (to a name service, say) that the tool never closes.
QSet<QByteArray> tcpSockets()
{
    QSet<QByteArray> sockets;
    for (const char *table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> rows = file.readAll().split('\n');
        for (const QByteArray &row : rows.mid(1)) {  // after the heading
            const QList<QByteArray> fields = row.simplified().split(' ');
            if (fields.size() > 9)
                sockets.insert(fields.at(9));
        }
    }
    return sockets;
}

bool socketsLeft()
{
    const QSet<QByteArray> opened = openSockets().subtract(socketsAtStart);
    return !opened.isEmpty() && opened.intersects(tcpSockets());
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
    socketsAtStart = openSockets();

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

void settle(int limitMs)
{
    // The nodes are gone; their workers, and with them the connections, go with the deferred
    // deletions. A connection closes its socket politely: what it still has to write leaves first.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (!wake)
        return;  // a command that keeps the signals' default action has no connections
    const int signalsBefore = signalCount.load();
    const QDeadlineTimer deadline(limitMs, Qt::PreciseTimer);
    while (socketsLeft() && !deadline.hasExpired() && signalCount.load() == signalsBefore) {
        QEventLoop loop;
        QTimer::singleShot(5, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        onSignal(&loop, [&loop] { loop.quit(); });
        loop.exec();
    }
    // The sockets that closed meanwhile asked for their own deletion.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace zvr3stop
