// SPDX-License-Identifier: MIT
// What the report gathers from a capture, read back from its data block:
// the parameter groups' periods and jitter, the trouble-code and lamp bands,
// the series and their charts, the bus load.
#include "capture_report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using nlohmann::json;
using vehcan::report::ActiveCode;
using vehcan::report::CaptureReport;
using vehcan::report::LampStatus;
using vehcan::report::PageSettings;
using vehcan::report::SignalRef;

namespace {

constexpr int64_t kMs = 1000;
constexpr int64_t kS = 1000000;
constexpr uint32_t kEec1 = 61444;
constexpr uint32_t kCcvs = 65265;

const SignalRef kEngineSpeed{kEec1, 0x00, 190, "engine speed", "rpm"};
const SignalRef kTorque{kEec1, 0x00, 513, "actual engine torque", "%"};
const SignalRef kDemand{kEec1, 0x00, 512, "driver's demand torque", "%"};
const SignalRef kWheelSpeed{kCcvs, 0x00, 84, "wheel-based vehicle speed", "km/h"};
const SignalRef kBrake{kCcvs, 0x00, 597, "brake switch", ""};

// A message and the frame that carried it.
void send(CaptureReport &r, int64_t t, uint32_t pgn, uint8_t source) {
    r.frame(t, 8, true);
    r.message(t, pgn, source, pgn == kEec1 ? "EEC1" : "", pgn == kEec1 ? "Electronic Engine" : "");
}

const json *find(const json &array, const std::string &key, const json &value) {
    for (const json &e : array) {
        if (e.at(key) == value) {
            return &e;
        }
    }
    return nullptr;
}

// A level's times back from milliseconds written as steps.
std::vector<double> times_of(const json &level) {
    std::vector<double> t;
    long long ms = 0;
    for (const json &step : level.at("t")) {
        ms += step.get<long long>();
        t.push_back(static_cast<double>(ms) / 1000);
    }
    return t;
}

} // namespace

// ---- parameter groups ----------------------------------------------------------------

TEST(Gathering, PeriodAndJitterOfEachGroupAndSender) {
    CaptureReport r;
    for (int64_t t : {0, 100, 210, 290, 400}) { // intervals 100, 110, 80, 110 ms
        send(r, t * kMs, kEec1, 0x00);
    }
    send(r, 50 * kMs, kEec1, 0x01); // a second engine: a row of its own
    send(r, 550 * kMs, kEec1, 0x01);
    send(r, 60 * kMs, kCcvs, 0x00); // once: no period
    const json d = r.data(PageSettings{});
    ASSERT_EQ(d["pgns"].size(), 3U);
    const json &e = d["pgns"][0];
    EXPECT_EQ(e["pgn"], kEec1);
    EXPECT_EQ(e["source"], 0);
    EXPECT_EQ(e["acronym"], "EEC1");
    EXPECT_EQ(e["count"], 5);
    EXPECT_NEAR(e["period"].get<double>(), 0.100, 1e-9);
    // The intervals' standard deviation: sqrt((0 + 100 + 400 + 100) / 4) ms.
    EXPECT_NEAR(e["jitter"].get<double>(), std::sqrt(150.0) / 1000, 1e-6); // to the microsecond
    EXPECT_NEAR(e["min"].get<double>(), 0.080, 1e-9);
    EXPECT_NEAR(e["max"].get<double>(), 0.110, 1e-9);
    EXPECT_EQ(d["pgns"][1]["source"], 1);
    EXPECT_NEAR(d["pgns"][1]["period"].get<double>(), 0.500, 1e-9);
    EXPECT_TRUE(d["pgns"][2]["period"].is_null());
    EXPECT_TRUE(d["pgns"][2]["jitter"].is_null());
    // The nodes: who sent how many messages of how many groups.
    ASSERT_EQ(d["nodes"].size(), 2U);
    EXPECT_EQ(d["nodes"][0]["messages"], 6);
    EXPECT_EQ(d["nodes"][0]["pgns"], 2);
}

// ---- trouble codes and lamps ---------------------------------------------------------

