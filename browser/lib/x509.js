// The DER reading of the keltoDataSigned page library: the fields of a
// certificate that a person chooses by, and the digest a PKCS#7 signature
// names. Pages take the library as plain files without a bundler, and these
// need only a walk over a few tags; a general X.509 library would bring a
// dependency tree into the page.

const NAMES = {
  "2.5.4.3": "CN", "2.5.4.4": "SN", "2.5.4.5": "serialNumber", "2.5.4.6": "C", "2.5.4.7": "L",
  "2.5.4.8": "ST", "2.5.4.9": "street", "2.5.4.10": "O", "2.5.4.11": "OU", "2.5.4.12": "title",
  "2.5.4.42": "GN", "1.2.840.113549.1.9.1": "emailAddress", "0.9.2342.19200300.100.1.25": "DC",
  "0.9.2342.19200300.100.1.1": "UID", "1.2.643.100.1": "OGRN", "1.2.643.100.3": "SNILS",
  "1.2.643.3.131.1.1": "INN", "1.2.643.100.4": "INNLE", "1.2.643.100.5": "OGRNIP",
};

// Public key algorithms, with the key size where the algorithm fixes it.
const KEY_ALGORITHMS = {
  "1.2.840.113549.1.1.1": { name: "RSA", bits: null },
  "1.2.840.10045.2.1": { name: "EC", bits: null },
  "1.2.643.2.2.19": { name: "GOST R 34.10-2001", bits: 256 },
  "1.2.643.7.1.1.1.1": { name: "GOST R 34.10-2012", bits: 256 },
  "1.2.643.7.1.1.1.2": { name: "GOST R 34.10-2012", bits: 512 },
};
const CURVE_BITS = { "1.2.840.10045.3.1.7": 256, "1.3.132.0.34": 384, "1.3.132.0.35": 521 };

const DIGESTS = {
  "1.3.14.3.2.26": "SHA-1", "2.16.840.1.101.3.4.2.4": "SHA-224", "2.16.840.1.101.3.4.2.1": "SHA-256",
  "2.16.840.1.101.3.4.2.2": "SHA-384", "2.16.840.1.101.3.4.2.3": "SHA-512",
  "1.2.643.2.2.9": "GOST R 34.11-94", "1.2.643.7.1.1.2.2": "Streebog-256", "1.2.643.7.1.1.2.3": "Streebog-512",
};

// The bits of the keyUsage extension, in order (RFC 5280, 4.2.1.3).
const KEY_USAGES = ["digitalSignature", "nonRepudiation", "keyEncipherment", "dataEncipherment",
                    "keyAgreement", "keyCertSign", "cRLSign", "encipherOnly", "decipherOnly"];
const KEY_USAGE_OID = "2.5.29.15";
const SIGNED_DATA_OID = "1.2.840.113549.1.7.2";

const INTEGER = 0x02;
const BIT_STRING = 0x03;
const OCTET_STRING = 0x04;
const OID = 0x06;
const UTC_TIME = 0x17;
const GENERALIZED_TIME = 0x18;
const SEQUENCE = 0x30;
const SET = 0x31;
const EXPLICIT_0 = 0xa0;
const EXTENSIONS = 0xa3;

function fail(what) {
  throw new Error(`Not a DER certificate: ${what}`);
}

// One tag-length-value at `at`, within `end`.
function element(bytes, at, end) {
  if (at + 2 > end) fail("truncated");
  const tag = bytes[at];
  let length = bytes[at + 1];
  let start = at + 2;
  if (length & 0x80) {
    const count = length & 0x7f;
    if (count === 0 || count > 4) fail("unsupported length");
    if (start + count > end) fail("truncated length");
    length = 0;
    for (let i = 0; i < count; i++) length = length * 256 + bytes[start + i];
    start += count;
  }
  if (start + length > end) fail("element longer than its container");
  return { tag, start, end: start + length };
}

function children(bytes, parent) {
  const list = [];
  for (let at = parent.start; at < parent.end;) {
    const child = element(bytes, at, parent.end);
    list.push(child);
    at = child.end;
  }
  return list;
}

