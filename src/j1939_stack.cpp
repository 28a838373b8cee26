// SPDX-License-Identifier: MIT
// The J1939 stack: link bring-up with bit-rate detection, the promiscuous
// receive socket, the three message queues, the receiver and filter threads,
// multi-packet reassembly, requests and the retrieval of answers.
//
// Every OS call goes through platform() so that tests can script the
// platform. Threads meet only through the kernel's message queues and a few
// atomically accessed globals; nothing here allocates.
//
// The per-message path is kept to the calls the queues need: the receiver
// takes what the socket holds in one call and sends each record once; the
// filter and the retrieval calls wait and receive in one call on blocking
// descriptors of their own; no lock and no clock read per message.
#include "j1939_stack.h"

#include "platform.h"
#include "stack_internal.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

// ---- stack state (exported, zero at load) ----------------------------------

extern "C" {
int init_status;
int resp_sock;
struct sockaddr_can sockname;
struct sockaddr_can peername;
pthread_t tid[4];
struct mq_attr attr;
mqd_t resv_mq;
mqd_t bc_mq;
mqd_t req_resp_mq;
int req_flag;
__u32 g_r_pgn;
uint8_t g_multi_pkt_msg[50];
int g_multi_pkt_msg_len;
unsigned long g_msg_len;
unsigned long g_total_msg_len;
uint8_t g_no_of_pkts;
int g_n_pkt;
__u32 g_recvd_pgn;
int multi_frame_mode;
}

