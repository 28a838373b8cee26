// Parameter database lookups through get_xml_content, and DTC decoding.
#include "j1939_stack.h"

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
