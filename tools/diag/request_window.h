// SPDX-License-Identifier: MIT
// One Request (PGN 59904) and the bounded wait for its answers: what each
// node answered (the message, or an acknowledgement instead), and who was
// still silent when the wait ended.
//
// The wait: every answer must begin within answer_wait (600 ms by default,
// what a J1939-84 compliance tester allows: three times the 200 ms a
// responder has under J1939-21, for a loaded bus and a slow ECU). "Begin"
// means a single-frame answer, an acknowledgement, or the announcement of a
// transfer (a BAM to all, an RTS to us). A transfer announced in time is
// waited for as long as its size needs: 200 ms per packet, the longest gap
// J1939-21 allows between a BAM's packets, plus 1250 ms (T2/T3) for the
// last; the largest, 1785 bytes in 255 packets, stretches the wait to 52 s.
// A request to one node ends at its answer; a request to all ends at
// answer_wait unless a transfer is still under way, or earlier once every
// node of `expected` has answered.
#ifndef VEHCAN_DIAG_REQUEST_WINDOW_H
#define VEHCAN_DIAG_REQUEST_WINDOW_H

#include "diag_bus.h"

#include <map>
#include <set>
#include <string_view>

namespace vehcan::diag {

struct Timing {
    Milliseconds answer_wait{600};
    Milliseconds per_packet{200};
    Milliseconds transfer_margin{1250};
};

// What one node made of a request.
enum class Outcome {
    answered, // the message requested
    ack,      // positive acknowledgement (a clear done)
    nack,     // negative acknowledgement: not supported, or refused
    denied,   // access denied
    busy,     // cannot respond now: ask again later
    silent,   // nothing within the wait
};
// "answered", "ack", "nack", "denied", "busy", "silent": the JSON words.
std::string_view outcome_word(Outcome o);
// "negative acknowledgement (NACK)" and so on, for people.
std::string_view outcome_text(Outcome o);

struct Answer {
    Outcome outcome = Outcome::silent;
    Bytes data; // Outcome::answered
};

struct Collected {
    std::map<uint8_t, Answer> answers; // by source address; no silent entries
    unsigned transfers = 0;            // transfers waited for
    unsigned aborted = 0;              // transfers that ended in an abort
    Milliseconds took{0};
};

// Sends the Request for pgn from our address to destination (kGlobal: all)
// and collects the answers. interrupted may be empty. Throws what
// Bus::send() throws.
Collected request_and_collect(Bus &bus, uint32_t pgn, uint8_t destination, const Timing &timing,
                              const std::set<uint8_t> &expected,
                              const std::function<bool()> &interrupted);

} // namespace vehcan::diag

#endif
