# SPDX-License-Identifier: MIT
"""vehcan replay --report's pages in Debian's chromium, headless, one case a
run:

  browser_test.py CASE --vehcan PROGRAM --drive PROGRAM --work DIR

  example     examples/truck.log: the charts' series and counts are those of
              `vehcan replay --json`, its trouble code the replay summary's
  long_drive  20 minutes of vehcan_drive_capture: counts from its manifest;
              a zoom to a few seconds shows every sample of engine speed
  codes       400 s with codes that come and go: the timeline's bands and
              the lamps' are the manifest's; the nodes' NAMEs
  empty       a capture without a frame: the page says so
  bands       a page made by the Python assembler from a data block with
              tolerance bands: drawn as bands; and the example's data block
              makes the same page in Python as in vehcan
  fleet_example  vehcan-fleet report of the payloads the compact uplink
              makes of examples/truck.log: series and counts are the
              decoder's samples, bands drawn, steps as steps, every value
              within its band, the trouble code the capture's
  fleet_drive 20 minutes of vehcan-sim --road-log through the uplink, one
              batch taken out: the same, a lost stretch marked where the
              batch was, several levels of detail, the overheat's code band
              where the capture has it

Every page: no console error, a zoom by mouse moves every chart to the same
window, hovering shows values with units, a screenshot that is not blank.
The fleet cases also need --sim (vehcan-sim)."""

import argparse
import json
import os
import shlex
import subprocess
import sys
import time

from PIL import Image
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(TOP, "tools", "report", "page"))
FLEET = os.path.join(TOP, "tools", "vehcan-fleet")
sys.path.insert(0, FLEET)
sys.path.insert(0, os.path.join(TOP, "tests", "fleet_decoder"))

import assemble_page  # noqa: E402
from browser import Browser  # noqa: E402

failures = []
checks = 0


def check(condition, what):
    global checks
    checks += 1
    if not condition:
        failures.append(what)
        print("FAIL:", what, flush=True)


def run(args, allowed=(0,)):
    emulator = shlex.split(os.environ.get("VEHCAN_TEST_EMULATOR", ""))
    p = subprocess.run(emulator + args, capture_output=True, text=True)
    if p.returncode not in allowed:
        raise SystemExit(f"{args}: exit {p.returncode}\n{p.stderr}")
    return p


# ---- what every page must do ----------------------------------------------------------

def open_page(browser, path):
    browser.open(path)
    browser.wait_for("return window.vehcanReport && window.vehcanReport.ready")
    errors = [m for level, m in browser.console() if level in ("SEVERE", "ERROR")]
    check(not errors, f"{path}: console errors: {errors}")


def check_aligned(browser, name):
    """Every chart's plot area starts and ends at the same x: one moment is
    at one place on all of them."""
    areas = browser.run(
        "return window.vehcanReport.charts.map(c => { const a = c.graph.getArea();"
        " const r = c.graph.graphDiv.getBoundingClientRect(); return [r.left + a.x, a.w]; })")
    check(all(abs(x - areas[0][0]) < 1 and abs(w - areas[0][1]) < 1 for x, w in areas),
          f"{name}: the charts' plot areas differ: {areas}")


def page_data(browser):
    return browser.run("return window.vehcanReport.data")


def chart_ranges(browser):
    return browser.run("return window.vehcanReport.charts.map(c => c.graph.xAxisRange())")


def drag_zoom(browser, chart_index, start, end):
    """Drags the mouse across a chart of series from start to end (shares of
    the window it shows), as a person zooms in."""
    plot = browser.driver.find_elements(By.CSS_SELECTOR, "#charts .chart")[chart_index]
    browser.driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", plot)
    area = browser.run(
        "const c = window.vehcanReport.charts.filter(c => c.rows)[arguments[0]];"
        "return c.graph.getArea();", chart_index)
    # Offsets from the element's centre, as WebDriver counts them.
    width = plot.size["width"]
    height = plot.size["height"]
    y = area["y"] + area["h"] / 2 - height / 2
    x0 = area["x"] + area["w"] * start - width / 2
    x1 = area["x"] + area["w"] * end - width / 2
    (ActionChains(browser.driver)
     .move_to_element_with_offset(plot, int(x0), int(y))
     .click_and_hold()
     .move_by_offset(int((x1 - x0) / 2), 0)
     .move_by_offset(int(x1 - x0) - int((x1 - x0) / 2), 0)
     .release()
     .perform())
    time.sleep(0.4)  # the refinement waits 120 ms after the last change


