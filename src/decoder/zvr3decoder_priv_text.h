// Internal header of zvr3lib, not installed.
#ifndef ZVR3DECODER_PRIV_TEXT_H
#define ZVR3DECODER_PRIV_TEXT_H

#include "zvr3decoder_priv.h"

class QTextCodec;

// Text streams: each payload becomes a QString. The character set comes from the codec name's
// suffix ("-none", "-utf8", "-utf-8": UTF-8 up to the first zero byte, as plain "text";
// "-koi8", "-koi8r": the whole payload as KOI8-R), settled at the first item.
class zvr3decoder_priv_text : public zvr3decoder_priv
{
    Q_OBJECT
public:
    using zvr3decoder_priv::zvr3decoder_priv;
    ~zvr3decoder_priv_text() override;

    void decode(zvr3item &item) override;

private:
    enum Choice { Undecided, Utf8, Koi8r };
    Choice m_choice = Undecided;
    QTextCodec *m_koi8r = nullptr;
};

#endif // ZVR3DECODER_PRIV_TEXT_H
