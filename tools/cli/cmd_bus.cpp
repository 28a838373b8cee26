// SPDX-License-Identifier: MIT
// The subcommands on the live bus: monitor and request.
#include "bus_session.h"
#include "command_operations.h"
#include "commands.h"
#include "common.h"
#include "decode.h"
#include "live_view.h"
#include "monitor_commands.h"
#include "monitor_config.h"
#include "monitor_service.h"
#include "our_address.h"
#include "pgn_names.h"
#include "timestamp.h"
#include "uplink.h"
#include "uplink_feed.h"

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
#include <mutex>
#include <net/if.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vehcan::cli {

namespace {

using Clock = std::chrono::steady_clock;

// The broker's state for the service's status line.
std::string broker_state(const std::optional<Uplink> &uplink) {
    if (!uplink) {
        return "";
    }
    if (!uplink->refused().empty()) {
        return "refused";
    }
    return uplink->connected() ? "connected" : "unreachable";
}

// The VIN in a decoded vehicle identification, or "".
std::string vin_in(const Decoded &d) {
    for (const Field &f : d.fields) {
        if (f.name == "VIN" && f.kind == Field::Kind::text) {
            return f.text;
        }
    }
    return "";
}

// SIGHUP: the configuration file read again; when its uplink settings
// changed, the uplink closes (delivering what it holds) and starts anew.
// A configuration that cannot be used leaves the running uplink as it was.
// The commands, if on, answer through the new uplink; uplink_swap guards
// the replacement against the capture's reads.
void reload_uplink(const MonitorOptions &started, MonitorOptions &current,
                   std::optional<Uplink> &uplink, int bitrate, MonitorCommands &commands,
                   std::mutex &uplink_swap) {
    namespace svc = vehcan::service;
    MonitorOptions fresh = started;
    try {
        const char *credentials = std::getenv("CREDENTIALS_DIRECTORY"); // NOLINT
        apply_config(svc::load_config(started.config, credentials != nullptr ? credentials : ""),
                     fresh);
    } catch (const svc::ConfigError &e) {
        svc::log_line(svc::Priority::kError,
                      fmt::format("reload refused, the uplink is unchanged: {}", e.what()));
        return;
    }
    fresh.mqtt.database = current.mqtt.database;
    // (the commands are not reloaded: their ring buffer's length stays)
    fresh.mqtt.collection.capture_ms = current.mqtt.collection.capture_ms;
    if (same_uplink(fresh.mqtt, current.mqtt)) {
        svc::log_line(svc::Priority::kInfo, "reload: the uplink settings are unchanged");
        return;
    }
    commands.answer_through(nullptr);
    if (uplink) {
        (void)uplink->close(Clock::now() + kUplinkFlushTime);
        const std::lock_guard lock(uplink_swap);
        uplink.reset();
    }
    auto start = [&](const MqttOptions &m) {
        if (!m.url.empty()) {
            const std::lock_guard lock(uplink_swap);
            uplink.emplace(m, false, commands.sink());
            uplink->online({{"bitrate", bitrate}});
            commands.answer_through(&*uplink);
        }
    };
    try {
        start(fresh.mqtt);
        current.mqtt = fresh.mqtt;
    } catch (const Failure &f) {
        svc::log_line(svc::Priority::kError,
                      fmt::format("reload refused, the uplink goes on as before: {}", f.what()));
        start(current.mqtt);
        return;
    }
    svc::log_line(svc::Priority::kNotice,
                  fmt::format("reload: the uplink now goes to {}",
                              current.mqtt.url.empty() ? "no broker" : current.mqtt.url));
}

} // namespace

