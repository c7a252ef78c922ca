#!/usr/bin/env node
// Large content through the browser side, against the browser's own floor
// (not a test: it measures, and checks nothing but that replies come back).
//
//   node bench/browser.mjs [RUNS] [SIZE_MIB]     (default 7 runs of 40 MiB; needs root)
//
// Headless Chromium with the extension, the echo host of bench/echo_host.py
// registered in a private profile and an administrator's policy for the
// page's origin (under /etc/chromium, removed at exit; so the run takes the
// machine-wide lock of the test suites). Each run, in turn:
//   library  a page signs the content (a Blob, then a Uint8Array) raw with
//            the page library: call to reply
//   floor    the extension's service worker posts the same request, its
//            Base64 made beforehand, straight to a native port of the same
//            echo host: postMessage to reply
// and the breakdown: when the last piece was encoded (the library's last
// progress event, as the page hears it) and the echo host's first and last
// byte, from the start of the call. Medians, in seconds.
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const LOCK = "/run/lock/keltodatasigned-tests.lock";
if (!process.env.KELTO_BENCH_LOCKED) {
  const run = spawnSync("flock", ["-w", "3600", LOCK, process.execPath, ...process.argv.slice(1)],
                        { stdio: "inherit", env: { ...process.env, KELTO_BENCH_LOCKED: "1" } });
  process.exit(run.status ?? 1);
}
if (process.getuid?.() !== 0) {
  console.error("browser.mjs: the administrator's policy under /etc needs root");
  process.exit(2);
}

const { identity, serve, startChromium, stopChromium, writePolicy } = await import("../tests/browser/support.mjs");
const here = path.dirname(fileURLToPath(import.meta.url));
const runs = Number(process.argv[2] ?? 7);
const size = Number(process.argv[3] ?? 40) * 1024 * 1024;
const PROVIDER = "Microsoft Strong Cryptographic Provider";

const root = fs.mkdtempSync(path.join(os.tmpdir(), "kelto-bench-"));
const times = path.join(root, "host-times.jsonl");
const ws = {
  env: { HOME: root, XDG_CONFIG_HOME: path.join(root, "config"), KELTO_BENCH_TIMES: times },
  path: (...names) => path.join(root, ...names),
};
const hosts = path.join(ws.env.XDG_CONFIG_HOME, "chromium", "NativeMessagingHosts");
fs.mkdirSync(hosts, { recursive: true });
fs.writeFileSync(path.join(hosts, `${identity.hostName}.json`), JSON.stringify({
  name: identity.hostName, description: "echo host of the benchmark", path: path.join(here, "echo_host.py"),
  type: "stdio", allowed_origins: [`chrome-extension://${identity.chromiumExtensionId}/`] }));

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const seconds = (ms) => (ms / 1000).toFixed(2);
const hostTimes = () => fs.readFileSync(times, "utf8").trim().split("\n").map((line) => JSON.parse(line)).at(-1);

let browser;
let server;
try {
  server = await serve(root);
  const origin = `http://localhost:${server.port}`;
  writePolicy(identity.chromiumExtensionId, origin);
  ({ browser } = await startChromium(ws, origin));
  const page = await browser.newPage();
  await page.goto(`${origin}/test/`);
  await page.waitForFunction(() => document.documentElement.dataset.ready);
  await page.evaluate(async (size) => {
    window.bytes = new Uint8Array(size);
    for (let at = 0; at < size; at += 65536) crypto.getRandomValues(window.bytes.subarray(at, at + 65536));
    window.blob = new Blob([window.bytes]);
    window.signer = await lib.connect();
  }, size);
  const worker = await (await browser.waitForTarget((t) => t.type() === "service_worker" &&
    t.url().startsWith(`chrome-extension://${identity.chromiumExtensionId}/`))).worker();
  await worker.evaluate(async (hostName, provider) => {
    const port = chrome.runtime.connectNative(hostName);
    let answered = null;
    port.onMessage.addListener(() => answered());
    self.benchPost = (message) => new Promise((resolve) => {
      answered = resolve;
      port.postMessage(message);
    });
    await self.benchPost({ contentId: "start", data: { requestAction: "getListContainer" } });  // the host is up
    self.benchRequest = (content) => ({ contentId: "floor", data: { requestAction: "getSignature",
      providerName: provider, containerName: "bench", signatureType: "RAW", storageType: "", contentFile: content } });
  }, identity.hostName, PROVIDER);

  const rows = { "library, Blob": [], "library, Uint8Array": [], floor: [] };
  for (let run = 0; run < runs; run++) {
    for (const kind of ["Blob", "Uint8Array"]) {
      const measured = await page.evaluate(async (kind, provider) => {
        let encoded = 0;
        const start = performance.timeOrigin + performance.now();
        await signer.sign({ providerName: provider, containerName: "bench", format: "raw",
                            data: kind === "Blob" ? blob : bytes,
                            onProgress: () => { encoded = performance.timeOrigin + performance.now(); } });
        return { start, encoded, end: performance.timeOrigin + performance.now() };
      }, kind, PROVIDER);
      rows[`library, ${kind}`].push({ ...measured, ...hostTimes() });
    }
    const floor = await worker.evaluate(async (size) => {
      const bytes = new Uint8Array(size);
      for (let at = 0; at < size; at += 65536) crypto.getRandomValues(bytes.subarray(at, at + 65536));
      const request = self.benchRequest(bytes.toBase64());
      const start = performance.timeOrigin + performance.now();
      await self.benchPost(request);
      return { start, end: performance.timeOrigin + performance.now() };
    }, size);
    rows.floor.push({ ...floor, ...hostTimes() });
  }

  const floorTotal = median(rows.floor.map((r) => r.end - r.start));
  console.log(`${size / 1024 / 1024} MiB signed raw, medians of ${runs} runs, seconds from the start of the call`);
  console.log("path                 | encoded | host's first byte | host's last byte | reply | x floor");
  console.log("---------------------|---------|-------------------|------------------|-------|--------");
  for (const [name, list] of Object.entries(rows)) {
    const at = (field) => median(list.map((r) => r[field] - r.start));
    const total = at("end");
    console.log(`${name.padEnd(20)} | ${list[0].encoded ? seconds(at("encoded")).padStart(7) : "      -"} | ` +
                `${seconds(at("first")).padStart(17)} | ${seconds(at("last")).padStart(16)} | ` +
                `${seconds(total).padStart(5)} | ${(total / floorTotal).toFixed(2).padStart(6)}x`);
  }
} finally {
  await stopChromium(browser, server);
  fs.rmSync(root, { recursive: true, force: true });
}
