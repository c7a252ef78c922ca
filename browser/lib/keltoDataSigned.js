// keltoDataSigned page library: lets a web page list the person's
// certificates and sign with their keys through the keltoDataSigned browser
// extension, which hands each request to the native signing host.
//
// An ES module without dependencies beside its DER reader (x509.js). The
// path of a request: this module -> window.postMessage -> the extension's
// content script -> the extension's background -> the host's standard input.
// Content to sign leaves this module as a Blob, which the browsers pass on
// by reference; the background encodes it for the host. The channel, limits,
// error codes and origin rule it shares with the extension come from the
// extension's protocol module, copied in below, so both sides always agree
// on them.
import { readCertificate as readDer, signedDataDigest } from "./x509.js";

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
  Aborted: "Aborted",
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

/** The length of the Base64 text of `size` bytes. */
function base64Length(size) {
  return 4 * Math.ceil(size / 3);
}

/**
 * The size in bytes of a message as the browser serialises it for the host;
 * `contentBytes`: the size of content still to be encoded into its
 * data.contentFile.
 */
function messageSize(message, contentBytes = null) {
  const content = message && message.data && message.data.contentFile;
  if (contentBytes !== null || (typeof content === "string" && BASE64_TEXT.test(content))) {
    // Base64 is ASCII with nothing to escape: count it without serialising
    // tens of MiB once more.
    const rest = { ...message, data: { ...message.data, contentFile: "" } };
    return utf8Length(JSON.stringify(rest)) + (contentBytes !== null ? base64Length(contentBytes) : content.length);
  }
  return utf8Length(JSON.stringify(message));
}

// String.fromCharCode.apply takes its bytes as arguments: stay well under
// the engines' argument limits.
const BTOA_CHUNK = 3 * 8192;

/** Base64 of bytes: native where the engine has it, a chunked btoa elsewhere. */
function bytesToBase64(bytes) {
  if (typeof bytes.toBase64 === "function") return bytes.toBase64();
  const parts = [];
  for (let at = 0; at < bytes.length; at += BTOA_CHUNK) {
    parts.push(btoa(String.fromCharCode.apply(null, bytes.subarray(at, at + BTOA_CHUNK))));
  }
  return parts.join("");
}

/**
 * Content to sign travels as a Blob, read and encoded a piece at a time: a
 * multiple of 3, so that the pieces' Base64 joins into one text.
 */
const CONTENT_PIECE_BYTES = 3 * 2 * 1024 * 1024;

/**
 * The Base64 text of a Blob, read and encoded a piece at a time. After each
 * piece `goOn(loaded)` says whether to read on; a stop leaves the text
 * incomplete, for a caller that drops it.
 */
