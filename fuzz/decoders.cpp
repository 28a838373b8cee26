// SPDX-License-Identifier: MIT
// Fuzzes every decoder family over payloads of any length: scaled values,
// axle location, the nibble splitter, the status fields, the two text fields
// and DM1 trouble codes. A payload lies in a buffer of exactly the bytes the
// decoder may read by its contract (len bytes; 8 where a len of 0 or less
// stands for a full frame; 5 for DM1), so any read beyond it is an
// AddressSanitizer report, and so is a write beyond a text output.
//
// Checked: every result is a documented one; outputs stay untouched on
// refusal and hold only documented values on success; text outputs are
// NUL-terminated within their buffers.
#include "j1939_stack.h"

#include "byte_cursor.h"
#include "invariant.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

constexpr int kUntouched = -123456;
constexpr unsigned long kPgns[] = {61443, 61444, 64777, 65132, 65216, 65217, 65253,
                                   65257, 65258, 65262, 65265, 65276, 65226, 0};

bool one_of(int v, std::initializer_list<int> allowed) {
    return std::find(allowed.begin(), allowed.end(), v) != allowed.end();
}

// A status output is either left alone or holds one of the codes allowed.
void check_status(int rc, std::initializer_list<int> outputs, std::initializer_list<int> allowed) {
    check(one_of(rc, {0, J1939_ERR_INVALID_DATA, J1939_PGN_NOT_SUPPORTED}), "status result");
    for (int out : outputs) {
        check(out == kUntouched || (rc == 0 && one_of(out, allowed)), "status output");
    }
}

void check_text(const std::vector<char> &text, const char *what) {
    check(std::memchr(text.data(), '\0', text.size()) != nullptr, what);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) { // the VIN decoder prints
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Input: family byte (mod 10), PGN byte (an index into kPgns, or beyond
    // them: four PGN bytes follow), two length bytes (mod 302, minus 1: -1 to
    // 300), then the payload.
    ByteCursor in(data, size);
    const int family = in.u8() % 10;
    const uint8_t pgn_index = in.u8();
    const unsigned long pgn = pgn_index < std::size(kPgns) ? kPgns[pgn_index] : in.u32();
    const int len = in.u16() % 302 - 1;
    std::vector<uint8_t> payload = in.rest();
    const size_t reachable = len > 0 ? static_cast<size_t>(len) : 8;
    payload.resize(family == 9 ? std::max<size_t>(reachable, 5) : reachable);
    payload.shrink_to_fit(); // the allocation ends where the payload does
    const uint8_t *p = payload.data();

    switch (family) {
    case 0: {
        double value = -1e300;
        const int rc = decode_without_xml(p, len, pgn, &value);
        check(one_of(rc, {0, J1939_PGN_NOT_SUPPORTED, J1939_ERR_INVALID_DATA}), "value result");
        check(rc == 0 || value == -1e300, "value written on refusal");
        break;
    }
    case 1: {
        int axle = kUntouched;
        const int rc = get_axle_location(p, len, pgn, &axle);
        check(rc == 0 ? axle >= 1 && axle <= 16 : rc == J1939_FAIL && axle == kUntouched,
              "axle location");
        break;
    }
    case 2: {
        parse_dbc dbc{};
        const uint8_t nibble = p[0];
        i_hex_to_bin(nibble, &dbc);
        int joined = 0;
        for (int bit : dbc.bin_val) {
            check(bit == 0 || bit == 1, "nibble bit");
            joined = joined * 2 + bit;
        }
        check(joined == (nibble <= 15 ? nibble : 0), "nibble split");
        break;
    }
    case 3: {
        int clutch = kUntouched, brake = kUntouched, cruise = kUntouched;
        const int rc =
            j1939_get_clutch_cruice_cntrl_brake_switch_state(p, len, pgn, &clutch, &brake, &cruise);
        check_status(rc, {clutch}, {J1939_CLUTCH_SWITCH_RELEASED, J1939_CLUTCH_SWITCH_DEPRESSED});
        check_status(rc, {brake}, {J1939_BRAKE_SWITCH_RELEASED, J1939_BRAKE_SWITCH_DEPRESSED});
        check_status(rc, {cruise}, {J1939_CRUISE_CONTROL_OFF, J1939_CRUISE_CONTROL_ON});
        break;
    }
    case 4: {
        int pto = kUntouched, engagement = kUntouched;
        check_status(j1939_get_pto_state(p, len, pgn, &pto), {pto}, {0, 5, 31});
        check_status(j1939_get_ptode_state(p, len, pgn, &engagement), {engagement}, {0, 1, 2, 3});
        break;
    }
    case 5: {
        int d1 = kUntouched, d2 = kUntouched;
        check_status(j1939_get_driver_working_state(p, len, &d1, &d2), {d1, d2},
                     {0, 1, 2, 3, 6, 7});
        int c1 = kUntouched, c2 = kUntouched;
        const int rc = j1939_get_driver_card_state(p, len, &c1, &c2);
        check_status(rc, {c1}, {J1939_DRIVER1_CARD_NOT_PRESENT, J1939_DRIVER1_CARD_PRESENT});
        check_status(rc, {c2}, {J1939_DRIVER2_CARD_NOT_PRESENT, J1939_DRIVER2_CARD_PRESENT});
        int r1 = kUntouched, r2 = kUntouched;
        check_status(j1939_get_driver_rel_state(p, len, &r1, &r2), {r1, r2},
                     {0, 1, 2, 3, 4, 5, 6, 14, 15});
        break;
    }
    case 6:
    case 7: {
        std::vector<char> driver1(256, 'x'), driver2(256, 'x');
        const int rc = j1939_tacho_get_drivers_id(p, len, driver1.data(), driver2.data());
        check(rc == 0 || rc == J1939_ERR_INVALID_DATA, "driver id result");
        if (rc == 0) {
            check_text(driver1, "driver 1 id not terminated");
            check_text(driver2, "driver 2 id not terminated");
        } else {
            check(driver1[0] == 'x' && driver2[0] == 'x', "driver ids written on refusal");
        }
        break;
    }
    case 8: {
        if (len <= 0) {
            check(decode_vehicle_identification_number(p, len, nullptr) == J1939_ERR_INVALID_DATA,
                  "VIN of an empty payload");
            break;
        }
        std::vector<char> vin(static_cast<size_t>(len) + 1, '\0');
        check(decode_vehicle_identification_number(p, len, vin.data()) == 0, "VIN result");
        check_text(vin, "VIN not terminated");
        // An empty field reads "*"; otherwise the delimiter is never copied.
        check(std::strcmp(vin.data(), "*") == 0 || std::strchr(vin.data(), '*') == nullptr,
              "VIN runs past its delimiter");
        break;
    }
    default: {
        dtc_dat dtc{};
        dtc.occurence_count = kUntouched;
        check(decode_dtc(static_cast<unsigned>(pgn), p, len, &dtc) == 0, "DM1 result");
        for (int lamp : {dtc.mil_status, dtc.rsl_status, dtc.awl_status, dtc.pl_status}) {
            check(lamp >= 0 && lamp <= 3, "lamp status");
        }
        check(dtc.spn < (1UL << 19), "SPN wider than 19 bits");
        check(dtc.fmi >= 0 && dtc.fmi <= 31, "FMI wider than 5 bits");
        check(dtc.occurence_count == kUntouched, "occurrence count written");
        check(decode_dtc(0, nullptr, len, &dtc) == J1939_ERR_INVALID_DATA, "DM1 of no payload");
        break;
    }
    }
    return 0;
}
