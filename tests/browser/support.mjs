// Shared set-up of the browser suites: a private workspace per suite (HOME,
// XDG_DATA_HOME with softcsp's keys, XDG_CONFIG_HOME, XDG_RUNTIME_DIR, TMPDIR,
// profile, and the tests' stand-in pinentry that softcsp asks for a PIN the
// page left out), keys made with kelto-keytool, the host registered by
// scripts/register-host.sh through a wrapper that records every host process
// the browser starts, a static server on the loopback address, signature and
// certificate checks by openssl, and headless Chromium with the extension and
// an administrator's policy.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import { createRequire } from "node:module";
import os from "node:os";
import path from "node:path";
import { it } from "node:test";
import { fileURLToPath } from "node:url";
import { build } from "../../browser/build.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
export const repo = path.resolve(here, "..", "..");
// From `npm ci` in browser/ (the browser_modules fixture of CTest).
export const puppeteer = createRequire(path.join(repo, "browser", "package.json"))("puppeteer-core");

export const RSA = "Microsoft Strong Cryptographic Provider";
export const GOST = "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider";
export const PIN = "12#4";
export const identity = JSON.parse(fs.readFileSync(path.join(repo, "packaging", "identity.json"), "utf8"));

export function requiredFile(variable) {
  const file = process.env[variable];
  if (!file || !fs.existsSync(file)) throw new Error(`${variable} must name a built program, got ${file}`);
  return file;
}

/**
 * Ends a suite that cannot run here with 77, which CTest reports as skipped;
 * called before any test starts (the Node runner calls a suite whose tests
 * were all skipped a pass).
 */
export function skipSuiteUnless(ready, why) {
  if (ready) return;
  console.log(`skipped: ${why}`);
  process.exit(77);
}

/** A browser scenario, bounded: a hang fails it and the suite's clean-up still runs. */
export const scenario = (name, fn) => it(name, { timeout: 5 * 60 * 1000 }, fn);

