// zvr3-sample DIR: writes a short synthetic recording to DIR as sample.zvr (archive stream),
// sample.id3 (index file) and sample.evt (event file).
#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

#include "zvr3streamwriter.h"

namespace {
bool write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "zvr3-sample: can't write '%s': %s\n", qPrintable(path), qPrintable(file.errorString()));
        return false;
    }
    return true;
}
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "Usage: zvr3-sample DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(QStringLiteral(".")))
        return 1;

    zvr3stream::Recording recording;
    recording.seconds = 3;
    recording.videoStreams = 2;
    recording.framesPerSecond = 5;
    recording.minFrameBytes = 2000;
    recording.maxFrameBytes = 90000;  // some frames travel in parts
    const QByteArray stream = zvr3stream::generate(recording);

    QByteArray index;
    QByteArray events;
    for (int second = 0; second < recording.seconds; ++second) {
        ZVR_ID3_REC entry;
        entry.count = 1;
        entry.time = (qint64(recording.startTime) + second) * 1000;
        entry.position = qint64(second) * 100000;
        entry.pairs[0] = {1, unsigned(second)};
        index += zvr3stream::encodeIndexEntry(entry);

        EVENTS_FILE_DATA_T event;
        event.time = entry.time;
        event.number = unsigned(second + 1);
        event.texts = {{1, QStringLiteral("Motion")}, {2, QStringLiteral("Channel %1").arg(second + 1)}};
        events += zvr3stream::encodeEvent(event);
    }
    return write(dir.filePath(QStringLiteral("sample.zvr")), stream)
            && write(dir.filePath(QStringLiteral("sample.id3")), index)
            && write(dir.filePath(QStringLiteral("sample.evt")), events)
        ? 0 : 1;
}