namespace vehcan::detail {
namespace {

// ---- configuration ----------------------------------------------------------

constexpr const char *kInterface = "can0";
constexpr int kBitRates[] = {250000, 500000, 1000000, 125000, 100000};
constexpr const char *kLinkUpCommand = "ip link set can0 up type can bitrate";
constexpr const char *kLinkDownCommand = "ifconfig can0 down";
constexpr int kReceiveTimeoutSeconds = 5;
constexpr long kQueueRecordSize = 5078;
constexpr size_t kRecordSize = 5078;
constexpr size_t kReceiveBufferSize = kRecordSize + 1;
constexpr size_t kMaxPayload = 128;
constexpr useconds_t kErrorPauseMicroseconds = 100000;
constexpr int kFilterWakeMilliseconds = 1000;
constexpr unsigned int kReceiveBatch = 16; // messages taken from the socket in one call

struct QueueName {
    const char *name;
    const char *stale_path;
};
constexpr QueueName kRecvQueue = {"/recv_queue", "/dev/mqueue/recv_queue"};
constexpr QueueName kBroadcastQueue = {"/brdcst_queue", "/dev/mqueue/brdcst_queue"};
constexpr QueueName kAnswerQueue = {"/reqst_resp_queue", "/dev/mqueue/reqst_resp_queue"};

constexpr uint32_t kPgnAcknowledgement = 59392;
constexpr uint32_t kPgnRequest = 59904;
constexpr uint32_t kPgnTpCm = 60416;
constexpr uint32_t kPgnTpCmGlobal = 60671;
constexpr uint32_t kPgnTpDt = 60160;
constexpr uint32_t kPgnTpDtGlobal = 60415;
constexpr uint32_t kPgnVehicleIdentification = 65260;
constexpr uint32_t kPgnDriverIdentification = 65131;
constexpr uint32_t kPgnDm3 = 65228;
constexpr uint32_t kPgnDm11 = 65235;
constexpr uint32_t kFirstPdu2Pgn = 61440;
constexpr uint32_t kLastPdu2Pgn = 65279;

// TP.CM control bytes.
constexpr uint8_t kTpRequestToSend = 16;
constexpr uint8_t kTpClearToSend = 17;
constexpr uint8_t kTpEndOfMessage = 19;
constexpr uint8_t kTpBroadcastAnnounce = 32;
constexpr uint8_t kTpAbort = 255;

constexpr size_t kTpFrameSize = 8;
constexpr int kTpBytesPerPacket = 7;

// ---- atomic access to plain shared globals -----------------------------------

template <typename T>
T load(T &v) {
    return std::atomic_ref<T>(v).load();
}

template <typename T>
void store(T &v, T value) {
    std::atomic_ref<T>(v).store(value);
}

Counters g_counters;

// ---- socket helpers ------------------------------------------------------------

sockaddr_can j1939_address(uint32_t pgn, uint8_t address) {
    sockaddr_can a{};
    a.can_family = AF_CAN;
    a.can_ifindex = static_cast<int>(platform().if_nametoindex(kInterface));
    a.can_addr.j1939.name = J1939_NO_NAME;
    a.can_addr.j1939.pgn = pgn;
    a.can_addr.j1939.addr = address;
    return a;
}

int set_int_option(int fd, int level, int name, int value) {
    return platform().setsockopt(fd, level, name, &value, sizeof value);
}

int set_receive_timeout(int fd) {
    const timeval read_timeout = {kReceiveTimeoutSeconds, 0};
    return platform().setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &read_timeout, sizeof read_timeout);
}

int bind_to(int fd, const sockaddr_can &address) {
    return platform().bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
}

int open_j1939_socket() {
    return platform().socket(PF_CAN, SOCK_DGRAM, CAN_J1939);
}

void pause_after_error() {
    ::usleep(kErrorPauseMicroseconds);
}

// Serialises the opening of the receive socket between the host's bring-up
// and the receiver thread.
pthread_mutex_t g_receive_socket_lock = PTHREAD_MUTEX_INITIALIZER;

struct Lock {
    explicit Lock(pthread_mutex_t &m) : mutex(m) { pthread_mutex_lock(&mutex); }
    ~Lock() { pthread_mutex_unlock(&mutex); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    pthread_mutex_t &mutex;
};

// ---- queue helpers ------------------------------------------------------------------

int send_record(mqd_t queue, const uint8_t *record) {
    return platform().mq_send(queue, reinterpret_cast<const char *>(record), kRecordSize, 0);
}

// Receives and discards every record waiting on queue; returns how many.
uint64_t drain(mqd_t queue) {
    char buffer[kReceiveBufferSize];
    uint64_t dropped = 0;
    for (;;) {
        std::memset(buffer, 0, sizeof buffer);
        if (platform().mq_receive(queue, buffer, kRecordSize, nullptr) <= 0) {
            return dropped;
        }
        ++dropped;
    }
}

// Sends a record and, when the queue refuses it, drains the queue: the
// record that failed is lost with the ones waiting.
bool send_or_drain(mqd_t queue, const uint8_t *record) {
    if (send_record(queue, record) == -1) {
        const uint64_t lost = drain(queue) + 1;
        g_counters.records_dropped += lost;
        if (queue == load(resv_mq)) {
            g_counters.received_dropped += lost; // never reached the filter
        }
        ++g_counters.queue_drains;
        return false;
    }
    return true;
}

// Waits until queue has a record or timeout_ms pass. Never returns at once
// on a broken descriptor: it sleeps instead, so no caller can spin.
void wait_for_record(mqd_t queue, int timeout_ms) {
    pollfd p = {queue, POLLIN, 0};
    const int rc = platform().poll(&p, 1, timeout_ms);
    if ((rc < 0 && errno != EINTR) || (rc > 0 && (p.revents & (POLLNVAL | POLLERR)) != 0)) {
        ::usleep(static_cast<useconds_t>(timeout_ms > 0 ? timeout_ms : 100) * 1000U);
    }
}

// ---- blocking descriptors ----------------------------------------------------------
// Each queue has, besides its exported non-blocking descriptor, a blocking
// one of the library's own, opened with the queue: the filter and the
// retrieval calls wait and receive in one mq_timedreceive() on it, while
// producers and drains keep the non-blocking one and never wait. A blocking
// descriptor is used only while the exported one is still the descriptor it
// was opened beside (a host or a test may set its own); otherwise the
// readers fall back to a poll and a non-blocking receive. Both are packed in
// one word so that a reader never sees the pair half updated.

struct WaitingDescriptor {
    std::atomic<uint64_t> pair{0}; // exported descriptor << 32 | blocking one; 0: none
};

WaitingDescriptor g_waiting_recv;
WaitingDescriptor g_waiting_broadcast;
WaitingDescriptor g_waiting_answer;

uint64_t pack_descriptors(mqd_t shared, mqd_t blocking) {
    return static_cast<uint64_t>(static_cast<uint32_t>(shared)) << 32 |
           static_cast<uint32_t>(blocking);
}

// The blocking descriptor beside shared, or -1.
mqd_t blocking_descriptor(const WaitingDescriptor &w, mqd_t shared) {
    const uint64_t p = w.pair.load(std::memory_order_acquire);
    if (p == 0 || static_cast<mqd_t>(static_cast<uint32_t>(p >> 32)) != shared) {
        return -1;
    }
    return static_cast<mqd_t>(static_cast<uint32_t>(p));
}

// Opens a blocking, receive-only descriptor of the queue that shared was
// just opened on. The library closes no queue descriptor (a thread may still
// wait on one); a failed open leaves the readers on their fallback.
void open_blocking_descriptor(WaitingDescriptor &w, const char *name, mqd_t shared) {
    w.pair.store(0, std::memory_order_release);
    if (shared == -1) {
        return;
    }
    const mqd_t blocking = platform().mq_open(name, O_RDONLY, 0, nullptr);
    if (blocking != -1) {
        w.pair.store(pack_descriptors(shared, blocking), std::memory_order_release);
    }
}

// The wall clock's time nanoseconds from now. The waits here are a few
// seconds, so whole seconds are carried one by one: on 32-bit ARM a 64-bit
// division would make libvehcan need the compiler's shared run-time library.
timespec realtime_in(int64_t nanoseconds) {
    constexpr int64_t kSecond = 1'000'000'000;
    timespec t{};
    platform().clock_gettime(CLOCK_REALTIME, &t);
    int64_t ns = t.tv_nsec + nanoseconds;
    while (ns >= kSecond) {
        ++t.tv_sec;
        ns -= kSecond;
    }
    while (ns < 0) {
        --t.tv_sec;
        ns += kSecond;
    }
    t.tv_nsec = static_cast<long>(ns);
    return t;
}

// A receive writes n bytes of the buffer; bytes from n up to dirty may still
// hold an earlier, longer message. Clears only those, so the buffer reads as
// if cleared before every receive. Returns the new dirty extent, n.
size_t clear_stale_tail(uint8_t *buffer, size_t n, size_t dirty) {
    if (dirty > n) {
        std::memset(buffer + n, 0, dirty - n);
    }
    return n;
}

uint32_t record_pgn(const uint8_t *record) {
    return static_cast<uint32_t>(record[1]) << 8 | record[2];
}

// peername is exported and read by the host; the receiver updates it for
// every message without a lock, member by member.
void publish_peer(const sockaddr_can &from) {
    std::atomic_ref<sa_family_t>(peername.can_family)
        .store(from.can_family, std::memory_order_relaxed);
    std::atomic_ref<int>(peername.can_ifindex).store(from.can_ifindex, std::memory_order_relaxed);
    std::atomic_ref<__u64>(peername.can_addr.j1939.name)
        .store(from.can_addr.j1939.name, std::memory_order_relaxed);
    std::atomic_ref<__u32>(peername.can_addr.j1939.pgn)
        .store(from.can_addr.j1939.pgn, std::memory_order_relaxed);
    std::atomic_ref<__u8>(peername.can_addr.j1939.addr)
        .store(from.can_addr.j1939.addr, std::memory_order_relaxed);
}

// ---- pending request ------------------------------------------------------------------
// req_flag and g_r_pgn stay two plain exported variables, accessed only
// atomically. The host publishes the PGN before the flag; the filter reads
// the flag before the PGN, so a pending flag always comes with its PGN.

void publish_pending(uint32_t pgn) {
    store(g_r_pgn, static_cast<__u32>(pgn));
    store(req_flag, 1);
}

bool pending_is(uint32_t pgn) {
    return load(req_flag) == 1 && load(g_r_pgn) == pgn;
}

// Clears the pending request only while it is still the one for pgn, so a
// newer request that the host published meanwhile is never wiped.
void clear_pending(uint32_t pgn) {
    __u32 expected = pgn;
    if (!std::atomic_ref<__u32>(g_r_pgn).compare_exchange_strong(expected, 0)) {
        return;
    }
    store(req_flag, 0);
    if (load(g_r_pgn) != 0) {
        store(req_flag, 1); // a new request came in between: restore its flag
    }
}

// ---- the held request socket ------------------------------------------------------------
// The kernel answers an RTS/CTS transfer only for an address that a local
// socket holds, so a request's socket stays bound at its source address
// until the answer is routed, a new request replaces it, or the answer's
// deadline passes. One such socket at most, packed with its address and a
// serial number into one word so that the host and the filter thread hand
// it over with single atomic operations.

constexpr int64_t kHoldNanoseconds = 3'000'000'000;

std::atomic<uint64_t> g_held_request{0}; // 0: none
std::atomic<int64_t> g_held_deadline{0};
std::atomic<uint32_t> g_held_serial{0};

uint64_t pack_held(int fd, uint8_t address, uint32_t serial) {
    return 1ULL << 63 | static_cast<uint64_t>(serial & 0x7FFFFFU) << 40 |
           static_cast<uint64_t>(address) << 32 | static_cast<uint32_t>(fd);
}
int held_fd(uint64_t h) {
    return static_cast<int>(static_cast<uint32_t>(h));
}
uint8_t held_address(uint64_t h) {
    return static_cast<uint8_t>(h >> 32);
}

int64_t monotonic_nanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Takes the held socket. Returns it when it is bound at address, else
// closes it and returns -1.
int take_held_socket(uint8_t address) {
    const uint64_t h = g_held_request.exchange(0);
    if (h == 0) {
        return -1;
    }
    if (held_address(h) == address) {
        return held_fd(h);
    }
    platform().close(held_fd(h));
    return -1;
}

void hold_socket(int fd, uint8_t address) {
    g_held_deadline.store(monotonic_nanoseconds() + kHoldNanoseconds);
    const uint64_t h = pack_held(fd, address, g_held_serial.fetch_add(1) + 1);
    const uint64_t previous = g_held_request.exchange(h);
    if (previous != 0) { // another host thread held one meanwhile
        platform().close(held_fd(previous));
    }
}

} // namespace

Counters &counters() {
    return g_counters;
}

// Closes the held request socket once no request is pending or its
// deadline has passed. Run by the filter thread and the retrieval calls.
void release_idle_request_socket() {
    const uint64_t h = g_held_request.load();
    if (h == 0) {
        return;
    }
    if (load(req_flag) != 0 && monotonic_nanoseconds() < g_held_deadline.load()) {
        return;
    }
    uint64_t expected = h;
    if (g_held_request.compare_exchange_strong(expected, 0)) {
        platform().close(held_fd(h));
    }
}

int held_request_socket() {
    const uint64_t h = g_held_request.load();
    return h == 0 ? -1 : held_fd(h);
}

namespace {

// ---- reassembly ------------------------------------------------------------------
// One transfer is the announcement of one sender to one receiver and the data
// packets that follow it. Packets are stored only in order: the packet
// expected next, or packet 1 again while the transfer is open (a sender
// starts over when the receiver asks for it). A duplicate, a packet after a
// gap, and a packet of a transfer that is complete or was aborted are not
// stored, so the message is never patched together from the wrong bytes.

struct Transfer {
    uint8_t data[sizeof g_multi_pkt_msg];
    int stored;              // bytes stored in data
    unsigned long remaining; // bytes still expected
    unsigned long size;      // announced size
    uint8_t packets;         // announced packet count; 0: nothing can be stored
    uint8_t next;            // sequence number that may be stored next; 0: not open
    uint32_t pgn;            // PGN of the message being transferred
    int mode;                // destination queue: 0 none, 1 broadcast, 2 answer
};

void announce(Transfer &t, const uint8_t *rep) {
    std::memset(t.data, 0, sizeof t.data);
    t.size = rep[1] + 256UL * rep[2];
    t.remaining = t.size;
    t.pgn = rep[5] + 256U * rep[6] + 65536U * rep[7];
    // A transfer longer than the buffer is announced, so that the filter can
    // route the request it answers, but can store nothing.
    t.packets = t.size <= sizeof t.data ? rep[3] : 0;
    t.next = t.packets != 0 ? 1 : 0;
}

int store_packet(Transfer &t, const uint8_t *rep) {
    const uint8_t sequence = rep[0];
    if (t.next == 0 || sequence == 0 || sequence > t.packets) {
        return J1939_FAIL;
    }
    if (sequence == 1) {
        // Count from the announced size, not from what earlier packets left.
        std::memcpy(t.data, rep + 1, kTpBytesPerPacket);
        t.remaining = t.size > kTpBytesPerPacket ? t.size - kTpBytesPerPacket : 0;
        t.stored = kTpBytesPerPacket;
        t.next = 2;
        return J1939_TP_FIRST_PACKET;
    }
    if (sequence != t.next || t.remaining == 0) {
        return J1939_FAIL; // a duplicate, a gap, or nothing more expected
    }
    for (int i = 1; i <= kTpBytesPerPacket; ++i) {
        if (t.stored >= static_cast<int>(sizeof t.data)) {
            return J1939_FAIL;
        }
        t.data[t.stored++] = rep[i];
        if (--t.remaining == 0) {
            t.next = 0; // complete: closed until the next announcement
            return 0;
        }
    }
    ++t.next;
    return J1939_FAIL; // bytes still expected
}

// The step on one transfer that the exported handler and the filter share.
// Clear-to-send and end-of-message frames leave the transfer as it is.
int transfer_step(Transfer &t, bool connection_management, const uint8_t *rep) {
    if (!connection_management) {
        return store_packet(t, rep);
    }
    switch (rep[0]) {
    case kTpRequestToSend:
    case kTpBroadcastAnnounce:
        announce(t, rep);
        return J1939_TP_TRANSFER_STARTED;
    case kTpAbort:
        t.packets = 0;
        t.next = 0;
        return J1939_FAIL;
    default:
        return J1939_FAIL;
    }
}

// ---- the exported transfer globals ----
// They describe the transfer that the filter touched last; called directly,
// the exported handler works on them alone, one transfer at a time.
uint8_t g_direct_next = 0;

Transfer transfer_from_globals() {
    Transfer t{};
    std::memcpy(t.data, g_multi_pkt_msg, sizeof t.data);
    t.stored = g_multi_pkt_msg_len;
    t.remaining = g_msg_len;
    t.size = g_total_msg_len;
    t.packets = g_no_of_pkts;
    t.next = g_no_of_pkts != 0 ? g_direct_next : 0;
    t.pgn = g_recvd_pgn;
    t.mode = multi_frame_mode;
    return t;
}

void publish_transfer(const Transfer &t) {
    std::memcpy(g_multi_pkt_msg, t.data, sizeof t.data);
    g_multi_pkt_msg_len = t.stored;
    g_msg_len = t.remaining;
    g_total_msg_len = t.size;
    g_no_of_pkts = t.packets;
    g_n_pkt = t.packets;
    g_recvd_pgn = t.pgn;
    multi_frame_mode = t.mode;
    g_direct_next = t.next;
}

// Checks and prints a transport frame as the exported handler does. Returns
// 0 when the frame may go on to a transfer, else the handler's result.
int admit_transport_frame(__u32 pgn_val, const uint8_t *rep, int length, bool &cm) {
    if (pgn_val == 0 || rep == nullptr || length <= 0) {
        return J1939_ERR_INVALID_DATA;
    }
    std::printf("PGN VAL %x\n", pgn_val);
    cm = pgn_val == kPgnTpCm || pgn_val == kPgnTpCmGlobal;
    const bool dt = pgn_val == kPgnTpDt || pgn_val == kPgnTpDtGlobal;
    if ((!cm && !dt) || static_cast<size_t>(length) < kTpFrameSize) {
        return J1939_FAIL; // not a transport PGN, or not the 8 bytes a transport frame has
    }
    return 0;
}

// ---- the filter's open transfers ----
// The kernel reassembles broadcast transfers and transfers to our own
// addresses; RTS/CTS transfers between two other nodes reach us frame by
// frame, several at once. The filter keeps each in a slot of its own, keyed
// by sender and receiver. A slot is freed when its transfer completes, is
// aborted or times out; when all are taken, the oldest gives way, but never
// an identification transfer for a transfer of a PGN that is not delivered.

constexpr int kTransferSlots = 8;
// Receive time-outs of SAE J1939-21: between data packets (T1), and
// waiting for data after a request or clear to send (T2).
constexpr int64_t kPacketTimeoutNanoseconds = 750'000'000;
constexpr int64_t kHandshakeTimeoutNanoseconds = 1'250'000'000;

struct Slot {
    bool used;
    uint8_t source;
    uint8_t destination;
    uint64_t opened; // order of opening, for the oldest
    int64_t deadline;
    Transfer transfer;
};

Slot g_slots[kTransferSlots];
uint64_t g_slots_opened = 0;

int64_t filter_clock() {
    timespec now{};
    platform().clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

bool is_delivered_pgn(uint32_t pgn) {
    return pgn == kPgnVehicleIdentification || pgn == kPgnDriverIdentification;
}

Slot *find_slot(uint8_t source, uint8_t destination) {
    for (Slot &s : g_slots) {
        if (s.used && s.source == source && s.destination == destination) {
            return &s;
        }
    }
    return nullptr;
}

void free_slot(Slot &s, std::atomic<uint64_t> &reason) {
    s.used = false;
    ++reason;
}

void expire_slots(int64_t now) {
    for (Slot &s : g_slots) {
        if (s.used && now >= s.deadline) {
            free_slot(s, g_counters.transfers_timed_out);
        }
    }
}

// A slot for a new transfer of pgn: a free one, else the oldest that may
// give way, else none.
Slot *claim_slot(uint32_t pgn) {
    Slot *oldest = nullptr;
    for (Slot &s : g_slots) {
        if (!s.used) {
            return &s;
        }
        const bool may_give_way = is_delivered_pgn(pgn) || !is_delivered_pgn(s.transfer.pgn);
        if (may_give_way && (oldest == nullptr || s.opened < oldest->opened)) {
            oldest = &s;
        }
    }
    if (oldest != nullptr) {
        free_slot(*oldest, g_counters.transfers_evicted);
    }
    return oldest;
}

// Opens the transfer that an announcement from source to destination
// starts. Returns its slot, or null when it stores nothing.
Slot *open_slot(uint8_t source, uint8_t destination, const Transfer &announced, int64_t now) {
    Slot *s = find_slot(source, destination);
    if (s != nullptr) {
        free_slot(*s, g_counters.transfers_replaced); // the sender starts over
    }
    if (announced.packets == 0) {
        ++g_counters.transfers_unstored;
        return nullptr;
    }
    if (s == nullptr) {
        s = claim_slot(announced.pgn);
    }
    if (s == nullptr) {
        ++g_counters.transfers_unstored;
        return nullptr;
    }
    *s = Slot{true,     source, destination, ++g_slots_opened, now + kHandshakeTimeoutNanoseconds,
              announced};
    ++g_counters.transfers_opened;
    return s;
}

// ---- filter ------------------------------------------------------------------------

bool is_transport_pgn(uint32_t pgn) {
    return pgn == kPgnTpCm || pgn == kPgnTpCmGlobal || pgn == kPgnTpDt || pgn == kPgnTpDtGlobal;
}

void route_single(const uint8_t *record, uint32_t pgn) {
    if (pending_is(pgn)) {
        // Cleared before the answer is sent, so that a host that fetches it
        // and asks again at once never has its new request wiped.
        clear_pending(pgn);
        if (send_or_drain(load(req_resp_mq), record)) {
            ++g_counters.answers_routed;
        }
        release_idle_request_socket();
    } else if (load(req_flag) == 1 && pgn == kPgnAcknowledgement) {
        ++g_counters.acknowledgements_dropped;
    } else if (send_or_drain(load(bc_mq), record)) {
        ++g_counters.broadcasts_routed;
    }
}

void deliver_transfer(const Transfer &t) {
    uint8_t message[kRecordSize] = {};
    message[0] = static_cast<uint8_t>(t.stored);
    message[1] = static_cast<uint8_t>(t.pgn >> 8);
    message[2] = static_cast<uint8_t>(t.pgn);
    std::memcpy(message + 3, t.data, static_cast<size_t>(t.stored));
    const mqd_t queue = t.mode == 2 ? load(req_resp_mq) : load(bc_mq);
    if (send_or_drain(queue, message)) {
        ++g_counters.transfers_delivered;
    }
}

// The queue that a transfer of the announced PGN goes to; a transfer that
// answers the pending request settles it.
int choose_destination(uint32_t pgn) {
    if (pending_is(pgn)) {
        clear_pending(pgn);
        return 2;
    }
    return pgn >= kFirstPdu2Pgn && pgn <= kLastPdu2Pgn ? 1 : 0;
}

// A transport frame from the receiver: its 8 bytes, then the sender's and
// the receiver's address.
void route_transport(const uint8_t *record, uint32_t pgn) {
    const uint8_t *rep = record + 3;
    bool cm = false;
    if (admit_transport_frame(pgn, rep, record[0], cm) != 0) {
        return;
    }
    const uint8_t source = record[3 + kTpFrameSize];
    const uint8_t destination = record[3 + kTpFrameSize + 1];
    const int64_t now = filter_clock();
    expire_slots(now);

    if (cm && (rep[0] == kTpRequestToSend || rep[0] == kTpBroadcastAnnounce)) {
        Transfer announced{};
        transfer_step(announced, true, rep);
        announced.mode = choose_destination(announced.pgn);
        const Slot *s = open_slot(source, destination, announced, now);
        publish_transfer(s != nullptr ? s->transfer : announced);
        return;
    }
    if (cm) {
        // Clear to send and the end-of-message acknowledgement come from the
        // receiver; an abort from either side.
        Slot *s = find_slot(destination, source);
        if (s == nullptr && rep[0] == kTpAbort) {
            s = find_slot(source, destination);
        }
        if (s == nullptr) {
            return;
        }
        if (rep[0] == kTpClearToSend) {
            s->deadline = now + kHandshakeTimeoutNanoseconds;
        } else if (rep[0] == kTpAbort || rep[0] == kTpEndOfMessage) {
            // An end of message while packets are missing here: the rest
            // went by unseen, and the transfer is over.
            transfer_step(s->transfer, true, rep);
            free_slot(*s, g_counters.transfers_aborted);
        }
        publish_transfer(s->transfer);
        return;
    }
    Slot *s = find_slot(source, destination);
    if (s == nullptr) {
        return; // no transfer open between these two
    }
    const int rc = transfer_step(s->transfer, false, rep);
    s->deadline = now + kPacketTimeoutNanoseconds;
    if (rc == 0) {
        s->used = false;
        if (is_delivered_pgn(s->transfer.pgn) && s->transfer.mode != 0) {
            deliver_transfer(s->transfer);
        }
        s->transfer.mode = 0;
    }
    publish_transfer(s->transfer);
}

// ---- retrieval --------------------------------------------------------------------

int64_t nanoseconds_of(const timespec &t) {
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Takes the next record the old way, on the exported descriptor: a
// non-blocking receive, then a poll that wakes at least at each whole
// second of the monotonic clock. For queues without a blocking descriptor,
// and to finish a wait whose blocking descriptor failed.
bool take_record_polling(mqd_t queue, int limit_seconds, const timespec &start, uint8_t *record) {
    for (;;) {
        std::memset(record, 0, kReceiveBufferSize);
        timespec now{};
        platform().clock_gettime(CLOCK_MONOTONIC, &now);
        const int elapsed = time_diff_seconds(&now, &start);
        if (platform().mq_receive(queue, reinterpret_cast<char *>(record), kRecordSize, nullptr) >
            0) {
            return true;
        }
        if (elapsed > limit_seconds) {
            return false;
        }
        const long to_next_second_ms = (1'000'000'000L - now.tv_nsec + 999'999) / 1'000'000;
        wait_for_record(queue, static_cast<int>(to_next_second_ms));
    }
}

// Takes the next record off queue into record (kReceiveBufferSize bytes,
// zero beyond what the record holds). A waiting record is always taken;
// otherwise the call waits for one and gives up at the first empty receive
// at which more than limit whole seconds of the monotonic clock have
// passed, that is at the start of whole second start + limit + 1. With the
// blocking descriptor, waiting and receiving are one call, and a record
// that is already there costs that one call and a clock read.
bool take_record(mqd_t queue, const WaitingDescriptor &waiting, int limit_seconds,
                 uint8_t *record) {
    timespec start{};
    platform().clock_gettime(CLOCK_MONOTONIC, &start);
    const mqd_t blocking = blocking_descriptor(waiting, queue);
    if (blocking == -1) {
        return take_record_polling(queue, limit_seconds, start, record);
    }
    const int64_t give_up =
        (static_cast<int64_t>(start.tv_sec) + limit_seconds + 1) * 1'000'000'000;
    int64_t now = nanoseconds_of(start);
    for (;;) {
        // mq_timedreceive() counts on the wall clock: the wait is the time
        // left on the monotonic one, measured again after every wake.
        const timespec deadline = realtime_in(give_up - now);
        const ssize_t n = platform().mq_timedreceive(blocking, reinterpret_cast<char *>(record),
                                                     kRecordSize, nullptr, &deadline);
        if (n > 0) {
            clear_stale_tail(record, static_cast<size_t>(n), kReceiveBufferSize);
            return true;
        }
        const int error = errno;
        timespec t{};
        platform().clock_gettime(CLOCK_MONOTONIC, &t);
        now = nanoseconds_of(t);
        if (error != ETIMEDOUT && error != EINTR) {
            return take_record_polling(queue, limit_seconds, start, record);
        }
        if (now >= give_up) {
            // A record sent as the wait ended is still taken.
            std::memset(record, 0, kReceiveBufferSize);
            return platform().mq_receive(queue, reinterpret_cast<char *>(record), kRecordSize,
                                         nullptr) > 0;
        }
    }
}

// ---- receiving from the socket ---------------------------------------------------
// The receiver takes every message that the socket already holds, up to
// kReceiveBatch, in one call that waits for the first only: under load one
// call serves many records, on a quiet bus it costs what a single receive
// does. Each slot has its sender's address and, where the kernel names one,
// the receiver's address as control data (a message to all has none).

constexpr size_t kControlSize = CMSG_SPACE(sizeof(uint8_t)) * 2 + CMSG_SPACE(sizeof(uint64_t));

struct ReceiveBatch {
    uint8_t data[kReceiveBatch][kMaxPayload];
    sockaddr_can from[kReceiveBatch];
    alignas(cmsghdr) char control[kReceiveBatch][kControlSize];
    iovec iov[kReceiveBatch];
    mmsghdr messages[kReceiveBatch];
    unsigned int used; // slots the last call filled, to be set up again
};

// Sets up slot i for a receive: its address cleared, so that a message for
// which the socket reports no address is recorded with PGN 0.
void prepare_slot(ReceiveBatch &b, unsigned int i) {
    b.from[i] = sockaddr_can{};
    b.iov[i] = {b.data[i], kMaxPayload};
    msghdr &m = b.messages[i].msg_hdr;
    m = msghdr{};
    m.msg_name = &b.from[i];
    m.msg_namelen = sizeof b.from[i];
    m.msg_iov = &b.iov[i];
    m.msg_iovlen = 1;
    m.msg_control = b.control[i];
    m.msg_controllen = kControlSize;
    b.messages[i].msg_len = 0;
}

void prepare_batch(ReceiveBatch &b) {
    for (unsigned int i = 0; i < kReceiveBatch; ++i) {
        prepare_slot(b, i);
    }
    b.used = 0;
}

// Receives into b. Returns the number of messages, or -1 with errno set
// when even the first could not be had (time-out, error).
int receive_batch(int sock, ReceiveBatch &b) {
    for (unsigned int i = 0; i < b.used; ++i) {
        prepare_slot(b, i);
    }
    const int count = platform().recvmmsg(sock, b.messages, kReceiveBatch, MSG_WAITFORONE, nullptr);
    b.used = count > 0 ? static_cast<unsigned int>(count) : 1U;
    return count;
}

uint8_t destination_of(msghdr &message) {
    uint8_t destination = J1939_NO_ADDR;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_CAN_J1939 && c->cmsg_type == SCM_J1939_DEST_ADDR &&
            c->cmsg_len >= CMSG_LEN(sizeof(uint8_t))) {
            std::memcpy(&destination, CMSG_DATA(c), sizeof destination);
        }
    }
    return destination;
}

void *receiver_body(void *) {
    j1939_resp_recv();
    return nullptr;
}

void *filter_body(void *) {
    j1939_filter_response();
    return nullptr;
}

int link_up_listen_only(int bps, bool on) {
    char cmd[80] = {};
    (void)std::snprintf(cmd, sizeof cmd, "%s %d listen-only %s", kLinkUpCommand, bps,
                        on ? "on" : "off");
    return platform().system(cmd);
}

// Sets the link to bps in normal (not listen-only) mode once a probe has
// found traffic there. Falls back to the plain link-up for controllers
// without listen-only.
int link_up_normal(int bps) {
    platform().system(kLinkDownCommand);
    if (link_up_listen_only(bps, false) == 0) {
        return 0;
    }
    return can_init(bps);
}

// Opens the promiscuous receive socket into resp_sock unless one is
// recorded. A socket that fails to bind stays recorded when
// keep_unbound is set (the exported call's contract); the receiver thread
// instead closes and forgets it, so that it tries again rather than
// receiving forever on a socket that is bound to nothing.
int open_receive_socket(bool keep_unbound) {
    const Lock lock(g_receive_socket_lock);
    if (load(resp_sock) > 0) {
        return 0;
    }
    sockname = j1939_address(J1939_NO_PGN, J1939_NO_ADDR);
    publish_peer(sockname);
    const int fd = open_j1939_socket();
    store(resp_sock, fd);
    if (fd < 0) {
        return J1939_ERR_SOCK_CREATE;
    }
    set_int_option(fd, SOL_CAN_J1939, SO_J1939_PROMISC, 1);
    set_int_option(fd, SOL_SOCKET, SO_BROADCAST, 1);
    if (bind_to(fd, sockname) < 0) {
        if (!keep_unbound) {
            store(resp_sock, 0);
            platform().close(fd);
        }
        return J1939_ERR_SOCK_BIND;
    }
    set_receive_timeout(fd);
    return 0;
}

// Takes the next record off "/recv_queue" into record, waiting at most
// until wake (wall clock). Returns the record's size, or 0 when none came:
// then the held request socket has been looked at and wake moved a second
// on. Without a working blocking descriptor, a non-blocking receive and a
// poll on the exported one.
ssize_t filter_take(uint8_t *record, timespec &wake) {
    const mqd_t queue = load(resv_mq);
    const mqd_t blocking = blocking_descriptor(g_waiting_recv, queue);
    unsigned int priority = 0;
    if (blocking != -1) {
        const ssize_t n = platform().mq_timedreceive(blocking, reinterpret_cast<char *>(record),
                                                     kRecordSize, &priority, &wake);
        if (n > 0) {
            return n;
        }
        const int error = errno;
        if (error == EINTR) {
            return 0;
        }
        if (error == ETIMEDOUT) {
            release_idle_request_socket();
            wake = realtime_in(int64_t{kFilterWakeMilliseconds} * 1'000'000);
            return 0;
        }
        // A failing blocking descriptor: this pass goes the polling way.
    }
    const ssize_t n =
        platform().mq_receive(queue, reinterpret_cast<char *>(record), kRecordSize, &priority);
    if (n > 0) {
        return n;
    }
    release_idle_request_socket();
    wait_for_record(queue, kFilterWakeMilliseconds);
    return 0;
}

} // namespace

void forget_open_transfers() {
    for (Slot &s : g_slots) {
        if (s.used) {
            free_slot(s, g_counters.transfers_timed_out);
        }
    }
}

} // namespace vehcan::detail

