// The network workers, driven through their slots as their connection would drive them: bytes as
// received, and the connection's state numbers. No socket is ever opened.
#include <QBuffer>
#include <QDateTime>
#include <QImage>
#include <QRegularExpression>
#include <QTimeZone>

#include <algorithm>

#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3events_priv.h"
#include "zvr3fuzz_p.h"
#include "zvr3jpeg_priv.h"
#include "zvr3metatype_p.h"
#include "zvr3net_archive_priv.h"
#include "zvr3net_priv.h"
#include "zvr3parser.h"
#include "zvr3setup_priv.h"
#include "zvr3streamwriter.h"

// The connection's login answer recogniser and its queue of requests written before the login,
// for the fuzzer.
struct zvr3net_priv_fuzz
{
    // Puts the connection where it waits for the login answer, without a socket.
    static void awaitAnswer(zvr3net_priv &c) { c.state = zvr3net_priv::LoginSent; }
    // What readyRead() does with bytes that arrive.
    static void receive(zvr3net_priv &c, const QByteArray &bytes)
    {
        if (c.state == zvr3net_priv::LoginSent)
            c.recogniseAnswer(bytes);
        else if (c.state == zvr3net_priv::LoggedIn)
            emit c.sigData(bytes);
    }
    // What the owner has sent so far; without a login it all waits here.
    static QByteArray outgoing(const zvr3net_priv &c) { return c.outgoing; }
};

// The network archive worker's connection and parser.
struct zvr3net_archive_priv_fuzz
{
    static zvr3net_priv &connection(zvr3net_archive_priv &w) { return *w.connection; }
    static zvr3parser &parser(zvr3net_archive_priv &w) { return w.parser; }
};

// The size limits of set-up answers and snapshots, cut down so that inputs of a few kilobytes
// reach them; the usual limit comes back with the end of the input.
template <typename Worker>
struct LimitOverride
{
    explicit LimitOverride(qint64 bytes) { Worker::setLimit(bytes); }
    ~LimitOverride() { Worker::setLimit(0); }
    Q_DISABLE_COPY(LimitOverride)
};
struct zvr3setup_priv_fuzz
{
    static void setLimit(qint64 bytes) { zvr3setup_priv::setAnswerLimitOverride(bytes); }
};
struct zvr3jpeg_priv_fuzz
{
    static void setLimit(qint64 bytes) { zvr3jpeg_priv::setReplyLimitOverride(bytes); }
};

namespace zvr3fuzz {

namespace {

// The limits the set-up and snapshot targets run with.
constexpr qint64 AnswerLimit = 2048;
constexpr qint64 SnapshotLimit = 2048;

bool isError(const QVariant &v, const char *text, int code = -1)
{
    return zvr3holds<zvr3error>(v) && v.value<zvr3error>().code == code
           && v.value<zvr3error>().text == QLatin1String(text);
}

const char *describe(const QVariant &v)
{
    static QByteArray text;
    text = zvr3holds<zvr3error>(v) ? "error " + v.value<zvr3error>().text.toUtf8() : QByteArray(v.typeName());
    return text.constData();
}

// The reply reader of the event list, as the format is written down: reads past what has arrived
// give 0 and still move on; a text runs to the next NUL byte, and one whose NUL has not arrived
// reads as empty without moving.
struct ReplyReader
{
    const QByteArray &r;
    qint64 pos = 0;

