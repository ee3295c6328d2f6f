'use strict';

// The hub's read-only console. Everything comes over one WebSocket: the whole
// system list once, then differences; the stations of the selected system
// once, then the states that changed.

const token = new URLSearchParams(location.search).get('access_token');
const withToken = (path) => token ? `${path}?access_token=${encodeURIComponent(token)}` : path;

const $ = (id) => document.getElementById(id);

// By SystemStatus: 0 Working, 1 Error, 2 No Data, anything else Unknown.
const SYSTEM_STATUS = [
  { name: 'Working', css: 'st-working', icon: 'icons/status-working.svg' },
  { name: 'Error', css: 'st-error', icon: 'icons/status-error.svg' },
  { name: 'No Data', css: 'st-no-data', icon: 'icons/status-no-data.svg' },
  { name: 'Unknown', css: 'st-unknown', icon: 'icons/status-unknown.svg' },
];
const statusSlot = (status) => (status >= 0 && status <= 2 ? status : 3);

// A station's stored state: its name and the icon it shows (StationImageIndex).
const STATION_NAMES = ['Idle', 'Busy', 'DND', 'Message', 'Out of Service', 'FWD'];
const stationName = (state) => STATION_NAMES[state] ?? 'Unknown';
const stationIcon = (state) => [0, 1, 2, 3, 5, 0][state] ?? 4;
// The counts line, by icon, in the window's order.
const COUNT_ORDER = [[0, 'idle'], [1, 'busy'], [2, 'DND'], [3, 'msg'], [5, 'OOS'], [4, 'unknown']];

const systems = new Map(); // id -> { row, index, nameKey, addressKey, text }
// The commands (commands.js) name the whole table's size, not the rows drawn.
window.korvelSystemCount = () => systems.size;
let selected = null; // { id, address }
let stations = null; // { id, numbers, states, lamps, counts }
let socket = null;
let retryMs = 500;

// ---- system list ---------------------------------------------------------

// Formatted by hand: the locale-aware formatters cost a millisecond a row.
const two = (n) => String(n).padStart(2, '0');
function heardText(seconds) {
  if (!seconds) return 'not since start';
  const when = new Date(seconds * 1000);
  const time = `${two(when.getHours())}:${two(when.getMinutes())}:${two(when.getSeconds())}`;
  const now = new Date();
  if (when.getDate() === now.getDate() && when.getMonth() === now.getMonth() && when.getFullYear() === now.getFullYear())
    return time;
  return `${when.getFullYear()}-${two(when.getMonth() + 1)}-${two(when.getDate())} ${time}`;
}

function cell(tr, className, text) {
  const td = document.createElement('td');
  if (className) td.className = className;
  if (text !== undefined) td.textContent = text;
  tr.appendChild(td);
  return td;
}

const systemTable = $('systems');
const systemBody = systemTable.tBodies[0];
const systemScroll = systemTable.closest('.scroll');
const systemSearch = $('system-search');

// A system added by hand has no name until it reports: its address stands in.
const shownName = (row) => row.name || row.address;

// Dotted IPv4 as one number, so that .10 sorts after .9.
function addressKey(address) {
  let key = 0;
  for (const part of address.split('.')) key = key * 256 + (Number(part) || 0);
  return key;
}

// Status sorts the systems an operator must look at first: Error, No Data,
// Unknown, then Working.
const STATUS_RANK = [3, 0, 1, 2];
const SORT_VALUES = {
  name: (entry) => entry.nameKey,
  address: (entry) => entry.addressKey,
  status: (entry) => STATUS_RANK[statusSlot(entry.row.status)],
  heard: (entry) => entry.row.lastHeard,
};
const SORT_STORE = 'korvel.systems.sort';
let sort = { key: null, descending: false };
try {
  const stored = JSON.parse(localStorage.getItem(SORT_STORE));
  if (stored && stored.key in SORT_VALUES) sort = { key: stored.key, descending: !!stored.descending };
} catch (error) {
  // Nothing stored, or storage is off: the arrival order.
}
let searchText = '';

