// The demo page: connect, pick a key, see its certificate, sign a text or a
// file, download the signature and verify it with openssl.
import { connect, ErrorCode } from "../lib/keltoDataSigned.js";
import { nameText, parseCertificate } from "./x509.js";

// Providers openssl can check, with the digest option of their hash.
const PROVIDERS = {
  "Microsoft Strong Cryptographic Provider": { digest: "-sha1" },
  "Crypto-Pro GOST R 34.10-2012 Cryptographic Service Provider": { digest: "-md_gost12_256", gost: true },
  "Crypto-Pro GOST R 34.10-2012 Strong Cryptographic Service Provider": { digest: "-md_gost12_512", gost: true },
  "Crypto-Pro GOST R 34.10-2001 Cryptographic Service Provider": { digest: "-md_gost94", gost: true },
};

const $ = (id) => document.getElementById(id);
let signer = null;
let session = null;
let certificate = null;
let droppedFile = null;
const downloads = [];

function say(text) {
  $("status").textContent = text;
}

// Where a person gets the extension and the program, in the browser and
// system this page runs in.
function installAdvice() {
  const agent = navigator.userAgent;
  // Chrome, Edge and Chromium share one user-agent string; their brands differ.
  const brands = (navigator.userAgentData?.brands ?? []).map((b) => b.brand);
  const browser = /Firefox\//.test(agent) ? "Firefox" : brands.includes("Microsoft Edge") ? "Microsoft Edge" :
    brands.includes("Google Chrome") ? "Google Chrome" : "Chromium";
  const linux = /Linux/.test(agent) && !/Android/.test(agent);
  if (browser === "Firefox") {
    return "Install the keltoDataSigned add-on from Firefox Add-ons, or ask your administrator to " +
      "install it, together with the keltoDataSigned program for your system.";
  }
  if (linux) {
    return "Install the keltoDataSigned package for your system (your administrator or software centre " +
      "can), then close every window of " + browser + " and open it again.";
  }
  const store = browser === "Microsoft Edge" ? "Edge Add-ons" : "the Chrome Web Store";
  return `Install the keltoDataSigned extension from ${store}, or ask your administrator to install it, ` +
    "together with the keltoDataSigned program for your system.";
}

// Developers load the extension and register the host by hand: they are told
// in the console, not the person in front of the page.
function developerHint(error) {
  if (error.code === ErrorCode.ExtensionMissing) {
    console.info("keltoDataSigned: no extension answered. Load build/extension/chromium unpacked " +
                 "(chrome://extensions, Developer mode) or build/extension/firefox/manifest.json as a " +
                 "temporary add-on (about:debugging); see the README.");
  } else if (error.code === ErrorCode.HostMissing) {
    console.info("keltoDataSigned: the browser found no host manifest. Run scripts/register-host.sh --user, " +
                 "with --profile DIR when the browser runs with --user-data-dir=DIR.");
  }
}

// What went wrong, in words for the person in front of the page.
function explain(error) {
  developerHint(error);
  switch (error.code) {
    case ErrorCode.ExtensionMissing:
      return "The keltoDataSigned extension is not installed in this browser, or it is switched off. " +
        `${installAdvice()} Then reload this page.`;
    case ErrorCode.HostMissing:
      return "The keltoDataSigned extension is installed, but the signing program it needs is not set up " +
        "for this browser. Install the keltoDataSigned program for your system, or ask your administrator " +
        "to set it up for this browser, then reload this page.";
    case ErrorCode.AccessDenied:
      return "This page may not use your signing keys. You can change that in the extension's options, " +
        "then reload this page.";
    case ErrorCode.HostDisconnected:
      return "The connection to the signing program was lost. Reload this page to connect again.";
    case ErrorCode.ContentTooLarge:
      return "This file is too large to pass through the browser: about 47 MiB is the most it can sign.";
    case ErrorCode.Timeout:
      return "The signing program did not answer in time. Reload this page to try again.";
    case ErrorCode.HostError:
      return hostProblem(error.description);
    default:
      return error.message;
  }
}

function hostProblem(description) {
  if (/^Error 0x8010006B\b/.test(description)) return "The PIN is wrong.";
  if (/^Error 0x80090016\b/.test(description)) return "This provider has no key container of that name.";
  if (/^Bad parameter providerName/.test(description)) return "The signing program does not know this provider.";
  if (/^Error 0x80092004\b/.test(description)) {
    return "No certificate for this key was found there. Try the other certificate source.";
  }
  return `The signing program could not do it: ${description}`;
}

function showError(error) {
  $("error").textContent = error ? explain(error) : "";
  $("error").hidden = !error;
}

