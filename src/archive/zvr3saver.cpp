#include "zvr3saver.h"

#include "zvr3command.h"
#include "zvr3metatype_p.h"
#include "zvr3node_p.h"
#include "zvr3saver_priv.h"

zvr3saver::zvr3saver() : d(zvr3node::makeWorker<zvr3saver_priv>(this)) {}

zvr3saver::~zvr3saver()
{
    // Close now rather than when the worker's deferred deletion runs: an application that quits
    // right after destroying the saver may never get there, and what was written must not be lost.
    d->disconnect(this);
    d->slotData(zvr3value(zvr3command(zvr3node::Close)));
    zvr3node::dropWorker(this, d);
}

// The parser's records as well as the commands.
void zvr3saver::slotData(const QVariant &data) { d->slotData(data); }

void zvr3saver::open(const QUrl &file) { zvr3node::send(this, zvr3node::Open, file); }
void zvr3saver::close() { zvr3node::send(this, zvr3node::Close); }
