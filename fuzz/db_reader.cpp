// SPDX-License-Identifier: MIT
// Fuzzes the vehcan-db reader over fuzzed XML files. Each input is a lookup
// key and an output size followed by the file's bytes; the file is written
// afresh (a new inode, so the reader must see the change) and looked up with
// the fuzzed key and with a few keys of the usual layout.
//
// Checked: documented results only; a found value fits its buffer with its
// NUL and has no white space around it; a failed lookup leaves the buffer
// exactly as it was and tells why, a successful one clears the reason.
#include "vehcan_db.h"

#include "byte_cursor.h"
#include "invariant.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string g_path;
std::string g_scratch;

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void write_file(const std::string &content) {
    FILE *f = std::fopen(g_scratch.c_str(), "wb");
    check(f != nullptr, "cannot write the scratch file");
    check(std::fwrite(content.data(), 1, content.size(), f) == content.size(), "short write");
    check(std::fclose(f) == 0, "close");
    check(std::rename(g_scratch.c_str(), g_path.c_str()) == 0, "rename");
}

void look_up(const char *node, const char *subnode, size_t size) {
    std::vector<char> out(size, '\x5A');
    const int rc = vehcan_db_get("/sample.xml", node, subnode, out.data(), size);
    const char *why = vehcan_db_last_error();
    if (rc == VEHCAN_DB_OK) {
        const char *end = static_cast<const char *>(std::memchr(out.data(), '\0', size));
        check(end != nullptr, "value not terminated within its buffer");
        const size_t n = static_cast<size_t>(end - out.data());
        check(n == 0 || (!is_blank(out[0]) && !is_blank(out[n - 1])), "value not trimmed");
        check(why[0] == '\0', "reason left after a success");
        return;
    }
    check(rc == VEHCAN_DB_ERR_FILE || rc == VEHCAN_DB_ERR_XML || rc == VEHCAN_DB_ERR_NO_NODE ||
              rc == VEHCAN_DB_ERR_NO_SUBNODE || rc == VEHCAN_DB_ERR_TOO_LONG ||
              rc == VEHCAN_DB_ERR_NO_MEMORY,
          "undocumented result");
    for (char c : out) {
        check(c == '\x5A', "buffer written by a failed lookup");
    }
    check(why[0] != '\0', "failure without a reason");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *dir = std::getenv("TMPDIR"); // NOLINT(concurrency-mt-unsafe): before any thread
    const std::string base = std::string(dir != nullptr ? dir : "/tmp") + "/vehcan-fuzz-db-" +
                             std::to_string(::getpid());
    g_path = base + ".xml";
    g_scratch = base + ".tmp";
    check(vehcan_db_set_path(g_path.c_str()) == VEHCAN_DB_OK, "set path");
    check(std::atexit([] {
              (void)std::remove(g_path.c_str());
              (void)std::remove(g_scratch.c_str());
          }) == 0,
          "atexit");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Input: node and subnode (a length byte and the text each), two bytes
    // of buffer size (mod 1000, plus 1), then the file.
    ByteCursor in(data, size);
    const std::string node = in.text8();
    const std::string subnode = in.text8();
    const size_t out_size = in.u16() % 1000 + 1;
    const std::vector<uint8_t> file = in.rest();
    write_file({file.begin(), file.end()});

    look_up(node.c_str(), subnode.c_str(), out_size);
    look_up("PGN61444", "SPN_LIST", 1000);
    look_up("PGN61444", "SPN_190", 120);
    look_up("SERVICE_COMPONENET", "SC_ID_7", 120);
    return 0;
}
