// SPDX-License-Identifier: MIT
// The live view's rows, rates, VIN and diagnoses.
#include "live_table.h"

#include <algorithm>
#include <cctype>
#include <fmt/format.h>

namespace vehcan::cli {

namespace {

constexpr uint32_t kPgnVehicleIdentification = 65260;

void forget_before(std::deque<double> &times, double since) {
    while (!times.empty() && times.front() < since) {
        times.pop_front();
    }
}

double per_second(const std::deque<double> &times, double first_seen, double now, double window) {
    const auto in_window =
        std::count_if(times.begin(), times.end(), [&](double t) { return t >= now - window; });
    const double span = std::clamp(now - first_seen, 1.0, window);
    return static_cast<double>(in_window) / span;
}

bool contains_ignoring_case(std::string_view text, std::string_view part) {
    const auto it =
        std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
        });
    return it != text.end() || part.empty();
}

} // namespace

std::string_view sort_key_name(SortKey key) {
    switch (key) {
    case SortKey::sender:
        return "sender";
    case SortKey::rate:
        return "rate";
    default:
        return "PGN";
    }
}

std::string message_values(const Decoded &d, const uint8_t *data, size_t len) {
    if (d.decoded) {
        return values_text(d);
    }
    std::string hex;
    for (size_t i = 0; i < len; ++i) {
        hex += fmt::format("{}{:02X}", i == 0 ? "[" : " ", data[i]);
    }
    return hex + "]";
}

bool LiveTable::count(int sender, uint32_t pgn, const uint8_t *data, size_t len, double now) {
    LiveRow &row = rows_[{sender, pgn}];
    if (row.count == 0) {
        row.sender = sender;
        row.pgn = pgn;
        row.first_seen = now;
    }
    ++row.count;
    row.last_seen = now;
    row.recent.push_back(now);
    forget_before(row.recent, now - kRateWindow);

    ++messages_;
    if (first_seen_ < 0) {
        first_seen_ = now;
    }
    bus_recent_.push_back(now);
    forget_before(bus_recent_, now - kRateWindow);

    const bool same =
        std::equal(row.decoded_payload.begin(), row.decoded_payload.end(), data, data + len);
    return row.decoded_at < 0 || (!same && now - row.decoded_at >= kValuesRefresh);
}

void LiveTable::add(int sender, const Decoded &d, const uint8_t *data, size_t len, double now) {
    count(sender, d.pgn, data, len, now);
    set_values(sender, d, data, len, now);
}

void LiveTable::set_values(int sender, const Decoded &d, const uint8_t *data, size_t len,
                           double now) {
    LiveRow &row = rows_[{sender, d.pgn}];
    row.acronym = d.acronym;
    row.name = d.name;
    row.values = message_values(d, data, len);
    row.decoded_payload.assign(data, data + len);
    row.decoded_at = now;
    if (d.lamps) {
        diagnoses_[sender] = Diagnosis{*d.lamps, d.codes};
    }
    if (d.pgn == kPgnVehicleIdentification) {
        for (const Field &f : d.fields) {
            if (f.kind == Field::Kind::text && !f.text.empty()) {
                vin_ = f.text;
                break;
            }
        }
    }
}

double LiveTable::rate(const LiveRow &row, double now) const {
    return per_second(row.recent, row.first_seen, now, kRateWindow);
}

double LiveTable::bus_rate(double now) const {
    return first_seen_ < 0 ? 0.0 : per_second(bus_recent_, first_seen_, now, kRateWindow);
}

SortKey LiveTable::next_sort() {
    switch (sort_) {
    case SortKey::pgn:
        sort_ = SortKey::sender;
        break;
    case SortKey::sender:
        sort_ = SortKey::rate;
        break;
    default:
        sort_ = SortKey::pgn;
        break;
    }
    return sort_;
}

bool LiveTable::passes(const LiveRow &row) const {
    return filter_.empty() || contains_ignoring_case(fmt::format("{}", row.pgn), filter_) ||
           contains_ignoring_case(row.acronym, filter_) ||
           contains_ignoring_case(row.name, filter_);
}

std::vector<const LiveRow *> LiveTable::view(double now) const {
    std::vector<const LiveRow *> out;
    for (const auto &[key, row] : rows_) {
        if (passes(row)) {
            out.push_back(&row);
        }
    }
    // rows_ is ordered by sender, then PGN; the sorts below are stable.
    switch (sort_) {
    case SortKey::pgn:
        std::stable_sort(out.begin(), out.end(),
                         [](const LiveRow *a, const LiveRow *b) { return a->pgn < b->pgn; });
        break;
    case SortKey::sender:
        break;
    case SortKey::rate: {
        std::vector<std::pair<double, const LiveRow *>> rated;
        rated.reserve(out.size());
        for (const LiveRow *r : out) {
            rated.emplace_back(rate(*r, now), r);
        }
        std::stable_sort(rated.begin(), rated.end(),
                         [](const auto &a, const auto &b) { return a.first > b.first; });
        for (size_t i = 0; i < out.size(); ++i) {
            out[i] = rated[i].second;
        }
        break;
    }
    }
    return out;
}

} // namespace vehcan::cli
