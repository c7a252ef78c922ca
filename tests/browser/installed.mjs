// The Debian package as people and administrators meet it, driven by
// tests/e2e/test_package_deb.py (as root) while the package is installed,
// and once more after it is purged. Nothing here installs an extension or
// registers a host: whatever the browsers find comes from the package.
//
//   KELTO_INSTALLED=present  a person's Chromium (Debian's launcher, a fresh
//                            profile) has the extension, asks, signs; an
//                            administrator's policy force-installs it where
//                            the launcher does not load it; Firefox ESR
//                            installs the XPI through policies.json
//   KELTO_INSTALLED=purged   a new Chromium start has no extension left
//
// KELTO_EXTENSION_ID is the id the test expects (computed from the package's
// key by the Python side), KELTO_POLICIES the package's policy examples.
// Every file this writes under /etc is taken away on every way out, SIGTERM
// from a CTest timeout included.
import assert from "node:assert/strict";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { after, before, describe } from "node:test";
import { PIN, RSA, Workspace, answerConsent, connectIn, dataFile, identity, openPage, puppeteer, scenario, serve,
         until } from "./support.mjs";

const extensionId = process.env.KELTO_EXTENSION_ID;
const policies = process.env.KELTO_POLICIES;
const mode = process.env.KELTO_INSTALLED;
const LOAD_ERROR = /Extension error|Failed to load extension/;
// Where Firefox ESR on Debian reads system-wide policies.
const FIREFOX_POLICIES = "/etc/firefox/policies/policies.json";

// --- system files of this run, restored whatever happens -------------------------
const restorers = [];

/** Writes `file` (needs root); the original, or its absence and the directories made, come back on restoreAll(). */
function writeSystemFile(file, text) {
  const made = [];
  for (let dir = path.dirname(file); !fs.existsSync(dir); dir = path.dirname(dir)) made.push(dir);
  const original = fs.existsSync(file) ? fs.readFileSync(file) : null;
  restorers.push(() => {
    if (original === null) fs.rmSync(file, { force: true });
    else fs.writeFileSync(file, original);
    for (const dir of made) fs.rmdirSync(dir);
  });
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, text);
}

function restoreAll() {
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

for (const signal of ["SIGINT", "SIGTERM"]) {
  process.once(signal, () => {
    try {
      restoreAll();
    } finally {
      process.exit(1);
    }
  });
}

// --- browsers ----------------------------------------------------------------------
const chromiumArgs = ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-sync",
                      "--disable-component-update", "--enable-logging=stderr"];

/**
 * Headless Chromium with a fresh profile in the workspace, as `program`
 * starts it: Debian's launcher (/usr/bin/chromium) adds every folder of
 * /usr/share/chromium/extensions; the binary itself adds none. Its standard
 * error is kept for the extension load errors a person would see.
 */
async function startChromium(ws, program, name, { fetchPolicyExtensions = false } = {}) {
  const log = [];
  const browser = await puppeteer.launch({
    executablePath: program, headless: true, pipe: true, enableExtensions: true,
    userDataDir: ws.path(name), args: chromiumArgs, env: { ...process.env, ...ws.env },
    // A force-installed extension is fetched, even from a file: URL, as background networking.
    ignoreDefaultArgs: fetchPolicyExtensions ? ["--disable-background-networking"] : [],
  });
  browser.process().stderr.on("data", (chunk) => log.push(chunk.toString()));
  const consents = [];
  const watch = (target) => {
    if (target.url().startsWith(`chrome-extension://${extensionId}/consent.html`) && !consents.includes(target)) {
      consents.push(target);
    }
  };
  browser.on("targetcreated", watch);
  browser.on("targetchanged", watch);
  return { browser, consents, loadErrors: () => log.join("").split("\n").filter((l) => LOAD_ERROR.test(l)) };
}

/**
 * A page of `origin` connected once a policy has installed the extension:
 * content scripts only reach pages loaded after that, so each try is a new page.
 */
async function connectWhenInstalled(browser, origin) {
  return until("the extension the policy installs", async () => {
    const page = await openPage(browser, origin);
    const result = await connectIn(page);
    if (result.error?.code !== "ExtensionMissing") return { page, result };
    await page.close();
    return null;
  }, { timeout: 90000, interval: 500 });
}

/**
 * Lists the key, reads its certificate and signs raw and PKCS#7 through the
 * page's connected signer; openssl checks both signatures.
 */
async function signIn(ws, page, certificate, text) {
  const file = dataFile(ws, "signed.txt", text);
  const r = await page.evaluate((provider, pin, text) => attempt(async () => {
    const containers = await signer.listContainers(provider);
    const session = await signer.openSession({ providerName: provider, containerName: "installed", pin });
    const own = await session.getCertificate();
    const raw = await session.sign({ data: text, format: "raw" });
    const pkcs7 = await session.sign({ data: text, format: "pkcs7" });
    await session.close();
    return { containers, certificate: own.base64, raw: raw.base64, pkcs7: pkcs7.base64 };
  }), RSA, PIN, text);
  assert.ok(r.ok, JSON.stringify(r.error));
  assert.deepEqual(r.ok.containers, ["installed"]);
  assert.deepEqual(Buffer.from(r.ok.certificate, "base64"), certificate);
  ws.verifyRaw(r.ok.raw, certificate, file, "-sha1");
  assert.deepEqual(ws.verifyCms(r.ok.pkcs7, file), certificate);
}

