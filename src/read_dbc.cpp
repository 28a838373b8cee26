// SPDX-License-Identifier: MIT
// Parameter database lookups through get_xml_content, and DTC decoding.
#include "j1939_stack.h"
#include "libxml2.h"

#include <cstdio>
#include <cstring>

// The host process supplies the lookup. Referenced weakly so that the library
// still loads into a host that has none; every lookup then fails with
// J1939_ERR_XML_READ instead of the process dying at load or at the call.
#pragma weak get_xml_content

// ---- database keys ---------------------------------------------------------------

namespace {

// Sizes of the lookup's output buffers, as get_xml_content is told in libxml2.h.
constexpr size_t kSpnListSize = 1000;
constexpr size_t kValueSize = 120;

// Key buffers hold every 32-bit number ("PGN-2147483648" and
// "SPN_-2147483648_-2147483648"); wider numbers of a 64-bit host may not fit.
constexpr size_t kNodeKeySize = 16;
constexpr size_t kSubnodeKeySize = 32;

// A definition has at most this many fields; the rest of a longer one is ignored.
constexpr int kMaxFields = 25;
constexpr int kFirstPositionField = 6;
constexpr int kMaxPositions = kMaxFields - kFirstPositionField;
constexpr size_t kUnitSize = sizeof(parse_dbc::unit);
constexpr size_t kStateTextSize = 256;

const char kNotDefined[] = "Not defined";

// True when snprintf's result n shows that the key fit its buffer. A cut key
// would name another value ("PGN6144" for 61443), so callers look nothing up.
bool key_fits(int n, size_t size) {
    return n >= 0 && static_cast<size_t>(n) < size;
}

int lookup(char *node, char *subnode, char *out) {
    if (get_xml_content == nullptr) {
        return J1939_ERR_XML_READ;
    }
    // A copy per call: the lookup takes a non-const pointer.
    char file[] = "/sample.xml";
    return get_xml_content(file, node, subnode, out);
}

// Splits text at commas in place, as strtok does (empty fields are skipped),
// keeping its position in the object rather than in hidden shared state.
class FieldCursor {
  public:
    explicit FieldCursor(char *text) : rest_(text) {}

    // The next field, NUL-terminated in the text, or nullptr when none is left.
    char *next() {
        while (*rest_ == ',') {
            ++rest_;
        }
        if (*rest_ == '\0') {
            return nullptr;
        }
        char *field = rest_;
        while (*rest_ != '\0' && *rest_ != ',') {
            ++rest_;
        }
        if (*rest_ == ',') {
            *rest_++ = '\0';
        }
        return field;
    }

  private:
    char *rest_;
};

// Copies text into a buffer of `size` bytes, cutting it so that the NUL fits.
void copy_bounded(char *dest, const char *text, size_t size) {
    const size_t n = strnlen(text, size - 1);
    std::memcpy(dest, text, n);
    dest[n] = '\0';
}

// ---- definitions ---------------------------------------------------------------

// Number of fields from field 0 that each kind needs before its byte positions.
constexpr int kKindFields[3] = {6, 6, 8};

// Fills the members of a definition's kind. Every field it reads exists.
int store_definition(char *const *field, int count, parse_dbc *p_dbc) {
    const int kind = p_dbc->status;
    if (kind < 0 || kind > 2) {
        return J1939_ERR_INVALID_FIELD;
    }
    if (count < kKindFields[kind]) {
        return J1939_ERR_INVALID_FIELD;
    }
    switch (kind) {
    case 0: {
        const int nbytes = chartoint(field[5]);
        // More positions than there are fields cannot be stored honestly.
        if (nbytes > count - kFirstPositionField) {
            return J1939_ERR_INVALID_FIELD;
        }
        chartofloat(field[2], &p_dbc->scale);
        chartofloat(field[3], &p_dbc->offset);
        copy_bounded(p_dbc->unit, field[4], kUnitSize);
        p_dbc->nbytes = nbytes;
        for (int i = 0; i < nbytes; ++i) {
            p_dbc->pos[i] = chartoint(field[kFirstPositionField + i]);
        }
        break;
    }
    case 1:
        p_dbc->pos_byte = chartoint(field[2]);
        p_dbc->n_bits = chartoint(field[3]);
        p_dbc->start_bit = chartoint(field[4]);
        p_dbc->end_bit = chartoint(field[5]);
        break;
    default:
        p_dbc->pos_byte = chartoint(field[2]);
        chartofloat(field[3], &p_dbc->scale);
        chartofloat(field[4], &p_dbc->offset);
        copy_bounded(p_dbc->unit, field[5], kUnitSize);
        p_dbc->start_bit = chartoint(field[6]);
        p_dbc->end_bit = chartoint(field[7]);
        break;
    }
    return 0;
}

static_assert(kMaxPositions <= static_cast<int>(sizeof(parse_dbc::pos) / sizeof(int)));
static_assert(sizeof(parse_dbc::spn_dat) / sizeof(char *) == kMaxFields);

} // namespace

