// One page connection: the runtime port from the page's content script and,
// once the origin is allowed, one native port to a host process of its own.
// The host's sessions therefore live exactly as long as the page's
// connection, and a page never reaches another page's host.
//
// States: consent -> probing -> open -> closed. Nothing reaches the host
// before the origin is allowed; in "probing" one harmless request shows that
// the host is there and answers, so that connect() can tell HostMissing.
import { api } from "./api.js";
import { askPerson } from "./consent.js";
import { Choice, decisionFor } from "./decisions.js";
import { hostName } from "./identity.js";
import { contentToken, forgetToken } from "./transport.js";
import { ErrorCode, HOST_ACTIONS, MAX_MESSAGE_BYTES, blobToBase64, isSizeError, messageSize,
         tooLargeText, withoutPin } from "../protocol.js";

const PROBE_ID = "keltoDataSigned.probe";
const MAX_CONTENT_ID = 200;

// The browsers' words for a host that is not registered for this extension,
// whose manifest is wrong or whose program cannot be started.
const HOST_MISSING = /not found|forbidden|no such native application|does not have permission|failed to start/i;

function isPlainObject(value) {
  return value !== null && typeof value === "object" && !Array.isArray(value);
}

// What is wrong with a request from the page, or null. Only the five actions
// and a contentId of the page's own go through; the host checks the rest.
// Content to sign comes either as Base64 in data.contentFile or as a Blob in
// `content`, which the background encodes into data.contentFile.
export function requestProblem(request) {
  if (!isPlainObject(request)) return "A request must be an object.";
  const { contentId, data } = request;
  if (typeof contentId !== "string" || contentId === "" || contentId.length > MAX_CONTENT_ID ||
      contentId === PROBE_ID) {
    return `A request needs a contentId of 1 to ${MAX_CONTENT_ID} characters.`;
  }
  if (!isPlainObject(data) || !HOST_ACTIONS.includes(data.requestAction)) {
    return `data.requestAction must be one of ${HOST_ACTIONS.join(", ")}.`;
  }
  if (request.content !== undefined) {
    if (!(request.content instanceof Blob)) return "content must be a Blob.";
    if (Object.hasOwn(data, "contentFile")) return "Give content or data.contentFile, not both.";
  }
  return null;
}

export class PageConnection {
  constructor(port, origin, onClosed) {
    this.page = port;
    this.origin = origin;
    this.tabId = port.sender && port.sender.tab ? port.sender.tab.id : undefined;
    this.native = null;
    this.state = "consent";
    this.question = null;
    this.token = null;
    this.forwarding = Promise.resolve();  // requests reach the host in the order the page sent them
    this.onClosed = onClosed;
    port.onMessage.addListener((request) => this.fromPage(request));
    port.onDisconnect.addListener(() => this.pageGone());
  }

  // Never rejects: a decision that cannot be read refuses the page.
  async start() {
    if (this.origin === null) {
      this.close(ErrorCode.AccessDenied, "Only https pages, and http pages on localhost for " +
                 "development, may use the signing keys.");
      return;
    }
    let choice;
    try {
      choice = await decisionFor(this.origin);
    } catch (error) {
      this.close(ErrorCode.AccessDenied, `The extension could not read its permissions: ${error.message}`);
      return;
    }
    if (this.state !== "consent") return;  // the page went away meanwhile
    if (choice === undefined) {
      this.question = askPerson(this.origin, this.tabId);
      choice = await this.question.answer;
      this.question = null;
      if (this.state !== "consent") return;
    }
    if (choice === Choice.Allow) {
      this.openHost();
    } else if (choice === Choice.Deny) {
      this.close(ErrorCode.AccessDenied, `${this.origin} may not use the signing keys.`);
    } else {
      this.close(ErrorCode.AccessDenied, "The question whether this site may use the signing " +
                 "keys was closed without an answer.");
    }
  }

  // The decision for this origin changed (revoked, or a policy changed).
  // Never rejects: a permission that cannot be confirmed counts as withdrawn.
  async recheck() {
    if (this.state !== "probing" && this.state !== "open") return;
    const choice = await decisionFor(this.origin).catch(() => undefined);
    if (choice !== Choice.Allow) {
      this.close(ErrorCode.AccessDenied, `Permission for ${this.origin} was withdrawn.`);
    }
  }

