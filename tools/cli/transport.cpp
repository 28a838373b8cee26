// SPDX-License-Identifier: MIT
// Transport-protocol reassembly for replayed captures: see transport.h.
#include "transport.h"

#include <fmt/format.h>

namespace vehcan::cli {

namespace {

constexpr uint8_t kControlRts = 16;
constexpr uint8_t kControlCts = 17;
constexpr uint8_t kControlEndOfMessageAck = 19;
constexpr uint8_t kControlBam = 32;
constexpr uint8_t kControlAbort = 255;
constexpr size_t kMinTransferSize = 9;
constexpr size_t kMaxTransferSize = 1785; // 255 packets of 7 bytes
constexpr size_t kBytesPerPacket = 7;

uint32_t pgn_in(const std::vector<uint8_t> &d) {
    return static_cast<uint32_t>(d[5]) | static_cast<uint32_t>(d[6]) << 8 |
           static_cast<uint32_t>(d[7] & 0x03U) << 16;
}

std::string route(uint8_t source, uint8_t destination) {
    return fmt::format("0x{:02X}->0x{:02X}", source, destination);
}

} // namespace

FeedResult TransportReassembler::feed(const J1939Message &frame) {
    if (frame.pgn == kPgnTpConnectionManagement) {
        ++counters_.transport_frames;
        return on_connection_management(frame);
    }
    if (frame.pgn == kPgnTpDataTransfer) {
        ++counters_.transport_frames;
        return on_data_transfer(frame);
    }
    return FeedResult{frame, {}};
}

FeedResult TransportReassembler::on_connection_management(const J1939Message &frame) {
    const auto &d = frame.data;
    if (d.size() != 8) {
        return {std::nullopt, fmt::format("TP.CM {} of {} bytes ignored (8 expected)",
                                          route(frame.source, frame.destination), d.size())};
    }
    const uint8_t control = d[0];
    const uint32_t pgn = pgn_in(d);
    if (control == kControlBam || control == kControlRts) {
        const bool broadcast = control == kControlBam;
        if (broadcast != (frame.destination == kGlobalAddress)) {
            return {std::nullopt,
                    fmt::format("{} {} ignored: {}", broadcast ? "BAM" : "RTS",
                                route(frame.source, frame.destination),
                                broadcast ? "a broadcast must go to all nodes"
                                          : "a directed transfer needs one destination")};
        }
        const size_t size = static_cast<size_t>(d[1]) | static_cast<size_t>(d[2]) << 8;
        const uint8_t packets = d[3];
        if (size < kMinTransferSize || size > kMaxTransferSize ||
            packets != (size + kBytesPerPacket - 1) / kBytesPerPacket) {
            return {std::nullopt,
                    fmt::format("transfer of PGN {} {} ignored: {} bytes in {} packets", pgn,
                                route(frame.source, frame.destination), size, packets)};
        }
        std::string note;
        const uint16_t k = key(frame.source, frame.destination);
        if (auto old = sessions_.find(k); old != sessions_.end()) {
            ++counters_.dropped;
            note = fmt::format("transfer of PGN {} {} replaced by a new announcement after {} "
                               "of {} packets",
                               old->second.pgn, route(frame.source, frame.destination),
                               old->second.next - 1, old->second.packets);
        }
        Session s;
        s.pgn = pgn;
        s.size = size;
        s.packets = packets;
        s.broadcast = broadcast;
        s.buffer.assign(static_cast<size_t>(packets) * kBytesPerPacket, 0xFF);
        sessions_[k] = std::move(s);
        return {std::nullopt, note};
    }
    if (control == kControlCts) {
        // From the receiver back to the sender: the session is keyed the other way.
        auto it = sessions_.find(key(frame.destination, frame.source));
        if (it != sessions_.end() && d[1] > 0 && d[2] >= 1 && d[2] < it->second.next) {
            it->second.next = d[2]; // the receiver asks for packets again
        }
        return {};
    }
    if (control == kControlEndOfMessageAck) {
        auto it = sessions_.find(key(frame.destination, frame.source));
        if (it == sessions_.end()) {
            return {}; // the usual case: the transfer completed with its last packet
        }
        ++counters_.dropped;
        std::string note = fmt::format("transfer of PGN {} {} acknowledged after {} of {} packets",
                                       it->second.pgn, route(frame.destination, frame.source),
                                       it->second.next - 1, it->second.packets);
        sessions_.erase(it);
        return {std::nullopt, note};
    }
    if (control == kControlAbort) {
        for (uint16_t k :
             {key(frame.source, frame.destination), key(frame.destination, frame.source)}) {
            auto it = sessions_.find(k);
            if (it != sessions_.end() && it->second.pgn == pgn && !it->second.broadcast) {
                ++counters_.aborted;
                sessions_.erase(it);
                return {std::nullopt,
                        fmt::format("transfer of PGN {} {} aborted by 0x{:02X} (reason {})", pgn,
                                    route(static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k)),
                                    frame.source, d[1])};
            }
        }
        return {};
    }
    return {std::nullopt, fmt::format("TP.CM {} with unknown control byte {} ignored",
                                      route(frame.source, frame.destination), control)};
}

FeedResult TransportReassembler::on_data_transfer(const J1939Message &frame) {
    const auto &d = frame.data;
    const uint16_t k = key(frame.source, frame.destination);
    auto it = sessions_.find(k);
    if (it == sessions_.end()) {
        return {std::nullopt, fmt::format("TP.DT {} without an announced transfer ignored",
                                          route(frame.source, frame.destination))};
    }
    Session &s = it->second;
    std::string reason;
    if (d.size() != 8) {
        reason = fmt::format("a data packet of {} bytes (8 expected)", d.size());
    } else if (d[0] == 0 || d[0] > s.packets) {
        reason = fmt::format("packet number {} outside 1..{}", d[0], s.packets);
    } else if (d[0] < s.next) {
        ++counters_.duplicates;
        return {std::nullopt, fmt::format("packet {} of PGN {} {} repeated, ignored", d[0], s.pgn,
                                          route(frame.source, frame.destination))};
    } else if (d[0] > s.next) {
        reason = fmt::format("packet {} where {} was due", d[0], s.next);
    }
    if (!reason.empty()) {
        ++counters_.dropped;
        std::string note = fmt::format("transfer of PGN {} {} dropped: {}", s.pgn,
                                       route(frame.source, frame.destination), reason);
        sessions_.erase(it);
        return {std::nullopt, note};
    }
    const size_t at = static_cast<size_t>(d[0] - 1) * kBytesPerPacket;
    std::copy(d.begin() + 1, d.end(), s.buffer.begin() + static_cast<std::ptrdiff_t>(at));
    ++s.next;
    if (s.next <= s.packets) {
        return {};
    }
    J1939Message whole;
    whole.has_time = frame.has_time;
    whole.time_us = frame.time_us;
    whole.priority = frame.priority;
    whole.pgn = s.pgn;
    whole.source = frame.source;
    whole.destination = frame.destination;
    whole.reassembled = true;
    whole.data.assign(s.buffer.begin(), s.buffer.begin() + static_cast<std::ptrdiff_t>(s.size));
    sessions_.erase(it);
    ++counters_.completed;
    return {whole, {}};
}

} // namespace vehcan::cli
