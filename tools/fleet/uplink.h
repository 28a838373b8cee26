// SPDX-License-Identifier: MIT
// The fleet uplink: publishes the decoded vehicle to an MQTT broker through
// libmosquitto, in one of two forms:
//   compact (the default): each decoded value is a signal whose points go
//     out within its tolerance, in compressed batches on PREFIX/VEHICLE/batch
//     with the retained birth on PREFIX/VEHICLE/birth (compact.h and
//     docs/fleet-format.md);
//   json: each decoded message as the JSON object that --json prints, on
//     PREFIX/VEHICLE/PGN.
// Both keep PREFIX/VEHICLE/dm1 (the active trouble codes) and
// PREFIX/VEHICLE/status (online / offline) retained on the broker. While the
// broker cannot be reached it keeps the messages in its disk spool (--spool,
// see spool.h) or, without one, the newest of them in a bounded backlog in
// memory, and reconnects with back-off. In compact form a changed dm1 goes
// out ahead of any backlog.
//
// Commands from the fleet (when the caller hands over a CommandSink): the
// uplink subscribes to PREFIX/VEHICLE/cmd at QoS 1 on every connection, so
// again under the VIN once it renames the topics, and connects with a
// persistent session (clean_session false; the client id is the vehicle's,
// so it is stable): the broker keeps the commands that come while the
// gateway is away and delivers them when it connects again under that
// name. The session holds only that subscription: what the uplink
// publishes, its retained status and its last will work as without it.
// Results go out on PREFIX/VEHICLE/cmd/ID at QoS 1, not retained, ahead of
// any backlog.
#ifndef VEHCAN_FLEET_UPLINK_H
#define VEHCAN_FLEET_UPLINK_H

#include "collection.h"
#include "compact.h"
#include "spool.h"
#include "uplink_message.h"
#include "uplink_parts.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

struct mosquitto;
struct mosquitto_message;

namespace vehcan::cli {

// The --mqtt options as given on the command line.
struct MqttOptions {
    std::string url; // empty: no uplink
    std::string topic_prefix = "vehcan";
    std::string vehicle;   // before the VIN is known; empty: the host name
    double rate_limit = 0; // messages a second per (PGN, sender); 0: all
    int qos = 1;
    size_t backlog = 10000; // in memory: without a spool, or while its disk is full
    size_t inflight = 1000; // messages sent and not yet acknowledged, at most
    std::string spool_dir;  // empty: no spool, the backlog in memory
    int spool_flush_ms = 1000;
    uint64_t spool_max_mb = 256;
    std::string user;                    // the password comes from $VEHCAN_MQTT_PASSWORD
    std::optional<std::string> password; // instead of $VEHCAN_MQTT_PASSWORD (the config file)
    std::string ca_file;                 // mqtts://: the CA that signed the broker's certificate
    std::string cert_file;
    std::string key_file;
    std::string uplink = "compact"; // --uplink compact|json (json: today's per-message JSON)
    CollectionSettings collection;  // compact: the defaults, exact or a campaign
    std::string database;           // compact: the database that named the SPNs (for the birth)
};

// A message of the command topic PREFIX/VEHICLE/cmd as it arrived.
struct CommandMessage {
    std::string vehicle; // the topic level it came under
    std::string payload;
    bool retained = false; // the MQTT retain flag of its delivery
};
// Called on the uplink's connection thread, without the uplink's lock, for
// each message of the command topic; it may publish_result() at once. It
// holds up the connection while it runs: it must not wait long.
using CommandSink = std::function<void(const CommandMessage &)>;

// What the uplink did, as close() reports it.
struct UplinkReport {
    uint64_t delivered = 0; // acknowledged by the broker (QoS 1) or written (QoS 0)
    uint64_t dropped = 0;   // pushed out of the full backlog or spool
    uint64_t unsent = 0;    // still waiting when close() gave up (left in the spool)
};

class Uplink {
  public:
    // Checks the options (throws Failure(kExitUsage) for a bad URL, QoS,
    // rate, backlog, window or spool option, a TLS file that cannot be
    // read, TLS files with mqtt://, a spool directory that cannot be made),
    // opens the spool and starts connecting on a thread of its own. replay:
    // the publisher is a replay of a capture (its own client id). commands:
    // when given, the command topic is subscribed and its messages handed
    // to it (see above).
    Uplink(const MqttOptions &o, bool replay, CommandSink commands = {});
    ~Uplink();
    Uplink(const Uplink &) = delete;
    Uplink &operator=(const Uplink &) = delete;

    // The retained status: {"status":"online", "vehicle":.., "started":..}
    // plus the fields of details (the bus rate, the capture). Published at
    // each connection, replacing the last will's "offline".
    void online(const nlohmann::json &details);

    // The sequence number for the next message: strictly increasing per
    // spool across runs, from 1 per run without a spool. Thread-safe.
    uint64_t next_seq();

    // One decoded message: message is the JSON object that --json prints
    // (its "seq" from next_seq()), time_us its time stamp for the rate
    // limit, source its sender (-1 when unknown). A DM1 also updates the
    // retained dm1 topic (whose payload carries the DM1's "timestamp" and
    // "seq"); the vehicle identification names the vehicle for every later
    // topic. With a spool the message is published once a commit wrote it.
    void message(int64_t time_us, int source, uint32_t pgn, const nlohmann::json &message);

    // Whether the uplink takes decoded() (compact) rather than message().
    bool compact() const { return encoder_ != nullptr; }

    // Compact: one decoded message (its values and, for a DM1 or the
    // vehicle identification, its JSON). A DM1 that changed the active
    // codes updates the retained dm1 at once, ahead of any backlog.
    void decoded(const UplinkMessage &m);
    // Compact: one raw frame for the event windows (a replay's).
    void frame(int64_t unix_us, uint32_t id, const uint8_t *data, size_t len);

