// A frame of the extension's own that the content script puts into a page
// (Chromium only): it passes requests that carry content on to the
// extension's service worker, Blobs by reference. It holds nothing and
// decides nothing; the service worker checks every request's token.
import { CHANNEL } from "./protocol.js";

const worker = navigator.serviceWorker.ready;

window.addEventListener("message", (event) => {
  const message = event.data;
  if (event.source !== window.parent || !message || message.channel !== CHANNEL) return;
  worker.then((registration) => registration.active.postMessage(message));
});
