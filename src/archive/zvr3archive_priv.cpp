#include "zvr3archive_priv.h"

#include "zvr3command.h"
#include "zvr3metatype_p.h"

zvr3archive_priv::zvr3archive_priv() = default;
zvr3archive_priv::~zvr3archive_priv() = default;

void zvr3archive_priv::slotData(const QVariant &data)
{
    if (!zvr3holds<zvr3command>(data))
        return;
    const zvr3command command = data.value<zvr3command>();
    onCommand(command.code, command.data);
}

void zvr3archive_priv::start()
{
}

void zvr3archive_priv::onCommand(int code, const QVariant &arg)
{
    if (code == 2)
        open(arg.toUrl());
}

void zvr3archive_priv::open(const QUrl &)
{
}