// Only the rows in sight (and a few around them) are in the document: ten
// thousand rows would cost seconds of layout at each search or sort. `listed`
// holds every system in the list's order, `shown` those the search lets
// through; each entry knows its place in `shown` (-1 when hidden).
let listed = [];
let shown = [];
let orderDirty = false;
let searchDirty = false;
const pool = []; // the rows in the document, each showing shown[first + i]
let first = 0;
let rowHeight = 0;
let tabStopId = null; // the system whose row is the list's one tab stop
const spacerAbove = makeSpacer();
const spacerBelow = makeSpacer();
systemBody.append(spacerAbove, spacerBelow);

function makeSpacer() {
  const tr = document.createElement('tr');
  tr.className = 'spacer';
  tr.setAttribute('aria-hidden', 'true');
  // Across every column, however many the page shows.
  cell(tr).colSpan = 100;
  return tr;
}

function makeRow() {
  const tr = document.createElement('tr');
  for (const className of ['name', 'address', 'status', 'type', 'to-ip', 'port', 'heard']) cell(tr, className);
  // The operator's commands per row, where this page may write (commands.js).
  // A row shows one system after another as the list scrolls: read the
  // system's address from the row at the click.
  window.korvelCommands?.row(tr);
  return tr;
}

// The icons are the cells' backgrounds (see style.css): thousands of rows
// build faster without an image element each.
function fillRow(tr, row) {
  const [name, address, status, type, toIp, port, heard] = tr.children;
  name.className = `name${row.endpointType === 3 ? ' silent' : ''}${row.name ? '' : ' unnamed'}`;
  name.textContent = shownName(row);
  // Shown under the name where the address column does not fit (style.css).
  name.dataset.address = row.address;
  address.textContent = row.address;
  status.className = `status ${SYSTEM_STATUS[statusSlot(row.status)].css}`;
  status.textContent = row.statusText;
  tr.dataset.status = row.statusText;
  type.textContent = row.type;
  toIp.textContent = row.toIp;
  port.textContent = row.port;
  heard.textContent = heardText(row.lastHeard);
}

const matchesSearch = (entry) => !searchText || entry.text.includes(searchText);

function putSystem(row) {
  let entry = systems.get(row.id);
  const before = entry && sort.key ? SORT_VALUES[sort.key](entry) : undefined;
  if (!entry) {
    entry = { index: -1, filled: null };
    systems.set(row.id, entry);
    orderDirty = true;
  }
  entry.row = row;
  entry.nameKey = shownName(row).toLowerCase();
  entry.addressKey = addressKey(row.address);
  entry.text = `${entry.nameKey}\n${row.address}`;
  if (sort.key && SORT_VALUES[sort.key](entry) !== before) orderDirty = true;
  if (searchText && matchesSearch(entry) !== entry.index >= 0) searchDirty = true;
  if (selected && selected.id === row.id) showStationTitle();
}

function removeSystem(id) {
  if (!systems.delete(id)) return;
  orderDirty = true;
  if (selected && selected.id === id) select(null);
}

function replaceSystems(rows) {
  systems.clear();
  orderDirty = true;
  for (const row of rows) putSystem(row);
  // The same system under a new id after the table was reloaded stays selected.
  if (selected) {
    const again = rows.find((row) => row.address === selected.address);
    select(again ? again.id : null);
  }
}

function compareSystems(a, b) {
  if (a[0] !== b[0]) return (a[0] < b[0]) !== sort.descending ? -1 : 1;
  return a[1].row.id - b[1].row.id;
}

function arrange() {
  if (orderDirty) {
    const value = sort.key ? SORT_VALUES[sort.key] : () => 0;
    listed = [...systems.values()].map((entry) => [value(entry), entry]).sort(compareSystems).map((pair) => pair[1]);
    orderDirty = false;
    searchDirty = true;
  }
  if (searchDirty) {
    shown = [];
    for (const entry of listed) entry.index = matchesSearch(entry) ? shown.push(entry) - 1 : -1;
    searchDirty = false;
  }
}

