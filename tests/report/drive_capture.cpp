// SPDX-License-Identifier: MIT
// Writes a candump -l capture of a simulated truck driving vehcan-sim's
// drive cycle for a given time, with the traffic of a busy J1939 bus
// (about 650 frames a second: an hour makes about 2.4 million frames), and
// a manifest of what it wrote, in JSON, for the tests to compare a report
// against:
//
//   vehcan_drive_capture SECONDS CAPTURE MANIFEST
//
// The engine (0x00) sends its speed, pedal, coolant, fuel, hours and
// distance, and a DM1 whose overheat code (SPN 110 FMI 16, amber lamp)
// comes and goes with the drive cycle; the transmission (0x03) sends a DM1
// with codes that come and go on a cycle of their own, two at a time by
// BAM, and one code seen in a single message; the tachograph (0xEE) its
// speed and driver states; every node claims its address with a NAME
// first, and the engine sends its component identification and its VIN by
// BAM. The periods carry a small, repeatable jitter.
#include "drive_cycle.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using vehcan::sim::drive_state;
using vehcan::sim::DriveState;

constexpr int64_t kStartUs = 1796760000000000; // the capture's first frame, Unix time
constexpr uint8_t kEngine = 0x00;
constexpr uint8_t kTransmission = 0x03;
constexpr uint8_t kBrakes = 0x0B;
constexpr uint8_t kRetarder = 0x10;
constexpr uint8_t kCluster = 0x17;
constexpr uint8_t kTachograph = 0xEE;
constexpr uint32_t kPgnDm1 = 65226;
constexpr double kTransmissionCycle = 300; // seconds

// ---- output ----------------------------------------------------------------------

// Frames are written in time order, as candump writes them: each waits in
// a buffer until the generator has moved past its time.
struct Writer {
    FILE *capture = nullptr;
    unsigned long frames = 0;
    // Messages per "PGN/source", as the report's parameter-group table counts them.
    std::map<std::string, unsigned long> messages;
    std::multimap<int64_t, std::string> pending;

    // Writes the frames before t_us.
    void flush(int64_t t_us) {
        auto end = pending.lower_bound(t_us);
        for (auto it = pending.begin(); it != end; ++it) {
            (void)std::fputs(it->second.c_str(), capture);
        }
        pending.erase(pending.begin(), end);
    }

    void frame(int64_t t_us, uint8_t priority, uint32_t pgn, uint8_t source, uint8_t destination,
               const Bytes &data) {
        uint32_t id = static_cast<uint32_t>(priority) << 26U | pgn << 8U | source;
        if (((pgn >> 8U) & 0xFFU) < 240) { // PDU1: the destination in the PS byte
            id = static_cast<uint32_t>(priority) << 26U | (pgn & 0x3FF00U) << 8U |
                 static_cast<uint32_t>(destination) << 8U | source;
        }
        const int64_t at = kStartUs + t_us;
        char line[64];
        int n = std::snprintf(line, sizeof line, "(%lld.%06lld) can0 %08X#",
                              static_cast<long long>(at / 1000000),
                              static_cast<long long>(at % 1000000), id);
        for (uint8_t b : data) {
            n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02X", b);
        }
        pending.emplace(t_us, std::string(line) + "\n");
        ++frames;
    }

    void message(int64_t t_us, uint8_t priority, uint32_t pgn, uint8_t source, const Bytes &data) {
        frame(t_us, priority, pgn, source, 0xFF, data);
        ++messages[std::to_string(pgn) + "/" + std::to_string(source)];
    }

    // A broadcast transfer: the announcement, then a packet every 50 ms.
    // Returns the time of its last packet, when the message is complete.
    int64_t bam(int64_t t_us, uint32_t pgn, uint8_t source, const Bytes &data) {
        const auto packets = static_cast<uint8_t>((data.size() + 6) / 7);
        frame(t_us, 7, 60416, source, 0xFF,
              {32, static_cast<uint8_t>(data.size()), static_cast<uint8_t>(data.size() >> 8U),
               packets, 0xFF, static_cast<uint8_t>(pgn), static_cast<uint8_t>(pgn >> 8U),
               static_cast<uint8_t>(pgn >> 16U)});
        for (uint8_t n = 1; n <= packets; ++n) {
            Bytes packet(8, 0xFF);
            packet[0] = n;
            for (size_t i = 0; i < 7; ++i) {
                const size_t at = (n - 1U) * 7U + i;
                if (at < data.size()) {
                    packet[i + 1] = data[at];
                }
            }
            t_us += 50000;
            frame(t_us, 7, 60160, source, 0xFF, packet);
        }
        ++messages[std::to_string(pgn) + "/" + std::to_string(source)];
        return t_us;
    }
};

