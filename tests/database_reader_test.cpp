// SPDX-License-Identifier: MIT
// vehcan-db, the XML reader behind get_xml_content: real files, the example
// database, changes to the file and lookups from several threads.
#include "j1939_stack.h"
#include "libxml2.h"
#include "vehcan_db.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Sets or (nullptr) removes VEHCAN_DB. Only while no other thread of the test runs.
void point_vehcan_db_at(const char *path) {
    if (path == nullptr) {
        unsetenv("VEHCAN_DB"); // NOLINT(concurrency-mt-unsafe)
    } else {
        setenv("VEHCAN_DB", path, 1); // NOLINT(concurrency-mt-unsafe)
    }
}

// The SPN list of a PGN as libvehcan's lookup sees it.
std::string list_of(unsigned long pgn) {
    char list[1000] = {};
    const int rc = read_spn_list_content(pgn, list);
    return rc == 0 ? list : "error " + std::to_string(rc);
}

std::string last_error() {
    return vehcan_db_last_error();
}

class DatabaseReader : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vehcan-db-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        point_vehcan_db_at(nullptr);
        vehcan_db_set_path(nullptr);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Writes name in place (same inode) with the nodes given inside a root element.
    std::string write(const std::string &name, const std::string &nodes) const {
        std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::trunc) << "<?xml version=\"1.0\"?>\n<db>\n"
                                             << nodes << "</db>\n";
        return path;
    }
    // Replaces name as deployment scripts do: a new file renamed over it.
    std::string replace(const std::string &name, const std::string &nodes) const {
        std::string path = (dir_ / name).string();
        fs::rename(write(name + ".new", nodes), path);
        return path;
    }

    fs::path dir_;
};

// ---- the example database ---------------------------------------------------------------

TEST_F(DatabaseReader, SampleDefinitionsReachParseDbcThroughLibvehcan) {
    ASSERT_EQ(vehcan_db_set_path(VEHCAN_SOURCE_DIR "/data/sample.xml"), VEHCAN_DB_OK);
    parse_dbc rec{};
    ASSERT_EQ(get_spn_details(61444, 190, &rec), 0) << last_error();
    EXPECT_STREQ(rec.description, "Engine Speed");
    EXPECT_EQ(rec.status, 0);
    EXPECT_EQ(rec.scale, 0.125);
    EXPECT_EQ(rec.offset, 0.0);
    EXPECT_STREQ(rec.unit, "rpm");
    EXPECT_EQ(rec.nbytes, 2);
    EXPECT_EQ(rec.pos[0], 4);
    EXPECT_EQ(rec.pos[1], 5);
    char text[256] = {};
    ASSERT_EQ(get_service_component(7, text), 0);
    EXPECT_STREQ(text, "Axle oil");

    // Every SPN listed is defined; the status fields name their states.
    for (unsigned long pgn :
         {61443UL, 61444UL, 64777UL, 65132UL, 65216UL, 65217UL, 65253UL, 65257UL, 65258UL, 65262UL,
          65265UL, 65276UL, 65226UL, 65260UL, 65131UL}) {
        int count = 0;
        ASSERT_EQ(get_spn_no(pgn, &count), 0) << pgn << ": " << last_error();
        std::vector<unsigned long> spns(static_cast<size_t>(count) + 1);
        ASSERT_EQ(get_spn_numbers(pgn, spns.data(), 0), 0);
        for (size_t i = 1; i < spns.size(); ++i) {
            EXPECT_EQ(get_spn_details(pgn, spns[i], &rec), 0) << pgn << "/" << spns[i];
            EXPECT_TRUE(rec.status != 1 || rec.end_bit - rec.start_bit + 1 == rec.n_bits);
        }
    }
    struct State {
        unsigned long pgn, spn;
        long value;
        const char *text;
    };
    for (const State &s :
         {State{65265, 598, 1, "Clutch pedal depressed"},
          State{65265, 597, 0, "Brake pedal released"},
          State{65265, 595, 1, "Cruise control switched on"}, State{65265, 976, 5, "Set"},
          State{65132, 1612, 3, "Drive - behind wheel"},
          State{65132, 1616, 1, "Driver 2 card present"},
          State{65132, 1617, 2, "Limit #2 - 4 1/2 h reached"}}) {
        EXPECT_EQ(read_bit_data(s.pgn, s.spn, s.value, 2, text), 0) << s.spn;
        EXPECT_STREQ(text, s.text);
    }
}

// ---- which file, which result -----------------------------------------------------------

