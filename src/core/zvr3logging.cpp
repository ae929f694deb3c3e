#include "zvr3logging_p.h"

// Info and above by default, so that debug stays off until a logging rule turns it on.
Q_LOGGING_CATEGORY(lcZvr3Net, "zvr3.net", QtInfoMsg)
Q_LOGGING_CATEGORY(lcZvr3Parser, "zvr3.parser", QtInfoMsg)
Q_LOGGING_CATEGORY(lcZvr3Decoder, "zvr3.decoder", QtInfoMsg)
Q_LOGGING_CATEGORY(lcZvr3Archive, "zvr3.archive", QtInfoMsg)
Q_LOGGING_CATEGORY(lcZvr3Setup, "zvr3.setup", QtInfoMsg)
Q_LOGGING_CATEGORY(lcZvr3Jpeg, "zvr3.jpeg", QtInfoMsg)
// FFmpeg talks a lot about streams joined mid-way: nothing shows until a rule asks for it.
Q_LOGGING_CATEGORY(lcZvr3Ffmpeg, "zvr3.ffmpeg", QtFatalMsg)
