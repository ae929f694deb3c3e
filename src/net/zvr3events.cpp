#include "zvr3events.h"

#include "zvr3events_priv.h"
#include "zvr3node_p.h"

zvr3events::zvr3events() : d(zvr3node::makeWorker<zvr3events_priv>(this)) {}
zvr3events::~zvr3events() { zvr3node::dropWorker(this, d); }
void zvr3events::slotData(const QVariant &data) { zvr3node::forwardCommand(d, data); }

void zvr3events::fetch(const QUrl &url) { zvr3node::send(this, zvr3node::Open, url); }
void zvr3events::mark(const QVariant &value) { zvr3node::send(this, zvr3node::Mark, value); }