// Fills the rows in sight from `shown`; called after every change and on scroll.
function drawRows() {
  arrange();
  const height = rowHeight || 24;
  const seen = Math.ceil(systemScroll.clientHeight / height) + 1;
  first = Math.max(0, Math.min(Math.floor(systemScroll.scrollTop / height) - 10, shown.length - seen - 10));
  const count = Math.max(0, Math.min(shown.length - first, seen + 20));
  const focused = pool.indexOf(document.activeElement);
  while (pool.length < count) {
    const tr = makeRow();
    pool.push(tr);
    systemBody.insertBefore(tr, spacerBelow);
  }
  while (pool.length > count) pool.pop().remove();
  // A focused row that is about to show another system hands it the tab stop.
  const now = focused >= 0 && focused < count ? shown[first + focused] : undefined;
  if (now && String(now.row.id) !== pool[focused].dataset.id) tabStopId = now.row.id;
  if (!shown.some((entry) => entry.row.id === tabStopId)) {
    const chosen = selected && systems.get(selected.id);
    tabStopId = chosen && chosen.index >= 0 ? selected.id : (shown[0]?.row.id ?? null);
  }
  pool.forEach((tr, i) => {
    const entry = shown[first + i];
    if (tr.filled !== entry.row || tr.dataset.id !== String(entry.row.id)) {
      tr.dataset.id = entry.row.id;
      fillRow(tr, entry.row);
      tr.filled = entry.row;
    }
    tr.setAttribute('aria-rowindex', first + i + 2);
    const isSelected = selected !== null && selected.id === entry.row.id;
    tr.classList.toggle('selected', isSelected);
    if (isSelected) tr.setAttribute('aria-selected', 'true');
    else tr.removeAttribute('aria-selected');
    if (entry.row.id === tabStopId) tr.tabIndex = 0;
    else tr.removeAttribute('tabindex');
  });
  if (!rowHeight && pool.length) rowHeight = pool[0].getBoundingClientRect().height;
  spacerAbove.style.height = `${first * height}px`;
  spacerBelow.style.height = `${(shown.length - first - count) * height}px`;
  spacerAbove.hidden = first === 0;
  spacerBelow.hidden = first + count >= shown.length;
  systemTable.setAttribute('aria-rowcount', shown.length + 1);
}

let drawPending = false;
// Rows are higher on a narrow screen (the address under the name): measure them again.
matchMedia('(max-width: 900px)').addEventListener('change', () => {
  rowHeight = 0;
  drawRows();
});

systemScroll.addEventListener('scroll', () => {
  if (drawPending) return;
  drawPending = true;
  requestAnimationFrame(() => {
    drawPending = false;
    drawRows();
  });
});
window.addEventListener('resize', drawRows);

function showSort() {
  for (const th of systemTable.tHead.querySelectorAll('th[data-sort]')) {
    if (th.dataset.sort === sort.key) th.setAttribute('aria-sort', sort.descending ? 'descending' : 'ascending');
    else th.removeAttribute('aria-sort');
  }
}

function sortBy(key) {
  sort = { key, descending: sort.key === key && !sort.descending };
  try {
    localStorage.setItem(SORT_STORE, JSON.stringify(sort));
  } catch (error) {
    // Storage is off: the order holds until the page is reloaded.
  }
  orderDirty = true;
  showSort();
  systemsChanged();
}

systemTable.tHead.addEventListener('click', (event) => {
  const th = event.target.closest('th[data-sort]');
  if (th) sortBy(th.dataset.sort);
});

systemSearch.addEventListener('input', () => {
  searchText = systemSearch.value.trim().toLowerCase();
  searchDirty = true;
  systemsChanged();
});

function systemsChanged() {
  drawRows();
  const counts = [0, 0, 0, 0];
  for (const entry of systems.values()) counts[statusSlot(entry.row.status)]++;
  const summary = $('summary');
  summary.textContent = '';
  SYSTEM_STATUS.forEach((look, slot) => {
    const item = document.createElement('span');
    item.className = look.css;
    const icon = document.createElement('img');
    icon.src = look.icon;
    icon.alt = '';
    item.append(icon, `${look.name} ${counts[slot]}`);
    summary.appendChild(item);
  });
  $('system-count').textContent =
    shown.length === systems.size ? `(${systems.size})` : `(${shown.length} of ${systems.size})`;
  const hint = $('no-systems');
  hint.textContent = systems.size === 0 ? 'No systems known yet.' : 'No system matches the search.';
  hint.hidden = shown.length > 0;
}

// ---- keyboard: one row of the list is a tab stop, the arrows move it -----