async function blobToBase64(blob, goOn = () => true) {
  const parts = [];
  for (let at = 0; at < blob.size; at += CONTENT_PIECE_BYTES) {
    const piece = new Uint8Array(await blob.slice(at, at + CONTENT_PIECE_BYTES).arrayBuffer());
    parts.push(bytesToBase64(piece));
    if (!goOn(at + piece.length)) break;
  }
  return parts.join("");
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

/** Why the host failed a call: the `reason` of a HostError. */
export const ErrorReason = Object.freeze({
  WrongPin: "WrongPin",
  PinLocked: "PinLocked",
  PinRequired: "PinRequired",
  Cancelled: "Cancelled",
  NoKey: "NoKey",
  NoCertificate: "NoCertificate",
  NoProvider: "NoProvider",
  FileUnreadable: "FileUnreadable",
  BadRequest: "BadRequest",
  Other: "Other",
});

// The host describes a CryptoAPI failure as "Error 0x<code> - <system
// text>" and a request it refuses in its own words.
const REASONS = [
  [/^Error 0x8010006B\b/i, ErrorReason.WrongPin],  // SCARD_W_WRONG_CHV
  [/^Error 0x8010006C\b/i, ErrorReason.PinLocked],  // SCARD_W_CHV_BLOCKED
  [/^Error 0x8010006F\b/i, ErrorReason.PinRequired],  // SCARD_W_CARD_NOT_AUTHENTICATED: no one could be asked
  [/^Error 0x8010006E\b/i, ErrorReason.Cancelled],  // SCARD_W_CANCELLED_BY_USER, also a PIN question timed out
  [/^Error 0x(80090016|8009000D)\b/i, ErrorReason.NoKey],  // NTE_BAD_KEYSET, NTE_NO_KEY
  [/^Error 0x(8010002C|80092004)\b/i, ErrorReason.NoCertificate],  // SCARD_E_NO_SUCH_CERTIFICATE, CRYPT_E_NOT_FOUND
  // NTE_PROV_TYPE_NOT_DEF, NTE_KEYSET_NOT_DEF, NTE_PROV_TYPE_NO_MATCH: not installed
  [/^Error 0x(80090017|80090019|8009001B)\b/i, ErrorReason.NoProvider],
  [/^Bad parameter providerName\b/, ErrorReason.NoProvider],  // not in the host's table
  [/^Error (open|read) file data\b/, ErrorReason.FileUnreadable],
  [/^(Bad parameter|Unknow request action)\b/, ErrorReason.BadRequest],
];

function hostReason(description) {
  const found = REASONS.find(([pattern]) => pattern.test(description));
  return found ? found[1] : ErrorReason.Other;
}

// The providers the host knows (its table, host/crypto/providers.cpp) and
// the hash their raw signatures are over; null where this library does not
// name it.
const GOST94 = "GOST R 34.11-94";
const PROVIDERS = new Map([
  ["Crypto-Pro GOST R 34.10-2001 Cryptographic Service Provider", GOST94],
  ["Crypto-Pro GOST R 34.10-2001 KC1 CSP", GOST94],
  ["Crypto-Pro GOST R 34.10-2001 KC2 CSP", GOST94],
  ["Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider", "Streebog-256"],
  ["Crypto-Pro GOST R 34.10-2012 KC1 CSP", "Streebog-256"],
  ["Crypto-Pro GOST R 34.10-2012 KC2 CSP", "Streebog-256"],
  ["Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider", "Streebog-512"],
  ["Crypto-Pro GOST R 34.10-2012 KC1 Strong CSP", "Streebog-512"],
  ["Crypto-Pro GOST R 34.10-2012 KC2 Strong CSP", "Streebog-512"],
  ["Avest CSP for NBRB", null],
  ["Avest CSP", null],
  ["Avest CSP Base", null],
  ["Avest CSP Bel", null],
  ["Avest CSP Bel Pro", null],
  ["Avest CSP Bign", null],
  ["NTCrypto STB 34.101.45 Cryptographic Provider", null],
  ["NTCrypto STB 1176.2 Cryptographic Provider", null],
  ["NTCrypto STB 1176.2pre Cryptographic Provider", null],
  ["Microsoft Strong Cryptographic Provider", "SHA-1"],
]);
// KC1 and KC2 are other certification classes of the same provider and share
// its containers: listing them too would list every container three times.
const LISTED_PROVIDERS = Object.freeze([...PROVIDERS.keys()].filter((name) => !/ KC[12] /.test(name)));

const DEFAULT_TIMEOUT_MS = 5 * 60 * 1000;
const DEFAULT_EXTENSION_TIMEOUT_MS = 1000;

export class DataSignedError extends Error {
  /**
   * @param {string} code one of ErrorCode
   * @param {string} message what happened, in words
   * @param {{action?: string, reason?: string, description?: string, reply?: object, cause?: unknown}} [details]
   *   reason: HostError's, one of ErrorReason; reply: the host's reply, without the PIN it echoes
   */
  constructor(code, message, details = {}) {
    super(message, details.cause === undefined ? undefined : { cause: details.cause });
    this.name = "DataSignedError";
    this.code = code;
    for (const member of ["action", "reason", "description", "reply"]) {
      if (details[member] !== undefined) this[member] = details[member];
    }
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

function aborted(action, signal, sent) {
  const what = action ?? "connect()";
  return new DataSignedError(ErrorCode.Aborted, sent
    ? `${what} was aborted while the host worked on it; the connection was closed, since the host cannot ` +
      "cancel a request it has begun."
    : `${what} was aborted before it reached the host.`, { action, cause: signal.reason });
}

function asBytes(data) {
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  return null;
}

// Data to sign as the Blob it travels as: text as its UTF-8 bytes, bytes
// copied (the page keeps its buffer), a Blob or File as it is.
function asContent(data) {
  if (typeof data === "string" || asBytes(data)) return new Blob([data]);
  if (typeof Blob !== "undefined" && data instanceof Blob) return data;
  throw badArgument("Data to sign must be a string, an ArrayBuffer, a typed array or a Blob.");
}

/**
 * Base64 of data: a string (as its UTF-8 bytes), an ArrayBuffer or typed
 * array, or a Blob/File (read piece by piece). For requests made by send().
 */
export async function toBase64(data) {
  try {
    return await blobToBase64(asContent(data));
  } catch (error) {
    throw asDataSignedError(error);
  }
}

/** A DER certificate's fields; what is not a well-formed certificate fails as BadArgument. */
export async function readCertificate(der, options) {
  try {
    return await readDer(der, options);
  } catch (error) {
    throw asDataSignedError(error);
  }
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
  // with ExtensionMissing when no content script answers within
  // `extensionTimeout`, with Timeout when the person has not answered the
  // consent question (or the host has not started) within `timeout`, with
  // Aborted, or with the background's reason (AccessDenied, HostMissing, ...).
  open({ extensionTimeout, timeout, signal }) {
    return new Promise((resolve, reject) => {
      const settle = (error) => {
        clearTimeout(presence);
        clearTimeout(overall);
        signal?.removeEventListener("abort", onAbort);
        this.handlers = null;
        if (error) reject(error);
        else resolve();
      };
      const onAbort = () => settle(aborted(undefined, signal, false));
      const presence = setTimeout(() => settle(new DataSignedError(ErrorCode.ExtensionMissing,
        "The keltoDataSigned extension is not installed or not enabled for this page.")), extensionTimeout);
      const overall = timeout > 0 ? setTimeout(() => settle(new DataSignedError(ErrorCode.Timeout,
        `No connection within ${timeout} ms: the question whether this site may use the keys was not ` +
        "answered, or the signing host did not start.")), timeout) : undefined;
      signal?.addEventListener("abort", onAbort, { once: true });
      this.handlers = {
        present: () => clearTimeout(presence),
        ready: () => settle(null),
        closed: (m) => settle(new DataSignedError(m.code, m.message)),
      };
      this.post("connect");
    });
  }

  close() {
    this.post("close");
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

function keyMembers({ providerName, containerName, pin }) {
  return { providerName: requireText(providerName, "providerName"),
           containerName: optionalText(containerName, "containerName"), password: optionalText(pin, "pin") };
}

function bytesOf(data, member) {
  const base64 = data[member];
  try {
    return { base64, bytes: fromBase64(base64) };
  } catch {
    throw new DataSignedError(ErrorCode.HostError, `The host's reply has no Base64 ${member}.`,
                              { action: data.requestAction, reason: ErrorReason.Other });
  }
}

// A signature request's members and its content, common to signer and session calls.
function signatureRequest(members, { data, path, format = "pkcs7", source, workingDirectory }) {
  if (format !== "raw" && format !== "pkcs7") throw badArgument('format must be "raw" or "pkcs7".');
  if ((data === undefined) === (path === undefined)) {
    throw badArgument("Give exactly one of data and path to sign.");
  }
  const request = { data: { requestAction: "getSignature", ...members,
                            signatureType: format === "pkcs7" ? "PKCS#7" : "RAW", storageType: storageType(source) } };
  if (workingDirectory !== undefined) {
    request.data.workingDirectory = requireText(workingDirectory, "workingDirectory");
  }
  if (path !== undefined) {
    request.data.fileDataPath = requireText(path, "path");
  } else {
    request.content = asContent(data);
    if (request.content.size === 0) throw badArgument("There is nothing to sign: the data is empty.");
    const encoded = base64Length(request.content.size);
    if (encoded > MAX_MESSAGE_BYTES) {  // no need to look further to know
      throw new DataSignedError(ErrorCode.ContentTooLarge, tooLargeText(encoded, { atLeast: true }),
                                { action: "getSignature" });
    }
  }
  return request;
}

// The certificate of the key `members` name, by `call`: a signer's or a session's.
async function certificateBy(call, members, { source, signal }) {
  const data = await call({ data: { requestAction: "getCertificate", ...members,
                                    storageType: storageType(source) } }, { signal });
  return bytesOf(data, "certificate");
}

// A signature by `call` with the key `members` name, and what it is over:
// PKCS#7 names its digest itself, a raw signature is over the hash of its
// provider.
async function signatureBy(call, members, { signal, onProgress, ...signature }) {
  const data = await call(signatureRequest(members, signature), { signal, onProgress });
  const { base64, bytes } = bytesOf(data, "signature");
  const format = signature.format ?? "pkcs7";
  const hashAlgorithm = format === "raw" ? PROVIDERS.get(members.providerName) ?? null : signedDataDigest(bytes);
  return { base64, bytes, format, hashAlgorithm };
}

/** A session with one key container, opened by Signer.openSession. */
export class Session {
  #call;
  #usable;
  #closed = false;

  constructor(call, usable, handle, providerName, containerName) {
    this.#call = call;
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

  async getCertificate(options = {}) {
    return certificateBy(this.#call, this.#members(), options);
  }

  async sign(options = {}) {
    return signatureBy(this.#call, this.#members(), options);
  }

  /** Closes the session; nothing to do once it is closed or its connection is gone. */
  async close() {
    if (!this.usable) {
      this.#closed = true;
      return;
    }
    const members = this.#members();
    this.#closed = true;
    try {
      await this.#call({ data: { requestAction: "closeCryptoProvider", ...members } }, {});
    } catch (error) {
      if (this.#usable()) throw error;  // the connection, and the session with it, is gone
    }
  }
}

/** A connection to the signing host, made by connect(). */
export class Signer {
  #link;
  #timeout;
  #sequence = 0;
  #queue = [];
  #current = null;
  #ended = null;
  #resolveClosed;

  constructor(link, timeout) {
    this.#link = link;
    this.#timeout = timeout;
    /** Resolves with a DataSignedError telling why, once the connection has ended. */
    this.closed = new Promise((resolve) => { this.#resolveClosed = resolve; });
    link.handlers = {
      reply: (m) => this.#reply(m.reply),
      error: (m) => this.#refused(m),
      progress: (m) => this.#progress(m),
      closed: (m) => this.#end(new DataSignedError(m.code, m.message)),
    };
  }

  /** False once the connection has ended; every call then fails. */
  get connected() {
    return this.#ended === null;
  }

  /** Names of the key containers of a provider. */
  async listContainers(providerName, { signal } = {}) {
    const data = await this.#call({ data: { requestAction: "getListContainer",
                                            providerName: requireText(providerName, "providerName") } },
                                  { signal });
    return data.containers ? data.containers.split(";") : [];
  }

  /**
   * The certificate of every key container of the providers installed here
   * (by default every provider the host knows), read without a PIN. A
   * container whose certificate cannot be read is an entry with the error.
   */
  async listCertificates({ providers = LISTED_PROVIDERS, signal } = {}) {
    if (!Array.isArray(providers)) throw badArgument("providers must be a list of provider names.");
    providers.forEach((name) => requireText(name, "a provider name"));
    const entries = [];
    for (const providerName of providers) {
      let containers;
      try {
        containers = await this.listContainers(providerName, { signal });
      } catch (error) {
        if (error.reason === ErrorReason.NoProvider) continue;  // not installed here
        throw error;
      }
      for (const containerName of containers) {
        entries.push({ providerName, containerName,
                       ...await this.#certificateEntry(providerName, containerName, signal) });
      }
    }
    return entries;
  }

  async #certificateEntry(providerName, containerName, signal) {
    let certificate;
    try {
      certificate = await this.getCertificate({ providerName, containerName, signal });
    } catch (error) {
      if (error.code !== ErrorCode.HostError) throw error;
      return { certificate: null, error };
    }
    try {
      return { certificate: await readDer(certificate.bytes), error: null };
    } catch (error) {
      return { certificate: null, error: new DataSignedError(ErrorCode.HostError,
        `The certificate of ${containerName} cannot be read: ${error.message}`,
        { action: "getCertificate", reason: ErrorReason.Other }) };
    }
  }

  /** Opens a session with a container; a PIN, if given, is handed over once. */
  async openSession({ signal, ...key } = {}) {
    const members = keyMembers(key);
    const data = await this.#call({ data: { requestAction: "openCryptoProvider", ...members } }, { signal });
    if (typeof data.handleProvider !== "number") {
      throw new DataSignedError(ErrorCode.HostError, "The host opened no session.",
                                { action: "openCryptoProvider", reason: ErrorReason.Other, reply: { data } });
    }
    return new Session((request, options) => this.#call(request, options), () => this.#ended === null,
                       data.handleProvider, members.providerName, members.containerName);
  }

  /** The certificate of a container's key, from the container or from the "MY" store. */
  async getCertificate({ source, signal, ...key } = {}) {
    return certificateBy((request, options) => this.#call(request, options), keyMembers(key),
                         { source, signal });
  }

  /** Signs data or a file, raw or as a detached PKCS#7 message, in a session of its own. */
  async sign({ providerName, containerName, pin, ...signature } = {}) {
    return signatureBy((request, options) => this.#call(request, options),
                       keyMembers({ providerName, containerName, pin }), signature);
  }

  /**
   * Sends one request's data object as it stands; resolves with the reply's
   * data object. For protocol members this library does not cover.
   */
  async send(data, { signal } = {}) {
    if (!data || typeof data !== "object" || !HOST_ACTIONS.includes(data.requestAction)) {
      throw badArgument(`requestAction must be one of ${HOST_ACTIONS.join(", ")}.`);
    }
    return this.#call({ data }, { signal });
  }

  /** Ends the connection; the host process ends with it. Nothing to do once it has ended. */
  close() {
    this.#end(new DataSignedError(ErrorCode.HostDisconnected, "The page closed the connection."));
  }

  // Calls run one after another in the order they were made: the next
  // request leaves only when the previous one is answered, so replies cannot
  // overtake each other and a timeout counts from the moment a request is
  // sent. An aborted call that has not left never does; one the host is
  // working on ends the connection, as the host cannot be told to stop.
  #call(request, { signal, onProgress }) {
    const action = request.data.requestAction;
    return new Promise((resolve, reject) => {
      const call = { action, request, onProgress, resolve, reject, contentId: null, timer: null, done: false };
      if (this.#ended) {
        reject(new DataSignedError(this.#ended.code, this.#ended.message, { action }));
        return;
      }
      if (signal) {
        if (signal.aborted) {
          reject(aborted(action, signal, false));
          return;
        }
        const onAbort = () => this.#abort(call, signal);
        signal.addEventListener("abort", onAbort, { once: true });
        call.unlisten = () => signal.removeEventListener("abort", onAbort);
      }
      this.#queue.push(call);
      this.#next();
    });
  }

  #next() {
    if (this.#current || this.#ended || this.#queue.length === 0) return;
    const call = this.#queue.shift();
    const { data, content } = call.request;
    const message = { contentId: `${this.#link.id}.${++this.#sequence}`, data };
    const size = messageSize(message, content ? content.size : null);
    if (size > MAX_MESSAGE_BYTES) {
      this.#settle(call, new DataSignedError(ErrorCode.ContentTooLarge, tooLargeText(size), { action: call.action }));
      this.#next();
      return;
    }
    try {
      this.#link.post("request", content ? { request: message, content } : { request: message });
    } catch (error) {
      // A request the browser cannot clone never leaves, and leaves no call behind.
      this.#settle(call, asDataSignedError(error));
      this.#next();
      return;
    }
    call.contentId = message.contentId;
    this.#current = call;
    if (this.#timeout > 0) call.timer = setTimeout(() => this.#timedOut(call), this.#timeout);
  }

  // Ends a call with its data, or with an error.
  #settle(call, error, data) {
    if (call.done) return;
    call.done = true;
    clearTimeout(call.timer);
    call.unlisten?.();
    if (this.#current === call) this.#current = null;
    else this.#queue = this.#queue.filter((queued) => queued !== call);
    if (error) {
      if (error.action === undefined && call.action) error.action = call.action;
      call.reject(error);
    } else {
      call.resolve(data);
    }
  }

  #abort(call, signal) {
    if (call.done) return;
    const sent = this.#current === call;
    this.#settle(call, aborted(call.action, signal, sent));
    if (sent) {
      this.#end(new DataSignedError(ErrorCode.HostDisconnected, "The connection was closed: a call was " +
        "aborted while the host worked on it, and the host cannot cancel a request it has begun."));
    }
  }

  #inFlight(contentId) {
    const call = this.#current;
    return call && call.contentId === contentId ? call : null;
  }

  #reply(pinned) {
    const call = this.#inFlight(pinned && pinned.contentId);
    if (!call) return;  // an answer to nothing this signer is waiting for
    const reply = withoutPin(pinned);
    const data = reply.data && typeof reply.data === "object" ? reply.data : {};
    if (data.result === "success") {
      this.#settle(call, null, data);
    } else {
      // Windows' and softcsp's message texts end in CR LF.
      const description = typeof data.description === "string" ? data.description.replace(/[\r\n]+$/, "") : "";
      this.#settle(call, new DataSignedError(ErrorCode.HostError,
        `The host could not ${call.action}: ${description || "no reason given"}`,
        { action: call.action, reason: hostReason(description), description, reply }));
    }
    this.#next();
  }

  #refused({ contentId, code, message }) {
    const call = this.#inFlight(contentId);
    if (!call) return;
    this.#settle(call, new DataSignedError(code, message, { action: call.action }));
    this.#next();
  }

  #progress({ contentId, loaded, total }) {
    const call = this.#inFlight(contentId);
    if (!call || typeof call.onProgress !== "function" || !Number.isFinite(loaded) || !Number.isFinite(total)) return;
    try {
      call.onProgress({ loaded, total });
    } catch {
      // the page's callback: its failure is not the call's
    }
  }

  #timedOut(call) {
    if (this.#current !== call) return;
    this.#settle(call, new DataSignedError(ErrorCode.Timeout,
      `The host did not answer ${call.action} within ${this.#timeout} ms.`, { action: call.action }));
    // The host may still be busy with it and its state is unknown: a late
    // answer must not be taken for the next request's, so the connection ends.
    this.#end(new DataSignedError(ErrorCode.HostDisconnected,
      "The connection was closed after a request timed out."));
  }

  #end(error) {
    if (this.#ended) return;
    this.#ended = error;
    for (const call of [this.#current, ...this.#queue]) {
      if (call) this.#settle(call, new DataSignedError(error.code, error.message, { action: call.action }));
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

async function open({ timeout = DEFAULT_TIMEOUT_MS, extensionTimeout = DEFAULT_EXTENSION_TIMEOUT_MS, signal,
                      window: win = globalThis.window } = {}) {
  if (signal?.aborted) throw aborted(undefined, signal, false);
  const reason = unserved(win);
  if (reason) throw new DataSignedError(ErrorCode.ExtensionMissing, reason);
  const link = new Link(win, win.origin, randomId());
  try {
    await link.open({ extensionTimeout, timeout, signal });
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
 * registered with the browser; Timeout when all this takes longer than
 * `timeout`; Aborted when `signal` aborts.
 *
 * @param {{timeout?: number, extensionTimeout?: number, signal?: AbortSignal, window?: Window}} [options]
 *   timeout: the longest wait for the connection, and then for each answer of the host, in ms (0: no limit).
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
for (const [type, calls] of [[Signer, ["listContainers", "listCertificates", "openSession", "getCertificate",
                                       "sign", "send"]],
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
