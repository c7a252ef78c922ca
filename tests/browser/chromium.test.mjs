// The browser side in real headless Chromium: pages on a loopback server use
// the page library through the unpacked extension and the registered host.
// One browser for the whole suite; the scenarios run in order and share it.
//
// Two origins of the same server: http://localhost:PORT is allowed by an
// administrator (a Chromium policy under /etc/chromium, removed at the end),
// http://127.0.0.1:PORT has to ask the person.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { once } from "node:events";
import crypto from "node:crypto";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe } from "node:test";
import { GOST, PIN, RSA, Workspace, answerConsent, scenario, identity, alive, connectIn, dataFile, hopAcross,
         openPage as openTestPage, serve, skipSuiteUnless, startChromium, stopChromium, until, writePolicy } from "./support.mjs";

skipSuiteUnless(process.getuid?.() === 0, "the administrator's policy under /etc needs root");
skipSuiteUnless(fs.existsSync("/usr/bin/chromium"), "no /usr/bin/chromium");

const MiB = 1024 * 1024;
const GOST_ENGINE = ["-engine", "gost"];

// Pids of the host processes waiting for a lock (blocked flock waiters).
function waitingForLock(pid) {
  return fs.readFileSync("/proc/locks", "utf8").split("\n")
    .some((line) => line.includes("->") && line.split(/\s+/).includes(String(pid)));
}

