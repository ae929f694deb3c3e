// Helpers shared by the fuzz targets; not part of the targets' interface.
#ifndef ZVR3FUZZ_P_H
#define ZVR3FUZZ_P_H

#include <QByteArray>
#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QVariant>

#include <cstddef>
#include <cstdint>

#include "zvr3fuzz.h"
#include "zvr3records.h"

namespace zvr3fuzz {

// Everything a node emits, in order.
struct Sink
{
    template<typename Node>
    explicit Sink(Node *node)
    {
        connection = QObject::connect(node, &Node::sigData, [this](const QVariant &v) { values.append(v); });
    }
    ~Sink() { QObject::disconnect(connection); }
    Sink(const Sink &) = delete;
    Sink &operator=(const Sink &) = delete;
    QList<QVariant> values;
    QMetaObject::Connection connection;
};

inline quint32 le32(const QByteArray &b, qsizetype at)
{
    const auto *p = reinterpret_cast<const uchar *>(b.constData() + at);
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

inline QByteArray u32(quint32 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (8 * i)) & 0xFF);
    return b;
}

inline QByteArray u16(quint32 v)
{
    QByteArray b(2, '\0');
    b[0] = char(v & 0xFF);
    b[1] = char((v >> 8) & 0xFF);
    return b;
}

// The input without its four chunking bytes.
inline QByteArray body(const uint8_t *data, size_t size)
{
    return size > 4 ? QByteArray(reinterpret_cast<const char *>(data) + 4, qsizetype(size - 4)) : QByteArray();
}

// Two stream headers with the same name and tables (and, if asked, the same table lengths as read).
inline bool sameHeader(const HDR_T &a, const HDR_T &b, bool lengths)
{
    if ((lengths && (a.streams_end != b.streams_end || a.params_size != b.params_size)) || a.name != b.name
        || a.streams.size() != b.streams.size() || a.params.size() != b.params.size())
        return false;
    for (qsizetype i = 0; i < a.streams.size(); ++i) {
        const STREAM_T &x = a.streams.at(i);
        const STREAM_T &y = b.streams.at(i);
        if (x.number != y.number || x.type != y.type || x.codec != y.codec || x.text2 != y.text2 || x.text3 != y.text3)
            return false;
    }
    for (qsizetype i = 0; i < a.params.size(); ++i) {
        if (a.params.at(i).id != b.params.at(i).id || a.params.at(i).text != b.params.at(i).text)
            return false;
    }
    return true;
}

// Feeds the chunks of an input to a worker's byte-receiving slot, as its connection would.
void receive(QObject *worker, const QList<QByteArray> &parts);
void receive(QObject *worker, const QByteArray &part);
// Tells a worker its connection's new state, as the connection's sigState() would.
void state(QObject *worker, int s);

// A file that lives as long as the process, in memory where the system allows: its name for QFile,
// its contents, and a way to fill it.
QString scratchPath();
QByteArray scratchRead();
void scratchWrite(const QByteArray &contents);

// A broken property: the message names the target and what went wrong.
[[noreturn]] void broken(const char *format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(1, 2);

// The targets, one file per kind of surface.
void runParser(const uint8_t *data, size_t size);
QList<QByteArray> seedsParser();
void runId3(const uint8_t *data, size_t size);
QList<QByteArray> seedsId3();
void runEvt(const uint8_t *data, size_t size);
QList<QByteArray> seedsEvt();
void runArchive(const uint8_t *data, size_t size);
QList<QByteArray> seedsArchive();

void runEvents(const uint8_t *data, size_t size);
QList<QByteArray> seedsEvents();
void runSetup(const uint8_t *data, size_t size);
QList<QByteArray> seedsSetup();
void runJpeg(const uint8_t *data, size_t size);
QList<QByteArray> seedsJpeg();
void runLogin(const uint8_t *data, size_t size);
QList<QByteArray> seedsLogin();
void runNetArchive(const uint8_t *data, size_t size);
QList<QByteArray> seedsNetArchive();

void runNmea(const uint8_t *data, size_t size);
QList<QByteArray> seedsNmea();
void runText(const uint8_t *data, size_t size);
QList<QByteArray> seedsText();
void runIma1(const uint8_t *data, size_t size);
QList<QByteArray> seedsIma1();
void runVideo(const uint8_t *data, size_t size);
QList<QByteArray> seedsVideo();

void runTz(const uint8_t *data, size_t size);
QList<QByteArray> seedsTz();

} // namespace zvr3fuzz

#endif // ZVR3FUZZ_P_H