int run_request(const RequestOptions &o) {
    const uint32_t pgn = parse_pgn(o.pgn);
    if (pgn > 0xFFFF) {
        throw Failure(kExitUsage, fmt::format("PGN {} cannot be requested: the stack requests "
                                              "PGNs below 65536",
                                              pgn));
    }
    const AddressPlan plan = plan_address(o.claim);
    const uint8_t to = parse_address(o.to, "--to");
    std::optional<Database> db;
    if (auto path = database_path(o.db)) {
        db = open_database(*path);
    }
    catch_interrupts();
    bring_up();
    std::optional<OurAddress> address;
    uint8_t from = 0;
    RequestAnswer a;
    try {
        address.emplace(plan);
        // A request may be lost (a node that comes on the bus late, a busy
        // node): one time-out earns a second try, a refusal does not. The
        // second goes from wherever the claim stands then.
        from = address->source_or_fail();
        a = ask(pgn, from, to);
        if (!a.answered && a.ack <= 0 && !g_stop.load()) {
            from = address->source_or_fail();
            a = ask(pgn, from, to);
        }
    } catch (const Failure &) {
        address.reset();
        j1939_can_deinit();
        throw;
    }
    address.reset();
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
    if (o.json) {
        fmt::print(out(), "{}\n", request_json(pgn, a.data, db ? &*db : nullptr).dump());
    } else {
        const Decoded d = decode_payload(pgn, a.data.data(), a.data.size(), db ? &*db : nullptr);
        fmt::print(out(), "{}", detailed_text(d, a.data.size()));
    }
    return kExitOk;
}

