// The demo page: connect, choose one of the person's certificates, sign a
// text or a file, download the signature and verify it with openssl.
import { connect, ErrorCode, ErrorReason } from "../lib/keltoDataSigned.js";

// openssl's digest option for each hash a signature can be over.
const DIGEST_OPTIONS = {
  "SHA-1": "-sha1", "SHA-224": "-sha224", "SHA-256": "-sha256", "SHA-384": "-sha384", "SHA-512": "-sha512",
  "GOST R 34.11-94": "-md_gost94", "Streebog-256": "-md_gost12_256", "Streebog-512": "-md_gost12_512",
};
const CERTIFICATE_FILE = "certificate.cer";

const $ = (id) => document.getElementById(id);
let signer = null;
let chosen = null;  // the entry of listCertificates() the person chose
let droppedFile = null;

function say(text) {
  $("status").textContent = text;
}

// How to get the extension, for the browser this page runs in.
function installAdvice() {
  const agent = navigator.userAgent;
  // Chrome, Edge and Chromium share one user-agent string; their brands differ.
  const brands = (navigator.userAgentData?.brands ?? []).map((b) => b.brand);
  const browser = /Firefox\//.test(agent) ? "Firefox" : brands.includes("Microsoft Edge") ? "Microsoft Edge" :
    brands.includes("Google Chrome") ? "Google Chrome" : "Chromium";
  if (browser === "Firefox") {
    return "Install the keltoDataSigned add-on from Firefox Add-ons, or ask your administrator to " +
      "install it, together with the keltoDataSigned program for your system.";
  }
  if (/Linux/.test(agent) && !/Android/.test(agent)) {
    return "Install the keltoDataSigned package for your system (the Debian package keltodatasigned, from " +
      "your administrator or software centre): it adds the extension to Chromium. Then close every window " +
      `of ${browser} and open it again.`;
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
      return hostProblem(error);
    default:
      return error.message;
  }
}

function hostProblem(error) {
  switch (error.reason) {
    case ErrorReason.WrongPin: return "The PIN was wrong. Sign again to enter it once more.";
    case ErrorReason.PinLocked: return "The key's PIN is locked after too many wrong tries.";
    case ErrorReason.PinRequired:
      return "This key needs its PIN, and your computer could not show the question for it.";
    case ErrorReason.Cancelled: return "Signing was cancelled.";
    case ErrorReason.NoKey: return "This key is no longer there.";
    case ErrorReason.NoCertificate: return "This key has no certificate.";
    case ErrorReason.NoProvider: return "The program that holds this key is not installed.";
    case ErrorReason.FileUnreadable: return "The file could not be read.";
    default: return `The signing program could not do it: ${error.description}`;
  }
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
  $("sign").disabled = !(signer && signer.connected && chosen);
}

function offer(link, name, bytes) {
  if (link.href.startsWith("blob:")) URL.revokeObjectURL(link.href);
  link.href = URL.createObjectURL(new Blob([bytes]));
  link.download = name;
  link.textContent = `Download ${name}`;
}

const day = (date) => date.toISOString().slice(0, 10);

function choose(entry) {
  chosen = entry;
  const c = entry.certificate;
  $("cert-subject").textContent = c.subject;
  $("cert-issuer").textContent = c.issuer;
  $("cert-validity").textContent = `${day(c.notBefore)} to ${day(c.notAfter)}${c.valid ? "" : " (not valid now)"}`;
  $("cert-serial").textContent = c.serialNumber;
  $("cert-key").textContent = `${c.keyAlgorithm.name}${c.keyAlgorithm.bits ? ` ${c.keyAlgorithm.bits}` : ""}, ` +
    `in ${entry.containerName} (${entry.providerName})`;
  $("cert-thumbprint").textContent = c.thumbprints.sha1;
  $("certificate").hidden = false;
  $("sign").disabled = !signer.connected;
}

