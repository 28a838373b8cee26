// SPDX-License-Identifier: MIT
// The compact uplink on captures, decoded as the tool decodes them: the
// example capture and a simulated drive on the road (vehcan-sim's, with gear
// changes, noise and an overheat that raises and clears a DM1 fault). At
// every time a value was read, the fleet's reconstruction is within the
// value's tolerance (exactly it in exact mode); states, texts and "not
// available" come back as they were read; a DM1 change brings an event
// window of the frames around it.
#include "candump.h"
#include "compact.h"
#include "compact_decoder.h"
#include "database.h"
#include "decode.h"
#include "j1939_id.h"
#include "road_drive.h"
#include "transport.h"
#include "uplink_feed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

using namespace vehcan::cli;

struct Read {
    int64_t time_us;
    UplinkValue value;
};
using Key = CompactDecoder::Key;

struct Replayed {
    CompactDecoder decoder;
    std::map<Key, std::vector<Read>> readings;
    uint64_t bytes = 0;
    size_t dm1_events = 0;
};

// Replays a capture through the tool's decoding into an encoder with the
// settings, its payloads into a decoder; keeps every value read.
Replayed replay(std::istream &capture, const CollectionSettings &settings, const Database *db) {
    Replayed r;
    uint64_t seq = 1;
    CompactEncoder encoder(settings, "TEST", "", [&seq] { return seq++; });
    TransportReassembler tp;
    TroubleCodeState codes;
    bool dm1_seen = false;
    std::string line;
    int64_t last_us = 0;
    auto drain = [&] {
        for (const CompactPayload &p : encoder.take()) {
            r.bytes += p.bytes.size();
            r.decoder.feed(p.bytes);
        }
    };
    while (std::getline(capture, line)) {
        CanFrame f;
        std::string error;
        if (parse_candump_line(line, &f, &error) != LineKind::frame || !f.extended) {
            continue;
        }
        encoder.frame(f.time_us, f.id, f.data.data(), f.len);
        const J1939Id id = split_j1939_id(f.id);
        J1939Message m;
        m.has_time = true;
        m.time_us = f.time_us;
        m.priority = id.priority;
        m.pgn = id.pgn;
        m.source = id.source;
        m.destination = id.destination;
        m.data.assign(f.data.begin(), f.data.begin() + f.len);
        FeedResult fr = tp.feed(m);
        if (!fr.message) {
            continue;
        }
        const J1939Message &msg = *fr.message;
        const Decoded d = decode_payload(msg.pgn, msg.data.data(), msg.data.size(), db);
        std::optional<nlohmann::json> json;
        const UplinkMessage um =
            uplink_message(d, msg.data.data(), msg.data.size(), msg.time_us, msg.source, 0, json);
        bool dm1_changed = false;
        if (um.json != nullptr && msg.pgn == 65226) {
            // as the uplink judges it: the first DM1 is news only with a fault
            if (auto payload = codes.update(msg.source, *um.json)) {
                dm1_changed = vehcan::cli::dm1_is_news(dm1_seen, *payload);
                dm1_seen = true;
            }
        }
        for (const UplinkValue &v : um.values) {
            r.readings[{msg.source, msg.pgn, static_cast<uint32_t>(v.spn), v.name}].push_back(
                {msg.time_us, v});
        }
        encoder.add(um, dm1_changed);
        last_us = msg.time_us;
        drain();
    }
    encoder.finish(last_us);
    drain();
    for (const auto &[cause, frames] : r.decoder.events()) {
        r.dm1_events += cause == 1 ? 1 : 0;
    }
    return r;
}

struct Check {
    size_t readings = 0;
    size_t states = 0;
    size_t unavailable = 0;
    double worst_share = 0; // of the tolerance
    std::string worst_signal;
};

