// SPDX-License-Identifier: MIT
// The operations' argument checks, one small function each over a shared
// reader, and the executor.
#include "operations.h"

#include <array>
#include <fmt/format.h>
#include <initializer_list>

namespace vehcan::commands {

using nlohmann::json;

namespace {

// ---- reading arguments -------------------------------------------------------------------------

// Reads the members of one operation's arguments; the first problem sticks.
class Arguments {
  public:
    Arguments(const json &args, json &normalized) : args_(args), out_(normalized) {
        out_ = json::object();
    }

    // Refuses members not in names.
    void only(std::initializer_list<const char *> names) {
        for (const auto &[key, value] : args_.items()) {
            bool listed = false;
            for (const char *n : names) {
                listed = listed || key == n;
            }
            if (!listed && problem_.empty()) {
                // The key is from a signed command and at most 8 KiB.
                problem_ = fmt::format("unknown argument \"{}\"", key.substr(0, 64));
            }
        }
    }

    // An integer member within [low, high]; fallback when missing and
    // optional.
    std::optional<int64_t> integer(const char *name, int64_t low, int64_t high,
                                   std::optional<int64_t> fallback) {
        const auto it = args_.find(name);
        if (it == args_.end()) {
            if (!fallback) {
                fail(fmt::format("{} is missing", name));
                return std::nullopt;
            }
            out_[name] = *fallback;
            return fallback;
        }
        if (!it->is_number_integer()) {
            fail(fmt::format("{} must be an integer", name));
            return std::nullopt;
        }
        // Unsigned values beyond int64 read as negative and fail the range.
        const int64_t v = it->is_number_unsigned() && it->get<uint64_t>() > uint64_t{INT64_MAX}
                              ? -1
                              : it->get<int64_t>();
        if (v < low || v > high) {
            fail(fmt::format("{} must be from {} to {}", name, low, high));
            return std::nullopt;
        }
        out_[name] = v;
        return v;
    }

    // A number member within [low, high].
    void number(const char *name, double low, double high, double fallback) {
        const auto it = args_.find(name);
        if (it == args_.end()) {
            out_[name] = fallback;
            return;
        }
        if (!it->is_number()) {
            fail(fmt::format("{} must be a number", name));
            return;
        }
        const auto v = it->get<double>();
        if (!(v >= low && v <= high)) {
            fail(fmt::format("{} must be from {} to {}", name, low, high));
            return;
        }
        out_[name] = v;
    }

    // A string member that is one of choices, or satisfies ok.
    std::optional<std::string> text(const char *name, bool (*ok)(const std::string &),
                                    const char *what) {
        const auto it = args_.find(name);
        if (it == args_.end() || !it->is_string() || !ok(it->get_ref<const std::string &>())) {
            fail(fmt::format("{} must be {}", name, what));
            return std::nullopt;
        }
        out_[name] = *it;
        return it->get<std::string>();
    }

    void fail(std::string text) {
        if (problem_.empty()) {
            problem_ = std::move(text);
        }
    }

    ArgumentCheck result() const {
        if (problem_.empty()) {
            return {};
        }
        return {Reason::kBadArguments, problem_};
    }

