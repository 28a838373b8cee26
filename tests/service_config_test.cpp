// SPDX-License-Identifier: MIT
// The configuration file of vehcan monitor: every key, the command line
// over the file, each problem reported on its line, the password's file,
// the commands from the fleet and their keys.
#include "monitor_config.h"
#include "scratch_dir.h"
#include "service_config.h"
#include "signing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using vehcan::service::ConfigError;
using vehcan::service::parse_config;
using vehcan::service::ServiceConfig;

namespace {

// The message of the ConfigError that text raises, or "no error".
std::string problem(const std::string &text, const std::string &credentials = "") {
    try {
        (void)parse_config(text, "/etc/vehcan/vehcan.conf", credentials);
    } catch (const ConfigError &e) {
        return e.what();
    }
    return "no error";
}

} // namespace

// ---- every key -----------------------------------------------------------------------------

TEST(ServiceConfig, ReadsEveryKeyOfEverySection) {
    ScratchDir dir;
    const std::string pw = dir.write("pw", "s3cret\n", 0600);
    const ServiceConfig c = parse_config(R"(
[monitor]
db = "/usr/share/vehcan/sample.xml"
json = true
log = false
quiet = true
duration = 2.5

[mqtt]
url = "mqtts://broker.example:8883"
topic_prefix = "fleet"
vehicle = "truck-7"
rate_limit = 10
qos = 0
backlog = 500
user = "gw7"
password_file = ")" + pw + R"("
ca = "/etc/ssl/ca.pem"
cert = "/etc/vehcan/gw.pem"
key = "/etc/vehcan/gw.key"

[spool]
dir = "/var/lib/vehcan"
flush_ms = 250
max_mb = 32

[address]
name = "0x8000FFEE00A00001"
preferred = 0xF9
claim = false
)",
                                         "gw.conf", "");
    EXPECT_EQ(c.path, "gw.conf");
    EXPECT_EQ(c.monitor.db, "/usr/share/vehcan/sample.xml");
    EXPECT_EQ(c.monitor.json, true);
    EXPECT_EQ(c.monitor.log, false);
    EXPECT_EQ(c.monitor.quiet, true);
    EXPECT_EQ(c.monitor.duration, 2.5);
    EXPECT_EQ(c.mqtt.url, "mqtts://broker.example:8883");
    EXPECT_EQ(c.mqtt.topic_prefix, "fleet");
    EXPECT_EQ(c.mqtt.vehicle, "truck-7");
    EXPECT_EQ(c.mqtt.rate_limit, 10.0);
    EXPECT_EQ(c.mqtt.qos, 0);
    EXPECT_EQ(c.mqtt.backlog, 500);
    EXPECT_EQ(c.mqtt.user, "gw7");
    EXPECT_EQ(c.mqtt.password, "s3cret"); // without the line end
    EXPECT_EQ(c.mqtt.ca_file, "/etc/ssl/ca.pem");
    EXPECT_EQ(c.mqtt.cert_file, "/etc/vehcan/gw.pem");
    EXPECT_EQ(c.mqtt.key_file, "/etc/vehcan/gw.key");
    EXPECT_EQ(c.spool.dir, "/var/lib/vehcan");
    EXPECT_EQ(c.spool.flush_ms, 250);
    EXPECT_EQ(c.spool.max_mb, 32);
    EXPECT_EQ(c.address.name, 0x8000FFEE00A00001ULL);
    EXPECT_EQ(c.address.preferred, 0xF9);
    EXPECT_EQ(c.address.claim, false);
}

TEST(ServiceConfig, KeysNotInTheFileStayUnset) {
    const ServiceConfig c = parse_config("[mqtt]\nqos = 1\n", "gw.conf", "");
    EXPECT_EQ(c.mqtt.qos, 1);
    EXPECT_FALSE(c.mqtt.url.has_value());
    EXPECT_FALSE(c.mqtt.password.has_value());
    EXPECT_FALSE(c.monitor.db.has_value());
    EXPECT_FALSE(c.spool.dir.has_value());
    EXPECT_FALSE(c.address.preferred.has_value());
    EXPECT_FALSE(parse_config("", "empty.conf", "").monitor.json.has_value());
}

