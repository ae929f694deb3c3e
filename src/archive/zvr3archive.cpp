#include "zvr3archive.h"

#include "zvr3archive_priv.h"
#include "zvr3archive_priv_file.h"
#include "zvr3command.h"
#include "zvr3metatype_p.h"
#include "zvr3node_p.h"

namespace {
enum Command { Unstrip = 6, Strip = 7 };
}

zvr3archive::zvr3archive() = default;

zvr3archive::~zvr3archive()
{
    if (reader)
        zvr3node::dropWorker(this, reader);
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
    case zvr3node::Open: {
        if (reader) {
            // The old reader may still be emitting (we may be inside one of its signals): cut it
            // off from our output and let the event loop delete it.
            zvr3node::dropWorker(this, reader);
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

void zvr3archive::open(const QUrl &url) { zvr3node::send(this, zvr3node::Open, url); }
