// SPDX-License-Identifier: MIT
// The decoded message for the compact uplink: see uplink_feed.h.
#include "uplink_feed.h"

#include "timestamp.h"

#include <cmath>

namespace vehcan::cli {

namespace {

constexpr uint32_t kPgnDm1 = 65226;
constexpr uint32_t kPgnVehicleIdentification = 65260;

UplinkValue value_of(const Field &f) {
    UplinkValue v;
    v.spn = f.spn;
    v.name = f.name;
    v.unit = f.unit;
    v.resolution = f.resolution;
    v.offset = f.offset;
    v.maximum = f.maximum;
    v.integer = f.integer;
    switch (f.kind) {
    case Field::Kind::number:
        v.kind = f.indicator == Field::Indicator::error           ? UplinkValue::Kind::error
                 : f.indicator == Field::Indicator::not_available ? UplinkValue::Kind::not_available
                                                                  : UplinkValue::Kind::number;
        v.number = f.number;
        break;
    case Field::Kind::state:
        v.kind = UplinkValue::Kind::state;
        v.state = f.raw;
        v.text = f.text;
        break;
    case Field::Kind::text:
        v.kind = UplinkValue::Kind::text;
        v.text = f.text;
        break;
    case Field::Kind::not_available:
        v.kind = UplinkValue::Kind::not_available;
        break;
    }
    return v;
}

} // namespace

UplinkMessage uplink_message(const Decoded &d, const uint8_t *data, size_t len, int64_t unix_us,
                             int source, double seconds,
                             std::optional<nlohmann::json> &json_store) {
    UplinkMessage m;
    m.unix_us = unix_us;
    m.source = source;
    m.pgn = d.pgn;
    m.acronym = d.acronym;
    m.data = data;
    m.len = len;
    m.decoded = d.decoded;
    m.values.reserve(d.fields.size() + d.unavailable.size());
    for (const Field &f : d.fields) {
        m.values.push_back(value_of(f));
    }
    for (const Field &f : d.unavailable) {
        UplinkValue v = value_of(f);
        v.kind = UplinkValue::Kind::not_available;
        m.values.push_back(std::move(v));
    }
    if (d.pgn == kPgnDm1 || d.pgn == kPgnVehicleIdentification) {
        json_store = to_json(d);
        (*json_store)["time"] = std::round(seconds * 1000.0) / 1000.0;
        (*json_store)["timestamp"] = rfc3339_utc(unix_us);
        m.json = &*json_store;
    }
    return m;
}

void feed_compact(Uplink &uplink, const Decoded &d, const uint8_t *data, size_t len,
                  int64_t unix_us, int source, double seconds) {
    std::optional<nlohmann::json> json;
    uplink.decoded(uplink_message(d, data, len, unix_us, source, seconds, json));
}

} // namespace vehcan::cli
