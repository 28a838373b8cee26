// SPDX-License-Identifier: MIT
// The fleet uplink over libmosquitto: see uplink.h.
//
// One thread owns the libmosquitto handle and drives it with
// mosquitto_loop(); the rest of vehcan only fills the backlog under the
// mutex. The mutex is never held across a libmosquitto call, so that the
// callbacks (which run inside those calls, on the same thread) never wait
// for it while their caller holds it.
#include "uplink.h"
#include "common.h"

#include <mosquitto.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fmt/format.h>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <system_error>
#include <unistd.h>

namespace vehcan::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPgnDm1 = 65226;
constexpr uint32_t kPgnVehicleIdentification = 65260;
constexpr int kKeepAliveSeconds = 30;
constexpr int kLoopWaitMs = 50;
// At most this many QoS 1 messages wait for their acknowledgement at once.
constexpr size_t kWindow = 100;
// A connection without the broker's answer for this long is given up.
constexpr auto kConnackWait = std::chrono::seconds(15);
// close() keeps this long of its time for the "offline" status.
constexpr auto kGoodbyeTime = std::chrono::milliseconds(300);
constexpr const char *kSystemCaPath = "/etc/ssl/certs";

std::once_flag g_library_once;

std::string host_name() {
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') {
        return "unknown";
    }
    return name.data();
}

std::string utc_now() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::array<char, 32> s{};
    (void)std::strftime(s.data(), s.size(), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return s.data();
}

std::string errno_text();

void need_readable(const std::string &file, std::string_view option) {
    if (!file.empty() && access(file.c_str(), R_OK) != 0) {
        throw Failure(kExitUsage, fmt::format("{} {}: {}", option, file, errno_text()));
    }
}

std::string errno_text() {
    return std::generic_category().message(errno);
}

std::string error_text(int rc) {
    return rc == MOSQ_ERR_ERRNO ? errno_text() : mosquitto_strerror(rc);
}

std::string vin_of(const nlohmann::json &message) {
    for (const auto &v : message.value("values", nlohmann::json::array())) {
        if (v.value("name", "") == "VIN") {
            return v.value("text", "");
        }
    }
    return "";
}

} // namespace

Uplink::Uplink(const MqttOptions &o, bool replay)
    : o_(o), url_(parse_broker_url(o.url)), started_(utc_now()), replay_(replay),
      limiter_(o.rate_limit), backlog_(o.backlog) {
    if (o.qos != 0 && o.qos != 1) {
        throw Failure(kExitUsage, fmt::format("--qos must be 0 or 1, not {}", o.qos));
    }
    if (o.rate_limit < 0) {
        throw Failure(kExitUsage, "--rate-limit must be 0 (every message) or more");
    }
    if (o.backlog == 0) {
        throw Failure(kExitUsage, "--backlog must be 1 or more");
    }
    const bool tls_files = !o.ca_file.empty() || !o.cert_file.empty() || !o.key_file.empty();
    if (tls_files && !url_.tls) {
        throw Failure(kExitUsage, "--mqtt-ca, --mqtt-cert and --mqtt-key need an mqtts:// URL");
    }
    if (o.cert_file.empty() != o.key_file.empty()) {
        throw Failure(kExitUsage, "--mqtt-cert and --mqtt-key go together");
    }
    need_readable(o.ca_file, "--mqtt-ca");
    need_readable(o.cert_file, "--mqtt-cert");
    need_readable(o.key_file, "--mqtt-key");
    // (read once, before any thread of vehcan's starts)
    const char *pw = o.password
                         ? o.password->c_str()
                         : std::getenv("VEHCAN_MQTT_PASSWORD"); // NOLINT(concurrency-mt-unsafe)
    if (pw != nullptr && !o.user.empty()) {
        password_ = pw;
        have_password_ = true;
    }
    while (!o_.topic_prefix.empty() && o_.topic_prefix.back() == '/') {
        o_.topic_prefix.pop_back();
    }
    if (o_.topic_prefix.find_first_of("+#") != std::string::npos) {
        throw Failure(kExitUsage, "--topic-prefix must not hold '+' or '#'");
    }
    vehicle_ = topic_level(o.vehicle.empty() ? host_name() : o.vehicle);
    std::call_once(g_library_once, [] { mosquitto_lib_init(); });
    thread_ = std::thread([this] { run(); });
}

