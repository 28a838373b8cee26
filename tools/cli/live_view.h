// SPDX-License-Identifier: MIT
// The live view of `vehcan monitor` on a terminal: the table of live_table.h
// drawn with ncurses and refreshed in place.
#ifndef VEHCAN_CLI_LIVE_VIEW_H
#define VEHCAN_CLI_LIVE_VIEW_H

#include "commands.h"
#include "database.h"
#include "uplink.h"

namespace vehcan::cli {

// Whether monitor shows the live view: standard output is a terminal and
// neither --log nor --json asks for lines nor --quiet for none.
bool live_view_wanted(const MonitorOptions &o);

// Brings the stack up (the probe shown on stderr before the screen is
// taken), asks for the VIN like the line log does, and shows the table
// until q, Ctrl-C or --duration; then tears the stack down, gives the
// terminal back and prints a summary line on stderr. Keys: q quit, p pause
// (messages keep being counted, the screen stands still), s the next sort,
// / a filter (typed live; Enter keeps it, Escape clears it), arrows and
// page keys scroll. Redraws at most ten times a second. db may be null.
// Returns kExitOk; throws Failure as bring_up() does.
// uplink (may be null) gets every message, as the line log gives it.
int run_live_monitor(const MonitorOptions &o, const Database *db, Uplink *uplink);

} // namespace vehcan::cli

#endif
