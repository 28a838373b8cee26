// SPDX-License-Identifier: MIT
// Fuzzes the parameter database lookups of libvehcan over fuzzed database
// contents: this program supplies get_xml_content(), and the fuzz input is
// the list of texts it answers with, one per distinct key in the order the
// keys are asked for (so that get_spn_no() and get_spn_numbers() see the same
// list), or "not found".
//
// The lookup writes at most the buffer size that libxml2.h promises the
// library passes (1000 bytes for "SPN_LIST", 120 otherwise); a smaller
// buffer in the library is an AddressSanitizer report. Checked: documented
// results only; text outputs NUL-terminated within their sizes; a definition
// stores at most 100 byte positions.
#include "j1939_stack.h"
#include "libxml2.h"

#include "byte_cursor.h"
#include "invariant.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

ByteCursor *g_input = nullptr;
std::map<std::string, std::optional<std::string>> g_answers; // key -> text, or not found

bool terminated(const char *text, size_t size) {
    return std::memchr(text, '\0', size) != nullptr;
}

} // namespace

extern "C" int get_xml_content(char *file, char *node, char *subnode, char *out) {
    check(std::strcmp(file, "/sample.xml") == 0, "file name");
    check(terminated(node, 64) && terminated(subnode, 64), "key not terminated");
    const std::string key = std::string(node) + '/' + subnode;
    auto found = g_answers.find(key);
    if (found == g_answers.end()) {
        std::optional<std::string> answer;
        if (g_input->u8() % 2 == 1) {
            answer = g_input->text16();
        }
        found = g_answers.emplace(key, std::move(answer)).first;
    }
    if (!found->second) {
        return 1;
    }
    const size_t room = std::strcmp(subnode, "SPN_LIST") == 0 ? 1000 : 120;
    const std::string &text = *found->second;
    const size_t n = std::min(text.size(), room - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Input: PGN and SPN (four bytes each); then, interleaved as the lookups
    // happen, one answer per new key (a byte, odd: found, then a two-byte
    // length and the text) and the arguments of the later calls.
    ByteCursor in(data, size);
    g_input = &in;
    g_answers.clear();
    const unsigned long pgn = in.u32();
    const unsigned long spn = in.u32();

    int count = -1;
    const int rc_no = get_spn_no(pgn, &count);
    if (rc_no == 0 && count >= 0 && count <= 2000) {
        std::vector<unsigned long> spns(static_cast<size_t>(count) + 1);
        const int rc = get_spn_numbers(pgn, spns.data(), count);
        check(rc == 0 || rc == J1939_ERR_XML_READ, "SPN list result");
        check(rc != 0 || spns[0] == static_cast<unsigned long>(count), "SPN count");
    }

    parse_dbc dbc{};
    const int rc = get_spn_details(pgn, spn, &dbc);
    check(rc == 0 || rc == J1939_ERR_XML_READ || rc == J1939_ERR_INVALID_FIELD, "details result");
    check(dbc.spn_1 == spn, "spn_1");
    if (rc == 0) {
        check(dbc.status >= 0 && dbc.status <= 2, "definition kind");
        check(terminated(dbc.description, sizeof dbc.description), "description");
        check(terminated(dbc.unit, sizeof dbc.unit) || dbc.status == 1, "unit");
        check(dbc.status != 0 || dbc.nbytes <= 100, "byte positions");
    }

    std::vector<char> state(256, 'x');
    const long value = static_cast<int16_t>(in.u16());
    const int bits = in.u8() % 33;
    const int rc_bit = read_bit_data(pgn, spn, value, bits, state.data());
    check(rc_bit == 0 || rc_bit == J1939_ERR_XML_READ, "state text result");
    check(rc_bit != 0 || terminated(state.data(), state.size()), "state text");

    std::vector<char> component(120, 'x');
    const auto id = static_cast<int>(in.u32());
    const int rc_sc = get_service_component(id, component.data());
    check(id != 0 || (rc_sc == J1939_ERR_XML_READ && component[0] == 'x'), "component id 0");
    check(id == 0 || terminated(component.data(), component.size()), "component text");

    g_input = nullptr;
    return 0;
}
