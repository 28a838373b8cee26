// SPDX-License-Identifier: MIT
// The model behind the live view of `vehcan monitor`: one row per sender
// and PGN with its latest decoded values, the message rates, the VIN once
// known and each sender's latest DM1. It knows no terminal: the view draws
// what view() gives, and the tests feed it messages with made-up times.
#ifndef VEHCAN_CLI_LIVE_TABLE_H
#define VEHCAN_CLI_LIVE_TABLE_H

#include "decode.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vehcan::cli {

constexpr int kUnknownSender = -1;

struct LiveRow {
    int sender = kUnknownSender; // source address, or kUnknownSender
    uint32_t pgn = 0;
    std::string acronym;
    std::string name;
    std::string values;                   // the latest decoded message's values as one line
    std::vector<uint8_t> decoded_payload; // the bytes values were decoded from
    double decoded_at = -1;
    unsigned long count = 0;
    double first_seen = 0; // seconds on the caller's clock
    double last_seen = 0;
    std::deque<double> recent; // arrival times within the rate window
};

// A sender's latest diagnostic message (DM1).
struct Diagnosis {
    Lamps lamps;
    std::vector<TroubleCode> codes;
};

enum class SortKey { pgn, sender, rate };
// "PGN", "sender", "rate".
std::string_view sort_key_name(SortKey key);

class LiveTable {
  public:
    // Rates count the messages of the last kRateWindow seconds.
    static constexpr double kRateWindow = 5.0;
    // A row's values are decoded again at most this often (seconds): a
    // screen redrawn ten times a second shows no more, and decoding every
    // message (with database lookups) can cost more than the bus delivers.
    static constexpr double kValuesRefresh = 0.1;

    // Counts one message of pgn from sender, received at now (seconds,
    // never going back). Returns true when its values should be decoded and
    // handed to set_values(): the row is new, or its bytes differ from those
    // its values come from and those are kValuesRefresh old.
    bool count(int sender, uint32_t pgn, const uint8_t *data, size_t len, double now);
    // The latest values of the row of sender and d.pgn (counted before),
    // d decoded from data; a DM1 also becomes the sender's diagnosis, a
    // vehicle identification the VIN.
    void set_values(int sender, const Decoded &d, const uint8_t *data, size_t len, double now);
    // Both: count the message and take its values.
    void add(int sender, const Decoded &d, const uint8_t *data, size_t len, double now);

    // The rows that pass the filter, in the sort order. Pointers stay valid
    // until the next add().
    std::vector<const LiveRow *> view(double now) const;
    // Messages per second of a row, and of the whole bus, over the window
    // (at least 1 s, so that the first message does not count as a burst).
    double rate(const LiveRow &row, double now) const;
    double bus_rate(double now) const;
    static double age(const LiveRow &row, double now) { return now - row.last_seen; }

    SortKey sort() const { return sort_; }
    void set_sort(SortKey key) { sort_ = key; }
    // PGN, then sender, then rate, then PGN again.
    SortKey next_sort();
    // Rows whose PGN (decimal), acronym or name contains text, ignoring
    // case; "" shows all.
    void set_filter(std::string text) { filter_ = std::move(text); }
    const std::string &filter() const { return filter_; }

    const std::string &vin() const { return vin_; }
    // The latest DM1 of each sender that sent one.
    const std::map<int, Diagnosis> &diagnoses() const { return diagnoses_; }
    unsigned long messages() const { return messages_; }
    size_t size() const { return rows_.size(); }

  private:
    bool passes(const LiveRow &row) const;

    std::map<std::pair<int, uint32_t>, LiveRow> rows_;
    std::map<int, Diagnosis> diagnoses_;
    std::deque<double> bus_recent_;
    double first_seen_ = -1;
    unsigned long messages_ = 0;
    std::string vin_;
    std::string filter_;
    SortKey sort_ = SortKey::pgn;
};

// The values of a message as the live view and the line log show them:
// the decoded values, or the bytes in hex when no decoder applies.
std::string message_values(const Decoded &d, const uint8_t *data, size_t len);

} // namespace vehcan::cli

#endif
