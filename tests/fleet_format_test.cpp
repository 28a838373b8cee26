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
}

} // namespace