function focusRow(index) {
  const entry = shown[Math.max(0, Math.min(index, shown.length - 1))];
  if (!entry) return;
  tabStopId = entry.row.id;
  // Into sight first, below the sticky header, so that its row is drawn.
  const height = rowHeight || 24;
  const head = systemTable.tHead.getBoundingClientRect().height;
  const top = head + entry.index * height;
  if (top - head < systemScroll.scrollTop) systemScroll.scrollTop = top - head;
  else if (top + height > systemScroll.scrollTop + systemScroll.clientHeight)
    systemScroll.scrollTop = top + height - systemScroll.clientHeight;
  drawRows();
  pool[entry.index - first]?.focus({ preventScroll: true });
}

systemBody.addEventListener('keydown', (event) => {
  const tr = event.target.closest('tr[data-id]');
  if (!tr || event.altKey || event.ctrlKey || event.metaKey) return;
  const at = systems.get(Number(tr.dataset.id))?.index ?? 0;
  const page = Math.max(1, Math.floor(systemScroll.clientHeight / (rowHeight || 24)) - 2);
  const to = { ArrowDown: at + 1, ArrowUp: at - 1, PageDown: at + page, PageUp: at - page, Home: 0, End: shown.length - 1 };
  if (event.key in to) focusRow(to[event.key]);
  else if (event.key === 'Enter' || event.key === ' ') select(Number(tr.dataset.id));
  else return;
  event.preventDefault();
});

function select(id) {
  const known = id === null ? undefined : systems.get(id);
  selected = known ? { id, address: known.row.address } : null;
  drawRows();
  stations = null;
  $('lamps').textContent = '';
  $('counts').textContent = '';
  showStationTitle();
  showStationHint();
  send({ watch: selected ? selected.id : null });
}

systemBody.addEventListener('click', (event) => {
  const tr = event.target.closest('tr[data-id]');
  if (!tr) return;
  tabStopId = Number(tr.dataset.id);
  select(tabStopId);
});

// ---- stations ------------------------------------------------------------

const numberFilter = $('number-filter');
const stateFilter = $('state-filter');

function lampVisible(number, state) {
  const wanted = Number(stateFilter.value);
  if (wanted >= 0 && stationIcon(state) !== wanted) return false;
  const text = numberFilter.value.trim().toLowerCase();
  return !text || number.toLowerCase().includes(text);
}

function dressLamp(lamp, number, state) {
  lamp.className = `lamp i${stationIcon(state)}`;
  lamp.dataset.state = state;
  const watching = Number(lamp.dataset.watchers || 0);
  lamp.title = `${number}: ${stationName(state)}`
    + (watching ? `, ${watching} SIP watcher${watching === 1 ? '' : 's'}` : '');
  lamp.setAttribute('aria-label', lamp.title);
  lamp.hidden = !lampVisible(number, state);
}

function makeLamp(number, state) {
  const lamp = document.createElement('div');
  // The icon is a background: the label says the state in words.
  lamp.setAttribute('role', 'img');
  lamp.dataset.number = number;
  lamp.textContent = number;
  dressLamp(lamp, number, state);
  return lamp;
}

function showStations(message) {
  if (!selected || selected.id !== message.id) return;
  const lamps = [];
  const counts = [0, 0, 0, 0, 0, 0];
  const fragment = document.createDocumentFragment();
  message.numbers.forEach((number, i) => {
    const lamp = makeLamp(number, message.states[i]);
    lamps.push(lamp);
    counts[stationIcon(message.states[i])]++;
    fragment.appendChild(lamp);
  });
  stations = { id: message.id, numbers: message.numbers, states: message.states, lamps, counts };
  const box = $('lamps');
  box.textContent = '';
  box.appendChild(fragment);
  showCounts();
  showStationTitle();
  showStationHint();
  readWatchers();
}

function stationsChanged(change) {
  if (!stations || stations.id !== change.id) return;
  const box = $('lamps');
  // A reloaded station list can be shorter than the one shown.
  while (stations.lamps.length > change.count) {
    stations.lamps.pop().remove();
    stations.counts[stationIcon(stations.states.pop())]--;
    stations.numbers.pop();
  }
  for (const [index, number, state] of change.changes) {
    let lamp = stations.lamps[index];
    if (lamp) {
      stations.counts[stationIcon(stations.states[index])]--;
      if (stations.numbers[index] !== number) {
        lamp.dataset.number = number;
        lamp.textContent = number;
      }
      dressLamp(lamp, number, state);
      lamp.classList.add('changed');
    } else {
      while (stations.lamps.length < index) {
        // Not expected: indices arrive in order. Fill so the list stays aligned.
        const filler = makeLamp('', -1);
        stations.lamps.push(filler);
        stations.numbers.push('');
        stations.states.push(-1);
        stations.counts[4]++;
        box.appendChild(filler);
      }
      lamp = makeLamp(number, state);
      stations.lamps.push(lamp);
      box.appendChild(lamp);
    }
    stations.numbers[index] = number;
    stations.states[index] = state;
    stations.counts[stationIcon(state)]++;
  }
  showCounts();
  showStationTitle();
  showStationHint();
}