def seconds_of(text):
    """ "12.345 s" or "1:02:03.4" (minutes and seconds below 60) in seconds,
    or None when it is neither."""
    text = text.strip()
    if text.endswith(" s"):
        return float(text[:-2])
    parts = text.split(":")
    if len(parts) != 3 or not (0 <= int(parts[1]) < 60 and 0 <= float(parts[2]) < 60):
        return None
    return int(parts[0]) * 3600 + int(parts[1]) * 60 + float(parts[2])


def check_zoom_together(browser, name, start=0.3, end=0.4):
    check_aligned(browser, name)
    before = chart_ranges(browser)
    full = browser.run("return window.vehcanReport.window")
    drag_zoom(browser, 0, start, end)
    after = chart_ranges(browser)
    check(len(after) == len(before) and len(after) >= 1, f"{name}: charts before and after")
    a, b = after[0]
    span = full[1] - full[0]
    check(abs(a - (full[0] + start * span)) < 0.02 * span
          and abs(b - (full[0] + end * span)) < 0.02 * span,
          f"{name}: zoomed to {after[0]}, not about {start}-{end} of {full}")
    for k, r in enumerate(after):
        check(abs(r[0] - a) < 1e-6 and abs(r[1] - b) < 1e-6,
              f"{name}: chart {k} shows {r}, the first {after[0]}")
    text = browser.driver.find_element(By.ID, "window-text").text
    check(text.startswith("showing"), f"{name}: the header says '{text}'")
    shown = [seconds_of(t) for t in text[len("showing "):].split(" (")[0].split(" to ")]
    check(len(shown) == 2 and None not in shown and abs(shown[0] - a) <= 0.051 + 1e-3 * (b - a)
          and abs(shown[1] - b) <= 0.051 + 1e-3 * (b - a),
          f"{name}: the header says '{text}', the charts show {a} to {b}")
    return a, b


def check_hover(browser, name, chart_index, unit):
    plot = browser.driver.find_elements(By.CSS_SELECTOR, "#charts .chart")[chart_index]
    browser.driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", plot)
    ActionChains(browser.driver).move_to_element(plot).perform()
    time.sleep(0.2)
    legend = browser.run(
        "return window.vehcanReport.charts.filter(c => c.rows)[arguments[0]]"
        ".box.querySelector('.chart-legend').textContent", chart_index)
    check(unit in legend and any(ch.isdigit() for ch in legend),
          f"{name}: hovering shows '{legend}', no value in {unit}")