    quint32 u32()
    {
        const quint32 v = pos + 4 <= r.size() ? le32(r, pos) : 0;
        pos += 4;
        return v;
    }
    quint32 u8()
    {
        const quint32 v = pos + 1 <= r.size() ? quint8(r.at(pos)) : 0;
        pos += 1;
        return v;
    }
    QString text()
    {
        const qsizetype zero = pos < r.size() ? r.indexOf('\0', pos) : -1;
        if (zero < 0)
            return QString();
        const QString t = QString::fromUtf8(r.constData() + pos, zero - pos);
        pos = zero + 1;
        return t;
    }
};

EVENTS_FILE_LIST_T decodeReply(const QByteArray &r)
{
    EVENTS_FILE_LIST_T list;
    ReplyReader in{r, 4};
    const qint32 groups = qint32(in.u32());
    for (qint32 g = 0; g < groups; ++g) {
        in.u32();
        const qint64 length = in.u32();
        const qint64 end = in.pos + length;
        while (in.pos < end) {
            EVENTS_FILE_DATA_T e;
            e.time = qint64(in.u32()) * 1000;
            e.number = in.u32();
            const quint32 count = in.u8();
            for (quint32 i = 0; i < count && in.pos < end; ++i) {
                PARAM_T t;
                t.id = int(in.u8());
                t.text = in.text();
                e.texts.append(t);
            }
            if (!e.texts.isEmpty())
                list.append(e);
        }
        in.pos = end;
    }
    return list;
}

bool sameList(const EVENTS_FILE_LIST_T &a, const EVENTS_FILE_LIST_T &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        const EVENTS_FILE_DATA_T &x = a.at(i);
        const EVENTS_FILE_DATA_T &y = b.at(i);
        if (x.time != y.time || x.number != y.number || x.texts.size() != y.texts.size())
            return false;
        for (qsizetype k = 0; k < x.texts.size(); ++k) {
            if (x.texts.at(k).id != y.texts.at(k).id || x.texts.at(k).text != y.texts.at(k).text)
                return false;
        }
    }
    return true;
}

} // namespace

// ---- event list reply

// Each chunk of a reply: once 12 bytes have arrived, a reply without the magic gives "Wrong event
// file format" (again for every chunk); a reply whose trailer stands where the group lengths say
// gives its list, decoded from what has arrived, and then the marker queued behind the request.
// The connection then closes; the bytes after the list are the reply to the next request.
void runEvents(const uint8_t *data, size_t size)
{
    zvr3events_priv worker;
    Sink out(&worker);
    int markers = 0;
    const auto request = [&] {
        state(&worker, 2);  // logged in: the request goes out
        worker.slotData(zvr3value(zvr3command(1, ++markers)));
    };
    request();

    QByteArray reply;
    bool counted = false;
    qint64 groupsLeft = 0;
    qint64 walk = 8;
    for (const QByteArray &chunk : chunks(data, size)) {
        const qsizetype before = out.values.size();
        receive(&worker, chunk);
        reply += chunk;
        const QList<QVariant> got = out.values.mid(before);
        if (reply.size() < 12) {
            if (!got.isEmpty())
                broken("events: %s from %lld bytes of reply", describe(got.constFirst()), qlonglong(reply.size()));
            continue;
        }
        if (le32(reply, 0) != 0xE5E5E506) {
            if (got.size() != 1 || !isError(got.constFirst(), "Wrong event file format"))
                broken("events: a reply without the magic gave %lld values", qlonglong(got.size()));
            continue;
        }
        // Where the trailer stands follows from the group headers.
        if (!counted) {
            counted = true;
            groupsLeft = qMax<qint32>(0, qint32(le32(reply, 4)));
        }
        while (groupsLeft > 0 && reply.size() >= walk + 8) {
            walk += 8 + qint64(le32(reply, walk + 4));
            --groupsLeft;
        }
        const bool complete = groupsLeft == 0 && reply.size() >= walk + 4 && le32(reply, walk) == 0xE5E5E507;
        if (!complete) {
            if (!got.isEmpty())
                broken("events: %s before the reply was complete", describe(got.constFirst()));
            continue;
        }
        if (got.size() != 2 || !zvr3holds<EVENTS_FILE_LIST_T>(got.at(0)))
            broken("events: a complete reply gave %lld values, the first %s", qlonglong(got.size()),
                   got.isEmpty() ? "none" : describe(got.constFirst()));
        if (!sameList(got.at(0).value<EVENTS_FILE_LIST_T>(), decodeReply(reply)))
            broken("events: the list of a reply of %lld bytes is not what the reply holds", qlonglong(reply.size()));
        if (got.at(1) != QVariant(markers))
            broken("events: the marker behind the request did not follow its list");
        // The worker has closed its connection: the next bytes belong to the next request.
        state(&worker, 3);
        request();
        reply.clear();
        counted = false;
        groupsLeft = 0;
        walk = 8;
    }
}

