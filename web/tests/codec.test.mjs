// SPDX-License-Identifier: Apache-2.0
// The contact codec compiled to WebAssembly, run in Chromium, gives the same bytes and texts
// as the C++ command-line tool, in both directions.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import { launch } from './browser.mjs';
import { serve } from './serve.mjs';

const TOOL = process.env.ORVEX_TOOL;
const WEB = fileURLToPath(new URL('..', import.meta.url));

// Contacts that exercise the record: a plain one, the "+" flag, lower case, cut and padded
// texts, characters outside the record's alphabet, and empty texts.
const CONTACTS = [
  { case: 'a full number and address', phone: '+44 7946 0001', email: 'OWNER@EXAMPLE.COM' },
  { case: 'no plus sign', phone: '447946000123', email: 'VET.CLINIC@MAIL.CO' },
  { case: 'lower case e-mail', phone: '+1 555 0100', email: 'someone@example.org' },
  { case: 'texts longer than the record', phone: '+4479460001234567', email: 'A.VERY.LONG.ADDRESS@SUBDOMAIN.EXAMPLE.COM' },
  { case: 'characters outside the alphabet', phone: '+44-(0)79x', email: 'ÄÖ!#$%&*=?^{}|~@X.Y' },
  { case: 'empty texts', phone: '', email: '' },
  { case: 'only the plus sign', phone: '+', email: '_-+.@' },
];

const hex = (bytes) => Buffer.from(bytes).toString('hex').toUpperCase();
const tool = (...args) => execFileSync(TOOL, args, { encoding: 'utf8' }).trim();

let browser;
let server;
let page;

before(async () => {
  assert.ok(TOOL, 'ORVEX_TOOL must name the orvex command-line tool of a native build');
  server = await serve(WEB);
  browser = await launch();
  page = await browser.newPage();
  await page.goto(`${server.url}tests/blank.html`);
  await page.evaluate(async () => { window.orvex = await import('/lib/index.js'); });
});

after(async () => {
  await browser?.close();
  await server?.close();
});

test('every contact encodes to the same record in the page as in the tool', async () => {
  const inPage = await page.evaluate((contacts) => contacts.map(
    ({ phone, email }) => Array.from(window.orvex.Contact.encode(phone, email))), CONTACTS);
  for (const [i, contact] of CONTACTS.entries()) {
    const fromTool = tool('contact', 'encode', '--', contact.phone, contact.email).replace(/\s/g, '').toUpperCase();
    assert.equal(hex(inPage[i]), fromTool, contact.case);
  }
});

test('the records the tool makes decode in the page to the texts the tool decodes', async () => {
  const records = CONTACTS.map((c) => tool('contact', 'encode', '--', c.phone, c.email).replace(/\s/g, ''));
  const inPage = await page.evaluate((list) => list.map(
    (h) => window.orvex.Contact.decode(Uint8Array.from(h.match(/../g).map((b) => parseInt(b, 16))))), records);
  for (const [i, record] of records.entries()) {
    // The tool prints the library's field names: the e-mail text is `name`.
    const { phone, name } = JSON.parse(tool('contact', 'decode', record));
    assert.deepEqual(inPage[i], { phone, email: name }, CONTACTS[i].case);
  }
});

test('a record with a broken checksum or too few bytes is refused in the page and by the tool', async () => {
  const good = tool('contact', 'encode', '--', '+44 7946 0001', 'OWNER@EXAMPLE.COM').replace(/\s/g, '');
  const broken = good.slice(0, 34) + ((parseInt(good.slice(34, 36), 16) ^ 0x01).toString(16).padStart(2, '0')) + good.slice(36);
  const short = good.slice(0, 46);
  const inPage = await page.evaluate((list) => list.map(
    (h) => window.orvex.Contact.decode(Uint8Array.from(h.match(/../g).map((b) => parseInt(b, 16))))), [broken, short]);
  assert.deepEqual(inPage, [null, null]);
  assert.equal(spawnSync(TOOL, ['contact', 'decode', broken]).status, 1, 'the tool refuses the checksum');
  assert.equal(spawnSync(TOOL, ['contact', 'decode', short]).status, 2, 'the tool refuses the length');
});
