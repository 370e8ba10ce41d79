// The device page: store keys through /_api/, a script call, an upload and
// a backend page, all with plain browser APIs.
'use strict';

// The script that answers calls; saving fields names it too, because the
// server checks that a request's method is a script before storing fields.
// Without an id no script is started.
const SCRIPT = 'hello';
const API = '/_api/';
const UPLOAD = '/_upload';
const TEMP = '/_temp/';
const BACKEND_PAGE = '/status.html';
const RESULT = '/_result/';
const CALL_ID_LIMIT = 99999999;          // ids have at most 8 digits
// The server answers calls that ran out of time when a request arrives;
// asking for the result now and then makes that answer come on time.
const NUDGE_MS = 5000;
// The server gives up on a call after 25 s; past this the page does too.
const CALL_GIVE_UP_MS = 45000;
const UNSAFE_TEXT = /["\\\u0000-\u001f]/; // the server copies texts into JSON unescaped
const UNSAFE_NAME = /[^A-Za-z0-9._-]/g;   // upload names become file names

// What the API's result codes mean, for people.
const LIST_ERRORS = {
  '-4': 'Enter at least one prefix (the list may be at most 4090 characters).',
  '-6': 'The store daemon cannot be reached.',
};
const CALL_ERRORS = {
  '-1': 'The server could not read the request.',
  '-2': 'The script does not exist on the device or may not be run.',
  '-3': 'The request names no script.',
  '-5': 'The store daemon cannot be reached; nothing was saved.',
  '-6': 'The script gave no answer within 25 seconds (or its parameters were too long).',
};
const MESSAGES = {
  listing: 'Listing…',
  listed: (n) => `${n} key${n === 1 ? '' : 's'} listed.`,
  badListing: 'The store holds a value this page cannot show (it contains a quote or a backslash).',
  saving: (k) => `Saving ${k}…`,
  saved: (k) => `Saved ${k}.`,
  unsafe: 'Quotes, backslashes and control characters cannot be stored from this page.',
  noKey: 'A key is needed.',
  gaveUp: 'No answer came from the device.',
  waiting: (s) => `Waiting for the script… ${s} s`,
  answered: 'The script answered.',
  uploading: (p) => `Uploading… ${p}%`,
  uploaded: (n) => `Stored ${n} bytes.`,
  uploadFailed: (s) => `The upload failed (${s}).`,
  network: 'The device cannot be reached.',
  unknownCode: (c) => `The server answered with error ${c}.`,
  backendOk: 'Served by the backend through webkvd.',
  backendDown: 'No backend answers (start webkvd with -r host:port).',
};

const $ = (id) => document.getElementById(id);

function showStatus(el, text, kind) {
  el.textContent = text;
  el.className = 'status' + (kind ? ' ' + kind : '');
}

function codeMessage(table, code) {
  return table[String(code)] || MESSAGES.unknownCode(code);
}

// POST /_api/; resolves to the reply's "result" value.
async function apiPost(body, signal) {
  const reply = await fetch(API, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
    signal,
  });
  const text = await reply.text();
  return JSON.parse(text).result;
}

// --- store keys ----------------------------------------------------------

async function saveField(key, value, statusEl) {
  if (!key) return showStatus(statusEl, MESSAGES.noKey, 'error');
  if (UNSAFE_TEXT.test(key) || UNSAFE_TEXT.test(value)) return showStatus(statusEl, MESSAGES.unsafe, 'error');
  showStatus(statusEl, MESSAGES.saving(key));
  try {
    const result = await apiPost({ method: SCRIPT, fields: { [key]: value } });
    if (result === 0) showStatus(statusEl, MESSAGES.saved(key), 'ok');
    else showStatus(statusEl, codeMessage(CALL_ERRORS, result), 'error');
  } catch (e) {
    showStatus(statusEl, MESSAGES.network, 'error');
  }
}

function keyRow(key, value) {
  const row = document.createElement('tr');
  row.dataset.key = key;
  const keyCell = document.createElement('td');
  keyCell.className = 'key';
  keyCell.textContent = key;
  const valueCell = document.createElement('td');
  const input = document.createElement('input');
  input.value = value;
  input.setAttribute('aria-label', 'value of ' + key);
  valueCell.append(input);
  const actionCell = document.createElement('td');
  actionCell.className = 'action';
  const button = document.createElement('button');
  button.type = 'button';
  button.textContent = 'Save';
  button.addEventListener('click', () => saveField(key, input.value, $('save-status')));
  actionCell.append(button);
  row.append(keyCell, valueCell, actionCell);
  return row;
}

function showGroups(prefixes, groups) {
  const holder = $('key-groups');
  holder.replaceChildren();
  let count = 0;
  groups.forEach((entries, i) => {
    const table = document.createElement('table');
    table.createCaption().textContent = prefixes[i] + '*';
    const keys = Object.keys(entries).sort();
    for (const key of keys) table.append(keyRow(key, entries[key]));
    if (keys.length === 0) {
      const row = table.insertRow();
      row.insertCell().textContent = '(no keys)';
    }
    count += keys.length;
    holder.append(table);
  });
  return count;
}

