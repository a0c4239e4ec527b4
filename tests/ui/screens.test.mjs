// The page's screens from a LAN browser at the sizes used on stage (1280×800, 1024×768, and a
// tablet upright at 768×1024 with touch): every screen reachable, a top bar of one row, a
// refusal shown with the screen that caused it until a success there or its time is up, scenes
// that say why they are locked while audio runs, and status read as a person reads it.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { STAGE_SIZES, coreMissing, lanToken, launchSizedBrowser, saveShot, startStage, withToken } from "./support.mjs";

const skip = await coreMissing();

let stage;
let browser;
let token;

before(async () => {
  if (skip) return;
  stage = await startStage({ strips: 12 });
  browser = await launchSizedBrowser();
  token = await lanToken(stage.url, stage.password);
});

after(async () => {
  await browser?.close();
  if (stage) assert.equal(await stage.stop(), 0);
});

async function openConsole(size) {
  const page = await browser.newPage(size);
  page.on("pageerror", (e) => console.error("page error:", e.message));
  await withToken(page, token);
  await page.goto(stage.url);
  await page.waitForSelector('.strip[data-strip="in1"]');
  await page.waitForFunction(() => document.documentElement.dataset.online === "1");
  const press = (selector) => (size.touch ? page.tap(selector) : page.click(selector));
  return { page, press };
}

// Whether an element lies wholly inside the window and is the thing a tap at its centre hits.
const inView = (page, selector) => page.evaluate((sel) => {
  const el = document.querySelector(sel);
  const r = el.getBoundingClientRect();
  if (r.width === 0 || r.left < 0 || r.top < 0 || r.right > innerWidth || r.bottom > innerHeight) return false;
  const hit = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
  return hit === el || el.contains(hit);
}, selector);

for (const size of STAGE_SIZES) {
  test(`${size.name}: every screen is reachable and the top bar is one row`, { skip }, async () => {
    const { page, press } = await openConsole(size);
    try {
      const bar = await page.evaluate(() => {
        const top = document.querySelector(".topbar").getBoundingClientRect();
        const cells = ["audio", "xruns", "recording", "connection"].map((k) => {
          const r = document.querySelector(`[data-top="${k}"]`).getBoundingClientRect();
          return r.width > 0 && r.right <= innerWidth && r.bottom <= top.bottom;
        });
        return { height: top.height, cells };
      });
      assert.ok(bar.height <= 64, `top bar ${bar.height} px high`);
      assert.deepEqual(bar.cells, [true, true, true, true], "audio, xruns, recording and link stay in view");

      const tabs = await page.$$eval("[data-tab]", (els) => els.map((e) => e.dataset.tab));
      assert.equal(tabs.length, 9);
      for (const id of tabs) {
        // Off the row's edge, the visible arrow brings it in.
        for (let i = 0; i < 10 && !(await inView(page, `[data-tab="${id}"]`)); i++) {
          const next = page.locator('[data-arrow="next"]:not([hidden]):not(:disabled)');
          const prev = page.locator('[data-arrow="prev"]:not([hidden]):not(:disabled)');
          const right = await page.evaluate((t) => document.querySelector(`[data-tab="${t}"]`).getBoundingClientRect().left > innerWidth / 2, id);
          const arrow = right ? next : prev;
          assert.equal(await arrow.count(), 1, `${id} is out of view and an arrow shows the way`);
          await (size.touch ? arrow.tap() : arrow.click());
        }
        assert.ok(await inView(page, `[data-tab="${id}"]`), `${id} tab reachable`);
        await press(`[data-tab="${id}"]`);
        await page.waitForSelector(`[data-screen="${id}"]:not([hidden])`);
      }
      await press('[data-tab="mixer"]');
      const more = page.locator('[data-action="topbarMore"]');
      if (await more.isVisible()) {
        await (size.touch ? more.tap() : more.click());
        assert.ok(await page.locator('[data-top="latency"]').isVisible(), "the folded figures open from More");
      } else {
        assert.ok(await page.locator('[data-top="latency"]').isVisible());
      }
      await saveShot(page, `topbar-tabs-${size.name}`);
    } finally {
      await page.close();
    }
  });
}

