// The kiv-cloud dashboard: polls GET /summary and GET /deliveries with the admin token and draws
// the answers (the campaigns and devices panels are in panels.js), and sends notifications through
// POST /push. The token
// comes from the URL fragment (which browsers never send to the server) or from the form, and is
// kept in this tab's sessionStorage only.
'use strict';

const pollMs = 2000;
const timeoutMs = 5000;
const tokenKey = 'kiv-cloud.adminToken';
const hourMs = 3600 * 1000;
const minuteMs = 60 * 1000;

const $ = (id) => document.getElementById(id);
let timer = 0;

function showStatus(text, isError) {
  $('status').textContent = text;
  $('status').classList.toggle('error', Boolean(isError));
}

function takeTokenFromFragment() {
  const token = new URLSearchParams(location.hash.slice(1)).get('token');
  if (!token) return;
  sessionStorage.setItem(tokenKey, token);
  // Out of the address bar and the history, so that a copied link does not carry it.
  history.replaceState(null, '', location.pathname + location.search);
}

function askForToken(message) {
  clearTimeout(timer);
  sessionStorage.removeItem(tokenKey);
  $('main').hidden = true;
  $('login').hidden = false;
  showStatus(message || 'Enter the admin token to see the beacons.', Boolean(message));
  $('token').focus();
}

// What an answer other than 200 means to the person looking at the page.
function describeFailure(status) {
  switch (status) {
    case 429: return 'Too many wrong tokens from this address (429); retrying.';
    case 503: return 'kiv-cloud cannot answer now, its storage or connections are busy (503); retrying.';
    case 404: return 'This kiv-cloud has no /summary (404); it is older than this page.';
    default: return `Unexpected answer from kiv-cloud: HTTP ${status}; retrying.`;
  }
}

// One GET with the admin token: its status, and its JSON body when it is a 200 (null otherwise).
async function getJson(path, token, signal) {
  const answer = await fetch(path, {
    headers: { Authorization: `Bearer ${token}` }, cache: 'no-store', credentials: 'omit', signal,
  });
  return { status: answer.status, body: answer.status === 200 ? await answer.json().catch(() => null) : null };
}

async function poll() {
  clearTimeout(timer);
  const token = sessionStorage.getItem(tokenKey);
  if (!token) return askForToken('');
  const abort = new AbortController();
  const deadline = setTimeout(() => abort.abort(), timeoutMs);
  const refused = () => askForToken('The admin token was refused (401). Enter it again.');
  try {
    const { status, body: summary } = await getJson('/summary', token, abort.signal);
    if (status === 401) return refused();
    if (status !== 200) {
      showStatus(describeFailure(status), true);
    } else if (!summary || !Array.isArray(summary.beacons)) {
      showStatus('kiv-cloud answered something that is not a summary; retrying.', true);
    } else {
      render(summary);
      const now = number(summary.now) ?? Date.now();
      // A panel this kiv-cloud does not have (404) is hidden; any other failure is shown.
      const failed = (await Promise.all([loadCampaigns(token, abort.signal, now), loadDevices(token, abort.signal),
        loadDeliveries(token, abort.signal)])).find((s) => s !== 200 && s !== 404);
      if (failed === 401) return refused();
      if (failed) showStatus(describeFailure(failed), true);
      else showStatus(`Updated ${new Date().toLocaleTimeString()}; refreshing every ${pollMs / 1000} s.`, false);
    }
  } catch (e) {
    showStatus(`Cannot reach kiv-cloud (${abort.signal.aborted ? 'no answer in time' : 'network error'}); retrying.`, true);
  } finally {
    clearTimeout(deadline);
  }
  timer = setTimeout(poll, pollMs);
}

const number = (v) => (typeof v === 'number' && Number.isFinite(v) ? v : null);

