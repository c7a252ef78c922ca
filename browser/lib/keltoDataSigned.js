// keltoDataSigned page library: lets a web page list key containers, read
// certificates and sign with the user's keys through the keltoDataSigned
// browser extension, which hands each request to the native signing host.
//
// One ES module without dependencies. The path of a request:
// this module -> window.postMessage -> the extension's content script ->
// the extension's background -> the host's standard input. The channel,
// limits, error codes and origin rule it shares with the extension come from
// the extension's protocol module, copied in below, so both sides always
// agree on them.

// ---- shared protocol, copied from browser/extension/protocol.js by browser/build.mjs: edit it there ----
// What the page library, the content script and the background agree on: the
// channel they speak on, the error codes, the limits and the rules both ends
// apply. The one source of these: browser/build.mjs copies it into the page
// library and into the content script (neither may import a module), and the
// background imports it.
//
// It holds declarations only, each exported with `export` at the start of its
// line, and imports nothing: the build turns it into plain script by dropping
// those keywords.

/** The name under which the page, the content script and the background speak. */
const CHANNEL = "keltoDataSigned";

/** Why a call failed: the `code` of every DataSignedError. */
const ErrorCode = Object.freeze({
  ExtensionMissing: "ExtensionMissing",
  HostMissing: "HostMissing",
  AccessDenied: "AccessDenied",
  HostDisconnected: "HostDisconnected",
  ContentTooLarge: "ContentTooLarge",
  HostError: "HostError",
  Timeout: "Timeout",
  BadArgument: "BadArgument",
});

/** The largest message, in bytes of JSON, that a browser hands to the host. */
const MAX_MESSAGE_BYTES = 64 * 1024 * 1024;

/** The actions the host knows; nothing else is sent to it. */
const HOST_ACTIONS = Object.freeze([
  "openCryptoProvider",
  "closeCryptoProvider",
  "getListContainer",
  "getCertificate",
  "getSignature",
]);

/** The longest connection id the content script accepts from a page. */
const MAX_CONNECTION_ID = 100;

/**
 * Whether the extension serves pages of an origin at all: https, and plain
 * http on the loopback names for development. Only the canonical form counts
 * (no path, no user), and "localhost." with its trailing dot is not
 * "localhost": the browsers run no content script there either.
 */
function isEligibleOrigin(origin) {
  let url;
  try {
    url = new URL(origin);
  } catch {
    return false;
  }
  if (url.origin !== origin) return false;
  if (url.protocol === "https:") return true;
  return url.protocol === "http:" && (url.hostname === "localhost" || url.hostname === "127.0.0.1");
}

/** The number of UTF-8 bytes of a string, without encoding it. */
function utf8Length(text) {
  let bytes = 0;
  for (let i = 0; i < text.length; i++) {
    const unit = text.charCodeAt(i);
    if (unit < 0x80) bytes += 1;
    else if (unit < 0x800) bytes += 2;
    else if (unit >= 0xd800 && unit <= 0xdbff && i + 1 < text.length &&
             (text.charCodeAt(i + 1) & 0xfc00) === 0xdc00) {
      bytes += 4;
      i++;
    } else bytes += 3;  // lone surrogates travel as U+FFFD
  }
  return bytes;
}

const BASE64_TEXT = /^[A-Za-z0-9+/=]*$/;

/** The size in bytes of a message as the browser serialises it for the host. */
function messageSize(message) {
  const content = message && message.data && message.data.contentFile;
  if (typeof content === "string" && BASE64_TEXT.test(content)) {
    // Base64 is ASCII with nothing to escape: count it without serialising
    // tens of MiB once more.
    const rest = { ...message, data: { ...message.data, contentFile: "" } };
    return utf8Length(JSON.stringify(rest)) + content.length;
  }
  return utf8Length(JSON.stringify(message));
}

function tooLargeText(size, { atLeast = false } = {}) {
  return `The request is ${atLeast ? "more than " : ""}${size} bytes of JSON; a browser passes at most ` +
    `${MAX_MESSAGE_BYTES} bytes (64 MiB) to the signing host, about 47 MiB of ` +
    "data to sign. Sign a file this large by its path instead.";
}

/** Whether a browser's postMessage refused a message for its size. */
function isSizeError(error) {
  return /exceed/i.test(String(error && error.message));
}

/**
 * A host reply without the PIN: the host echoes every request member, the
 * `password` of openCryptoProvider, getCertificate and getSignature included,
 * and no page needs it back.
 */
