#include "zvr3testutil.h"

#include <QFile>
#include <QLoggingCategory>

#include "zvr3base.h"
#include "zvr3jsonl.h"

namespace zvr3test {

Recorder::Recorder(zvr3base *node)
    : m_connection(QObject::connect(node, &zvr3base::sigData, node, [this](const QVariant &value) { values.append(value); }))
{
}

Recorder::~Recorder()
{
    QObject::disconnect(m_connection);
}

QList<QVariant> feed(zvr3base &node, const QByteArray &bytes, int chunkSize)
{
    Recorder recorder(&node);
    const int step = chunkSize > 0 ? chunkSize : qMax<int>(1, int(bytes.size()));
    for (qsizetype at = 0; at < bytes.size(); at += step)
        node.slotData(bytes.mid(at, step));
    return recorder.values;
}

QStringList listing(const QList<QVariant> &values)
{
    QStringList lines;
    for (const QVariant &value : values)
        lines.append(QString::fromUtf8(zvr3jsonl::line(value)));
    return lines;
}

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

MessageLog::MessageLog(const char *prefix)
    : m_prefix(prefix)
{
    Q_ASSERT(!s_current);
    s_current = this;
    m_previous = qInstallMessageHandler(handle);
}

MessageLog::~MessageLog()
{
    qInstallMessageHandler(m_previous);
    s_current = nullptr;
    QLoggingCategory::setFilterRules(QString());
}

QStringList MessageLog::take()
{
    const QMutexLocker lock(&m_mutex);
    return std::exchange(m_lines, {});
}

void MessageLog::handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    MessageLog *log = s_current;
    if (!context.category || !QByteArray(context.category).startsWith(log->m_prefix)) {
        log->m_previous(type, context, text);
        return;
    }
    const char *names[] = {"debug", "warning", "critical", "fatal", "info"};
    const QMutexLocker lock(&log->m_mutex);
    log->m_lines << QStringLiteral("%1 %2: %3").arg(QLatin1String(names[type]), QLatin1String(context.category), text);
}

} // namespace zvr3test
