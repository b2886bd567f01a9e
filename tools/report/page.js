// Draws the report from the data embedded in the page: the header counts, the floor plot (over
// the site's plan and zones, when given), the zones, the timeline and the tables, for the
// events that pass the filters, and what the page was made from. Text from the result and the
// zones only ever reaches the page through textContent and setAttribute, never as markup.
'use strict';
(function () {
  const SVG_NS = 'http://www.w3.org/2000/svg';
  const MARK_LIMIT = 3000;  // more events than this are drawn as a density grid
  const TABLE_ROWS = 20;
  const PLOT_WIDTH = 900;
  const PLOT_MAX_HEIGHT = 640;
  const GRID_CELL_PX = 10;  // the smallest square of the density grid; its side is a round length
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
  // A count in a narrow cell: 1,234 as 1.2k, 123,456 as 123k; the exact count in its title.
  function compact(value) {
    const units = [[1e9, 'G'], [1e6, 'M'], [1e3, 'k']];
    for (const [size, unit] of units) {
      if (value >= size) {
        const scaled = value / size;
        return (scaled < 10 ? (Math.floor(scaled * 10) / 10).toFixed(1) : Math.floor(scaled)) + unit;
      }
    }
    return String(value);
  }
  // A round count on an axis, exactly and short: 1,000 as 1k, 1,200,000 as 1.2M.
  function axisCount(value) {
    const units = [[1e9, 'G'], [1e6, 'M'], [1e3, 'k']];
    for (const [size, unit] of units) {
      if (value >= size) {
        return round(value / size, 3) + unit;
      }
    }
    return String(value);
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
  // The page carries the site's offsets from UTC over its events' time (and a day each way): the
  // offset in effect from each instant on, the first also before it. A time zone's daylight
  // saving time is a change of offset, so times, days and hours of day follow it. "Wall" times
  // are site times counted as if they were UTC: the date of wall time w is new Date(w)'s UTC date.
  const DAY_MS = 86400000;
  const WEEKDAYS = ['Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday', 'Sunday'];

  function offsetText(minutes) {
    const magnitude = Math.abs(minutes);
    return (minutes < 0 ? '-' : '+') + pad(Math.floor(magnitude / 60)) + ':' + pad(magnitude % 60);
  }

  function makeClock(spec) {
    const valid = spec && typeof spec.label === 'string' && Array.isArray(spec.offsets) &&
        spec.offsets.length > 0 && spec.offsets.every(function (entry, k) {
          return Array.isArray(entry) && Number.isFinite(entry[0]) &&
              Number.isInteger(entry[1]) && Math.abs(entry[1]) < 24 * 60 &&
              (k === 0 || entry[0] > spec.offsets[k - 1][0]);
        });
    if (!valid) {
      throw new Error('the embedded clock is damaged');
    }
    const from = Float64Array.from(spec.offsets, function (entry) {
      return entry[0];
    });
    const offset = Float64Array.from(spec.offsets, function (entry) {
      return entry[1] * MINUTE_MS;
    });
    // The last entry whose key (from[k] + shift[k]) is at most _value; 0 when there is none.
    function lastAtMost(value, shifted) {
      let low = 0;
      let high = from.length - 1;
      while (low < high) {
        const middle = (low + high + 1) >> 1;
        if (from[middle] + (shifted ? offset[middle] : 0) <= value) {
          low = middle;
        } else {
          high = middle - 1;
        }
      }
      return low;
    }
    function offsetAt(ms) {
      return offset[lastAtMost(ms, false)];
    }
    function wall(ms) {
      return ms + offsetAt(ms);
    }
    // The instant a wall time stands for: of a wall time that comes twice (the clocks went back)
    // the earlier; one that never came (the clocks went forward) is read with the offset before
    // the change, which lands as far past the change as it lies past its start.
    function instant(w) {
      const k = lastAtMost(w, true);
      return k > 0 && w - offset[k - 1] < from[k] ? w - offset[k - 1] : w - offset[k];
    }
    function parts(w) {
      const date = new Date(w);
      return {
        date: date.getUTCFullYear() + '-' + pad(date.getUTCMonth() + 1) + '-' +
            pad(date.getUTCDate()),
        time: pad(date.getUTCHours()) + ':' + pad(date.getUTCMinutes()) + ':' +
            pad(date.getUTCSeconds()),
        ms: pad(date.getUTCMilliseconds(), 3),
      };
    }
    const clock = {
      label: spec.label,
      // Whether the offset changes between two instants.
      changesBetween: function (a, b) {
        return lastAtMost(a, false) !== lastAtMost(b, false);
      },
      wall: wall,
      instant: instant,
      // "+01:00", the offset in effect at _ms.
      offsetText: function (ms) {
        return offsetText(offsetAt(ms) / MINUTE_MS);
      },
      text: function (ms) {
        const p = parts(wall(ms));
        return p.date + ' ' + p.time + '.' + p.ms;
      },
      seconds: function (ms) {
        return clock.wallSeconds(wall(ms));
      },
      // As the address holds it: "2026-01-01T00:05:00".
      input: function (ms) {
        const p = parts(wall(ms));
        return p.date + 'T' + p.time;
      },
      // As a person types it in a time field (24-hour): "2026-01-01 00:05:00".
      field: function (ms) {
        return clock.wallSeconds(wall(ms));
      },
      wallSeconds: function (w) {
        const p = parts(w);
        return p.date + ' ' + p.time;
      },
      wallInput: function (w) {
        const p = parts(w);
        return p.date + 'T' + p.time;
      },
      wallHourMinute: function (w) {
        return parts(w).time.slice(0, 5);
      },
      wallDay: function (w) {
        return parts(w).date;
      },
      // Site time "YYYY-MM-DDTHH:MM[:SS[.mmm]]" (or a space for the T) to ms, or null: also
      // for a date or time that does not exist (2026-02-30, 24:00), rather than another one.
      parse: function (text) {
        const m = /^(\d{4})-(\d\d)-(\d\d)[T ](\d\d):(\d\d)(?::(\d\d)(?:\.(\d{1,3}))?)?$/.exec(
            text.trim());
        if (!m) {
          return null;
        }
        const values = [+m[1], +m[2] - 1, +m[3], +m[4], +m[5], +(m[6] || 0)];
        const date = new Date(Date.UTC(values[0], values[1], values[2], values[3], values[4],
                                       values[5], +((m[7] || '0').padEnd(3, '0'))));
        date.setUTCFullYear(values[0]);  // Date.UTC takes years 0 to 99 as 1900 to 1999
        const back = [date.getUTCFullYear(), date.getUTCMonth(), date.getUTCDate(),
                      date.getUTCHours(), date.getUTCMinutes(), date.getUTCSeconds()];
        const w = date.getTime();
        return Number.isFinite(w) && back.every(function (v, k) {
          return v === values[k];
        }) ? instant(w) : null;
      },
    };
    return clock;
  }

  // The day of wall time _w, counted from 1970-01-01, and its weekday (0 for Monday).
  function dayOf(w) {
    return Math.floor(w / DAY_MS);
  }
  function weekdayOf(day) {
    return ((day + 3) % 7 + 7) % 7;  // 1970-01-01 was a Thursday
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

  // An object's category as a code: 0 another (or none, an object not on the site), 1 a
  // person, 2 a vehicle, 3 unknown (an events array's object that the documents do not agree on,
  // or do not list).
  const PERSON_CODE = 1;
  const VEHICLE_CODE = 2;
  const UNKNOWN_CODE = 3;
  function categoryCode(category) {
    return category === 'PERSON' ? PERSON_CODE : category === 'VEHICLE' ? VEHICLE_CODE : 0;
  }

  function load() {
    const meta = JSON.parse(byId('vela-meta').textContent);
    const tail = JSON.parse(byId('vela-objects').textContent);
    const made = JSON.parse(byId('vela-provenance').textContent);
    const n = tail.events;
    const data = {
      meta: meta,
      made: made,
      n: n,
      // Kinds are known where categories are: with a result document among the results.
      kindsKnown: tail.form === 'document' || tail.form === 'mixed',
      form: tail.form,
      uids: tail.uids,
      disagreement: tail.disagreement || null,
      // The results, in the order read: each event's result is an index into them.
      results: made.inputs.filter(function (input) {
        return input.role === 'result';
      }).map(function (input) {
        return input.name;
      }),
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
      result: new Uint32Array(n),
      // With zones: each event's set of zones (an index into zoneSets, 0 for none).
      zones: meta.zones || null,
      zoneSets: tail.zoneSets || null,
      zoneSet: new Uint32Array(meta.zones ? n : 0),
      threshold: typeof meta.thresholdMm === 'number' ? meta.thresholdMm : null,
      // What vela-report found amiss in the zones or the plan: other units than the events'.
      warnings: tail.warnings || [],
    };
    data.clock = makeClock(tail.clock);
    // Nine columns, the zones' set with zones, and last the result's index.
    const columnCount = data.zones ? 11 : 10;
    const resultColumn = columnCount - 1;
    if (data.zones && (!data.zoneSets || data.zoneSets.length === 0)) {
      throw new Error('the embedded zones are damaged');
    }
    let at = 0;
    let start = 0;
    for (const script of document.querySelectorAll('script.vela-events')) {
      const count = Number(script.getAttribute('data-count'));
      const columns = JSON.parse(script.textContent).map(function (text, c) {
        return decode(text, count, c !== 3 && c !== 4 && c < 7);
      });
      if (columns.length !== columnCount || at + count > n) {
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
        if (data.zones) {
          if (columns[9][k] >= data.zoneSets.length) {
            throw new Error('the embedded zones are damaged');
          }
          data.zoneSet[at] = columns[9][k];
        }
        if (columns[resultColumn][k] >= data.results.length) {
          throw new Error('the embedded events are damaged');
        }
        data.result[at] = columns[resultColumn][k];
      }
    }
    if (at !== n) {
      throw new Error('the page holds ' + at + ' of its ' + n + ' events');
    }
    for (let i = 0; i < n; ++i) {
      if (data.a[i] >= data.uids.length || data.b[i] >= data.uids.length ||
          data.driverA[i] >= data.uids.length || data.driverB[i] >= data.uids.length) {
        throw new Error('the embedded events are damaged');
      }
    }
    readListings(data);
    labelEvents(data);
    for (let i = 0; i < n; ++i) {
      data.kind[i] = eventKind(data.kindsKnown, data.labelCode[data.la[i]],
                               data.labelCode[data.lb[i]]);
    }
    data.maxDistance = 0;
    for (let i = 0; i < n; ++i) {
      data.maxDistance = Math.max(data.maxDistance, data.distance[i]);
    }
    // Site time of each start, for the timeline, the days and the hours.
    data.wall = new Float64Array(n);
    for (let i = 0; i < n; ++i) {
      data.wall[i] = data.clock.wall(data.start[i]);
    }
    return data;
  }

  function eventKind(known, first, second) {
    if (!known || first === UNKNOWN_CODE || second === UNKNOWN_CODE) {
      return UNKNOWN;
    }
    if (first === VEHICLE_CODE && second === VEHICLE_CODE) {
      return VEHICLE_VEHICLE;
    }
    if (first + second === PERSON_CODE + VEHICLE_CODE) {
      return PERSON_VEHICLE;
    }
    return OTHER;
  }

  // Each result document's objects, after its events: uid indices with their names and
  // categories; null for a bare events array. Per uid, every name and category any result gave it.
  function readListings(data) {
    data.listings = data.results.map(function () {
      return null;
    });
    for (const script of document.querySelectorAll('script.vela-listing')) {
      const r = Number(script.getAttribute('data-result'));
      const listing = JSON.parse(script.textContent);
      const valid = Number.isInteger(r) && r >= 0 && r < data.results.length &&
          data.listings[r] === null && Array.isArray(listing.uids) &&
          Array.isArray(listing.names) && Array.isArray(listing.categories) &&
          listing.names.length === listing.uids.length &&
          listing.categories.length === listing.uids.length &&
          listing.uids.every(function (u) {
            return Number.isInteger(u) && u >= 0 && u < data.uids.length;
          });
      if (!valid) {
        throw new Error('the embedded objects are damaged');
      }
      data.listings[r] = listing;
    }
    const found = data.disagreement;
    if (found !== null && !(Array.isArray(found.variants) && found.variants.every(function (v) {
      return Array.isArray(v) && v[2] >= 0 && v[2] < data.results.length;
    }))) {
      throw new Error('the embedded objects are damaged');
    }
    const addOnce = function (list, text) {
      if (!list.includes(text)) {
        list.push(text);
      }
    };
    data.allNames = data.uids.map(function () {
      return [];
    });
    data.allCategories = data.uids.map(function () {
      return [];
    });
    data.listedAnywhere = new Uint8Array(data.uids.length);
    for (const listing of data.listings) {
      for (let k = 0; listing !== null && k < listing.uids.length; ++k) {
        const u = listing.uids[k];
        data.listedAnywhere[u] = 1;
        if (listing.names[k] !== '') {
          addOnce(data.allNames[u], listing.names[k]);
        }
        addOnce(data.allCategories[u], listing.categories[k]);
      }
    }
  }

  // A label is an object as one result names it: its uid, names, categories, the code of its
  // kind, and whether a document gave it. Each side of an event carries the label of its object
  // in the event's own result, so that a uid that is another object in another result is shown
  // and counted as what it was in this one. An events array names no objects: its objects
  // borrow what the documents say of them, every name, and a category where they agree.
  function labelEvents(data) {
    data.labelUid = [];
    data.labelNames = [];
    data.labelCategories = [];
    data.labelCode = [];
    data.labelDocument = [];
    const interned = new Map();
    const label = function (u, names, categories, code, fromDocument) {
      const key = JSON.stringify([u, names, categories, code, fromDocument]);
      let l = interned.get(key);
      if (l === undefined) {
        l = data.labelUid.length;
        data.labelUid.push(u);
        data.labelNames.push(names);
        data.labelCategories.push(categories);
        data.labelCode.push(code);
        data.labelDocument.push(fromDocument);
        interned.set(key, l);
      }
      return l;
    };
    const positions = [];  // by result, lazily: where each uid is in its listing
    data.labelFor = function (r, u) {
      const listing = data.listings[r];
      if (listing === null) {
        const categories = data.allCategories[u];
        const code = data.listedAnywhere[u] && categories.length === 1 ?
            categoryCode(categories[0]) : UNKNOWN_CODE;
        return label(u, data.allNames[u], categories, code, false);
      }
      if (positions[r] === undefined) {
        positions[r] = new Map(listing.uids.map(function (v, k) {
          return [v, k];
        }));
      }
      const k = positions[r].get(u);
      if (k === undefined) {  // not on the site of this result
        return label(u, [], [], 0, true);
      }
      const name = listing.names[k];
      const category = listing.categories[k];
      return label(u, name !== '' ? [name] : [], [category], categoryCode(category), true);
    };
    // The events of a result come together: each uid's label is looked up once per result.
    const n = data.n;
    data.la = new Uint32Array(n);
    data.lb = new Uint32Array(n);
    const labelOf = new Int32Array(data.uids.length).fill(-1);
    let touched = [];
    let current = -1;
    const labelled = function (r, u) {
      if (labelOf[u] < 0) {
        labelOf[u] = data.labelFor(r, u);
        touched.push(u);
      }
      return labelOf[u];
    };
    for (let i = 0; i < n; ++i) {
      if (data.result[i] !== current) {
        for (const u of touched) {
          labelOf[u] = -1;
        }
        touched = [];
        current = data.result[i];
      }
      data.la[i] = labelled(current, data.a[i]);
      data.lb[i] = labelled(current, data.b[i]);
    }
  }

  // ---- Filters --------------------------------------------------------------------------------
  // The filters live in the address after '#': kind, zone (its name), max (mm), obj (part of a
  // uid or name; in double quotes, a whole uid or name), driver (a driver's uid, of either
  // object), file (a result's name as "Made from" lists it), from and to (site time, events
  // that start in the window).
  function emptyFilter() {
    return {kind: null, zone: null, max: null, obj: '', driver: null, file: null, from: null,
            to: null};
  }

  function zoneIndex(data, name) {
    return data.zones ? data.zones.findIndex(function (zone) {
      return zone.name === name;
    }) : -1;
  }

  // The object filter as a whole uid or name: the text in double quotes; null for a part.
  function exactObject(obj) {
    return obj.length >= 2 && obj[0] === '"' && obj[obj.length - 1] === '"' ?
        obj.slice(1, -1) : null;
  }

  // The object filter that shows the events of one object, and only its.
  function objectFilterOf(data, index) {
    return '"' + data.uids[index] + '"';
  }

  // The filter an address states, and what in it cannot be read, each with the reason.
  function parseFilter(hash, data) {
    const clock = data.clock;
    const filter = emptyFilter();
    const unread = [];
    const params = new URLSearchParams(hash.replace(/^#/, ''));
    for (const [name, value] of params) {
      const given = value === '' ? name : name + '=' + value;
      if (name === 'kind') {
        const kind = KINDS.findIndex(function (k, i) {
          return i !== UNKNOWN && k.key === value;
        });
        if (!data.kindsKnown) {
          unread.push(given + ' (this result names no objects, so its kinds are unknown)');
        } else if (kind < 0) {
          unread.push(given + ' (the kinds are person-vehicle, vehicle-vehicle and other)');
        } else {
          filter.kind = kind;
        }
      } else if (name === 'zone') {
        const zone = zoneIndex(data, value);
        if (zone >= 0) {
          filter.zone = zone;
        } else {
          unread.push(given + (data.zones ? ' (no zone has that name)' :
                                            ' (this page was made without zones)'));
        }
      } else if (name === 'max') {
        if (/^\d+(\.\d+)?$/.test(value.trim())) {
          filter.max = Number(value);
        } else if (value !== '') {
          unread.push(given + ' (not a distance in millimetres, such as 500)');
        }
      } else if (name === 'obj') {
        if (value !== '') {
          filter.obj = value;
        }
      } else if (name === 'driver') {
        const driver = data.driverIndex.get(value);
        if (driver !== undefined) {
          filter.driver = driver;
        } else if (value !== '') {
          unread.push(given + ' (no event of this page names that uid as a driver)');
        }
      } else if (name === 'file') {
        if (data.results.includes(value)) {
          filter.file = value;
        } else if (value !== '') {
          unread.push(given + ' (no result of this page has that name; they are ' +
                      data.results.map(function (result) {
                        return '"' + result + '"';
                      }).join(', ') + ')');
        }
      } else if (name === 'from' || name === 'to') {
        const ms = clock.parse(value);
        if (ms !== null) {
          filter[name] = ms;
        } else if (value !== '') {
          unread.push(given + ' (not a date and time of site time, such as ' +
                      '2026-01-01T00:05:00)');
        }
      } else {
        unread.push(given + ' (not a filter of this page: kind, ' + (data.zones ? 'zone, ' : '') +
                    'max, obj, driver, file, from, to)');
      }
    }
    return {filter: filter, unread: unread};
  }

  function filterHash(filter, data) {
    const params = new URLSearchParams();
    if (filter.kind !== null) {
      params.set('kind', KINDS[filter.kind].key);
    }
    if (filter.zone !== null) {
      params.set('zone', data.zones[filter.zone].name);
    }
    if (filter.max !== null) {
      params.set('max', String(filter.max));
    }
    if (filter.obj !== '') {
      params.set('obj', filter.obj);
    }
    if (filter.driver !== null) {
      params.set('driver', data.uids[filter.driver]);
    }
    if (filter.file !== null) {
      params.set('file', filter.file);
    }
    for (const name of ['from', 'to']) {
      if (filter[name] !== null) {
        params.set(name, data.clock.input(filter[name]));
      }
    }
    return params.toString();
  }

  // A link to this page with _filter changed by _change, the other filters kept.
  function filterLink(data, filter, change) {
    return '#' + filterHash(Object.assign({}, filter, change), data);
  }

  function isActive(filter) {
    return filter.kind !== null || filter.zone !== null || filter.max !== null ||
        filter.obj !== '' || filter.driver !== null || filter.file !== null ||
        filter.from !== null || filter.to !== null;
  }

  // Indices of the events that pass, in the order of the results.
  function select(data, filter) {
    let objectPasses = null;
    if (filter.obj !== '') {
      const exact = exactObject(filter.obj);
      const needle = filter.obj.toLowerCase();
      // By label: an object's name in an event's own result.
      objectPasses = new Uint8Array(data.labelUid.length);
      data.labelUid.forEach(function (u, l) {
        const uid = data.uids[u];
        const names = data.labelNames[l];
        objectPasses[l] = (exact !== null ? uid === exact || names.includes(exact) :
            uid.toLowerCase().includes(needle) || names.some(function (name) {
              return name.toLowerCase().includes(needle);
            })) ? 1 : 0;
      });
    }
    let setPasses = null;  // by set of zones: whether it holds the zone chosen
    if (filter.zone !== null) {
      setPasses = new Uint8Array(data.zoneSets.length);
      data.zoneSets.forEach(function (set, k) {
        setPasses[k] = set.includes(filter.zone) ? 1 : 0;
      });
    }
    let resultPasses = null;  // by result: whether it has the name chosen
    if (filter.file !== null) {
      resultPasses = Uint8Array.from(data.results, function (name) {
        return name === filter.file ? 1 : 0;
      });
    }
    const driver = filter.driver;
    const chosen = new Uint32Array(data.n);
    let count = 0;
    for (let i = 0; i < data.n; ++i) {
      if ((filter.kind !== null && data.kind[i] !== filter.kind) ||
          (filter.max !== null && data.distance[i] > filter.max) ||
          (filter.from !== null && data.start[i] < filter.from) ||
          (filter.to !== null && data.start[i] > filter.to) ||
          (setPasses !== null && !setPasses[data.zoneSet[i]]) ||
          (resultPasses !== null && !resultPasses[data.result[i]]) ||
          (driver !== null && data.driverA[i] !== driver && data.driverB[i] !== driver) ||
          (objectPasses !== null && !objectPasses[data.la[i]] && !objectPasses[data.lb[i]])) {
        continue;
      }
      chosen[count++] = i;
    }
    return chosen.subarray(0, count);
  }

  // The chosen events by start, sorted only when the results are not in that order already.
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

  function describeFilter(filter, data) {
    const parts = [];
    if (filter.kind !== null) {
      parts.push('kind ' + KINDS[filter.kind].label);
    }
    if (filter.zone !== null) {
      parts.push('in zone "' + data.zones[filter.zone].name + '"');
    }
    if (filter.max !== null) {
      parts.push('distance at most ' + grouped(filter.max) + ' mm');
    }
    if (filter.obj !== '') {
      const exact = exactObject(filter.obj);
      parts.push(exact !== null ? 'an object whose uid or name is "' + exact + '"' :
                                  'an object whose uid or name contains "' + filter.obj + '"');
    }
    if (filter.driver !== null) {
      parts.push('driven by ' + objectLabel(data, filter.driver));
    }
    if (filter.file !== null) {
      parts.push('from the result "' + filter.file + '"');
    }
    if (filter.from !== null) {
      parts.push('starting from ' + data.clock.seconds(filter.from));
    }
    if (filter.to !== null) {
      parts.push('starting up to ' + data.clock.seconds(filter.to));
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
  // Names and categories joined: a uid that was "Tug 3" in one result and "Person 7" in another
  // is "Tug 3 / Person 7".
  function joinedNames(names) {
    return names.length > 0 ? names.join(' / ') : null;
  }
  function joinedCategories(categories, fallback) {
    const known = categories.filter(function (category) {
      return category !== '';
    });
    return known.length > 0 ? known.map(function (category) {
      return category.toLowerCase();
    }).join(' / ') : fallback;
  }
  // An object over every result: each name and category it had.
  function objectName(data, index) {
    return joinedNames(data.allNames[index]);
  }
  function objectLabel(data, index) {
    const name = objectName(data, index);
    return name !== null ? name + ' (' + data.uids[index] + ')' : data.uids[index];
  }
  function objectCategory(data, index) {
    return joinedCategories(data.allCategories[index],
                            data.form === 'document' ? 'not on the site' : 'unknown');
  }
  // An object as one result names it (a label).
  function labelName(data, l) {
    return joinedNames(data.labelNames[l]);
  }
  function labelText(data, l) {
    const name = labelName(data, l);
    const uid = data.uids[data.labelUid[l]];
    return name !== null ? name + ' (' + uid + ')' : uid;
  }
  function labelCategory(data, l) {
    return joinedCategories(data.labelCategories[l],
                            data.labelDocument[l] ? 'not on the site' : 'unknown');
  }

  // The note on results that name a uid differently, as vela-report's warning says it.
  function namesNote(data) {
    const found = data.disagreement;
    const note = byId('names-note');
    note.hidden = found === null;
    if (found === null) {
      return;
    }
    const variants = found.variants.map(function (v) {
      return (v[0] !== '' ? '"' + v[0] + '"' : 'no name') + ' (' +
          (v[1] !== '' ? v[1] : 'no category') + ') in ' + data.results[v[2]];
    });
    note.textContent = 'The results disagree on ' + found.uid + ': ' + variants.join(', ') +
        (found.uids > 1 ? ', and on ' + plural(found.uids - 1, 'more uid', 'more uids') : '') +
        '. Each event is shown and counted with its own result\'s name and category; the ' +
        'tables of pairs, objects, vehicles and drivers list every name a uid had.';
  }

  // ---- Header ---------------------------------------------------------------------------------
  // _chosen in order of start.
  function renderHeader(data, chosen, filter, unread) {
    const clock = data.clock;
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
      lines.push('Filtered: ' + describeFilter(filter, data) + '. Showing ' +
                 grouped(chosen.length) + ' of ' + plural(data.n, 'event', 'events') + '.');
    }
    note.textContent = lines.join(' ');
    note.hidden = lines.length === 0;
    const address = byId('address-note');
    address.textContent = unread.length === 0 ? '' :
        'The page address holds ' + (unread.length === 1 ? 'a filter' : 'filters') +
            ' this page cannot read, left out of this view: ' + unread.join('; ') + '.';
    address.hidden = unread.length === 0;
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
  // The frame covers every event of the result, the zones and the plan, so that filtering keeps
  // places where they are; null when there is nothing to draw.
  function plotFrame(data) {
    let x0 = Infinity;
    let x1 = -Infinity;
    let y0 = Infinity;
    let y1 = -Infinity;
    const cover = function (x, y) {  // metres
      x0 = Math.min(x0, x);
      x1 = Math.max(x1, x);
      y0 = Math.min(y0, y);
      y1 = Math.max(y1, y);
    };
    for (let i = 0; i < data.n; ++i) {
      cover(data.x[i] / 1000, data.y[i] / 1000);
    }
    for (const zone of data.zones || []) {
      for (const polygon of zone.polygons) {
        for (const point of polygon[0]) {
          cover(point[0], point[1]);
        }
      }
    }
    if (data.plan) {
      cover(data.plan.bounds[0], data.plan.bounds[1]);
      cover(data.plan.bounds[2], data.plan.bounds[3]);
    }
    if (!(x0 <= x1)) {
      return null;
    }
    // With a margin, never narrower than 2 m.
    const margin = Math.max(1, 0.04 * Math.max(x1 - x0, y1 - y0));
    const frame = {x0: x0 - margin, x1: x1 + margin, y0: y0 - margin, y1: y1 + margin};
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

  function renderPlot(data, chosen, frame, plan) {
    const plot = byId('plot');
    plot.replaceChildren();
    byId('plot-legend').replaceChildren();
    byId('plot-key').replaceChildren();
    if (frame === null) {
      plot.setAttribute('data-mode', 'empty');
      plot.setAttribute('hidden', '');
      byId('plot-explain').textContent = 'No events to plot.';
      return;
    }
    plot.removeAttribute('hidden');
    // Below the frame: the axis' numbers, its name, then the scale bar, clear of the data.
    const height = frame.top + frame.height + 62;
    plot.setAttribute('viewBox', '0 0 ' + PLOT_WIDTH + ' ' + round(height, 1));
    shape(plot, 'rect', {
      class: 'frame', x: frame.left, y: frame.top, width: round(frame.width, 1),
      height: round(frame.height, 1),
    });
    // What lies inside the frame is cut at its edges.
    const inside = shape(plot, 'svg', {
      id: 'plot-area', x: frame.left, y: frame.top, width: round(frame.width, 2),
      height: round(frame.height, 2), overflow: 'hidden',
      viewBox: [frame.left, frame.top, round(frame.width, 2), round(frame.height, 2)].join(' '),
    });
    if (plan !== null) {
      const b = data.plan.bounds;
      plan.setAttribute('x', round(frame.px(b[0]), 2));
      plan.setAttribute('y', round(frame.py(b[3]), 2));
      plan.setAttribute('width', round((b[2] - b[0]) * frame.scale, 2));
      plan.setAttribute('height', round((b[3] - b[1]) * frame.scale, 2));
      inside.appendChild(plan);
    }
    drawPlotAxes(plot, inside, frame);
    const zoneAreas = shape(inside, 'g', {id: 'zone-areas'});
    const useMarks = chosen.length <= MARK_LIMIT;
    plot.setAttribute('data-mode', data.n === 0 ? 'empty' : chosen.length === 0 ? 'none' :
                                   useMarks ? 'marks' : 'grid');
    const layer = shape(inside, 'g', {id: 'plot-layer'});
    let grid = null;
    if (useMarks) {
      drawMarks(layer, data, chosen, frame);
    } else {
      grid = drawGrid(layer, data, chosen, frame, plan !== null);
    }
    if (data.zones) {
      drawZones(zoneAreas, shape(inside, 'g', {id: 'zone-lines'}), data, frame);
    }
    drawScaleBar(plot, frame);
    explainPlot(data, chosen, useMarks);
    if (data.n > 0) {
      drawKey(data, grid);
    }
  }

  function drawPlotAxes(plot, inside, frame) {
    const step = niceStep(Math.max(frame.x1 - frame.x0, frame.y1 - frame.y0) / 8);
    const bottom = frame.top + frame.height;
    for (let v = Math.ceil(frame.x0 / step) * step; v <= frame.x1; v += step) {
      const x = round(frame.px(v), 1);
      shape(inside, 'line', {class: 'grid', x1: x, x2: x, y1: frame.top, y2: bottom});
      shape(plot, 'text', {x: x, y: bottom + 14, 'text-anchor': 'middle'}, round(v, 3));
    }
    for (let v = Math.ceil(frame.y0 / step) * step; v <= frame.y1; v += step) {
      const y = round(frame.py(v), 1);
      shape(inside, 'line', {class: 'grid', x1: frame.left, x2: frame.left + frame.width, y1: y,
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

  // Under the frame, at its right end, where it covers nothing that is drawn.
  function drawScaleBar(plot, frame) {
    const metres = niceStep((frame.x1 - frame.x0) / 6);
    const length = metres * frame.scale;
    const right = frame.left + frame.width;
    const y = frame.top + frame.height + 46;
    const group = shape(plot, 'g', {id: 'scale-bar', 'data-metres': metres});
    shape(group, 'line', {class: 'scale-bar', x1: round(right - length, 1), x2: round(right, 1),
                          y1: y, y2: y});
    shape(group, 'text', {
      class: 'scale-label', x: round(right - length - 8, 1), y: y + 4, 'text-anchor': 'end',
    }, round(metres, 3) + ' m');
  }

  // ---- Zones on the plot ----------------------------------------------------------------------
  function ringPath(ring, frame) {
    return ring.map(function (point, k) {
      return (k === 0 ? 'M' : 'L') + round(frame.px(point[0]), 2) + ' ' +
          round(frame.py(point[1]), 2);
    }).join(' ') + ' Z';
  }

  // A faint area under the events, the outline and the name over them.
  function drawZones(areas, lines, data, frame) {
    data.zones.forEach(function (zone, z) {
      for (const polygon of zone.polygons) {
        const path = polygon.map(function (ring) {
          return ringPath(ring, frame);
        }).join(' ');
        shape(areas, 'path', {class: 'zone-area', d: path});
        tooltip(shape(lines, 'path', {class: 'zone-line', d: path, 'data-zone': z}), zone.name);
      }
    });
    // The names last, over every outline.
    data.zones.forEach(function (zone, z) {
      for (const at of data.zoneLabels[z]) {
        shape(lines, 'text', {
          class: 'zone-label', x: round(frame.px(at[0]), 1), y: round(frame.py(at[1]) + 4, 1),
          'text-anchor': 'middle', 'data-zone': z,
        }, zone.name);
      }
    });
  }

  // Whether (x, y) lies inside the rings of a polygon, by the even-odd rule.
  function insideRings(rings, x, y) {
    let inside = false;
    for (const ring of rings) {
      for (let k = 1; k < ring.length; ++k) {
        const a = ring[k - 1];
        const b = ring[k];
        if ((a[1] > y) !== (b[1] > y) &&
            x < a[0] + (y - a[1]) * (b[0] - a[0]) / (b[1] - a[1])) {
          inside = !inside;
        }
      }
    }
    return inside;
  }

  function distanceToRings(rings, x, y) {
    let nearest = Infinity;
    for (const ring of rings) {
      for (let k = 1; k < ring.length; ++k) {
        const a = ring[k - 1];
        const dx = ring[k][0] - a[0];
        const dy = ring[k][1] - a[1];
        const along = dx === 0 && dy === 0 ? 0 : Math.max(0, Math.min(1,
            ((x - a[0]) * dx + (y - a[1]) * dy) / (dx * dx + dy * dy)));
        nearest = Math.min(nearest, Math.hypot(x - a[0] - along * dx, y - a[1] - along * dy));
      }
    }
    return nearest;
  }

  // Where a zone's name goes: in each of its polygons, as far from the polygon's edges as a
  // coarse search finds, so that the name stands in the zone rather than on a neighbour.
  function zoneLabelPoints(zone) {
    return zone.polygons.map(labelPoint);
  }

  function labelPoint(rings) {
    let x0 = Infinity;
    let x1 = -Infinity;
    let y0 = Infinity;
    let y1 = -Infinity;
    for (const point of rings[0]) {
      x0 = Math.min(x0, point[0]);
      x1 = Math.max(x1, point[0]);
      y0 = Math.min(y0, point[1]);
      y1 = Math.max(y1, point[1]);
    }
    const steps = 16;
    let best = [(x0 + x1) / 2, (y0 + y1) / 2];
    let room = -1;
    for (let i = 0; i < steps; ++i) {
      for (let j = 0; j < steps; ++j) {
        const x = x0 + (i + 0.5) / steps * (x1 - x0);
        const y = y0 + (j + 0.5) / steps * (y1 - y0);
        if (!insideRings(rings, x, y)) {
          continue;
        }
        const d = distanceToRings(rings, x, y);
        if (d > room) {
          room = d;
          best = [x, y];
        }
      }
    }
    return best;
  }

  // ---- Marks and the density grid -------------------------------------------------------------
  function drawMarks(layer, data, chosen, frame) {
    const clock = data.clock;
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
      tooltip(mark, data.distance[i] + ' mm, ' + labelText(data, data.la[i]) + ' – ' +
              labelText(data, data.lb[i]) + ', ' + clock.text(data.start[i]) + ' for ' +
              durationText(data.duration[i]) +
              (data.results.length > 1 ? ', in ' + data.results[data.result[i]] : ''));
    }
  }

  // Squares of a round side in metres (1, 2 or 5 times a power of ten), on whole multiples of
  // it in site coordinates, so that the key can say what a square is.
  // Over a plan the squares are translucent, so that the plan shows through them.
  function drawGrid(layer, data, chosen, frame, overPlan) {
    const cell = niceStep(GRID_CELL_PX / frame.scale);  // metres
    const firstColumn = Math.floor(frame.x0 / cell);
    const topRow = Math.floor(frame.y1 / cell);
    const columns = Math.floor(frame.x1 / cell) - firstColumn + 1;
    const rows = topRow - Math.floor(frame.y0 / cell) + 1;
    const counts = new Float64Array(columns * rows * 4);
    for (const i of chosen) {
      const c = Math.floor(data.x[i] / 1000 / cell) - firstColumn;
      const r = topRow - Math.floor(data.y[i] / 1000 / cell);
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
        drawCell(layer, frame, {
          column: firstColumn + k % columns, row: topRow - Math.floor(k / columns), side: cell,
        }, perKind, total, most, overPlan);
      }
    }
    return {cell: cell, most: most, overPlan: overPlan};
  }

  // Darker with more events, on a logarithmic scale.
  function cellLightness(total, most) {
    return 88 - 58 * (most > 1 ? Math.log(1 + total) / Math.log(1 + most) : 1);
  }

  const CELL_OPACITY_OVER_PLAN = 0.6;
  function drawCell(layer, frame, square, perKind, total, most, overPlan) {
    let major = 0;
    for (let kind = 1; kind < 4; ++kind) {
      major = perKind[kind] > perKind[major] ? kind : major;
    }
    const side = square.side;
    const attributes = {
      class: 'cell', x: round(frame.px(square.column * side), 2),
      y: round(frame.py((square.row + 1) * side), 2), width: round(side * frame.scale, 2),
      height: round(side * frame.scale, 2), fill: kindColour(major, cellLightness(total, most)),
      'data-count': total, 'data-column': square.column, 'data-row': square.row,
    };
    if (overPlan) {
      attributes['fill-opacity'] = CELL_OPACITY_OVER_PLAN;
    }
    const parts = [];
    KINDS.forEach(function (kind, index) {
      if (perKind[index] > 0) {
        attributes['data-' + kind.key] = perKind[index];
        parts.push(grouped(perKind[index]) + ' ' + kind.label);
      }
    });
    const span = function (index) {
      return round(index * side, 3) + ' to ' + round((index + 1) * side, 3);
    };
    tooltip(shape(layer, 'rect', attributes), plural(total, 'event', 'events') + ' at x ' +
            span(square.column) + ' m, y ' + span(square.row) + ' m: ' + parts.join(', '));
  }

  function explainPlot(data, chosen, useMarks) {
    const parts = [];
    if (data.n > 0) {
      parts.push(useMarks ?
          'One mark per event (' + grouped(chosen.length) + '), at the midpoint of the two ' +
              'objects\' positions when it began; darker when closer.' :
          'Density grid of ' + grouped(chosen.length) + ' events (more than ' +
              grouped(MARK_LIMIT) + ' to mark one by one): each square counts the events ' +
              'whose midpoint lies in it, darker with more, coloured by the kind most of them ' +
              'are.');
    } else {
      parts.push('No events to plot.');
    }
    if (data.zones) {
      parts.push('Zones are outlined and named.');
    }
    if (data.plan) {
      parts.push('Under them lies the site\'s plan' + (useMarks ? '.' :
                 ', which shows through the squares.'));
    }
    parts.push('Site coordinates in metres, y growing upwards.');
    byId('plot-explain').textContent = parts.join(' ');
    const legend = byId('plot-legend');
    for (const kind of presentKinds(data)) {
      const item = legend.appendChild(element('li'));
      item.appendChild(element('span', {
        class: 'swatch', style: 'background: ' + kindColour(kind, 35),
      }));
      item.appendChild(document.createTextNode(' ' + KINDS[kind].label));
    }
  }

  // The key of the shading: distance for the marks, events per square for the grid.
  function drawKey(data, grid) {
    const key = byId('plot-key');
    const step = function (parent, colour, text) {
      const node = parent.appendChild(element('span', {
        class: 'key-step', style: 'background: ' + colour,
      }));
      if (text !== undefined) {
        node.setAttribute('title', text);
      }
      return node;
    };
    if (grid === null) {
      const most = data.maxDistance;
      key.setAttribute('data-key', 'distance');
      key.setAttribute('data-largest', most);
      key.appendChild(element('span', {}, 'Distance, darker when closer:'));
      for (const kind of presentKinds(data)) {
        const row = key.appendChild(element('span', {class: 'key-row'}));
        row.appendChild(element('span', {}, KINDS[kind].label + ': 0 mm'));
        const steps = row.appendChild(element('span', {class: 'key-steps'}));
        for (let k = 0; k <= 5; ++k) {
          step(steps, kindColour(kind, 28 + 42 * k / 5), grouped(Math.round(most * k / 5)) + ' mm');
        }
        row.appendChild(element('span', {}, grouped(most) + ' mm'));
      }
      return;
    }
    // Counts spread evenly on the shading's logarithmic scale, from 1 to the most in a square.
    const counts = [];
    for (let k = 0; k <= 4; ++k) {
      const count = Math.max(1, Math.round(Math.pow(1 + grid.most, k / 4) - 1));
      if (counts.indexOf(count) < 0) {
        counts.push(count);
      }
    }
    key.setAttribute('data-key', 'density');
    key.setAttribute('data-cell-metres', grid.cell);
    key.setAttribute('data-most', grid.most);
    key.appendChild(element('span', {class: 'key-cell'}, 'Events per square of ' +
                            round(grid.cell, 3) + ' m × ' + round(grid.cell, 3) + ' m:'));
    for (const kind of presentKinds(data)) {
      const row = key.appendChild(element('span', {class: 'key-row'}));
      row.appendChild(element('span', {}, KINDS[kind].label + ':'));
      for (const count of counts) {
        const item = row.appendChild(element('span', {class: 'key-count'}));
        const swatch = step(item, kindColour(kind, cellLightness(count, grid.most)));
        if (grid.overPlan) {
          swatch.style.opacity = CELL_OPACITY_OVER_PLAN;
        }
        item.appendChild(element('span', {}, grouped(count)));
      }
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

  // ---- Timeline, days and hours ---------------------------------------------------------------
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

  function fillLegend(id, data) {
    const legend = byId(id);
    legend.replaceChildren();
    for (const kind of presentKinds(data)) {
      const item = legend.appendChild(element('li'));
      item.appendChild(element('span', {
        class: 'swatch', style: 'background: ' + kindColour(kind, 45),
      }));
      item.appendChild(document.createTextNode(' ' + KINDS[kind].label));
    }
  }

  // Hides a chart that has nothing to show and says why; whether it did.
  function emptyChart(svg, explain, data, chosen) {
    if (chosen.length > 0) {
      svg.removeAttribute('hidden');
      svg.setAttribute('data-mode', 'bars');
      return false;
    }
    svg.replaceChildren();
    svg.setAttribute('hidden', '');
    svg.setAttribute('data-mode', 'empty');
    byId(explain).textContent = data.n === 0 ? 'No events to show.' :
        'No event passes the filters.';
    return true;
  }

  // Events by the site time they started (wall time), in bars of whole intervals of it: the
  // hour the clocks go back holds the events of both its turns, the hour they skip none.
  function renderTimeline(data, chosen) {
    const svg = byId('timeline');
    fillLegend('timeline-legend', data);
    if (emptyChart(svg, 'timeline-explain', data, chosen)) {
      return;
    }
    let first = Infinity;
    let last = -Infinity;
    for (const i of chosen) {
      first = Math.min(first, data.wall[i]);
      last = Math.max(last, data.wall[i]);
    }
    const minutes = timelineStep(last - first);
    const stepMs = minutes * MINUTE_MS;
    const origin = Math.floor(first / stepMs) * stepMs;
    const bars = Math.floor((last - origin) / stepMs) + 1;
    const counts = new Float64Array(bars * 4);
    for (const i of chosen) {
      ++counts[Math.floor((data.wall[i] - origin) / stepMs) * 4 + data.kind[i]];
    }
    svg.setAttribute('data-interval-minutes', minutes);
    const clock = data.clock;
    const box = drawStacked(svg, counts, bars, 170, Infinity, function (bar, kind, count) {
      const barStart = origin + bar * stepMs;
      return {
        attributes: {class: 'bar', 'data-start': clock.wallInput(barStart)},
        text: clock.wallSeconds(barStart) + ' to ' + clock.wallHourMinute(barStart + stepMs) +
            ': ' + plural(count, KINDS[kind].label + ' event', KINDS[kind].label + ' events'),
      };
    });
    drawHourAxis(svg, {origin: origin, stepMs: stepMs}, bars, box, clock);
    byId('timeline-explain').textContent = 'Events per ' + intervalText(minutes) +
        ' by the time they started, stacked by kind; hour of day in site time (' + clock.label +
        ').' + (data.offsetChanges ? ' The clocks change in this period: an hour they skip ' +
        'stays empty, an hour they repeat holds both its turns.' : '');
  }

  function intervalText(minutes) {
    return minutes % 60 === 0 ? (minutes === 60 ? 'hour' : minutes / 60 + ' hours') :
                                (minutes === 1 ? 'minute' : minutes + ' minutes');
  }

  // Bars of counts[4 * bar + kind] stacked by kind over a count axis, each at most _widest wide;
  // describe(bar, kind, count) gives a part's attributes and tooltip. The box of the bars.
  function drawStacked(svg, counts, bars, height, widest, describe) {
    svg.replaceChildren();
    const left = 48;
    const top = 16;
    const width = Math.min(PLOT_WIDTH - left - 12, bars * widest);
    svg.setAttribute('viewBox', '0 0 ' + PLOT_WIDTH + ' ' + (top + height + 44));
    let tallest = 0;
    for (let bar = 0; bar < bars; ++bar) {
      tallest = Math.max(tallest, counts[4 * bar] + counts[4 * bar + 1] + counts[4 * bar + 2] +
                                      counts[4 * bar + 3]);
    }
    const countStep = Math.max(1, niceStep(tallest / 4));
    const topCount = Math.max(1, Math.ceil(tallest / countStep)) * countStep;
    const yOf = function (count) {
      return top + height - (count / topCount) * height;
    };
    for (let v = 0; v <= topCount; v += countStep) {
      const y = round(yOf(v), 1);
      shape(svg, 'line', {class: 'grid', x1: left, x2: left + width, y1: y, y2: y});
      shape(svg, 'text', {class: 'count-label', x: left - 6, y: y + 4, 'text-anchor': 'end',
                          'data-count': v}, axisCount(v));
    }
    const barWidth = width / bars;
    const layer = shape(svg, 'g', {class: 'bars'});
    for (let bar = 0; bar < bars; ++bar) {
      let stacked = 0;
      for (let kind = 0; kind < 4; ++kind) {
        const count = counts[4 * bar + kind];
        if (count === 0) {
          continue;
        }
        const part = describe(bar, kind, count);
        const rect = shape(layer, 'rect', Object.assign({
          x: round(left + bar * barWidth + 0.5, 2), y: round(yOf(stacked + count), 2),
          width: round(Math.max(0.5, barWidth - 1), 2),
          height: round(yOf(stacked) - yOf(stacked + count), 2), fill: kindColour(kind, 45),
          'data-kind': KINDS[kind].key, 'data-count': count,
        }, part.attributes));
        tooltip(rect, part.text);
        stacked += count;
      }
    }
    shape(svg, 'line', {class: 'axis', x1: left, x2: left + width, y1: top + height,
                        y2: top + height});
    return {left: left, width: width, bottom: top + height, barWidth: barWidth, yOf: yOf};
  }

  // Ticks on whole steps of site time, labelled with the hour of day; the date under midnight.
  function drawHourAxis(svg, axis, bars, box, clock) {
    const span = bars * axis.stepMs;
    const tickMinutes = STEPS_MIN.find(function (m) {
      return span / (m * MINUTE_MS) <= 12;
    }) || Math.ceil(span / (12 * 1440 * MINUTE_MS)) * 1440;
    const tickMs = tickMinutes * MINUTE_MS;
    const xOf = function (w) {
      return box.left + (w - axis.origin) / span * box.width;
    };
    for (let t = Math.ceil(axis.origin / tickMs) * tickMs; t <= axis.origin + span; t += tickMs) {
      const x = round(xOf(t), 1);
      shape(svg, 'line', {class: 'axis', x1: x, x2: x, y1: box.bottom, y2: box.bottom + 5});
      // The last label ends at the axis' end rather than beyond it.
      const anchor = x > box.left + box.width - 20 ? 'end' : 'middle';
      shape(svg, 'text', {class: 'hour', x: x, y: box.bottom + 17, 'text-anchor': anchor},
            clock.wallHourMinute(t));
      if (clock.wallHourMinute(t) === '00:00') {
        shape(svg, 'text', {x: x, y: box.bottom + 31, 'text-anchor': anchor}, clock.wallDay(t));
      }
    }
  }

  // The trend: events per day of site time by kind, over every day from the first event's to
  // the last's, so that filters keep each day in its place; by week (from Monday) beyond
  // DAY_BARS days, or by several weeks.
  const DAY_BARS = 92;
  function renderTrend(data, chosen) {
    const svg = byId('trend');
    fillLegend('trend-legend', data);
    if (emptyChart(svg, 'trend-explain', data, chosen)) {
      return;
    }
    const clock = data.clock;
    const monday = data.firstDay - weekdayOf(data.firstDay);
    const days = data.lastDay - data.firstDay + 1;
    const groupDays = days <= DAY_BARS ? 1 :
        7 * Math.ceil(Math.ceil((data.lastDay - monday + 1) / 7) / DAY_BARS);
    const base = groupDays === 1 ? data.firstDay : monday;
    const bars = Math.floor((data.lastDay - base) / groupDays) + 1;
    const counts = new Float64Array(bars * 4);
    for (const i of chosen) {
      ++counts[Math.floor((dayOf(data.wall[i]) - base) / groupDays) * 4 + data.kind[i]];
    }
    const dayText = function (day) {
      return clock.wallDay(day * DAY_MS);
    };
    const unit = groupDays === 1 ? 'day' : groupDays === 7 ? 'week' : groupDays / 7 + ' weeks';
    svg.setAttribute('data-days-per-bar', groupDays);
    const box = drawStacked(svg, counts, bars, 150, 96, function (bar, kind, count) {
      const day = base + bar * groupDays;
      return {
        attributes: {class: 'trend-bar', 'data-day': dayText(day)},
        text: (groupDays === 1 ? WEEKDAYS[weekdayOf(day)] + ' ' + dayText(day) :
                                 unit + ' from ' + dayText(day)) + ': ' +
            plural(count, KINDS[kind].label + ' event', KINDS[kind].label + ' events'),
      };
    });
    // Under the bars their days, as many as fit; over them their totals, when they fit.
    const every = Math.max(1, Math.ceil(48 / box.barWidth));
    let most = -1;
    let busiest = 0;
    for (let bar = 0; bar < bars; ++bar) {
      const day = base + bar * groupDays;
      const total = counts[4 * bar] + counts[4 * bar + 1] + counts[4 * bar + 2] +
          counts[4 * bar + 3];
      if (total > most) {
        most = total;
        busiest = day;
      }
      const x = round(box.left + (bar + 0.5) * box.barWidth, 1);
      if (bar % every === 0) {
        shape(svg, 'text', {x: x, y: box.bottom + 15, 'text-anchor': 'middle'},
              groupDays === 1 ? WEEKDAYS[weekdayOf(day)].slice(0, 3) : 'from');
        shape(svg, 'text', {x: x, y: box.bottom + 29, 'text-anchor': 'middle'},
              dayText(day).slice(5));
      }
      if (every === 1 && total > 0) {
        shape(svg, 'text', {class: 'trend-total', x: x, y: round(box.yOf(total) - 4, 1),
                            'text-anchor': 'middle'}, grouped(total));
      }
    }
    byId('trend-explain').textContent = days === 1 ?
        'Events of the one day of site time (' + clock.label + '), ' + dayText(data.firstDay) +
            ', by kind.' :
        'Events per ' + unit + ' of site time (' + clock.label + ') by the ' +
            (groupDays === 1 ? 'day' : 'days, Monday to Sunday,') + ' they started, stacked by ' +
            'kind, from ' + dayText(data.firstDay) + ' to ' + dayText(data.lastDay) + ': ' +
            grouped(round(chosen.length / days, 1)) + ' a day on average; the most, ' + grouped(most) +
            ', ' + (groupDays === 1 ? 'on ' : 'in the ' + unit + ' from ') + dayText(busiest) +
            '.';
  }

  // Events by weekday and hour of day of site time, darker with more.
  function renderHours(data, chosen) {
    const counts = new Float64Array(7 * 24);
    for (const i of chosen) {
      const w = data.wall[i];
      const hour = Math.floor((w - dayOf(w) * DAY_MS) / 3600000);
      ++counts[weekdayOf(dayOf(w)) * 24 + hour];
    }
    let most = 0;
    for (const count of counts) {
      most = Math.max(most, count);
    }
    const body = byId('hours').querySelector('tbody');
    body.replaceChildren();
    const hourTotals = new Float64Array(24);
    for (let weekday = 0; weekday < 7; ++weekday) {
      const row = body.appendChild(element('tr', {class: 'weekday-row', 'data-weekday': weekday}));
      row.appendChild(element('th', {scope: 'row'}, WEEKDAYS[weekday].slice(0, 3)));
      let total = 0;
      for (let hour = 0; hour < 24; ++hour) {
        const count = counts[weekday * 24 + hour];
        total += count;
        hourTotals[hour] += count;
        const share = most > 0 ? count / most : 0;
        const cell = row.appendChild(element('td', {
          class: 'hour-cell', 'data-weekday': weekday, 'data-hour': hour, 'data-count': count,
          title: WEEKDAYS[weekday] + 's, ' + pad(hour) + ':00 to ' + pad(hour + 1) + ':00: ' +
              plural(count, 'event', 'events'),
        }, count > 0 ? compact(count) : ''));
        if (count > 0) {
          cell.setAttribute('style', 'background: hsl(18, 75%, ' + round(94 - 52 * share, 1) +
                            '%)' + (share > 0.55 ? '; color: #fff' : ''));
        }
      }
      row.appendChild(numberCell(grouped(total)));
    }
    const totals = body.appendChild(element('tr', {class: 'hours-total'}));
    totals.appendChild(element('th', {scope: 'row'}, 'All'));
    for (let hour = 0; hour < 24; ++hour) {
      totals.appendChild(element('td', {
        class: 'hour-total', 'data-hour': hour, 'data-count': hourTotals[hour],
        title: pad(hour) + ':00 to ' + pad(hour + 1) + ':00: ' +
            plural(hourTotals[hour], 'event', 'events'),
      }, compact(hourTotals[hour])));
    }
    totals.appendChild(numberCell(grouped(chosen.length)));
    byId('hours-explain').textContent = 'Events by the weekday and the hour of site time (' +
        data.clock.label + ') they started, darker with more' + (data.offsetChanges ?
        '; hours follow daylight saving time: an hour the clocks skip holds no event, an hour ' +
        'they repeat the events of both its turns.' : '.');
  }

  // Each result's events, when the page holds several.
  function renderResults(data, chosen, filter) {
    const section = byId('results-section');
    section.hidden = data.results.length < 2;
    if (section.hidden) {
      return;
    }
    const groups = data.results.length;
    const count = new Float64Array(groups);
    const kinds = new Float64Array(groups * 4);
    const below = new Float64Array(groups);
    const first = new Float64Array(groups).fill(Infinity);
    const last = new Float64Array(groups).fill(-Infinity);
    for (const i of chosen) {
      const r = data.result[i];
      ++count[r];
      ++kinds[4 * r + data.kind[i]];
      below[r] += data.distance[i] < 500 ? 1 : 0;
      first[r] = Math.min(first[r], data.start[i]);
      last[r] = Math.max(last[r], data.start[i] + 1000 * data.duration[i]);
    }
    for (const th of byId('results').querySelectorAll('th.kinds')) {
      th.hidden = !data.kindsKnown;
    }
    const body = byId('results').querySelector('tbody');
    body.replaceChildren();
    data.results.forEach(function (name, r) {
      const row = body.appendChild(element('tr', {
        class: 'result-row', 'data-file': name, 'data-count': count[r],
        'data-person-vehicle': kinds[4 * r + PERSON_VEHICLE],
        'data-vehicle-vehicle': kinds[4 * r + VEHICLE_VEHICLE], 'data-below-500': below[r],
      }));
      const cell = row.appendChild(element('td', {class: 'result-name'}));
      cell.appendChild(element('a', {href: filterLink(data, filter, {file: name})}, name));
      row.appendChild(numberCell(grouped(count[r])));
      for (const kind of data.kindsKnown ? [PERSON_VEHICLE, VEHICLE_VEHICLE] : []) {
        row.appendChild(numberCell(grouped(kinds[4 * r + kind])));
      }
      row.appendChild(numberCell(grouped(below[r])));
      row.appendChild(element('td', {class: 'time'}, count[r] > 0 ?
          data.clock.seconds(first[r]) + ' to ' + data.clock.seconds(last[r]) : '–'));
    });
  }

  // ---- Tables ---------------------------------------------------------------------------------
  // An object's name (its uid without one), uid and category, and the driver of a vehicle that
  // had one; with _href its name links there.
  function objectCell(shown, href) {
    const cell = element('td');
    cell.appendChild(element(href !== undefined ? 'a' : 'span',
                             href !== undefined ? {class: 'name', href: href} : {class: 'name'},
                             shown.name !== null ? shown.name : shown.uid));
    const uid = shown.name !== null ? shown.uid + ', ' : '';
    cell.appendChild(element('span', {class: 'uid'}, uid + shown.category));
    if (shown.driver !== null) {
      cell.appendChild(element('span', {class: 'driver'}, 'driven by ' + shown.driver));
    }
    return cell;
  }
  // An object over every result.
  function objectShown(data, index) {
    return {uid: data.uids[index], name: objectName(data, index),
            category: objectCategory(data, index), driver: null};
  }
  // An object of event _i, as the event's result names it, and its driver likewise.
  function eventObjectShown(data, i, second) {
    const l = second ? data.lb[i] : data.la[i];
    const driver = second ? data.driverB[i] : data.driverA[i];
    return {uid: data.uids[data.labelUid[l]], name: labelName(data, l),
            category: labelCategory(data, l),
            driver: driver >= 0 ? labelText(data, data.labelFor(data.result[i], driver)) : null};
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

  function renderClosest(data, chosen) {
    const clock = data.clock;
    const rows = closestEvents(data, chosen).map(function (i) {
      const row = element('tr', {
        class: 'closest-row', 'data-event': i + 1, 'data-distance': data.distance[i],
      });
      row.appendChild(numberCell(grouped(data.distance[i]) + ' mm'));
      row.appendChild(element('td', {class: 'time', title: 'UTC' + clock.offsetText(data.start[i])},
                              clock.text(data.start[i])));
      row.appendChild(numberCell(durationText(data.duration[i])));
      row.appendChild(objectCell(eventObjectShown(data, i, false)));
      row.appendChild(objectCell(eventObjectShown(data, i, true)));
      row.appendChild(element('td', {}, KINDS[data.kind[i]].label));
      if (data.results.length > 1) {
        row.setAttribute('data-file', data.results[data.result[i]]);
        row.appendChild(element('td', {class: 'result-name'}, data.results[data.result[i]]));
      }
      const command = element('td', {class: 'explain-command'});
      // An option and its value stay together: the command breaks only between them.
      const code = command.appendChild(element('code'));
      explainCommand(data, i).forEach(function (part, k) {
        if (k > 0) {
          code.appendChild(document.createTextNode(' '));
        }
        // A very long uid may break anywhere rather than widen the column past the page.
        const long = EXPLAIN_UID_PARTS.includes(k) && part.length > 24;
        code.appendChild(element('span', {class: long ? 'part long' : 'part'}, part));
      });
      row.appendChild(command);
      return row;
    });
    byId('result-heading').hidden = data.results.length < 2;
    fillTable('closest', rows, chosen.length, 'event');
  }

  const EXPLAIN_UID_PARTS = [5, 6];  // where explainCommand puts the two uids

  // The vela-explain command that tells the story of event _i's pair around its time, in UTC as
  // vela-explain takes it, as its parts: the program, each option with its value, each uid. The result does not hold the inputs' names nor the threshold: the
  // threshold is filled in when vela-report was given it.
  function explainCommand(data, i) {
    const margin = 10000;  // ms before and after the event
    const utc = function (ms) {  // epoch seconds where a date cannot say it
      const date = new Date(ms);
      return isNaN(date.getTime()) || ms < 0 || date.getUTCFullYear() > 9999 ?
          String(Math.floor(ms / 1000)) : date.toISOString().slice(0, 19) + 'Z';
    };
    const from = utc(Math.floor(data.start[i] / 1000) * 1000 - margin);
    const to = utc(data.start[i] + 1000 * data.duration[i] + margin);
    const threshold = data.threshold !== null ? String(data.threshold) : 'DISTANCE_MM';
    return ['vela-explain', '-i POSITIONS', '-t TRACKABLES', '-a ASSOCIATIONS', '-d ' + threshold,
            shellWord(data.uids[data.a[i]]), shellWord(data.uids[data.b[i]]), '--from ' + from,
            '--to ' + to];
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
        pair = {low: low, high: high, kinds: 0, count: 0, closest: Infinity, index: pairs.size};
        pairs.set(key, pair);
      }
      pair.kinds |= 1 << data.kind[i];  // results may disagree on what the two were
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
      row.appendChild(objectCell(objectShown(data, pair.low)));
      row.appendChild(objectCell(objectShown(data, pair.high)));
      row.appendChild(element('td', {}, KINDS.filter(function (kind, k) {
        return (pair.kinds >> k) & 1;
      }).map(function (kind) {
        return kind.label;
      }).join(' / ')));
      row.appendChild(numberCell(grouped(pair.closest) + ' mm'));
      row.appendChild(numberCell(durationText(seconds)));
      return row;
    });
    fillTable('pairs', rows, pairs.size, 'pair');
  }

  // Per object, the events _of(i, add) gives it (add(o) for each object of event i that counts):
  // their number, those below 500 mm, the closest and the time in near-miss; _chosen in order of
  // start. The objects with any event are listed in _order.
  function tally(data, chosen, of, order) {
    const objects = data.uids.length;
    const count = new Float64Array(objects);
    const below = new Float64Array(objects);
    const closest = new Float64Array(objects).fill(Infinity);
    const time = coverer(data, objects);
    for (const i of chosen) {
      of(i, function (o) {
        ++count[o];
        below[o] += data.distance[i] < 500 ? 1 : 0;
        closest[o] = Math.min(closest[o], data.distance[i]);
        time.add(o, i);
      });
    }
    const tallied = {count: count, below: below, closest: closest, ms: time.ms, ranked: []};
    for (let o = 0; o < objects; ++o) {
      if (count[o] > 0) {
        tallied.ranked.push(o);
      }
    }
    tallied.ranked.sort(function (o, p) {
      return order(tallied, o, p) || o - p;
    });
    return tallied;
  }

  function renderObjects(data, chosen) {
    const objects = tally(data, chosen, function (i, add) {
      add(data.a[i]);
      if (data.b[i] !== data.a[i]) {
        add(data.b[i]);
      }
    }, function (t, o, p) {
      return t.count[p] - t.count[o] || t.closest[o] - t.closest[p];
    });
    const rows = objects.ranked.slice(0, TABLE_ROWS).map(function (o) {
      const seconds = wholeSeconds(objects.ms[o]);
      const row = element('tr', {
        class: 'object-row', 'data-count': objects.count[o], 'data-seconds': seconds,
      });
      row.appendChild(numberCell(grouped(objects.count[o])));
      row.appendChild(objectCell(objectShown(data, o)));
      row.appendChild(element('td', {}, objectCategory(data, o)));
      row.appendChild(numberCell(grouped(objects.closest[o]) + ' mm'));
      row.appendChild(numberCell(durationText(seconds)));
      return row;
    });
    fillTable('objects', rows, objects.ranked.length, 'object');
  }

  // ---- Who: vehicles, persons and drivers -----------------------------------------------------
  // Ranked by events, then events below 500 mm, then time in near-miss.
  function rankBy(data, chosen, of) {
    return tally(data, chosen, of, function (t, o, p) {
      return t.count[p] - t.count[o] || t.below[p] - t.below[o] || t.ms[p] - t.ms[o] ||
          t.closest[o] - t.closest[p];
    });
  }

  function rankingRows(data, ranking, rowClass, link) {
    return ranking.ranked.slice(0, TABLE_ROWS).map(function (o) {
      const seconds = wholeSeconds(ranking.ms[o]);
      const href = link(o);
      const row = element('tr', {
        class: rowClass, 'data-uid': data.uids[o], 'data-count': ranking.count[o],
        'data-below-500': ranking.below[o], 'data-seconds': seconds, 'data-link': href,
      });
      row.appendChild(numberCell(grouped(ranking.count[o])));
      row.appendChild(objectCell(objectShown(data, o), href));
      row.appendChild(numberCell(grouped(ranking.below[o])));
      row.appendChild(numberCell(grouped(ranking.closest[o]) + ' mm'));
      row.appendChild(numberCell(durationText(seconds)));
      return row;
    });
  }

  // A vehicle by its category in an event's result (a label); where that result does not say,
  // by an event that names its driver (only vehicles have one).
  function vehicleFlags(data) {
    const driven = new Uint8Array(data.uids.length);
    for (let i = 0; i < data.n; ++i) {
      driven[data.a[i]] |= data.driverA[i] >= 0 ? 1 : 0;
      driven[data.b[i]] |= data.driverB[i] >= 0 ? 1 : 0;
    }
    return Uint8Array.from(data.labelUid, function (u, l) {
      const said = data.labelDocument[l] ? data.labelCategories[l].length > 0 :
          data.labelCode[l] !== UNKNOWN_CODE;
      return said ? (data.labelCode[l] === VEHICLE_CODE ? 1 : 0) : driven[u];
    });
  }

  function renderWho(data, chosen, filter) {
    const vehicles = rankBy(data, chosen, function (i, add) {
      if (data.isVehicle[data.la[i]]) {
        add(data.a[i]);
      }
      if (data.isVehicle[data.lb[i]] && data.b[i] !== data.a[i]) {
        add(data.b[i]);
      }
    });
    fillTable('vehicles', rankingRows(data, vehicles, 'vehicle-row', function (o) {
      return filterLink(data, filter, {obj: objectFilterOf(data, o)});
    }), vehicles.ranked.length, 'vehicle');
    // Persons apart: among all objects the vehicles, in most events, would hide them.
    const persons = rankBy(data, chosen, function (i, add) {
      if (data.labelCode[data.la[i]] === PERSON_CODE) {
        add(data.a[i]);
      }
      if (data.labelCode[data.lb[i]] === PERSON_CODE && data.b[i] !== data.a[i]) {
        add(data.b[i]);
      }
    });
    fillTable('persons', rankingRows(data, persons, 'person-row', function (o) {
      return filterLink(data, filter, {obj: objectFilterOf(data, o)});
    }), persons.ranked.length, 'person');
    let undriven = 0;
    const drivers = rankBy(data, chosen, function (i, add) {
      if (data.driverA[i] >= 0) {
        add(data.driverA[i]);
      }
      if (data.driverB[i] >= 0 && data.driverB[i] !== data.driverA[i]) {
        add(data.driverB[i]);
      }
      undriven += data.driverA[i] < 0 && data.driverB[i] < 0 ? 1 : 0;
    });
    fillTable('drivers', rankingRows(data, drivers, 'driver-row', function (d) {
      return filterLink(data, filter, {driver: d});
    }), drivers.ranked.length, 'driver');
    if (chosen.length > 0) {
      byId('drivers-note').textContent += ' ' + (undriven === chosen.length ?
          'No event names a driver.' :
          plural(undriven, 'event names', 'events name') + ' no driver.');
    }
  }

  // ---- Zones ----------------------------------------------------------------------------------
  // _chosen in order of start. An event counts in every zone that holds its mark; the last row
  // counts the events outside every zone.
  function renderZones(data, chosen, filter) {
    const section = byId('zones-section');
    if (!data.zones) {
      section.hidden = true;
      return;
    }
    section.hidden = false;
    const groups = data.zones.length + 1;
    const outside = data.zones.length;
    const count = new Float64Array(groups);
    const kinds = new Float64Array(groups * 4);
    const below = new Float64Array(groups);
    const closest = new Float64Array(groups).fill(Infinity);
    const time = coverer(data, groups);
    const add = function (g, i) {
      ++count[g];
      ++kinds[4 * g + data.kind[i]];
      below[g] += data.distance[i] < 500 ? 1 : 0;
      closest[g] = Math.min(closest[g], data.distance[i]);
      time.add(g, i);
    };
    for (const i of chosen) {
      const set = data.zoneSets[data.zoneSet[i]];
      if (set.length === 0) {
        add(outside, i);
      }
      for (const z of set) {
        add(z, i);
      }
    }
    const order = data.zones.map(function (zone, z) {
      return z;
    }).sort(function (z, w) {
      return count[w] - count[z] || z - w;
    });
    order.push(outside);
    const other = data.kind.includes(OTHER);
    for (const th of byId('zones').querySelectorAll('th.kinds')) {
      th.hidden = !data.kindsKnown || (th.classList.contains('other') && !other);
    }
    const body = byId('zones').querySelector('tbody');
    body.replaceChildren();
    for (const g of order) {
      const seconds = wholeSeconds(time.ms[g]);
      const row = body.appendChild(element('tr', {
        class: g === outside ? 'zone-row outside' : 'zone-row',
        'data-zone': g === outside ? '' : data.zones[g].name, 'data-count': count[g],
        'data-person-vehicle': kinds[4 * g + PERSON_VEHICLE],
        'data-vehicle-vehicle': kinds[4 * g + VEHICLE_VEHICLE], 'data-below-500': below[g],
        'data-seconds': seconds,
      }));
      const name = row.appendChild(element('td', {class: 'zone-name'}));
      if (g === outside) {
        name.textContent = 'Outside every zone';
      } else {
        // A link to the same view within this zone.
        name.appendChild(element('a', {href: filterLink(data, filter, {zone: g})},
                                 data.zones[g].name));
      }
      row.appendChild(numberCell(grouped(count[g])));
      const kindColumns = other ? [PERSON_VEHICLE, VEHICLE_VEHICLE, OTHER] :
                                  [PERSON_VEHICLE, VEHICLE_VEHICLE];
      for (const kind of data.kindsKnown ? kindColumns : []) {
        row.appendChild(numberCell(grouped(kinds[4 * g + kind])));
      }
      row.appendChild(numberCell(grouped(below[g])));
      row.appendChild(numberCell(count[g] > 0 ? grouped(closest[g]) + ' mm' : '–'));
      row.appendChild(numberCell(durationText(seconds)));
    }
    // Zones drawn in other units than the result's (degrees, millimetres) hold no event at all.
    const none = data.n > 0 && data.zoneSets.length === 1;
    byId('zones-explain').textContent = 'Events by the zones that hold their mark (the ' +
        'midpoint of the two objects when the event began; a mark on a boundary is inside). ' +
        'An event in overlapping zones counts in each of them; time in near-miss counts ' +
        'overlapping events once. Most events first.' + (none ? ' No event of this result ' +
        'lies in any zone: are the zones in the site\'s metres, as the floor plot is?' : '');
  }

  // ---- The form -------------------------------------------------------------------------------
  function setUpForm(data) {
    const clock = data.clock;
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
    if (data.zones) {
      const zone = byId('filter-zone');
      zone.appendChild(element('option', {value: ''}, 'all'));
      data.zones.forEach(function (one, z) {
        zone.appendChild(element('option', {value: String(z)}, one.name));
      });
      byId('zone-field').hidden = false;
    }
    const driver = byId('filter-driver');
    driver.appendChild(element('option', {value: ''}, 'any'));
    for (const d of data.drivers) {
      driver.appendChild(element('option', {value: data.uids[d]}, objectLabel(data, d)));
    }
    byId('driver-field').hidden = data.drivers.length === 0;
    const file = byId('filter-file');
    file.appendChild(element('option', {value: ''}, 'all'));
    for (const name of new Set(data.results)) {
      file.appendChild(element('option', {value: name}, name));
    }
    byId('file-field').hidden = data.results.length < 2;
    // 24-hour site time as text: a browser's own date fields follow its locale (12-hour in some).
    if (data.n > 0) {
      let first = Infinity;
      let last = -Infinity;
      for (let i = 0; i < data.n; ++i) {
        first = Math.min(first, data.start[i]);
        last = Math.max(last, data.start[i]);
      }
      byId('filter-from').placeholder = clock.field(Math.floor(first / 1000) * 1000);
      byId('filter-to').placeholder = clock.field(Math.ceil(last / 1000) * 1000);
    } else {
      byId('filter-from').placeholder = byId('filter-to').placeholder = 'YYYY-MM-DD hh:mm:ss';
    }
  }

  function showFilter(filter, data) {
    const clock = data.clock;
    byId('filter-kind').value = filter.kind !== null ? KINDS[filter.kind].key : '';
    byId('filter-zone').value = filter.zone !== null ? String(filter.zone) : '';
    byId('filter-max').value = filter.max !== null ? String(filter.max) : '';
    byId('filter-obj').value = filter.obj;
    byId('filter-driver').value = filter.driver !== null ? data.uids[filter.driver] : '';
    byId('filter-file').value = filter.file !== null ? filter.file : '';
    byId('filter-from').value = filter.from !== null ? clock.field(filter.from) : '';
    byId('filter-to').value = filter.to !== null ? clock.field(filter.to) : '';
    showProblems([]);
  }

  // The filter the form states, and the time fields that cannot be read.
  function readForm(data) {
    const clock = data.clock;
    const filter = emptyFilter();
    const kind = byId('filter-kind').value;
    const index = KINDS.findIndex(function (k) {
      return k.key === kind;
    });
    filter.kind = data.kindsKnown && index >= 0 ? index : null;
    const zone = byId('filter-zone').value;
    filter.zone = data.zones && zone !== '' ? Number(zone) : null;
    const max = byId('filter-max').value.trim();
    filter.max = /^\d+(\.\d+)?$/.test(max) ? Number(max) : null;
    filter.obj = byId('filter-obj').value;
    const driver = data.driverIndex.get(byId('filter-driver').value);
    filter.driver = driver !== undefined ? driver : null;
    const file = byId('filter-file').value;
    filter.file = data.results.includes(file) ? file : null;
    const problems = [];
    for (const name of ['from', 'to']) {
      const field = byId('filter-' + name);
      filter[name] = clock.parse(field.value);
      if (filter[name] === null && field.value.trim() !== '') {
        problems.push(field);
      }
    }
    return {filter: filter, problems: problems};
  }

  function showProblems(fields) {
    for (const id of ['filter-from', 'filter-to']) {
      byId(id).removeAttribute('aria-invalid');
    }
    for (const field of fields) {
      field.setAttribute('aria-invalid', 'true');
    }
    const note = byId('filter-problem');
    note.textContent = fields.map(function (field) {
      return '"' + field.value + '" is not a date and time: write it as 2026-01-01 00:05:00 ' +
          '(24-hour site time); until then the ' +
          (field.id === 'filter-from' ? 'start' : 'end') + ' of the window is left open.';
    }).join(' ');
    note.hidden = fields.length === 0;
  }

  // The bar folds to one line, which still says what the filters keep.
  function setUpFolding() {
    const toggle = byId('filter-toggle');
    toggle.addEventListener('click', function () {
      const open = toggle.getAttribute('aria-expanded') !== 'true';
      toggle.setAttribute('aria-expanded', String(open));
      byId('filter-body').hidden = !open;
      document.body.classList.toggle('filters-folded', !open);
    });
  }

  function showSummary(filter, data, shown) {
    byId('filter-summary').textContent = isActive(filter) ?
        describeFilter(filter, data) + ': ' + grouped(shown) + ' of ' +
            plural(data.n, 'event', 'events') :
        'none' + (data.n > 0 ? ': all ' + plural(data.n, 'event', 'events') : '');
  }

  // ---- What the page was made from ------------------------------------------------------------
  function bytesText(bytes) {
    const units = ['KB', 'MB', 'GB', 'TB'];
    let value = bytes;
    let unit = -1;
    while (value >= 1000 && unit < units.length - 1) {
      value /= 1000;
      ++unit;
    }
    return plural(bytes, 'byte', 'bytes') +
        (unit >= 0 ? ' (' + (value < 10 ? round(value, 1) : Math.round(value)) + ' ' +
                     units[unit] + ')' : '');
  }

  function renderProvenance(data) {
    const clock = data.clock;
    const made = data.made;
    const list = byId('provenance');
    const entry = function (term, text, attributes) {
      list.appendChild(element('dt', {}, term));
      return list.appendChild(element('dd', attributes || {}, text));
    };
    const roles = {result: 'Result', zones: 'Zones', 'floor plan': 'Floor plan'};
    for (const input of made.inputs) {
      const parts = [input.name];
      if (input.via === 'pipe') {
        parts.push('read from a pipe');
      } else if (input.via === 'standard input') {
        parts.push('read on standard input');
      }
      if (input.bytes !== null) {
        parts.push(bytesText(input.bytes));
      }
      if (input.modifiedMs !== null) {
        parts.push('modified ' + clock.seconds(input.modifiedMs));
      }
      if (input.role === 'zones' && data.zones) {
        parts.push(plural(data.zones.length, 'zone', 'zones'));
      }
      if (input.role === 'floor plan' && data.plan) {
        const b = data.plan.bounds;
        parts.push(data.plan.format + ', its edges at x ' + b[0] + ' to ' + b[2] + ' m, y ' +
                   b[1] + ' to ' + b[3] + ' m');
      }
      entry(roles[input.role] || input.role, parts.join(', '), {
        class: 'provenance-input', 'data-role': input.role, 'data-name': input.name,
        'data-bytes': input.bytes !== null ? input.bytes : '',
        'data-modified': input.modifiedMs !== null ? clock.input(input.modifiedMs) : '',
      });
    }
    entry('Threshold', data.threshold !== null ?
        grouped(data.threshold) + ' mm, as given to ' + made.generator.split(' ')[0] +
            ' (the result does not hold it)' :
        'not given (the result does not hold it; vela-report --threshold states it)', {
      id: 'provenance-threshold', 'data-mm': data.threshold !== null ? data.threshold : '',
    });
    entry('Made by', made.generator + ', ' + clock.seconds(made.madeMs) + ' (site time, ' +
          clock.label + ')', {id: 'provenance-made', 'data-made': clock.input(made.madeMs)});
  }

  // Events farther apart than the threshold given cannot be of a run at that threshold.
  function checkThreshold(data) {
    if (data.threshold === null) {
      return;
    }
    let beyond = 0;
    for (let i = 0; i < data.n; ++i) {
      beyond += data.distance[i] > data.threshold ? 1 : 0;
    }
    const note = byId('threshold-note');
    note.hidden = beyond === 0;
    note.textContent = beyond === 0 ? '' : plural(beyond, 'event was', 'events were') +
        ' farther apart than the threshold given, ' + grouped(data.threshold) + ' mm: it ' +
        'cannot be the threshold of the run that made this result.';
    byId('explain-heading').setAttribute('title', 'The command that tells why this pair ' +
        'raised this event: fill in the inputs of the run');
  }

  // The plan as an image element, made once and moved into each drawing of the plot. As an
  // image, an SVG plan runs no script and fetches nothing.
  function planImage(data) {
    const script = byId('vela-plan');
    if (!data.plan || !script) {
      return null;
    }
    const address = JSON.parse(script.textContent);
    const plot = byId('plot');
    const note = byId('plan-note');
    const image = document.createElementNS(SVG_NS, 'image');
    image.setAttribute('id', 'plan-image');
    image.setAttribute('class', 'plan');
    image.setAttribute('preserveAspectRatio', 'none');
    image.setAttribute('opacity', '0.6');
    image.addEventListener('load', function () {
      plot.setAttribute('data-plan', 'shown');
    });
    image.addEventListener('error', function () {
      plot.setAttribute('data-plan', 'failed');
      note.textContent = 'The floor plan could not be drawn: this browser cannot read it as ' +
          'a ' + data.plan.format + ' image.';
      note.hidden = false;
    });
    image.setAttribute('href', address);
    // A raster plan's pixels against its bounds: a plan stretched to bounds of another shape
    // is worth a word.
    const probe = new Image();
    probe.addEventListener('load', function () {
      plot.setAttribute('data-plan-pixels', probe.naturalWidth + 'x' + probe.naturalHeight);
      const b = data.plan.bounds;
      const stretch = (probe.naturalWidth / probe.naturalHeight) / ((b[2] - b[0]) / (b[3] - b[1]));
      if (data.plan.format !== 'SVG' && Math.abs(stretch - 1) > 0.02) {
        note.textContent = 'The floor plan is ' + probe.naturalWidth + ' × ' +
            probe.naturalHeight + ' pixels, but its bounds are ' + round(b[2] - b[0], 3) +
            ' × ' + round(b[3] - b[1], 3) + ' m: it is drawn out of shape, ' +
            Math.round(100 * (Math.max(stretch, 1 / stretch) - 1)) + ' % ' +
            (stretch > 1 ? 'narrower' : 'wider') + ' than it is.';
        note.hidden = false;
      }
    });
    probe.src = address;
    return image;
  }

  // ---- Putting it together --------------------------------------------------------------------
  // The drivers the events name, by uid and listed by name; the days the events span, and
  // whether the site's clock changes within them.
  function prepare(data) {
    const driving = new Uint8Array(data.uids.length);
    let firstWall = Infinity;
    let lastWall = -Infinity;
    let firstStart = Infinity;
    let lastStart = -Infinity;
    for (let i = 0; i < data.n; ++i) {
      firstStart = Math.min(firstStart, data.start[i]);
      lastStart = Math.max(lastStart, data.start[i]);
      if (data.driverA[i] >= 0) {
        driving[data.driverA[i]] = 1;
      }
      if (data.driverB[i] >= 0) {
        driving[data.driverB[i]] = 1;
      }
      firstWall = Math.min(firstWall, data.wall[i]);
      lastWall = Math.max(lastWall, data.wall[i]);
    }
    data.driverIndex = new Map();
    data.drivers = [];
    driving.forEach(function (flag, o) {
      if (flag) {
        data.driverIndex.set(data.uids[o], o);
        data.drivers.push(o);
      }
    });
    data.drivers.sort(function (o, p) {
      return objectLabel(data, o).localeCompare(objectLabel(data, p)) || o - p;
    });
    data.offsetChanges = data.n > 0 && data.clock.changesBetween(firstStart, lastStart);
    data.firstDay = dayOf(firstWall);
    data.lastDay = dayOf(lastWall);
    data.isVehicle = vehicleFlags(data);
    data.plan = data.meta.plan || null;
    data.zoneLabels = (data.zones || []).map(zoneLabelPoints);
  }

  function formNote(data) {
    const note = byId('form-note');
    if (data.form === 'events') {
      note.textContent = (data.results.length > 1 ? 'These results are' : 'This result is') +
          ' the bare events array that vela writes to standard output: it names no objects, ' +
          'so the kinds of the events are unknown and objects appear by uid only.';
    } else if (data.form === 'mixed') {
      note.textContent = 'Some of these results are the bare events array that vela writes ' +
          'to standard output, which names no objects: objects that only they name appear by ' +
          'uid, and the kinds of their events are unknown.' + (data.disagreement !== null ?
          ' So are the kinds of their events with an object the other results give different ' +
          'categories.' : '');
    }
    note.hidden = data.form === 'document';
  }

  function unitsNote(data) {
    const note = byId('units-note');
    note.textContent = data.warnings.join(' ');
    note.hidden = data.warnings.length === 0;
  }

  function main() {
    const data = load();
    prepare(data);
    formNote(data);
    namesNote(data);
    unitsNote(data);
    renderProvenance(data);
    checkThreshold(data);
    const frame = plotFrame(data);
    const plan = planImage(data);
    function render(filter, unread) {
      const chosen = select(data, filter);
      const ordered = byStart(data, chosen);
      renderHeader(data, ordered, filter, unread);
      showSummary(filter, data, chosen.length);
      renderPlot(data, chosen, frame, plan);
      renderZones(data, ordered, filter);
      renderTimeline(data, chosen);
      renderTrend(data, chosen);
      renderResults(data, chosen, filter);
      renderHours(data, chosen);
      renderWho(data, ordered, filter);
      renderClosest(data, chosen);
      renderPairs(data, ordered);
      renderObjects(data, ordered);
    }
    function fromAddress() {
      const parsed = parseFilter(window.location.hash, data);
      showFilter(parsed.filter, data);
      render(parsed.filter, parsed.unread);
    }
    let pending = false;
    let settled = false;  // the burst holds more than keystrokes: a time field may be told off
    function fromForm(event) {
      settled = settled || event.type !== 'input';
      if (pending) {
        return;
      }
      pending = true;
      // Once for a burst of input events, after the form has taken them all (a reset too).
      window.setTimeout(function () {
        pending = false;
        const read = readForm(data);
        showProblems(settled ? read.problems : []);
        settled = false;
        const hash = filterHash(read.filter, data);
        const here = window.location.pathname + window.location.search;
        window.history.replaceState(null, '', hash ? here + '#' + hash : here);
        render(read.filter, []);
      }, 0);
    }
    setUpForm(data);
    setUpFolding();
    const form = byId('filter-form');
    form.addEventListener('input', fromForm);
    form.addEventListener('change', fromForm);
    form.addEventListener('reset', fromForm);
    form.addEventListener('submit', function (event) {
      event.preventDefault();
      fromForm(event);
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
