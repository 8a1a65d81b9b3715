// The office page: connects to the broker that served it, over MQTT on
// WebSockets, takes the retained state of every station and what follows.
(() => {
  'use strict';
  const { RANK, Store, View, lang, t } = VR;

  const TOPICS = ['vrsilo/+/status', 'vrsilo/+/agent', 'vrsilo/+/+/tank/#'];
  // Nothing is published here: its subscription's answer tells the retained
  // state is all in (see subscribe below).
  const MARKER = 'vrsilo/$page/ready';
  const RECONNECT_MS = 3000;
  const RECHECK_MS = 15000; // a tank goes stale by the clock alone

  const $ = (id) => document.getElementById(id);
  const grid = $('grid');
  const store = new Store();
  const view = new View(store, grid);
  const decoder = new TextDecoder();
  let client = null;
  let ready = false;
  let drawPending = false;

  function translate() {
    document.documentElement.lang = lang;
    document.title = t.title;
    $('title').textContent = t.title;
    $('filter').placeholder = t.filter;
    $('export').textContent = t.exportCsv;
    $('login-title').textContent = t.loginTitle;
    $('user-label').textContent = t.user;
    $('password-label').textContent = t.password;
    $('sign-in').textContent = t.signIn;
    for (const dt of $('tank-template').content.querySelectorAll('[data-word]')) dt.textContent = t[dt.dataset.word];
  }

  function setConnection(text, down = false) {
    const c = $('connection');
    c.textContent = text;
    c.classList.toggle('down', down);
  }

  function brokerUrl() {
    return `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/mqtt`;
  }

  // Without credentials first; the form only when the broker refuses. The
  // credentials live in this client alone: never stored.
  function connect(credentials) {
    client?.end(true);
    const c = mqtt.connect(brokerUrl(), {
      protocolVersion: 4, clean: true, resubscribe: false, reconnectPeriod: 0, connectTimeout: 10000,
      clientId: `vrsilo-page-${crypto.getRandomValues(new Uint32Array(2)).join('')}`,
      ...(credentials ?? {}),
    });
    client = c;
    let accepted = false;
    setConnection(t.connecting);
    performance.mark('vr-connect-start');
    c.on('connect', () => {
      accepted = true;
      c.options.reconnectPeriod = RECONNECT_MS;
      performance.mark('vr-connected');
      $('login').hidden = true;
      grid.hidden = false;
      setConnection(t.online);
      subscribe(c);
    });
    c.on('error', (err) => {
      // CONNACK 4 (bad user name or password) and 5 (not authorised).
      if (!accepted && (err.code === 4 || err.code === 5 || err.code === 134 || err.code === 135)) {
        c.end(true);
        showLogin(credentials ? t.refused : '');
      }
    });
    c.on('offline', () => { if (accepted && c === client) setConnection(t.offlineBroker, true); });
    c.on('message', (topic, payload) => {
      if (store.ingest(topic, decoder.decode(payload))) schedule();
    });
  }

  function subscribe(c) {
    c.subscribe(TOPICS, { qos: 0 }, (err) => {
      if (err) return setConnection(String(err.message ?? err), true);
      // The broker sends a subscription's retained messages before it answers
      // the next subscription: once the marker's is answered, all are here.
      c.subscribe(MARKER, { qos: 0 }, () => {
        c.unsubscribe(MARKER);
        if (!ready) {
          ready = true;
          draw();
          $('export').disabled = false;
          performance.mark('vr-ready');
          document.body.dataset.ready = '1';
        }
      });
    });
  }

  function showLogin(error) {
    const form = $('login');
    form.hidden = false;
    grid.hidden = true;
    setConnection('');
    $('login-error').hidden = !error;
    $('login-error').textContent = error;
    form.elements.user.focus();
  }

  $('login').addEventListener('submit', (e) => {
    e.preventDefault();
    const form = e.target;
    const credentials = { username: form.elements.user.value, password: form.elements.password.value };
    form.elements.password.value = '';
    connect(credentials);
  });

  function schedule() {
    if (!ready || drawPending) return;
    drawPending = true;
    requestAnimationFrame(draw);
  }

  function draw() {
    drawPending = false;
    const now = Date.now();
    const names = [...store.dirty];
    store.dirty.clear();
    for (const name of names) {
      const site = store.sites.get(name);
      if (site) store.evaluate(site, now);
    }
    view.draw(names);
    drawCounts();
  }

  function drawCounts() {
    const counts = { alarm: 0, order: 0, stale: 0, offline: 0, ok: 0 };
    for (const s of store.sites.values()) counts[s.state]++;
    const out = $('counts');
    out.replaceChildren(...Object.keys(RANK).filter((k) => counts[k]).map((k) => {
      const span = document.createElement('span');
      span.dataset.state = k;
      span.textContent = `${counts[k]} ${t.states[k]}`;
      return span;
    }));
    out.title = `${store.sites.size} ${t.sites}`;
  }

  setInterval(() => {
    if (!ready) return;
    const now = Date.now();
    for (const site of store.sites.values()) if (store.evaluate(site, now)) store.dirty.add(site.name);
    if (store.dirty.size) schedule();
  }, RECHECK_MS);

  $('filter').addEventListener('input', (e) => view.setFilter(e.target.value));

  $('export').addEventListener('click', () => {
    const blob = new Blob([store.csv()], { type: 'text/csv;charset=utf-8' });
    const a = document.createElement('a');
    const stamp = new Date().toISOString().slice(0, 16).replace(/[-:]/g, '').replace('T', '-');
    a.href = URL.createObjectURL(blob);
    a.download = `vrsilo-stock-${stamp}.csv`;
    a.click();
    setTimeout(() => URL.revokeObjectURL(a.href), 10000);
  });

  translate();
  connect(null);
})();
