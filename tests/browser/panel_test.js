// The relay's panel in a real browser: Debian's chromium, headless, driven through puppeteer-core,
// against the real simulator, bridge and relay on loopback.
// Usage: node panel_test.js BIN_DIR [SCREENSHOT.png]
"use strict";
const { spawn } = require("node:child_process");
const dgram = require("node:dgram");
const fs = require("node:fs");
const net = require("node:net");
const os = require("node:os");
const path = require("node:path");
const puppeteer = require("puppeteer-core");

const binDir = process.argv[2];
const screenshot = process.argv[3] || "";
const children = [];
let failed = false;

function start(name, args, env = {}) {
  const child = spawn(path.join(binDir, name), args, { env: { ...process.env, ...env } });
  child.out = "";
  child.stdout.on("data", (d) => { child.out += d; });
  child.stderr.on("data", (d) => { child.err = (child.err || "") + d; });
  children.push(child);
  return child;
}

async function until(what, check, timeoutMs = 10000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const result = await check();
    if (result) return result;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

function freePort(udp) {
  return new Promise((resolve) => {
    if (udp) {
      const s = dgram.createSocket("udp4");
      s.bind(0, "127.0.0.1", () => { const p = s.address().port; s.close(() => resolve(p)); });
    } else {
      const s = net.createServer();
      s.listen(0, "127.0.0.1", () => { const p = s.address().port; s.close(() => resolve(p)); });
    }
  });
}

function check(condition, message) {
  if (!condition) throw new Error(message);
  console.log(`ok: ${message}`);
}

async function main() {
  const sim = start("skyhelm-sim", ["--port", "0"]);
  const simAddress = (await until("the simulator", () => /listening on (\S+)/.exec(sim.out)))[1];
  const bridgePort = await freePort(true);
  start("skyhelm", [String(bridgePort)], { SKYHELM_SIM_ADDRESS: simAddress });
  const httpPort = await freePort(false);
  const relayArgs = ["--bridge", `127.0.0.1:${bridgePort}`, "--udp-port", "0", "--http-port", String(httpPort)];
  let relay = start("skyhelm-relay", relayArgs);
  const url = (await until("the relay", () => /panel (http\S+)/.exec(relay.out)))[1];

  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "skyhelm-chromium-"));
  const browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium",
    headless: true,
    userDataDir: profile,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1100, height: 820 });
    await page.goto(url);
    const text = (id) => page.$eval(`#${id}`, (e) => e.textContent);

    await until("the link to come up", async () => (await text("link")) === "live");
    await until("a first line", async () => (await text("altitude")) !== "–");
    check((await text("spdtarget")) === "120" && (await text("headingbug")) === "90" &&
          Math.abs(Number(await text("altitude")) - 3000) < 100,
          "the page shows the line's values (speed target 120, bug 90, altitude ~3000)");
    const position = await text("position");
    await until("the position to move", async () => (await text("position")) !== position, 5000);
    check(true, "the values are live (the position moves)");

    await page.click("#btn-ap");
    await until("event AP_MASTER 0", () => sim.out.includes("event AP_MASTER 0\n"));
    check(true, "pressing AP makes the simulator print event AP_MASTER 0");
    await until("the AP button to light", () => page.$eval("#btn-ap", (e) => e.classList.contains("on")));
    check(true, "the AP button lights from the line's autopilot_master");

    await page.type("#in-heading", "270");
    await page.keyboard.press("Enter");
    await until("event HEADING_BUG_SET 270", () => sim.out.includes("event HEADING_BUG_SET 270\n"));
    check(true, "entering heading 270 makes the simulator print event HEADING_BUG_SET 270");
    await until("the bug to move", async () =>
      (await page.$eval("#bug", (e) => e.dataset.heading)) === "270" && (await text("headingbug")) === "270");
    check(true, "the heading bug moves to 270");

    await page.click("#btn-hdg");
    await until("event AP_PANEL_HEADING_HOLD", () => sim.out.includes("event AP_PANEL_HEADING_HOLD 0\n"));
    await until("the aircraft to bank", async () => Math.abs(parseFloat(await text("bank"))) > 2, 8000);
    if (screenshot) {
      await new Promise((r) => setTimeout(r, 1500));  // a little ground track
      await page.screenshot({ path: screenshot, fullPage: true });
      console.log(`screenshot: ${screenshot}`);
    }

    relay.kill("SIGTERM");
    await until("the page to say the link is lost", async () => (await text("link")) === "link lost");
    check(true, "stopping the relay: the page says link lost");
    relay = start("skyhelm-relay", relayArgs);
    await until("the link to recover", async () => (await text("link")) === "live", 15000);
    const after = await text("position");
    await until("values after the restart", async () => (await text("position")) !== after, 5000);
    check(true, "restarting the relay: the page recovers with live values");

    const phone = await browser.newPage();
    await phone.setViewport({ width: 390, height: 844, isMobile: true, hasTouch: true, deviceScaleFactor: 2 });
    await phone.goto(url);
    await until("the phone's link", async () => (await phone.$eval("#link", (e) => e.textContent)) === "live");
    const layout = await phone.evaluate(() => ({
      overflow: document.documentElement.scrollWidth - window.innerWidth,
      smallest: Math.min(...[...document.querySelectorAll("button")].map((b) => b.getBoundingClientRect().height)),
    }));
    check(layout.overflow <= 0 && layout.smallest >= 44,
          `on a 390-px phone nothing scrolls sideways and every button is at least 44 px tall (${JSON.stringify(layout)})`);
    await phone.tap("#btn-fd");
    await until("event TOGGLE_FLIGHT_DIRECTOR", () => sim.out.includes("event TOGGLE_FLIGHT_DIRECTOR 0\n"));
    check(true, "a tap on FD on the phone reaches the simulator");
  } finally {
    await browser.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

main().catch((e) => {
  failed = true;
  console.error(`FAIL: ${e.message}`);
  for (const c of children) if (c.err) console.error(`${path.basename(c.spawnfile)} stderr:\n${c.err}`);
}).finally(() => {
  for (const c of children) if (c.exitCode === null) c.kill("SIGKILL");
  process.exit(failed ? 1 : 0);
});
