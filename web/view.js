// The DOM of the page: a card per site, a row per tank. Elements are made
// once and updated in place; charts are drawn only for cards on screen.
(() => {
  'use strict';
  const { activeAlarms, fullVolume, historySeries, parseTime, fmt, t: words } = VR;

  const siteTemplate = document.getElementById('site-template');
  const tankTemplate = document.getElementById('tank-template');

  class View {
    constructor(store, grid) {
      this.store = store;
      this.grid = grid;
      this.cards = new Map(); // site name -> { root, tanks: Map(key -> refs), visible }
      this.filter = '';
      this.visibility = new IntersectionObserver((entries) => {
        for (const e of entries) {
          const card = this.cards.get(e.target.dataset.site);
          if (!card) continue;
          card.visible = e.isIntersecting;
          if (card.visible) for (const [key, refs] of card.tanks) this.chart(refs, card.site.tanks.get(key));
        }
      }, { rootMargin: '300px' });
    }

    setFilter(text) {
      this.filter = text.trim().toLowerCase();
      for (const card of this.cards.values()) this.applyFilter(card);
    }

    applyFilter(card) {
      card.root.hidden = this.filter !== '' && !card.site.name.toLowerCase().includes(this.filter);
    }

    // Draws the sites given (or all), then puts every card in its place.
    draw(names = this.store.sites.keys()) {
      for (const name of names) {
        const site = this.store.sites.get(name);
        if (site) this.drawSite(site);
        else this.removeSite(name);
      }
      this.order();
    }

    removeSite(name) {
      const card = this.cards.get(name);
      if (!card) return;
      this.visibility.unobserve(card.root);
      card.root.remove();
      this.cards.delete(name);
    }

    order() {
      const sites = this.store.ordered();
      let at = this.grid.firstElementChild;
      for (const site of sites) {
        const root = this.cards.get(site.name)?.root;
        if (!root) continue;
        if (root === at) at = at.nextElementSibling;
        else this.grid.insertBefore(root, at);
      }
    }

    drawSite(site) {
      let card = this.cards.get(site.name);
      if (!card) {
        const root = siteTemplate.content.firstElementChild.cloneNode(true);
        root.dataset.site = site.name;
        root.querySelector('.site-name').textContent = site.name;
        card = { root, site, tanks: new Map(), visible: false, badge: root.querySelector('.badge'),
                 meta: root.querySelector('.site-meta'), list: root.querySelector('.tanks') };
        this.cards.set(site.name, card);
        this.applyFilter(card);
        this.visibility.observe(root);
      }
      card.site = site;
      card.root.dataset.state = site.state;
      card.badge.textContent = words.states[site.state];
      card.meta.textContent = site.tanks.size ? '' : words.noTanks;
      const keys = [...site.tanks.keys()].sort((a, b) => {
        const [ga, na] = a.split('/');
        const [gb, nb] = b.split('/');
        return ga < gb ? -1 : ga > gb ? 1 : na - nb;
      });
      for (const [key, refs] of card.tanks) {
        if (!site.tanks.has(key)) {
          refs.chart?.destroy();
          refs.root.remove();
          card.tanks.delete(key);
        }
      }
      keys.forEach((key, i) => {
        const tank = site.tanks.get(key);
        let refs = card.tanks.get(key);
        if (!refs) {
          refs = makeTank(tank);
          card.tanks.set(key, refs);
        }
        const at = card.list.children[i] ?? null;
        if (at !== refs.root) card.list.insertBefore(refs.root, at);
        drawTank(refs, tank);
        if (card.visible) this.chart(refs, tank);
      });
    }

    // The day's sparkline, made or refreshed when its history changed.
    chart(refs, tank) {
      if (!tank || refs.historyVersion === tank.historyVersion) return;
      refs.historyVersion = tank.historyVersion;
      const series = historySeries(tank);
      if (!series || series[0].length < 2) {
        refs.chart?.destroy();
        refs.chart = null;
        return;
      }
      if (refs.chart) {
        refs.chart.setData(series);
        return;
      }
      refs.chart = new uPlot({
        width: 150, height: 34, class: 'sparkline',
        cursor: { show: false }, legend: { show: false }, select: { show: false },
        scales: { x: { time: true } },
        axes: [{ show: false }, { show: false }],
        series: [{}, { stroke: '#2f6f9f', width: 1.25, fill: 'rgba(47,111,159,0.12)', points: { show: false } }],
        padding: [2, 1, 2, 1],
      }, series, refs.spark);
    }
  }

  function makeTank(tank) {
    const root = tankTemplate.content.firstElementChild.cloneNode(true);
    root.dataset.site = tank.site;
    root.dataset.gauge = tank.gauge;
    root.dataset.tank = String(tank.tank);
    const q = (c) => root.querySelector(c);
    return {
      root, name: q('.tank-name'), product: q('.product'), fill: q('.fill'), volume: q('.volume'),
      toFill: q('.to-fill'), days: q('.days'), water: q('.water'), temperature: q('.temperature'),
      delivery: q('.delivery'), alarms: q('.alarms'), spark: q('.spark'), chart: null, historyVersion: 0,
    };
  }

  function drawTank(refs, tank) {
    const r = tank.reading ?? {};
    const volume = r.volume;
    const full = fullVolume(tank);
    refs.root.dataset.state = tank.state;
    refs.root.dataset.volume = Number.isFinite(volume) ? String(volume) : '';
    refs.name.textContent = `${words.tank} ${tank.tank} · ${tank.gauge}`;
    refs.product.textContent = r.product_label ?? (r.product ? `${words.product} ${r.product}` : '');
    const share = Number.isFinite(volume) && full > 0 ? Math.min(1, Math.max(0, volume / full)) : 0;
    refs.fill.style.width = `${(share * 100).toFixed(1)}%`;
    refs.volume.textContent = `${fmt.int(volume)} ${words.litres}`;
    const room = full > 0 && Number.isFinite(volume) ? 0.95 * full - volume : NaN;
    refs.toFill.textContent = `${fmt.int(room)} ${words.litres}`;
    const f = tank.forecast ?? {};
    refs.days.textContent = Number.isFinite(f.days_to_empty) ? `${fmt.one(f.days_to_empty)} ${words.days}` : words.none;
    refs.days.title = f.order_by ? `${words.orderBy} ${fmt.time(parseTime(f.order_by))}` : '';
    refs.water.textContent = Number.isFinite(r.water) ? `${fmt.one(r.water)} ${words.mm}` : words.none;
    refs.temperature.textContent = Number.isFinite(r.temperature) ? `${fmt.one(r.temperature)} °C` : words.none;
    const d = tank.delivery;
    refs.delivery.textContent = d
      ? `${fmt.time(parseTime(d.end ?? d.start))} · ${words.gross} ${fmt.int(d.gross)} · ${words.net} ${fmt.int(d.net15)} ${words.litres}`
      : words.none;
    const alarms = activeAlarms(tank);
    refs.alarms.textContent = alarms.map((a) => words.alarms[a] ?? a).join(', ');
    refs.root.title = Number.isFinite(tank.readMs) ? `${words.readAt} ${fmt.time(tank.readMs)}` : '';
  }

  Object.assign(VR, { View });
})();
