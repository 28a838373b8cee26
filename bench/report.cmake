# SPDX-License-Identifier: MIT
# The report's figures: bench/report_bench.py, run by scripts/bench.sh, times
# vehcan replay --report and the pages opening in headless chromium. It needs
# vehcan and the drive generator of tests/report.cmake built first.
if(TARGET vehcan-cli AND VEHCAN_BUILD_TESTS)
  add_custom_target(report_bench_inputs)
  add_dependencies(report_bench_inputs vehcan-cli vehcan_drive_capture)
endif()
