// SPDX-License-Identifier: MIT
// Keeps the page working offline: exactly the page, its script, worker and
// style, the cipher module and its two WebAssembly files are cached at
// install; nothing else is stored or answered from the cache. Online, the
// network answers first (a changed page is seen at once) and refreshes the
// copy; offline, the copy answers.
const CACHE = 'tav-page-1';
const FILES = [
  'index.html', 'app.js', 'worker.js', 'style.css', 'manifest.webmanifest', 'icon.svg',
  '../js/src/index.js', '../js/src/abi.js', '../js/src/module.js',
  '../js/dist/tavsdk.wasm', '../js/dist/tavsdk-relaxed.wasm',
].map((name) => new URL(name, self.location).href);

self.addEventListener('install', (event) => {
  event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(FILES)).then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
  event.waitUntil(caches.keys()
    .then((names) => Promise.all(names.filter((name) => name !== CACHE).map((name) => caches.delete(name))))
    .then(() => self.clients.claim()));
});

self.addEventListener('fetch', (event) => {
  const url = new URL(event.request.url);
  url.search = ''; // ?workers=N is the same page
  if (url.href === self.registration.scope) url.href += 'index.html'; // the folder is the page
  if (event.request.method !== 'GET' || !FILES.includes(url.href)) return;
  event.respondWith((async () => {
    const cache = await caches.open(CACHE);
    try {
      const response = await fetch(event.request);
      if (response.ok) await cache.put(url.href, response.clone());
      return response;
    } catch (error) {
      const copy = await cache.match(url.href);
      if (copy) return copy;
      throw error;
    }
  })());
});
