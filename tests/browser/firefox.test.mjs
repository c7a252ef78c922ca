// The browser side in headless Firefox ESR: the extension installed as a
// temporary add-on over WebDriver BiDi, the host registered in the suite's
// HOME by scripts/register-host.sh, and a page on http://127.0.0.1:PORT that
// has to ask the person. What Firefox does differently: content travels as a
// Blob through the runtime port, and content scripts share storage.local.
import assert from "node:assert/strict";
import fs from "node:fs";
import { after, before, describe } from "node:test";
import { build } from "../../browser/build.mjs";
import { PIN, RSA, Workspace, answerConsent, connectIn, identity, launch, openPage, scenario, serve, skipSuiteUnless,
         until } from "./support.mjs";

skipSuiteUnless(fs.existsSync("/usr/bin/firefox-esr"), "no /usr/bin/firefox-esr");

describe("Firefox", () => {
  let ws;
  let server;
  let browser;
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
    browser = await launch(ws, "firefox-profile", { firefox: true });
    assert.equal(await browser.installExtension(build(ws.path("extension")).firefox), identity.firefoxAddonId);
  });

  after(async () => {
    try {
      await browser?.close();
      await ws?.noHostLeft();
    } finally {
      await server?.close();
      ws?.cleanup();
    }
  });

  scenario("Deny refuses without a host and stays out of storage.local, where an answer forged does not " +
           "count; revoked, asked again, Allow; then content signed through the runtime port", async () => {
    const asking = `http://127.0.0.1:${server.port}`;
    const page = await openPage(browser, asking);
    let pending = connectIn(page);
    const prompt = await extensionPage("consent.html", "body[data-ready]");
    // BiDi may not navigate a tab to an extension page; the extension can open its own.
    await prompt.evaluate(() => browser.runtime.openOptionsPage());
    const options = await extensionPage("options.html", "body[data-shown]");
    await prompt.bringToFront();  // the options page took the focus, and the buttons wait for it
    await answerConsent(prompt, "#deny");
    assert.equal((await pending).error?.code, "AccessDenied");

    // BiDi cannot run code in a content script; an extension page shares its storage.local.
    await options.waitForSelector(`#denied li[data-origin="${asking}"]`);
    assert.deepEqual(await options.evaluate(() => browser.storage.local.get(null)), {});
    await options.click(`#denied li[data-origin="${asking}"] .revoke`);
    await options.waitForSelector("#denied li.empty");
    await options.evaluate((origin) => browser.storage.local.set({ [`origin:${origin}`]: { choice: "allow" } }), asking);
    await options.close();

    pending = connectIn(page);
    await answerConsent(await extensionPage("consent.html", "body[data-ready]"), "#allow");
    assert.deepEqual(await pending, { ok: true });
    const text = "Подпись в Firefox ✓";
    const r = await page.evaluate((providerName, pin, text) => attempt(async () => {
      const { base64, hashAlgorithm } = await signer.sign({ providerName, containerName: "rsa-key", pin, data: text, format: "raw" });
      return [base64, hashAlgorithm];
    }), RSA, PIN, text);
    assert.ok(r.ok, JSON.stringify(r.error));
    assert.equal(r.ok[1], "SHA-1");
    ws.verifyRaw(r.ok[0], certificate, ws.write("text.txt", text), "-sha1");
    await page.close();
  });
});
