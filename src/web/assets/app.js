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

const systems = new Map(); // id -> { row, tr }
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

function makeRow(row) {
  const tr = document.createElement('tr');
  tr.dataset.id = row.id;
  for (const className of ['name', 'address', 'status', 'type', 'to-ip', 'port', 'heard']) cell(tr, className);
  fillRow(tr, row);
  // The operator's commands per row (commands.js), when this page may write.
  window.korvelCommands?.row(tr);
  return tr;
}

// The icons are the cells' backgrounds (see style.css): thousands of rows
// build faster without an image element each.
function fillRow(tr, row) {
  const [name, address, status, type, toIp, port, heard] = tr.children;
  name.className = row.endpointType === 3 ? 'name silent' : 'name';
  name.textContent = row.name;
  address.textContent = row.address;
  status.className = `status ${SYSTEM_STATUS[statusSlot(row.status)].css}`;
  status.textContent = row.statusText;
  tr.dataset.status = row.statusText;
  type.textContent = row.type;
  toIp.textContent = row.toIp;
  port.textContent = row.port;
  heard.textContent = heardText(row.lastHeard);
}

function putSystem(row, body) {
  const known = systems.get(row.id);
  if (known) {
    known.row = row;
    fillRow(known.tr, row);
  } else {
    const tr = makeRow(row);
    systems.set(row.id, { row, tr });
    (body || $('systems').tBodies[0]).appendChild(tr);
  }
  if (selected && selected.id === row.id) showStationTitle();
}

function removeSystem(id) {
  const known = systems.get(id);
  if (!known) return;
  known.tr.remove();
  systems.delete(id);
  if (selected && selected.id === id) select(null);
}

function replaceSystems(rows) {
  const body = $('systems').tBodies[0];
  body.textContent = '';
  systems.clear();
  const fragment = document.createDocumentFragment();
  for (const row of rows) putSystem(row, fragment);
  body.appendChild(fragment);
  // The same system under a new id after the table was reloaded stays selected.
  if (selected) {
    const again = rows.find((row) => row.address === selected.address);
    select(again ? again.id : null);
  }
}

function systemsChanged() {
  const counts = [0, 0, 0, 0];
  for (const { row } of systems.values()) counts[statusSlot(row.status)]++;
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
  $('system-count').textContent = `(${systems.size})`;
  $('no-systems').hidden = systems.size > 0;
}

function select(id) {
  if (selected) systems.get(selected.id)?.tr.classList.remove('selected');
  const known = id === null ? undefined : systems.get(id);
  selected = known ? { id, address: known.row.address } : null;
  if (known) known.tr.classList.add('selected');
  stations = null;
  $('lamps').textContent = '';
  $('counts').textContent = '';
  showStationTitle();
  showStationHint();
  send({ watch: selected ? selected.id : null });
}

$('systems').tBodies[0].addEventListener('click', (event) => {
  const tr = event.target.closest('tr');
  if (tr) select(Number(tr.dataset.id));
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
  lamp.title = `${number}: ${stationName(state)}`;
  lamp.hidden = !lampVisible(number, state);
}

function makeLamp(number, state) {
  const lamp = document.createElement('div');
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
  if (!selected) {
    title.textContent = '';
    return;
  }
  const row = systems.get(selected.id)?.row;
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
const traffic = []; // [time ms, sent bytes, received bytes, senders, receive queue bytes], one a second
const SERIES = [
  { index: 1, colour: '#ffff00', label: 'now-sent', bytes: true },
  { index: 2, colour: '#00ff00', label: 'now-received', bytes: true },
  { index: 3, colour: '#c0c0c0', label: 'now-senders', bytes: false },
];

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
      $(series.label).textContent = series.bytes ? bytesText(value) : String(value);
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
  const left = 62;
  const right = 34;
  const top = 8;
  const bottom = 18;
  const plotWidth = width - left - right;
  const plotHeight = height - top - bottom;
  let maxBytes = 0;
  let maxSenders = 0;
  for (const sample of traffic) {
    maxBytes = Math.max(maxBytes, sample[1], sample[2]);
    maxSenders = Math.max(maxSenders, sample[3]);
  }
  const bytesScale = niceCeiling(Math.max(maxBytes, 100));
  // A multiple of four, so that each grid line is a whole number of senders.
  const sendersScale = Math.max(4, Math.ceil(maxSenders / 4) * 4);

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
    g.fillText(bytesText((bytesScale * i) / 4).replace('/s', ''), left - 6, y);
    g.textAlign = 'left';
    g.fillText(String((sendersScale * i) / 4), left + plotWidth + 6, y);
  }
  g.textAlign = 'center';
  g.textBaseline = 'alphabetic';
  for (let minute = 0; minute <= 5; minute++) {
    const x = left + plotWidth - (plotWidth * minute * 60) / WINDOW_SECONDS;
    g.beginPath();
    g.moveTo(x + 0.5, top);
    g.lineTo(x + 0.5, top + plotHeight);
    g.stroke();
    g.fillText(minute === 0 ? 'now' : `-${minute} min`, Math.min(Math.max(x, left + 16), left + plotWidth - 12), height - 4);
  }

  if (traffic.length === 0) return;
  const newest = traffic[traffic.length - 1][0];
  g.lineWidth = 2;
  g.lineJoin = 'round';
  for (const series of SERIES) {
    const scale = series.bytes ? bytesScale : sendersScale;
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
        known.row.lastHeard = heard;
        known.tr.children[6].textContent = heardText(heard);
      }
    }
  }
  if (message.systems || message.removed) systemsChanged();
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

systemsChanged();
showStationHint();
showLogging(false);
drawGraph();
explainFailure();
connect();
