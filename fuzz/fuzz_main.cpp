// The libFuzzer entry points, shared by the executables: fuzz_<name> runs the target <name> of
// zvr3fuzz.cpp.
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zvr3decoder_priv.h"
#include "zvr3fuzz.h"

namespace {
const zvr3fuzz::Entry *entry = nullptr;

// The library's warnings and debug lines would only slow the fuzzer down; fatal messages abort.
void quiet(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
        std::abort();
    }
}
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qInstallMessageHandler(quiet);
    // The decoder targets decode on this thread, with a new decoder for every input: a worker
    // thread for each would cost more than the decoding (AddressSanitizer maps and unmaps memory
    // for every thread).
    zvr3decoder_priv::setStartWorkers(false);
    // The network workers start timers and the JPEG worker loads the image plugins: both want an
    // application object, which lives as long as the process.
    static QCoreApplication app(*argc, *argv);
    const char *program = std::strrchr((*argv)[0], '/');
    program = program ? program + 1 : (*argv)[0];
    if (std::strncmp(program, "fuzz_", 5) == 0)
        entry = zvr3fuzz::find(QByteArray(program + 5));
    if (!entry) {
        std::fprintf(stderr, "%s: no fuzz target of that name\n", program);
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    zvr3fuzz::run(*entry, data, size);
    return 0;
}
