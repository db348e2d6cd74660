// The dashboard page: one card per printer, kept up to date over a WebSocket that
// the server feeds with the cards that changed. Commands go back over the same
// WebSocket; models go up with a POST of the file itself. Nothing here comes from
// another site, and every text from a printer is set as text, never as markup.
'use strict';

const cards = new Map();  // printer key -> its card element
const pending = new Map();  // command id -> the element that shows its outcome
let socket = null;
let nextId = 1;
let retryDelay = 500;
let maxUpload = 0;

const stageOrder = ['download', 'slicing', 'heating', 'layers'];

const questionWords = {
  AskClearBed: ['Is the bed clear?', 'The bed is clear'],
  AskCartridgeColor: ['Is the new cartridge in place?', 'It is in place'],
  AskRemoveCartridge: ['Remove the cartridge.', 'It is removed'],
  AskAdjustment: ['Adjust the nozzle until it just touches the paper.', 'Done'],
  AskWifiDetails: ['Which Wi-Fi network?', 'Connect'],
  Uploading: ['The printer asks for the model.', null],
};

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function say(card, text, isError) {
  const message = card.querySelector('.message');
  message.textContent = text;
  message.classList.toggle('error', !!isError);
}

function send(command, card) {
  if (!socket || socket.readyState !== WebSocket.OPEN) {
    say(card, 'Not connected to the dashboard.', true);
    return;
  }
  command.id = nextId++;
  pending.set(command.id, card);
  socket.send(JSON.stringify(command));
}

function summary() {
  const all = [...cards.values()];
  const busy = all.filter((card) => card.querySelector('.task:not(.ended)')).length;
  document.getElementById('summary').textContent =
    all.length === 0 ? 'looking for printers…' : `${all.length} printer${all.length === 1 ? '' : 's'}, ${busy} busy`;
}

function makeCard(key) {
  const card = document.getElementById('card-template').content.firstElementChild.cloneNode(true);
  card.dataset.key = key;
  card.querySelector('.print').addEventListener('submit', (event) => {
    event.preventDefault();
    upload(card);
  });
  for (const button of card.querySelectorAll('.start button')) {
    button.addEventListener('click', () => send({op: 'start', printer: key, type: button.dataset.type}, card));
  }
  card.addEventListener('dragover', (event) => {
    event.preventDefault();
    card.classList.add('dragging');
  });
  card.addEventListener('dragleave', () => card.classList.remove('dragging'));
  card.addEventListener('drop', (event) => {
    event.preventDefault();
    card.classList.remove('dragging');
    if (event.dataTransfer.files.length > 0) {
      card.querySelector('.model-file').files = event.dataTransfer.files;
      upload(card);
    }
  });
  // Keeps the cards in key order.
  const container = document.getElementById('cards');
  const after = [...cards.keys()].sort().find((other) => other > key);
  container.insertBefore(card, after ? cards.get(after) : null);
  cards.set(key, card);
  return card;
}

async function upload(card) {
  const file = card.querySelector('.model-file').files[0];
  if (!file) {
    say(card, 'Choose an STL file first.', true);
    return;
  }
  if (maxUpload && file.size > maxUpload) {
    say(card, `The model is larger than the upload limit (${Math.round(maxUpload / 1048576)} MB).`, true);
    return;
  }
  const query = new URLSearchParams({printer: card.dataset.key, name: file.name});
  const layer = card.querySelector('.layer').value;
  if (layer) query.set('layerHeight', layer);
  say(card, `Sending ${file.name}…`);
  try {
    const response = await fetch(`/api/print?${query}`, {
      method: 'POST', body: file, headers: {'Content-Type': 'application/octet-stream'},
    });
    const text = await response.text();
    if (response.ok) {
      say(card, `Printing ${file.name} (task ${JSON.parse(text).task}).`);
      card.querySelector('.model-file').value = '';
    } else {
      say(card, `Not printed: ${text.trim()}`, true);
    }
  } catch (error) {
    say(card, `Not printed: ${error.message}`, true);
  }
}

function questionOf(card, key, task, question) {
  const box = element('div', 'question');
  box.dataset.instance = question.instance;
  box.dataset.question = question.question;
  const [asked, answerText] = questionWords[question.question] || [question.waitingFor, 'Go on'];
  box.append(element('p', null, asked));
  const base = {printer: key, task: task.task, instance: question.instance};
  if (question.question === 'AskWifiDetails') {
    const ssid = element('input', 'ssid');
    ssid.placeholder = 'network name';
    ssid.maxLength = 32;
    const passphrase = element('input', 'passphrase');
    passphrase.type = 'password';
    passphrase.autocomplete = 'off';
    passphrase.placeholder = 'pass phrase';
    passphrase.maxLength = 63;
    const connect = element('button', 'answer primary', answerText);
    connect.type = 'button';
    connect.addEventListener('click', () => {
      send({...base, op: 'wifi', ssid: ssid.value, passphrase: passphrase.value}, card);
      passphrase.value = '';
    });
    box.append(ssid, passphrase, connect);
    return box;
  }
  if (question.question === 'AskAdjustment') {
    for (const direction of ['up', 'down']) {
      const step = element('button', `nozzle-${direction}`, `Nozzle ${direction}`);
      step.type = 'button';
      step.addEventListener('click', () => send({...base, op: 'nozzle', direction}, card));
      box.append(step);
    }
  }
  if (answerText) {
    const yes = element('button', 'answer primary', answerText);
    yes.type = 'button';
    yes.addEventListener('click', () => send({...base, op: 'answer'}, card));
    box.append(yes);
  } else {
    box.append(element('span', 'waiting', task.model ? 'The dashboard is serving it.' : 'Start prints from this page to send one.'));
  }
  return box;
}

