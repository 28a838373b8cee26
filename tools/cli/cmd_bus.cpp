// The subcommands on the live bus: monitor and request.
#include "commands.h"
#include "common.h"
#include "decode.h"
#include "pgn_names.h"
#include "uplink.h"

#include <j1939_stack.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fmt/format.h>
#include <fstream>
#include <map>
#include <mqueue.h>
#include <net/if.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vehcan::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::array kProbeRates{250000, 500000, 1000000, 125000, 100000};
constexpr uint32_t kPgnVehicleIdentification = 65260;
constexpr uint32_t kPgnAcknowledgement = 59392;
constexpr uint8_t kToolAddress = 0xF9; // the off-board service tool's address
constexpr int kCapNetAdmin = 12;
constexpr int kVinRequests = 3;
constexpr auto kVinRetry = std::chrono::seconds(5);

std::atomic<bool> g_stop{false};

extern "C" void on_interrupt(int) {
    g_stop.store(true);
}

void catch_interrupts() {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a wait in progress ends early
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

// Whether this process may reconfigure network links (CAP_NET_ADMIN in its
// effective set, which root has).
bool may_configure_links() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0) {
            const unsigned long long caps = std::stoull(line.substr(7), nullptr, 16);
            return ((caps >> kCapNetAdmin) & 1U) != 0;
        }
    }
    return geteuid() == 0;
}

// Brings the stack up on can0, telling on stderr what it does. The probe
// runs first through j1939_find_baudrate() so that each rate can be shown;
// j1939_can_init() then finds the same rate at its first listen.
int bring_up() {
    if (!may_configure_links()) {
        throw Failure(kExitStack, "reconfiguring can0 needs root or CAP_NET_ADMIN: run vehcan "
                                  "as root");
    }
    if (if_nametoindex("can0") == 0) {
        throw Failure(kExitStack, "no interface can0: is a CAN controller present and its "
                                  "driver loaded?");
    }
    int detected = 0;
    for (int rate : kProbeRates) {
        fmt::print(stderr, "probing {} bit/s... ", rate);
        (void)std::fflush(stderr);
        const int rc = j1939_find_baudrate(rate);
        if (rc == 0) {
            fmt::print(stderr, "traffic\n");
            detected = rate;
            break;
        }
        if (rc == J1939_ERR_NO_BUS_TRAFFIC) {
            fmt::print(stderr, "no traffic\n");
        } else if (rc == J1939_ERR_LINK_UP || rc == J1939_ERR_LINK_DOWN) {
            fmt::print(stderr, "failed\n");
            throw Failure(kExitStack, fmt::format("cannot set can0 to {} bit/s (error {}): is "
                                                  "it a CAN interface that may be reconfigured?",
                                                  rate, rc));
        } else {
            fmt::print(stderr, "failed\n");
            throw Failure(kExitStack,
                          fmt::format("cannot open a J1939 socket on can0 (error {}): does the "
                                      "kernel have CAN_J1939 (module can-j1939)?",
                                      rc));
        }
        if (g_stop.load()) {
            throw Failure(kExitStack, "interrupted while probing");
        }
    }
    if (detected == 0) {
        throw Failure(kExitStack, "no traffic at any bit rate: is the bus connected and a node "
                                  "powered?");
    }
    const int rc = j1939_can_init();
    switch (rc) {
    case 0:
        break;
    case J1939_ERR_MQ_OPEN:
        throw Failure(kExitStack, "cannot create the message queues: the queue limits are too "
                                  "low (fs.mqueue.msg_max must be 5000 or more and "
                                  "RLIMIT_MSGQUEUE about 80 MB; root lifts them)");
    case J1939_FAIL:
        throw Failure(kExitStack, "the bus fell silent during bring-up");
    case J1939_ERR_THREAD_CREATE:
        throw Failure(kExitStack, "cannot start the stack's threads");
    default:
        throw Failure(kExitStack,
                      fmt::format("cannot bring up can0 at the detected rate (error {})", rc));
    }
    fmt::print(stderr, "can0 up at {} bit/s\n", detected);
    return detected;
}