Uplink::~Uplink() {
    // Left early (an error elsewhere): no report, as the error says it all.
    if (!closed_) {
        stop(Clock::now());
    }
}

// ---- what vehcan feeds in ----

void Uplink::online(const nlohmann::json &details) {
    const std::lock_guard lock(mutex_);
    status_ = {{"status", "online"}, {"started", started_}};
    status_.update(details);
    status_due_ = true;
}

void Uplink::message(int64_t time_us, int source, uint32_t pgn, const nlohmann::json &message) {
    const std::lock_guard lock(mutex_);
    if (!refused_.empty() || closing_) {
        return;
    }
    const std::string base = o_.topic_prefix + "/";
    if (pgn == kPgnVehicleIdentification) {
        const std::string vin = vin_of(message);
        if (!vin.empty() && topic_level(vin) != vehicle_) {
            // From now on the vehicle is known by its VIN; the retained
            // topics under the old name are cleared, the trouble codes move.
            const std::string old = vehicle_;
            vehicle_ = topic_level(vin);
            if (!status_.is_null()) {
                backlog_.push({base + old + "/status", "", true});
            }
            if (!last_dm1_.empty()) {
                backlog_.push({base + old + "/dm1", "", true});
                backlog_.push({base + vehicle_ + "/dm1", last_dm1_, true});
            }
        }
    }
    if (pgn == kPgnDm1) {
        if (auto payload = codes_.update(source, message)) {
            last_dm1_ = *payload;
            backlog_.push({base + vehicle_ + "/dm1", *payload, true});
        }
    }
    if (limiter_.admit(pgn, source, time_us)) {
        backlog_.push({fmt::format("{}{}/{}", base, vehicle_, pgn), message.dump(), false});
    }
}

std::string Uplink::refused() const {
    const std::lock_guard lock(mutex_);
    return refused_;
}

void Uplink::stop(Clock::time_point deadline) {
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
        deadline_ = deadline;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    closed_ = true;
}

UplinkReport Uplink::close(Clock::time_point deadline) {
    stop(deadline);
    const std::lock_guard lock(mutex_);
    report_.delivered = delivered_;
    report_.dropped = backlog_.dropped();
    report_.unsent = backlog_.size() + in_flight_.size();
    fmt::print(stderr,
               "mqtt: {} messages delivered to {}:{}, {} dropped from the full backlog, {} "
               "not sent\n",
               report_.delivered, url_.host, url_.port, report_.dropped, report_.unsent);
    return report_;
}

void finish_uplink(Uplink &uplink, Clock::time_point deadline) {
    uplink.close(deadline);
    if (std::string why = uplink.refused(); !why.empty()) {
        throw Failure(kExitBroker, why);
    }
}

// ---- the connection thread ----

std::string Uplink::status_topic() const {
    return o_.topic_prefix + "/" + connected_vehicle_ + "/status";
}

std::string Uplink::offline_payload() const {
    return nlohmann::json{{"status", "offline"}, {"vehicle", connected_vehicle_}}.dump();
}

void Uplink::run() {
    // Ctrl-C and SIGTERM go to the threads that wait for them. A write to a
    // socket the broker closed raises SIGPIPE in this thread: blocked, the
    // write fails with EPIPE instead and the connection is dropped.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    std::unique_lock lock(mutex_);
    Clock::time_point next_attempt = Clock::now();
    while (refused_.empty()) {
        const auto now = Clock::now();
        const bool all_sent = backlog_.empty() && in_flight_.empty();
        if (closing_ && (all_sent || now >= deadline_ - kGoodbyeTime)) {
            break;
        }
        if (mosq_ == nullptr) {
            if (now < next_attempt) {
                wake_.wait_until(lock, closing_ ? std::min(next_attempt, deadline_ - kGoodbyeTime)
                                                : next_attempt);
                continue;
            }
            const std::string vehicle = vehicle_;
            lock.unlock();
            const bool started = connect_once(vehicle);
            lock.lock();
            if (!started) {
                next_attempt = Clock::now() + backoff_.next();
            }
            continue;
        }
        // A new name for the vehicle takes a new connection (client id and
        // last will): once every message in flight is acknowledged, the
        // old one ends cleanly, so the broker drops its will.
        const bool renamed = session_up_ && vehicle_ != connected_vehicle_;
        if (renamed && in_flight_.empty()) {
            lock.unlock();
            mosquitto_disconnect(mosq_);
            mosquitto_destroy(mosq_);
            mosq_ = nullptr;
            session_up_ = false;
            lock.lock();
            next_attempt = Clock::now();
            continue;
        }
        if (session_up_ && !renamed) {
            pump(lock);
        }
        lock.unlock();
        const int rc = mosquitto_loop(mosq_, kLoopWaitMs, 1);
        lock.lock();
        if (rc != MOSQ_ERR_SUCCESS || lost_) {
            drop_connection(lock, rc != MOSQ_ERR_SUCCESS ? error_text(rc) : lost_reason_);
            if (refused_.empty()) {
                next_attempt = Clock::now() + backoff_.next();
            }
        } else if (!session_up_ && Clock::now() - connect_started_ > kConnackWait) {
            drop_connection(lock, "no answer from the broker");
            next_attempt = Clock::now() + backoff_.next();
        }
    }
    if (mosq_ != nullptr) {
        lock.unlock();
        say_goodbye();
        lock.lock();
    }
}