describe("Chromium", () => {
  let ws;
  let server;
  let others;  // three more origins that have to ask: more servers on 127.0.0.1
  let browser;
  let extensionId;
  let managed;
  let asking;
  const certificates = {};
  const consentWindows = new Set();  // every one ever opened
  const answered = new Set();

  const openPage = (origin, pagePath) => openTestPage(browser, origin, pagePath);
  const isConsent = (target) => target.url().startsWith(`chrome-extension://${extensionId}/consent.html`);
  const openConsentWindows = () => browser.targets().filter(isConsent);

  async function nextConsentWindow() {
    const target = await until("a consent window", () => openConsentWindows().find((t) => !answered.has(t)));
    answered.add(target);
    const page = await target.page();
    await page.waitForSelector("body[data-ready]");
    return page;
  }

  // The value of an expression evaluated in the extension's content script
  // in `page`, as a compromised renderer could; its exception as { error }.
  async function inContentScript(page, expression) {
    const cdp = await page.createCDPSession();
    const worlds = [];
    cdp.on("Runtime.executionContextCreated", ({ context }) => worlds.push(context));
    await cdp.send("Runtime.enable");
    const world = worlds.find((c) => c.auxData?.type === "isolated" && c.origin === `chrome-extension://${extensionId}`);
    const { result, exceptionDetails } = await cdp.send("Runtime.evaluate",
      { expression, contextId: world.id, awaitPromise: true, returnByValue: true });
    await cdp.detach();
    return exceptionDetails ? { error: exceptionDetails.exception?.description } : result.value;
  }

  async function optionsPage() {
    const page = await browser.newPage();
    await page.goto(`chrome-extension://${extensionId}/options.html`);
    await page.waitForSelector("body[data-shown]");
    return page;
  }

  before(async () => {
    ws = new Workspace("chromium");
    certificates[RSA] = ws.makeKey("rsa-key", RSA);
    certificates[GOST] = ws.makeKey("gost-key", GOST);
    ws.register();
    server = await serve(ws.path("files"));
    others = await Promise.all([1, 2, 3].map(() => serve(ws.path("files"))));
    managed = `http://localhost:${server.port}`;
    asking = `http://127.0.0.1:${server.port}`;
    writePolicy(identity.chromiumExtensionId, managed);
    ({ browser, extensionId } = await startChromium(ws, managed));
    const watch = (target) => {
      if (isConsent(target)) consentWindows.add(target);
    };
    browser.on("targetcreated", watch);
    browser.on("targetchanged", watch);
  });

  after(async () => {
    try {
      await stopChromium(browser, server);
    } finally {
      for (const other of others ?? []) await other.close();
    }
    await ws?.noHostLeft();
    ws?.cleanup();
  });

  scenario("an administrator's origin connects without a prompt; every action for RSA and GOST 2012", async () => {
    const page = await openPage(managed);
    assert.deepEqual(await connectIn(page), { ok: true });
    assert.equal(consentWindows.size, 0, "no consent window for an allowed origin");
    const text = "Подпись: text to sign ✓";
    const bytes = Array.from({ length: 1024 }, (_, i) => i % 256);
    const textFile = dataFile(ws, "text.txt", text);
    const bytesFile = dataFile(ws, "bytes.bin", Buffer.from(bytes));
    for (const [provider, container, digest, engine] of [[RSA, "rsa-key", "-sha1", []],
                                                         [GOST, "gost-key", "-md_gost12_256", GOST_ENGINE]]) {
      const r = await page.evaluate((provider, container, pin, text, bytes, path) => attempt(async () => {
        const containers = await signer.listContainers(provider);
        const wrongPin = await attempt(() => signer.openSession({ providerName: provider,
                                                                   containerName: container, pin: "0000" }));
        const session = await signer.openSession({ providerName: provider, containerName: container, pin });
        const fromContainer = await session.getCertificate();
        const fromStore = await session.getCertificate({ source: "store" });
        const rawText = await session.sign({ data: text, format: "raw" });
        const pkcs7Bytes = await session.sign({ data: new Uint8Array(bytes), format: "pkcs7" });
        const rawPath = await session.sign({ path, format: "raw" });
        const pkcs7Path = await session.sign({ path, format: "pkcs7", source: "store" });
        const ownSession = await signer.sign({ providerName: provider, containerName: container, pin,
                                               data: new Blob([text]), format: "pkcs7" });
        await session.close();
        const afterClose = await attempt(() => session.sign({ data: text, format: "raw" }));
        return { containers, wrongPin: wrongPin.error, fromContainer: fromContainer.base64,
                 fromStore: fromStore.base64, rawText: rawText.base64, pkcs7Bytes: pkcs7Bytes.base64,
                 rawPath: rawPath.base64, pkcs7Path: pkcs7Path.base64, ownSession: ownSession.base64,
                 usable: session.usable, afterClose: afterClose.error.code };
      }), provider, container, PIN, text, bytes, textFile);
      assert.ok(r.ok, JSON.stringify(r.error));
      const v = r.ok;
      assert.deepEqual(v.containers, [container]);
      assert.equal(v.wrongPin.code, "HostError");
      assert.equal(v.wrongPin.action, "openCryptoProvider");
      assert.match(v.wrongPin.description, /^Error 0x8010006B - /);
      assert.equal(v.wrongPin.reply.data.containerName, container, "the host's reply, echoed...");
      assert.doesNotMatch(v.wrongPin.json, /password|0000/, "...without the PIN");
      const certificate = certificates[provider];
      assert.deepEqual(Buffer.from(v.fromContainer, "base64"), certificate);
      assert.deepEqual(Buffer.from(v.fromStore, "base64"), certificate);
      ws.verifyRaw(v.rawText, certificate, textFile, digest, engine);
      ws.verifyRaw(v.rawPath, certificate, textFile, digest, engine);
      for (const [signature, file] of [[v.pkcs7Bytes, bytesFile], [v.pkcs7Path, textFile],
                                       [v.ownSession, textFile]]) {
        assert.deepEqual(ws.verifyCms(signature, file, engine), certificate);
      }
      assert.equal(v.usable, false);
      assert.equal(v.afterClose, "BadArgument");
    }
    assert.equal(ws.hostStarts().length, 1, "one host process for the page's connection");
    await page.close();
  });

  scenario("two pages at once have their own hosts and sessions; a reload ends its page's host", async () => {
    const pages = [await openPage(managed), await openPage(managed)];
    const before = ws.hostStarts().length;
    const open = (page) => page.evaluate((provider, pin) => attempt(async () => {
      window.signer = await lib.connect();
      window.session = await signer.openSession({ providerName: provider, containerName: "rsa-key", pin });
      return session.handle;
    }), RSA, PIN);
    const sign = (page, data) => page.evaluate((data) => attempt(async () =>
      (await session.sign({ data, format: "raw" })).base64), data);
    for (const page of pages) assert.ok((await open(page)).ok);
    const pids = ws.hostStarts().slice(before);
    assert.equal(pids.length, 2);
    assert.ok(pids.every(alive));

    assert.equal((await pages[0].evaluate(() => attempt(() => session.close()))).error, undefined);
    const signed = await sign(pages[1], "page two");
    assert.ok(signed.ok, "the other page's session is its own");
    ws.verifyRaw(signed.ok, certificates[RSA], dataFile(ws, "two.txt", "page two"), "-sha1");

    await pages[0].reload();
    await until("the reloaded page's host to end", () => !alive(pids[0]));
    assert.ok(alive(pids[1]));
    assert.ok((await sign(pages[1], "still here")).ok);
    for (const page of pages) await page.close();
    await until("the hosts of closed pages to end", () => !pids.some(alive));
  });

  scenario("a host killed mid-request gives HostDisconnected; its session never reaches a new host", async () => {
    const page = await openPage(managed);
    const before = ws.hostStarts().length;
    assert.equal((await page.evaluate((provider, pin) => attempt(async () => {
      window.signer = await lib.connect();
      window.session = await signer.openSession({ providerName: provider, containerName: "rsa-key", pin });
    }), RSA, PIN)).error, undefined);
    const [pid] = ws.hostStarts().slice(before);
    // Holding the host's staging lock keeps it inside the request for as long as needed.
    const holder = spawn("flock", [path.join(ws.env.XDG_RUNTIME_DIR, "keltoDataSignedCreateDataFileLock.lock"),
                                   "sh", "-c", "echo held; exec cat"], { stdio: ["pipe", "pipe", "inherit"] });
    try {
      await once(holder.stdout, "data");
      const pending = page.evaluate(() => attempt(() => session.sign({ data: "never signed", format: "raw" })));
      await until("the host to wait for the staging lock", () => waitingForLock(pid));
      process.kill(pid, "SIGKILL");
      const killed = await pending;
      assert.equal(killed.error?.code, "HostDisconnected", JSON.stringify(killed));
      assert.equal(killed.error.action, "getSignature");
    } finally {
      holder.stdin.end();
      await once(holder, "exit");
    }
    const stale = await page.evaluate(() => attempt(async () => ({
      usable: session.usable, connected: signer.connected,
      retry: (await attempt(() => session.sign({ data: "again", format: "raw" }))).error.code })));
    assert.deepEqual(stale.ok, { usable: false, connected: false, retry: "HostDisconnected" });
    assert.equal(ws.hostStarts().length, before + 1, "the stale session started no host");
    const fresh = await page.evaluate((provider) => attempt(async () => {
      window.signer = await lib.connect();
      return signer.listContainers(provider);
    }), RSA);
    assert.deepEqual(fresh.ok, ["rsa-key"]);
    await page.close();
  });

  scenario("message limits: 48 MiB refused before sending, 40 MiB signed, a reply over 1 MiB answered", async () => {
    const big = dataFile(ws, "big.bin", crypto.randomBytes(40 * MiB));
    const page = await openPage(managed);
    assert.ok((await connectIn(page)).ok);
    const before = ws.hostStarts().length;
    const r = await page.evaluate((provider, pin, MiB) => attempt(async () => {
      const key = { providerName: provider, containerName: "rsa-key", pin };
      const tooLarge = await attempt(() => signer.sign({ ...key, data: new Uint8Array(48 * MiB), format: "raw" }));
      const blob = await (await fetch("/files/big.bin")).blob();
      const large = await signer.sign({ ...key, data: blob, format: "raw" });
      let reply = null;
      const tooLong = await attempt(() => signer.send({ requestAction: "getListContainer",
                                                         providerName: provider, padding: "x".repeat(1100000) })
        .catch((e) => { reply = e.reply; throw e; }));
      const containers = await signer.listContainers(provider);
      return { tooLarge: tooLarge.error, large: large.base64, tooLong: tooLong.error, reply, containers };
    }), RSA, PIN, MiB);
    assert.ok(r.ok, JSON.stringify(r.error));
    assert.equal(r.ok.tooLarge.code, "ContentTooLarge");
    assert.match(r.ok.tooLarge.message, /\b67108864 bytes\b/);
    ws.verifyRaw(r.ok.large, certificates[RSA], big, "-sha1");
    assert.equal(r.ok.tooLong.code, "HostError");
    assert.equal(r.ok.tooLong.description, "Error reply too large");
    assert.deepEqual(Object.keys(r.ok.reply), ["contentId", "data"]);
    assert.deepEqual(r.ok.reply.data, { description: "Error reply too large",
                                        requestAction: "getListContainer", result: "error" });
    assert.deepEqual(r.ok.containers, ["rsa-key"], "the port survived the long reply");
    assert.equal(ws.hostStarts().length, before, "all of it went to the page's one host");

    // A page that talks to the content script itself meets the same checks.
    const raw = await page.evaluate((provider, pin, MiB) => attempt(async () => {
      const link = rawConnection("by-hand");
      link.post("connect");
      await link.next("ready");
      link.post("request", { request: { contentId: "huge", data: { requestAction: "getSignature",
        providerName: provider, contentFile: "A".repeat(64 * MiB) } } });
      const huge = await link.next("error");
      link.post("request", { request: { contentId: "odd", data: { requestAction: "formatDisk" } } });
      const odd = await link.next("error");
      link.post("request", { request: { contentId: "fine", data: { requestAction: "openCryptoProvider",
        providerName: provider, containerName: "rsa-key", password: pin } } });
      const fine = await link.next("reply");
      link.post("close");
      return { huge: [huge.contentId, huge.code], odd: [odd.contentId, odd.code], fine: fine.reply };
    }), RSA, PIN, MiB);
    assert.deepEqual(raw.ok.huge, ["huge", "ContentTooLarge"]);
    assert.deepEqual(raw.ok.odd, ["odd", "BadArgument"]);
    assert.equal(raw.ok.fine.contentId, "fine");
    assert.equal(typeof raw.ok.fine.data.handleProvider, "number");
    assert.equal(raw.ok.fine.data.containerName, "rsa-key");
    assert.equal(raw.ok.fine.data.password, undefined, "the extension drops the PIN the host echoes");
    await page.close();
  });

  scenario("consent: the page's own storage and early clicks answer nothing, asking again brings " +
           "nothing forward; deny is remembered, revoking asks again, allow survives a reload, revoking closes", async () => {
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

    // Written by a compromised page where the answers were kept before.
    const forged = await inContentScript(page, `chrome.storage.local.set({ "origin:${asking}": { choice: "allow" } })`);
    let pending = connectIn(page);
    let prompt = await nextConsentWindow();
    assert.match(await prompt.evaluate(() => document.body.innerText), new RegExp(asking.replace(/\./g, "\\.")));
    // A click as soon as the window is there, before its buttons take clicks.
    await prompt.evaluate(() => document.getElementById("allow").click());
    const again = page.evaluate(() => attempt(() => lib.connect()));
    await prompt.waitForSelector("#deny:not([disabled])");
    await answerConsent(prompt, "#deny");
    assert.equal((await pending).error?.code, "AccessDenied", "the early Allow did nothing");
    assert.equal((await again).error?.code, "AccessDenied");
    assert.equal(await worker.evaluate(() => self.focusRequests), 0, "asking again brought no window forward");
    assert.equal((await connectIn(page)).error?.code, "AccessDenied", "the answer is remembered");
    assert.equal(consentWindows.size, 1, "one window, asked once");
    const seen = await inContentScript(page, "chrome.storage.local.get(null).then(JSON.stringify)");
    assert.doesNotMatch(seen, /deny/, `the page's content script sees no answers: ${JSON.stringify([forged, seen])}`);

    const options = await optionsPage();
    await options.click(`#denied li[data-origin="${asking}"] .revoke`);
    await options.waitForSelector("#denied li.empty");
    pending = connectIn(page);
    prompt = await nextConsentWindow();
    await prompt.waitForSelector("#allow:not([disabled])");
    await answerConsent(prompt, "#allow");
    assert.deepEqual(await pending, { ok: true });

    await page.reload();
    await page.waitForFunction(() => document.documentElement.dataset.ready);
    assert.deepEqual(await connectIn(page), { ok: true });
    assert.equal(consentWindows.size, 2, "an allowed origin is not asked again after a reload");
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
    prompt = await nextConsentWindow();
    await prompt.close();
    assert.equal((await pending).error?.code, "AccessDenied");
    await options.reload();
    await options.waitForSelector("body[data-shown]");
    assert.equal(await options.$$eval("#allowed li[data-origin], #denied li[data-origin]", (l) => l.length), 0,
                 "closing the window decides nothing");

    // An earlier version's answers in storage.local are carried over once, when the database is made.
    await options.evaluate(async (origin) => {
      await chrome.storage.local.set({ [`origin:${origin}`]: { choice: "deny", decidedAt: 1 }, unrelated: 1 });
      await new Promise((resolve, reject) =>
        Object.assign(indexedDB.deleteDatabase("keltoDataSigned"), { onsuccess: resolve, onerror: reject }));
    }, asking);
    await options.reload();
    await options.waitForSelector(`#denied li[data-origin="${asking}"]`);
    const left = await options.evaluate(() => chrome.storage.local.get(null));
    assert.deepEqual(left, { unrelated: 1 }, "and removed from there");
    assert.equal((await connectIn(page)).error?.code, "AccessDenied");
    assert.equal(consentWindows.size, 3);
    assert.equal(ws.hostStarts().length, before + 2);
    await options.close();
    await page.close();
  });

  scenario("a question lives while its page waits: a tab hopping across three origins has one window " +
           "at a time, and none once it leaves", async () => {
    const page = await browser.newPage();
    await hopAcross(page, others.map((other) => `http://127.0.0.1:${other.port}`), managed,
                    () => openConsentWindows().map((t) => new URL(t.url()).searchParams.get("origin")));
    await page.close();
  });

  scenario("the demo page signs and shows the certificate and the openssl command", async () => {
    const page = await openPage(managed, "/demo/");
    await page.setViewport({ width: 1100, height: 1500 });
    await page.waitForFunction(() => document.getElementById("status").textContent.startsWith("Connected"));
    await page.click("#list");
    await page.waitForFunction(() => document.getElementById("container").options.length > 0);
    await page.select("#container", "rsa-key");
    await page.type("#pin", PIN);
    await page.click("#open");
    await page.waitForSelector("#certificate:not([hidden])");
    const text = "Договор № 1, signed in the demo";
    await page.type("#text", text);
    await page.click("#sign");
    await page.waitForSelector("#result:not([hidden])");
    const shot = path.join(process.env.KELTO_ARTIFACTS ?? ws.root, "demo-signed.png");
    await page.screenshot({ path: shot, fullPage: true });
    assert.deepEqual(fs.readFileSync(shot).subarray(1, 4), Buffer.from("PNG"));
    const shown = await page.evaluate(() => document.body.innerText);
    assert.match(shown, /Subject\s+CN=rsa-key/);
    assert.ok(shown.includes("openssl cms -verify -binary -inform DER -in document.txt.p7s " +
                             "-content document.txt -noverify"), shown);
    const signature = await page.$eval("#signature", (area) => area.value);
    assert.deepEqual(ws.verifyCms(signature, dataFile(ws, "document.txt", text)), certificates[RSA]);

    // A chosen file, signed raw: the command then needs the certificate's key.
    const file = dataFile(ws, "report.bin", crypto.randomBytes(5000));
    await (await page.$("#file")).uploadFile(file);
    await page.select("#format", "raw");
    await page.click("#sign");
    await page.waitForFunction(() => document.getElementById("verify-command").textContent.includes("report.bin.sig"));
    assert.ok((await page.$eval("#verify-command", (pre) => pre.textContent))
      .endsWith("openssl dgst -sha1 -verify public.pem -signature report.bin.sig report.bin"));
    ws.verifyRaw(await page.$eval("#signature", (area) => area.value), certificates[RSA], file, "-sha1");
    await page.close();
  });

  scenario("HostMissing without the host's manifest; ExtensionMissing, as a DataSignedError, in a sandboxed " +
           "document, a frame, on localhost. and without the extension", async () => {
    const sandboxed = await openPage(managed, "/test/?sandbox");
    await sandboxed.waitForFunction(() => document.documentElement.dataset.ready);
    assert.equal(await sandboxed.evaluate(() => origin), "null");
    const dotted = await openPage(`http://localhost.:${server.port}`);
    ws.unregister();
    const page = await openPage(managed);
    await page.evaluate(() => new Promise((resolve) => {
      const frame = Object.assign(document.createElement("iframe"), { srcdoc: '<script type="module" src="/test/page.js"></script>' });
      frame.onload = resolve;
      document.body.append(frame);
    }));
    const frame = page.frames().find((f) => f !== page.mainFrame());
    await frame.waitForFunction(() => document.documentElement.dataset.ready);
    for (const [where, context] of [["sandboxed", sandboxed], ["frame", frame], ["localhost.", dotted]]) {
      const refused = await context.evaluate(() => attempt(() => lib.connect()));
      assert.equal(refused.error?.code, "ExtensionMissing", `${where}: ${JSON.stringify(refused)}`);
    }
    await sandboxed.close();
    await dotted.close();
    const missing = await connectIn(page);
    assert.equal(missing.error?.code, "HostMissing", JSON.stringify(missing));
    ws.register();
    await browser.uninstallExtension(extensionId);
    await page.reload();
    await page.waitForFunction(() => document.documentElement.dataset.ready);
    assert.equal((await connectIn(page)).error?.code, "ExtensionMissing");
    await page.close();
  });
});
