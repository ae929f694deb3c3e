// Writes the seed corpus of every fuzz target: <dir>/<target>/seed-<n>.
#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

#include "zvr3fuzz.h"

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: zvr3fuzz_seeds <dir>\n");
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    for (const zvr3fuzz::Entry &e : zvr3fuzz::targets()) {
        const QString name = QString::fromLatin1(e.name);
        if (!root.mkpath(name))
            return 1;
        const QList<QByteArray> seeds = e.seeds();
        for (int i = 0; i < seeds.size(); ++i) {
            QFile file(root.filePath(QStringLiteral("%1/seed-%2").arg(name).arg(i)));
            if (!file.open(QIODevice::WriteOnly) || file.write(seeds.at(i)) != seeds.at(i).size())
                return 1;
        }
    }
    return 0;
}
