// The page library against a scripted extension on a window of its own:
// connection failures, ids and queueing, error reasons, limits, Base64; its
// DER reader against what openssl makes and against damaged DER; and the
// library as an npm package, its types checked by TypeScript.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { describe, it } from "node:test";
import { packLibrary } from "../../browser/build.mjs";
import * as protocol from "../../browser/extension/protocol.js";
import * as lib from "../../browser/lib/keltoDataSigned.js";
import { readCertificate, signedDataDigest } from "../../browser/lib/x509.js";
import { repo } from "./support.mjs";

const ORIGIN = "https://page.example";

// A window whose postMessage delivers asynchronously to its own listeners, as
// a browser does; `posted` keeps what the page library sent.
class FakeWindow extends EventTarget {
  origin = ORIGIN;
  location = { origin: ORIGIN };
  top = this;
  posted = [];

  postMessage(data, targetOrigin) {
    assert.equal(targetOrigin, ORIGIN, "messages never leave the page's origin");
    const copy = structuredClone(data);
    if (copy.direction === "page") this.posted.push(copy);
    const event = Object.assign(new Event("message"), { data: copy, origin: ORIGIN, source: this });
    setImmediate(() => this.dispatchEvent(event));
  }

  closes() {
    return this.posted.filter((m) => m.type === "close").length;
  }
}

// The content script and background as the page sees them. `answer(request)`
// returns the messages to send back for one request (or none, to keep it waiting).
function fakeExtension(win, { connect = [{ type: "present" }, { type: "ready" }], answer = () => [] } = {}) {
  const extension = { requests: [], connection: null };
  extension.send = (message) => win.postMessage({ channel: lib.CHANNEL, direction: "extension",
                                                  connection: extension.connection, ...message }, ORIGIN);
  win.addEventListener("message", ({ data }) => {
    if (data.direction !== "page") return;
    if (data.type === "connect") {
      extension.connection = data.connection;
      connect.forEach(extension.send);
    } else if (data.type === "request") {
      extension.requests.push({ ...data.request, content: data.content });
      answer(data.request).forEach(extension.send);
    }
  });
  return extension;
}

const reply = (request, data) => ({ type: "reply", reply: { contentId: request.contentId, data: { ...request.data, ...data } } });
const success = (request, outputs = {}) => reply(request, { result: "success", ...outputs });

async function connected(answer, options = {}) {
  const win = new FakeWindow();
  const extension = fakeExtension(win, { answer });
  const signer = await lib.connect({ window: win, ...options });
  return { win, extension, signer };
}

// Lets the event loop run until `check` holds (messages travel by setImmediate).
async function until(check) {
  for (let turn = 0; turn < 1000; turn++) {
    const value = check();
    if (value) return value;
    await new Promise((resolve) => setImmediate(resolve));
  }
  throw new Error("the condition never held");
}

