// SPDX-License-Identifier: MIT
#include "monitor_config.h"

#include <cmath>
#include <fmt/format.h>
#include <tuple>

namespace vehcan::cli {

void apply_config(const service::ServiceConfig &c, MonitorOptions &o) {
    auto take = [&o](const auto &from, auto &to, const char *option) {
        if (from && o.given.count(option) == 0) {
            to = static_cast<std::remove_reference_t<decltype(to)>>(*from);
        }
    };
    take(c.monitor.db, o.db, "--db");
    take(c.monitor.json, o.json, "--json");
    take(c.monitor.log, o.log, "--log");
    take(c.monitor.quiet, o.quiet, "--quiet");
    take(c.monitor.duration, o.duration, "--duration");

    MqttOptions &m = o.mqtt;
    take(c.mqtt.url, m.url, "--mqtt");
    take(c.mqtt.topic_prefix, m.topic_prefix, "--topic-prefix");
    take(c.mqtt.vehicle, m.vehicle, "--vehicle");
    take(c.mqtt.rate_limit, m.rate_limit, "--rate-limit");
    take(c.mqtt.qos, m.qos, "--qos");
    take(c.mqtt.backlog, m.backlog, "--backlog");
    take(c.mqtt.user, m.user, "--mqtt-user");
    take(c.mqtt.ca_file, m.ca_file, "--mqtt-ca");
    take(c.mqtt.cert_file, m.cert_file, "--mqtt-cert");
    take(c.mqtt.key_file, m.key_file, "--mqtt-key");
    if (c.mqtt.password) {
        m.password = c.mqtt.password;
    }
    take(c.spool.dir, m.spool_dir, "--spool");
    take(c.spool.flush_ms, m.spool_flush_ms, "--spool-flush-ms");
    take(c.spool.max_mb, m.spool_max_mb, "--spool-max-mb");

    apply_collection(c, m, o.given);
    o.commands = c.commands;

    // [address], in the form the options take it.
    if (c.address.preferred && o.given.count("--from") == 0) {
        o.claim.from = fmt::format("0x{:02X}", *c.address.preferred);
    }
    if (c.address.name && o.given.count("--name") == 0) {
        o.claim.name = fmt::format("{:016X}", *c.address.name);
    }
    if (c.address.claim && o.given.count("--no-claim") == 0) {
        o.claim.no_claim = !*c.address.claim;
    }
}

void apply_collection(const service::ServiceConfig &c, MqttOptions &m,
                      const std::set<std::string> &given) {
    const service::CollectionSection &s = c.collection;
    CollectionSettings &to = m.collection;
    if (s.uplink && given.count("--uplink") == 0) {
        m.uplink = *s.uplink;
    }
    if (s.exact && given.count("--exact") == 0) {
        to.exact = *s.exact;
    }
    auto ms = [](double seconds) { return static_cast<int64_t>(std::llround(seconds * 1000)); };
    if (s.name) {
        to.name = *s.name;
    } else if (!c.signals.empty()) {
        to.name = "campaign"; // its rules differ from the defaults
    }
    if (s.heartbeat_s) {
        to.heartbeat_ms = ms(*s.heartbeat_s);
    }
    if (s.batch_s) {
        to.batch_ms = ms(*s.batch_s);
    }
    if (s.batch_kb) {
        to.batch_bytes = static_cast<size_t>(*s.batch_kb) * 1024;
    }
    if (s.event_before_s) {
        to.event_before_ms = ms(*s.event_before_s);
    }
    if (s.event_after_s) {
        to.event_after_ms = ms(*s.event_after_s);
    }
    if (s.dm1_events) {
        to.dm1_events = *s.dm1_events;
    }
    if (s.zstd_level) {
        to.zstd_level = static_cast<int>(*s.zstd_level);
    }
    to.rules.clear();
    for (const service::SignalSection &t : c.signals) {
        SignalRule r;
        if (t.pgn) {
            r.pgn = static_cast<uint32_t>(*t.pgn);
        }
        if (t.spn) {
            r.spn = static_cast<unsigned long>(*t.spn);
        }
        if (t.source) {
            r.source = static_cast<int>(*t.source);
        }
        r.tolerance = t.tolerance;
        if (t.linear) {
            r.reconstruction = *t.linear ? Reconstruction::linear : Reconstruction::step;
        }
        if (t.heartbeat_s) {
            r.heartbeat_ms = ms(*t.heartbeat_s);
        }
        if (t.min_interval_s) {
            r.min_interval_ms = ms(*t.min_interval_s);
        }
        r.exclude = t.exclude;
        r.raw = t.raw;
        r.event_above = t.event_above;
        r.event_below = t.event_below;
        r.event_name = t.event_name;
        if (t.event_interval_s) {
            r.event_interval_ms = ms(*t.event_interval_s);
        }
        r.line = t.line;
        to.rules.push_back(std::move(r));
    }
}

bool same_uplink(const MqttOptions &a, const MqttOptions &b) {
    auto fields = [](const MqttOptions &m) {
        return std::tie(m.url, m.topic_prefix, m.vehicle, m.rate_limit, m.qos, m.backlog, m.user,
                        m.password, m.ca_file, m.cert_file, m.key_file, m.spool_dir,
                        m.spool_flush_ms, m.spool_max_mb, m.uplink, m.collection);
    };
    return fields(a) == fields(b);
}

} // namespace vehcan::cli
