// The lightd page: reads the state and the last ten minutes of temperatures,
// then follows the event stream; every control sends one PATCH (or POST) and
// the stream brings the result back.
'use strict';

const CHANNEL_NAMES = ['LED385', 'LED480', 'LED550', 'LED640'];
const CHANNEL_COLOURS = ['#7b3fe4', '#1f77d0', '#2ca02c', '#d62728'];
const CHART_SPAN_MS = 10 * 60 * 1000;
const EMPTY_CHART_SPAN_MS = 60 * 1000;
const TOKEN_KEY = 'lightd-token';
const TITLE = document.title;

// The words a refused value is described in, by its PATCH field.
const FIELD_WORDS = {
  'ttl.delay_ms': ['TTL delay', ' ms'],
  'edge.delay_ms': ['Edge delay', ' ms'],
  'internal.delay_ms': ['Internal trigger delay', ' ms'],
  'internal.high_ms': ['High time', ' ms'],
  'internal.low_ms': ['Low time', ' ms'],
  'internal.pulse_count': ['Pulse count', ''],
};

let currentState = null;
let chart = null;
// lightd's clock minus this browser's, from the history's "now_ms": the
// times lightd gives are read on this browser's clock.
let clockSkewMs = 0;

function $(selector, root = document) { return root.querySelector(selector); }
function $all(selector, root = document) { return Array.from(root.querySelectorAll(selector)); }

function showMessage(text, isError) {
  const message = $('#message');
  message.textContent = text;
  message.classList.toggle('error', !!isError);
}

// ---- Field errors ----------------------------------------------------------

function isBrightness(input) {
  return input.classList.contains('brightness-value') || input.classList.contains('brightness-range');
}

function errorElementFor(input) {
  if (isBrightness(input)) return $('.brightness-error', input.closest('.channel'));
  let element = document.getElementById(input.id + '-error');
  if (!element) {
    element = document.createElement('span');
    element.id = input.id + '-error';
    element.className = 'field-error';
    element.hidden = true;
    (input.closest('label') || input).insertAdjacentElement('afterend', element);
  }
  return element;
}

// Shows `text` beside `input` (and tells assistive technology), or clears it.
function setFieldError(input, text) {
  if (!input) return;
  const element = errorElementFor(input);
  element.textContent = text || '';
  element.hidden = !text;
  // The slider and the number of a channel share one message.
  const related = isBrightness(input) ? $all('.brightness-range, .brightness-value', input.closest('.channel')) : [input];
  related.forEach((control) => {
    if (text) {
      control.setAttribute('aria-invalid', 'true');
      control.setAttribute('aria-describedby', element.id);
    } else {
      control.removeAttribute('aria-invalid');
      control.removeAttribute('aria-describedby');
    }
  });
}

function clearFieldErrors() {
  $all('[aria-invalid=true]').forEach((input) => setFieldError(input, ''));
}

// ---- Token ------------------------------------------------------------------

let tokenRequest = null;

// Asks once per tab; the answer stays in sessionStorage until the tab closes.
function askForToken() {
  if (tokenRequest) return tokenRequest;
  const dialog = $('#token-dialog');
  tokenRequest = new Promise((resolve) => {
    const finish = (token) => {
      dialog.close();
      tokenRequest = null;
      resolve(token);
    };
    $('#token-form').onsubmit = (event) => {
      event.preventDefault();
      const token = $('#token-input').value;
      sessionStorage.setItem(TOKEN_KEY, token);
      finish(token);
    };
    $('#token-cancel').onclick = () => finish(null);
    dialog.showModal();
    $('#token-input').focus();
  });
  return tokenRequest;
}

// ---- API ----------------------------------------------------------------------

// Sends one request; a refusal is shown beside `field` (the control that
// asked) and in the message line, and the controls go back to the device's
// values.
async function send(method, path, body, field) {
  for (;;) {
    const headers = {};
    const token = sessionStorage.getItem(TOKEN_KEY);
    if (token) headers.Authorization = 'Bearer ' + token;
    if (body !== undefined) headers['Content-Type'] = 'application/json';
    let response;
    try {
      response = await fetch(path, { method, headers, body: body === undefined ? undefined : JSON.stringify(body) });
    } catch (err) {
      showMessage('lightd cannot be reached: ' + err.message, true);
      return null;
    }
    if (response.status === 401) {
      sessionStorage.removeItem(TOKEN_KEY);
      const given = await askForToken();
      if (given === null) {
        showMessage('Not changed: no token given.', true);
        restore();
        return null;
      }
      continue;
    }
    const answer = await response.json().catch(() => ({}));
    if (!response.ok) {
      const why = answer.error || response.statusText;
      setFieldError(field, why);
      showMessage('Not changed: ' + why + ' (' + response.status + ')', true);
      restore();
      return null;
    }
    // A change made: earlier refusals are history.
    clearFieldErrors();
    showMessage('Done.', false);
    return answer;
  }
}

