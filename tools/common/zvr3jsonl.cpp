#include "zvr3jsonl.h"

#include <QCryptographicHash>
#include <QImage>
#include <QLocale>
#include <QMetaEnum>

#include <cmath>

#include "evtparser.h"
#include "id3parser.h"
#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3stats.h"
#include "zvr3item.h"
#include "zvr3position_info.h"
#include "zvr3records.h"
#include "zvr3sound_buffer.h"

namespace zvr3jsonl {
namespace {

// Builds one object; keys come out in the order they are added.
class Object
{
public:
    explicit Object(const char *record) { m_out = "{\"record\": " + quoted(QString::fromLatin1(record)); }
    Object() { m_first = true; m_out = "{"; }

    Object &field(const char *key, const QByteArray &json)
    {
        if (!m_first)
            m_out += ", ";
        m_first = false;
        m_out += '"';
        m_out += key;
        m_out += "\": ";
        m_out += json;
        return *this;
    }
    Object &field(const char *key, qint64 v) { return field(key, QByteArray::number(v)); }
    Object &field(const char *key, quint64 v) { return field(key, QByteArray::number(v)); }
    Object &field(const char *key, int v) { return field(key, QByteArray::number(v)); }
    Object &field(const char *key, unsigned int v) { return field(key, QByteArray::number(v)); }
    Object &field(const char *key, bool v) { return field(key, QByteArray(v ? "true" : "false")); }
    Object &field(const char *key, double v)
    {
        return field(key, std::isfinite(v) ? QByteArray::number(v, 'g', QLocale::FloatingPointShortest) : QByteArray("null"));
    }
    Object &field(const char *key, const QString &v) { return field(key, quoted(v)); }
    Object &payload(const QByteArray &data)
    {
        field("bytes", qint64(data.size()));
        return field("sha1", quoted(QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex())));
    }
    QByteArray end() { return m_out + '}'; }

private:
    QByteArray m_out;
    bool m_first = false;
};

template <typename T, typename F>
QByteArray array(const T &items, F render)
{
    QByteArray out = "[";
    bool first = true;
    for (const auto &item : items) {
        if (!first)
            out += ", ";
        first = false;
        out += render(item);
    }
    return out + ']';
}

QByteArray texts(const QVector<PARAM_T> &params)
{
    return array(params, [](const PARAM_T &p) { return Object().field("id", p.id).field("text", p.text).end(); });
}

Object &dataFields(Object &o, const DATA_T &d)
{
    return o.field("size", d.size)
        .field("level", int(d.level))
        .field("marked", d.marked)
        .field("part", d.part)
        .field("stream", d.stream)
        .field("time", d.time)
        .field("extra", d.extra)
        .payload(d.data);
}

Object &positionFields(Object &o, const zvr3position_info &p)
{
    return o.field("latitude", p.latitude)
        .field("longitude", p.longitude)
        .field("altitude", p.altitude)
        .field("course", p.course)
        .field("speed", p.speed)
        .field("time", p.time)
        .field("valid", p.valid)
        .field("satellites", p.satellites)
        .field("hdop", p.hdop);
}

Object &soundFields(Object &o, const zvr3sound_buffer &s)
{
    return o.field("rate", s.rate)
        .field("channels", s.channels)
        .field("samples", qint64(s.data.size() / 2))
        .field("sha1", quoted(QString::fromLatin1(QCryptographicHash::hash(s.data, QCryptographicHash::Sha1).toHex())));
}

// MD5 of the pixels, rows top to bottom, 4 bytes per pixel in memory order.
QByteArray imageMd5(const QImage &picture)
{
    const QImage image = picture.format() == QImage::Format_ARGB32 ? picture : picture.convertToFormat(QImage::Format_ARGB32);
    QCryptographicHash md5(QCryptographicHash::Md5);
    for (int y = 0; y < image.height(); ++y)
        md5.addData(QByteArrayView(reinterpret_cast<const char *>(image.constScanLine(y)), 4 * qsizetype(image.width())));
    return md5.result().toHex();
}

// A decoded result: null, or an object named after what it holds.
QByteArray decoded(const QVariant &value)
{
    if (!value.isValid())
        return "null";
    const QMetaType type = value.metaType();
    if (type == QMetaType::fromType<QImage>()) {
        const QImage image = value.value<QImage>();
        return Object().field("image", Object().field("width", image.width()).field("height", image.height())
                                           .field("format", QStringLiteral("ARGB32"))
                                           .field("md5", quoted(QString::fromLatin1(imageMd5(image)))).end()).end();
    }
    if (type == QMetaType::fromType<zvr3sound_buffer>()) {
        Object sound;
        return Object().field("sound", soundFields(sound, value.value<zvr3sound_buffer>()).end()).end();
    }
    if (type == QMetaType::fromType<QString>())
        return Object().field("text", value.toString()).end();
    if (type == QMetaType::fromType<zvr3position_info>()) {
        Object position;
        return Object().field("position", positionFields(position, value.value<zvr3position_info>()).end()).end();
    }
    return Object().field("type", QString::fromLatin1(type.name())).end();
}

Object &eventFields(Object &o, const EVENTS_FILE_DATA_T &e)
{
    return o.field("time", e.time).field("number", e.number).field("texts", texts(e.texts));
}

} // namespace

QByteArray position(const QVariant &value)
{
    Object o;
    return positionFields(o, value.value<zvr3position_info>()).end();
}

QByteArray quoted(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char c : utf8) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (uchar(c) < 0x20)
                out += "\\u00" + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
            else
                out += c;
        }
    }
    out += '"';
    return out;
}

