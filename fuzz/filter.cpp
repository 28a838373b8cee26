// SPDX-License-Identifier: MIT
// Fuzzes the filter thread's routing. The fuzz input is a script of records
// (any PGN, any length byte, any payload) and of requests made pending, as
// the host would. The records go through small real message queues into the
// real filter body, j1939_filter_response(), which takes them as in
// production; the platform seam ends its endless loop once "/recv_queue" is
// empty. Output queues are only four records deep, so full queues and their
// drains are exercised too.
//
// Checked on everything that reaches the output queues: no transport frame
// is ever forwarded; every forwarded record is byte for byte one that went
// in; every other record is a reassembled identification message of at most
// 50 bytes, zero beyond its payload; and "/reqst_resp_queue" carries only
// answers to PGNs that were requested.
#include "j1939_stack.h"
#include "platform.h"
#include "stack_internal.h"

#include "byte_cursor.h"
#include "invariant.h"

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using vehcan::detail::platform;

constexpr size_t kRecordSize = 5078;
constexpr long kDepth = 4;
constexpr uint16_t kInterestingPgns[] = {65265, 65262, 59392, 60416, 60671,
                                         60160, 60415, 65260, 65131, 0};

using Record = std::vector<uint8_t>;

mqd_t open_queue(const char *role) {
    const std::string name = "/vehcan-fuzz-" + std::to_string(::getpid()) + "-" + role;
    mq_attr attr{};
    attr.mq_maxmsg = kDepth;
    attr.mq_msgsize = static_cast<long>(kRecordSize);
    const mqd_t q = ::mq_open(name.c_str(), O_RDWR | O_CREAT | O_NONBLOCK, 0600, &attr);
    if (q == -1) {
        std::perror("mq_open");
        std::abort();
    }
    ::mq_unlink(name.c_str()); // nameless: gone with the process
    return q;
}

std::jmp_buf g_filter_idle;

// The filter polls "/recv_queue" forever; leave it at the first empty poll.
// j1939_filter_response() holds only plain arrays on its frame, so jumping
// out of it skips no destructor.
ssize_t receive_or_leave_filter(mqd_t q, char *msg, size_t len, unsigned int *prio) {
    const ssize_t n = ::mq_receive(q, msg, len, prio);
    if (n <= 0 && q == resv_mq) {
        std::longjmp(g_filter_idle, 1);
    }
    return n;
}

void run_filter_until_idle() {
    if (setjmp(g_filter_idle) == 0) {
        j1939_filter_response();
    }
}

std::vector<Record> drain(mqd_t q) {
    std::vector<Record> out;
    Record r(kRecordSize + 1);
    while (::mq_receive(q, reinterpret_cast<char *>(r.data()), kRecordSize, nullptr) > 0) {
        out.emplace_back(r.begin(), r.begin() + kRecordSize);
    }
    return out;
}

bool is_transport(uint32_t pgn) {
    return pgn == 60416 || pgn == 60671 || pgn == 60160 || pgn == 60415;
}

uint32_t pgn_of(const Record &r) {
    return static_cast<uint32_t>(r[1]) << 8 | r[2];
}

void check_output(const Record &r, const std::set<Record> &sent) {
    const uint32_t pgn = pgn_of(r);
    check(!is_transport(pgn), "a transport frame was forwarded");
    if (sent.count(r) != 0) {
        return;
    }
    check(pgn == 65260 || pgn == 65131, "record neither forwarded nor reassembled");
    check(r[0] <= 50, "reassembled message longer than the buffer");
    for (size_t i = 3 + r[0]; i < kRecordSize; ++i) {
        check(r[i] == 0, "reassembled record not zero beyond its payload");
    }
}

long waiting_records(mqd_t q) {
    mq_attr a{};
    check(::mq_getattr(q, &a) == 0, "mq_getattr");
    return a.mq_curmsgs;
}