TEST(ServiceConfig, TheShippedFileIsValid) {
    const ServiceConfig c =
        vehcan::service::load_config(VEHCAN_SOURCE_DIR "/tools/service/vehcan.conf", "");
    EXPECT_EQ(c.monitor.db, "/usr/share/vehcan/sample.xml");
    EXPECT_EQ(c.monitor.quiet, true);
    EXPECT_EQ(c.spool.dir, "/var/lib/vehcan");
    EXPECT_FALSE(c.mqtt.url.has_value());
    EXPECT_FALSE(c.commands.enabled);
}

// ---- the command line overrides the file -----------------------------------------------------

TEST(ServiceConfig, TheCommandLineOverridesTheFile) {
    const ServiceConfig c = parse_config(R"([monitor]
db = "file.xml"
quiet = true
duration = 30
[mqtt]
url = "mqtt://file-broker"
qos = 0
backlog = 77
user = "file-user"
)",
                                         "gw.conf", "");
    vehcan::cli::MonitorOptions o;
    o.db = "cli.xml";
    o.mqtt.url = "mqtt://cli-broker";
    o.mqtt.backlog = 10000; // the default, but given: it stays
    o.given = {"--db", "--mqtt", "--backlog"};
    vehcan::cli::apply_config(c, o);
    EXPECT_EQ(o.db, "cli.xml");
    EXPECT_EQ(o.mqtt.url, "mqtt://cli-broker");
    EXPECT_EQ(o.mqtt.backlog, 10000U);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.duration, 30.0);
    EXPECT_EQ(o.mqtt.qos, 0);
    EXPECT_EQ(o.mqtt.user, "file-user");
    EXPECT_EQ(o.mqtt.topic_prefix, "vehcan"); // neither sets it
    EXPECT_FALSE(o.mqtt.password.has_value());
}

TEST(ServiceConfig, TheAddressSectionSetsTheClaim) {
    const ServiceConfig c = parse_config(
        "[address]\nname = \"a00082001f00ff01\"\npreferred = 0x2A\nclaim = false\n", "gw.conf", "");
    vehcan::cli::MonitorOptions o;
    vehcan::cli::apply_config(c, o);
    EXPECT_EQ(o.claim.from, "0x2A");
    EXPECT_EQ(o.claim.name, "A00082001F00FF01");
    EXPECT_TRUE(o.claim.no_claim);
    vehcan::cli::MonitorOptions given;
    given.claim.from = "0x80";
    given.given = {"--from"};
    vehcan::cli::apply_config(c, given);
    EXPECT_EQ(given.claim.from, "0x80");
    EXPECT_EQ(given.claim.name, "A00082001F00FF01");
}

TEST(ServiceConfig, TheSpoolSectionSetsTheUplinksSpool) {
    const ServiceConfig c = parse_config(
        "[spool]\ndir = \"/var/lib/vehcan\"\nflush_ms = 250\nmax_mb = 32\n", "gw.conf", "");
    vehcan::cli::MonitorOptions o;
    vehcan::cli::apply_config(c, o);
    EXPECT_EQ(o.mqtt.spool_dir, "/var/lib/vehcan");
    EXPECT_EQ(o.mqtt.spool_flush_ms, 250);
    EXPECT_EQ(o.mqtt.spool_max_mb, 32U);
    vehcan::cli::MonitorOptions given;
    given.mqtt.spool_dir = "/tmp/spool";
    given.given = {"--spool", "--spool-max-mb"};
    vehcan::cli::apply_config(c, given);
    EXPECT_EQ(given.mqtt.spool_dir, "/tmp/spool");
    EXPECT_EQ(given.mqtt.spool_flush_ms, 250);
    EXPECT_EQ(given.mqtt.spool_max_mb, 256U); // the option's default, given
}

TEST(ServiceConfig, AReloadSeesAChangedUplinkOnly) {
    vehcan::cli::MqttOptions a;
    a.url = "mqtt://127.0.0.1";
    vehcan::cli::MqttOptions b = a;
    EXPECT_TRUE(vehcan::cli::same_uplink(a, b));
    b.password = "new";
    EXPECT_FALSE(vehcan::cli::same_uplink(a, b));
    b = a;
    b.rate_limit = 5;
    EXPECT_FALSE(vehcan::cli::same_uplink(a, b));
    b = a;
    b.topic_prefix = "fleet";
    EXPECT_FALSE(vehcan::cli::same_uplink(a, b));
}

