// SPDX-License-Identifier: MIT
#include "monitor_config.h"

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

bool same_uplink(const MqttOptions &a, const MqttOptions &b) {
    auto fields = [](const MqttOptions &m) {
        return std::tie(m.url, m.topic_prefix, m.vehicle, m.rate_limit, m.qos, m.backlog, m.user,
                        m.password, m.ca_file, m.cert_file, m.key_file, m.spool_dir,
                        m.spool_flush_ms, m.spool_max_mb);
    };
    return fields(a) == fields(b);
}

} // namespace vehcan::cli