TEST(Gathering, ACodeThatGoesAndComesBackHasTwoBands) {
    CaptureReport r;
    const ActiveCode overheat{110, 16, 1, "coolant temperature", "above normal"};
    const ActiveCode pressure{100, 1, 3, "", "below normal"};
    const LampStatus amber{0, 0, 1, 0};
    const LampStatus dark{0, 0, 0, 0};
    const std::vector<ActiveCode> one{overheat};
    const std::vector<ActiveCode> both{overheat, pressure, overheat}; // listed twice: once
    r.diagnostic(1 * kS, 0x00, amber, one);
    r.diagnostic(2 * kS, 0x00, amber, both);
    r.diagnostic(2500 * kMs, 0x03, dark, {}); // another node's DM1 ends nothing of 0x00
    r.diagnostic(3 * kS, 0x00, amber, one);
    r.diagnostic(4 * kS, 0x00, dark, {});
    r.diagnostic(5 * kS, 0x00, amber, one);
    r.diagnostic(6 * kS, 0x00, amber, one);
    const json d = r.data(PageSettings{});
    ASSERT_EQ(d["codes"].size(), 2U);
    const json &a = d["codes"][0]; // sorted by first sighting
    EXPECT_EQ(a["spn"], 110);
    EXPECT_EQ(a["fmi"], 16);
    EXPECT_EQ(a["spn_name"], "coolant temperature");
    EXPECT_EQ(a["fmi_text"], "above normal");
    EXPECT_EQ(a["messages"], 5);
    EXPECT_EQ(a["spans"], json::parse("[[1.0, 3.0], [5.0, 6.0]]"));
    const json &b = d["codes"][1];
    EXPECT_EQ(b["spn"], 100);
    EXPECT_EQ(b["occurrences"], 3);
    EXPECT_EQ(b["spans"], json::parse("[[2.0, 2.0]]")); // seen once: a band of no length
    ASSERT_EQ(d["lamps"].size(), 1U);
    EXPECT_EQ(d["lamps"][0]["lamp"], "amber warning");
    EXPECT_EQ(d["lamps"][0]["source"], 0);
    EXPECT_EQ(d["lamps"][0]["spans"], json::parse("[[1.0, 3.0], [5.0, 6.0]]"));
}

// ---- series and charts ----------------------------------------------------------------

TEST(Gathering, SeriesGroupedByGroupAndUnitStatesApart) {
    CaptureReport r;
    for (int i = 0; i < 10; ++i) {
        const int64_t t = i * 100 * kMs;
        send(r, t, kEec1, 0x00);
        r.number(t, kEngineSpeed, 1000 + i);
        r.number(t, kTorque, 40);
        r.number(t, kDemand, 0.4 * 37); // written as 14.8
        send(r, t + 5 * kMs, kCcvs, 0x00);
        r.number(t + 5 * kMs, kWheelSpeed, 80);
        r.state(t + 5 * kMs, kBrake, i < 5 ? 0 : 1, i < 5 ? "released" : "depressed");
    }
    send(r, 1000 * kMs, kEec1, 0x00);
    r.not_available(1000 * kMs, kEngineSpeed);
    const json d = r.data(PageSettings{});
    ASSERT_EQ(d["series"].size(), 5U);
    ASSERT_EQ(d["charts"].size(), 4U);
    // EEC1: rpm on one chart, the two torques (%) together on another.
    EXPECT_EQ(d["charts"][0]["unit"], "%");
    EXPECT_EQ(d["charts"][0]["series"].size(), 2U);
    EXPECT_EQ(d["charts"][1]["unit"], "rpm");
    EXPECT_EQ(d["charts"][0]["title"], "EEC1 Electronic Engine (PGN 61444) · %");
    EXPECT_EQ(d["charts"][2]["unit"], "km/h");
    EXPECT_EQ(d["charts"][3]["kind"], "state");
    EXPECT_EQ(d["charts"][3]["title"], "PGN 65265 · brake switch");

    const json *speed = find(d["series"], "spn", 190);
    ASSERT_NE(speed, nullptr);
    EXPECT_EQ((*speed)["samples"], 11);
    EXPECT_EQ((*speed)["unit"], "rpm");
    EXPECT_EQ((*speed)["min"], 1000);
    EXPECT_EQ((*speed)["max"], 1009);
    const json &level = (*speed)["levels"][0];
    EXPECT_EQ(level["bucket"], 0); // ten samples: every one
    EXPECT_EQ(level["v"][3], 1003);
    EXPECT_TRUE(level["v"][10].is_null()); // "not available": a gap
    EXPECT_DOUBLE_EQ(times_of(level)[3], 0.3);

    // A run of one value keeps its first and last sample, nothing between.
    const json *torque = find(d["series"], "spn", 513);
    EXPECT_EQ((*torque)["samples"], 10);
    EXPECT_EQ((*torque)["levels"][0]["v"], json::parse("[40, 40]"));
    EXPECT_EQ(times_of((*torque)["levels"][0]), (std::vector<double>{0.0, 0.9}));
    const json *demand = find(d["series"], "spn", 512);
    EXPECT_EQ((*demand)["levels"][0]["v"][0].dump(), "14.8");

    const json *brake = find(d["series"], "spn", 597);
    EXPECT_EQ((*brake)["kind"], "state");
    EXPECT_EQ((*brake)["states"], json::parse(R"([[0, "released"], [1, "depressed"]])"));
    EXPECT_EQ((*brake)["levels"][0]["v"], json::parse("[0, 0, 1, 1]"));
}