QList<QByteArray> seedsEvents()
{
    QByteArray group;
    for (const EVENTS_FILE_DATA_T &e : {EVENTS_FILE_DATA_T{1700000000000LL, 1, {{1, QStringLiteral("a")}, {2, QString()}}},
                                        EVENTS_FILE_DATA_T{1700000060000LL, 2, {}},
                                        EVENTS_FILE_DATA_T{1700000120000LL, 3, {{7, QStringLiteral("event ü")}}}})
        group += zvr3stream::encodeEvent(e);
    QByteArray reply = u32(0xE5E5E506) + u32(2);
    reply += u32(0) + u32(quint32(group.size())) + group;
    reply += u32(7) + u32(0);
    reply += u32(0xE5E5E507);
    const QByteArray empty = u32(0xE5E5E506) + u32(0) + u32(0xE5E5E507);
    return {input(reply), input(reply, 1, 6), input(empty + reply), input(reply.left(reply.size() - 3), 2, 1),
            input(u32(0xE5E5E508) + reply)};
}

// ---- set-up answers

namespace {

// The length of a "LENGTH=" line as a decimal number: blanks around it and a plus sign are
// allowed, as in Qt's reading of numbers; anything else reads as 0. A number past 64 bits is the
// largest length there is when it is made of digits alone, and 0 otherwise.
quint64 lengthValue(const QByteArray &text)
{
    const QByteArray t = text.trimmed();
    qsizetype at = t.startsWith('+') ? 1 : 0;
    if (at >= t.size())
        return 0;
    const bool digitsOnly = std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    quint64 n = 0;
    for (; at < t.size(); ++at) {
        const char c = t.at(at);
        if (c < '0' || c > '9')
            return 0;
        const quint64 digit = quint64(c - '0');
        if (n > (~quint64(0) - digit) / 10)
            return digitsOnly ? ~quint64(0) : 0;
        n = n * 10 + digit;
    }
    return n;
}

} // namespace

// The answer blocks that the set-up worker hands on are those a plain reading of the framing finds:
// after each chunk one attempt at the block at the start of what has arrived ("LENGTH=" n CR LF,
// then n bytes, the buffer ending with CR LF), judged by the last "TRAL_ANSWER=" line.
void runSetup(const uint8_t *data, size_t size)
{
    const LimitOverride<zvr3setup_priv_fuzz> limit(AnswerLimit);
    const QVariant tooLarge = zvr3value(zvr3error(-1, QStringLiteral("Set-up answer too large")));
    zvr3setup_priv worker;
    Sink out(&worker);
    QByteArray buffer;
    for (const QByteArray &chunk : chunks(data, size)) {
        const qsizetype before = out.values.size();
        receive(&worker, chunk);
        const QList<QVariant> got = out.values.mid(before);

        buffer += chunk;
        QList<QVariant> expected;
        bool block = false;
        bool givenUp = false;
        if (buffer.size() >= 10) {
            if (!buffer.startsWith("LENGTH=")) {
                expected.append(zvr3value(zvr3error(-1, QStringLiteral("Device data protocol error"))));
            } else if (const qsizetype lineEnd = buffer.indexOf("\r\n"); lineEnd >= 0) {
                const quint64 n = lengthValue(buffer.mid(7, lineEnd - 7));
                const quint64 total = quint64(lineEnd) + 2 + n;
                if (lineEnd + 2 > AnswerLimit || n > quint64(AnswerLimit - lineEnd - 2)) {
                    expected.append(tooLarge);  // announced: given up before the block is in
                    block = givenUp = true;
                } else if (n <= quint64(buffer.size()) && total <= quint64(buffer.size()) && buffer.endsWith("\r\n")) {
                    block = true;
                    const qsizetype at = buffer.lastIndexOf("TRAL_ANSWER=");
                    const QByteArray trailer = at < 0 ? QByteArray() : buffer.mid(at);
                    if (trailer == "TRAL_ANSWER=OK\r\n")
                        expected.append(QVariant(at > lineEnd + 2 ? buffer.mid(lineEnd + 2, at - lineEnd - 2) : QByteArray()));
                    else if (trailer.startsWith("TRAL_ANSWER=ERROR"))
                        expected.append(zvr3value(zvr3error(-1, QStringLiteral("Device returns error"))));
                    else
                        expected.append(zvr3value(zvr3error(-1, QStringLiteral("Device data protocol error"))));
                    buffer.remove(0, qsizetype(total));
                }
            }
        }
        // More than an answer can hold, without a block: given up too.
        if (!block && buffer.size() > AnswerLimit) {
            expected.append(tooLarge);
            givenUp = true;
        }

        bool same = got.size() == expected.size();
        for (qsizetype i = 0; same && i < got.size(); ++i) {
            const QVariant &g = got.at(i);
            const QVariant &e = expected.at(i);
            if (zvr3holds<zvr3error>(e))
                same = isError(g, qPrintable(e.value<zvr3error>().text));
            else
                same = g.typeId() == QMetaType::QByteArray && g.toByteArray() == e.toByteArray();
        }
        if (!same)
            broken("setup: after %lld bytes the worker gave %lld values (%s), the framing %lld (%s)",
                   qlonglong(buffer.size()), qlonglong(got.size()), got.isEmpty() ? "" : describe(got.constFirst()),
                   qlonglong(expected.size()), expected.isEmpty() ? "" : describe(expected.constFirst()));
        // An answer given up closes the connection: nothing more arrives.
        if (givenUp)
            return;
    }
}

