// What the office knows of every station, from the retained messages and the
// updates after them. No DOM here: the view asks for states, order and CSV.
(() => {
  'use strict';

  // Worst first. A site is as bad as its worst tank.
  const RANK = { alarm: 0, order: 1, stale: 2, offline: 3, ok: 4 };
  const DAY_MS = 24 * 3600 * 1000;
  const STALE_PERIODS = 3;
  const DEFAULT_HEARTBEAT_S = 900;

  // The tank message's keys in the agent's order; keys a newer agent adds
  // follow them in the CSV.
  const TANK_KEYS = [
    'tank', 'level', 'volume', 'tc_volume', 'ullage', 'water', 'water_volume', 'temperature',
    'density', 'tc_density', 'mass', 'product', 'product_label', 'status', 'delivery_in_progress',
    'console_time', 'link_state', 'read_at',
  ];

  const PARTS = new Set(['alarms', 'console_alarms', 'forecast', 'delivery', 'history']);

  function parseTime(text) {
    if (typeof text !== 'string') return NaN;
    return Date.parse(text);
  }

  function parseJson(text) {
    try {
      const v = JSON.parse(text);
      return v && typeof v === 'object' && !Array.isArray(v) ? v : null;
    } catch {
      return null;
    }
  }

  class Store {
    constructor() {
      this.sites = new Map();
      this.dirty = new Set(); // names of sites changed since the last draw
    }

    site(name) {
      let s = this.sites.get(name);
      if (!s) {
        s = { name, status: null, agent: null, tanks: new Map(), state: 'stale', alarmAt: 0, orderAt: Infinity };
        this.sites.set(name, s);
      }
      return s;
    }

    // One message; false when it is none of ours or not understood. An empty
    // payload clears a retained message, as the broker does.
    ingest(topic, payload) {
      const p = topic.split('/');
      if (p[0] !== 'vrsilo' || p.length < 3 || !p[1]) return false;
      const site = p[1];
      const empty = payload.length === 0;
      if (p.length === 3) {
        if (p[2] === 'status') this.site(site).status = empty ? null : payload;
        else if (p[2] === 'agent') this.site(site).agent = empty ? null : parseJson(payload);
        else return false;
        this.dirty.add(site);
        return true;
      }
      if (p[3] !== 'tank' || p.length < 5 || p.length > 6) return false;
      const n = Number(p[4]);
      const part = p[5] ?? 'reading';
      if (!Number.isInteger(n) || (part !== 'reading' && !PARTS.has(part))) return false;
      const s = this.site(site);
      const key = `${p[2]}/${n}`;
      if (empty && part === 'reading') {
        s.tanks.delete(key);
      } else {
        let tank = s.tanks.get(key);
        if (!tank) {
          if (empty) return false;
          tank = { site, gauge: p[2], tank: n, reading: null, readMs: NaN, alarms: null, console_alarms: null,
                   forecast: null, delivery: null, history: null, state: 'stale', historyVersion: 0 };
          s.tanks.set(key, tank);
        }
        const value = empty ? null : parseJson(payload);
        if (!empty && !value) return false;
        tank[part] = value;
        if (part === 'reading') tank.readMs = parseTime(value.read_at);
        if (part === 'history') tank.historyVersion++;
      }
      this.dirty.add(site);
      return true;
    }

    // States at time now; a tank goes stale by the clock alone, so this runs
    // on a timer as well as after messages. True when anything changed.
    evaluate(site, now) {
      const heartbeat = Math.max(Number(site.agent?.heartbeat) || DEFAULT_HEARTBEAT_S, Number(site.agent?.period) || 0);
      let state = null;
      let alarmAt = 0;
      let orderAt = Infinity;
      let changed = false;
      for (const t of site.tanks.values()) {
        const before = t.state;
        t.state = tankState(site, t, now, heartbeat);
        changed ||= t.state !== before;
        if (t.state === 'alarm') alarmAt = Math.max(alarmAt, alarmTime(t));
        const order = parseTime(t.forecast?.order_by);
        if (Number.isFinite(order)) orderAt = Math.min(orderAt, order);
        if (state === null || RANK[t.state] < RANK[state]) state = t.state;
      }
      state ??= site.status === 'offline' ? 'offline' : 'stale';
      changed ||= state !== site.state || alarmAt !== site.alarmAt || orderAt !== site.orderAt;
      site.state = state;
      site.alarmAt = alarmAt;
      site.orderAt = orderAt;
      return changed;
    }

    // Worst first; among alarms the newest first (a new alarm goes to the top),
    // among orders the soonest, then by name.
    ordered() {
      return [...this.sites.values()].sort(compareSites);
    }

    // RFC 4180: one row per tank, site and gauge, then the tank message's keys.
    csv() {
      const extra = new Set();
      const rows = [];
      for (const s of [...this.sites.values()].sort((a, b) => cmp(a.name, b.name))) {
        const tanks = [...s.tanks.values()].filter((t) => t.reading);
        tanks.sort((a, b) => cmp(a.gauge, b.gauge) || a.tank - b.tank);
        for (const t of tanks) {
          for (const k of Object.keys(t.reading)) if (!TANK_KEYS.includes(k)) extra.add(k);
          rows.push(t);
        }
      }
      const keys = [...TANK_KEYS, ...[...extra].sort()];
      const lines = [['site', 'gauge', ...keys].map(csvCell).join(',')];
      for (const t of rows) lines.push([t.site, t.gauge, ...keys.map((k) => t.reading[k])].map(csvCell).join(','));
      return lines.join('\r\n') + '\r\n';
    }
  }

  function cmp(a, b) {
    return a < b ? -1 : a > b ? 1 : 0;
  }

  function compareSites(a, b) {
    return RANK[a.state] - RANK[b.state] ||
      (a.state === 'alarm' ? b.alarmAt - a.alarmAt : 0) ||
      (a.state === 'order' ? a.orderAt - b.orderAt : 0) ||
      cmp(a.name, b.name);
  }

  function csvCell(v) {
    if (v === null || v === undefined) return '';
    const s = typeof v === 'object' ? JSON.stringify(v) : String(v);
    return /[",\r\n]/.test(s) ? `"${s.replace(/"/g, '""')}"` : s;
  }

  function activeAlarms(t) {
    const names = [];
    for (const [k, v] of Object.entries(t.alarms ?? {})) if (v === true && k !== 'stale') names.push(k);
    for (const a of t.console_alarms?.alarms ?? []) if (!names.includes(a)) names.push(a);
    return names;
  }

  function alarmTime(t) {
    return Math.max(parseTime(t.alarms?.at) || 0, t.console_alarms?.alarms?.length ? parseTime(t.console_alarms.at) || 0 : 0);
  }

  function tankState(site, t, now, heartbeatS) {
    if (site.status === 'offline') return 'offline';
    if (activeAlarms(t).length) return 'alarm';
    if (!t.reading || t.reading.link_state !== 1 || t.alarms?.stale === true ||
        !(now - t.readMs <= STALE_PERIODS * heartbeatS * 1000)) return 'stale';
    if (parseTime(t.forecast?.order_by) < now + DAY_MS) return 'order';
    return 'ok';
  }

  // The tank's full volume: from the forecast's room to 90 % and 95 % (the
  // agent's calibration table), else volume plus the gauge's ullage.
  function fullVolume(t) {
    const u90 = t.forecast?.ullage_90;
    const u95 = t.forecast?.ullage_95;
    if (Number.isFinite(u90) && Number.isFinite(u95) && u95 > u90) return (u95 - u90) / 0.05;
    const v = t.reading?.volume;
    const u = t.reading?.ullage;
    return Number.isFinite(v) && Number.isFinite(u) && v + u > 0 ? v + u : NaN;
  }

  // The day's volumes for a chart: [seconds[], litres[]].
  function historySeries(t) {
    const h = t.history;
    const from = parseTime(h?.from);
    if (!Array.isArray(h?.volumes) || !Number.isFinite(from) || !(h.step > 0)) return null;
    const xs = h.volumes.map((_, i) => from / 1000 + i * h.step);
    return [xs, h.volumes.map((v) => (Number.isFinite(v) ? v : null))];
  }

  Object.assign(VR, { RANK, TANK_KEYS, parseTime, Store, compareSites, csvCell, activeAlarms, fullVolume, historySeries });
})();
