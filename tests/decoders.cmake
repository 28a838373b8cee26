# SPDX-License-Identifier: MIT
# Built-in decoders and DM1 trouble codes: pure functions over payloads.
vehcan_add_gtest(decoder_tests SOURCES
  decoders_values_test.cpp
  decoders_status_test.cpp
  decoders_text_test.cpp
  decoders_dtc_test.cpp)
