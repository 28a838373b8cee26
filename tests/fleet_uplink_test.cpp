// SPDX-License-Identifier: MIT
// The broker-free parts of the MQTT uplink: the broker URL, topic and client
// names, back-off, rate limit, backlog and the trouble-code state.
#include "common.h"
#include "uplink_parts.h"

#include <gtest/gtest.h>

using namespace vehcan;
using namespace vehcan::cli;

namespace {

// ---- broker URL ----

TEST(BrokerUrl, SchemesAndPorts) {
    BrokerUrl b = parse_broker_url("mqtt://depot.example");
    EXPECT_FALSE(b.tls);
    EXPECT_EQ(b.host, "depot.example");
    EXPECT_EQ(b.port, 1883);
    b = parse_broker_url("mqtts://10.0.0.5:9883/");
    EXPECT_TRUE(b.tls);
    EXPECT_EQ(b.host, "10.0.0.5");
    EXPECT_EQ(b.port, 9883);
    b = parse_broker_url("mqtts://[::1]");
    EXPECT_EQ(b.host, "::1");
    EXPECT_EQ(b.port, 8883);
    b = parse_broker_url("mqtt://[fd00::2]:1884");
    EXPECT_EQ(b.host, "fd00::2");
    EXPECT_EQ(b.port, 1884);
}

TEST(BrokerUrl, RejectsWhatIsNotABroker) {
    for (const char *bad : {"http://host", "host:1883", "mqtt://", "mqtt://:1883", "mqtt://h:0",
                            "mqtt://h:65536", "mqtt://h:", "mqtt://h:12x", "mqtt://u@h",
                            "mqtt://h/path", "mqtt://[::1", "mqtt://h:1:2"}) {
        try {
            parse_broker_url(bad);
            ADD_FAILURE() << bad << " was accepted";
        } catch (const Failure &f) {
            EXPECT_EQ(f.code(), kExitUsage) << bad;
            EXPECT_NE(std::string(f.what()).find(bad), std::string::npos) << f.what();
        }
    }
}

// ---- names ----

TEST(Names, TopicLevelAndClientId) {
    EXPECT_EQ(topic_level("1HTMKAAN0CH123456"), "1HTMKAAN0CH123456");
    EXPECT_EQ(topic_level("a/b+c#d e\x01"), "a_b_c_d_e_");
    EXPECT_EQ(topic_level(""), "unknown");
    EXPECT_EQ(client_id_for("1HTMKAAN0CH123456", false), "vehcan-1HTMKAAN0CH123456");
    EXPECT_EQ(client_id_for("gw/7", true), "vehcan-gw_7-replay");
}

// ---- back-off ----

TEST(Backoff, DoublesFromOneSecondToAMinuteAndResets) {
    Backoff b;
    std::vector<long> seen;
    seen.reserve(9);
    for (int i = 0; i < 9; ++i) {
        seen.push_back(static_cast<long>(b.next().count()));
    }
    EXPECT_EQ(seen, (std::vector<long>{1, 2, 4, 8, 16, 32, 60, 60, 60}));
    b.reset();
    EXPECT_EQ(b.next().count(), 1);
}

// ---- rate limit ----

TEST(RateLimiter, PerPgnAndSenderByTheMessagesClock) {
    RateLimiter r(2.0); // one each 500 ms
    EXPECT_TRUE(r.admit(61444, 0, 1000000));
    EXPECT_FALSE(r.admit(61444, 0, 1499999));
    EXPECT_TRUE(r.admit(61444, 1, 1499999)); // another sender
    EXPECT_TRUE(r.admit(65262, 0, 1499999)); // another PGN
    EXPECT_TRUE(r.admit(61444, 0, 1500000));
    // the interval counts from the last message let through, not the last seen
    EXPECT_FALSE(r.admit(61444, 0, 1900000));
    EXPECT_TRUE(r.admit(61444, 0, 2000000));
}

TEST(RateLimiter, ZeroLetsEverythingPass) {
    RateLimiter r(0);
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(r.admit(61444, 0, 1000));
    }
}

// ---- backlog ----

std::vector<std::string> drain(Backlog &b) {
    std::vector<std::string> topics;
    while (!b.empty()) {
        topics.push_back(b.pop().topic);
    }
    return topics;
}

