// SPDX-License-Identifier: MIT
// From decoded messages to the report: see report_feed.h.
#include "report_feed.h"

#include "identification.h"
#include "node_identity.h"

#include <fmt/format.h>
#include <vector>

namespace vehcan::cli {

namespace {

constexpr uint32_t kPgnAddressClaimed = 60928;
constexpr uint32_t kPgnDm1 = 65226;

void feed_identity(report::CaptureReport &report, const J1939Message &m, const Decoded &d) {
    if (m.pgn == kPgnAddressClaimed) {
        if (auto name = decode_name(m.data.data(), m.data.size())) {
            for (const auto &[label, value] : name_facts(*name)) {
                report.node_fact(m.source, label, value);
            }
        }
        return;
    }
    if (m.pgn == kPgnComponentIdentification || m.pgn == kPgnSoftwareIdentification ||
        m.pgn == kPgnEcuIdentification) {
        for (const IdentificationField &f :
             identification_fields(m.pgn, m.data.data(), m.data.size())) {
            report.node_fact(m.source, f.label, f.value);
        }
        return;
    }
    for (const Field &f : d.fields) {
        if (f.kind == Field::Kind::text) { // the VIN, the driver ids
            report.node_fact(m.source, f.name, f.text);
        }
    }
}

} // namespace

void feed_report(report::CaptureReport &report, const J1939Message &m, const Decoded &d) {
    if (!report.has_node(m.source)) {
        if (const std::string_view use = address_meaning(m.source); !use.empty()) {
            report.node_fact(m.source, "preferred use of the address", use);
        }
    }
    report.message(m.time_us, m.pgn, m.source, d.acronym, d.name);
    feed_identity(report, m, d);
    for (const Field &f : d.fields) {
        const report::SignalRef ref{m.pgn, m.source, f.spn, f.name, f.unit};
        switch (f.kind) {
        case Field::Kind::number:
            if (!f.integer) {
                report.number(m.time_us, ref, f.number);
            }
            break;
        case Field::Kind::not_available:
            report.not_available(m.time_us, ref);
            break;
        case Field::Kind::state:
            if (f.spn != 0) {
                report.state(m.time_us, ref, f.raw, f.text);
            }
            break;
        case Field::Kind::text:
            break;
        }
    }
    if (m.pgn == kPgnDm1 && d.lamps) {
        std::vector<report::ActiveCode> codes;
        for (const TroubleCode &c : d.codes) {
            codes.push_back({c.spn, c.fmi, c.occurrences, c.description, fmi_text(c.fmi)});
        }
        report.diagnostic(
            m.time_us, m.source,
            {d.lamps->malfunction, d.lamps->red_stop, d.lamps->amber_warning, d.lamps->protect},
            codes);
    }
}

} // namespace vehcan::cli
