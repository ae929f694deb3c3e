// The set-up console: requests typed on a line go to the recorder's set-up service (zvr3setup
// behind a zvr3supervisor, which keeps the connection up and never sends a request twice), and
// the answers are shown below each request.
#ifndef ZVR3VIEW_SETUPCONSOLE_H
#define ZVR3VIEW_SETUPCONSOLE_H

#include <QUrl>
#include <QWidget>

#include "viewcommon.h"
#include "zvr3setup.h"
#include "zvr3supervisor.h"

class QLineEdit;
class QPlainTextEdit;

namespace zvr3view {

class SetupConsole : public QWidget
{
    Q_OBJECT
public:
    explicit SetupConsole(QWidget *parent = nullptr);
    ~SetupConsole() override;

    void open(const QUrl &recorder);
    void close();
    // Sends a request as if typed (CR LF is added unless it ends with it).
    void send(const QString &request);
    QString text() const;
    int answers() const { return m_answers; }
    SourceState *state() const { return m_state; }
    QLineEdit *input() const { return m_input; }

private:
    void append(const QString &text, const QColor &colour);

    zvr3setup m_setup;
    zvr3supervisor m_supervisor;
    SourceState *m_state;
    QPlainTextEdit *m_log;
    QLineEdit *m_input;
    int m_answers = 0;
};

} // namespace zvr3view

#endif
