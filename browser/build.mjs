#!/usr/bin/env node
// Builds the extension for each browser family from its one source:
//
//   node browser/build.mjs [--out DIR]      (default: build/extension)
//
// writes DIR/chromium (Chrome, Chromium, Edge: a service worker, the fixed
// public key that gives the stable extension id, the managed-storage schema)
// and DIR/firefox (a background script and the add-on id). The host name, the
// key and the add-on id come from packaging/identity.json and nowhere else.
//
// extension/protocol.js is the one source of what the page library, the
// content script and the background share. The background imports it; the
// content script cannot import (MV3 content scripts are not modules), so the
// build writes it with the protocol's text ahead of its own; and pages take
// the library as one file, so the library carries the protocol's text between
// two marker lines, rewritten by this command from protocol.js (a unit test
// fails while the two differ).
//
// It also packs the page library as an npm package into DIR/../npm
// (`npm pack`: lib/package.json says what goes in); CMake's build does that
// alone with
//
//   node browser/build.mjs --pack-library DIR
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.dirname(here);
const source = path.join(here, "extension");
const COMMON = "manifest.common.json";
const PROTOCOL = path.join(source, "protocol.js");
const CONTENT = "content.js";
// Chromium only: managed storage's schema, and the frame that carries content
// to the service worker (Firefox's runtime ports carry it themselves).
const CHROMIUM_ONLY = ["managed-schema.json", "transport.html", "transport.js"];
export const LIBRARY = path.join(here, "lib", "keltoDataSigned.js");
const BEGIN = "// ---- shared protocol, copied from browser/extension/protocol.js by browser/build.mjs: edit it there ----\n";
const END = "// ---- end of shared protocol ----\n";

function readJson(file) {
  return JSON.parse(fs.readFileSync(file, "utf8"));
}

// A build signed with its own key passes that key's identity (see pack.mjs).
export function manifests(identity = readJson(path.join(root, "packaging", "identity.json"))) {
  const { version } = readJson(path.join(here, "package.json"));
  const common = { ...readJson(path.join(source, COMMON)), version };
  return {
    identity,
    chromium: {
      ...common,
      key: identity.chromiumExtensionKey,
      minimum_chrome_version: "116",
      background: { service_worker: "background.js", type: "module" },
      storage: { managed_schema: "managed-schema.json" },
      web_accessible_resources: [{ resources: ["transport.html"], matches: common.content_scripts[0].matches }],
    },
    firefox: {
      ...common,
      background: { scripts: ["background.js"], type: "module" },
      browser_specific_settings: {
        gecko: { id: identity.firefoxAddonId, strict_min_version: "128.0" },
      },
    },
  };
}

/** The protocol's declarations as plain script: its `export` keywords dropped. */
export function protocolScript() {
  const text = fs.readFileSync(PROTOCOL, "utf8").replace(/^export (?=(const|(async )?function|class) )/gm, "");
  if (/^\s*(import|export)\b/m.test(text)) {
    throw new Error(`${PROTOCOL} may only export declarations and may import nothing`);
  }
  return text;
}

// The content script as the browser runs it: one classic script, the
// protocol inlined where the source imports it, all of it kept out of the
// content scripts' shared global scope.
function contentScript() {
  const text = fs.readFileSync(path.join(source, CONTENT), "utf8");
  const importLine = /^import \{[^}]*\} from "\.\/protocol\.js";\n/m;
  const body = text.replace(importLine, "");
  if (body === text || /^\s*(import|export)\b/m.test(body)) {
    throw new Error(`${CONTENT} must import only from ./protocol.js, in one line`);
  }
  return `(() => {\n${protocolScript()}\n${body}})();\n`;
}

/** The page library's text with the protocol block as protocol.js has it now. */
export function libraryText() {
  const text = fs.readFileSync(LIBRARY, "utf8");
  const begin = text.indexOf(BEGIN);
  const end = text.indexOf(END, begin);
  if (begin < 0 || end < 0) throw new Error(`${LIBRARY} lacks the protocol's marker lines`);
  return text.slice(0, begin + BEGIN.length) + protocolScript() + text.slice(end);
}

export function build(out, identity = undefined) {
  const { identity: ids, ...browsers } = manifests(identity);
  for (const [browser, manifest] of Object.entries(browsers)) {
    const dir = path.join(out, browser);
    fs.rmSync(dir, { recursive: true, force: true });
    fs.cpSync(source, dir, {
      recursive: true,
      filter: (file) => path.basename(file) !== COMMON &&
        (browser === "chromium" || !CHROMIUM_ONLY.includes(path.relative(source, file))),
    });
    fs.writeFileSync(path.join(dir, CONTENT), contentScript());
    fs.writeFileSync(path.join(dir, "background", "identity.js"),
                     `export const hostName = ${JSON.stringify(ids.hostName)};\n`);
    fs.writeFileSync(path.join(dir, "manifest.json"), JSON.stringify(manifest, null, 2) + "\n");
  }
  return Object.fromEntries(Object.keys(browsers).map((b) => [b, path.join(out, b)]));
}

/** Packs the page library into `out` with `npm pack`; returns the tarball's path. */
export function packLibrary(out) {
  fs.mkdirSync(out, { recursive: true });
  const packed = spawnSync("npm", ["pack", "--json", "--pack-destination", out],
                           { cwd: path.dirname(LIBRARY), encoding: "utf8" });
  if (packed.status !== 0) throw new Error(`npm pack failed: ${packed.stderr}`);
  return path.join(out, JSON.parse(packed.stdout)[0].filename);
}

const main = process.argv[1] && fileURLToPath(import.meta.url) === path.resolve(process.argv[1]);
const packOnly = process.argv.indexOf("--pack-library");
if (main && packOnly > 0) {
  packLibrary(path.resolve(process.argv[packOnly + 1]));
} else if (main) {
  const at = process.argv.indexOf("--out");
  const out = path.resolve(at > 0 ? process.argv[at + 1] : path.join(root, "build", "extension"));
  for (const [browser, dir] of Object.entries(build(out))) console.log(`${browser}: ${dir}`);
  const library = libraryText();
  if (library !== fs.readFileSync(LIBRARY, "utf8")) {
    fs.writeFileSync(LIBRARY, library);
    console.log(`updated ${path.relative(root, LIBRARY)} from ${path.relative(root, PROTOCOL)}`);
  }
  console.log(`page library: ${packLibrary(path.join(path.dirname(out), "npm"))}`);
}
