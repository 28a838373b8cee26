// SPDX-License-Identifier: MIT
// Fuzzes the parsers of the diagnostic messages (tools/diag/dm_layouts.h):
// trouble codes in both conversion methods, code lists, freeze frames,
// readiness, DM24 with the DM25 it lays out, values and the
// acknowledgement. Every payload lies in a buffer of exactly its own size,
// so a read beyond it is an AddressSanitizer report.
//
// The JSON built from the parsed values is left out: under the sanitizers
// it costs a hundred times the parsing and would hold the run far below a
// million inputs, and its texts are the tables' and hexadecimal digits.
//
// Checked: a trouble code's four bytes come back from encode_trouble_code()
// as they were when read by their own CM bit; fields stay in their ranges;
// nothing parsed claims more bytes than the payload holds.
#include "byte_cursor.h"
#include "invariant.h"

#include <dm_layouts.h>

#include <algorithm>
#include <cstring>

using namespace vehcan::diag;

namespace {

constexpr size_t kLongestInput = 300;

SpnConversion conversion_of(uint8_t b) {
    switch (b % 3) {
    case 1:
        return SpnConversion::version4;
    case 2:
        return SpnConversion::legacy;
    default:
        return SpnConversion::automatic;
    }
}

void check_code(const TroubleCode &c) {
    check(c.spn <= kMaxSpn, "SPN beyond 19 bits");
    check(c.fmi < 32, "FMI beyond 5 bits");
    check(c.occurrences < 128, "occurrence count beyond 7 bits");
}

void check_value(const SpnValue &v) {
    check(!(v.value && !v.state.empty()), "a value and a state at once");
}

// A copy of exactly the bytes, so that the allocation ends where they do.
Bytes exact(Bytes b) {
    b.shrink_to_fit();
    return b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Input: layout byte (mod 7), conversion byte (mod 3), then the payload;
    // for DM25 a length byte first splits off the DM24 that lays it out.
    // Beyond 300 bytes nothing new happens (a freeze frame's length is one
    // byte; a longer code list repeats the same four bytes' reading), and
    // longer inputs would only slow the run down.
    ByteCursor in(data, std::min<size_t>(size, kLongestInput));
    const int layout = in.u8() % 7;
    const SpnConversion method = conversion_of(in.u8());
    switch (layout) {
    case 0: {
        const Bytes four = exact(in.bytes(4));
        if (four.size() < 4) {
            break;
        }
        const TroubleCode c = parse_trouble_code(four.data(), SpnConversion::automatic);
        check_code(c);
        check(c.legacy == c.cm_bit, "automatic conversion follows the CM bit");
        const auto back = encode_trouble_code(c);
        check(std::memcmp(back.data(), four.data(), 4) == 0, "code bytes do not round-trip");
        check_code(parse_trouble_code(four.data(), method));
        break;
    }
    case 1: {
        const Bytes payload = exact(in.rest());
        const TroubleCodeList l = parse_trouble_code_list(payload, method);
        check(payload.size() < 2 || l.codes.size() <= (payload.size() - 2) / 4, "codes counted");
        for (const TroubleCode &c : l.codes) {
            check_code(c);
            check(c.spn != 0 || c.fmi != 0, "'no code' listed as a code");
        }
        break;
    }
    case 2: {
        const Bytes payload = exact(in.rest());
        const FreezeFrames f = parse_freeze_frames(payload, method);
        size_t claimed = 0;
        for (const FreezeFrame &frame : f.frames) {
            check_code(frame.code);
            check(frame.fields.size() <= 6, "more than the standard fields");
            claimed += 5 + frame.manufacturer.size();
            for (const SpnValue &v : frame.fields) {
                claimed += v.raw.size();
                check_value(v);
            }
        }
        check(claimed <= payload.size(), "freeze frames claim more than the payload");
        break;
    }
    case 3: {
        const Bytes payload = exact(in.rest());
        const auto r = parse_readiness(payload);
        check(r.has_value() == (payload.size() >= 8), "readiness from 8 bytes");
        if (r) {
            check(r->monitors.size() == 16, "every monitor listed");
            check(!r->active || *r->active <= 250, "active count in range");
        }
        break;
    }
    case 4: {
        const Bytes dm24 = exact(in.bytes(in.u8()));
        const Bytes dm25 = exact(in.rest());
        const SpnSupport support = parse_spn_support(dm24);
        check(support.spns.size() <= dm24.size() / 4, "SPNs counted");
        const ExpandedFreezeFrames f = parse_expanded_freeze_frames(
            dm25, &support, method, [](uint32_t spn) -> std::optional<SpnScaling> {
                if (spn % 2 == 0) {
                    return SpnScaling{"even", 0.5, -10.0, "u"};
                }
                return std::nullopt;
            });
        const auto in_freeze_frames =
            std::count_if(support.spns.begin(), support.spns.end(),
                          [](const SupportedSpn &s) { return s.expanded_freeze_frame; });
        size_t claimed = 0;
        for (const ExpandedFreezeFrame &frame : f.frames) {
            check_code(frame.code);
            check(frame.values.size() <= static_cast<size_t>(in_freeze_frames),
                  "values beyond DM24's freeze-frame SPNs");
            claimed += 5 + frame.manufacturer.size() + frame.undecoded.size();
            for (const SpnValue &v : frame.values) {
                claimed += v.raw.size();
                check_value(v);
            }
        }
        check(claimed <= dm25.size(), "expanded freeze frames claim more than the payload");
        const ExpandedFreezeFrames bare = parse_expanded_freeze_frames(dm25, nullptr, method, {});
        for (const ExpandedFreezeFrame &frame : bare.frames) {
            check(frame.values.empty(), "values without a DM24");
        }
        break;
    }
    case 5: {
        const Bytes payload = exact(in.rest());
        const auto a = parse_acknowledgement(payload);
        check(a.has_value() == (payload.size() >= 8), "acknowledgement from 8 bytes");
        check(!a || a->pgn <= 0xFFFFFF, "acknowledged PGN");
        break;
    }
    case 6: {
        const uint32_t spn = in.u32() % (kMaxSpn + 1);
        const Bytes raw = exact(in.bytes(in.u8() % 8));
        check_value(make_spn_value(spn, raw, known_scaling(spn)));
        check_value(make_spn_value(spn, raw, SpnScaling{"x", 1.0, 0.0, ""}));
        break;
    }
    default:
        break;
    }
    return 0;
}
