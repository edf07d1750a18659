'use strict';
// The page of vornctl serve: the device list kept live over a WebSocket,
// selection, serial numbers, the selected device's history and batch
// programming through the JSON API. Text from the network only ever goes into
// textContent.

const devices = new Map(); // id -> {id, name, product, type, address, mode, row}
let sortKey = 'id';
let sortDown = false;
let selectedId = null;
let reorderPending = false;
let socket = null;
let retryDelay = 500;
let refused = null; // {id, number}: a number another device holds, to write anyway
let session = null; // {name, role}: whose link this page was opened with
let ended = false; // the link was revoked or expired

const $ = (id) => document.getElementById(id);
const tbody = $('devices').tBodies[0];

function cell(row, index, text) {
  row.cells[index].textContent = text;
}

// The two halves of an ID, so that a narrow screen can put them on two lines.
function showId(td, id) {
  const colon = id.indexOf(':') + 1;
  const high = document.createElement('span');
  const low = document.createElement('span');
  high.textContent = id.slice(0, colon);
  low.textContent = id.slice(colon);
  td.replaceChildren(high, low);
}

function showDevice(device) {
  if (!device.row) {
    const row = document.createElement('tr');
    row.tabIndex = 0;
    row.dataset.deviceId = device.id;
    row.setAttribute('aria-selected', 'false');
    for (const name of ['name', 'product', 'id', 'address']) {
      const td = document.createElement('td');
      td.className = name;
      row.appendChild(td);
    }
    showId(row.cells[2], device.id);
    row.addEventListener('click', () => select(device.id));
    row.addEventListener('keydown', (event) => {
      if (event.key === 'Enter' || event.key === ' ') {
        event.preventDefault();
        select(device.id);
      }
    });
    device.row = row;
  }
  cell(device.row, 0, device.name === null ? 'Unknown' : device.name);
  cell(device.row, 1, device.product);
  cell(device.row, 3, device.address);
  scheduleReorder();
}

function forget(id) {
  const device = devices.get(id);
  if (!device) return;
  if (device.row) device.row.remove();
  devices.delete(id);
  if (selectedId === id) {
    selectedId = null;
    $('selected-device').textContent = 'none (the device left)';
    $('current-serial').textContent = '–';
    offerWriteAnyway(null);
    showHistoryText('The selected device left.');
  }
  scheduleReorder();
}

function apply(event) {
  if (event.event === 'added' || event.event === 'changed') {
    let device = devices.get(event.id);
    if (!device) {
      device = {id: event.id, name: null, row: null};
      devices.set(event.id, device);
    }
    Object.assign(device, {product: event.product, type: event.type, address: event.address,
                           mode: event.mode});
    showDevice(device);
  } else if (event.event === 'named') {
    const device = devices.get(event.id);
    if (device) {
      device.name = event.name;
      showDevice(device);
    }
  } else if (event.event === 'removed') {
    forget(event.id);
  }
}

function scheduleReorder() {
  if (reorderPending) return;
  reorderPending = true;
  requestAnimationFrame(reorder);
}

function sortValue(device) {
  if (sortKey === 'address')
    return device.address.split('.').map((part) => part.padStart(3, '0')).join('.');
  if (sortKey === 'name') return (device.name === null ? '' : device.name).toLowerCase();
  return String(device[sortKey]).toLowerCase();
}

// Puts the rows in sorted order, the filtered ones out, in one pass.
function reorder() {
  reorderPending = false;
  const filter = $('filter').value.trim().toLowerCase();
  const shown = [];
  for (const device of devices.values()) {
    const text = `${device.name || ''} ${device.product} ${device.id} ${device.address}`;
    if (!filter || text.toLowerCase().includes(filter)) shown.push(device);
    else if (device.row.parentNode) device.row.remove();
  }
  shown.sort((a, b) => {
    const x = sortValue(a);
    const y = sortValue(b);
    const order = x < y ? -1 : x > y ? 1 : a.id < b.id ? -1 : a.id > b.id ? 1 : 0;
    return sortDown ? -order : order;
  });
  const fragment = document.createDocumentFragment();
  for (const device of shown) fragment.appendChild(device.row);
  tbody.appendChild(fragment);
  $('device-count').textContent = devices.size === shown.length
    ? String(devices.size) : `${shown.length} of ${devices.size}`;
}

async function api(method, path, body, type) {
  const init = {method, credentials: 'same-origin', headers: {}};
  if (body !== undefined) {
    init.body = body;
    init.headers['Content-Type'] = type || 'application/json';
  }
  const response = await fetch(path, init);
  if (response.status === 401) accessEnded();
  let data = null;
  if (response.status !== 204) {
    const text = await response.text();
    try { data = JSON.parse(text); } catch (error) { data = {error: text}; }
  }
  return {status: response.status, data};
}