namespace {
QByteArray answerBlock(const QByteArray &payload, const QByteArray &trailer = "TRAL_ANSWER=OK\r\n")
{
    const QByteArray rest = payload + trailer;
    return "LENGTH=" + QByteArray::number(rest.size()) + "\r\n" + rest;
}
}

QList<QByteArray> seedsSetup()
{
    const QByteArray a = answerBlock("name=value\r\nother=1\r\n");
    const QByteArray b = answerBlock("", "TRAL_ANSWER=ERROR bad name\r\n");
    return {input(a), input(a + b + a, 1, 2), input("LENGTH=16\r\nTRAL_ANSWER=OK\r\n"),
            input("LENGTH=1x\r\nTRAL_ANSWER=OK\r\n", 2, 9), input("LENGTH= +30\r\nx\r\nTRAL_ANSWER=OK\r\n", 1, 7)};
}

// ---- JPEG snapshot frames

// One picture per snapshot, and the right one: the frame is the length-prefixed payload at the start
// of what arrived; a status "-5:" or "-6:" gives the "no signal" or "disabled" placeholder, a JPEG
// that decodes gives itself ("ok"), anything else the "error" placeholder.
void runJpeg(const uint8_t *data, size_t size)
{
    const LimitOverride<zvr3jpeg_priv_fuzz> limit(SnapshotLimit);
    zvr3jpeg_priv worker;
    Sink out(&worker);
    state(&worker, 2);  // logged in: the request has gone out
    const QList<QByteArray> parts = chunks(data, size);
    QByteArray all;
    for (const QByteArray &part : parts) {
        receive(&worker, part);
        all += part;
        if (!out.values.isEmpty())
            break;  // the worker gave up and closed the connection: nothing more arrives
    }
    state(&worker, 3);  // the recorder closes: the frame is cut and decoded
    // A frame announcing more than a snapshot may hold is given up as soon as its length is in.
    const bool tooLarge = all.size() >= 4 && le32(all, 0) > quint64(SnapshotLimit);
    if (tooLarge && (out.values.size() != 2 || !isError(out.values.constFirst(), "Snapshot too large")))
        broken("jpeg: a frame announcing %llu bytes is not given up", static_cast<unsigned long long>(le32(all, 0)));
    if (out.values.size() != 1 + tooLarge || out.values.constLast().typeId() != QMetaType::QImage)
        broken("jpeg: a snapshot gives exactly one picture");
    const QImage image = out.values.constLast().value<QImage>();

    QString expected = QStringLiteral("error");
    QImage decoded;
    if (!tooLarge && all.size() >= 4 && quint64(all.size()) >= quint64(le32(all, 0)) + 4) {
        const QByteArray payload = all.mid(4, le32(all, 0));
        if (payload.size() >= 3 && payload.at(0) == '-' && payload.at(2) == ':') {
            expected = payload.at(1) == '5' ? QStringLiteral("no signal")
                       : payload.at(1) == '6' ? QStringLiteral("disabled")
                                              : QStringLiteral("error");
        } else {
            decoded = QImage::fromData(payload, "JPEG");
            if (!decoded.isNull())
                expected = QStringLiteral("ok");
        }
    }
    const QString description = image.text(QStringLiteral("description"));
    if (description != expected)
        broken("jpeg: snapshot described as \"%s\", expected \"%s\"", qPrintable(description), qPrintable(expected));
    if (expected == QLatin1String("ok")) {
        if (image.size() != decoded.size() || image.format() != decoded.format() || image != decoded)
            broken("jpeg: the snapshot is not the picture that was sent");
    } else if (image.size() != QSize(320, 240) || image.format() != QImage::Format_ARGB32) {
        broken("jpeg: placeholder of %dx%d, format %d", image.width(), image.height(), int(image.format()));
    }
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
            input(u32(3) + "-1:", 1, 1), input(u32(100) + "short"), input(frame + frame, 2, 2)};
}

