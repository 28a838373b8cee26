// SPDX-License-Identifier: MIT
// Cost per call of the decoders that a host runs on every received payload:
// each scaled-value row, the status fields, the two text fields and DM1.
//
//   build/bench/decoders_bench [--benchmark_min_time=0.2]
#include "j1939_stack.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>

namespace {

const uint8_t kFrame[8] = {0x5A, 0x20, 0x4E, 0x51, 0x1F, 0x00, 0x05, 0x7D};

void BM_ScaledValue(benchmark::State &state) {
    const auto pgn = static_cast<unsigned long>(state.range(0));
    double value = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
        benchmark::DoNotOptimize(decode_without_xml(kFrame, 8, pgn, &value));
        benchmark::DoNotOptimize(value);
    }
}
// The first and the last row of the table, and a PGN without one.
BENCHMARK(BM_ScaledValue)->Arg(61443)->Arg(65276)->Arg(65226);

void BM_CruiseControlSwitches(benchmark::State &state) {
    int clutch = 0, brake = 0, cruise = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
        benchmark::DoNotOptimize(j1939_get_clutch_cruice_cntrl_brake_switch_state(
            kFrame, 8, 65265, &clutch, &brake, &cruise));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CruiseControlSwitches);

void BM_TachographStates(benchmark::State &state) {
    int a = 0, b = 0, c = 0, d = 0, e = 0, f = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
        benchmark::DoNotOptimize(j1939_get_driver_working_state(kFrame, 8, &a, &b));
        benchmark::DoNotOptimize(j1939_get_driver_card_state(kFrame, 8, &c, &d));
        benchmark::DoNotOptimize(j1939_get_driver_rel_state(kFrame, 8, &e, &f));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TachographStates);

void BM_DriverIds(benchmark::State &state) {
    const uint8_t payload[] = "DRIVER-CARD-0001*DRIVER-CARD-0002*";
    char driver1[256], driver2[256];
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
        benchmark::DoNotOptimize(
            j1939_tacho_get_drivers_id(payload, sizeof payload - 1, driver1, driver2));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DriverIds);

void BM_Dm1(benchmark::State &state) {
    const uint8_t payload[8] = {0x55, 0xFF, 0xBE, 0x00, 0x04, 0x01, 0xFF, 0xFF};
    dtc_dat dtc{};
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
        benchmark::DoNotOptimize(decode_dtc(65226, payload, 8, &dtc));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Dm1);

} // namespace

BENCHMARK_MAIN();
