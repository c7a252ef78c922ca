#!/usr/bin/env node
// Builds the extension for each browser family from its one source:
//
//   node browser/build.mjs [--out DIR]      (default: build/extension)
//
// writes DIR/chromium (Chrome, Chromium, Edge: a service worker, the fixed
// public key that gives the stable extension id, the managed-storage schema)
// and DIR/firefox (a background script and the add-on id). The host name, the
// key and the add-on id come from packaging/identity.json and nowhere else.
import fs from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.dirname(here);
const source = path.join(here, "extension");
const COMMON = "manifest.common.json";

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

export function build(out, identity = undefined) {
  const { identity: ids, ...browsers } = manifests(identity);
  for (const [browser, manifest] of Object.entries(browsers)) {
    const dir = path.join(out, browser);
    fs.rmSync(dir, { recursive: true, force: true });
    fs.cpSync(source, dir, {
      recursive: true,
      filter: (file) => path.basename(file) !== COMMON &&
        (browser === "chromium" || path.basename(file) !== "managed-schema.json"),
    });
    // The page library carries the limits and error codes both sides share.
    fs.copyFileSync(path.join(here, "lib", "keltoDataSigned.js"), path.join(dir, "keltoDataSigned.js"));
    fs.writeFileSync(path.join(dir, "background", "identity.js"),
                     `export const hostName = ${JSON.stringify(ids.hostName)};\n`);
    fs.writeFileSync(path.join(dir, "manifest.json"), JSON.stringify(manifest, null, 2) + "\n");
  }
  return Object.fromEntries(Object.keys(browsers).map((b) => [b, path.join(out, b)]));
}

if (process.argv[1] && fileURLToPath(import.meta.url) === path.resolve(process.argv[1])) {
  const at = process.argv.indexOf("--out");
  const out = path.resolve(at > 0 ? process.argv[at + 1] : path.join(root, "build", "extension"));
  for (const [browser, dir] of Object.entries(build(out))) console.log(`${browser}: ${dir}`);
}