async function select(id) {
  const previous = selectedId;
  selectedId = id;
  for (const device of devices.values())
    if (device.row) device.row.setAttribute('aria-selected', String(device.id === id));
  const device = devices.get(id);
  $('selected-device').textContent =
    `${device && device.name !== null ? device.name : 'Unknown'} (${id})`;
  $('current-serial').textContent = 'reading…';
  if (previous !== id) offerWriteAnyway(null);
  try {
    if (previous && previous !== id && devices.has(previous))
      await api('DELETE', `/api/devices/${previous}/select`);
    await api('POST', `/api/devices/${id}/select`);
    await Promise.all([readSerial(id), loadHistory(id)]);
  } catch (error) {
    if (selectedId === id) $('current-serial').textContent = 'no connection';
  }
}

async function readSerial(id) {
  const answer = await api('GET', `/api/devices/${id}/serial`);
  if (selectedId !== id) return;
  $('current-serial').textContent = answer.status === 200
    ? String(answer.data.serial)
    : answer.status === 504 ? 'no answer' : answer.data.error;
}

function say(element, text, good) {
  element.textContent = text;
  element.className = good === undefined ? '' : good ? 'ok' : 'bad';
}

const serialPattern = /^[0-9]{1,10}$/;

async function setSerial(event) {
  event.preventDefault();
  const result = $('serial-result');
  const first = $('new-serial').value.trim();
  const second = $('repeat-serial').value.trim();
  offerWriteAnyway(null);
  if (!selectedId) return say(result, 'Select a device first.', false);
  if (!serialPattern.test(first) || Number(first) > 4294967295)
    return say(result, 'A serial number is a whole number from 0 to 4294967295.', false);
  if (first !== second)
    return say(result, 'The two serial numbers differ; nothing was sent.', false);
  await writeSerial(selectedId, Number(first), false);
}

// "Name (ID)" of the device that holds a refused number, from the answer's holder.
function holderText(report) {
  const holder = report.holder;
  if (!holder || typeof holder.id !== 'string') return null;
  return `${typeof holder.name === 'string' ? holder.name : 'Unknown'} (${holder.id})`;
}

// The message for each outcome of a write, chosen by the answer's code
// ("result"); the server's texts are shown only where the page has none.
// [text, good] for the answer's data and the number asked.
const writeMessages = {
  'verified': (report) => [`Verified: the device reads back ${report.readBack}.`, true],
  'already-set': (report) => [`The device holds ${report.old} already; nothing was written.`, true],
  'refused': (report) => [`Refused: the device kept ${report.old}.`, false],
  'no-answer': () => ['No answer from the device.', false],
  'unreadable': () => ['No answer from the device; nothing was written.', false],
  'unverified': (report) => [`unverified: ${report.detail}`, false],
  'mismatch': (report) => [`mismatch: ${report.detail}`, false],
  'duplicate': (report, number) => {
    const holder = holderText(report);
    return [holder ? `${number} is held by ${holder} already; nothing was written.`
                   : `${number} is held by another device already; nothing was written.`, false];
  },
  'not-found': () => ['The device is not on the network; nothing was written.', false],
};

function writeMessage(answer, number) {
  const report = answer.data;
  const message = report && writeMessages[report.result];
  if (message) return message(report, number);
  return [report && report.error ? report.error : `Error ${answer.status}`, false];
}

function offerWriteAnyway(write) {
  refused = write;
  $('write-anyway').hidden = write === null;
}

async function writeSerial(id, number, allowDuplicate) {
  const result = $('serial-result');
  $('set-serial').disabled = true;
  say(result, `Writing ${number} to ${id}…`);
  try {
    const request = {serial: number, repeat: number};
    if (allowDuplicate) request.allowDuplicate = true;
    const answer = await api('PUT', `/api/devices/${id}/serial`, JSON.stringify(request));
    const report = answer.data;
    const [text, good] = writeMessage(answer, number);
    say(result, text, good);
    if (report && report.result === 'duplicate') offerWriteAnyway({id, number});
    // Devices that did not answer the duplicate check: their numbers are unknown.
    if (report && Array.isArray(report.warnings) && report.warnings.length)
      result.textContent += ` Warning: ${report.warnings.join(' ')}`;
    if (selectedId === id && report && report.readBack !== undefined && report.readBack !== null)
      $('current-serial').textContent = String(report.readBack);
    if (selectedId === id) await loadHistory(id);
  } catch (error) {
    say(result, 'No connection to vornctl serve.', false);
  } finally {
    $('set-serial').disabled = false;
  }
}

