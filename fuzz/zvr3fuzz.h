#ifndef ZVR3FUZZ_H
#define ZVR3FUZZ_H

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <cstddef>
#include <cstdint>

// The fuzz targets of the library's input surfaces. Each takes one input the way libFuzzer hands it
// over and feeds it to the real node as the network or a file would. The first four bytes of every
// input choose how the rest is cut into chunks (see chunks()); the rest is what arrives.
//
// The same functions run under libFuzzer (fuzz/fuzz_main.cpp, one executable per target) and in the
// normal test suite, which replays the seeds and the kept inputs of tests/data/fuzz/<target>/.
// Besides "no crash, no leak", every target checks a property of what the node must do with the
// input; a broken property calls qFatal(), which libFuzzer reports as a crash.
namespace zvr3fuzz {

using Target = void (*)(const uint8_t *data, size_t size);

struct Entry
{
    const char *name;
    Target run;
    QList<QByteArray> (*seeds)();
};

// Every target, by name: parser, id3parser, evtparser, archive, events, setup, jpeg, login,
// netarchive, nmea, text, ima1, video, tz.
const QList<Entry> &targets();
const Entry *find(const QByteArray &name);

// Runs one input through a target and then lets the objects it handed to deleteLater() go, as the
// event loop of an application would, so that nothing outlives the input.
void run(const Entry &entry, const uint8_t *data, size_t size);

// The body of an input (after the four chunking bytes) cut into chunks. Byte 0 picks the largest
// chunk (0: the whole body at once, n: 1 to 16 × n bytes), bytes 1 to 3 seed the sizes.
QList<QByteArray> chunks(const uint8_t *data, size_t size);
// An input whose body arrives in chunks of at most maxChunk bytes (0: at once).
QByteArray input(const QByteArray &body, int mode = 0, quint32 seed = 1);

} // namespace zvr3fuzz

#endif // ZVR3FUZZ_H
