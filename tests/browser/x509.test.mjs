// The page library's DER reader against certificates and a PKCS#7 message
// made by openssl, and against damaged DER.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { after, it } from "node:test";
import { readCertificate, signedDataDigest } from "../../browser/lib/x509.js";

const temp = fs.mkdtempSync(path.join(os.tmpdir(), "kelto-x509-"));
after(() => fs.rmSync(temp, { recursive: true, force: true }));

function openssl(...args) {
  const result = spawnSync("openssl", args, { encoding: "utf8" });
  assert.equal(result.status, 0, result.stderr);
  return result.stdout;
}

it("reads the fields of a certificate openssl made, names a PKCS#7 digest, and refuses damaged DER", async () => {
  const [key, pem, der, data, message] = ["key.pem", "cert.pem", "cert.der", "data.txt", "data.p7s"]
    .map((f) => path.join(temp, f));
  // A serial with its top bit set (DER adds a sign byte), a validity that
  // ends after 2049 (GeneralizedTime), UTF-8 names and usage bits in both bytes.
  openssl("req", "-x509", "-newkey", "rsa:3072", "-nodes", "-keyout", key, "-out", pem,
          "-days", "12000", "-set_serial", "0x80A1B2C3D4E5F60718", "-utf8",
          "-subj", "/C=RU/ST=Москва/O=Kelto Test/OU=QA/CN=Иван Петров/emailAddress=ivan@sign.example",
          "-addext", "keyUsage=critical,digitalSignature,keyEncipherment,cRLSign,decipherOnly");
  openssl("x509", "-in", pem, "-outform", "DER", "-out", der);
  const bytes = fs.readFileSync(der);
  const c = await readCertificate(new Uint8Array(bytes));
  const subject = "C=RU, ST=Москва, O=Kelto Test, OU=QA, CN=Иван Петров, emailAddress=ivan@sign.example";
  const dates = openssl("x509", "-in", pem, "-noout", "-startdate", "-enddate").match(/=(.*)\n.*=(.*)/).slice(1);
  const thumbprint = (algorithm) => crypto.createHash(algorithm).update(bytes).digest("hex").toUpperCase();
  assert.deepEqual([c.subject, c.issuer, c.serialNumber, c.notBefore, c.notAfter, c.keyAlgorithm.bits, c.keyUsage, c.thumbprints],
                   [subject, subject, "80A1B2C3D4E5F60718", ...dates.map((d) => new Date(d)), 3072,
                    ["digitalSignature", "keyEncipherment", "cRLSign", "decipherOnly"],
                    { sha1: thumbprint("sha1"), sha256: thumbprint("sha256") }]);
  assert.deepEqual([c.subjectAttributes[4], c.keyAlgorithm.name, c.base64, c.valid],
                   [{ oid: "2.5.4.3", type: "CN", value: "Иван Петров" }, "RSA", bytes.toString("base64"), true]);
  assert.equal((await readCertificate(bytes, { now: new Date(Date.UTC(2100, 0)) })).valid, false);

  fs.writeFileSync(data, "signed");
  openssl("cms", "-sign", "-binary", "-in", data, "-signer", pem, "-inkey", key, "-outform", "DER",
          "-out", message, "-md", "sha384");
  assert.equal(signedDataDigest(fs.readFileSync(message)), "SHA-384");
  assert.equal(signedDataDigest(bytes), null, "a certificate is no PKCS#7 message");

  const damaged = [bytes.subarray(0, bytes.length - 1), Buffer.concat([bytes, Buffer.from([0])]),
                   Buffer.from([0x30, 0x80, 0x00, 0x00]), Buffer.from([0x30, 0x85, 1, 1, 1, 1, 1]),
                   Buffer.from([0x31, 0x00]), Buffer.alloc(0)];
  for (const bad of damaged) {
    await assert.rejects(readCertificate(new Uint8Array(bad)), /Not a DER certificate/, bad.toString("hex"));
  }
});