using namespace vehcan::detail;

extern "C" {

// ---- bring-up and tear-down ----------------------------------------------------

int j1939_can_init(void) {
    int rate = 0;
    for (const int bps : kBitRates) {
        if (j1939_find_baudrate(bps) == 0) {
            rate = bps;
            break;
        }
    }
    if (rate == 0) {
        return J1939_FAIL;
    }
    // Probing listened without disturbing the bus; now take part in it.
    if (link_up_normal(rate) != 0) {
        return J1939_ERR_LINK_UP;
    }
    if (init_status != 0) {
        return 0;
    }
    if (j1939_can_socket_init() != 0) {
        return J1939_ERR_LINK_UP;
    }
    const int queues = mq_init();
    if (queues != 0) {
        return queues;
    }
    const int threads = j1939_thread_init();
    if (threads == 0) {
        init_status = 1;
    }
    return threads;
}

int j1939_can_deinit(void) {
    int status = platform().system(kLinkDownCommand) != 0 ? J1939_ERR_LINK_DOWN : 0;
    mq_delete();
    const Lock lock(g_receive_socket_lock);
    const int sock = load(resp_sock);
    if (sock != 0) {
        // Forget the descriptor before closing it: the process may reuse the
        // number at once, and nothing may receive on it after this.
        store(resp_sock, 0);
        if (platform().close(sock) != 0) {
            status = J1939_ERR_SOCK_CLOSE;
        }
    }
    return status;
}

int j1939_find_baudrate(int bps) {
    if (bps == 0) {
        return 0;
    }
    const int down = j1939_can_deinit();
    // Listen-only, so that a probe at the wrong rate sends no error frames
    // into a live bus; the plain link-up only for controllers without it.
    int up = link_up_listen_only(bps, true);
    if (up != 0) {
        up = can_init(bps);
    }
    if (up != 0) {
        return J1939_ERR_LINK_UP;
    }
    if (down != 0) {
        return J1939_ERR_LINK_DOWN;
    }
    return j1939_check_response();
}

int can_init(int bps) {
    char cmd[60] = {};
    (void)std::snprintf(cmd, sizeof cmd, "%s %d", kLinkUpCommand, bps);
    return platform().system(cmd);
}

int j1939_check_response(void) {
    const int fd = open_j1939_socket();
    if (fd < 0) {
        return J1939_ERR_SOCK_CREATE;
    }
    int result = 0;
    if (set_int_option(fd, SOL_SOCKET, SO_BROADCAST, 1) < 0) {
        result = J1939_ERR_SOCK_OPT;
    } else if (bind_to(fd, j1939_address(J1939_NO_PGN, J1939_NO_ADDR)) < 0) {
        result = J1939_ERR_SOCK_BIND;
    } else {
        set_receive_timeout(fd);
        uint8_t dat[kMaxPayload] = {};
        sockaddr_can source = j1939_address(J1939_NO_PGN, J1939_NO_ADDR);
        socklen_t source_len = sizeof source;
        const ssize_t n = platform().recvfrom(fd, dat, sizeof dat, 0,
                                              reinterpret_cast<sockaddr *>(&source), &source_len);
        result = n >= 0 ? 0 : J1939_ERR_NO_BUS_TRAFFIC;
    }
    if (platform().close(fd) != 0) {
        result = J1939_ERR_SOCK_CLOSE;
    }
    return result;
}

int j1939_can_socket_init(void) {
    return open_receive_socket(true);
}

int mq_init(void) {
    attr = {};
    attr.mq_flags = 0;
    attr.mq_maxmsg = platform().queue_depth;
    attr.mq_msgsize = kQueueRecordSize;
    attr.mq_curmsgs = 0;
    const rlimit rlim = {RLIM_INFINITY, RLIM_INFINITY};
    platform().setrlimit(RLIMIT_MSGQUEUE, &rlim);
    for (const QueueName &q : {kRecvQueue, kBroadcastQueue, kAnswerQueue}) {
        if (platform().access(q.stale_path, F_OK) == 0) {
            platform().mq_unlink(q.name);
        }
    }
    constexpr int kFlags = O_RDWR | O_CREAT | O_NONBLOCK;
    constexpr mode_t kMode = 0644;
    const mqd_t recv = platform().mq_open(kRecvQueue.name, kFlags, kMode, &attr);
    store(resv_mq, recv);
    open_blocking_descriptor(g_waiting_recv, kRecvQueue.name, recv);
    if (recv == -1) {
        return J1939_ERR_MQ_OPEN;
    }
    const mqd_t broadcast = platform().mq_open(kBroadcastQueue.name, kFlags, kMode, &attr);
    const mqd_t answer = platform().mq_open(kAnswerQueue.name, kFlags, kMode, &attr);
    store(bc_mq, broadcast);
    store(req_resp_mq, answer);
    open_blocking_descriptor(g_waiting_broadcast, kBroadcastQueue.name, broadcast);
    open_blocking_descriptor(g_waiting_answer, kAnswerQueue.name, answer);
    return broadcast == -1 || answer == -1 ? J1939_ERR_MQ_OPEN : 0;
}

int j1939_thread_init(void) {
    if (platform().pthread_create(&tid[0], nullptr, receiver_body, nullptr) != 0) {
        return J1939_ERR_THREAD_CREATE;
    }
    if (pthread_detach(tid[0]) == 0) {
        std::puts("j1939_resp_recv thread detached successfully");
    }
    if (platform().pthread_create(&tid[1], nullptr, filter_body, nullptr) != 0) {
        return J1939_ERR_THREAD_CREATE;
    }
    if (pthread_detach(tid[1]) == 0) {
        std::puts("j1939_filter_response thread detached successfully");
    }
    return 0;
}

int mq_delete(void) {
    int status = 0;
    for (const QueueName &q : {kRecvQueue, kBroadcastQueue, kAnswerQueue}) {
        if (platform().mq_unlink(q.name) == -1) {
            status = J1939_ERR_MQ_UNLINK;
        }
    }
    return status;
}

// ---- receiver thread ------------------------------------------------------------------

void j1939_resp_recv(void) {
    int sock = load(resp_sock);
    if (sock <= 0) {
        if (j1939_can_socket_init() != 0) {
            ++g_counters.receiver_exits;
            return;
        }
        sock = load(resp_sock);
    }
    ReceiveBatch batch; // NOLINT(cppcoreguidelines-pro-type-member-init): prepared below
    prepare_batch(batch);
    // The record is cleared once; after that only the bytes that the last
    // record wrote beyond the new one's are cleared again.
    uint8_t buffer[kRecordSize] = {};
    size_t dirty = 0;
    for (;;) {
        if (sock <= 0) {
            open_receive_socket(false);
            sock = load(resp_sock);
            if (sock <= 0) {
                pause_after_error();
                continue;
            }
        }
        const int count = receive_batch(sock, batch);
        if (count <= 0) {
            if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                ++g_counters.receive_errors;
                pause_after_error();
            }
            sock = load(resp_sock);
            continue;
        }
        for (unsigned int i = 0; i < static_cast<unsigned int>(count); ++i) {
            const size_t n = batch.messages[i].msg_len;
            if (n == 0) {
                continue; // an empty message makes no record
            }
            const sockaddr_can &from = batch.from[i];
            publish_peer(from);
            const auto pgn = from.can_addr.j1939.pgn;
            buffer[0] = static_cast<uint8_t>(n);
            buffer[1] = static_cast<uint8_t>(pgn >> 8);
            buffer[2] = static_cast<uint8_t>(pgn);
            std::memcpy(buffer + 3, batch.data[i], n);
            size_t written = 3 + n;
            // Transport records never leave the library: they carry the
            // sender and the receiver behind their 8 bytes, for the filter
            // to tell transfers apart.
            if (is_transport_pgn(static_cast<uint16_t>(pgn)) && n <= kTpFrameSize) {
                std::memset(buffer + written, 0, 3 + kTpFrameSize - written);
                buffer[3 + kTpFrameSize] = from.can_addr.j1939.addr;
                buffer[3 + kTpFrameSize + 1] = destination_of(batch.messages[i].msg_hdr);
                written = 3 + kTpFrameSize + 2;
            }
            clear_stale_tail(buffer, written, dirty);
            dirty = written;
            ++g_counters.messages_received;
            send_or_drain(load(resv_mq), buffer);
        }
        sock = load(resp_sock);
    }
}

