// SPDX-License-Identifier: MIT
// Fuzzes the transport-protocol reassembly with sequences of frames: TP.CM
// and TP.DT of both destinations mixed with other PGNs, of any length from 0
// to 11 bytes. Each frame lies in a buffer of exactly its length, so a read
// beyond it is an AddressSanitizer report.
//
// Checked after every frame: the result is one of the documented ones, the
// stored length stays within the 50-byte buffer, and a completed message is
// at most the announced size and starts with packet 1 of its own transfer
// (never with bytes of an earlier one).
#include "j1939_stack.h"

#include "byte_cursor.h"
#include "invariant.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr __u32 kTransportPgns[] = {60416, 60671, 60160, 60415};
constexpr __u32 kOtherPgns[] = {0, 59392, 65260, 65131, 0xFFFFFFFF};

int feed(__u32 pgn, const std::vector<uint8_t> &frame) {
    // A copy of exactly the frame's size: nothing past it may be read.
    std::vector<uint8_t> exact(frame);
    return multi_frame_message_handler(pgn, exact.empty() ? nullptr : exact.data(),
                                       static_cast<int>(exact.size()));
}

// Abandons whatever transfer an earlier input left open, through the public
// behaviour: a new announcement replaces it. This one is too large for the
// buffer, so it opens nothing.
void start_clean() {
    const uint8_t too_large[8] = {16, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0};
    multi_frame_message_handler(60416, too_large, 8);
    g_multi_pkt_msg_len = 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The handler prints a line per frame; keep the fuzzer's output readable.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ByteCursor in(data, size);
    start_clean();
    bool have_first_packet = false;
    uint8_t first_packet[7] = {};
    // Frames: a selector byte (below 224: TP.CM 60416, 60671, TP.DT 60160,
    // 60415 by its value mod 4; else another PGN), a length byte (mod 12),
    // then the frame's bytes.
    while (!in.empty()) {
        const uint8_t selector = in.u8();
        const __u32 pgn = selector < 224 ? kTransportPgns[selector % 4] : kOtherPgns[selector % 5];
        const std::vector<uint8_t> frame = in.bytes(in.u8() % 12);

        const int rc = feed(pgn, frame);
        check(rc == J1939_ERR_INVALID_DATA || rc == J1939_TP_TRANSFER_STARTED ||
                  rc == J1939_TP_FIRST_PACKET || rc == 0 || rc == J1939_FAIL,
              "unknown result");
        check(g_multi_pkt_msg_len >= 0 &&
                  g_multi_pkt_msg_len <= static_cast<int>(sizeof g_multi_pkt_msg),
              "stored length outside the buffer");
        if (rc == J1939_TP_TRANSFER_STARTED) {
            have_first_packet = false;
        } else if (rc == J1939_TP_FIRST_PACKET) {
            check(frame.size() >= 8, "packet 1 stored from a short frame");
            std::memcpy(first_packet, frame.data() + 1, sizeof first_packet);
            have_first_packet = true;
            check(std::memcmp(g_multi_pkt_msg, first_packet, sizeof first_packet) == 0,
                  "packet 1 not stored at the start");
        } else if (rc == 0) {
            check(have_first_packet, "message completed without packet 1 of its transfer");
            check(g_msg_len == 0, "completed with bytes still expected");
            // A repeated packet 1 starts the message again (the handler does
            // not track sequence numbers), so it may complete short of the
            // announced size, never beyond it.
            check(static_cast<unsigned long>(g_multi_pkt_msg_len) <= g_total_msg_len,
                  "completed message longer than announced");
            check(std::memcmp(g_multi_pkt_msg, first_packet, sizeof first_packet) == 0,
                  "completed message does not start with its packet 1");
        }
    }
    return 0;
}