async function patch(body, field) {
  const state = await send('PATCH', '/api/v1/state', body, field);
  if (state) render(state);
  return state;
}

// "ttl.delay_ms", 12 -> {ttl: {delay_ms: 12}}
function nested(path, value) {
  const parts = path.split('.');
  const root = {};
  let node = root;
  parts.slice(0, -1).forEach((p) => { node = node[p] = {}; });
  node[parts[parts.length - 1]] = value;
  return root;
}

// The typed value when it is one the device takes; otherwise says why
// beside the field, sends nothing and puts the device's value back.
function readNumber(input, words, unit) {
  const value = Number(input.value);
  const min = Number(input.min);
  const max = Number(input.max);
  let why = '';
  if (input.value.trim() === '' || !Number.isInteger(value)) why = words + ' must be a whole number';
  else if (value < min || value > max) why = words + ' must be ' + min + '..' + max + unit + ', not ' + input.value;
  if (!why) return value;
  setFieldError(input, why);
  showMessage('Not changed: ' + why + '.', true);
  restore();
  return null;
}

// ---- Building the controls ------------------------------------------------------

function buildChannels() {
  const template = $('#channel-template');
  const box = $('#channels');
  const pulses = $('#pulse-widths');
  CHANNEL_NAMES.forEach((name, index) => {
    const card = template.content.firstElementChild.cloneNode(true);
    const id = 'ch' + index;
    card.dataset.index = index;
    card.id = id;
    $('.name', card).textContent = name;
    $('.name', card).id = id + '-name';
    $('.swatch', card).style.background = CHANNEL_COLOURS[index];
    const enabled = $('.enabled', card);
    const range = $('.brightness-range', card);
    const number = $('.brightness-value', card);
    enabled.id = id + '-enabled';
    enabled.setAttribute('aria-label', name + ' on');
    range.id = id + '-brightness';
    range.setAttribute('aria-label', name + ' brightness');
    number.id = id + '-brightness-value';
    number.setAttribute('aria-label', name + ' brightness in percent');
    $('.brightness-error', card).id = id + '-brightness-error';
    $('.temperature-value', card).id = id + '-temperature';
    $('.alarm-text', card).id = id + '-alarm';

    enabled.addEventListener('change', () => patch({ channels: [{ index, enabled: enabled.checked }] }, enabled));
    // The slider shows its value while dragging and sends once on release.
    range.addEventListener('input', () => { number.value = range.value; });
    range.addEventListener('pointerdown', () => { range.dataset.dragging = 'true'; });
    range.addEventListener('pointerup', () => { range.dataset.dragging = 'false'; });
    range.addEventListener('pointercancel', () => { range.dataset.dragging = 'false'; });
    range.addEventListener('change', () => patch({ channels: [{ index, brightness: Number(range.value) }] }, range));
    number.addEventListener('change', () => {
      const value = readNumber(number, name + ' brightness', '');
      if (value !== null) patch({ channels: [{ index, brightness: value }] }, number);
    });
    box.appendChild(card);

    const pulse = document.createElement('label');
    pulse.className = 'number';
    pulse.innerHTML = '<span class="label"></span> <input type="number" min="0" max="5000" step="1" data-needs-device> ms';
    $('.label', pulse).textContent = name + ' pulse';
    const pulseInput = $('input', pulse);
    pulseInput.id = id + '-pulse';
    pulseInput.addEventListener('change', () => {
      const value = readNumber(pulseInput, name + ' pulse width', ' ms');
      if (value !== null) patch({ channels: [{ index, pulse_ms: value }] }, pulseInput);
    });
    pulses.appendChild(pulse);
  });
}