// Starts one connection attempt (TCP connect, then CONNECT; the broker's
// answer arrives in on_connect). False, with the reason shown, when even
// the start failed.
bool Uplink::connect_once(const std::string &vehicle) {
    const std::string id = client_id_for(vehicle, replay_);
    mosq_ = mosquitto_new(id.c_str(), true, this);
    if (mosq_ == nullptr) {
        fmt::print(stderr, "mqtt: cannot create a client: {}\n", errno_text());
        return false;
    }
    connected_vehicle_ = vehicle;
    session_up_ = false;
    lost_ = false;
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq_, &Uplink::on_connect);
    mosquitto_disconnect_callback_set(mosq_, &Uplink::on_disconnect);
    mosquitto_publish_callback_set(mosq_, &Uplink::on_publish);
    int rc = MOSQ_ERR_SUCCESS;
    if (!o_.user.empty()) {
        rc = mosquitto_username_pw_set(mosq_, o_.user.c_str(),
                                       have_password_ ? password_.c_str() : nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && url_.tls) {
        rc = mosquitto_tls_set(mosq_, o_.ca_file.empty() ? nullptr : o_.ca_file.c_str(),
                               o_.ca_file.empty() ? kSystemCaPath : nullptr,
                               o_.cert_file.empty() ? nullptr : o_.cert_file.c_str(),
                               o_.key_file.empty() ? nullptr : o_.key_file.c_str(), nullptr);
    }
    const std::string will = offline_payload();
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_will_set(mosq_, status_topic().c_str(), static_cast<int>(will.size()),
                                will.data(), 1, true);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        connect_started_ = Clock::now();
        rc = mosquitto_connect_async(mosq_, url_.host.c_str(), url_.port, kKeepAliveSeconds);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        fmt::print(stderr, "mqtt: cannot connect to {}:{}: {}\n", url_.host, url_.port,
                   error_text(rc));
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
        return false;
    }
    return true;
}

// Ends the connection after a failure; what was in flight goes back to the
// front of the backlog, to be sent again first. Called with the lock held.
void Uplink::drop_connection(std::unique_lock<std::mutex> &lock, const std::string &why) {
    std::vector<Outgoing> again;
    again.reserve(in_flight_.size());
    for (Pending &p : in_flight_) {
        again.push_back(std::move(p.message));
    }
    in_flight_.clear();
    backlog_.push_front(std::move(again));
    const bool was_up = session_up_;
    const size_t kept = backlog_.size();
    const bool refused = !refused_.empty();
    session_up_ = false;
    struct mosquitto *m = mosq_;
    mosq_ = nullptr;
    lock.unlock();
    mosquitto_destroy(m);
    if (!refused) {
        fmt::print(stderr, "mqtt: {} {}:{}: {}; {} messages kept\n",
                   was_up ? "lost the broker" : "no connection to", url_.host, url_.port, why,
                   kept);
    }
    lock.lock();
}

