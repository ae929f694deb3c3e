#include "zvr3jpeg.h"

#include "zvr3jpeg_priv.h"
#include "zvr3node_p.h"

zvr3jpeg::zvr3jpeg() : d(zvr3node::makeWorker<zvr3jpeg_priv>(this)) {}
zvr3jpeg::~zvr3jpeg() { zvr3node::dropWorker(this, d); }
void zvr3jpeg::slotData(const QVariant &data) { zvr3node::forwardCommand(d, data); }

void zvr3jpeg::fetch(const QUrl &url) { zvr3node::send(this, zvr3node::Open, url); }
void zvr3jpeg::mark(const QVariant &value) { zvr3node::send(this, zvr3node::Mark, value); }