// ---- problems, each on its line -------------------------------------------------------------

TEST(ServiceConfigErrors, SyntaxErrorsNameTheirLine) {
    EXPECT_EQ(problem("[mqtt]\nqos = 1\nurl = \"mqtt://x\n").substr(0, 27),
              "/etc/vehcan/vehcan.conf:3: ");
    EXPECT_EQ(problem("[mqtt]\n\n\n[mqtt]\n").substr(0, 27), "/etc/vehcan/vehcan.conf:4: ");
}

TEST(ServiceConfigErrors, UnknownNamesAreRefusedOnTheirLine) {
    EXPECT_EQ(problem("[mqtt]\nqos = 1\nbroker = \"x\"\n"),
              "/etc/vehcan/vehcan.conf:3: unknown key broker in [mqtt] (its keys: backlog, ca, "
              "cert, key, password, password_file, qos, rate_limit, topic_prefix, url, user, "
              "vehicle)");
    EXPECT_EQ(problem("\n[uplink]\nurl = \"x\"\n"),
              "/etc/vehcan/vehcan.conf:2: unknown section [uplink] (the sections: [address], "
              "[collection], [commands], [monitor], [mqtt], [spool])");
    EXPECT_EQ(problem("qos = 1\n"),
              "/etc/vehcan/vehcan.conf:1: qos is outside a section ([monitor], [mqtt], "
              "[spool], [address], [collection] or [commands])");
}

TEST(ServiceConfigErrors, WrongTypesAndRangesNameKeyAndLine) {
    EXPECT_EQ(problem("[mqtt]\nqos = \"1\"\n"),
              "/etc/vehcan/vehcan.conf:2: mqtt.qos must be an integer, not a string");
    EXPECT_EQ(problem("[mqtt]\n\nqos = 2\n"),
              "/etc/vehcan/vehcan.conf:3: mqtt.qos must be from 0 to 1, not 2");
    EXPECT_EQ(problem("[monitor]\njson = 1\n"),
              "/etc/vehcan/vehcan.conf:2: monitor.json must be true or false, not an integer");
    EXPECT_EQ(problem("[monitor]\nduration = -1\n"),
              "/etc/vehcan/vehcan.conf:2: monitor.duration must be 0 or more, not -1");
    EXPECT_EQ(problem("[mqtt]\nurl = 5\n"),
              "/etc/vehcan/vehcan.conf:2: mqtt.url must be a string, not an integer");
    EXPECT_EQ(problem("[mqtt]\nbacklog = 0\n"),
              "/etc/vehcan/vehcan.conf:2: mqtt.backlog must be from 1 to 100000000, not 0");
    EXPECT_EQ(problem("[spool]\nflush_ms = 0\n"),
              "/etc/vehcan/vehcan.conf:2: spool.flush_ms must be from 1 to 3600000, not 0");
    EXPECT_EQ(problem("[address]\npreferred = 254\n"),
              "/etc/vehcan/vehcan.conf:2: address.preferred must be from 0 to 253, not 254");
    EXPECT_EQ(problem("[address]\nname = \"0xG0\"\n"),
              "/etc/vehcan/vehcan.conf:2: address.name must be the 64-bit NAME in hex (up to "
              "16 digits), not \"0xG0\"");
    EXPECT_EQ(problem("[address]\nname = \"12345678901234567\"\n").substr(0, 40),
              "/etc/vehcan/vehcan.conf:2: address.name ");
    EXPECT_EQ(problem("mqtt = 3\n"), "/etc/vehcan/vehcan.conf:1: [mqtt] must be a table");
}

TEST(ServiceConfigErrors, AMissingFileIsNamed) {
    try {
        (void)vehcan::service::load_config("/nonexistent/vehcan.conf", "");
        FAIL() << "no error";
    } catch (const ConfigError &e) {
        EXPECT_EQ(std::string(e.what()),
                  "/nonexistent/vehcan.conf: cannot read the configuration: No such file or "
                  "directory");
    }
}

// ---- the password ---------------------------------------------------------------------------

TEST(ServiceConfigPassword, NeverInTheFileItself) {
    EXPECT_EQ(problem("[mqtt]\nuser = \"u\"\npassword = \"x\"\n"),
              "/etc/vehcan/vehcan.conf:3: mqtt.password must not hold the password: name a "
              "file of mode 0600 in mqtt.password_file, or give it as systemd credential "
              "mqtt-password");
}

