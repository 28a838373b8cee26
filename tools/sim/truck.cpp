// SPDX-License-Identifier: MIT
// The simulated truck: an engine controller and a tachograph on J1939
// sockets. Both broadcast their parameter groups at their usual periods and
// answer Requests (PGN 59904) addressed to them or to all nodes, the Request
// for Address Claimed included. With --drive the engine's and tachograph's
// values follow the drive cycle (drive_cycle.h). The engine, and with
// --diag-ecus a transmission, brakes and a body controller, keep a
// diagnostic memory (diagnostics.h): they answer the DMs and clears, and
// every node obeys DM13's stop, hold and start of its broadcasts.
#include "diagnostics.h"
#include "drive_cycle.h"
#include "sim.h"
#include "truck_pgns.h"

#include <j1939_address.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/can.h>
#include <linux/can/j1939.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace vehcan::sim {
namespace {

// ---- parameter groups --------------------------------------------------------

using namespace pgn;

constexpr uint8_t kEngineAddress = 0x00;
constexpr uint8_t kTransmissionAddress = 0x03;
constexpr uint8_t kBrakesAddress = 0x0B;
constexpr uint8_t kBodyControllerAddress = 0x21;
constexpr uint8_t kTachographAddress = 0xEE;

constexpr uint8_t kAckPositive = 0;
constexpr uint8_t kAckNegative = 1;
constexpr uint8_t kAckCannotRespond = 3;

// DM13: nodes go back to broadcasting this long after the last stop or hold.
constexpr auto kHoldTimeout = std::chrono::seconds(6);

using Bytes = std::vector<uint8_t>;

// What the engine reports: 1500 rpm, 90 degC coolant, 80 km/h with cruise
// control on (parked: 650 rpm at 0 km/h), 123456.5 L of fuel, 4321.5 h,
// 1000 km, and its DM1 from its diagnostic memory: one active trouble code
// (SPN 110, FMI 16, amber lamp) until a DM11 clears it.
const Bytes kEec1 = {0xF0, 0x7D, 0x8C, 0xE0, 0x2E, 0x00, 0xF0, 0x7D};
const Bytes kEt1 = {0x82, 0x46, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const Bytes kCcvs = {0xFF, 0x00, 0x50, 0x01, 0xFF, 0xFF, 0xFF, 0xFF};
const Bytes kLfc = {0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0xC4, 0x03, 0x00};
const Bytes kHours = {0x9E, 0x51, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
const Bytes kVdhr = {0x40, 0x0D, 0x03, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr double kParkedRpm = 650;
// The tachograph: driver 1 driving with a card inserted, driver 2 at rest
// without one, 80 km/h.
const Bytes kTco1 = {0x43, 0x10, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x50};
const char kDriverIds[] = "D1CARD000123456*D2CARD000654321*";

// Identifications, each longer than one frame: make*model*serial*unit for
// the component, the number of fields then version* for the software, part*
// serial*location*type*manufacturer*hardware* for the ECU. The tachograph
// has no ECU identification and refuses a request for it.
const char kEngineComponentId[] = "VEHCAN*SIM-ENGINE-13L*ENG0012345*UNIT01*";
const char kEngineSoftwareId[] = "\x02"
                                 "ENG 4.2.1*CAL 2026-11*";
const char kEngineEcuId[] = "EC-4711-02*SN000123*engine bay*engine controller*VEHCAN SIM*HW 3.1*";
const char kTachographComponentId[] = "VEHCAN*SIM-TACHO-2*TCO0654321*UNIT02*";
const char kTachographSoftwareId[] = "\x01"
                                     "TCO 1.8.0*";

// The 64-bit NAMEs the two nodes claim their addresses with, field by field
// from bit 0: identity number (21 bits), manufacturer code (11), ECU
// instance (3), function instance (5), function (8), a reserved bit,
// vehicle system (7), vehicle system instance (4), industry group (3),
// arbitrary address capable (1).
constexpr uint64_t name_of(uint32_t identity, uint32_t manufacturer, uint32_t ecu_instance,
                           uint32_t function_instance, uint32_t function, uint32_t vehicle_system,
                           uint32_t system_instance, uint32_t industry_group,
                           bool arbitrary_address) {
    return uint64_t{identity} | uint64_t{manufacturer} << 21U | uint64_t{ecu_instance} << 32U |
           uint64_t{function_instance} << 35U | uint64_t{function} << 40U |
           uint64_t{vehicle_system} << 49U | uint64_t{system_instance} << 56U |
           uint64_t{industry_group} << 60U | uint64_t{arbitrary_address} << 63U;
}
// Engine #1 (function 0) of an on-highway truck (industry group 1).
constexpr uint64_t kEngineName = name_of(123456, 1234, 0, 0, 0, 1, 0, 1, false);
// The tachograph (on-highway function 128), able to take another address.
constexpr uint64_t kTachographName = name_of(654321, 567, 1, 0, 128, 1, 0, 1, true);
// With --diag-ecus: a transmission (function 3), the brakes' system
// controller (9) and a body controller (33).
constexpr uint64_t kTransmissionName = name_of(1003, 1234, 0, 0, 3, 1, 0, 1, false);
constexpr uint64_t kBrakesName = name_of(1011, 1234, 0, 0, 9, 1, 0, 1, false);
constexpr uint64_t kBodyControllerName = name_of(1033, 1234, 0, 0, 33, 1, 0, 1, false);

Bytes text_bytes(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

Bytes little_endian(uint64_t value) {
    Bytes b(8);
    for (size_t i = 0; i < b.size(); ++i) {
        b[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return b;
}

struct Group {
    uint32_t pgn;
    Bytes payload;
    int period_ms; // 0: only on request
    Clock::time_point next{};
};

struct Ecu {
    Ecu(const char *ecu_name, uint8_t ecu_address, uint64_t name_claimed,
        std::vector<Group> broadcast)
        : name(ecu_name), address(ecu_address), j1939_name(name_claimed),
          groups(std::move(broadcast)) {}

    const char *name;
    uint8_t address;
    uint64_t j1939_name;
    int fd = -1;
    std::vector<Group> groups;
    std::optional<DiagnosticMemory> memory;
    bool stopped = false; // DM13: broadcasts stopped until hold_until
    Clock::time_point hold_until{};

    Group *find(uint32_t pgn) {
        for (Group &g : groups) {
            if (g.pgn == pgn) {
                return &g;
            }
        }
        return nullptr;
    }
};

struct Stats {
    unsigned long broadcasts = 0;
    unsigned long send_errors = 0;
    unsigned long requests = 0;
    unsigned long answers = 0;
    unsigned long acks = 0;
    unsigned long nacks = 0;
    unsigned long busy = 0;
    unsigned long dm13 = 0;
};

// ---- sockets ------------------------------------------------------------------------

int open_ecu_socket(unsigned ifindex, uint8_t address) {
    const int fd = ::socket(PF_CAN, SOCK_DGRAM | SOCK_CLOEXEC, CAN_J1939);
    if (fd < 0) {
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    // Only Requests and DM13 are read; everything else on the bus is not
    // our business.
    std::array<j1939_filter, 2> filters{};
    filters[0].pgn = kPgnRequest;
    filters[0].pgn_mask = J1939_PGN_PDU1_MAX;
    filters[1].pgn = kPgnDm13;
    filters[1].pgn_mask = J1939_PGN_PDU1_MAX;
    ::setsockopt(fd, SOL_CAN_J1939, SO_J1939_FILTER, filters.data(), sizeof filters);
    const timeval send_timeout = {0, 200000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
    const sockaddr_can local = j1939_address(ifindex, J1939_NO_PGN, address);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class Truck {
  public:
    Truck(const Options &options, BusGate &gate)
        : options_(options), gate_(gate), ifindex_(if_nametoindex(options.interface.c_str())) {
        ecus_.emplace_back("engine", kEngineAddress, kEngineName,
                           std::vector<Group>{
                               {kPgnEec1, kEec1, 20},
                               {kPgnCcvs, kCcvs, 100},
                               {kPgnEt1, kEt1, 1000},
                               {kPgnLfc, kLfc, 1000},
                               {kPgnHours, kHours, 1000},
                               {kPgnVdhr, kVdhr, 1000},
                               {kPgnDm1, {}, 1000},
                               {kPgnVehicleIdentification, text_bytes(options.vin + "*"), 0},
                               {kPgnComponentIdentification, text_bytes(kEngineComponentId), 0},
                               {kPgnSoftwareIdentification, text_bytes(kEngineSoftwareId), 0},
                               {kPgnEcuIdentification, text_bytes(kEngineEcuId), 0},
                           });
        ecus_.emplace_back("tachograph", kTachographAddress, kTachographName,
                           std::vector<Group>{
                               {kPgnTco1, kTco1, 50},
                               {kPgnDriverIdentification, text_bytes(kDriverIds), 5000},
                               {kPgnComponentIdentification, text_bytes(kTachographComponentId), 0},
                               {kPgnSoftwareIdentification, text_bytes(kTachographSoftwareId), 0},
                           });
        ecus_[0].memory = DiagnosticMemory::engine();
        if (options.diag_ecus) {
            add_diagnostic_ecu("transmission", kTransmissionAddress, kTransmissionName,
                               DiagnosticMemory::transmission());
            add_diagnostic_ecu("brakes", kBrakesAddress, kBrakesName, DiagnosticMemory::brakes());
            add_diagnostic_ecu("body controller", kBodyControllerAddress, kBodyControllerName,
                               DiagnosticMemory::body_controller());
        }
        for (Ecu &e : ecus_) {
            refresh_dm1(e);
        }
        if (options.parked) {
            write_engine_speed(ecus_[0].find(kPgnEec1)->payload, kParkedRpm);
            write_wheel_speed(ecus_[0].find(kPgnCcvs)->payload, 0);
            write_tachograph_speed(ecus_[1].find(kPgnTco1)->payload, 0);
        }
    }

    ~Truck() {
        for (Ecu &e : ecus_) {
            if (e.fd >= 0) {
                ::close(e.fd);
            }
        }
        if (claim_fd_ >= 0) {
            ::close(claim_fd_);
        }
    }
    Truck(const Truck &) = delete;
    Truck &operator=(const Truck &) = delete;

    int run() {
        if (ifindex_ == 0) {
            (void)std::fprintf(stderr, "vehcan-sim: no interface %s\n", options_.interface.c_str());
            return 1;
        }
        for (Ecu &e : ecus_) {
            e.fd = open_ecu_socket(ifindex_, e.address);
            if (e.fd < 0) {
                (void)std::fprintf(stderr,
                                   "vehcan-sim: cannot open the %s's J1939 socket on %s: %s\n",
                                   e.name, options_.interface.c_str(), strerrordesc_np(errno));
                return 1;
            }
        }
        // The Address Claimed frames go out as raw frames: the kernel lets a
        // J1939 socket send them only for a NAME it has bound, and then
        // claims and defends the address itself.
        claim_fd_ = open_raw_sender(ifindex_);
        if (claim_fd_ < 0) {
            (void)std::fprintf(stderr, "vehcan-sim: cannot open a raw CAN socket on %s: %s\n",
                               options_.interface.c_str(), strerrordesc_np(errno));
            return 1;
        }
        const Clock::time_point start = Clock::now();
        start_ = start;
        const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(options_.duration_s));
        for (Ecu &e : ecus_) {
            for (Group &g : e.groups) {
                g.next = start;
            }
        }
        while (g_stop == 0 && (options_.duration_s <= 0 || Clock::now() < end)) {
            broadcast_due();
            wait_for_requests(next_due());
        }
        report();
        return 0;
    }

  private:
    // An ECU that broadcasts only its DM1 and answers the DMs from memory.
    void add_diagnostic_ecu(const char *name, uint8_t address, uint64_t j1939_name,
                            DiagnosticMemory memory) {
        Ecu e(name, address, j1939_name, {{kPgnDm1, {}, 1000}});
        e.memory = std::move(memory);
        ecus_.push_back(std::move(e));
    }

    // The DM1 broadcast follows the memory.
    static void refresh_dm1(Ecu &e) {
        if (e.memory) {
            e.find(kPgnDm1)->payload = *e.memory->payload(kPgnDm1);
        }
    }

    void send(Ecu &ecu, uint32_t pgn, const Bytes &payload, uint8_t destination) {
        const sockaddr_can to = j1939_address(ifindex_, pgn, destination);
        if (::sendto(ecu.fd, payload.data(), payload.size(), 0,
                     reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0) {
            ++stats_.send_errors;
            if (!options_.quiet && errno != ENOBUFS && errno != EAGAIN) {
                std::printf("vehcan-sim: %s: send of PGN %u failed: %s\n", ecu.name, pgn,
                            strerrordesc_np(errno));
            }
        }
    }

    // Writes the drive cycle's current values into the payloads. The fault
    // follows the coolant: raised while it is too hot, gone once it cooled
    // down (a DM11 clears it until the next overheat).
    void follow_drive_cycle(Clock::time_point now) {
        const double t =
            options_.drive_start_s + std::chrono::duration<double>(now - start_).count();
        const DriveState s = drive_state(t);
        Ecu &engine = ecus_[0];
        write_engine_speed(engine.find(kPgnEec1)->payload, s.engine_rpm);
        write_coolant(engine.find(kPgnEt1)->payload, s.coolant_celsius);
        write_wheel_speed(engine.find(kPgnCcvs)->payload, s.vehicle_kmh);
        if (s.overheat != overheat_) {
            engine.memory->overheat(s.overheat);
            refresh_dm1(engine);
            overheat_ = s.overheat;
        }
        write_tachograph_speed(ecus_[1].find(kPgnTco1)->payload, s.vehicle_kmh);
    }

    void broadcast_due() {
        const Clock::time_point now = Clock::now();
        const bool bus_open = gate_.open();
        if (options_.drive) {
            follow_drive_cycle(now);
        }
        for (Ecu &e : ecus_) {
            if (e.stopped && now >= e.hold_until) {
                e.stopped = false;
                say(std::string(e.name) + ": no DM13 hold for 6 s: broadcasting again");
            }
            for (Group &g : e.groups) {
                if (g.period_ms == 0 || now < g.next) {
                    continue;
                }
                g.next += std::chrono::milliseconds(g.period_ms);
                if (g.next < now) {
                    g.next =
                        now + std::chrono::milliseconds(g.period_ms); // no bursts after a stall
                }
                if (bus_open && !e.stopped) {
                    send(e, g.pgn, g.payload, J1939_NO_ADDR);
                    ++stats_.broadcasts;
                }
            }
        }
    }

    Clock::time_point next_due() const {
        Clock::time_point next = Clock::now() + std::chrono::milliseconds(50);
        for (const Ecu &e : ecus_) {
            for (const Group &g : e.groups) {
                if (g.period_ms != 0 && g.next < next) {
                    next = g.next;
                }
            }
        }
        return next;
    }

    void wait_for_requests(Clock::time_point until) {
        std::vector<pollfd> fds;
        for (const Ecu &e : ecus_) {
            fds.push_back({e.fd, POLLIN, 0});
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - Clock::now() + std::chrono::microseconds(999));
        if (::poll(fds.data(), fds.size(), static_cast<int>(wait.count() > 0 ? wait.count() : 0)) <=
            0) {
            return;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) != 0) {
                read_request(ecus_[i]);
            } else if ((fds[i].revents & POLLERR) != 0) {
                int error = 0;
                socklen_t len = sizeof error; // a link going down reports ENETDOWN once
                ::getsockopt(ecus_[i].fd, SOL_SOCKET, SO_ERROR, &error, &len);
            }
        }
    }

    void read_request(Ecu &ecu) {
        uint8_t data[8] = {};
        sockaddr_can from{};
        iovec iov = {data, sizeof data};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint8_t)) * 4] = {};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(ecu.fd, &msg, MSG_DONTWAIT);
        const uint32_t received = from.can_addr.j1939.pgn;
        if (n < 3 || (received != kPgnRequest && received != kPgnDm13)) {
            return;
        }
        uint8_t destination = J1939_NO_ADDR;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_CAN_J1939 && c->cmsg_type == SCM_J1939_DEST_ADDR) {
                std::memcpy(&destination, CMSG_DATA(c), sizeof destination);
            }
        }
        if (destination != J1939_NO_ADDR && destination != ecu.address) {
            return;
        }
        if (!gate_.open()) {
            return; // at another rate the request never reached us
        }
        if (received == kPgnDm13) {
            broadcast_control(ecu, data, static_cast<size_t>(n), from.can_addr.j1939.addr);
            return;
        }
        ++stats_.requests;
        const uint32_t pgn =
            data[0] | static_cast<uint32_t>(data[1]) << 8U | static_cast<uint32_t>(data[2]) << 16U;
        answer(ecu, pgn, from.can_addr.j1939.addr, destination == ecu.address);
    }

    void answer(Ecu &ecu, uint32_t pgn, uint8_t requester, bool addressed) {
        const char *what = "ignored";
        if (pgn == kPgnAddressClaimed) {
            claim_address(ecu); // to a global request as to one addressed to the node
            ++stats_.answers;
            what = "address claimed";
        } else if ((pgn == kPgnDm11 || pgn == kPgnDm3) && ecu.memory) {
            what = clear(ecu, pgn, requester);
        } else if (const auto dm = ecu.memory ? ecu.memory->payload(pgn) : std::nullopt) {
            what = send_answer(ecu, pgn, *dm, requester, addressed);
        } else if (Group *g = ecu.find(pgn)) {
            what = send_answer(ecu, pgn, g->payload, requester, addressed);
        } else if (addressed) {
            acknowledge(ecu, kAckNegative, pgn, requester);
            ++stats_.nacks;
            what = "NACK";
        }
        if (!options_.quiet) {
            std::printf("vehcan-sim: %s: request for PGN %u from 0x%02X to %s: %s\n", ecu.name, pgn,
                        requester, addressed ? "it" : "all", what);
            (void)std::fflush(stdout);
        }
    }

    // Eight bytes or fewer go out as one broadcast frame; longer answers by
    // BAM to a global request and by RTS/CTS to the requester.
    const char *send_answer(Ecu &ecu, uint32_t pgn, const Bytes &payload, uint8_t requester,
                            bool addressed) {
        const bool to_requester = addressed && payload.size() > 8;
        send(ecu, pgn, payload, to_requester ? requester : J1939_NO_ADDR);
        ++stats_.answers;
        return payload.size() <= 8 ? "answered"
               : to_requester      ? "answered by RTS/CTS"
                                   : "answered by BAM";
    }

    // DM3 or DM11, to all or to this ECU: the acknowledgement (to all,
    // naming the requester) that its memory gives, or none.
    const char *clear(Ecu &ecu, uint32_t pgn, uint8_t requester) {
        const ClearReply reply = ecu.memory->clear(pgn);
        refresh_dm1(ecu);
        switch (reply) {
        case ClearReply::ack:
            acknowledge(ecu, kAckPositive, pgn, requester);
            ++stats_.acks;
            return "cleared, ACK";
        case ClearReply::nack:
            acknowledge(ecu, kAckNegative, pgn, requester);
            ++stats_.nacks;
            return "refused, NACK";
        case ClearReply::busy:
            acknowledge(ecu, kAckCannotRespond, pgn, requester);
            ++stats_.busy;
            return "busy";
        case ClearReply::none:
            break;
        }
        return "not answered";
    }

    // DM13 (to all or to this ECU): the current data link's stop (00) or
    // start (01) in byte 1 bits 8-7; the hold signal (byte 4 bits 8-5, 0000
    // or 0001) keeps a stop for another 6 s.
    void broadcast_control(Ecu &ecu, const uint8_t *data, size_t n, uint8_t sender) {
        if (n < 4) {
            return;
        }
        ++stats_.dm13;
        const unsigned link = data[0] >> 6U;
        const unsigned hold = data[3] >> 4U;
        const Clock::time_point now = Clock::now();
        if (link == 0) {
            ecu.stopped = true;
            ecu.hold_until = now + kHoldTimeout;
            say(std::string(ecu.name) + ": DM13 from " + hex_address(sender) +
                ": broadcasts stopped");
        } else if (link == 1) {
            ecu.stopped = false;
            say(std::string(ecu.name) + ": DM13 from " + hex_address(sender) +
                ": broadcasts started again");
        } else if (hold <= 1 && ecu.stopped) {
            ecu.hold_until = now + kHoldTimeout;
        }
    }

    void say(const std::string &line) const {
        if (!options_.quiet) {
            std::printf("vehcan-sim: %s\n", line.c_str());
            (void)std::fflush(stdout);
        }
    }

    static std::string hex_address(uint8_t address) {
        std::array<char, 8> text{};
        (void)std::snprintf(text.data(), text.size(), "0x%02X", address);
        return text.data();
    }

    // Address Claimed (PGN 60928, PDU1 to the global address, priority 6):
    // the node's NAME, least significant byte first.
    void claim_address(const Ecu &ecu) {
        can_frame frame{};
        frame.can_id = CAN_EFF_FLAG | 6U << 26U | (kPgnAddressClaimed >> 8U) << 16U |
                       uint32_t{J1939_NO_ADDR} << 8U | ecu.address;
        frame.len = 8;
        const Bytes name = little_endian(ecu.j1939_name);
        std::memcpy(frame.data, name.data(), name.size());
        if (::write(claim_fd_, &frame, sizeof frame) != static_cast<ssize_t>(sizeof frame)) {
            ++stats_.send_errors;
        }
    }

    // Acknowledgement (PGN 59392) to the global address, naming the requester
    // and the requested PGN.
    void acknowledge(Ecu &ecu, uint8_t control, uint32_t pgn, uint8_t requester) {
        const Bytes ack = {control,
                           0xFF,
                           0xFF,
                           0xFF,
                           requester,
                           static_cast<uint8_t>(pgn),
                           static_cast<uint8_t>(pgn >> 8),
                           static_cast<uint8_t>(pgn >> 16)};
        send(ecu, kPgnAcknowledgement, ack, J1939_NO_ADDR);
    }

    void report() const {
        if (!options_.quiet) {
            std::printf("vehcan-sim: %lu broadcasts, %lu requests (%lu answered, %lu ACK, %lu "
                        "NACK, %lu busy), %lu DM13, %lu send errors\n",
                        stats_.broadcasts, stats_.requests, stats_.answers, stats_.acks,
                        stats_.nacks, stats_.busy, stats_.dm13, stats_.send_errors);
        }
        if (!options_.report.empty()) {
            if (FILE *f = std::fopen(options_.report.c_str(), "w")) {
                (void)std::fprintf(f, "broadcasts %lu\nrequests %lu\n", stats_.broadcasts,
                                   stats_.requests);
                (void)std::fclose(f);
            }
        }
    }

    const Options &options_;
    BusGate &gate_;
    unsigned ifindex_;
    std::vector<Ecu> ecus_;
    int claim_fd_ = -1;
    Clock::time_point start_{};
    bool overheat_ = true; // the fixed payloads start with the fault raised
    Stats stats_;
};

} // namespace

int run_truck(const Options &options) {
    BusGate gate(options);
    Truck truck(options, gate);
    return truck.run();
}

} // namespace vehcan::sim