// ---- SIP watchers ----------------------------------------------------------

// With SIP on, the hub counts each station's watchers in the station list it
// serves; the page reads it every few seconds while a system is on show,
// rather than with every subscription. Without SIP the list has no counts.
const WATCHERS_EVERY_MS = 2000;
let sipOn = true;

function showWatchers(list) {
  if (!stations) return;
  list.forEach((station, index) => {
    const lamp = stations.lamps[index];
    if (!lamp || stations.numbers[index] !== station.number) return;
    const count = station.watchers || 0;
    if (Number(lamp.dataset.watchers || 0) === count) return;
    if (count) lamp.dataset.watchers = count;
    else delete lamp.dataset.watchers;
    dressLamp(lamp, station.number, stations.states[index]);
  });
}

async function readWatchers() {
  if (!sipOn || !selected || !stations || document.hidden) return;
  const id = selected.id;
  try {
    const answer = await fetch(withToken(`api/systems/${encodeURIComponent(selected.address)}/stations`),
      { cache: 'no-store' });
    if (!answer.ok) return;
    const list = (await answer.json()).stations || [];
    if (list.length && !('watchers' in list[0])) {
      sipOn = false;
      return;
    }
    if (selected && selected.id === id) showWatchers(list);
  } catch (error) {
    // The feed's own retry says when the hub is gone.
  }
}

function showCounts() {
  if (!stations) return;
  const parts = [];
  for (const [icon, word] of COUNT_ORDER) {
    const count = stations.counts[icon];
    if (count > 0 || icon !== 4) parts.push(`${count} ${word}`);
  }
  $('counts').textContent = parts.join(', ');
}

function visibleLamps() {
  let shown = 0;
  for (const lamp of stations.lamps) if (!lamp.hidden) shown++;
  return shown;
}

function showStationTitle() {
  const title = $('station-title');
  const row = selected && systems.get(selected.id)?.row;
  // On a phone, the fields the system list has no room for.
  $('system-details').textContent = row
    ? `${row.address} · ${row.type} · To IP ${row.toIp || '-'} · Port ${row.port} · Last heard ${heardText(row.lastHeard)}`
    : '';
  if (!selected) {
    title.textContent = '';
    return;
  }
  const name = row && row.name ? row.name : selected.address;
  if (!stations) {
    title.textContent = name;
    return;
  }
  const total = stations.lamps.length;
  const noun = total === 1 ? '1 station' : `${total} stations`;
  const filtering = numberFilter.value.trim() !== '' || Number(stateFilter.value) >= 0;
  title.textContent = filtering ? `${name}: ${visibleLamps()} of ${noun}` : `${name}: ${noun}`;
}

function showStationHint() {
  const hint = $('station-hint');
  let text = '';
  if (!selected) text = 'Select a system in the system list to see its stations.';
  else if (!stations) text = 'Loading…';
  else if (stations.lamps.length === 0) text = 'No stations registered on this system yet.';
  else if (visibleLamps() === 0) text = 'No station matches the filter.';
  hint.textContent = text;
  hint.hidden = text === '';
}

function refilter() {
  if (!stations) return;
  stations.lamps.forEach((lamp, i) => {
    lamp.hidden = !lampVisible(stations.numbers[i], stations.states[i]);
  });
  showStationTitle();
  showStationHint();
}
numberFilter.addEventListener('input', refilter);
stateFilter.addEventListener('change', refilter);

// ---- traffic graph -------------------------------------------------------

const WINDOW_SECONDS = 300;
const traffic = []; // [time ms, sent bytes, received bytes, packets received, receive queue bytes], one a second
const SERIES = [
  { index: 1, colour: '#ffff00', label: 'now-sent', bytes: true },
  { index: 2, colour: '#00ff00', label: 'now-received', bytes: true },
  { index: 3, colour: '#c0c0c0', label: 'now-packets', bytes: false },
];
const packetsText = (value) => `${value}/s`;