    // A command's result: payload to PREFIX/VEHICLE/TAIL (QoS 1, not
    // retained), ahead of the backlog, kept in memory until the broker has
    // it. vehicle: the topic level the command came under. Thread-safe.
    void publish_result(const std::string &vehicle, const std::string &tail, std::string payload);

    // The vehicle's topic level now: the configured one (or the host name)
    // until the VIN renamed it.
    std::string vehicle() const;

    // Compact: the ring buffer's frames of the last `since_us` on (see
    // CompactEncoder::frames_since); nothing with the json uplink.
    std::optional<std::vector<RingFrame>> recent_frames(int64_t since_us) const;

    // The broker refused us (bad user name or password, not authorized):
    // the reason, else empty. Then nothing more is published.
    std::string refused() const;

    // Whether the broker accepted the current connection (CONNACK).
    bool connected() const { return session_up_.load(); }

    // Waits until the backlog is delivered, the broker refused us, or
    // deadline passed (whichever first); with a spool also when the broker
    // cannot be reached, the rest left in the spool. Then commits the
    // spool, publishes the retained "offline", disconnects, stops the
    // thread and closes the spool. Reports the counts on stderr too. Called
    // once; without it the destructor stops at once (the spool committed).
    UplinkReport close(std::chrono::steady_clock::time_point deadline);

  private:
    struct Pending {
        int mid;
        SpooledMessage message; // id 0: from the backlog in memory
    };

    void stop(std::chrono::steady_clock::time_point deadline);
    void run();
    bool connect_once(const std::string &vehicle);
    void drop_connection(std::unique_lock<std::mutex> &lock, const std::string &why);
    void pump(std::unique_lock<std::mutex> &lock);
    void flush(std::unique_lock<std::mutex> &lock);
    void refill(std::unique_lock<std::mutex> &lock);
    void enqueue(Outgoing m);
    void enqueue_compact();
    void update_counters();
    std::string vehicle_topic(const char *leaf) const;
    bool all_sent() const;
    bool acknowledged(int mid);
    void say_goodbye();
    std::string status_topic() const;
    std::string offline_payload() const;

    static void on_connect(struct mosquitto *, void *self, int rc);
    static void on_disconnect(struct mosquitto *, void *self, int rc);
    static void on_publish(struct mosquitto *, void *self, int mid);
    static void on_message(struct mosquitto *, void *self, const struct mosquitto_message *m);
    static void on_subscribe(struct mosquitto *, void *self, int mid, int count,
                             const int *granted);
    std::string command_topic() const;

    // fixed after construction
    MqttOptions o_;
    BrokerUrl url_;
    std::string password_;
    std::string started_;
    bool replay_;
    bool have_password_ = false;
    CommandSink commands_; // empty: no command topic

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    // under mutex_
    std::string vehicle_;
    nlohmann::json status_; // empty until online()
    RateLimiter limiter_;
    TroubleCodeState codes_;
    std::string last_dm1_;             // the retained dm1 payload last queued
    Backlog backlog_;                  // without a spool
    std::vector<Outgoing> incoming_;   // with a spool: for its next commit
    std::deque<SpooledMessage> ready_; // with a spool: committed, taken out to send
    std::vector<int64_t> acked_;       // with a spool: delivered, to delete
    uint64_t next_seq_ = 1;
    std::unique_ptr<CompactEncoder> encoder_; // compact only
    std::deque<Outgoing> urgent_;             // ahead of the backlog: a changed dm1
    bool dm1_seen_ = false;
    uint64_t generation_ =
        0; // counts connections; a batch sent on another than it was made on is historical
    std::map<int64_t, uint64_t> spooled_generation_; // spool id -> generation (this run's batches)
    uint64_t bytes_acked_ = 0; // compact: payload bytes the broker acknowledged
    uint64_t batches_acked_ = 0;
    std::chrono::steady_clock::time_point next_status_{};
    bool birth_on_connect_ = false;
    uint64_t spool_waiting_ = 0; // the spool's waiting() at its last commit or take
    uint64_t spool_ready_ = 0;   // and its takeable()
    uint64_t spool_dropped_ = 0;
    std::vector<Pending> in_flight_; // sent and not yet acknowledged (QoS 0: written)
    std::vector<int> unmatched_;     // acknowledged ids not (yet) in flight
    uint64_t delivered_ = 0;
    std::string refused_;
    std::chrono::steady_clock::time_point deadline_{};
    UplinkReport report_;
    bool status_due_ = false;
    bool closing_ = false;
    bool closed_ = false; // (the caller's thread only)

    // the connection thread's own (opened and closed on the caller's)
    std::unique_ptr<Spool> spool_;
    std::chrono::steady_clock::time_point next_flush_{};
    struct mosquitto *mosq_ = nullptr;
    std::string connected_vehicle_; // the identity of the current connection
    std::string lost_reason_;
    std::chrono::steady_clock::time_point connect_started_{};
    Backoff backoff_;
    std::thread thread_;
    int goodbye_mid_ = -1;
    std::atomic<bool> session_up_{false}; // CONNACK accepted (read by connected())
    bool lost_ = false;
    bool goodbye_acked_ = false;
    bool last_try_ = false; // closing with a spool: the broker tried once more
};

// How long Ctrl-C (or the end of --duration) leaves for the backlog.
inline constexpr std::chrono::seconds kUplinkFlushTime{2};

// close() with that deadline; throws Failure(kExitBroker) when the broker
// refused the connection.
void finish_uplink(Uplink &uplink, std::chrono::steady_clock::time_point deadline);

} // namespace vehcan::cli

#endif