// Watches the bus for an acknowledgement of pgn, which the stack drops
// while the request is pending: a negative one is the only way a node says
// that it will not answer. Runs on a socket of its own until stopped.
class AcknowledgementWatch {
  public:
    explicit AcknowledgementWatch(uint32_t pgn) : pgn_(pgn) {
        fd_ = socket(PF_CAN, SOCK_DGRAM, CAN_J1939);
        if (fd_ < 0) {
            return;
        }
        const int on = 1;
        setsockopt(fd_, SOL_CAN_J1939, SO_J1939_PROMISC, &on, sizeof on);
        struct timeval tv {
            0, 200000
        };
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_can addr{};
        addr.can_family = AF_CAN;
        addr.can_ifindex = static_cast<int>(if_nametoindex("can0"));
        addr.can_addr.j1939.name = J1939_NO_NAME;
        addr.can_addr.j1939.pgn = J1939_NO_PGN;
        addr.can_addr.j1939.addr = J1939_NO_ADDR;
        if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
            return;
        }
        thread_ = std::thread([this] { run(); });
    }
    ~AcknowledgementWatch() {
        stop_.store(true);
        if (thread_.joinable()) {
            thread_.join();
        }
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    AcknowledgementWatch(const AcknowledgementWatch &) = delete;
    AcknowledgementWatch &operator=(const AcknowledgementWatch &) = delete;

    // The control byte of the acknowledgement seen (0 positive, 1 negative,
    // 2 access denied, 3 cannot respond) and its sender, or -1.
    int control() const { return control_.load(); }
    int sender() const { return sender_.load(); }

  private:
    void run() {
        std::array<uint8_t, 8> data{};
        while (!stop_.load()) {
            sockaddr_can from{};
            socklen_t from_len = sizeof from;
            const ssize_t n = recvfrom(fd_, data.data(), data.size(), 0,
                                       reinterpret_cast<sockaddr *>(&from), &from_len);
            if (n < 8 || from.can_addr.j1939.pgn != kPgnAcknowledgement) {
                continue;
            }
            const uint32_t about = data[5] | static_cast<uint32_t>(data[6]) << 8 |
                                   static_cast<uint32_t>(data[7]) << 16;
            if (about == pgn_) {
                sender_.store(from.can_addr.j1939.addr);
                control_.store(data[0]);
            }
        }
    }

    uint32_t pgn_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> control_{-1};
    std::atomic<int> sender_{-1};
    std::thread thread_;
};

struct RequestAnswer {
    bool answered = false;
    std::vector<uint8_t> data;
    int ack = -1; // acknowledgement control byte, when one came instead
    int ack_from = -1;
};

RequestAnswer ask(uint32_t pgn, uint8_t from, uint8_t to) {
    AcknowledgementWatch watch(pgn);
    const int sent = j1939_send_request_message(static_cast<uint16_t>(pgn), from, to);
    if (sent < 0) {
        throw Failure(
            kExitStack,
            fmt::format("cannot send the request from 0x{:02X} (error {}){}", from, sent,
                        sent == J1939_ERR_SOCK_BIND ? ": the address is not usable on can0" : ""));
    }
    RequestAnswer a;
    std::array<uint8_t, 256> buf{};
    int len = -1;
    if (j1939_recv_request_response(buf.data(), &len, pgn) == 0 && len >= 0) {
        a.answered = true;
        a.data.assign(buf.begin(), buf.begin() + len);
        return a;
    }
    a.ack = watch.control();
    a.ack_from = watch.sender();
    return a;
}

std::string_view ack_text(int control) {
    switch (control) {
    case 1:
        return "negative acknowledgement (NACK)";
    case 2:
        return "access denied";
    case 3:
        return "cannot respond";
    default:
        return "acknowledgement";
    }
}

} // namespace

int run_request(const RequestOptions &o) {
    const uint32_t pgn = parse_pgn(o.pgn);
    if (pgn > 0xFFFF) {
        throw Failure(kExitUsage, fmt::format("PGN {} cannot be requested: the stack requests "
                                              "PGNs below 65536",
                                              pgn));
    }
    const uint8_t from = parse_address(o.from, "--from");
    const uint8_t to = parse_address(o.to, "--to");
    std::optional<Database> db;
    if (auto path = database_path(o.db)) {
        db = open_database(*path);
    }
    catch_interrupts();
    bring_up();
    // A request may be lost (a node that comes on the bus late, a busy
    // node): one time-out earns a second try, a refusal does not.
    RequestAnswer a = ask(pgn, from, to);
    if (!a.answered && a.ack <= 0 && !g_stop.load()) {
        a = ask(pgn, from, to);
    }
    j1939_can_deinit();
    if (!a.answered) {
        if (a.ack > 0) {
            throw Failure(kExitRefused, fmt::format("request for PGN {} refused by 0x{:02X}: {}",
                                                    pgn, a.ack_from, ack_text(a.ack)));
        }
        throw Failure(kExitNoAnswer,
                      fmt::format("no answer to two requests for PGN {} from 0x{:02X} to "
                                  "0x{:02X}, 3 s each",
                                  pgn, from, to));
    }
    const Decoded d = decode_payload(pgn, a.data.data(), a.data.size(), db ? &*db : nullptr);
    if (o.json) {
        nlohmann::json j = to_json(d);
        j["length"] = a.data.size();
        fmt::print(out(), "{}\n", j.dump());
    } else {
        fmt::print(out(), "{}", detailed_text(d, a.data.size()));
    }
    return kExitOk;
}