// Every reading against the reconstruction, counted in c.
void check(const Replayed &r, bool exact, Check &c) {
    for (const auto &[key, reads] : r.readings) {
        const auto it = r.decoder.timelines().find(key);
        ASSERT_NE(it, r.decoder.timelines().end()) << std::get<3>(key) << ": no points";
        const Timeline &tl = it->second;
        for (const Read &read : reads) {
            const auto got = tl.at(read.time_us);
            ASSERT_TRUE(got) << std::get<3>(key) << " at " << read.time_us;
            ++c.readings;
            switch (read.value.kind) {
            case UplinkValue::Kind::number: {
                ASSERT_EQ(got->kind, TimelinePoint::Kind::number)
                    << std::get<3>(key) << " at " << read.time_us;
                const double error = std::fabs(got->value - read.value.number);
                if (exact || tl.info.tolerance == 0) {
                    // (a value without a known scale is kept to the thousandth)
                    ASSERT_LE(error, tl.info.scale / 2 + 1e-9)
                        << std::get<3>(key) << " at " << read.time_us;
                    ASSERT_TRUE(error == 0 || tl.info.scale == 0.001)
                        << std::get<3>(key) << " at " << read.time_us << ": " << got->value
                        << " for " << read.value.number;
                } else {
                    ASSERT_LE(error, tl.info.tolerance * (1 + 1e-9))
                        << std::get<3>(key) << " at " << read.time_us << ": " << got->value
                        << " for " << read.value.number;
                    if (error / tl.info.tolerance > c.worst_share) {
                        c.worst_share = error / tl.info.tolerance;
                        c.worst_signal = std::get<3>(key);
                    }
                }
                break;
            }
            case UplinkValue::Kind::state:
                ASSERT_EQ(got->kind, TimelinePoint::Kind::state);
                ASSERT_EQ(got->code, read.value.state) << std::get<3>(key);
                ++c.states;
                break;
            case UplinkValue::Kind::text:
                ASSERT_EQ(got->kind, TimelinePoint::Kind::text);
                ASSERT_EQ(got->text, read.value.text) << std::get<3>(key);
                break;
            case UplinkValue::Kind::not_available:
            case UplinkValue::Kind::error:
                ASSERT_EQ(got->kind, TimelinePoint::Kind::state) << std::get<3>(key);
                ASSERT_EQ(got->code,
                          read.value.kind == UplinkValue::Kind::error ? kError : kNotAvailable)
                    << std::get<3>(key);
                ++c.unavailable;
                break;
            }
        }
    }
}

Database sample_database() {
    std::string error;
    auto db = Database::open(std::string(VEHCAN_SOURCE_DIR) + "/data/sample.xml", &error);
    EXPECT_TRUE(db) << error;
    return *db;
}

class Captures : public ::testing::TestWithParam<bool> {}; // with the database or not

TEST_P(Captures, TheExampleCaptureComesBackWithinItsTolerances) {
    const std::optional<Database> db =
        GetParam() ? std::optional<Database>(sample_database()) : std::nullopt;
    for (bool exact : {false, true}) {
        std::ifstream in(std::string(VEHCAN_SOURCE_DIR) + "/examples/truck.log");
        CollectionSettings s;
        s.exact = exact;
        const Replayed r = replay(in, s, db ? &*db : nullptr);
        Check c;
        check(r, exact, c);
        if (HasFatalFailure()) {
            return;
        }
        EXPECT_GT(c.readings, 1000U);
        EXPECT_GT(c.states, 10U);
        if (GetParam()) {
            EXPECT_GT(c.unavailable, 10U); // the database's parameters the truck does not fill
        }
        // the truck reports a fault from its first DM1 on
        EXPECT_EQ(r.dm1_events, 1U);
    }
}

TEST_P(Captures, ADriveOnTheRoadComesBackWithinItsTolerances) {
    const std::optional<Database> db =
        GetParam() ? std::optional<Database>(sample_database()) : std::nullopt;
    std::stringstream road;
    vehcan::sim::RoadDriveOptions o;
    o.seconds = 600;
    vehcan::sim::write_road_drive(road, o);
    const std::string log = road.str();
    for (bool exact : {false, true}) {
        std::istringstream in(log);
        CollectionSettings s;
        s.exact = exact;
        const Replayed r = replay(in, s, db ? &*db : nullptr);
        Check c;
        check(r, exact, c);
        if (HasFatalFailure()) {
            return;
        }
        EXPECT_GT(c.readings, 100000U);
        if (!exact) {
            // the bound is what limits the points, not a coarser rounding
            EXPECT_GT(c.worst_share, 0.5) << c.worst_signal;
            RecordProperty(GetParam() ? "worst_share_db" : "worst_share",
                           std::to_string(c.worst_share));
        }
        // the overheat raises the fault and it clears: two windows
        EXPECT_EQ(r.dm1_events, 2U);
    }
}

INSTANTIATE_TEST_SUITE_P(Fleet, Captures, ::testing::Bool(), [](const auto &param_info) {
    return param_info.param ? "WithDatabase" : "WithoutDatabase";
});

} // namespace
