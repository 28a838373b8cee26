// SPDX-License-Identifier: MIT
// A decoder of the compact format (docs/fleet-format.md) on the gateway's
// side: it reads births and batches back into the decoded lines of the
// format page and into each signal's timeline, so that the tests prove what
// the fleet reconstructs and the tools can show what a payload holds.
#ifndef VEHCAN_FLEET_COMPACT_DECODER_H
#define VEHCAN_FLEET_COMPACT_DECODER_H

#include "compact_codec.h"

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace vehcan::cli {

// What a signal is, from its birth.
struct SignalInfo {
    std::optional<uint32_t> source;
    uint32_t pgn = 0;
    uint32_t spn = 0;
    std::string name;
    std::string unit;
    int kind = 0; // SignalKind: 1 number, 2 state, 3 text
    double scale = 1;
    double offset = 0;
    double tolerance = 0;
    bool linear = false;
    int64_t heartbeat_us = 0; // two points of the live signal are at most this far apart
    std::map<int64_t, std::string> texts;
};

// One decoded point of a signal. A state point of code kSilent marks a
// gap longer than the signal's heartbeat: it had no value from then on
// until the next point.
struct TimelinePoint {
    enum class Kind { number, state, text };
    static constexpr int64_t kSilent = -3;
    Kind kind = Kind::number;
    int64_t time_us = 0;
    double value = 0; // number
    int64_t code = 0; // state (-1 not available, -2 error)
    std::string text; // text
    bool segment_start = false;
};

// What the reconstruction gives at a time.
struct Reconstructed {
    TimelinePoint::Kind kind = TimelinePoint::Kind::number;
    double value = 0;
    int64_t code = 0;
    std::string text;
};

// A signal's points over every batch fed, in time order.
struct Timeline {
    SignalInfo info;
    std::vector<TimelinePoint> points;
    // The value at time_us by the format's rules (latest point, or the line
    // between two number points of a segment); nothing before the first
    // point, nor more than a heartbeat after the last one. In a gap longer
    // than a heartbeat: the state kSilent.
    std::optional<Reconstructed> at(int64_t time_us) const;
};

class CompactDecoder {
  public:
    // Reads one birth or batch (an Envelope). A birth is kept (by its id);
    // a batch's points go to their timelines, with a "silent" point a
    // heartbeat after a signal's latest one when the next comes later than
    // that. Returns the batch's decoded lines, keys in the format page's
    // order (none for a birth). Throws FormatError for a payload that does
    // not decode, or a batch whose birth was not fed.
    std::vector<nlohmann::ordered_json> feed(std::string_view envelope);

    // The timelines, keyed by (source, PGN, SPN, name); source -1: none.
    using Key = std::tuple<int, uint32_t, uint32_t, std::string>;
    const std::map<Key, Timeline> &timelines() const { return timelines_; }
    // The payloads of streamed raw groups: (source, PGN) -> (time, bytes).
    const std::map<std::pair<int, uint32_t>, std::vector<std::pair<int64_t, std::string>>> &
    raw() const {
        return raw_;
    }
    // Every batch's seq, in the order fed.
    const std::vector<uint64_t> &seqs() const { return seqs_; }
    // The end of the latest span a batch covered (base_time + span), µs
    // since 1970; 0 before any batch.
    int64_t covered_until_us() const { return covered_until_us_; }
    // The latest batch fed: the span it covered (µs since 1970) and whether
    // it came marked historical.
    struct BatchSpan {
        int64_t from_us = 0;
        int64_t until_us = 0;
        bool historical = false;
    };
    const BatchSpan &last_batch() const { return last_batch_; }
    size_t births() const { return births_.size(); }
    // Event windows fed: (cause, frames).
    const std::vector<std::pair<int, size_t>> &events() const { return events_; }

  private:
    struct BirthTable;
    std::map<uint64_t, std::shared_ptr<BirthTable>> births_;
    std::map<Key, Timeline> timelines_;
    std::map<std::pair<int, uint32_t>, std::vector<std::pair<int64_t, std::string>>> raw_;
    std::vector<uint64_t> seqs_;
    int64_t covered_until_us_ = 0;
    BatchSpan last_batch_;
    std::vector<std::pair<int, size_t>> events_;
};

// "18FEF100" (or "7DF" for an 11-bit identifier) and "F07D8C" forms.
std::string frame_id_text(uint32_t id);
std::string hex_bytes(std::string_view bytes);

} // namespace vehcan::cli

#endif
