#include "progress.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <cstdio>
#include <unistd.h>

namespace {

qint64 nowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

QByteArray megabytes(qint64 bytes)
{
    return QByteArray::number(double(bytes) / (1024 * 1024), 'f', 1) + " MiB";
}

} // namespace

Progress::Progress(const char *label, qint64 total)
    : m_label(label), m_total(total), m_enabled(::isatty(STDERR_FILENO) == 1)
{
}

Progress::~Progress()
{
    finish();
}

void Progress::update(qint64 done)
{
    if (!m_enabled)
        return;
    const qint64 now = nowMs();
    if (m_lastDraw >= 0 && now - m_lastDraw < 100)
        return;
    m_lastDraw = now;
    QByteArray line = "\r" + QByteArray(m_label) + ' ';
    if (m_total > 0) {
        const int width = 30;
        const qint64 shown = qBound<qint64>(0, done, m_total);
        const int filled = int(shown * width / m_total);
        line += '[' + QByteArray(filled, '#') + QByteArray(width - filled, '.') + "] "
            + QByteArray::number(shown * 100 / m_total) + "% of " + megabytes(m_total);
    } else {
        line += megabytes(done);
    }
    line += "\033[K";
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
    m_drawn = true;
}

void Progress::finish()
{
    if (!m_drawn)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_drawn = false;
}

FileReadProgress::FileReadProgress(const char *label, const QString &path)
    : m_progress(label, QFileInfo(path).size()), m_path(QFileInfo(path).canonicalFilePath())
{
    if (m_progress.enabled() && !m_path.isEmpty())
        m_thread = std::thread([this] { run(); });
}

FileReadProgress::~FileReadProgress()
{
    stop();
}

void FileReadProgress::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    m_progress.finish();
}

void FileReadProgress::run()
{
    QString fdinfo;
    while (!m_stop) {
        if (fdinfo.isEmpty()) {
            // Find the descriptor that has the file open.
            const QStringList fds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System);
            for (const QString &fd : fds) {
                if (QFileInfo(QStringLiteral("/proc/self/fd/") + fd).symLinkTarget() == m_path) {
                    fdinfo = QStringLiteral("/proc/self/fdinfo/") + fd;
                    break;
                }
            }
        }
        if (!fdinfo.isEmpty()) {
            QFile info(fdinfo);
            if (info.open(QIODevice::ReadOnly)) {
                const QByteArray first = info.readLine();  // "pos:\t<offset>"
                if (first.startsWith("pos:"))
                    m_progress.update(first.mid(4).trimmed().toLongLong());
            } else {
                fdinfo.clear();  // closed, or another file took the number
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}