/** Polls until `check` returns a truthy value; fails after `timeout` ms. */
export async function until(what, check, { timeout = 20000, interval = 50 } = {}) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`gave up waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, interval));
  }
}

export function alive(pid) {
  try {
    process.kill(pid, 0);
    return !fs.readFileSync(`/proc/${pid}/stat`, "utf8").match(/^\d+ \(.*\) Z/);
  } catch {
    return false;
  }
}

const MIME = { ".html": "text/html; charset=utf-8", ".js": "text/javascript", ".css": "text/css",
               ".json": "application/json" };

/**
 * Serves the library, the demo, the test page and a directory of files; a
 * page asked for with "?sandbox" comes as a sandboxed document (opaque origin).
 */
export async function serve(filesDir) {
  const roots = { "/lib/": path.join(repo, "browser", "lib"), "/demo/": path.join(repo, "browser", "demo"),
                  "/test/": path.join(here, "pages"), "/files/": filesDir };
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, "http://localhost");
    const prefix = Object.keys(roots).find((p) => url.pathname.startsWith(p));
    const file = prefix && path.join(roots[prefix], decodeURIComponent(url.pathname.slice(prefix.length)) || "index.html");
    if (!file || !file.startsWith(roots[prefix]) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      response.writeHead(404).end();
      return;
    }
    // The opaque origin of a sandboxed page fetches its modules cross-origin.
    response.writeHead(200, { "content-type": MIME[path.extname(file)] ?? "application/octet-stream",
                              "cache-control": "no-store", "access-control-allow-origin": "*",
                              ...(url.searchParams.has("sandbox") ? { "content-security-policy": "sandbox allow-scripts" } : {}) });
    fs.createReadStream(file).pipe(response);
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  return { port: server.address().port, close: () => new Promise((resolve) => server.close(resolve)) };
}

export class Workspace {
  constructor(name) {
    this.root = fs.mkdtempSync(path.join(os.tmpdir(), `kelto-${name}-`));
    for (const dir of ["home", "data", "tmp", "runtime", "files"]) fs.mkdirSync(this.path(dir), { mode: 0o700 });
    // The host keeps its locks in XDG_RUNTIME_DIR: the suite's own, not the user's.
    this.env = { HOME: this.path("home"), XDG_DATA_HOME: this.path("data"),
                 XDG_CONFIG_HOME: this.path("home", ".config"), TMPDIR: this.path("tmp"),
                 XDG_RUNTIME_DIR: this.path("runtime"),
                 KELTO_PINENTRY: path.join(repo, "tests", "e2e", "pinentry_standin.py"),
                 KELTO_STANDIN_ANSWERS: this.path("pin-answers"), KELTO_STANDIN_RECORD: this.path("pinentry.log") };
    fs.writeFileSync(this.env.KELTO_STANDIN_ANSWERS, "");
    this.host = requiredFile("KELTO_HOST");
    this.keytoolProgram = requiredFile("KELTO_KEYTOOL");
    this.startLog = this.path("host-starts.log");
  }

  path(...names) {
    return path.join(this.root, ...names);
  }

  /** A file the server offers under /files/ (text is written as UTF-8); returns its path. */
  write(name, data) {
    fs.writeFileSync(this.path("files", name), data);
    return this.path("files", name);
  }

  /** Queues the stand-in pinentry's answers: { pin } or "cancel"; with none queued, it cancels. */
  answerPin(...answers) {
    fs.appendFileSync(this.env.KELTO_STANDIN_ANSWERS, answers.map((a) => `${JSON.stringify(a)}\n`).join(""));
  }

  /** How many times a pinentry was started so far. */
  pinentryStarts() {
    const record = this.env.KELTO_STANDIN_RECORD;
    return fs.existsSync(record) ? fs.readFileSync(record, "utf8").split('"start"').length - 1 : 0;
  }

  /** The text of every log a debug build of the host wrote in this workspace. */
  hostLogs() {
    return fs.readdirSync(this.root, { recursive: true }).filter((f) => /KeltoDataSigned_\w+\.log$/.test(f))
      .map((f) => fs.readFileSync(this.path(f), "utf8")).join("\n");
  }

  run(program, args, { ok = true } = {}) {
    const result = spawnSync(program, args, { env: { ...process.env, ...this.env }, maxBuffer: 1 << 26 });
    if ((result.status === 0) !== ok) {
      throw new Error(`${path.basename(program)} ${args.slice(0, 3).join(" ")} exited ${result.status}: ` +
                      `${result.stderr}`);
    }
    return result.stdout;
  }

  keytool(...args) {
    return this.run(this.keytoolProgram, args);
  }

  openssl(args, options) {
    return this.run("openssl", args, options);
  }

  /** A key with a certificate, also put into "MY"; returns the certificate's DER. */
  makeKey(container, provider) {
    this.keytool("generate", "--provider", provider, "--container", container, "--pin", PIN, "--store");
    const out = this.path(`${container}.der`);
    this.keytool("export-cert", "--provider", provider, "--container", container, "--out", out);
    return fs.readFileSync(out);
  }

  /**
   * Registers the host for this workspace's user with scripts/register-host.sh,
   * through a wrapper that logs the pid of every host process a browser starts
   * (then becomes the host: same pid).
   */
  register(host = this.host) {
    const wrapper = this.path("host-wrapper.sh");
    fs.writeFileSync(wrapper, `#!/bin/sh\necho $$ >> '${this.startLog}'\nexec '${host}' "$@"\n`,
                     { mode: 0o755 });
    this.run(path.join(repo, "scripts", "register-host.sh"), ["--user", "--host", wrapper]);
  }

  unregister() {
    this.run(path.join(repo, "scripts", "register-host.sh"), ["--user", "--uninstall"]);
  }

  /** Pids of the host processes started so far, in order. */
  hostStarts() {
    if (!fs.existsSync(this.startLog)) return [];
    return fs.readFileSync(this.startLog, "utf8").split("\n").filter(Boolean).map(Number);
  }

  /** Fails when a host process outlives the browser; kills it first. */
  async noHostLeft() {
    const pids = this.hostStarts();
    try {
      await until("every host process to end", () => !pids.some(alive), { timeout: 10000 });
    } catch (error) {
      for (const pid of pids.filter(alive)) process.kill(pid, "SIGKILL");
      throw error;
    }
  }

  cleanup() {
    fs.rmSync(this.root, { recursive: true, force: true });
  }

  /** openssl checks a raw signature (reversed by the host into big-endian form). */
  verifyRaw(signatureB64, certificateDer, dataFile, digest, engine = []) {
    const certificate = this.path("verify-cert.der");
    fs.writeFileSync(certificate, certificateDer);
    const key = this.path("verify-key.pem");
    this.openssl(["x509", ...engine, "-inform", "DER", "-in", certificate, "-pubkey", "-noout", "-out", key]);
    const signature = this.path("verify.sig");
    fs.writeFileSync(signature, Buffer.from(signatureB64, "base64"));
    this.openssl(["dgst", ...engine, digest, "-verify", key, "-signature", signature, dataFile]);
    const other = this.path("verify-other.bin");
    fs.writeFileSync(other, Buffer.concat([fs.readFileSync(dataFile), Buffer.from("!")]));
    this.openssl(["dgst", ...engine, digest, "-verify", key, "-signature", signature, other], { ok: false });
  }

  /** openssl checks a detached PKCS#7 message; returns the signer certificate's DER. */
  verifyCms(signatureB64, dataFile, engine = []) {
    const message = this.path("verify.p7s");
    fs.writeFileSync(message, Buffer.from(signatureB64, "base64"));
    const certificate = this.path("verify-signer.pem");
    this.openssl(["cms", ...engine, "-verify", "-binary", "-inform", "DER", "-in", message,
                  "-content", dataFile, "-noverify", "-out", this.path("verify.out"), "-signer", certificate]);
    return this.openssl(["x509", ...engine, "-in", certificate, "-outform", "DER"]);
  }

  /** The OID of a PKCS#7 message's digest algorithm, as openssl reads it. */
  cmsDigest(signatureB64, engine = []) {
    const message = this.path("digest.p7s");
    fs.writeFileSync(message, Buffer.from(signatureB64, "base64"));
    const printed = String(this.openssl(["cms", ...engine, "-cmsout", "-print", "-inform", "DER", "-in", message]));
    return printed.match(/digestAlgorithms:\s*algorithm: .*\(([\d.]+)\)/)[1];
  }
}

