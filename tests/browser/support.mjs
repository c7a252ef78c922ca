// Shared set-up of the browser suites: a private workspace per suite (HOME,
// XDG_DATA_HOME with softcsp's keys, XDG_CONFIG_HOME, XDG_RUNTIME_DIR, TMPDIR,
// and the tests' stand-in pinentry that softcsp asks for a PIN the page left
// out), keys made with kelto-keytool, the host registered by
// scripts/register-host.sh through a wrapper that records every host process
// the browser starts, a static server on the loopback address, signature and
// certificate checks by openssl, the browsers, and system files put back on
// every way out.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import { createRequire } from "node:module";
import os from "node:os";
import path from "node:path";
import { it } from "node:test";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
export const repo = path.resolve(here, "..", "..");
// From `npm ci` in browser/ (the browser_modules fixture of CTest).
export const puppeteer = createRequire(path.join(repo, "browser", "package.json"))("puppeteer-core");

export const RSA = "Microsoft Strong Cryptographic Provider";
export const GOST = "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider";
export const PIN = "12#4";
export const identity = JSON.parse(fs.readFileSync(path.join(repo, "packaging", "identity.json"), "utf8"));

const requiredFile = (variable) => fs.existsSync(process.env[variable] ?? "") ? process.env[variable]
  : assert.fail(`${variable} must name a built program, got ${process.env[variable]}`);

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
  for (const deadline = Date.now() + timeout; ;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`gave up waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, interval));
  }
}

export function alive(pid) {
  try {
    return !/^\d+ \(.*\) Z/.test(fs.readFileSync(`/proc/${pid}/stat`, "utf8"));
  } catch {
    return false;
  }
}

const MIME = { ".html": "text/html; charset=utf-8", ".js": "text/javascript", ".css": "text/css" };

/** Serves the library, the demo, the test page and a directory of files. */
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
    response.writeHead(200, { "content-type": MIME[path.extname(file)] ?? "application/octet-stream",
                              "cache-control": "no-store" });
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

  /** How many times a pinentry was started so far. */
  pinentryStarts() {
    const record = this.env.KELTO_STANDIN_RECORD;
    return fs.existsSync(record) ? fs.readFileSync(record, "utf8").split('"start"').length - 1 : 0;
  }

  run(program, ...args) {
    const result = spawnSync(program, args, { env: { ...process.env, ...this.env }, maxBuffer: 1 << 26 });
    if (result.status !== 0) throw new Error(`${path.basename(program)} ${args.slice(0, 3).join(" ")} exited ${result.status}: ${result.stderr}`);
    return result.stdout;
  }

  keytool(...args) {
    return this.run(requiredFile("KELTO_KEYTOOL"), ...args);
  }

  /** A key with a certificate, also put into "MY"; returns the certificate's DER. */
  makeKey(container, provider) {
    this.keytool("generate", "--provider", provider, "--container", container, "--pin", PIN, "--store");
    const out = this.path(`${container}.der`);
    this.keytool("export-cert", "--provider", provider, "--container", container, "--out", out);
    return fs.readFileSync(out);
  }

  /**
   * Registers `host` for this workspace's user with scripts/register-host.sh,
   * through a wrapper that logs the pid of every host process a browser
   * starts (then becomes the host: same pid); null unregisters.
   */
  register(host = requiredFile("KELTO_HOST")) {
    const script = path.join(repo, "scripts", "register-host.sh");
    if (host === null) return this.run(script, "--user", "--uninstall");
    const wrapper = this.path("host-wrapper.sh");
    fs.writeFileSync(wrapper, `#!/bin/sh\necho $$ >> '${this.startLog}'\nexec '${host}' "$@"\n`, { mode: 0o755 });
    return this.run(script, "--user", "--host", wrapper);
  }

  /** Pids of the host processes started so far, in order. */
  hostStarts() {
    return fs.existsSync(this.startLog) ? fs.readFileSync(this.startLog, "utf8").split("\n").filter(Boolean).map(Number) : [];
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

  /** openssl checks a raw signature (reversed by the host into big-endian form) of `dataFile`. */
  verifyRaw(signatureB64, certificateDer, dataFile, digest, engine = []) {
    const [certificate, key, signature] = ["verify-cert.der", "verify-key.pem", "verify.sig"].map((f) => this.path(f));
    fs.writeFileSync(certificate, certificateDer);
    fs.writeFileSync(signature, Buffer.from(signatureB64, "base64"));
    this.run("openssl", "x509", ...engine, "-inform", "DER", "-in", certificate, "-pubkey", "-noout", "-out", key);
    this.run("openssl", "dgst", ...engine, digest, "-verify", key, "-signature", signature, dataFile);
  }

  /**
   * openssl checks a detached PKCS#7 message of `dataFile`; returns the
   * signer certificate's DER and the digest the message names, as openssl reads them.
   */
  verifyCms(signatureB64, dataFile, engine = []) {
    const [message, certificate] = ["verify.p7s", "verify-signer.pem"].map((f) => this.path(f));
    fs.writeFileSync(message, Buffer.from(signatureB64, "base64"));
    this.run("openssl", "cms", ...engine, "-verify", "-binary", "-inform", "DER", "-in", message, "-content", dataFile,
             "-noverify", "-out", this.path("verify.out"), "-signer", certificate);
    const printed = String(this.run("openssl", "cms", ...engine, "-cmsout", "-print", "-inform", "DER", "-in", message));
    return { certificate: this.run("openssl", "x509", ...engine, "-in", certificate, "-outform", "DER"),
             digest: DIGESTS[printed.match(/digestAlgorithms:\s*algorithm: .*\(([\d.]+)\)/)[1]] };
  }
}

