// SPDX-License-Identifier: Apache-2.0
// The reader SDK for JavaScript: the C++ library compiled to WebAssembly, driven here through
// promises, async iterators and events. See index.d.ts for the documented API.
import { wasm } from './module.js';
import {
  Disconnected, OrvexError, ScanFailed, TimeoutError, UpdateFailed, WebBluetoothUnavailable,
  linkEndError,
} from './errors.js';
import { grantedReaderDevices, makeGlue, requestReaderDevice } from './bluetooth.js';

export {
  BluetoothUnavailable, ChooserCancelled, ConnectionFailed, Disconnected, OrvexError, ScanFailed,
  TimeoutError, UpdateFailed, WebBluetoothUnavailable,
} from './errors.js';

const MISS = Symbol('miss');
// From an accept function: not yet, but the operation moves on, so its clock starts again.
const RESTART = Symbol('restart');
const LINK_ENDS = new Set(['readerDisconnected', 'connectionFailed', 'btError']);
// How often the page's timers move a simulated reader's clock.
const SIM_TICK_MS = 10;
// How long leaving a session waits for the reader to confirm the disconnection.
const DISCONNECT_WAIT = 3;

/** The 24-byte owner contact record, encoded and decoded by the library. */
export const Contact = {
  encode(phone, email) {
    return wasm.encodeContact(String(phone), String(email));
  },
  decode(record) {
    return wasm.decodeContact(record);
  },
};

/** The library's version ("0.4.0"). */
export const libraryVersion = wasm.libraryVersion();

/** Whether an advertised name is a reader's, as the library matches it. */
export function isReaderName(name) {
  return wasm.isReaderName(String(name));
}

// Moves a simulated session's virtual clock by the wall time that passed, on the page's
// timers, for as long as the session is open.
class SimClock {
  constructor(session) {
    this.session = session;
    this.last = performance.now();
    this.timer = setInterval(() => this.tick(), SIM_TICK_MS);
  }
  tick() {
    const now = performance.now();
    const seconds = (now - this.last) / 1000;
    this.last = now;
    this.session.advance(seconds);
  }
  stop() {
    clearInterval(this.timer);
  }
}

/** One session with a connected reader. Make it with Reader.connect() or Reader.request(). */
export class Reader extends EventTarget {
  #session;
  #clock = null;
  #waiters = new Set();
  #readings = new Set();
  #exports = new Set();
  #connected = false;
  #closed = false;
  #reconnecting = false;
  #version = null;
  #battery = null;
  #nextToken = 1;
  #device = null;

  constructor(makeSession, { sim = false, device = null } = {}) {
    super();
    this.#session = makeSession((name, detail) => this.#event(name, detail));
    this.#device = device;
    if (sim) {
      this.#clock = new SimClock(this.#session);
      const session = this.#session;
      /** The simulated reader's own controls (only on a simulated session). */
      this.sim = {
        triggerReading: () => session.triggerReading(),
        setTagInField: (index) => session.setTagInField(index ?? -1),
        dropConnection: () => session.dropConnection(),
      };
    } else {
      this.sim = null;
    }
  }

  /**
   * Asks the user to pick a reader in the browser's chooser and connects to it. Call it from
   * a user gesture (a click handler).
   */
  static async request({ timeout = 30 } = {}) {
    const device = await requestReaderDevice();
    return Reader.#start((onEvent) => new wasm.WebSession(device, makeGlue(), onEvent), { device }, timeout);
  }

  /**
   * Connects without a prompt to a reader this site was granted before, where the browser
   * allows it (navigator.bluetooth.getDevices); null when there is none.
   */
  static async reconnect({ timeout = 30 } = {}) {
    const [device] = await grantedReaderDevices();
    if (!device) return null;
    return Reader.#start((onEvent) => new wasm.WebSession(device, makeGlue(), onEvent), { device }, timeout);
  }

  /** Connects to a simulated reader: `Reader.connect({ sim: true })` or with its make-up. */
  static async connect({ sim, timeout = 30 } = {}) {
    if (!sim) {
      throw new WebBluetoothUnavailable(
        'Reader.connect() makes a simulated session ({ sim: ... }); a real reader is picked ' +
          'with Reader.request() from a user gesture');
    }
    const config = sim === true ? {} : sim;
    return Reader.#start((onEvent) => new wasm.SimSession(config, onEvent), { sim: true }, timeout);
  }

