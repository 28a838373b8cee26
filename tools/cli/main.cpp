// SPDX-License-Identifier: MIT
// vehcan: the command-line tool over libvehcan.
#include "commands.h"
#include "common.h"
#include "monitor_config.h"
#include "service_runtime.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

using namespace vehcan;
using namespace vehcan::cli;

namespace {

// --help's last lines, of the tool and of each subcommand.
const std::string kExitCodes = exit_status_help();

// --mqtt and its companions, the same for monitor and replay.
void add_mqtt_options(CLI::App *sub, MqttOptions &o) {
    sub->add_option("--mqtt", o.url,
                    "also publish every decoded message to this MQTT broker: "
                    "mqtt://host[:port] or mqtts://host[:port] (TLS)");
    sub->add_option("--topic-prefix", o.topic_prefix, "first topic level")->capture_default_str();
    sub->add_option("--vehicle", o.vehicle,
                    "the vehicle's topic level until its VIN is known (default: the host name)");
    sub->add_option("--rate-limit", o.rate_limit,
                    "publish at most HZ messages a second per PGN and sender (0: every one)");
    sub->add_option("--qos", o.qos, "MQTT quality of service, 0 or 1")->capture_default_str();
    sub->add_option("--backlog", o.backlog,
                    "messages kept while the broker is away; the oldest go first")
        ->capture_default_str();
    sub->add_option("--mqtt-inflight", o.inflight,
                    "messages sent to the broker and not yet acknowledged, at most")
        ->capture_default_str();
    sub->add_option("--spool", o.spool_dir,
                    "keep every message for the broker in a SQLite spool in this directory "
                    "until it is delivered, across restarts and power cuts")
        ->type_name("DIR");
    sub->add_option("--spool-flush-ms", o.spool_flush_ms,
                    "write the spool at most this often: a power cut loses at most this "
                    "period's messages")
        ->capture_default_str();
    sub->add_option("--spool-max-mb", o.spool_max_mb,
                    "the spool's bound; beyond it the oldest messages are dropped")
        ->capture_default_str();
    sub->add_option("--mqtt-user", o.user,
                    "user name at the broker; the password is read from $VEHCAN_MQTT_PASSWORD");
    sub->add_option("--mqtt-ca", o.ca_file,
                    "mqtts: the CA certificate that signed the broker's "
                    "(default: the system's CAs)");
    sub->add_option("--mqtt-cert", o.cert_file, "mqtts: our client certificate");
    sub->add_option("--mqtt-key", o.key_file, "mqtts: the key of --mqtt-cert");
    sub->add_option("--uplink", o.uplink,
                    "compact: each value within its tolerance in compressed batches; json: "
                    "every decoded message as JSON")
        ->check(CLI::IsMember({"compact", "json"}))
        ->capture_default_str();
    sub->add_flag("--exact", o.collection.exact,
                  "compact: every change of every value (tolerance 0)");
}

// --from, --name and --no-claim: the address the command sends from.
void add_claim_options(CLI::App *sub, ClaimOptions &o) {
    sub->add_option("--from", o.from,
                    "our preferred source address, claimed before anything is sent; an "
                    "arbitrary-capable NAME takes a free one of 128-247 when a lower NAME holds it")
        ->capture_default_str();
    sub->add_option("--name", o.name,
                    "the 64-bit NAME to claim with, 16 hex digits (default: arbitrary address "
                    "capable, function 129, identity number from /etc/machine-id)");
    sub->add_flag("--no-claim", o.no_claim,
                  "send from --from without claiming it (a bus whose addresses are all fixed)");
}

// The library prints a few lines to standard output (thread start-up,
// transport frames, each decoded VIN). vehcan's own output goes to the
// original standard output; the library's goes to /dev/null, or to standard
// error with --library-output.
void separate_library_output(bool show) {
    (void)std::fflush(stdout);
    const int own = dup(STDOUT_FILENO);
    const int target = show ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (own < 0 || target < 0) {
        return; // keep everything on standard output
    }
    FILE *stream = fdopen(own, "w");
    if (stream == nullptr) {
        close(own);
        close(target);
        return;
    }
    dup2(target, STDOUT_FILENO);
    close(target);
    (void)setvbuf(stream, nullptr, _IOLBF, 0);
    set_out(stream);
}

// vehcan diag and its three subcommands.
CLI::App *add_diag_command(CLI::App &app, DiagOptions &o, CLI::App **read, CLI::App **clear,
                           CLI::App **quiet) {
    auto *g = app.add_subcommand("diag", "diagnostics of SAE J1939-73: read every DM from one "
                                         "node or all, clear trouble codes with a result per "
                                         "ECU, stop other nodes' broadcasts (DM13)");
    g->require_subcommand(1);
    g->footer(kExitCodes);
    auto common = [&o](CLI::App *sub) {
        sub->add_option("--spn-conversion", o.spn_conversion,
                        "how trouble codes' SPNs are laid out: auto (by each code's CM bit), 4 "
                        "or legacy (for an ECU that sets the bit wrongly)")
            ->capture_default_str();
        sub->add_flag("--json", o.json, "print JSON (docs/diagnostics.md lists its fields)");
        sub->add_option("--db", o.db, "name SPNs from this database; default $VEHCAN_DB");
        add_claim_options(sub, o.claim);
        sub->footer(kExitCodes);
    };
    *read = g->add_subcommand("read", "request DMs and list per ECU its lamps, codes, freeze "
                                      "frames and readiness, a NACK or silence");
    (*read)
        ->add_option("--from-node", o.from_node, "all, or the address of one node")
        ->capture_default_str();
    (*read)->add_option("--dm", o.dms, "the DMs to read, e.g. 1,2,5 (default 1,2,4,5,6,12,23,25)");
    (*read)->add_flag("--quiet-bus", o.quiet_bus,
                      "stop the other nodes' broadcasts (DM13) while reading");
    common(*read);
    *clear = g->add_subcommand("clear", "clear trouble codes: shows what will be lost, asks, "
                                        "then reports per ECU its answer and, read again, "
                                        "whether its codes are gone");
    (*clear)->add_flag("--previous", o.previous, "clear previously active codes (DM3)");
    (*clear)->add_flag("--active", o.active, "clear active codes (DM11)");
    (*clear)->add_option("--to", o.to, "all, or the address of one node")->capture_default_str();
    (*clear)->add_flag("--yes", o.yes, "do not ask (needed when not on a terminal)");
    (*clear)->add_flag("--engine-running", o.engine_running,
                       "clear active codes although the engine runs");
    common(*clear);
    *quiet = g->add_subcommand("quiet", "stop the other nodes' broadcasts (DM13), hold them "
                                        "every 5 s, start them again at the end or on Ctrl-C");
    (*quiet)
        ->add_option("--seconds", o.seconds, "how long (0: until Ctrl-C)")
        ->capture_default_str();
    (*quiet)->add_option("--to", o.to, "all, or the address of one node")->capture_default_str();
    add_claim_options(*quiet, o.claim);
    (*quiet)->footer(kExitCodes);
    return g;
}

} // namespace

