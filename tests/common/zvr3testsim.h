#ifndef ZVR3TESTSIM_H
#define ZVR3TESTSIM_H

// The recorder simulator (tools/zvr3-sim) as a test's fixture. Header-only: each test names the
// program's path in ZVR3_SIM. It needs nothing of the library, so that a test linked with the
// shared library alone can use it too.
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <csignal>
#include <sys/prctl.h>

namespace zvr3test {

// A simulator on a free port of 127.0.0.1, for user "tester" with password "pw".
struct Sim
{
    explicit Sim(const QStringList &options = {})
    {
        // Its output goes to a file: a line it wrote before it sent something to a client is there
        // to read by the time the client has received it.
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(dir.filePath(QStringLiteral("out.txt")));
        // The simulator is the fixture, not what a thread-checked build looks at: it draws its
        // pictures with text libraries that the checker cannot see into.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TSAN_OPTIONS"), QStringLiteral("report_bugs=0"));
        process.setProcessEnvironment(env);
        // It ends with the test, also with one that crashed.
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process.start(QStringLiteral(ZVR3_SIM), QStringList{"--port", "0", "--user", "tester", "--password", "pw", "--quiet"} + options);
        // It says where it listens once it does; encoding the picture loops takes a moment before.
        const QDeadlineTimer deadline(60000);
        while (lines().isEmpty() && !process.waitForFinished(10) && !deadline.hasExpired()) {
        }
        const QString line = lines().value(0);
        if (line.startsWith(QLatin1String("zvr3-sim listening on 127.0.0.1:")))
            port = quint16(line.mid(line.lastIndexOf(QLatin1Char(':')) + 1).toUInt());
    }
    // The whole lines it has printed so far.
    QStringList lines() const
    {
        QFile file(dir.filePath(QStringLiteral("out.txt")));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QStringList out = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        out.removeLast();  // empty, or a line not yet ended
        return out;
    }
    void signal(int number) { ::kill(pid_t(process.processId()), number); }
    ~Sim() { stop(); }
    // SIGTERM: the simulator closes everything and exits with 0.
    bool stop()
    {
        process.terminate();
        return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    QUrl url(const QString &password = QStringLiteral("pw"), const QString &query = QString()) const
    {
        return QUrl(QStringLiteral("tcp://tester:%1@127.0.0.1:%2").arg(password).arg(port) + (query.isEmpty() ? "" : "?" + query));
    }
    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;
};

} // namespace zvr3test

#endif // ZVR3TESTSIM_H
