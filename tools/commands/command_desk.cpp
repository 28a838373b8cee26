// SPDX-License-Identifier: MIT
// The command desk: gate, record, run, answer, audit.
#include "command_desk.h"

#include <chrono>
#include <fmt/format.h>

namespace vehcan::commands {

namespace {

int64_t system_wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

AuditLevel level_of(Outcome o) {
    switch (o) {
    case Outcome::kSucceeded:
        return AuditLevel::kNotice;
    case Outcome::kAccepted:
    case Outcome::kRunning:
        return AuditLevel::kInfo;
    default:
        return AuditLevel::kWarning;
    }
}

// The row of a signed command, as the gate saw it.
NewCommand record_of(const Verdict &v, int64_t now_ms, Outcome outcome, std::string result) {
    NewCommand n;
    n.id = v.command.id;
    n.nonce = v.nonce_free ? v.command.nonce : "";
    n.digest = v.digest;
    n.key_id = v.key_id;
    n.operation = v.command.operation;
    n.received_ms = now_ms;
    n.expires_at = v.command.expires_at;
    n.counted = outcome == Outcome::kAccepted;
    n.outcome = outcome;
    n.result = std::move(result);
    return n;
}

} // namespace

std::string audit_line(const std::string &id, const std::string &key_id,
                       const std::string &operation, Outcome outcome, Reason reason) {
    std::string line = fmt::format("command {} key {} operation {}: {}", id.empty() ? "-" : id,
                                   key_id.empty() ? "-" : key_id,
                                   operation.empty() ? "-" : operation, outcome_name(outcome));
    if (reason != Reason::kNone) {
        line += fmt::format(" ({})", reason_name(reason));
    }
    return line;
}

CommandDesk::CommandDesk(CommandPolicy policy, CommandStore &store, Executor &executor,
                         Publish publish, Audit audit, Clocks clocks)
    : policy_(std::move(policy)), store_(store), executor_(executor), publish_(std::move(publish)),
      audit_(std::move(audit)), clocks_(std::move(clocks)), gate_(policy_, store_),
      unattributed_bucket_(kUnattributedPerSecond, kUnattributedBurst,
                           clocks_.steady ? clocks_.steady() : SteadyClock::now()),
      duplicate_bucket_(kDuplicatesPerSecond, kDuplicatesBurst,
                        clocks_.steady ? clocks_.steady() : SteadyClock::now()) {
    if (!clocks_.wall_ms) {
        clocks_.wall_ms = system_wall_ms;
    }
    if (!clocks_.steady) {
        clocks_.steady = [] { return SteadyClock::now(); };
    }
}

void CommandDesk::set_vehicles(std::set<std::string> names) {
    const std::lock_guard<std::mutex> lock(mutex_);
    gate_.set_vehicles(std::move(names));
}

DeskCounters CommandDesk::counters() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

std::string CommandDesk::audit_tail() {
    if (unanswered_since_ == 0) {
        return "";
    }
    std::string tail =
        fmt::format(" ({} more messages not answered before this one)", unanswered_since_);
    unanswered_since_ = 0;
    return tail;
}

// ---- answers without a run ---------------------------------------------------------------------

void CommandDesk::answer_unattributed(const Verdict &v, int64_t now_ms) {
    ++counters_.unattributed;
    if (!unattributed_bucket_.take(clocks_.steady())) {
        ++counters_.unanswered;
        ++unanswered_since_;
        return;
    }
    publish_(kUnattributedTopic,
             unattributed_json(v.reason, v.text, v.payload_sha256, now_ms / 1000));
    // The key id is printed only once the signature verified it is a key
    // holder's; before that only the payload's digest names the message.
    audit_(AuditLevel::kWarning,
           fmt::format("command message sha256 {}: rejected ({}){}", v.payload_sha256.substr(0, 16),
                       reason_name(v.reason), audit_tail()));
}

void CommandDesk::answer_duplicate(const Verdict &v) {
    ++counters_.duplicates;
    if (!duplicate_bucket_.take(clocks_.steady())) {
        ++counters_.unanswered;
        ++unanswered_since_;
        return;
    }
    const StoredCommand &s = *v.stored;
    // The stored message, marked: it is sent as it was, plus "duplicate".
    auto stored = nlohmann::ordered_json::parse(s.result, nullptr, false);
    std::string payload = s.result;
    if (stored.is_object()) {
        stored["duplicate"] = true;
        payload = stored.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    }
    publish_(result_topic(s.id), payload);
    audit_(AuditLevel::kInfo,
           fmt::format("{}, delivered again: stored result sent{}",
                       audit_line(s.id, s.key_id, s.operation, s.outcome, Reason::kNone),
                       audit_tail()));
}

void CommandDesk::answer_rejected(const Verdict &v, int64_t now_ms) {
    const Command &c = v.command;
    const Outcome outcome = v.reason == Reason::kExpired ? Outcome::kExpired : Outcome::kRejected;
    ++(outcome == Outcome::kExpired ? counters_.expired : counters_.rejected);
    // A rejection that is not recorded would be answered anew each time the
    // same message came again: those answers share the bound of the
    // unattributed ones.
    const bool recorded = v.id_free && v.body_parsed;
    if (!recorded && !unattributed_bucket_.take(clocks_.steady())) {
        ++counters_.unanswered;
        ++unanswered_since_;
        return;
    }
    Result r;
    r.id = c.id;
    r.operation = c.operation;
    r.outcome = outcome;
    r.reason = v.reason;
    r.text = v.text;
    r.at = now_ms / 1000;
    const std::string payload = result_json(r);
    if (recorded) {
        // Recorded, so that a second delivery gets this answer, not a new
        // verdict, and the nonce is spent.
        try {
            store_.insert(record_of(v, now_ms, outcome, payload));
        } catch (const StoreError &e) {
            audit_(AuditLevel::kError, fmt::format("command {}: not recorded: {}", c.id, e.what()));
        }
    }
    publish_(result_topic(c.id), payload);
    audit_(level_of(outcome),
           audit_line(c.id, v.key_id, c.operation, outcome, v.reason) + audit_tail());
}

// ---- receiving ---------------------------------------------------------------------------------

std::optional<Job> CommandDesk::receive(std::string_view payload, bool retained) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.received;
    const int64_t now_ms = clocks_.wall_ms();
    try {
        Verdict v;
        try {
            v = gate_.check(payload, retained, now_ms);
        } catch (const StoreError &e) {
            // The record cannot be read: nothing runs without it.
            audit_(AuditLevel::kError, fmt::format("command record unreadable: {}", e.what()));
            const Digest d = sha256(payload);
            v = Verdict{};
            v.reason = Reason::kStoreUnavailable;
            v.text = reason_text(Reason::kStoreUnavailable);
            v.payload_sha256 = hex(d.data(), d.size());
        }
        switch (v.kind) {
        case Verdict::Kind::kUnattributed:
            answer_unattributed(v, now_ms);
            return std::nullopt;
        case Verdict::Kind::kDuplicate:
            answer_duplicate(v);
            return std::nullopt;
        case Verdict::Kind::kRejected:
            answer_rejected(v, now_ms);
            return std::nullopt;
        case Verdict::Kind::kAccept:
            break;
        }
        const Command &c = v.command;
        // A confirmation spends its token here, before the command counts as
        // accepted: one without a live token of its own is a rejection.
        if (c.operation == "diag.clear" && v.arguments.value("step", "") == "confirm" &&
            !executor_.tokens().redeem(v.arguments.value("token", ""), v.key_id,
                                       clear_scope(v.arguments), clocks_.steady())) {
            v.kind = Verdict::Kind::kRejected;
            v.reason = Reason::kBadToken;
            v.text = reason_text(Reason::kBadToken);
            answer_rejected(v, now_ms);
            return std::nullopt;
        }
        Result r;
        r.id = c.id;
        r.operation = c.operation;
        r.outcome = Outcome::kAccepted;
        r.at = now_ms / 1000;
        const NewCommand n = record_of(v, now_ms, Outcome::kAccepted, result_json(r));
        try {
            store_.insert(n);
        } catch (const StoreError &e) {
            audit_(AuditLevel::kError, fmt::format("command {}: not recorded: {}", c.id, e.what()));
            v.kind = Verdict::Kind::kRejected;
            v.reason = Reason::kStoreUnavailable;
            v.text = reason_text(Reason::kStoreUnavailable);
            v.id_free = false;
            answer_rejected(v, now_ms);
            return std::nullopt;
        }
        ++counters_.accepted;
        publish_(result_topic(c.id), n.result);
        return Job{c.id, v.key_id, c.operation, v.arguments, c.expires_at};
    } catch (const std::exception &e) {
        // A hook that threw: nothing was run.
        audit_(AuditLevel::kError, fmt::format("command handling failed: {}", e.what()));
        return std::nullopt;
    }
}