int run_monitor(const MonitorOptions &o) {
    if (o.duration < 0) {
        throw Failure(kExitUsage, "--duration must be 0 (no limit) or more");
    }
    std::optional<Database> db;
    if (auto path = database_path(o.db)) {
        db = open_database(*path);
    }
    std::optional<Uplink> uplink;
    if (!o.mqtt.url.empty()) {
        uplink.emplace(o.mqtt, false);
    }
    catch_interrupts();
    const int bitrate = bring_up();
    const auto start = Clock::now(); // --duration counts from here, after the probe
    auto seconds_since_start = [&] {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    if (uplink) {
        uplink->online({{"bitrate", bitrate}});
    }
    auto message_json = [&](const Decoded &d, size_t len) {
        nlohmann::json j = to_json(d);
        j["time"] = std::round(seconds_since_start() * 1000.0) / 1000.0;
        j["length"] = len;
        return j;
    };
    // Every message goes to the broker (its rate limit aside); the terminal
    // may show fewer.
    auto publish = [&](uint32_t pgn, const uint8_t *data, size_t len) {
        if (uplink) {
            const Decoded d = decode_payload(pgn, data, len, db ? &*db : nullptr);
            const auto us =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
            uplink->message(us.count(), -1, pgn, message_json(d, len));
        }
    };
    auto emit = [&](uint32_t pgn, const uint8_t *data, size_t len) {
        if (o.quiet) {
            return;
        }
        const Decoded d = decode_payload(pgn, data, len, db ? &*db : nullptr);
        if (o.json) {
            fmt::print(out(), "{}\n", message_json(d, len).dump());
        } else {
            std::string values = d.decoded ? values_text(d) : "";
            if (!d.decoded) {
                for (size_t i = 0; i < len; ++i) {
                    values += fmt::format("{}{:02X}", i == 0 ? "[" : " ", data[i]);
                }
                values += "]";
            }
            fmt::print(out(), "{:8.3f}  {:>6} {:<6} {}\n", seconds_since_start(), pgn, d.acronym,
                       values);
        }
        (void)std::fflush(out());
    };

    // The VIN is sent on request only. The request goes to every node at the
    // start and again every few seconds until one answers; the answer is
    // taken off the request queue only once it waits there, so that the live
    // view never stalls for it.
    int vin_requests = 0;
    bool vin_done = false;
    Clock::time_point vin_asked{};
    auto answer_waiting = [] {
        mq_attr a{};
        return mq_getattr(req_resp_mq, &a) == 0 && a.mq_curmsgs > 0;
    };

    // Text mode shows each PGN at most once a second, so that fast messages
    // do not bury slow ones; JSON mode passes every message on.
    std::map<unsigned long, Clock::time_point> last_shown;
    unsigned long messages = 0;
    std::array<uint8_t, 256> buf{};
    while (!g_stop.load()) {
        if (o.duration > 0 && seconds_since_start() >= o.duration) {
            break;
        }
        if (uplink && !uplink->refused().empty()) {
            break;
        }
        if (!vin_done && (vin_requests == 0 || Clock::now() - vin_asked >= kVinRetry)) {
            if (vin_requests == kVinRequests) {
                fmt::print(stderr, "no VIN: {} requests got no answer\n", vin_requests);
                vin_done = true;
            } else {
                fmt::print(stderr, "requesting the VIN (PGN 65260) from all nodes\n");
                j1939_send_request_message(kPgnVehicleIdentification, kToolAddress, 0xFF);
                vin_asked = Clock::now();
                ++vin_requests;
            }
        }
        if (!vin_done && answer_waiting()) {
            int len = 0;
            if (j1939_recv_request_response(buf.data(), &len, kPgnVehicleIdentification) == 0 &&
                len > 0) {
                publish(kPgnVehicleIdentification, buf.data(), static_cast<size_t>(len));
                emit(kPgnVehicleIdentification, buf.data(), static_cast<size_t>(len));
                vin_done = true;
            }
        }
        int len = 0;
        unsigned long pgn = 0;
        if (j1939_recv_broadcast_response(buf.data(), &len, &pgn) != 0 || len < 0) {
            continue;
        }
        ++messages;
        vin_done = vin_done || pgn == kPgnVehicleIdentification;
        publish(static_cast<uint32_t>(pgn), buf.data(), static_cast<size_t>(len));
        const auto now = Clock::now();
        auto it = last_shown.find(pgn);
        if (!o.json && it != last_shown.end() && now - it->second < std::chrono::seconds(1)) {
            continue;
        }
        last_shown[pgn] = now;
        emit(static_cast<uint32_t>(pgn), buf.data(), static_cast<size_t>(len));
    }
    const int rc = j1939_can_deinit();
    fmt::print(stderr, "monitor ended after {:.1f} s: {} messages of {} PGNs{}\n",
               seconds_since_start(), messages, last_shown.size(),
               rc == 0 ? "" : fmt::format(" (tear-down reported {})", rc));
    if (uplink) {
        finish_uplink(*uplink, Clock::now() + kUplinkFlushTime);
    }
    return kExitOk;
}

} // namespace vehcan::cli