TEST_F(DatabaseReader, SetPathBeatsVehcanDbWhichBeatsTheNamedFile) {
    const std::string a = write("a.xml", "<PGN1><SPN_LIST>1,10</SPN_LIST></PGN1>\n");
    const std::string b = write("b.xml", "<PGN1><SPN_LIST>1,20</SPN_LIST></PGN1>\n");
    const std::string named = write("named.xml", "<PGN1><SPN_LIST>1,30</SPN_LIST></PGN1>\n");
    char out[32] = {};
    EXPECT_EQ(list_of(1), "error " + std::to_string(VEHCAN_DB_ERR_FILE)) << "/sample.xml";
    point_vehcan_db_at(a.c_str());
    EXPECT_EQ(list_of(1), "1,10");
    ASSERT_EQ(vehcan_db_set_path(b.c_str()), VEHCAN_DB_OK);
    EXPECT_EQ(list_of(1), "1,20");
    ASSERT_EQ(vehcan_db_set_path(""), VEHCAN_DB_OK);
    EXPECT_EQ(list_of(1), "1,10");
    point_vehcan_db_at("");
    ASSERT_EQ(vehcan_db_get(named.c_str(), "PGN1", "SPN_LIST", out, sizeof out), VEHCAN_DB_OK);
    EXPECT_STREQ(out, "1,30");
}

TEST_F(DatabaseReader, EachFailureHasItsOwnResultAndReason) {
    const std::string good = write("good.xml", "<PGN7>\n<SPN_LIST>1,5</SPN_LIST>\n</PGN7>\n");
    const std::string bad = write("bad.xml", "<PGN7>\n<SPN_LIST>1,5</SPN_LST>\n</PGN7>\n");
    const std::string missing = (dir_ / "missing.xml").string();
    struct Case {
        const std::string &file;
        const char *node, *subnode;
        size_t size;
        int rc;
        std::string reason;
    };
    const Case cases[] = {
        {missing, "PGN7", "SPN_LIST", 8, VEHCAN_DB_ERR_FILE, missing + ": cannot read: "},
        {bad, "PGN7", "SPN_LIST", 8, VEHCAN_DB_ERR_XML, bad + ":4: "},
        {good, "PGN8", "SPN_LIST", 8, VEHCAN_DB_ERR_NO_NODE, good + ": no node PGN8"},
        {good, "PGN7", "SPN_5", 8, VEHCAN_DB_ERR_NO_SUBNODE,
         good + ":3: node PGN7 has no subnode SPN_5"},
        {good, "PGN7", "SPN_LIST", 3, VEHCAN_DB_ERR_TOO_LONG,
         good + ":4: PGN7/SPN_LIST holds 3 bytes, more than a buffer of 3 takes"},
        {good, "PGN7", nullptr, 8, VEHCAN_DB_ERR_ARGUMENT, "vehcan-db: "},
        {good, "PGN7", "SPN_LIST", 0, VEHCAN_DB_ERR_ARGUMENT, "vehcan-db: "},
    };
    for (const Case &c : cases) {
        char out[8];
        std::memset(out, 'x', sizeof out);
        EXPECT_EQ(vehcan_db_get(c.file.c_str(), c.node, c.subnode, out, c.size), c.rc) << c.reason;
        EXPECT_EQ(last_error().rfind(c.reason, 0), 0U) << last_error();
        EXPECT_EQ(std::count(out, out + sizeof out, 'x'), 8) << "failures leave the buffer alone";
    }
    char out[8];
    ASSERT_EQ(vehcan_db_get(good.c_str(), "PGN7", "SPN_LIST", out, sizeof out), VEHCAN_DB_OK);
    EXPECT_STREQ(out, "1,5");
    EXPECT_EQ(last_error(), "");

    // libvehcan hands the result on where it promises to.
    point_vehcan_db_at(good.c_str());
    int count = -1;
    EXPECT_EQ(get_spn_no(8, &count), VEHCAN_DB_ERR_NO_NODE);
    char component[120];
    EXPECT_EQ(get_service_component(3, component), VEHCAN_DB_ERR_NO_NODE);
    EXPECT_EQ(count, -1);
}

TEST_F(DatabaseReader, ValuesFitLibvehcansBuffersOrAreRefused) {
    const std::string list999 = "1," + std::string(997, '7');
    const std::string text119(119, 'd');
    point_vehcan_db_at(write("long.xml", "<PGN1><SPN_LIST>" + list999 + "</SPN_LIST><SPN_2>" +
                                             text119 + "</SPN_2><SPN_3>" + text119 +
                                             "e</SPN_3></PGN1>\n<PGN2><SPN_LIST>" + list999 +
                                             "0</SPN_LIST></PGN2>\n")
                           .c_str());
    EXPECT_EQ(list_of(1), list999);
    EXPECT_EQ(list_of(2), "error " + std::to_string(VEHCAN_DB_ERR_TOO_LONG));
    char text[120] = {};
    EXPECT_EQ(read_spn_details(1, 2, text), VEHCAN_DB_OK);
    EXPECT_EQ(text, text119);
    EXPECT_EQ(read_spn_details(1, 3, text), VEHCAN_DB_ERR_TOO_LONG);
}

