// Bridges the page and the extension: window messages of the page library on
// one side, one runtime port per page connection on the other. It runs before
// any script of the page, so that the library's first message is heard.
// The build wraps it, with the protocol inlined, into one classic script.
import { CHANNEL, ErrorCode, MAX_CONNECTION_ID, isSizeError } from "./protocol.js";

const api = globalThis.browser ?? globalThis.chrome;
const ports = new Map();  // connection id -> runtime port
const tokens = new Map();  // connection id -> token of its content through the transport frame
let frame = null;  // the transport frame (Chromium), made when content first needs it

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
  port.onMessage.addListener((message) => {
    // The token is for this script alone: the page has no use for it.
    if (message && message.type === "transport") tokens.set(connection, message.token);
    else toPage(connection, message);
  });
  port.onDisconnect.addListener(() => {
    if (ports.get(connection) !== port) return;
    ports.delete(connection);
    tokens.delete(connection);
    // The background says why before it disconnects; this only covers an
    // extension that was reloaded or removed under the page.
    toPage(connection, { type: "closed", code: ErrorCode.HostDisconnected,
                         message: "The keltoDataSigned extension ended the connection." });
  });
}

// The extension's transport frame, loaded; made again if the page removed it.
function transportFrame() {
  if (!frame || !frame.element.isConnected) {
    const element = document.createElement("iframe");
    element.style.display = "none";
    element.src = api.runtime.getURL("transport.html");
    const loaded = new Promise((resolve) => element.addEventListener("load", () => resolve(element), { once: true }));
    document.documentElement.append(element);
    frame = { element, loaded };
  }
  return frame.loaded;
}

function forward(connection, request, content) {
  const port = ports.get(connection);
  if (!port) return;
  const token = tokens.get(connection);
  const withContent = content === undefined || !request || typeof request !== "object" ? request
    : { ...request, content };
  if (content !== undefined && token) {
    transportFrame().then((element) => element.contentWindow.postMessage(
      { channel: CHANNEL, token, request: withContent }, new URL(element.src).origin));
    return;
  }
  try {
    port.postMessage(withContent);
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
  tokens.delete(connection);
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
  else if (message.type === "request") forward(connection, message.request, message.content);
  else if (message.type === "close") close(connection);
});
