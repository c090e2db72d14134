// The board's page: draws /api/state, then follows /events. Everything a
// station sent is put in as text (textContent), never as markup.
'use strict';

(function () {
  const MaxTelegrams = 500;
  const MarkMillis = 5000;
  const AnnounceMillis = 3000;
  const Words = { 'online': 'online', 'offline': 'offline', 'device-lost': 'Gerät getrennt', 'unknown': 'unbekannt' };

  const stationRows = new Map();
  const vehicleRows = new Map();
  let clockOffset = 0;   // server time minus this computer's
  let source = null;
  let restartTimer = null;
  let filter = null;
  let announceTimer = null;
  let pendingAnnouncement = '';

  const byId = (id) => document.getElementById(id);
  const body = (table) => byId(table).tBodies[0];

  function cell(row, text, className) {
    const td = row.insertCell();
    td.textContent = text === undefined || text === null ? '' : String(text);
    if (className) td.className = className;
    return td;
  }

  function clockTime(iso) {
    // The station's own local time, as it wrote it: 2026-12-07T14:05:09.123+01:00
    const match = /T(\d\d:\d\d:\d\d)/.exec(iso || '');
    return match ? match[1] : (iso || '');
  }

  function ageText(iso) {
    if (!iso) return '–';
    const seconds = Math.max(0, Math.round((Date.now() + clockOffset - Date.parse(iso)) / 1000));
    if (seconds < 60) return 'vor ' + seconds + ' s';
    if (seconds < 3600) return 'vor ' + Math.floor(seconds / 60) + ' min';
    if (seconds < 86400) return 'vor ' + Math.floor(seconds / 3600) + ' h';
    return 'vor ' + Math.floor(seconds / 86400) + ' d';
  }

  // A changed row is marked for a few seconds by colour and by a word.
  function badge(row) {
    if (!row.classList.contains('neu') || row.cells[0].querySelector('.marke')) return;
    const word = document.createElement('span');
    word.className = 'marke';
    word.textContent = 'neu';
    row.cells[0].appendChild(word);
  }

  function mark(row) {
    row.classList.add('neu');
    badge(row);
    clearTimeout(row.markTimer);
    row.markTimer = setTimeout(() => {
      row.classList.remove('neu');
      const word = row.cells[0].querySelector('.marke');
      if (word) word.remove();
    }, MarkMillis);
  }

  // ---- Stationen

  function station(s) {
    let row = stationRows.get(s.name);
    const tbody = body('stationen-tabelle');
    if (!row) {
      row = document.createElement('tr');
      row.dataset.station = s.name;
      let before = null;
      for (const other of tbody.rows)
        if (other.dataset.station > s.name) { before = other; break; }
      tbody.insertBefore(row, before);
      stationRows.set(s.name, row);
      byId('stationen-zahl').textContent = '(' + stationRows.size + ')';
    }
    row.textContent = '';
    const head = document.createElement('th');
    head.scope = 'row';
    head.textContent = s.name;
    row.appendChild(head);
    const state = Words[s.state] ? s.state : 'unknown';
    const badge = document.createElement('span');
    badge.className = 'zustand';
    badge.dataset.zustand = state;
    badge.textContent = Words[state];
    row.insertCell().appendChild(badge);
    row.dataset.zustand = state;
    cell(row, s.serial_number);
    cell(row, s.firmware_version);
    cell(row, s.hardware_revision);
    const age = cell(row, ageText(s.last_message), 'alter');
    age.dataset.zeit = s.last_message || '';
    if (s.last_message) age.title = s.last_message;
    cell(row, s.telegrams, 'zahl-feld');
    cell(row, s.gaps, 'zahl-feld');
    cell(row, s.spool_dropped, 'zahl-feld');
  }

  // ---- Fahrzeuge

  function vehicle(v, fresh) {
    const tbody = body('fahrzeuge-tabelle');
    let row = vehicleRows.get(v.identifier);
    // A vehicle heard of for the first time counts as changed too.
    const changed = !row || row.dataset.status !== v.status || row.dataset.richtung !== v.direction;
    if (!row) {
      row = document.createElement('tr');
      vehicleRows.set(v.identifier, row);
      byId('fahrzeuge-zahl').textContent = '(' + vehicleRows.size + ')';
    }
    row.textContent = '';
    row.dataset.status = v.status;
    row.dataset.richtung = v.direction;
    const head = document.createElement('th');
    head.scope = 'row';
    head.textContent = v.identifier;
    row.appendChild(head);
    cell(row, v.designation);
    cell(row, v.status);
    cell(row, v.direction);
    cell(row, v.station);
    cell(row, clockTime(v.time)).title = v.time;
    cell(row, v.text);
    if (tbody.firstChild !== row)
      tbody.insertBefore(row, tbody.firstChild);
    if (fresh && changed)
      mark(row);
    else
      badge(row);
  }

  // ---- Telegramme: the window's filter (identifier, status, direction)

  function parseFilter(text) {
    const upper = text.trim().toUpperCase();
    if (upper === '') return null;
    if (upper === 'FZ->LS' || upper === 'FZ<-LS') return { field: 'direction', value: upper };
    if (upper.length === 8) return { field: 'identifier', value: upper };
    if (upper.length === 1 || (upper.length === 3 && upper.startsWith('S:')))
      return { field: 'status', value: upper.slice(-1) };
    return undefined;
  }

  function matches(row) {
    if (!filter) return true;
    const value = (row.dataset[filter.field] || '').toUpperCase();
    return value === filter.value;
  }

  function telegramRow(t) {
    const row = document.createElement('tr');
    row.dataset.identifier = t.identifier;
    row.dataset.status = t.status;
    row.dataset.direction = t.direction;
    row.dataset.time = t.time;
    cell(row, clockTime(t.time)).title = t.time;
    cell(row, t.station);
    cell(row, t.identifier);
    cell(row, t.designation);
    cell(row, t.status);
    cell(row, t.direction);
    cell(row, t.text);
    row.hidden = !matches(row);
    return row;
  }

  function telegram(t) {
    const tbody = body('telegramme-tabelle');
    const row = telegramRow(t);
    tbody.insertBefore(row, tbody.firstChild);
    while (tbody.rows.length > MaxTelegrams)
      tbody.deleteRow(-1);
    if (!row.hidden)
      announce(t);
  }

  // A screen reader hears the newest telegram, at most every few seconds.
  function announce(t) {
    pendingAnnouncement = 'Telegramm von ' + (t.designation || t.identifier) + ': Status ' + t.status +
      ', ' + t.direction + ', Station ' + t.station;
    if (announceTimer) return;
    byId('neues-telegramm').textContent = pendingAnnouncement;
    announceTimer = setTimeout(() => {
      announceTimer = null;
      if (byId('neues-telegramm').textContent !== pendingAnnouncement)
        byId('neues-telegramm').textContent = pendingAnnouncement;
    }, AnnounceMillis);
  }

  function applyFilter() {
    const text = byId('filter').value;
    const parsed = parseFilter(text);
    const hint = byId('filter-hinweis');
    if (parsed === undefined) {
      filter = null;
      hint.textContent = 'Kein gültiger Filter: alle Telegramme gezeigt';
    } else {
      filter = parsed;
      hint.textContent = '';
    }
    for (const row of body('telegramme-tabelle').rows)
      row.hidden = !matches(row);
  }

  // ---- CSV of the telegrams shown (comma-separated, CR LF, quoted where needed)

  function csvField(text) {
    text = String(text);
    return /[",\r\n]/.test(text) ? '"' + text.replace(/"/g, '""') + '"' : text;
  }

  function exportCsv() {
    const lines = [['Zeit', 'Station', 'Kennung', 'Bezeichnung', 'Status', 'Richtung', 'Text']];
    for (const row of body('telegramme-tabelle').rows) {
      if (row.hidden) continue;
      const cells = Array.from(row.cells, (c) => c.textContent);
      cells[0] = row.dataset.time;
      lines.push(cells);
    }
    const text = lines.map((fields) => fields.map(csvField).join(',')).join('\r\n') + '\r\n';
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([text], { type: 'text/csv;charset=utf-8' }));
    const now = new Date();
    const pad = (n) => String(n).padStart(2, '0');
    link.download = 'KarvenZop-Telegramme-' + now.getFullYear() + pad(now.getMonth() + 1) + pad(now.getDate()) +
      '-' + pad(now.getHours()) + pad(now.getMinutes()) + pad(now.getSeconds()) + '.csv';
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
  }

  // ---- State and live events

  function connection(live, text) {
    const p = byId('verbindung');
    p.dataset.zustand = live ? 'live' : 'getrennt';
    p.textContent = text;
  }

  function draw(state) {
    clockOffset = Date.parse(state.now) - Date.now();
    stationRows.clear();
    vehicleRows.clear();
    for (const id of ['stationen-tabelle', 'fahrzeuge-tabelle', 'telegramme-tabelle'])
      body(id).textContent = '';
    byId('stationen-zahl').textContent = '(0)';
    byId('fahrzeuge-zahl').textContent = '(0)';
    for (const s of state.stations) station(s);
    for (let i = state.vehicles.length - 1; i >= 0; --i) vehicle(state.vehicles[i], false);
    const tbody = body('telegramme-tabelle');
    const rows = document.createDocumentFragment();
    for (const t of state.telegrams.slice(0, MaxTelegrams)) rows.appendChild(telegramRow(t));
    tbody.appendChild(rows);
  }

  function on(kind, handler) {
    source.addEventListener(kind, (event) => {
      try {
        handler(JSON.parse(event.data));
      } catch (e) {
        console.error(kind, e);
      }
    });
  }

  function follow(after) {
    source = new EventSource('/events?after=' + encodeURIComponent(after));
    on('station', station);
    on('vehicle', (v) => vehicle(v, true));
    on('telegram', telegram);
    on('broker', (b) => connection(b.connected, b.connected ? 'Live' : 'Board ohne Verbindung zum Broker'));
    // The board restarted or this page fell too far behind: draw it anew.
    source.addEventListener('resync', () => restart(0));
    source.onopen = () => connection(true, 'Live');
    source.onerror = () => {
      connection(false, 'Verbindung unterbrochen, neuer Versuch …');
      if (source.readyState === EventSource.CLOSED)
        restart(2000);
    };
  }

  function restart(delay) {
    if (source) {
      source.close();
      source = null;
    }
    clearTimeout(restartTimer);
    restartTimer = setTimeout(start, delay);
  }

  async function start() {
    try {
      const response = await fetch('/api/state', { cache: 'no-store' });
      if (!response.ok) throw new Error('HTTP ' + response.status);
      const state = await response.json();
      draw(state);
      follow(state.event_id);
    } catch (e) {
      connection(false, 'Board nicht erreichbar, neuer Versuch …');
      restart(2000);
    }
  }

  document.addEventListener('DOMContentLoaded', () => {
    byId('filter').addEventListener('input', applyFilter);
    byId('export').addEventListener('click', exportCsv);
    setInterval(() => {
      for (const td of document.querySelectorAll('#stationen-tabelle td.alter'))
        td.textContent = ageText(td.dataset.zeit);
    }, 1000);
    start();
  });
})();
