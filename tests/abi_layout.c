// SPDX-License-Identifier: MIT
/*
 * The layout of the records that hosts exchange with libvehcan, pinned for
 * the two ABIs the gateways run: ILP32 ARM EABI (armhf, where long and
 * pointers are 32 bits and double is 8-aligned) and LP64 (aarch64, and
 * x86_64 for development). Host programs are built against the header
 * separately from the library, so any change here breaks every host already
 * in the field; this file stops the build instead.
 */
#include "j1939_stack.h"

#include <stddef.h>

#define VEHCAN_AT(type, member, where)                                                             \
    _Static_assert(offsetof(type, member) == (where), #type "." #member " moved")

#if defined(__LP64__)
#define VEHCAN_L(lp64, ilp32) (lp64)
#elif defined(__ARM_EABI__) && __SIZEOF_LONG__ == 4 && __SIZEOF_POINTER__ == 4
#define VEHCAN_L(lp64, ilp32) (ilp32)
#else
#error "no recorded layout for this ABI: add it here after checking the hosts built for it"
#endif

_Static_assert(sizeof(long) == VEHCAN_L(8, 4), "long width");

VEHCAN_AT(parse_dbc, pgn, 0);
VEHCAN_AT(parse_dbc, spn_dat, VEHCAN_L(8, 4));
VEHCAN_AT(parse_dbc, status, VEHCAN_L(208, 104));
VEHCAN_AT(parse_dbc, spn, VEHCAN_L(216, 108));
VEHCAN_AT(parse_dbc, no_of_spn, VEHCAN_L(376, 188));
VEHCAN_AT(parse_dbc, nbytes, VEHCAN_L(380, 192));
VEHCAN_AT(parse_dbc, line_number, VEHCAN_L(384, 196));
VEHCAN_AT(parse_dbc, spn_1, VEHCAN_L(392, 200));
VEHCAN_AT(parse_dbc, offset, VEHCAN_L(400, 208));
VEHCAN_AT(parse_dbc, scale, VEHCAN_L(408, 216));
VEHCAN_AT(parse_dbc, unit, VEHCAN_L(416, 224));
VEHCAN_AT(parse_dbc, bin_val, VEHCAN_L(428, 236));
VEHCAN_AT(parse_dbc, pos, VEHCAN_L(444, 252));
VEHCAN_AT(parse_dbc, pos_byte, VEHCAN_L(844, 652));
VEHCAN_AT(parse_dbc, start_bit, VEHCAN_L(848, 656));
VEHCAN_AT(parse_dbc, end_bit, VEHCAN_L(852, 660));
VEHCAN_AT(parse_dbc, n_bits, VEHCAN_L(856, 664));
VEHCAN_AT(parse_dbc, description, VEHCAN_L(860, 668));
_Static_assert(sizeof(parse_dbc) == VEHCAN_L(1120, 928), "parse_dbc size");
_Static_assert(_Alignof(parse_dbc) == 8, "parse_dbc alignment (double members)");

VEHCAN_AT(DTC, mil_status, 0);
VEHCAN_AT(DTC, rsl_status, 4);
VEHCAN_AT(DTC, awl_status, 8);
VEHCAN_AT(DTC, pl_status, 12);
VEHCAN_AT(DTC, spn, 16);
VEHCAN_AT(DTC, fmi, VEHCAN_L(24, 20));
VEHCAN_AT(DTC, occurence_count, VEHCAN_L(28, 24));
_Static_assert(sizeof(DTC) == VEHCAN_L(32, 28), "DTC size");
_Static_assert(sizeof(dtc_dat) == sizeof(DTC), "dtc_dat is DTC");
