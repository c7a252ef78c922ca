// Asks the person, in a small window of the extension's own, whether an
// origin may use the signing keys.
//
// A question lives only while a page connection waits for its answer: every
// connection of that origin waits for the same window, and when the last of
// them goes (its page navigates, reloads or closes) the window closes
// unanswered. A tab waits on one question at most, so a page that hops from
// origin to origin replaces its question instead of stacking windows. A
// waiting page cannot bring the window forward again either: a window that
// jumps up on the page's command could be timed to appear under the
// person's cursor (the window itself also ignores clicks until it has been
// shown for a moment). Closing the window answers nothing and is not
// remembered.
import { api } from "./api.js";
import { Choice, recordDecision } from "./decisions.js";

const questions = new Map();  // origin -> { waiters: Set<{ tabId, resolve }>, windowId, answered }
let keepAlive = null;

export const CONSENT_PAGE = "consent.html";

// A service worker that sees no event for 30 s is stopped, and with it the
// ports of the pages waiting for an answer. Calling an extension API counts
// as activity, so do that while a question is open.
function keepAwakeWhileAsking() {
  if (questions.size > 0 && keepAlive === null) {
    keepAlive = setInterval(() => api.runtime.getPlatformInfo().catch(() => {}), 20 * 1000);
  } else if (questions.size === 0 && keepAlive !== null) {
    clearInterval(keepAlive);
    keepAlive = null;
  }
}

function closeWindow(windowId) {
  if (windowId !== null) api.windows.remove(windowId).catch(() => {});  // closed by the person already
}

function settle(origin, choice) {
  const question = questions.get(origin);
  if (!question) return;
  questions.delete(origin);
  keepAwakeWhileAsking();
  closeWindow(question.windowId);
  for (const waiter of question.waiters) waiter.resolve(choice);
}

// One connection stops waiting; the question goes with its last waiter
// unless the answer is already being stored.
function leave(origin, waiter) {
  const question = questions.get(origin);
  if (!question || !question.waiters.delete(waiter)) return;
  waiter.resolve(null);
  if (question.waiters.size === 0 && !question.answered) settle(origin, null);
}

function openQuestion(origin) {
  const question = { waiters: new Set(), windowId: null, answered: false };
  questions.set(origin, question);
  keepAwakeWhileAsking();
  const url = api.runtime.getURL(`${CONSENT_PAGE}?origin=${encodeURIComponent(origin)}`);
  api.windows.create({ url, type: "popup", width: 480, height: 320 }).then((created) => {
    if (questions.get(origin) === question) question.windowId = created.id;
    else closeWindow(created.id);  // nobody waits any more
  }, () => settle(origin, null));
  return question;
}

/**
 * Asks about `origin` for a page connection of tab `tabId`. `answer`
 * resolves with "allow", "deny", or null when the question ended unanswered
 * (window closed, replaced by another question of the tab, or withdrawn);
 * `withdraw()` ends this connection's wait.
 */
export function askPerson(origin, tabId) {
  for (const [other, question] of questions) {
    if (other === origin) continue;
    for (const waiter of question.waiters) if (waiter.tabId === tabId) leave(other, waiter);
  }
  const question = questions.get(origin) ?? openQuestion(origin);
  const waiter = { tabId, resolve: null };
  const answer = new Promise((resolve) => { waiter.resolve = resolve; });
  question.waiters.add(waiter);
  return { answer, withdraw: () => leave(origin, waiter) };
}

/** The consent page's answer; only an open question can be answered. */
export async function answer(origin, choice) {
  const question = questions.get(origin);
  if (!question || question.answered || !Object.values(Choice).includes(choice)) return;
  question.answered = true;  // the window may close, or its pages go, while the answer is stored
  try {
    await recordDecision(origin, choice);
  } finally {
    settle(origin, choice);
  }
}

export function windowClosed(windowId) {
  for (const [origin, question] of questions) {
    if (question.windowId === windowId && !question.answered) settle(origin, null);
  }
}