// Takes the next record with j1939_recv_request_response() or
// j1939_recv_broadcast_response(), only when one is waiting (they would wait
// seconds otherwise), into a buffer of exactly the 255 bytes the header
// promises to fill at most. A broadcast is rebuilt into a record for the
// checks; an answer's PGN is not reported, so only its length is checked.
void fetch_as_host(mqd_t q, std::vector<Record> &broadcasts) {
    if (waiting_records(q) == 0) {
        return;
    }
    std::vector<uint8_t> payload(255, 0);
    int len = -1;
    if (q == req_resp_mq) {
        const __u32 pending = std::atomic_ref<__u32>(g_r_pgn).load();
        check(j1939_recv_request_response(payload.data(), &len, pending) == 0,
              "waiting answer not fetched");
        check(len >= 0 && len <= 255, "answer length");
        return;
    }
    unsigned long pgn = 0;
    check(j1939_recv_broadcast_response(payload.data(), &len, &pgn) == 0,
          "waiting broadcast not fetched");
    check(len >= 0 && len <= 255 && pgn <= 0xFFFF, "broadcast length or PGN");
    Record r(kRecordSize, 0);
    r[0] = static_cast<uint8_t>(len);
    r[1] = static_cast<uint8_t>(pgn >> 8);
    r[2] = static_cast<uint8_t>(pgn);
    std::copy(payload.begin(), payload.begin() + len, r.begin() + 3);
    broadcasts.push_back(std::move(r));
}

void reset_stack_state() {
    const uint8_t too_large[8] = {16, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0};
    multi_frame_message_handler(60416, too_large, 8); // abandons the direct transfer
    vehcan::detail::forget_open_transfers();          // and the filter's
    g_multi_pkt_msg_len = 0;
    multi_frame_mode = 0;
    std::atomic_ref<int>(req_flag).store(0);
    std::atomic_ref<__u32>(g_r_pgn).store(0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) { // "PGN VAL" lines
        std::abort();
    }
    resv_mq = open_queue("recv");
    bc_mq = open_queue("brdcst");
    req_resp_mq = open_queue("reqst");
    platform().mq_receive = receive_or_leave_filter;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ByteCursor in(data, size);
    reset_stack_state();
    std::set<Record> sent;
    std::set<uint32_t> requested;
    std::vector<Record> answers;
    std::vector<Record> broadcasts;
    long waiting = 0;
    auto flush = [&] {
        run_filter_until_idle();
        waiting = 0;
    };
    // Operations, each an opcode byte: below 16 the host makes a request
    // pending (0-7: a PGN of kInterestingPgns, else a two-byte PGN follows);
    // 16-23 the filter runs; 24-27 the host fetches one record of each output
    // queue through the retrieval calls; 28-31 it takes all waiting output; from 32
    // a record (below 160: PGN kInterestingPgns[op % 10], else a two-byte
    // PGN follows), then its length byte and payload.
    while (!in.empty()) {
        const uint8_t op = in.u8();
        if (op < 16) { // the host makes a request pending, PGN before flag
            const uint32_t pgn = op < 8 ? kInterestingPgns[op] : in.u16();
            std::atomic_ref<__u32>(g_r_pgn).store(pgn);
            std::atomic_ref<int>(req_flag).store(1);
            requested.insert(pgn);
            continue;
        }
        if (op < 24) {
            flush();
            continue;
        }
        if (op < 28) { // the host fetches one record of each queue, if any, as it does
            flush();
            fetch_as_host(req_resp_mq, broadcasts);
            fetch_as_host(bc_mq, broadcasts);
            continue;
        }
        if (op < 32) { // the host takes all that is waiting
            flush();
            for (auto &r : drain(req_resp_mq)) {
                answers.push_back(std::move(r));
            }
            for (auto &r : drain(bc_mq)) {
                broadcasts.push_back(std::move(r));
            }
            continue;
        }
        Record r(kRecordSize, 0);
        const uint16_t pgn = op < 160 ? kInterestingPgns[op % 10] : in.u16();
        r[0] = in.u8();
        r[1] = static_cast<uint8_t>(pgn >> 8);
        r[2] = static_cast<uint8_t>(pgn);
        const std::vector<uint8_t> payload = in.bytes(r[0]);
        std::copy(payload.begin(), payload.end(), r.begin() + 3);
        if (waiting == kDepth) {
            flush();
        }
        check(::mq_send(resv_mq, reinterpret_cast<const char *>(r.data()), kRecordSize, 0) == 0,
              "record refused by an empty receive queue");
        ++waiting;
        sent.insert(std::move(r));
    }
    flush();
    for (auto &r : drain(req_resp_mq)) {
        answers.push_back(std::move(r));
    }
    for (auto &r : drain(bc_mq)) {
        broadcasts.push_back(std::move(r));
    }
    check(drain(resv_mq).empty(), "records left on the receive queue");

    for (const Record &r : answers) {
        check_output(r, sent);
        check(requested.count(pgn_of(r)) != 0, "an answer to a PGN never requested");
    }
    for (const Record &r : broadcasts) {
        check_output(r, sent);
    }
    return 0;
}