QByteArray line(const QVariant &value)
{
    const QMetaType type = value.metaType();
    if (type == QMetaType::fromType<zvr3parser_position>()) {
        const auto p = value.value<zvr3parser_position>();
        return Object("zvr3parser_position").field("type", p.type).field("position", p.position).field("length", p.length).end();
    }
    if (type == QMetaType::fromType<HDR_T>()) {
        const auto h = value.value<HDR_T>();
        const QByteArray streams = array(h.streams, [](const STREAM_T &s) {
            return Object().field("number", s.number).field("type", s.type).field("codec", s.codec)
                .field("text2", s.text2).field("text3", s.text3).end();
        });
        return Object("HDR_T").field("streams_end", h.streams_end).field("params_size", h.params_size)
            .field("name", h.name).field("streams", streams).field("params", texts(h.params)).end();
    }
    if (type == QMetaType::fromType<ARCHIVE_T_HDR>()) {
        const auto c = value.value<ARCHIVE_T_HDR>();
        return Object("ARCHIVE_T_HDR").field("ref_high", c.ref_high).field("ref_low", c.ref_low)
            .field("value64", c.value64).field("value32", c.value32).end();
    }
    if (type == QMetaType::fromType<IDX_T>()) {
        const auto i = value.value<IDX_T>();
        return Object("IDX_T").field("time", i.time).field("value", i.value)
            .field("bytes", quoted(QString::fromLatin1(i.bytes.toHex()))).end();
    }
    if (type == QMetaType::fromType<DATA_T>()) {
        Object o("DATA_T");
        return dataFields(o, value.value<DATA_T>()).end();
    }
    if (type == QMetaType::fromType<zvr3parser_combined_DATA_T>()) {
        Object o("zvr3parser_combined_DATA_T");
        return dataFields(o, value.value<zvr3parser_combined_DATA_T>()).end();
    }
    if (type == QMetaType::fromType<ZVR_ID3_REC>()) {
        const auto r = value.value<ZVR_ID3_REC>();
        QByteArray pairs = "[";
        for (int i = 0; i < 6; ++i)
            pairs += (i ? ", [" : "[") + QByteArray::number(r.pairs[i].first) + ", " + QByteArray::number(r.pairs[i].second) + ']';
        pairs += ']';
        return Object("ZVR_ID3_REC").field("type", r.type).field("count", r.count).field("position", r.position)
            .field("time", r.time).field("pairs", pairs).end();
    }
    if (type == QMetaType::fromType<EVENTS_FILE_DATA_T>()) {
        Object o("EVENTS_FILE_DATA_T");
        return eventFields(o, value.value<EVENTS_FILE_DATA_T>()).end();
    }
    if (type == QMetaType::fromType<EVENTS_FILE_LIST_T>()) {
        const auto list = value.value<EVENTS_FILE_LIST_T>();
        const QByteArray events = array(list, [](const EVENTS_FILE_DATA_T &e) {
            Object o;
            return eventFields(o, e).end();
        });
        return Object("EVENTS_FILE_LIST_T").field("events", events).end();
    }
    if (type == QMetaType::fromType<zvr3item>()) {
        const auto item = value.value<zvr3item>();
        const STREAM_T &s = item.stream;
        const QByteArray stream = Object().field("number", s.number).field("type", s.type).field("codec", s.codec)
                                      .field("text2", s.text2).field("text3", s.text3).end();
        return Object("zvr3item").field("stream", stream).field("time", item.time).field("duration", item.duration)
            .field("extra", item.extra).field("level", item.level).payload(item.data)
            .field("value", decoded(item.value)).field("value2", decoded(item.value2)).end();
    }
    if (type == QMetaType::fromType<zvr3sound_buffer>()) {
        Object o("zvr3sound_buffer");
        return soundFields(o, value.value<zvr3sound_buffer>()).end();
    }
    if (type == QMetaType::fromType<zvr3position_info>()) {
        Object o("zvr3position_info");
        return positionFields(o, value.value<zvr3position_info>()).end();
    }
    if (type == QMetaType::fromType<zvr3error>()) {
        const auto e = value.value<zvr3error>();
        const char *reason = QMetaEnum::fromType<zvr3error::Reason>().valueToKey(e.reason);
        return Object("zvr3error")
            .field("code", e.code)
            .field("text", e.text)
            .field("reason", reason ? quoted(QString::fromLatin1(reason)) : QByteArray::number(int(e.reason)))
            .end();
    }
    if (type == QMetaType::fromType<zvr3stats>()) {
        const auto st = value.value<zvr3stats>();
        const char *state = QMetaEnum::fromType<zvr3stats::State>().valueToKey(st.state);
        return Object("zvr3stats")
            .field("state", state ? quoted(QString::fromLatin1(state)) : QByteArray::number(int(st.state)))
            .field("attempt", st.attempt)
            .field("nextAttemptMs", st.nextAttemptMs)
            .field("reconnects", st.reconnects)
            .field("lastError", line(QVariant::fromValue(st.lastError)))
            .field("bytesReceived", st.bytesReceived)
            .field("msSinceLastByte", st.msSinceLastByte)
            .field("bytesPerSecond", st.bytesPerSecond)
            .field("skippedBytes", st.skippedBytes)
            .field("unlistedRecords", st.unlistedRecords)
            .field("decoded", st.decoded)
            .field("dropped", st.dropped)
            .field("queued", st.queued)
            .end();
    }
    if (type == QMetaType::fromType<zvr3command>()) {
        const auto c = value.value<zvr3command>();
        return Object("zvr3command").field("code", c.code).field("data", quoted(c.data.toString())).end();
    }
    if (type == QMetaType::fromType<QByteArray>()) {
        Object o("QByteArray");
        return o.payload(value.toByteArray()).end();
    }
    return Object(type.isValid() ? type.name() : "invalid").end();
}

} // namespace zvr3jsonl