for (const size of STAGE_SIZES) {
  test(`${size.name}: a refusal shows with its screen and clears on the next success there`, { skip }, async () => {
    const { page, press } = await openConsole(size);
    try {
      await press('[data-tab="playback"]');
      await press('[data-action="playPlayback"]');
      const notice = '[data-refusal="playback"]';
      await page.waitForSelector(`${notice}:not([hidden])`);
      assert.equal(await page.locator(`${notice} [data-refusal-text]`).textContent(), "Load WAV files before playback");
      assert.equal(await page.locator('[data-action="playPlayback"][data-refused]').count(), 1, "the control that was refused is marked");
      await saveShot(page, `refusal-${size.name}`);
      await press('[data-tab="mixer"]');
      assert.equal(await page.locator('[data-refusal="mixer"]').isVisible(), false, "another screen does not carry it");
      await press('[data-tab="playback"]');
      assert.ok(await page.locator(notice).isVisible());
      await press('[data-action="stopPlayback"]');
      await page.waitForSelector(`${notice}[hidden]`, { state: "attached" });
      assert.equal(await page.locator("[data-refused]").count(), 0);
      await press('[data-tab="diagnostics"]');
      await page.waitForFunction(() => [...document.querySelectorAll("[data-refusal-entry]")].some((e) => e.textContent.includes("Load WAV files before playback")));
    } finally {
      await page.close();
    }
  });
}

test("a refusal nothing clears goes after about 8 s, and a LAN take without a folder says where to set it", { skip }, async () => {
  const { page } = await openConsole(STAGE_SIZES[0]);
  try {
    await page.evaluate(() => window.__ruviStore.call("uiPatch", { uiPatch: { entityId: "in1", key: "arm", value: true } }));
    await page.waitForFunction(() => window.__ruviStore.ui.channels[0].arm === true);
    await page.click('[data-tab="recording"]');
    await page.click('[data-action="startRecording"]');
    const notice = '[data-refusal="recording"]';
    await page.waitForSelector(`${notice}:not([hidden])`);
    assert.equal(await page.locator(`${notice} [data-refusal-text]`).textContent(), "Invalid local file path");
    assert.equal(await page.locator(`${notice} .refusal-hint`).textContent(), "Set the recording folder on the stage computer (Recording screen in the program's window).");
    await saveShot(page, "refusal-recording-folder-1280x800");
    const shownAt = Date.now();
    await page.waitForSelector(`${notice}[hidden]`, { state: "attached", timeout: 20000 });
    const held = Date.now() - shownAt;
    assert.ok(held > 6000, `held ${held} ms`);
  } finally {
    await page.evaluate(() => window.__ruviStore.call("uiPatch", { uiPatch: { entityId: "in1", key: "arm", value: false } }));
    await page.close();
  }
});

for (const size of STAGE_SIZES) {
  test(`${size.name}: scenes are locked with the reason beside them while audio runs`, { skip }, async () => {
    const { page, press } = await openConsole(size);
    try {
      await press('[data-tab="scenes"]');
      await page.waitForFunction(() => document.querySelector('[data-action="captureScene"]').disabled);
      const reason = await page.locator('[data-lock="scenes"]').textContent();
      assert.equal(reason, "Scenes need stopped audio and recording: the stage computer must stop audio first.");
      assert.ok(await inView(page, '[data-lock="scenes"]'), "the reason is in view");
      assert.equal(await page.locator('[data-action="captureScene"]').getAttribute("title"), reason);
      await saveShot(page, `scenes-locked-${size.name}`);
    } finally {
      await page.close();
    }
  });
}

test("audio, playback, recording and LAN read with labels and units, raw members only in Diagnostics", { skip }, async () => {
  const { page } = await openConsole(STAGE_SIZES[0]);
  try {
    const row = (screen, label) => page.locator(`[data-screen="${screen}"] tr:has(th:text-is("${label}")) td`).first().textContent();
    await page.click('[data-tab="audio"]');
    await page.waitForFunction(() => document.querySelector('[data-screen="audio"] [data-field="sampleRate"]').textContent !== "—");
    assert.equal(await row("audio", "Sample rate"), "48 kHz");
    assert.equal(await row("audio", "Block"), "128 frames");
    assert.match(await row("audio", "Callbacks"), /^\d+$/);
    assert.match(await row("audio", "Latency"), /^\d+\.\d ms$/);
    await saveShot(page, "audio-1280x800");
    for (const [screen, labels] of [["audio", ["Callbacks", "Xruns", "Longest callback"]], ["playback", ["State", "Length", "Audio in memory"]],
      ["recording", ["State", "Frames written", "Missing frames"]], ["lan", ["LAN control on", "Clients connected now", "Logins still valid"]]]) {
      await page.click(`[data-tab="${screen}"]`);
      const text = await page.locator(`[data-screen="${screen}"]`).innerText();
      for (const l of labels) assert.ok(text.includes(l), `${screen} shows ${l}`);
      assert.doesNotMatch(text, /[{}]|\b(sampleRate|writtenFrames|renderDeadlineOverruns|webSocketClients|captureHealth)\b/, `${screen} has no raw members or JSON`);
    }
    await page.waitForFunction(() => document.querySelector('[data-screen="lan"] [data-field="webSocketClients"]').textContent === "1");
    await page.click('[data-tab="mixer"]');
    assert.match(await page.locator('[data-top="lan"]').textContent(), /^\d+ connected$/);
  } finally {
    await page.close();
  }
});
