// Asks the person, in a small window of the extension's own, whether an
// origin may use the signing keys. One question per origin at a time: every
// page of that origin waits for the same answer. Closing the window answers
// nothing and is not remembered.
import { api } from "./api.js";
import { Choice, recordDecision } from "./decisions.js";

const pending = new Map();  // origin -> { promise, resolve, windowId }
let keepAlive = null;

export const CONSENT_PAGE = "consent.html";

// A service worker that sees no event for 30 s is stopped, and with it the
// ports of the pages waiting for an answer. Calling an extension API counts
// as activity, so do that while a question is open.
function keepAwakeWhilePending() {
  if (pending.size > 0 && keepAlive === null) {
    keepAlive = setInterval(() => api.runtime.getPlatformInfo(), 20 * 1000);
  } else if (pending.size === 0 && keepAlive !== null) {
    clearInterval(keepAlive);
    keepAlive = null;
  }
}

function settle(origin, choice) {
  const entry = pending.get(origin);
  if (!entry) return;
  pending.delete(origin);
  keepAwakeWhilePending();
  if (entry.windowId !== null) api.windows.remove(entry.windowId).catch(() => {});
  entry.resolve(choice);
}

/** Resolves with "allow", "deny", or null when the window was closed unanswered. */
export function askPerson(origin) {
  const open = pending.get(origin);
  if (open) {
    if (open.windowId !== null) api.windows.update(open.windowId, { focused: true }).catch(() => {});
    return open.promise;
  }
  const entry = { promise: null, resolve: null, windowId: null, answered: false };
  entry.promise = new Promise((resolve) => { entry.resolve = resolve; });
  pending.set(origin, entry);
  keepAwakeWhilePending();
  const url = api.runtime.getURL(`${CONSENT_PAGE}?origin=${encodeURIComponent(origin)}`);
  api.windows.create({ url, type: "popup", width: 480, height: 320 }).then((created) => {
    if (pending.get(origin) === entry) entry.windowId = created.id;
    else api.windows.remove(created.id).catch(() => {});
  }, () => settle(origin, null));
  return entry.promise;
}

/** The consent page's answer; only an open question can be answered. */
export async function answer(origin, choice) {
  const entry = pending.get(origin);
  if (!entry || entry.answered || !Object.values(Choice).includes(choice)) return;
  entry.answered = true;  // the window may close while the answer is stored
  await recordDecision(origin, choice);
  settle(origin, choice);
}

export function windowClosed(windowId) {
  for (const [origin, entry] of pending) {
    if (entry.windowId === windowId && !entry.answered) settle(origin, null);
  }
}
