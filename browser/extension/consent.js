// The consent window: shows the asking origin and sends the person's answer
// to the background, which stores it and closes this window.
import { api } from "./background/api.js";
import { localise } from "./pages.js";

localise();
const origin = new URLSearchParams(window.location.search).get("origin") ?? "";
document.getElementById("origin").textContent = origin;
document.title = `${document.title}: ${origin}`;

function send(choice) {
  for (const button of document.querySelectorAll("button")) button.disabled = true;
  api.runtime.sendMessage({ type: "consent", origin, choice }).catch(() => window.close());
}

document.getElementById("allow").addEventListener("click", () => send("allow"));
document.getElementById("deny").addEventListener("click", () => send("deny"));
document.body.dataset.ready = "true";
