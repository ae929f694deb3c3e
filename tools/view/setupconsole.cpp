#include "setupconsole.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

#include "zvr3error.h"
#include "zvr3value.h"

namespace zvr3view {

SetupConsole::SetupConsole(QWidget *parent)
    : QWidget(parent)
    , m_supervisor(&m_setup)
    , m_state(new SourceState(QStringLiteral("Set-up"), this))
    , m_log(new QPlainTextEdit(this))
    , m_input(new QLineEdit(this))
{
    m_log->setReadOnly(true);
    QFont mono(QStringLiteral("monospace"));
    mono.setStyleHint(QFont::TypeWriter);
    m_log->setFont(mono);
    m_input->setFont(mono);
    m_input->setPlaceholderText(QStringLiteral("A set-up request, such as LIST or GET device.name; Enter sends it"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(m_log, 1);
    layout->addWidget(m_input);

    connect(m_input, &QLineEdit::returnPressed, this, [this] {
        const QString request = m_input->text();
        if (request.trimmed().isEmpty())
            return;
        m_input->clear();
        send(request);
    });
    connect(&m_supervisor, &zvr3base::sigData, this, [this](const QVariant &value) {
        if (const auto stats = zvr3take<zvr3stats>(value)) {
            m_state->setStats(*stats);
        } else if (const auto answer = zvr3take<QByteArray>(value)) {
            ++m_answers;
            QString text = QString::fromUtf8(*answer);
            while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
                text.chop(1);
            append(text.isEmpty() ? QStringLiteral("(empty answer)") : text, QColor(30, 110, 30));
        } else if (const auto e = zvr3take<zvr3error>(value)) {
            append(QStringLiteral("error: %1").arg(e->text), QColor(180, 30, 30));
        }
    });
}

SetupConsole::~SetupConsole()
{
    m_supervisor.close();
}

void SetupConsole::open(const QUrl &recorder)
{
    m_supervisor.open(recorder.adjusted(QUrl::RemoveQuery));
    append(QStringLiteral("# %1").arg(displayUrl(recorder)), Qt::gray);
}

void SetupConsole::close()
{
    m_supervisor.close();
}

void SetupConsole::send(const QString &request)
{
    QByteArray bytes = request.toUtf8();
    if (!bytes.endsWith("\r\n"))
        bytes += "\r\n";
    append(QStringLiteral("> %1").arg(request.trimmed()), Qt::black);
    m_supervisor.request(bytes);
}

QString SetupConsole::text() const
{
    return m_log->toPlainText();
}

void SetupConsole::append(const QString &text, const QColor &colour)
{
    QTextCharFormat format;
    format.setForeground(colour);
    QTextCursor cursor(m_log->document());
    cursor.movePosition(QTextCursor::End);
    if (!m_log->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(text, format);
    m_log->verticalScrollBar()->setValue(m_log->verticalScrollBar()->maximum());
}

} // namespace zvr3view
