#include "zvr3decoder_priv_text.h"

#include <QTextCodec>

zvr3decoder_priv_text::~zvr3decoder_priv_text()
{
    stopWorker();
}

void zvr3decoder_priv_text::decode(zvr3item &item)
{
    if (m_choice == Undecided) {
        struct Suffix
        {
            const char *text;
            Choice choice;
        };
        static const Suffix suffixes[] = {
            {"-none", Utf8}, {"-utf8", Utf8}, {"-utf-8", Utf8}, {"-koi8", Koi8r}, {"-koi8r", Koi8r}};
        m_choice = Utf8;
        for (const Suffix &suffix : suffixes) {
            if (m_stream.codec.contains(QLatin1String(suffix.text))) {
                m_choice = suffix.choice;
                break;
            }
        }
        if (m_choice == Koi8r) {
            m_koi8r = QTextCodec::codecForName("KOI8-R");
            if (!m_koi8r)
                m_choice = Utf8;
        }
    }

    if (m_choice == Koi8r) {
        item.value = m_koi8r->toUnicode(item.data.constData(), int(item.data.size()));
    } else {
        const qsizetype end = item.data.indexOf('\0');
        item.value = QString::fromUtf8(item.data.constData(), end < 0 ? item.data.size() : end);
    }
    emitItem(item);
}
