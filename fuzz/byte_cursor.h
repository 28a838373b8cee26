// SPDX-License-Identifier: MIT
// Reads a fuzz input from the front, in the order a seed file is written:
// every field is plain bytes, so seeds in fuzz/corpus can be made by hand
// (printf '\x01\x08...'). Past the end every read yields zeros / nothing.
#ifndef VEHCAN_FUZZ_BYTE_CURSOR_H
#define VEHCAN_FUZZ_BYTE_CURSOR_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ByteCursor {
  public:
    ByteCursor(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }

    uint8_t u8() { return empty() ? 0 : data_[pos_++]; }

    // Big-endian, as written in a seed.
    uint16_t u16() { return static_cast<uint16_t>(u8() << 8 | u8()); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) << 16 | u16(); }

    // Up to n bytes, fewer at the end of the input.
    std::vector<uint8_t> bytes(size_t n) {
        const size_t take = n < size_ - pos_ ? n : size_ - pos_;
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + take);
        pos_ += take;
        return out;
    }

    // A text of one length byte and that many bytes.
    std::string text8() {
        const std::vector<uint8_t> b = bytes(u8());
        return {b.begin(), b.end()};
    }

    // A text of a two-byte length and that many bytes.
    std::string text16() {
        const std::vector<uint8_t> b = bytes(u16());
        return {b.begin(), b.end()};
    }

    std::vector<uint8_t> rest() { return bytes(size_ - pos_); }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

#endif
