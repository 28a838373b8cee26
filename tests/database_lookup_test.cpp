// SPDX-License-Identifier: MIT
// The database operations of libvehcan against a recording get_xml_content:
// the keys they ask for, the buffers they pass, and what they make of the
// answers.
#include "j1939_stack.h"
#include "libxml2.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct Call {
    std::string node, subnode, file;
    bool cleared; // every byte of the size libvehcan promises was 0
};

struct FakeDatabase {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, std::string> values;
    std::vector<Call> calls;
    int missing_result = 7; // any non-zero value means "not found"
} g_db;

} // namespace

extern "C" int get_xml_content(char *file, char *node, char *subnode, char *out) {
    const size_t size = std::strcmp(subnode, "SPN_LIST") == 0 ? 1000 : 120;
    std::lock_guard lock(g_db.mutex);
    g_db.calls.push_back(
        {node, subnode, file, std::all_of(out, out + size, [](char c) { return c == 0; })});
    const auto found = g_db.values.find({node, subnode});
    if (found == g_db.values.end()) {
        return g_db.missing_result;
    }
    std::memcpy(out, found->second.c_str(), std::min(found->second.size() + 1, size));
    return 0;
}

namespace {

class DatabaseLookup : public ::testing::Test {
  protected:
    void SetUp() override { forget_all(); }
    static void forget_all() {
        std::lock_guard lock(g_db.mutex);
        g_db.values.clear();
        g_db.calls.clear();
        g_db.missing_result = 7;
    }
    static void put(const std::string &node, const std::string &subnode, const std::string &text) {
        std::lock_guard lock(g_db.mutex);
        g_db.values[{node, subnode}] = text;
    }
    static std::vector<Call> calls() {
        std::lock_guard lock(g_db.mutex);
        return g_db.calls;
    }
    // A record whose every member holds a recognisable old value.
    static parse_dbc stale() {
        parse_dbc r;
        std::memset(&r, 0x5a, sizeof r);
        std::strcpy(r.unit, "old");
        std::strcpy(r.description, "old");
        return r;
    }
    static bool untouched(const parse_dbc &r, const parse_dbc &old, const void *member, size_t n) {
        const auto off = static_cast<const char *>(member) - reinterpret_cast<const char *>(&r);
        return std::memcmp(member, reinterpret_cast<const char *>(&old) + off, n) == 0;
    }
};

#define EXPECT_UNTOUCHED(rec, old, m)                                                              \
    EXPECT_TRUE(untouched(rec, old, &(rec).m, sizeof((rec).m))) << #m

TEST_F(DatabaseLookup, AsksForTheExactKeysWithClearedBuffersOfTheFixedFile) {
    int count = 0;
    unsigned long spns[4] = {};
    parse_dbc rec = stale();
    char text[256] = {};
    EXPECT_EQ(get_spn_no(61444, &count), 7);
    EXPECT_EQ(get_spn_numbers(61444, spns, 0), J1939_ERR_XML_READ);
    EXPECT_EQ(get_spn_details(61444, 190, &rec), J1939_ERR_XML_READ);
    EXPECT_EQ(read_bit_data(61444, 190, 1, 2, text), J1939_ERR_XML_READ);
    EXPECT_EQ(read_state_parameter(65265, 597, -1, text), 7);
    EXPECT_EQ(get_service_component(7, text), 7);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"PGN61444", "SPN_LIST"},  {"PGN61444", "SPN_LIST"},   {"PGN61444", "SPN_190"},
        {"PGN61444", "SPN_190_1"}, {"PGN65265", "SPN_597_-1"}, {"SERVICE_COMPONENET", "SC_ID_7"},
    };
    const std::vector<Call> seen = calls();
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].file, "/sample.xml");
        EXPECT_EQ(std::make_pair(seen[i].node, seen[i].subnode), expected[i]);
        EXPECT_TRUE(seen[i].cleared) << seen[i].subnode;
    }
}

