// SPDX-License-Identifier: MIT
// The replay's decoded messages as the report room takes them: numbers and
// states as samples, diagnostic messages as trouble-code and lamp bands,
// and what a node says about itself (its NAME, identification, VIN and
// driver ids) as facts of that node.
#ifndef VEHCAN_CLI_REPORT_FEED_H
#define VEHCAN_CLI_REPORT_FEED_H

#include "decode.h"
#include "transport.h"

#include <capture_report.h>

namespace vehcan::cli {

// Feeds one message and its decoding. Fields that name something rather
// than measure it (a requested PGN, an axle's position) and state fields
// without an SPN (an acknowledgement's kind) are no signals and stay out.
// The first message of a node also records its preferred use by address.
void feed_report(report::CaptureReport &report, const J1939Message &m, const Decoded &d);

} // namespace vehcan::cli

#endif
