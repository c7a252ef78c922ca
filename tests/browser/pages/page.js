// What the browser suites drive: the page library as any page imports it,
// and an ear on what the content script tells the page.
import * as lib from "/lib/keltoDataSigned.js";

window.lib = lib;

// Runs fn; returns { ok } or { error } with the fields of a DataSignedError,
// which would not survive the trip back to the test otherwise.
window.attempt = async (fn) => {
  try {
    return { ok: await fn() };
  } catch (e) {
    return { error: { code: e.code, reason: e.reason, message: e.message, description: e.description } };
  }
};

// Everything the content script tells the page, as a hostile page would hear it.
window.heard = [];
window.addEventListener("message", ({ source, data }) => {
  if (source === window && data?.direction === "extension") heard.push(data);
});

document.documentElement.dataset.ready = "true";
