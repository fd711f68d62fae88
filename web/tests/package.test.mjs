// SPDX-License-Identifier: Apache-2.0
// The packed tarball installs into an empty folder, and the README's example runs from there
// in Node, and in a page in headless Chromium: a whole session with the simulated reader.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtemp, readdir, readFile, rm, writeFile } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { launch } from './browser.mjs';
import { serve } from './serve.mjs';

const WEB = fileURLToPath(new URL('..', import.meta.url));

async function readmeExample() {
  const readme = await readFile(join(WEB, 'README.md'), 'utf8');
  return readme.match(/```js\n([\s\S]*?)```/)[1];
}

test('the README example runs a simulated session from the installed tarball', async () => {
  const folder = await mkdtemp(join(tmpdir(), 'orvex-npm-'));
  try {
    execFileSync('npm', ['pack', '--silent', '--pack-destination', folder], { cwd: WEB });
    const [tarball] = (await readdir(folder)).filter((f) => f.endsWith('.tgz'));
    assert.ok(tarball, 'npm pack made a tarball');
    execFileSync('npm', ['install', '--no-audit', '--no-fund', '--offline', `./${tarball}`], { cwd: folder });
    const example = await readmeExample();
    assert.ok(example.trim().split('\n').length <= 10, 'the example has ten lines at most');
    await writeFile(join(folder, 'example.mjs'), example);
    let out;
    try {
      out = execFileSync('node', ['example.mjs'], { cwd: folder, encoding: 'utf8', timeout: 60000 });
    } catch (error) {
      assert.fail(`the example failed:\n${error.stdout}\n${error.stderr}`);
    }
    const lines = out.trim().split('\n');
    assert.match(lines[0], /^KX100-M .* \d+ %$/);
    assert.match(lines[1], /^999 000000012345 \+44 7946 0001 OWNER@EXAMPLE\.COM/);
    assert.ok(lines.some((l) => /^1 999 000000012345$/.test(l)), out);
    assert.match(lines.at(-1), /^written: true \{ phone: '\+1 555 0100 *', email: 'A@B\.C *' \}$/);
  } finally {
    await rm(folder, { recursive: true, force: true });
  }
});

test('the README example runs a simulated session in a page', async () => {
  const server = await serve(WEB);
  const browser = await launch();
  try {
    const page = await browser.newPage();
    const lines = [];
    page.on('console', (m) => { if (m.type() === 'log') lines.push(m.text()); });
    await page.goto(`${server.url}tests/blank.html`);
    // The page has no package resolution: the example imports the package's own entry point.
    const example = (await readmeExample()).replace("from 'orvex'", `from '${server.url}lib/index.js'`);
    await page.evaluate(async (code) => {
      await import(URL.createObjectURL(new Blob([code], { type: 'text/javascript' })));
    }, example);
    assert.match(lines[0], /^KX100-M .* \d+ %$/, lines.join('\n'));
    assert.match(lines[1], /^999 000000012345 \+44 7946 0001 OWNER@EXAMPLE\.COM/, lines.join('\n'));
    assert.ok(lines.some((l) => /^1 999 000000012345$/.test(l)), lines.join('\n'));
    assert.match(lines.at(-1), /^written: true /, lines.join('\n'));
  } finally {
    await browser.close();
    await server.close();
  }
});
