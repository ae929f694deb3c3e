#include "zvr3decoder_ffmpeglog.h"

#include "zvr3logging_p.h"

#include <QByteArray>

#include <cstdarg>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace {

// FFmpeg often writes one line in several calls ("[h264 @ 0x...] ", then the text, then "\n"), from
// whichever thread decodes: each thread gathers its own line until the line end.
struct PendingLine
{
    QByteArray text;
    int level = AV_LOG_QUIET;
    int printPrefix = 1;  // av_log_format_line2() keeps its "start of a line" state here
};

QtMsgType messageType(int level)
{
    if (level <= AV_LOG_FATAL)
        return QtCriticalMsg;
    if (level <= AV_LOG_WARNING)
        return QtWarningMsg;
    if (level <= AV_LOG_INFO)
        return QtInfoMsg;
    return QtDebugMsg;
}

void forward(void *context, int level, const char *format, va_list arguments)
{
    // Off by default: the test is cheap, and nothing is formatted for a disabled type.
    const QtMsgType type = messageType(level);
    if (!lcZvr3Ffmpeg().isEnabled(type))
        return;

    thread_local PendingLine pending;
    char buffer[1024];
    av_log_format_line2(context, level, format, arguments, buffer, int(sizeof buffer), &pending.printPrefix);
    // The most severe level of the pieces names the line.
    pending.level = pending.text.isEmpty() ? level : qMin(pending.level, level);
    pending.text += buffer;
    if (!pending.text.endsWith('\n') && pending.text.size() < 4096)
        return;

    const QByteArray line = pending.text.trimmed();
    const QtMsgType lineType = messageType(pending.level);
    pending.text.clear();
    if (line.isEmpty())
        return;
    switch (lineType) {
    case QtCriticalMsg:
        qCCritical(lcZvr3Ffmpeg, "%s", line.constData());
        break;
    case QtWarningMsg:
        qCWarning(lcZvr3Ffmpeg, "%s", line.constData());
        break;
    case QtInfoMsg:
        qCInfo(lcZvr3Ffmpeg, "%s", line.constData());
        break;
    default:
        qCDebug(lcZvr3Ffmpeg, "%s", line.constData());
        break;
    }
}

std::once_flag installed;

void install()
{
    std::call_once(installed, [] { av_log_set_callback(forward); });
}

} // namespace

// At load time, so that an application's own av_log_set_callback() in main() comes later and wins.
Q_CONSTRUCTOR_FUNCTION(install)

void zvr3ffmpegLog::ensureInstalled()
{
    install();
}