function showProgramRows(rows) {
  const table = $('program-results');
  const body = table.tBodies[0];
  body.replaceChildren();
  for (const row of rows) {
    const tr = document.createElement('tr');
    for (const value of [row.line, row.id, row.name === null ? 'Unknown' : row.name,
                         row.old === null ? '-' : row.old, row.new, row.result, row.detail]) {
      const td = document.createElement('td');
      td.textContent = String(value);
      tr.appendChild(td);
    }
    body.appendChild(tr);
  }
  table.hidden = false;
  table.parentElement.tabIndex = 0; // a keyboard can scroll it
}

function showHistoryText(text) {
  $('history-status').textContent = text;
  $('history').hidden = true;
}

// "2026-12-07 14:05:09 UTC" from the journal's "2026-12-07T14:05:09.042Z".
function journalTime(text) {
  const match = /^(\d{4}-\d\d-\d\d)T(\d\d:\d\d:\d\d)(\.\d+)?Z$/.exec(String(text));
  return match ? `${match[1]} ${match[2]} UTC` : String(text);
}

function part(className, text) {
  const span = document.createElement('span');
  span.className = className;
  span.textContent = text;
  return span;
}

// The selected device's serial writes from the journal, newest first.
async function loadHistory(id) {
  let answer;
  try {
    answer = await api('GET', `/api/devices/${id}/journal`);
  } catch (error) {
    if (selectedId === id) showHistoryText('No connection to vornctl serve.');
    return;
  }
  if (selectedId !== id) return;
  if (answer.status !== 200 || !Array.isArray(answer.data))
    return showHistoryText(answer.data && answer.data.error ? answer.data.error
                                                            : `Error ${answer.status}`);
  const entries = answer.data;
  if (!entries.length) return showHistoryText('No serial number was written to this device yet.');
  const list = $('history');
  list.replaceChildren();
  for (const entry of entries) {
    const item = document.createElement('li');
    const good = ['verified', 'already-set'].includes(entry.result);
    item.append(part('time', journalTime(entry.time)), ' ',
                part(`result ${good ? 'ok' : 'bad'}`, String(entry.result)),
                part('change', `${entry.old === null ? '?' : entry.old} → ${entry.new}`),
                part('from', `${entry.operator}${entry.client ? ` from ${entry.client}` : ''}`
                             + ` on ${entry.host} (${entry.tool})`));
    list.appendChild(item);
  }
  $('history-status').textContent = entries.length === 1 ? 'One write.'
    : `The last ${entries.length} writes, newest first.`;
  $('history').hidden = false;
}

async function program(dryRun) {
  const status = $('program-status');
  const file = $('program-file').files[0];
  if (!file) return say(status, 'Choose a CSV file first.', false);
  const buttons = [$('dry-run'), $('program')];
  buttons.forEach((button) => { button.disabled = true; });
  say(status, dryRun ? 'Checking…' : 'Programming…');
  try {
    const answer = await api('POST', `/api/program${dryRun ? '?dry_run=1' : ''}`,
                             await file.text(), 'text/csv');
    if (answer.status !== 200) {
      // A run that stopped names why, with the rows it did (each in the journal).
      if (Array.isArray(answer.data.rows) && answer.data.rows.length > 0) {
        showProgramRows(answer.data.rows);
      }
      return say(status, answer.data.error, false);
    }
    const rows = answer.data;
    showProgramRows(rows);
    const good = rows.filter((row) =>
      ['verified', 'already-set', 'would-write'].includes(row.result)).length;
    say(status, `${good} of ${rows.length} devices ${dryRun ? 'checked' : 'hold their serial number'}.`,
        good === rows.length);
  } catch (error) {
    say(status, 'No connection to vornctl serve.', false);
  } finally {
    buttons.forEach((button) => { button.disabled = false; });
  }
}

async function loadInterface() {
  const answer = await api('GET', '/api/interface');
  if (answer.status === 200) {
    const adapter = answer.data;
    $('interface').textContent = adapter.description
      ? `${adapter.address} (${adapter.description})` : adapter.address;
    const dropped = answer.data.dropped || 0;
    $('dropped').hidden = dropped === 0;
    $('dropped').textContent = `${dropped} newly announced devices were not listed: more were announced at once than vornctl serve keeps (a faulty device or a flood).`;
  }
}

// Who this link belongs to: a read-only person gets the page without its write controls
// (the server refuses their writes anyway).
async function loadSession() {
  const answer = await api('GET', '/api/session');
  if (answer.status !== 200) return;
  session = answer.data;
  $('person').textContent = session.name;
  $('role').textContent = session.role;
  $('signed-in').hidden = false;
  const readOnly = session.role !== 'write';
  $('serial-form').hidden = readOnly;
  $('program-panel').hidden = readOnly;
  $('read-only-note').hidden = !readOnly;
}

