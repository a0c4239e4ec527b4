// The console page on the LAN path, in Debian's Chromium, against the real control core and LAN
// server on 127.0.0.1 running the demo session (virtual tone through one strip to main).
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { colourCount, coreMissing, launchBrowser, nextFrames, saveShot, startStage, waitFor } from "./support.mjs";
import { loadSource } from "../../web/test/load.mjs";
import { demoSession } from "../../web/tools/demo-session.mjs";

const skip = await coreMissing();

let stage;
let browser;
let page;
let logins = 0;

// The demo session plus a monitor aux fed post-fader from the tone strip (its send at the
// bottom, which is native "off") and a DCA over the strip.
async function session() {
  const R = await loadSource("rules");
  const s = demoSession(R, 1);
  const ui = s.uiState;
  ui.aux = [R.newBus("aux1", "Mon 1", 2)];
  ui.aux[0].lr = false;
  ui.channels[0].sends = [{ busId: "aux1", level: -80, pre: false }];
  ui.dcas = [{ id: "dca1", name: "Band", level: 0, mute: false, members: ["in1"] }];
  return { native: R.nativeFromUi(ui), uiState: ui };
}

before(async () => {
  if (skip) return;
  stage = await startStage({ session: await session() });
  browser = await launchBrowser();
  page = await browser.context.newPage();
  page.on("pageerror", (e) => console.error("page error:", e.message));
});

after(async () => {
  await browser?.close();
  if (stage) assert.equal(await stage.stop(), 0, "the stage stops cleanly");
});

const store = (expr) => page.evaluate(`(() => { const s = window.__ruviStore; return ${expr}; })()`);

async function submitLogin(password) {
  logins++;
  await page.fill("#login-password", password);
  await page.click(".login-form button[type=submit]");
}

async function peakOf(nodeId) {
  return store(`(s.status?.meters ?? []).filter((m) => m.nodeId === ${JSON.stringify(nodeId)}).map((m) => Math.max(m.peakL, m.peakR))[0] ?? -1`);
}

// The meter once the fader's smoothing has settled: two reads 200 ms apart within 0.05 dB.
async function steadyPeak(nodeId) {
  let last = await peakOf(nodeId);
  for (let i = 0; i < 40; i++) {
    await new Promise((r) => setTimeout(r, 200));
    const now = await peakOf(nodeId);
    if (last > 0 && now > 0 && Math.abs(20 * Math.log10(now / last)) < 0.05) return now;
    last = now;
  }
  assert.fail(`the ${nodeId} meter does not settle`);
}

test("a wrong password shows the server's own text", { skip }, async () => {
  await page.goto(stage.url);
  await page.waitForSelector(".login:not([hidden])");
  await submitLogin("not-the-password");
  await page.waitForFunction(() => document.querySelector("[data-login=message]")?.textContent === "Incorrect password");
});

test("after login the mixer shows the session and the audio running", { skip }, async () => {
  await submitLogin(stage.password);
  await page.waitForSelector(".login", { state: "hidden" });
  await page.waitForSelector('.strip[data-strip="in1"]');
  await page.waitForSelector('.strip[data-strip="main-lr"]');
  await page.waitForFunction(() => document.querySelector('[data-top="audio"]')?.textContent === "RUNNING");
  await page.waitForFunction(() => document.querySelector('[data-top="connection"]')?.textContent === "online · websocket");
  assert.ok((await peakOf("in1")) > 0.01, "the tone reaches the strip");
});

test("a fader moved to -10 dB sets the strip's level and the native gain in one revision", { skip }, async () => {
  const before = { revision: await store("s.revision"), peak: await steadyPeak("in1") };
  const track = page.locator('.strip[data-strip="in1"] .fader-track');
  const box = await track.boundingBox();
  const thumb = await page.locator('.strip[data-strip="in1"] .fader-thumb').boundingBox();
  // The fader's taper puts 0 dB at 85 % and -10 dB at 65 % of the track.
  const x = thumb.x + thumb.width / 2;
  const y = thumb.y + thumb.height / 2;
  await page.mouse.move(x, y);
  await page.mouse.down();
  await page.mouse.move(x, y + 0.2 * box.height, { steps: 1 });
  await page.mouse.up();
  await waitFor(() => store("s.revision") .then((r) => r === before.revision + 1), "revision + 1");
  assert.equal(await store("s.ui.channels[0].level"), -10);
  assert.equal(await page.locator('.strip[data-strip="in1"] .fader-readout').textContent(), "\u221210.0 dB");
  // The strip's meter is post-fader: 10 dB down is a third of the peak.
  await waitFor(async () => {
    const p = await peakOf("in1");
    return Math.abs(20 * Math.log10(p / before.peak) + 10) < 0.5;
  }, "the meter 10 dB down");
  assert.equal(await store("s.revision"), before.revision + 1, "one request for one drag step");
});