// ---- raw readers ---------------------------------------------------------------

extern "C" int read_spn_list_content(unsigned long pgn_num, char *spn_num_list) {
    char node[kNodeKeySize];
    char subnode[] = "SPN_LIST";
    if (!key_fits(std::snprintf(node, sizeof node, "PGN%ld", static_cast<long>(pgn_num)),
                  sizeof node)) {
        return J1939_ERR_XML_READ;
    }
    return lookup(node, subnode, spn_num_list);
}

extern "C" int read_spn_details(unsigned long pgn_no, unsigned long spn, char *spn_cont) {
    char node[kNodeKeySize];
    char subnode[kSubnodeKeySize];
    if (!key_fits(std::snprintf(node, sizeof node, "PGN%ld", static_cast<long>(pgn_no)),
                  sizeof node) ||
        !key_fits(std::snprintf(subnode, sizeof subnode, "SPN_%ld", static_cast<long>(spn)),
                  sizeof subnode)) {
        return J1939_ERR_XML_READ;
    }
    return lookup(node, subnode, spn_cont);
}

extern "C" int read_state_parameter(unsigned long no_pgn, unsigned long spn, long spn_state,
                                    char *para_state) {
    char node[kNodeKeySize];
    char subnode[kSubnodeKeySize];
    if (!key_fits(std::snprintf(node, sizeof node, "PGN%ld", static_cast<long>(no_pgn)),
                  sizeof node) ||
        !key_fits(std::snprintf(subnode, sizeof subnode, "SPN_%ld_%ld", static_cast<long>(spn),
                                spn_state),
                  sizeof subnode)) {
        return J1939_ERR_XML_READ;
    }
    return lookup(node, subnode, para_state);
}

extern "C" int read_service_component_description(int id, char *serv_descpn) {
    // The node keeps its historic spelling: the databases in use are keyed so.
    char node[] = "SERVICE_COMPONENET";
    char subnode[kSubnodeKeySize];
    if (!key_fits(std::snprintf(subnode, sizeof subnode, "SC_ID_%d", id), sizeof subnode)) {
        return J1939_ERR_XML_READ;
    }
    return lookup(node, subnode, serv_descpn);
}

// ---- public operations -------------------------------------------------------------

extern "C" int get_spn_no(unsigned long pgn, int *spn_count) {
    char list[kSpnListSize] = {};
    const int rc = read_spn_list_content(pgn, list);
    if (rc != 0) {
        return rc;
    }
    FieldCursor fields(list);
    const char *count = fields.next();
    if (count == nullptr) {
        return J1939_ERR_XML_READ;
    }
    *spn_count = chartoint(count);
    return 0;
}