function expect(node, tag, what) {
  if (!node || node.tag !== tag) fail(`expected ${what}`);
  return node;
}

function oid(bytes, node) {
  const arcs = [];
  let value = 0;
  for (let i = node.start; i < node.end; i++) {
    value = value * 128 + (bytes[i] & 0x7f);
    if (!(bytes[i] & 0x80)) {
      if (arcs.length === 0) arcs.push(value < 80 ? Math.floor(value / 40) : 2, value < 80 ? value % 40 : value - 80);
      else arcs.push(value);
      value = 0;
    }
  }
  return arcs.join(".");
}

function text(bytes, node) {
  const content = bytes.subarray(node.start, node.end);
  switch (node.tag) {
    case 0x0c: return new TextDecoder("utf-8").decode(content);  // UTF8String
    case 0x1e: return new TextDecoder("utf-16be").decode(content);  // BMPString
    case 0x1c: {  // UniversalString
      let out = "";
      for (let i = 0; i + 3 < content.length; i += 4) {
        out += String.fromCodePoint(((content[i] << 24) | (content[i + 1] << 16) |
                                     (content[i + 2] << 8) | content[i + 3]) >>> 0);
      }
      return out;
    }
    default: return new TextDecoder("latin1").decode(content);  // Printable, IA5, Teletex, Numeric
  }
}

function name(bytes, node) {
  const attributes = [];
  for (const rdn of children(bytes, expect(node, SEQUENCE, "a name"))) {
    for (const pair of children(bytes, expect(rdn, SET, "a relative name"))) {
      const [type, value] = children(bytes, expect(pair, SEQUENCE, "an attribute"));
      const id = oid(bytes, expect(type, OID, "an attribute type"));
      if (!value) fail("an attribute without a value");
      attributes.push({ oid: id, type: NAMES[id] ?? id, value: text(bytes, value) });
    }
  }
  return attributes;
}

function time(bytes, node) {
  const digits = new TextDecoder("latin1").decode(bytes.subarray(node.start, node.end));
  const match = node.tag === UTC_TIME ? /^(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})Z$/.exec(digits)
    : node.tag === GENERALIZED_TIME ? /^(\d{4})(\d{2})(\d{2})(\d{2})(\d{2})(\d{2})Z$/.exec(digits) : null;
  if (!match) fail("bad time");
  let year = Number(match[1]);
  if (node.tag === UTC_TIME) year += year < 50 ? 2000 : 1900;
  return new Date(Date.UTC(year, Number(match[2]) - 1, Number(match[3]), Number(match[4]),
                           Number(match[5]), Number(match[6])));
}

function hex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("").toUpperCase();
}

// An unsigned big number's hex digits, without the sign byte DER puts before a high first bit.
function unsignedHex(bytes, node) {
  let start = node.start;
  while (start < node.end - 1 && bytes[start] === 0) start++;
  return hex(bytes.subarray(start, node.end));
}

function keyAlgorithm(bytes, node) {
  const [algorithm, key] = children(bytes, expect(node, SEQUENCE, "a public key"));
  const [type, parameters] = children(bytes, expect(algorithm, SEQUENCE, "a key algorithm"));
  const id = oid(bytes, expect(type, OID, "a key algorithm"));
  const known = KEY_ALGORITHMS[id] ?? { name: id, bits: null };
  let bits = known.bits;
  if (known.name === "RSA") {
    // The key is a SEQUENCE of modulus and exponent behind the bit string's unused-bits byte.
    const bitString = expect(key, BIT_STRING, "a key");
    const [modulus] = children(bytes, expect(element(bytes, bitString.start + 1, bitString.end), SEQUENCE, "an RSA key"));
    const digits = unsignedHex(bytes, expect(modulus, INTEGER, "a modulus"));
    bits = digits.length * 4 - Math.clz32(parseInt(digits[0], 16)) + 28;
  } else if (known.name === "EC" && parameters?.tag === OID) {
    bits = CURVE_BITS[oid(bytes, parameters)] ?? null;
  }
  return { oid: id, name: known.name, bits };
}

