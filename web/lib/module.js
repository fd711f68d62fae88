// SPDX-License-Identifier: Apache-2.0
// Loads the WebAssembly module once. The wasm bytes are read here (a file in Node, a fetch
// in a page or a bundle), so the loader never has to find them on its own.
import createOrvexModule from '../dist/orvex.mjs';

async function wasmBytes() {
  const url = new URL('../dist/orvex.wasm', import.meta.url);
  if (url.protocol === 'file:') {
    const fs = 'node:fs/promises';
    const { readFile } = await import(/* @vite-ignore */ fs);
    return readFile(url);
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`cannot load ${url}: HTTP ${response.status}`);
  return new Uint8Array(await response.arrayBuffer());
}

export const wasm = await createOrvexModule({ wasmBinary: await wasmBytes() });
