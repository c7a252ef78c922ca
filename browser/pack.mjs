#!/usr/bin/env node
// Packs the extension for installers, policies and stores:
//
//   node browser/pack.mjs --out DIR --version X.Y.Z [--key KEY.pem]
//        [--signed-xpi FILE] [--install-dir /usr/share/keltodatasigned]
//        [--chromium PROGRAM] [--quiet]
//   node browser/pack.mjs --identity-only --out FILE [--key KEY.pem] [--quiet]
//
// DIR receives identity.json (the ids this build names everywhere), the
// unpacked chromium/ and firefox/ folders, keltoDataSigned-X.Y.Z-chromium.zip
// (for the Chrome Web Store and Edge Add-ons: no "key", which they refuse),
// keltoDataSigned-X.Y.Z-firefox.xpi (unsigned, or the Mozilla-signed one
// given) and policies/ (examples for administrators). With the key also
// keltoDataSigned-X.Y.Z.crx, its updates.xml and Google Chrome's external
// extension file <id>.json, which point into --install-dir, where the Debian
// package puts them.
//
// The key is read here and by Chromium's packer, and goes nowhere else: no
// copy, no log, nothing written beside it.
import { spawnSync } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { build } from "./build.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.dirname(here);
const NAME = "keltoDataSigned";

function fail(message) {
  console.error(`pack.mjs: ${message}`);
  process.exit(1);
}

function readJson(file) {
  return JSON.parse(fs.readFileSync(file, "utf8"));
}

/** Chromium's id of a public key: SHA-256 of its DER, the first 32 hex digits written a-p. */
export function extensionId(publicDer) {
  const hex = crypto.createHash("sha256").update(publicDer).digest("hex").slice(0, 32);
  return [...hex].map((digit) => String.fromCharCode(97 + parseInt(digit, 16))).join("");
}

/**
 * The ids of this build: identity.json's, or with a key the Chromium key and
 * id that key gives (the host name and Firefox add-on id never change).
 */
export function identityOf(keyFile) {
  const identity = readJson(path.join(root, "packaging", "identity.json"));
  if (!keyFile) return identity;
  let key;
  try {
    key = crypto.createPrivateKey(fs.readFileSync(keyFile));
  } catch (error) {
    // The message names the file, never its content.
    throw new Error(`${keyFile} is not a readable PEM private key (${error.code ?? error.message})`);
  }
  if (key.asymmetricKeyType !== "rsa") {
    throw new Error(`${keyFile} is a ${key.asymmetricKeyType} key; Chromium signs extensions with RSA keys`);
  }
  const publicDer = crypto.createPublicKey(key).export({ type: "spki", format: "der" });
  return { ...identity, chromiumExtensionKey: publicDer.toString("base64"),
           chromiumExtensionId: extensionId(publicDer) };
}

function zip(dir, file) {
  fs.rmSync(file, { force: true });
  // -X: no owner ids or extra times, so the archive is only what the folder holds.
  const result = spawnSync("zip", ["-qrX", file, "."], { cwd: dir, encoding: "utf8" });
  if (result.error || result.status !== 0) {
    fail(`zip failed for ${file}: ${result.error?.message ?? result.stderr} (Debian package zip)`);
  }
}

function manifestOfXpi(file) {
  const result = spawnSync("unzip", ["-p", file, "manifest.json"], { encoding: "utf8" });
  if (result.status !== 0) fail(`${file} is not an add-on: no manifest.json in it`);
  return JSON.parse(result.stdout);
}

/** Chromium's own packer writes DIR.crx beside DIR; only the key's owner may read it. */
function packCrx(chromium, dir, keyFile, crx) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "kelto-pack-"));
  try {
    const result = spawnSync(chromium, ["--headless=new", "--no-sandbox", `--user-data-dir=${profile}`,
                                        `--pack-extension=${dir}`, `--pack-extension-key=${path.resolve(keyFile)}`],
                             { encoding: "utf8", timeout: 120000 });
    if (result.error || result.status !== 0 || !fs.existsSync(`${dir}.crx`)) {
      fail(`${chromium} did not pack the extension: ${result.error?.message ?? result.stderr.trim()}`);
    }
  } finally {
    fs.rmSync(profile, { recursive: true, force: true });
  }
  fs.renameSync(`${dir}.crx`, crx);
  // Installed system-wide, it is read by every user's browser.
  fs.chmodSync(crx, 0o644);
}

const EXAMPLE_ORIGIN = "https://sign.example.com";
const CHROME_STORE = "https://clients2.google.com/service/update2/crx";
const EDGE_STORE = "https://edge.microsoft.com/extensionwebstorebase/v1/crx";

