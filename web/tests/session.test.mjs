// SPDX-License-Identifier: Apache-2.0
// The package's session API in Node on the simulated reader: what a host sees when things go
// wrong as well as right.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Disconnected, Reader, ScanFailed, UpdateFailed } from '../lib/index.js';

test('a scan with no tag in the field fails with ScanFailed and the session goes on', async () => {
  const reader = await Reader.connect({ sim: { tagInField: null } });
  try {
    await assert.rejects(reader.scan({ timeout: 30 }), ScanFailed);
    reader.sim.setTagInField(0);
    assert.equal((await reader.scan()).id, '999 000000012345');
  } finally {
    await reader.close();
  }
});

test('a write to a tag that refuses it resolves not ok, with the library status name', async () => {
  const reader = await Reader.connect({ sim: { tags: [{ writable: false, contact: null }] } });
  try {
    const outcome = await reader.writeContact({ tag: '999 000000012345', phone: '+1', email: 'A@B' });
    assert.equal(outcome.ok, false);
    assert.notEqual(outcome.status, 'success');
  } finally {
    await reader.close();
  }
});

test('a reader that goes away ends readings() with Disconnected and sends one disconnect event', async () => {
  const reader = await Reader.connect({ sim: true });
  const causes = [];
  reader.addEventListener('disconnect', (event) => causes.push(event.detail.cause));
  const readings = reader.readings();
  reader.sim.triggerReading();
  assert.equal((await readings.next()).value.id, '999 000000012345');
  reader.sim.dropConnection();
  await assert.rejects(readings.next(), (error) => error instanceof Disconnected && error.code === 'connectionInterrupted');
  assert.deepEqual(causes, ['connectionInterrupted']);
  assert.equal(reader.isConnected, false);
  await assert.rejects(reader.scan(), Disconnected);
  await reader.close();
});

test('a micro-app update reports every slice in order and leaves the reader connected', async () => {
  const reader = await Reader.connect({ sim: { microAppCurrent: false } });
  try {
    const progress = [];
    const status = await reader.updateMicroApp(new Uint8Array(16 + 80 * 5).fill(7),
      (slice, slices) => progress.push(`${slice}/${slices}`));
    assert.equal(status, 'successful');
    assert.deepEqual(progress, ['0/5', '1/5', '2/5', '3/5', '4/5', '5/5']);
    assert.ok(reader.isConnected);
    assert.equal((await reader.scan()).id, '999 000000012345');
    // The reader's micro app is current now: a second update has nothing to do.
    assert.equal(await reader.updateMicroApp(new Uint8Array(96)), 'current');
  } finally {
    await reader.close();
  }
});

test('an image the library cannot use fails the update with the library status name', async () => {
  const reader = await Reader.connect({ sim: { microAppCurrent: false } });
  try {
    await assert.rejects(reader.updateMicroApp(new Uint8Array(3)),
      (error) => error instanceof UpdateFailed && typeof error.code === 'string' && error.code !== 'successful');
    assert.ok(reader.isConnected);
  } finally {
    await reader.close();
  }
});