// ---- login answer

// The answer "OK" logs in exactly when the bytes start with it, and every byte after it reaches the
// owner unchanged; nothing else is forwarded.
void runLogin(const uint8_t *data, size_t size)
{
    const QList<QByteArray> parts = chunks(data, size);
    zvr3net_priv connection;
    QByteArray forwarded;
    int loggedIn = 0;
    QList<QVariant> errors;
    QObject::connect(&connection, &zvr3net_priv::sigData, [&](const QByteArray &b) { forwarded += b; });
    QObject::connect(&connection, &zvr3net_priv::sigState, [&](int s) { loggedIn += s == 2; });
    QObject::connect(&connection, &zvr3net_priv::sigError, [&](const QVariant &e) { errors.append(e); });
    zvr3net_priv_fuzz::awaitAnswer(connection);
    QByteArray all;
    for (const QByteArray &part : parts) {
        all += part;
        zvr3net_priv_fuzz::receive(connection, part);
        // A refusal or 32 bytes of something else end the wait: the connection would be closed.
        if (!errors.isEmpty())
            break;
    }

    static const QByteArray ok("LENGTH=16\r\nTRAL_ANSWER=OK\r\n");
    static const QByteArray refused("LENGTH=19\r\nTRAL_ANSWER=ERROR\r\n");
    if (loggedIn > 1 || (loggedIn == 1) != all.startsWith(ok))
        broken("login answer judged wrongly");
    if (loggedIn == 1 && forwarded != all.mid(ok.size()))
        broken("bytes after the login answer changed");
    if (loggedIn == 0 && !forwarded.isEmpty())
        broken("bytes forwarded without a login");
    if (loggedIn == 0) {
        // Refused: "Access denied"; 32 bytes or more of anything else: the unexpected reply; less
        // than that waits.
        const char *expected = all.startsWith(refused) ? "Access denied"
                               : all.size() >= 32      ? "Unexpected authorization reply received"
                                                       : nullptr;
        const int code = all.startsWith(refused) ? -1 : -2;
        if (expected ? errors.size() != 1 || !isError(errors.constFirst(), expected, code) : !errors.isEmpty())
            broken("login: %lld errors for %lld bytes that are no login", qlonglong(errors.size()), qlonglong(all.size()));
    } else if (!errors.isEmpty()) {
        broken("login: an error after the login");
    }
}

QList<QByteArray> seedsLogin()
{
    const QByteArray ok("LENGTH=16\r\nTRAL_ANSWER=OK\r\n");
    return {input(ok), input(ok + "payload after", 1, 1), input("LENGTH=19\r\nTRAL_ANSWER=ERROR\r\n", 5, 2),
            input(QByteArray(40, 'x'), 1, 3)};
}

// ---- network archive

