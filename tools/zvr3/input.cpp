#include "input.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "console.h"
#include "stop.h"

bool Input::open(const QString &path)
{
    m_path = path;
    const bool opened = path == QLatin1String("-") ? m_file.open(STDIN_FILENO, QIODevice::ReadOnly)
                                                  : (m_file.setFileName(path), m_file.open(QIODevice::ReadOnly));
    if (!opened) {
        zvr3console::error(QStringLiteral("can't open '%1': %2").arg(path, m_file.errorString()));
        return false;
    }
    m_fd = m_file.handle();
    struct stat status = {};
    m_sequential = ::fstat(m_fd, &status) != 0 || !S_ISREG(status.st_mode);
    return true;
}

QByteArray Input::read(qint64 maxSize)
{
    // Read past QFile: its reads wait for the whole size asked for, where a pipe's reader wants
    // what has come. The buffer is no larger than what can come: the rest of a file, or what a
    // pipe holds at most.
    if (m_sequential)
        maxSize = qMin<qint64>(maxSize, 1 << 20);
    else
        maxSize = qBound<qint64>(1, m_file.size() - qint64(::lseek(m_fd, 0, SEEK_CUR)), maxSize);
    QByteArray chunk(maxSize, Qt::Uninitialized);
    while (m_error.isEmpty()) {
        if (zvr3stop::signal() || (m_sequential && !zvr3stop::waitReadable(m_fd)))
            break;
        const ssize_t count = ::read(m_fd, chunk.data(), size_t(maxSize));
        if (count >= 0) {
            chunk.truncate(qsizetype(count));
            return chunk;
        }
        if (errno != EINTR && errno != EAGAIN)
            m_error = QString::fromLocal8Bit(std::strerror(errno));
    }
    return QByteArray();
}

qint64 Input::size() const
{
    return m_sequential ? 0 : m_file.size();
}

bool Input::finish() const
{
    if (m_error.isEmpty())
        return true;
    zvr3console::error(QStringLiteral("reading '%1' failed: %2").arg(m_path, m_error));
    return false;
}
