// The status page: follows the daemon's jobs live through GET /events, or by polling GET /jobs
// and GET /activity while that stream is unavailable, and sends the person's actions to the
// control API. Job text (ids, paths, errors) only ever goes into the page as text.
'use strict';

const POLL_INTERVAL_MS = 1000;
const STREAM_RETRY_MS = 15000;
const CHART_SECONDS = 300;
const ACTIVE_STATES = new Set(['running', 'retry', 'restart']);

const jobs = new Map();        // id -> the job's JSON form, as GET /jobs/:id gives it
const activities = new Map();  // id -> one object of GET /activity, plus receivedAt (ms)
const rows = new Map();        // id -> the row's elements
const rateSamples = [];        // {time (ms), bytesPerSecond}, oldest first

let stream = null;
let streamLive = false;   // the stream listed every job and follows the changes
let streamJobIDs = null;  // ids the stream sent since it (re)connected, until its "ready"
let polling = false;
let pollTimer = null;
let firstListShown = false;

function byID(id) {
  return document.getElementById(id);
}

// ---- formatting

function formatBytes(bytes) {
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return (unit === 0 ? String(value) : value.toFixed(value < 10 ? 1 : 0)) + ' ' + units[unit];
}

function formatDuration(seconds) {
  const s = Math.max(0, Math.round(seconds));
  if (s < 60) return s + ' s';
  if (s < 3600) return Math.floor(s / 60) + ' min ' + (s % 60) + ' s';
  return Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min';
}

function formatLimit(bytesPerSecond) {
  return bytesPerSecond > 0 ? formatBytes(bytesPerSecond) + '/s' : 'none';
}

// ---- talking to the daemon

