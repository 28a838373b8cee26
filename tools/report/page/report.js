// SPDX-License-Identifier: MIT
// vehcan's report page: reads the data block (#vehcan-data) and draws the
// tables and the charts with dygraphs. Every chart shows the same window of
// time: a zoom or a pan on one moves them all. Each series comes in levels
// of detail (coarsest first); a chart takes, for the window it shows, the
// coarsest level that still has a stretch for every pixel, and only the
// points in and around the window. The page keeps its state in
// window.vehcanReport, where a console (or a test) can read it.
(function () {
  'use strict';

  const data = JSON.parse(document.getElementById('vehcan-data').textContent);
  const report = { data: data, charts: [], timeline: null, bus: null, window: null, ready: false };
  window.vehcanReport = report;

  const palette = ['#1f6fb4', '#d9541e', '#2a9d4b', '#8e44ad', '#c0392b', '#16a0a8', '#b8860b',
                   '#5d6d7e'];
  const lampColors = { 'malfunction (MIL)': '#c0392b', 'red stop': '#e03131',
                       'amber warning': '#e6a100', 'protect': '#1f6fb4' };

  // ---- small helpers ----------------------------------------------------------------

  function el(tag, attrs, children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) {
      e.setAttribute(k, v);
    }
    for (const c of [].concat(children === undefined ? [] : children)) {
      e.appendChild(typeof c === 'string' || typeof c === 'number'
        ? document.createTextNode(String(c)) : c);
    }
    return e;
  }

  function escapeHtml(s) {
    return String(s).replace(/[&<>"']/g, (c) => '&#' + c.charCodeAt(0) + ';');
  }

  function hex(address) {
    if (address === null || address === undefined) {
      return 'unknown sender';
    }
    return '0x' + address.toString(16).toUpperCase().padStart(2, '0');
  }

  // At most three decimals, as the tool's text output writes values.
  function valueText(v) {
    if (v === null || v === undefined || !isFinite(v)) {
      return 'n/a';
    }
    if (Math.abs(v) >= 1e7) {
      return v.toPrecision(8).replace(/\.?0+$/, '');
    }
    return String(parseFloat(v.toFixed(3)));
  }

  const longCapture = data.range[1] - data.range[0] >= 120;
  // What the page is of: a capture (vehcan), or a vehicle's stream (vehcan-fleet).
  const subject = data.subject || 'capture';
  // Stretches of time marked on every chart: data lost (a gap in a stream)
  // or an event window.
  const marks = data.marks || [];
  const markColors = { gap: 'rgba(120, 120, 120, 0.22)', event: 'rgba(230, 161, 0, 0.12)' };

  // Seconds since the first frame: "12.345 s", or "1:02:03.4" in a long capture.
  function timeText(s) {
    if (!longCapture) {
      return s.toFixed(3) + ' s';
    }
    const sign = s < 0 ? '-' : '';
    // In tenths first, so that 119.97 s is 0:02:00.0 and not 0:01:60.0.
    const tenths = Math.round(Math.abs(s) * 10);
    const h = Math.floor(tenths / 36000);
    const m = Math.floor(tenths / 600) % 60;
    const rest = ((tenths % 600) / 10).toFixed(1).padStart(4, '0');
    return sign + h + ':' + String(m).padStart(2, '0') + ':' + rest;
  }

  function axisTime(s) {
    if (!longCapture) {
      return valueText(s);
    }
    const text = timeText(s);
    return text.endsWith('.0') ? text.slice(0, -2) : text;
  }

  // Ticks on round times of a long capture: every 1, 2, 5, 10, 15 or 30
  // seconds, minutes or hours, as many as fit.
  const timeSteps = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 14400,
                     21600, 43200, 86400];

  function timeTicker(a, b, pixels, opts) {
    const fit = Math.max(1, Math.floor(pixels / opts('pixelsPerLabel')));
    const step = timeSteps.find((s) => (b - a) / s <= fit) || (b - a) / fit;
    const ticks = [];
    for (let t = Math.ceil(a / step) * step; t <= b; t += step) {
      ticks.push({ v: t, label: axisTime(t) });
    }
    return ticks;
  }

  function periodText(s) {
    return s === null ? '' : valueText(s * 1000) + ' ms';
  }

  function table(id, head, rows, emptyText) {
    const t = document.getElementById(id);
    if (rows.length === 0) {
      t.replaceWith(el('p', { id: id, class: 'empty' }, emptyText));
      return;
    }
    t.appendChild(el('thead', {}, el('tr', {}, head.map((h) => el('th', {}, h)))));
    const body = el('tbody');
    for (const r of rows) {
      body.appendChild(el('tr', {}, r.map((c) =>
        (c !== null && typeof c === 'object' && c.nodeType) ? c
          : el('td', typeof c === 'number' ? { class: 'num' } : {}, c === null ? '' : c))));
    }
    t.appendChild(body);
  }

  // ---- the data block's series: times and values as typed arrays ----------------------

  const fullWindow = [data.range[0], Math.max(data.range[1], data.range[0] + 1)];
  report.window = fullWindow.slice();

  for (const s of data.series) {
    for (const level of s.levels) {
      const n = level.t.length;
      level.times = new Float64Array(n);
      level.values = new Float64Array(n);
      let ms = 0;
      for (let i = 0; i < n; i++) {
        ms += level.t[i];
        level.times[i] = ms / 1000;
        level.values[i] = level.v[i] === null ? NaN : level.v[i];
      }
      // Tolerance bands, when the producer has them: lower and upper bounds.
      if (level.lo && level.hi) {
        level.low = Float64Array.from(level.lo, (x) => (x === null ? NaN : x));
        level.high = Float64Array.from(level.hi, (x) => (x === null ? NaN : x));
      }
    }
    s.stateText = new Map((s.states || []).map(([value, text]) => [value, text]));
  }

  performance.mark('vehcan-data-read');

  function lowerBound(times, x) {
    let lo = 0;
    let hi = times.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (times[mid] < x) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  }

  // The coarsest level with at least one stretch per pixel over [a, b].
  function pickLevel(series, a, b, pixels) {
    for (const level of series.levels) {
      if (level.bucket === 0 || (b - a) / level.bucket >= pixels) {
        return level;
      }
    }
    return series.levels[series.levels.length - 1];
  }

  // ---- the charts' shared window ----------------------------------------------------

  let syncing = false;
  let refineTimer = null;

  function showWindow() {
    const [a, b] = report.window;
    const all = a <= fullWindow[0] && b >= fullWindow[1];
    document.getElementById('window-text').textContent =
      (all ? 'whole ' + subject + ': ' : 'showing ') + timeText(a) + ' to ' + timeText(b) +
      (all ? '' : ' (' + valueText(b - a) + ' s)');
  }

  function setWindow(a, b, from) {
    report.window = [a, b];
    syncing = true;
    try {
      for (const c of report.charts) {
        if (c.graph !== from) {
          c.graph.updateOptions({ dateWindow: [a, b] });
        }
      }
    } finally {
      syncing = false;
    }
    showWindow();
    clearTimeout(refineTimer);
    refineTimer = setTimeout(refine, 120);
  }

  // Each chart of series takes the level and the points that fit the window.
  function refine() {
    syncing = true;
    try {
      for (const c of report.charts) {
        if (c.rows) {
          c.graph.updateOptions({ file: c.rows(), dateWindow: report.window });
        }
      }
    } finally {
      syncing = false;
    }
  }

  function onDraw(g, initial) {
    if (initial || syncing) {
      return;
    }
    const [a, b] = g.xAxisRange();
    const [wa, wb] = report.window;
    if (Math.abs(a - wa) > 1e-9 || Math.abs(b - wb) > 1e-9) {
      setWindow(a, b, g);
    }
  }

  // Dygraphs' own interaction (drag to zoom, shift-drag to pan), except that
  // a double-click shows the whole capture rather than the points loaded.
  const interaction = Object.assign({}, Dygraph.defaultInteractionModel, {
    dblclick: function (event, g, context) {
      if (context.cancelNextDblclick) {
        context.cancelNextDblclick = false;
        return;
      }
      setWindow(fullWindow[0], fullWindow[1], null);
    },
  });

  // The marks' stretches, shaded under a chart's lines: events first, lost
  // data over them.
  function drawMarks(ctx, area, g) {
    for (const kind of ['event', 'gap']) {
      ctx.fillStyle = markColors[kind];
      for (const m of marks) {
        if (m.kind !== kind) {
          continue;
        }
        const x0 = Math.max(g.toDomXCoord(m.from), area.x);
        const x1 = Math.min(g.toDomXCoord(m.to), area.x + area.w);
        if (x1 >= area.x && x0 <= area.x + area.w) {
          ctx.fillRect(x0, area.y, Math.max(x1 - x0, 2), area.h);
        }
      }
    }
  }

  function marksHtml(x) {
    return marks.filter((m) => x >= m.from && x <= m.to)
      .map((m) => ' <span class="mark mark-' + escapeHtml(m.kind) + '">' + escapeHtml(m.text) +
        '</span>').join('');
  }

  const leftRoom = 110;
  const secondAxisRoom = 50;
  let rightRoom = 5; // then what the bus chart's second axis takes (drawBus)

  function baseOptions(legend) {
    return {
      dateWindow: report.window,
      legend: 'always',
      labelsDiv: legend,
      connectSeparatedPoints: true,
      animatedZooms: false,
      interactionModel: interaction,
      drawCallback: onDraw,
      underlayCallback: drawMarks,
      highlightCircleSize: 3,
      colors: palette,
      // Every chart's plot area starts and ends at the same place, so that
      // one moment is at one x on all of them: the same width for the value
      // axis and its label on the left, and on the right the room the bus
      // chart's second axis takes.
      ylabel: '\u00a0',
      rightGap: rightRoom,
      axes: {
        x: longCapture
          ? { ticker: timeTicker, valueFormatter: timeText, pixelsPerLabel: 90 }
          : { axisLabelFormatter: axisTime, valueFormatter: timeText, pixelsPerLabel: 90 },
        y: { axisLabelWidth: leftRoom, axisLabelFormatter: valueText },
      },
    };
  }

  function chartBox(parent, title) {
    const box = el('div', { class: 'chart-box' });
    if (title) {
      box.appendChild(el('div', { class: 'chart-title' }, title));
    }
    const legend = el('div', { class: 'chart-legend' });
    const plot = el('div', { class: 'chart' });
    box.appendChild(legend);
    box.appendChild(plot);
    parent.appendChild(box);
    return { box: box, legend: legend, plot: plot };
  }

  // ---- summary, nodes, parameter groups ---------------------------------------------

  function drawTables() {
    document.getElementById('title').textContent = 'vehcan report: ' + data.title;
    document.title = data.title + ' - vehcan report';
    document.getElementById('producer').textContent = 'made by ' + data.producer;
    const rows = data.summary.map(([label, value]) => [label, value]);
    if (data.start_unix !== null) {
      const when = new Date(data.start_unix * 1000).toISOString().replace('T', ' ')
        .replace('Z', ' UTC');
      rows.splice(1, 0, [subject === 'capture' ? 'first frame' : 'start', when]);
    }
    // A producer without nodes or parameter groups (null) leaves their sections out.
    for (const id of ['nodes', 'pgns']) {
      if (data[id] === null) {
        document.getElementById(id).remove();
        const link = document.querySelector('nav a[href="#' + id + '"]');
        link.previousSibling.remove(); // the " · " before it
        link.remove();
      }
    }
    const summary = document.getElementById('summary-table');
    for (const [label, value] of rows) {
      summary.appendChild(el('tr', {}, [el('th', {}, label), el('td', {}, value)]));
    }

    if (data.nodes !== null) {
      table('nodes-table', ['address', 'messages', 'PGNs', 'what it said about itself'],
        data.nodes.map((n) => [hex(n.address), n.messages, n.pgns,
          el('td', { class: 'facts' }, n.facts.length === 0 ? ['nothing']
            : n.facts.flatMap(([label, value], i) =>
              (i ? [el('br')] : []).concat([el('b', {}, label + ': '), value])))]),
        'No J1939 message in this ' + subject + '.');
    }
    if (data.pgns !== null) {
      table('pgns-table', ['PGN', 'name', 'from', 'messages', 'mean period', 'jitter (σ)',
                           'shortest', 'longest'],
        data.pgns.map((p) => [p.pgn, (p.acronym ? p.acronym + ' ' : '') + p.name, hex(p.source),
          p.count, periodText(p.period), periodText(p.jitter), periodText(p.min),
          periodText(p.max)]),
        'No J1939 message in this ' + subject + '.');
    }
  }

  // ---- bus load ---------------------------------------------------------------------

  function drawBus() {
    const bus = data.bus;
    const parent = document.getElementById('bus');
    if (bus === null) { // nothing of the bus itself: a stream of values
      parent.previousElementSibling.remove();
      parent.remove();
      return;
    }
    if (bus.frames_per_s.length === 0) {
      parent.appendChild(el('p', { class: 'empty' }, 'No frame in this ' + subject + '.'));
      return;
    }
    const rows = bus.frames_per_s.map((f, i) => [bus.t0 + i * bus.bin, f, bus.load[i]]);
    const n = rows.length;
    rows.push([bus.t0 + n * bus.bin, rows[n - 1][1], rows[n - 1][2]]); // the last bin's end
    const box = chartBox(parent, null);
    const units = { 'frames/s': 'frames/s', 'load': '% of ' + bus.bitrate + ' bit/s' };
    const options = Object.assign(baseOptions(box.legend), {
      labels: ['time', 'frames/s', 'load'],
      height: 160,
      stepPlot: true,
      ylabel: 'frames/s',
      y2label: 'load %',
      includeZero: true,
      series: { 'frames/s': { fillGraph: true }, load: { axis: 'y2' } },
      legendFormatter: function (d) {
        return legendHtml(d, (label, row) => valueText(rows[row][label === 'load' ? 2 : 1]) + ' ' +
          units[label]);
      },
    });
    options.rightGap = 5;
    options.axes.y.independentTicks = true;
    options.axes.y2 = { axisLabelWidth: secondAxisRoom, axisLabelFormatter: valueText,
                        independentTicks: true, drawGrid: false };
    const graph = new Dygraph(box.plot, rows, options);
    const area = graph.getArea();
    rightRoom = box.plot.clientWidth - area.x - area.w;
    report.bus = { graph: graph, rows: null };
    report.charts.push(report.bus);
  }

  // The legend: the time under the pointer, each series' value then and the
  // marks there; or the series' names (and what describe() adds) while the
  // pointer is elsewhere.
  function legendHtml(d, valueAt, describe) {
    const parts = [];
    if (d.x !== undefined) {
      parts.push('<span class="time">' + escapeHtml(timeText(d.x)) + '</span>');
    }
    for (const s of d.series) {
      let html = '<span class="swatch" style="background:' + s.color + '"></span>' +
        escapeHtml(s.label);
      if (d.x !== undefined) {
        html += ' <b>' + escapeHtml(valueAt(s.label, d.i, d.x)) + '</b>';
      } else if (describe) {
        html += escapeHtml(describe(s.label));
      }
      parts.push(html);
    }
    return parts.join(' ') + (d.x !== undefined ? marksHtml(d.x) : '');
  }

  // ---- signals ----------------------------------------------------------------------

  function drawSignals() {
    const parent = document.getElementById('charts');
    if (data.charts.length === 0) {
      parent.appendChild(el('p', { class: 'empty' }, 'No decoded signal in this ' + subject +
        '.'));
      return;
    }
    for (const layout of data.charts) {
      drawSignalChart(parent, layout);
    }
  }

  function drawSignalChart(parent, layout) {
    const series = layout.series.map((i) => data.series[i]);
    const state = layout.kind === 'state';
    const bars = series.some((s) => s.levels.some((l) => l.low));
    const box = chartBox(parent, layout.title);
    const chart = { title: layout.title, kind: layout.kind, series: series, parts: null,
                    box: box.box, graph: null };

    chart.rows = function () {
      const [a, b] = report.window;
      const pixels = Math.max(box.plot.clientWidth, 300);
      // The window and as much again on each side, so that a pan has points
      // to show before the next refinement.
      const margin = b - a;
      chart.parts = series.map((s) => {
        const level = pickLevel(s, a, b, pixels);
        const from = Math.max(0, lowerBound(level.times, a - margin) - 1);
        const to = Math.min(level.times.length, lowerBound(level.times, b + margin) + 1);
        return { level: level, from: from, to: to };
      });
      const rows = [];
      const at = chart.parts.map((p) => p.from);
      for (;;) {
        let t = Infinity;
        chart.parts.forEach((p, k) => {
          if (at[k] < p.to) {
            t = Math.min(t, p.level.times[at[k]]);
          }
        });
        if (t === Infinity) {
          break;
        }
        const row = [t];
        chart.parts.forEach((p, k) => {
          if (at[k] < p.to && p.level.times[at[k]] === t) {
            const i = at[k]++;
            const v = p.level.values[i];
            if (bars) {
              row.push(p.level.low ? [p.level.low[i], v, p.level.high[i]] : [v, v, v]);
            } else {
              row.push(v);
            }
          } else {
            row.push(null);
          }
        });
        rows.push(row);
      }
      return rows;
    };

    // A series' tolerance and reconstruction, when its producer gives them.
    function describe(label) {
      const s = series.find((x) => x.label === label);
      if (s.tolerance === undefined) {
        return '';
      }
      return (s.tolerance === 0 ? ' exact' : ' ±' + valueText(s.tolerance) +
        (s.unit ? ' ' + s.unit : '')) + (s.reconstruction ? ', ' + s.reconstruction : '');
    }

    // The value of the label's series at time x: for a state the one in
    // force then, for a number the sample nearest to it.
    function valueAt(label, row, x) {
      const k = series.findIndex((s) => s.label === label);
      const p = chart.parts[k];
      const times = p.level.times;
      let i = lowerBound(times, x);
      if (state) {
        if (i >= times.length || times[i] > x) {
          i -= 1;
        }
      } else if (i >= times.length || (i > 0 && x - times[i - 1] < times[i] - x)) {
        i -= 1;
      }
      if (i < 0) {
        return 'n/a';
      }
      const v = p.level.values[i];
      const s = series[k];
      if (state) {
        return isNaN(v) ? 'n/a' : (s.stateText.get(v) || 'state ' + v) + ' (' + v + ')';
      }
      let text = valueText(v) + (s.unit && isFinite(v) ? ' ' + s.unit : '');
      if (p.level.low && isFinite(v)) {
        text += ' [' + valueText(p.level.low[i]) + ' to ' + valueText(p.level.high[i]) + ']';
      }
      return text;
    }

    const options = Object.assign(baseOptions(box.legend), {
      labels: ['time'].concat(series.map((s) => s.label)),
      height: state ? 120 : 210,
      stepPlot: state,
      customBars: bars,
      ylabel: state || !layout.unit ? '\u00a0' : escapeHtml(layout.unit),
      legendFormatter: (d) => legendHtml(d, valueAt, describe),
    });
    // A producer's reconstruction: steps drawn as steps, linear as lines.
    if (!state) {
      options.series = {};
      for (const s of series) {
        if (s.reconstruction) {
          options.series[s.label] = { stepPlot: s.reconstruction === 'step' };
        }
      }
    }
    if (state) {
      const s = series[0];
      const values = [...s.stateText.keys()].sort((x, y) => x - y);
      options.valueRange = [values[0] - 0.5, values[values.length - 1] + 0.5];
      options.axes.y = {
        axisLabelWidth: leftRoom,
        ticker: () => values.map((v) => ({ v: v, label: escapeHtml(s.stateText.get(v)) })),
      };
    }
    chart.graph = new Dygraph(box.plot, chart.rows(), options);
    report.charts.push(chart);
  }

  // ---- trouble codes ----------------------------------------------------------------

  function drawCodes() {
    const items = data.codes.map((c, k) => ({
      label: 'SPN ' + c.spn + (c.spn_name ? ' ' + c.spn_name : '') + ' · FMI ' + c.fmi + ' ' +
        c.fmi_text + ' · from ' + hex(c.source),
      spans: c.spans,
      color: palette[k % palette.length],
    })).concat(data.lamps.map((l) => ({
      label: l.lamp + ' lamp on · from ' + hex(l.source),
      spans: l.spans,
      color: lampColors[l.lamp] || '#5d6d7e',
    })));
    const seen = (spans) => [spans[0][0], spans[spans.length - 1][1]];
    table('codes-table', ['from', 'SPN', 'name', 'FMI', 'meaning', 'first seen', 'last seen',
                          'bands', 'DM1 messages', 'occurrences'],
      data.codes.map((c) => [hex(c.source), c.spn, c.spn_name, c.fmi, c.fmi_text,
        timeText(seen(c.spans)[0]), timeText(seen(c.spans)[1]), c.spans.length, c.messages,
        c.occurrences]),
      'No active trouble code (DM1) in this ' + subject + '.');
    report.timeline = { items: items, graph: null };
    const parent = document.getElementById('timeline');
    if (items.length === 0) {
      return;
    }
    const rowPx = 34;
    const n = items.length;
    const box = chartBox(parent, null);
    function rowOf(i) {
      return n - 1 - i; // the first item on top
    }
    const options = Object.assign(baseOptions(box.legend), {
      labels: ['time', 'codes'],
      height: n * rowPx + 40,
      valueRange: [-0.5, n - 0.5],
      strokeWidth: 0,
      drawPoints: false,
      highlightCircleSize: 0,
      legendFormatter: function (d) {
        if (d.x === undefined) {
          return escapeHtml(data.codes_note || 'Each band runs from a code\'s first to its ' +
            'last sighting in a row of DM1 messages') + '; hover for what was active.';
        }
        const active = items.filter((it) => it.spans.some(([a, b]) => d.x >= a && d.x <= b));
        return '<span class="time">' + escapeHtml(timeText(d.x)) + '</span> ' +
          (active.length === 0 ? 'nothing active'
            : active.map((it) => '<span class="swatch" style="background:' + it.color +
              '"></span>' + escapeHtml(it.label)).join(' ')) + marksHtml(d.x);
      },
      underlayCallback: function (ctx, area, g) {
        ctx.save();
        drawMarks(ctx, area, g);
        ctx.font = '12px system-ui, sans-serif';
        items.forEach((it, i) => {
          const y = g.toDomYCoord(rowOf(i));
          ctx.fillStyle = it.color;
          for (const [a, b] of it.spans) {
            let x0 = Math.max(g.toDomXCoord(a), area.x);
            let x1 = Math.min(g.toDomXCoord(b), area.x + area.w);
            if (x1 < area.x || x0 > area.x + area.w) {
              continue;
            }
            if (x1 - x0 < 3) { // a code seen once is still a visible mark
              x0 -= 1.5;
              x1 = x0 + 3;
            }
            ctx.fillRect(x0, y - 2, x1 - x0, 12);
          }
          ctx.fillStyle = '#1d232a';
          ctx.fillText(it.label, area.x + 4, y - 5);
        });
        ctx.restore();
      },
    });
    options.axes.y = { axisLabelWidth: leftRoom, drawGrid: false, ticker: () => [] };
    const rows = [[fullWindow[0], -10], [fullWindow[1], -10]];
    report.timeline.graph = new Dygraph(box.plot, rows, options);
    report.charts.push({ graph: report.timeline.graph, rows: null });
  }

  // ---- all of it ----------------------------------------------------------------------

  try {
    drawTables();
    drawBus();
    drawCodes();
    performance.mark('vehcan-tables-drawn');
    drawSignals();
    showWindow();
    document.getElementById('reset-zoom').addEventListener('click',
      () => setWindow(fullWindow[0], fullWindow[1], null));
    report.ready = true;
    performance.mark('vehcan-ready');
  } catch (e) {
    document.querySelector('main').prepend(el('p', { class: 'empty' },
      'The page could not be drawn: ' + e));
    throw e;
  }
})();
