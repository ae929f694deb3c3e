#include "zvr3fuzz.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>

#include <cstdarg>
#include <cstdio>

#if defined(Q_OS_LINUX)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "zvr3fuzz_p.h"

namespace zvr3fuzz {

void receive(QObject *worker, const QList<QByteArray> &parts)
{
    for (const QByteArray &part : parts)
        receive(worker, part);
}

void receive(QObject *worker, const QByteArray &part)
{
    QMetaObject::invokeMethod(worker, "slotData", Qt::DirectConnection, Q_ARG(QByteArray, part));
}

void state(QObject *worker, int s)
{
    QMetaObject::invokeMethod(worker, "slotState", Qt::DirectConnection, Q_ARG(int, s));
}

namespace {

// The scratch file. On Linux an anonymous file in memory, named through /proc: no disk, nothing
// left behind when the process dies in the middle of an input. Elsewhere a file in the temporary
// folder.
struct Scratch
{
    Scratch()
    {
#if defined(Q_OS_LINUX)
        fd = memfd_create("zvr3fuzz", 0);
        if (fd >= 0) {
            path = QStringLiteral("/proc/self/fd/%1").arg(fd);
            return;
        }
#endif
        path = QDir::temp().filePath(QStringLiteral("zvr3fuzz-%1.zvr").arg(QCoreApplication::applicationPid()));
    }
    ~Scratch()
    {
        if (fd >= 0)
            ::close(fd);
        else
            QFile::remove(path);
    }
    int fd = -1;
    QString path;
};

Scratch &scratch()
{
    static Scratch s;
    return s;
}

} // namespace

QString scratchPath()
{
    return scratch().path;
}

QByteArray scratchRead()
{
#if defined(Q_OS_LINUX)
    if (scratch().fd >= 0) {
        // Straight from the descriptor: no file object to open for every input.
        const off_t end = lseek(scratch().fd, 0, SEEK_END);
        QByteArray contents(end > 0 ? qsizetype(end) : 0, Qt::Uninitialized);
        if (end < 0 || pread(scratch().fd, contents.data(), size_t(contents.size()), 0) != contents.size())
            broken("the scratch file cannot be read");
        return contents;
    }
#endif
    QFile file(scratch().path);
    if (!file.open(QIODevice::ReadOnly))
        broken("the scratch file cannot be read: %s", qPrintable(file.errorString()));
    return file.readAll();
}

void scratchWrite(const QByteArray &contents)
{
    QFile file(scratch().path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size())
        broken("the scratch file cannot be written: %s", qPrintable(file.errorString()));
}

void broken(const char *format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    qFatal("zvr3fuzz: %s", text);
}

QList<QByteArray> chunks(const uint8_t *data, size_t size)
{
    QList<QByteArray> out;
    if (size <= 4)
        return out;
    const char *bytes = reinterpret_cast<const char *>(data) + 4;
    const qsizetype n = qsizetype(size - 4);
    const int largest = data[0] * 16;
    quint32 state = (quint32(data[1]) | quint32(data[2]) << 8 | quint32(data[3]) << 16) * 2654435761u + 1;
    for (qsizetype at = 0; at < n;) {
        qsizetype length = n - at;
        if (largest > 0) {
            state = state * 1664525u + 1013904223u;
            length = qMin<qsizetype>(length, 1 + qsizetype((state >> 8) % quint32(largest)));
        }
        out.append(QByteArray(bytes + at, length));
        at += length;
    }
    return out;
}

QByteArray input(const QByteArray &body, int mode, quint32 seed)
{
    QByteArray b;
    b += char(mode & 0xFF);
    b += char(seed & 0xFF);
    b += char((seed >> 8) & 0xFF);
    b += char((seed >> 16) & 0xFF);
    return b + body;
}

void run(const Entry &entry, const uint8_t *data, size_t size)
{
    entry.run(data, size);
    // Nodes hand their workers to deleteLater(); without an event loop they would pile up, and
    // libFuzzer would take every input for a leak and search the heap after it.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::sendPostedEvents();
}

const QList<Entry> &targets()
{
    static const QList<Entry> all = {
        {"parser", runParser, seedsParser},
        {"id3parser", runId3, seedsId3},
        {"evtparser", runEvt, seedsEvt},
        {"archive", runArchive, seedsArchive},
        {"events", runEvents, seedsEvents},
        {"setup", runSetup, seedsSetup},
        {"jpeg", runJpeg, seedsJpeg},
        {"login", runLogin, seedsLogin},
        {"netarchive", runNetArchive, seedsNetArchive},
        {"nmea", runNmea, seedsNmea},
        {"text", runText, seedsText},
        {"ima1", runIma1, seedsIma1},
        {"video", runVideo, seedsVideo},
        {"tz", runTz, seedsTz},
    };
    return all;
}

const Entry *find(const QByteArray &name)
{
    for (const Entry &e : targets()) {
        if (name == e.name)
            return &e;
    }
    return nullptr;
}

} // namespace zvr3fuzz
