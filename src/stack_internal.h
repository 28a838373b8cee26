// SPDX-License-Identifier: MIT
// Internal view of the J1939 stack for the library's own tests, tools and
// benchmarks linked statically. Not exported from the shared library.
#ifndef VEHCAN_SRC_STACK_INTERNAL_H
#define VEHCAN_SRC_STACK_INTERNAL_H

#include <atomic>
#include <cstdint>

namespace vehcan::detail {

// Losses and events that the background threads cannot report to a caller.
// They only grow.
struct Counters {
    std::atomic<uint64_t> messages_received{0}; // records made by the receiver
    std::atomic<uint64_t> receive_errors{0};    // receive failures other than time-outs
    std::atomic<uint64_t> receiver_exits{0};    // receiver ended: no socket at its start
    std::atomic<uint64_t> queue_drains{0};      // sends refused, queue drained
    std::atomic<uint64_t> records_dropped{0}; // records lost in those drains, refused ones included
    std::atomic<uint64_t> received_dropped{0};  // of those, records lost on "/recv_queue"
    std::atomic<uint64_t> broadcasts_routed{0}; // records put on "/brdcst_queue"
    std::atomic<uint64_t> answers_routed{0};    // records put on "/reqst_resp_queue"
    std::atomic<uint64_t> acknowledgements_dropped{0};
    std::atomic<uint64_t> transport_frames{0};    // TP.CM / TP.DT records fed to reassembly
    std::atomic<uint64_t> transfers_delivered{0}; // reassembled messages queued
    // Transfers between two other nodes, each in a slot of its own, and why
    // the ones that did not complete were given up.
    std::atomic<uint64_t> transfers_opened{0};    // announcements that took a slot
    std::atomic<uint64_t> transfers_unstored{0};  // larger than the buffer, or no slot free
    std::atomic<uint64_t> transfers_replaced{0};  // the same pair announced again
    std::atomic<uint64_t> transfers_aborted{0};   // aborted, or ended with packets missed
    std::atomic<uint64_t> transfers_timed_out{0}; // a packet or handshake came too late
    std::atomic<uint64_t> transfers_evicted{0};   // gave way to a newer one: all slots taken
    std::atomic<uint64_t> records_filtered{0};    // records the filter has finished with
};

Counters &counters();

// Closes the held request socket once no request is pending or its answer's
// deadline has passed.
void release_idle_request_socket();

// Gives up every transfer the filter holds open, as if each had timed out
// (for a fuzzer that starts each input afresh). Filter thread only.
void forget_open_transfers();

// The held request socket, or -1.
int held_request_socket();

} // namespace vehcan::detail

#endif
