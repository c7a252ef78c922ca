// The person's answers per origin, kept in the extension's local storage one
// key per origin (so that the background recording an answer and the options
// page revoking another never overwrite each other), and the origins an
// administrator allowed through managed storage (browser policy).
import { api } from "./api.js";
import { normaliseOrigin } from "./origins.js";

const PREFIX = "origin:";
export const Choice = Object.freeze({ Allow: "allow", Deny: "deny" });

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
  const all = await api.storage.local.get(null);
  const decisions = {};
  for (const [key, value] of Object.entries(all)) {
    if (key.startsWith(PREFIX) && value && Object.values(Choice).includes(value.choice)) {
      decisions[key.slice(PREFIX.length)] = value.choice;
    }
  }
  return decisions;
}

/** "allow", "deny", or undefined when nobody has decided yet. */
export async function decisionFor(origin) {
  if ((await managedOrigins()).includes(origin)) return Choice.Allow;
  const key = PREFIX + origin;
  const stored = (await api.storage.local.get(key))[key];
  return stored && Object.values(Choice).includes(stored.choice) ? stored.choice : undefined;
}

export function recordDecision(origin, choice) {
  return api.storage.local.set({ [PREFIX + origin]: { choice, decidedAt: Date.now() } });
}

export function forgetDecision(origin) {
  return api.storage.local.remove(PREFIX + origin);
}