  private:
    const json &args_;
    json &out_;
    std::string problem_;
};

// An ECU's address, or 255 for all of them (254 is the null address).
std::optional<int64_t> ecu_address(Arguments &a, std::optional<int64_t> fallback) {
    const auto v = a.integer("address", 0, 255, fallback);
    if (v && *v == 254) {
        a.fail("address must be from 0 to 253, or 255 for every ECU");
        return std::nullopt;
    }
    return v;
}

bool is_clear_step(const std::string &s) {
    return s == "prepare" || s == "confirm";
}

bool is_clear_codes(const std::string &s) {
    return s == "previous" || s == "active";
}

bool is_token(const std::string &s) {
    return s.size() == 32 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// ---- one check per operation -------------------------------------------------------------------

ArgumentCheck check_request(const json &args, const CommandPolicy &policy, json &normalized) {
    Arguments a(args, normalized);
    a.only({"pgn", "to"});
    const auto pgn = a.integer("pgn", 0, 0x3FFFF, std::nullopt);
    a.integer("to", 0, 255, 255);
    ArgumentCheck r = a.result();
    if (r.reason == Reason::kNone && pgn &&
        policy.allowed_pgns.count(static_cast<uint32_t>(*pgn)) == 0) {
        r = {Reason::kPgnNotAllowed,
             fmt::format("PGN {} (0x{:04X}) is not in commands.allowed_pgns", *pgn, *pgn)};
    }
    return r;
}

ArgumentCheck check_scan(const json &args, const CommandPolicy & /*policy*/, json &normalized) {
    Arguments a(args, normalized);
    a.only({"timeout"});
    a.number("timeout", 0.5, 10, 2);
    return a.result();
}

ArgumentCheck check_diag_read(const json &args, const CommandPolicy & /*policy*/,
                              json &normalized) {
    Arguments a(args, normalized);
    a.only({"address"});
    ecu_address(a, 255);
    return a.result();
}

ArgumentCheck check_diag_clear(const json &args, const CommandPolicy & /*policy*/,
                               json &normalized) {
    Arguments a(args, normalized);
    const auto step = a.text("step", is_clear_step, "\"prepare\" or \"confirm\"");
    if (step == "confirm") {
        a.only({"step", "address", "codes", "token"});
        a.text("token", is_token, "the 32 hex digits that prepare gave");
    } else {
        a.only({"step", "address", "codes"});
    }
    ecu_address(a, std::nullopt);
    if (args.contains("codes")) {
        a.text("codes", is_clear_codes, "\"previous\" (DM3) or \"active\" (DM11)");
    } else {
        normalized["codes"] = "previous";
    }
    return a.result();
}

ArgumentCheck check_capture(const json &args, const CommandPolicy & /*policy*/, json &normalized) {
    Arguments a(args, normalized);
    a.only({"seconds"});
    a.number("seconds", 1, kLongestCaptureS, 10);
    return a.result();
}

constexpr std::array<OperationSpec, 5> kOperations{{
    {"request", true, check_request},
    {"scan", true, check_scan},
    {"diag.read", true, check_diag_read},
    {"diag.clear", true, check_diag_clear},
    {"capture", false, check_capture},
}};

} // namespace

std::span<const OperationSpec> operation_table() {
    return kOperations;
}

std::string clear_scope(const json &arguments) {
    return fmt::format("{}@{}", arguments.value("codes", "previous"),
                       arguments.value("address", 255));
}

const OperationSpec *find_operation(std::string_view name) {
    for (const auto &op : kOperations) {
        if (name == op.name) {
            return &op;
        }
    }
    return nullptr;
}

// ---- the executor ------------------------------------------------------------------------------

OperationOutput OperationOutput::success(json result) {
    OperationOutput o;
    o.ok = true;
    o.result = std::move(result);
    o.reason = Reason::kNone;
    return o;
}

OperationOutput OperationOutput::failure(std::string text, Reason reason) {
    OperationOutput o;
    o.reason = reason;
    o.text = std::move(text);
    return o;
}

Executor::Executor(double transmit_rate, std::function<SteadyClock::time_point()> now)
    : now_(now ? std::move(now) : [] { return SteadyClock::now(); }), gate_(transmit_rate, now_) {}

void Executor::set_handler(const std::string &operation, Handler handler) {
    handlers_[operation] = std::move(handler);
}

bool Executor::has_handler(std::string_view operation) const {
    return handlers_.find(operation) != handlers_.end();
}

OperationOutput Executor::run(OperationCall call) {
    const auto it = handlers_.find(call.operation);
    if (it == handlers_.end()) {
        return OperationOutput::failure(
            fmt::format("this gateway has no {} operation", call.operation), Reason::kNotAvailable);
    }
    call.gate = &gate_;
    OperationOutput out;
    try {
        out = it->second(call);
        if (out.ok && call.operation == "diag.clear" &&
            call.arguments.value("step", std::string()) == "prepare") {
            if (!out.result.is_object()) {
                out.result = json{{"would_clear", out.result}};
            }
            out.result["token"] = tokens_.issue(call.key_id, clear_scope(call.arguments), now_());
            out.result["token_valid_s"] = kClearTokenLife.count();
        }
    } catch (const std::exception &e) {
        return OperationOutput::failure(e.what());
    }
    return out;
}

} // namespace vehcan::commands
