// SPDX-License-Identifier: MIT
// Conversion helpers: database text to numbers, binary-digit numbers and bit
// arrays, whole-second time differences. Pure functions, no state.
//
// A binary-digit number is an int whose decimal digits stand for binary
// digits (101 stands for 5). Everything here is computed in 64 bits and
// clamped where the 32-bit result could not hold it, so no input overflows.
#include "j1939_stack.h"

#include <climits>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr int kMaxBits = 10; // an int holds at most ten binary digits

// The number of decimal places that element a takes in a join: 10 for one
// digit, 100 for two, ... (at least 10, also for 0 and negative elements).
int64_t join_multiplier(int a) {
    int64_t temp = 10;
    while (temp <= a) {
        temp *= 10;
    }
    return temp;
}

int clamp_to_int(int64_t v) {
    if (v > INT_MAX) {
        return INT_MAX;
    }
    if (v < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(v);
}

} // namespace

extern "C" {

int chartoint(const char *val) {
    if (val == nullptr) {
        return J1939_ERR_INVALID_FIELD;
    }
    // strtol saturates at the range of long, which is wider than int on
    // 64-bit hosts: clamp again so that both ABIs give the same result.
    return clamp_to_int(static_cast<int64_t>(std::strtol(val, nullptr, 10)));
}

int chartofloat(const char *val, double *var) {
    if (val == nullptr) {
        return J1939_ERR_INVALID_FIELD;
    }
    *var = std::strtod(val, nullptr);
    return 0;
}

int binaryToDecimal(int n) {
    // Remainder and division truncate toward zero, so a negative n gives the
    // negative of its magnitude's value without ever negating INT_MIN. Ten
    // digits of at most 9 sum to at most 9 * 1023.
    int value = 0;
    int place = 1;
    while (n != 0) {
        value += (n % 10) * place;
        place *= 2;
        n /= 10;
    }
    return value;
}

int bin_arr_to_dec(const int *bin_ar, int ar_size, int *dec_val) {
    int64_t dec = 0;
    for (int i = 0; i < ar_size; ++i) {
        const int64_t next = dec * join_multiplier(bin_ar[i]) + bin_ar[i];
        if (next > INT_MAX || next < INT_MIN) {
            break;
        }
        dec = next;
    }
    *dec_val = binaryToDecimal(static_cast<int>(dec));
    return 0;
}

int filter_bits(const int *bin_ar, int start, int end, int no_bits, int *dec_val) {
    if (no_bits <= 0 || start <= 0 || end <= 0 || no_bits > kMaxBits) {
        return J1939_ERR_INVALID_DATA;
    }
    int bits[kMaxBits] = {};
    // The bit at end is always taken, even when start lies above end.
    int i = 0;
    do {
        bits[i] = bin_ar[end - i];
        ++i;
    } while (end - i >= start && i < no_bits);
    return bin_arr_to_dec(bits, no_bits, dec_val);
}

int dec_num_to_bin_num(int dec_val, long *binary_val) {
    constexpr int kLargest = (1 << kMaxBits) - 1; // 1023, ten ones
    int v = dec_val;
    if (v > kLargest) {
        v = kLargest;
    } else if (v < -kLargest) {
        v = -kLargest;
    }
    int64_t sum = 0; // at most 1111111111, which fits a 32-bit long
    int64_t place = 1;
    while (v != 0) {
        sum += (v % 2) * place;
        v /= 2;
        place *= 10;
    }
    *binary_val = static_cast<long>(sum);
    return 0;
}

int time_diff_seconds(const struct timespec *time_end, const struct timespec *time_start) {
    return clamp_to_int(static_cast<int64_t>(time_end->tv_sec) -
                        static_cast<int64_t>(time_start->tv_sec));
}

} // extern "C"
