// SPDX-License-Identifier: MIT
// The self-contained page: see page.h.
#include "page.h"

#include "page_files.h"

#include <failure.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <fmt/format.h>
#include <fstream>
#include <sstream>
#include <system_error>

namespace vehcan::report {

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw Failure(kExitInternal,
                      fmt::format("the report's charting library is missing: cannot read {}: {} "
                                  "(install Debian's libjs-dygraphs)",
                                  path, std::generic_category().message(errno)));
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Drops the lines that point a browser at a source map.
std::string without_source_maps(std::string text) {
    for (std::string_view marker : {"//# sourceMappingURL=", "/*# sourceMappingURL="}) {
        for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at)) {
            const size_t end = text.find('\n', at);
            text.erase(at, end == std::string::npos ? std::string::npos : end - at);
        }
    }
    return text;
}

// "</script" ends a <script> element wherever it stands in it, and
// "</style" a <style> element; "<\/script" is the same text inside a
// script's strings and regular expressions. Any other "</" (a regular
// expression /</g) is left as it is.
std::string escape_element_end(std::string_view text, std::string_view element) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] != '<' || i + 1 + element.size() >= text.size() || text[i + 1] != '/') {
            continue;
        }
        bool match = true;
        for (size_t k = 0; k < element.size() && match; ++k) {
            match = std::tolower(static_cast<unsigned char>(text[i + 2 + k])) == element[k];
        }
        if (match) {
            out += '\\';
        }
    }
    return out;
}

std::string escape_data(const std::string &json) {
    std::string out;
    out.reserve(json.size());
    for (char c : json) {
        if (c == '<') {
            out += "\\u003c";
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

std::string_view default_library_dir() {
    return VEHCAN_DYGRAPHS_DIR;
}

ChartingLibrary load_charting_library(std::string_view dir) {
    const std::string base(dir);
    return {without_source_maps(read_file(base + "/dygraph.min.js")),
            without_source_maps(read_file(base + "/dygraph.min.css"))};
}

std::string_view page_template() {
    return {kPageTemplate, kPageTemplateSize};
}

std::string_view page_script() {
    return {kPageScript, kPageScriptSize};
}

std::string_view page_style() {
    return {kPageStyle, kPageStyleSize};
}

std::string render_page(const nlohmann::json &data, const ChartingLibrary &library) {
    const std::string block =
        escape_data(data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    const std::string library_script = escape_element_end(library.script, "script");
    const std::string library_style = escape_element_end(library.style, "style");
    const std::string script = escape_element_end(page_script(), "script");
    const std::string style = escape_element_end(page_style(), "style");
    const std::array<std::pair<std::string_view, std::string_view>, 5> parts{{
        {"@VEHCAN_LIBRARY_STYLE@", library_style},
        {"@VEHCAN_STYLE@", style},
        {"@VEHCAN_LIBRARY@", library_script},
        {"@VEHCAN_DATA@", block},
        {"@VEHCAN_SCRIPT@", script},
    }};
    // One pass in the template's order: nothing inserted is searched again.
    const std::string_view tpl = page_template();
    std::string page;
    page.reserve(tpl.size() + block.size() + library_script.size() + script.size() + 4096);
    size_t at = 0;
    while (at < tpl.size()) {
        size_t next = std::string_view::npos;
        const std::pair<std::string_view, std::string_view> *hit = nullptr;
        for (const auto &p : parts) {
            const size_t found = tpl.find(p.first, at);
            if (found < next) {
                next = found;
                hit = &p;
            }
        }
        if (hit == nullptr) {
            page.append(tpl.substr(at));
            break;
        }
        page.append(tpl.substr(at, next - at));
        page.append(hit->second);
        at = next + hit->first.size();
    }
    return page;
}

} // namespace vehcan::report