function wireControls() {
  $('#global-enabled').addEventListener('change', (e) => patch({ enabled: e.target.checked }, e.target));
  $('#all-off').addEventListener('click', async () => {
    if (await patch({ enabled: false })) showMessage('All off: the global enable is off.', false);
  });
  $all('input[name=mode]').forEach((radio) =>
    radio.addEventListener('change', () => { if (radio.checked) patch({ mode: radio.value }); }));
  $all('[data-field]').forEach((input) => {
    input.addEventListener('change', () => {
      const [words, unit] = FIELD_WORDS[input.dataset.field] || [input.dataset.field, ''];
      const value = input.type === 'checkbox' ? input.checked : readNumber(input, words, unit);
      if (value !== null) patch(nested(input.dataset.field, value), input);
    });
  });
  $('#trigger').addEventListener('click', async () => {
    if (await send('POST', '/api/v1/trigger')) showMessage('Triggered.', false);
  });
}

// ---- Showing the state ------------------------------------------------------------

// A number being typed and a slider being dragged keep what the user has
// there, unless the state is shown again after a refusal.
let restoring = false;
function setValue(input, value) {
  const busy = input.type === 'number' ? document.activeElement === input : input.dataset.dragging === 'true';
  if (busy && !restoring) return;
  input.value = value;
}

// Shows the last known state again, typed values included (after a refusal).
function restore() {
  if (!currentState) return;
  restoring = true;
  try { render(currentState); } finally { restoring = false; }
}

function formatTemperature(value) {
  return value === null || value === undefined ? '–' : value.toFixed(2) + ' °C';
}

// 0x00010203 reads as 1.2.3; the library's 20100 as 2.1.0.
function firmwareText(version) {
  return [(version >>> 16) & 0xff, (version >>> 8) & 0xff, version & 0xff].join('.');
}
function libraryText(version) {
  return [Math.floor(version / 10000), Math.floor(version / 100) % 100, version % 100].join('.');
}
function hex32(value) { return '0x' + value.toString(16).toUpperCase().padStart(8, '0'); }

function durationText(ms) {
  const s = Math.max(0, Math.floor(ms / 1000));
  if (s < 60) return s + ' s';
  if (s < 3600) return Math.floor(s / 60) + ' min ' + (s % 60) + ' s';
  if (s < 86400) return Math.floor(s / 3600) + ' h ' + Math.floor(s / 60) % 60 + ' min';
  return Math.floor(s / 86400) + ' d ' + Math.floor(s / 3600) % 24 + ' h';
}

function showUptime() {
  const cell = $('#uptime');
  if (!currentState) return;
  if (!currentState.connected || !currentState.connected_since_ms) {
    cell.textContent = 'Not connected';
    return;
  }
  cell.textContent = 'Up ' + durationText(Date.now() + clockSkewMs - currentState.connected_since_ms);
}

// An alarm is shown only for a temperature that is known: before the first
// poll and while the device is away nothing is known, and unknown is never
// drawn as an alarm.
function isAlarm(c) {
  return c.over_temperature === true && c.temperature !== null && c.temperature !== undefined &&
    !!currentState && currentState.connected;
}

function showTemperatures(channels) {
  channels.forEach((c) => {
    const cell = $('#ch' + c.index + '-temperature');
    const alarm = isAlarm(c);
    cell.textContent = formatTemperature(c.temperature);
    cell.classList.toggle('alarm', alarm);
    $('#ch' + c.index).classList.toggle('alarm', alarm);
    $('#ch' + c.index + '-alarm').hidden = !alarm;
  });
  const alarms = currentState ? currentState.channels.filter(isAlarm).length : 0;
  document.title = (alarms ? '⚠ ' : '') + TITLE;
  markAlarmsOnChart();
  showChartNote();
}

function showBanner(text) {
  const banner = $('#banner');
  if (banner.textContent !== text) banner.textContent = text;
  banner.hidden = text === '';
}