// Runs one step of the page; a failure is shown, never thrown away.
async function step(work) {
  showError(null);
  try {
    await work();
  } catch (error) {
    showError(error);
  }
  refresh();
}

function refresh() {
  const connected = signer !== null && signer.connected;
  const open = session !== null && session.usable;
  $("list").disabled = !connected;
  $("container").disabled = !connected || $("container").options.length === 0;
  $("open").disabled = !connected || open || $("container").options.length === 0;
  $("close").disabled = !open;
  $("sign").disabled = !open;
  $("certificate").hidden = certificate === null;
}

function offer(link, name, bytes) {
  const url = URL.createObjectURL(new Blob([bytes]));
  downloads.push(url);
  link.href = url;
  link.download = name;
  link.textContent = `Download ${name}`;
}

function showCertificate(cert) {
  const parsed = parseCertificate(cert.bytes);
  certificate = { ...cert, parsed };
  $("cert-subject").textContent = nameText(parsed.subject);
  $("cert-issuer").textContent = nameText(parsed.issuer);
  const day = (date) => date.toISOString().replace("T", " ").replace(/\.\d+Z$/, " UTC");
  $("cert-validity").textContent = `${day(parsed.notBefore)} to ${day(parsed.notAfter)}`;
  $("cert-serial").textContent = parsed.serial;
  offer($("cert-download"), "certificate.cer", cert.bytes);
}

function verifyCommand(format, documentName, signatureName) {
  const provider = PROVIDERS[session.providerName];
  if (!provider) return "openssl cannot check signatures of this provider's algorithm.";
  const engine = provider.gost ? " -engine gost" : "";
  if (format === "pkcs7") {
    return `openssl cms${engine} -verify -binary -inform DER -in ${signatureName} ` +
      `-content ${documentName} -noverify -out /dev/null`;
  }
  return `openssl x509${engine} -inform DER -in certificate.cer -pubkey -noout -out public.pem\n` +
    `openssl dgst${engine} ${provider.digest} -verify public.pem -signature ${signatureName} ${documentName}`;
}

async function sign() {
  const format = $("format").value;
  const file = droppedFile ?? $("file").files[0] ?? null;
  const content = file ?? $("text").value;
  const documentName = file ? file.name : "document.txt";
  const signatureName = `${documentName}.${format === "pkcs7" ? "p7s" : "sig"}`;
  say(`Signing ${file ? documentName : "the text"}…`);
  const signature = await session.sign({ data: content, format, source: $("source").value });
  $("signature").value = signature.base64;
  offer($("signature-download"), signatureName, signature.bytes);
  offer($("document-download"), documentName, file ?? new TextEncoder().encode(content));
  $("verify-command").textContent = verifyCommand(format, documentName, signatureName);
  $("result").hidden = false;
  say("Signed.");
}

function pickFile(file) {
  droppedFile = file;
  $("file-name").textContent = file ? `${file.name}, ${file.size} bytes` : "";
}

function wire() {
  $("providers").replaceChildren(...Object.keys(PROVIDERS).map((name) => new Option(name)));
  $("list").addEventListener("click", () => step(async () => {
    const names = await signer.listContainers($("provider").value);
    $("container").replaceChildren(...names.map((name) => new Option(name)));
    say(names.length ? `${names.length} key container(s) found.` : "This provider has no key containers.");
  }));
  $("open").addEventListener("click", () => step(async () => {
    session = await signer.openSession({ providerName: $("provider").value,
                                         containerName: $("container").value, pin: $("pin").value });
    $("pin").value = "";
    showCertificate(await session.getCertificate({ source: $("source").value }));
    say(`Key ${session.containerName} is open.`);
  }));
  $("close").addEventListener("click", () => step(async () => {
    await session.close();
    session = null;
    certificate = null;
    say("The key is closed.");
  }));
  $("sign").addEventListener("click", () => step(sign));
  $("file").addEventListener("change", () => pickFile($("file").files[0] ?? null));
  $("text").addEventListener("input", () => pickFile(null));
  // A file dropped anywhere on the page is signed, never opened by the browser instead.
  document.addEventListener("dragover", (event) => event.preventDefault());
  document.addEventListener("drop", (event) => {
    event.preventDefault();
    if (event.dataTransfer.files.length) pickFile(event.dataTransfer.files[0]);
  });
  refresh();
}

wire();
step(async () => {
  signer = await connect();
  say("Connected to the signing program.");
  signer.closed.then((reason) => {
    session = null;
    showError(reason);
    say("Not connected.");
    refresh();
  });
}).finally(() => {
  if (signer === null) say("Not connected.");
});
