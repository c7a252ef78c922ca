// What the browser suites drive: the page library as any page imports it,
// plus a connection by hand that skips the library's own checks, the way a
// hostile page would talk to the content script.
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

window.rawConnection = (id) => {
  const inbox = [];
  let wake = () => {};
  window.addEventListener("message", ({ source, data }) => {
    if (source !== window || data?.direction !== "extension" || data.connection !== id) return;
    inbox.push(data);
    wake();
  });
  return {
    post: (type, extra = {}) => window.postMessage({ channel: lib.CHANNEL, direction: "page", type, connection: id,
                                                     ...extra }, location.origin),
    // The next message of `type` (or the one that says the connection closed).
    async next(type) {
      for (;;) {
        const at = inbox.findIndex((m) => m.type === type || m.type === "closed");
        if (at >= 0) return inbox.splice(at, 1)[0];
        await new Promise((resolve) => { wake = resolve; });
      }
    },
  };
};

document.documentElement.dataset.ready = "true";
