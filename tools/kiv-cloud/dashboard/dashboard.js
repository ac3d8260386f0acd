// The kiv-cloud dashboard: polls GET /summary and GET /deliveries with the admin token and draws
// the answers, and sends notifications through POST /push. The token
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

async function poll() {
  clearTimeout(timer);
  const token = sessionStorage.getItem(tokenKey);
  if (!token) return askForToken('');
  const abort = new AbortController();
  const deadline = setTimeout(() => abort.abort(), timeoutMs);
  try {
    const answer = await fetch('/summary', {
      headers: { Authorization: `Bearer ${token}` },
      cache: 'no-store', credentials: 'omit', signal: abort.signal,
    });
    if (answer.status === 401) return askForToken('The admin token was refused (401). Enter it again.');
    if (answer.status !== 200) {
      showStatus(describeFailure(answer.status), true);
    } else {
      const summary = await answer.json().catch(() => null);
      if (!summary || !Array.isArray(summary.beacons)) {
        showStatus('kiv-cloud answered something that is not a summary; retrying.', true);
      } else {
        render(summary);
        await loadDeliveries(token, abort.signal);
        showStatus(`Updated ${new Date().toLocaleTimeString()}; refreshing every ${pollMs / 1000} s.`, false);
      }
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

// The latest deliveries; a kiv-cloud without them (404) hides the push section.
async function loadDeliveries(token, signal) {
  const answer = await fetch('/deliveries?limit=20', {
    headers: { Authorization: `Bearer ${token}` }, cache: 'no-store', credentials: 'omit', signal,
  });
  $('push-section').hidden = answer.status === 404;
  const listing = answer.status === 200 ? await answer.json().catch(() => null) : null;
  if (!listing || !Array.isArray(listing.deliveries)) return;
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

function drawRssi(canvas, list) {
  const w = 160, h = 32, pad = 3;
  const ctx = prepare(canvas, w, h);
  const points = pairs(list);
  if (points.length === 0) return;
  const t0 = points[0][0], t1 = points[points.length - 1][0];
  let lo = Math.min(...points.map((p) => p[1])), hi = Math.max(...points.map((p) => p[1]));
  if (hi - lo < 10) { const mid = (hi + lo) / 2; lo = mid - 5; hi = mid + 5; }  // a flat line stays flat
  const x = (t) => (t1 > t0 ? pad + ((t - t0) / (t1 - t0)) * (w - 2 * pad) : w / 2);
  const y = (r) => h - pad - ((r - lo) / (hi - lo)) * (h - 2 * pad);
  ctx.strokeStyle = ctx.fillStyle = accent();
  ctx.lineWidth = 1.5;
  ctx.beginPath();
  points.forEach(([t, r], i) => (i ? ctx.lineTo(x(t), y(r)) : ctx.moveTo(x(t), y(r))));
  ctx.stroke();
  const [tl, rl] = points[points.length - 1];
  ctx.beginPath();
  ctx.arc(x(tl), y(rl), 2.5, 0, 2 * Math.PI);
  ctx.fill();
  canvas.title = `${lo.toFixed(0)} to ${hi.toFixed(0)} dBm over ${ago(t1 - t0).replace(' ago', '')}`;
}

// Bars of the last hour, one per minute; minutes without uploads stay empty.
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
  ctx.fillText('1 h ago', 4, h - 4);
  ctx.textAlign = 'right';
  ctx.fillText('now', w - 4, h - 4);
  ctx.fillRect(0, h - bottom, w, 1);
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
