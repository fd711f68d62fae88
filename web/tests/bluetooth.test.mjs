// SPDX-License-Identifier: Apache-2.0
// The Web Bluetooth platform, in headless Chromium, against the browser's own Bluetooth
// emulation (WebDriver BiDi bluetooth.*): the page picks the emulated reader in the chooser,
// and the library connects, discovers, switches notifications on, writes, and runs a whole
// session. The emulated peripheral's far side is the simulated reader, run here in Node:
// what the library writes goes to it, and what it sends back goes to the library.
//
// What this leaves untested: the emulation cannot send a notification by itself. Each of the
// reader's notifications reaches the library as the answer to a read of the notify
// characteristic, which the page makes on the same characteristic object; the browser then
// fires characteristicvaluechanged to the library's listener, as it does for a notification.
// So the library's value handling and everything above it are exercised, but not the
// browser's own notification delivery: a value arriving unasked from the peripheral after
// startNotifications() (the descriptor write is answered by the emulation, but no value
// ever comes through that path here).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { fileURLToPath } from 'node:url';
import { Bidi } from './bidi.mjs';
import { serve } from './serve.mjs';
import { wasm } from '../lib/module.js';
import { Contact } from '../lib/index.js';

const WEB = fileURLToPath(new URL('..', import.meta.url));
const SERVICE = '0000ffe0-0000-1000-8000-00805f9b34fb';
const CHARACTERISTIC = '0000ffe1-0000-1000-8000-00805f9b34fb';
const CCCD = '00002902-0000-1000-8000-00805f9b34fb';
const ADDRESS = '09:09:09:09:09:09';
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

let bidi;
let server;
let context;
let device;
const events = [];

const evaluate = async (expression, { awaitPromise = true, userActivation = false } = {}) => {
  const result = await bidi.send('script.evaluate',
    { expression, target: { context }, awaitPromise, userActivation });
  if (result.type === 'exception') throw new Error(`${expression}: ${result.exceptionDetails.text}`);
  return result.result?.value;
};

before(async () => {
  server = await serve(WEB);
  bidi = await Bidi.start(['--headless=new', '--no-sandbox', '--disable-gpu',
    '--enable-experimental-web-platform-features']);
  ({ contexts: [{ context }] } = await bidi.send('browsingContext.getTree', {}));
  await bidi.send('session.subscribe', { events: ['bluetooth'] });
  bidi.on((method, params) => events.push({ method, params }));
  await bidi.send('browsingContext.navigate', { context, url: `${server.url}tests/blank.html`, wait: 'complete' });
  await evaluate(`import('/lib/index.js').then((m) => { window.orvex = m; return true; })`);
});

after(async () => {
  await bidi?.close();
  await server?.close();
});

// The emulated reader: its GATT layout in the browser, and its far side in Node.
async function emulateReader() {
  await bidi.send('bluetooth.simulateAdapter', { context, state: 'powered-on' });
  await bidi.send('bluetooth.simulatePreconnectedPeripheral', {
    context, address: ADDRESS, name: 'KX-BT4 0042', manufacturerData: [], knownServiceUuids: [SERVICE],
  });
  const answers = [];  // notifications the reader sent, waiting for a read to carry them
  device = new wasm.ReaderDevice({ service: 'serial16' }, (bytes) => {
    answers.push(Array.from(bytes));
    evaluate('window.pull()', { awaitPromise: false }).catch(() => {});
  });
  const at = { context, address: ADDRESS, serviceUuid: SERVICE, characteristicUuid: CHARACTERISTIC };
  bidi.on((method, params) => {
    if (method === 'bluetooth.gattConnectionAttempted') {
      (async () => {
        await bidi.send('bluetooth.simulateService', { context, address: ADDRESS, uuid: SERVICE, type: 'add' });
        await bidi.send('bluetooth.simulateCharacteristic', {
          ...at, type: 'add',
          characteristicProperties: { read: true, write: true, writeWithoutResponse: true, notify: true },
        });
        await bidi.send('bluetooth.simulateDescriptor', { ...at, descriptorUuid: CCCD, type: 'add' });
        await bidi.send('bluetooth.simulateGattConnectionResponse', { context, address: ADDRESS, code: 0 });
        device.connect();
      })();
    } else if (method === 'bluetooth.characteristicEventGenerated') {
      const respond = (type, extra = {}) =>
        bidi.send('bluetooth.simulateCharacteristicResponse', { ...at, type, code: 0, ...extra });
      if (params.type === 'subscribe-to-notifications') respond('subscribe-to-notifications');
      else if (params.type === 'unsubscribe-from-notifications') respond('unsubscribe-from-notifications');
      else if (params.type === 'write-with-response') {
        respond('write');
        device.write(Uint8Array.from(params.data), true);
      } else if (params.type === 'write-without-response') {
        device.write(Uint8Array.from(params.data), false);
      } else if (params.type === 'read') {
        respond('read', { data: answers.shift() ?? [] });
      }
    }
  });
}