/** The examples of /usr/share/doc/keltodatasigned/policies/. */
function writePolicies(dir, identity, { crx, updates, xpi }) {
  fs.rmSync(dir, { recursive: true, force: true });
  fs.mkdirSync(dir);
  const id = identity.chromiumExtensionId;
  const chromium = { "3rdparty": { extensions: { [id]: { allowedOrigins: [EXAMPLE_ORIGIN] } } } };
  // A force-install needs the packed extension, which only a build with the key makes.
  if (crx) chromium.ExtensionInstallForcelist = [`${id};file://${updates}`];
  fs.writeFileSync(path.join(dir, "keltodatasigned.json"), JSON.stringify(chromium, null, 2) + "\n");
  const firefox = { policies: {
    ExtensionSettings: { [identity.firefoxAddonId]: { installation_mode: "force_installed",
                                                      install_url: `file://${xpi}` } },
    "3rdparty": { Extensions: { [identity.firefoxAddonId]: { allowedOrigins: [EXAMPLE_ORIGIN] } } } } };
  fs.writeFileSync(path.join(dir, "firefox-policies.json"), JSON.stringify(firefox, null, 2) + "\n");
  for (const [browser, key, store] of [["chrome", "Google\\Chrome", CHROME_STORE],
                                       ["edge", "Microsoft\\Edge", EDGE_STORE]]) {
    const policies = `HKEY_LOCAL_MACHINE\\SOFTWARE\\Policies\\${key}`;
    const reg = [
      "Windows Registry Editor Version 5.00",
      "",
      `; Installs keltoDataSigned in ${browser === "chrome" ? "Google Chrome" : "Microsoft Edge"} on a managed`,
      "; Windows machine (domain-joined or cloud-managed) and lets the origin below",
      "; sign without asking. Use ONE of the two force-install lines: the store's,",
      "; with the id the store gave the extension (also in the host's",
      "; ALLOWED_ORIGINS), or the update manifest you host next to the .crx.",
      `[${policies}\\ExtensionInstallForcelist]`,
      `; "1"="STORE-ID;${store}"`,
      `"1"="${id};https://sign.example.com/keltodatasigned/updates.xml"`,
      "",
      `[${policies}\\3rdparty\\extensions\\${id}\\policy\\allowedOrigins]`,
      `"1"="${EXAMPLE_ORIGIN}"`,
      "",
    ];
    fs.writeFileSync(path.join(dir, `${browser}.reg`), reg.join("\r\n"));
  }
}

function pack({ out, version, keyFile, signedXpi, installDir, chromium, identity }) {
  const own = readJson(path.join(here, "package.json")).version;
  if (own !== version) fail(`browser/package.json has version ${own}, the build ${version}: make them one`);
  fs.mkdirSync(out, { recursive: true });
  fs.writeFileSync(path.join(out, "identity.json"), JSON.stringify(identity, null, 2) + "\n");
  const dirs = build(out, identity);
  const licence = path.join(root, "LICENSE");
  for (const dir of Object.values(dirs)) fs.copyFileSync(licence, path.join(dir, "LICENSE"));

  const base = `${NAME}-${version}`;
  const store = path.join(out, "store");
  fs.rmSync(store, { recursive: true, force: true });
  fs.cpSync(dirs.chromium, store, { recursive: true });
  const { key, ...storeManifest } = readJson(path.join(store, "manifest.json"));
  fs.writeFileSync(path.join(store, "manifest.json"), JSON.stringify(storeManifest, null, 2) + "\n");
  zip(store, path.join(out, `${base}-chromium.zip`));
  fs.rmSync(store, { recursive: true, force: true });

  const xpi = path.join(out, `${base}-firefox.xpi`);
  if (signedXpi) {
    const gecko = manifestOfXpi(signedXpi).browser_specific_settings?.gecko?.id;
    if (gecko !== identity.firefoxAddonId) fail(`${signedXpi} is add-on ${gecko}, not ${identity.firefoxAddonId}`);
    fs.copyFileSync(signedXpi, xpi);
  } else {
    zip(dirs.firefox, xpi);
  }

  const crx = path.join(out, `${base}.crx`);
  const updates = path.join(out, "updates.xml");
  const external = path.join(out, `${identity.chromiumExtensionId}.json`);
  // What a build without the key (or an earlier build with another) left.
  for (const file of fs.readdirSync(out)) {
    if (/\.crx$|^updates\.xml$|^[a-p]{32}\.json$/.test(file)) fs.rmSync(path.join(out, file));
  }
  const installed = {
    crx: keyFile && path.posix.join(installDir, `${base}.crx`),
    updates: keyFile && path.posix.join(installDir, "updates.xml"),
    xpi: path.posix.join(installDir, `${base}-firefox.xpi`),
  };
  if (keyFile) {
    packCrx(chromium, dirs.chromium, keyFile, crx);
    fs.writeFileSync(updates, `<?xml version="1.0" encoding="UTF-8"?>
<gupdate xmlns="http://www.google.com/update2/response" protocol="2.0">
  <app appid="${identity.chromiumExtensionId}">
    <updatecheck codebase="file://${installed.crx}" version="${version}"/>
  </app>
</gupdate>
`);
    fs.writeFileSync(external, JSON.stringify({ external_crx: installed.crx, external_version: version }) + "\n");
  }
  writePolicies(path.join(out, "policies"), identity, installed);
}

function option(name) {
  const at = process.argv.indexOf(name);
  if (at < 0) return undefined;
  if (at + 1 >= process.argv.length) fail(`${name} needs a value`);
  return process.argv[at + 1];
}

if (process.argv[1] && fileURLToPath(import.meta.url) === path.resolve(process.argv[1])) {
  const out = option("--out");
  if (!out) fail("--out is required");
  const keyFile = option("--key") || undefined;
  let identity;
  try {
    identity = identityOf(keyFile);
  } catch (error) {
    fail(error.message);
  }
  const usual = readJson(path.join(root, "packaging", "identity.json")).chromiumExtensionId;
  if (identity.chromiumExtensionId !== usual && !process.argv.includes("--quiet")) {
    console.log(`pack.mjs: the key ${keyFile} gives the extension id ${identity.chromiumExtensionId}, not ` +
                `packaging/identity.json's ${usual}: this build names ${identity.chromiumExtensionId} everywhere`);
  }
  if (process.argv.includes("--identity-only")) {
    fs.mkdirSync(path.dirname(path.resolve(out)), { recursive: true });
    fs.writeFileSync(out, JSON.stringify(identity, null, 2) + "\n");
  } else {
    const version = option("--version");
    if (!version) fail("--version is required");
    pack({ out: path.resolve(out), version, keyFile, signedXpi: option("--signed-xpi"),
           installDir: option("--install-dir") ?? "/usr/share/keltodatasigned",
           chromium: option("--chromium") ?? "/usr/lib/chromium/chromium", identity });
  }
}
