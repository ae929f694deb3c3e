#ifndef ZVR3_INPUT_H
#define ZVR3_INPUT_H

#include <QByteArray>
#include <QFile>
#include <QString>

// The input file of `probe`, `record` and `decode`, "-" meaning standard input. A regular file is
// read in full chunks. A pipe, a terminal or a socket is read as its bytes come: the wait runs the
// event loop (decoded items keep arriving, standard output leaves) and a stop signal ends it, so
// that a stream fed slowly shows its records at once and Ctrl-C ends the command cleanly.
class Input
{
public:
    // On failure prints "<command>: can't open '<path>': <reason>" and returns false.
    bool open(const QString &path);
    // The next bytes, at most maxSize: empty at the end of the input, after a read error and once
    // a stop signal has come.
    QByteArray read(qint64 maxSize);
    bool isSequential() const { return m_sequential; }
    // The size of a regular file, else 0.
    qint64 size() const;
    // Whether the reading went well; prints "<command>: reading '<path>' failed: <reason>" when not.
    bool finish() const;

private:
    QString m_path;
    QFile m_file;
    int m_fd = -1;
    bool m_sequential = false;
    QString m_error;
};

#endif // ZVR3_INPUT_H