TEST(Backlog, DropsTheOldestWhenFullAndCountsThem) {
    Backlog b(3);
    for (const char *t : {"a", "b", "c", "d", "e"}) {
        b.push({t, "", false});
    }
    EXPECT_EQ(b.dropped(), 2U);
    EXPECT_EQ(drain(b), (std::vector<std::string>{"c", "d", "e"}));
}

TEST(Backlog, UnacknowledgedGoBackInFrontInOrder) {
    Backlog b(4);
    b.push({"c", "", false});
    b.push({"d", "", false});
    b.push_front({{"a", "", false}, {"b", "", false}});
    EXPECT_EQ(b.dropped(), 0U);
    EXPECT_EQ(drain(b), (std::vector<std::string>{"a", "b", "c", "d"}));
    // beyond the capacity the oldest (those put back) go first
    b.push({"e", "", false});
    b.push({"f", "", false});
    b.push({"g", "", false});
    b.push_front({{"x", "", false}, {"y", "", false}});
    EXPECT_EQ(b.dropped(), 1U);
    EXPECT_EQ(drain(b), (std::vector<std::string>{"y", "e", "f", "g"}));
}

// ---- trouble-code state ----

nlohmann::json dm1(const char *amber, const std::vector<std::pair<int, int>> &codes,
                   int occurrences, double time) {
    nlohmann::json dtcs = nlohmann::json::array();
    for (auto [spn, fmi] : codes) {
        dtcs.push_back({{"spn", spn}, {"fmi", fmi}, {"occurrences", occurrences}});
    }
    return {{"time", time},
            {"lamps",
             {{"mil", "off"}, {"red_stop", "off"}, {"amber_warning", amber}, {"protect", "off"}}},
            {"dtcs", dtcs}};
}

TEST(TroubleCodeState, PublishesChangesOnly) {
    TroubleCodeState s;
    auto p = s.update(0, dm1("on", {{110, 16}}, 1, 0.5));
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, R"({"nodes":[{"dtcs":[{"fmi":16,"occurrences":1,"spn":110}],"lamps":)"
                  R"({"amber_warning":"on","mil":"off","protect":"off","red_stop":"off"},)"
                  R"("source":0}],"time":0.5})");
    // the same fault again, its count grown: no change
    EXPECT_FALSE(s.update(0, dm1("on", {{110, 16}}, 2, 1.5)));
    // a second node with a fault: both, by sender
    p = s.update(3, dm1("on", {{100, 1}}, 1, 2.0));
    ASSERT_TRUE(p);
    const auto j = nlohmann::json::parse(*p);
    ASSERT_EQ(j["nodes"].size(), 2U);
    EXPECT_EQ(j["nodes"][0]["source"], 0);
    EXPECT_EQ(j["nodes"][0]["dtcs"][0]["occurrences"], 2); // the latest count
    EXPECT_EQ(j["nodes"][1]["source"], 3);
    // a new code of node 0, then the lamp alone going off
    EXPECT_TRUE(s.update(0, dm1("on", {{110, 16}, {190, 0}}, 1, 3.0)));
    EXPECT_TRUE(s.update(0, dm1("off", {{110, 16}, {190, 0}}, 1, 4.0)));
    // both clear: an empty set
    EXPECT_TRUE(s.update(0, dm1("off", {}, 0, 5.0)));
    p = s.update(3, dm1("off", {}, 0, 6.0));
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, R"({"nodes":[],"time":6.0})");
    EXPECT_FALSE(s.update(3, dm1("off", {}, 0, 7.0)));
}

TEST(TroubleCodeState, FirstMessageIsPublishedEvenWithoutFault) {
    TroubleCodeState s;
    auto p = s.update(-1, dm1("off", {}, 0, 0.0));
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, R"({"nodes":[],"time":0.0})");
    // a lamp alone keeps a node; a sender that is not known has no "source"
    p = s.update(-1, dm1("on", {}, 0, 1.0));
    ASSERT_TRUE(p);
    EXPECT_EQ(nlohmann::json::parse(*p)["nodes"][0].contains("source"), false);
}

} // namespace
