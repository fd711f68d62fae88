// SPDX-License-Identifier: Apache-2.0
// The console is static files; a service worker made from the bundle's own file list keeps
// every one of them, so the page works offline once it has been loaded.
import { defineConfig } from 'vite';

function offlineWorker() {
  return {
    name: 'orvex-offline-worker',
    generateBundle(_options, bundle) {
      const files = ['./', ...Object.keys(bundle).map((name) => `./${name}`), './manifest.webmanifest'];
      this.emitFile({
        type: 'asset',
        fileName: 'sw.js',
        source: `// Generated at build time: the console's files, kept for offline use.
const CACHE = ${JSON.stringify(`reader-console-${Date.now()}`)};
const FILES = ${JSON.stringify(files)};
self.addEventListener('install', (e) => e.waitUntil(caches.open(CACHE).then((c) => c.addAll(FILES)).then(() => self.skipWaiting())));
self.addEventListener('activate', (e) => e.waitUntil(caches.keys().then((keys) => Promise.all(keys.filter((k) => k !== CACHE).map((k) => caches.delete(k)))).then(() => self.clients.claim())));
self.addEventListener('fetch', (e) => {
  if (e.request.method !== 'GET') return;
  e.respondWith(caches.match(e.request, { ignoreSearch: true }).then((hit) => hit || fetch(e.request)));
});
`,
      });
    },
  };
}

export default defineConfig({
  root: __dirname,
  base: './',
  build: { target: 'es2022', outDir: 'dist', emptyOutDir: true, assetsInlineLimit: 0 },
  plugins: [offlineWorker()],
});