TEST(ServiceConfigPassword, AFileOthersMayReadIsRefused) {
    ScratchDir dir;
    for (const mode_t mode : {0640U, 0604U, 0644U, 0660U}) {
        const std::string pw = dir.write("pw", "secret\n", mode);
        EXPECT_EQ(problem("[mqtt]\npassword_file = \"" + pw + "\"\n"),
                  "/etc/vehcan/vehcan.conf:2: mqtt.password_file names " + pw +
                      ", which others may read (mode " +
                      (mode == 0640U   ? "0640"
                       : mode == 0604U ? "0604"
                       : mode == 0644U ? "0644"
                                       : "0660") +
                      "): it must be mode 0600");
    }
    const std::string pw = dir.write("pw", "secret\r\n", 0600);
    EXPECT_EQ(parse_config("[mqtt]\npassword_file = \"" + pw + "\"\n", "gw.conf", "").mqtt.password,
              "secret");
}

TEST(ServiceConfigPassword, MissingFileAndRelativePath) {
    ScratchDir dir;
    EXPECT_EQ(problem("[mqtt]\npassword_file = \"" + dir.path() + "/none\"\n"),
              "/etc/vehcan/vehcan.conf:2: mqtt.password_file names " + dir.path() +
                  "/none, which cannot be read: No such file or directory");
    // A relative name is taken beside the configuration file.
    dir.write("pw", "beside", 0600);
    const std::string conf = dir.write("gw.conf", "[mqtt]\npassword_file = \"pw\"\n", 0644);
    EXPECT_EQ(vehcan::service::load_config(conf, "").mqtt.password, "beside");
}

TEST(ServiceConfigPassword, SystemdCredentialWhenTheFileNamesNone) {
    ScratchDir dir;
    dir.write("mqtt-password", "from-credential\n", 0400);
    EXPECT_EQ(parse_config("[mqtt]\nuser = \"u\"\n", "gw.conf", dir.path()).mqtt.password,
              "from-credential");
    // No such credential: no password.
    EXPECT_FALSE(parse_config("", "gw.conf", "/nonexistent").mqtt.password.has_value());
    // The file the configuration names comes first.
    const std::string pw = dir.write("pw", "from-file", 0600);
    EXPECT_EQ(parse_config("[mqtt]\npassword_file = \"" + pw + "\"\n", "gw.conf", dir.path())
                  .mqtt.password,
              "from-file");
    // And the password reaches the uplink's options.
    vehcan::cli::MonitorOptions o;
    vehcan::cli::apply_config(parse_config("", "gw.conf", dir.path()), o);
    EXPECT_EQ(o.mqtt.password, "from-credential");
}

// ---- the compact uplink's campaign -----------------------------------------------------------

TEST(ServiceConfig, ACampaignsTablesBecomeTheCollectionsRules) {
    const ServiceConfig c = parse_config(R"([collection]
mode = "exact"
name = "cold start"
heartbeat_s = 30
batch_s = 10

[[signal]]
spn = 110
tolerance = 0.5
event_above = 105
event_name = "coolant hot"
event_interval_s = 600

[[signal]]
pgn = 65280
raw = true
min_interval_s = 1

[[signal]]
pgn = 61444
source = 3
exclude = true
reconstruction = "step"
)",
                                         "gw.conf", "");
    vehcan::cli::MonitorOptions o;
    o.given = {"--uplink"};
    o.mqtt.uplink = "json"; // given: the file's uplink would not override it
    vehcan::cli::apply_config(c, o);
    const vehcan::cli::CollectionSettings &s = o.mqtt.collection;
    EXPECT_EQ(o.mqtt.uplink, "json");
    EXPECT_TRUE(s.exact);
    EXPECT_EQ(s.name, "cold start");
    EXPECT_EQ(s.heartbeat_ms, 30000);
    EXPECT_EQ(s.batch_ms, 10000);
    ASSERT_EQ(s.rules.size(), 3U);
    EXPECT_EQ(s.rules[0].spn, 110U);
    EXPECT_EQ(s.rules[0].tolerance, 0.5);
    EXPECT_EQ(s.rules[0].event_above, 105.0);
    EXPECT_EQ(s.rules[0].event_name, "coolant hot");
    EXPECT_EQ(s.rules[0].event_interval_ms, 600000);
    EXPECT_EQ(s.rules[0].line, 7);
    EXPECT_TRUE(s.rules[1].raw);
    EXPECT_EQ(s.rules[1].pgn, 65280U);
    EXPECT_EQ(s.rules[1].min_interval_ms, 1000);
    EXPECT_TRUE(s.rules[2].exclude);
    EXPECT_EQ(s.rules[2].source, 3);
    EXPECT_EQ(s.rules[2].reconstruction, vehcan::cli::Reconstruction::step);
    // the rules as the encoder finds them
    EXPECT_EQ(vehcan::cli::find_rule(s, 65262, 110, 0), &s.rules[0]);
    EXPECT_EQ(vehcan::cli::find_rule(s, 61444, 190, 0), nullptr);
    EXPECT_EQ(vehcan::cli::find_rule(s, 61444, 190, 3), &s.rules[2]);
}

