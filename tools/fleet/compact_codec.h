// SPDX-License-Identifier: MIT
// The compact format's framing: a Payload (birth or batch) in an Envelope,
// compressed with zstd. Shared by the encoder and the decoder.
#ifndef VEHCAN_FLEET_COMPACT_CODEC_H
#define VEHCAN_FLEET_COMPACT_CODEC_H

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vehcan::cli {

// The version Envelope.format carries.
inline constexpr unsigned kCompactFormat = 1;
// A decoder refuses a body that says it decompresses to more than this.
inline constexpr size_t kLargestBody = 64 * 1024 * 1024;

// A payload that is not a frame of this format: what() says why.
class FormatError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// plain compressed with zstd at level (1-19) as one zstd frame that names
// its size; nothing when zstd fails (a bad level, no memory).
std::optional<std::string> zstd_compress(std::string_view plain, int level);

// The Envelope of a serialized Payload, its body compressed with zstd at
// level (0: stored as it is).
std::string frame_payload(const std::string &plain, int level);

// s with every byte that is not part of valid UTF-8 replaced by U+FFFD:
// the schema's string fields are UTF-8, and a text off the bus (a VIN, a
// driver id) may hold any bytes.
std::string valid_utf8(std::string_view s);

// The serialized Payload inside an Envelope. Throws FormatError for a
// frame that does not parse, another format version, an unknown
// compression, a body larger than kLargestBody, or a body that is not
// body_size bytes (decompressed, or as it is with COMPRESSION_NONE).
std::string unframe_payload(std::string_view envelope);

// The same batch Envelope with Batch.historical set (a batch sent later
// than it was made), compressed again at level. A payload that is no batch
// comes back as it was.
std::string mark_historical(const std::string &envelope, int level);

} // namespace vehcan::cli

#endif
