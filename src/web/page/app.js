// The modules live: a snapshot and then every change from /api/events;
// commands and renames through the API, shown as confirmed by the module.
'use strict';

const zh = (navigator.languages || [navigator.language]).some(l => /^zh\b/i.test(l || ''));
const T = zh ? {
  module: '模块', online: '在线', offline: '离线', unknown: '未知',
  on: '吸合', off: '断开', busy: '切换中…', outputs: '输出', inputs: '输入',
  output: '输出', input: '输入', allOn: '全部吸合', allOff: '全部断开',
  pulse: '脉冲', seconds: '秒', rename: '改名', save: '保存', cancel: '取消',
  lost: '连接中断，正在重新连接…', failed: '失败：', name: '名称',
} : {
  module: 'Module', online: 'online', offline: 'offline', unknown: 'unknown',
  on: 'on', off: 'off', busy: 'switching…', outputs: 'Outputs', inputs: 'Inputs',
  output: 'Output', input: 'Input', allOn: 'All on', allOff: 'All off',
  pulse: 'Pulse', seconds: 's', rename: 'Rename', save: 'Save', cancel: 'Cancel',
  lost: 'Connection lost, reconnecting…', failed: 'Failed: ', name: 'Name',
};
document.documentElement.lang = zh ? 'zh-CN' : 'en';

const modules = new Map(); // address -> module as the API shows it
const switching = new Set(); // "address/output" until the module confirms
const errors = new Map(); // "address/output" -> why its last command failed
const main = document.getElementById('modules');
const link = document.getElementById('link');

function el(tag, props, ...children) {
  const node = document.createElement(tag);
  Object.assign(node, props || {});
  for (const child of children) node.append(child);
  return node;
}

function stateWord(state) { return state === 'ON' ? T.on : state === 'OFF' ? T.off : T.unknown; }

async function call(method, path, body) {
  const response = await fetch(path, {
    method, headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
  });
  const answer = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(answer.error || response.status);
  return answer;
}

function outputCard(module, channel) {
  const k = channel.output;
  const error = el('div', { className: 'error' }, errors.get(`${module.address}/${k}`) || '');
  const key = `${module.address}/${k}`;
  const busy = switching.has(key);
  const button = el('button', { className: `out ${busy ? 'busy' : channel.state.toLowerCase()}`, type: 'button', disabled: busy },
    `${T.output} ${k}`, el('span', { className: 'state' }, busy ? T.busy : stateWord(channel.state)));
  button.setAttribute('aria-pressed', channel.state === 'ON' ? 'true' : 'false');
  button.dataset.address = module.address;
  button.dataset.output = k;
  button.addEventListener('click', async () => {
    const wanted = channel.state === 'ON' ? 'OFF' : 'ON';
    switching.add(key);
    errors.delete(key);
    render();
    try {
      const answer = await call('POST', `/api/modules/${module.address}/outputs/${k}`, { state: wanted });
      channel.state = answer.state;
    } catch (e) {
      errors.set(key, T.failed + e.message);
    }
    switching.delete(key);
    render();
  });
  return el('div', { className: 'channel' }, button, nameLine(module, channel, 'out', k), error);
}

// The name being edited survives the redraws that changes cause meanwhile.
let editing = null; // { key, value }

function nameLine(module, channel, kind, k) {
  const key = `${module.address}/${kind}${k}`;
  const what = `${kind === 'out' ? T.output : T.input} ${k}`;
  if (!editing || editing.key !== key) {
    const edit = el('button', { type: 'button', textContent: T.rename });
    edit.setAttribute('aria-label', `${T.rename} ${what}`);
    edit.addEventListener('click', () => {
      editing = { key, value: channel.name || '' };
      render();
    });
    return el('div', { className: 'name' }, el('span', {}, channel.name || ''), edit);
  }
  const input = el('input', { value: editing.value, maxLength: 200, className: 'editing' });
  input.setAttribute('aria-label', `${T.name} ${what}`);
  input.addEventListener('input', () => { editing.value = input.value; });
  const save = el('button', { type: 'button', textContent: T.save });
  const cancel = el('button', { type: 'button', textContent: T.cancel });
  const done = async keep => {
    const value = editing.value;
    editing = null;
    if (keep) {
      try {
        const answer = await call('PUT', `/api/modules/${module.address}/names/${kind}${k}`, { name: value });
        channel.name = answer.name;
      } catch (e) {
        alert(T.failed + e.message);
      }
    }
    render();
  };
  save.addEventListener('click', () => done(true));
  cancel.addEventListener('click', () => done(false));
  input.addEventListener('keydown', e => { if (e.key === 'Enter') done(true); if (e.key === 'Escape') done(false); });
  return el('div', { className: 'name' }, input, save, cancel);
}

