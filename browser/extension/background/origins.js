// Which pages may ask for the signing keys at all. Only secure origins, and
// plain http on the loopback names for development (the rule the page
// library applies too); everything else is refused before the person is
// even asked.
import { isEligibleOrigin } from "../protocol.js";

// The canonical origin of an administrator's list entry ("https://a.example",
// with or without a trailing slash, in any letter case), or null for anything
// that names more or less than an origin.
export function normaliseOrigin(text) {
  let url;
  try {
    url = new URL(typeof text === "string" ? text.trim() : "");
  } catch {
    return null;
  }
  if (url.username || url.password || url.pathname !== "/" || url.search || url.hash) return null;
  return isEligibleOrigin(url.origin) ? url.origin : null;
}

// The origin of the page behind a runtime port, or null when it may not use
// the keys: not a tab's top frame, an opaque (sandboxed) origin, or a scheme
// or host outside the list above. The browser fills `sender`; the page cannot.
export function senderOrigin(sender) {
  if (!sender || !sender.tab || sender.frameId !== 0 || typeof sender.url !== "string") return null;
  let url;
  try {
    url = new URL(sender.url);
  } catch {
    return null;
  }
  const origin = sender.origin ?? url.origin;
  return origin === url.origin && isEligibleOrigin(origin) ? origin : null;
}