function packagedPolicy(name, origin) {
  const text = fs.readFileSync(path.join(policies, name), "utf8");
  assert.ok(text.includes("https://sign.example.com"), `${name} shows where the origins go`);
  return text.replaceAll("https://sign.example.com", origin);
}

/** Once the package is gone there is no host or keytool: a workspace with only its folders. */
function emptyWorkspace() {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), "kelto-purged-"));
  const at = (...names) => path.join(root, ...names);
  for (const dir of ["home", "files", "tmp"]) fs.mkdirSync(at(dir));
  return { path: at, env: { HOME: at("home"), XDG_CONFIG_HOME: at("home", ".config"), TMPDIR: at("tmp") },
           cleanup: () => fs.rmSync(root, { recursive: true, force: true }) };
}

describe(`the installed package (${mode})`, () => {
  let ws;
  let server;
  let certificate;
  let managed;
  let asking;

  before(async () => {
    assert.match(extensionId ?? "", /^[a-p]{32}$/, "KELTO_EXTENSION_ID names the package's extension");
    ws = mode === "purged" ? emptyWorkspace() : new Workspace("installed");
    if (mode !== "purged") certificate = ws.makeKey("installed", RSA);
    server = await serve(ws.path("files"));
    managed = `http://localhost:${server.port}`;
    asking = `http://127.0.0.1:${server.port}`;
  });

  after(async () => {
    try {
      await server?.close();
    } finally {
      restoreAll();
      ws?.cleanup();
    }
  });

  if (mode === "purged") {
    scenario("a new Chromium start has no extension, no load error, and the demo says how to install it",
             async () => {
      const { browser, loadErrors } = await startChromium(ws, "/usr/bin/chromium", "after-purge");
      try {
        const page = await openPage(browser, asking, "/demo/");
        await page.waitForSelector("#error:not([hidden])");
        const advice = await page.$eval("#error", (element) => element.textContent);
        assert.match(advice, /extension is not installed.*Install the keltoDataSigned package.*Chromium/);
        assert.deepEqual(loadErrors(), []);
      } finally {
        await browser.close();
      }
    });
    return;
  }

  scenario("a person: the launcher loads the extension, the page asks, Allow, raw and PKCS#7 signatures",
           async () => {
    const { browser, consents, loadErrors } = await startChromium(ws, "/usr/bin/chromium", "person");
    try {
      const page = await openPage(browser, asking);
      const pending = connectIn(page);
      const prompt = await (await until("the consent window", () => consents[0])).page();
      // The answers take a click only once the window has been seen for a moment.
      await prompt.waitForSelector("#allow:not([disabled])");
      await answerConsent(prompt, "#allow");
      assert.deepEqual(await pending, { ok: true });
      await signIn(ws, page, certificate, "Signed by a person ✓");
      assert.deepEqual(loadErrors(), [], "no extension error at start");
    } finally {
      await browser.close();
    }
  });

  scenario("an administrator: the packaged policy force-installs the .crx; its origin signs without asking",
           async () => {
    const policy = JSON.parse(packagedPolicy("keltodatasigned.json", managed));
    assert.deepEqual(policy.ExtensionInstallForcelist, [`${extensionId};file:///usr/share/keltodatasigned/updates.xml`]);
    writeSystemFile(`/etc/chromium/policies/managed/kelto-installed-${process.pid}.json`, JSON.stringify(policy));
    // The binary, not the launcher: the extension can only come from the policy.
    const start = () => startChromium(ws, "/usr/lib/chromium/chromium", "administrator", { fetchPolicyExtensions: true });
    const first = await start();
    try {
      await until("the policy's extension in the fresh profile",
                  () => fs.existsSync(ws.path("administrator", "Default", "Extensions", extensionId)),
                  { timeout: 90000, interval: 250 });
    } finally {
      await first.browser.close();
    }
    // Driven over DevTools, the service worker of an extension installed during
    // the session never answered; from the next start on it does.
    const { browser, consents, loadErrors } = await start();
    try {
      const { page, result } = await connectWhenInstalled(browser, managed);
      assert.deepEqual(result, { ok: true });
      await signIn(ws, page, certificate, "Signed for an administrator ✓");
      assert.equal(consents.length, 0, "no consent window for the administrator's origin");
      assert.deepEqual(loadErrors(), []);
    } finally {
      await browser.close();
      restoreAll();
    }
  });

  scenario("Firefox ESR: the packaged policies.json installs the XPI; its origin lists, reads and signs",
           async () => {
    const policy = JSON.parse(packagedPolicy("firefox-policies.json", managed));
    const xpi = new URL(policy.policies.ExtensionSettings[identity.firefoxAddonId].install_url);
    assert.ok(fs.existsSync(xpi.pathname), `${xpi} is installed by the package`);
    // What an unsigned XPI needs, and only ESR and Developer Edition honour.
    policy.policies.Preferences = { "xpinstall.signatures.required": { Value: false, Status: "locked" } };
    writeSystemFile(FIREFOX_POLICIES, JSON.stringify(policy));
    const browser = await puppeteer.launch({
      browser: "firefox", executablePath: "/usr/bin/firefox-esr", headless: true,
      userDataDir: ws.path("firefox"), env: { ...process.env, ...ws.env },
    });
    try {
      const { page, result } = await connectWhenInstalled(browser, managed);
      assert.deepEqual(result, { ok: true });
      await signIn(ws, page, certificate, "Signed in Firefox ✓");
    } finally {
      await browser.close();
      restoreAll();
    }
  });
});