TEST_F(DatabaseReader, ValuesAreTrimmedAndTheFirstOfTwinsCounts) {
    const std::string path =
        write("format.xml", "<!-- c -->\n<PGN1>\n  <SPN_LIST>\n    2,190,\n    513\n  </SPN_LIST>\n"
                            "  <SPN_LIST>9,9</SPN_LIST>\n"
                            "  <SPN_190><![CDATA[Speed & more,0,1,0,%,1,1]]></SPN_190>\n</PGN1>\n"
                            "<PGN1><SPN_513>second node</SPN_513></PGN1>\n");
    char out[120];
    ASSERT_EQ(vehcan_db_get(path.c_str(), "PGN1", "SPN_LIST", out, sizeof out), VEHCAN_DB_OK);
    EXPECT_STREQ(out, "2,190,\n    513");
    ASSERT_EQ(vehcan_db_get(path.c_str(), "PGN1", "SPN_190", out, sizeof out), VEHCAN_DB_OK);
    EXPECT_STREQ(out, "Speed & more,0,1,0,%,1,1");
    EXPECT_EQ(vehcan_db_get(path.c_str(), "PGN1", "SPN_513", out, sizeof out),
              VEHCAN_DB_ERR_NO_SUBNODE);
}

// ---- changes to the file ------------------------------------------------------------------

TEST_F(DatabaseReader, FileChangedWhileInUseIsReadAgain) {
    const std::string path = replace("db.xml", "<PGN1><SPN_LIST>1,10</SPN_LIST></PGN1>\n");
    ASSERT_EQ(vehcan_db_set_path(path.c_str()), VEHCAN_DB_OK);
    EXPECT_EQ(list_of(1), "1,10");
    replace("db.xml", "<PGN1><SPN_LIST>1,20</SPN_LIST></PGN1>\n");
    EXPECT_EQ(list_of(1), "1,20") << "renamed over, same size";
    write("db.xml", "<PGN1><SPN_LIST>1,30</SPN_LIST></PGN1>\n");
    const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 5}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_EQ(list_of(1), "1,30") << "rewritten in place, same size, only the time tells";
    write("db.xml", "<PGN1><SPN_LIST>1,40</SPN_LIST>\n");
    EXPECT_EQ(list_of(1), "error " + std::to_string(VEHCAN_DB_ERR_XML));
    write("db.xml", "<PGN1><SPN_LIST>1,50,60</SPN_LIST></PGN1>\n");
    EXPECT_EQ(list_of(1), "1,50,60");
    fs::remove(path);
    EXPECT_EQ(list_of(1), "error " + std::to_string(VEHCAN_DB_ERR_FILE));
}

TEST_F(DatabaseReader, ConcurrentLookupsWhileTheFileIsReplaced) {
    const std::string v1 = "<PGN61444><SPN_LIST>1,190</SPN_LIST>"
                           "<SPN_190>Engine Speed,0,0.125,0,rpm,2,4,5</SPN_190></PGN61444>\n";
    const std::string v2 = "<PGN61444><SPN_LIST>2,190,513</SPN_LIST>"
                           "<SPN_190>Speed,2,3,0.5,-1,km/h,0,15</SPN_190></PGN61444>\n";
    point_vehcan_db_at(replace("db.xml", v1).c_str());
    std::atomic<bool> stop{false};
    std::atomic<int> faults{0}, lookups{0};
    std::vector<std::thread> readers;
    readers.reserve(3);
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                parse_dbc rec{};
                int count = 0;
                const bool ok = get_spn_details(61444, 190, &rec) == 0 &&
                                get_spn_no(61444, &count) == 0 &&
                                ((rec.status == 0 && std::strcmp(rec.unit, "rpm") == 0) ||
                                 (rec.status == 2 && std::strcmp(rec.unit, "km/h") == 0)) &&
                                (count == 1 || count == 2);
                faults += ok ? 0 : 1;
                ++lookups;
            }
        });
    }
    for (int i = 0; i < 60; ++i) {
        replace("db.xml", i % 2 == 0 ? v2 : v1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop = true;
    for (std::thread &th : readers) {
        th.join();
    }
    EXPECT_EQ(faults.load(), 0);
    EXPECT_GT(lookups.load(), 60);
}

} // namespace
