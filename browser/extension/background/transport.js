// How content to sign reaches the background. It travels as a Blob, which
// the browsers pass between processes by reference, so that tens of MiB cost
// no copy and no JSON on the way: the background reads and encodes it itself
// and posts it to the host.
//
// Firefox clones a Blob through the content script's runtime port. Chromium's
// runtime ports carry JSON only, so there the content script hands a request
// with content to a frame of the extension's own in the page
// (transport.html), which posts it to this service worker, and a Blob posted
// to a service worker travels by reference. Any page can load that frame and
// make it post to the worker, so a request through it counts only with the
// token that the background gave the connection's content script over the
// connection's runtime port, which no page reaches.
import { api } from "./api.js";

const TRANSPORT_PAGE = "transport.html";

const byToken = new Map();  // token -> PageConnection
const viaFrame = typeof ServiceWorkerGlobalScope !== "undefined" && globalThis instanceof ServiceWorkerGlobalScope;

/** The token a connection's content script sends its content with, or null where the port carries it. */
export function contentToken(connection) {
  if (!viaFrame) return null;
  const token = crypto.randomUUID();
  byToken.set(token, connection);
  return token;
}

export function forgetToken(token) {
  byToken.delete(token);
}

if (viaFrame) {
  self.addEventListener("message", (event) => {
    const source = event.source && typeof event.source.url === "string" ? event.source.url : "";
    if (!source.startsWith(api.runtime.getURL(TRANSPORT_PAGE))) return;
    const message = event.data;
    const connection = message && typeof message.token === "string" ? byToken.get(message.token) : undefined;
    if (connection) connection.fromPage(message.request);
  });
}