function taskOf(card, key, task, old) {
  const node = old || element('div', 'task');
  node.dataset.task = task.task;
  node.classList.toggle('ended', !!task.ended);
  node.classList.toggle('interrupted', !!task.interrupted);
  node.classList.toggle('done', !!task.done && !task.interrupted);
  if (!old) {
    const head = element('div', 'task-head');
    head.append(element('span', 'type'), element('span', 'model'), element('span', 'percent'), element('span', 'left'));
    const stop = element('button', 'interrupt danger', 'Interrupt');
    stop.type = 'button';
    stop.addEventListener('click', () => send({op: 'interrupt', printer: key, task: node.dataset.task}, card));
    head.append(stop);
    const bar = element('progress');
    bar.max = 1000;
    node.append(head, bar, element('div', 'running'), element('div', 'stages'));
  }
  node.querySelector('.type').textContent = task.type;
  node.querySelector('.model').textContent = task.model || '';
  node.querySelector('.percent').textContent = task.percent;
  node.querySelector('.left').textContent = task.timeLeft || '';
  node.querySelector('.interrupt').hidden = !!task.ended || !!task.interrupted;
  node.querySelector('progress').value = Math.round(task.progress * 1000);
  let running = task.running.length ? `now: ${task.running.join(', ')}` : '';
  if (task.interrupted) running += `${running ? ' · ' : ''}interrupted: ${task.interrupted}`;
  node.querySelector('.running').textContent = running;
  // A print's stages in the order they run, from the first that has started.
  const stages = task.stages ? stageOrder.filter((name) => name in task.stages)
    .map((name) => [name, task.stages[name]])
    .map(([name, value]) => `${name} ${value >= 1 ? 'done' : value < 0 ? 'failed' : Math.floor(value * 100) + '%'}`)
    .join(' · ') : '';
  node.querySelector('.stages').textContent = stages;
  // A question's box stays while it is asked, so what is typed into it survives updates.
  const asked = task.ended ? [] : task.questions;
  const shown = new Map([...node.querySelectorAll('.question')].map((box) => [box.dataset.instance, box]));
  for (const question of asked) {
    if (!shown.has(question.instance)) node.append(questionOf(card, key, task, question));
    shown.delete(question.instance);
  }
  for (const gone of shown.values()) gone.remove();
  return node;
}

function showCard(data) {
  const card = cards.get(data.key) || makeCard(data.key);
  card.querySelector('.name').textContent = data.short;
  card.querySelector('.name').title = data.key;
  card.querySelector('.address').textContent = data.address;
  const live = data.tasks.filter((task) => !task.ended);
  card.querySelector('.state').textContent = !data.connected ? 'not connected'
    : live.length === 0 ? 'idle' : live.map((task) => `${task.type} ${task.percent}`).join(', ');
  card.classList.toggle('offline-card', !data.connected);
  card.querySelector('.print-button').disabled = !data.connected;
  const list = card.querySelector('.tasks');
  const old = new Map([...list.children].map((node) => [node.dataset.task, node]));
  data.tasks.forEach((task, index) => {
    const node = taskOf(card, data.key, task, old.get(task.task));
    old.delete(task.task);
    if (list.children[index] !== node) list.insertBefore(node, list.children[index] || null);
  });
  for (const gone of old.values()) gone.remove();
}

function received(message) {
  if (message.type === 'cards') {
    // A new connection starts with every card the dashboard has: what the page
    // showed before may be out of date (a restarted dashboard has heard nothing yet).
    if (message.full) {
      for (const card of cards.values()) card.remove();
      cards.clear();
    }
    message.cards.forEach(showCard);
    summary();
  } else if (message.type === 'result') {
    const card = pending.get(message.id);
    pending.delete(message.id);
    if (card) say(card, message.error ? message.error : '', !!message.error);
  }
}

function connect() {
  socket = new WebSocket(`ws://${location.host}/ws`);
  socket.addEventListener('open', () => {
    retryDelay = 500;
    document.getElementById('offline').hidden = true;
  });
  socket.addEventListener('message', (event) => received(JSON.parse(event.data)));
  socket.addEventListener('close', () => {
    socket = null;
    document.getElementById('offline').hidden = false;
    setTimeout(start, retryDelay);
    retryDelay = Math.min(retryDelay * 2, 5000);
  });
}

async function login(event) {
  event.preventDefault();
  const token = document.getElementById('token');
  const response = await fetch('/api/login', {method: 'POST', body: token.value});
  token.value = '';
  if (response.ok) {
    document.getElementById('login').hidden = true;
    connect();
  } else {
    document.getElementById('login-message').textContent = 'That is not the token.';
  }
}

async function start() {
  try {
    const state = await (await fetch('/api/session')).json();
    maxUpload = state.maxUpload;
    if (state.tokenNeeded && !state.authorized) {
      document.getElementById('login').hidden = false;
      return;
    }
    connect();
  } catch (error) {
    document.getElementById('offline').hidden = false;
    setTimeout(start, retryDelay);
    retryDelay = Math.min(retryDelay * 2, 5000);
  }
}

document.getElementById('login').addEventListener('submit', login);
start();
