// SPDX-License-Identifier: MIT
// The compact format's framing: see compact_codec.h.
#include "compact_codec.h"

#include "vehcan_uplink.pb.h"

#include <algorithm>
#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <zstd.h>

namespace vehcan::cli {

std::optional<std::string> zstd_compress(std::string_view plain, int level) {
    std::string body(ZSTD_compressBound(plain.size()), '\0');
    const size_t n = ZSTD_compress(body.data(), body.size(), plain.data(), plain.size(), level);
    if (ZSTD_isError(n) != 0U) {
        return std::nullopt;
    }
    body.resize(n);
    return body;
}

std::string frame_payload(const std::string &plain, int level) {
    vehcan::uplink::Envelope e;
    e.set_format(kCompactFormat);
    e.set_body_size(static_cast<uint32_t>(plain.size()));
    std::optional<std::string> body;
    if (level > 0) {
        body = zstd_compress(plain, level);
    }
    if (body) {
        e.set_compression(vehcan::uplink::COMPRESSION_ZSTD);
        e.set_body(std::move(*body));
    } else {
        // (stored as it is: level 0, or zstd failed for a bad level or no
        // memory; the plain body still reads)
        e.set_compression(vehcan::uplink::COMPRESSION_NONE);
        e.set_body(plain);
    }
    return e.SerializeAsString();
}

std::string valid_utf8(std::string_view s) {
    if (std::all_of(s.begin(), s.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        return std::string(s);
    }
    // nlohmann's serializer replaces what is not UTF-8 with U+FFFD.
    const std::string quoted = nlohmann::json(std::string(s))
                                   .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return nlohmann::json::parse(quoted).get<std::string>();
}

std::string unframe_payload(std::string_view envelope) {
    vehcan::uplink::Envelope e;
    if (!e.ParseFromArray(envelope.data(), static_cast<int>(envelope.size()))) {
        throw FormatError("not an Envelope");
    }
    if (e.format() != kCompactFormat) {
        throw FormatError(
            fmt::format("format {} (this decoder reads {})", e.format(), kCompactFormat));
    }
    if (e.body_size() > kLargestBody) {
        throw FormatError(fmt::format("a body of {} bytes", e.body_size()));
    }
    switch (e.compression()) {
    case vehcan::uplink::COMPRESSION_NONE:
        if (e.body().size() != e.body_size()) {
            throw FormatError(fmt::format("an uncompressed body of {} bytes, not {}",
                                          e.body().size(), e.body_size()));
        }
        return e.body();
    case vehcan::uplink::COMPRESSION_ZSTD: {
        std::string plain(e.body_size(), '\0');
        const size_t n =
            ZSTD_decompress(plain.data(), plain.size(), e.body().data(), e.body().size());
        if (ZSTD_isError(n) != 0U) {
            throw FormatError(fmt::format("zstd: {}", ZSTD_getErrorName(n)));
        }
        if (n != plain.size()) {
            throw FormatError(
                fmt::format("the body decompresses to {} bytes, not {}", n, plain.size()));
        }
        return plain;
    }
    default:
        throw FormatError(fmt::format("compression {}", static_cast<int>(e.compression())));
    }
}

std::string mark_historical(const std::string &envelope, int level) {
    try {
        vehcan::uplink::Payload p;
        if (!p.ParseFromString(unframe_payload(envelope)) || !p.has_batch()) {
            return envelope;
        }
        p.mutable_batch()->set_historical(true);
        return frame_payload(p.SerializeAsString(), level);
    } catch (const FormatError &) {
        return envelope;
    }
}

} // namespace vehcan::cli
