// SPDX-License-Identifier: MIT
// The compact format's fixtures (tests/fleet_format/): each payload decodes
// to the JSON lines beside it, and the encoder still makes the same
// payloads from examples/truck.log. The fleet's own decoder is tested
// against the same files: they are the contract between the two sides.
//
// To make them again after a deliberate change of the encoder:
//   VEHCAN_FIXTURES_WRITE=1 build/tests/fleet_unit_test --gtest_filter='FleetFormat.*'
#include "compact_codec.h"
#include "compact_decoder.h"
#include "vehcan_uplink.pb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using vehcan::cli::CompactDecoder;
using vehcan::cli::FormatError;

const fs::path kFixtures = fs::path(VEHCAN_SOURCE_DIR) / "tests" / "fleet_format";

std::string read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<fs::path> payloads_in(const fs::path &dir) {
    std::vector<fs::path> files;
    for (const auto &e : fs::directory_iterator(dir)) {
        if (e.path().extension() == ".pb") {
            files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool writing() {
    const char *w = std::getenv("VEHCAN_FIXTURES_WRITE"); // NOLINT(concurrency-mt-unsafe)
    return w != nullptr && std::string(w) == "1";
}

// The payloads that examples/truck.log makes with the fixtures' campaign,
// written by the tool itself.
fs::path make_payloads() {
    fs::path dir = fs::path(VEHCAN_BINARY_DIR) / "fleet_format_payloads";
    fs::remove_all(dir);
    const std::string command = std::string(VEHCAN_TOOL_EMULATOR) + " " + VEHCAN_BINARY_DIR +
                                "/tools/cli/vehcan replay " + VEHCAN_SOURCE_DIR +
                                "/examples/truck.log --db " + VEHCAN_SOURCE_DIR +
                                "/data/sample.xml --config " + kFixtures.string() +
                                "/campaign.toml --vehicle TRUCK --uplink-cost --uplink-save " +
                                dir.string() + " > /dev/null";
    // NOLINTNEXTLINE(cert-env33-c,concurrency-mt-unsafe): the test runs the tool, alone
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return dir;
}

TEST(FleetFormat, EachFixtureDecodesToItsLines) {
    const std::vector<fs::path> files = payloads_in(kFixtures);
    ASSERT_GE(files.size(), 4U) << "no fixtures in " << kFixtures;
    CompactDecoder decoder;
    size_t batches = 0;
    for (const fs::path &file : files) {
        const std::vector<nlohmann::ordered_json> lines = decoder.feed(read_file(file));
        fs::path expected = file;
        expected.replace_extension(".jsonl");
        if (file.filename().string().find("birth") != std::string::npos) {
            EXPECT_TRUE(lines.empty()) << file;
            continue;
        }
        ++batches;
        if (writing()) {
            std::ofstream out(expected);
            for (const auto &j : lines) {
                out << j.dump() << "\n";
            }
            continue;
        }
        std::istringstream want(read_file(expected));
        std::string line;
        size_t i = 0;
        while (std::getline(want, line)) {
            ASSERT_LT(i, lines.size()) << file << ": fewer lines than " << expected;
            // (compared as JSON values: the keys' order is the format page's, but a
            // reader need not keep it)
            EXPECT_EQ(nlohmann::json::parse(lines[i].dump()), nlohmann::json::parse(line))
                << file << " line " << i + 1;
            ++i;
        }
        EXPECT_EQ(i, lines.size()) << file << ": more lines than " << expected;
    }
    EXPECT_GE(batches, 3U);
}

// The encoder makes the same bytes from the same capture: the fixtures are
// what vehcan sends, not a hand-made sample.
TEST(FleetFormat, TheEncoderStillMakesTheFixtures) {
    const fs::path made = make_payloads();
    std::vector<fs::path> fresh = payloads_in(made);
    std::vector<fs::path> kept = payloads_in(kFixtures);
    if (writing()) {
        for (const fs::path &f : kept) {
            if (f.filename().string().find("historical") == std::string::npos) {
                fs::remove(f);
            }
        }
        for (const fs::path &f : fresh) {
            fs::copy_file(f, kFixtures / f.filename(), fs::copy_options::overwrite_existing);
        }
        // One batch again as it goes out from the spool after an outage.
        const fs::path last = fresh.back();
        std::ofstream(kFixtures / "9999-historical-batch.pb", std::ios::binary)
            << vehcan::cli::mark_historical(read_file(last), 19);
        return;
    }
    kept.erase(std::remove_if(kept.begin(), kept.end(),
                              [](const fs::path &f) {
                                  return f.filename().string().find("historical") !=
                                         std::string::npos;
                              }),
               kept.end());
    ASSERT_EQ(fresh.size(), kept.size());
    for (size_t i = 0; i < fresh.size(); ++i) {
        EXPECT_EQ(fresh[i].filename(), kept[i].filename());
        // The births carry the tool's version and time of making: compared
        // as decoded lines through the batches above; the batches byte for byte.
        if (fresh[i].filename().string().find("batch") != std::string::npos) {
            EXPECT_EQ(read_file(fresh[i]), read_file(kept[i])) << fresh[i].filename();
        }
    }
}

// What the format page promises of every birth: one run id for the run
// (the first birth's id), a scale for every number, texts in UTF-8.
TEST(FleetFormat, BirthsNameTheirRunAndScaleEveryNumber) {
    std::optional<uint64_t> run;
    size_t births = 0;
    for (const fs::path &file : payloads_in(kFixtures)) {
        vehcan::uplink::Payload p;
        ASSERT_TRUE(p.ParseFromString(vehcan::cli::unframe_payload(read_file(file)))) << file;
        if (!p.has_birth()) {
            continue;
        }
        ++births;
        const auto &b = p.birth();
        if (!run) {
            run = b.birth_id();
        }
        EXPECT_EQ(b.run_id(), *run) << file;
        for (const auto &s : b.signals()) {
            if (s.kind() == vehcan::uplink::SIGNAL_KIND_NUMBER) {
                EXPECT_NE(s.scale(), 0) << file << ": " << s.name();
            }
        }
    }
    EXPECT_GE(births, 2U);
}

TEST(FleetFormat, TextsOffTheBusBecomeValidUtf8) {
    using vehcan::cli::valid_utf8;
    EXPECT_EQ(valid_utf8("1HTMKAAN0CH123456"), "1HTMKAAN0CH123456");
    EXPECT_EQ(valid_utf8("caf\xC3\xA9"), "caf\xC3\xA9"); // UTF-8 stays
    EXPECT_EQ(valid_utf8("ID\xFF\xFE"
                         "7"),
              "ID\uFFFD\uFFFD"
              "7"); // bytes that are not
    EXPECT_EQ(valid_utf8(std::string("A\0B", 3)), std::string("A\0B", 3));
    // A text set through the schema's string field survives the standard
    // parser (which refuses a string that is not UTF-8).
    vehcan::uplink::SignalSeries s;
    s.add_texts(valid_utf8("DRV\x80\x81"));
    vehcan::uplink::SignalSeries back;
    ASSERT_TRUE(back.ParseFromString(s.SerializeAsString()));
    EXPECT_EQ(back.texts(0), "DRV\uFFFD\uFFFD");
}

TEST(FleetFormat, RefusesWhatIsNotItsFormat) {
    CompactDecoder decoder;
    EXPECT_THROW(decoder.feed("not a protobuf at all"), FormatError);
    // A batch whose birth was never seen cannot be read.
    const std::vector<fs::path> files = payloads_in(kFixtures);
    ASSERT_FALSE(files.empty());
    const auto batch = std::find_if(files.begin(), files.end(), [](const fs::path &f) {
        return f.filename().string().find("batch") != std::string::npos;
    });
    ASSERT_NE(batch, files.end());
    EXPECT_THROW(decoder.feed(read_file(*batch)), FormatError);
    // A frame of another version.
    std::string plain = vehcan::cli::unframe_payload(read_file(files.front()));
    std::string framed = vehcan::cli::frame_payload(plain, 3);
    EXPECT_EQ(vehcan::cli::unframe_payload(framed), plain);
    ASSERT_GE(framed.size(), 2U);
    ASSERT_EQ(framed[0], '\x08'); // field 1 (format), varint
    framed[1] = '\x02';
    EXPECT_THROW(vehcan::cli::unframe_payload(framed), FormatError);
    // Stored as it is, the body must be body_size bytes.
    vehcan::uplink::Envelope e;
    ASSERT_TRUE(e.ParseFromString(vehcan::cli::frame_payload(plain, 0)));
    EXPECT_EQ(e.compression(), vehcan::uplink::COMPRESSION_NONE);
    EXPECT_EQ(vehcan::cli::unframe_payload(e.SerializeAsString()), plain);
    e.set_body_size(e.body_size() + 1);
    EXPECT_THROW(vehcan::cli::unframe_payload(e.SerializeAsString()), FormatError);
}

} // namespace