// ---- running -----------------------------------------------------------------------------------

void CommandDesk::finish(const Job &job, Outcome outcome, Reason reason, const std::string &text,
                         nlohmann::json result) {
    Result r;
    r.id = job.id;
    r.operation = job.operation;
    r.outcome = outcome;
    r.reason = reason;
    r.text = text;
    r.result = std::move(result);
    r.at = clocks_.wall_ms() / 1000;
    const std::string payload = result_json(r);
    try {
        store_.update(job.id, outcome, payload);
    } catch (const StoreError &e) {
        audit_(AuditLevel::kError,
               fmt::format("command {}: result not recorded: {}", job.id, e.what()));
    }
    publish_(result_topic(job.id), payload);
    if (is_final(outcome)) {
        ++(outcome == Outcome::kSucceeded ? counters_.succeeded
           : outcome == Outcome::kExpired ? counters_.expired
                                          : counters_.failed);
        audit_(level_of(outcome), audit_line(job.id, job.key_id, job.operation, outcome, reason));
    }
}

void CommandDesk::execute(const Job &job) {
    OperationCall call;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        try {
            const int64_t now_ms = clocks_.wall_ms();
            if (now_ms >= job.expires_at * 1000) {
                finish(job, Outcome::kExpired, Reason::kExpired,
                       "the command expired before it could run", nullptr);
                return;
            }
            finish(job, Outcome::kRunning, Reason::kNone, "", nullptr);
            call.id = job.id;
            call.key_id = job.key_id;
            call.operation = job.operation;
            call.arguments = job.arguments;
            call.deadline =
                clocks_.steady() + std::chrono::milliseconds(job.expires_at * 1000 - now_ms);
        } catch (const std::exception &e) {
            audit_(AuditLevel::kError, fmt::format("command {}: {}", job.id, e.what()));
            return;
        }
    }
    OperationOutput out = executor_.run(std::move(call));
    const std::lock_guard<std::mutex> lock(mutex_);
    try {
        if (out.ok) {
            finish(job, Outcome::kSucceeded, Reason::kNone, "", std::move(out.result));
        } else {
            finish(job, Outcome::kFailed, out.reason, out.text, nullptr);
        }
    } catch (const std::exception &e) {
        audit_(AuditLevel::kError, fmt::format("command {}: {}", job.id, e.what()));
    }
}

void CommandDesk::abandon(const Job &job, Reason reason, const std::string &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    try {
        finish(job, Outcome::kFailed, reason, text, nullptr);
    } catch (const std::exception &e) {
        audit_(AuditLevel::kError, fmt::format("command {}: {}", job.id, e.what()));
    }
}

size_t CommandDesk::finish_interrupted() {
    const std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    try {
        for (const StoredCommand &s : store_.unfinished()) {
            finish(Job{s.id, s.key_id, s.operation, nullptr, 0}, Outcome::kFailed,
                   Reason::kInterrupted, "", nullptr);
            ++n;
        }
    } catch (const std::exception &e) {
        audit_(AuditLevel::kError, fmt::format("command record unreadable: {}", e.what()));
    }
    return n;
}

int64_t CommandDesk::prune() {
    const std::lock_guard<std::mutex> lock(mutex_);
    try {
        return store_.prune(clocks_.wall_ms(), policy_.rate_period_s * 1000,
                            kKeepAfterExpiryS * 1000);
    } catch (const StoreError &e) {
        audit_(AuditLevel::kError, fmt::format("command record not pruned: {}", e.what()));
        return 0;
    }
}

} // namespace vehcan::commands