// The usages the keyUsage extension allows, or null without one (no limit).
function keyUsage(bytes, extensions) {
  if (!extensions) return null;
  for (const extension of children(bytes, expect(children(bytes, extensions)[0], SEQUENCE, "extensions"))) {
    const parts = children(bytes, expect(extension, SEQUENCE, "an extension"));
    if (oid(bytes, expect(parts[0], OID, "an extension id")) !== KEY_USAGE_OID) continue;
    const value = expect(parts.at(-1), OCTET_STRING, "an extension value");
    const bits = expect(element(bytes, value.start, value.end), BIT_STRING, "key usage bits");
    const flags = bytes.subarray(bits.start + 1, bits.end);
    return KEY_USAGES.filter((_, i) => (flags[i >> 3] ?? 0) & (0x80 >> (i & 7)));
  }
  return null;
}

/** "CN=Name, O=Org": the attributes in the order the certificate lists them. */
function nameText(attributes) {
  return attributes.map((a) => `${a.type}=${a.value}`).join(", ");
}

/**
 * Reads a DER certificate: its names, serial number, validity (and whether
 * `now` lies within it), key algorithm, key usage and thumbprints. Throws on
 * anything that is not well-formed DER of that shape.
 */
export async function readCertificate(der, { now = new Date() } = {}) {
  const bytes = der instanceof Uint8Array ? der : new Uint8Array(der);
  const certificate = element(bytes, 0, bytes.length);
  if (certificate.end !== bytes.length) fail("trailing bytes");
  const [tbs] = children(bytes, expect(certificate, SEQUENCE, "a certificate"));
  const fields = children(bytes, expect(tbs, SEQUENCE, "the signed part"));
  let at = fields[0] && fields[0].tag === EXPLICIT_0 ? 1 : 0;  // the version
  const serialNumber = expect(fields[at++], INTEGER, "a serial number");
  at++;  // signature algorithm
  const issuer = name(bytes, fields[at++]);
  const [notBefore, notAfter] = children(bytes, expect(fields[at++], SEQUENCE, "the validity"));
  if (!notBefore || !notAfter) fail("incomplete validity");
  const subject = name(bytes, fields[at++]);
  const key = keyAlgorithm(bytes, fields[at++]);
  const copy = bytes.slice();
  const digest = async (algorithm) => hex(new Uint8Array(await crypto.subtle.digest(algorithm, copy)));
  const [sha1, sha256] = await Promise.all([digest("SHA-1"), digest("SHA-256")]);
  const validity = [time(bytes, notBefore), time(bytes, notAfter)];
  return {
    subject: nameText(subject), subjectAttributes: subject, issuer: nameText(issuer), issuerAttributes: issuer,
    serialNumber: unsignedHex(bytes, serialNumber), notBefore: validity[0], notAfter: validity[1],
    valid: validity[0] <= now && now <= validity[1], keyAlgorithm: key,
    keyUsage: keyUsage(bytes, fields.find((field) => field.tag === EXTENSIONS)),
    thumbprints: { sha1, sha256 }, bytes: copy, base64: btoa(Array.from(copy, (b) => String.fromCharCode(b)).join("")),
  };
}

/** The digest a DER PKCS#7 (CMS) SignedData message names first, or null. */
export function signedDataDigest(der) {
  try {
    const bytes = der instanceof Uint8Array ? der : new Uint8Array(der);
    const [type, content] = children(bytes, expect(element(bytes, 0, bytes.length), SEQUENCE, "a message"));
    if (oid(bytes, expect(type, OID, "a content type")) !== SIGNED_DATA_OID) return null;
    const [, digests] = children(bytes, expect(children(bytes, expect(content, EXPLICIT_0, "content"))[0],
                                               SEQUENCE, "signed data"));
    const [first] = children(bytes, expect(digests, SET, "digest algorithms"));
    return DIGESTS[oid(bytes, expect(children(bytes, expect(first, SEQUENCE, "an algorithm"))[0], OID, "an id"))] ?? null;
  } catch {
    return null;
  }
}
