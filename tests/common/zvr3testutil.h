#ifndef ZVR3TESTUTIL_H
#define ZVR3TESTUTIL_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariant>

class zvr3base;

namespace zvr3test {

// Records every value a node emits, in order.
class Recorder
{
public:
    explicit Recorder(zvr3base *node);
    ~Recorder();
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    QList<QVariant> values;

private:
    QMetaObject::Connection m_connection;
};

// Feeds bytes to a node's slotData in chunks of chunkSize (0: all at once) and returns what it emitted.
QList<QVariant> feed(zvr3base &node, const QByteArray &bytes, int chunkSize);

// The values rendered as JSON lines, the format of `zvr3 probe`.
QStringList listing(const QList<QVariant> &values);

// What a run of a command-line program gave.
struct ToolRun
{
    int exitCode = -1;  // -1: it crashed or did not finish in time
    QByteArray out;
    QByteArray err;
};

// Runs program with arguments, input on its standard input, while this process's event loop keeps
// serving (a fake recorder in the test, say); gives up after a minute.
ToolRun runTool(const QString &program, const QStringList &arguments, const QByteArray &input = QByteArray());

// Bytes from a hex string; spaces are ignored ("B5 B5 05 B5").
QByteArray hex(const char *text);

} // namespace zvr3test

#endif // ZVR3TESTUTIL_H
