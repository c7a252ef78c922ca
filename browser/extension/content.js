// Bridges the page and the extension: window messages of the page library on
// one side, one runtime port per page connection on the other. It runs before
// any script of the page, so that the library's first message is heard.
// The build wraps it, with the protocol inlined, into one classic script.
import { CHANNEL, ErrorCode, MAX_CONNECTION_ID, isSizeError } from "./protocol.js";

const api = globalThis.browser ?? globalThis.chrome;
const ports = new Map();  // connection id -> runtime port

function toPage(connection, message) {
  window.postMessage({ channel: CHANNEL, direction: "extension", connection, ...message },
                     window.location.origin);
}

function open(connection) {
  let port;
  try {
    port = api.runtime.connect({ name: CHANNEL });
  } catch (error) {
    // The extension was updated or removed under this page.
    toPage(connection, { type: "closed", code: ErrorCode.ExtensionMissing,
                         message: `The keltoDataSigned extension is gone from this page: ${error.message}` });
    return;
  }
  toPage(connection, { type: "present" });
  ports.set(connection, port);
  port.onMessage.addListener((message) => toPage(connection, message));
  port.onDisconnect.addListener(() => {
    if (ports.get(connection) !== port) return;
    ports.delete(connection);
    // The background says why before it disconnects; this only covers an
    // extension that was reloaded or removed under the page.
    toPage(connection, { type: "closed", code: ErrorCode.HostDisconnected,
                         message: "The keltoDataSigned extension ended the connection." });
  });
}

function forward(connection, request) {
  const port = ports.get(connection);
  if (!port) return;
  try {
    port.postMessage(request);
  } catch (error) {
    toPage(connection, {
      type: "error",
      contentId: request && typeof request === "object" ? request.contentId : undefined,
      code: isSizeError(error) ? ErrorCode.ContentTooLarge : ErrorCode.HostDisconnected,
      message: error.message,
    });
  }
}

function close(connection) {
  const port = ports.get(connection);
  if (!port) return;
  ports.delete(connection);
  port.disconnect();
}

window.addEventListener("message", (event) => {
  // Only the page's own window, never a frame or another window.
  if (event.source !== window || event.origin !== window.location.origin) return;
  const message = event.data;
  if (!message || typeof message !== "object" || message.channel !== CHANNEL ||
      message.direction !== "page") return;
  const { connection } = message;
  if (typeof connection !== "string" || connection === "" ||
      connection.length > MAX_CONNECTION_ID) return;
  if (message.type === "connect" && !ports.has(connection)) open(connection);
  else if (message.type === "request") forward(connection, message.request);
  else if (message.type === "close") close(connection);
});
