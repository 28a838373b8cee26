// SPDX-License-Identifier: MIT
// Reassembly of J1939 transport-protocol transfers (BAM and RTS/CTS) as a
// bystander on the bus sees them, for captures replayed offline.
//
// On a live bus the kernel reassembles transfers for the stack; a capture
// holds the raw frames, so the CLI rebuilds the messages itself. Sessions
// are kept per sender and destination, so that several nodes may send at
// once and a node may run a broadcast and a directed transfer side by side.
//
// The receive rules are the kernel's: a data packet must hold 8 bytes; a
// packet number of 0 or beyond the announced count ends the transfer; a
// packet that skips ahead ends it (one was lost); a repeated packet is
// ignored; a second announcement replaces the transfer in progress; an abort
// from either side ends it. Each of these leaves a note for the caller.
#ifndef VEHCAN_CLI_TRANSPORT_H
#define VEHCAN_CLI_TRANSPORT_H

#include "j1939_id.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vehcan::cli {

constexpr uint32_t kPgnTpConnectionManagement = 60416; // TP.CM, 0xEC00
constexpr uint32_t kPgnTpDataTransfer = 60160;         // TP.DT, 0xEB00

// One J1939 message: a single frame, or a transfer put back together.
struct J1939Message {
    bool has_time = false;
    int64_t time_us = 0; // of the frame that completed it
    uint8_t priority = 6;
    uint32_t pgn = 0;
    uint8_t source = 0;
    uint8_t destination = kGlobalAddress;
    bool reassembled = false;
    std::vector<uint8_t> data;
};

// Counts that only grow, for the replay summary.
struct TransportCounters {
    unsigned long transport_frames = 0; // TP.CM and TP.DT frames fed
    unsigned long completed = 0;        // transfers delivered whole
    unsigned long aborted = 0;          // ended by a connection abort
    unsigned long dropped = 0;          // ended by a broken rule (see notes)
    unsigned long duplicates = 0;       // repeated packets ignored
};

struct FeedResult {
    std::optional<J1939Message> message; // a message ready to decode, if any
    std::string note;                    // what went wrong with a transfer, if anything
};

class TransportReassembler {
  public:
    // Feeds one frame (at most 8 data bytes). A frame of any other PGN comes
    // straight back as the message; transport frames come back as the
    // completed transfer when they finish one, else as nothing.
    FeedResult feed(const J1939Message &frame);

    const TransportCounters &counters() const { return counters_; }
    // Transfers announced but not finished yet.
    size_t open_transfers() const { return sessions_.size(); }

  private:
    struct Session {
        uint32_t pgn = 0;
        size_t size = 0;
        uint8_t packets = 0;
        unsigned next = 1; // next packet number expected (256 once packet 255 is in)
        bool broadcast = false;
        std::vector<uint8_t> buffer;
    };

    FeedResult on_connection_management(const J1939Message &frame);
    FeedResult on_data_transfer(const J1939Message &frame);

    static uint16_t key(uint8_t source, uint8_t destination) {
        return static_cast<uint16_t>(source << 8 | destination);
    }

    std::map<uint16_t, Session> sessions_;
    TransportCounters counters_;
};

} // namespace vehcan::cli

#endif