function ago(ms) {
  if (ms === null) return '–';
  const s = Math.max(0, Math.round(ms / 1000));
  if (s < 60) return `${s} s ago`;
  if (s < 3600) return `${Math.floor(s / 60)} min ago`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ago`;
  return `${Math.floor(s / 86400)} d ago`;
}

function cell(text, className) {
  const td = document.createElement('td');
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

function render(summary) {
  // Shown first: the uploads plot takes its width from the laid-out page.
  $('login').hidden = true;
  $('main').hidden = false;
  const now = number(summary.now) ?? Date.now();
  const rows = summary.beacons.filter((b) => b && typeof b === 'object').map((b) => {
    const tr = document.createElement('tr');
    const lastRssi = number(b.lastRssi);
    const lastSeen = number(b.lastSeen);
    tr.append(cell(String(b.beacon ?? ''), 'key'), cell(String(b.kind ?? '')),
      cell(lastRssi === null ? '–' : `${lastRssi} dBm`, 'num'),
      cell(ago(lastSeen === null ? null : now - lastSeen)), cell(String(number(b.sightings) ?? '–'), 'num'));
    if (lastSeen !== null) tr.cells[3].title = new Date(lastSeen).toLocaleString();
    const plot = document.createElement('td');
    plot.className = 'plot';
    const canvas = document.createElement('canvas');
    plot.append(canvas);
    tr.append(plot);
    drawRssi(canvas, Array.isArray(b.rssi) ? b.rssi : []);
    return tr;
  });
  $('beacons').tBodies[0].replaceChildren(...rows);
  $('empty').hidden = rows.length > 0;
  $('count').textContent = `(${rows.length})`;
  const uploads = number(summary.uploads);
  $('totals').textContent = uploads === null ? '' : `(${uploads} in all)`;
  drawUploads($('uploads'), Array.isArray(summary.uploadsPerMinute) ? summary.uploadsPerMinute : [], now);
}

// The latest deliveries; a kiv-cloud without them (404) hides the push section. Returns the status.
async function loadDeliveries(token, signal) {
  const { status, body: listing } = await getJson('/deliveries?limit=20', token, signal);
  $('push-section').hidden = status === 404;
  if (!listing || !Array.isArray(listing.deliveries)) return status;
  const rows = listing.deliveries.filter((d) => d && typeof d === 'object').map((d) => {
    const tr = document.createElement('tr');
    const sent = number(d.createdAt);
    const failed = d.state !== 'published';
    tr.append(cell(sent === null ? '–' : new Date(sent).toLocaleTimeString()), cell(String(d.deviceId ?? ''), 'key'),
      cell(d.beacon === null || d.beacon === undefined ? '–' : String(d.beacon), 'key'), cell(String(d.category ?? '')),
      cell(String(d.title ?? '')), cell(failed ? `failed: ${d.error ?? ''}` : 'published', failed ? 'failed' : ''));
    return tr;
  });
  $('deliveries').tBodies[0].replaceChildren(...rows);
  $('no-deliveries').hidden = rows.length > 0;
  $('delivery-count').textContent = `(latest ${rows.length})`;
  return status;
}

// One notification from the form: a device id is 32 upper-case hex digits, anything else a beacon key.
async function sendPush(event) {
  event.preventDefault();
  const token = sessionStorage.getItem(tokenKey);
  if (!token) return askForToken('');
  const target = $('push-target').value.trim();
  const request = /^[0-9A-F]{32}$/.test(target) ? { deviceId: target } : { beacon: target };
  request.category = $('push-category').value;
  for (const name of ['title', 'body', 'image', 'click']) {
    const value = $(`push-${name}`).value.trim();
    if (value) request[name] = value;
  }
  const result = $('push-result');
  result.textContent = 'Sending…';
  result.classList.remove('error');
  try {
    const answer = await fetch('/push', {
      method: 'POST', body: JSON.stringify(request), cache: 'no-store', credentials: 'omit',
      headers: { Authorization: `Bearer ${token}`, 'Content-Type': 'application/json' },
    });
    const body = await answer.json().catch(() => ({}));
    if (answer.status === 202 && Array.isArray(body.deliveries)) {
      result.textContent = `Sent to ${body.deliveries.length} device(s).`;
    } else {
      result.textContent = `Not sent (${answer.status}): ${body.message ?? 'unexpected answer'}`;
      result.classList.add('error');
    }
  } catch (e) {
    result.textContent = 'Cannot reach kiv-cloud; not sent.';
    result.classList.add('error');
  }
  poll();
}

// A canvas sized to its CSS box in device pixels, drawn in CSS pixels.
function prepare(canvas, width, height) {
  const ratio = window.devicePixelRatio || 1;
  canvas.width = Math.round(width * ratio);
  canvas.height = Math.round(height * ratio);
  const ctx = canvas.getContext('2d');
  ctx.scale(ratio, ratio);
  return ctx;
}

const pairs = (list) => list.filter((p) => Array.isArray(p) && number(p[0]) !== null && number(p[1]) !== null);
const accent = () => getComputedStyle(document.documentElement).getPropertyValue('--accent').trim() || '#0969da';
const muted = () => getComputedStyle(document.documentElement).getPropertyValue('--muted').trim() || '#6a737d';

// The RSSI line with the clock times of its first and last sighting below it.
function drawRssi(canvas, list) {
  const w = 160, h = 44, pad = 3, bottom = 12;
  const ctx = prepare(canvas, w, h);
  const points = pairs(list);
  if (points.length === 0) return;
  const t0 = points[0][0], t1 = points[points.length - 1][0];
  let lo = Math.min(...points.map((p) => p[1])), hi = Math.max(...points.map((p) => p[1]));
  if (hi - lo < 10) { const mid = (hi + lo) / 2; lo = mid - 5; hi = mid + 5; }  // a flat line stays flat
  const x = (t) => (t1 > t0 ? pad + ((t - t0) / (t1 - t0)) * (w - 2 * pad) : w / 2);
  const y = (r) => h - bottom - pad - ((r - lo) / (hi - lo)) * (h - bottom - 2 * pad);
  ctx.strokeStyle = ctx.fillStyle = accent();
  ctx.lineWidth = 1.5;
  ctx.beginPath();
  points.forEach(([t, r], i) => (i ? ctx.lineTo(x(t), y(r)) : ctx.moveTo(x(t), y(r))));
  ctx.stroke();
  const [tl, rl] = points[points.length - 1];
  ctx.beginPath();
  ctx.arc(x(tl), y(rl), 2.5, 0, 2 * Math.PI);
  ctx.fill();
  ctx.font = '9px system-ui, sans-serif';
  ctx.fillStyle = muted();
  ctx.textAlign = 'left';
  ctx.fillText(clock(t0), pad, h - 2);
  if (clock(t1) !== clock(t0)) {
    ctx.textAlign = 'right';
    ctx.fillText(clock(t1), w - pad, h - 2);
  }
  canvas.title = `${lo.toFixed(0)} to ${hi.toFixed(0)} dBm over ${ago(t1 - t0).replace(' ago', '')}`;
}

// Bars of the last hour, one per minute (minutes without uploads stay empty), clock times below.
function drawUploads(canvas, list, now) {
  const w = canvas.clientWidth || 720, h = 110, top = 16, bottom = 16;
  const ctx = prepare(canvas, w, h);
  const end = Math.floor(now / minuteMs) * minuteMs + minuteMs;
  const start = end - hourMs;
  const bars = pairs(list).filter(([t]) => t >= start && t < end);
  const most = Math.max(1, ...bars.map((b) => b[1]));
  const slot = w / 60;
  ctx.font = '11px system-ui, sans-serif';
  ctx.fillStyle = muted();
  ctx.fillText(`${most}/min`, 4, 11);
  ctx.fillRect(0, h - bottom, w, 1);
  for (const t of clockTicks(start, end, 6)) {
    const x = ((t - start) / minuteMs) * slot;
    ctx.fillRect(Math.round(x), h - bottom, 1, 4);
    ctx.textAlign = { start: 'left', middle: 'center', end: 'right' }[anchorAt(x, w)];
    ctx.fillText(clock(t), x, h - 3);
  }
  ctx.fillStyle = accent();
  for (const [t, count] of bars) {
    const barHeight = (Math.max(0, count) / most) * (h - top - bottom);
    ctx.fillRect(((t - start) / minuteMs) * slot + 1, h - bottom - barHeight, Math.max(1, slot - 2), barHeight);
  }
}

$('login').addEventListener('submit', (event) => {
  event.preventDefault();
  const token = $('token').value.trim();
  if (!token) return;
  sessionStorage.setItem(tokenKey, token);
  $('token').value = '';
  $('login').hidden = true;
  showStatus('Loading…', false);
  poll();
});
$('push').addEventListener('submit', sendPush);
window.addEventListener('hashchange', () => { takeTokenFromFragment(); poll(); });

takeTokenFromFragment();
poll();