// The archive worker's state machine, driven by a script: the first byte of the body is the length
// of the script, whose bytes are steps; the rest of the body is what the recorder sends, handed out
// a chunk per step that asks for one. Steps (byte % 10): 0 a chunk, 1 logged in, 2 connection
// closed, 3 a marker, 4 close, 5 a time, 6 pause, 7 resume, 8 channels on or off, 9 the rest.
//
// What must hold: the worker is always in one of its states; a stream header leaves only in state
// 4, index records and data only in state 6; chunk headers and everything else never leave; every
// position the parser reports goes downstream; a stream header is not repeated within a
// connection; markers leave in order, each once, and a close lets out every marker queued before
// it; requests go out in order of the commands, "GET_TIME_" with the time as it was given and
// "GET_INDEX_" with the references of the last chunk's closing header.
void runNetArchive(const uint8_t *data, size_t size)
{
    const QByteArray all = body(data, size);
    const int scriptLength = all.isEmpty() ? 0 : quint8(all.at(0));
    const QByteArray script = all.mid(1, scriptLength);
    QByteArray stream = all.mid(1 + scriptLength);
    const int largest = size > 0 ? data[0] * 16 : 0;
    quint32 cut = size > 3 ? (quint32(data[1]) | quint32(data[2]) << 8 | quint32(data[3]) << 16) * 2654435761u + 1 : 1;
    const auto nextChunk = [&](bool rest) {
        qsizetype length = stream.size();
        if (!rest && largest > 0) {
            cut = cut * 1664525u + 1013904223u;
            length = qMin<qsizetype>(length, 1 + qsizetype((cut >> 8) % quint32(largest)));
        }
        const QByteArray chunk = stream.left(length);
        stream.remove(0, length);
        return chunk;
    };

    // What the checks keep, declared before the worker: the worker goes first.
    int markersGiven = 0;
    int markersOut = 0;
    int positionsIn = 0;
    int positionsOut = 0;
    bool mayHaveReset = true;  // since the last stream header left
    HDR_T lastHeader;
    QList<ARCHIVE_T_HDR> closings;  // chunk headers that closed a chunk
    QList<QByteArray> times;       // the request lines that the time commands ask for, in order
    zvr3net_archive_priv worker;
    zvr3net_priv &connection = zvr3net_archive_priv_fuzz::connection(worker);
    const auto validState = [&] {
        const int s = worker.currentState();
        if (s < 0 || s > 9 || s == 7)
            broken("netarchive: state %d", s);
        return s;
    };

    QObject::connect(&zvr3net_archive_priv_fuzz::parser(worker), &zvr3base::sigData, [&](const QVariant &v) {
        // Connected after the worker: the worker has taken the record when this runs.
        if (zvr3holds<zvr3parser_position>(v))
            ++positionsIn;
        else if (zvr3holds<ARCHIVE_T_HDR>(v) && worker.currentState() == 8)
            closings.append(v.value<ARCHIVE_T_HDR>());
    });
    QObject::connect(&worker, &zvr3base::sigData, [&](const QVariant &v) {
        const int s = validState();
        if (zvr3holds<zvr3parser_position>(v)) {
            ++positionsOut;
        } else if (zvr3holds<HDR_T>(v)) {
            if (s != 4)
                broken("netarchive: stream header emitted in state %d", s);
            const HDR_T h = v.value<HDR_T>();
            if (!mayHaveReset && sameHeader(h, lastHeader, true))
                broken("netarchive: the same stream header emitted twice");
            lastHeader = h;
            mayHaveReset = false;
        } else if (zvr3holds<IDX_T>(v) || zvr3holds<DATA_T>(v) || zvr3holds<zvr3parser_combined_DATA_T>(v)) {
            if (s != 6)
                broken("netarchive: %s emitted in state %d", v.typeName(), s);
        } else if (v.typeId() == QMetaType::Int) {
            if (v.toInt() != markersOut + 1)
                broken("netarchive: marker %d after marker %d", v.toInt(), markersOut);
            ++markersOut;
        } else {
            broken("netarchive: %s emitted", describe(v));
        }
    });

    const auto command = [&](int code, const QVariant &arg = QVariant()) {
        worker.slotData(zvr3value(zvr3command(code, arg)));
    };
    for (const char step : script) {
        const quint8 s = quint8(step);
        switch (s % 10) {
        case 0:
            receive(&worker, nextChunk(false));
            break;
        case 1:
            state(&worker, 2);
            break;
        case 2:
            mayHaveReset = true;
            state(&worker, 3);
            break;
        case 3:
            command(1, ++markersGiven);
            break;
        case 4:
            mayHaveReset = true;
            command(3);
            if (markersOut != markersGiven)
                broken("netarchive: %d of %d markers out after a close", markersOut, markersGiven);
            break;
        case 5: {
            const QDateTime t = QDateTime(QDate(2010, 3, 5), QTime(14, 7, 9), QTimeZone::utc()).addSecs(qint64(s) * 86399);
            times.append("GET_TIME_" + t.toString(QStringLiteral("dd/MM/yyyy,hh:mm:ss")).toUtf8() + "\r\n");
            command(4, t);
            break;
        }
        case 6:
            command(5, true);
            break;
        case 7:
            command(5, false);
            break;
        case 8:
            command(s & 0x80 ? 7 : 6, QByteArray(1, char(s)) + char(s >> 1));
            break;
        case 9:
            receive(&worker, nextChunk(true));
            break;
        }
        validState();
    }
    while (!stream.isEmpty())
        receive(&worker, nextChunk(false));
    validState();
    mayHaveReset = true;
    command(3);
    if (markersOut != markersGiven)
        broken("netarchive: %d of %d markers out after the last close", markersOut, markersGiven);
    if (positionsOut != positionsIn)
        broken("netarchive: %d of %d positions passed on", positionsOut, positionsIn);

    // The requests, as they wait for a login that never comes.
    const QByteArray sent = zvr3net_priv_fuzz::outgoing(connection);
    static const QRegularExpression index(QStringLiteral("^GET_INDEX_([0-9a-f]{8})([0-9a-f]{8})$"));
    static const QRegularExpression channel(QStringLiteral("^(EN|DIS)ABLE_[0-9a-f]{2}$"));
    qsizetype nextTime = 0;
    for (const QByteArray &line : sent.split('\n')) {
        if (line.isEmpty())
            continue;
        if (!line.endsWith('\r'))
            broken("netarchive: request without CR LF: %s", line.left(80).constData());
        const QString request = QString::fromLatin1(line.chopped(1));
        if (request.startsWith(QLatin1String("GET_TIME_"))) {
            while (nextTime < times.size() && times.at(nextTime) != line + '\n')
                ++nextTime;  // a close drops the times waiting ahead of it
            if (nextTime == times.size())
                broken("netarchive: time request %s out of order", qPrintable(request));
            ++nextTime;
        } else if (const QRegularExpressionMatch m = index.match(request); m.hasMatch()) {
            const uint high = m.captured(1).toUInt(nullptr, 16);
            const uint low = m.captured(2).toUInt(nullptr, 16);
            const bool known = (high == 0 && low == 0)
                               || std::any_of(closings.cbegin(), closings.cend(), [&](const ARCHIVE_T_HDR &c) {
                                      return c.ref_high == high && c.ref_low == low;
                                  });
            if (!known)
                broken("netarchive: %s names no chunk", qPrintable(request));
        } else if (!channel.match(request).hasMatch()) {
            broken("netarchive: request %s", qPrintable(request.left(80)));
        }
    }
}

