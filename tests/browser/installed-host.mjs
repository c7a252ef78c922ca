// The host as the Debian package installs it, reached by headless Chromium
// through the extension. tests/e2e/test_package_deb.py runs this as root
// after `dpkg -i`, with KELTO_HOST and KELTO_KEYTOOL naming the installed
// programs: nothing registers the host for the workspace's user, so Chromium
// can only find it through the package's manifest under /etc/chromium.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe } from "node:test";
import { PIN, RSA, Workspace, alive, identity, openPage, scenario, serve, startChromium, stopChromium, until,
         writePolicy } from "./support.mjs";

// Live processes of `program` started with this XDG_DATA_HOME, that is, by this workspace's browser.
function processesOf(program, dataHome) {
  const exe = fs.realpathSync(program);
  const started = (pid) => {
    try {
      return fs.readlinkSync(`/proc/${pid}/exe`) === exe &&
        fs.readFileSync(`/proc/${pid}/environ`, "utf8").split("\0").includes(`XDG_DATA_HOME=${dataHome}`);
    } catch {
      return false;  // gone meanwhile, or not ours to read
    }
  };
  return fs.readdirSync("/proc").filter((name) => /^\d+$/.test(name) && started(name)).map(Number);
}

describe("the installed host in Chromium", () => {
  let ws;
  let server;
  let browser;
  let origin;

  before(async () => {
    ws = new Workspace("installed");
    ws.keytool("generate", "--provider", RSA, "--container", "installed-check", "--pin", PIN);
    server = await serve(ws.path("files"));
    origin = `http://localhost:${server.port}`;
    writePolicy(identity.chromiumExtensionId, origin);
    ({ browser } = await startChromium(ws, origin));
  }, { timeout: 3 * 60 * 1000 });

  after(async () => {
    await stopChromium(browser, server);
    ws?.cleanup();
  });

  scenario("an administrator's origin lists the installed keytool's container through the system manifest",
           async () => {
    const page = await openPage(browser, origin);
    const listed = await page.evaluate((provider) => attempt(async () => {
      window.signer = await lib.connect();
      return signer.listContainers(provider);
    }), RSA);
    assert.deepEqual(listed, { ok: ["installed-check"] });
    // Where Chromium looks for this user's hosts before the system's (it makes the directory itself).
    const userHosts = path.join(ws.env.XDG_CONFIG_HOME, "chromium", "NativeMessagingHosts");
    assert.deepEqual(fs.existsSync(userHosts) ? fs.readdirSync(userHosts) : [], []);
    const hosts = processesOf(ws.host, ws.env.XDG_DATA_HOME);
    assert.equal(hosts.length, 1, "one process of the installed host, started by this browser");
    await page.close();
    await until("the installed host to end with its page", () => !alive(hosts[0]));
  });
});