def check_screenshot(browser, name, work, colors_at_least):
    browser.run("window.scrollTo(0, 0)")
    path = os.path.join(work, name + ".png")
    browser.full_screenshot(path)
    image = Image.open(path).convert("RGB")
    small = image.resize((image.width // 2, image.height // 2))
    pixels = list(small.getdata())
    inked = sum(1 for p in pixels if sum(p) < 600) / len(pixels)
    distinct = len(set(pixels))
    check(inked > 0.01, f"{name}: screenshot {path} is {inked:.4f} inked, blank")
    check(distinct >= colors_at_least, f"{name}: screenshot has {distinct} colours")
    # The charts' first colour (#1f6fb4) is drawn, in lines or bands.
    blue = sum(1 for p in pixels if abs(p[0] - 0x1F) < 40 and abs(p[1] - 0x6F) < 40
               and abs(p[2] - 0xB4) < 40)
    check(blue > 50, f"{name}: {blue} pixels of the charts' blue")
    print(f"{name}: screenshot {path}, {image.width}x{image.height}, "
          f"{inked:.3f} inked, {distinct} colours", flush=True)


def series_counts(data):
    return {(s["pgn"], s["source"], s["name"]): s["samples"] for s in data["series"]}


def make_page(args, capture, name, extra=(), status=(0,)):
    page = os.path.join(args.work, name + ".html")
    run([args.vehcan, "replay", capture, "--report", page, *extra], status)
    return page


# ---- the cases ------------------------------------------------------------------------

def case_example(args, browser):
    capture = os.path.join(TOP, "examples", "truck.log")
    page = make_page(args, capture, "example")
    # What the replay's own JSON says, message by message: numbers (not the
    # integers that name a PGN or a position), states with an SPN, and the
    # "not available" samples of those.
    samples = {}
    valued = set()
    codes = []
    for line in run([args.vehcan, "replay", capture, "--json"]).stdout.splitlines():
        j = json.loads(line)
        if "summary" in j:
            codes = j["summary"]["dtcs"]
            continue
        for v in j.get("values", []):
            key = (j["pgn"], j["source"], v["name"])
            has_value = isinstance(v.get("value"), float) or ("state" in v and "spn" in v)
            if has_value or ("value" in v and v["value"] is None):
                samples[key] = samples.get(key, 0) + 1
            if has_value:
                valued.add(key)
    expected = {k: n for k, n in samples.items() if k in valued}
    open_page(browser, page)
    data = page_data(browser)
    got = series_counts(data)
    check(got == expected, f"example: series {got} != replay's {expected}")
    legends = browser.run("return [...document.querySelectorAll('#charts .chart-legend')]"
                          ".map(e => e.textContent)")
    names = {name for (_, _, name) in expected}
    for n in names:
        check(any(n in text for text in legends), f"example: no chart legend names '{n}'")
    check(len(data["codes"]) == len(codes) == 1, f"example: codes {data['codes']} vs {codes}")
    for c, r in zip(data["codes"], codes):
        check((c["spn"], c["fmi"], c["source"], c["messages"]) ==
              (r["spn"], r["fmi"], r["source"], r["messages"]),
              f"example: code {c} is not the replay's {r}")
        check(abs(c["spans"][0][0] - r["first_seen"]) < 1e-3,
              f"example: first seen {c['spans'][0][0]} vs {r['first_seen']}")
    rows = browser.driver.find_elements(By.CSS_SELECTOR, "#codes-table tbody tr")
    check(len(rows) == 1 and "110" in rows[0].text and "moderately severe" in rows[0].text,
          f"example: code table {[r.text for r in rows]}")
    check_zoom_together(browser, "example")
    check_hover(browser, "example", 0, "rpm")
    check_screenshot(browser, "example", args.work, 200)


def drive(args, seconds, name):
    capture = os.path.join(args.work, name + ".log")
    manifest = os.path.join(args.work, name + ".json")
    run([args.drive, str(seconds), capture, manifest])
    with open(manifest) as f:
        return capture, json.load(f)


def case_long_drive(args, browser):
    capture, manifest = drive(args, 1200, "long_drive")
    page = make_page(args, capture, "long_drive")
    open_page(browser, page)
    data = page_data(browser)
    pgns = {(p["pgn"], p["source"]): p["count"] for p in data["pgns"]}
    for key, n in manifest["messages"].items():
        pgn, source = map(int, key.split("/"))
        check(pgns.get((pgn, source)) == n, f"long_drive: PGN {key}: {pgns.get((pgn, source))} "
                                            f"messages in the page, {n} sent")
    counts = series_counts(data)
    check(counts.get((61444, 0, "engine speed")) == manifest["messages"]["61444/0"],
          "long_drive: engine speed samples")
    check(counts.get((65132, 238, "driver 1 working state")) == manifest["messages"]["65132/238"],
          "long_drive: tachograph states")
    speed = next(s for s in data["series"] if s["spn"] == 190)
    check(len(speed["levels"]) >= 2 and len(speed["levels"][0]["t"]) <= 2048,
          f"long_drive: engine speed levels {[len(l['t']) for l in speed['levels']]}")
    check(speed["levels"][-1]["bucket"] == 0, "long_drive: the samples themselves are there")
    # The whole drive first: the coarsest level. Then zoom in twice, to
    # about 2.4 s: every sample of engine speed in the window is drawn.
    engine = next(i for i, c in enumerate(data["charts"]) if c["unit"] == "rpm")
    first_level = browser.run(
        "return window.vehcanReport.charts.filter(c => c.rows)[arguments[0]].parts[0].level.bucket",
        engine)
    check(first_level > 0, f"long_drive: the whole drive drawn from level {first_level}")
    check_zoom_together(browser, "long_drive", 0.40, 0.42)
    a, b = check_zoom_together(browser, "long_drive (second zoom)", 0.45, 0.55)
    shown = browser.run(
        "const c = window.vehcanReport.charts.filter(c => c.rows)[arguments[0]];"
        "const p = c.parts[0]; const t = p.level.times;"
        "let n = 0; for (let i = p.from; i < p.to; i++) { if (t[i] >= arguments[1] && "
        "t[i] <= arguments[2]) n++; } return [p.level.bucket, n];", engine, a, b)
    start = None
    in_window = 0
    with open(capture) as f:
        for line in f:
            t = float(line[1:line.index(")")])
            start = t if start is None else start
            if " 0CF00400#" in line and a <= round(t - start, 3) <= b:
                in_window += 1
    check(shown[0] == 0 and abs(shown[1] - in_window) <= 1,
          f"long_drive: {b - a:.2f} s window drawn from level {shown[0]} with {shown[1]} "
          f"points, the capture has {in_window} engine speeds there")
    check_hover(browser, "long_drive", engine, "rpm")
    check_screenshot(browser, "long_drive", args.work, 200)


def case_codes(args, browser):
    capture, manifest = drive(args, 400, "codes")
    page = make_page(args, capture, "codes")
    open_page(browser, page)
    data = page_data(browser)
    got = {(c["source"], c["spn"], c["fmi"]): c for c in data["codes"]}
    check(len(got) == len(manifest["codes"]) == 4, f"codes: {len(got)} codes in the page")
    for m in manifest["codes"]:
        c = got.get((m["source"], m["spn"], m["fmi"]))
        check(c is not None, f"codes: SPN {m['spn']} FMI {m['fmi']} missing")
        if c is None:
            continue
        check(c["messages"] == m["messages"], f"codes: {c['messages']} vs {m['messages']} DM1s")
        check(len(c["spans"]) == len(m["spans"]) and all(
            abs(x - y) < 2e-6 for s, n in zip(c["spans"], m["spans"]) for x, y in zip(s, n)),
            f"codes: SPN {m['spn']}: bands {c['spans']}, sent {m['spans']}")
        check(c["fmi_text"] != "", f"codes: SPN {m['spn']} without an FMI text")
    lamps = {(l["source"], l["lamp"]): l["spans"] for l in data["lamps"]}
    for m in manifest["lamps"]:
        spans = lamps.get((m["source"], m["lamp"]), [])
        check(len(spans) == len(m["spans"]) and all(
            abs(x - y) < 2e-6 for s, n in zip(spans, m["spans"]) for x, y in zip(s, n)),
            f"codes: {m['lamp']} lamp {spans}, sent {m['spans']}")
    # The timeline draws one row per code and lamp, labelled with the FMI's text.
    items = browser.run("return window.vehcanReport.timeline.items.map(i => i.label)")
    check(len(items) == 6, f"codes: timeline rows {items}")
    check(any("SPN 110" in i and "moderately severe" in i for i in items),
          f"codes: no row for the overheat in {items}")
    check(any(i.startswith("red stop lamp") for i in items), "codes: no red stop row")
    rows = [r.text for r in browser.driver.find_elements(By.CSS_SELECTOR, "#codes-table tbody tr")]
    check(len(rows) == 4 and any(r.startswith("0x03 161") for r in rows),
          f"codes: table {rows}")
    # What the nodes said: their NAMEs, the engine's identification and VIN.
    nodes = {n["address"]: dict(n["facts"]) for n in data["nodes"]}
    functions = {0x00: "0 (engine)", 0x03: "3 (transmission)", 0xEE: "128"}
    for address, function in functions.items():
        facts = nodes.get(address, {})
        check(facts.get("function", "").startswith(function),
              f"codes: node {address:#04x} function {facts.get('function')}")
        check(facts.get("manufacturer code") == "1234", f"codes: node {address:#04x} facts {facts}")
    check(nodes[0].get("make") == "VEHCAN" and nodes[0].get("VIN") == "1HTMKAAN0CH123456",
          f"codes: the engine's facts {nodes[0]}")
    timeline = browser.driver.find_element(By.ID, "timeline")
    browser.driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", timeline)
    check_zoom_together(browser, "codes")
    check_screenshot(browser, "codes", args.work, 200)


def case_empty(args, browser):
    page = make_page(args, os.path.join(TOP, "tests", "cli", "empty.log"), "empty", status=(3,))
    open_page(browser, page)
    data = page_data(browser)
    check(data["series"] == [] and data["codes"] == [] and data["nodes"] == [],
          "empty: something in an empty capture")
    text = browser.driver.find_element(By.TAG_NAME, "main").text
    for says in ("No frame in this capture.", "No decoded signal in this capture.",
                 "No active trouble code (DM1) in this capture.",
                 "No J1939 message in this capture."):
        check(says in text, f"empty: the page does not say '{says}'")
    charts = browser.run("return window.vehcanReport.charts.length")
    check(charts == 0, f"empty: {charts} charts")
    path = os.path.join(args.work, "empty.png")
    browser.full_screenshot(path)
    image = Image.open(path).convert("RGB")
    inked = sum(1 for p in image.getdata() if sum(p) < 400)
    check(inked > 500, f"empty: only {inked} dark pixels in {path}: no text drawn")


def case_bands(args, browser):
    # The example's data block, put into a page by Python: the same page.
    capture = os.path.join(TOP, "examples", "truck.log")
    page = make_page(args, capture, "bands-example")
    with open(page, encoding="utf-8") as f:
        html = f.read()
    opening = '<script type="application/json" id="vehcan-data">'
    start = html.index(opening) + len(opening)
    end = html.index("</script>", start)
    data = json.loads(html[start:end])
    again = assemble_page.render_page(data)
    a_start = again.index(opening) + len(opening)
    a_end = again.index("</script>", a_start)
    check(again[:a_start] == html[:start] and again[a_end:] == html[end:],
          "bands: Python's page differs from vehcan's outside the data block")
    check(json.loads(again[a_start:a_end]) == data, "bands: the data blocks differ")

    # A producer with tolerances: a series whose samples carry bands.
    t = list(range(0, 60000, 100))
    steps = [t[0]] + [b - a for a, b in zip(t, t[1:])]
    values = [50 + 20 * ((i // 100) % 2) for i in range(len(t))]
    level = {"bucket": 0, "t": steps, "v": values,
             "lo": [v - 2.5 for v in values], "hi": [v + 2.5 for v in values]}
    data["series"] = [{"name": "coolant temperature", "label": "coolant temperature",
                       "spn": 110, "pgn": 65262, "source": 0, "unit": "°C", "kind": "number",
                       "samples": len(t), "min": 50, "max": 70, "levels": [level]}]
    data["charts"] = [{"title": "ET1 Engine Temperature 1 · °C", "pgn": 65262, "unit": "°C",
                       "kind": "number", "series": [0]}]
    data["range"] = [0, 60]
    path = os.path.join(args.work, "bands.html")
    with open(path, "w", encoding="utf-8") as f:
        f.write(assemble_page.render_page(data))
    open_page(browser, path)
    bars = browser.run("return window.vehcanReport.charts.filter(c => c.rows)[0]"
                       ".graph.getOption('customBars')")
    check(bars is True, "bands: the chart draws no bands")
    check_hover(browser, "bands", 0, "°C")
    legend = browser.run("return window.vehcanReport.charts.filter(c => c.rows)[0]"
                         ".box.querySelector('.chart-legend').textContent")
    check(" to " in legend and "[" in legend, f"bands: the legend shows no band: '{legend}'")
    # The band is filled: light blue between the bounds, around the line.
    shot = os.path.join(args.work, "bands.png")
    chart = browser.driver.find_elements(By.CSS_SELECTOR, "#charts .chart")[0]
    chart.screenshot(shot)
    image = Image.open(shot).convert("RGB")
    tinted = sum(1 for p in image.getdata()
                 if p[2] > p[0] + 15 and p[2] > 200 and sum(p) > 500)  # a pale blue fill
    check(tinted > 2000, f"bands: {tinted} pixels of band fill in {shot}")
    check_zoom_together(browser, "bands")


# ---- vehcan-fleet report --------------------------------------------------------------

def fleet(*args, allowed=(0,)):
    """vehcan-fleet from the checkout, under this Python."""
    env = dict(os.environ, PYTHONPATH=FLEET)
    p = subprocess.run([sys.executable, "-B", "-m", "vehcan_fleet", *args], capture_output=True,
                       text=True, env=env)
    if p.returncode not in allowed:
        raise SystemExit(f"vehcan-fleet {args}: exit {p.returncode}\n{p.stderr}")
    return p


def uplink_payloads(args, capture, name, campaign):
    """The births and batches the compact uplink makes of a capture."""
    saved = os.path.join(args.work, name)
    if os.path.isdir(saved):
        for f in os.listdir(saved):
            os.remove(os.path.join(saved, f))
    run([args.vehcan, "replay", capture, "--config", campaign, "--uplink-cost",
         "--uplink-save", saved])
    return saved


def decoded_counts(saved):
    """The decoder's samples of each number and state signal with a value:
    {(pgn, source, name): samples}."""
    counts = {}
    valued = set()
    for line in fleet("decode", saved).stdout.splitlines():
        j = json.loads(line)
        if "name" not in j or ("text" in j and "state" not in j):
            continue  # raw payloads, event windows, texts
        key = (j["pgn"], j["source"], j["name"])
        counts[key] = counts.get(key, 0) + 1
        if j.get("value") is not None or isinstance(j.get("state"), int):
            valued.add(key)
    return {k: n for k, n in counts.items() if k in valued}


def capture_codes(args, capture, name):
    """The trouble codes of vehcan's own page of the capture, with its
    first frame's time."""
    page = make_page(args, capture, name)
    with open(page, encoding="utf-8") as f:
        html = f.read()
    opening = '<script type="application/json" id="vehcan-data">'
    start = html.index(opening) + len(opening)
    data = json.loads(html[start:html.index("</script>", start)])
    return data["start_unix"], data["codes"]


def check_fleet_page(browser, name, saved, page, vehicle):
    """What every fleet page must show of its payloads; its data block."""
    import page_bands
    import vehcan_fleet as vf

    open_page(browser, page)
    data = page_data(browser)
    expected = decoded_counts(saved)
    got = series_counts(data)
    check(got == expected, f"{name}: series {got} != the decoder's {expected}")
    legends = browser.run("return [...document.querySelectorAll('#charts .chart-legend')]"
                          ".map(e => e.textContent)")
    for (_, _, n) in expected:
        check(any(n in text for text in legends), f"{name}: no chart legend names '{n}'")
    # Bands on every chart of numbers, around every number series.
    charts = browser.run("return window.vehcanReport.charts.filter(c => c.rows).map(c => "
                         "[c.kind, c.graph.getOption('customBars'), c.series.map(s => "
                         "[s.label, s.reconstruction, c.graph.getOption('stepPlot', s.label), "
                         "s.levels.every(l => l.lo && l.hi && l.lo.length === l.t.length)])])")
    numbers = [c for c in charts if c[0] == "number"]
    check(numbers and all(c[1] is True for c in numbers), f"{name}: charts without bands {charts}")
    for _, _, series in numbers:
        for label, reconstruction, step, banded in series:
            check(banded, f"{name}: {label} has levels without a band")
            check(step == (reconstruction == "step"),
                  f"{name}: {label} ({reconstruction}) drawn with stepPlot {step}")
    # Every value of the decoder's reconstruction within the band drawn.
    quiet = lambda text: None  # noqa: E731 (the lost batches are what the page shows)
    timelines = vf.Timelines().extend(vf.samples(vf.read_files([saved], report=quiet),
                                                 report=quiet))
    problems = page_bands.band_problems(data, timelines, vehicle)
    check(not problems, f"{name}: values outside their bands: {problems[:5]}")
    return data


def case_fleet_example(args, browser):
    capture = os.path.join(TOP, "examples", "truck.log")
    campaign = os.path.join(TOP, "tests", "fleet_format", "campaign.toml")
    saved = uplink_payloads(args, capture, "fleet_example", campaign)
    page = os.path.join(args.work, "fleet_example.html")
    done = fleet("report", saved, "-o", page)
    check(done.stdout.startswith(page + ": ") and " 0 lost stretches" in done.stdout,
          f"fleet_example: said '{done.stdout}'")
    data = check_fleet_page(browser, "fleet_example", saved, page, "vm")
    kinds = {s["name"]: s["reconstruction"] for s in data["series"] if s["kind"] == "number"}
    check(kinds.get("engine speed") == "step" and kinds.get("wheel-based vehicle speed")
          == "linear", f"fleet_example: reconstructions {kinds}")
    check(any(m["kind"] == "event" and "coolant above 80" in m["text"] for m in data["marks"]),
          f"fleet_example: the condition's window is not marked: {data['marks']}")
    # The trouble code of the capture, from the DM1 the batches carry.
    start, codes = capture_codes(args, capture, "fleet_example-capture")
    check(len(data["codes"]) == len(codes) == 1, f"fleet_example: codes {data['codes']}")
    for c, r in zip(data["codes"], codes):
        check((c["spn"], c["fmi"], c["source"], c["fmi_text"]) ==
              (r["spn"], r["fmi"], r["source"], r["fmi_text"]),
              f"fleet_example: code {c} is not the capture's {r}")
        began = data["start_unix"] + c["spans"][0][0]
        check(abs(began - (start + r["spans"][0][0])) < 1e-3,
              f"fleet_example: the code begins at {began}, in the capture at "
              f"{start + r['spans'][0][0]}")
    lamps = [(l["lamp"], l["source"]) for l in data["lamps"]]
    check(lamps == [("amber warning", 0)], f"fleet_example: lamps {lamps}")
    check(browser.run("return document.querySelector('#nodes') === null && "
                      "document.querySelector('#bus') === null"),
          "fleet_example: the page shows bus or node sections it has nothing for")
    check_zoom_together(browser, "fleet_example")
    engine = next(i for i, c in enumerate(data["charts"]) if c["unit"] == "rpm")
    check_hover(browser, "fleet_example", engine, "rpm")
    check_screenshot(browser, "fleet_example", args.work, 200)


def batch_seq_stretch(path):
    """The batch's seq, and its start and end in Unix seconds."""
    from vehcan_fleet import open_envelope
    with open(path, "rb") as f:
        batch = open_envelope(f.read()).batch
    return batch.seq, batch.base_time / 1000, (batch.base_time + batch.span) / 1000


def case_fleet_drive(args, browser):
    if not args.sim:
        raise SystemExit("fleet_drive needs --sim")
    capture = os.path.join(args.work, "fleet_drive.log")
    run([args.sim, "--road-log", capture, "--duration", "1200"])
    campaign = os.path.join(args.work, "fleet_drive.toml")
    with open(campaign, "w") as f:
        # engine speed within 2 rpm, as steps: tens of thousands of points
        f.write('[collection]\nname = "report test"\n\n'
                '[[signal]]\nspn = 190\ntolerance = 2\nreconstruction = "step"\n')
    saved = uplink_payloads(args, capture, "fleet_drive", campaign)
    whole = fleet("decode", saved)
    check("lost" not in whole.stderr, f"fleet_drive: the saved stream lost batches: "
                                      f"{whole.stderr[:300]}")
    batches = sorted(f for f in os.listdir(saved) if f.endswith("-batch.pb"))
    check(len(batches) >= 10, f"fleet_drive: {len(batches)} batches")
    # The overheat's code, as vehcan's own page of the capture shows it.
    start, codes = capture_codes(args, capture, "fleet_drive-capture")
    changes = [start + t for r in codes for t in (r["spans"][0][0], r["spans"][-1][1])]
    # Taken out: the batch nearest the middle in which the code neither comes
    # nor goes (the loss of that batch would hide when it did).
    order = sorted(range(len(batches)), key=lambda i: abs(i - len(batches) // 2))
    for i in order:
        taken = os.path.join(saved, batches[i])
        seq, begin, end = batch_seq_stretch(taken)
        if not any(begin - 2 <= t <= end + 2 for t in changes):
            break
    os.remove(taken)
    page = os.path.join(args.work, "fleet_drive.html")
    done = fleet("report", saved, "-o", page)
    check(f"batch seq {seq} lost" in done.stderr and " 1 lost stretches" in done.stdout,
          f"fleet_drive: said '{done.stdout}' '{done.stderr}'")
    data = check_fleet_page(browser, "fleet_drive", saved, page, "vm")
    gaps = [m for m in data["marks"] if m["kind"] == "gap"]
    # (a batch closes after a minute, or early when a trouble code comes or goes)
    check(len(gaps) == 1 and gaps[0]["text"] == f"lost: batch seq {seq}" and
          abs(gaps[0]["from"] + data["start_unix"] - begin) < 0.05 and
          abs(gaps[0]["to"] + data["start_unix"] - end) < 0.05,
          f"fleet_drive: lost stretches {gaps}, batch seq {seq} ({begin} to {end}) taken out")
    speed = next(s for s in data["series"] if s["spn"] == 190)
    check(len(speed["levels"]) >= 2 and speed["levels"][-1]["bucket"] == 0
          and len(speed["levels"][0]["t"]) <= 2 * 1024 + 4,
          f"fleet_drive: engine speed levels {[len(l['t']) for l in speed['levels']]}")
    # Hovering over the lost stretch says so.
    if gaps:
        middle = (gaps[0]["from"] + gaps[0]["to"]) / 2
        engine = next(i for i, c in enumerate(data["charts"]) if c["unit"] == "rpm")
        plot = browser.driver.find_elements(By.CSS_SELECTOR, "#charts .chart")[engine]
        browser.driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", plot)
        x = browser.run("return window.vehcanReport.charts.filter(c => c.rows)[arguments[0]]"
                        ".graph.toDomXCoord(arguments[1])", engine, middle)
        (ActionChains(browser.driver)
         .move_to_element_with_offset(plot, int(x - plot.size["width"] / 2), 0).perform())
        time.sleep(0.2)
        legend = browser.run("return window.vehcanReport.charts.filter(c => c.rows)[arguments[0]]"
                             ".box.querySelector('.chart-legend').textContent", engine)
        check(f"lost: batch seq {seq}" in legend, f"fleet_drive: hovering the lost stretch "
                                                  f"shows '{legend}'")
    # The overheat's code: from the DM1 that lists it to the first that does
    # not, where the capture saw it first and last (DM1 comes every second).
    check(len(data["codes"]) == len(codes) == 1, f"fleet_drive: codes {data['codes']}")
    for c, r in zip(data["codes"], codes):
        (a, b), = c["spans"]
        first, last = r["spans"][0][0] + start, r["spans"][-1][1] + start
        a += data["start_unix"]
        b += data["start_unix"]
        check(abs(a - first) < 1e-3 and last < b <= last + 1.5,
              f"fleet_drive: the code's band {a} to {b}, the capture's {first} to {last}")
    check_zoom_together(browser, "fleet_drive", 0.40, 0.42)
    check_screenshot(browser, "fleet_drive", args.work, 200)


CASES = {"example": case_example, "long_drive": case_long_drive, "codes": case_codes,
         "empty": case_empty, "bands": case_bands, "fleet_example": case_fleet_example,
         "fleet_drive": case_fleet_drive}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--vehcan", required=True)
    parser.add_argument("--drive", required=True)
    parser.add_argument("--sim")
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    started = time.time()
    with Browser() as browser:
        CASES[args.case](args, browser)
    print(f"{args.case}: {time.time() - started:.1f} s", flush=True)
    print(f"{checks - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