// Hands the status, then the backlog's oldest messages to libmosquitto, as
// many as the window of unacknowledged messages allows. Called with the
// lock held; publishes without it.
void Uplink::pump(std::unique_lock<std::mutex> &lock) {
    std::optional<std::string> status;
    if (status_due_ && !status_.is_null()) {
        nlohmann::json s = status_;
        s["vehicle"] = connected_vehicle_;
        status = s.dump();
        status_due_ = false;
    }
    std::vector<Outgoing> batch;
    const size_t room = o_.qos == 0 ? kWindow : kWindow - std::min(kWindow, in_flight_.size());
    while (batch.size() < room && !backlog_.empty()) {
        batch.push_back(backlog_.pop());
    }
    if (!status && batch.empty()) {
        return;
    }
    lock.unlock();
    if (status) {
        // Sent again at every connection, so not kept in flight.
        mosquitto_publish(mosq_, nullptr, status_topic().c_str(), static_cast<int>(status->size()),
                          status->data(), 1, true);
    }
    size_t sent = 0;
    std::vector<Pending> flying;
    uint64_t written = 0;
    for (; sent < batch.size(); ++sent) {
        const Outgoing &m = batch[sent];
        int mid = 0;
        const int rc =
            mosquitto_publish(mosq_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                              m.payload.data(), o_.qos, m.retain);
        if (rc != MOSQ_ERR_SUCCESS) {
            lost_ = true;
            lost_reason_ = error_text(rc);
            break;
        }
        if (o_.qos == 0) {
            ++written;
        } else {
            flying.push_back({mid, m});
        }
    }
    lock.lock();
    delivered_ += written;
    for (Pending &p : flying) {
        in_flight_.push_back(std::move(p));
    }
    if (sent < batch.size()) {
        backlog_.push_front({batch.begin() + static_cast<std::ptrdiff_t>(sent), batch.end()});
    }
}

// The clean end: the retained "offline" (waiting a moment for the broker to
// take it), then DISCONNECT, which makes the broker drop the last will.
void Uplink::say_goodbye() {
    if (session_up_) {
        const std::string payload = offline_payload();
        goodbye_mid_ = -1;
        goodbye_acked_ = false;
        mosquitto_publish(mosq_, &goodbye_mid_, status_topic().c_str(),
                          static_cast<int>(payload.size()), payload.data(), 1, true);
        const auto until = Clock::now() + kGoodbyeTime;
        while (!goodbye_acked_ && Clock::now() < until) {
            if (mosquitto_loop(mosq_, kLoopWaitMs, 1) != MOSQ_ERR_SUCCESS) {
                break;
            }
        }
        mosquitto_disconnect(mosq_);
    }
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    session_up_ = false;
}

// ---- libmosquitto's callbacks, on the connection thread ----

void Uplink::on_connect(struct mosquitto * /*mosq*/, void *self, int rc) {
    auto *u = static_cast<Uplink *>(self);
    if (rc == 0) {
        u->session_up_ = true;
        u->backoff_.reset();
        const std::lock_guard lock(u->mutex_);
        u->status_due_ = true;
        fmt::print(stderr, "mqtt: connected to {}:{} as {}, {} messages waiting\n", u->url_.host,
                   u->url_.port, client_id_for(u->connected_vehicle_, u->replay_),
                   u->backlog_.size());
        return;
    }
    // 4: bad user name or password, 5: not authorized. The other refusals
    // (protocol, client id, server unavailable) may pass: try again later.
    if (rc == 4 || rc == 5) {
        const std::lock_guard lock(u->mutex_);
        u->refused_ = fmt::format("the broker at {}:{} refused the connection ({}): check "
                                  "--mqtt-user and $VEHCAN_MQTT_PASSWORD",
                                  u->url_.host, u->url_.port,
                                  rc == 4 ? "bad user name or password" : "not authorised");
    }
    u->lost_ = true;
    u->lost_reason_ = mosquitto_connack_string(rc);
}

void Uplink::on_disconnect(struct mosquitto * /*mosq*/, void *self, int rc) {
    auto *u = static_cast<Uplink *>(self);
    if (rc != 0) {
        u->lost_ = true;
        u->lost_reason_ = "connection closed";
    }
}

void Uplink::on_publish(struct mosquitto * /*mosq*/, void *self, int mid) {
    auto *u = static_cast<Uplink *>(self);
    if (mid == u->goodbye_mid_) {
        u->goodbye_acked_ = true;
        return;
    }
    const std::lock_guard lock(u->mutex_);
    for (auto it = u->in_flight_.begin(); it != u->in_flight_.end(); ++it) {
        if (it->mid == mid) {
            u->in_flight_.erase(it);
            ++u->delivered_;
            return;
        }
    }
}

} // namespace vehcan::cli
