// SPDX-License-Identifier: MIT
// The compact uplink's encoder: turns decoded messages into births and
// batches of the format in tools/fleet/proto/vehcan_uplink.proto (see
// docs/fleet-format.md). It keeps the signal table (aliases), each signal's
// tracker, the inventory of PGNs without a decoder, the ring buffer of raw
// frames for event windows, and the batch being filled.
//
// Broker-free and clock-free: every call passes the time it stands at (the
// capture's clock for a replay, the wall clock live), so a replay and a
// test see exactly what a live run would have sent. Not thread-safe: the
// uplink guards it.
#ifndef VEHCAN_FLEET_COMPACT_H
#define VEHCAN_FLEET_COMPACT_H

#include "collection.h"
#include "uplink_message.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace vehcan::cli {

// One payload for the broker: a birth or a batch, framed and compressed.
struct CompactPayload {
    enum class Kind { birth, batch };
    Kind kind = Kind::batch;
    std::string bytes;      // the Envelope
    size_t plain_bytes = 0; // the Payload before compression
    uint64_t seq = 0;       // batch: its seq
    uint64_t birth_id = 0;
    // batch: the uncompressed bytes of each PGN's series (signals and raw
    // payloads, each with its field's tag and length; events under PGN 0),
    // for the cost report
    std::map<uint32_t, size_t> plain_by_pgn;
};

// What the encoder did, for the status and the cost report.
struct CompactCounters {
    uint64_t births = 0;
    uint64_t batches = 0;
    uint64_t events = 0;
    uint64_t points = 0;
    uint64_t readings = 0;
    uint64_t plain_bytes = 0;      // payloads before compression
    uint64_t compressed_bytes = 0; // and after (the Envelopes)
    uint64_t frames_lost = 0;      // of event windows, for the ring's room
};

// One frame of the ring buffer: a raw frame (a replay's), or a whole
// message from the stack standing in for its frames (live).
struct RingFrame {
    int64_t unix_us;
    uint32_t id; // 29 bits; live: priority 6, the PGN, sender 0xFE when not known
    std::string data;
};

class CompactEncoder {
  public:
    // next_seq gives each batch its number (called once per batch, in the
    // order the batches are made).
    CompactEncoder(CollectionSettings settings, std::string vehicle, std::string database,
                   std::function<uint64_t()> next_seq);
    ~CompactEncoder();
    CompactEncoder(const CompactEncoder &) = delete;
    CompactEncoder &operator=(const CompactEncoder &) = delete;

    // One decoded message. Its values go through their trackers; a message
    // no decoder read (or one without values, as a DM1) is counted in the
    // raw inventory and, when streamed, its changed payloads kept. A DM1
    // whose codes or lamps changed (dm1_changed) opens an event window, as
    // does a campaign's condition that fires. Then whatever is due.
    void add(const UplinkMessage &m, bool dm1_changed);
    // One raw frame for the event windows' ring buffer (a replay has every
    // frame; live, the stack's messages stand in for them through add()).
    void frame(int64_t unix_us, uint32_t id, const uint8_t *data, size_t len);
    // The time is now_us: the batch that is due (its period passed, or it is
    // large), a finished event window and the birth before them.
    void tick(int64_t now_us);
    // Everything held back goes out: the last readings, the open batch.
    void finish(int64_t now_us);
    // Payloads made since the last call, in order (births before the
    // batches that use them).
    std::vector<CompactPayload> take();

    // The open batch as it would go out now, with the seq it will keep:
    // saved by the spool at each commit, so that a power cut loses no more
    // than a commit period. With it, the birth it refers to while that
    // birth has not gone out: a table that grows is sent once, with the
    // batch, not at every commit. Nothing when the open batch is empty.
    // Does not close the batch.
    struct Snapshot {
        CompactPayload batch;
        std::optional<CompactPayload> birth;
    };
    std::optional<Snapshot> snapshot(int64_t now_us);

    // The vehicle's name changed (the VIN was heard): the next batch comes
    // with a new birth.
    void rename(std::string vehicle);
    // The birth to send again on a new connection (retained, ahead of the
    // batches): the latest one, made anew when the table changed since it
    // went out. Nothing before the first birth went out.
    std::optional<CompactPayload> birth_for_connect();

    // The ring's frames heard at or after since_us, oldest first: what it
    // holds of them (at least settings().capture_ms and event_before_ms
    // back, within its room of event_frames).
    std::vector<RingFrame> frames_since(int64_t since_us) const;

    const CompactCounters &counters() const { return counters_; }
    const CollectionSettings &settings() const { return settings_; }

  private:
    struct Signal;
    struct RawGroup;
    struct Event;
    using Frame = RingFrame;

    Signal &signal_for(const UplinkMessage &m, const UplinkValue &v);
    RawGroup &raw_for(const UplinkMessage &m);
    void read_value(Signal &s, int64_t time_us, const UplinkValue &v);
    void check_condition(Signal &s, int64_t time_us, double value);
    void open_event(int64_t time_us, int cause, const std::string &condition);
    void finish_events(int64_t now_us, bool all);
    void close_batch(int64_t now_us);
    void encode_birth();
    std::string encode_batch(int64_t end_us, uint64_t seq, std::map<uint32_t, size_t> *by_pgn);
    CompactPayload seal(CompactPayload::Kind kind, const std::string &plain, int level);
    void emit_birth();
    bool batch_empty() const;

    CollectionSettings settings_;
    std::string vehicle_;
    std::string database_;
    std::function<uint64_t()> next_seq_;

    std::map<std::tuple<int, uint32_t, unsigned long, std::string>, std::unique_ptr<Signal>>
        signals_;
    std::vector<Signal *> by_alias_;
    std::map<std::pair<int, uint32_t>, std::unique_ptr<RawGroup>> raw_;
    std::vector<RawGroup *> raw_by_alias_;

    std::deque<Frame> ring_;
    std::vector<Event> events_;        // waiting for their after-window
    std::vector<std::string> windows_; // finished, for the open batch (encoded EventWindows)
    bool frames_from_caller_ = false;  // frame() is fed: add() leaves the ring alone
    bool ring_overflowed_ = false;     // the ring dropped frames a window waits for

    uint64_t birth_id_ = 0;
    uint64_t run_id_ = 0;         // the first birth's id
    bool birth_due_ = true;       // the table grew (or the vehicle changed) since the last birth
    bool birth_unsent_ = false;   // the latest birth was made (by a snapshot) but not sent
    bool birth_sent_ = false;     // a birth went out in this run
    std::string birth_bytes_;     // the latest birth's Payload
    int64_t batch_start_us_ = -1; // the open batch's first reading; -1: none yet
    size_t batch_estimate_ = 0;
    std::optional<uint64_t> open_seq_; // reserved by a snapshot
    int64_t last_time_us_ = 0;
    std::vector<CompactPayload> out_;
    CompactCounters counters_;
};

} // namespace vehcan::cli

#endif
