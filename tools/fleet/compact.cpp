// SPDX-License-Identifier: MIT
// The compact uplink's encoder: see compact.h.
#include "compact.h"

#include "compact_codec.h"
#include "vehcan_uplink.pb.h"

#include <algorithm>
#include <cmath>
#include <google/protobuf/io/coded_stream.h>
#include <limits>

namespace vehcan::cli {

namespace pb = vehcan::uplink;

namespace {

constexpr int kSnapshotLevel = 1; // a snapshot is rewritten every commit: cheap beats small
constexpr uint32_t kPriorityOfStackMessages = 6;
constexpr uint32_t kUnknownSender = 0xFE; // the null address stands for "not known"

int64_t in_units(int64_t time_us) {
    int64_t q = time_us / kTimeUnitUs;
    if (time_us % kTimeUnitUs != 0 && time_us < 0) {
        --q;
    }
    return q;
}

// Appends time differences from `from` (in units), keeping `from` moving.
void add_time(google::protobuf::RepeatedField<uint64_t> *times, int64_t &from, int64_t time_us) {
    const int64_t t = in_units(time_us);
    times->Add(static_cast<uint64_t>(std::max<int64_t>(0, t - from)));
    from = std::max(from, t);
}

// The bytes a message of n bytes takes as a field of the batch: its tag,
// its length and itself.
size_t field_bytes(size_t n) {
    return 1 + google::protobuf::io::CodedOutputStream::VarintSize64(n) + n;
}

std::string version_text() {
#ifdef VEHCAN_VERSION
    return "vehcan " VEHCAN_VERSION;
#else
    return "vehcan";
#endif
}

} // namespace

struct CompactEncoder::Signal {
    uint32_t alias = 0;
    int source = -1;
    uint32_t pgn = 0;
    unsigned long spn = 0;
    std::string name;
    std::string unit;
    pb::SignalKind kind = pb::SIGNAL_KIND_UNSPECIFIED;
    SignalParams params;
    std::optional<SignalTracker> tracker;
    std::map<int64_t, std::string> texts;                   // state names known
    std::vector<std::pair<int64_t, std::string>> new_texts; // since the last birth
    std::vector<Point> points;                              // the open batch's
    const SignalRule *rule = nullptr;
    bool beyond = false; // the condition's threshold is crossed
    std::optional<int64_t> last_event_us;
};

struct CompactEncoder::RawGroup {
    uint32_t alias = 0;
    int source = -1;
    uint32_t pgn = 0;
    std::string acronym;
    uint64_t count = 0;
    int64_t first_us = 0;
    int64_t last_us = 0;
    size_t length = 0;
    bool streamed = false;
    int64_t min_interval_us = 0;
    int64_t heartbeat_us = 0;
    bool sent_any = false;
    std::string last_sent;
    int64_t last_sent_us = 0;
    std::vector<std::pair<int64_t, std::string>> payloads; // the open batch's
};

struct CompactEncoder::Event {
    int64_t time_us;
    int cause;
    std::string condition;
};

CompactEncoder::CompactEncoder(CollectionSettings settings, std::string vehicle,
                               std::string database, std::function<uint64_t()> next_seq)
    : settings_(std::move(settings)), vehicle_(std::move(vehicle)), database_(std::move(database)),
      next_seq_(std::move(next_seq)) {}

CompactEncoder::~CompactEncoder() = default;

// ---- the table ----

CompactEncoder::Signal &CompactEncoder::signal_for(const UplinkMessage &m, const UplinkValue &v) {
    auto key = std::make_tuple(m.source, m.pgn, v.spn, v.spn == 0 ? v.name : std::string());
    auto it = signals_.find(key);
    if (it != signals_.end()) {
        return *it->second;
    }
    auto s = std::make_unique<Signal>();
    s->alias = static_cast<uint32_t>(by_alias_.size());
    s->source = m.source;
    s->pgn = m.pgn;
    s->spn = v.spn;
    s->name = v.name;
    s->rule = find_rule(settings_, m.pgn, v.spn, m.source);
    Signal &ref = *s;
    by_alias_.push_back(s.get());
    signals_.emplace(std::move(key), std::move(s));
    birth_due_ = true;
    return ref;
}

CompactEncoder::RawGroup &CompactEncoder::raw_for(const UplinkMessage &m) {
    const auto key = std::make_pair(m.source, m.pgn);
    auto it = raw_.find(key);
    if (it != raw_.end()) {
        return *it->second;
    }
    auto g = std::make_unique<RawGroup>();
    g->alias = static_cast<uint32_t>(raw_by_alias_.size());
    g->source = m.source;
    g->pgn = m.pgn;
    g->acronym = m.acronym;
    g->first_us = m.unix_us;
    g->heartbeat_us = settings_.heartbeat_ms * 1000;
    // A message that was decoded but has no values (a DM1's lamps and
    // codes) goes out whole at each change; a PGN without a decoder only
    // when a campaign asks.
    g->streamed = m.decoded;
    if (const SignalRule *rule = find_rule(settings_, m.pgn, 0, m.source)) {
        g->streamed = (g->streamed || rule->raw) && !rule->exclude;
        g->min_interval_us = rule->min_interval_ms.value_or(0) * 1000;
        if (rule->heartbeat_ms) {
            g->heartbeat_us = *rule->heartbeat_ms * 1000;
        }
    }
    RawGroup &ref = *g;
    raw_by_alias_.push_back(g.get());
    raw_.emplace(key, std::move(g));
    birth_due_ = true;
    return ref;
}

void CompactEncoder::rename(std::string vehicle) {
    if (vehicle != vehicle_) {
        vehicle_ = std::move(vehicle);
        birth_due_ = true;
    }
}

// ---- readings ----

void CompactEncoder::read_value(Signal &s, int64_t time_us, const UplinkValue &v) {
    using Kind = UplinkValue::Kind;
    const bool indicator = v.kind == Kind::not_available || v.kind == Kind::error;
    if (s.kind == pb::SIGNAL_KIND_UNSPECIFIED && (!indicator || v.resolution > 0)) {
        // The first reading that says what the signal is settles it.
        s.kind = v.kind == Kind::state  ? pb::SIGNAL_KIND_STATE
                 : v.kind == Kind::text ? pb::SIGNAL_KIND_TEXT
                                        : pb::SIGNAL_KIND_NUMBER;
        s.unit = v.unit;
        s.params = signal_params(settings_, s.pgn, s.source, v);
        s.tracker.emplace(s.params);
        birth_due_ = true;
    }
    if (!s.tracker) {
        // Not available before any value: kept as a state until one comes.
        SignalParams p;
        p.heartbeat_us = settings_.heartbeat_ms * 1000;
        p.reconstruction = Reconstruction::step;
        s.params = p;
        s.tracker.emplace(p);
    }
    if (s.params.excluded) {
        return;
    }
    const size_t before = s.points.size();
    switch (v.kind) {
    case Kind::number:
        if (s.kind == pb::SIGNAL_KIND_NUMBER) {
            s.tracker->number(time_us, s.tracker->raw_of(v.number), s.points);
            check_condition(s, time_us, v.number);
        }
        break;
    case Kind::state:
        if (s.texts.emplace(v.state, v.text).second) {
            s.new_texts.emplace_back(v.state, v.text);
        }
        s.tracker->state(time_us, v.state, s.points);
        break;
    case Kind::text:
        s.tracker->text(time_us, v.text, s.points);
        break;
    case Kind::not_available:
        s.tracker->state(time_us, kNotAvailable, s.points);
        s.beyond = false;
        break;
    case Kind::error:
        s.tracker->state(time_us, kError, s.points);
        s.beyond = false;
        break;
    }
    for (size_t i = before; i < s.points.size(); ++i) {
        batch_estimate_ += 4 + s.points[i].text.size();
    }
    counters_.points += s.points.size() - before;
    ++counters_.readings;
}

void CompactEncoder::check_condition(Signal &s, int64_t time_us, double value) {
    const SignalRule *r = s.rule;
    if (r == nullptr || (!r->event_above && !r->event_below)) {
        return;
    }
    const bool beyond =
        (r->event_above && value > *r->event_above) || (r->event_below && value < *r->event_below);
    const bool rising = beyond && !s.beyond;
    s.beyond = beyond;
    if (rising && (!s.last_event_us || time_us - *s.last_event_us >= r->event_interval_ms * 1000)) {
        s.last_event_us = time_us;
        open_event(time_us, pb::EVENT_CAUSE_CONDITION,
                   r->event_name.empty() ? s.name : r->event_name);
    }
}

void CompactEncoder::add(const UplinkMessage &m, bool dm1_changed) {
    last_time_us_ = std::max(last_time_us_, m.unix_us);
    if (batch_start_us_ < 0) {
        batch_start_us_ = m.unix_us;
    }
    if (!frames_from_caller_) {
        const uint32_t sender = m.source >= 0 ? static_cast<uint32_t>(m.source) : kUnknownSender;
        const uint32_t id = kPriorityOfStackMessages << 26U | (m.pgn & 0x3FFFFU) << 8U | sender;
        ring_.push_back(
            {m.unix_us, id, std::string(reinterpret_cast<const char *>(m.data), m.len)});
    }
    if (!m.decoded || m.values.empty()) {
        RawGroup &g = raw_for(m);
        ++g.count;
        g.last_us = m.unix_us;
        g.length = m.len;
        if (g.streamed) {
            const std::string payload(reinterpret_cast<const char *>(m.data), m.len);
            const bool changed = !g.sent_any || payload != g.last_sent;
            const bool beat = g.sent_any && m.unix_us - g.last_sent_us >= g.heartbeat_us;
            const bool spaced = !g.sent_any || m.unix_us - g.last_sent_us >= g.min_interval_us;
            if ((changed && spaced) || beat) {
                g.payloads.emplace_back(m.unix_us, payload);
                g.sent_any = true;
                g.last_sent = payload;
                g.last_sent_us = m.unix_us;
                batch_estimate_ += payload.size() + 4;
                ++counters_.points;
            }
        }
    }
    for (const UplinkValue &v : m.values) {
        read_value(signal_for(m, v), m.unix_us, v);
    }
    if (dm1_changed && settings_.dm1_events) {
        open_event(m.unix_us, pb::EVENT_CAUSE_DM1, "");
    }
    tick(m.unix_us);
}

void CompactEncoder::frame(int64_t unix_us, uint32_t id, const uint8_t *data, size_t len) {
    frames_from_caller_ = true;
    ring_.push_back({unix_us, id, std::string(reinterpret_cast<const char *>(data), len)});
}

std::vector<RingFrame> CompactEncoder::frames_since(int64_t since_us) const {
    std::vector<RingFrame> out;
    for (const Frame &f : ring_) {
        if (f.unix_us >= since_us) {
            out.push_back(f);
        }
    }
    return out;
}

// ---- event windows ----

void CompactEncoder::open_event(int64_t time_us, int cause, const std::string &condition) {
    events_.push_back({time_us, cause, condition});
    ++counters_.events;
}

void CompactEncoder::finish_events(int64_t now_us, bool all) {
    const int64_t before = settings_.event_before_ms * 1000;
    const int64_t after = settings_.event_after_ms * 1000;
    bool finished = false;
    for (auto it = events_.begin(); it != events_.end();) {
        if (!all && now_us < it->time_us + after) {
            ++it;
            continue;
        }
        pb::EventWindow w;
        w.set_cause(static_cast<pb::EventCause>(it->cause));
        w.set_condition(valid_utf8(it->condition));
        w.set_before_ms(static_cast<uint32_t>(settings_.event_before_ms));
        w.set_after_ms(static_cast<uint32_t>(settings_.event_after_ms));
        // (its time is set against the batch's base when the batch is made)
        w.set_time(static_cast<uint64_t>(it->time_us));
        // (frame times count from the event's time as the batch gives it)
        int64_t previous = in_units(it->time_us) * kTimeUnitUs;
        uint32_t lost = 0;
        if (!ring_.empty() && ring_.front().unix_us > it->time_us - before && ring_overflowed_) {
            lost = 1; // the ring dropped some of the window's start
        }
        for (const Frame &f : ring_) {
            if (f.unix_us < it->time_us - before || f.unix_us > it->time_us + after) {
                continue;
            }
            w.add_frame_times_us(f.unix_us - previous);
            previous = f.unix_us;
            w.add_frame_ids(f.id);
            w.add_frame_data(f.data);
        }
        w.set_frames_lost(lost);
        counters_.frames_lost += lost;
        batch_estimate_ += static_cast<size_t>(w.ByteSizeLong());
        windows_.push_back(w.SerializeAsString());
        it = events_.erase(it);
        finished = true;
    }
    if (finished) {
        close_batch(now_us); // a window goes out at once, in a batch of its own
    }
}

// ---- batches ----

bool CompactEncoder::batch_empty() const {
    if (!windows_.empty()) {
        return false;
    }
    for (const Signal *s : by_alias_) {
        if (!s->points.empty()) {
            return false;
        }
    }
    for (const RawGroup *g : raw_by_alias_) {
        if (!g->payloads.empty()) {
            return false;
        }
    }
    return true;
}

void CompactEncoder::tick(int64_t now_us) {
    last_time_us_ = std::max(last_time_us_, now_us);
    // The ring keeps what a window may still ask for, and what a capture may.
    int64_t keep_from = now_us - std::max(settings_.event_before_ms, settings_.capture_ms) * 1000;
    for (const Event &e : events_) {
        keep_from = std::min(keep_from, e.time_us - settings_.event_before_ms * 1000);
    }
    while (!ring_.empty() && ring_.front().unix_us < keep_from) {
        ring_.pop_front();
    }
    while (ring_.size() > settings_.event_frames) {
        ring_.pop_front();
        ring_overflowed_ = !events_.empty();
    }
    if (!events_.empty()) {
        finish_events(now_us, false);
    }
    if (batch_start_us_ >= 0 && (now_us - batch_start_us_ >= settings_.batch_ms * 1000 ||
                                 batch_estimate_ >= settings_.batch_bytes)) {
        close_batch(now_us);
    }
}

void CompactEncoder::close_batch(int64_t now_us) {
    for (Signal *s : by_alias_) {
        if (s->tracker) {
            const size_t before = s->points.size();
            s->tracker->idle(now_us, s->points);
            counters_.points += s->points.size() - before;
        }
    }
    if (batch_empty()) {
        batch_start_us_ = -1;
        batch_estimate_ = 0;
        return;
    }
    const uint64_t seq = open_seq_ ? *open_seq_ : next_seq_();
    open_seq_.reset();
    if (birth_due_) {
        encode_birth();
    }
    if (birth_unsent_) {
        emit_birth();
    }
    std::map<uint32_t, size_t> by_pgn;
    CompactPayload batch =
        seal(CompactPayload::Kind::batch, encode_batch(now_us, seq, &by_pgn), settings_.zstd_level);
    batch.seq = seq;
    batch.plain_by_pgn = std::move(by_pgn);
    ++counters_.batches;
    out_.push_back(std::move(batch));
    for (Signal *s : by_alias_) {
        s->points.clear();
    }
    for (RawGroup *g : raw_by_alias_) {
        g->payloads.clear();
    }
    windows_.clear();
    ring_overflowed_ = false;
    batch_start_us_ = -1;
    batch_estimate_ = 0;
}

// A new table, not sent yet: emit_birth() or a snapshot sends it.
void CompactEncoder::encode_birth() {
    birth_id_ = std::max<uint64_t>(birth_id_ + 1, static_cast<uint64_t>(last_time_us_));
    if (run_id_ == 0) {
        run_id_ = birth_id_;
    }
    pb::Payload payload;
    pb::Birth *b = payload.mutable_birth();
    b->set_birth_id(birth_id_);
    b->set_run_id(run_id_);
    b->set_vehicle(valid_utf8(vehicle_));
    b->set_time_us(last_time_us_);
    b->set_gateway(version_text());
    b->set_collection(valid_utf8(settings_.name));
    b->set_heartbeat_ms(static_cast<uint32_t>(settings_.heartbeat_ms));
    b->set_time_unit_us(static_cast<uint32_t>(kTimeUnitUs));
    b->set_database(valid_utf8(database_));
    for (Signal *s : by_alias_) {
        pb::Signal *o = b->add_signals();
        o->set_alias(s->alias);
        if (s->source >= 0) {
            o->set_source(static_cast<uint32_t>(s->source));
        }
        o->set_pgn(s->pgn);
        o->set_spn(static_cast<uint32_t>(s->spn));
        o->set_name(valid_utf8(s->name));
        o->set_unit(valid_utf8(s->unit));
        // A signal only ever "not available" so far reads as a state.
        o->set_kind(s->kind == pb::SIGNAL_KIND_UNSPECIFIED ? pb::SIGNAL_KIND_STATE : s->kind);
        if (s->kind == pb::SIGNAL_KIND_NUMBER) {
            o->set_scale(s->params.scale);
            o->set_offset(s->params.offset);
            o->set_tolerance(s->params.tolerance);
            o->set_counter(s->params.counter);
            o->set_minimum(s->params.minimum);
            o->set_maximum(s->params.maximum);
        }
        o->set_reconstruction(s->params.reconstruction == Reconstruction::linear
                                  ? pb::RECONSTRUCTION_LINEAR
                                  : pb::RECONSTRUCTION_STEP);
        o->set_min_interval_ms(static_cast<uint32_t>(s->params.min_interval_us / 1000));
        if (s->params.heartbeat_us != settings_.heartbeat_ms * 1000) {
            o->set_heartbeat_ms(static_cast<uint32_t>(s->params.heartbeat_us / 1000));
        }
        for (const auto &[code, text] : s->texts) {
            pb::StateText *t = o->add_state_texts();
            t->set_code(code);
            t->set_text(valid_utf8(text));
        }
        s->new_texts.clear();
    }
    for (RawGroup *g : raw_by_alias_) {
        pb::RawGroup *o = b->add_raw_groups();
        o->set_alias(g->alias);
        if (g->source >= 0) {
            o->set_source(static_cast<uint32_t>(g->source));
        }
        o->set_pgn(g->pgn);
        o->set_acronym(valid_utf8(g->acronym));
        const double seconds = static_cast<double>(g->last_us - g->first_us) / 1e6;
        o->set_rate_hz(g->count > 1 && seconds > 0
                           ? std::round(static_cast<double>(g->count - 1) / seconds * 1000) / 1000
                           : 0);
        o->set_length(static_cast<uint32_t>(g->length));
        o->set_streamed(g->streamed);
        o->set_min_interval_ms(static_cast<uint32_t>(g->min_interval_us / 1000));
    }
    birth_due_ = false;
    birth_unsent_ = true;
    birth_bytes_ = payload.SerializeAsString();
}

// The latest birth goes out, ahead of what uses it.
void CompactEncoder::emit_birth() {
    out_.push_back(seal(CompactPayload::Kind::birth, birth_bytes_, settings_.zstd_level));
    ++counters_.births;
    birth_unsent_ = false;
    birth_sent_ = true;
}

std::string CompactEncoder::encode_batch(int64_t end_us, uint64_t seq,
                                         std::map<uint32_t, size_t> *by_pgn) {
    int64_t first_us = batch_start_us_ >= 0 ? batch_start_us_ : end_us;
    for (const Signal *s : by_alias_) {
        for (const Point &p : s->points) {
            first_us = std::min(first_us, p.time_us);
        }
    }
    for (const RawGroup *g : raw_by_alias_) {
        for (const auto &[t, payload] : g->payloads) {
            first_us = std::min(first_us, t);
        }
    }
    std::vector<pb::EventWindow> windows(windows_.size());
    for (size_t i = 0; i < windows_.size(); ++i) {
        windows[i].ParseFromString(windows_[i]);
        first_us = std::min(first_us, static_cast<int64_t>(windows[i].time()));
    }
    const int64_t base = in_units(first_us);

    pb::Payload payload;
    pb::Batch *b = payload.mutable_batch();
    b->set_birth_id(birth_id_);
    b->set_seq(seq);
    b->set_base_time(base);
    b->set_span(static_cast<uint32_t>(std::max<int64_t>(0, in_units(end_us) - base)));
    for (Signal *s : by_alias_) {
        if (s->points.empty()) {
            continue;
        }
        pb::SignalSeries *o = b->add_signals();
        o->set_alias(s->alias);
        int64_t number_at = base;
        int64_t state_at = base;
        int64_t text_at = base;
        int64_t previous = 0;
        for (const Point &p : s->points) {
            switch (p.kind) {
            case Point::Kind::number:
                if (p.segment_start) {
                    o->add_segment_starts(static_cast<uint32_t>(o->times_size()));
                }
                add_time(o->mutable_times(), number_at, p.time_us);
                o->add_values(p.raw - previous);
                previous = p.raw;
                break;
            case Point::Kind::state:
                add_time(o->mutable_state_times(), state_at, p.time_us);
                o->add_states(p.raw);
                break;
            case Point::Kind::text:
                add_time(o->mutable_text_times(), text_at, p.time_us);
                o->add_texts(valid_utf8(p.text));
                break;
            }
        }
        for (const auto &[code, text] : s->new_texts) {
            pb::StateText *t = o->add_new_state_texts();
            t->set_code(code);
            t->set_text(valid_utf8(text));
        }
        s->new_texts.clear();
        if (by_pgn != nullptr) {
            (*by_pgn)[s->pgn] += field_bytes(o->ByteSizeLong());
        }
    }
    for (RawGroup *g : raw_by_alias_) {
        if (g->payloads.empty()) {
            continue;
        }
        pb::RawSeries *o = b->add_raw();
        o->set_alias(g->alias);
        int64_t at = base;
        for (const auto &[t, bytes] : g->payloads) {
            add_time(o->mutable_times(), at, t);
            o->add_payloads(bytes);
        }
        if (by_pgn != nullptr) {
            (*by_pgn)[g->pgn] += field_bytes(o->ByteSizeLong());
        }
    }
    for (pb::EventWindow &w : windows) {
        w.set_time(static_cast<uint64_t>(in_units(static_cast<int64_t>(w.time())) - base));
        if (by_pgn != nullptr) {
            (*by_pgn)[0] += field_bytes(w.ByteSizeLong());
        }
        *b->add_events() = std::move(w);
    }
    return payload.SerializeAsString();
}

CompactPayload CompactEncoder::seal(CompactPayload::Kind kind, const std::string &plain,
                                    int level) {
    CompactPayload p;
    p.kind = kind;
    p.bytes = frame_payload(plain, level);
    p.plain_bytes = plain.size();
    p.birth_id = birth_id_;
    if (level == settings_.zstd_level) {
        counters_.plain_bytes += plain.size();
        counters_.compressed_bytes += p.bytes.size();
    }
    return p;
}

std::optional<CompactEncoder::Snapshot> CompactEncoder::snapshot(int64_t /*now_us*/) {
    if (batch_empty()) {
        return std::nullopt;
    }
    if (!open_seq_) {
        open_seq_ = next_seq_();
    }
    if (birth_due_) {
        encode_birth(); // (kept back: it goes out with the batch)
    }
    // (new state texts stay for the batch itself)
    std::vector<std::vector<std::pair<int64_t, std::string>>> kept;
    kept.reserve(by_alias_.size());
    for (Signal *s : by_alias_) {
        kept.push_back(s->new_texts);
    }
    const std::string plain = encode_batch(last_time_us_, *open_seq_, nullptr);
    for (size_t i = 0; i < by_alias_.size(); ++i) {
        by_alias_[i]->new_texts = std::move(kept[i]);
    }
    Snapshot snap{seal(CompactPayload::Kind::batch, plain, kSnapshotLevel), std::nullopt};
    snap.batch.seq = *open_seq_;
    if (birth_unsent_) {
        snap.birth = seal(CompactPayload::Kind::birth, birth_bytes_, kSnapshotLevel);
    }
    return snap;
}

std::optional<CompactPayload> CompactEncoder::birth_for_connect() {
    if (!birth_sent_) {
        return std::nullopt; // (the first goes out with the first batch)
    }
    if (birth_due_) {
        encode_birth();
    }
    CompactPayload p;
    p.kind = CompactPayload::Kind::birth;
    p.bytes = frame_payload(birth_bytes_, settings_.zstd_level);
    p.plain_bytes = birth_bytes_.size();
    p.birth_id = birth_id_;
    if (birth_unsent_) {
        ++counters_.births;
        birth_unsent_ = false;
    }
    return p;
}

void CompactEncoder::finish(int64_t now_us) {
    now_us = std::max(now_us, last_time_us_);
    for (Signal *s : by_alias_) {
        if (s->tracker) {
            const size_t before = s->points.size();
            s->tracker->finish(s->points);
            counters_.points += s->points.size() - before;
        }
    }
    finish_events(now_us, true);
    close_batch(now_us);
}

std::vector<CompactPayload> CompactEncoder::take() {
    std::vector<CompactPayload> out;
    out.swap(out_);
    return out;
}

} // namespace vehcan::cli