TEST_F(DatabaseLookup, NumbersTooLargeForTheirKeyAreRefusedBeforeAnyLookup) {
    if (sizeof(long) < 8) {
        GTEST_SKIP() << "every 32-bit number fits its key";
    }
    // "PGN1000000000000" needs 17 bytes; cut to the 16-byte key it would be
    // PGN100000000000, another value.
    const auto huge = static_cast<unsigned long>(1000000000000ULL); // runs only where it fits
    put("PGN100000000000", "SPN_LIST", "1,190");
    char text[1000] = {};
    int count = -1;
    parse_dbc rec = stale();
    EXPECT_EQ(get_spn_no(huge, &count), J1939_ERR_XML_READ);
    EXPECT_EQ(get_spn_details(huge, 190, &rec), J1939_ERR_XML_READ);
    EXPECT_EQ(read_state_parameter(61444, huge, LONG_MAX, text), J1939_ERR_XML_READ);
    EXPECT_EQ(get_service_component(INT_MIN, text), 7) << "every int fits SC_ID_%d";
    EXPECT_EQ(calls().size(), 1U);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(rec.spn_1, 190U);
}

TEST_F(DatabaseLookup, SpnListsSkipEmptyFieldsAndStoreAtMostOnePlusTheirCount) {
    struct Case {
        const char *list;
        int no_rc, count;
        std::vector<unsigned long> stored;
    };
    const Case cases[] = {
        {"3,190,513,512", 0, 3, {3, 190, 513, 512}},
        {",3,,190,513,512,", 0, 3, {3, 190, 513, 512}},
        {"2,190,513,512", 0, 2, {2, 190, 513}},
        {"-4,190", 0, -4, {static_cast<unsigned long>(-4L)}},
        {"5,190,513", 0, 5, {5, 190, 513}},
        {",,,", J1939_ERR_XML_READ, -1, {}},
    };
    for (const Case &c : cases) {
        put("PGN61444", "SPN_LIST", c.list);
        int count = -1;
        std::vector<unsigned long> spns(8, 4242);
        EXPECT_EQ(get_spn_no(61444, &count), c.no_rc) << c.list;
        EXPECT_EQ(count, c.count) << c.list;
        EXPECT_EQ(get_spn_numbers(61444, spns.data(), 0),
                  c.stored.empty() ? J1939_ERR_XML_READ : 0);
        spns.resize(
            static_cast<size_t>(std::find(spns.begin(), spns.end(), 4242UL) - spns.begin()));
        EXPECT_EQ(spns, c.stored) << c.list;
    }
}

TEST_F(DatabaseLookup, DefinitionsFillTheMembersOfTheirKindOnly) {
    put("PGN61444", "SPN_190", "Engine Speed,2,3,0.125,0,rpm,0,15");
    put("PGN61444", "SPN_191", "Speed,0,0.5,-1.5,km/h,2,4,5");
    put("PGN61444", "SPN_192", "Clutch Switch,1,4,2,x,7");
    const parse_dbc old = stale();
    parse_dbc k2 = old, k0 = old, k1 = old;
    ASSERT_EQ(get_spn_details(61444, 190, &k2), 0);
    ASSERT_EQ(get_spn_details(61444, 191, &k0), 0);
    ASSERT_EQ(get_spn_details(61444, 192, &k1), 0);

    EXPECT_EQ(k2.spn_1, 190U);
    EXPECT_STREQ(k2.description, "Engine Speed");
    EXPECT_EQ(k2.status, 2);
    EXPECT_EQ(k2.pos_byte, 3);
    EXPECT_EQ(k2.scale, 0.125);
    EXPECT_EQ(k2.offset, 0.0);
    EXPECT_STREQ(k2.unit, "rpm");
    EXPECT_EQ(k2.start_bit, 0);
    EXPECT_EQ(k2.end_bit, 15);
    EXPECT_UNTOUCHED(k2, old, nbytes);
    EXPECT_UNTOUCHED(k2, old, pos);
    EXPECT_UNTOUCHED(k2, old, n_bits);
    EXPECT_UNTOUCHED(k2, old, bin_val);
    EXPECT_UNTOUCHED(k2, old, spn_dat[8]);

    EXPECT_EQ(k0.status, 0);
    EXPECT_EQ(k0.scale, 0.5);
    EXPECT_EQ(k0.offset, -1.5);
    EXPECT_STREQ(k0.unit, "km/h");
    EXPECT_EQ(k0.nbytes, 2);
    EXPECT_EQ(k0.pos[0], 4);
    EXPECT_EQ(k0.pos[1], 5);
    EXPECT_EQ(k0.pos[2], old.pos[2]);
    EXPECT_UNTOUCHED(k0, old, pos_byte);
    EXPECT_UNTOUCHED(k0, old, start_bit);

    EXPECT_EQ(k1.status, 1);
    EXPECT_EQ(k1.pos_byte, 4);
    EXPECT_EQ(k1.n_bits, 2);
    EXPECT_EQ(k1.start_bit, 0) << "a field without a number reads as 0";
    EXPECT_EQ(k1.end_bit, 7);
    EXPECT_UNTOUCHED(k1, old, unit);
    EXPECT_UNTOUCHED(k1, old, scale);
}