TEST(ServiceConfig, ACampaignsMistakesNameTheirLine) {
    EXPECT_EQ(problem("[[signal]]\ntolerance = 1\n"),
              "/etc/vehcan/vehcan.conf:1: a [[signal]] names a pgn, an spn or both");
    EXPECT_EQ(problem("[[signal]]\nspn = 110\nreconstruction = \"cubic\"\n"),
              "/etc/vehcan/vehcan.conf:3: signal.reconstruction must be \"step\" or \"linear\", "
              "not \"cubic\"");
    EXPECT_EQ(
        problem("[[signal]]\nspn = 110\ntolerence = 1\n"),
        "/etc/vehcan/vehcan.conf:3: unknown key tolerence in [signal] (its keys: event_above, "
        "event_below, event_interval_s, event_name, exclude, heartbeat_s, min_interval_s, "
        "pgn, raw, reconstruction, source, spn, tolerance)");
    EXPECT_EQ(problem("[collection]\nmode = \"fast\"\n"),
              "/etc/vehcan/vehcan.conf:2: collection.mode must be \"default\" or \"exact\", not "
              "\"fast\"");
    EXPECT_EQ(problem("signal = 3\n"),
              "/etc/vehcan/vehcan.conf:1: signal must be tables: [[signal]]");
}

// ---- commands from the fleet -----------------------------------------------------------------

namespace {

// Public keys of fixed seeds, in base64.
std::string public_key(uint8_t seed_byte) {
    vehcan::commands::Seed seed{};
    seed.fill(seed_byte);
    const auto pub = vehcan::commands::public_of(vehcan::commands::secret_from_seed(seed));
    return vehcan::commands::encode_base64(pub.data(), pub.size());
}

} // namespace

TEST(ServiceConfigCommands, OffWithNothingAllowedUnlessTheFileSaysSo) {
    const ServiceConfig c = parse_config("", "gw.conf", "");
    EXPECT_FALSE(c.commands.enabled);
    EXPECT_TRUE(c.commands.keys.empty());
    EXPECT_TRUE(c.commands.allowed_operations.empty());
    EXPECT_TRUE(c.commands.allowed_pgns.empty());
}

TEST(ServiceConfigCommands, ReadsEveryKeyWithKeysFromTheTableAndAFile) {
    ScratchDir dir;
    const std::string keys = dir.write(
        "command-keys", "# the workshop's keys\nworkshop-1 " + public_key(2) + "\n", 0644);
    const ServiceConfig c = parse_config(R"([commands]
enabled = true
keys_file = ")" + keys + R"("
max_skew = 30
max_lifetime = 3600
allowed_operations = ["scan", "diag.read", "request"]
allowed_pgns = [65260, 0xFEDA]
rate_limit = 4
rate_period = 120
transmit_rate = 50.5

[commands.keys]
"fleet-1" = ")" + public_key(1) + R"("
)",
                                         "gw.conf", "");
    const auto &p = c.commands;
    EXPECT_TRUE(p.enabled);
    ASSERT_EQ(p.keys.size(), 2U);
    EXPECT_EQ(vehcan::commands::encode_base64(p.keys.at("fleet-1").data(), 32), public_key(1));
    EXPECT_EQ(vehcan::commands::encode_base64(p.keys.at("workshop-1").data(), 32), public_key(2));
    EXPECT_EQ(p.max_skew_s, 30);
    EXPECT_EQ(p.max_lifetime_s, 3600);
    EXPECT_EQ(p.allowed_operations,
              (std::set<std::string, std::less<>>{"diag.read", "request", "scan"}));
    EXPECT_EQ(p.allowed_pgns, (std::set<uint32_t>{65260, 0xFEDA}));
    EXPECT_EQ(p.rate_limit, 4);
    EXPECT_EQ(p.rate_period_s, 120);
    EXPECT_EQ(p.transmit_rate, 50.5);
}

