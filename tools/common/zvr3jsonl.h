#ifndef ZVR3JSONL_H
#define ZVR3JSONL_H

#include <QByteArray>
#include <QVariant>

// Renders a value that a node emits as one JSON object on one line, without the line end: the key
// "record" holds the registered type name and the other keys the record's fields under their
// library names, in declaration order. Payloads are shown as their length ("bytes") and SHA-1
// ("sha1"); IDX_T.bytes as lowercase hex. This is the format of `zvr3 probe`, and the tests compare
// listings in it.
namespace zvr3jsonl {

QByteArray line(const QVariant &value);

// A JSON string literal, quotes included.
QByteArray quoted(const QString &text);

} // namespace zvr3jsonl

#endif // ZVR3JSONL_H