/** Bytes that were signed in a page, written where openssl can read them. */
export function dataFile(workspace, name, content) {
  return workspace.write(name, content);
}

const USAGES = { "Digital Signature": "digitalSignature", "Non Repudiation": "nonRepudiation",
                 "Key Encipherment": "keyEncipherment", "Data Encipherment": "dataEncipherment",
                 "Key Agreement": "keyAgreement", "Certificate Sign": "keyCertSign", "CRL Sign": "cRLSign",
                 "Encipher Only": "encipherOnly", "Decipher Only": "decipherOnly" };

/** A DER certificate file's fields as `openssl x509` prints them, in the shape of libraryFields(). */
export function opensslFields(file, engine = []) {
  const x509 = (...args) => {
    const run = spawnSync("openssl", ["x509", ...engine, "-inform", "DER", "-in", file, "-noout", ...args],
                          { encoding: "utf8" });
    assert.equal(run.status, 0, run.stderr);
    return run.stdout;
  };
  const out = x509("-subject", "-issuer", "-nameopt", "sep_comma_plus_space,sname,utf8,-esc_msb", "-serial",
                   "-startdate", "-enddate", "-fingerprint", "-sha1", "-ext", "keyUsage", "-text");
  const field = (name) => out.match(new RegExp(`^${name}=(.*)$`, "m"))[1];
  const usage = out.match(/X509v3 Key Usage:.*\n\s*(.*)/);
  const bits = out.match(/Public-Key: \((\d+) bit\)|Public Key Algorithm: .* with (\d+) bit modulus/);
  return { subject: field("subject"), issuer: field("issuer"), serialNumber: field("serial"),
           notBefore: new Date(field("notBefore")).toISOString(), notAfter: new Date(field("notAfter")).toISOString(),
           bits: Number(bits[1] ?? bits[2]), keyUsage: usage ? usage[1].split(", ").map((name) => USAGES[name]) : null,
           sha1: field("sha1 Fingerprint").replaceAll(":", ""),
           sha256: x509("-fingerprint", "-sha256").split("=")[1].trim().replaceAll(":", "") };
}

/** The fields of a certificate the page library read (dates as Date or ISO text) to compare with openssl's. */
export function libraryFields(c) {
  return { subject: c.subject, issuer: c.issuer, serialNumber: c.serialNumber,
           notBefore: new Date(c.notBefore).toISOString(), notAfter: new Date(c.notAfter).toISOString(),
           bits: c.keyAlgorithm.bits, keyUsage: c.keyUsage, sha1: c.thumbprints.sha1, sha256: c.thumbprints.sha256 };
}

/** A new tab with the test page (or another path) of an origin, loaded. */
export async function openPage(browser, origin, pagePath = "/test/") {
  const page = await browser.newPage();
  await page.goto(`${origin}${pagePath}`);
  if (pagePath === "/test/") await page.waitForFunction(() => document.documentElement.dataset.ready);
  return page;
}