function inputLamp(module, channel) {
  const k = channel.input;
  const lamp = el('div', { className: `lamp ${channel.state.toLowerCase()}` },
    `${T.input} ${k}: ${stateWord(channel.state)}`);
  return el('div', { className: 'channel' }, lamp, nameLine(module, channel, 'in', k));
}

function actions(module) {
  const all = async state => {
    try { await call('POST', `/api/modules/${module.address}/outputs/all`, { state }); }
    catch (e) { alert(T.failed + e.message); }
  };
  const which = el('select', {}, ...module.outputs.map(c => el('option', { value: c.output }, `${T.output} ${c.output}`)));
  which.setAttribute('aria-label', `${T.pulse}: ${T.output}`);
  const seconds = el('input', { type: 'number', min: '0.1', step: '0.1', value: '1' });
  seconds.setAttribute('aria-label', `${T.pulse}: ${T.seconds}`);
  const pulse = el('button', { type: 'button', textContent: T.pulse });
  pulse.addEventListener('click', async () => {
    try {
      await call('POST', `/api/modules/${module.address}/outputs/${which.value}`, { state: 'ON', on_time: Number(seconds.value) });
    } catch (e) { alert(T.failed + e.message); }
  });
  const on = el('button', { type: 'button', textContent: T.allOn });
  on.addEventListener('click', () => all('ON'));
  const off = el('button', { type: 'button', textContent: T.allOff });
  off.addEventListener('click', () => all('OFF'));
  return el('div', { className: 'actions' }, on, off, which, seconds, el('span', {}, T.seconds), pulse);
}

function render() {
  const focused = document.activeElement && document.activeElement.dataset;
  const sections = [...modules.values()].map(module => el('section', {},
    el('h2', {}, `${T.module} ${module.address}`,
      el('span', { className: `badge ${module.availability}` }, T[module.availability] || module.availability)),
    el('h3', {}, T.outputs),
    el('div', { className: 'grid' }, ...module.outputs.map(c => outputCard(module, c))),
    el('h3', {}, T.inputs),
    el('div', { className: 'grid' }, ...module.inputs.map(c => inputLamp(module, c))),
    actions(module)));
  main.replaceChildren(...sections);
  // Keyboard users keep their place across updates.
  const field = main.querySelector('input.editing');
  if (field) {
    field.focus();
    field.setSelectionRange(field.value.length, field.value.length);
  } else if (focused && focused.output) {
    main.querySelector(`button.out[data-address="${focused.address}"][data-output="${focused.output}"]`)?.focus();
  }
}

// An event about one channel: applied to it, then the page redrawn.
function channelChanged(e, apply) {
  const change = JSON.parse(e.data);
  const module = modules.get(change.address);
  if (!module) return;
  const list = 'input' in change ? module.inputs : module.outputs;
  apply(list[(change.input || change.output) - 1], change);
  render();
}

function listen() {
  const events = new EventSource('/api/events');
  events.addEventListener('open', () => { link.hidden = true; });
  events.addEventListener('error', () => { link.textContent = T.lost; link.hidden = false; });
  events.addEventListener('snapshot', e => {
    modules.clear();
    for (const module of JSON.parse(e.data).modules) modules.set(module.address, module);
    render();
  });
  events.addEventListener('state', e => channelChanged(e, (c, change) => { c.state = change.state; }));
  events.addEventListener('availability', e => {
    const change = JSON.parse(e.data);
    const module = modules.get(change.address);
    if (module) { module.availability = change.availability; render(); }
  });
  events.addEventListener('name', e => channelChanged(e, (c, change) => { c.name = change.name; }));
}

listen();
