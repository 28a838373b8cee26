// SPDX-License-Identifier: MIT
// get_spn_details() through vehcan-db's indexed reader against a naive reader
// that parses the whole file on every lookup, on the example database and on
// a generated one of 5,000 SPNs. Also reports what the index costs in memory.
//
//   build/bench/database_bench [--benchmark_min_time=0.2]
#include "j1939_stack.h"
#include "libxml2.h"
#include "vehcan_db.h"

#include <benchmark/benchmark.h>
#include <pugixml.hpp>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// ---- the two readers behind get_xml_content ---------------------------------------

size_t buffer_size(const char *subnode) {
    return std::strcmp(subnode, "SPN_LIST") == 0 ? VEHCAN_DB_SPN_LIST_SIZE : VEHCAN_DB_VALUE_SIZE;
}

std::string g_path; // the database both readers read

int naive_lookup(const char *node, const char *subnode, char *out) {
    pugi::xml_document doc;
    if (!doc.load_file(g_path.c_str())) {
        return VEHCAN_DB_ERR_XML;
    }
    const pugi::xml_node sub = doc.document_element().child(node).child(subnode);
    if (sub.empty()) {
        return VEHCAN_DB_ERR_NO_SUBNODE;
    }
    const char *text = sub.text().get();
    const size_t n = std::strlen(text);
    if (n >= buffer_size(subnode)) {
        return VEHCAN_DB_ERR_TOO_LONG;
    }
    std::memcpy(out, text, n + 1);
    return 0;
}

bool g_naive = false;

} // namespace

extern "C" int get_xml_content(char *file, char *node, char *subnode, char *out) {
    if (g_naive) {
        return naive_lookup(node, subnode, out);
    }
    return vehcan_db_get(file, node, subnode, out, buffer_size(subnode));
}

namespace {

// ---- databases -----------------------------------------------------------------------

using Key = std::pair<unsigned long, unsigned long>; // PGN, SPN

std::string g_sample = VEHCAN_SOURCE_DIR "/data/sample.xml";
std::string g_generated;
std::vector<Key> g_sample_keys;
std::vector<Key> g_generated_keys;

// 500 PGNs of 10 SPNs each, every third a state field with four named states.
// Returns "" when no file could be made.
std::string generate_database(std::vector<Key> &keys) {
    char path[] = "/tmp/vehcan-db-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        return "";
    }
    close(fd);
    std::ofstream out(path);
    out << "<?xml version=\"1.0\"?>\n<vehcan_db>\n";
    unsigned long spn = 100000;
    for (unsigned long pgn = 65000; pgn < 65500; ++pgn) {
        out << " <PGN" << pgn << ">\n  <SPN_LIST>10";
        for (unsigned long i = 0; i < 10; ++i) {
            out << ',' << spn + i;
        }
        out << "</SPN_LIST>\n";
        for (unsigned long i = 0; i < 10; ++i, ++spn) {
            keys.emplace_back(pgn, spn);
            if (spn % 3 == 0) {
                out << "  <SPN_" << spn << ">Generated state field " << spn << ",1," << i % 8 + 1
                    << ",2,0,1</SPN_" << spn << ">\n";
                for (int s = 0; s < 4; ++s) {
                    out << "  <SPN_" << spn << '_' << s << ">State " << s << "</SPN_" << spn << '_'
                        << s << ">\n";
                }
            } else {
                out << "  <SPN_" << spn << ">Generated value " << spn << ",0,0.125,-40,unit,2,"
                    << i % 7 + 1 << ',' << i % 7 + 2 << "</SPN_" << spn << ">\n";
            }
        }
        out << " </PGN" << pgn << ">\n";
    }
    out << "</vehcan_db>\n";
    return path;
}

std::vector<Key> sample_keys() {
    std::vector<Key> keys;
    const unsigned long pgns[] = {61443, 61444, 64777, 65132, 65216, 65217, 65253, 65257,
                                  65258, 65262, 65265, 65276, 65226, 65260, 65131};
    vehcan_db_set_path(g_sample.c_str());
    for (unsigned long pgn : pgns) {
        unsigned long spns[64] = {};
        int count = 0;
        if (get_spn_no(pgn, &count) != 0 || count >= 64 || get_spn_numbers(pgn, spns, 0) != 0) {
            continue;
        }
        for (int i = 1; i <= count; ++i) {
            keys.emplace_back(pgn, spns[i]);
        }
    }
    return keys;
}

// ---- benchmarks ----------------------------------------------------------------------

void run_lookups(benchmark::State &state, const std::string &path, std::vector<Key> keys,
                 bool naive) {
    std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
    g_path = path;
    g_naive = naive;
    vehcan_db_set_path(path.c_str());
    size_t next = 0;
    int failures = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
        parse_dbc rec{};
        const Key &k = keys[next];
        next = next + 1 == keys.size() ? 0 : next + 1;
        failures += get_spn_details(k.first, k.second, &rec) != 0 ? 1 : 0;
        benchmark::DoNotOptimize(rec.status);
    }
    if (failures != 0) {
        state.SkipWithError("a lookup failed");
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Indexed_Sample(benchmark::State &s) {
    run_lookups(s, g_sample, g_sample_keys, false);
}
void BM_Naive_Sample(benchmark::State &s) {
    run_lookups(s, g_sample, g_sample_keys, true);
}
void BM_Indexed_5000Spns(benchmark::State &s) {
    run_lookups(s, g_generated, g_generated_keys, false);
}
void BM_Naive_5000Spns(benchmark::State &s) {
    run_lookups(s, g_generated, g_generated_keys, true);
}

BENCHMARK(BM_Indexed_Sample);
BENCHMARK(BM_Naive_Sample);
BENCHMARK(BM_Indexed_5000Spns);
BENCHMARK(BM_Naive_5000Spns);

size_t heap_in_use() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

// Heap bytes that the reader holds for the index of `path`, measured from a
// state without any index.
long index_bytes(const std::string &path, size_t empty) {
    char out[VEHCAN_DB_SPN_LIST_SIZE];
    vehcan_db_get(path.c_str(), "PGN0", "SPN_LIST", out, sizeof out);
    return static_cast<long>(heap_in_use()) - static_cast<long>(empty);
}

// Heap bytes of the parsed document that the naive reader builds on every call.
long document_bytes(const std::string &path) {
    const size_t before = heap_in_use();
    pugi::xml_document doc;
    doc.load_file(path.c_str());
    return static_cast<long>(heap_in_use()) - static_cast<long>(before);
}

} // namespace

int main(int argc, char **argv) {
    g_generated = generate_database(g_generated_keys);
    if (g_generated.empty()) {
        std::perror("database_bench: cannot make the generated database");
        return 1;
    }
    vehcan_db_set_path(nullptr); // brings the reader's state into being
    const size_t empty = heap_in_use();
    // Each index replaces the one before: both are measured from no index.
    const long sample_index = index_bytes(g_sample, empty);
    const long generated_index = index_bytes(g_generated, empty);
    g_sample_keys = sample_keys();
    std::printf("example database: %zu SPNs, index %ld bytes, naive parse %ld bytes per call\n",
                g_sample_keys.size(), sample_index, document_bytes(g_sample));
    std::printf("generated database: %zu SPNs, index %ld bytes, naive parse %ld bytes per call\n",
                g_generated_keys.size(), generated_index, document_bytes(g_generated));

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    (void)std::remove(g_generated.c_str());
    return 0;
}
