// SPDX-License-Identifier: Apache-2.0
// Debian's chromedriver, started on a free loopback port, and a WebDriver BiDi session on it,
// spoken as raw commands over its WebSocket.
import { spawn } from 'node:child_process';
import { createServer } from 'node:net';
import WebSocket from 'ws';
import { CHROMIUM } from './browser.mjs';

const CHROMEDRIVER = process.env.CHROMEDRIVER ?? '/usr/bin/chromedriver';

function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export class Bidi {
  #ws;
  #next = 1;
  #pending = new Map();
  #listeners = new Set();

  static async start(args) {
    const port = await freePort();
    const driver = spawn(CHROMEDRIVER, [`--port=${port}`, '--allowed-ips=127.0.0.1'], { stdio: 'ignore' });
    const base = `http://127.0.0.1:${port}`;
    for (let i = 0; ; i++) {
      try {
        if ((await fetch(`${base}/status`)).ok) break;
      } catch {
        if (i > 100) { driver.kill(); throw new Error('chromedriver did not start'); }
        await sleep(100);
      }
    }
    const response = await fetch(`${base}/session`, {
      method: 'POST',
      headers: { 'content-type': 'application/json' },
      body: JSON.stringify({ capabilities: { alwaysMatch: {
        browserName: 'chrome', webSocketUrl: true,
        'goog:chromeOptions': { binary: CHROMIUM, args },
      } } }),
    });
    const { value } = await response.json();
    if (!value.sessionId) { driver.kill(); throw new Error(`no session: ${JSON.stringify(value)}`); }
    const bidi = new Bidi();
    bidi.driver = driver;
    bidi.base = base;
    bidi.sessionId = value.sessionId;
    bidi.#ws = new WebSocket(value.capabilities.webSocketUrl);
    await new Promise((resolve, reject) => { bidi.#ws.once('open', resolve); bidi.#ws.once('error', reject); });
    bidi.#ws.on('message', (data) => bidi.#receive(JSON.parse(data)));
    return bidi;
  }

  #receive(message) {
    if (message.id !== undefined && this.#pending.has(message.id)) {
      const { resolve, reject, method } = this.#pending.get(message.id);
      this.#pending.delete(message.id);
      if (message.type === 'error') reject(new Error(`${method}: ${message.error} ${message.message}`));
      else resolve(message.result);
    } else if (message.type === 'event') {
      for (const listener of [...this.#listeners]) listener(message.method, message.params);
    }
  }

  send(method, params = {}) {
    const id = this.#next++;
    return new Promise((resolve, reject) => {
      this.#pending.set(id, { resolve, reject, method });
      this.#ws.send(JSON.stringify({ id, method, params }));
    });
  }

  /** Calls `listener(method, params)` for every event until the returned function is called. */
  on(listener) {
    this.#listeners.add(listener);
    return () => this.#listeners.delete(listener);
  }

  /** The next event `method` whose params pass `accept`. */
  next(method, accept = () => true, timeoutMs = 15000) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => { off(); reject(new Error(`no ${method} event`)); }, timeoutMs);
      const off = this.on((m, params) => {
        if (m === method && accept(params)) { clearTimeout(timer); off(); resolve(params); }
      });
    });
  }

  async close() {
    try {
      this.#ws?.close();
      await fetch(`${this.base}/session/${this.sessionId}`, { method: 'DELETE' });
    } finally {
      this.driver.kill();
    }
  }
}