function bytesText(value, per = '/s') {
  // Three significant digits at most, trailing zeros dropped: 7.5 kB/s, 200 MB/s.
  const scaled = (divisor, unit) => `${Number((value / divisor).toPrecision(3))} ${unit}${per}`;
  if (value < 1000) return `${Math.round(value)} B${per}`;
  if (value < 1e6) return scaled(1e3, 'kB');
  if (value < 1e9) return scaled(1e6, 'MB');
  return scaled(1e9, 'GB');
}

// The smallest of 1, 2, 5 times a power of ten at least `value`.
function niceCeiling(value) {
  if (value <= 0) return 1;
  const power = 10 ** Math.floor(Math.log10(value));
  for (const step of [1, 2, 5, 10]) if (step * power >= value) return step * power;
  return 10 * power;
}

function addTraffic(samples) {
  traffic.push(...samples);
  if (traffic.length > WINDOW_SECONDS) traffic.splice(0, traffic.length - WINDOW_SECONDS);
  const last = traffic[traffic.length - 1];
  if (last) {
    for (const series of SERIES) {
      const value = last[series.index];
      $(series.label).textContent = series.bytes ? bytesText(value) : packetsText(value);
    }
    // Datagrams the hub has not read yet: anything lasting means it is behind.
    $('now-queue').textContent = bytesText(last[4] || 0, '');
  }
  drawGraph();
}

function drawGraph() {
  const canvas = $('graph');
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth;
  const height = canvas.clientHeight;
  if (canvas.width !== Math.round(width * ratio) || canvas.height !== Math.round(height * ratio)) {
    canvas.width = Math.round(width * ratio);
    canvas.height = Math.round(height * ratio);
  }
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, width, height);
  const left = 66;
  const right = 44;
  const top = 20;
  const bottom = 18;
  const plotWidth = width - left - right;
  const plotHeight = height - top - bottom;
  let maxBytes = 0;
  let maxPackets = 0;
  for (const sample of traffic) {
    maxBytes = Math.max(maxBytes, sample[1], sample[2]);
    maxPackets = Math.max(maxPackets, sample[3]);
  }
  const bytesScale = niceCeiling(Math.max(maxBytes, 100));
  // Four times a round number, so that each grid line is a round number of packets.
  const packetsScale = 4 * niceCeiling(Math.max(maxPackets, 4) / 4);

  g.font = '11px system-ui, sans-serif';
  g.lineWidth = 1;
  g.strokeStyle = '#0b5d0b';
  g.fillStyle = '#7fbf7f';
  g.textBaseline = 'middle';
  for (let i = 0; i <= 4; i++) {
    const y = top + plotHeight - (plotHeight * i) / 4;
    g.beginPath();
    g.moveTo(left, y + 0.5);
    g.lineTo(left + plotWidth, y + 0.5);
    g.stroke();
    g.textAlign = 'right';
    g.fillText(bytesText((bytesScale * i) / 4), left - 6, y);
    g.textAlign = 'left';
    g.fillText(String((packetsScale * i) / 4), left + plotWidth + 6, y);
  }
  // What each axis counts, above it.
  g.textBaseline = 'top';
  g.textAlign = 'left';
  g.fillText('bytes/s', 4, 4);
  g.textAlign = 'right';
  g.fillText('packets/s', width - 4, 4);
  g.textAlign = 'center';
  g.textBaseline = 'alphabetic';
  // From "now" leftwards, each label only where it clears the one after it.
  let labelsFrom = Infinity;
  for (let minute = 0; minute <= 5; minute++) {
    const x = left + plotWidth - (plotWidth * minute * 60) / WINDOW_SECONDS;
    g.beginPath();
    g.moveTo(x + 0.5, top);
    g.lineTo(x + 0.5, top + plotHeight);
    g.stroke();
    const label = minute === 0 ? 'now' : `-${minute} min`;
    const half = g.measureText(label).width / 2;
    const at = Math.min(Math.max(x, left + 16), left + plotWidth - 12);
    if (at + half + 6 > labelsFrom) continue;
    g.fillText(label, at, height - 4);
    labelsFrom = at - half;
  }

  if (traffic.length === 0) return;
  const newest = traffic[traffic.length - 1][0];
  g.lineWidth = 2;
  g.lineJoin = 'round';
  for (const series of SERIES) {
    const scale = series.bytes ? bytesScale : packetsScale;
    g.strokeStyle = series.colour;
    g.beginPath();
    traffic.forEach((sample, i) => {
      const age = (newest - sample[0]) / 1000;
      const x = left + plotWidth - (plotWidth * age) / WINDOW_SECONDS;
      const y = top + plotHeight - (plotHeight * Math.min(sample[series.index], scale)) / scale;
      if (i === 0 || x < left) g.moveTo(Math.max(x, left), y);
      else g.lineTo(x, y);
    });
    g.stroke();
  }
}
window.addEventListener('resize', drawGraph);

