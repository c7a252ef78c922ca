// The extension's build and its gatekeeping rules, and the per-user
// registration script; no browser needed. The browser suites check the ids
// the browsers give the built extension.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { after, before, describe, it } from "node:test";
import { pathToFileURL } from "node:url";
import vm from "node:vm";
import { LIBRARY, build, libraryText } from "../../browser/build.mjs";
import { identity, repo } from "./support.mjs";

const temp = fs.mkdtempSync(path.join(os.tmpdir(), "kelto-extension-"));
after(() => fs.rmSync(temp, { recursive: true, force: true }));

const readJson = (file) => JSON.parse(fs.readFileSync(file, "utf8"));

describe("extension build", () => {
  let dirs;
  let origins;
  let connection;

  before(async () => {
    dirs = build(path.join(temp, "extension"));
    const module = (file) => import(pathToFileURL(path.join(dirs.chromium, file)).href);
    origins = await module("background/origins.js");
    connection = await module("background/connection.js");
  });

  // The browser suites load every file the manifests name; what they cannot see is checked here.
  it("offers the transport frame to pages in Chromium only, has the texts of both languages, and the page " +
     "library has the protocol of protocol.js", () => {
    const manifests = [dirs.chromium, dirs.firefox].map((dir) => readJson(path.join(dir, "manifest.json")));
    assert.deepEqual(manifests.map((m) => m.web_accessible_resources),
                     [[{ resources: ["transport.html"], matches: manifests[0].content_scripts[0].matches }], undefined]);
    const [english, russian] = ["en", "ru"].map((l) => readJson(path.join(dirs.chromium, "_locales", l, "messages.json")));
    assert.deepEqual(Object.keys(russian).sort(), Object.keys(english).sort());
    for (const f of fs.readdirSync(dirs.chromium).filter((name) => /\.(html|json)$/.test(name))) {
      for (const [, a, b] of fs.readFileSync(path.join(dirs.chromium, f), "utf8").matchAll(/data-i18n="(\w+)"|__MSG_(\w+)__/g)) {
        assert.ok(english[a ?? b], `no English text for ${a ?? b}`);
      }
    }
    assert.equal(fs.readFileSync(LIBRARY, "utf8"), libraryText(),
                 "the page library's protocol differs from protocol.js: run node browser/build.mjs");
  });

  it("the content script opens a connection only for its own page's window", () => {
    const listeners = [];
    const opened = [];
    const page = { location: { origin: "https://sign.example" }, postMessage() {},
                   addEventListener: (type, listener) => listeners.push(listener) };
    const port = { onMessage: { addListener() {} }, onDisconnect: { addListener() {} } };
    vm.runInNewContext(fs.readFileSync(path.join(dirs.chromium, "content.js"), "utf8"),
                       { window: page, chrome: { runtime: { connect: ({ name }) => opened.push(name) && port } } });
    const post = (source, origin, connection) => listeners.forEach((listener) => listener({ source, origin,
      data: { channel: "keltoDataSigned", direction: "page", type: "connect", connection } }));
    post({}, page.location.origin, "from a frame of the page's origin");
    post(page, "https://other.example", "from another origin");
    assert.deepEqual(opened, []);
    post(page, page.location.origin, "c");
    assert.deepEqual(opened, ["keltoDataSigned"]);
  });

  it("lets only the top frame of https and loopback http pages through", () => {
    const tab = { id: 1 };
    const site = "https://sign.example";
    for (const [sender, expected] of [
      [{ tab, frameId: 0, url: `${site}/doc?id=1`, origin: site }, site], [{ tab, frameId: 0, url: "https://sign.example:8443/" }, "https://sign.example:8443"],
      [{ tab, frameId: 0, url: "http://sign.example/" }, null], [{ tab, frameId: 0, url: "http://localhost.sign.example/" }, null],
      [{ tab, frameId: 0, url: "http://localhost.:8080/" }, null], [{ tab, frameId: 0, url: "http://127.0.0.2/" }, null],
      [{ tab, frameId: 0, url: "file:///home/user/page.html" }, null], [{ tab, frameId: 1, url: `${site}/` }, null],
      [{ frameId: 0, url: `${site}/` }, null], [{ tab, frameId: 0, url: `${site}/`, origin: "null" }, null],
      [{ tab, frameId: 0, url: `${site}/`, origin: "https://other.example" }, null], [{ tab, frameId: 0, url: "not a url" }, null]]) {
      assert.equal(origins.senderOrigin(sender), expected, JSON.stringify(sender));
    }
    for (const [entry, expected] of [["https://Sign.Example/", site], [" https://sign.example:443 ", site],
                                     ["http://localhost:3000", "http://localhost:3000"], [`${site}/path`, null],
                                     ["http://sign.example", null], ["https://user@sign.example", null],
                                     ["sign.example", null], [42, null]]) {
      assert.equal(origins.normaliseOrigin(entry), expected, String(entry));
    }
  });

  it("forwards only the host's actions with an id of the page's own, content as Base64 or as a Blob", () => {
    const good = { contentId: "c.1", data: { requestAction: "getSignature", contentFile: "QQ==" } };
    const blob = { contentId: "c.2", data: { requestAction: "getSignature" }, content: new Blob(["A"]) };
    assert.deepEqual([connection.requestProblem(good), connection.requestProblem(blob)], [null, null]);
    for (const bad of [null, [], "text", { data: good.data }, { ...good, contentId: "" },
                       { ...good, contentId: 5 }, { ...good, contentId: "x".repeat(201) },
                       { ...good, contentId: "keltoDataSigned.probe" }, { contentId: "c", data: [] },
                       { contentId: "c", data: { requestAction: "getsignature" } },
                       { contentId: "c", data: { requestAction: "toString" } }, { ...blob, content: "QQ==" },
                       { ...blob, data: good.data }]) {
      assert.notEqual(connection.requestProblem(bad), null, JSON.stringify(bad));
    }
  });
});

