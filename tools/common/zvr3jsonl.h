#ifndef ZVR3JSONL_H
#define ZVR3JSONL_H

#include <QByteArray>
#include <QVariant>

// Renders a value that a node emits as one JSON object on one line, without the line end: the key
// "record" holds the registered type name and the other keys the record's fields under their
// library names, in declaration order. Payloads are shown as their length ("bytes") and SHA-1
// ("sha1"); IDX_T.bytes as lowercase hex. A zvr3item shows its stream entry as an object and its
// value as null or as {"image": {width, height, format, md5}}, {"sound": {rate, channels, samples,
// sha1}}, {"text": ...} or {"position": {...}}; a zvr3error shows its reason by name
// ("AccessDenied"). This is the format of `zvr3 probe` and `zvr3 decode`, and the tests compare
// listings in it.
namespace zvr3jsonl {

QByteArray line(const QVariant &value);

// The fields of a position as one JSON object, the "position" of a rendered zvr3item.
QByteArray position(const QVariant &value);

// A JSON string literal, quotes included.
QByteArray quoted(const QString &text);

} // namespace zvr3jsonl

#endif // ZVR3JSONL_H