  static async #start(makeSession, options, timeout) {
    const reader = new Reader(makeSession, options);
    try {
      await reader.#open(timeout);
    } catch (error) {
      await reader.close();
      throw error;
    }
    return reader;
  }

  async #open(timeout) {
    // One wait for the whole handshake: the connection, then the version, the micro-app check
    // (perhaps an upload, each step of which restarts the clock) and the battery level, after
    // which the link is idle. One waiter, so that no step is missed when several arrive in
    // one turn of the clock.
    this.#battery = null;
    const steps = new Set(['readerConnected', 'startUpdate', 'updateStatus', 'endUpdate', 'version']);
    await this.#run(() => this.#session.open(), (name) => {
      if (name === 'readerConnected') this.#connected = true;
      if (name === 'battery' && this.#connected) return true;
      return steps.has(name) ? RESTART : MISS;
    }, timeout);
  }

  /** The reader's version text. */
  get version() {
    return this.#version;
  }
  /** The latest battery level, in percent. */
  get battery() {
    return this.#battery;
  }
  /** Whether the reader is connected. */
  get isConnected() {
    return this.#connected;
  }
  /** The Web Bluetooth device of a real reader (null for a simulated one). */
  get device() {
    return this.#device;
  }

  /** Reads the tag in the reader's field, with the owner contact stored on it. */
  async scan({ timeout = 25 } = {}) {
    this.#requireConnected();
    const reading = await this.#run(() => this.#session.scan(), (name, detail) => {
      if (name === 'scanReceived' && !detail.contactPending) return detail.reading;
      if (name === 'scanFailed') throw new ScanFailed('No tag with a contact was read');
      return MISS;
    }, timeout);
    if (!reading) throw new ScanFailed('No tag with a contact was read');
    return reading;
  }

  /** Writes a contact to the tag `tag` ("999 000000012345") in the reader's field. */
  async writeContact({ tag, phone, email, timeout = 30 }) {
    this.#requireConnected();
    const token = this.#nextToken++;
    return this.#run(
      () => this.#session.writeContact(String(tag), String(phone), String(email), token),
      (name, detail) => (name === 'contactWritten' && detail.token === token
        ? { ok: detail.ok, status: detail.status } : MISS),
      timeout);
  }

  /** Every reading the reader reports (its trigger, and scan()), until the loop is left. */
  async *readings() {
    this.#requireConnected();
    const queue = new EventQueue();
    this.#readings.add(queue);
    try {
      for (;;) yield await queue.next(null);
    } finally {
      this.#readings.delete(queue);
    }
  }

  /**
   * The readings stored on the reader, as its export sends them: { number, reading }. A
   * simulated reader is asked to export; a real one exports when its user starts it. Waits
   * `timeout` seconds for the first record and ends once the reader is silent for `quiet`.
   */
  async *exportRecords({ quiet = 2, timeout = 30 } = {}) {
    this.#requireConnected();
    const queue = new EventQueue();
    this.#exports.add(queue);
    try {
      if (this.sim) this.#session.exportReadings();
      let limit = timeout;
      for (;;) {
        const item = await queue.next(limit);
        if (item === MISS) return;
        yield item;
        limit = quiet;
      }
    } finally {
      this.#exports.delete(queue);
    }
  }

  /**
   * Installs a micro-app image: the session reconnects, the reader's check asks for the
   * image and the library uploads it. `onProgress(sent, slices)` follows the upload: the
   * slices sent so far, from 0 to all of them.
   * Resolves with the final status ("successful"), or "current" when the reader did not ask
   * for an update; rejects with UpdateFailed otherwise.
   */
  async updateMicroApp(bytes, onProgress = () => {}, { timeout = 30 } = {}) {
    this.#requireConnected();
    this.#session.setMicroAppImage(bytes);
    this.#reconnecting = true;
    let status = 'current';
    let slices = 0;
    const follow = (event) => {
      const { name, detail } = event;
      if (name === 'startUpdate') {
        slices = detail;
      } else if (name === 'updateStatus') {
        onProgress(detail, slices);
      } else if (name === 'endUpdate' && detail) {
        status = detail;
      }
    };
    try {
      await this.#run(() => this.#session.disconnect(),
        (n) => (n === 'readerDisconnected' ? true : MISS), DISCONNECT_WAIT);
      this.#connected = false;
      this.#listeners.add(follow);
      await this.#open(timeout);
    } catch (error) {
      if (!this.#connected) this.#end('readerDisconnected', 'connectionInterrupted', true);
      throw error;
    } finally {
      this.#reconnecting = false;
      this.#listeners.delete(follow);
      this.#session.setMicroAppImage(null);
    }
    if (status !== 'current' && status !== 'successful') {
      throw new UpdateFailed(`The micro-app update failed: ${status}`, status);
    }
    if (status === 'successful') onProgress(slices, slices);
    return status;
  }

  /** Disconnects, waiting a few seconds at most for the reader to confirm. */
  async disconnect() {
    if (!this.#connected) return;
    try {
      await this.#run(() => this.#session.disconnect(),
        (n) => (n === 'readerDisconnected' ? true : MISS), DISCONNECT_WAIT);
    } catch (error) {
      if (!(error instanceof OrvexError)) throw error;
    }
    this.#connected = false;
  }

  /** Disconnects and lets go of the session; it cannot be used afterwards. */
  async close() {
    if (this.#closed) return;
    try {
      await this.disconnect();
    } finally {
      this.#closed = true;
      this.#connected = false;
      this.#clock?.stop();
      this.#session.delete();
    }
  }

  // ------------------------------------------------------------------ internals
  #listeners = new Set();

  #requireConnected() {
    if (this.#closed || !this.#connected) throw new Disconnected('The reader is not connected');
  }

  // Starts an operation and waits for the event that `accept` recognises (a value other than
  // MISS); `accept` may throw to fail the wait.
  #run(start, accept, timeout) {
    return new Promise((resolve, reject) => {
      const waiter = { accept, resolve, reject, timer: null, restart: () => {} };
      const finish = () => {
        clearTimeout(waiter.timer);
        this.#waiters.delete(waiter);
      };
      waiter.resolve = (value) => { finish(); resolve(value); };
      waiter.reject = (error) => { finish(); reject(error); };
      if (timeout != null) {
        waiter.restart = () => {
          clearTimeout(waiter.timer);
          waiter.timer = setTimeout(
            () => waiter.reject(new TimeoutError(`No answer from the reader in ${timeout} s`)),
            timeout * 1000);
        };
        waiter.restart();
      }
      this.#waiters.add(waiter);
      try {
        start?.();
      } catch (error) {
        waiter.reject(error);
      }
    });
  }

  // One event of the link.
  #event(name, detail) {
    if (name === 'version') this.#version = detail;
    if (name === 'battery') {
      this.#battery = detail;
      this.dispatchEvent(new CustomEvent('battery', { detail }));
    }
    if (name === 'scanReceived' && !detail.contactPending && detail.reading) {
      for (const queue of this.#readings) queue.push(detail.reading);
      this.dispatchEvent(new CustomEvent('reading', { detail: detail.reading }));
    }
    if (name === 'exportReceived') {
      for (const queue of this.#exports) {
        queue.push({ number: detail.number, reading: detail.reading });
      }
    }
    for (const listener of this.#listeners) listener({ name, detail });

    const endsLink = LINK_ENDS.has(name);
    for (const waiter of [...this.#waiters]) {
      let value;
      try {
        value = waiter.accept(name, detail);
      } catch (error) {
        waiter.reject(error);
        continue;
      }
      if (value === RESTART) waiter.restart();
      else if (value !== MISS) waiter.resolve(value);
      else if (endsLink) waiter.reject(linkEndError(name, detail));
    }
    if (endsLink && !this.#reconnecting) this.#end(name, detail, this.#connected);
  }

  #end(name, detail, wasConnected) {
    this.#connected = false;
    for (const queue of [...this.#readings, ...this.#exports]) {
      queue.fail(linkEndError(name, detail));
    }
    if (wasConnected) {
      this.dispatchEvent(new CustomEvent('disconnect', { detail: { cause: detail } }));
    }
  }
}

// Items handed from the link's events to one async iterator.
class EventQueue {
  #items = [];
  #wake = null;
  #error = null;

  push(item) {
    this.#items.push(item);
    this.#wake?.();
  }
  fail(error) {
    this.#error = error;
    this.#wake?.();
  }
  // The next item; MISS after `timeout` seconds without one (null: no limit).
  async next(timeout) {
    for (;;) {
      if (this.#items.length) return this.#items.shift();
      if (this.#error) throw this.#error;
      let timer;
      const woke = await new Promise((resolve) => {
        this.#wake = () => resolve(true);
        if (timeout != null) timer = setTimeout(() => resolve(false), timeout * 1000);
      });
      clearTimeout(timer);
      this.#wake = null;
      if (!woke) return MISS;
    }
  }
}

