// The consent window: shows the asking origin and sends the person's answer
// to the background, which stores it and closes this window.
//
// The buttons take no click until the window has been shown and focused for
// a moment, and again after it comes back into focus: a page that makes the
// window appear cannot have it appear under a click meant for the page.
import { api } from "./background/api.js";
import { localise } from "./pages.js";

const ARMING_DELAY_MS = 1000;

localise();
const origin = new URLSearchParams(window.location.search).get("origin") ?? "";
document.getElementById("origin").textContent = origin;
document.title = `${document.title}: ${origin}`;
const buttons = [...document.querySelectorAll("button")];
let answered = false;
let arming = null;

function rearm() {
  clearTimeout(arming);
  for (const button of buttons) button.disabled = true;
  if (answered || document.visibilityState !== "visible" || !document.hasFocus()) return;
  arming = setTimeout(() => {
    for (const button of buttons) button.disabled = false;
  }, ARMING_DELAY_MS);
}

function send(choice) {
  answered = true;
  rearm();
  api.runtime.sendMessage({ type: "consent", origin, choice }).catch(() => window.close());
}

document.getElementById("allow").addEventListener("click", () => send("allow"));
document.getElementById("deny").addEventListener("click", () => send("deny"));
window.addEventListener("focus", rearm);
window.addEventListener("blur", rearm);
document.addEventListener("visibilitychange", rearm);
rearm();
document.body.dataset.ready = "true";