QList<QByteArray> seedsNetArchive()
{
    // Two chunks as a recorder sends them: sections of a header, a chunk header, an index record
    // and data, then the closing chunk header and index record that name the next chunk.
    zvr3stream::Recording r;
    r.audio = false;
    r.text = false;
    const HDR_T header = zvr3stream::sampleHeader(r);
    const auto section = [&](quint32 time, int frames) {
        QByteArray s = zvr3stream::encodeHeader(header) + zvr3stream::encodeChunkHeader({9, 9, 0, 0});
        s += zvr3stream::encodeIndex({time, 0, QByteArray()});
        for (int i = 0; i < frames; ++i) {
            DATA_T d;
            d.stream = zvr3stream::FirstVideoStream;
            d.part = 3;
            d.time = qint64(time) * 1000 + 40 * i;
            d.data = QByteArray(8 + i, char('f' + i));
            d.size = unsigned(d.data.size());
            s += zvr3stream::encodeData(d, true, time);
        }
        return s;
    };
    const auto closing = [&](quint32 high, quint32 low, quint32 time) {
        return zvr3stream::encodeChunkHeader({high, low, 0, 0}) + zvr3stream::encodeIndex({time, 0, QByteArray()});
    };
    const QByteArray chunk1 = section(1700000000, 2) + section(1700000001, 1) + closing(1, 255, 1700000002);
    const QByteArray chunk2 = section(1700000002, 2) + closing(2, 0xABCDEF01, 1700000003);
    const auto script = [](const QByteArray &steps, const QByteArray &stream) {
        return QByteArray(1, char(steps.size())) + steps + stream;
    };
    // logged in, time, chunk by chunk; a marker, a pause and a resume in between; channels; a close.
    const QByteArray steps1("\x01\x05\x03\x00\x00\x00\x00\x06\x00\x00\x00\x07\x00\x00\x08\x03\x00\x00\x04", 19);
    return {input(script(steps1, chunk1 + chunk2), 4, 2),
            input(script(QByteArray("\x03\x01\x05\x09\x02\x03\x01\x05\x09", 9), chunk1 + chunk2), 0, 1),
            input(script(QByteArray("\x05\x03\x01\x06\x04\x01\x05\x09\x07\x09", 10), chunk1 + chunk2), 1, 9)};
}

} // namespace zvr3fuzz
