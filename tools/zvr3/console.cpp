#include "console.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include <cstdio>

#include "zvr3error.h"
#include "zvr3jsonl.h"
#include "zvr3value.h"

namespace zvr3console {

namespace {
QByteArray commandName = "zvr3";
}

void setCommand(const QString &name)
{
    commandName = name.toLocal8Bit();
}

QByteArray command()
{
    return commandName;
}

void flushWhenIdle()
{
    // The dispatcher of the main thread serves every event loop the tool runs, nested ones too.
    if (QAbstractEventDispatcher *dispatcher = QCoreApplication::eventDispatcher())
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, [] { std::fflush(stdout); });
}

void printLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
}

bool printValue(const QVariant &value)
{
    printLine(zvr3jsonl::line(value));
    const auto failure = zvr3take<zvr3error>(value);
    if (failure)
        error(failure->text);
    return bool(failure);
}

void error(const QString &message)
{
    std::fprintf(stderr, "%s: %s\n", commandName.constData(), qPrintable(message));
}

int usageError(const QString &message)
{
    error(message);
    return 2;
}

int parseOptions(QCommandLineParser &options, const QStringList &arguments)
{
    if (!options.parse(arguments))
        return usageError(options.errorText());
    if (options.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(options.helpText()), stdout);
        return 0;
    }
    return -1;
}

} // namespace zvr3console