void put(Bytes &b, size_t index, uint64_t raw, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        b[index + i] = static_cast<uint8_t>(raw >> (8 * i));
    }
}

// A payload of not-available bytes but for a 4-byte counter at index.
Bytes counter(size_t index, double value, double per_bit) {
    Bytes b(8, 0xFF);
    put(b, index, static_cast<uint64_t>(std::lround(value / per_bit)), 4);
    return b;
}

Bytes text_bytes(const std::string &s) {
    return {s.begin(), s.end()};
}

// ---- trouble codes ------------------------------------------------------------------

struct Code {
    unsigned long spn;
    int fmi;
};

// A code's bands as the report should draw them: from its first to its
// last sighting in each run of DM1 messages that list it.
struct Bands {
    std::map<std::tuple<int, unsigned long, int>, std::vector<std::pair<int64_t, int64_t>>> spans;
    std::map<std::tuple<int, unsigned long, int>, bool> open;
    std::map<std::tuple<int, unsigned long, int>, unsigned long> messages;

    void dm1(int64_t t_us, uint8_t source, const std::vector<Code> &codes) {
        for (auto &entry : open) {
            const auto &key = entry.first;
            if (std::get<0>(key) != source) {
                continue;
            }
            const bool listed = std::any_of(codes.begin(), codes.end(), [&](const Code &c) {
                return c.spn == std::get<1>(key) && c.fmi == std::get<2>(key);
            });
            if (!listed) {
                entry.second = false;
            }
        }
        for (const Code &c : codes) {
            const auto key = std::make_tuple(static_cast<int>(source), c.spn, c.fmi);
            ++messages[key];
            if (open[key]) {
                spans[key].back().second = t_us;
            } else {
                spans[key].emplace_back(t_us, t_us);
                open[key] = true;
            }
        }
    }
};

// lamps: the first byte of DM1 (MIL, red stop, amber, protect: two bits each).
Bytes dm1_payload(uint8_t lamps, const std::vector<Code> &codes) {
    Bytes b(2 + 4 * std::max<size_t>(codes.size(), 1), 0);
    b[0] = lamps;
    b[1] = 0xFF;
    b.resize(2); // with no code: SPN 0, FMI 0, then padding
    for (const Code &c : codes) {
        b.push_back(static_cast<uint8_t>(c.spn));
        b.push_back(static_cast<uint8_t>(c.spn >> 8U));
        b.push_back(static_cast<uint8_t>((c.spn >> 16U) << 5U | static_cast<unsigned>(c.fmi)));
        b.push_back(1); // occurrence count
    }
    if (codes.empty()) {
        b.resize(6, 0);
    }
    b.resize(std::max<size_t>(b.size(), 8), 0xFF);
    return b;
}

// The transmission's active codes at t: oil pressure low (SPN 127 FMI 1)
// from 100 to 160 s of its cycle, oil temperature high (SPN 177 FMI 0,
// with the red stop lamp) from 130 to 200 s, and a wrong input shaft speed
// (SPN 161 FMI 2) in the one message at 250 s.
std::vector<Code> transmission_codes(double t) {
    const double at = std::fmod(t, kTransmissionCycle);
    std::vector<Code> codes;
    if (at >= 100 && at < 160) {
        codes.push_back({127, 1});
    }
    if (at >= 130 && at < 200) {
        codes.push_back({177, 0});
    }
    if (at >= 250 && at < 251) {
        codes.push_back({161, 2});
    }
    return codes;
}

// ---- the bus ------------------------------------------------------------------------

// What a group that the tool does not decode without a database carries.
Bytes undecoded(double) {
    return Bytes(8, 0x7D);
}

struct Periodic {
    uint32_t pgn;
    uint8_t source;
    uint8_t priority;
    int period_ms;
    int phase_ms;
    std::function<Bytes(double)> payload; // of the time in seconds
};

// A repeatable jitter of up to +-400 us.
int64_t jitter_us(uint64_t &state) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int64_t>((state >> 33U) % 801) - 400;
}

nlohmann::json spans_json(const std::vector<std::pair<int64_t, int64_t>> &spans) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto &[a, b] : spans) {
        out.push_back({static_cast<double>(a) / 1e6, static_cast<double>(b) / 1e6});
    }
    return out;
}