function withoutPin(reply) {
  const data = reply && typeof reply === "object" ? reply.data : undefined;
  if (!data || typeof data !== "object" || !Object.hasOwn(data, "password")) return reply;
  const { password, ...rest } = data;
  return { ...reply, data: rest };
}
// ---- end of shared protocol ----

export { CHANNEL, ErrorCode, HOST_ACTIONS, MAX_MESSAGE_BYTES };

const DEFAULT_TIMEOUT_MS = 5 * 60 * 1000;
const DEFAULT_EXTENSION_TIMEOUT_MS = 1000;
// Blobs are read and encoded a piece at a time so that a large file never has
// to be in memory twice as bytes. A multiple of 3 keeps every piece's Base64
// free of padding, so the pieces join into one valid text.
const BLOB_PIECE_BYTES = 3 * 1024 * 1024;
// String.fromCharCode.apply takes its bytes as arguments: stay well under the
// engines' argument limits. Also a multiple of 3.
const CHUNK_BYTES = 3 * 8192;

export class DataSignedError extends Error {
  /**
   * @param {string} code one of ErrorCode
   * @param {string} message what happened, in words
   * @param {{action?: string, description?: string, reply?: object}} [details]
   *   reply: the host's reply to a failed call, without the PIN it echoes
   */
  constructor(code, message, details = {}) {
    super(message);
    this.name = "DataSignedError";
    this.code = code;
    this.action = details.action;
    this.description = details.description;
    this.reply = details.reply;
  }
}

function badArgument(message) {
  return new DataSignedError(ErrorCode.BadArgument, message);
}

// Whatever the browser throws inside a call (a value it cannot clone or
// serialise, a Blob it cannot read, a getter of the page's own arguments)
// reaches the page as a DataSignedError: about the page's data, so BadArgument.
function asDataSignedError(error) {
  if (error instanceof DataSignedError) return error;
  return new DataSignedError(ErrorCode.BadArgument,
                             error && typeof error.message === "string" ? error.message : String(error));
}

// Native Base64 where the engine has it (current Chromium and Firefox), a
// chunked btoa elsewhere.
function bytesToBase64(bytes) {
  if (typeof bytes.toBase64 === "function") return bytes.toBase64();
  const parts = [];
  for (let at = 0; at < bytes.length; at += CHUNK_BYTES) {
    parts.push(btoa(String.fromCharCode.apply(null, bytes.subarray(at, at + CHUNK_BYTES))));
  }
  return parts.join("");
}

function asBytes(data) {
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  return null;
}

/**
 * Base64 of data to sign: a string (signed as its UTF-8 bytes), an
 * ArrayBuffer or typed array, or a Blob/File (read piece by piece).
 */
export async function toBase64(data) {
  try {
    return await encode(data);
  } catch (error) {
    throw asDataSignedError(error);
  }
}

async function encode(data) {
  if (typeof data === "string") return bytesToBase64(new TextEncoder().encode(data));
  const bytes = asBytes(data);
  if (bytes) return bytesToBase64(bytes);
  if (typeof Blob !== "undefined" && data instanceof Blob) {
    const parts = [];
    for (let at = 0; at < data.size; at += BLOB_PIECE_BYTES) {
      const piece = await data.slice(at, at + BLOB_PIECE_BYTES).arrayBuffer();
      parts.push(bytesToBase64(new Uint8Array(piece)));
    }
    return parts.join("");
  }
  throw badArgument("Data to sign must be a string, an ArrayBuffer, a typed array or a Blob.");
}

export function fromBase64(text) {
  try {
    if (typeof Uint8Array.fromBase64 === "function") return Uint8Array.fromBase64(text);
    const binary = atob(text);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes;
  } catch (error) {
    throw badArgument(`Not Base64 text: ${error.message}`);
  }
}

function dataSize(data) {
  if (typeof data === "string") return data.length;
  const bytes = asBytes(data);
  if (bytes) return bytes.length;
  if (typeof Blob !== "undefined" && data instanceof Blob) return data.size;
  return -1;
}

function randomId() {
  if (globalThis.crypto && typeof globalThis.crypto.randomUUID === "function") {
    return globalThis.crypto.randomUUID();
  }
  return Math.random().toString(36).slice(2) + Date.now().toString(36);
}

// One page connection: the window messages to and from the content script
// that carry this connection's id.
class Link {
  constructor(win, origin, id) {
    this.win = win;
    this.origin = origin;
    this.id = id;
    this.handlers = null;
    this.listener = (event) => this.receive(event);
    win.addEventListener("message", this.listener);
  }