test('the library runs a session through Web Bluetooth on the emulated reader', async (t) => {
  await emulateReader();
  // The page's side of the notification stand-in: one read of the notify characteristic per
  // notification, one at a time, on the characteristic object the library listens on.
  await evaluate(`(() => {
    const bluetooth = navigator.bluetooth;
    const request = bluetooth.requestDevice.bind(bluetooth);
    bluetooth.requestDevice = async (options) => (window.device = await request(options));
    let chain = Promise.resolve();
    const read = async () => {
      for (let attempt = 0; ; attempt++) {
        try {
          const service = await window.device.gatt.getPrimaryService('${SERVICE}');
          await (await service.getCharacteristic('${CHARACTERISTIC}')).readValue();
          return;
        } catch (error) {
          if (attempt > 50) throw error;
          await new Promise((resolve) => setTimeout(resolve, 10));
        }
      }
    };
    window.pull = () => { chain = chain.then(read, read); };
    return true;
  })()`);

  // One user activation first, then the call that opens the chooser.
  await evaluate('1', { userActivation: true });
  await sleep(200);
  const prompt = bidi.next('bluetooth.requestDevicePromptUpdated');
  await evaluate(`window.connecting = orvex.Reader.request({ timeout: 20 }).then(
    (r) => { window.reader = r; r.addEventListener('disconnect', (e) => { window.gone = e.detail.cause; }); return 'connected'; },
    (e) => 'failed: ' + e.name + ' ' + e.message); true`, { awaitPromise: false, userActivation: true });
  const { prompt: id, devices } = await prompt;
  assert.equal(devices.length, 1, 'the chooser offers the emulated reader');
  await bidi.send('bluetooth.handleRequestDevicePrompt', { context, prompt: id, accept: true, device: devices[0].id });

  assert.equal(await evaluate('window.connecting'), 'connected');
  await t.test('the handshake gives the version and the battery level', async () => {
    assert.equal(await evaluate('window.reader.version'), 'KX100-M 2.4.1');
    assert.equal(await evaluate('window.reader.battery'), Math.floor(120 / 134 * 100));
  });
  await t.test('a scan gives the tag with its owner contact', async () => {
    const reading = JSON.parse(await evaluate('window.reader.scan({ timeout: 10 }).then(JSON.stringify)'));
    assert.equal(reading.id, '999 000000012345');
    assert.deepEqual(reading.contact, {
      phone: '+44 7946 0001', email: 'OWNER@EXAMPLE.COM        ',
    });
  });
  await t.test('a contact write reaches the reader', async () => {
    const outcome = JSON.parse(await evaluate(`window.reader.writeContact({ tag: '999 000000012345',
      phone: '+44 7946 0777', email: 'CLINIC@EXAMPLE.COM', timeout: 15 }).then(JSON.stringify)`));
    assert.deepEqual(outcome, { ok: true, status: 'success' });
    assert.deepEqual(Array.from(device.storedContact(0)),
      Array.from(Contact.encode('+44 7946 0777', 'CLINIC@EXAMPLE.COM')));
  });
  await t.test('a lost GATT connection ends the session with a disconnect event', async () => {
    await bidi.send('bluetooth.simulateGattDisconnection', { context, address: ADDRESS });
    for (let i = 0; i < 100 && !(await evaluate('window.gone ?? null')); i++) await sleep(50);
    assert.equal(await evaluate('window.gone'), 'connectionInterrupted');
    assert.equal(await evaluate('window.reader.isConnected'), false);
  });
});

test('a cancelled chooser is reported as ChooserCancelled', async () => {
  await evaluate('1', { userActivation: true });
  await sleep(200);
  const prompt = bidi.next('bluetooth.requestDevicePromptUpdated');
  await evaluate(`window.cancelled = orvex.Reader.request().then(() => 'connected',
    (e) => e.name + ': ' + e.code); true`, { awaitPromise: false, userActivation: true });
  const { prompt: id } = await prompt;
  await bidi.send('bluetooth.handleRequestDevicePrompt', { context, prompt: id, accept: false });
  assert.equal(await evaluate('window.cancelled'), 'ChooserCancelled: chooserCancelled');
});
