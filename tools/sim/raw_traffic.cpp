// SPDX-License-Identifier: MIT
// Traffic sent as raw CAN frames: the flood for load tests, and transport
// sequences that the kernel's J1939 stack never produces itself. The kernel
// reassembles broadcast transfers and transfers to its own addresses, so
// the scenarios run RTS/CTS transfers between two other nodes (0x20 -> 0x30,
// 0x21 -> 0x31): only those reach a promiscuous listener frame by frame.
#include "sim.h"
#include "truck_pgns.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vehcan::sim {
namespace {

// ---- frames ------------------------------------------------------------------------

constexpr uint8_t kTpCm = 0xEC; // PDU format of TP.CM
constexpr uint8_t kTpDt = 0xEB; // PDU format of TP.DT
constexpr uint8_t kTpPriority = 7;
constexpr uint8_t kRequestToSend = 16;
constexpr uint8_t kClearToSend = 17;
constexpr uint8_t kEndOfMessageAck = 19;
constexpr uint8_t kAbort = 255;
using pgn::kPgnVehicleIdentification;
constexpr uint32_t kFloodPgn = pgn::kPgnFlood;
constexpr uint32_t kPgnComponentIdentification = 65259;
constexpr uint8_t kFloodSource = 0x00;

struct Frame {
    canid_t id;
    std::array<uint8_t, 8> data;
};

canid_t pdu1_id(uint8_t priority, uint8_t pdu_format, uint8_t destination, uint8_t source) {
    return CAN_EFF_FLAG | static_cast<canid_t>(priority) << 26U |
           static_cast<canid_t>(pdu_format) << 16U | static_cast<canid_t>(destination) << 8U |
           source;
}

// One RTS/CTS transfer of payload from source to destination.
class Transfer {
  public:
    Transfer(uint8_t source, uint8_t destination, uint32_t pgn, std::string payload)
        : source_(source), destination_(destination), pgn_(pgn), payload_(std::move(payload)) {}

    uint8_t packets() const { return static_cast<uint8_t>((payload_.size() + 6) / 7); }

    Frame cm(uint8_t control, size_t size, uint8_t count, bool from_receiver = false) const {
        const uint8_t from = from_receiver ? destination_ : source_;
        const uint8_t to = from_receiver ? source_ : destination_;
        return {pdu1_id(kTpPriority, kTpCm, to, from),
                {control, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8U), count, 0xFF,
                 static_cast<uint8_t>(pgn_), static_cast<uint8_t>(pgn_ >> 8U),
                 static_cast<uint8_t>(pgn_ >> 16U)}};
    }
    Frame rts() const { return cm(kRequestToSend, payload_.size(), packets()); }
    Frame rts_announcing(size_t size) const {
        return cm(kRequestToSend, size, static_cast<uint8_t>((size + 6) / 7));
    }
    Frame cts() const {
        Frame f = cm(kClearToSend, 0, 0, true);
        f.data[1] = packets(); // packets that may be sent
        f.data[2] = 1;         // next packet
        f.data[3] = 0xFF;
        return f;
    }
    Frame eoma() const {
        Frame f = cm(kEndOfMessageAck, payload_.size(), packets(), true);
        return f;
    }
    Frame abort() const {
        Frame f = cm(kAbort, 0, 0, true);
        f.data[1] = 3; // reason: time-out
        f.data[2] = f.data[3] = 0xFF;
        return f;
    }
    // Data packet seq (from 1) of the payload; beyond it, filler bytes.
    Frame dt(uint8_t seq) const {
        Frame f{pdu1_id(kTpPriority, kTpDt, destination_, source_), {}};
        f.data.fill(0xFF);
        f.data[0] = seq;
        for (size_t i = 0; i < 7; ++i) {
            const size_t at = (seq - 1U) * 7U + i;
            f.data[i + 1] = at < payload_.size() ? static_cast<uint8_t>(payload_[at]) : 0xFF;
        }
        return f;
    }

  private:
    uint8_t source_;
    uint8_t destination_;
    uint32_t pgn_;
    std::string payload_;
};

// ---- the scenarios --------------------------------------------------------------------
// Each delivers options.vin (17 characters) as the vehicle identification,
// or fails to, in its own way.

using Sequence = std::vector<Frame>;

Sequence scenario_complete(const Options &o) {
    const Transfer t(0x20, 0x30, kPgnVehicleIdentification, o.vin);
    return {t.rts(), t.cts(), t.dt(1), t.dt(2), t.dt(3), t.eoma()};
}

