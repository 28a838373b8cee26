// SPDX-License-Identifier: MIT
// vehcan-sim: a simulated truck on a CAN interface.
#include "drive_cycle.h"
#include "road_drive.h"
#include "sim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

namespace vehcan::sim {

volatile std::sig_atomic_t g_stop = 0;

BusGate::BusGate(const Options &options)
    : watcher_(options.watch.c_str()), rate_(options.bus_rate), enabled_(options.gate) {}

bool BusGate::open() {
    if (!enabled_) {
        return true;
    }
    // The state is asked for every 50 ms, and at once when the kernel
    // announces a change: a frame sent in the moments after the watched
    // interface went to another bit rate would be heard there as valid
    // traffic at that rate (the emulated bus carries it whatever the rate).
    const Clock::time_point now = Clock::now();
    if (watcher_.changed() || now >= next_check_) {
        const LinkState s = watcher_.query();
        last_ = s.up && s.bitrate == rate_;
        next_check_ = now + std::chrono::milliseconds(50);
    }
    return last_;
}

bool BusGate::wait_open(std::chrono::milliseconds timeout) {
    const Clock::time_point end = Clock::now() + timeout;
    while (g_stop == 0 && Clock::now() < end) {
        if (open()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

uint32_t monotonic_microseconds32() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000000U +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000U);
}

} // namespace vehcan::sim

namespace {

using vehcan::sim::Options;

void usage(FILE *to) {
    (void)std::fprintf(
        to,
        "Usage: vehcan-sim [OPTION]...\n"
        "A simulated truck on a CAN interface. By default an engine (0x00) broadcasts\n"
        "EEC1, ET1, CCVS, LFC, HOURS, VDHR and DM1, a tachograph (0xEE) TCO1 and the driver\n"
        "identification (BAM), and both answer Requests (PGN 59904): Address Claimed with\n"
        "their NAMEs, component and software identification (the engine also its ECU\n"
        "identification; the tachograph NACKs that) by RTS/CTS to a request sent to them.\n"
        "The engine keeps a diagnostic memory: it answers DM1-DM6, DM12, DM23-DM25 and\n"
        "clears (DM3, DM11); every node stops and starts its broadcasts on DM13.\n"
        "\n"
        "Options:\n"
        "  -i, --interface IF   interface of the simulated ECUs (can1)\n"
        "  -w, --watch IF       interface whose state gates sending (can0)\n"
        "  -r, --bus-rate BPS   simulated bus rate: send only while the watched\n"
        "                       interface is up at it (500000)\n"
        "      --no-gate        send whatever the watched interface does\n"
        "  -t, --duration S     stop after S seconds (default: at SIGINT/SIGTERM)\n"
        "      --drive          follow the drive cycle (%.0f s, repeating): engine speed,\n"
        "                       vehicle speed and coolant change, the DM1 fault comes\n"
        "                       and goes; without it the values stay fixed\n"
        "      --drive-start S  begin the drive cycle S seconds in (0)\n"
        "      --parked         stand still (0 km/h) with the engine at idle (650 rpm)\n"
        "      --diag-ecus      add a transmission (0x03), brakes (0x0B) and a body\n"
        "                       controller (0x21) with stored trouble codes; the engine\n"
        "                       ACKs clears (DM3, DM11), the transmission NACKs them, the\n"
        "                       brakes answer busy twice and then ACK (one fault stays\n"
        "                       present), the body controller stays silent\n"
        "      --flood S        instead: send PGN 0xFF10 from 0x00 as fast as the bus takes,\n"
        "                       for S seconds (payload: sequence, send time in us)\n"
        "      --flood-rate N   pace the flood at N frames per second\n"
        "      --scenario NAME  instead: send one raw transport sequence between two other\n"
        "                       nodes and exit; NAME is one of: %s\n"
        "      --vin TEXT       vehicle identification, 17 characters (1HTMKAAN0CH123456)\n"
        "      --second-vin T   the second sender's in the interleaved scenario\n"
        "      --report FILE    write the counts there at the end\n"
        "      --road-log FILE  instead: write a drive on the road (town, country road,\n"
        "                       motorway; gear changes, noise, an overheat) of --duration\n"
        "                       seconds (3600) as a candump log, without a bus\n"
        "      --seed N         the road drive's seed (1)\n"
        "  -q, --quiet          print nothing but errors\n",
        vehcan::sim::kDriveCyclePeriod, vehcan::sim::scenario_names());
}

// false for a bad argument; help set for --help.
bool parse(int argc, char **argv, Options &o, bool &help) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        auto value = [&]() { return std::string(argv[++i]); };
        if ((a == "-i" || a == "--interface") && has_value) {
            o.interface = value();
        } else if ((a == "-w" || a == "--watch") && has_value) {
            o.watch = value();
        } else if ((a == "-r" || a == "--bus-rate") && has_value) {
            o.bus_rate = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--no-gate") {
            o.gate = false;
        } else if ((a == "-t" || a == "--duration") && has_value) {
            o.duration_s = std::strtod(argv[++i], nullptr);
        } else if (a == "--drive") {
            o.drive = true;
        } else if (a == "--parked") {
            o.parked = true;
        } else if (a == "--diag-ecus") {
            o.diag_ecus = true;
        } else if (a == "--drive-start" && has_value) {
            o.drive_start_s = std::strtod(argv[++i], nullptr);
        } else if (a == "--flood" && has_value) {
            o.flood_s = std::strtod(argv[++i], nullptr);
        } else if (a == "--flood-rate" && has_value) {
            o.flood_rate = std::strtod(argv[++i], nullptr);
        } else if (a == "--scenario" && has_value) {
            o.scenario = value();
        } else if (a == "--vin" && has_value) {
            o.vin = value();
        } else if (a == "--second-vin" && has_value) {
            o.second_vin = value();
        } else if (a == "--report" && has_value) {
            o.report = value();
        } else if (a == "--road-log" && has_value) {
            o.road_log = value();
        } else if (a == "--seed" && has_value) {
            o.seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else if (a == "-h" || a == "--help") {
            help = true;
        } else {
            (void)std::fprintf(stderr, "vehcan-sim: bad argument '%s'\n", a.c_str());
            return false;
        }
    }
    return true;
}

void on_signal(int) {
    vehcan::sim::g_stop = 1;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    bool help = false;
    if (!parse(argc, argv, options, help)) {
        usage(stderr);
        return 2;
    }
    if (help) {
        usage(stdout);
        return 0;
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    (void)std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!options.road_log.empty()) {
        vehcan::sim::RoadDriveOptions road;
        road.seconds = options.duration_s > 0 ? options.duration_s : 3600;
        road.seed = options.seed;
        road.vin = options.vin;
        std::ofstream out(options.road_log);
        const uint64_t frames = vehcan::sim::write_road_drive(out, road);
        out.close();
        if (!out) {
            (void)std::fprintf(stderr, "vehcan-sim: cannot write %s\n", options.road_log.c_str());
            return 1;
        }
        if (!options.quiet) {
            std::printf("vehcan-sim: %.0f s of road drive, %llu frames, in %s\n", road.seconds,
                        static_cast<unsigned long long>(frames), options.road_log.c_str());
        }
        return 0;
    }
    if (!options.scenario.empty()) {
        return vehcan::sim::run_scenario(options);
    }
    if (options.flood_s > 0) {
        return vehcan::sim::run_flood(options);
    }
    return vehcan::sim::run_truck(options);
}
