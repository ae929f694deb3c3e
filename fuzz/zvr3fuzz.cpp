#include "zvr3fuzz.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMetaObject>
#include <QUrl>

#include <cstring>
#include <ctime>

#include "evtparser.h"
#include "id3parser.h"
#include "zvr3command.h"
#include "zvr3decoder_priv_ima1.h"
#include "zvr3decoder_priv_nmea.h"
#include "zvr3decoder_priv_text.h"
#include "zvr3error.h"
#include "zvr3events_priv.h"
#include "zvr3jpeg_priv.h"
#include "zvr3jsonl.h"
#include "zvr3metatype_p.h"
#include "zvr3net_priv.h"
#include "zvr3parser.h"
#include "zvr3saver.h"
#include "zvr3setup_priv.h"
#include "zvr3streamwriter.h"
#include "zvr3tz.h"

// The login answer recogniser is private to the connection: this is its door for the fuzzer.
struct zvr3net_priv_fuzz
{
    // Puts the connection where it waits for the login answer, without a socket.
    static void awaitAnswer(zvr3net_priv &c) { c.state = 1; }
    // What readyRead() does with bytes that arrive.
    static void receive(zvr3net_priv &c, const QByteArray &bytes)
    {
        if (c.state == 1)
            c.recogniseAnswer(bytes);
        else if (c.state == 2)
            emit c.sigData(bytes);
    }
};

