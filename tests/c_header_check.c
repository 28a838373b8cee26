// SPDX-License-Identifier: MIT
/* The public header compiles as C11 and its records and codes are usable
 * from C. Exits non-zero on a wrong value. */
#include "j1939_stack.h"
#include "libxml2.h"

#include <stddef.h>
#include <stdio.h>

_Static_assert(J1939_PGN_NOT_SUPPORTED == 4090, "positive not-supported code");
/* The codes below are parenthesised negative literals, which clang-tidy takes
 * for an expression compared with itself. */
/* NOLINTBEGIN(misc-redundant-expression) */
_Static_assert(J1939_ERR_INVALID_DATA == -4073, "invalid data code");
_Static_assert(J1939_TP_TRANSFER_STARTED == -2 && J1939_TP_FIRST_PACKET == -3, "reassembly codes");
/* NOLINTEND(misc-redundant-expression) */
_Static_assert(offsetof(parse_dbc, pgn) == 0, "parse_dbc starts with pgn");
_Static_assert(offsetof(parse_dbc, spn_dat) < offsetof(parse_dbc, status), "member order");
_Static_assert(offsetof(parse_dbc, end_bit) < offsetof(parse_dbc, n_bits), "member order");
_Static_assert(sizeof(((parse_dbc *)0)->description) == 256, "description size");
_Static_assert(sizeof(((parse_dbc *)0)->unit) == 10, "unit size");
_Static_assert(sizeof(((DTC *)0)->spn) == sizeof(unsigned long), "spn is unsigned long");
_Static_assert(offsetof(DTC, occurence_count) > offsetof(DTC, fmi), "member order");

/* A C host supplies the database lookup; this one knows no value. */
int get_xml_content(char *file, char *node, char *subnode, char *out) {
    (void)file;
    (void)node;
    (void)subnode;
    (void)out;
    return 1;
}

int main(void) {
    dtc_dat d = {0};
    DTC *same = &d; /* the two names denote one type */
    parse_dbc rec = {0};
    struct timespec start = {5, 900000000}, end = {6, 100000000};
    if (same->occurence_count != 0 || rec.status != 0 || chartoint(" 42abc") != 42 ||
        time_diff_seconds(&end, &start) != 1 || init_status != 0) {
        return 1;
    }
    puts("header usable from C11");
    return 0;
}
