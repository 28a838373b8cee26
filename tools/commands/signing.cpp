// SPDX-License-Identifier: MIT
// libsodium's Ed25519, SHA-256, base64 and random bytes behind the names
// the command gate uses.
#include "signing.h"

#include <sodium.h>
#include <stdexcept>

namespace vehcan::commands {

bool crypto_ready() {
    // sodium_init() is itself safe to call from several threads and again.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// ---- base64 ------------------------------------------------------------------------------------

std::optional<std::vector<uint8_t>> decode_base64(std::string_view text, size_t max_bytes) {
    // Longer text cannot decode to max_bytes or fewer: refused before work.
    if (text.size() > (max_bytes + 2) / 3 * 4) {
        return std::nullopt;
    }
    std::vector<uint8_t> out(text.size() / 4 * 3 + 3);
    size_t length = 0;
    // No ignored characters and no end pointer: any byte outside the
    // alphabet fails; libsodium also refuses missing padding and non-zero
    // unused bits, so every byte string has one encoding only.
    if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length,
                          nullptr, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        length > max_bytes) {
        return std::nullopt;
    }
    out.resize(length);
    return out;
}

std::string encode_base64(const uint8_t *data, size_t size) {
    std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
    out.resize(out.size() - 1); // the terminating NUL
    return out;
}

std::string hex(const uint8_t *data, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4U];
        out += kDigits[data[i] & 0x0FU];
    }
    return out;
}

// ---- keys --------------------------------------------------------------------------------------

bool valid_key_id(std::string_view id) {
    if (id.empty() || id.size() > 64) {
        return false;
    }
    for (const char c : id) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::optional<PublicKey> parse_public_key(std::string_view base64) {
    if (!crypto_ready()) {
        return std::nullopt;
    }
    const auto bytes = decode_base64(base64, crypto_sign_PUBLICKEYBYTES);
    if (!bytes || bytes->size() != crypto_sign_PUBLICKEYBYTES ||
        crypto_core_ed25519_is_valid_point(bytes->data()) != 1) {
        return std::nullopt;
    }
    PublicKey key{};
    std::copy(bytes->begin(), bytes->end(), key.begin());
    return key;
}

bool parse_key_lines(std::string_view text, KeyRing &keys, int &bad_line, std::string &problem) {
    int number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        while (!line.empty() &&
               (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const size_t gap = line.find_first_of(" \t");
        const std::string_view id = line.substr(0, gap);
        std::string_view value =
            gap == std::string_view::npos ? std::string_view{} : line.substr(gap);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.remove_prefix(1);
        }
        bad_line = number;
        if (!valid_key_id(id)) {
            problem = "the key id must be 1 to 64 of A-Z a-z 0-9 . _ -";
            return false;
        }
        const auto key = parse_public_key(value);
        if (!key) {
            problem = "the key must be an Ed25519 public key of 32 bytes in base64";
            return false;
        }
        if (!keys.emplace(std::string(id), *key).second) {
            problem = "the key id " + std::string(id) + " is given twice";
            return false;
        }
    }
    return true;
}

// ---- signatures --------------------------------------------------------------------------------

bool verify(const PublicKey &key, std::string_view message, const Signature &signature) {
    // libsodium 1.0.18 refuses non-canonical signatures and small-order
    // keys here too, so a signature cannot be altered into another valid one.
    return crypto_ready() &&
           crypto_sign_verify_detached(signature.data(),
                                       reinterpret_cast<const unsigned char *>(message.data()),
                                       message.size(), key.data()) == 0;
}

Signature sign(const SecretKey &key, std::string_view message) {
    Signature s{};
    crypto_sign_detached(s.data(), nullptr, reinterpret_cast<const unsigned char *>(message.data()),
                         message.size(), key.data());
    return s;
}

SecretKey secret_from_seed(const Seed &seed) {
    PublicKey pk{};
    SecretKey sk{};
    crypto_sign_seed_keypair(pk.data(), sk.data(), seed.data());
    return sk;
}

PublicKey public_of(const SecretKey &key) {
    PublicKey pk{};
    crypto_sign_ed25519_sk_to_pk(pk.data(), key.data());
    return pk;
}

Digest sha256(std::string_view bytes) {
    Digest d{};
    crypto_hash_sha256(d.data(), reinterpret_cast<const unsigned char *>(bytes.data()),
                       bytes.size());
    return d;
}

std::vector<uint8_t> random_bytes(size_t n) {
    if (!crypto_ready()) {
        // Zeros would make a token anyone could guess.
        throw std::runtime_error("libsodium could not be initialised: no random bytes");
    }
    std::vector<uint8_t> out(n);
    randombytes_buf(out.data(), out.size());
    return out;
}

} // namespace vehcan::commands
