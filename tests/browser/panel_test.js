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
const http = require("node:http");
const puppeteer = require("puppeteer-core");
const Ajv = require("ajv");

const sourceDir = process.env.SKYHELM_SOURCE_DIR || path.join(__dirname, "..", "..");

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
  const bridge = start("skyhelm", [String(bridgePort)], { SKYHELM_SIM_ADDRESS: simAddress });
  const httpPort = await freePort(false);
  // The example client is a developer's page on an origin of its own.
  const examplePort = await freePort(false);
  const example = http.createServer((req, res) => {
    res.setHeader("Content-Type", "text/html; charset=utf-8");
    res.end(fs.readFileSync(path.join(sourceDir, "docs", "examples", "relay_client.html")));
  }).listen(examplePort, "127.0.0.1");
  const relayArgs = ["--bridge", `127.0.0.1:${bridgePort}`, "--udp-port", "0", "--http-port", String(httpPort),
                     "--allow-origin", `http://127.0.0.1:${examplePort}`];
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
    await page.emulateMediaFeatures([{ name: "prefers-color-scheme", value: "dark" }]);
    // Every message the page sends is kept, to be checked against the client schemas.
    await page.evaluateOnNewDocument(() => {
      const send = WebSocket.prototype.send;
      window.sentMessages = [];
      WebSocket.prototype.send = function (data) { window.sentMessages.push(data); return send.call(this, data); };
    });
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
    await until("the command's confirmation", async () => (await text("log")).includes("h270 → confirmed"));
    check(true, "the log says h270 was forwarded, then confirmed by the line");

    await page.click('button[data-step="in-heading"][data-by="10"]');
    await until("event HEADING_BUG_SET 280", () => sim.out.includes("event HEADING_BUG_SET 280\n"));
    check(true, "the +10 stepper moves the bug from 270 to 280 in the simulator");
    await page.click("#btn-hdg");
    await until("event AP_PANEL_HEADING_HOLD", () => sim.out.includes("event AP_PANEL_HEADING_HOLD 0\n"));
    await until("the aircraft to bank", async () => Math.abs(parseFloat(await text("bank"))) > 2, 8000);
    if (screenshot) {
      await new Promise((r) => setTimeout(r, 1500));  // a little ground track
      await page.screenshot({ path: screenshot, fullPage: true });
      console.log(`screenshot: ${screenshot}`);
    }
    for (const [typed, reason] of [["400", "heading is 0 to 359"], ["12.7", "whole numbers only"], ["abc", "is not a number"]]) {
      await page.$eval("#in-heading", (e) => { e.value = ""; });
      await page.type("#in-heading", typed);
      await page.keyboard.press("Enter");
      await until(`the reason for ${typed}`, async () => (await text("hint-heading")).includes(reason));
    }
    await new Promise((r) => setTimeout(r, 300));
    check(!/HEADING_BUG_SET (400|13|12|0)\n/.test(sim.out),
          "400, 12.7 and abc are refused with their reason and never reach the simulator");


    // A frozen simulator: the bridge repeats its last line, and the page says what that can mean.
    sim.kill("SIGSTOP");
    await until("the page to call the line still", async () =>
      /^no change for \d+ s: paused, parked, or the simulator is gone$/.test(await text("link")), 8000);
    check(await page.$eval("#main", (e) => e.classList.contains("old")) && (await text("age")).startsWith("values from"),
          "a frozen simulator: \"no change for N s: paused, parked, or the simulator is gone\", values dimmed with their age");
    sim.kill("SIGCONT");
    await until("live again", async () => (await text("link")) === "live", 8000);

    bridge.kill("SIGSTOP");
    await until("the page to say the bridge is not answering", async () => (await text("link")) === "bridge not answering", 8000);
    const apEvents = sim.out.split("event AP_MASTER").length;
    await page.click("#btn-ap");
    await until("the refusal", async () => (await text("log")).includes("E refused: bridge not answering"));
    check(sim.out.split("event AP_MASTER").length === apEvents,
          "a stopped bridge: the page says \"bridge not answering\" and a command is refused at once");
    bridge.kill("SIGCONT");
    await until("live after the bridge is back", async () => (await text("link")) === "live", 10000);
    check(!(await page.$eval("#main", (e) => e.classList.contains("old"))), "both back: live, values bright again");

    // Every frame the relay sends follows its schema; a non-ASCII text comes back as it went.
    const ajv = new Ajv({ allErrors: true, allowUnionTypes: true });
    const schemas = {};
    for (const type of ["hello", "status", "telemetry", "result", "subscribed"]) {
      schemas[type] = ajv.compile(JSON.parse(fs.readFileSync(path.join(sourceDir, "docs", "schemas", `relay-${type}.schema.json`))));
    }
    const frames = await page.evaluate(() => new Promise((resolve) => {
      const ws = new WebSocket(`ws://${location.host}/ws`), got = [];
      ws.onmessage = (e) => got.push(e.data);
      ws.onopen = () => {
        for (const m of ['{"type":"subscribe","fields":["altitude","bank"],"rate":5,"id":"s"}', "{", "[1]",
                         '{"type":"subscribe","fields":["nope"]}', '{"type":"command","text":"g1","id":1}',
                         '{"type":"command","text":"h270\u00e9","id":2.5}', '{"type":"command","text":"help"}',
                         '{"type":"command","text":"E","id":+1}']) ws.send(m);
      };
      setTimeout(() => { ws.close(); resolve(got); }, 2500);
    }));
    const bad = [];
    for (const raw of frames) {
      const frame = JSON.parse(raw), validate = schemas[frame.type];
      if (!validate || !validate(frame)) bad.push(`${raw}: ${JSON.stringify(validate ? validate.errors : "unknown type")}`);
    }
    check(bad.length === 0 && frames.length > 10, `all ${frames.length} frames follow docs/schemas ${bad.join("; ")}`);
    const clientSchemas = {};
    for (const type of ["command", "subscribe"]) {
      clientSchemas[type] = ajv.compile(JSON.parse(fs.readFileSync(path.join(sourceDir, "docs", "schemas", `client-${type}.schema.json`))));
    }
    // The deliberately broken ones the frame check above sent are left out.
    const parses = (m) => { try { return typeof JSON.parse(m).type === "string"; } catch { return false; } };
    const sent = (await page.evaluate(() => window.sentMessages)).filter(parses).filter((m) => !m.includes('"nope"'));
    const badSent = sent.filter((m) => { const v = clientSchemas[JSON.parse(m).type]; return !v || !v(JSON.parse(m)); });
    check(sent.length > 5 && badSent.length === 0, `the panel's ${sent.length} messages follow the client schemas ${badSent.join("; ")}`);
    const types = new Set(frames.map((f) => JSON.parse(f).type));
    check(["hello", "status", "telemetry", "result", "subscribed"].every((t) => types.has(t)), "hello, status, telemetry, result and subscribed were among them");
    check(frames.some((f) => JSON.parse(f).text === "h270\u00e9"), "h270é comes back as h270é");
    check(frames.filter((f) => JSON.parse(f).type === "telemetry").slice(1).every((f) => Object.keys(JSON.parse(f).fields).join() === "altitude,bank"),
          "after subscribe only altitude and bank arrive");

    // The example client of docs/protocol.md, on its own origin (--allow-origin).
    const dev = await browser.newPage();
    await dev.goto(`http://127.0.0.1:${examplePort}/relay_client.html?relay=ws://127.0.0.1:${httpPort}/ws`);
    await until("the example's values", async () => (await dev.$eval("#altitude", (e) => e.textContent)) !== "–");
    await dev.click("#set");
    await until("the example's command", () => sim.out.includes("event HEADING_BUG_SET 180\n"));
    await until("its confirmation", async () => (await dev.$eval("#results", (e) => e.textContent)).includes("confirmed"));
    check(true, "the example client subscribes, shows values, and its command is forwarded and confirmed");
    await dev.close();

    relay.kill("SIGTERM");
    await until("the page to say the link is lost", async () => (await text("link")) === "relay link lost");
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
    const firstScreen = await phone.evaluate(() => ({
      ap: document.querySelector("#btn-ap").getBoundingClientRect().bottom,
      adi: document.querySelector("#adi").getBoundingClientRect().top,
    }));
    check(firstScreen.ap < 844 && firstScreen.ap < firstScreen.adi,
          `on a phone the autopilot comes first, on the first screen (${JSON.stringify(firstScreen)})`);
    if (screenshot) {
      await phone.screenshot({ path: screenshot.replace(/\.png$/, "-phone.png") });
      console.log(`screenshot: ${screenshot.replace(/\.png$/, "-phone.png")}`);
    }
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
  for (const c of children) if (c.exitCode === null) { c.kill("SIGCONT"); c.kill("SIGKILL"); }
  process.exit(failed ? 1 : 0);
});