extern "C" int get_spn_numbers(unsigned long pgn, unsigned long *spn_arr, int cont) {
    (void)cont; // callers size spn_arr from get_spn_no; the list's count bounds the stores
    char list[kSpnListSize] = {};
    if (read_spn_list_content(pgn, list) != 0) {
        return J1939_ERR_XML_READ;
    }
    FieldCursor fields(list);
    const char *field = fields.next();
    if (field == nullptr) {
        return J1939_ERR_XML_READ;
    }
    const int count = chartoint(field);
    spn_arr[0] = static_cast<unsigned long>(count);
    for (int i = 1; i <= count && (field = fields.next()) != nullptr; ++i) {
        spn_arr[i] = static_cast<unsigned long>(chartoint(field));
    }
    return 0;
}

extern "C" int get_spn_details(unsigned long pgn, unsigned long spn, parse_dbc *p_dbc) {
    char text[kValueSize] = {};
    p_dbc->spn_1 = spn;
    const int rc = read_spn_details(pgn, spn, text);
    FieldCursor fields(text);
    int count = 0;
    while (count < kMaxFields) {
        char *field = fields.next();
        if (field == nullptr) {
            break;
        }
        p_dbc->spn_dat[count++] = field;
    }
    if (rc != 0) {
        return J1939_ERR_XML_READ;
    }
    if (count < 2) {
        return J1939_ERR_INVALID_FIELD;
    }
    // Field 0 is at most kValueSize - 1 bytes long, well within description.
    copy_bounded(p_dbc->description, p_dbc->spn_dat[0], sizeof p_dbc->description);
    p_dbc->status = chartoint(p_dbc->spn_dat[1]);
    return store_definition(p_dbc->spn_dat, count, p_dbc);
}

extern "C" int read_bit_data(unsigned long pgn, unsigned long spn, long value, int no_of_bits,
                             char *st) {
    if (pgn == 0 || spn == 0 || no_of_bits == 0) {
        return J1939_ERR_XML_READ;
    }
    char text[kValueSize] = {};
    if (read_state_parameter(pgn, spn, value, text) != 0) {
        return J1939_ERR_XML_READ;
    }
    std::memset(st, 0, kStateTextSize);
    copy_bounded(st, text, kValueSize);
    return 0;
}

extern "C" int get_service_component(int id, char *component) {
    if (id == 0) {
        return J1939_ERR_XML_READ;
    }
    char text[kValueSize] = {};
    const int rc = read_service_component_description(id, text);
    if (rc != 0) {
        std::memcpy(component, kNotDefined, sizeof kNotDefined);
        return rc;
    }
    copy_bounded(component, text, kValueSize);
    return 0;
}

// ---- DTC decoding --------------------------------------------------------------

namespace {

// Position k (1..8) of bits receives bit k-1 of byte; 0 and 9 are unused.
void split_byte(uint8_t byte, int (&bits)[10]) {
    for (int k = 1; k <= 8; ++k) {
        bits[k] = (byte >> (k - 1)) & 1;
    }
}

} // namespace

extern "C" int decode_dtc(unsigned int pgn, const uint8_t *raw_data, int len, dtc_dat *dtc) {
    (void)pgn; // a DM1 layout is assumed whatever the PGN and length
    (void)len;
    if (raw_data == nullptr || dtc == nullptr) {
        return J1939_ERR_INVALID_DATA;
    }
    int bits[10] = {};
    split_byte(raw_data[0], bits);
    dtc->pl_status = 2 * bits[2] + bits[1];
    dtc->awl_status = 2 * bits[4] + bits[3];
    dtc->rsl_status = 2 * bits[6] + bits[5];
    dtc->mil_status = 2 * bits[8] + bits[7];
    dtc->spn = static_cast<unsigned long>(raw_data[2]) |
               static_cast<unsigned long>(raw_data[3]) << 8 |
               static_cast<unsigned long>(raw_data[4] >> 5) << 16;
    split_byte(raw_data[4], bits);
    const int fmi_bits[5] = {bits[5], bits[4], bits[3], bits[2], bits[1]};
    bin_arr_to_dec(fmi_bits, 5, &dtc->fmi);
    return 0;
}
