// zvr3-view's main window: a recorder's live grid, its archive with the events, and its set-up
// console in tabs, with the state of every source the window keeps open in the status bar.
#ifndef ZVR3VIEW_MAINWINDOW_H
#define ZVR3VIEW_MAINWINDOW_H

#include <QDialog>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QUrl>

class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QSettings;
class QTabWidget;

namespace zvr3view {

class ArchiveView;
class LiveView;
class SetupConsole;
class SourceState;

// Asks for a recorder's address: the recent ones to pick from (remembered without their
// passwords), and the password apart.
class ConnectDialog : public QDialog
{
    Q_OBJECT
public:
    ConnectDialog(const QStringList &recent, QWidget *parent = nullptr);
    // The address with the password put in; invalid when it is no tcp://host address.
    QUrl url() const;
    QComboBox *address() const { return m_address; }
    QLineEdit *password() const { return m_password; }

private:
    QComboBox *m_address;
    QLineEdit *m_password;
};

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    // Recent recorders are kept in settings (the caller's: tests give one of their own).
    explicit MainWindow(QSettings *settings, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Opens the live grid and the set-up console at once; the archive when its tab is first shown.
    // False (with a message) for an address that is no tcp://[user[:password]@]host[:port].
    bool openRecorder(const QUrl &url);
    void closeRecorder();
    QUrl recorder() const { return m_url; }
    void setTimeZoneRule(const QString &rule);
    // Recent recorders, the last opened first, without passwords.
    QStringList recent() const;

    LiveView *live() const { return m_live; }
    ArchiveView *archive() const { return m_archive; }
    SetupConsole *setup() const { return m_setup; }
    QTabWidget *tabs() const { return m_tabs; }
    void showArchive();
    // Every source's state, one "name: state" a line; and the status bar's line.
    QStringList sourceStates() const;
    QString statusText() const;

public slots:
    void askForRecorder();

private:
    void remember(const QUrl &url);
    void rebuildRecentMenu();
    void updateStatus();

    QSettings *m_settings;
    QUrl m_url;
    QString m_rule;
    QTabWidget *m_tabs;
    LiveView *m_live;
    ArchiveView *m_archive;
    SetupConsole *m_setup;
    QLabel *m_status;
    QMenu *m_recentMenu;
    bool m_closing = false;
};

} // namespace zvr3view

#endif
