// SPDX-License-Identifier: Apache-2.0
// The reader console, built, in headless Chromium on the simulated reader: a whole session
// as a person does it, checked through what the page shows.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdir, readFile } from 'node:fs/promises';
import { fileURLToPath } from 'node:url';
import { join } from 'node:path';
import { launch, OUTPUT } from './browser.mjs';
import { serve } from './serve.mjs';

const DIST = fileURLToPath(new URL('../console/dist/', import.meta.url));

let browser;
let server;
let context;
let page;

before(async () => {
  await mkdir(OUTPUT, { recursive: true });
  server = await serve(DIST);
  browser = await launch();
  // A phone-sized screen.
  context = await browser.newContext({ viewport: { width: 390, height: 844 }, acceptDownloads: true });
  page = await context.newPage();
});

after(async () => {
  await browser?.close();
  await server?.close();
});

const message = () => page.locator('#message');

test('a whole session on the simulated reader, as the page shows it', async (t) => {
  await page.goto(server.url);
  await page.getByRole('button', { name: 'Simulated reader' }).click();
  await page.locator('#state[data-state="connected"]').waitFor();
  assert.equal(await page.locator('#version').textContent(), 'KX100-M 2.4.1');
  assert.match(await page.locator('#battery').textContent(), /^\d+ %$/);

  await t.test('a scan shows the tag with its owner contact and fills in the write form', async () => {
    await page.getByRole('button', { name: 'Scan' }).click();
    const first = page.locator('#readings li').first();
    await first.waitFor();
    const loadToReading = await page.evaluate(() => performance.now());
    console.log(`# page load to a simulated reading on the screen: ${Math.round(loadToReading)} ms`);
    assert.equal(await first.locator('.id').textContent(), '999 000000012345 · FDXB');
    assert.equal(await first.locator('.contact').textContent(), '+44 7946 0001 · OWNER@EXAMPLE.COM');
    assert.equal(await page.locator('#write-tag').inputValue(), '999 000000012345');
  });

  await t.test('a written contact reads back on the next scan', async () => {
    await page.getByLabel('Phone').fill('+44 7946 0999');
    await page.getByLabel('E-mail').fill('new.owner@example.org');
    await page.getByRole('button', { name: 'Write contact' }).click();
    await page.locator('#write-result.ok').waitFor();
    assert.equal(await page.locator('#write-result').textContent(), 'Contact written.');
    await page.getByRole('button', { name: 'Scan' }).click();
    await page.locator('#readings li').nth(1).waitFor();
    assert.equal(await page.locator('#readings li').first().locator('.contact').textContent(),
      '+44 7946 0999 · NEW.OWNER@EXAMPLE.ORG');
  });

  await t.test('the export lists the stored readings and downloads them as CSV', async () => {
    await page.getByRole('button', { name: 'Export from reader' }).click();
    await page.locator('#download:not([disabled])').waitFor({ timeout: 15000 });
    const rows = await page.locator('#export-table tbody tr').allTextContents();
    assert.ok(rows.length >= 3, `three stored readings at least, got ${rows.length}`);
    const [download] = await Promise.all([
      page.waitForEvent('download'),
      page.getByRole('button', { name: 'Download CSV' }).click(),
    ]);
    assert.equal(download.suggestedFilename(), 'readings.csv');
    const saved = join(OUTPUT, 'readings.csv');
    await download.saveAs(saved);
    const lines = (await readFile(saved, 'utf8')).trim().split('\n');
    assert.equal(lines[0], 'number,tag,type,phone,email');
    assert.equal(lines.length, rows.length + 1);
    assert.ok(lines.some((l) => l.includes('999 000000012345,FDXB')), lines.join('\n'));
  });

  await t.test('a micro-app update shows its progress and ends installed', async () => {
    const image = Buffer.alloc(16 + 80 * 12, 0x5a);
    await page.setInputFiles('#update-file', { name: 'microapp.bin', mimeType: 'application/octet-stream', buffer: image });
    // The bar's values as the page shows them, sampled on every change.
    await page.evaluate(() => {
      window.progressSeen = [];
      new MutationObserver(() => {
        const bar = document.getElementById('update-progress');
        window.progressSeen.push([bar.value, bar.max]);
      }).observe(document.getElementById('update-progress'), { attributes: true });
      const bar = document.getElementById('update-progress');
      for (const key of ['value', 'max']) {
        const proto = Object.getOwnPropertyDescriptor(HTMLProgressElement.prototype, key);
        Object.defineProperty(bar, key, {
          get() { return proto.get.call(this); },
          set(v) { proto.set.call(this, v); window.progressSeen.push([this.value, this.max]); },
        });
      }
    });
    await page.getByRole('button', { name: 'Install' }).click();
    await page.locator('#update-result.ok').waitFor({ timeout: 20000 });
    assert.equal(await page.locator('#update-result').textContent(), 'Micro app installed.');
    const seen = await page.evaluate(() => window.progressSeen);
    const partial = seen.filter(([value, max]) => max === 12 && value > 0 && value < 12);
    assert.ok(partial.length > 0, `the bar moved through the upload: ${JSON.stringify(seen)}`);
    assert.equal(await page.locator('#update-progress').evaluate((bar) => bar.value), 12);
    assert.equal(await page.locator('#state').getAttribute('data-state'), 'connected');
    await page.screenshot({ path: join(OUTPUT, 'console-session.png'), fullPage: true });
  });

  await t.test('a reader switched off is reported, and the page offers to connect again', async () => {
    await page.getByRole('button', { name: 'Switch reader off' }).click();
    await page.locator('#state[data-state="idle"]').waitFor();
    assert.match(await message().textContent(), /The reader is gone/);
    assert.ok(await page.getByRole('button', { name: 'Simulated reader' }).isVisible());
    assert.ok(await page.getByRole('button', { name: 'Scan' }).isDisabled());
  });
});

test('without Web Bluetooth the page says which browsers can connect', async () => {
  // Headless Chromium without the experimental flag has no navigator.bluetooth.
  const fresh = await context.newPage();
  await fresh.goto(server.url);
  await fresh.getByRole('button', { name: 'Connect reader' }).click();
  await fresh.locator('#message.error').waitFor();
  assert.match(await fresh.locator('#message').textContent(), /cannot talk to Bluetooth readers.*Chrome or Edge/);
  await fresh.close();
});

test('once loaded, the page comes back offline', async () => {
  const fresh = await context.newPage();
  await fresh.goto(server.url);
  await fresh.evaluate(() => navigator.serviceWorker.ready);
  await fresh.reload();  // now under the worker's control
  await context.setOffline(true);
  try {
    await fresh.reload();
    await fresh.getByRole('button', { name: 'Simulated reader' }).click();
    await fresh.locator('#state[data-state="connected"]').waitFor();
  } finally {
    await context.setOffline(false);
    await fresh.close();
  }
});