Sequence scenario_missing_first(const Options &o) {
    const Transfer t(0x20, 0x30, kPgnVehicleIdentification, o.vin);
    return {t.rts(), t.cts(), t.dt(2), t.dt(3), t.eoma()};
}

Sequence scenario_beyond_count(const Options &o) {
    const Transfer t(0x20, 0x30, kPgnVehicleIdentification, o.vin);
    Frame beyond = t.dt(1);
    beyond.data = {static_cast<uint8_t>(t.packets() + 1), 'X', 'X', 'X', 'X', 'X', 'X', 'X'};
    return {t.rts(), t.cts(), t.dt(1), t.dt(2), beyond, t.dt(3), t.eoma()};
}

Sequence scenario_oversize(const Options &o) {
    // 60 bytes announced: more than a receiver with a 50-byte buffer holds.
    const std::string long_text = o.vin + o.second_vin + o.vin + "ABCDEFGHI";
    const Transfer t(0x20, 0x30, kPgnVehicleIdentification, long_text.substr(0, 60));
    Sequence s = {t.rts_announcing(60), t.cts()};
    for (uint8_t seq = 1; seq <= t.packets(); ++seq) {
        s.push_back(t.dt(seq));
    }
    s.push_back(t.eoma());
    return s;
}

Sequence scenario_abort(const Options &o) {
    const Transfer t(0x20, 0x30, kPgnVehicleIdentification, o.vin);
    return {t.rts(), t.cts(), t.dt(1), t.abort(), t.dt(2), t.dt(3)};
}

// The receiver asks again from packet 1 (a CTS naming packet 1 after two
// packets), as a receiver that lost a packet may; the sender repeats them.
Sequence scenario_retransmit(const Options &o) {
    const Transfer t(0x20, 0x30, kPgnVehicleIdentification, o.vin);
    return {t.rts(), t.cts(), t.dt(1), t.dt(2), t.cts(), t.dt(1), t.dt(2), t.dt(3), t.eoma()};
}

Sequence scenario_interleaved(const Options &o) {
    const Transfer a(0x20, 0x30, kPgnVehicleIdentification, o.vin);
    const Transfer b(0x21, 0x31, kPgnVehicleIdentification, o.second_vin);
    return {a.rts(), b.rts(), a.cts(), b.cts(), a.dt(1),  b.dt(1),
            a.dt(2), b.dt(2), a.dt(3), b.dt(3), a.eoma(), b.eoma()};
}

// The identification from 0x20 interleaved with a transfer of another PGN
// (component identification) from 0x21, frame by frame.
Sequence scenario_interleaved_other(const Options &o) {
    const Transfer a(0x20, 0x30, kPgnVehicleIdentification, o.vin);
    const Transfer b(0x21, 0x31, kPgnComponentIdentification, "VEHCAN*SIM-2*SN000042*1");
    return {a.rts(), b.rts(), a.cts(), b.cts(), a.dt(1),  b.dt(1), a.dt(2),
            b.dt(2), b.dt(3), a.dt(3), b.dt(4), a.eoma(), b.eoma()};
}

struct Scenario {
    const char *name;
    Sequence (*build)(const Options &);
};

constexpr Scenario kScenarios[] = {
    {"complete", scenario_complete},
    {"missing-first", scenario_missing_first},
    {"beyond-count", scenario_beyond_count},
    {"oversize", scenario_oversize},
    {"abort", scenario_abort},
    {"retransmit", scenario_retransmit},
    {"interleaved", scenario_interleaved},
    {"interleaved-other", scenario_interleaved_other},
};

// ---- raw socket -------------------------------------------------------------------------

int open_raw(const std::string &interface) {
    const unsigned index = if_nametoindex(interface.c_str());
    if (index == 0) {
        (void)std::fprintf(stderr, "vehcan-sim: no interface %s\n", interface.c_str());
        return -1;
    }
    const int fd = open_raw_sender(index);
    if (fd < 0) {
        std::perror("vehcan-sim: raw socket");
    }
    return fd;
}

