#include "zvr3saver.h"

#include "zvr3command.h"
#include "zvr3metatype_p.h"
#include "zvr3saver_priv.h"

zvr3saver::zvr3saver()
    : d(new zvr3saver_priv)
{
    connect(d, &zvr3base::sigData, this, &zvr3base::sigData);
}

zvr3saver::~zvr3saver()
{
    // Close now rather than when the worker's deferred deletion runs: an application that quits
    // right after destroying the saver may never get there, and what was written must not be lost.
    disconnect(d, nullptr, this, nullptr);
    d->slotData(zvr3value(zvr3command(3)));
    d->deleteLater();
}

void zvr3saver::slotData(const QVariant &data)
{
    d->slotData(data);
}