int clear_message_queue(mqd_t queue_id) {
    drain(queue_id);
    return 0;
}

// ---- filter thread ----------------------------------------------------------------------

void j1939_filter_response(void) {
    // Cleared once; after a receive only what an earlier, longer message left
    // beyond the new one is cleared (every record of the library has the
    // full size, so normally nothing).
    uint8_t record[kReceiveBufferSize] = {};
    size_t dirty = 0;
    timespec wake{}; // in the past: the first empty receive returns at once
    for (;;) {
        const ssize_t n = filter_take(record, wake);
        if (n <= 0) {
            continue;
        }
        dirty = clear_stale_tail(record, static_cast<size_t>(n), dirty);
        const uint32_t pgn = record_pgn(record);
        if (is_transport_pgn(pgn)) {
            ++g_counters.transport_frames;
            route_transport(record, pgn);
        } else {
            route_single(record, pgn);
        }
        ++g_counters.records_filtered;
    }
}

int multi_frame_message_handler(__u32 pgn_val, const uint8_t *rep, int length) {
    bool cm = false;
    const int admitted = admit_transport_frame(pgn_val, rep, length, cm);
    if (admitted != 0) {
        return admitted;
    }
    Transfer t = transfer_from_globals();
    const int rc = transfer_step(t, cm, rep);
    publish_transfer(t);
    return rc;
}

