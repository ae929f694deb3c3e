#ifndef ZVR3_PROGRESS_H
#define ZVR3_PROGRESS_H

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <thread>

// A progress bar on stderr for long runs. It is drawn only when stderr is a terminal, so that
// pipes, files and the tests see nothing of it, and redrawn at most ten times a second.
class Progress
{
public:
    // total 0: unknown, only the byte count is shown.
    Progress(const char *label, qint64 total);
    ~Progress();

    bool enabled() const { return m_enabled; }
    void update(qint64 done);
    // Clears the bar's line.
    void finish();

private:
    const char *m_label;
    qint64 m_total;
    bool m_enabled;
    bool m_drawn = false;
    qint64 m_lastDraw = -1;
};

// Shows how far another part of the process has read a file: polls the read position of the
// descriptor that has the file open (/proc/self/fdinfo) from a thread of its own. The scan of a
// local archive runs inside the library in one call, so this is how the tool can follow it.
class FileReadProgress
{
public:
    FileReadProgress(const char *label, const QString &path);
    ~FileReadProgress();
    void stop();

private:
    void run();

    Progress m_progress;
    QString m_path;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

#endif // ZVR3_PROGRESS_H