describe("page library", () => {
  it("connect() fails with ExtensionMissing or Aborted (the browser suites see Timeout and the extension's reasons)", async (t) => {
    const silent = new FakeWindow();
    await assert.rejects(lib.connect({ window: silent, extensionTimeout: 20 }), { code: "ExtensionMissing" });
    assert.deepEqual(silent.posted.map((m) => m.type), ["connect", "close"]);

    // At once, and without a word to the content script, where the extension
    // cannot serve the page: a sandboxed document's opaque origin, a frame,
    // "localhost." (not localhost to the browsers' content-script matching).
    for (const [name, origin, top] of [["sandboxed", "null"], ["trailing dot", "http://localhost.:8080"],
                                       ["http", "http://sign.example"], ["frame", ORIGIN, {}]]) {
      const win = Object.assign(new FakeWindow(), { origin }, top ? { top } : {});
      fakeExtension(win);
      await assert.rejects(lib.connect({ window: win, extensionTimeout: 60000 }),
                           (e) => e instanceof lib.DataSignedError && e.code === "ExtensionMissing", name);
      assert.deepEqual(win.posted, [], name);
    }

    // Once present, the person may take their time, up to the timeout.
    t.mock.timers.enable({ apis: ["setTimeout"] });
    const waiting = async (options) => {
      const win = new FakeWindow();
      const extension = fakeExtension(win, { connect: [{ type: "present" }] });
      const pending = lib.connect({ window: win, extensionTimeout: 1000, ...options });
      pending.catch(() => {});
      await until(() => extension.connection);
      await new Promise((resolve) => setImmediate(resolve));  // "present" delivered
      t.mock.timers.tick(60 * 1000);
      return { win, extension, pending };
    };
    const patient = await waiting({ timeout: 0 });
    patient.extension.send({ type: "ready" });
    assert.ok((await patient.pending).connected);
    const controller = new AbortController();
    const given = await waiting({ signal: controller.signal });
    controller.abort();
    await assert.rejects(given.pending, { code: "Aborted" });
    assert.equal(given.win.closes(), 1, "the question is withdrawn");
    await assert.rejects(lib.connect({ window: new FakeWindow(), signal: AbortSignal.abort() }), { code: "Aborted" });
  });

  it("sends one request at a time in call order with ids of its own, matches replies by id, gives host errors " +
     "their reason, maps refusals and a lost connection; closing never fails then", async () => {
    let busy = 0;
    const { win, extension, signer } = await connected((request) => {
      assert.equal(++busy, 1, "a request left before the previous one was answered");
      const action = request.data.requestAction;
      const answers = action === "openCryptoProvider" || action === "closeCryptoProvider"
        ? [success(request, { handleProvider: 7 })]
        // The provider name is the description to answer with.
        : action === "getListContainer" ? [request.data.providerName === "A" ? success(request, { containers: "a1;a2" })
          : reply(request, { result: "error", description: request.data.providerName })]
        : action === "getCertificate" ? [{ type: "error", contentId: request.contentId, code: "ContentTooLarge", message: "big" }]
        : [{ type: "progress", contentId: request.contentId, loaded: 1, total: 1 }];  // then kept waiting
      setImmediate(() => {
        if (answers[0].type !== "progress") busy--;
        // An answer to something else first: it must not settle this call.
        [{ type: "reply", reply: { contentId: "other", data: { result: "success" } } }, ...answers].forEach(extension.send);
      });
      return [];
    });
    const reasons = [
      ...[["8010006B", "WrongPin"], ["8010006C", "PinLocked"], ["8010006F", "PinRequired"], ["8010006E", "Cancelled"],
          ["80090016", "NoKey"], ["8009000D", "NoKey"], ["8010002C", "NoCertificate"], ["80092004", "NoCertificate"],
          ["80090019", "NoProvider"], ["80090020", "Other"]]
        .map(([code, reason]) => [`Error 0x${code} - What the system says.\r\n`, reason]),
      ["Bad parameter providerName in action getListContainer", "NoProvider"], ["Error open file data", "FileUnreadable"],
      ["Error read file data", "FileUnreadable"], ["Bad parameter handleProvider in action getSignature", "BadRequest"],
      ["Error reply too large", "Other"]];
    const failed = await Promise.all([signer.listContainers("A"), ...reasons.map(([d]) => signer.listContainers(d).catch((e) => e))]);
    assert.deepEqual(failed.map((e) => e.code ? [e.code, e.action, e.reason, e.description] : e),
                     [["a1", "a2"], ...reasons.map(([d, reason]) => ["HostError", "getListContainer", reason, d.replace(/\r\n$/, "")])]);
    assert.deepEqual(extension.requests.map((r) => r.data.providerName), ["A", ...reasons.map(([d]) => d)]);
    const ids = extension.requests.map((r) => r.contentId);
    assert.ok(new Set(ids).size === ids.length && ids.every((id) => id.startsWith(`${extension.connection}.`)));
    await assert.rejects(signer.getCertificate({ providerName: "X" }), { code: "ContentTooLarge", action: "getCertificate" });

    // The host echoes the PIN; nothing the page gets back carries it.
    const pinned = await signer.send({ requestAction: "openCryptoProvider", providerName: "P", password: "1" });
    assert.deepEqual(pinned, { requestAction: "openCryptoProvider", providerName: "P", result: "success", handleProvider: 7 });
    const refused = await signer.send({ requestAction: "getListContainer", providerName: "no", password: "1" }).catch((e) => e);
    assert.equal(refused.reply.data.description, "no");
    assert.ok(!JSON.stringify(refused).includes("password"), JSON.stringify(refused));

    const session = await signer.openSession({ providerName: "P", containerName: "c", pin: "1" });
    assert.equal(session.handle, 7);
    const progress = [];
    const inFlight = session.sign({ data: "x✓", format: "raw", onProgress: (p) => progress.push(p) });
    const queued = signer.listContainers("Y");
    const sent = await until(() => extension.requests.find((r) => r.data.requestAction === "getSignature"));
    assert.deepEqual([sent.data.handleProvider, sent.data.signatureType, sent.data.contentFile], [7, "RAW", undefined],
                     "content travels as a Blob, not as Base64");
    assert.equal(await sent.content.text(), "x✓");
    await until(() => progress.length);
    assert.deepEqual(progress, [{ loaded: 1, total: 1 }]);
    extension.send({ type: "closed", code: "HostDisconnected", message: "Native host has exited." });
    await assert.rejects(inFlight, { code: "HostDisconnected", action: "getSignature" });
    await assert.rejects(queued, { code: "HostDisconnected", action: "getListContainer" });
    assert.deepEqual([(await signer.closed).code, session.usable], ["HostDisconnected", false]);
    const before = extension.requests.length;
    await assert.rejects(session.getCertificate(), { code: "HostDisconnected" });
    await assert.rejects(signer.listContainers("Z"), { code: "HostDisconnected" });
    await session.close();
    await session.close();
    signer.close();
    assert.equal(extension.requests.length, before, "nothing is sent once the connection is lost");
    assert.equal(win.closes(), 1);

    // On a live connection, closing twice sends one request.
    const live = await connected((request) => [success(request, { handleProvider: 9 })]);
    const other = await live.signer.openSession({ providerName: "P" });
    await Promise.all([other.close(), other.close()]);
    assert.equal(live.extension.requests.filter((r) => r.data.requestAction === "closeCryptoProvider").length, 1);
  });

  it("lists every provider the host knows, but KC1 and KC2, and names their raw signatures' hashes", async () => {
    // The host's table: alias, name, type, hash algorithm id, PKCS#7 hash OID.
    const table = [...fs.readFileSync(path.join(repo, "host", "crypto", "providers.cpp"), "utf8")
      .matchAll(/\{u"([^"]+)",\s*u"[^"]+",\s*0x\w+,\s*0x(\w+)/g)].map((m) => [m[1], parseInt(m[2], 16)]);
    const hashes = { 0x8004: "SHA-1", 0x801e: "GOST R 34.11-94", 0x8021: "Streebog-256", 0x8022: "Streebog-512" };
    const { extension, signer } = await connected((request) => [success(request, {
      containers: "", signature: protocol.bytesToBase64(new Uint8Array([1])) })]);
    assert.deepEqual(await signer.listCertificates(), []);
    assert.deepEqual(extension.requests.map((r) => r.data.providerName),
                     table.map(([name]) => name).filter((name) => !/ KC[12] /.test(name)));
    for (const [providerName, hash] of table) {
      const signature = await signer.sign({ providerName, data: "x", format: "raw" });
      assert.equal(signature.hashAlgorithm, hashes[hash] ?? null, providerName);
    }
  });

  it("refuses bad arguments and requests over 64 MiB before sending anything; a timeout, or aborting a sent call, ends the connection", async () => {
    const { extension, signer } = await connected();
    const key = { providerName: "P", containerName: "c" };
    for (const options of [{ ...key }, { ...key, data: "x", path: "/f" }, { ...key, data: "" },
                           { ...key, data: "x", format: "PKCS7" }, { ...key, data: "x", source: "MY" },
                           { ...key, data: 42 }, { containerName: "c", data: "x" }]) {
      await assert.rejects(signer.sign(options), { code: "BadArgument" }, JSON.stringify(options));
    }
    await assert.rejects(signer.send({ requestAction: "deleteKeys" }), { code: "BadArgument" });
    await assert.rejects(signer.listCertificates({ providers: "P" }), { code: "BadArgument" });
    // What the browser cannot serialise or clone fails as any bad argument does.
    for (const bad of [{ size: 1n }, { callback: () => {} }]) {
      await assert.rejects(signer.send({ requestAction: "getListContainer", ...bad }),
                           (e) => e instanceof lib.DataSignedError && e.code === "BadArgument");
    }
    assert.throws(() => lib.fromBase64("not*base64"), { code: "BadArgument" });
    await assert.rejects(signer.sign({ ...key, data: new Uint8Array(48 * 1024 * 1024) }),
                         { code: "ContentTooLarge", message: new RegExp(`at most ${lib.MAX_MESSAGE_BYTES} bytes`) });
    // Small data but a request member that makes the message too large.
    await assert.rejects(signer.send({ requestAction: "getListContainer", padding: "é".repeat(lib.MAX_MESSAGE_BYTES / 2) }),
                         { code: "ContentTooLarge" });
    await assert.rejects(signer.listContainers("P", { signal: AbortSignal.abort() }), { code: "Aborted" });
    assert.equal(extension.requests.length, 0);

    // An aborted call that waits its turn never leaves; one the host works on ends the connection.
    const held = await connected();
    const [sent, queued] = [new AbortController(), new AbortController()];
    const calls = [sent, queued].map((c, i) => held.signer.listContainers(`${i}`, { signal: c.signal }));
    queued.abort();
    assert.ok(held.signer.connected, "a call that had not left changes nothing else");
    sent.abort();
    for (const call of calls) await assert.rejects(call, { code: "Aborted" });
    assert.deepEqual(held.win.posted.map((m) => m.type), ["connect", "request", "close"]);

    const slow = await connected(undefined, { timeout: 300 });
    await assert.rejects(slow.signer.listContainers("A"), { code: "Timeout", action: "getListContainer" });
    await assert.rejects(slow.signer.listContainers("A"), { code: "HostDisconnected" });
    assert.equal(slow.win.closes(), 1);
  });

  it("measures messages as the browser does and encodes Base64 in pieces", async () => {
    const text = "ascii, кириллица, ✓, 𝄞, lone \ud800 surrogate";
    const bytesOf = (message) => Buffer.byteLength(JSON.stringify(message), "utf8");
    for (const contentFile of ["QUJD", "not base64: ✓"]) {
      const message = { contentId: "id", data: { requestAction: "getSignature", contentFile, name: text } };
      assert.equal(protocol.messageSize(message), bytesOf(message));
    }
    const message = { contentId: "id", data: { requestAction: "getSignature" } };
    assert.equal(protocol.messageSize(message, 7), bytesOf({ ...message, data: { ...message.data, contentFile: "QUJDREVGRw==" } }));

    const bytes = crypto.randomBytes(13 * 1024 * 1024 + 1);  // several pieces, the last one short
    assert.equal(await lib.toBase64(new Blob([bytes])), bytes.toString("base64"));
    const view = new Uint8Array(bytes.buffer, bytes.byteOffset + 5, 100000);
    assert.equal(await lib.toBase64(view), Buffer.from(view).toString("base64"));
  });
});

