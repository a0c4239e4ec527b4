// Scenes from a LAN browser. Capturing a scene reads every plug-in's state, which needs stopped
// audio, so this stage runs the demo session without starting it.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { coreMissing, launchBrowser, startStage, waitFor } from "./support.mjs";

const skip = await coreMissing();

let stage;
let browser;
let page;

before(async () => {
  if (skip) return;
  stage = await startStage({ startAudio: false });
  browser = await launchBrowser();
  page = await browser.context.newPage();
  await page.goto(stage.url);
  await page.fill("#login-password", stage.password);
  await page.click(".login-form button[type=submit]");
  await page.waitForSelector('.strip[data-strip="in1"]');
});

after(async () => {
  await browser?.close();
  if (stage) assert.equal(await stage.stop(), 0);
});

const store = (expr) => page.evaluate(`(() => { const s = window.__ruviStore; return ${expr}; })()`);

test("a scene captured and recalled brings the fader back, and a renamed scene keeps its state", { skip }, async () => {
  await page.focus('.strip[data-strip="in1"] .fader');
  await page.keyboard.press("PageDown");
  await waitFor(() => store("s.ui.channels[0].level === -6"), "the fader at -6");
  await page.click('[data-tab="scenes"]');
  await page.fill('input[aria-label="Scene name"]', "Verse");
  await page.click('[data-action="captureScene"]');
  await page.waitForSelector('.scene-row[data-scene="scene-01"].current');
  await waitFor(() => store("(s.status.scenes.storedIds ?? []).includes('scene-01')"), "the stored scene");
  await page.click('[data-tab="mixer"]');
  await page.focus('.strip[data-strip="in1"] .fader');
  await page.keyboard.press("PageDown");
  await waitFor(() => store("s.ui.channels[0].level === -12"), "the fader at -12");
  await page.click('[data-tab="scenes"]');
  await page.fill('input[aria-label="Rename scene-01"]', "Chorus");
  await page.click('.scene-row[data-scene="scene-01"] button:has-text("Rename")');
  await waitFor(() => store("s.ui.scenes[0].name === 'Chorus'"), "the new name");
  await page.click('.scene-row[data-scene="scene-01"] [data-action="recallScene"]');
  await waitFor(() => store("s.ui.channels[0].level === -6"), "the recalled level");
  assert.equal(await store("s.ui.currentScene"), "scene-01");
  assert.equal(await page.locator('.strip[data-strip="in1"] .fader-readout').textContent(), "\u22126.0 dB");
});

test("a recall with the levels safe keeps the fader where it is", { skip }, async () => {
  await page.click('[data-tab="mixer"]');
  await page.focus('.strip[data-strip="in1"] .fader');
  await page.keyboard.press("Home");
  await waitFor(() => store("s.ui.channels[0].level === 0"), "the fader at 0 dB");
  await page.click('[data-tab="scenes"]');
  await page.check('input[aria-label="Safe levels"]');
  await page.click('.scene-row[data-scene="scene-01"] [data-action="recallScene"]');
  await waitFor(() => store("s.ui.safe && s.ui.safe.levels === true"), "the safes kept with the recall");
  assert.equal(await store("s.ui.channels[0].level"), 0);
});
