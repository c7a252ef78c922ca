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
import path from "node:path";
import { after, before, describe } from "node:test";
import { PIN, RSA, Workspace, answerConsent, connectIn, consentWindows, launch, openPage,
         restoreSystemFiles, scenario, serve, until, writeSystemFile } from "./support.mjs";

const extensionId = process.env.KELTO_EXTENSION_ID;
const policies = process.env.KELTO_POLICIES;
const mode = process.env.KELTO_INSTALLED;

/**
 * Headless Chromium with a fresh profile in the workspace, as `program`
 * starts it: Debian's launcher adds every folder of
 * /usr/share/chromium/extensions; the binary itself adds none. loadErrors()
 * are the extension load errors on its standard error, which a person would see.
 */
async function startChromium(ws, profile, options) {
  const browser = await launch(ws, profile, { args: ["--enable-logging=stderr"], ...options });
  const log = [];
  browser.process().stderr.on("data", (chunk) => log.push(chunk.toString()));
  return { browser, consents: consentWindows(browser, extensionId),
           loadErrors: () => log.join("").split("\n").filter((l) => /Extension error|Failed to load extension/.test(l)) };
}

/**
 * Connects a page of `origin` once a policy has installed the extension (content
 * scripts only reach pages loaded after that, so each try is a new page), and
 * signs with the package's host through it; openssl checks the signature.
 */
async function connectAndSign(ws, browser, origin, certificate, text) {
  const page = await until("the extension the policy installs", async () => {
    const tried = await openPage(browser, origin);
    const result = await connectIn(tried);
    if (result.error?.code === "ExtensionMissing") return tried.close().then(() => null);
    assert.deepEqual(result, { ok: true });
    return tried;
  }, { timeout: 90000, interval: 500 });
  const r = await page.evaluate((providerName, pin, data) => attempt(async () =>
    (await signer.sign({ providerName, containerName: "installed", pin, data })).base64), RSA, PIN, text);
  assert.ok(r.ok, JSON.stringify(r.error));
  assert.deepEqual(ws.verifyCms(r.ok, ws.write("signed.txt", text)).certificate, certificate);
}

function packagedPolicy(name, origin) {
  const text = fs.readFileSync(path.join(policies, name), "utf8");
  assert.ok(text.includes("https://sign.example.com"), `${name} shows where the origins go`);
  return JSON.parse(text.replaceAll("https://sign.example.com", origin));
}

describe(`the installed package (${mode})`, () => {
  let ws;
  let server;
  let certificate;
  let managed;
  let asking;

  before(async () => {
    assert.match(extensionId ?? "", /^[a-p]{32}$/, "KELTO_EXTENSION_ID names the package's extension");
    ws = new Workspace(`installed-${mode}`);  // once the package is gone, with neither host nor keytool
    if (mode !== "purged") certificate = ws.makeKey("installed", RSA);
    server = await serve(ws.path("files"));
    managed = `http://localhost:${server.port}`;
    asking = `http://127.0.0.1:${server.port}`;
  });

  after(async () => {
    try {
      await server?.close();
    } finally {
      restoreSystemFiles();
      ws?.cleanup();
    }
  });

  if (mode === "purged") {
    scenario("a new Chromium start has no extension, no load error, and the demo says how to install it",
             async () => {
      const { browser, loadErrors } = await startChromium(ws, "after-purge");
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

  // The package's host signs in the administrator's scenarios; a person's connection reaching it is enough here.
  scenario("a person: the launcher loads the extension, the page asks, Allow, the host answers",
           async () => {
    const { browser, consents, loadErrors } = await startChromium(ws, "person");
    try {
      const page = await openPage(browser, asking);
      const pending = connectIn(page);
      await answerConsent(await consents.next(), "#allow");
      assert.deepEqual(await pending, { ok: true });
      assert.deepEqual(loadErrors(), [], "no extension error at start");
    } finally {
      await browser.close();
    }
  });

  scenario("an administrator: the packaged policy force-installs the .crx; its origin signs without asking",
           async () => {
    const policy = packagedPolicy("keltodatasigned.json", managed);
    writeSystemFile(`/etc/chromium/policies/managed/kelto-installed-${process.pid}.json`, JSON.stringify(policy));
    // The binary, not the launcher: the extension can only come from the policy. A force-installed
    // extension is fetched, even from a file: URL, as background networking.
    const start = () => startChromium(ws, "administrator", { executablePath: "/usr/lib/chromium/chromium",
                                                             ignoreDefaultArgs: ["--disable-background-networking"] });
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
      await connectAndSign(ws, browser, managed, certificate, "Signed for an administrator ✓");
      assert.equal(consents.length, 0, "no consent window for the administrator's origin");
      assert.deepEqual(loadErrors(), []);
    } finally {
      await browser.close();
      restoreSystemFiles();
    }
  });

  scenario("Firefox ESR: the packaged policies.json installs the XPI; its origin signs",
           async () => {
    const policy = packagedPolicy("firefox-policies.json", managed);
    // What an unsigned XPI needs, and only ESR and Developer Edition honour.
    policy.policies.Preferences = { "xpinstall.signatures.required": { Value: false, Status: "locked" } };
    // Where Firefox ESR on Debian reads system-wide policies.
    writeSystemFile("/etc/firefox/policies/policies.json", JSON.stringify(policy));
    const browser = await launch(ws, "firefox", { firefox: true });
    try {
      await connectAndSign(ws, browser, managed, certificate, "Signed in Firefox ✓");
    } finally {
      await browser.close();
      restoreSystemFiles();
    }
  });
});
