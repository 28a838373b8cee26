// SPDX-License-Identifier: MIT
// Drawing and keys of the live view.
#include "live_view.h"
#include "bus_session.h"
#include "bus_tap.h"
#include "common.h"
#include "live_table.h"
#include "our_address.h"
#include "timestamp.h"
#include "uplink_feed.h"

#include <j1939_stack.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <clocale>
#include <curses.h>
#include <fmt/format.h>
#include <mqueue.h>
#include <optional>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace vehcan::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedrawEvery = std::chrono::milliseconds(100); // at most 10 times a second
constexpr int kIdleWaitMs = 20;
// Keys and redraws never wait long for a busy bus.
constexpr auto kLongestPass = std::chrono::milliseconds(50);
// The tap's thread reads its copy of a message about when the stack's does.
constexpr auto kTapPatience = std::chrono::milliseconds(20);
constexpr int kHeaderLines = 4;
constexpr int kEscape = 27;

bool record_waiting(mqd_t queue) {
    mq_attr a{};
    return mq_getattr(queue, &a) == 0 && a.mq_curmsgs > 0;
}

// ---- screen ------------------------------------------------------------------------

// The terminal, taken over on vehcan's own output stream (standard output
// itself carries the library's prints to /dev/null) and given back at the
// end, also when a failure unwinds.
class Screen {
  public:
    explicit Screen(FILE *output) {
        // The values' "°C" and the like. No other thread of vehcan or the
        // stack reads the locale.
        (void)std::setlocale(LC_ALL, ""); // NOLINT(concurrency-mt-unsafe)
        screen_ = newterm(nullptr, output, stdin);
        if (screen_ == nullptr) {
            throw Failure(kExitInternal, "cannot set up the terminal (is TERM set?)");
        }
        cbreak(); // Ctrl-C still interrupts
        noecho();
        keypad(stdscr, TRUE);
        nodelay(stdscr, TRUE);
        curs_set(0);
    }
    ~Screen() { close(); }
    Screen(const Screen &) = delete;
    Screen &operator=(const Screen &) = delete;
    void close() {
        if (screen_ != nullptr) {
            endwin();
            delscreen(screen_);
            screen_ = nullptr;
        }
    }

  private:
    SCREEN *screen_ = nullptr;
};

void put_line(int y, const std::string &text, bool highlight = false) {
    if (y < 0 || y >= LINES) {
        return;
    }
    if (highlight) {
        attron(A_REVERSE);
    }
    mvaddnstr(y, 0, text.c_str(), COLS); // a narrow terminal cuts the line
    if (highlight) {
        // the bar spans the width
        for (int x = getcurx(stdscr); x < COLS && getcury(stdscr) == y; ++x) {
            addch(' ');
        }
        attroff(A_REVERSE);
    }
}

std::string sender_text(int sender) {
    return sender == kUnknownSender ? "--" : fmt::format("{:02X}", sender);
}

std::string lamps_line(const LiveTable &t) {
    std::string s = "lamps:";
    bool any = false;
    for (const auto &[sender, diag] : t.diagnoses()) {
        const Lamps &l = diag.lamps;
        s += fmt::format("{} 0x{} MIL {}, red stop {}, amber warning {}, protect {}",
                         any ? "  |" : "", sender_text(sender), lamp_text(l.malfunction),
                         lamp_text(l.red_stop), lamp_text(l.amber_warning), lamp_text(l.protect));
        any = true;
    }
    return any ? s : s + " no DM1 yet";
}

std::vector<std::string> trouble_lines(const LiveTable &t) {
    std::vector<std::string> lines;
    for (const auto &[sender, diag] : t.diagnoses()) {
        for (const TroubleCode &c : diag.codes) {
            lines.push_back(
                fmt::format("  0x{}  SPN {} FMI {}, {} occurrence{}{}{}: {}", sender_text(sender),
                            c.spn, c.fmi, c.occurrences, c.occurrences == 1 ? "" : "s",
                            c.description.empty() ? "" : ": ", c.description, fmi_text(c.fmi)));
        }
    }
    return lines;
}

struct ViewState {
    bool paused = false;
    bool editing = false; // typing a filter
    int scroll = 0;
};

