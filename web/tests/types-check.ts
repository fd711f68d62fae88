// SPDX-License-Identifier: Apache-2.0
// Compiled by `tsc --noEmit` only: the declarations carry a whole session.
import { Contact, Disconnected, Reader, ScanFailed, type Reading } from '../lib/index.js';

export async function session(): Promise<string[]> {
  const reader = await Reader.connect({ sim: { batteryRaw: 134, tagInField: 0 } });
  reader.addEventListener('disconnect', (event) => console.log(event.detail.cause));
  const lines = [`${reader.version} ${reader.battery}%`];
  try {
    const reading: Reading = await reader.scan({ timeout: 5 });
    const written = await reader.writeContact({ tag: reading.id, phone: '+44 7946 0002', email: 'X@Y.Z' });
    if (!written.ok) lines.push(written.status);
    for await (const { number, reading: r } of reader.exportRecords({ quiet: 1 })) {
      lines.push(`${number} ${r?.id ?? '?'} ${r?.contact?.email.trim() ?? ''}`);
    }
    await reader.updateMicroApp(new Uint8Array(96), (slice, slices) => lines.push(`${slice}/${slices}`));
  } catch (error) {
    if (error instanceof ScanFailed || error instanceof Disconnected) lines.push(error.code ?? error.name);
    else throw error;
  } finally {
    await reader.close();
  }
  const record: Uint8Array = Contact.encode('+44 7946 0001', 'A@B.C');
  lines.push(Contact.decode(record)?.phone ?? 'bad record');
  return lines;
}