int run_monitor(const MonitorOptions &started) {
    MonitorOptions o = started; // a reload changes its uplink settings
    if (o.duration < 0) {
        throw Failure(kExitUsage, "--duration must be 0 (no limit) or more");
    }
    std::optional<Database> db;
    if (auto path = database_path(o.db)) {
        db = open_database(*path);
        o.mqtt.database = *path;
    }
    // (declared before the commands: they answer through it until they stop)
    std::optional<Uplink> uplink;
    std::mutex uplink_swap; // a reload's new uplink against the capture's reads
    MonitorCommands commands;
    if (live_view_wanted(o)) {
        if (o.commands.enabled) {
            fmt::print(stderr, "commands: the live view takes none; run with --log or as the "
                               "service\n");
        }
        if (!o.mqtt.url.empty()) {
            uplink.emplace(o.mqtt, false);
        }
        return run_live_monitor(o, db ? &*db : nullptr, uplink ? &*uplink : nullptr);
    }
    // The commands' record first: the uplink may deliver what the broker kept
    // for this gateway as soon as it connects.
    commands.open(o);
    if (commands.on() && o.commands.allowed_operations.count("capture") != 0) {
        // (the ring buffer then keeps what the longest capture asks for)
        o.mqtt.collection.capture_ms = static_cast<int64_t>(commands::kLongestCaptureS * 1000);
    }
    if (!o.mqtt.url.empty()) {
        uplink.emplace(o.mqtt, false, commands.sink());
        commands.answer_through(&*uplink);
    }
    const AddressPlan plan = plan_address(o.claim);
    catch_interrupts();
    vehcan::service::catch_reload();
    vehcan::service::MonitorService service;
    const int bitrate = bring_up([&service] { service.before_stack(); });
    service.stack_up(bitrate); // before the address claim's own threads, if any
    std::optional<OurAddress> address;
    claim_on_live_bus(address, plan);
    // (on every way out, the commands stop before the address they send from)
    struct StopFirst {
        MonitorCommands &commands;
        ~StopFirst() { commands.stop(); }
    } const stop_commands_first{commands};
    if (commands.on()) {
        OperationPlace place;
        place.address = &*address;
        place.db = db ? &*db : nullptr;
        place.ring = [&uplink, &uplink_swap](int64_t since_us) {
            const std::lock_guard lock(uplink_swap);
            return uplink ? uplink->recent_frames(since_us) : std::nullopt;
        };
        place.interrupted = [] { return g_stop.load(); };
        set_command_handlers(commands.service().executor(), place);
        commands.service().start();
    }
    const auto start = Clock::now(); // --duration counts from here, after the probe
    auto seconds_since_start = [&] {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    if (uplink) {
        uplink->online({{"bitrate", bitrate}});
    }
    // The JSON of a message, for the broker and --json alike: its time since
    // the start, when it came off the bus and its sequence number.
    uint64_t seq = 0;
    auto message_json = [&](LazyDecoded &m) {
        const int64_t received_us = unix_now_us();
        nlohmann::json j = monitor_json(m.get(), seconds_since_start(), m.len());
        stamp_message(j, received_us, uplink ? uplink->next_seq() : ++seq);
        return j;
    };
    // (a compact uplink takes the decoded values, not the JSON)
    const bool json_uplink = uplink && !uplink->compact();
    const bool want_json = json_uplink || (o.json && !o.quiet);
    // Every message goes to the broker (its rate limit aside); the terminal
    // may show fewer.
    // The vehicle identification as last published: an uplink started anew
    // by a reload is told it first, so that it names the vehicle by its VIN.
    std::optional<nlohmann::json> vin_message;
    std::vector<uint8_t> vin_payload;
    auto publish = [&](LazyDecoded &m, const nlohmann::json &j) {
        if (commands.on() && m.pgn() == kPgnVehicleIdentification) {
            if (const std::string vin = vin_in(m.get()); !vin.empty()) {
                commands.service().set_vin(vin);
            }
        }
        if (uplink && uplink->compact()) {
            if (m.pgn() == kPgnVehicleIdentification) {
                vin_payload.assign(m.data(), m.data() + m.len());
            }
            feed_compact(*uplink, m.get(), m.data(), m.len(), unix_now_us(), -1,
                         seconds_since_start());
        } else if (uplink) {
            const auto us =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
            if (m.pgn() == kPgnVehicleIdentification) {
                vin_message = j;
            }
            uplink->message(us.count(), -1, m.pgn(), j);
        }
    };
    auto emit = [&](LazyDecoded &m, const nlohmann::json &j) {
        if (o.quiet) {
            return;
        }
        const Decoded &d = m.get();
        if (o.json) {
            fmt::print(out(), "{}\n", j.dump());
        } else {
            std::string values = d.decoded ? values_text(d) : "";
            if (!d.decoded) {
                for (size_t i = 0; i < m.len(); ++i) {
                    values += fmt::format("{}{:02X}", i == 0 ? "[" : " ", m.data()[i]);
                }
                values += "]";
            }
            fmt::print(out(), "{:8.3f}  {:>6} {:<6} {}\n", seconds_since_start(), m.pgn(),
                       d.acronym, values);
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
    service.ready(messages, broker_state(uplink));
    while (!g_stop.load()) {
        service.tick(messages, broker_state(uplink));
        if (vehcan::service::g_reload.exchange(false) && !o.config.empty()) {
            service.reloading();
            reload_uplink(started, o, uplink, bitrate, commands, uplink_swap);
            if (uplink && uplink->compact() && !vin_payload.empty()) {
                LazyDecoded vin(kPgnVehicleIdentification, vin_payload.data(), vin_payload.size(),
                                db ? &*db : nullptr);
                publish(vin, nlohmann::json());
            } else if (uplink && vin_message) {
                uplink->message(0, -1, kPgnVehicleIdentification, *vin_message);
            }
            service.reloaded(messages, broker_state(uplink));
        }
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
            } else if (const auto from = address->source()) {
                fmt::print(stderr, "requesting the VIN (PGN 65260) from all nodes\n");
                j1939_send_request_message(kPgnVehicleIdentification, *from, 0xFF);
                vin_asked = Clock::now();
                ++vin_requests;
            } else if (address->lost()) {
                fmt::print(stderr, "no VIN request: no address to send from\n");
                vin_done = true;
            }
        }
        if (!vin_done && answer_waiting()) {
            int len = 0;
            if (j1939_recv_request_response(buf.data(), &len, kPgnVehicleIdentification) == 0 &&
                len > 0) {
                LazyDecoded vin(kPgnVehicleIdentification, buf.data(), static_cast<size_t>(len),
                                db ? &*db : nullptr);
                const nlohmann::json j = want_json ? message_json(vin) : nlohmann::json();
                publish(vin, j);
                emit(vin, j);
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
        LazyDecoded message(static_cast<uint32_t>(pgn), buf.data(), static_cast<size_t>(len),
                            db ? &*db : nullptr);
        const nlohmann::json j = want_json ? message_json(message) : nlohmann::json();
        publish(message, j);
        const auto now = Clock::now();
        auto it = last_shown.find(pgn);
        if (!o.json && it != last_shown.end() && now - it->second < std::chrono::seconds(1)) {
            continue;
        }
        last_shown[pgn] = now;
        emit(message, j);
    }
    service.stopping();
    // (the commands' operations send from our address: they end first, and
    // their last answers go with the uplink's)
    commands.stop();
    address.reset();
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