// The daemon takes a job's id as one path component and decodes nothing.
function jobPath(id) {
  return '/jobs/' + id.replace(/[%/?#]/g, encodeURIComponent);
}

function send(method, path, body) {
  const init = {method, cache: 'no-store', headers: {}};
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  return fetch(path, init);
}

function announce(text) {
  byID('announcer').textContent = text;
}

function showConnection(text) {
  byID('connection').textContent = text;
}

// ---- jobs

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function actionButton(label, id, onClick) {
  const button = element('button', '', label);
  button.type = 'button';
  button.setAttribute('aria-label', label + ' job ' + id);
  button.addEventListener('click', () => onClick(id));
  return button;
}

function makeRow(id) {
  const row = {item: element('li', 'job')};
  row.item.dataset.jobId = id;
  const head = element('div', 'job-head');
  row.id = element('h3', 'job-id', id);
  row.state = element('span', 'state');
  head.append(row.id, row.state);
  row.progress = element('progress');
  row.progress.setAttribute('aria-label', 'Progress of job ' + id);
  row.amount = element('p', 'amount');
  row.rate = element('p', 'rate');
  row.file = element('p', 'file');
  row.error = element('p', 'error');
  row.retry = element('p', 'retry');
  const actions = element('div', 'row actions');
  row.pause = actionButton('Pause', id, (jobID) => changeState(jobID, 'paused', 'Pause'));
  row.resume = actionButton('Resume', id, (jobID) => changeState(jobID, 'running', 'Resume'));
  row.restart = actionButton('Restart', id, (jobID) => changeState(jobID, 'restart', 'Restart'));
  row.remove = actionButton('Remove', id, removeJobAsked);
  actions.append(row.pause, row.resume, row.restart, row.remove);
  row.item.append(head, row.progress, row.amount, row.rate, row.file, row.error, row.retry,
                  actions);
  return row;
}

function setText(node, text) {
  node.textContent = text;
  node.hidden = text === '';
}

// The bytes of the job's files uploaded so far, and in all.
function jobBytes(job) {
  return {
    done: job.file_list.reduce((sum, file) => sum + file.bytes_uploaded, 0),
    total: job.file_list.reduce((sum, file) => sum + file.total_bytes, 0),
  };
}

function renderActivity(row, job, activity) {
  const uploading = activity && ACTIVE_STATES.has(job.state);
  const {done, total} = jobBytes(job);
  let rate = '';
  if (uploading) {
    const perSecond = activity.bytes_per_second;
    rate = formatBytes(perSecond) + '/s · ' + activity.phase.replace(/_/g, ' ');
    if (perSecond > 0 && total > done) rate += ' · ' + formatDuration((total - done) / perSecond) + ' left';
  }
  setText(row.rate, rate);
  setText(row.file, uploading && activity.file ? 'File: ' + activity.file : '');
  let retry = '';
  if (uploading && activity.retry) {
    const left = activity.retry.next_attempt_in_seconds - (Date.now() - activity.receivedAt) / 1000;
    retry = 'Retry ' + activity.retry.attempt + ' of ' + activity.retry.method + ' in ' +
            formatDuration(left) + ': ' + activity.retry.reason;
  }
  setText(row.retry, retry);
}

function renderJob(id) {
  const job = jobs.get(id);
  const row = rows.get(id);
  if (!job || !row) return;
  row.state.textContent = job.state;
  row.state.className = /^[a-z]+$/.test(job.state) ? 'state state-' + job.state : 'state';
  const {done, total} = jobBytes(job);
  const percent = total > 0 ? Math.floor((done * 100) / total) : (job.state === 'completed' ? 100 : 0);
  row.progress.max = 100;
  row.progress.value = percent;
  row.amount.textContent = percent + '% · ' + formatBytes(done) + ' of ' + formatBytes(total);
  renderActivity(row, job, activities.get(id));
  setText(row.error, job.error ? 'Error: ' + job.error : '');
  row.pause.disabled = !ACTIVE_STATES.has(job.state);
  row.resume.disabled = job.state !== 'paused';
}

function setJob(job) {
  const old = jobs.get(job.id);
  jobs.set(job.id, job);
  if (!rows.has(job.id)) {
    const row = makeRow(job.id);
    rows.set(job.id, row);
    byID('jobs').append(row.item);
    byID('no-jobs').hidden = true;
    if (firstListShown) announce('New job ' + job.id + ': ' + job.state);
  } else if (old.state !== job.state) {
    announce('Job ' + job.id + ': ' + job.state);
  }
  if (!ACTIVE_STATES.has(job.state)) activities.delete(job.id);
  renderJob(job.id);
}

function dropJob(id) {
  const row = rows.get(id);
  if (row) row.item.remove();
  rows.delete(id);
  jobs.delete(id);
  activities.delete(id);
  byID('no-jobs').hidden = jobs.size > 0;
}

async function changeState(id, state, action) {
  try {
    const reply = await send('PUT', jobPath(id), {state});
    if (!reply.ok) throw new Error('HTTP ' + reply.status);
    setJob(await reply.json());
  } catch (error) {
    announce(action + ' of job ' + id + ' failed: ' + error.message);
  }
}

async function removeJobAsked(id) {
  if (!window.confirm('Remove job ' + id + '? Its upload stops and the job is forgotten.')) return;
  try {
    const reply = await send('DELETE', jobPath(id));
    if (!reply.ok) throw new Error('HTTP ' + reply.status);
    dropJob(id);
    announce('Job ' + id + ' removed');
  } catch (error) {
    announce('Removing job ' + id + ' failed: ' + error.message);
  }
}

// ---- live updates: the event stream, else polling

function openStream() {
  stream = new EventSource('/events');
  stream.addEventListener('open', () => {
    streamJobIDs = new Set();
  });
  stream.addEventListener('job', (event) => {
    const job = JSON.parse(event.data);
    if (streamJobIDs) streamJobIDs.add(job.id);
    setJob(job);
  });
  stream.addEventListener('ready', () => {
    // What the stream did not list on connecting is gone.
    for (const id of [...jobs.keys()]) if (streamJobIDs && !streamJobIDs.has(id)) dropJob(id);
    streamJobIDs = null;
    streamLive = true;
    firstListShown = true;
    stopPolling();
    showConnection('Live');
  });
  stream.addEventListener('removed', (event) => dropJob(JSON.parse(event.data).id));
  stream.addEventListener('activity', (event) => {
    const activity = JSON.parse(event.data);
    activities.set(activity.id, Object.assign(activity, {receivedAt: Date.now()}));
    renderJob(activity.id);
  });
  stream.addEventListener('error', () => {
    streamJobIDs = null;
    streamLive = false;
    startPolling();
    // A stream the daemon refused (or does not have) is not retried by the browser itself.
    if (stream.readyState === EventSource.CLOSED) {
      stream.close();
      setTimeout(openStream, STREAM_RETRY_MS);
    }
  });
}

async function poll() {
  try {
    const [jobsReply, activityReply] = await Promise.all([send('GET', '/jobs'), send('GET', '/activity')]);
    if (!jobsReply.ok || !activityReply.ok) throw new Error('HTTP ' + jobsReply.status);
    const list = await jobsReply.json();
    const current = await activityReply.json();
    if (!polling) return;  // the stream took over meanwhile
    const listed = new Set(list.map((job) => job.id));
    for (const id of [...jobs.keys()]) if (!listed.has(id)) dropJob(id);
    setActivities(current);
    for (const job of list) setJob(job);
    currentRate();
    firstListShown = true;
    showConnection('Updated every second (no live stream)');
  } catch (error) {
    showConnection('The daemon does not answer (' + error.message + ')');
  }
}

function setActivities(list) {
  activities.clear();
  const now = Date.now();
  for (const activity of list) activities.set(activity.id, Object.assign(activity, {receivedAt: now}));
}

// The stream tells when an upload's phase changes, not how its rate and file move in between:
// while uploads run, those are read from GET /activity.
async function refreshActivity() {
  if (![...jobs.values()].some((job) => ACTIVE_STATES.has(job.state))) return;
  try {
    const reply = await send('GET', '/activity');
    if (!reply.ok || !streamLive) return;
    setActivities(await reply.json());
    for (const id of jobs.keys()) renderJob(id);
  } catch (error) {
    // The stream's own error handling takes over.
  }
}

async function pollLoop() {
  if (!polling) return;
  await poll();
  if (polling) pollTimer = setTimeout(pollLoop, POLL_INTERVAL_MS);
}

function startPolling() {
  if (polling) return;
  polling = true;
  pollLoop();
}

function stopPolling() {
  polling = false;
  clearTimeout(pollTimer);
}

// ---- the rate chart

// The total rate of the uploads running now, also shown as text.
function currentRate() {
  let total = 0;
  for (const [id, activity] of activities) {
    const job = jobs.get(id);
    if (job && ACTIVE_STATES.has(job.state)) total += activity.bytes_per_second;
  }
  byID('rate-now').textContent = formatBytes(total) + '/s now';
  return total;
}

function sampleRate() {
  const now = Date.now();
  rateSamples.push({time: now, bytesPerSecond: currentRate()});
  while (rateSamples.length && rateSamples[0].time < now - CHART_SECONDS * 1000) rateSamples.shift();
}

function drawChart() {
  const canvas = byID('rate-chart');
  const scale = window.devicePixelRatio || 1;
  const width = canvas.clientWidth;
  const height = canvas.clientHeight;
  canvas.width = Math.round(width * scale);
  canvas.height = Math.round(height * scale);
  const context = canvas.getContext('2d');
  context.setTransform(scale, 0, 0, scale, 0, 0);
  const style = getComputedStyle(document.documentElement);
  const peak = Math.max(1024, ...rateSamples.map((sample) => sample.bytesPerSecond));
  const now = Date.now();
  const x = (time) => width - ((now - time) / (CHART_SECONDS * 1000)) * width;
  const y = (rate) => height - 2 - (rate / peak) * (height - 20);
  context.strokeStyle = style.getPropertyValue('--border');
  context.strokeRect(0.5, 0.5, width - 1, height - 1);
  context.fillStyle = style.getPropertyValue('--muted');
  context.font = '12px system-ui, sans-serif';
  context.fillText(formatBytes(peak) + '/s · last ' + CHART_SECONDS / 60 + ' min', 6, 14);
  if (rateSamples.length < 2) return;
  context.beginPath();
  rateSamples.forEach((sample, index) => {
    if (index === 0) context.moveTo(x(sample.time), y(sample.bytesPerSecond));
    else context.lineTo(x(sample.time), y(sample.bytesPerSecond));
  });
  context.strokeStyle = style.getPropertyValue('--accent');
  context.lineWidth = 2;
  context.stroke();
}

// ---- the bandwidth limit

function limitUnavailable(text) {
  byID('limit-current').textContent = text;
  byID('limit-input').disabled = true;
  byID('limit-set').disabled = true;
}

function showLimit(bytesPerSecond) {
  byID('limit-current').textContent = 'Current limit: ' + formatLimit(bytesPerSecond);
  byID('limit-input').disabled = false;
  byID('limit-set').disabled = false;
}

async function loadLimit() {
  try {
    const reply = await send('GET', '/settings');
    if (reply.status === 404 || reply.status === 405) {
      limitUnavailable('Unavailable: this daemon has no bandwidth limit.');
      return;
    }
    if (!reply.ok) throw new Error('HTTP ' + reply.status);
    showLimit((await reply.json()).upload_limit);
  } catch (error) {
    limitUnavailable('Unavailable (' + error.message + ').');
  }
}

async function setLimit(event) {
  event.preventDefault();
  const kibPerSecond = Number(byID('limit-input').value);
  if (!Number.isInteger(kibPerSecond) || kibPerSecond < 0) {
    announce('The limit must be a whole number of KiB/s, 0 for none');
    return;
  }
  try {
    const reply = await send('PUT', '/settings', {upload_limit: kibPerSecond * 1024});
    if (!reply.ok) throw new Error('HTTP ' + reply.status);
    await loadLimit();
    announce('Bandwidth limit set to ' + formatLimit(kibPerSecond * 1024));
  } catch (error) {
    announce('Setting the limit failed: ' + error.message);
  }
}

// ---- start

async function tick() {
  if (streamLive) await refreshActivity();
  sampleRate();
  drawChart();
  for (const [id, activity] of activities) if (activity.retry) renderJob(id);
}

document.addEventListener('DOMContentLoaded', () => {
  byID('limit-form').addEventListener('submit', setLimit);
  loadLimit();
  openStream();
  tick();
  setInterval(tick, 1000);
});