TEST_F(DatabaseLookup, RefusedDefinitionsWriteNoMemberOfTheKind) {
    struct Case {
        const char *text; // nullptr: missing
        int rc;
        bool named; // description and status written
    };
    const Case cases[] = {
        {nullptr, J1939_ERR_XML_READ, false},
        {"", J1939_ERR_INVALID_FIELD, false},
        {"Only a name", J1939_ERR_INVALID_FIELD, false},
        {"Mystery,3,1,2,3,4,5,6,7", J1939_ERR_INVALID_FIELD, true},
        {"Speed,0,0.125,0,rpm", J1939_ERR_INVALID_FIELD, true},
        {"Speed,0,0.125,0,rpm,3,4,5", J1939_ERR_INVALID_FIELD, true},
        // 20 positions cannot stand among 25 fields
        {"A,0,1,0,kg,20,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20",
         J1939_ERR_INVALID_FIELD, true},
        {"Switch,1,4,2,6", J1939_ERR_INVALID_FIELD, true},
        {"Speed,2,3,0.125,0,rpm,0", J1939_ERR_INVALID_FIELD, true},
    };
    for (const Case &c : cases) {
        forget_all();
        if (c.text != nullptr) {
            put("PGN9", "SPN_8", c.text);
        }
        const parse_dbc old = stale();
        parse_dbc rec = old;
        const char *what = c.text != nullptr ? c.text : "(missing)";
        EXPECT_EQ(get_spn_details(9, 8, &rec), c.rc) << what;
        EXPECT_EQ(rec.spn_1, 8U);
        EXPECT_EQ(std::strcmp(rec.description, "old") != 0, c.named) << what;
        EXPECT_EQ(rec.status != old.status, c.named) << what;
        for (bool same : {untouched(rec, old, &rec.nbytes, sizeof rec.nbytes),
                          untouched(rec, old, &rec.scale, sizeof rec.scale),
                          untouched(rec, old, &rec.unit, sizeof rec.unit),
                          untouched(rec, old, &rec.pos, sizeof rec.pos),
                          untouched(rec, old, &rec.pos_byte, sizeof rec.pos_byte)}) {
            EXPECT_TRUE(same) << what;
        }
    }
}

TEST_F(DatabaseLookup, OversizedFieldsAreBoundedByTheRecord) {
    std::string text = "A,0,1,0,kilometres/hour,19";
    for (int i = 1; i <= 21; ++i) {
        text += "," + std::to_string(i); // positions 20 and 21 are fields 26 and 27
    }
    put("PGN9", "SPN_8", text);
    const parse_dbc old = stale();
    parse_dbc rec = old;
    ASSERT_EQ(get_spn_details(9, 8, &rec), 0);
    EXPECT_STREQ(rec.unit, "kilometre");
    EXPECT_EQ(rec.nbytes, 19);
    EXPECT_EQ(rec.pos[18], 19);
    EXPECT_EQ(rec.pos[19], old.pos[19]);
}

