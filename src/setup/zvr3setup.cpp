#include "zvr3setup.h"

#include "zvr3node_p.h"
#include "zvr3setup_priv.h"

namespace {
constexpr int Request = 8;
}

zvr3setup::zvr3setup()
    // Queued: the application gets every answer from the event loop, never from inside the call
    // that sent the request.
    : d(zvr3node::makeWorker<zvr3setup_priv>(this, Qt::QueuedConnection))
{
    qRegisterMetaType<QVariant>("QVariant");
}

zvr3setup::~zvr3setup() { zvr3node::dropWorker(this, d); }
void zvr3setup::slotData(const QVariant &data) { zvr3node::forwardCommand(d, data); }

void zvr3setup::mark(const QVariant &value) { zvr3node::send(this, zvr3node::Mark, value); }
void zvr3setup::open(const QUrl &url) { zvr3node::send(this, zvr3node::Open, url); }
void zvr3setup::close() { zvr3node::send(this, zvr3node::Close); }
void zvr3setup::request(const QByteArray &bytes) { zvr3node::send(this, Request, bytes); }