function showCertificates(entries) {
  const items = entries.map((entry, index) => {
    const item = document.createElement("li");
    const label = document.createElement("label");
    const radio = Object.assign(document.createElement("input"), { type: "radio", name: "certificate", value: index });
    const common = entry.certificate?.subjectAttributes.find((a) => a.type === "CN")?.value;
    if (entry.certificate) {
      radio.addEventListener("change", () => choose(entry));
      label.append(radio, ` ${common ?? entry.certificate.subject}, until ${day(entry.certificate.notAfter)}`);
    } else {
      radio.disabled = true;
      item.className = "unusable";
      label.append(radio, ` ${entry.containerName}: its certificate cannot be read (${explain(entry.error)})`);
    }
    item.append(label);
    return item;
  });
  $("certificates").replaceChildren(...items);
  $("no-certificates").hidden = entries.length > 0;
  // The first valid certificate is chosen for the person; they may choose another.
  const first = items.find((item, index) => entries[index].certificate?.valid);
  if (first) first.querySelector("input").click();
  say(entries.length ? "Choose the certificate to sign with." : "Connected, but there is nothing to sign with.");
}

// A file name as one shell word.
function quoted(name) {
  return /^[\w.,+-]+$/.test(name) ? name : `'${name.replace(/'/g, "'\\''")}'`;
}

function verifyCommand(signature, documentName, signatureName) {
  const digest = DIGEST_OPTIONS[signature.hashAlgorithm];
  if (!digest) return "openssl cannot check signatures of this key's algorithm.";
  const engine = chosen.certificate.keyAlgorithm.name.startsWith("GOST") ? " -engine gost" : "";
  const [document, sig, certificate] = [documentName, signatureName, CERTIFICATE_FILE].map(quoted);
  if (signature.format === "pkcs7") {
    return `openssl cms${engine} -verify -binary -inform DER -in ${sig} -content ${document} -noverify -out /dev/null`;
  }
  return `openssl x509${engine} -inform DER -in ${certificate} -pubkey -noout -out public.pem\n` +
    `openssl dgst${engine} ${digest} -verify public.pem -signature ${sig} ${document}`;
}

async function sign() {
  const format = $("format").value;
  const file = droppedFile ?? $("file").files[0] ?? null;
  const content = file ?? $("text").value;
  const documentName = file ? file.name : "document.txt";
  const signatureName = `${documentName}.${format === "pkcs7" ? "p7s" : "sig"}`;
  say(`Signing ${file ? documentName : "the text"}…`);
  const signature = await signer.sign({
    providerName: chosen.providerName, containerName: chosen.containerName, data: content, format,
    onProgress: ({ loaded, total }) => say(`Signing ${documentName}: ${Math.round(100 * loaded / total)}% handed over…`),
  });
  $("signature").value = signature.base64;
  $("hash").textContent = `The signature is over the ${signature.hashAlgorithm ?? "provider's"} hash of the document.`;
  offer($("signature-download"), signatureName, signature.bytes);
  offer($("document-download"), documentName, file ?? new TextEncoder().encode(content));
  offer($("cert-download"), CERTIFICATE_FILE, chosen.certificate.bytes);
  $("verify-command").textContent = verifyCommand(signature, documentName, signatureName);
  $("result").hidden = false;
  say("Signed.");
}

function pickFile(file) {
  droppedFile = file;
  $("file-name").textContent = file ? `${file.name}, ${file.size} bytes` : "";
}

$("sign").addEventListener("click", () => step(sign));
$("file").addEventListener("change", () => pickFile($("file").files[0] ?? null));
$("text").addEventListener("input", () => pickFile(null));
// A file dropped anywhere on the page is signed, never opened by the browser instead.
document.addEventListener("dragover", (event) => event.preventDefault());
document.addEventListener("drop", (event) => {
  event.preventDefault();
  if (event.dataTransfer.files.length) pickFile(event.dataTransfer.files[0]);
});

step(async () => {
  signer = await connect();
  say("Connected. Looking for your certificates…");
  signer.closed.then((reason) => {
    showError(reason);
    say("Not connected.");
    $("sign").disabled = true;
  });
  showCertificates(await signer.listCertificates());
}).finally(() => {
  if (signer === null) say("Not connected.");
});
