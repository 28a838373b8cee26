// SPDX-License-Identifier: MIT
// The static SVG chart: see svg_plot.h.
#include "svg_plot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <fmt/format.h>
#include <string_view>

namespace vehcan::report {

namespace {

constexpr std::array<std::string_view, 8> kPalette{"#1f6fb4", "#d9541e", "#2a9d4b", "#8e44ad",
                                                   "#c0392b", "#16a0a8", "#b8860b", "#5d6d7e"};
constexpr int kLeft = 76;
constexpr int kRight = 24;
constexpr int kTop = 34;      // the title
constexpr int kLegend = 24;   // a panel's legend line
constexpr int kPanelGap = 14; // below a panel's plot
constexpr int kBottom = 46;   // the time axis' labels

std::string escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// A tick's text with the decimals its step needs: 1500, 0.25, 12.5.
std::string tick_text(double value, double step) {
    const int decimals = std::clamp(static_cast<int>(-std::floor(std::log10(step) + 1e-9)), 0, 6);
    std::string s = fmt::format("{:.{}f}", value, decimals);
    return s.find_first_not_of("-0.") == std::string::npos ? "0" : s;
}

std::string coordinate(double v) {
    std::string s = fmt::format("{:.1f}", v);
    return s == "-0.0" ? "0.0" : s;
}

struct Panel {
    std::string unit;
    bool state = false;
    std::vector<size_t> series;
};

struct Frame {
    double x0, x1, y0, y1; // the plot area in pixels, y0 at the top
    double t0, t1;         // seconds on the time axis
    double v0, v1;         // values at the bottom and the top
    double x(double t) const { return x0 + (t - t0) / (t1 - t0) * (x1 - x0); }
    double y(double v) const { return y1 - (v - v0) / (v1 - v0) * (y1 - y0); }
};

std::string series_path(const PlotSeries &s, const Frame &f, int64_t t0_us, int64_t t1_us) {
    const auto buckets = static_cast<size_t>(std::max(1.0, 2 * (f.x1 - f.x0)));
    const std::vector<Point> points = reduce_min_max(s.points, t0_us, t1_us, buckets);
    std::string d;
    bool pen_down = false;
    for (const Point &p : points) {
        if (std::isnan(p.v)) {
            pen_down = false;
            continue;
        }
        const std::string x = coordinate(f.x(static_cast<double>(p.t_us) / 1e6));
        const std::string y = coordinate(f.y(p.v));
        if (!pen_down) {
            d += fmt::format("{}M{} {}", d.empty() ? "" : " ", x, y);
            pen_down = true;
        } else if (s.state) {
            d += fmt::format(" H{} V{}", x, y);
        } else {
            d += fmt::format(" L{} {}", x, y);
        }
    }
    return d;
}

} // namespace

std::vector<double> nice_ticks(double low, double high, int target) {
    double span = high - low;
    if (!(span > 0)) {
        span = std::max(std::fabs(low), 1.0);
    }
    const double raw = span / std::max(target, 1);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double norm = raw / magnitude;
    const double step = (norm < 1.5 ? 1 : norm < 3.5 ? 2 : norm < 7.5 ? 5 : 10) * magnitude;
    std::vector<double> ticks;
    for (double k = std::ceil(low / step - 1e-9); k * step <= high + step * 1e-9; k += 1) {
        const double v = k * step;
        ticks.push_back(v == 0 ? 0.0 : v); // no -0
    }
    return ticks;
}

std::string svg_plot(std::span<const PlotSeries> series, int64_t t0_us, int64_t t1_us,
                     const PlotSettings &settings) {
    std::vector<Panel> panels;
    for (size_t i = 0; i < series.size(); ++i) {
        const PlotSeries &s = series[i];
        auto it = std::find_if(panels.begin(), panels.end(), [&](const Panel &p) {
            return !s.state && !p.state && p.unit == s.unit;
        });
        if (it == panels.end()) {
            panels.push_back({s.unit, s.state, {}});
            it = panels.end() - 1;
        }
        it->series.push_back(i);
    }
    const int width = settings.width;
    const int height = kTop + static_cast<int>(panels.size()) * settings.panel_height + kBottom;
    if (t1_us <= t0_us) {
        t1_us = t0_us + 1000000; // one sample, or none: a second's axis
    }
    const double t0 = static_cast<double>(t0_us) / 1e6;
    const double t1 = static_cast<double>(t1_us) / 1e6;
    const std::vector<double> time_ticks = nice_ticks(t0, t1, std::max(2, (width - kLeft) / 110));

    std::string svg =
        fmt::format("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"{1}\" "
                    "viewBox=\"0 0 {0} {1}\" font-family=\"DejaVu Sans, Arial, sans-serif\" "
                    "font-size=\"12\">\n"
                    "<title>{2}</title>\n"
                    "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
                    "<text class=\"title\" x=\"{3}\" y=\"22\" font-size=\"15\" "
                    "font-weight=\"bold\">{2}</text>\n",
                    width, height, escaped(settings.title), kLeft);

    size_t color = 0;
    for (size_t p = 0; p < panels.size(); ++p) {
        const Panel &panel = panels[p];
        const int top = kTop + static_cast<int>(p) * settings.panel_height;
        Frame f{};
        f.x0 = kLeft;
        f.x1 = width - kRight;
        f.y0 = top + kLegend;
        f.y1 = top + settings.panel_height - kPanelGap;
        f.t0 = t0;
        f.t1 = t1;

        // The value axis: the states seen, or round numbers around the data.
        std::vector<double> ticks;
        std::vector<std::string> tick_labels;
        double low = INFINITY;
        double high = -INFINITY;
        for (size_t i : panel.series) {
            for (const Point &pt : series[i].points) {
                if (!std::isnan(pt.v)) {
                    low = std::min(low, pt.v);
                    high = std::max(high, pt.v);
                }
            }
        }
        if (!std::isfinite(low)) {
            low = 0;
            high = 1;
        }
        if (panel.state) {
            const PlotSeries &s = series[panel.series.front()];
            for (const auto &[value, text] : s.states) {
                ticks.push_back(static_cast<double>(value));
                tick_labels.push_back(text);
            }
            f.v0 = low - 0.5;
            f.v1 = high + 0.5;
        } else {
            if (high - low < 1e-12) {
                const double pad = std::max(std::fabs(low) * 0.05, 1.0);
                low -= pad;
                high += pad;
            }
            ticks = nice_ticks(low, high, 5);
            const double step = ticks.size() >= 2 ? ticks[1] - ticks[0] : 1.0;
            f.v0 = std::min(low, std::floor(low / step) * step);
            f.v1 = std::max(high, std::ceil(high / step) * step);
            ticks = nice_ticks(f.v0, f.v1, 5);
            for (double t : ticks) {
                tick_labels.push_back(tick_text(t, step));
            }
        }

        svg += fmt::format("<g class=\"panel\" data-unit=\"{}\">\n", escaped(panel.unit));
        // legend
        svg += "<g class=\"legend\">\n";
        double lx = kLeft;
        for (size_t k = 0; k < panel.series.size(); ++k) {
            const PlotSeries &s = series[panel.series[k]];
            const std::string_view c = kPalette[(color + k) % kPalette.size()];
            svg += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"10\" height=\"10\" fill=\"{}\"/>"
                               "<text class=\"label\" x=\"{}\" y=\"{}\">{}</text>\n",
                               coordinate(lx), top + 7, c, coordinate(lx + 14), top + 16,
                               escaped(s.label));
            lx += 14 + 7.2 * static_cast<double>(s.label.size()) + 18;
        }
        svg += "</g>\n";
        // grid and axes
        svg += "<g class=\"grid\" stroke=\"#e3e7eb\" stroke-width=\"1\">\n";
        for (double t : time_ticks) {
            svg += fmt::format("<line x1=\"{0}\" y1=\"{1}\" x2=\"{0}\" y2=\"{2}\"/>\n",
                               coordinate(f.x(t)), coordinate(f.y0), coordinate(f.y1));
        }
        for (double v : ticks) {
            svg += fmt::format("<line x1=\"{1}\" y1=\"{0}\" x2=\"{2}\" y2=\"{0}\"/>\n",
                               coordinate(f.y(v)), coordinate(f.x0), coordinate(f.x1));
        }
        svg += "</g>\n";
        svg += fmt::format("<g class=\"axis y\">\n<line x1=\"{0}\" y1=\"{1}\" x2=\"{0}\" "
                           "y2=\"{2}\" stroke=\"#3a4550\"/>\n",
                           coordinate(f.x0), coordinate(f.y0), coordinate(f.y1));
        for (size_t k = 0; k < ticks.size(); ++k) {
            svg += fmt::format("<text class=\"tick\" x=\"{}\" y=\"{}\" text-anchor=\"end\">{}"
                               "</text>\n",
                               coordinate(f.x0 - 6), coordinate(f.y(ticks[k]) + 4),
                               escaped(tick_labels[k]));
        }
        if (!panel.unit.empty()) {
            const double cy = (f.y0 + f.y1) / 2;
            svg += fmt::format("<text class=\"unit\" x=\"14\" y=\"{0}\" text-anchor=\"middle\" "
                               "transform=\"rotate(-90 14 {0})\">{1}</text>\n",
                               coordinate(cy), escaped(panel.unit));
        }
        svg += "</g>\n";
        svg += fmt::format("<g class=\"axis x\">\n<line x1=\"{0}\" y1=\"{2}\" x2=\"{1}\" "
                           "y2=\"{2}\" stroke=\"#3a4550\"/>\n",
                           coordinate(f.x0), coordinate(f.x1), coordinate(f.y1));
        const bool last = p + 1 == panels.size();
        for (double t : time_ticks) {
            svg += fmt::format("<line x1=\"{0}\" y1=\"{1}\" x2=\"{0}\" y2=\"{2}\" "
                               "stroke=\"#3a4550\"/>\n",
                               coordinate(f.x(t)), coordinate(f.y1), coordinate(f.y1 + 4));
            if (last) {
                const double step = time_ticks.size() >= 2 ? time_ticks[1] - time_ticks[0] : 1.0;
                svg += fmt::format("<text class=\"tick\" x=\"{}\" y=\"{}\" "
                                   "text-anchor=\"middle\">{}</text>\n",
                                   coordinate(f.x(t)), coordinate(f.y1 + 17), tick_text(t, step));
            }
        }
        svg += "</g>\n";
        // series
        for (size_t k = 0; k < panel.series.size(); ++k) {
            const PlotSeries &s = series[panel.series[k]];
            svg += fmt::format("<path class=\"series\" fill=\"none\" stroke=\"{}\" "
                               "stroke-width=\"1.5\" stroke-linejoin=\"round\" d=\"{}\">"
                               "<title>{}</title></path>\n",
                               kPalette[(color + k) % kPalette.size()],
                               series_path(s, f, t0_us, t1_us), escaped(s.label));
        }
        color += panel.series.size();
        svg += "</g>\n";
    }
    svg += fmt::format("<text class=\"axis-label\" x=\"{}\" y=\"{}\" text-anchor=\"middle\">"
                       "time since the first frame (s)</text>\n</svg>\n",
                       coordinate((kLeft + width - kRight) / 2.0), height - 8);
    return svg;
}

} // namespace vehcan::report