it("packs as an npm package of the project's version that installs, declares every export and " +
   "type-checks the README's example under the strict options", async () => {
  const version = fs.readFileSync(path.join(repo, "CMakeLists.txt"), "utf8").match(/project\(\S+ VERSION (\S+)/)[1];
  const manifest = JSON.parse(fs.readFileSync(path.join(repo, "browser", "lib", "package.json"), "utf8"));
  assert.deepEqual([manifest.version, manifest.license], [version, "Apache-2.0"]);
  const project = fs.mkdtempSync(path.join(os.tmpdir(), "kelto-package-"));
  try {
    const write = (name, text) => fs.writeFileSync(path.join(project, name), text);
    write("package.json", '{ "name": "scratch", "private": true, "type": "module" }');
    const npm = spawnSync("npm", ["install", "--offline", "--no-audit", "--no-fund", packLibrary(project)],
                          { cwd: project, encoding: "utf8" });
    assert.equal(npm.status, 0, npm.stderr);
    const installed = path.join(project, "node_modules", manifest.name);
    const declared = [...fs.readFileSync(path.join(installed, "keltoDataSigned.d.ts"), "utf8")
      .matchAll(/^export declare (?:const|class|function) (\w+)/gm)].map((m) => m[1]);
    assert.deepEqual(declared.sort(), Object.keys(await import(path.join(installed, "keltoDataSigned.js"))).sort());

    const example = fs.readFileSync(path.join(repo, "README.md"), "utf8")
      .match(/<script type="module">\n([\s\S]*?)<\/script>/)[1].replace("./keltoDataSigned.js", manifest.name);
    write("example.ts", `${example}\nexport {};\n`);
    // Types that tell the truth refuse these.
    write("misuse.ts", `import { connect } from "${manifest.name}";
      const signer = await connect();
      // @ts-expect-error data and path exclude each other
      await signer.sign({ providerName: "p", data: "x", path: "/f" });
      // @ts-expect-error one of them is needed
      await signer.sign({ providerName: "p" });
      const reply: { result: "success" } = await signer.send({ requestAction: "getListContainer" });
      // @ts-expect-error a reason is one of the listed ones
      const reason: NonNullable<import("${manifest.name}").DataSignedError["reason"]> = "Wrong";
      export { reply, reason };\n`);
    const tsc = spawnSync(process.execPath, [path.join(repo, "browser", "node_modules", "typescript", "bin", "tsc"),
      "--noEmit", "--strict", "--noUncheckedIndexedAccess", "--exactOptionalPropertyTypes", "--target", "es2022",
      "--module", "es2022", "--moduleResolution", "bundler", "--lib", "es2022,dom", "example.ts", "misuse.ts"],
      { cwd: project, encoding: "utf8" });
    assert.equal(tsc.status, 0, tsc.stdout + tsc.stderr);
  } finally {
    fs.rmSync(project, { recursive: true, force: true });
  }
});

function openssl(...args) {
  const { status, stdout, stderr } = spawnSync("openssl", args, { encoding: "utf8" });
  return status === 0 ? stdout : assert.fail(stderr);
}

it("reads the fields of a certificate openssl made, names a PKCS#7 digest, and refuses damaged DER", async (t) => {
  const temp = fs.mkdtempSync(path.join(os.tmpdir(), "kelto-x509-"));
  t.after(() => fs.rmSync(temp, { recursive: true, force: true }));
  const [key, pem, der, data, message] = ["key.pem", "cert.pem", "cert.der", "data.txt", "data.p7s"]
    .map((f) => path.join(temp, f));
  // A serial with its top bit set (DER adds a sign byte), a validity that
  // ends after 2049 (GeneralizedTime), UTF-8 names and usage bits in both bytes.
  openssl("req", "-x509", "-newkey", "rsa:3072", "-nodes", "-keyout", key, "-out", pem,
          "-days", "12000", "-set_serial", "0x80A1B2C3D4E5F60718", "-utf8",
          "-subj", "/C=RU/ST=Москва/O=Kelto Test/OU=QA/CN=Иван Петров/emailAddress=ivan@sign.example",
          "-addext", "keyUsage=critical,digitalSignature,keyEncipherment,cRLSign,decipherOnly");
  openssl("x509", "-in", pem, "-outform", "DER", "-out", der);
  const bytes = fs.readFileSync(der);
  const c = await readCertificate(new Uint8Array(bytes));
  const subject = "C=RU, ST=Москва, O=Kelto Test, OU=QA, CN=Иван Петров, emailAddress=ivan@sign.example";
  const dates = openssl("x509", "-in", pem, "-noout", "-startdate", "-enddate").match(/=(.*)\n.*=(.*)/).slice(1);
  const thumbprint = (algorithm) => crypto.createHash(algorithm).update(bytes).digest("hex").toUpperCase();
  assert.deepEqual([c.subject, c.issuer, c.serialNumber, c.notBefore, c.notAfter, c.keyAlgorithm.bits, c.keyUsage, c.thumbprints],
                   [subject, subject, "80A1B2C3D4E5F60718", ...dates.map((d) => new Date(d)), 3072,
                    ["digitalSignature", "keyEncipherment", "cRLSign", "decipherOnly"],
                    { sha1: thumbprint("sha1"), sha256: thumbprint("sha256") }]);
  assert.deepEqual([c.subjectAttributes[4], c.keyAlgorithm.name, c.base64, c.valid],
                   [{ oid: "2.5.4.3", type: "CN", value: "Иван Петров" }, "RSA", bytes.toString("base64"), true]);
  assert.equal((await readCertificate(bytes, { now: new Date(Date.UTC(2100, 0)) })).valid, false);

  fs.writeFileSync(data, "signed");
  openssl("cms", "-sign", "-binary", "-in", data, "-signer", pem, "-inkey", key, "-outform", "DER",
          "-out", message, "-md", "sha384");
  assert.equal(signedDataDigest(fs.readFileSync(message)), "SHA-384");
  assert.equal(signedDataDigest(bytes), null, "a certificate is no PKCS#7 message");

  const damaged = [bytes.subarray(0, bytes.length - 1), Buffer.concat([bytes, Buffer.from([0])]),
                   Buffer.from([0x30, 0x80, 0x00, 0x00]), Buffer.from([0x30, 0x85, 1, 1, 1, 1, 1]),
                   Buffer.from([0x31, 0x00]), Buffer.alloc(0)];
  for (const bad of damaged) {
    await assert.rejects(readCertificate(new Uint8Array(bad)), /Not a DER certificate/, bad.toString("hex"));
  }
});
