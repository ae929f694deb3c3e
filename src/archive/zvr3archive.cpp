#include "zvr3archive.h"

#include "zvr3archive_priv.h"
#include "zvr3archive_priv_file.h"
#include "zvr3command.h"
#include "zvr3metatype_p.h"

namespace {
enum Command { Open = 2, Unstrip = 6, Strip = 7 };
}

zvr3archive::zvr3archive() = default;

zvr3archive::~zvr3archive()
{
    if (reader) {
        disconnect(reader, nullptr, this, nullptr);
        reader->deleteLater();
    }
}

void zvr3archive::slotData(const QVariant &data)
{
    if (!zvr3holds<zvr3command>(data))
        return;
    const zvr3command command = data.value<zvr3command>();
    onCommand(command.code, command.data);
}

void zvr3archive::onCommand(int code, const QVariant &arg)
{
    switch (code) {
    case Open: {
        if (reader) {
            // The old reader may still be emitting (we may be inside one of its signals): cut it
            // off from our output and let the event loop delete it.
            disconnect(reader, nullptr, this, nullptr);
            reader->deleteLater();
            reader = nullptr;
        }
        const QUrl url = arg.toUrl();
        zvr3archive_priv *made = url.scheme() == QLatin1String("file") ? new zvr3archive_priv_file
                                                                       : new zvr3archive_priv;
        made->url = url;
        connect(made, &zvr3base::sigData, this, &zvr3base::sigData);
        reader = made;
        made->start();
        break;
    }
    case Unstrip:
    case Strip:
        if (reader)
            reader->slotData(zvr3value(zvr3command(code, arg)));
        break;
    default:
        break;
    }
}
