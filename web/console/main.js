// SPDX-License-Identifier: Apache-2.0
// The reader console: one page for a clinic or a chute, on a real reader through Web
// Bluetooth or on the simulated reader.
import {
  ChooserCancelled, ConnectionFailed, Disconnected, Reader, ScanFailed, TimeoutError,
  UpdateFailed, WebBluetoothUnavailable,
} from '../lib/index.js';

const $ = (id) => document.getElementById(id);
let reader = null;
let exported = [];

// Every failure the page can meet, in words for the person at the reader.
function explain(error) {
  if (error instanceof WebBluetoothUnavailable) {
    if (error.code === 'insecureOrigin') {
      return 'This page is not on a secure origin, so the browser offers no Bluetooth. Open it over https.';
    }
    if (error.code === 'noUserGesture') return 'The browser opens its reader list only after a tap or click. Try again.';
    return 'This browser cannot talk to Bluetooth readers (Firefox and Safari cannot). ' +
      'Use Chrome or Edge, or try the simulated reader.';
  }
  if (error instanceof ChooserCancelled) return 'No reader was chosen. Switch the reader on, then connect again.';
  if (error instanceof ConnectionFailed) return `The reader could not be connected (${error.code}). Bring it closer and try again.`;
  if (error instanceof Disconnected) return 'The reader is gone: it was switched off or is out of range. Connect again.';
  if (error instanceof ScanFailed) return 'No tag with an owner contact was read. Hold the reader over the tag and scan again.';
  if (error instanceof UpdateFailed) return `The micro-app update failed (${error.code}). The reader keeps its old micro app.`;
  if (error instanceof TimeoutError) return 'The reader did not answer in time. Try again.';
  return `Something went wrong: ${error?.message ?? error}`;
}

function say(text, kind = 'error') {
  const box = $('message');
  box.textContent = text;
  box.className = kind;
  box.hidden = !text;
}

function setState(state, text) {
  $('state').dataset.state = state;
  $('state').textContent = text;
  const connected = state === 'connected';
  for (const id of ['scan', 'write', 'export', 'update']) $(id).disabled = !connected;
  $('connect-bluetooth').hidden = connected || state === 'connecting';
  $('connect-sim').hidden = connected || state === 'connecting';
  $('disconnect').hidden = !connected;
  $('sim-controls').hidden = !(connected && reader?.sim);
}

async function connect(open) {
  say('');
  setState('connecting', 'Connecting…');
  try {
    reader = await open();
  } catch (error) {
    reader = null;
    setState('idle', 'Not connected');
    say(explain(error));
    return;
  }
  $('version').textContent = reader.version ?? '–';
  $('battery').textContent = reader.battery == null ? '–' : `${reader.battery} %`;
  reader.addEventListener('battery', (e) => { $('battery').textContent = `${e.detail} %`; });
  reader.addEventListener('disconnect', () => {
    setState('idle', 'Not connected');
    say(explain(new Disconnected()));
  });
  setState('connected', `Connected to ${reader.sim ? 'the simulated reader' : 'the reader'}`);
  followReadings(reader);
}

async function followReadings(session) {
  try {
    for await (const reading of session.readings()) showReading(reading);
  } catch {
    // the session ended; the disconnect event says so
  }
}

function showReading(reading) {
  const item = document.createElement('li');
  const id = document.createElement('div');
  id.className = 'id';
  id.textContent = `${reading.id} · ${reading.typeName}`;
  const contact = document.createElement('div');
  contact.className = 'contact';
  contact.textContent = reading.contact
    ? `${reading.contact.phone.trim()} · ${reading.contact.email.trim()}`
    : 'No owner contact on this tag';
  item.append(id, contact);
  $('readings').prepend(item);
  $('write-tag').value = reading.id;
}

$('connect-bluetooth').addEventListener('click', () => connect(() => Reader.request()));
$('connect-sim').addEventListener('click', () =>
  connect(() => Reader.connect({ sim: { microAppCurrent: false } })));
$('disconnect').addEventListener('click', async () => {
  const session = reader;
  reader = null;
  await session?.close();
  setState('idle', 'Not connected');
});
$('sim-trigger').addEventListener('click', () => reader?.sim?.triggerReading());
$('sim-drop').addEventListener('click', () => reader?.sim?.dropConnection());

$('scan').addEventListener('click', async () => {
  say('');
  $('scan').disabled = true;
  try {
    await reader.scan();
  } catch (error) {
    say(explain(error));
  } finally {
    $('scan').disabled = !reader?.isConnected;
  }
});

$('write-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  say('');
  const result = $('write-result');
  result.textContent = 'Writing…';
  result.className = '';
  try {
    const outcome = await reader.writeContact({
      tag: $('write-tag').value.trim(), phone: $('write-phone').value, email: $('write-email').value,
    });
    result.textContent = outcome.ok ? 'Contact written.' : `The contact was not written (${outcome.status}).`;
    result.className = outcome.ok ? 'ok' : 'failed';
  } catch (error) {
    result.textContent = '';
    say(explain(error));
  }
});

$('export').addEventListener('click', async () => {
  say('');
  exported = [];
  const body = $('export-table').querySelector('tbody');
  body.replaceChildren();
  $('export-table').hidden = false;
  if (!reader.sim) say('Start the export on the reader now.', 'info');
  try {
    for await (const { number, reading } of reader.exportRecords()) {
      exported.push({ number, reading });
      const row = document.createElement('tr');
      for (const text of [number, reading?.id ?? '?', reading?.typeName ?? '',
        reading?.contact?.phone.trim() ?? '', reading?.contact?.email.trim() ?? '']) {
        const cell = document.createElement('td');
        cell.textContent = String(text);
        row.append(cell);
      }
      body.append(row);
    }
    if (!reader.sim) say('');
  } catch (error) {
    say(explain(error));
  }
  $('download').disabled = exported.length === 0;
});

function csvField(value) {
  const text = String(value ?? '');
  return /[",\n]/.test(text) ? `"${text.replaceAll('"', '""')}"` : text;
}

$('download').addEventListener('click', () => {
  const lines = [['number', 'tag', 'type', 'phone', 'email'].join(',')];
  for (const { number, reading } of exported) {
    lines.push([number, reading?.id, reading?.typeName, reading?.contact?.phone.trim(),
      reading?.contact?.email.trim()].map(csvField).join(','));
  }
  const blob = new Blob([lines.join('\n') + '\n'], { type: 'text/csv' });
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = 'readings.csv';
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
});

$('update').addEventListener('click', async () => {
  say('');
  const file = $('update-file').files[0];
  const result = $('update-result');
  if (!file) {
    say('Choose the micro-app image file first.');
    return;
  }
  const bar = $('update-progress');
  bar.hidden = false;
  bar.value = 0;
  result.textContent = 'Installing…';
  result.className = '';
  try {
    const image = new Uint8Array(await file.arrayBuffer());
    const status = await reader.updateMicroApp(image, (slice, slices) => {
      bar.max = Math.max(slices, 1);
      bar.value = slice;
    });
    result.textContent = status === 'successful'
      ? 'Micro app installed.' : 'The reader already has a current micro app.';
    result.className = 'ok';
  } catch (error) {
    result.textContent = '';
    say(explain(error));
  }
});

if (!globalThis.navigator?.bluetooth) $('connect-bluetooth').title = explain(new WebBluetoothUnavailable('', globalThis.isSecureContext === false ? 'insecureOrigin' : 'unsupported'));
if ('serviceWorker' in navigator && location.protocol !== 'file:') {
  navigator.serviceWorker.register('./sw.js').catch(() => {});
}
setState('idle', 'Not connected');
