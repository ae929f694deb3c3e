#ifndef NETLOG_H
#define NETLOG_H

#include <QObject>
#include <QStringList>
#include <QVariant>

#include "zvr3base.h"
#include "zvr3error.h"
#include "zvr3jsonl.h"

// Everything a node emits, in order, as one line each: markers (QString values) as
// "marker <text>", errors as "error <code> <text>", everything else as its JSON line.
class NodeLog
{
public:
    explicit NodeLog(zvr3base *node, bool positions = true)
    {
        QObject::connect(node, &zvr3base::sigData, &context, [this, positions](const QVariant &v) {
            values << v;
            if (v.typeId() == QMetaType::QString)
                lines << QStringLiteral("marker ") + v.toString();
            else if (v.metaType() == QMetaType::fromType<zvr3error>())
                lines << QStringLiteral("error %1 %2").arg(v.value<zvr3error>().code).arg(v.value<zvr3error>().text);
            else if (positions || !QByteArray(v.typeName()).startsWith("zvr3parser_position"))
                lines << QString::fromUtf8(zvr3jsonl::line(v));
        });
    }
    QStringList lines;
    QList<QVariant> values;
    QObject context;
};

#endif // NETLOG_H
