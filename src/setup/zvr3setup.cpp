#include "zvr3setup.h"

#include "zvr3command.h"
#include "zvr3metatype_p.h"
#include "zvr3setup_priv.h"

zvr3setup::zvr3setup()
    : d(new zvr3setup_priv)
{
    qRegisterMetaType<QVariant>("QVariant");
    // Queued: the application gets every answer from the event loop, never from inside the call
    // that sent the request.
    connect(d, &zvr3base::sigData, this, &zvr3base::sigData, Qt::QueuedConnection);
}

zvr3setup::~zvr3setup()
{
    d->disconnect(this);
    d->deleteLater();
}

void zvr3setup::slotData(const QVariant &data)
{
    if (zvr3holds<zvr3command>(data))
        d->slotData(data);
}