// ---- trace tail ----------------------------------------------------------

const TRACE_LINES = 500;
const traceLines = [];

function addTrace(lines, replace) {
  const box = $('trace');
  const atEnd = box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
  if (replace) traceLines.length = 0;
  traceLines.push(...lines);
  if (traceLines.length > TRACE_LINES) traceLines.splice(0, traceLines.length - TRACE_LINES);
  box.textContent = traceLines.join('\n');
  if (atEnd || replace) box.scrollTop = box.scrollHeight;
}

function showLogging(on) {
  $('logging').textContent = on ? '(logging on)' : '(logging off: the trace shows lines only while console logging is on)';
  $('trace').classList.toggle('off', !on);
}

// ---- the feed ------------------------------------------------------------

function send(message) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
}

function setLink(state, text) {
  const link = $('link');
  link.className = `link ${state}`;
  link.textContent = text;
}

function handle(message) {
  if (message.t === 'hello') {
    replaceSystems(message.systems);
    systemsChanged();
    traffic.length = 0;
    addTraffic(message.traffic);
    addTrace(message.trace, true);
    showLogging(message.logging);
    // When the page first showed the whole list, for whoever measures it.
    if (!performance.getEntriesByName('korvel-systems-shown').length) performance.mark('korvel-systems-shown');
    return;
  }
  if (message.t === 'stations') {
    if (message.gone) {
      if (selected && selected.id === message.id) select(null);
    } else {
      showStations(message);
    }
    return;
  }
  if (message.reset) {
    replaceSystems(message.systems);
  } else {
    for (const row of message.systems || []) putSystem(row);
    for (const id of message.removed || []) removeSystem(id);
    for (const [id, heard] of message.heard || []) {
      const known = systems.get(id);
      if (known) {
        if (sort.key === 'heard' && known.row.lastHeard !== heard) orderDirty = true;
        known.row.lastHeard = heard;
        // A row on show is written now; the others when they are drawn.
        const tr = pool[known.index - first];
        if (tr && tr.filled === known.row) tr.children[6].textContent = heardText(heard);
      }
    }
  }
  if (message.systems || message.removed || message.reset || orderDirty) systemsChanged();
  if (message.stations) stationsChanged(message.stations);
  if (message.traffic) addTraffic([message.traffic]);
  if ('logging' in message) showLogging(message.logging);
  if (message.trace) addTrace(message.trace, false);
}

async function explainFailure() {
  try {
    const answer = await fetch(withToken('api/stats'), { cache: 'no-store' });
    if (answer.status === 401) {
      setLink('down', token ? 'token refused' : 'token required: open this page with ?access_token=…');
      return;
    }
    const stats = await answer.json();
    $('own-address').textContent = stats.ownAddress ? `on ${stats.ownAddress}` : '';
  } catch (error) {
    // The hub is not answering at all; the retry says so.
  }
}

function connect() {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  socket = new WebSocket(`${scheme}//${location.host}${withToken('/ws')}`);
  socket.addEventListener('open', () => {
    retryMs = 500;
    setLink('live', 'live');
  });
  socket.addEventListener('message', (event) => handle(JSON.parse(event.data)));
  socket.addEventListener('close', () => {
    setLink('down', 'disconnected, retrying…');
    explainFailure();
    setTimeout(connect, retryMs);
    retryMs = Math.min(retryMs * 2, 10000);
  });
}

setInterval(readWatchers, WATCHERS_EVERY_MS);
showSort();
systemsChanged();
showStationHint();
showLogging(false);
drawGraph();
explainFailure();
connect();