function render(state) {
  currentState = state;
  const connection = $('#connection');
  connection.classList.remove('unknown');
  connection.classList.toggle('connected', state.connected);
  connection.classList.toggle('disconnected', !state.connected);
  $('#connection-text').textContent = state.connected
    ? 'Connected to ' + state.port
    : 'Not connected (' + (state.port || 'no port') + '), waiting for the device';
  showBanner(state.connected ? '' : 'Disconnected: the light source on ' + (state.port || 'its port') +
    ' does not answer. lightd opens it again as soon as it is back; until then nothing can be changed.');
  $('#port').textContent = state.port || '–';
  $('#model').textContent = state.model
    ? (state.model_name ? state.model_name + ' (' + hex32(state.model) + ')' : hex32(state.model)) : '–';
  $('#firmware').textContent = state.firmware_version ? firmwareText(state.firmware_version) : '–';
  $('#firmware').title = state.firmware_version ? hex32(state.firmware_version) : '';
  $('#sdk').textContent = state.sdk_version ? libraryText(state.sdk_version) : '–';
  $('#global-enabled').checked = state.enabled;
  showUptime();

  state.channels.forEach((c) => {
    $('#ch' + c.index + '-enabled').checked = c.enabled;
    setValue($('#ch' + c.index + '-brightness'), c.brightness);
    setValue($('#ch' + c.index + '-brightness-value'), c.brightness);
    setValue($('#ch' + c.index + '-pulse'), c.pulse_ms);
  });
  showTemperatures(state.channels);

  $all('input[name=mode]').forEach((radio) => { radio.checked = radio.value === state.mode; });
  $all('.mode-page').forEach((page) => { page.hidden = page.dataset.mode !== state.mode; });
  $('#ttl-output').checked = state.ttl.output_enabled;
  setValue($('#ttl-delay'), state.ttl.delay_ms);
  setValue($('#edge-delay'), state.edge.delay_ms);
  $('#internal-output').checked = state.internal.output_enabled;
  setValue($('#internal-delay'), state.internal.delay_ms);
  setValue($('#internal-high'), state.internal.high_ms);
  setValue($('#internal-low'), state.internal.low_ms);
  setValue($('#internal-count'), state.internal.pulse_count);

  $all('[data-needs-device]').forEach((control) => { control.disabled = !state.connected; });
  if (!state.connected) clearFieldErrors();
  document.body.dataset.ready = 'true';
}

// ---- Chart ------------------------------------------------------------------------

function themeColour(name) {
  return getComputedStyle(document.documentElement).getPropertyValue(name).trim();
}

function applyChartTheme() {
  if (!chart) return;
  const text = themeColour('--muted');
  const grid = themeColour('--line');
  Object.values(chart.options.scales).forEach((scale) => {
    scale.ticks.color = text;
    scale.grid = { color: grid };
    if (scale.title) scale.title.color = text;
  });
  chart.options.plugins.legend.labels = { color: themeColour('--text') };
  chart.update('none');
}

function buildChart() {
  if (typeof Chart === 'undefined') {
    $('.chart-box').textContent = 'The chart library did not load.';
    return;
  }
  chart = new Chart($('#temperature-chart'), {
    type: 'line',
    data: {
      datasets: CHANNEL_NAMES.map((name, i) => ({
        label: name,
        data: [],
        borderColor: CHANNEL_COLOURS[i],
        backgroundColor: CHANNEL_COLOURS[i],
        borderWidth: 2,
        // Points taken while the channel was over temperature are marked.
        pointRadius: (ctx) => (ctx.raw && ctx.raw.alarm ? 4 : 0),
        pointStyle: 'triangle',
        tension: 0.2,
      })),
    },
    options: {
      animation: false,
      maintainAspectRatio: false,
      parsing: false,
      normalized: true,
      interaction: { mode: 'nearest', axis: 'x', intersect: false },
      scales: {
        x: {
          type: 'linear',
          ticks: {
            maxTicksLimit: 8,
            callback: (value) => {
              const seconds = Math.round((Date.now() - value) / 1000);
              if (seconds <= 0) return 'now';
              return seconds < 120 ? '-' + seconds + ' s' : '-' + Math.round(seconds / 60) + ' min';
            },
          },
        },
        y: { title: { display: true, text: '°C' }, suggestedMin: 20, suggestedMax: 40 },
      },
      plugins: { legend: { position: 'bottom' } },
    },
  });
  setChartSpan(Date.now());
  applyChartTheme();
  window.matchMedia('(prefers-color-scheme: dark)').addEventListener('change', applyChartTheme);
  showChartNote();
}

