// Firefox offers the promise-based WebExtension API as `browser`, Chromium
// browsers as `chrome`; the calls used here behave alike in both.
export const api = globalThis.browser ?? globalThis.chrome;