  receive(event) {
    const message = event.data;
    if (event.source !== this.win || event.origin !== this.origin) return;
    if (!message || typeof message !== "object" || message.channel !== CHANNEL ||
        message.direction !== "extension" || message.connection !== this.id) return;
    const handler = this.handlers && this.handlers[message.type];
    if (handler) handler(message);
  }

  post(type, extra = {}) {
    this.win.postMessage({ channel: CHANNEL, direction: "page", type, connection: this.id, ...extra },
                         this.origin);
  }

  // Resolves once the background has the host running for this page; rejects
  // with ExtensionMissing when no content script answers in time, or with the
  // background's reason (AccessDenied, HostMissing, ...). The person's answer
  // to the consent question has no time limit: closing the question answers it.
  open(extensionTimeout) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        reject(new DataSignedError(ErrorCode.ExtensionMissing,
          "The keltoDataSigned extension is not installed or not enabled for this page."));
      }, extensionTimeout);
      this.handlers = {
        present: () => clearTimeout(timer),
        ready: () => { clearTimeout(timer); resolve(); },
        closed: (m) => { clearTimeout(timer); reject(new DataSignedError(m.code, m.message)); },
      };
      this.post("connect");
    });
  }

  close() {
    this.post("close");
    this.dispose();
  }

  dispose() {
    this.handlers = null;
    this.win.removeEventListener("message", this.listener);
  }
}

function requireText(value, name, { allowEmpty = false } = {}) {
  if (typeof value !== "string" || (!allowEmpty && value === "")) {
    throw badArgument(`${name} must be a${allowEmpty ? "" : " non-empty"} string.`);
  }
  return value;
}

function optionalText(value, name) {
  return value === undefined ? "" : requireText(value, name, { allowEmpty: true });
}

function storageType(source = "container") {
  if (source === "container") return "";
  if (source === "store") return "STORAGE";
  throw badArgument('source must be "container" or "store".');
}

function result(data, member) {
  const base64 = data[member];
  try {
    return { base64, bytes: fromBase64(base64) };
  } catch {
    throw new DataSignedError(ErrorCode.HostError, `The host's reply has no Base64 ${member}.`,
                              { action: data.requestAction });
  }
}

// The request members of a signature common to signer and session calls.
async function signatureMembers({ data, path, format = "pkcs7", source, workingDirectory }) {
  if (format !== "raw" && format !== "pkcs7") throw badArgument('format must be "raw" or "pkcs7".');
  if ((data === undefined) === (path === undefined)) {
    throw badArgument("Give exactly one of data and path to sign.");
  }
  const members = { signatureType: format === "pkcs7" ? "PKCS#7" : "RAW",
                    storageType: storageType(source) };
  if (workingDirectory !== undefined) {
    members.workingDirectory = requireText(workingDirectory, "workingDirectory");
  }
  if (path !== undefined) {
    members.fileDataPath = requireText(path, "path");
  } else {
    const size = dataSize(data);
    if (size === 0) throw badArgument("There is nothing to sign: the data is empty.");
    const encoded = 4 * Math.ceil(size / 3);
    if (encoded > MAX_MESSAGE_BYTES) {  // no need to encode it to know
      throw new DataSignedError(ErrorCode.ContentTooLarge, tooLargeText(encoded, { atLeast: true }),
                                { action: "getSignature" });
    }
    members.contentFile = await toBase64(data);
  }
  return members;
}

/** A session with one key container, opened by Signer.openSession. */
export class Session {
  #send;
  #usable;
  #closed = false;

  constructor(send, usable, handle, providerName, containerName) {
    this.#send = send;
    this.#usable = usable;
    this.handle = handle;
    this.providerName = providerName;
    this.containerName = containerName;
  }

  /** False once the session is closed or its connection is lost. */
  get usable() {
    return !this.#closed && this.#usable();
  }

  #members() {
    if (this.#closed) throw badArgument("This session is closed.");
    if (!this.#usable()) {
      throw new DataSignedError(ErrorCode.HostDisconnected,
        "This session ended with its connection; open a new one.");
    }
    return { handleProvider: this.handle, providerName: this.providerName,
             containerName: this.containerName };
  }

  async getCertificate({ source } = {}) {
    const data = await this.#send({ requestAction: "getCertificate", ...this.#members(),
                                    storageType: storageType(source) });
    return result(data, "certificate");
  }

  async sign(options = {}) {
    const members = this.#members();
    const data = await this.#send(signatureMembers(options).then((signature) =>
      ({ requestAction: "getSignature", ...members, ...signature })));
    return result(data, "signature");
  }

  async close() {
    await this.#send({ requestAction: "closeCryptoProvider", ...this.#members() });
    this.#closed = true;
  }
}