void draw(const LiveTable &t, const ViewState &v, int bit_rate, double now) {
    erase();
    put_line(0, fmt::format("vehcan monitor  can0 {} bit/s  {:.0f} msg/s  {} messages  VIN {}",
                            bit_rate, t.bus_rate(now), t.messages(),
                            t.vin().empty() ? "not yet known" : t.vin()));
    put_line(1, lamps_line(t));
    const std::vector<const LiveRow *> rows = t.view(now);
    std::vector<std::string> codes = trouble_lines(t);
    if (codes.empty()) {
        codes.emplace_back("  none");
    }
    // The trouble codes keep at most a third of the screen.
    const int code_lines = std::min<int>(static_cast<int>(codes.size()), std::max(1, LINES / 3));
    const int table_lines = std::max(1, LINES - kHeaderLines - 1 - code_lines - 1);
    const int last_start = std::max(0, static_cast<int>(rows.size()) - table_lines);
    const int first = std::clamp(v.scroll, 0, last_start);
    const int shown_to = std::min(static_cast<int>(rows.size()), first + table_lines);
    put_line(2, fmt::format("sort: {}  filter: {}{}  rows {}-{} of {}{}", sort_key_name(t.sort()),
                            t.filter().empty() ? "-" : t.filter(), v.editing ? "_" : "",
                            rows.empty() ? 0 : first + 1, shown_to, rows.size(),
                            v.paused ? "  [paused]" : ""));
    put_line(3,
             fmt::format("{:>6} {:<6} {:<26} {:>2} {:>7} {:>6} {:>5}  {}", "PGN", "", "name", "SA",
                         "count", "rate/s", "age s", "values"),
             true);
    int y = kHeaderLines;
    for (int i = first; i < shown_to; ++i, ++y) {
        const LiveRow &r = *rows[static_cast<size_t>(i)];
        put_line(y, fmt::format("{:>6} {:<6} {:<26.26} {:>2} {:>7} {:>6.1f} {:>5.1f}  {}", r.pgn,
                                r.acronym, r.name, sender_text(r.sender), r.count, t.rate(r, now),
                                LiveTable::age(r, now), r.values));
    }
    y = kHeaderLines + table_lines;
    put_line(y++, "active trouble codes (DM1)", true);
    for (int i = 0; i < code_lines; ++i) {
        put_line(y++, codes[static_cast<size_t>(i)]);
    }
    put_line(LINES - 1, v.editing ? "filter by PGN or name: type, Enter keeps it, Esc clears it"
                                  : "q quit  p pause  s sort  / filter  arrows scroll");
    refresh();
}

// One key. Returns false for q.
bool handle_key(int key, LiveTable &t, ViewState &v) {
    if (v.editing) {
        std::string f = t.filter();
        if (key == '\n' || key == '\r' || key == KEY_ENTER) {
            v.editing = false;
        } else if (key == kEscape) {
            f.clear();
            v.editing = false;
        } else if (key == KEY_BACKSPACE || key == 127 || key == '\b') {
            if (!f.empty()) {
                f.pop_back();
            }
        } else if (key >= ' ' && key < 127) {
            f += static_cast<char>(key);
        }
        t.set_filter(f);
        v.scroll = 0;
        return true;
    }
    const int page = std::max(1, LINES - kHeaderLines - 4);
    switch (key) {
    case 'q':
    case 'Q':
        return false;
    case 'p':
        v.paused = !v.paused;
        break;
    case 's':
        t.next_sort();
        break;
    case '/':
        v.editing = true;
        break;
    case KEY_UP:
        v.scroll = std::max(0, v.scroll - 1);
        break;
    case KEY_DOWN:
        ++v.scroll;
        break;
    case KEY_PPAGE:
        v.scroll = std::max(0, v.scroll - page);
        break;
    case KEY_NPAGE:
        v.scroll += page;
        break;
    case KEY_HOME:
        v.scroll = 0;
        break;
    default:
        break;
    }
    // Scrolling past the end stops at the last row.
    v.scroll = std::min(v.scroll, static_cast<int>(t.size()));
    return true;
}

} // namespace

bool live_view_wanted(const MonitorOptions &o) {
    return !o.json && !o.log && !o.quiet && isatty(fileno(out())) != 0;
}

