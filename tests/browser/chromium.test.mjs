// The browser side in real headless Chromium: pages on a loopback server use
// the page library through the unpacked extension and the registered host.
// One browser for the whole suite; the scenarios run in order and share it.
//
// Two origins of the same server: http://localhost:PORT is allowed by an
// administrator (a Chromium policy under /etc/chromium, removed at the end),
// http://127.0.0.1:PORT has to ask the person.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe } from "node:test";
import { build } from "../../browser/build.mjs";
import { GOST, PIN, RSA, Workspace, alive, answerConsent, connectIn, consentWindows, identity, launch,
         openPage as openTestPage, restoreSystemFiles, scenario, serve,
         skipSuiteUnless, until, writeSystemFile } from "./support.mjs";

skipSuiteUnless(process.getuid?.() === 0, "the administrator's policy under /etc needs root");
skipSuiteUnless(fs.existsSync("/usr/bin/chromium"), "no /usr/bin/chromium");

const MiB = 1024 * 1024;
const GOST_ENGINE = ["-engine", "gost"];

describe("Chromium", () => {
  let ws;
  let server;
  let browser;
  let extensionId;
  let managed;
  let asking;
  let consents;  // every consent window ever opened
  const certificates = {};

  const openPage = (origin, pagePath, page) => openTestPage(browser, origin, pagePath, page);
  const openOptions = async () => {
    const options = await openPage(`chrome-extension://${extensionId}`, "/options.html");
    await options.waitForSelector("body[data-shown]");
    return options;
  };

  // Connects the page's window.signer and opens its window.session with the RSA key; the handle.
  const openSessionIn = (page) => page.evaluate((provider, pin) => attempt(async () => {
    window.signer = await lib.connect();
    window.session = await signer.openSession({ providerName: provider, containerName: "rsa-key", pin });
    return session.handle;
  }), RSA, PIN);

  before(async () => {
    ws = new Workspace("chromium");
    certificates[RSA] = ws.makeKey("rsa-key", RSA);
    certificates[GOST] = ws.makeKey("gost-key", GOST);
    ws.keytool("generate", "--provider", RSA, "--container", "broken-key", "--pin", PIN);
    const damaged = ws.path("data", "keltoDataSigned", "softcsp", "containers", "1", "broken-key", "signature.p12");
    fs.writeFileSync(damaged, fs.readFileSync(damaged).subarray(0, 100));
    ws.register();
    server = await serve(ws.path("files"));
    managed = `http://localhost:${server.port}`;
    asking = `http://127.0.0.1:${server.port}`;
    writeSystemFile(`/etc/chromium/policies/managed/kelto-browser-test-${process.pid}.json`, JSON.stringify(
      { "3rdparty": { extensions: { [identity.chromiumExtensionId]: { allowedOrigins: [managed] } } } }));
    // The profile is where register-host.sh writes the user's host manifest.
    browser = await launch(ws, "home/.config/chromium");
    extensionId = await browser.installExtension(build(ws.path("extension")).chromium);
    assert.equal(extensionId, identity.chromiumExtensionId, "the key in the manifest fixes the id");
    consents = consentWindows(browser, extensionId);
    // Chromium applies the policy a moment after installing the extension.
    const options = await openOptions();
    await until("the administrator's origin in managed storage", () => options.evaluate(
      async (origin) => ((await chrome.storage.managed.get("allowedOrigins")).allowedOrigins ?? []).includes(origin),
      managed));
    await options.close();
  });

  after(async () => {
    try {
      await browser?.close();
      await ws?.noHostLeft();
    } finally {
      await server?.close();
      restoreSystemFiles();
      ws?.cleanup();
    }
  });

  scenario("an administrator's origin: the certificates listed and read without a PIN, a damaged " +
           "one reported alone; sessions and signatures for GOST 2012, the hash named", async () => {
    const page = await openPage(managed);
    assert.deepEqual(await connectIn(page), { ok: true });
    const listed = await page.evaluate(() => attempt(async () => (await signer.listCertificates())
      .map(({ providerName, containerName, certificate: c, error }) => [providerName, containerName,
        c && [c.subject, c.keyAlgorithm.name, c.keyAlgorithm.bits, c.base64, c.valid], error && [error.code, error.action]])));
    const base64 = (provider) => certificates[provider].toString("base64");
    assert.deepEqual(listed.ok.sort(), [[GOST, "gost-key", ["CN=gost-key", "GOST R 34.10-2012", 256, base64(GOST), true], null],
      [RSA, "broken-key", null, ["HostError", "getCertificate"]], [RSA, "rsa-key", ["CN=rsa-key", "RSA", 2048, base64(RSA), true], null]]);
    assert.equal(ws.pinentryStarts(), 0, "listing asks for no PIN");

    // RSA signs in the scenarios below; GOST's hashes are named by the library, from the message for PKCS#7.
    const text = "Подпись: text to sign ✓";
    const textFile = ws.write("text.txt", text);
    const r = await page.evaluate((providerName, containerName, pin, text, path) => attempt(async () => {
      const session = await signer.openSession({ providerName, containerName, pin });
      const read = [await session.getCertificate(), await session.getCertificate({ source: "store" })];
      const signatures = [await session.sign({ data: text, format: "raw" }),
                          await session.sign({ path, format: "pkcs7", source: "store" }),
                          await signer.sign({ providerName, containerName, pin, data: new Blob([text]) })];
      await session.close();
      return { containers: await signer.listContainers(providerName), certificates: read.map((c) => c.base64),
               signatures: signatures.map((s) => [s.base64, s.hashAlgorithm]), usable: session.usable,
               afterClose: (await attempt(() => session.sign({ data: text }))).error.code };
    }), GOST, "gost-key", PIN, text, textFile);
    assert.ok(r.ok, JSON.stringify(r.error));
    assert.deepEqual([r.ok.containers, r.ok.certificates, r.ok.usable, r.ok.afterClose, r.ok.signatures.map((s) => s[1])],
                     [["gost-key"], Array(2).fill(base64(GOST)), false, "BadArgument", Array(3).fill("Streebog-256")]);
    const [[raw], ...pkcs7] = r.ok.signatures;
    ws.verifyRaw(raw, certificates[GOST], textFile, "-md_gost12_256", GOST_ENGINE);
    for (const [signature] of pkcs7) {
      assert.deepEqual(ws.verifyCms(signature, textFile, GOST_ENGINE), { certificate: certificates[GOST], digest: "Streebog-256" });
    }
    await page.close();
  });

  scenario("two pages have hosts of their own: a killed host ends only its page's connection, as " +
           "HostDisconnected; a connection that the page closes, or that goes with its page, ends its host", async () => {
    const pages = [await openPage(managed), await openPage(managed)];
    const before = ws.hostStarts().length;
    for (const page of pages) assert.equal(typeof (await openSessionIn(page)).ok, "number");
    const [first, second] = ws.hostStarts().slice(before);
    process.kill(first, "SIGKILL");
    assert.equal(await pages[0].evaluate(() => signer.closed.then((e) => e.code)), "HostDisconnected");
    const signed = await pages[1].evaluate(() => attempt(async () => (await session.sign({ data: "two", format: "raw" })).base64));
    ws.verifyRaw(signed.ok, certificates[RSA], ws.write("two.txt", "two"), "-sha1");
    await pages[1].evaluate(() => signer.close());
    await until("the closed connection's host to end", () => !alive(second));
    assert.equal(typeof (await openSessionIn(pages[0])).ok, "number");
    const third = ws.hostStarts().slice(before);
    assert.equal(third.length, 3);
    for (const page of pages) await page.close();
    await until("the host of the page that went to end", () => !alive(third[2]));
  });

  scenario("content as a Blob: 40 MiB signed with its progress told; a reply over 1 MiB answered; a page that " +
           "talks to the content script itself meets the same checks and hears neither the PIN nor the token", async () => {
    const big = ws.write("big.bin", crypto.randomBytes(40 * MiB));
    const page = await openPage(managed);
    assert.ok((await connectIn(page)).ok);
    const r = await page.evaluate((provider, pin) => attempt(async () => {
      const progress = [];
      const large = await signer.sign({ providerName: provider, containerName: "rsa-key", pin, format: "raw",
        data: await (await fetch("/files/big.bin")).blob(), onProgress: (p) => progress.push(p) });
      const tooLong = await attempt(() => signer.send({ requestAction: "getListContainer",
                                                         providerName: provider, padding: "x".repeat(1100000) }));
      return { large: large.base64, progress, tooLong: tooLong.error.description,
               containers: await signer.listContainers(provider) };
    }), RSA, PIN);
    assert.ok(r.ok, JSON.stringify(r.error));
    ws.verifyRaw(r.ok.large, certificates[RSA], big, "-sha1");
    const loaded = r.ok.progress.map((p) => p.loaded);
    assert.ok(loaded.length > 1 && loaded.every((n, i) => i === 0 || n > loaded[i - 1]), JSON.stringify(loaded));
    assert.deepEqual(r.ok.progress.at(-1), { loaded: 40 * MiB, total: 40 * MiB });
    assert.deepEqual([r.ok.tooLong, r.ok.containers], ["Error reply too large", ["broken-key", "rsa-key"]],
                     "the port survived the long reply");

    // On the library's connection, by hand: what the library would refuse, and a request through the
    // transport frame, which any page may load, without the connection's token.
    const heard = await page.evaluate((provider, pin, MiB, extension) => attempt(async () => {
      const request = (contentId, data) => postMessage({ channel: lib.CHANNEL, direction: "page", type: "request",
                                                         connection: heard[0].connection, request: { contentId, data } }, origin);
      const frame = Object.assign(document.createElement("iframe"), { src: `chrome-extension://${extension}/transport.html` });
      await new Promise((resolve) => document.body.append(Object.assign(frame, { onload: resolve })));
      frame.contentWindow.postMessage({ channel: lib.CHANNEL, token: "forged", request: { contentId: "forged",
        data: { requestAction: "getListContainer", providerName: provider }, content: new Blob(["x"]) } }, "*");
      request("huge", { requestAction: "getSignature", providerName: provider, contentFile: "A".repeat(64 * MiB) });
      request("odd", { requestAction: "formatDisk" });
      await (await signer.openSession({ providerName: provider, containerName: "rsa-key", pin })).close();
      return JSON.stringify(heard);
    }), RSA, PIN, MiB, extensionId);
    assert.deepEqual(JSON.parse(heard.ok).filter((m) => m.type === "error").map((m) => [m.contentId, m.code]),
                     [["huge", "ContentTooLarge"], ["odd", "BadArgument"]]);
    assert.doesNotMatch(heard.ok, /password|token|forged/, "the PIN the host echoes, the token and the forged request");
    await page.close();
  });

  // That answers stay out of storage.local, which content scripts reach in both browsers, and that
  // one forged there counts for nothing, the Firefox suite shows.
  scenario("consent: early clicks answer nothing, asking again brings nothing forward; deny is remembered, " +
           "revoking asks again, allow survives a reload, revoking closes; an earlier version's answers move once", async () => {
    const page = await openPage(asking);
    const before = ws.hostStarts().length;
    const worker = await (await browser.waitForTarget((t) => t.type() === "service_worker" &&
      t.url().startsWith(`chrome-extension://${extensionId}/`))).worker();
    await worker.evaluate(() => {
      const update = chrome.windows.update;
      self.focusRequests = 0;
      chrome.windows.update = (id, info, ...rest) => {
        if (info && (info.focused || info.drawAttention)) self.focusRequests++;
        return update.call(chrome.windows, id, info, ...rest);
      };
    });

    let pending = connectIn(page);
    let prompt = await consents.next();
    assert.match(await prompt.evaluate(() => document.body.innerText), new RegExp(asking.replace(/\./g, "\\.")));
    // A click as soon as the window is there, before its buttons take clicks.
    await prompt.evaluate(() => document.getElementById("allow").click());
    const again = page.evaluate(() => attempt(() => lib.connect()));
    await answerConsent(prompt, "#deny");
    assert.deepEqual([(await pending).error?.code, (await again).error?.code], ["AccessDenied", "AccessDenied"],
                     "the early Allow did nothing");
    assert.equal(await worker.evaluate(() => self.focusRequests), 0, "asking again brought no window forward");
    assert.equal((await connectIn(page)).error?.code, "AccessDenied", "the answer is remembered");

    const options = await openOptions();
    await options.click(`#denied li[data-origin="${asking}"] .revoke`);
    await options.waitForSelector("#denied li.empty");
    pending = connectIn(page);
    await answerConsent(await consents.next(), "#allow");
    assert.deepEqual(await pending, { ok: true });

    await openPage(asking, "/test/", page);
    assert.deepEqual(await connectIn(page), { ok: true });
    assert.equal(consents.length, 2, "an allowed origin is not asked again after a reload");
    await options.waitForSelector(`#allowed li[data-origin="${asking}"]`);
    await options.waitForSelector(`#managed li[data-origin="${managed}"]`);
    assert.equal(await options.$(`#managed li[data-origin="${managed}"] .revoke`), null,
                 "an administrator's origin cannot be revoked here");

    const closed = page.evaluate(() => signer.closed.then((e) => e.code));
    await options.click(`#allowed li[data-origin="${asking}"] .revoke`);
    assert.equal(await closed, "AccessDenied", "revoking ends the open connection");
    const pids = ws.hostStarts().slice(before);
    assert.equal(pids.length, 2, "a host only for the allowed connections");
    await until("the revoked page's host to end", () => !pids.some(alive));

    pending = connectIn(page);
    await (await consents.next()).close();
    assert.equal((await pending).error?.code, "AccessDenied");
    // A page that stops waiting withdraws its question.
    pending = page.evaluate(() => attempt(() => lib.connect({ timeout: 2000 })));
    await consents.next();
    assert.equal((await pending).error?.code, "Timeout");
    await until("the question to go with the page that waited for it", () => !browser.targets().some((t) => consents.includes(t)));
    await options.reload();
    await options.waitForSelector("body[data-shown]");
    assert.equal(await options.$$eval("#allowed li[data-origin], #denied li[data-origin]", (l) => l.length), 0,
                 "closing the window, or not answering it in time, decides nothing");

    // An earlier version's answers in storage.local are carried over once, when the database is made.
    await options.evaluate(async (origin) => {
      await chrome.storage.local.set({ [`origin:${origin}`]: { choice: "deny", decidedAt: 1 }, unrelated: 1 });
      await new Promise((resolve, reject) =>
        Object.assign(indexedDB.deleteDatabase("keltoDataSigned"), { onsuccess: resolve, onerror: reject }));
    }, asking);
    await options.reload();
    await options.waitForSelector(`#denied li[data-origin="${asking}"]`);
    assert.deepEqual(await options.evaluate(() => chrome.storage.local.get(null)), { unrelated: 1 }, "and removed from there");
    assert.equal((await connectIn(page)).error?.code, "AccessDenied");
    assert.equal(consents.length, 4);
    await options.close();
    await page.close();
  });

  scenario("the demo page, with no PIN in it: the person's certificates to choose from, the PIN asked by the " +
           "system, the hash named, and openssl commands that verify the very files it offers", async () => {
    // The stand-in pinentry's answers to the system's two questions; with none queued it would cancel.
    fs.appendFileSync(ws.env.KELTO_STANDIN_ANSWERS, `${JSON.stringify({ pin: PIN })}\n`.repeat(2));
    const asked = ws.pinentryStarts();
    const page = await openPage(managed, "/demo/");
    await page.setViewport({ width: 1100, height: 1500 });
    await page.waitForFunction(() => document.getElementById("status").textContent.startsWith("Choose"));
    const offered = await page.$$eval("#certificates input", (inputs) =>
      inputs.map((input) => [input.parentElement.textContent.trim().split(/[,:]/)[0], input.disabled]));
    assert.deepEqual(offered.sort(), [["broken-key", true], ["gost-key", false], ["rsa-key", false]]);
    assert.equal(await page.$("input[type=password]"), null, "the page asks for no PIN");
    await page.evaluate(() => [...document.querySelectorAll("#certificates label")]
      .find((label) => label.textContent.includes("rsa-key")).click());
    await page.waitForFunction(() => document.getElementById("cert-subject").textContent === "CN=rsa-key");

    // Saves what the page offers under the names it offers them by, runs its commands there, and
    // runs them again on a document changed by one byte, which they must refuse.
    async function runCommands(document, hash) {
      const shown = await page.evaluate(() => {
        const $ = (id) => window.document.getElementById(id);
        return { names: ["document-download", "signature-download", "cert-download"].map((id) => $(id).download),
                 signature: $("signature").value, command: $("verify-command").textContent, hash: $("hash").textContent };
      });
      assert.match(shown.hash, new RegExp(`over the ${hash} hash`));
      const dir = fs.mkdtempSync(ws.path("saved-"));
      const run = (documentBytes) => {
        [documentBytes, Buffer.from(shown.signature, "base64"), certificates[RSA]]
          .forEach((bytes, i) => fs.writeFileSync(path.join(dir, shown.names[i]), bytes));
        return spawnSync("sh", ["-ec", shown.command], { cwd: dir, encoding: "utf8" });
      };
      const checked = run(document);
      assert.equal(checked.status, 0, `${shown.command}: ${checked.stderr}`);
      assert.notEqual(run(Buffer.concat([document, Buffer.from("!")])).status, 0, "the command checks the document");
      return shown;
    }

    const text = "Договор № 1, signed in the demo";
    await page.type("#text", text);
    await page.click("#sign");
    await page.waitForSelector("#result:not([hidden])");
    await page.screenshot({ path: path.join(process.env.KELTO_ARTIFACTS ?? ws.root, "demo-signed.png"), fullPage: true });
    const pkcs7 = await runCommands(Buffer.from(text), "SHA-256");
    assert.deepEqual(pkcs7.names.slice(0, 2), ["document.txt", "document.txt.p7s"]);

    // A chosen file whose name a shell would split, signed raw: the command then needs the certificate's key.
    const file = ws.write("my report.bin", crypto.randomBytes(5000));
    await (await page.$("#file")).uploadFile(file);
    await page.select("#format", "raw");
    await page.click("#sign");
    await page.waitForFunction(() => document.getElementById("verify-command").textContent.includes("report.bin.sig"));
    const raw = await runCommands(fs.readFileSync(file), "SHA-1");
    assert.deepEqual(raw.names, ["my report.bin", "my report.bin.sig", "certificate.cer"]);
    assert.equal(ws.pinentryStarts(), asked + 2, "the system asked once per signature, and not for the list");
    await page.close();
  });

  scenario("HostMissing without the host's manifest, ExtensionMissing without the extension, and the demo " +
           "tells a visitor what to do in words (commands are for developers' consoles)", async () => {
    ws.register(null);
    const page = await openPage(managed);
    const missing = await connectIn(page);
    assert.equal(missing.error?.code, "HostMissing", JSON.stringify(missing));
    const demoSays = async () => {
      const demo = await openPage(managed, "/demo/");
      const text = await demo.waitForFunction(() => !document.getElementById("error").hidden &&
        document.getElementById("error").textContent);
      await demo.close();
      return text.jsonValue();
    };
    const noHost = await demoSays();
    assert.match(noHost, /signing program it needs is not set up for this browser/);
    assert.doesNotMatch(noHost, /scripts\/|register-host|--user/);
    ws.register();
    await browser.uninstallExtension(extensionId);
    await openPage(managed, "/test/", page);
    assert.equal((await connectIn(page)).error?.code, "ExtensionMissing");
    assert.match(await demoSays(), /Debian package keltodatasigned.*adds the extension to Chromium/);
    await page.close();
  });
});