/** A connection to the signing host, made by connect(). */
export class Signer {
  #link;
  #timeout;
  #sequence = 0;
  #tail = Promise.resolve();
  #inflight = null;
  #ended = null;
  #resolveClosed;

  constructor(link, timeout) {
    this.#link = link;
    this.#timeout = timeout;
    /** Resolves with a DataSignedError telling why, once the connection has ended. */
    this.closed = new Promise((resolve) => { this.#resolveClosed = resolve; });
    link.handlers = {
      reply: (m) => this.#reply(m.reply),
      error: (m) => this.#refused(m.contentId, new DataSignedError(m.code, m.message)),
      closed: (m) => this.#end(new DataSignedError(m.code, m.message)),
    };
  }

  /** False once the connection has ended; every call then fails. */
  get connected() {
    return this.#ended === null;
  }

  /** Names of the key containers of a provider. */
  async listContainers(providerName) {
    const data = await this.#enqueue({ requestAction: "getListContainer",
                                       providerName: requireText(providerName, "providerName") });
    return data.containers ? data.containers.split(";") : [];
  }

  /** Opens a session with a container; the PIN is handed over once. */
  async openSession({ providerName, containerName, pin } = {}) {
    const request = { requestAction: "openCryptoProvider",
                      providerName: requireText(providerName, "providerName"),
                      containerName: optionalText(containerName, "containerName"),
                      password: optionalText(pin, "pin") };
    const data = await this.#enqueue(request);
    if (typeof data.handleProvider !== "number") {
      throw new DataSignedError(ErrorCode.HostError, "The host opened no session.",
                                { action: request.requestAction, reply: data });
    }
    return new Session((members) => this.#enqueue(members), () => this.#ended === null,
                       data.handleProvider, request.providerName, request.containerName);
  }

  /** The certificate of a container's key, from the container or from the "MY" store. */
  async getCertificate({ providerName, containerName, pin, source } = {}) {
    const data = await this.#enqueue({
      requestAction: "getCertificate", providerName: requireText(providerName, "providerName"),
      containerName: optionalText(containerName, "containerName"),
      password: optionalText(pin, "pin"), storageType: storageType(source) });
    return result(data, "certificate");
  }

  /** Signs data or a file, raw or as a detached PKCS#7 message, in a session of its own. */
  async sign({ providerName, containerName, pin, ...signature } = {}) {
    const members = { providerName: requireText(providerName, "providerName"),
                      containerName: optionalText(containerName, "containerName"),
                      password: optionalText(pin, "pin") };
    const data = await this.#enqueue(signatureMembers(signature).then((rest) =>
      ({ requestAction: "getSignature", ...members, ...rest })));
    return result(data, "signature");
  }

  /**
   * Sends one request's data object as it stands; resolves with the reply's
   * data object. For protocol members this library does not cover.
   */
  send(data) {
    if (!data || typeof data !== "object" || !HOST_ACTIONS.includes(data.requestAction)) {
      return Promise.reject(badArgument(`requestAction must be one of ${HOST_ACTIONS.join(", ")}.`));
    }
    return this.#enqueue(data);
  }

  /** Ends the connection; the host process ends with it. */
  close() {
    this.#end(new DataSignedError(ErrorCode.HostDisconnected, "The page closed the connection."));
  }

  // Calls run one after another in the order they were made: the next
  // request leaves only when the previous one is answered, so replies cannot
  // overtake each other and a timeout counts from the moment a request is
  // sent. `data` may be a promise (content still being encoded): the call
  // keeps its place in the queue meanwhile.
  #enqueue(data) {
    const ready = Promise.resolve(data);
    ready.catch(() => {});  // a bad argument is reported when the call's turn comes
    const turn = this.#tail.then(async () => this.#exchange(await ready));
    this.#tail = turn.catch(() => {});
    return turn;
  }

  #exchange(data) {
    const action = data.requestAction;
    if (this.#ended) {
      return Promise.reject(new DataSignedError(this.#ended.code, this.#ended.message, { action }));
    }
    const request = { contentId: `${this.#link.id}.${++this.#sequence}`, data };
    const size = messageSize(request);
    if (size > MAX_MESSAGE_BYTES) {
      return Promise.reject(new DataSignedError(ErrorCode.ContentTooLarge, tooLargeText(size),
                                                { action }));
    }
    // A request the browser cannot clone never leaves, and leaves no call behind.
    this.#link.post("request", { request });
    return new Promise((resolve, reject) => {
      const call = { contentId: request.contentId, action, resolve, reject, timer: null };
      if (this.#timeout > 0) {
        call.timer = setTimeout(() => this.#timedOut(call), this.#timeout);
      }
      this.#inflight = call;
    });
  }

  #settle(contentId) {
    const call = this.#inflight;
    if (!call || call.contentId !== contentId) return null;
    this.#inflight = null;
    clearTimeout(call.timer);
    return call;
  }

  #reply(pinned) {
    const call = this.#settle(pinned && pinned.contentId);
    if (!call) return;  // an answer to nothing this signer is waiting for
    const reply = withoutPin(pinned);
    const data = reply.data && typeof reply.data === "object" ? reply.data : {};
    if (data.result === "success") {
      call.resolve(data);
    } else {
      const description = typeof data.description === "string" ? data.description : "";
      call.reject(new DataSignedError(ErrorCode.HostError,
        `The host could not ${call.action}: ${description || "no reason given"}`,
        { action: call.action, description, reply }));
    }
  }

  #refused(contentId, error) {
    const call = this.#settle(contentId);
    if (!call) return;
    error.action = call.action;
    call.reject(error);
  }

  #timedOut(call) {
    if (this.#inflight !== call) return;
    this.#inflight = null;
    call.reject(new DataSignedError(ErrorCode.Timeout,
      `The host did not answer ${call.action} within ${this.#timeout} ms.`, { action: call.action }));
    // The host may still be busy with it and its state is unknown: a late
    // answer must not be taken for the next request's, so the connection ends.
    this.#end(new DataSignedError(ErrorCode.HostDisconnected,
      "The connection was closed after a request timed out."));
  }

  #end(error) {
    if (this.#ended) return;
    this.#ended = error;
    const call = this.#inflight;
    this.#inflight = null;
    if (call) {
      clearTimeout(call.timer);
      call.reject(new DataSignedError(error.code, error.message, { action: call.action }));
    }
    this.#link.close();
    this.#resolveClosed(error);
  }
}