int run_live_monitor(const MonitorOptions &o, const Database *db, Uplink *uplink) {
    const AddressPlan plan = plan_address(o.claim);
    catch_interrupts();
    // Who sent what: the stack's records do not say. The tap listens from
    // before the stack's first record on.
    std::optional<BusTap> tap;
    const int bit_rate = bring_up([&] { tap.emplace(); });
    std::optional<OurAddress> address;
    claim_on_live_bus(address, plan);
    // The defence's reports would tear the screen: they wait for its end.
    address->hold_reports(true);
    const auto start = Clock::now();
    auto seconds_since_start = [&] {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    if (uplink != nullptr) {
        uplink->online({{"bitrate", bit_rate}});
    }
    LiveTable table;
    ViewState view;
    Screen screen(out());

    // The VIN as in the line log: asked of all nodes until one answers.
    int vin_requests = 0;
    bool vin_done = false;
    Clock::time_point vin_asked{};
    Clock::time_point last_draw{};
    bool dirty = true;
    bool quit = false;
    std::array<uint8_t, 256> buf{};
    auto take = [&](uint32_t pgn, int len) {
        const int64_t received_us = unix_now_us();
        const auto size = static_cast<size_t>(len);
        const auto known = tap->sender_of_latest(pgn, buf.data(), size, kTapPatience);
        const int sender = known ? *known : kUnknownSender;
        const double now = seconds_since_start();
        LazyDecoded message(pgn, buf.data(), size, db);
        if (table.count(sender, pgn, buf.data(), size, now)) {
            table.set_values(sender, message.get(), buf.data(), size, now);
        }
        if (uplink != nullptr && uplink->compact()) {
            feed_compact(*uplink, message.get(), buf.data(), size, received_us, sender, now);
        } else if (uplink != nullptr) {
            const auto us =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
            nlohmann::json j = monitor_json(message.get(), now, size);
            stamp_message(j, received_us, uplink->next_seq());
            uplink->message(us.count(), sender, pgn, j);
        }
        vin_done = vin_done || pgn == kPgnVehicleIdentification;
        dirty = true;
    };
    while (!g_stop.load() && !quit) {
        if (o.duration > 0 && seconds_since_start() >= o.duration) {
            break;
        }
        if (uplink != nullptr && !uplink->refused().empty()) {
            break;
        }
        if (!vin_done && vin_requests < kVinRequests &&
            (vin_requests == 0 || Clock::now() - vin_asked >= kVinRetry)) {
            if (const auto from = address->source()) {
                j1939_send_request_message(kPgnVehicleIdentification, *from, 0xFF);
                vin_asked = Clock::now();
                ++vin_requests;
            } else if (address->lost()) {
                vin_done = true; // nothing may be sent
            }
        }
        if (!vin_done && record_waiting(req_resp_mq)) {
            int len = 0;
            if (j1939_recv_request_response(buf.data(), &len, kPgnVehicleIdentification) == 0 &&
                len > 0) {
                take(kPgnVehicleIdentification, len);
            }
        }
        int taken = 0;
        const auto pass_end = Clock::now() + kLongestPass;
        while (Clock::now() < pass_end && record_waiting(bc_mq)) {
            int len = 0;
            unsigned long pgn = 0;
            if (j1939_recv_broadcast_response(buf.data(), &len, &pgn) != 0 || len < 0) {
                break;
            }
            take(static_cast<uint32_t>(pgn), len);
            ++taken;
        }
        for (int key = getch(); key != ERR; key = getch()) {
            if (key == KEY_RESIZE) {
                dirty = true;
                last_draw = {}; // draw the new size at once
                continue;
            }
            quit = !handle_key(key, table, view);
            last_draw = {};
            dirty = true;
            if (quit) {
                break;
            }
        }
        const auto now = Clock::now();
        if (!quit && dirty && now - last_draw >= kRedrawEvery &&
            (!view.paused || last_draw == Clock::time_point{})) {
            draw(table, view, bit_rate, seconds_since_start());
            last_draw = now;
            dirty = false;
        }
        if (taken == 0) {
            pollfd keys{STDIN_FILENO, POLLIN, 0};
            (void)poll(&keys, 1, kIdleWaitMs);
        }
    }
    screen.close();
    address->hold_reports(false);
    address->flush_reports();
    address.reset();
    const int rc = j1939_can_deinit();
    fmt::print(stderr, "monitor ended after {:.1f} s: {} messages of {} PGNs and senders{}{}\n",
               seconds_since_start(), table.messages(), table.size(), quit ? " (q)" : "",
               rc == 0 ? "" : fmt::format(" (tear-down reported {})", rc));
    if (uplink != nullptr) {
        finish_uplink(*uplink, Clock::now() + kUplinkFlushTime);
    }
    return kExitOk;
}

} // namespace vehcan::cli