TEST(Gathering, ChosenSpnsOnlyAndSendersNamedWhenTwoSendAGroup) {
    CaptureReport r;
    const SignalRef second_engine{kEec1, 0x01, 190, "engine speed", "rpm"};
    for (int i = 0; i < 3; ++i) {
        send(r, i * kS, kEec1, 0x00);
        r.number(i * kS, kEngineSpeed, 800);
        r.number(i * kS, kTorque, 10);
        send(r, i * kS, kEec1, 0x01);
        r.number(i * kS, second_engine, 900);
        r.not_available(i * kS, kDemand); // never a value: no series
    }
    PageSettings only_speed;
    only_speed.spns = {190};
    const json d = r.data(only_speed);
    ASSERT_EQ(d["series"].size(), 2U);
    EXPECT_EQ(d["series"][0]["label"], "engine speed (0x00)");
    EXPECT_EQ(d["series"][1]["label"], "engine speed (0x01)");
    ASSERT_EQ(d["charts"].size(), 1U);
    EXPECT_EQ(d["charts"][0]["series"], json::parse("[0, 1]"));
    EXPECT_EQ(r.data(PageSettings{})["series"].size(), 3U);
}

TEST(Gathering, ALongSeriesComesInLevelsWithinItsBudget) {
    CaptureReport r;
    for (int64_t i = 0; i < 100000; ++i) {
        r.frame(i * 10 * kMs, 8, true);
        r.number(i * 10 * kMs, kEngineSpeed, 1000 + static_cast<double>(i % 97));
    }
    PageSettings s;
    s.point_budget = 20000;
    const json d = r.data(s);
    const json &levels = d["series"][0]["levels"];
    ASSERT_EQ(levels.size(), 2U); // 1024 and 4096 stretches; 16384 and the samples would not fit
    size_t points = 0;
    for (const json &l : levels) {
        EXPECT_GT(l["bucket"].get<double>(), 0);
        EXPECT_EQ(l["t"].size(), l["v"].size());
        points += l["v"].size();
    }
    EXPECT_LE(points, 20000U);
    EXPECT_EQ(d["series"][0]["samples"], 100000);
}

// ---- bus load -------------------------------------------------------------------------

TEST(Gathering, BusLoadPerBinOfTheBitRate) {
    CaptureReport r;
    for (int i = 0; i < 10; ++i) { // 10 frames of 8 bytes, 131 bits each, in 0.1 s
        r.frame(i * 10 * kMs, 8, true);
    }
    r.frame(150 * kMs, 0, false); // an 11-bit frame without data: 47 bits
    PageSettings s;
    s.bitrate = 250000;
    const json d = r.data(s);
    const json &bus = d["bus"];
    EXPECT_EQ(bus["bin"], 0.1);
    EXPECT_EQ(bus["frames_per_s"], json::parse("[100.0, 10.0]"));
    EXPECT_EQ(bus["load"][0], 5.24); // 1310 bits in 0.1 s of 250 kbit/s
    EXPECT_EQ(bus["load"][1], 0.19);
    bool row = false;
    for (const json &e : d["summary"]) {
        if (e[0] == "bus load") {
            row = true;
            EXPECT_NE(e[1].get<std::string>().find("5.2 % at most"), std::string::npos) << e[1];
        }
        if (e[0] == "CAN frames") {
            EXPECT_EQ(e[1], "11 (10 with a 29-bit identifier)");
        }
    }
    EXPECT_TRUE(row);
}

TEST(Gathering, AnHourHasRoundBinsOfAtMost600) {
    CaptureReport r;
    for (int64_t s = 0; s <= 3600; ++s) {
        r.frame(s * kS, 8, true);
    }
    const json bus = r.data(PageSettings{})["bus"];
    EXPECT_EQ(bus["bin"], 10.0); // 5 s would make 720
    EXPECT_EQ(bus["frames_per_s"].size(), 361U);
    EXPECT_EQ(bus["frames_per_s"][0], 1.0);   // ten frames in ten seconds
    EXPECT_EQ(bus["frames_per_s"][360], 0.1); // the last one alone
}
