#ifndef ZVR3TESTUTIL_H
#define ZVR3TESTUTIL_H

#include <QByteArray>
#include <QList>
#include <QMutex>
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
    int exitCode = -1;  // -1: it crashed, did not start or did not finish in time
    QByteArray out;
    QByteArray err;
};

// Bytes from a hex string; spaces are ignored ("B5 B5 05 B5").
QByteArray hex(const char *text);

// What a file holds; empty when it cannot be read.
QByteArray fileBytes(const QString &path);

// While it lives, takes the messages of the logging categories whose names start with prefix, of
// any type and from any thread, as "<type> <category>: <text>"; other messages go on to the handler
// before it. When it goes, the logging rules are back to none.
class MessageLog
{
public:
    explicit MessageLog(const char *prefix = "zvr3.");
    ~MessageLog();
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    // The messages taken since the last call.
    QStringList take();

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text);
    static inline MessageLog *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    QByteArray m_prefix;
    QMutex m_mutex;
    QStringList m_lines;
};

} // namespace zvr3test

#endif // ZVR3TESTUTIL_H