test("mute silences the strip and unmute brings it back", { skip }, async () => {
  const mute = page.locator('.strip[data-strip="in1"] .tog.mute');
  await mute.click();
  await page.waitForFunction(() => document.querySelector('.strip[data-strip="in1"] .tog.mute')?.getAttribute("aria-pressed") === "true");
  await waitFor(async () => (await peakOf("in1")) === 0, "silence after mute");
  assert.equal(await store("s.ui.channels[0].mute"), true);
  await mute.click();
  await waitFor(async () => (await peakOf("in1")) > 0.01, "the tone after unmute");
});

const dbBetween = (a, b) => 20 * Math.log10(a / b);

test("a DCA moves its member's native gain, and the member's own fader still passes the native check", { skip }, async () => {
  const p0 = await steadyPeak("in1");
  const errors = await store("s.errors.length");
  await page.focus('.strip[data-strip="dca1"] .fader');
  await page.keyboard.press("PageDown");
  await waitFor(() => store("s.ui.dcas[0].level === -6"), "the DCA at -6");
  await waitFor(async () => Math.abs(dbBetween(await peakOf("in1"), p0) + 6) < 0.5, "the strip 6 dB down");
  await page.focus('.strip[data-strip="in1"] .fader');
  await page.keyboard.press("Home");
  await waitFor(() => store("s.ui.channels[0].level === 0"), "the strip fader at 0 dB");
  await waitFor(async () => Math.abs(dbBetween(await peakOf("in1"), p0) - 4) < 0.5, "strip +10, DCA -6");
  await page.click('.strip[data-strip="dca1"] .tog.mute');
  await waitFor(async () => (await peakOf("in1")) === 0, "silence under a muted DCA");
  await page.click('.strip[data-strip="dca1"] .tog.mute');
  await page.focus('.strip[data-strip="dca1"] .fader');
  await page.keyboard.press("Home");
  await waitFor(async () => Math.abs(dbBetween(await peakOf("in1"), p0) - 10) < 0.5, "the DCA back at 0 dB");
  assert.equal(await store("s.errors.length"), errors, "no request was refused");
});

test("a send at the bottom of its fader is silent, and raised to 0 dB it carries the strip", { skip }, async () => {
  assert.equal(await peakOf("aux1"), 0, "-80 on the page is native -120: nothing reaches the aux");
  await page.click('.strip[data-strip="in1"] .strip-name');
  await page.waitForSelector('[data-screen="strip"]:not([hidden]) [data-send="aux1"]');
  await page.focus('[data-send="aux1"] [role="slider"][aria-label="Send to Mon 1"]');
  await page.keyboard.press("Home");
  await waitFor(() => store("s.ui.channels[0].sends[0].level === 0"), "the send at 0 dB");
  await waitFor(async () => Math.abs(dbBetween(await peakOf("aux1"), await peakOf("in1"))) < 0.5, "the aux level with the strip");
  await page.keyboard.press("End");
  await waitFor(async () => (await peakOf("aux1")) === 0, "silence again at the bottom");
  assert.equal(await store("s.ui.channels[0].sends[0].level"), -80);
  await page.click('[data-tab="mixer"]');
});

