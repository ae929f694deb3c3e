#include "zvr3jpeg.h"

#include "zvr3command.h"
#include "zvr3jpeg_priv.h"
#include "zvr3metatype_p.h"

zvr3jpeg::zvr3jpeg()
    : d(new zvr3jpeg_priv)
{
    connect(d, &zvr3base::sigData, this, &zvr3base::sigData);
}

zvr3jpeg::~zvr3jpeg()
{
    d->disconnect(this);
    d->deleteLater();
}

void zvr3jpeg::slotData(const QVariant &data)
{
    if (zvr3holds<zvr3command>(data))
        d->slotData(data);
}
