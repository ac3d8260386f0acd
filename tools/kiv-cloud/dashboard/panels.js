// The campaigns and devices panels of the kiv-cloud dashboard (GET /campaigns with each campaign's
// GET /campaigns/ID/stats, and GET /devices), and the clock-time scale the plots share. Loaded
// before dashboard.js, whose helpers (getJson, cell, number, ago, hourMs, minuteMs) it calls only
// once that has run. Campaign texts and device ids come from anyone: they go in as text only.
'use strict';

const maxCampaignStats = 20;  // stats calls per refresh
const svgNs = 'http://www.w3.org/2000/svg';
const tickSteps = [1, 2, 5, 10, 15, 30, 60, 120, 180, 360, 720, 1440].map((m) => m * 60 * 1000);

const pad2 = (n) => String(n).padStart(2, '0');
const clock = (t) => { const d = new Date(t); return `${pad2(d.getHours())}:${pad2(d.getMinutes())}`; };
const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);

// At most `most` round clock times (local time) from start to end, evenly spaced.
function clockTicks(start, end, most) {
  const step = tickSteps.find((s) => (end - start) / s <= most) ?? tickSteps[tickSteps.length - 1];
  const shift = -new Date(start).getTimezoneOffset() * 60 * 1000;  // local clock = UTC + shift
  const ticks = [];
  for (let t = Math.ceil((start + shift) / step) * step - shift; t <= end; t += step) ticks.push(t);
  return ticks;
}

// Where a label at x sits so that it stays inside a plot of width w.
const anchorAt = (x, w) => (x < 16 ? 'start' : x > w - 16 ? 'end' : 'middle');

// A place as people read it: "UUID major 100 minor 7" or "Eddystone ×3" (the keys as its tooltip).
function describePlace(place) {
  if (!isObject(place)) return { text: '?', title: '' };
  if (Array.isArray(place.eddystone)) {
    return { text: `Eddystone ×${place.eddystone.length}`, title: place.eddystone.map(String).join(', ') };
  }
  let text = String(place.uuid ?? '?');
  if (place.major !== undefined && place.major !== null && place.major !== '') text += ` major ${place.major}`;
  if (place.minor !== undefined && place.minor !== null && place.minor !== '') text += ` minor ${place.minor}`;
  return { text, title: text };
}

// A place key from /devices: "UUID", "UUID:major", "UUID:major:minor" or "eddystone:KEY,KEY".
function placeOfKey(key) {
  if (key.startsWith('eddystone:')) return { eddystone: key.slice('eddystone:'.length).split(',') };
  const [uuid, major, minor] = key.split(':');
  return { uuid, major, minor };
}

function svg(name, attributes, text) {
  const node = document.createElementNS(svgNs, name);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, String(value));
  if (text !== undefined) node.textContent = text;
  return node;
}

// Bars of the last 24 hours, one per hour that had deliveries, with clock times below.
function hourPlot(list, now) {
  const w = 192, h = 42, bottom = 13, slot = w / 24;
  const end = Math.floor(now / hourMs) * hourMs + hourMs;
  const start = end - 24 * hourMs;
  const bars = (Array.isArray(list) ? list : []).filter(isObject)
    .map((p) => [number(p.hour), number(p.deliveries)])
    .filter(([t, n]) => t !== null && n !== null && t >= start && t < end);
  const most = Math.max(1, ...bars.map((b) => b[1]));
  const total = bars.reduce((sum, b) => sum + Math.max(0, b[1]), 0);
  const plot = svg('svg', { class: 'hours', width: w, height: h, viewBox: `0 0 ${w} ${h}`, role: 'img',
    'aria-label': `${total} deliveries in the last 24 hours` });
  plot.append(svg('title', {}, `${total} deliveries in the last 24 h, at most ${most} in an hour`),
    svg('line', { x1: 0, x2: w, y1: h - bottom + 0.5, y2: h - bottom + 0.5 }));
  for (const [t, n] of bars) {
    const height = (Math.max(0, n) / most) * (h - bottom - 2);
    plot.append(svg('rect', { x: ((t - start) / hourMs) * slot + 0.5, y: h - bottom - height,
      width: slot - 1, height }));
  }
  for (const t of clockTicks(start, end, 4)) {
    const x = ((t - start) / hourMs) * slot;
    plot.append(svg('line', { x1: x, x2: x, y1: h - bottom, y2: h - bottom + 3 }),
      svg('text', { x, y: h - 2, 'text-anchor': anchorAt(x, w) }, clock(t)));
  }
  return plot;
}