// Why the extension cannot serve a window, or null. Its content script runs
// only in a tab's top frame of an origin it serves, and a sandboxed
// document's opaque origin is none: asking from anywhere else would only
// wait for ExtensionMissing, or fail in postMessage.
function unserved(win) {
  if (!win || typeof win.postMessage !== "function" || !win.location) {
    return "connect() needs a browser window.";
  }
  if (win.top !== win) return "The keltoDataSigned extension serves a tab's top frame only, not a frame.";
  if (!isEligibleOrigin(win.origin)) {
    return `The keltoDataSigned extension does not serve pages of ${win.origin}: only https pages, ` +
      "and http pages of localhost and 127.0.0.1.";
  }
  return null;
}

async function open({ timeout = DEFAULT_TIMEOUT_MS, extensionTimeout = DEFAULT_EXTENSION_TIMEOUT_MS,
                      window: win = globalThis.window } = {}) {
  const reason = unserved(win);
  if (reason) throw new DataSignedError(ErrorCode.ExtensionMissing, reason);
  const link = new Link(win, win.origin, randomId());
  try {
    await link.open(extensionTimeout);
  } catch (error) {
    link.close();
    throw error;
  }
  return new Signer(link, timeout);
}

/**
 * Connects to the signing host through the extension. Rejects with
 * ExtensionMissing at once where the extension cannot serve the page, and
 * within `extensionTimeout` ms when it does not answer; AccessDenied when the
 * person or a policy refuses this site; HostMissing when the host is not
 * registered with the browser.
 *
 * @param {{timeout?: number, extensionTimeout?: number, window?: Window}} [options]
 *   timeout: the longest wait for one answer of the host, in ms (0: no limit).
 */
export async function connect(options) {
  try {
    return await open(options);
  } catch (error) {
    if (error instanceof DataSignedError) throw error;
    throw new DataSignedError(ErrorCode.ExtensionMissing,
      `The keltoDataSigned extension cannot be reached from here: ${error && error.message}`);
  }
}

// A call's failure is a DataSignedError whatever threw inside it.
for (const [type, calls] of [[Signer, ["listContainers", "openSession", "getCertificate", "sign", "send"]],
                             [Session, ["getCertificate", "sign", "close"]]]) {
  for (const name of calls) {
    const call = type.prototype[name];
    type.prototype[name] = async function guarded(...args) {
      try {
        return await call.apply(this, args);
      } catch (error) {
        throw asDataSignedError(error);
      }
    };
  }
}
