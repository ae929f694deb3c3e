// Internal header of zvr3lib, not installed.
#ifndef ZVR3LOGGING_P_H
#define ZVR3LOGGING_P_H

#include <QLoggingCategory>

// The library's logging categories, one per subsystem. Only warnings and above are on by default;
// the debug lines (connection states, requests sent, protocol errors, decoders that cannot open)
// are switched on with Qt's logging rules, for example QT_LOGGING_RULES="zvr3.*.debug=true".
// A log line never stands in for a zvr3error: whatever the application must learn still goes out
// on sigData().
Q_DECLARE_LOGGING_CATEGORY(lcZvr3Net)
Q_DECLARE_LOGGING_CATEGORY(lcZvr3Parser)
Q_DECLARE_LOGGING_CATEGORY(lcZvr3Decoder)
Q_DECLARE_LOGGING_CATEGORY(lcZvr3Archive)
Q_DECLARE_LOGGING_CATEGORY(lcZvr3Setup)
Q_DECLARE_LOGGING_CATEGORY(lcZvr3Jpeg)
// FFmpeg's own messages, off at every level by default (see zvr3decoder_ffmpeglog.h).
Q_DECLARE_LOGGING_CATEGORY(lcZvr3Ffmpeg)

#endif // ZVR3LOGGING_P_H