// The digests a PKCS#7 message made here can name, by OID.
const DIGESTS = { "1.3.14.3.2.26": "SHA-1", "2.16.840.1.101.3.4.2.1": "SHA-256", "1.2.643.7.1.1.2.2": "Streebog-256" };

/**
 * Headless Chromium (Debian's launcher, which reads what the package and
 * policies put under /etc and /usr, unless options.executablePath says
 * otherwise) or Firefox ESR, with the workspace's environment and the
 * profile `profile` inside the workspace.
 */
export function launch(ws, profile, { firefox = false, args = [], ...options } = {}) {
  return puppeteer.launch({
    executablePath: firefox ? "/usr/bin/firefox-esr" : "/usr/bin/chromium", headless: true,
    userDataDir: ws.path(profile), env: { ...process.env, ...ws.env },
    ...(firefox ? { browser: "firefox" } : { pipe: true, enableExtensions: true, args: ["--no-sandbox", "--disable-gpu",
      "--disable-quic", "--no-first-run", "--disable-sync", "--disable-component-update", ...args] }),
    ...options,
  });
}

/**
 * Every consent window of Chromium extension `extensionId` that `browser`
 * opens, in order; next() is the page of the first one not handed out yet,
 * once it takes answers.
 */
export function consentWindows(browser, extensionId) {
  const windows = [];
  let handedOut = 0;
  const watch = (target) => {
    if (target.url().startsWith(`chrome-extension://${extensionId}/consent.html`) && !windows.includes(target)) {
      windows.push(target);
    }
  };
  browser.on("targetcreated", watch);
  browser.on("targetchanged", watch);
  windows.next = async () => {
    const page = await (await until("a consent window", () => windows[handedOut])).page();
    handedOut++;
    await page.waitForSelector("body[data-ready]");
    return page;
  };
  return windows;
}

/** A new tab (or `page`) with the test page (or another path) of an origin, loaded. */
export async function openPage(browser, origin, pagePath = "/test/", page = null) {
  page ??= await browser.newPage();
  await page.goto(`${origin}${pagePath}`);
  if (pagePath === "/test/") await page.waitForFunction(() => document.documentElement.dataset.ready);
  return page;
}

/**
 * Presses a button of the consent window once it takes clicks. The window
 * closes itself once the answer is stored, and a driver click that waits for
 * the mouse-up to be acknowledged can then fail on a target that is already
 * gone: the click is dispatched inside the page instead, and only a window
 * that closed under it is forgiven.
 */
export async function answerConsent(prompt, button) {
  await prompt.waitForSelector(`${button}:not([disabled])`);
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

const restorers = [];

/**
 * Writes a system file (needs root); restoreSystemFiles(), also called on
 * exit, SIGINT and SIGTERM (a CTest timeout), puts back the original or its
 * absence and removes the directories made for it.
 */
export function writeSystemFile(file, text) {
  const made = [];
  for (let dir = path.dirname(file); !fs.existsSync(dir); dir = path.dirname(dir)) made.push(dir);
  const original = fs.existsSync(file) ? fs.readFileSync(file) : null;
  restorers.push(() => {
    if (original === null) fs.rmSync(file, { force: true });
    else fs.writeFileSync(file, original);
    for (const dir of made) fs.rmdirSync(dir);
  });
  if (restorers.length === 1 && !process.listeners("exit").includes(restoreSystemFiles)) {
    process.once("exit", restoreSystemFiles);
    for (const signal of ["SIGINT", "SIGTERM"]) process.once(signal, () => process.exit(1));
  }
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, text);
}

export function restoreSystemFiles() {
  const errors = [];
  for (const restore of restorers.splice(0).reverse()) {
    try {
      restore();
    } catch (error) {
      errors.push(error);
    }
  }
  if (errors.length) throw errors[0];
}
