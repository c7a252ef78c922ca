// The person's answers per origin, and the origins an administrator allowed
// through managed storage (browser policy).
//
// Answers live in the extension's own IndexedDB: only the extension's pages
// and its background share that origin, while the content scripts, which run
// inside web pages, can read and write the extension's storage.local in both
// browsers (Firefox offers no access level for it). A compromised page must
// not be able to allow itself. Earlier versions kept the answers in
// storage.local; they are carried over once, when the database is made, and
// never read from there again.
import { api } from "./api.js";
import { normaliseOrigin } from "./origins.js";

export const Choice = Object.freeze({ Allow: "allow", Deny: "deny" });

const DATABASE = "keltoDataSigned";
const ANSWERS = "decisions";  // { origin, choice, decidedAt }, keyed by origin
const LEGACY_PREFIX = "origin:";
// Every context of the extension that changes an answer says so here, and
// the background (to end connections whose permission went) and the options
// page (to show it) listen. Web pages have other origins and cannot post here.
const CHANGES = "keltoDataSigned.decisions";

const isChoice = (value) => Object.values(Choice).includes(value);

function settled(request) {
  return new Promise((resolve, reject) => {
    request.onsuccess = () => resolve(request.result);
    request.onerror = () => reject(request.error);
  });
}

function committed(transaction) {
  return new Promise((resolve, reject) => {
    transaction.oncomplete = () => resolve();
    transaction.onerror = transaction.onabort = () => reject(transaction.error ?? new Error("aborted"));
  });
}

// The answers an earlier version left in storage.local go into the new
// database in the upgrade transaction that creates it, so they are carried
// over exactly once; they are then removed from there.
async function legacyAnswers() {
  const all = await api.storage.local.get(null);
  const keys = Object.keys(all).filter((key) => key.startsWith(LEGACY_PREFIX));
  const answers = keys.map((key) => ({ origin: key.slice(LEGACY_PREFIX.length), ...all[key] }))
    .filter((entry) => normaliseOrigin(entry.origin) === entry.origin && isChoice(entry.choice));
  return { keys, answers };
}

async function openDatabase() {
  const legacy = await legacyAnswers();
  const request = indexedDB.open(DATABASE, 1);
  request.onupgradeneeded = () => {
    const answers = request.result.createObjectStore(ANSWERS, { keyPath: "origin" });
    for (const { origin, choice, decidedAt } of legacy.answers) {
      answers.put({ origin, choice, decidedAt: Number.isFinite(decidedAt) ? decidedAt : Date.now() });
    }
  };
  const db = await settled(request);
  // Another context deleting or upgrading the database: let it, open again later.
  db.onversionchange = () => {
    db.close();
    opened = null;
  };
  if (legacy.keys.length > 0) await api.storage.local.remove(legacy.keys);
  return db;
}

let opened = null;

async function store(mode) {
  opened ??= openDatabase();
  try {
    return (await opened).transaction(ANSWERS, mode);
  } catch (error) {
    opened = null;  // try again next time
    throw error;
  }
}

export async function managedOrigins() {
  try {
    const { allowedOrigins } = await api.storage.managed.get("allowedOrigins");
    if (!Array.isArray(allowedOrigins)) return [];
    return allowedOrigins.map(normaliseOrigin).filter((origin) => origin !== null);
  } catch {
    return [];  // no policy at all: Firefox reports that as an error
  }
}

/** { origin: "allow" | "deny" } for every origin the person answered for. */
export async function storedDecisions() {
  const transaction = await store("readonly");
  const all = await settled(transaction.objectStore(ANSWERS).getAll());
  return Object.fromEntries(all.filter((entry) => isChoice(entry.choice))
    .map((entry) => [entry.origin, entry.choice]));
}

/** "allow", "deny", or undefined when nobody has decided yet. */
export async function decisionFor(origin) {
  if ((await managedOrigins()).includes(origin)) return Choice.Allow;
  const transaction = await store("readonly");
  const entry = await settled(transaction.objectStore(ANSWERS).get(origin));
  return entry && isChoice(entry.choice) ? entry.choice : undefined;
}

async function change(work) {
  const transaction = await store("readwrite");
  work(transaction.objectStore(ANSWERS));
  await committed(transaction);
  const channel = new BroadcastChannel(CHANGES);
  channel.postMessage("changed");
  channel.close();
}

export function recordDecision(origin, choice) {
  return change((answers) => answers.put({ origin, choice, decidedAt: Date.now() }));
}

export function forgetDecision(origin) {
  return change((answers) => answers.delete(origin));
}

/** Calls `listener` whenever an answer or the administrator's list changes. */
export function onDecisionsChanged(listener) {
  new BroadcastChannel(CHANGES).onmessage = () => listener();
  api.storage.onChanged.addListener((changes, area) => {
    if (area === "managed") listener();
  });
}