int run(int argc, char **argv) {
    if (argc != 4) {
        (void)std::fputs("usage: vehcan_drive_capture SECONDS CAPTURE MANIFEST\n", stderr);
        return 2;
    }
    char *end = nullptr;
    const double seconds = std::strtod(argv[1], &end);
    Writer w;
    w.capture = std::fopen(argv[2], "w");
    FILE *manifest = std::fopen(argv[3], "w");
    if (*end != '\0' || seconds <= 0 || w.capture == nullptr || manifest == nullptr) {
        (void)std::fputs("vehcan_drive_capture: bad duration or cannot write\n", stderr);
        return 2;
    }

    // What accumulates over the drive.
    double fuel_l = 123456.5;
    double distance_m = 1000000;
    double last_t = 0;
    const auto advance = [&](double t) {
        const double dt = t - last_t;
        const DriveState s = drive_state(t);
        fuel_l += dt * (0.3 + s.engine_rpm / 1000.0) / 360.0; // litres an hour, roughly
        distance_m += dt * s.vehicle_kmh / 3.6;
        last_t = t;
    };
    const auto pedal = [](double t) {
        return std::clamp((drive_state(t).engine_rpm - 650) / 12.0, 0.0, 100.0);
    };
    const auto cycle_at = [](double t) { return std::fmod(t, vehcan::sim::kDriveCyclePeriod); };

    std::vector<Periodic> groups{
        {61444, kEngine, 3, 10, 0,
         [](double t) {
             Bytes b{0xF0, 0x7D, 0x8C, 0xE0, 0x2E, 0x00, 0xF0, 0x7D};
             vehcan::sim::write_engine_speed(b, drive_state(t).engine_rpm);
             return b;
         }},
        {61443, kEngine, 3, 50, 3,
         [&](double t) {
             Bytes b(8, 0xFF);
             b[1] = static_cast<uint8_t>(std::lround(pedal(t) / 0.4));
             return b;
         }},
        {65265, kEngine, 6, 100, 5,
         [&](double t) {
             Bytes b{0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0xFF};
             vehcan::sim::write_wheel_speed(b, drive_state(t).vehicle_kmh);
             const double at = cycle_at(t);
             const bool cruise = at >= 40 && at < 120;
             const bool braking = at >= 120 && at < 150;
             b[3] = static_cast<uint8_t>((cruise ? 0x01 : 0x00) | (braking ? 0x10 : 0x00));
             return b;
         }},
        {65132, kTachograph, 6, 50, 7,
         [&](double t) {
             Bytes b{0x43, 0x10, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
             const double kmh = drive_state(t).vehicle_kmh;
             vehcan::sim::write_tachograph_speed(b, kmh);
             b[0] = static_cast<uint8_t>((b[0] & 0xF8U) | (kmh > 0.5 ? 3U : 2U));
             return b;
         }},
        {65262, kEngine, 6, 1000, 11,
         [](double t) {
             Bytes b{0x82, 0x46, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
             vehcan::sim::write_coolant(b, drive_state(t).coolant_celsius);
             return b;
         }},
        {65257, kEngine, 6, 1000, 13, [&](double) { return counter(4, fuel_l, 0.5); }},
        {65253, kEngine, 6, 1000, 17, [](double t) { return counter(0, 4321.5 + t / 3600, 0.05); }},
        {65217, kEngine, 6, 1000, 19, [&](double) { return counter(0, distance_m, 5); }},
        {65276, kCluster, 6, 1000, 23,
         [&](double) {
             Bytes b(8, 0xFF);
             b[1] = static_cast<uint8_t>(std::lround((80 - (fuel_l - 123456.5) / 4) / 0.4));
             return b;
         }},
        // Traffic the tool does not decode without a database.
        {61442, kTransmission, 3, 10, 2, undecoded},
        {0, kTransmission, 3, 10, 4, undecoded}, // TSC1 to the engine
        {61441, kBrakes, 6, 10, 6, undecoded},
        {61449, kBrakes, 6, 10, 8, undecoded},
        {65134, kBrakes, 6, 20, 9, undecoded},
        {61440, kRetarder, 6, 100, 21, undecoded},
        {65215, kBrakes, 6, 100, 25, undecoded},
        {61445, kTransmission, 6, 100, 27, undecoded},
        {65266, kEngine, 6, 100, 29, undecoded},
        {65247, kEngine, 6, 250, 31, undecoded},
        {65269, kEngine, 6, 1000, 33, undecoded},
    };

    Bands bands;
    std::map<std::string, std::vector<std::pair<int64_t, int64_t>>> lamp_spans;
    std::map<std::string, bool> lamp_open;
    const auto lamp = [&](const std::string &name, int64_t t_us, bool on) {
        if (!on) {
            lamp_open[name] = false;
        } else if (lamp_open[name]) {
            lamp_spans[name].back().second = t_us;
        } else {
            lamp_spans[name].emplace_back(t_us, t_us);
            lamp_open[name] = true;
        }
    };

    // Address claims and identification first: on-highway NAMEs (industry
    // group 1) of manufacturer 1234, each node's function as its name says.
    const auto name_of = [](uint64_t function, uint64_t identity, bool arbitrary) {
        return uint64_t{arbitrary} << 63U | uint64_t{1} << 60U | function << 40U |
               uint64_t{1234} << 21U | identity;
    };
    const std::vector<std::pair<uint8_t, uint64_t>> names{
        {kEngine, name_of(0, 1001, false)},   {kTransmission, name_of(3, 1002, false)},
        {kBrakes, name_of(11, 1003, false)},  {kRetarder, name_of(15, 1004, false)},
        {kCluster, name_of(23, 1005, false)}, {kTachograph, name_of(128, 1006, true)}};
    int64_t t_us = 0;
    for (const auto &[address, name] : names) {
        Bytes b(8);
        put(b, 0, name, 8);
        w.frame(t_us, 6, 60928, address, 0xFF, b);
        ++w.messages["60928/" + std::to_string(address)];
        t_us += 1000;
    }
    std::vector<std::pair<int64_t, std::function<void(int64_t)>>> transfers{
        {500000,
         [&](int64_t at) {
             w.bam(at, 65259, kEngine, text_bytes("VEHCAN*SIM-ENGINE-13L*ENG0012345*UNIT01*"));
         }},
        {1500000, [&](int64_t at) { w.bam(at, 65260, kEngine, text_bytes("1HTMKAAN0CH123456*")); }},
    };

    uint64_t jitter = 42;
    const auto end_ms = static_cast<int64_t>(seconds * 1000);
    for (int64_t ms = 10; ms < end_ms; ++ms) {
        const double t = static_cast<double>(ms) / 1000;
        advance(t);
        w.flush((ms - 100) * 1000);
        for (const Periodic &g : groups) {
            if (ms % g.period_ms == g.phase_ms) {
                w.message(ms * 1000 + jitter_us(jitter), g.priority, g.pgn, g.source, g.payload(t));
            }
        }
        for (auto &[at, send] : transfers) {
            if (at == ms * 1000) {
                send(at);
            }
        }
        if (ms % 1000 == 37) { // the DM1s, once a second
            const int64_t at = ms * 1000 + jitter_us(jitter);
            const bool overheat = drive_state(t).overheat;
            std::vector<Code> engine;
            if (overheat) {
                engine.push_back({110, 16});
            }
            w.message(at, 6, kPgnDm1, kEngine, dm1_payload(overheat ? 0x04 : 0x00, engine));
            bands.dm1(at, kEngine, engine);
            lamp("0/amber warning", at, overheat);

            const std::vector<Code> codes = transmission_codes(t);
            const bool red =
                std::any_of(codes.begin(), codes.end(), [](const Code &c) { return c.spn == 177; });
            const Bytes payload = dm1_payload(red ? 0x10 : 0x00, codes);
            // Two codes take a transfer; the message is there at its last packet.
            const int64_t complete =
                payload.size() > 8 ? w.bam(at + 2000, kPgnDm1, kTransmission, payload) : at + 2000;
            if (payload.size() <= 8) {
                w.message(complete, 6, kPgnDm1, kTransmission, payload);
            }
            bands.dm1(complete, kTransmission, codes);
            lamp("3/red stop", complete, red);
        }
    }
    w.flush(INT64_MAX);
    (void)std::fclose(w.capture);

    // ---- the manifest ----
    nlohmann::json m{{"seconds", seconds}, {"frames", w.frames}, {"messages", w.messages}};
    m["codes"] = nlohmann::json::array();
    for (const auto &[key, spans] : bands.spans) {
        m["codes"].push_back({{"source", std::get<0>(key)},
                              {"spn", std::get<1>(key)},
                              {"fmi", std::get<2>(key)},
                              {"messages", bands.messages[key]},
                              {"spans", spans_json(spans)}});
    }
    m["lamps"] = nlohmann::json::array();
    for (const auto &[key, spans] : lamp_spans) {
        const size_t slash = key.find('/');
        m["lamps"].push_back({{"source", std::stoi(key.substr(0, slash))},
                              {"lamp", key.substr(slash + 1)},
                              {"spans", spans_json(spans)}});
    }
    (void)std::fputs((m.dump(1) + "\n").c_str(), manifest);
    (void)std::fclose(manifest);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        (void)std::fprintf(stderr, "vehcan_drive_capture: %s\n", e.what());
        return 1;
    }
}