// The link was revoked or expired (401, or the live push closed with 1008): nothing
// more is asked, and the page says why.
function accessEnded() {
  if (ended) return;
  ended = true;
  if (socket) socket.close();
  say($('connection'), 'Your access to this page has ended: the link was revoked or has expired. '
      + 'Ask for a new one.', false);
  $('connection').className = 'lost';
  for (const control of document.querySelectorAll('main button, main input'))
    control.disabled = true;
}

function connect() {
  if (ended) return;
  const url = `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/api/events`;
  socket = new WebSocket(url);
  let opened = false;
  let stable = null;
  socket.addEventListener('open', () => {
    opened = true;
    // The wait before a reconnection starts over only once the connection held.
    stable = setTimeout(() => { retryDelay = 500; }, 10000);
    for (const id of [...devices.keys()]) forget(id); // the server sends them all again
    say($('connection'), 'Live');
    loadInterface().catch(() => {});
  });
  socket.addEventListener('message', (message) => {
    for (const line of String(message.data).split('\n'))
      if (line) apply(JSON.parse(line));
  });
  socket.addEventListener('close', (closed) => {
    clearTimeout(stable);
    if (closed.code === 1008 || ended) return accessEnded();
    // 1013: more device events than this page could take (a flood of them);
    // every reconnection is sent all devices again, so wait longer each time.
    const flooded = closed.code === 1013;
    if (flooded) retryDelay = Math.max(retryDelay, 5000);
    const text = flooded ? `Too many changes on the network; live updates resume in ${Math.round(retryDelay / 1000)} s…`
               : opened ? 'Connection to vornctl serve lost; reconnecting…'
                        : 'vornctl serve is not reachable; retrying…';
    say($('connection'), text);
    $('connection').className = 'lost';
    setTimeout(connect, retryDelay);
    retryDelay = Math.min(retryDelay * 2, flooded ? 60000 : 5000);
  });
}

for (const button of document.querySelectorAll('#devices th button')) {
  button.addEventListener('click', () => {
    const key = button.dataset.sort;
    sortDown = sortKey === key ? !sortDown : false;
    sortKey = key;
    for (const other of document.querySelectorAll('#devices th')) other.removeAttribute('aria-sort');
    button.parentElement.setAttribute('aria-sort', sortDown ? 'descending' : 'ascending');
    reorder();
  });
}
// Over HTTPS: the SHA-256 of the certificate (what the tablet's browser shows)
// and of serve's own authority, with the link to trust that authority.
async function loadCertificate() {
  const answer = await api('GET', '/api/certificate');
  if (answer.status !== 200 || typeof answer.data.certificate !== 'string') return;
  $('certificate-sha256').textContent = answer.data.certificate;
  const authority = typeof answer.data.authority === 'string';
  $('authority-sha256').textContent = authority ? answer.data.authority : '';
  $('authority-note').hidden = !authority;
  $('link-tls').hidden = false;
}

// The link with the token as a QR code, drawn by the server; fetched when shown.
$('show-link').addEventListener('click', () => {
  const panel = $('link-panel');
  panel.hidden = !panel.hidden;
  $('show-link').setAttribute('aria-expanded', String(!panel.hidden));
  if (panel.hidden) return;
  if (session && session.name !== 'owner') {
    // Only the owner's link is drawn: a person opens the link they were given.
    $('link-qr').hidden = true;
    $('link-note').textContent = 'On another device, open the link you were given.';
  } else if (!$('link-qr').getAttribute('src')) $('link-qr').src = '/api/link.svg';
  if (location.protocol === 'https:') loadCertificate().catch(() => {});
});
$('link-qr').addEventListener('error', () => {
  $('link-qr').hidden = true;
  say($('link-note'), 'The QR code could not be loaded: type the link vornctl serve printed.',
      false);
});
$('filter').addEventListener('input', reorder);
$('serial-form').addEventListener('submit', setSerial);
$('write-anyway').addEventListener('click', () => {
  if (refused) writeSerial(refused.id, refused.number, true);
  offerWriteAnyway(null);
  $('serial-result').focus(); // the button goes: the keyboard stays by the result
});
for (const field of [$('new-serial'), $('repeat-serial')])
  field.addEventListener('input', () => offerWriteAnyway(null));
$('dry-run').addEventListener('click', () => program(true));
$('program').addEventListener('click', () => program(false));
loadSession().catch(() => {});
connect();
