// Internal header of zvr3lib, not installed.
#ifndef ZVR3DECODER_FFMPEGLOG_H
#define ZVR3DECODER_FFMPEGLOG_H

/*
    FFmpeg's own messages ("non-existing PPS 0 referenced", "no frame!" and the like, which every
    live start in the middle of a group of pictures brings) go to the logging category
    "zvr3.ffmpeg" instead of stderr. The category is off by default, as these messages are normal
    for a stream joined at any point; QT_LOGGING_RULES="zvr3.ffmpeg=true" (or
    QLoggingCategory::setFilterRules()) shows them, FFmpeg's errors and warnings as warnings, its
    information as info and its verbose and debug messages as debug.

    FFmpeg has one log callback per process and no way to read it back, so the library sets it
    once, when it is loaded, before the application's main() runs. An application that installs a
    callback of its own with av_log_set_callback() afterwards replaces the library's: FFmpeg's
    messages then go wherever the application sends them, and "zvr3.ffmpeg" stays silent. Nothing
    in the library sets the callback again later.
*/
namespace zvr3ffmpegLog {
// Makes sure the forwarding is part of the program (decoders call it before opening FFmpeg). Sets
// the callback only if the load-time setting has not happened yet; never twice.
void ensureInstalled();
}

#endif // ZVR3DECODER_FFMPEGLOG_H