function campaignRow(campaign, stats, now) {
  const tr = document.createElement('tr');
  const place = describePlace(campaign.place);
  const notification = isObject(campaign.notification) ? campaign.notification : {};
  const figure = (name) => (stats ? String(number(stats[name]) ?? '–') : '–');
  const rate = stats && number(stats.deliveries) > 0 ? number(stats.tapRate) : null;
  tr.append(cell(String(campaign.id ?? ''), 'key'), cell(place.text, 'key'), cell(String(campaign.trigger ?? '')),
    cell(figure('triggers'), 'num'), cell(figure('deliveries'), 'num'), cell(figure('taps'), 'num'),
    cell(rate === null ? '–' : `${(rate * 100).toFixed(1)} %`, 'num'));
  tr.cells[0].title = [notification.title, notification.body].filter((t) => typeof t === 'string').join(': ');
  tr.cells[1].title = place.title;
  if (stats) tr.cells[5].title = `${number(stats.tapCount) ?? 0} taps in all`;
  const plot = document.createElement('td');
  plot.className = 'plot';
  if (stats) plot.append(hourPlot(stats.deliveriesPerHour, now));
  tr.append(plot);
  return tr;
}

// The campaigns with the figures of the first maxCampaignStats; the status of the first failed call
// (200 when all went well, 404 when this kiv-cloud has no campaigns).
async function loadCampaigns(token, signal, now) {
  const { status, body } = await getJson('/campaigns', token, signal);
  $('campaigns-section').hidden = status === 404;
  if (status !== 200 || !body || !Array.isArray(body.campaigns)) return status;
  const campaigns = body.campaigns.filter(isObject);
  const stats = await Promise.all(campaigns.slice(0, maxCampaignStats).map((c) =>
    getJson(`/campaigns/${encodeURIComponent(String(c.id))}/stats`, token, signal)));
  const rows = campaigns.map((c, i) => campaignRow(c, isObject(stats[i]?.body) ? stats[i].body : null, now));
  $('campaigns').tBodies[0].replaceChildren(...rows);
  $('campaigns').hidden = rows.length === 0;
  $('no-campaigns').hidden = rows.length > 0;
  $('campaign-count').textContent = rows.length > maxCampaignStats
    ? `(${rows.length}; figures for the first ${maxCampaignStats})` : `(${rows.length})`;
  // A campaign removed between the two calls (404) is no failure.
  return stats.map((s) => s.status).find((s) => s !== 200 && s !== 404) ?? 200;
}

// Every device that uploads, latest first; stale ones (no upload within the exit timeout) greyed.
async function loadDevices(token, signal) {
  const { status, body } = await getJson('/devices', token, signal);
  $('devices-section').hidden = status === 404;
  if (status !== 200 || !body || !Array.isArray(body.devices)) return status;
  const now = number(body.now) ?? Date.now();
  const rows = body.devices.filter(isObject).map((d) => {
    const tr = document.createElement('tr');
    const last = number(d.lastUpload);
    const keys = Array.isArray(d.places) ? d.places.map(String) : [];
    const stale = d.stale === true;
    tr.append(cell(String(d.deviceId ?? ''), 'key'), cell(ago(last === null ? null : now - last)),
      cell(String(number(d.uploadsLastHour) ?? '–'), 'num'), cell(String(number(d.beaconsLastHour) ?? '–'), 'num'),
      cell(keys.map((k) => describePlace(placeOfKey(k)).text).join(', ') || '–', 'places'),
      cell(stale ? 'stale' : 'active', 'state'));
    if (last !== null) tr.cells[1].title = new Date(last).toLocaleString();
    tr.cells[4].title = keys.join('\n');
    tr.classList.toggle('stale', stale);
    return tr;
  });
  $('devices').tBodies[0].replaceChildren(...rows);
  $('devices').hidden = rows.length === 0;
  $('no-devices').hidden = rows.length > 0;
  const exitAfter = number(body.exitAfterSeconds);
  $('device-count').textContent = `(${rows.length}${exitAfter === null ? '' : `; stale after ${exitAfter} s without an upload`})`;
  return status;
}
