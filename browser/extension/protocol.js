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
export const CHANNEL = "keltoDataSigned";

/** Why a call failed: the `code` of every DataSignedError. */
export const ErrorCode = Object.freeze({
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
export const MAX_MESSAGE_BYTES = 64 * 1024 * 1024;

/** The actions the host knows; nothing else is sent to it. */
export const HOST_ACTIONS = Object.freeze([
  "openCryptoProvider",
  "closeCryptoProvider",
  "getListContainer",
  "getCertificate",
  "getSignature",
]);

/** The longest connection id the content script accepts from a page. */
export const MAX_CONNECTION_ID = 100;

/**
 * Whether the extension serves pages of an origin at all: https, and plain
 * http on the loopback names for development. Only the canonical form counts
 * (no path, no user), and "localhost." with its trailing dot is not
 * "localhost": the browsers run no content script there either.
 */
export function isEligibleOrigin(origin) {
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
export function utf8Length(text) {
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
export function base64Length(size) {
  return 4 * Math.ceil(size / 3);
}

/**
 * The size in bytes of a message as the browser serialises it for the host;
 * `contentBytes`: the size of content still to be encoded into its
 * data.contentFile.
 */
export function messageSize(message, contentBytes = null) {
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
export function bytesToBase64(bytes) {
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
export const CONTENT_PIECE_BYTES = 3 * 2 * 1024 * 1024;

/**
 * The Base64 text of a Blob, read and encoded a piece at a time. After each
 * piece `goOn(loaded)` says whether to read on; a stop leaves the text
 * incomplete, for a caller that drops it.
 */
export async function blobToBase64(blob, goOn = () => true) {
  const parts = [];
  for (let at = 0; at < blob.size; at += CONTENT_PIECE_BYTES) {
    const piece = new Uint8Array(await blob.slice(at, at + CONTENT_PIECE_BYTES).arrayBuffer());
    parts.push(bytesToBase64(piece));
    if (!goOn(at + piece.length)) break;
  }
  return parts.join("");
}

export function tooLargeText(size, { atLeast = false } = {}) {
  return `The request is ${atLeast ? "more than " : ""}${size} bytes of JSON; a browser passes at most ` +
    `${MAX_MESSAGE_BYTES} bytes (64 MiB) to the signing host, about 47 MiB of ` +
    "data to sign. Sign a file this large by its path instead.";
}

/** Whether a browser's postMessage refused a message for its size. */
export function isSizeError(error) {
  return /exceed/i.test(String(error && error.message));
}

/**
 * A host reply without the PIN: the host echoes every request member, the
 * `password` of openCryptoProvider, getCertificate and getSignature included,
 * and no page needs it back.
 */
export function withoutPin(reply) {
  const data = reply && typeof reply === "object" ? reply.data : undefined;
  if (!data || typeof data !== "object" || !Object.hasOwn(data, "password")) return reply;
  const { password, ...rest } = data;
  return { ...reply, data: rest };
}
