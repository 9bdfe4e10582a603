// The lightd page: reads the state once, then follows the event stream; every
// control sends one PATCH (or POST) and the stream brings the result back.
'use strict';

const CHANNEL_COLOURS = ['#7b3fe4', '#1f77d0', '#2ca02c', '#d62728'];
const CHART_SPAN_MS = 10 * 60 * 1000;
const EMPTY_CHART_SPAN_MS = 60 * 1000;
const TOKEN_KEY = 'lightd-token';

let currentState = null;
let chart = null;

function $(selector, root = document) { return root.querySelector(selector); }
function $all(selector, root = document) { return Array.from(root.querySelectorAll(selector)); }

function showMessage(text, isError) {
  const message = $('#message');
  message.textContent = text;
  message.classList.toggle('error', !!isError);
}

// ---- Token --------------------------------------------------------------

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

// ---- API ----------------------------------------------------------------

async function send(method, path, body) {
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
      showMessage('Not changed: ' + (answer.error || response.statusText) + ' (' + response.status + ')', true);
      restore();
      return null;
    }
    showMessage('Done.', false);
    return answer;
  }
}

async function patch(body) {
  const state = await send('PATCH', '/api/v1/state', body);
  if (state) render(state);
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

function readNumber(input) {
  const value = Number(input.value);
  if (input.value === '' || !Number.isInteger(value)) {
    showMessage('Not changed: enter a whole number.', true);
    restore();
    return null;
  }
  return value;
}

// ---- Building the controls ---------------------------------------------

function buildChannels() {
  const template = $('#channel-template');
  const box = $('#channels');
  const pulses = $('#pulse-widths');
  ['LED385', 'LED480', 'LED550', 'LED640'].forEach((name, index) => {
    const card = template.content.firstElementChild.cloneNode(true);
    card.dataset.index = index;
    card.id = 'ch' + index;
    $('.name', card).textContent = name;
    $('.swatch', card).style.background = CHANNEL_COLOURS[index];
    const enabled = $('.enabled', card);
    const range = $('.brightness-range', card);
    const number = $('.brightness-value', card);
    enabled.id = 'ch' + index + '-enabled';
    range.id = 'ch' + index + '-brightness';
    number.id = 'ch' + index + '-brightness-value';
    $('.temperature-value', card).id = 'ch' + index + '-temperature';

    enabled.addEventListener('change', () => patch({ channels: [{ index, enabled: enabled.checked }] }));
    // The slider shows its value while dragging and sends once on release.
    range.addEventListener('input', () => { number.value = range.value; });
    range.addEventListener('pointerdown', () => { range.dataset.dragging = 'true'; });
    range.addEventListener('pointerup', () => { range.dataset.dragging = 'false'; });
    range.addEventListener('pointercancel', () => { range.dataset.dragging = 'false'; });
    range.addEventListener('change', () => patch({ channels: [{ index, brightness: Number(range.value) }] }));
    number.addEventListener('change', () => {
      const value = readNumber(number);
      if (value !== null) patch({ channels: [{ index, brightness: value }] });
    });
    box.appendChild(card);

    const pulse = document.createElement('label');
    pulse.className = 'number';
    pulse.innerHTML = name + ' pulse <input type="number" min="0" max="5000" step="1" data-needs-device> ms';
    const pulseInput = $('input', pulse);
    pulseInput.id = 'ch' + index + '-pulse';
    pulseInput.addEventListener('change', () => {
      const value = readNumber(pulseInput);
      if (value !== null) patch({ channels: [{ index, pulse_ms: value }] });
    });
    pulses.appendChild(pulse);
  });
}

function wireControls() {
  $('#global-enabled').addEventListener('change', (e) => patch({ enabled: e.target.checked }));
  $all('input[name=mode]').forEach((radio) =>
    radio.addEventListener('change', () => { if (radio.checked) patch({ mode: radio.value }); }));
  $all('[data-field]').forEach((input) => {
    input.addEventListener('change', () => {
      const value = input.type === 'checkbox' ? input.checked : readNumber(input);
      if (value !== null) patch(nested(input.dataset.field, value));
    });
  });
  $('#trigger').addEventListener('click', async () => {
    if (await send('POST', '/api/v1/trigger')) showMessage('Triggered.', false);
  });
}

// ---- Showing the state ---------------------------------------------------

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
    cell.title = alarm ? 'Over temperature' : '';
    $('#ch' + c.index).classList.toggle('alarm', alarm);
  });
  showChartNote();
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
  $('#port').textContent = state.port || '–';
  const hexModel = '0x' + state.model.toString(16).toUpperCase().padStart(8, '0');
  $('#model').textContent = state.model ? (state.model_name ? state.model_name + ' (' + hexModel + ')' : hexModel) : '–';
  $('#firmware').textContent = state.firmware_version
    ? state.firmware_version + ' (0x' + state.firmware_version.toString(16).toUpperCase().padStart(8, '0') + ')'
    : '–';
  $('#sdk').textContent = state.sdk_version;
  $('#global-enabled').checked = state.enabled;

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
  document.body.dataset.ready = 'true';
}

// ---- Chart ---------------------------------------------------------------

function buildChart() {
  if (typeof Chart === 'undefined') {
    $('.chart-box').textContent = 'The chart library did not load.';
    return;
  }
  chart = new Chart($('#temperature-chart'), {
    type: 'line',
    data: {
      datasets: ['LED385', 'LED480', 'LED550', 'LED640'].map((name, i) => ({
        label: name,
        data: [],
        borderColor: CHANNEL_COLOURS[i],
        backgroundColor: CHANNEL_COLOURS[i],
        borderWidth: 2,
        pointRadius: 0,
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
  chart.update('none');
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
  return !!chart && chart.data.datasets.some((d) => d.data.length > 0);
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

function addTemperatures(channels) {
  if (!chart) return;
  const now = Date.now();
  channels.forEach((c) => {
    const data = chart.data.datasets[c.index].data;
    if (c.temperature !== null) data.push({ x: now, y: c.temperature });
    while (data.length && data[0].x < now - CHART_SPAN_MS) data.shift();
  });
  setChartSpan(now);
  chart.update('none');
  showChartNote();
}

// ---- Live updates --------------------------------------------------------

function follow() {
  const events = new EventSource('/api/v1/events');
  events.addEventListener('state', (e) => render(JSON.parse(e.data)));
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
    if ($('#message').textContent.startsWith('Live updates')) showMessage('', false);
  });
  // EventSource reconnects on its own; say so meanwhile.
  events.addEventListener('error', () => {
    const connection = $('#connection');
    connection.classList.remove('connected');
    connection.classList.add('unknown');
    $('#connection-text').textContent = 'Lost lightd, reconnecting…';
    showMessage('Live updates interrupted; reconnecting.', true);
  });
}

buildChannels();
wireControls();
buildChart();
follow();