TEST_F(DatabaseLookup, StateTextsClearTheWholeBufferOrLeaveItAlone) {
    put("PGN65265", "SPN_598_1", "Clutch pedal depressed");
    char st[256];
    std::memset(st, 'x', sizeof st);
    EXPECT_EQ(read_bit_data(65265, 598, 1, 0, st), J1939_ERR_XML_READ);
    EXPECT_EQ(read_bit_data(0, 598, 1, 2, st), J1939_ERR_XML_READ);
    EXPECT_EQ(read_bit_data(65265, 0, 1, 2, st), J1939_ERR_XML_READ);
    EXPECT_TRUE(calls().empty()) << "zero arguments are refused before any lookup";
    EXPECT_EQ(read_bit_data(65265, 598, 2, 2, st), J1939_ERR_XML_READ);
    EXPECT_EQ(std::count(st, st + sizeof st, 'x'), 256);

    ASSERT_EQ(read_bit_data(65265, 598, 1, 2, st), 0);
    EXPECT_STREQ(st, "Clutch pedal depressed");
    EXPECT_EQ(std::count(st, st + sizeof st, '\0'), 256 - 22);
}

TEST_F(DatabaseLookup, ServiceComponentsFoundMissingAndZero) {
    put("SERVICE_COMPONENET", "SC_ID_7", "Axle oil");
    char text[120];
    EXPECT_EQ(get_service_component(7, text), 0);
    EXPECT_STREQ(text, "Axle oil");
    g_db.missing_result = 55;
    EXPECT_EQ(get_service_component(8, text), 55);
    EXPECT_STREQ(text, "Not defined");
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(get_service_component(0, text), J1939_ERR_XML_READ);
    EXPECT_EQ(std::count(text, text + sizeof text, 'x'), 120);
    EXPECT_EQ(calls().size(), 2U) << "id 0 is refused before any lookup";
}

// ---- splitting is the caller's own -----------------------------------------------------

TEST_F(DatabaseLookup, LeavesTheHostsOwnStrtokAlone) {
    // Splitting with strtok would overwrite the position of a host that is
    // itself in the middle of a strtok loop.
    put("PGN1", "SPN_1", "First,0,0.5,1,A,3,1,2,3");
    char host_text[] = "a,b,c";
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the test's own single thread
    ASSERT_STREQ(std::strtok(host_text, ","), "a");
    parse_dbc rec{};
    ASSERT_EQ(get_spn_details(1, 1, &rec), 0);
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    EXPECT_STREQ(std::strtok(nullptr, ","), "b");
}

TEST_F(DatabaseLookup, ConcurrentCallsSplitTheirOwnTexts) {
    put("PGN1", "SPN_1", "First,0,0.5,1,A,3,1,2,3");
    put("PGN1", "SPN_2", "Second,2,7,0.25,-3,B,9,11");
    std::vector<std::thread> threads;
    threads.reserve(4);
    std::vector<int> faults(4, 0);
    for (size_t t = 0; t < 4; ++t) {
        threads.emplace_back([t, &faults] {
            for (int i = 0; i < 300; ++i) {
                parse_dbc rec{};
                const bool ok = t % 2 == 0
                                    ? get_spn_details(1, 1, &rec) == 0 && rec.pos[2] == 3 &&
                                          std::strcmp(rec.description, "First") == 0
                                    : get_spn_details(1, 2, &rec) == 0 && rec.end_bit == 11 &&
                                          std::strcmp(rec.unit, "B") == 0;
                faults[t] += ok ? 0 : 1;
            }
        });
    }
    for (std::thread &th : threads) {
        th.join();
    }
    EXPECT_EQ(faults, std::vector<int>(4, 0));
}

} // namespace
