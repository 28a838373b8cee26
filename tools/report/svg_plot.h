// SPDX-License-Identifier: MIT
// A static chart of a few signals as SVG, written here without a library:
// one panel per unit (a state signal gets a panel of its own, drawn as
// steps and labelled with its states' texts), all on one time axis, with
// axes, ticks, grid lines, a title and a legend. Long series are reduced
// to two points per horizontal pixel, keeping each stretch's minimum and
// maximum (reduce.h).
#ifndef VEHCAN_REPORT_SVG_PLOT_H
#define VEHCAN_REPORT_SVG_PLOT_H

#include "reduce.h"

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace vehcan::report {

struct PlotSeries {
    std::string label; // "engine speed (SPN 190, EEC1 from 0x00)"
    std::string unit;  // "" for none
    bool state = false;
    std::map<long, std::string> states; // a state signal's texts
    std::vector<Point> points;
};

struct PlotSettings {
    std::string title;
    int width = 960;
    int panel_height = 220;
};

// The SVG document, over [t0_us, t1_us] (microseconds since the capture's
// first frame). Panels come in the order their units first appear.
std::string svg_plot(std::span<const PlotSeries> series, int64_t t0_us, int64_t t1_us,
                     const PlotSettings &settings);

// About `target` round tick values (1, 2 or 5 times a power of ten apart)
// covering [low, high], as the axes use them.
std::vector<double> nice_ticks(double low, double high, int target);

} // namespace vehcan::report

#endif
