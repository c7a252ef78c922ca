// The extension's background: accepts page connections from the content
// script, answers the consent window, and closes the connections of origins
// whose permission is withdrawn.
import { api } from "./background/api.js";
import { answer, CONSENT_PAGE, windowClosed } from "./background/consent.js";
import { PageConnection } from "./background/connection.js";
import { onDecisionsChanged, storedDecisions } from "./background/decisions.js";
import { senderOrigin } from "./background/origins.js";
import { CHANNEL } from "./protocol.js";

const connections = new Set();

api.runtime.onConnect.addListener((port) => {
  if (port.name !== CHANNEL) {
    port.disconnect();
    return;
  }
  const connection = new PageConnection(port, senderOrigin(port.sender),
                                        (closed) => connections.delete(closed));
  connections.add(connection);
  connection.start();
});

api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  // Only the extension's own consent window answers questions; content
  // scripts share the extension's id but never its page URLs.
  if (sender.id !== api.runtime.id || typeof sender.url !== "string" ||
      !sender.url.startsWith(api.runtime.getURL(CONSENT_PAGE))) return false;
  if (!message || message.type !== "consent" || typeof message.origin !== "string") return false;
  // The window closes either way; an answer that could not be stored holds
  // for the waiting pages only, and the next visit asks again.
  answer(message.origin, message.choice).then(() => sendResponse(true), (error) => {
    console.error(`The answer for ${message.origin} was not stored:`, error);
    sendResponse(false);
  });
  return true;  // the answer comes once it is stored
});

api.windows.onRemoved.addListener(windowClosed);

onDecisionsChanged(() => {
  for (const connection of connections) connection.recheck();
});

// Opening the decisions carries over what an earlier version kept in
// storage.local, where pages' content scripts could reach it: do that now
// rather than when a page first asks.
storedDecisions().catch((error) => console.error("The extension's permissions cannot be read:", error));
