#ifndef ZVR3BENCHSIM_H
#define ZVR3BENCHSIM_H

// The recorder simulator (tools/zvr3-sim's core) run in the benchmark's own process.
#include <QObject>
#include <QString>
#include <QThread>
#include <QUrl>

#include <functional>
#include <memory>

#include "simserver.h"
#include "simsource.h"
#include "zvr3benchmain.h"

namespace zvr3bench {

// A simulator that only streams live: `channels` channels of `size`, no archive, quiet.
inline zvr3sim::Options liveOptions(int channels, const QSize &size)
{
    zvr3sim::Options options;
    options.channels = channels;
    options.size = size;
    options.archiveSeconds = 0;
    options.keepSeconds = 5;
    options.quiet = true;
    return options;
}

// The recorder simulator on a thread of its own, so that its accepting and sending do not wait for
// the application's thread that is being measured. The constructor encodes the source's loops,
// starts the thread and makes the server there (its timer and sockets live there), listening on a
// port the system chooses; setUp, when given, then runs on that thread with the listening server
// (to connect to its signals). error() tells what failed, if anything did.
class SimThread
{
public:
    // options.port is replaced by 0; jpegChannel false sends every channel as H.264 (MPEG-4 when
    // FFmpeg has no H.264 encoder), true keeps the simulator's MJPEG last channel.
    explicit SimThread(zvr3sim::Options options, bool jpegChannel = true,
                       const std::function<void(zvr3sim::Server &)> &setUp = {})
        : m_source(options.channels, options.size), m_user(options.user), m_password(options.password)
    {
        if (!jpegChannel)
            m_source.setJpegChannel(-1);
        if (!m_source.prepare()) {
            m_error = m_source.error();
            return;
        }
        options.port = 0;
        m_thread.start();
        m_context.moveToThread(&m_thread);
        run([&](zvr3sim::Server *) {
            m_server = std::make_unique<zvr3sim::Server>(options, &m_source);
            if (!m_server->listen()) {
                m_error = m_server->errorString();
                return;
            }
            m_port = m_server->port();
            if (setUp)
                setUp(*m_server);
        });
    }
    ~SimThread() { stop(); }
    // Ends the server and the thread; the source stays.
    void stop()
    {
        if (m_thread.isRunning()) {
            run([this](zvr3sim::Server *) { m_server.reset(); });
            m_thread.quit();
            m_thread.wait();
        }
    }
    QString error() const { return m_error; }
    const zvr3sim::Source &source() const { return m_source; }
    quint16 port() const { return m_port; }
    QUrl url() const
    {
        QUrl u;
        u.setScheme(QStringLiteral("tcp"));
        u.setHost(QStringLiteral("127.0.0.1"));
        u.setPort(m_port);
        u.setUserName(m_user);
        u.setPassword(m_password);
        return u;
    }
    // Runs fn on the simulator's thread with the server (null before it is made) and waits for it.
    void run(const std::function<void(zvr3sim::Server *)> &fn)
    {
        QMetaObject::invokeMethod(&m_context, [&] { fn(m_server.get()); }, Qt::BlockingQueuedConnection);
    }
    // Runs fn on the simulator's thread, without waiting.
    void post(std::function<void(zvr3sim::Server *)> fn)
    {
        QMetaObject::invokeMethod(&m_context, [this, fn = std::move(fn)] { fn(m_server.get()); }, Qt::QueuedConnection);
    }
    // The simulator thread's CPU seconds so far.
    double cpuSeconds()
    {
        double s = 0;
        run([&](zvr3sim::Server *) { s = threadCpuSeconds(); });
        return s;
    }

private:
    zvr3sim::Source m_source;
    QString m_user;
    QString m_password;
    QThread m_thread;
    QObject m_context;
    std::unique_ptr<zvr3sim::Server> m_server;
    quint16 m_port = 0;
    QString m_error;
};

} // namespace zvr3bench

#endif // ZVR3BENCHSIM_H