it("register-host.sh registers for the user's Chromium, Chrome, Edge and Firefox, again and again, and unregisters", () => {
  const home = path.join(temp, "home");
  const host = path.join(temp, "bin", "keltoDataSigned");
  const manifests = [".config/chromium", ".config/google-chrome", ".config/microsoft-edge", ".mozilla"]
    .map((dir) => path.join(home, dir, dir === ".mozilla" ? "native-messaging-hosts" : "NativeMessagingHosts",
                            `${identity.hostName}.json`));
  const run = (...args) => spawnSync(path.join(repo, "scripts", "register-host.sh"), args,
                                     { encoding: "utf8", env: { ...process.env, HOME: home, XDG_CONFIG_HOME: "" } }).status;
  fs.mkdirSync(path.dirname(host), { recursive: true });
  fs.writeFileSync(host, "#!/bin/sh\n", { mode: 0o755 });
  assert.deepEqual([run("--host", host), run("--user", "--host", path.join(temp, "none"))], [2, 1]);
  assert.equal(fs.existsSync(home), false, "nothing written without a host");

  assert.deepEqual([run("--user", "--host", host), run("--user", "--host", host)], [0, 0], "again and again");
  for (const manifest of manifests) {
    const { name, path: program, type, allowed_origins: origins, allowed_extensions: extensions } = readJson(manifest);
    assert.deepEqual([name, program, type, origins ?? extensions], [identity.hostName, host, "stdio",
      manifest.includes(".mozilla") ? [identity.firefoxAddonId] : [`chrome-extension://${identity.chromiumExtensionId}/`]]);
  }

  const other = path.join(path.dirname(manifests[3]), "org.other.host.json");
  fs.writeFileSync(other, "{}");
  assert.equal(run("--user", "--uninstall"), 0);
  assert.deepEqual(manifests.filter((manifest) => fs.existsSync(manifest)), []);
  assert.ok(fs.existsSync(other), "another host's manifest stays");
  assert.equal(run("--user", "--uninstall"), 0, "unregistering twice is fine");
});