namespace zvr3fuzz {

namespace {

// Everything a node emits, in order.
struct Sink
{
    template<typename Node>
    explicit Sink(Node *node)
    {
        connection = QObject::connect(node, &Node::sigData, [this](const QVariant &v) { values.append(v); });
    }
    ~Sink() { QObject::disconnect(connection); }
    QList<QVariant> values;
    QMetaObject::Connection connection;
};

quint32 le32(const QByteArray &b, int at)
{
    const auto *p = reinterpret_cast<const uchar *>(b.constData() + at);
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

QByteArray u32(quint32 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (8 * i)) & 0xFF);
    return b;
}

QByteArray body(const uint8_t *data, size_t size)
{
    return size > 4 ? QByteArray(reinterpret_cast<const char *>(data) + 4, qsizetype(size - 4)) : QByteArray();
}

// Feeds the chunks of an input to a worker's byte-receiving slot, as its connection would.
void receive(QObject *worker, const QList<QByteArray> &parts)
{
    for (const QByteArray &part : parts)
        QMetaObject::invokeMethod(worker, "slotData", Qt::DirectConnection, Q_ARG(QByteArray, part));
}

void state(QObject *worker, int s)
{
    QMetaObject::invokeMethod(worker, "slotState", Qt::DirectConnection, Q_ARG(int, s));
}

// ---- stream parser, saver, parser again

// The records a round trip through the saver keeps, as they come back: index value 0, marked false,
// header table lengths left out.
QList<QByteArray> kept(const QList<QVariant> &values, bool normalise)
{
    QList<QByteArray> out;
    for (const QVariant &v : values) {
        if (zvr3holds<HDR_T>(v)) {
            // The two table lengths are as read; the saver writes the lengths of what it writes.
            HDR_T h = v.value<HDR_T>();
            h.streams_end = 0;
            h.params_size = 0;
            out.append(zvr3jsonl::line(zvr3value(h)));
        } else if (normalise && zvr3holds<IDX_T>(v)) {
            IDX_T idx = v.value<IDX_T>();
            idx.value = 0;
            out.append(zvr3jsonl::line(zvr3value(idx)));
        } else if (normalise && zvr3holds<DATA_T>(v)) {
            DATA_T d = v.value<DATA_T>();
            d.marked = false;
            out.append(zvr3jsonl::line(zvr3value(d)));
        } else if (normalise && zvr3holds<zvr3parser_combined_DATA_T>(v)) {
            zvr3parser_combined_DATA_T d = v.value<zvr3parser_combined_DATA_T>();
            d.marked = false;
            out.append(zvr3jsonl::line(zvr3value(d)));
        } else if (zvr3holds<HDR_T>(v) || zvr3holds<IDX_T>(v) || zvr3holds<DATA_T>(v)
                   || zvr3holds<zvr3parser_combined_DATA_T>(v)) {
            out.append(zvr3jsonl::line(v));
        }
    }
    return out;
}

QString scratchFile()
{
    static const QString path = QDir::temp().filePath(
        QStringLiteral("zvr3fuzz-%1.zvr").arg(QCoreApplication::applicationPid()));
    return path;
}

void runParser(const uint8_t *data, size_t size)
{
    const QList<QByteArray> parts = chunks(data, size);
    zvr3parser parser;
    Sink parsed(&parser);
    for (const QByteArray &part : parts)
        parser.slotData(QVariant(part));

    const QString path = scratchFile();
    {
        zvr3saver saver;
        Sink errors(&saver);
        saver.slotData(zvr3value(zvr3command(2, QUrl::fromLocalFile(path))));
        for (const QVariant &value : parsed.values)
            saver.slotData(value);
        saver.slotData(zvr3value(zvr3command(3)));
        // A record the file format cannot hold is refused, and the round trip is then not whole.
        if (!errors.values.isEmpty())
            return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("zvr3fuzz: the saver's file cannot be read back");
    const QByteArray written = file.readAll();
    file.close();
    QFile::remove(path);

    zvr3parser again;
    Sink reread(&again);
    // The written file in pieces of another size: the parse must not depend on them.
    const int step = 1 + int(written.size() % 977);
    for (qsizetype at = 0; at < written.size(); at += step)
        again.slotData(QVariant(written.mid(at, step)));

    const QList<QByteArray> expected = kept(parsed.values, true);
    const QList<QByteArray> got = kept(reread.values, false);
    if (expected != got) {
        qsizetype i = 0;
        while (i < expected.size() && i < got.size() && expected.at(i) == got.at(i))
            ++i;
        qFatal("zvr3fuzz: round trip differs at record %lld of %lld/%lld:\n  %s\n  %s", qlonglong(i),
               qlonglong(expected.size()), qlonglong(got.size()),
               i < expected.size() ? expected.at(i).left(300).constData() : "<none>",
               i < got.size() ? got.at(i).left(300).constData() : "<none>");
    }
}

QList<QByteArray> seedsParser()
{
    QList<QByteArray> seeds;
    zvr3stream::Recording small;
    small.seconds = 2;
    small.framesPerSecond = 2;
    small.minFrameBytes = 10;
    small.maxFrameBytes = 200;
    small.audioRecordsPerSecond = 2;
    small.audioBytes = 16;
    seeds << input(zvr3stream::generate(small)) << input(zvr3stream::generate(small), 3, 77);
    zvr3stream::Recording parts = small;
    parts.audio = false;
    parts.text = false;
    // A frame in first, middle and last parts, small enough for the fuzzer to work on quickly.
    QByteArray split = zvr3stream::encodeHeader(zvr3stream::sampleHeader(parts));
    split += zvr3stream::encodeIndex({1700000000, 0, QByteArray("ab")});
    for (unsigned part : {2u, 0u, 0u, 1u, 3u}) {  // first, middle, middle, last, whole
        DATA_T d;
        d.stream = zvr3stream::FirstVideoStream;
        d.part = part;
        d.time = 1700000000000LL + 40 * part;
        d.data = QByteArray(10 + int(part), char('a' + part));
        d.size = unsigned(d.data.size());
        split += zvr3stream::encodeData(d, (part & 2) != 0, 1700000000);
    }
    seeds << input(split) << input(split, 1, 5);
    zvr3stream::Recording two = small;
    two.videoStreams = 2;
    two.seed = 9;
    seeds << input(QByteArray("junk before") + zvr3stream::generate(two) + zvr3stream::generate(small), 1, 3);
    return seeds;
}

// ---- index and event files

template<typename Parser>
void runSimple(const uint8_t *data, size_t size)
{
    Parser parser;
    Sink out(&parser);
    for (const QByteArray &part : chunks(data, size))
        parser.slotData(QVariant(part));
}

QList<QByteArray> seedsId3()
{
    QByteArray file;
    for (int i = 0; i < 4; ++i) {
        ZVR_ID3_REC e;
        e.type = uint(i);
        e.count = uint(i + 3);
        e.position = qint64(i) << 33 | 1234;
        e.time = 1700000000000LL + i * 1000;
        e.pairs[0] = {1, 2};
        file += zvr3stream::encodeIndexEntry(e);
    }
    return {input(file), input(file, 2, 4), input(file.left(30), 1, 1)};
}

QList<EVENTS_FILE_DATA_T> sampleEvents()
{
    QList<EVENTS_FILE_DATA_T> events;
    for (int i = 0; i < 3; ++i) {
        EVENTS_FILE_DATA_T e;
        e.time = 1700000000000LL + i * 60000;
        e.number = uint(i + 1);
        for (int t = 0; t <= i; ++t)
            e.texts.append(PARAM_T{t + 1, QStringLiteral("event text %1 ü").arg(t)});
        events.append(e);
    }
    return events;
}

QList<QByteArray> seedsEvt()
{
    QByteArray file;
    for (const EVENTS_FILE_DATA_T &e : sampleEvents())
        file += zvr3stream::encodeEvent(e);
    return {input(file), input(file, 1, 8), input(file + QByteArray(9, '\0'), 3, 2)};
}

// ---- event list reply

void runEvents(const uint8_t *data, size_t size)
{
    zvr3events_priv worker;
    Sink out(&worker);
    state(&worker, 2);  // logged in: the request has gone out, the reply is awaited
    receive(&worker, chunks(data, size));
}

QList<QByteArray> seedsEvents()
{
    QByteArray group;
    for (const EVENTS_FILE_DATA_T &e : sampleEvents())
        group += zvr3stream::encodeEvent(e);
    QByteArray reply = u32(0xE5E5E506) + u32(2);
    reply += u32(0) + u32(quint32(group.size())) + group;
    reply += u32(7) + u32(0);
    reply += u32(0xE5E5E507);
    const QByteArray empty = u32(0xE5E5E506) + u32(0) + u32(0xE5E5E507);
    return {input(reply), input(reply, 1, 6), input(empty), input(reply.left(reply.size() - 3), 2, 1)};
}

// ---- set-up answers

QByteArray answerBlock(const QByteArray &payload, const QByteArray &trailer = "TRAL_ANSWER=OK\r\n")
{
    const QByteArray rest = payload + trailer;
    return "LENGTH=" + QByteArray::number(rest.size()) + "\r\n" + rest;
}

void runSetup(const uint8_t *data, size_t size)
{
    zvr3setup_priv worker;
    Sink out(&worker);
    receive(&worker, chunks(data, size));
}

QList<QByteArray> seedsSetup()
{
    const QByteArray a = answerBlock("name=value\r\nother=1\r\n");
    const QByteArray b = answerBlock("", "TRAL_ANSWER=ERROR bad name\r\n");
    return {input(a), input(a + b + a, 1, 2), input("LENGTH=16\r\nTRAL_ANSWER=OK\r\n"),
            input("LENGTH=1x\r\nTRAL_ANSWER=OK\r\n", 2, 9)};
}

// ---- JPEG snapshot frames

void runJpeg(const uint8_t *data, size_t size)
{
    zvr3jpeg_priv worker;
    Sink out(&worker);
    state(&worker, 2);  // logged in: the request has gone out
    receive(&worker, chunks(data, size));
    state(&worker, 3);  // the recorder closes: the frame is cut and decoded
    if (out.values.size() != 1 || out.values.constFirst().typeId() != QMetaType::QImage)
        qFatal("zvr3fuzz: a snapshot gives exactly one picture");
}

QList<QByteArray> seedsJpeg()
{
    QImage image(16, 8, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 50);
    const QByteArray frame = u32(quint32(jpeg.size())) + jpeg;
    return {input(frame), input(frame, 4, 3), input(u32(3) + "-5:"), input(u32(3) + "-6:"),
            input(u32(3) + "-1:", 1, 1), input(u32(100) + "short")};
}

// ---- login answer

void runLogin(const uint8_t *data, size_t size)
{
    const QList<QByteArray> parts = chunks(data, size);
    zvr3net_priv connection;
    QByteArray forwarded;
    int loggedIn = 0;
    QObject::connect(&connection, &zvr3net_priv::sigData, [&](const QByteArray &b) { forwarded += b; });
    QObject::connect(&connection, &zvr3net_priv::sigState, [&](int s) { loggedIn += s == 2; });
    zvr3net_priv_fuzz::awaitAnswer(connection);
    for (const QByteArray &part : parts)
        zvr3net_priv_fuzz::receive(connection, part);

    // After the answer "OK" every byte that follows reaches the owner unchanged.
    static const QByteArray ok("LENGTH=16\r\nTRAL_ANSWER=OK\r\n");
    QByteArray all;
    for (const QByteArray &part : parts)
        all += part;
    if (loggedIn > 1 || (loggedIn == 1) != all.startsWith(ok))
        qFatal("zvr3fuzz: login answer judged wrongly");
    if (loggedIn == 1 && forwarded != all.mid(ok.size()))
        qFatal("zvr3fuzz: bytes after the login answer changed");
    if (loggedIn == 0 && !forwarded.isEmpty())
        qFatal("zvr3fuzz: bytes forwarded without a login");
}

QList<QByteArray> seedsLogin()
{
    const QByteArray ok("LENGTH=16\r\nTRAL_ANSWER=OK\r\n");
    return {input(ok), input(ok + "payload after", 1, 1), input("LENGTH=19\r\nTRAL_ANSWER=ERROR\r\n", 5, 2),
            input(QByteArray(40, 'x'), 1, 3)};
}

// ---- decoders: NMEA, text, IMA ADPCM

template<typename Decoder>
void decodeAll(Decoder &decoder, const QList<QByteArray> &parts)
{
    QList<QVariant> out;
    QObject::connect(&decoder, &zvr3decoder_priv::sigData, [&](const QVariant &v) { out.append(v); });
    for (const QByteArray &part : parts) {
        zvr3item item;
        item.stream = decoder.stream();
        item.data = part;
        decoder.decode(item);
    }
}

STREAM_T textStream(const char *codec, const QString &options = QString())
{
    STREAM_T s;
    s.number = 1;
    s.type = 4;
    s.codec = QString::fromLatin1(codec);
    s.text3 = options;
    return s;
}

void runNmea(const uint8_t *data, size_t size)
{
    zvr3decoder_priv_nmea decoder(textStream("nmea"));
    decodeAll(decoder, chunks(data, size));
}

QList<QByteArray> seedsNmea()
{
    const QByteArray rmc("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
    const QByteArray gga("$GPGGA,123519,4807.038,N,01131.000,W,1,08,2,545.4,M,46.9,M,,*47\r\n");
    const QByteArray pgrme("$PGRME,15.0,M,45.0,M,25.0,M*1C\r\n");
    return {input(rmc + gga + pgrme), input(rmc + gga + pgrme, 1, 4),
            input("$GPRMC,235959.999,V,,,,,,,311299,,*00\r\n", 2, 2)};
}

void runText(const uint8_t *data, size_t size)
{
    // The codec name comes from the input too: the character set is read from its suffix.
    static const char *const codecs[] = {"text", "text-none", "text-utf8", "text-utf-8", "text-koi8", "text-koi8r"};
    const int which = size > 1 ? data[1] % 6 : 0;
    zvr3decoder_priv_text decoder(textStream(codecs[which]));
    decodeAll(decoder, chunks(data, size));
}

QList<QByteArray> seedsText()
{
    return {input(QByteArray("hello\0world", 11)), input(QByteArray("gr\xc3\xbc\xc3\x9f" "e\0tail", 12), 2, 1),
            input("\xf0\xd2\xc9\xd7\xc5\xd4", 1, 4)};
}

void runIma1(const uint8_t *data, size_t size)
{
    // The stream's option text (where "-rate=N" is found) is the body up to its first line end.
    QByteArray rest = body(data, size);
    const qsizetype end = rest.indexOf('\n');
    const QString options = end < 0 ? QString() : QString::fromUtf8(rest.left(end));
    STREAM_T stream;
    stream.number = 1;
    stream.type = 2;
    stream.codec = QStringLiteral("ima1");
    stream.text3 = options;
    zvr3decoder_priv_ima1 decoder(stream);
    QByteArray header(reinterpret_cast<const char *>(data), qsizetype(qMin<size_t>(size, 4)));
    while (header.size() < 4)
        header += '\0';
    const QByteArray payload = header + rest.mid(end + 1);
    decodeAll(decoder, chunks(reinterpret_cast<const uint8_t *>(payload.constData()), size_t(payload.size())));
}

QList<QByteArray> seedsIma1()
{
    QByteArray sound;
    for (int i = 0; i < 64; ++i)
        sound += char((i * 37) & 0xFF);
    return {input("-rate=8000\n" + sound, 10, 1), input("-rate=16000 -x\n" + sound + QByteArray("\x40\x01", 2), 2, 3),
            input("\n" + QByteArray("\x10\x00", 2), 1, 1)};
}

// ---- time zone rules

void runTz(const uint8_t *data, size_t size)
{
    // The rule runs to the first zero byte; the bytes after it are times, 4 at a time, and a tm.
    const QByteArray all = body(data, size);
    const qsizetype end = all.indexOf('\0');
    const QByteArray rule = end < 0 ? all : all.left(end);
    const QByteArray times = end < 0 ? QByteArray() : all.mid(end + 1);

    zvr3tz tz(rule.constData());
    const zvr3tz copy = tz;
    volatile unsigned long sink = 0;
    for (qsizetype at = 0; at + 4 <= times.size() && at < 64; at += 4) {
        const unsigned long t = le32(times, int(at));
        sink = sink + tz.toLocal(t) + tz.toGMT(t) + copy.getCurrentOffset(t);
    }
    if (times.size() >= 24) {
        tm t {};
        t.tm_year = qint8(times.at(0)) + 100;
        t.tm_mon = qint8(times.at(1));
        t.tm_mday = qint8(times.at(2));
        t.tm_hour = qint8(times.at(3));
        t.tm_min = qint8(times.at(4));
        t.tm_sec = qint8(times.at(5));
        sink = sink + tz.mktime(&t);
    }
    tz.setTimeZone(nullptr);
    (void)sink;
}

QList<QByteArray> seedsTz()
{
    const QByteArray times = u32(1700000000) + u32(1711846800) + u32(0) + u32(0xFFFFFFFF) + u32(1729990000)
                             + QByteArray("\x18\x02\x1d\x02\x00\x00", 6);
    return {input(QByteArray("UTC-3UTC-4,M3.5.0/2,M10.5.0/2") + '\0' + times),
            input(QByteArray("UTC+0UTC+0") + '\0' + times),
            input(QByteArray("UTC-5:30:15UTC+1,M12.0.6/23,M1.9.0/-4") + '\0' + times),
            input(QByteArray("XYZ+3"))};
}

} // namespace

QList<QByteArray> chunks(const uint8_t *data, size_t size)
{
    QList<QByteArray> out;
    if (size <= 4)
        return out;
    const char *bytes = reinterpret_cast<const char *>(data) + 4;
    const qsizetype n = qsizetype(size - 4);
    const int largest = data[0] * 16;
    quint32 state = (quint32(data[1]) | quint32(data[2]) << 8 | quint32(data[3]) << 16) * 2654435761u + 1;
    for (qsizetype at = 0; at < n;) {
        qsizetype length = n - at;
        if (largest > 0) {
            state = state * 1664525u + 1013904223u;
            length = qMin<qsizetype>(length, 1 + qsizetype((state >> 8) % quint32(largest)));
        }
        out.append(QByteArray(bytes + at, length));
        at += length;
    }
    return out;
}

QByteArray input(const QByteArray &body, int mode, quint32 seed)
{
    QByteArray b;
    b += char(mode & 0xFF);
    b += char(seed & 0xFF);
    b += char((seed >> 8) & 0xFF);
    b += char((seed >> 16) & 0xFF);
    return b + body;
}

const QList<Entry> &targets()
{
    static const QList<Entry> all = {
        {"parser", runParser, seedsParser},
        {"id3parser", runSimple<id3parser>, seedsId3},
        {"evtparser", runSimple<evtparser>, seedsEvt},
        {"events", runEvents, seedsEvents},
        {"setup", runSetup, seedsSetup},
        {"jpeg", runJpeg, seedsJpeg},
        {"login", runLogin, seedsLogin},
        {"nmea", runNmea, seedsNmea},
        {"text", runText, seedsText},
        {"ima1", runIma1, seedsIma1},
        {"tz", runTz, seedsTz},
    };
    return all;
}

const Entry *find(const QByteArray &name)
{
    for (const Entry &e : targets()) {
        if (name == e.name)
            return &e;
    }
    return nullptr;
}

} // namespace zvr3fuzz
