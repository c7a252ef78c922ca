// The browser side in headless Firefox ESR: the extension installed as a
// temporary add-on over WebDriver BiDi, the host registered in the suite's
// HOME by scripts/register-host.sh, and pages using the page library.
//
// http://localhost:PORT is allowed by an administrator through Firefox's
// per-user managed storage (~/.mozilla/managed-storage, no root needed);
// http://127.0.0.1:PORT has to ask the person.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe } from "node:test";
import { build } from "../../browser/build.mjs";
import { PIN, RSA, Workspace, answerConsent, scenario, alive, connectIn, hopAcross, identity, libraryFields, openPage,
         opensslFields, puppeteer, serve, skipSuiteUnless, until } from "./support.mjs";

skipSuiteUnless(fs.existsSync("/usr/bin/firefox-esr"), "no /usr/bin/firefox-esr");

describe("Firefox", () => {
  let ws;
  let server;
  let browser;
  let managed;
  let asking;
  let others;  // three more origins that have to ask: more servers on 127.0.0.1
  let certificate;

  // The open pages of the extension's `file`. Firefox reports an extension's
  // window as about:blank to BiDi for a while; its document knows where it is.
  async function extensionPages(file) {
    const found = [];
    for (const tab of await browser.pages()) {
      const href = await tab.evaluate(() => location.href).catch(() => "");
      if (href.startsWith("moz-extension://") && href.includes(`/${file}`)) found.push({ tab, href });
    }
    return found;
  }

  async function extensionPage(file, ready) {
    const [{ tab }] = await until(`the extension's ${file}`, async () => {
      const found = await extensionPages(file);
      return found.length > 0 && found;
    });
    await tab.waitForSelector(ready);
    return tab;
  }

  before(async () => {
    ws = new Workspace("firefox");
    certificate = ws.makeKey("rsa-key", RSA);
    ws.register();
    server = await serve(ws.path("files"));
    managed = `http://localhost:${server.port}`;
    asking = `http://127.0.0.1:${server.port}`;
    others = await Promise.all([1, 2, 3].map(() => serve(ws.path("files"))));
    const storage = path.join(ws.env.HOME, ".mozilla", "managed-storage");
    fs.mkdirSync(storage, { recursive: true });
    fs.writeFileSync(path.join(storage, `${identity.firefoxAddonId}.json`), JSON.stringify({
      name: identity.firefoxAddonId, description: "keltoDataSigned test policy", type: "storage",
      data: { allowedOrigins: [managed] } }));
    browser = await puppeteer.launch({
      browser: "firefox", executablePath: "/usr/bin/firefox-esr", headless: true,
      userDataDir: ws.path("firefox-profile"), env: { ...process.env, ...ws.env },
    });
    const id = await browser.installExtension(build(ws.path("extension")).firefox);
    assert.equal(id, identity.firefoxAddonId);
  });

  after(async () => {
    try {
      await browser?.close();
    } finally {
      for (const other of [server, ...(others ?? [])]) await other?.close();
    }
    await ws?.noHostLeft();
    ws?.cleanup();
  });

  scenario("an administrator's origin: certificates listed and read, raw and PKCS#7 signatures of content " +
           "through the runtime port", async () => {
    const page = await openPage(browser, managed);
    const tabs = (await browser.pages()).length;
    assert.deepEqual(await connectIn(page), { ok: true });
    assert.equal((await browser.pages()).length, tabs, "no consent window for an allowed origin");
    const text = "Подпись в Firefox ✓";
    const file = ws.write("text.txt", text);
    const big = ws.write("big.bin", Buffer.alloc(5 * 1024 * 1024, 7));
    const r = await page.evaluate((provider, pin, text) => attempt(async () => {
      const [entry] = await signer.listCertificates();
      const c = entry.certificate;
      const session = await signer.openSession({ providerName: provider, containerName: "rsa-key", pin });
      const fromStore = await session.getCertificate({ source: "store" });
      const raw = await session.sign({ data: text, format: "raw" });
      const pkcs7 = await session.sign({ data: await (await fetch("/files/big.bin")).blob(), format: "pkcs7" });
      await session.close();
      const ownSession = await signer.sign({ providerName: provider, containerName: "rsa-key", pin,
                                             data: new Blob([text]), format: "pkcs7", source: "store" });
      return { entry: [entry.providerName, entry.containerName],
               certificate: { ...c, bytes: undefined, notBefore: c.notBefore.toISOString(), notAfter: c.notAfter.toISOString() },
               fromStore: fromStore.base64, raw: [raw.base64, raw.hashAlgorithm], pkcs7: pkcs7.base64,
               ownSession: ownSession.base64 };
    }), RSA, PIN, text);
    assert.ok(r.ok, JSON.stringify(r.error));
    assert.deepEqual(r.ok.entry, [RSA, "rsa-key"]);
    assert.deepEqual(libraryFields(r.ok.certificate), opensslFields(ws.write("rsa-key.der", certificate)));
    assert.deepEqual(Buffer.from(r.ok.fromStore, "base64"), certificate);
    assert.equal(r.ok.raw[1], "SHA-1");
    ws.verifyRaw(r.ok.raw[0], certificate, file, "-sha1");
    assert.deepEqual(ws.verifyCms(r.ok.pkcs7, big), certificate);
    assert.deepEqual(ws.verifyCms(r.ok.ownSession, file), certificate);
    assert.equal(ws.hostStarts().length, 1);
    await page.close();
  });

  scenario("consent: Deny refuses without a host and is kept out of storage.local, an answer forged there " +
           "does not count, revoking asks again, Allow outlives a reload", async () => {
    const page = await openPage(browser, asking);
    const before = ws.hostStarts().length;
    let pending = connectIn(page);
    let prompt = await extensionPage("consent.html", "body[data-ready]");
    assert.ok((await prompt.evaluate(() => document.body.innerText)).includes(asking));
    // BiDi may not navigate a tab to an extension page; the extension can open its own.
    await prompt.evaluate(() => browser.runtime.openOptionsPage());
    const options = await extensionPage("options.html", "body[data-shown]");
    await prompt.bringToFront();  // the options page took the focus, and the buttons wait for it
    await prompt.waitForSelector("#deny:not([disabled])");
    await answerConsent(prompt, "#deny");
    assert.equal((await pending).error?.code, "AccessDenied");
    assert.equal(ws.hostStarts().length, before, "no host for a denied origin");

    // Content scripts share storage.local with the extension in Firefox; BiDi
    // cannot run code in a content script, so an extension page stands in.
    await options.waitForSelector(`#denied li[data-origin="${asking}"]`);
    assert.deepEqual(await options.evaluate(() => browser.storage.local.get(null)), {});
    await options.click(`#denied li[data-origin="${asking}"] .revoke`);
    await options.waitForSelector("#denied li.empty");
    await options.evaluate((origin) => browser.storage.local.set({ [`origin:${origin}`]: { choice: "allow" } }), asking);
    await options.close();

    pending = connectIn(page);
    prompt = await extensionPage("consent.html", "body[data-ready]");
    await prompt.waitForSelector("#allow:not([disabled])");
    await answerConsent(prompt, "#allow");
    assert.deepEqual(await pending, { ok: true });
    const [pid] = ws.hostStarts().slice(before);
    await page.reload();
    await page.waitForFunction(() => document.documentElement.dataset.ready);
    await until("the reloaded page's host to end", () => !alive(pid));
    assert.deepEqual(await connectIn(page), { ok: true }, "allowed without asking again");
    assert.equal(ws.hostStarts().length, before + 2);
    await page.close();
  });

  scenario("a tab hopping across three origins has one consent window at a time, and none once it leaves", async () => {
    const page = await browser.newPage();
    await hopAcross(page, others.map((other) => `http://127.0.0.1:${other.port}`), managed, async () =>
      (await extensionPages("consent.html")).map(({ href }) => new URL(href).searchParams.get("origin")));
    await page.close();
  });
});
