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
import { PIN, RSA, Workspace, answerConsent, connectIn, identity, launch, openPage, scenario, serve, skipSuiteUnless,
         until } from "./support.mjs";

skipSuiteUnless(fs.existsSync("/usr/bin/firefox-esr"), "no /usr/bin/firefox-esr");

describe("Firefox", () => {
  let ws;
  let server;
  let browser;
  let managed;
  let asking;
  let certificate;

  // The open page of the extension's `file`, once `ready` matches. Firefox reports an extension's
  // window as about:blank to BiDi for a while; its document knows where it is.
  async function extensionPage(file, ready) {
    const tab = await until(`the extension's ${file}`, async () => {
      for (const tab of await browser.pages()) {
        const href = await tab.evaluate(() => location.href).catch(() => "");
        if (href.startsWith("moz-extension://") && href.includes(`/${file}`)) return tab;
      }
      return null;
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
    const storage = path.join(ws.env.HOME, ".mozilla", "managed-storage");
    fs.mkdirSync(storage, { recursive: true });
    fs.writeFileSync(path.join(storage, `${identity.firefoxAddonId}.json`), JSON.stringify({
      name: identity.firefoxAddonId, description: "keltoDataSigned test policy", type: "storage",
      data: { allowedOrigins: [managed] } }));
    browser = await launch(ws, "firefox-profile", { firefox: true });
    assert.equal(await browser.installExtension(build(ws.path("extension")).firefox), identity.firefoxAddonId);
  });

  after(async () => {
    try {
      await browser?.close();
    } finally {
      await server?.close();
    }
    await ws?.noHostLeft();
    ws?.cleanup();
  });

  scenario("an administrator's origin: the certificate listed, raw and PKCS#7 signatures of content " +
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
      const session = await signer.openSession({ providerName: provider, containerName: "rsa-key", pin });
      const raw = await session.sign({ data: text, format: "raw" });
      const pkcs7 = await session.sign({ data: await (await fetch("/files/big.bin")).blob(), format: "pkcs7" });
      await session.close();
      return { entry: [entry.providerName, entry.containerName, entry.certificate.subject, entry.certificate.base64],
               raw: [raw.base64, raw.hashAlgorithm], pkcs7: pkcs7.base64 };
    }), RSA, PIN, text);
    assert.ok(r.ok, JSON.stringify(r.error));
    assert.deepEqual(r.ok.entry, [RSA, "rsa-key", "CN=rsa-key", certificate.toString("base64")]);
    assert.equal(r.ok.raw[1], "SHA-1");
    ws.verifyRaw(r.ok.raw[0], certificate, file, "-sha1");
    assert.deepEqual(ws.verifyCms(r.ok.pkcs7, big).certificate, certificate);
    assert.equal(ws.hostStarts().length, 1);
    await page.close();
  });

  scenario("consent: Deny refuses without a host and is kept out of storage.local, an answer forged there " +
           "does not count, revoking asks again, Allow", async () => {
    const page = await openPage(browser, asking);
    const before = ws.hostStarts().length;
    let pending = connectIn(page);
    let prompt = await extensionPage("consent.html", "body[data-ready]");
    assert.ok((await prompt.evaluate(() => document.body.innerText)).includes(asking));
    // BiDi may not navigate a tab to an extension page; the extension can open its own.
    await prompt.evaluate(() => browser.runtime.openOptionsPage());
    const options = await extensionPage("options.html", "body[data-shown]");
    await prompt.bringToFront();  // the options page took the focus, and the buttons wait for it
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
    await answerConsent(prompt, "#allow");
    assert.deepEqual(await pending, { ok: true });
    assert.equal(ws.hostStarts().length, before + 1);
    await page.close();
  });
});
