// The demo's certificate reader against certificates made by openssl, and
// against damaged ones.
import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { after, it } from "node:test";
import { nameText, parseCertificate } from "../../browser/demo/x509.js";

const temp = fs.mkdtempSync(path.join(os.tmpdir(), "kelto-x509-"));
after(() => fs.rmSync(temp, { recursive: true, force: true }));

function openssl(...args) {
  const result = spawnSync("openssl", args, { encoding: "utf8" });
  assert.equal(result.status, 0, result.stderr);
  return result.stdout;
}

it("reads subject, issuer, validity and serial as openssl does, and refuses damaged DER", () => {
  const key = path.join(temp, "key.pem");
  const der = path.join(temp, "cert.der");
  // A serial with its top bit set (DER adds a sign byte) and a validity that
  // ends after 2049, so that it is written as GeneralizedTime.
  openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-outform", "DER", "-out", der,
          "-days", "12000", "-set_serial", "0x80A1B2C3D4E5F60718", "-utf8",
          "-subj", "/C=RU/ST=Москва/O=Kelto Test/OU=QA/CN=Иван Петров/emailAddress=ivan@sign.example");
  const bytes = fs.readFileSync(der);
  const certificate = parseCertificate(new Uint8Array(bytes));

  assert.deepEqual(certificate.subject.map((a) => [a.type, a.value]), [
    ["C", "RU"], ["ST", "Москва"], ["O", "Kelto Test"], ["OU", "QA"], ["CN", "Иван Петров"],
    ["emailAddress", "ivan@sign.example"]]);
  assert.equal(nameText(certificate.issuer), nameText(certificate.subject));
  assert.equal(nameText(certificate.subject),
               "C=RU, ST=Москва, O=Kelto Test, OU=QA, CN=Иван Петров, emailAddress=ivan@sign.example");
  const printed = openssl("x509", "-inform", "DER", "-in", der, "-noout", "-serial", "-startdate", "-enddate");
  const field = (name) => printed.match(new RegExp(`^${name}=(.*)$`, "m"))[1];
  assert.equal(certificate.serial, field("serial"));
  assert.equal(certificate.notBefore.getTime(), Date.parse(field("notBefore")));
  assert.equal(certificate.notAfter.getTime(), Date.parse(field("notAfter")));
  assert.ok(certificate.notAfter.getUTCFullYear() > 2049);

  const damaged = [bytes.subarray(0, bytes.length - 1), Buffer.concat([bytes, Buffer.from([0])]),
                   Buffer.from([0x30, 0x80, 0x00, 0x00]), Buffer.from([0x30, 0x85, 1, 1, 1, 1, 1]),
                   Buffer.from([0x31, 0x00]), Buffer.alloc(0)];
  for (const bad of damaged) {
    assert.throws(() => parseCertificate(new Uint8Array(bad)), /Not a DER certificate/, bad.toString("hex"));
  }
});