async function listKeys() {
  const statusEl = $('list-status');
  // The server splits the list at commas and skips empty pieces.
  const prefixes = $('prefixes').value.split(',').map((p) => p.trim()).filter((p) => p);
  showStatus(statusEl, MESSAGES.listing);
  let reply;
  try {
    reply = await (await fetch(API + prefixes.map(encodeURIComponent).join(','))).text();
  } catch (e) {
    return showStatus(statusEl, MESSAGES.network, 'error');
  }
  let result;
  try {
    result = JSON.parse(reply).result;
  } catch (e) {
    return showStatus(statusEl, MESSAGES.badListing, 'error');
  }
  if (!Array.isArray(result)) return showStatus(statusEl, codeMessage(LIST_ERRORS, result), 'error');
  showStatus(statusEl, MESSAGES.listed(showGroups(prefixes, result)), 'ok');
}

// --- script call ---------------------------------------------------------

async function runScript() {
  const statusEl = $('script-status');
  const out = $('script-result');
  const button = $('script-run');
  const name = $('script-name').value.trim() || 'world';
  const delay = $('script-delay').value || '0';
  if (UNSAFE_TEXT.test(name)) return showStatus(statusEl, MESSAGES.unsafe, 'error');
  const id = 1 + Math.floor(Math.random() * CALL_ID_LIMIT);
  const started = Date.now();
  const tick = () => showStatus(statusEl, MESSAGES.waiting(Math.round((Date.now() - started) / 1000)));
  tick();
  const timer = setInterval(tick, 1000);
  const nudge = setInterval(() => fetch(RESULT + id).catch(() => {}), NUDGE_MS);
  const abort = new AbortController();
  const giveUp = setTimeout(() => abort.abort(), CALL_GIVE_UP_MS);
  button.disabled = true;
  out.textContent = '';
  try {
    const result = await apiPost({ method: SCRIPT, id, params: [name, delay] }, abort.signal);
    if (typeof result === 'string') {
      out.textContent = result;
      showStatus(statusEl, MESSAGES.answered, 'ok');
    } else {
      showStatus(statusEl, codeMessage(CALL_ERRORS, result), 'error');
    }
  } catch (e) {
    showStatus(statusEl, abort.signal.aborted ? MESSAGES.gaveUp : MESSAGES.network, 'error');
  } finally {
    clearInterval(timer);
    clearInterval(nudge);
    clearTimeout(giveUp);
    button.disabled = false;
  }
}

// --- upload --------------------------------------------------------------

function uploadName(file) {
  // The file is stored under its form field name: keep it a plain name.
  const name = file.name.replace(UNSAFE_NAME, '_').replace(/^\.+/, '');
  return name || 'upload';
}

function upload() {
  const file = $('upload-file').files[0];
  const statusEl = $('upload-status');
  const bar = $('upload-progress');
  const link = $('upload-link');
  if (!file) return;
  const name = uploadName(file);
  const form = new FormData();
  form.append(name, file, name);
  const xhr = new XMLHttpRequest();
  xhr.open('POST', UPLOAD);
  bar.value = 0;
  link.replaceChildren();
  $('upload-button').disabled = true;
  xhr.upload.addEventListener('progress', (ev) => {
    if (!ev.lengthComputable) return;
    bar.value = Math.round((100 * ev.loaded) / ev.total);
    showStatus(statusEl, MESSAGES.uploading(bar.value));
  });
  xhr.addEventListener('loadend', () => {
    $('upload-button').disabled = false;
    let reply = null;
    try {
      reply = JSON.parse(xhr.responseText);
    } catch (e) {
      reply = null;
    }
    if (xhr.status !== 200 || !reply) {
      const why = xhr.status ? xhr.status + ' ' + xhr.statusText : MESSAGES.network;
      return showStatus(statusEl, MESSAGES.uploadFailed(why), 'error');
    }
    bar.value = 100;
    showStatus(statusEl, MESSAGES.uploaded(reply.filelength), 'ok');
    const a = document.createElement('a');
    a.href = TEMP + encodeURIComponent(name);
    a.textContent = TEMP + name;
    a.target = '_blank';
    a.id = 'uploaded-file';
    link.append(a);
  });
  xhr.send(form);
}

// --- backend -------------------------------------------------------------

async function showBackend() {
  const statusEl = $('backend-status');
  try {
    const reply = await fetch(BACKEND_PAGE, { method: 'HEAD' });
    if (!reply.ok) throw new Error(String(reply.status));
    showStatus(statusEl, MESSAGES.backendOk, 'ok');
    $('backend-frame').src = BACKEND_PAGE;
  } catch (e) {
    showStatus(statusEl, MESSAGES.backendDown, 'error');
  }
}

// --- wiring --------------------------------------------------------------

function onSubmit(id, action) {
  $(id).addEventListener('submit', (ev) => {
    ev.preventDefault();
    action();
  });
}

onSubmit('list-form', listKeys);
onSubmit('new-key-form', async () => {
  await saveField($('new-key').value.trim(), $('new-value').value, $('save-status'));
  listKeys();
});
onSubmit('script-form', runScript);
onSubmit('upload-form', upload);
listKeys();
showBackend();
