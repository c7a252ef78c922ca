// What the browser suites drive: the page library as any page imports it,
// plus a connection by hand that skips the library's own checks, the way a
// hostile page would talk to the content script.
import * as lib from "/lib/keltoDataSigned.js";

window.lib = lib;

// Runs fn; returns { ok } or { error } with the fields of a DataSignedError,
// which would not survive the trip back to the test otherwise, and all the
// error carries as JSON (what a page would send to an error tracker).
window.attempt = async (fn) => {
  try {
    return { ok: await fn() };
  } catch (e) {
    return { error: { code: e.code, reason: e.reason, message: e.message, description: e.description, action: e.action,
                      reply: e.reply, json: JSON.stringify(e) } };
  }
};

window.rawConnection = (id) => {
  const inbox = [];
  const waiters = [];
  window.addEventListener("message", (event) => {
    const m = event.data;
    if (event.source !== window || !m || m.direction !== "extension" || m.connection !== id) return;
    inbox.push(m);
    while (waiters.length) waiters.shift()();
  });
  const post = (type, extra = {}) =>
    window.postMessage({ channel: lib.CHANNEL, direction: "page", type, connection: id, ...extra },
                       location.origin);
  return {
    post,
    async next(type) {
      for (;;) {
        const at = inbox.findIndex((m) => m.type === type || m.type === "closed");
        if (at >= 0) return inbox.splice(at, 1)[0];
        await new Promise((resolve) => waiters.push(resolve));
      }
    },
  };
};

document.documentElement.dataset.ready = "true";