/**
 * Walks one tab across `origins`, each page asking to connect, and then to
 * `away`. After each hop exactly one consent window is open, asking for that
 * page's origin; once the tab is away, none. `consentOrigins()` lists the
 * origins the open consent windows ask for.
 */
export async function hopAcross(page, origins, away, consentOrigins) {
  for (const origin of [...origins, away]) {
    await page.goto(`${origin}/test/`);
    await page.waitForFunction(() => document.documentElement.dataset.ready);
    if (origin === away) break;
    await page.evaluate(() => { lib.connect().catch(() => {}); });
    await until(`the one consent window to ask for ${origin}`, async () => (await consentOrigins()).join() === origin);
  }
  await until("no consent window once the page left", async () => (await consentOrigins()).length === 0);
}

/**
 * Presses a button of the consent window. The window closes itself once the
 * answer is stored, and a driver click that waits for the mouse-up to be
 * acknowledged can then fail on a target that is already gone: the click is
 * dispatched inside the page instead, and only a window that closed under it
 * is forgiven.
 */
export async function answerConsent(prompt, button) {
  try {
    await prompt.$eval(button, (element) => element.click());
  } catch (error) {
    if (!prompt.isClosed() && !/closed|detached|destroyed/i.test(error.message)) throw error;
  }
}

/** Connects the page's window.signer; { ok: true } or { error }. */
export function connectIn(page) {
  return page.evaluate(() => attempt(async () => {
    window.signer = await lib.connect();
    return true;
  }));
}

const POLICY_DIR = "/etc/chromium/policies/managed";
const POLICY_FILE = path.join(POLICY_DIR, `kelto-browser-test-${process.pid}.json`);
// The directories writePolicy made under /etc, deepest first, removed with the policy.
const madeDirs = [];

/**
 * An administrator's Chromium policy (needs root) that lets `origin` use the
 * extension without asking. stopChromium() takes it away with the directories
 * it made, as does an interrupted run: it must not outlive the suite.
 */
export function writePolicy(extensionId, origin) {
  for (let dir = POLICY_DIR; !fs.existsSync(dir); dir = path.dirname(dir)) madeDirs.push(dir);
  fs.mkdirSync(POLICY_DIR, { recursive: true });
  const policy = { "3rdparty": { extensions: { [extensionId]: { allowedOrigins: [origin] } } } };
  fs.writeFileSync(POLICY_FILE, JSON.stringify(policy));
  for (const signal of ["SIGINT", "SIGTERM"]) {
    if (!process.listeners(signal).includes(removeAndExit)) process.once(signal, removeAndExit);
  }
  if (!process.listeners("exit").includes(removePolicy)) process.once("exit", removePolicy);
}

function removePolicy() {
  fs.rmSync(POLICY_FILE, { force: true });
  for (const dir of madeDirs.splice(0)) fs.rmdirSync(dir);
}

function removeAndExit() {
  removePolicy();
  process.exit(1);
}

const launchArgs = ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync"];

/**
 * Headless Chromium with the workspace's environment and profile
 * (XDG_CONFIG_HOME/chromium, where register-host.sh writes) and the extension
 * built from its source and installed unpacked. Resolves to { browser,
 * extensionId } once the policy for the administrator's origin `managed`
 * has reached the extension, which Chromium applies a moment after installing.
 */
export async function startChromium(ws, managed) {
  const browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium", headless: true, pipe: true, enableExtensions: true,
    userDataDir: path.join(ws.env.XDG_CONFIG_HOME, "chromium"),
    args: launchArgs, env: { ...process.env, ...ws.env },
  });
  try {
    const extensionId = await browser.installExtension(build(ws.path("extension")).chromium);
    assert.equal(extensionId, identity.chromiumExtensionId, "the key in the manifest fixes the id");
    const options = await browser.newPage();
    await options.goto(`chrome-extension://${extensionId}/options.html`);
    await options.waitForSelector("body[data-shown]");
    await until("the administrator's origin in managed storage", () => options.evaluate(
      async (origin) => ((await chrome.storage.managed.get("allowedOrigins")).allowedOrigins ?? [])
        .includes(origin), managed));
    await options.close();
    return { browser, extensionId };
  } catch (error) {
    await browser.close();
    throw error;
  }
}

/** Closes the browser and the server and takes the policy away, whichever of them fails. */
export async function stopChromium(browser, server) {
  try {
    await browser?.close();
  } finally {
    await server?.close();
    removePolicy();
  }
}