int get_ack_type(__u32 pgn_val, const uint8_t *rep, int length) {
    if (pgn_val == 0 || rep == nullptr || length <= 0) {
        return J1939_ERR_INVALID_DATA;
    }
    if (pgn_val != kPgnAcknowledgement) {
        return 0;
    }
    switch (rep[0]) {
    case 0:
        return 0;
    case 1:
        return J1939_ERR_ACK_NACK;
    case 2:
        return J1939_ERR_ACK_ACCESS_DENIED;
    case 3:
        return J1939_ERR_ACK_CANNOT_RESPOND;
    default:
        return J1939_FAIL;
    }
}

// ---- requests and retrieval ---------------------------------------------------------

int j1939_send_request_message(uint16_t req_pgn, uint16_t sa_node, uint16_t da_node) {
    const uint8_t dat[3] = {static_cast<uint8_t>(req_pgn), static_cast<uint8_t>(req_pgn >> 8), 0};
    const auto source = static_cast<uint8_t>(sa_node);
    int fd = take_held_socket(source);
    if (fd < 0) {
        fd = open_j1939_socket();
        set_int_option(fd, SOL_SOCKET, SO_BROADCAST, 1);
        if (bind_to(fd, j1939_address(J1939_NO_PGN, source)) < 0) {
            if (fd >= 0) {
                platform().close(fd);
            }
            return J1939_ERR_SOCK_BIND;
        }
    }
    // Published before the request reaches the bus, so that an answer that
    // comes back at once is recognised.
    if (req_pgn != kPgnDm3 && req_pgn != kPgnDm11) {
        publish_pending(req_pgn);
    }
    const sockaddr_can destination = j1939_address(kPgnRequest, static_cast<uint8_t>(da_node));
    const ssize_t sent =
        platform().sendto(fd, dat, sizeof dat, 0, reinterpret_cast<const sockaddr *>(&destination),
                          sizeof destination);
    hold_socket(fd, source);
    return sent < 0 ? J1939_FAIL : static_cast<int>(sent);
}

int j1939_recv_request_response(uint8_t *ar_brd_cast_resp, int *len, uint32_t pgn) {
    uint8_t record[kReceiveBufferSize];
    const bool taken = take_record(load(req_resp_mq), g_waiting_answer, 2, record);
    release_idle_request_socket();
    if (!taken) {
        return J1939_ERR_RESP_TIMEOUT;
    }
    *len = record[0];
    if (record_pgn(record) == pgn && record[0] != 0) {
        std::memcpy(ar_brd_cast_resp, record + 3, record[0]);
    }
    return 0;
}

int j1939_recv_broadcast_response(uint8_t *ar_brd_cast_resp, int *len, long unsigned int *pgn) {
    uint8_t record[kReceiveBufferSize];
    if (!take_record(load(bc_mq), g_waiting_broadcast, 1, record)) {
        return J1939_ERR_RESP_TIMEOUT;
    }
    *len = record[0];
    *pgn = record_pgn(record);
    if (record[0] != 0) {
        std::memcpy(ar_brd_cast_resp, record + 3, record[0]);
    }
    return 0;
}

} // extern "C"
