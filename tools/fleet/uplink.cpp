// SPDX-License-Identifier: MIT
// The fleet uplink over libmosquitto: see uplink.h.
//
// One thread owns the libmosquitto handle and the spool and drives them
// with mosquitto_loop() and the spool's commits; the rest of vehcan only
// fills the backlog (or the spool's next batch) under the mutex. The mutex is never held across a
// libmosquitto call, so that the callbacks (which run inside those calls, on the same thread) never
// wait for it while their caller holds it.
#include "uplink.h"
#include <failure.h>

#include "compact_codec.h"
#include "timestamp.h"

#include <mosquitto.h>

#include <array>
#include <cerrno>
#include <cmath>
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
// The spool hands out this many messages at a time, whenever fewer than
// that are ready to send.
constexpr size_t kSpoolBatch = 1000;
// A connection without the broker's answer for this long is given up.
constexpr auto kConnackWait = std::chrono::seconds(15);
// close() keeps this long of its time for the "offline" status.
constexpr auto kGoodbyeTime = std::chrono::milliseconds(300);
constexpr const char *kSystemCaPath = "/etc/ssl/certs";

std::once_flag g_library_once;

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

bool is_batch_topic(const std::string &topic) {
    constexpr std::string_view leaf = "/batch";
    return topic.size() >= leaf.size() &&
           topic.compare(topic.size() - leaf.size(), leaf.size(), leaf) == 0;
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

Uplink::Uplink(const MqttOptions &o, bool replay, CommandSink commands)
    : o_(o), url_(parse_broker_url(o.url)), started_(utc_now()), replay_(replay),
      commands_(std::move(commands)), limiter_(o.rate_limit), backlog_(o.backlog) {
    if (o.uplink != "compact" && o.uplink != "json") {
        throw Failure(kExitUsage,
                      fmt::format("--uplink must be compact or json, not '{}'", o.uplink));
    }
    if (o.qos != 0 && o.qos != 1) {
        throw Failure(kExitUsage, fmt::format("--qos must be 0 or 1, not {}", o.qos));
    }
    if (o.rate_limit < 0) {
        throw Failure(kExitUsage, "--rate-limit must be 0 (every message) or more");
    }
    if (o.backlog == 0) {
        throw Failure(kExitUsage, "--backlog must be 1 or more");
    }
    if (o.inflight == 0 || o.inflight > 65535) {
        throw Failure(kExitUsage, "--mqtt-inflight must be 1 to 65535");
    }
    if (o.spool_flush_ms < 1) {
        throw Failure(kExitUsage, "--spool-flush-ms must be 1 or more");
    }
    if (o.spool_max_mb < 1) {
        throw Failure(kExitUsage, "--spool-max-mb must be 1 or more");
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
    vehicle_ = initial_vehicle(o.vehicle);
    if (!o.spool_dir.empty()) {
        spool_ = std::make_unique<Spool>(o.spool_dir, o.spool_max_mb * 1024 * 1024, o.backlog);
        next_seq_ = spool_->next_seq();
        spool_waiting_ = spool_->waiting();
        spool_ready_ = spool_->takeable();
        if (spool_waiting_ > 0) {
            fmt::print(stderr, "spool: {} messages of an earlier run in {}, sent first\n",
                       spool_waiting_, spool_->path());
        }
        next_flush_ = Clock::now() + std::chrono::milliseconds(o.spool_flush_ms);
    }
    if (o.uplink == "compact") {
        CollectionSettings collection = o.collection;
        if (collection.exact && collection.name == "default") {
            collection.name = "exact";
        }
        // (called with mutex_ held: from decoded(), close() and the thread)
        encoder_ = std::make_unique<CompactEncoder>(std::move(collection), vehicle_, o.database,
                                                    [this] { return next_seq_++; });
    }
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
    if (encoder_) {
        status_["uplink"] = "compact";
        status_["collection"] = encoder_->settings().name;
        update_counters();
    }
    status_due_ = true;
}

// The compact link's counters in the status. Called with the lock held.
void Uplink::update_counters() {
    if (!encoder_ || status_.is_null()) {
        return;
    }
    const CompactCounters &c = encoder_->counters();
    status_["bytes_sent"] = bytes_acked_;
    status_["batches"] = batches_acked_;
    status_["births"] = c.births;
    status_["compression_ratio"] = c.compressed_bytes > 0
                                       ? std::round(static_cast<double>(c.plain_bytes) /
                                                    static_cast<double>(c.compressed_bytes) * 100) /
                                             100
                                       : 0.0;
}

std::string Uplink::vehicle_topic(const char *leaf) const {
    return fmt::format("{}/{}/{}", o_.topic_prefix, vehicle_, leaf);
}

// The encoder's births and batches to the spool or the backlog. Called with
// the lock held.
void Uplink::enqueue_compact() {
    for (CompactPayload &p : encoder_->take()) {
        const bool birth = p.kind == CompactPayload::Kind::birth;
        Outgoing m{vehicle_topic(birth ? "birth" : "batch"), std::move(p.bytes), birth};
        m.generation = session_up_ ? generation_ : 0;
        enqueue(std::move(m));
    }
}

void Uplink::decoded(const UplinkMessage &m) {
    const std::lock_guard lock(mutex_);
    if (!refused_.empty() || closing_ || !encoder_) {
        return;
    }
    if (m.pgn == kPgnVehicleIdentification) {
        for (const UplinkValue &v : m.values) {
            if (v.name == "VIN" && !v.text.empty() && topic_level(v.text) != vehicle_) {
                const std::string base = o_.topic_prefix + "/";
                const std::string old = vehicle_;
                vehicle_ = topic_level(v.text);
                // The retained topics under the old name are cleared; the
                // trouble codes and the birth move with the vehicle.
                if (!status_.is_null()) {
                    urgent_.push_back({base + old + "/status", "", true});
                }
                if (!last_dm1_.empty()) {
                    urgent_.push_back({base + old + "/dm1", "", true});
                    urgent_.push_back({base + vehicle_ + "/dm1", last_dm1_, true});
                }
                urgent_.push_back({base + old + "/birth", "", true});
                encoder_->rename(vehicle_);
            }
        }
    }
    bool dm1_changed = false;
    if (m.pgn == kPgnDm1 && m.json != nullptr) {
        if (auto payload = codes_.update(m.source, *m.json)) {
            dm1_changed = dm1_is_news(dm1_seen_, *payload);
            dm1_seen_ = true;
            last_dm1_ = *payload;
            urgent_.push_back({vehicle_topic("dm1"), *payload, true});
        }
    }
    encoder_->add(m, dm1_changed);
    enqueue_compact();
}

void Uplink::frame(int64_t unix_us, uint32_t id, const uint8_t *data, size_t len) {
    const std::lock_guard lock(mutex_);
    if (encoder_) {
        encoder_->frame(unix_us, id, data, len);
    }
}

void Uplink::publish_result(const std::string &vehicle, const std::string &tail,
                            std::string payload) {
    Outgoing m{fmt::format("{}/{}/{}", o_.topic_prefix, vehicle, tail), std::move(payload), false};
    m.qos = 1;
    {
        const std::lock_guard lock(mutex_);
        urgent_.push_back(std::move(m));
    }
    wake_.notify_all();
}

std::string Uplink::vehicle() const {
    const std::lock_guard lock(mutex_);
    return vehicle_;
}

std::optional<std::vector<RingFrame>> Uplink::recent_frames(int64_t since_us) const {
    const std::lock_guard lock(mutex_);
    if (!encoder_) {
        return std::nullopt;
    }
    return encoder_->frames_since(since_us);
}

void Uplink::enqueue(Outgoing m) {
    if (spool_) {
        incoming_.push_back(std::move(m));
    } else {
        backlog_.push(std::move(m));
    }
}

uint64_t Uplink::next_seq() {
    const std::lock_guard lock(mutex_);
    return next_seq_++;
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
                enqueue({base + old + "/status", "", true});
            }
            if (!last_dm1_.empty()) {
                enqueue({base + old + "/dm1", "", true});
                enqueue({base + vehicle_ + "/dm1", last_dm1_, true});
            }
        }
    }
    if (pgn == kPgnDm1) {
        if (auto payload = codes_.update(source, message)) {
            last_dm1_ = *payload;
            enqueue({base + vehicle_ + "/dm1", *payload, true});
        }
    }
    if (limiter_.admit(pgn, source, time_us)) {
        enqueue({fmt::format("{}{}/{}", base, vehicle_, pgn), message.dump(), false});
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
    if (encoder_) {
        // What the encoder holds back goes out with the rest.
        const std::lock_guard lock(mutex_);
        encoder_->finish(replay_ ? 0 : unix_now_us());
        enqueue_compact();
    }
    stop(deadline);
    const std::lock_guard lock(mutex_);
    report_.delivered = delivered_;
    if (spool_) {
        // (the thread committed before it ended: what is left is on disk)
        report_.dropped = spool_->dropped();
        report_.unsent = spool_->waiting() + ready_.size() + in_flight_.size();
        const std::string path = spool_->path();
        // (acknowledgements that came with the goodbye)
        for (int64_t id : acked_) {
            spool_->acknowledge(id);
        }
        acked_.clear();
        spool_->close();
        fmt::print(stderr,
                   "mqtt: {} messages delivered to {}:{}, {} dropped from the full spool, {} "
                   "left in the spool {}\n",
                   report_.delivered, url_.host, url_.port, report_.dropped, report_.unsent, path);
        return report_;
    }
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
        auto now = Clock::now();
        if (encoder_ && !closing_) {
            if (!replay_) {
                // Live, batches and event windows are due by the clock too.
                encoder_->tick(unix_now_us());
                enqueue_compact();
            }
            if (now >= next_status_ && !status_.is_null()) {
                update_counters();
                status_due_ = session_up_;
                next_status_ = now + kStatusRefresh;
            }
        }
        if (spool_ && (now >= next_flush_ || (closing_ && !incoming_.empty()))) {
            flush(lock);
            now = Clock::now();
        } else if (spool_ && session_up_ && spool_ready_ > 0 && ready_.size() < kSpoolBatch / 2) {
            refill(lock);
        }
        if (closing_ && (all_sent() || now >= deadline_ - kGoodbyeTime)) {
            break;
        }
        // With a spool nothing is lost by leaving: a broker out of reach
        // at the end (tried once more then, whatever the back-off) leaves
        // the rest to the next run.
        if (closing_ && spool_ && mosq_ == nullptr && !last_try_) {
            last_try_ = true;
            next_attempt = now;
        } else if (closing_ && spool_ && mosq_ == nullptr && now < next_attempt) {
            fmt::print(stderr, "mqtt: no broker at {}:{}: the rest stays in the spool\n", url_.host,
                       url_.port);
            break;
        }
        if (mosq_ == nullptr) {
            if (now < next_attempt) {
                auto until =
                    closing_ ? std::min(next_attempt, deadline_ - kGoodbyeTime) : next_attempt;
                if (spool_) {
                    until = std::min(until, next_flush_);
                }
                wake_.wait_until(lock, until);
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
    if (spool_) {
        flush(lock);
    }
    if (mosq_ != nullptr) {
        lock.unlock();
        say_goodbye();
        lock.lock();
    }
}

// More of the spool's committed messages to send, between two commits, so
// that the broker's pace rather than the flush period sets the rate.
void Uplink::refill(std::unique_lock<std::mutex> &lock) {
    lock.unlock();
    std::vector<SpooledMessage> taken = spool_->take(kSpoolBatch);
    const uint64_t waiting = spool_->waiting();
    const uint64_t takeable = spool_->takeable();
    lock.lock();
    for (SpooledMessage &m : taken) {
        ready_.push_back(std::move(m));
    }
    spool_waiting_ = waiting;
    spool_ready_ = takeable;
}

bool Uplink::all_sent() const {
    if (spool_) {
        return incoming_.empty() && ready_.empty() && in_flight_.empty() && spool_waiting_ == 0;
    }
    return backlog_.empty() && in_flight_.empty();
}

// The spool's commit: what came in since the last one and what the broker
// acknowledged meanwhile, in one transaction; then the next messages to
// send are taken out when few are ready. Called with the lock held; the
// spool works without it.
void Uplink::flush(std::unique_lock<std::mutex> &lock) {
    // The compact batch being filled is saved as it stands with each commit.
    std::optional<Outgoing> open;
    std::optional<Outgoing> open_birth;
    if (encoder_) {
        if (auto snapshot = encoder_->snapshot(0)) {
            open = Outgoing{vehicle_topic("batch"), std::move(snapshot->batch.bytes), false};
            if (snapshot->birth) {
                open_birth =
                    Outgoing{vehicle_topic("birth"), std::move(snapshot->birth->bytes), true};
            }
        }
    }
    std::vector<Outgoing> batch;
    batch.swap(incoming_);
    std::vector<int64_t> acked;
    acked.swap(acked_);
    const uint64_t next_seq = next_seq_;
    const bool need_more = ready_.size() < kSpoolBatch;
    lock.unlock();
    std::vector<std::pair<int64_t, uint64_t>> generations;
    for (Outgoing &m : batch) {
        const uint64_t generation = m.generation;
        const bool is_batch = is_batch_topic(m.topic);
        const int64_t id = spool_->add(std::move(m));
        if (is_batch && generation != 0) {
            generations.emplace_back(id, generation);
        }
    }
    for (int64_t id : acked) {
        spool_->acknowledge(id);
    }
    if (encoder_) {
        spool_->set_open(std::move(open), std::move(open_birth));
    }
    spool_->commit(next_seq);
    std::vector<SpooledMessage> taken;
    if (need_more) {
        taken = spool_->take(kSpoolBatch);
    }
    const uint64_t waiting = spool_->waiting();
    const uint64_t takeable = spool_->takeable();
    const uint64_t dropped = spool_->dropped();
    lock.lock();
    spooled_generation_.insert(generations.begin(), generations.end());
    spool_ready_ = takeable;
    for (SpooledMessage &m : taken) {
        ready_.push_back(std::move(m));
    }
    spool_waiting_ = waiting;
    if (dropped != spool_dropped_) {
        fmt::print(stderr, "spool: {} oldest messages dropped from the full spool ({} in all)\n",
                   dropped - spool_dropped_, dropped);
        spool_dropped_ = dropped;
        if (!status_.is_null()) {
            status_["spool_dropped"] = dropped;
            status_due_ = true;
        }
    }
    next_flush_ = Clock::now() + std::chrono::milliseconds(o_.spool_flush_ms);
}

// Starts one connection attempt (TCP connect, then CONNECT; the broker's
// answer arrives in on_connect). False, with the reason shown, when even
// the start failed.
bool Uplink::connect_once(const std::string &vehicle) {
    const std::string id = client_id_for(vehicle, replay_);
    // With commands, a persistent session: the broker keeps what comes on
    // the command topic while the gateway is away.
    mosq_ = mosquitto_new(id.c_str(), !commands_, this);
    if (mosq_ == nullptr) {
        fmt::print(stderr, "mqtt: cannot create a client: {}\n", errno_text());
        return false;
    }
    connected_vehicle_ = vehicle;
    session_up_ = false;
    lost_ = false;
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // libmosquitto's own window (20 by default) is made ours: beyond it,
    // it would hold messages back itself.
    mosquitto_max_inflight_messages_set(mosq_, static_cast<unsigned int>(o_.inflight));
    mosquitto_connect_callback_set(mosq_, &Uplink::on_connect);
    mosquitto_disconnect_callback_set(mosq_, &Uplink::on_disconnect);
    mosquitto_publish_callback_set(mosq_, &Uplink::on_publish);
    if (commands_) {
        mosquitto_message_callback_set(mosq_, &Uplink::on_message);
        mosquitto_subscribe_callback_set(mosq_, &Uplink::on_subscribe);
    }
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
    if (spool_) {
        for (auto it = in_flight_.rbegin(); it != in_flight_.rend(); ++it) {
            ready_.push_front(std::move(it->message));
        }
    } else {
        again.reserve(in_flight_.size());
        for (Pending &p : in_flight_) {
            again.push_back(std::move(p.message.message));
        }
    }
    in_flight_.clear();
    backlog_.push_front(std::move(again));
    const bool was_up = session_up_;
    const uint64_t kept =
        spool_ ? ready_.size() + spool_waiting_ + incoming_.size() : backlog_.size();
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
    std::vector<SpooledMessage> batch;
    const size_t room = o_.inflight - std::min(o_.inflight, in_flight_.size());
    // A changed dm1 first, then the birth again after a reconnect, then the
    // backlog.
    while (batch.size() < room && !urgent_.empty()) {
        batch.push_back({0, std::move(urgent_.front())});
        urgent_.pop_front();
    }
    if (birth_on_connect_ && encoder_ && batch.size() < room) {
        birth_on_connect_ = false;
        if (auto birth = encoder_->birth_for_connect()) {
            batch.push_back({0, Outgoing{vehicle_topic("birth"), std::move(birth->bytes), true}});
        }
    }
    std::vector<bool> historical;
    while (batch.size() < room && (spool_ ? !ready_.empty() : !backlog_.empty())) {
        if (spool_) {
            batch.push_back(std::move(ready_.front()));
            ready_.pop_front();
        } else {
            batch.push_back({0, backlog_.pop()});
        }
    }
    // A batch goes out as historical on any other connection than the one
    // it was made on.
    historical.resize(batch.size(), false);
    for (size_t i = 0; encoder_ && i < batch.size(); ++i) {
        const SpooledMessage &m = batch[i];
        if (!is_batch_topic(m.message.topic)) {
            continue;
        }
        uint64_t made_on = m.message.generation;
        if (m.id != 0) {
            const auto it = spooled_generation_.find(m.id);
            made_on = it != spooled_generation_.end() ? it->second : 0;
        }
        historical[i] = made_on != generation_;
    }
    if (!status && batch.empty()) {
        return;
    }
    lock.unlock();
    for (size_t i = 0; i < batch.size(); ++i) {
        if (historical[i]) {
            batch[i].message.payload =
                mark_historical(batch[i].message.payload, o_.collection.zstd_level);
        }
    }
    if (status) {
        // Sent again at every connection, so not kept in flight.
        mosquitto_publish(mosq_, nullptr, status_topic().c_str(), static_cast<int>(status->size()),
                          status->data(), 1, true);
    }
    // Kept in flight before the publish: its acknowledgement (QoS 1) or
    // the end of its write (QoS 0) may come inside the next call already.
    size_t sent = 0;
    for (; sent < batch.size(); ++sent) {
        const Outgoing &m = batch[sent].message;
        int mid = 0;
        const int rc =
            mosquitto_publish(mosq_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                              m.payload.data(), m.qos >= 0 ? m.qos : o_.qos, m.retain);
        if (rc != MOSQ_ERR_SUCCESS) {
            lost_ = true;
            lost_reason_ = error_text(rc);
            break;
        }
        lock.lock();
        in_flight_.push_back({mid, std::move(batch[sent])});
        lock.unlock();
    }
    lock.lock();
    // A QoS 0 message may be written inside mosquitto_publish(), before its
    // id was known here.
    for (int mid : unmatched_) {
        (void)acknowledged(mid);
    }
    unmatched_.clear();
    if (sent < batch.size()) {
        if (spool_) {
            for (size_t i = batch.size(); i-- > sent;) {
                ready_.push_front(std::move(batch[i]));
            }
        } else {
            std::vector<Outgoing> back;
            for (size_t i = sent; i < batch.size(); ++i) {
                back.push_back(std::move(batch[i].message));
            }
            backlog_.push_front(std::move(back));
        }
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

void Uplink::on_connect(struct mosquitto *mosq, void *self, int rc) {
    auto *u = static_cast<Uplink *>(self);
    if (rc == 0) {
        u->session_up_ = true;
        u->backoff_.reset();
        if (u->commands_) {
            // Every connection subscribes again: a broker that lost the
            // session (restarted without persistence) still gets it.
            const int s = mosquitto_subscribe(mosq, nullptr, u->command_topic().c_str(), 1);
            if (s != MOSQ_ERR_SUCCESS) {
                u->lost_ = true;
                u->lost_reason_ =
                    fmt::format("cannot subscribe to {}: {}", u->command_topic(), error_text(s));
            }
        }
        const std::lock_guard lock(u->mutex_);
        u->status_due_ = true;
        ++u->generation_;
        u->birth_on_connect_ = true;
        u->update_counters();
        fmt::print(stderr, "mqtt: connected to {}:{} as {}, {} messages waiting\n", u->url_.host,
                   u->url_.port, client_id_for(u->connected_vehicle_, u->replay_),
                   u->spool_ ? u->ready_.size() + u->spool_waiting_ + u->incoming_.size()
                             : u->backlog_.size());
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

std::string Uplink::command_topic() const {
    return o_.topic_prefix + "/" + connected_vehicle_ + "/cmd";
}

void Uplink::on_subscribe(struct mosquitto * /*mosq*/, void *self, int /*mid*/, int count,
                          const int *granted) {
    auto *u = static_cast<Uplink *>(self);
    // 0x80: the broker refused it (its ACL); the service goes on without
    // commands and says so.
    if (count < 1 || granted[0] > 2) {
        fmt::print(stderr, "mqtt: the broker refused the subscription to {}: no commands\n",
                   u->command_topic());
    } else {
        fmt::print(stderr, "mqtt: subscribed to {}\n", u->command_topic());
    }
}

void Uplink::on_message(struct mosquitto * /*mosq*/, void *self,
                        const struct mosquitto_message *m) {
    auto *u = static_cast<Uplink *>(self);
    // Only the command topic of this connection's name (a persistent
    // session keeps no other subscription).
    if (m->topic == nullptr || u->command_topic() != m->topic) {
        return;
    }
    // An empty message clears a retained one: no command to answer.
    if (m->payloadlen <= 0) {
        return;
    }
    CommandMessage c;
    c.vehicle = u->connected_vehicle_;
    c.payload.assign(static_cast<const char *>(m->payload), static_cast<size_t>(m->payloadlen));
    c.retained = m->retain;
    try {
        u->commands_(c);
    } catch (const std::exception &e) {
        // (no exception may cross libmosquitto's C frames)
        fmt::print(stderr, "mqtt: a command message was not handled: {}\n", e.what());
    }
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
    if (!u->acknowledged(mid)) {
        u->unmatched_.push_back(mid);
    }
}

// Called with the lock held.
bool Uplink::acknowledged(int mid) {
    for (auto it = in_flight_.begin(); it != in_flight_.end(); ++it) {
        if (it->mid == mid) {
            if (it->message.id != 0) {
                acked_.push_back(it->message.id);
                spooled_generation_.erase(it->message.id);
            }
            if (encoder_) {
                bytes_acked_ += it->message.message.payload.size();
                batches_acked_ += is_batch_topic(it->message.message.topic) ? 1U : 0U;
            }
            in_flight_.erase(it);
            ++delivered_;
            return true;
        }
    }
    return false;
}

} // namespace vehcan::cli
