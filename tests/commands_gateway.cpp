// SPDX-License-Identifier: MIT
// The service's commands without a bus, for the tests against a real
// broker: vehcan monitor's wiring of them (the configuration's [mqtt],
// [spool] and [commands], the uplink with its command topic, the record,
// the worker) with operations that only write down that they ran.
//
//   commands_gateway --config FILE --runs FILE [--vin VIN --vin-after S]
//
// Each run of an operation appends "ID OPERATION ARGUMENTS" to the runs
// file: the witness that a command ran, and how often. The operations:
// scan sleeps its timeout (a command to kill the gateway in), request of
// PGN 65260 from 0x55 fails as an ECU's silence would, capture is not
// available (the json uplink), the others succeed with
// {"ran":OPERATION,"arguments":{...}}. --vin names the vehicle by its VIN
// S seconds after the start, as the monitor does when the VIN comes.
// SIGTERM or SIGINT ends it as the monitor ends.
#include "monitor_commands.h"
#include "monitor_config.h"

#include <service_config.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fmt/format.h>
#include <fstream>
#include <string>
#include <thread>

using namespace vehcan;
using namespace vehcan::cli;
using commands::OperationCall;
using commands::OperationOutput;
using nlohmann::json;

namespace {

std::atomic<bool> g_end{false};

extern "C" void on_signal(int) {
    g_end.store(true);
}

void note_run(const std::string &runs, const OperationCall &call) {
    std::ofstream f(runs, std::ios::app);
    f << call.id << ' ' << call.operation << ' ' << call.arguments.dump() << '\n';
}

OperationOutput run(const std::string &runs, const OperationCall &call) {
    note_run(runs, call);
    if (call.operation == "scan") {
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(
                               static_cast<int>(call.arguments.value("timeout", 2.0) * 1000));
        while (std::chrono::steady_clock::now() < until && !g_end.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (call.operation == "request" && call.arguments.value("to", 255) == 0x55) {
        return OperationOutput::failure("no answer to two requests for PGN 65260 from 0xF9 to "
                                        "0x55, 600 ms each");
    }
    if (call.operation == "capture") {
        return OperationOutput::failure("capture takes the frames from the compact uplink's "
                                        "ring buffer: this gateway runs the json uplink",
                                        commands::Reason::kNotAvailable);
    }
    // Each frame an operation sends passes the gate first.
    if (!call.gate->acquire(1, call.deadline)) {
        return OperationOutput::failure("the transmit gate refused");
    }
    return OperationOutput::success(json{{"ran", call.operation}, {"arguments", call.arguments}});
}

} // namespace

int main(int argc, char **argv) {
    std::string config;
    std::string runs;
    std::string vin;
    double vin_after = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--config") {
            config = argv[i + 1];
        } else if (option == "--runs") {
            runs = argv[i + 1];
        } else if (option == "--vin") {
            vin = argv[i + 1];
        } else if (option == "--vin-after") {
            vin_after = std::strtod(argv[i + 1], nullptr);
        }
    }
    if (config.empty() || runs.empty()) {
        (void)std::fputs(
            "usage: commands_gateway --config FILE --runs FILE [--vin VIN --vin-after S]\n",
            stderr);
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    try {
        MonitorOptions o;
        o.config = config;
        apply_config(service::load_config(config, ""), o);
        std::optional<Uplink> uplink; // (before the commands, which answer through it)
        MonitorCommands commands;
        commands.open(o);
        uplink.emplace(o.mqtt, false, commands.sink());
        commands.answer_through(&*uplink);
        uplink->online({{"bitrate", 250000}});
        if (commands.on()) {
            for (const auto &op : commands::operation_table()) {
                commands.service().executor().set_handler(
                    op.name, [runs](const OperationCall &call) { return run(runs, call); });
            }
            commands.service().start();
        }
        const auto start = std::chrono::steady_clock::now();
        bool vin_told = vin.empty();
        while (!g_end.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (!vin_told && std::chrono::steady_clock::now() - start >=
                                 std::chrono::duration<double>(vin_after)) {
                vin_told = true;
                const json identification = {
                    {"pgn", 65260}, {"values", json::array({{{"name", "VIN"}, {"text", vin}}})}};
                uplink->message(0, 0, 65260, identification);
                if (commands.on()) {
                    commands.service().set_vin(vin);
                }
                fmt::print(stderr, "the VIN is {}\n", vin);
            }
        }
        commands.stop();
        finish_uplink(*uplink, std::chrono::steady_clock::now() + kUplinkFlushTime);
    } catch (const service::ConfigError &e) {
        fmt::print(stderr, "commands_gateway: {}\n", e.what());
        return 2;
    } catch (const std::exception &e) {
        fmt::print(stderr, "commands_gateway: {}\n", e.what());
        return 1;
    }
    return 0;
}