// The axis grows with the history up to ten minutes, so the first minutes
// of a fresh page are not squeezed into a corner; with no data at all it
// spans the last minute.
function setChartSpan(now) {
  const oldest = Math.min(...chart.data.datasets.map((d) => (d.data.length ? d.data[0].x : now)));
  chart.options.scales.x.min = Math.min(Math.max(oldest, now - CHART_SPAN_MS), now - EMPTY_CHART_SPAN_MS);
  chart.options.scales.x.max = now;
}

function chartHasData() {
  return !!chart && chart.data.datasets.some((d) => d.data.some((p) => p.y !== null));
}

// A channel over temperature now: a thicker, dashed line, named so in the legend.
function markAlarmsOnChart() {
  if (!chart || !currentState) return;
  let changed = false;
  currentState.channels.forEach((c) => {
    const dataset = chart.data.datasets[c.index];
    const alarm = isAlarm(c);
    const label = CHANNEL_NAMES[c.index] + (alarm ? ' ⚠ over temperature' : '');
    if (dataset.label === label) return;
    dataset.label = label;
    dataset.borderWidth = alarm ? 4 : 2;
    dataset.borderDash = alarm ? [8, 4] : [];
    changed = true;
  });
  if (changed) chart.update('none');
}

function showChartNote() {
  const note = $('#chart-note');
  if (!note) return;
  let text = '';
  if (currentState && !currentState.connected) text = 'Disconnected: no temperatures are read.';
  else if (!chartHasData()) text = 'No data yet.';
  note.textContent = text;
  note.hidden = text === '';
}

function trimChart(now) {
  chart.data.datasets.forEach((d) => {
    while (d.data.length && d.data[0].x < now - CHART_SPAN_MS) d.data.shift();
  });
  setChartSpan(now);
  chart.update('none');
}

// One poll: a point per channel; unknown temperatures leave a gap.
function addTemperatures(channels, at = Date.now()) {
  if (!chart) return;
  channels.forEach((c) => {
    chart.data.datasets[c.index].data.push({ x: at, y: c.temperature, alarm: c.over_temperature === true });
  });
  trimChart(Date.now());
  showChartNote();
}

// The last ten minutes as lightd kept them; replaces what the chart has.
async function loadHistory() {
  let history;
  try {
    const response = await fetch('/api/v1/history?seconds=600');
    if (!response.ok) return;
    history = await response.json();
  } catch (err) {
    return;
  }
  clockSkewMs = history.now_ms - Date.now();
  showUptime();
  if (!chart) return;
  chart.data.datasets.forEach((d) => { d.data = []; });
  history.samples.forEach((s) => {
    const at = s.time_ms - clockSkewMs;
    s.temperature.forEach((t, i) => {
      chart.data.datasets[i].data.push({ x: at, y: s.connected ? t : null, alarm: s.over_temperature[i] === true });
    });
  });
  trimChart(Date.now());
  showChartNote();
}

// ---- Live updates ---------------------------------------------------------------------

function follow() {
  const events = new EventSource('/api/v1/events');
  let interrupted = false;
  events.addEventListener('state', (e) => {
    const wasConnected = currentState && currentState.connected;
    render(JSON.parse(e.data));
    // The loss leaves a gap in the chart rather than a line across it.
    if (wasConnected && !currentState.connected) {
      addTemperatures(currentState.channels.map((c) => ({ index: c.index, temperature: null })));
    }
  });
  events.addEventListener('temperatures', (e) => {
    const t = JSON.parse(e.data);
    if (currentState) {
      t.channels.forEach((c) => {
        currentState.channels[c.index].temperature = c.temperature;
        currentState.channels[c.index].over_temperature = c.over_temperature;
      });
    }
    showTemperatures(t.channels);
    addTemperatures(t.channels);
  });
  events.addEventListener('open', () => {
    if (!interrupted) return;
    // Back after an interruption: what was missed comes from the history.
    interrupted = false;
    showMessage('', false);
    loadHistory();
  });
  // EventSource reconnects on its own; say so meanwhile.
  events.addEventListener('error', () => {
    interrupted = true;
    const connection = $('#connection');
    connection.classList.remove('connected');
    connection.classList.add('unknown');
    $('#connection-text').textContent = 'Lost lightd, reconnecting…';
    showBanner('lightd cannot be reached; the page reconnects on its own. The values shown may be out of date.');
    showMessage('Live updates interrupted; reconnecting.', true);
  });
}

buildChannels();
wireControls();
buildChart();
loadHistory().then(follow);
setInterval(showUptime, 1000);
