// SPDX-License-Identifier: MIT
// The report page: the template, style sheet and script of page/ (built
// into the program), the charting library read from its Debian package at
// run time, and a data block, made into one HTML file that needs nothing
// else: no network, no other file.
#ifndef VEHCAN_REPORT_PAGE_H
#define VEHCAN_REPORT_PAGE_H

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace vehcan::report {

// dygraphs, as Debian's libjs-dygraphs installs it (the vehcan package
// depends on it). The build may point elsewhere (VEHCAN_DYGRAPHS_DIR).
std::string_view default_library_dir();

struct ChartingLibrary {
    std::string script; // dygraph.min.js
    std::string style;  // dygraph.min.css
};

// Reads the library from dir, without its source-map comments (a browser
// would fetch the map from the network when its developer tools open).
// Throws Failure(kExitInternal) naming the file and the package when a
// file cannot be read.
ChartingLibrary load_charting_library(std::string_view dir);

// The page's files as built into the program.
std::string_view page_template();
std::string_view page_script();
std::string_view page_style();

// The page: the template with its five markers replaced. Text that would
// end its <script> or <style> element early is escaped: "</script" in a
// script as "<\/script" (the same text in a string or a regular
// expression), and every "<" of the data as \u003c (JSON allows it in
// strings, the only place a "<" can stand).
std::string render_page(const nlohmann::json &data, const ChartingLibrary &library);

} // namespace vehcan::report

#endif
