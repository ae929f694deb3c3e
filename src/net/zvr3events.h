#ifndef ZVR3EVENTS_H
#define ZVR3EVENTS_H

#include "zvr3base.h"

class zvr3events_priv;

/*!
    \class zvr3events
    \brief Fetches a recorder's event list for a period of time.

    slotData() accepts zvr3command values; other values are ignored:
    \list
    \li code 2, \c data a QUrl: host, optional port (default 5049), user name, password, and the
        period as the query items "from" and "to" in the form yyyyMMddhhmmss (missing items
        stand for 1 January 1970, 00:00:00). Connects to the recorder's event service, asks for
        the events of the period ("GET_ALL_EVENTS_dd/MM/yyyy,hh:mm:ss,dd/MM/yyyy,hh:mm:ss"), and
        closes the connection once the list is in.
    \li code 1: a marker; its \c data is emitted unchanged once the list of the code 2 ahead of
        it has been emitted.
    \endlist
    Commands are served in order. A code 2 given while an earlier one is still connecting or
    logging in replaces it; one given after the earlier request has gone out waits for its list.

    sigData() emits one EVENTS_FILE_LIST_T per request, with the events in the recorder's order
    (events without texts are left out), and, in order with them, a zvr3error for each failure:
    the connection's (see zvr3online; after such a failure the markers waiting right behind the
    request are dropped), and -1 "Wrong event file format" for a reply that does not start as an
    event list (repeated for every further piece of it). A reply that stops arriving ends 30
    seconds after its last piece with -1 "Network operation timeout".
*/
class ZVR3LIB_EXPORT zvr3events : public zvr3base
{
    Q_OBJECT
public:
    zvr3events();
    ~zvr3events() override;

public Q_SLOTS:
    void slotData(const QVariant &data) override;

private:
    zvr3events_priv *const d;

    Q_DISABLE_COPY(zvr3events)
};

#endif // ZVR3EVENTS_H
