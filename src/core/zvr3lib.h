#ifndef ZVR3LIB_H
#define ZVR3LIB_H

/*!
    \file zvr3lib.h
    \brief The whole public library in one include: \c {#include <zvr3lib/zvr3lib.h>}.

    Every node, record type and helper an application uses. The workers that the library exports
    beside their nodes (zvr3events_priv, zvr3saver_priv, zvr3setup_priv, zvr3jpeg_priv) are not
    included: an application talks to the nodes, and may include those headers by name.
*/

// The pipeline: nodes, the values that travel between them, commands, errors, decoded items.
#include "zvr3base.h"
#include "zvr3command.h"
#include "zvr3error.h"
#include "zvr3item.h"
#include "zvr3value.h"

// The archive stream's records and the parsers.
#include "evtparser.h"
#include "id3parser.h"
#include "zvr3parser.h"
#include "zvr3parserbase.h"
#include "zvr3records.h"

// Sources on the network.
#include "zvr3events.h"
#include "zvr3net_archive.h"
#include "zvr3online.h"
#include "zvr3stats.h"
#include "zvr3supervisor.h"

// Decoding.
#include "zvr3decoder.h"
#include "zvr3decoder_counters.h"
#include "zvr3position_info.h"
#include "zvr3sound_buffer.h"

// Archive files on disk.
#include "zvr3archive.h"
#include "zvr3saver.h"

// Set-up, snapshots, time zones.
#include "zvr3jpeg.h"
#include "zvr3setup.h"
#include "zvr3tz.h"

// Watching and playing back, all of the above in one object.
#include "zvr3player.h"

#endif // ZVR3LIB_H
