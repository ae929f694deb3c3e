#include "zvr3events.h"

#include "zvr3command.h"
#include "zvr3events_priv.h"
#include "zvr3metatype_p.h"

zvr3events::zvr3events()
    : d(new zvr3events_priv)
{
    connect(d, &zvr3base::sigData, this, &zvr3base::sigData);
}

zvr3events::~zvr3events()
{
    d->disconnect(this);
    d->deleteLater();
}

void zvr3events::slotData(const QVariant &data)
{
    if (zvr3holds<zvr3command>(data))
        d->slotData(data);
}
