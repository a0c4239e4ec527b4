// Recording from a LAN browser: the folder is the one the stage computer keeps in the session,
// the tracks are the armed strips, and the take lands on disk.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { existsSync, mkdtempSync, readdirSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { coreMissing, launchBrowser, startStage } from "./support.mjs";
import { loadSource } from "../../web/test/load.mjs";
import { demoSession } from "../../web/tools/demo-session.mjs";

const skip = await coreMissing();

let stage;
let browser;
let page;
const folder = mkdtempSync(join(tmpdir(), "ruvi-takes-"));

before(async () => {
  if (skip) return;
  const R = await loadSource("rules");
  const session = demoSession(R, 1);
  session.uiState.recorder.directory = folder;
  stage = await startStage({ session });
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
  rmSync(folder, { recursive: true, force: true });
});

const recording = (key) => page.evaluate((k) => window.__ruviStore.status.recording[k], key);

test("an armed strip records a take into the session's folder and stops cleanly", { skip }, async () => {
  await page.click('[data-tab="recording"]');
  await page.click('[data-action="startRecording"]');
  await page.waitForFunction(() => document.querySelector('[data-refusal="recording"] [data-refusal-text]').textContent === "Arm distinct input tracks before recording");
  await page.click('[data-tab="mixer"]');
  await page.click('.strip[data-strip="in1"] .tog.arm');
  await page.waitForFunction(() => window.__ruviStore.ui.channels[0].arm === true);
  await page.click('[data-tab="recording"]');
  assert.equal(await page.locator(".armed").textContent(), "Armed: in1");
  await page.click('[data-action="startRecording"]');
  await page.waitForFunction(() => window.__ruviStore.status.recording.state === "recording", null, { timeout: 10000 });
  await page.waitForFunction(() => window.__ruviStore.status.recording.writtenFrames > 48000, null, { timeout: 10000 });
  assert.equal(await page.locator('[data-top="recording"]').textContent(), "recording");
  await page.click('[data-action="stopRecording"]');
  await page.waitForFunction(() => window.__ruviStore.status.recording.state === "complete", null, { timeout: 15000 });
  const take = await recording("takeDirectory");
  assert.ok(take.startsWith(folder), take);
  assert.ok(existsSync(join(take, "take.json")));
  assert.ok(readdirSync(take).some((f) => f.endsWith(".wav")));
  assert.equal(await recording("captureIssue"), false);
});
