// Draws the report from the data embedded in the page: the header counts, the floor plot, the
// timeline and the tables, for the events that pass the filters. Text from the result only
// ever reaches the page through textContent and setAttribute, never as markup.
'use strict';
(function () {
  const SVG_NS = 'http://www.w3.org/2000/svg';
  const MARK_LIMIT = 3000;  // more events than this are drawn as a density grid
  const TABLE_ROWS = 20;
  const PLOT_WIDTH = 900;
  const PLOT_MAX_HEIGHT = 640;
  const GRID_CELL_PX = 10;
  const MINUTE_MS = 60000;
  const KINDS = [
    {key: 'person-vehicle', label: 'person–vehicle', hue: 18, saturation: 80},
    {key: 'vehicle-vehicle', label: 'vehicle–vehicle', hue: 212, saturation: 75},
    {key: 'other', label: 'other pair', hue: 280, saturation: 45},
    {key: 'unknown', label: 'kind unknown', hue: 0, saturation: 0},
  ];
  const PERSON_VEHICLE = 0;
  const VEHICLE_VEHICLE = 1;
  const OTHER = 2;
  const UNKNOWN = 3;
  // Steps of the timeline's intervals and axis ticks, in minutes.
  const STEPS_MIN = [1, 2, 5, 10, 15, 30, 60, 120, 180, 360, 720, 1440];

  // ---- Small helpers ----------------------------------------------------------------------
  function byId(id) {
    return document.getElementById(id);
  }
  function element(tag, attributes, text) {
    const node = document.createElement(tag);
    for (const name in attributes || {}) {
      node.setAttribute(name, String(attributes[name]));
    }
    if (text !== undefined) {
      node.textContent = String(text);
    }
    return node;
  }
  function shape(parent, tag, attributes, text) {
    const node = document.createElementNS(SVG_NS, tag);
    for (const name in attributes || {}) {
      node.setAttribute(name, String(attributes[name]));
    }
    if (text !== undefined) {
      node.textContent = String(text);
    }
    parent.appendChild(node);
    return node;
  }
  function tooltip(node, text) {
    shape(node, 'title', {}, text);
  }
  function round(value, digits) {
    const factor = Math.pow(10, digits);
    return Math.round(value * factor) / factor;
  }
  function grouped(value) {
    return String(value).replace(/\B(?=(\d{3})+(?!\d))/g, ',');
  }
  function pad(value, width) {
    return String(value).padStart(width || 2, '0');
  }
  function plural(count, one, many) {
    return grouped(count) + ' ' + (count === 1 ? one : many);
  }
  function durationText(seconds) {
    if (seconds < 60) {
      return seconds + ' s';
    }
    const s = seconds % 60;
    const minutes = (seconds - s) / 60;
    if (minutes < 60) {
      return minutes + ' min ' + pad(s) + ' s';
    }
    const m = minutes % 60;
    return grouped((minutes - m) / 60) + ' h ' + pad(m) + ' min';
  }
  // 1, 2 or 5 times a power of ten, at least _raw.
  function niceStep(raw) {
    const power = Math.pow(10, Math.floor(Math.log10(raw)));
    for (const factor of [1, 2, 5, 10]) {
      if (factor * power >= raw) {
        return factor * power;
      }
    }
    return 10 * power;
  }

  // ---- Site time ----------------------------------------------------------------------------
  function makeClock(offsetMinutes) {
    const offsetMs = offsetMinutes * MINUTE_MS;
    const sign = offsetMinutes < 0 ? '-' : '+';
    const magnitude = Math.abs(offsetMinutes);
    const label = 'UTC' + sign + pad(Math.floor(magnitude / 60)) + ':' + pad(magnitude % 60);
    function parts(ms) {
      const date = new Date(ms + offsetMs);
      return {
        date: date.getUTCFullYear() + '-' + pad(date.getUTCMonth() + 1) + '-' +
            pad(date.getUTCDate()),
        time: pad(date.getUTCHours()) + ':' + pad(date.getUTCMinutes()) + ':' +
            pad(date.getUTCSeconds()),
        ms: pad(date.getUTCMilliseconds(), 3),
      };
    }
    return {
      offsetMs: offsetMs,
      label: label,
      text: function (ms) {
        const p = parts(ms);
        return p.date + ' ' + p.time + '.' + p.ms;
      },
      seconds: function (ms) {
        const p = parts(ms);
        return p.date + ' ' + p.time;
      },
      // The value of a datetime-local input: "2026-01-01T00:05:00".
      input: function (ms) {
        const p = parts(ms);
        return p.date + 'T' + p.time;
      },
      hourMinute: function (ms) {
        const p = parts(ms);
        return p.time.slice(0, 5);
      },
      day: function (ms) {
        return parts(ms).date;
      },
      // Site time "YYYY-MM-DDTHH:MM[:SS[.mmm]]" to ms, or null.
      parse: function (text) {
        const m = /^(\d{4})-(\d\d)-(\d\d)[T ](\d\d):(\d\d)(?::(\d\d)(?:\.(\d{1,3}))?)?$/.exec(text);
        if (!m) {
          return null;
        }
        const ms = Date.UTC(+m[1], +m[2] - 1, +m[3], +m[4], +m[5], +(m[6] || 0),
                            +((m[7] || '0').padEnd(3, '0')));
        return Number.isFinite(ms) ? ms - offsetMs : null;
      },
    };
  }

  // ---- The data -----------------------------------------------------------------------------
  // Numbers are written as variable-length digits of 5 bits, low digit first, a digit of 32 or
  // more meaning that more follow. Signed columns are zigzag coded (0, -1, 1, -2 ... as 0, 1, 2,
  // 3 ...). The page's numbers stay below 2^52, so doubles hold them exactly.
  const DIGITS = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_';
  const DIGIT_VALUE = new Int8Array(128).fill(-1);
  for (let i = 0; i < DIGITS.length; ++i) {
    DIGIT_VALUE[DIGITS.charCodeAt(i)] = i;
  }
  function decode(text, count, signed) {
    const values = new Float64Array(count);
    let at = 0;
    let i = 0;
    while (i < text.length) {
      let value = 0;
      let scale = 1;
      let digit;
      do {
        digit = i < text.length ? DIGIT_VALUE[text.charCodeAt(i++) & 127] : -1;
        if (digit < 0) {
          throw new Error('the embedded events are damaged');
        }
        value += (digit & 31) * scale;
        scale *= 32;
      } while (digit >= 32);
      if (at === count) {
        throw new Error('the embedded events are damaged');
      }
      values[at++] = signed ? (value % 2 === 1 ? -(value + 1) / 2 : value / 2) : value;
    }
    if (at !== count) {
      throw new Error('the embedded events are damaged');
    }
    return values;
  }

  function categoryCode(category) {
    return category === 'PERSON' ? 1 : category === 'VEHICLE' ? 2 : 0;
  }

  function load() {
    const meta = JSON.parse(byId('vela-meta').textContent);
    const tail = JSON.parse(byId('vela-objects').textContent);
    const n = tail.events;
    const data = {
      meta: meta,
      n: n,
      kindsKnown: tail.form === 'document',
      uids: tail.uids,
      names: tail.names || null,
      categories: tail.categories || null,
      start: new Float64Array(n),
      duration: new Float64Array(n),
      distance: new Float64Array(n),
      a: new Uint32Array(n),
      b: new Uint32Array(n),
      x: new Float64Array(n),
      y: new Float64Array(n),
      driverA: new Int32Array(n),
      driverB: new Int32Array(n),
      kind: new Uint8Array(n),
    };
    let at = 0;
    let start = 0;
    for (const script of document.querySelectorAll('script.vela-events')) {
      const count = Number(script.getAttribute('data-count'));
      const columns = JSON.parse(script.textContent).map(function (text, c) {
        return decode(text, count, c !== 3 && c !== 4 && c !== 7 && c !== 8);
      });
      if (columns.length !== 9 || at + count > n) {
        throw new Error('the embedded events are damaged');
      }
      for (let k = 0; k < count; ++k, ++at) {
        start += columns[0][k];
        data.start[at] = start;
        data.duration[at] = columns[1][k];
        data.distance[at] = columns[2][k];
        data.a[at] = columns[3][k];
        data.b[at] = columns[4][k];
        data.x[at] = columns[5][k] / 2;
        data.y[at] = columns[6][k] / 2;
        data.driverA[at] = columns[7][k] - 1;
        data.driverB[at] = columns[8][k] - 1;
      }
    }
    if (at !== n) {
      throw new Error('the page holds ' + at + ' of its ' + n + ' events');
    }
    const codes = data.uids.map(function (uid, i) {
      return data.categories ? categoryCode(data.categories[i]) : 0;
    });
    for (let i = 0; i < n; ++i) {
      data.kind[i] = eventKind(data.kindsKnown, codes[data.a[i]], codes[data.b[i]]);
    }
    data.maxDistance = 0;
    for (let i = 0; i < n; ++i) {
      data.maxDistance = Math.max(data.maxDistance, data.distance[i]);
    }
    return data;
  }

  function eventKind(known, first, second) {
    if (!known) {
      return UNKNOWN;
    }
    if (first === 2 && second === 2) {
      return VEHICLE_VEHICLE;
    }
    if (first + second === 3) {
      return PERSON_VEHICLE;
    }
    return OTHER;
  }

  // ---- Filters --------------------------------------------------------------------------------
  // The filters live in the address after '#': kind, max (mm), obj (uid or name substring),
  // from and to (site time, events that start in the window).
  function emptyFilter() {
    return {kind: null, max: null, obj: '', from: null, to: null};
  }

  function parseFilter(hash, data, clock) {
    const filter = emptyFilter();
    const ignored = [];
    const params = new URLSearchParams(hash.replace(/^#/, ''));
    for (const [name, value] of params) {
      if (name === 'kind' && data.kindsKnown) {
        const kind = KINDS.findIndex(function (k, i) {
          return i !== UNKNOWN && k.key === value;
        });
        kind >= 0 ? (filter.kind = kind) : ignored.push(name + '=' + value);
      } else if (name === 'max' && /^\d+(\.\d+)?$/.test(value.trim())) {
        filter.max = Number(value);
      } else if (name === 'obj') {
        filter.obj = value;
      } else if ((name === 'from' || name === 'to') && clock.parse(value) !== null) {
        filter[name] = clock.parse(value);
      } else if (value !== '' || name !== 'max') {
        ignored.push(value === '' ? name : name + '=' + value);
      }
    }
    return {filter: filter, ignored: ignored};
  }

  function filterHash(filter, clock) {
    const params = new URLSearchParams();
    if (filter.kind !== null) {
      params.set('kind', KINDS[filter.kind].key);
    }
    if (filter.max !== null) {
      params.set('max', String(filter.max));
    }
    if (filter.obj !== '') {
      params.set('obj', filter.obj);
    }
    for (const name of ['from', 'to']) {
      if (filter[name] !== null) {
        params.set(name, clock.input(filter[name]));
      }
    }
    return params.toString();
  }

  function isActive(filter) {
    return filter.kind !== null || filter.max !== null || filter.obj !== '' ||
        filter.from !== null || filter.to !== null;
  }

  // Indices of the events that pass, in the order of the result.
  function select(data, filter) {
    let objectPasses = null;
    if (filter.obj !== '') {
      const needle = filter.obj.toLowerCase();
      objectPasses = new Uint8Array(data.uids.length);
      data.uids.forEach(function (uid, i) {
        const name = data.names ? data.names[i] : null;
        objectPasses[i] = uid.toLowerCase().includes(needle) ||
            (name !== null && name.toLowerCase().includes(needle)) ? 1 : 0;
      });
    }
    const chosen = new Uint32Array(data.n);
    let count = 0;
    for (let i = 0; i < data.n; ++i) {
      if ((filter.kind !== null && data.kind[i] !== filter.kind) ||
          (filter.max !== null && data.distance[i] > filter.max) ||
          (filter.from !== null && data.start[i] < filter.from) ||
          (filter.to !== null && data.start[i] > filter.to) ||
          (objectPasses !== null && !objectPasses[data.a[i]] && !objectPasses[data.b[i]])) {
        continue;
      }
      chosen[count++] = i;
    }
    return chosen.subarray(0, count);
  }

  // The chosen events by start, sorted only when the result is not in that order already.
  function byStart(data, chosen) {
    for (let k = 1; k < chosen.length; ++k) {
      if (data.start[chosen[k]] < data.start[chosen[k - 1]]) {
        return chosen.slice().sort(function (i, j) {
          return data.start[i] - data.start[j] || i - j;
        });
      }
    }
    return chosen;
  }

  // Time in near-miss is the length of the union of the events' [start, start + duration], so
  // that overlapping events count once. Fed events by start, add(g, i) adds the part of event i
  // past what group g covers already.
  function coverer(data, groups) {
    const end = new Float64Array(groups).fill(-Infinity);
    const ms = new Float64Array(groups);
    return {
      ms: ms,
      add: function (g, i) {
        const to = data.start[i] + 1000 * data.duration[i];
        if (to > end[g]) {
          ms[g] += to - Math.max(data.start[i], end[g]);
          end[g] = to;
        }
      },
    };
  }

  function wholeSeconds(ms) {
    return Math.round(ms / 1000);
  }

  function describeFilter(filter, clock) {
    const parts = [];
    if (filter.kind !== null) {
      parts.push('kind ' + KINDS[filter.kind].label);
    }
    if (filter.max !== null) {
      parts.push('distance at most ' + grouped(filter.max) + ' mm');
    }
    if (filter.obj !== '') {
      parts.push('an object whose uid or name contains "' + filter.obj + '"');
    }
    if (filter.from !== null) {
      parts.push('starting from ' + clock.seconds(filter.from));
    }
    if (filter.to !== null) {
      parts.push('starting up to ' + clock.seconds(filter.to));
    }
    return parts.join('; ');
  }

  // ---- Colours ------------------------------------------------------------------------------
  function kindColour(kind, lightness) {
    const k = KINDS[kind];
    return 'hsl(' + k.hue + ', ' + k.saturation + '%, ' + round(lightness, 1) + '%)';
  }
  // Darker when closer.
  function markColour(data, i) {
    const share = data.maxDistance > 0 ? Math.min(1, Math.max(0, data.distance[i]) /
                                                         data.maxDistance) : 0;
    return kindColour(data.kind[i], 28 + 42 * share);
  }

  // ---- Names ----------------------------------------------------------------------------------
  function objectName(data, index) {
    const name = data.names ? data.names[index] : null;
    return name !== null && name !== '' ? name : null;
  }
  function objectLabel(data, index) {
    const name = objectName(data, index);
    return name !== null ? name + ' (' + data.uids[index] + ')' : data.uids[index];
  }
  function objectCategory(data, index) {
    const category = data.categories ? data.categories[index] : null;
    return category !== null && category !== '' ? category.toLowerCase() :
        data.kindsKnown ? 'not on the site' : 'unknown';
  }

  // ---- Header ---------------------------------------------------------------------------------
  // _chosen in order of start.
  function renderHeader(data, chosen, clock, filter, ignored) {
    const kinds = [0, 0, 0, 0];
    const bands = [0, 0, 0];
    const site = coverer(data, 1);
    let first = Infinity;
    let last = -Infinity;
    for (const i of chosen) {
      ++kinds[data.kind[i]];
      const d = data.distance[i];
      ++bands[d < 500 ? 0 : d <= 1000 ? 1 : 2];
      site.add(0, i);
      first = Math.min(first, data.start[i]);
      last = Math.max(last, data.start[i] + 1000 * data.duration[i]);
    }
    setCount('count-total', chosen.length, grouped(chosen.length));
    const known = data.kindsKnown;
    setCount('count-person-vehicle', known ? kinds[PERSON_VEHICLE] : null);
    setCount('count-vehicle-vehicle', known ? kinds[VEHICLE_VEHICLE] : null);
    setCount('count-other', known ? kinds[OTHER] : null);
    byId('other-box').hidden = !known || !data.kind.some(function (k) {
      return k === OTHER;
    });
    setCount('count-below-500', bands[0]);
    setCount('count-500-1000', bands[1]);
    setCount('count-above-1000', bands[2]);
    const seconds = wholeSeconds(site.ms[0]);
    const total = byId('total-duration');
    total.setAttribute('data-seconds', seconds);
    total.textContent = durationText(seconds);

    byId('period').textContent = chosen.length === 0 ? '' :
        'Period: ' + clock.seconds(first) + ' to ' + clock.seconds(last) + ' (site time, ' +
        clock.label + '), from the first start to the last end.';
    const note = byId('filter-note');
    const lines = [];
    if (isActive(filter)) {
      lines.push('Filtered: ' + describeFilter(filter, clock) + '. Showing ' +
                 grouped(chosen.length) + ' of ' + plural(data.n, 'event', 'events') + '.');
    }
    if (ignored.length > 0) {
      lines.push('Ignored in the address: ' + ignored.join(', ') + '.');
    }
    note.textContent = lines.join(' ');
    note.hidden = lines.length === 0;
    const empty = byId('empty-note');
    empty.hidden = chosen.length > 0;
    empty.textContent = data.n === 0 ? 'No near-miss events in this result.' :
        'No event passes the filters.';
  }

  function setCount(id, value, text) {
    const node = byId(id);
    if (value === null) {
      node.removeAttribute('data-count');
      node.textContent = 'unknown';
      return;
    }
    node.setAttribute('data-count', value);
    node.textContent = text !== undefined ? text : grouped(value);
  }

  // ---- Floor plot -----------------------------------------------------------------------------
  // The frame covers every event of the result, so that filtering keeps places where they are.
  function plotFrame(data) {
    let x0 = Infinity;
    let x1 = -Infinity;
    let y0 = Infinity;
    let y1 = -Infinity;
    for (let i = 0; i < data.n; ++i) {
      x0 = Math.min(x0, data.x[i]);
      x1 = Math.max(x1, data.x[i]);
      y0 = Math.min(y0, data.y[i]);
      y1 = Math.max(y1, data.y[i]);
    }
    // In metres, with a margin, never narrower than 2 m.
    const margin = Math.max(1, 0.04 * Math.max(x1 - x0, y1 - y0) / 1000);
    const frame = {
      x0: x0 / 1000 - margin, x1: x1 / 1000 + margin, y0: y0 / 1000 - margin,
      y1: y1 / 1000 + margin,
    };
    const left = 56;
    const top = 12;
    const width = PLOT_WIDTH - left - 16;
    frame.scale = Math.min(width / (frame.x1 - frame.x0), PLOT_MAX_HEIGHT / (frame.y1 - frame.y0));
    // A flat site still gets some height: widen the y range about its middle.
    const minimumSpan = 120 / frame.scale;
    if (frame.y1 - frame.y0 < minimumSpan) {
      const middle = (frame.y0 + frame.y1) / 2;
      frame.y0 = middle - minimumSpan / 2;
      frame.y1 = middle + minimumSpan / 2;
    }
    frame.left = left;
    frame.top = top;
    frame.width = (frame.x1 - frame.x0) * frame.scale;
    frame.height = (frame.y1 - frame.y0) * frame.scale;
    // y grows upwards, as on a site plan.
    frame.px = function (metres) {
      return frame.left + (metres - frame.x0) * frame.scale;
    };
    frame.py = function (metres) {
      return frame.top + (frame.y1 - metres) * frame.scale;
    };
    return frame;
  }

  function renderPlot(data, chosen, clock, frame) {
    const plot = byId('plot');
    plot.replaceChildren();
    byId('plot-legend').replaceChildren();
    if (data.n === 0) {
      plot.setAttribute('data-mode', 'empty');
      plot.setAttribute('hidden', '');
      byId('plot-explain').textContent = 'No events to plot.';
      return;
    }
    plot.removeAttribute('hidden');
    const height = frame.top + frame.height + 44;
    plot.setAttribute('viewBox', '0 0 ' + PLOT_WIDTH + ' ' + round(height, 1));
    drawPlotAxes(plot, frame);
    const useMarks = chosen.length <= MARK_LIMIT;
    plot.setAttribute('data-mode', chosen.length === 0 ? 'none' : useMarks ? 'marks' : 'grid');
    const layer = shape(plot, 'g', {id: 'plot-layer'});
    if (useMarks) {
      drawMarks(layer, data, chosen, clock, frame);
    } else {
      drawGrid(layer, data, chosen, frame);
    }
    drawScaleBar(plot, frame);
    explainPlot(data, chosen, useMarks);
  }

  function drawPlotAxes(plot, frame) {
    shape(plot, 'rect', {
      class: 'frame', x: frame.left, y: frame.top, width: round(frame.width, 1),
      height: round(frame.height, 1),
    });
    const step = niceStep(Math.max(frame.x1 - frame.x0, frame.y1 - frame.y0) / 8);
    const bottom = frame.top + frame.height;
    for (let v = Math.ceil(frame.x0 / step) * step; v <= frame.x1; v += step) {
      const x = round(frame.px(v), 1);
      shape(plot, 'line', {class: 'grid', x1: x, x2: x, y1: frame.top, y2: bottom});
      shape(plot, 'text', {x: x, y: bottom + 14, 'text-anchor': 'middle'}, round(v, 3));
    }
    for (let v = Math.ceil(frame.y0 / step) * step; v <= frame.y1; v += step) {
      const y = round(frame.py(v), 1);
      shape(plot, 'line', {class: 'grid', x1: frame.left, x2: frame.left + frame.width, y1: y,
                           y2: y});
      shape(plot, 'text', {x: frame.left - 6, y: y + 4, 'text-anchor': 'end'}, round(v, 3));
    }
    shape(plot, 'text', {x: frame.left + frame.width / 2, y: bottom + 30, 'text-anchor': 'middle'},
          'x (m)');
    shape(plot, 'text', {
      x: 14, y: frame.top + frame.height / 2, 'text-anchor': 'middle',
      transform: 'rotate(-90 14 ' + round(frame.top + frame.height / 2, 1) + ')',
    }, 'y (m), growing upwards');
  }

  function drawScaleBar(plot, frame) {
    const metres = niceStep((frame.x1 - frame.x0) / 6);
    const length = metres * frame.scale;
    const right = frame.left + frame.width - 12;
    const y = frame.top + frame.height - 14;
    const group = shape(plot, 'g', {id: 'scale-bar'});
    shape(group, 'line', {class: 'scale-bar', x1: round(right - length, 1), x2: right, y1: y,
                          y2: y});
    shape(group, 'text', {
      class: 'scale-label', x: round(right - length / 2, 1), y: y - 6, 'text-anchor': 'middle',
    }, round(metres, 3) + ' m');
  }

  function drawMarks(layer, data, chosen, clock, frame) {
    // Farthest first, so that the closest events lie on top.
    const order = Array.from(chosen).sort(function (i, j) {
      return data.distance[j] - data.distance[i] || i - j;
    });
    for (const i of order) {
      const mark = shape(layer, 'circle', {
        class: 'mark', cx: round(frame.px(data.x[i] / 1000), 1),
        cy: round(frame.py(data.y[i] / 1000), 1), r: 4.5, fill: markColour(data, i),
        'data-event': i + 1, 'data-kind': KINDS[data.kind[i]].key,
        'data-distance': data.distance[i],
      });
      tooltip(mark, data.distance[i] + ' mm, ' + objectLabel(data, data.a[i]) + ' – ' +
              objectLabel(data, data.b[i]) + ', ' + clock.text(data.start[i]) + ' for ' +
              durationText(data.duration[i]));
    }
  }

  function drawGrid(layer, data, chosen, frame) {
    const cell = GRID_CELL_PX / frame.scale;  // metres
    const columns = Math.max(1, Math.ceil((frame.x1 - frame.x0) / cell));
    const rows = Math.max(1, Math.ceil((frame.y1 - frame.y0) / cell));
    const counts = new Float64Array(columns * rows * 4);
    for (const i of chosen) {
      const c = Math.min(columns - 1, Math.floor((data.x[i] / 1000 - frame.x0) / cell));
      const r = Math.min(rows - 1, Math.floor((frame.y1 - data.y[i] / 1000) / cell));
      ++counts[(r * columns + c) * 4 + data.kind[i]];
    }
    let most = 0;
    for (let k = 0; k < columns * rows; ++k) {
      most = Math.max(most, counts[4 * k] + counts[4 * k + 1] + counts[4 * k + 2] +
                                counts[4 * k + 3]);
    }
    for (let k = 0; k < columns * rows; ++k) {
      const perKind = counts.subarray(4 * k, 4 * k + 4);
      const total = perKind[0] + perKind[1] + perKind[2] + perKind[3];
      if (total > 0) {
        drawCell(layer, frame, k % columns, Math.floor(k / columns), perKind, total, most);
      }
    }
  }

  function drawCell(layer, frame, column, row, perKind, total, most) {
    let major = 0;
    for (let kind = 1; kind < 4; ++kind) {
      major = perKind[kind] > perKind[major] ? kind : major;
    }
    // Darker with more events, on a logarithmic scale.
    const share = Math.log(1 + total) / Math.log(1 + most);
    const attributes = {
      class: 'cell', x: round(frame.left + column * GRID_CELL_PX, 1),
      y: round(frame.top + row * GRID_CELL_PX, 1), width: GRID_CELL_PX, height: GRID_CELL_PX,
      fill: kindColour(major, 88 - 58 * share), 'data-count': total,
    };
    const parts = [];
    KINDS.forEach(function (kind, index) {
      if (perKind[index] > 0) {
        attributes['data-' + kind.key] = perKind[index];
        parts.push(grouped(perKind[index]) + ' ' + kind.label);
      }
    });
    tooltip(shape(layer, 'rect', attributes), plural(total, 'event', 'events') + ': ' +
            parts.join(', '));
  }

  function explainPlot(data, chosen, useMarks) {
    byId('plot-explain').textContent = useMarks ?
        'One mark per event (' + grouped(chosen.length) + '), at the midpoint of the two ' +
            'objects\' positions when it began; darker when closer. Site coordinates in ' +
            'metres, y growing upwards.' :
        'Density grid of ' + grouped(chosen.length) + ' events (more than ' +
            grouped(MARK_LIMIT) + ' to mark one by one): each square counts the events whose ' +
            'midpoint lies in it, darker with more, coloured by the kind most of them are. ' +
            'Site coordinates in metres, y growing upwards.';
    const legend = byId('plot-legend');
    for (const kind of presentKinds(data)) {
      const item = legend.appendChild(element('li'));
      item.appendChild(element('span', {
        class: 'swatch', style: 'background: ' + kindColour(kind, 35),
      }));
      item.appendChild(document.createTextNode(' ' + KINDS[kind].label));
    }
  }

  function presentKinds(data) {
    const present = [];
    for (let kind = 0; kind < 4; ++kind) {
      if (data.kind.includes(kind)) {
        present.push(kind);
      }
    }
    return present;
  }

  // ---- Timeline -------------------------------------------------------------------------------
  // The interval: the shortest of the steps that gives at most 120 bars.
  function timelineStep(span) {
    for (const minutes of STEPS_MIN) {
      if (span / (minutes * MINUTE_MS) < 120) {
        return minutes;
      }
    }
    let minutes = STEPS_MIN[STEPS_MIN.length - 1];
    while (span / (minutes * MINUTE_MS) >= 120) {
      minutes *= 2;
    }
    return minutes;
  }

  function renderTimeline(data, chosen, clock) {
    const svg = byId('timeline');
    svg.replaceChildren();
    byId('timeline-legend').replaceChildren();
    if (chosen.length === 0) {
      svg.setAttribute('hidden', '');
      svg.setAttribute('data-mode', 'empty');
      byId('timeline-explain').textContent = data.n === 0 ? 'No events to show.' :
          'No event passes the filters.';
      return;
    }
    svg.removeAttribute('hidden');
    svg.setAttribute('data-mode', 'bars');
    let first = Infinity;
    let last = -Infinity;
    for (const i of chosen) {
      first = Math.min(first, data.start[i]);
      last = Math.max(last, data.start[i]);
    }
    const minutes = timelineStep(last - first);
    const stepMs = minutes * MINUTE_MS;
    // Bars start on whole intervals of site time.
    const origin = Math.floor((first + clock.offsetMs) / stepMs) * stepMs - clock.offsetMs;
    const bars = Math.floor((last - origin) / stepMs) + 1;
    const counts = new Float64Array(bars * 4);
    for (const i of chosen) {
      ++counts[Math.floor((data.start[i] - origin) / stepMs) * 4 + data.kind[i]];
    }
    svg.setAttribute('data-interval-minutes', minutes);
    drawTimeline(svg, data, counts, bars, {origin: origin, stepMs: stepMs}, clock);
    byId('timeline-explain').textContent = 'Events per ' + intervalText(minutes) +
        ' by the time they started, stacked by kind; hour of day in site time (' + clock.label +
        ').';
    const legend = byId('timeline-legend');
    for (const kind of presentKinds(data)) {
      const item = legend.appendChild(element('li'));
      item.appendChild(element('span', {
        class: 'swatch', style: 'background: ' + kindColour(kind, 45),
      }));
      item.appendChild(document.createTextNode(' ' + KINDS[kind].label));
    }
  }

  function intervalText(minutes) {
    return minutes % 60 === 0 ? (minutes === 60 ? 'hour' : minutes / 60 + ' hours') :
                                (minutes === 1 ? 'minute' : minutes + ' minutes');
  }

  function drawTimeline(svg, data, counts, bars, axis, clock) {
    const left = 48;
    const top = 10;
    const width = PLOT_WIDTH - left - 12;
    const height = 170;
    svg.setAttribute('viewBox', '0 0 ' + PLOT_WIDTH + ' ' + (top + height + 44));
    let tallest = 0;
    for (let bar = 0; bar < bars; ++bar) {
      tallest = Math.max(tallest, counts[4 * bar] + counts[4 * bar + 1] + counts[4 * bar + 2] +
                                      counts[4 * bar + 3]);
    }
    const countStep = Math.max(1, niceStep(tallest / 4));
    const top_count = Math.ceil(tallest / countStep) * countStep;
    const yOf = function (count) {
      return top + height - (count / top_count) * height;
    };
    for (let v = 0; v <= top_count; v += countStep) {
      const y = round(yOf(v), 1);
      shape(svg, 'line', {class: 'grid', x1: left, x2: left + width, y1: y, y2: y});
      shape(svg, 'text', {x: left - 6, y: y + 4, 'text-anchor': 'end'}, grouped(v));
    }
    const barWidth = width / bars;
    const layer = shape(svg, 'g', {id: 'timeline-layer'});
    for (let bar = 0; bar < bars; ++bar) {
      let stacked = 0;
      const barStart = axis.origin + bar * axis.stepMs;
      for (let kind = 0; kind < 4; ++kind) {
        const count = counts[4 * bar + kind];
        if (count === 0) {
          continue;
        }
        const rect = shape(layer, 'rect', {
          class: 'bar', x: round(left + bar * barWidth + 0.5, 2),
          y: round(yOf(stacked + count), 2), width: round(Math.max(0.5, barWidth - 1), 2),
          height: round(yOf(stacked) - yOf(stacked + count), 2), fill: kindColour(kind, 45),
          'data-kind': KINDS[kind].key, 'data-count': count, 'data-start': clock.input(barStart),
        });
        tooltip(rect, clock.seconds(barStart) + ' to ' + clock.hourMinute(barStart + axis.stepMs) +
                ': ' + plural(count, KINDS[kind].label + ' event', KINDS[kind].label + ' events'));
        stacked += count;
      }
    }
    shape(svg, 'line', {class: 'axis', x1: left, x2: left + width, y1: top + height,
                        y2: top + height});
    drawHourAxis(svg, axis, bars, {left: left, width: width, bottom: top + height}, clock);
  }

  // Ticks on whole steps of site time, labelled with the hour of day; the date under midnight.
  function drawHourAxis(svg, axis, bars, box, clock) {
    const span = bars * axis.stepMs;
    const tickMinutes = STEPS_MIN.find(function (m) {
      return span / (m * MINUTE_MS) <= 12;
    }) || Math.ceil(span / (12 * 1440 * MINUTE_MS)) * 1440;
    const tickMs = tickMinutes * MINUTE_MS;
    const xOf = function (ms) {
      return box.left + (ms - axis.origin) / span * box.width;
    };
    const firstTick = Math.ceil((axis.origin + clock.offsetMs) / tickMs) * tickMs - clock.offsetMs;
    for (let t = firstTick; t <= axis.origin + span; t += tickMs) {
      const x = round(xOf(t), 1);
      shape(svg, 'line', {class: 'axis', x1: x, x2: x, y1: box.bottom, y2: box.bottom + 5});
      // The last label ends at the axis' end rather than beyond it.
      const anchor = x > box.left + box.width - 20 ? 'end' : 'middle';
      shape(svg, 'text', {class: 'hour', x: x, y: box.bottom + 17, 'text-anchor': anchor},
            clock.hourMinute(t));
      if (clock.hourMinute(t) === '00:00') {
        shape(svg, 'text', {x: x, y: box.bottom + 31, 'text-anchor': anchor}, clock.day(t));
      }
    }
  }

  // ---- Tables ---------------------------------------------------------------------------------
  function objectCell(data, index, driver) {
    const cell = element('td');
    const name = objectName(data, index);
    cell.appendChild(element('span', {class: 'name'}, name !== null ? name : data.uids[index]));
    const uid = name !== null ? data.uids[index] + ', ' : '';
    cell.appendChild(element('span', {class: 'uid'}, uid + objectCategory(data, index)));
    if (driver >= 0) {
      const driverText = 'driven by ' + objectLabel(data, driver);
      cell.appendChild(element('span', {class: 'driver'}, driverText));
    }
    return cell;
  }

  function numberCell(text) {
    return element('td', {class: 'number'}, text);
  }

  function fillTable(id, rows, total, what) {
    const body = byId(id).querySelector('tbody');
    body.replaceChildren();
    for (const row of rows) {
      body.appendChild(row);
    }
    byId(id).hidden = rows.length === 0;
    byId(id + '-note').textContent = total === 0 ? 'None.' : total > rows.length ?
        'The first ' + rows.length + ' of ' + plural(total, what, what + 's') + '.' :
        plural(total, what, what + 's') + '.';
  }

  // The closest events: by distance, then start, then order in the result.
  function closestEvents(data, chosen) {
    const before = function (i, j) {
      return data.distance[i] - data.distance[j] || data.start[i] - data.start[j] || i - j;
    };
    const best = [];
    for (const i of chosen) {
      if (best.length === TABLE_ROWS && before(i, best[TABLE_ROWS - 1]) >= 0) {
        continue;
      }
      let at = best.length;
      while (at > 0 && before(i, best[at - 1]) < 0) {
        --at;
      }
      best.splice(at, 0, i);
      best.length = Math.min(best.length, TABLE_ROWS);
    }
    return best;
  }

  function renderClosest(data, chosen, clock) {
    const rows = closestEvents(data, chosen).map(function (i) {
      const row = element('tr', {
        class: 'closest-row', 'data-event': i + 1, 'data-distance': data.distance[i],
      });
      row.appendChild(numberCell(grouped(data.distance[i]) + ' mm'));
      row.appendChild(element('td', {class: 'time'}, clock.text(data.start[i])));
      row.appendChild(numberCell(durationText(data.duration[i])));
      row.appendChild(objectCell(data, data.a[i], data.driverA[i]));
      row.appendChild(objectCell(data, data.b[i], data.driverB[i]));
      row.appendChild(element('td', {}, KINDS[data.kind[i]].label));
      const command = element('td', {class: 'explain-command'});
      command.appendChild(element('code', {}, explainCommand(data, i)));
      row.appendChild(command);
      return row;
    });
    fillTable('closest', rows, chosen.length, 'event');
  }

  // The vela-explain command that tells the story of event _i's pair around its time, in UTC as
  // vela-explain takes it. The result does not hold the inputs' names nor the threshold.
  function explainCommand(data, i) {
    const margin = 10000;  // ms before and after the event
    const utc = function (ms) {  // epoch seconds where a date cannot say it
      const date = new Date(ms);
      return isNaN(date.getTime()) || ms < 0 || date.getUTCFullYear() > 9999 ?
          String(Math.floor(ms / 1000)) : date.toISOString().slice(0, 19) + 'Z';
    };
    const from = utc(Math.floor(data.start[i] / 1000) * 1000 - margin);
    const to = utc(data.start[i] + 1000 * data.duration[i] + margin);
    return 'vela-explain -i POSITIONS -t TRACKABLES -a ASSOCIATIONS -d DISTANCE_MM ' +
        shellWord(data.uids[data.a[i]]) + ' ' + shellWord(data.uids[data.b[i]]) +
        ' --from ' + from + ' --to ' + to;
  }

  // A word as a shell reads it back whole: quoted unless it is plain.
  function shellWord(text) {
    return /^[A-Za-z0-9_.:@%+=,/-]+$/.test(text) ? text :
        "'" + text.replace(/'/g, "'\\''") + "'";
  }

  // _chosen in order of start.
  function renderPairs(data, chosen) {
    const objects = data.uids.length;
    const pairs = new Map();
    const time = coverer(data, chosen.length);
    for (const i of chosen) {
      const low = Math.min(data.a[i], data.b[i]);
      const high = Math.max(data.a[i], data.b[i]);
      const key = low * objects + high;
      let pair = pairs.get(key);
      if (pair === undefined) {
        pair = {low: low, high: high, kind: data.kind[i], count: 0, closest: Infinity,
                index: pairs.size};
        pairs.set(key, pair);
      }
      ++pair.count;
      pair.closest = Math.min(pair.closest, data.distance[i]);
      time.add(pair.index, i);
    }
    const sorted = Array.from(pairs.values()).sort(function (p, q) {
      return q.count - p.count || p.closest - q.closest || p.low - q.low || p.high - q.high;
    });
    const rows = sorted.slice(0, TABLE_ROWS).map(function (pair) {
      const seconds = wholeSeconds(time.ms[pair.index]);
      const row = element('tr', {
        class: 'pair-row', 'data-count': pair.count, 'data-closest': pair.closest,
        'data-seconds': seconds,
      });
      row.appendChild(numberCell(grouped(pair.count)));
      row.appendChild(objectCell(data, pair.low, -1));
      row.appendChild(objectCell(data, pair.high, -1));
      row.appendChild(element('td', {}, KINDS[pair.kind].label));
      row.appendChild(numberCell(grouped(pair.closest) + ' mm'));
      row.appendChild(numberCell(durationText(seconds)));
      return row;
    });
    fillTable('pairs', rows, pairs.size, 'pair');
  }

  // _chosen in order of start.
  function renderObjects(data, chosen) {
    const objects = data.uids.length;
    const count = new Float64Array(objects);
    const closest = new Float64Array(objects).fill(Infinity);
    const time = coverer(data, objects);
    for (const i of chosen) {
      for (const o of data.a[i] === data.b[i] ? [data.a[i]] : [data.a[i], data.b[i]]) {
        ++count[o];
        closest[o] = Math.min(closest[o], data.distance[i]);
        time.add(o, i);
      }
    }
    const involved = [];
    for (let o = 0; o < objects; ++o) {
      if (count[o] > 0) {
        involved.push(o);
      }
    }
    involved.sort(function (o, p) {
      return count[p] - count[o] || closest[o] - closest[p] || o - p;
    });
    const rows = involved.slice(0, TABLE_ROWS).map(function (o) {
      const seconds = wholeSeconds(time.ms[o]);
      const row = element('tr', {
        class: 'object-row', 'data-count': count[o], 'data-seconds': seconds,
      });
      row.appendChild(numberCell(grouped(count[o])));
      const cell = objectCell(data, o, -1);
      row.appendChild(cell);
      row.appendChild(element('td', {}, objectCategory(data, o)));
      row.appendChild(numberCell(grouped(closest[o]) + ' mm'));
      row.appendChild(numberCell(durationText(seconds)));
      return row;
    });
    fillTable('objects', rows, involved.length, 'object');
  }

  // ---- The form -------------------------------------------------------------------------------
  function setUpForm(data, clock) {
    const kind = byId('filter-kind');
    if (data.kindsKnown) {
      kind.appendChild(element('option', {value: ''}, 'all'));
      for (const k of presentKinds(data)) {
        kind.appendChild(element('option', {value: KINDS[k].key}, KINDS[k].label));
      }
    } else {
      kind.appendChild(element('option', {value: ''}, 'unknown in this result'));
      kind.disabled = true;
    }
    if (data.n > 0) {
      let first = Infinity;
      let last = -Infinity;
      for (let i = 0; i < data.n; ++i) {
        first = Math.min(first, data.start[i]);
        last = Math.max(last, data.start[i]);
      }
      for (const id of ['filter-from', 'filter-to']) {
        byId(id).min = clock.input(Math.floor(first / 1000) * 1000);
        byId(id).max = clock.input(Math.ceil(last / 1000) * 1000);
      }
    }
  }

  function showFilter(filter, clock) {
    byId('filter-kind').value = filter.kind !== null ? KINDS[filter.kind].key : '';
    byId('filter-max').value = filter.max !== null ? String(filter.max) : '';
    byId('filter-obj').value = filter.obj;
    byId('filter-from').value = filter.from !== null ? clock.input(filter.from) : '';
    byId('filter-to').value = filter.to !== null ? clock.input(filter.to) : '';
  }

  function readForm(data, clock) {
    const filter = emptyFilter();
    const kind = byId('filter-kind').value;
    const index = KINDS.findIndex(function (k) {
      return k.key === kind;
    });
    filter.kind = data.kindsKnown && index >= 0 ? index : null;
    const max = byId('filter-max').value.trim();
    filter.max = /^\d+(\.\d+)?$/.test(max) ? Number(max) : null;
    filter.obj = byId('filter-obj').value;
    filter.from = clock.parse(byId('filter-from').value);
    filter.to = clock.parse(byId('filter-to').value);
    return filter;
  }

  // ---- Putting it together --------------------------------------------------------------------
  function main() {
    const data = load();
    const clock = makeClock(data.meta.utcOffsetMinutes);
    if (!data.kindsKnown) {
      const note = byId('form-note');
      note.textContent = 'This result is the bare events array that vela writes to standard ' +
          'output: it names no objects, so the kinds of the events are unknown and objects ' +
          'appear by uid only.';
      note.hidden = false;
    }
    const frame = data.n > 0 ? plotFrame(data) : null;
    function render(filter, ignored) {
      const chosen = select(data, filter);
      const ordered = byStart(data, chosen);
      renderHeader(data, ordered, clock, filter, ignored);
      renderPlot(data, chosen, clock, frame);
      renderTimeline(data, chosen, clock);
      renderClosest(data, chosen, clock);
      renderPairs(data, ordered);
      renderObjects(data, ordered);
    }
    function fromAddress() {
      const parsed = parseFilter(window.location.hash, data, clock);
      showFilter(parsed.filter, clock);
      render(parsed.filter, parsed.ignored);
    }
    let pending = false;
    function fromForm() {
      if (pending) {
        return;
      }
      pending = true;
      // Once for a burst of input events, after the form has taken them all (a reset too).
      window.setTimeout(function () {
        pending = false;
        const filter = readForm(data, clock);
        const hash = filterHash(filter, clock);
        const here = window.location.pathname + window.location.search;
        window.history.replaceState(null, '', hash ? here + '#' + hash : here);
        render(filter, []);
      }, 0);
    }
    setUpForm(data, clock);
    const form = byId('filter-form');
    form.addEventListener('input', fromForm);
    form.addEventListener('change', fromForm);
    form.addEventListener('reset', fromForm);
    form.addEventListener('submit', function (event) {
      event.preventDefault();
    });
    window.addEventListener('hashchange', fromAddress);
    fromAddress();
  }

  try {
    main();
    document.body.setAttribute('data-state', 'ready');
  } catch (error) {
    const message = byId('page-error');
    message.textContent = 'This page could not be drawn: ' + error.message;
    message.hidden = false;
    document.body.setAttribute('data-state', 'error');
  }
})();