test("fine drags move a quarter as far; a double tap resets to 0 dB, a grab right after a drag does not", { skip }, async () => {
  const track = page.locator('.strip[data-strip="in1"] .fader-track');
  const box = await track.boundingBox();
  const level = () => store("s.ui.channels[0].level");
  const drag = async (dy, shift) => {
    const t = await page.locator('.strip[data-strip="in1"] .fader-thumb').boundingBox();
    const x = t.x + t.width / 2;
    const y = t.y + t.height / 2;
    if (shift) await page.keyboard.down("Shift");
    await page.mouse.move(x, y);
    await page.mouse.down();
    await page.mouse.move(x, y + dy, { steps: 4 });
    await page.mouse.up();
    if (shift) await page.keyboard.up("Shift");
  };
  await page.focus('.strip[data-strip="in1"] .fader');
  await page.keyboard.press("Home");
  await waitFor(async () => (await level()) === 0, "0 dB");
  await drag(0.2 * box.height, true); // a quarter of the way to -10 dB on this taper
  await waitFor(async () => Math.abs((await level()) + 2.5) < 0.25, "fine drag near -2.5 dB");
  await drag(0.1 * box.height, false);
  await waitFor(async () => (await level()) < -5, "a coarse drag");
  // The stage computer holds the drag's last value (sends are coalesced while one is answered).
  const shown = () => page.locator('.strip[data-strip="in1"] .fader').getAttribute("aria-valuenow");
  await waitFor(async () => Number(await shown()) === (await level()), "the drag's last value held");
  const afterDrag = await level();
  const t = await page.locator('.strip[data-strip="in1"] .fader-thumb').boundingBox();
  await page.mouse.click(t.x + t.width / 2, t.y + t.height / 2);
  await page.waitForTimeout(400); // past the double-tap window, so the next two taps pair up
  assert.equal(await level(), afterDrag, "a tap after a drag leaves the level");
  await page.mouse.click(t.x + t.width / 2, t.y + t.height / 2);
  await page.mouse.click(t.x + t.width / 2, t.y + t.height / 2);
  await waitFor(async () => (await level()) === 0, "double tap to 0 dB");
});

test("local-only controls are disabled on the LAN and say why", { skip }, async () => {
  for (const tab of ["audio", "session", "playback", "recording", "lan"]) {
    await page.click(`[data-tab="${tab}"]`);
    const states = await page.$$eval(`[data-screen="${tab}"] [data-local-only]`, (els) => els.map((e) => [e.disabled, e.title]));
    assert.ok(states.length > 0, `${tab} has local-only controls`);
    for (const [disabled, title] of states) {
      assert.equal(disabled, true, `${tab}: a local-only control is disabled`);
      assert.equal(title, "Available on the stage computer only");
    }
    assert.ok(await page.locator(`[data-screen="${tab}"] .local-note`).isVisible(), `${tab} says why`);
  }
  for (const action of ["startAudio", "stopAudio", "applySession", "loadSession", "saveSession", "loadPlayback", "unloadPlayback", "configureRemote"]) {
    assert.equal(await page.locator(`[data-action="${action}"]`).isDisabled(), true, action);
  }
});

test("a refusal is shown in the system's own words", { skip }, async () => {
  await page.click('[data-tab="playback"]');
  await page.click('[data-action="playPlayback"]');
  await page.waitForFunction(() => document.querySelector('[data-refusal="playback"] [data-refusal-text]')?.textContent === "Load WAV files before playback");
});

test("diagnostics show every member of the state", { skip }, async () => {
  await page.click('[data-tab="diagnostics"]');
  const keys = await store("Object.keys(s.status)");
  for (const k of ["audio", "controlJob", "inserts", "meters", "playback", "recording", "remote", "revision", "routing", "scenes", "stripMeters"]) {
    assert.ok(keys.includes(k), `state has ${k}`);
  }
  await page.waitForSelector('[data-path="R.status.audio"]');
  for (const k of keys) {
    assert.ok(await page.locator(`[data-path="R.status.${k}"]`).first().isVisible(), `${k} is visible`);
  }
  assert.ok(await page.locator('[data-path="R.uiState.channels"]').first().isVisible());
});

test("a screenshot of the mixer is not one colour", { skip }, async () => {
  await page.click('[data-tab="mixer"]');
  await page.waitForFunction(() => window.__ruviMeters.stats.canvases > 0);
  await nextFrames(page);
  const png = await saveShot(page, "mixer");
  await page.click('[data-tab="diagnostics"]');
  await saveShot(page, "diagnostics");
  await page.click('[data-tab="mixer"]');
  assert.ok(colourCount(png) > 20, "many colours");
});

test("a token the server does not know sends the page back to login with the server's text", { skip }, async () => {
  await page.evaluate(() => sessionStorage.setItem("ruvi.token", "0".repeat(64)));
  await page.reload();
  await page.waitForSelector(".login:not([hidden])");
  await page.waitForFunction(() => document.querySelector("[data-login=message]")?.textContent === "Login required");
});

test("the sixth login within a minute is refused with the rate-limit text", { skip }, async () => {
  while (logins < 5) {
    await submitLogin("still-wrong");
    await page.waitForFunction(() => document.querySelector("[data-login=message]")?.textContent === "Incorrect password");
    await page.evaluate(() => { document.querySelector("[data-login=message]").textContent = ""; });
  }
  await submitLogin(stage.password);
  await page.waitForFunction(() => document.querySelector("[data-login=message]")?.textContent === "Too many login attempts; wait one minute");
});
