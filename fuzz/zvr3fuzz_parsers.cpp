// The byte-stream parsers, the saver that writes what the stream parser reads, and the local archive
// reader that scans a file through the stream parser.
#include <QUrl>

#include "evtparser.h"
#include "id3parser.h"
#include "zvr3archive.h"
#include "zvr3command.h"
#include "zvr3fuzz_p.h"
#include "zvr3jsonl.h"
#include "zvr3metatype_p.h"
#include "zvr3parser.h"
#include "zvr3saver.h"
#include "zvr3streamwriter.h"

namespace zvr3fuzz {

namespace {

QByteArray joined(const QList<QByteArray> &parts)
{
    QByteArray all;
    for (const QByteArray &part : parts)
        all += part;
    return all;
}

bool sameEvent(const EVENTS_FILE_DATA_T &a, const EVENTS_FILE_DATA_T &b)
{
    if (a.time != b.time || a.number != b.number || a.texts.size() != b.texts.size())
        return false;
    for (qsizetype i = 0; i < a.texts.size(); ++i) {
        if (a.texts.at(i).id != b.texts.at(i).id || a.texts.at(i).text != b.texts.at(i).text)
            return false;
    }
    return true;
}

bool samePosition(const zvr3parser_position &a, const zvr3parser_position &b)
{
    return a.type == b.type && a.position == b.position && a.length == b.length;
}

// ---- stream parser, saver, parser again

// The records that a round trip through the saver keeps.
QList<QVariant> kept(const QList<QVariant> &values)
{
    QList<QVariant> out;
    for (const QVariant &v : values) {
        if (zvr3holds<HDR_T>(v) || zvr3holds<IDX_T>(v) || zvr3holds<DATA_T>(v) || zvr3holds<zvr3parser_combined_DATA_T>(v))
            out.append(v);
    }
    return out;
}

bool sameData(const DATA_T &a, const DATA_T &b)
{
    return a.size == b.size && a.level == b.level && a.part == b.part && a.stream == b.stream && a.time == b.time
           && a.extra == b.extra && a.data == b.data;
}

// A record read back from the saver's file against the record it was written from, up to what the
// file does not keep: the index value (written as 0), the marked flag (not written) and the lengths
// of the header's tables (written for what is written).
bool sameKept(const QVariant &original, const QVariant &reread)
{
    if (original.userType() != reread.userType())
        return false;
    if (zvr3holds<HDR_T>(original))
        return sameHeader(original.value<HDR_T>(), reread.value<HDR_T>(), false);
    if (zvr3holds<IDX_T>(original)) {
        const IDX_T a = original.value<IDX_T>();
        const IDX_T b = reread.value<IDX_T>();
        return a.time == b.time && b.value == 0 && a.bytes == b.bytes;
    }
    const DATA_T &a = *static_cast<const DATA_T *>(original.constData());
    const DATA_T &b = *static_cast<const DATA_T *>(reread.constData());
    return !b.marked && sameData(a, b);
}

} // namespace

// What the stream parser reads, the saver writes back and the parser reads again as the same
// records (up to what the file format does not keep: the index value, the marked flag and the
// lengths of the header's tables), whatever the chunking on either side.
void runParser(const uint8_t *data, size_t size)
{
    const QList<QByteArray> parts = chunks(data, size);
    zvr3parser parser;
    Sink parsed(&parser);
    for (const QByteArray &part : parts)
        parser.slotData(QVariant(part));

    {
        zvr3saver saver;
        Sink errors(&saver);
        saver.slotData(zvr3value(zvr3command(2, QUrl::fromLocalFile(scratchPath()))));
        for (const QVariant &value : parsed.values)
            saver.slotData(value);
        saver.slotData(zvr3value(zvr3command(3)));
        // A record the file format cannot hold is refused, and the round trip is then not whole.
        if (!errors.values.isEmpty())
            return;
    }
    const QByteArray written = scratchRead();

    zvr3parser again;
    Sink reread(&again);
    // The written file in pieces of another size: the parse must not depend on them.
    const int step = 1 + int(written.size() % 977);
    for (qsizetype at = 0; at < written.size(); at += step)
        again.slotData(QVariant(written.mid(at, step)));

    const QList<QVariant> expected = kept(parsed.values);
    const QList<QVariant> got = kept(reread.values);
    qsizetype i = 0;
    while (i < expected.size() && i < got.size() && sameKept(expected.at(i), got.at(i)))
        ++i;
    if (i < expected.size() || i < got.size()) {
        broken("round trip differs at record %lld of %lld/%lld:\n  %s\n  %s", qlonglong(i),
               qlonglong(expected.size()), qlonglong(got.size()),
               i < expected.size() ? zvr3jsonl::line(expected.at(i)).left(300).constData() : "<none>",
               i < got.size() ? zvr3jsonl::line(got.at(i)).left(300).constData() : "<none>");
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

// ---- index files

// Every 24 bytes make one entry, reported at its offset, whatever the chunking; values are read,
// not checked.
void runId3(const uint8_t *data, size_t size)
{
    const QList<QByteArray> parts = chunks(data, size);
    id3parser parser;
    Sink out(&parser);
    for (const QByteArray &part : parts)
        parser.slotData(QVariant(part));

    const QByteArray all = joined(parts);
    const qsizetype entries = all.size() / 24;
    if (out.values.size() != 2 * entries)
        broken("%lld bytes of index file gave %lld values", qlonglong(all.size()), qlonglong(out.values.size()));
    for (qsizetype i = 0; i < entries; ++i) {
        const QVariant &where = out.values.at(2 * i);
        const QVariant &what = out.values.at(2 * i + 1);
        if (!zvr3holds<zvr3parser_position>(where) || !zvr3holds<ZVR_ID3_REC>(what))
            broken("entry %lld: not a position and a record", qlonglong(i));
        const zvr3parser_position p = where.value<zvr3parser_position>();
        if (!samePosition(p, zvr3parser_position{5, 24 * i, 24}))
            broken("entry %lld reported at %lld, length %d, type %d", qlonglong(i), qlonglong(p.position), p.length, p.type);
        const ZVR_ID3_REC r = what.value<ZVR_ID3_REC>();
        const uchar *e = reinterpret_cast<const uchar *>(all.constData()) + 24 * i;
        const auto u32at = [e](int at) {
            return quint32(e[at]) | quint32(e[at + 1]) << 8 | quint32(e[at + 2]) << 16 | quint32(e[at + 3]) << 24;
        };
        bool same = r.type == e[0] && r.count == qMin(6u, unsigned(e[1]))
                    && r.position == (qint64(e[3]) << 32 | qint64(u32at(8))) && r.time == qint64(u32at(4)) * 1000;
        for (int k = 0; k < 6; ++k)
            same = same && r.pairs[k].first == e[12 + 2 * k] && r.pairs[k].second == e[13 + 2 * k];
        if (!same)
            broken("entry %lld read wrongly: type %u count %u position %lld time %lld", qlonglong(i), r.type,
                   r.count, qlonglong(r.position), qlonglong(r.time));
    }
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

// ---- event files

namespace {

struct EventParse
{
    QList<zvr3parser_position> positions;
    QList<EVENTS_FILE_DATA_T> events;
};

EventParse parseEvents(const QList<QByteArray> &parts)
{
    evtparser parser;
    Sink out(&parser);
    for (const QByteArray &part : parts)
        parser.slotData(QVariant(part));
    EventParse result;
    for (const QVariant &v : std::as_const(out.values)) {
        if (zvr3holds<zvr3parser_position>(v))
            result.positions.append(v.value<zvr3parser_position>());
        else if (zvr3holds<EVENTS_FILE_DATA_T>(v))
            result.events.append(v.value<EVENTS_FILE_DATA_T>());
        else
            broken("event parser emitted a %s", v.typeName());
    }
    if (result.positions.size() != result.events.size())
        broken("%lld positions for %lld events", qlonglong(result.positions.size()), qlonglong(result.events.size()));
    // Records lie one after the other from the first byte.
    qint64 at = 0;
    for (const zvr3parser_position &p : std::as_const(result.positions)) {
        if (p.type != 6 || p.position != at || p.length < 9)
            broken("event record reported at %lld (expected %lld), length %d, type %d", qlonglong(p.position),
                   qlonglong(at), p.length, p.type);
        at += p.length;
    }
    return result;
}

void compareEvents(const QList<EVENTS_FILE_DATA_T> &a, const QList<EVENTS_FILE_DATA_T> &b, const char *what)
{
    if (a.size() != b.size())
        broken("%s: %lld events against %lld", what, qlonglong(a.size()), qlonglong(b.size()));
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (!sameEvent(a.at(i), b.at(i)))
            broken("%s: event %lld differs", what, qlonglong(i));
    }
}

} // namespace

// An event file reads the same in any chunking (a record waits until its last text has ended), and
// the events, written out again, read back as the same events.
void runEvt(const uint8_t *data, size_t size)
{
    const QList<QByteArray> parts = chunks(data, size);
    const EventParse chunked = parseEvents(parts);
    const EventParse whole = parseEvents({joined(parts)});
    compareEvents(chunked.events, whole.events, "chunked against whole");
    for (qsizetype i = 0; i < chunked.positions.size(); ++i) {
        if (!samePosition(chunked.positions.at(i), whole.positions.at(i)))
            broken("chunked against whole: event %lld reported elsewhere", qlonglong(i));
    }

    QByteArray written;
    for (const EVENTS_FILE_DATA_T &e : std::as_const(whole.events))
        written += zvr3stream::encodeEvent(e);
    compareEvents(parseEvents({written}).events, whole.events, "written and read again");
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

// ---- local archive file

// The archive node scans a file into one seek entry per index record (at the offset where the record
// starts, with its time) and one event per index record followed by text frames (their texts, each
// tagged with its stream number), as the stream parser's records of the file say.
void runArchive(const uint8_t *data, size_t size)
{
    const QList<QByteArray> parts = chunks(data, size);
    const QByteArray file = joined(parts);
    scratchWrite(file);

    QList<QVariant> got;
    {
        zvr3archive archive;
        Sink out(&archive);
        archive.slotData(zvr3value(zvr3command(2, QUrl::fromLocalFile(scratchPath()))));
        got = out.values;
    }

    // What the file holds, from the stream parser's records.
    QList<ZVR_ID3_REC> seeks;
    EVENTS_FILE_LIST_T events;
    {
        // In the pieces the scan reads: a stream header whose texts run past its stated length
        // reads differently when it arrives in other pieces.
        zvr3parser parser;
        Sink records(&parser);
        for (qsizetype at = 0; at < file.size(); at += 0x10000)
            parser.slotData(QVariant(file.mid(at, 0x10000)));
        qint64 where = -1;
        HDR_T header;
        EVENTS_FILE_DATA_T pending;
        int indexes = 0;
        for (const QVariant &v : std::as_const(records.values)) {
            if (zvr3holds<zvr3parser_position>(v)) {
                where = v.value<zvr3parser_position>().position;
            } else if (zvr3holds<HDR_T>(v)) {
                header = v.value<HDR_T>();
            } else if (zvr3holds<IDX_T>(v)) {
                ZVR_ID3_REC seek;
                seek.position = where;
                seek.time = qint64(v.value<IDX_T>().time) * 1000;
                seeks.append(seek);
                if (!pending.texts.isEmpty())
                    events.append(pending);
                pending = EVENTS_FILE_DATA_T();
                pending.time = seek.time;
                pending.number = unsigned(2 * indexes + 1);
                ++indexes;
            } else if (zvr3holds<zvr3parser_combined_DATA_T>(v)) {
                const auto frame = v.value<zvr3parser_combined_DATA_T>();
                const auto entry = std::find_if(header.streams.cbegin(), header.streams.cend(),
                                                [&](const STREAM_T &s) { return s.number == int(frame.stream); });
                if (entry != header.streams.cend() && entry->type == 4) {
                    const qsizetype zero = frame.data.indexOf('\0');
                    pending.texts.append(PARAM_T{int(frame.stream), QString::fromUtf8(zero < 0 ? frame.data : frame.data.left(zero))});
                }
            }
        }
        if (!pending.texts.isEmpty())
            events.append(pending);
    }

    if (got.size() != seeks.size() + 1) {
        QByteArray what;
        for (const QVariant &v : std::as_const(got))
            what += zvr3jsonl::line(v).left(200) + "\n";
        broken("the scan gave %lld values for %lld index records:\n%s", qlonglong(got.size()), qlonglong(seeks.size()),
               what.constData());
    }
    for (qsizetype i = 0; i < seeks.size(); ++i) {
        if (!zvr3holds<ZVR_ID3_REC>(got.at(i)))
            broken("value %lld of the scan is a %s", qlonglong(i), got.at(i).typeName());
        const ZVR_ID3_REC r = got.at(i).value<ZVR_ID3_REC>();
        bool same = r.type == 0 && r.count == 0 && r.position == seeks.at(i).position && r.time == seeks.at(i).time;
        for (const ZVR_ID3_REC::Pair &pair : r.pairs)
            same = same && pair.first == 0 && pair.second == 0;
        if (!same || r.position < 0 || r.position >= file.size())
            broken("seek entry %lld: position %lld time %lld, expected %lld %lld", qlonglong(i),
                   qlonglong(r.position), qlonglong(r.time), qlonglong(seeks.at(i).position), qlonglong(seeks.at(i).time));
    }
    if (!zvr3holds<EVENTS_FILE_LIST_T>(got.constLast()))
        broken("the scan did not end with the event list but a %s", got.constLast().typeName());
    compareEvents(got.constLast().value<EVENTS_FILE_LIST_T>(), events, "archive events");
}

QList<QByteArray> seedsArchive()
{
    zvr3stream::Recording small;
    small.seconds = 3;
    small.framesPerSecond = 2;
    small.minFrameBytes = 10;
    small.maxFrameBytes = 120;
    small.audioRecordsPerSecond = 1;
    small.audioBytes = 12;
    const QByteArray recording = zvr3stream::generate(small);
    // Texts before the first index record, and a text stream frame in parts.
    zvr3stream::Recording bare = small;
    bare.audio = false;
    QByteArray early = zvr3stream::encodeHeader(zvr3stream::sampleHeader(bare));
    early += zvr3stream::encodeChunkHeader({1, 2, 3, 4});
    early += zvr3stream::encodeIndex({1700000000, 7, QByteArray()});
    for (unsigned part : {2u, 1u, 3u}) {
        DATA_T d;
        d.stream = zvr3stream::TextStream;
        d.part = part;
        d.time = 1700000000000LL;
        d.data = QByteArray("text ") + char('a' + part) + (part == 3 ? QByteArray("\0rest", 5) : QByteArray());
        d.size = unsigned(d.data.size());
        early += zvr3stream::encodeData(d, false, 1700000000);
    }
    return {input(recording), input(recording, 2, 11), input(early), input(early + recording, 1, 4)};
}

} // namespace zvr3fuzz
