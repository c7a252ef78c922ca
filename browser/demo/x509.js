// A small DER reader for what the demo shows of a certificate: subject,
// issuer, validity and serial number. The demo is served as plain files
// without a bundler, and these four fields need only a walk over a few
// tags; a general X.509 library would bring a dependency tree into the page.

const NAMES = {
  "2.5.4.3": "CN", "2.5.4.4": "SN", "2.5.4.5": "serialNumber", "2.5.4.6": "C", "2.5.4.7": "L",
  "2.5.4.8": "ST", "2.5.4.9": "street", "2.5.4.10": "O", "2.5.4.11": "OU", "2.5.4.12": "title",
  "2.5.4.42": "GN", "1.2.840.113549.1.9.1": "emailAddress", "0.9.2342.19200300.100.1.25": "DC",
  "0.9.2342.19200300.100.1.1": "UID", "1.2.643.100.1": "OGRN", "1.2.643.100.3": "SNILS",
  "1.2.643.3.131.1.1": "INN", "1.2.643.100.4": "INNLE", "1.2.643.100.5": "OGRNIP",
};

const SEQUENCE = 0x30;
const SET = 0x31;
const INTEGER = 0x02;
const OID = 0x06;
const UTC_TIME = 0x17;
const GENERALIZED_TIME = 0x18;
const VERSION = 0xa0;

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

function serial(bytes, node) {
  let start = node.start;
  while (start < node.end - 1 && bytes[start] === 0) start++;  // sign byte of a positive number
  return Array.from(bytes.subarray(start, node.end), (b) => b.toString(16).padStart(2, "0"))
    .join("").toUpperCase();
}

/** "CN=Name, O=Org": the attributes in the order the certificate lists them. */
export function nameText(attributes) {
  return attributes.map((a) => `${a.type}=${a.value}`).join(", ");
}

/**
 * Reads a DER certificate. Returns { subject, issuer } (lists of
 * { oid, type, value }), notBefore and notAfter (Date) and serial (hex).
 * Throws on anything that is not well-formed DER of that shape.
 */
export function parseCertificate(der) {
  const bytes = der instanceof Uint8Array ? der : new Uint8Array(der);
  const certificate = element(bytes, 0, bytes.length);
  if (certificate.end !== bytes.length) fail("trailing bytes");
  const [tbs] = children(bytes, expect(certificate, SEQUENCE, "a certificate"));
  const fields = children(bytes, expect(tbs, SEQUENCE, "the signed part"));
  let at = fields[0] && fields[0].tag === VERSION ? 1 : 0;
  const serialNumber = expect(fields[at++], INTEGER, "a serial number");
  at++;  // signature algorithm
  const issuer = name(bytes, fields[at++]);
  const [notBefore, notAfter] = children(bytes, expect(fields[at++], SEQUENCE, "the validity"));
  if (!notBefore || !notAfter) fail("incomplete validity");
  const subject = name(bytes, fields[at++]);
  return { subject, issuer, notBefore: time(bytes, notBefore), notAfter: time(bytes, notAfter),
           serial: serial(bytes, serialNumber) };
}