// Writes one frame, waiting while the controller's queue is full.
bool write_frame(int fd, const Frame &f, unsigned long *full_waits) {
    can_frame frame{};
    frame.can_id = f.id;
    frame.len = 8;
    std::memcpy(frame.data, f.data.data(), 8);
    for (int tries = 0; tries < 10000 && g_stop == 0; ++tries) {
        if (::write(fd, &frame, sizeof frame) == static_cast<ssize_t>(sizeof frame)) {
            return true;
        }
        if (errno != ENOBUFS && errno != EAGAIN) {
            return false;
        }
        if (full_waits != nullptr) {
            ++*full_waits;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

} // namespace

int open_raw_sender(unsigned ifindex) {
    const int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        return -1;
    }
    // An empty filter list (null, length 0) makes the socket receive nothing.
    // cppcheck-suppress nullPointer
    ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0); // send only
    sockaddr_can a{};
    a.can_family = AF_CAN;
    a.can_ifindex = static_cast<int>(ifindex);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) < 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

const char *scenario_names() {
    return "complete, missing-first, beyond-count, oversize, abort, retransmit, interleaved, "
           "interleaved-other";
}

int run_scenario(const Options &options) {
    const Scenario *scenario = nullptr;
    for (const Scenario &s : kScenarios) {
        if (options.scenario == s.name) {
            scenario = &s;
        }
    }
    if (scenario == nullptr) {
        (void)std::fprintf(stderr, "vehcan-sim: no scenario '%s' (known: %s)\n",
                           options.scenario.c_str(), scenario_names());
        return 2;
    }
    if (options.vin.size() != 17 || options.second_vin.size() != 17) {
        (void)std::fprintf(stderr, "vehcan-sim: a vehicle identification has 17 characters\n");
        return 2;
    }
    const int fd = open_raw(options.interface);
    if (fd < 0) {
        return 1;
    }
    BusGate gate(options);
    if (!gate.wait_open(std::chrono::seconds(10))) {
        (void)std::fprintf(stderr, "vehcan-sim: %s is not up at %u bit/s: scenario not sent\n",
                           options.watch.c_str(), options.bus_rate);
        ::close(fd);
        return 1;
    }
    const Sequence frames = scenario->build(options);
    for (const Frame &f : frames) {
        if (!write_frame(fd, f, nullptr)) {
            (void)std::fprintf(stderr, "vehcan-sim: send failed: %s\n", strerrordesc_np(errno));
            ::close(fd);
            return 1;
        }
        // Transport timing: well inside every time-out, but frame by frame.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(fd);
    if (!options.quiet) {
        std::printf("vehcan-sim: scenario %s: %zu frames sent\n", scenario->name, frames.size());
    }
    return 0;
}

// Floods the bus with PGN 0xFF10 from address 0x00, as fast as the
// controller takes frames or at options.flood_rate frames per second. Payload: sequence number and
// send time (the monotonic clock in microseconds, 32 bits), both little-endian.
int run_flood(const Options &options) {
    const int fd = open_raw(options.interface);
    if (fd < 0) {
        return 1;
    }
    BusGate gate(options);
    const canid_t id =
        CAN_EFF_FLAG | 6U << 26U | static_cast<canid_t>(kFloodPgn) << 8U | kFloodSource;
    const Clock::time_point start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.flood_s));
    uint32_t sequence = 0;
    unsigned long full_waits = 0;
    unsigned long gated = 0;
    // A rate of 0 sends as fast as the controller takes frames; otherwise
    // frame n leaves at start + n / rate.
    const double rate = options.flood_rate;
    while (g_stop == 0 && Clock::now() < end) {
        if (rate > 0) {
            std::this_thread::sleep_until(start +
                                          std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(sequence / rate)));
        }
        if ((sequence & 0xFFU) == 0 && !gate.open()) {
            ++gated;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        const uint32_t now = monotonic_microseconds32();
        Frame f{id, {}};
        for (unsigned i = 0; i < 4; ++i) {
            f.data[i] = static_cast<uint8_t>(sequence >> (8U * i));
            f.data[4 + i] = static_cast<uint8_t>(now >> (8U * i));
        }
        if (!write_frame(fd, f, &full_waits)) {
            break;
        }
        ++sequence;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    if (!options.quiet) {
        std::printf("vehcan-sim: flood sent %u frames in %.1f s (%.0f frames/s, %lu waits on a "
                    "full queue, %lu gate checks closed)\n",
                    sequence, seconds, sequence / seconds, full_waits, gated);
    }
    if (!options.report.empty()) {
        if (FILE *file = std::fopen(options.report.c_str(), "w")) {
            (void)std::fprintf(file, "frames_sent %u\nseconds %.3f\n", sequence, seconds);
            (void)std::fclose(file);
        }
    }
    return 0;
}

} // namespace vehcan::sim