static int run(int argc, char **argv) {
    CLI::App app{"vehcan: SAE J1939 on Linux SocketCAN - monitor a bus, request parameter "
                 "groups, decode payloads and candump captures, query the parameter database.",
                 "vehcan"};
    app.footer(kExitCodes);
    app.require_subcommand(1);
    app.set_version_flag("--version", "vehcan 0.1.0");
    bool library_output = false;
    app.add_flag("--library-output", library_output,
                 "show libvehcan's own prints (thread start, transport frames) on stderr");

    MonitorOptions monitor;
    auto *m = app.add_subcommand("monitor", "bring the stack up on can0 (probing the bit rate) "
                                            "and show the broadcasts live; Ctrl-C ends it");
    m->add_option("--duration", monitor.duration,
                  "seconds to monitor after bring-up (0: until "
                  "Ctrl-C)");
    m->add_flag("--json", monitor.json, "one JSON object per message");
    m->add_flag("--log", monitor.log,
                "one line per parameter group and second even on a terminal (on a terminal "
                "the default is the live table: q quit, p pause, s sort, / filter, arrows "
                "scroll)");
    m->add_flag("--quiet", monitor.quiet, "show no messages (with --mqtt)");
    add_mqtt_options(m, monitor.mqtt);
    add_claim_options(m, monitor.claim);
    m->add_option("--db", monitor.db, "parameter database (XML); default $VEHCAN_DB");
    m->add_option("--config", monitor.config,
                  "read the settings from this file (TOML: [monitor], [mqtt], [spool], "
                  "[address]); options given here override it; SIGHUP re-reads [mqtt]");
    m->footer(kExitCodes);

    ScanOptions scan;
    auto *n = app.add_subcommand("scan", "list the nodes on the bus: Request for Address "
                                         "Claimed to all, each node's NAME decoded, its "
                                         "component, software and ECU identification and its "
                                         "active trouble codes (DM1)");
    n->add_option("--timeout", scan.timeout, "seconds to listen for Address Claimed answers")
        ->capture_default_str();
    n->add_flag("--json", scan.json, "one JSON object per node");
    add_claim_options(n, scan.claim);
    n->add_option("--db", scan.db,
                  "describe trouble codes from this database; default "
                  "$VEHCAN_DB");
    n->footer(kExitCodes);

    RequestOptions request;
    auto *r = app.add_subcommand("request", "request a parameter group and print the decoded "
                                            "answer");
    r->add_option("PGN", request.pgn, "PGN to request, decimal or 0x hex")->required();
    add_claim_options(r, request.claim);
    r->add_option("--to", request.to, "destination address (0xFF: all nodes)")
        ->capture_default_str();
    r->add_flag("--json", request.json, "print the answer as JSON");
    r->add_option("--db", request.db, "parameter database (XML); default $VEHCAN_DB");
    r->footer(kExitCodes);

    DecodeOptions decode;
    auto *d = app.add_subcommand("decode", "decode one payload offline with every decoder that "
                                           "applies");
    d->add_option("PGN", decode.pgn, "PGN, decimal or 0x hex")->required();
    d->add_option("HEXBYTES", decode.hex, "payload, e.g. FFFFFF0020FFFFFF or \"ff ff ff 00\"")
        ->required();
    d->add_flag("--json", decode.json, "print JSON");
    d->add_option("--db", decode.db, "also decode the database's SPNs; default $VEHCAN_DB");
    d->footer(kExitCodes);

    DtcOptions dtc;
    auto *t = app.add_subcommand("dtc", "decode a DM1 payload: lamps and trouble codes");
    t->add_option("HEXBYTES", dtc.hex, "DM1 payload, 6 bytes or more")->required();
    t->add_flag("--json", dtc.json, "print JSON");
    t->add_option("--db", dtc.db, "describe SPNs from this database; default $VEHCAN_DB");
    t->add_option("--spn-conversion", dtc.spn_conversion,
                  "how the SPNs are laid out: auto (by each code's CM bit), 4 or legacy")
        ->capture_default_str();
    t->footer(kExitCodes);

    DbOptions db;
    auto *q = app.add_subcommand("db", "query the parameter database: the SPNs of a PGN, one "
                                       "SPN's definition, a state's text, a service component");
    q->add_option("PGN", db.pgn, "PGN, decimal or 0x hex");
    q->add_option("SPN", db.spn, "SPN of the PGN");
    q->add_option("--state", db.state, "print the text of this state value of the SPN");
    q->add_option("--service", db.service, "print the description of service component ID");
    q->add_option("--db", db.db, "parameter database (XML); default $VEHCAN_DB");
    q->footer(kExitCodes);

    ReplayOptions replay;
    auto *p = app.add_subcommand("replay", "decode a candump capture (-l log or screen format) "
                                           "offline: timeline, then a summary");
    p->add_option("FILE", replay.file, "capture file")->required();
    p->add_flag("--json", replay.json, "one JSON object per message, then a summary object");
    p->add_flag("--quiet", replay.quiet, "print neither timeline nor summary (with --mqtt)");
    p->add_option("--speed", replay.speed,
                  "play the capture at its own pace times this factor (0: at once)");
    add_mqtt_options(p, replay.mqtt);
    p->add_option("--db", replay.db, "parameter database (XML); default $VEHCAN_DB");
    p->add_option("--config", replay.config,
                  "the compact uplink's campaign: a TOML file with [collection] and [[signal]] "
                  "tables (vehcan.conf's other sections are read and left alone)");
    p->add_flag("--uplink-cost", replay.uplink_cost,
                "print the bytes per vehicle-hour the capture costs in each uplink mode, by "
                "PGN, without a broker");
    p->add_option("--uplink-save", replay.uplink_save,
                  "with --uplink-cost: also write each birth and batch of the compact uplink "
                  "to this directory, one file each")
        ->type_name("DIR");
    p->add_flag("--strict", replay.strict,
                "stop at the first malformed line (exit 3); by default each one is reported "
                "on stderr as FILE:LINE: reason and skipped");
    p->add_option("--report", replay.report,
                  "write the capture's report instead of the timeline: one HTML file that opens "
                  "offline in any browser (charts, trouble codes, bus load, nodes)")
        ->type_name("OUT.html");
    p->add_option("--spn", replay.spn, "with --report: chart only these SPNs, e.g. 190,84");
    p->add_option("--bitrate", replay.bitrate, "with --report: the bus's bit rate, for its load")
        ->capture_default_str();
    p->footer(kExitCodes);

    PlotOptions plot;
    auto *pl = app.add_subcommand("plot", "draw a few signals of a candump capture as an SVG "
                                          "chart, one panel per unit");
    pl->add_option("FILE", plot.file, "capture file")->required();
    pl->add_option("--spn", plot.spn, "the signals' SPNs, e.g. 190,84")->required();
    pl->add_option("-o,--output", plot.output, "the SVG file (default: standard output)")
        ->type_name("OUT.svg");
    pl->add_option("--width", plot.width, "in pixels")->capture_default_str();
    pl->add_option("--db", plot.db, "parameter database (XML); default $VEHCAN_DB");
    pl->footer(kExitCodes);

    DiagOptions diag;
    CLI::App *diag_read = nullptr;
    CLI::App *diag_clear = nullptr;
    CLI::App *diag_quiet = nullptr;
    CLI::App *g = add_diag_command(app, diag, &diag_read, &diag_clear, &diag_quiet);

    // CLI11 would only say that a subcommand is required.
    const std::string first = argc > 1 ? argv[1] : "";
    const auto known =
        app.get_subcommands([&](const CLI::App *s) { return s->get_name() == first; });
    if (!first.empty() && first[0] != '-' && known.empty()) {
        fmt::print(stderr, "vehcan: unknown subcommand '{}' (see vehcan --help)\n", argv[1]);
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return app.exit(e); // --help, --version
    } catch (const CLI::ParseError &e) {
        fmt::print(stderr, "vehcan: {} (see vehcan --help)\n", e.what());
        return kExitUsage;
    }

    if (*m && !monitor.config.empty()) {
        for (const CLI::Option *option : m->get_options()) {
            if (option->count() > 0) {
                monitor.given.insert(option->get_name());
            }
        }
        try {
            const char *credentials = std::getenv("CREDENTIALS_DIRECTORY"); // NOLINT
            vehcan::cli::apply_config(
                vehcan::service::load_config(monitor.config,
                                             credentials != nullptr ? credentials : ""),
                monitor);
        } catch (const vehcan::service::ConfigError &e) {
            vehcan::service::log_line(vehcan::service::Priority::kError, e.what());
            return kExitUsage;
        }
    }

    separate_library_output(library_output);
    try {
        if (*m) {
            return run_monitor(monitor);
        }
        if (*r) {
            return run_request(request);
        }
        if (*n) {
            return run_scan(scan);
        }
        if (*d) {
            return run_decode(decode);
        }
        if (*t) {
            return run_dtc(dtc);
        }
        if (*q) {
            return run_db(db);
        }
        if (*g) {
            return *diag_read    ? run_diag_read(diag)
                   : *diag_clear ? run_diag_clear(diag)
                                 : run_diag_quiet(diag);
        }
        if (*pl) {
            return run_plot(plot);
        }
        return run_replay(replay);
    } catch (const Failure &f) {
        (void)std::fflush(out());
        vehcan::service::log_line(vehcan::service::Priority::kError,
                                  fmt::format("vehcan: {}", f.what()));
        return f.code();
    } catch (const std::exception &e) {
        (void)std::fflush(out());
        vehcan::service::log_line(vehcan::service::Priority::kError,
                                  fmt::format("vehcan: internal error: {}", e.what()));
        return kExitInternal;
    }
}

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (...) {
        // Setting up the parser or printing failed: nothing more can be said.
        (void)std::fputs("vehcan: internal error\n", stderr);
        return kExitInternal;
    }
}
