// Lists the origins the person allowed or denied, with a button to forget
// each answer (the next visit asks again), and those an administrator allowed.
import { Choice, forgetDecision, managedOrigins, onDecisionsChanged, storedDecisions }
  from "./background/decisions.js";
import { localise, text } from "./pages.js";

function fill(list, origins, revocable) {
  list.replaceChildren();
  if (origins.length === 0) {
    const empty = document.createElement("li");
    empty.className = "empty";
    empty.textContent = text("optionsNone");
    list.append(empty);
    return;
  }
  for (const origin of origins.sort()) {
    const item = document.createElement("li");
    item.dataset.origin = origin;
    const name = document.createElement("span");
    name.textContent = origin;
    item.append(name);
    if (revocable) {
      const revoke = document.createElement("button");
      revoke.className = "revoke";
      revoke.textContent = text("optionsRevoke");
      revoke.addEventListener("click", () => forgetDecision(origin).catch(showFailure));
      item.append(revoke);
    }
    list.append(item);
  }
}

function showFailure(error) {
  document.getElementById("failure").textContent = error.message;
  document.getElementById("failure").hidden = false;
}

async function show() {
  const decisions = await storedDecisions();
  const chosen = (choice) => Object.keys(decisions).filter((origin) => decisions[origin] === choice);
  fill(document.getElementById("allowed"), chosen(Choice.Allow), true);
  fill(document.getElementById("denied"), chosen(Choice.Deny), true);
  fill(document.getElementById("managed"), await managedOrigins(), false);
  document.body.dataset.shown = "true";
}

localise();
onDecisionsChanged(() => show().catch(showFailure));
show().catch(showFailure);