TEST(ServiceConfigCommands, KeysAndListsAreCheckedOnTheirLine) {
    EXPECT_EQ(problem("[commands]\nenabled = true\n"),
              "/etc/vehcan/vehcan.conf:2: commands.enabled is true, but no key is given in "
              "[commands.keys] or commands.keys_file: no command could ever be verified");
    EXPECT_EQ(problem("[commands.keys]\n\"fleet-1\" = \"AAAA\"\n"),
              "/etc/vehcan/vehcan.conf:2: commands.keys.fleet-1 must be an Ed25519 public key: "
              "32 bytes in base64");
    // 32 bytes, but the identity point, which would take forged signatures.
    EXPECT_EQ(problem("[commands.keys]\nk = \"AQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\"\n")
                  .substr(0, 55),
              "/etc/vehcan/vehcan.conf:2: commands.keys.k must be an E");
    EXPECT_EQ(problem("[commands.keys]\n\"fleet 1\" = \"" + public_key(1) + "\"\n"),
              "/etc/vehcan/vehcan.conf:2: commands.keys.fleet 1 is not a key id: 1 to 64 of "
              "A-Z a-z 0-9 . _ -");
    EXPECT_EQ(problem("[commands]\nkeys = \"x\"\n"),
              "/etc/vehcan/vehcan.conf:2: commands.keys must be a table of key ids and public "
              "keys, not a string");
    EXPECT_EQ(problem("[commands]\nallowed_operations = [\"scan\", \"reflash\"]\n"),
              "/etc/vehcan/vehcan.conf:2: commands.allowed_operations names reflash, which is "
              "none of request, scan, diag.read, diag.clear, capture");
    EXPECT_EQ(problem("[commands]\nallowed_pgns = [65260, 262144]\n"),
              "/etc/vehcan/vehcan.conf:2: commands.allowed_pgns must be from 0 to 262143, not "
              "262144");
    EXPECT_EQ(problem("[commands]\nrate_limit = 0\n"),
              "/etc/vehcan/vehcan.conf:2: commands.rate_limit must be from 1 to 10000, not 0");
    EXPECT_EQ(problem("[commands]\ntransmit_rate = 5000\n"),
              "/etc/vehcan/vehcan.conf:2: commands.transmit_rate must be from 1 to 2000 frames a "
              "second, not 5000");
}

TEST(ServiceConfigCommands, AKeysFileOthersMayWriteOrWithABadLineIsRefused) {
    ScratchDir dir;
    const std::string open_file = dir.write("open-keys", "k " + public_key(1) + "\n", 0664);
    EXPECT_EQ(problem("[commands]\nkeys_file = \"" + open_file + "\"\n"),
              "/etc/vehcan/vehcan.conf:2: commands.keys_file names " + open_file +
                  ", which others may write (mode 0664): it must be mode 0644 or stricter");
    const std::string bad = dir.write("bad-keys", "k " + public_key(1) + "\n\nj not-a-key\n", 0600);
    EXPECT_EQ(problem("[commands]\nkeys_file = \"" + bad + "\"\n"),
              bad + ":3: the key must be an Ed25519 public key of 32 bytes in base64");
    // The same key id in the file and the table (toml++ hands the section's
    // keys over in order of their names: the table's comes first).
    const std::string twice = dir.write("keys", "k " + public_key(1) + "\n", 0600);
    EXPECT_EQ(problem("[commands]\nkeys_file = \"" + twice + "\"\n[commands.keys]\nk = \"" +
                      public_key(2) + "\"\n"),
              "/etc/vehcan/vehcan.conf:2: commands.keys_file gives the key id k a second time");
}