  openHost() {
    this.state = "probing";
    try {
      this.native = api.runtime.connectNative(hostName);
      this.native.onMessage.addListener((reply) => this.fromHost(reply));
      this.native.onDisconnect.addListener((port) => this.hostGone(port));
      this.native.postMessage({ contentId: PROBE_ID, data: { requestAction: "getListContainer" } });
    } catch (error) {
      this.close(ErrorCode.HostMissing, `The signing host cannot be started: ${error.message}`);
    }
  }

  fromHost(reply) {
    if (this.state === "probing") {
      if (isPlainObject(reply) && reply.contentId === PROBE_ID) {
        this.state = "open";
        this.token = contentToken(this);
        if (this.token) this.page.postMessage({ type: "transport", token: this.token });
        this.page.postMessage({ type: "ready" });
      } else {
        this.close(ErrorCode.HostDisconnected, "The signing host answered something unexpected.");
      }
    } else if (this.state === "open") {
      this.toPage({ type: "reply", reply: withoutPin(reply) });
    }
  }

  toPage(message) {
    try {
      this.page.postMessage(message);
    } catch {
      // the page is gone; pageGone() cleans up
    }
  }

  refuse(request, code, message) {
    const contentId = isPlainObject(request) ? request.contentId : undefined;
    this.toPage({ type: "error", contentId, code, message });
  }

  fromPage(request) {
    this.forwarding = this.forwarding.then(() => this.forward(request));
  }

  // Never rejects: whatever fails is the page's answer.
  async forward(request) {
    if (this.state !== "open") {
      this.refuse(request, ErrorCode.BadArgument, "The connection is not open yet.");
      return;
    }
    const problem = requestProblem(request);
    if (problem) {
      this.refuse(request, ErrorCode.BadArgument, problem);
      return;
    }
    const { contentId, content } = request;
    const message = { contentId, data: request.data };
    const size = messageSize(message, content ? content.size : null);
    if (size > MAX_MESSAGE_BYTES) {
      this.refuse(request, ErrorCode.ContentTooLarge, tooLargeText(size));
      return;
    }
    if (content) {
      try {
        message.data = { ...message.data, contentFile: await this.encode(contentId, content) };
      } catch (error) {
        this.refuse(request, ErrorCode.BadArgument, `The content to sign cannot be read: ${error.message}`);
        return;
      }
      if (this.state !== "open") return;  // the page or the host went away meanwhile
    }
    try {
      this.native.postMessage(message);
    } catch (error) {
      // The browser's own serialisation may come out a little larger than ours.
      if (isSizeError(error)) this.refuse(request, ErrorCode.ContentTooLarge, error.message);
      else this.close(ErrorCode.HostDisconnected, error.message);
    }
  }

  // The Base64 text of content; the page hears how far it got, and reading
  // stops once the connection is gone.
  encode(contentId, content) {
    return blobToBase64(content, (loaded) => {
      this.toPage({ type: "progress", contentId, loaded, total: content.size });
      return this.state === "open";
    });
  }

  hostGone(port) {
    const error = (port && port.error) || api.runtime.lastError;
    const reason = (error && error.message) || "The signing host ended.";
    if (this.state === "probing" && HOST_MISSING.test(reason)) {
      this.close(ErrorCode.HostMissing, `The signing host is not registered with this browser: ${reason}`);
    } else {
      this.close(ErrorCode.HostDisconnected, `The connection to the signing host was lost: ${reason}`);
    }
  }

  // Disconnecting closes the host's standard input: the host ends.
  dropHost() {
    try {
      if (this.native) this.native.disconnect();
    } catch {
      // already gone by itself
    }
  }

  // Ends the connection, once: false when it had ended already.
  end() {
    if (this.state === "closed") return false;
    this.state = "closed";
    forgetToken(this.token);
    if (this.question) this.question.withdraw();
    this.dropHost();
    this.onClosed(this);
    return true;
  }

  pageGone() {
    this.end();
  }

  close(code, message) {
    if (!this.end()) return;
    try {
      this.page.postMessage({ type: "closed", code, message });
      this.page.disconnect();
    } catch {
      // the page is already gone
    }
  }
}
