// The extension's build and its gatekeeping rules, and the per-user
// registration script; no browser needed.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import crypto from "node:crypto";
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

// Chromium's id of an extension: the first 16 bytes of the SHA-256 of its
// public key, as hex digits written with the letters a to p.
function chromiumId(publicKeyBase64) {
  const digest = crypto.createHash("sha256").update(Buffer.from(publicKeyBase64, "base64")).digest("hex");
  return [...digest.slice(0, 32)].map((d) => String.fromCharCode(97 + parseInt(d, 16))).join("");
}

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

  it("writes each browser's manifest with the ids of identity.json and every file they name", () => {
    const chromium = readJson(path.join(dirs.chromium, "manifest.json"));
    const firefox = readJson(path.join(dirs.firefox, "manifest.json"));
    assert.equal(chromiumId(chromium.key), identity.chromiumExtensionId);
    assert.equal(firefox.browser_specific_settings.gecko.id, identity.firefoxAddonId);
    assert.equal(chromium.background.service_worker, "background.js");
    assert.deepEqual(firefox.background.scripts, ["background.js"]);
    assert.equal(firefox.key, undefined);
    assert.equal(chromium.browser_specific_settings, undefined);
    // Only Chromium's runtime ports need the transport frame; pages reach it where content scripts run.
    assert.deepEqual(chromium.web_accessible_resources,
                     [{ resources: ["transport.html"], matches: chromium.content_scripts[0].matches }]);
    assert.equal(firefox.web_accessible_resources, undefined);
    for (const [dir, manifest] of [[dirs.chromium, chromium], [dirs.firefox, firefox]]) {
      assert.equal(manifest.manifest_version, 3);
      const files = [manifest.background.service_worker ?? manifest.background.scripts[0],
                     manifest.options_ui.page, "consent.html", ...manifest.content_scripts[0].js,
                     manifest.storage?.managed_schema, ...(manifest.web_accessible_resources?.[0].resources ?? [])]
        .filter(Boolean);
      // Every module any of them imports, however deep, is there too.
      for (let i = 0; i < files.length; i++) {
        const file = path.join(dir, files[i].replace(/^\//, ""));
        assert.ok(fs.existsSync(file), `${dir}: ${files[i]}`);
        for (const [, target] of fs.readFileSync(file, "utf8").matchAll(/(?:from |src=)"(\.{0,2}\/?[\w/.-]+\.js)"/g)) {
          const relative = path.relative(dir, path.resolve(path.dirname(file), target));
          if (!files.includes(relative)) files.push(relative);
        }
      }
      const hostName = fs.readFileSync(path.join(dir, "background", "identity.js"), "utf8");
      assert.ok(hostName.includes(JSON.stringify(identity.hostName)));
    }
    const english = readJson(path.join(dirs.chromium, "_locales", "en", "messages.json"));
    const russian = readJson(path.join(dirs.chromium, "_locales", "ru", "messages.json"));
    assert.deepEqual(Object.keys(russian).sort(), Object.keys(english).sort());
    const used = fs.readdirSync(dirs.chromium).filter((f) => /\.(html|json)$/.test(f))
      .flatMap((f) => [...fs.readFileSync(path.join(dirs.chromium, f), "utf8")
        .matchAll(/data-i18n="(\w+)"|__MSG_(\w+)__/g)].map((m) => m[1] ?? m[2]));
    for (const name of used) assert.ok(english[name], `no English text for ${name}`);
    assert.equal(fs.readFileSync(LIBRARY, "utf8"), libraryText(),
                 "the page library's protocol differs from protocol.js: run node browser/build.mjs");
  });

  it("the content script opens a connection only for its own page's window", () => {
    const listeners = [];
    const opened = [];
    const page = { location: { origin: "https://sign.example" }, postMessage() {},
                   addEventListener: (type, listener) => listeners.push(listener) };
    const port = { onMessage: { addListener() {} }, onDisconnect: { addListener() {} } };
    const runtime = { connect: ({ name }) => opened.push(name) && port };
    vm.runInNewContext(fs.readFileSync(path.join(dirs.chromium, "content.js"), "utf8"),
                       { window: page, chrome: { runtime } });
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
    const cases = [
      [{ tab, frameId: 0, url: "https://sign.example/doc?id=1", origin: "https://sign.example" }, "https://sign.example"],
      [{ tab, frameId: 0, url: "https://sign.example:8443/" }, "https://sign.example:8443"],
      [{ tab, frameId: 0, url: "http://localhost:8080/demo/" }, "http://localhost:8080"],
      [{ tab, frameId: 0, url: "http://127.0.0.1/" }, "http://127.0.0.1"],
      [{ tab, frameId: 0, url: "http://sign.example/" }, null],
      [{ tab, frameId: 0, url: "http://localhost.sign.example/" }, null],
      [{ tab, frameId: 0, url: "http://localhost.:8080/" }, null],
      [{ tab, frameId: 0, url: "http://127.0.0.2/" }, null],
      [{ tab, frameId: 0, url: "file:///home/user/page.html" }, null],
      [{ tab, frameId: 1, url: "https://sign.example/" }, null],
      [{ frameId: 0, url: "https://sign.example/" }, null],
      [{ tab, frameId: 0, url: "https://sign.example/", origin: "null" }, null],
      [{ tab, frameId: 0, url: "https://sign.example/", origin: "https://other.example" }, null],
      [{ tab, frameId: 0, url: "not a url" }, null],
    ];
    for (const [sender, expected] of cases) {
      assert.equal(origins.senderOrigin(sender), expected, JSON.stringify(sender));
    }
    for (const [entry, expected] of [["https://Sign.Example/", "https://sign.example"],
                                     [" https://sign.example:443 ", "https://sign.example"],
                                     ["http://localhost:3000", "http://localhost:3000"],
                                     ["https://sign.example/path", null], ["http://sign.example", null],
                                     ["https://user@sign.example", null], ["sign.example", null], [42, null]]) {
      assert.equal(origins.normaliseOrigin(entry), expected, String(entry));
    }
  });

  it("forwards only the host's actions with an id of the page's own, content as Base64 or as a Blob", () => {
    const good = { contentId: "c.1", data: { requestAction: "getSignature", contentFile: "QQ==" } };
    const blob = { contentId: "c.2", data: { requestAction: "getSignature" }, content: new Blob(["A"]) };
    assert.equal(connection.requestProblem(good), null);
    assert.equal(connection.requestProblem(blob), null);
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

describe("register-host.sh", () => {
  const script = path.join(repo, "scripts", "register-host.sh");
  const home = path.join(temp, "home");
  const host = path.join(temp, "bin", "keltoDataSigned");
  const name = `${identity.hostName}.json`;
  const dirs = { chromium: [".config/chromium/NativeMessagingHosts", ".config/google-chrome/NativeMessagingHosts",
                            ".config/microsoft-edge/NativeMessagingHosts"],
                 firefox: [".mozilla/native-messaging-hosts"] };
  const run = (...args) => spawnSync(script, args, { encoding: "utf8",
    env: { ...process.env, HOME: home, XDG_CONFIG_HOME: "" } });
  const listing = () => spawnSync("find", [home, "-printf", "%P %s\\n"], { encoding: "utf8" }).stdout
    .split("\n").sort().join("\n");

  before(() => {
    fs.mkdirSync(path.dirname(host), { recursive: true });
    fs.writeFileSync(host, "#!/bin/sh\n", { mode: 0o755 });
  });

  it("registers for the user's Chromium, Chrome, Edge and Firefox, again and again, and unregisters", () => {
    assert.equal(run("--host", host).status, 2, "only --user exists");
    assert.equal(run("--user", "--host", path.join(temp, "none")).status, 1);
    assert.equal(fs.existsSync(home), false, "nothing written without a host");

    assert.equal(run("--user", "--host", host).status, 0);
    for (const [browser, list] of Object.entries(dirs)) {
      for (const dir of list) {
        const manifest = readJson(path.join(home, dir, name));
        assert.equal(manifest.name, identity.hostName);
        assert.equal(manifest.path, host);
        assert.equal(manifest.type, "stdio");
        if (browser === "chromium") {
          assert.deepEqual(manifest.allowed_origins, [`chrome-extension://${identity.chromiumExtensionId}/`]);
        } else {
          assert.deepEqual(manifest.allowed_extensions, [identity.firefoxAddonId]);
        }
      }
    }
    const once = listing();
    assert.equal(run("--user", "--host", host).status, 0);
    assert.equal(listing(), once, "a second run changes nothing");

    const other = path.join(home, dirs.firefox[0], "org.other.host.json");
    fs.writeFileSync(other, "{}");
    assert.equal(run("--user", "--uninstall").status, 0);
    for (const dir of [...dirs.chromium, ...dirs.firefox]) {
      assert.equal(fs.existsSync(path.join(home, dir, name)), false);
    }
    assert.ok(fs.existsSync(other), "another host's manifest stays");
    assert.equal(run("--user", "--uninstall").status, 0, "unregistering twice is fine");
  });
});
