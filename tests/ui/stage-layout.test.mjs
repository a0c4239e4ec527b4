// The console on a laptop and on tablets, in Debian's Chromium against the real control core on
// 127.0.0.1: twelve tone strips, a monitor aux fed from the first, a compressor plug-in on the
// second and no cue bus. At each size the main bus stays in view, a whole strip fits without
// scrolling the page, touch targets are at least 40 px and solo says why it cannot be used; the
// strip detail runs in signal order with log frequency controls, typed values and sends.
import { after, before, describe, test } from "node:test";
import assert from "node:assert/strict";
import { coreMissing, launchDevice, nextFrames, saveShot, startStage, waitFor } from "./support.mjs";
import { loadSource } from "../../web/test/load.mjs";
import { demoSession } from "../../web/tools/demo-session.mjs";

const skip = await coreMissing();
const M = "\u2212";
const PLUGIN = "/usr/lib/vst3/ZamCompX2.vst3";

async function session() {
  const R = await loadSource("rules");
  const ui = demoSession(R, 12).uiState;
  ui.aux = [R.newBus("aux1", "Mon 1", 2)];
  ui.aux[0].lr = false;
  ui.channels[0].sends = [{ busId: "aux1", level: -80, pre: false }];
  ui.channels[1].inserts = [{ id: "in2-fx1", name: "ZamCompX2", modulePath: PLUGIN, enabled: true, bypass: false, parameters: {} }];
  return { native: R.nativeFromUi(ui), uiState: ui };
}

let stage;
before(async () => {
  if (!skip) stage = await startStage({ session: await session() });
});
after(async () => {
  if (stage) assert.equal(await stage.stop(), 0, "the stage stops cleanly");
});

async function open(device) {
  const page = await device.context.newPage();
  page.on("pageerror", (e) => console.error("page error:", e.message));
  await page.goto(stage.url);
  await page.fill("#login-password", stage.password);
  await page.click(".login-form button[type=submit]");
  await page.waitForSelector('.strip[data-strip="in12"]');
  await page.waitForFunction(() => window.__ruviStore.status?.audio?.running === true);
  return page;
}

const store = (page, expr) => page.evaluate(`(() => { const s = window.__ruviStore; return ${expr}; })()`);

const inside = (b, vw, vh) => b && b.x >= -0.5 && b.y >= -0.5 && b.x + b.width <= vw + 0.5 && b.y + b.height <= vh + 0.5;

const SIZES = [
  { width: 1280, height: 800, touch: false },
  { width: 1024, height: 768, touch: false },
  { width: 768, height: 1024, touch: true },
];

const STRIP_PARTS = [
  [".strip-name", "name"], [".tog.mute", "mute"], [".tog.solo", "solo"], [".meter-unit", "meter"], [".fader", "fader"],
  [".fader-readout", "readout"], [".pan", "pan"], [".tog.pol", "polarity"], [".tog.arm", "arm"],
];

for (const size of SIZES) {
  const name = `${size.width}x${size.height}${size.touch ? " touch" : ""}`;
  test(`at ${name} the main bus is pinned in view, a whole strip fits, targets are 40 px and solo says there is no cue bus`, { skip }, async () => {
    const device = await launchDevice(size);
    try {
      const page = await open(device);
      await nextFrames(page);
      const { width: vw, height: vh } = size;
      const main = () => page.locator('.strip[data-strip="main-lr"]').boundingBox();
      assert.ok(inside(await main(), vw, vh), "the main bus is in view");
      assert.ok((await main()).x + (await main()).width > vw - 40, "at the right edge");

      // The inputs scroll sideways under the pinned main bus, the page itself never does.
      const scroll = page.locator(".mix-scroll");
      const geometry = await scroll.evaluate((el) => ({ sw: el.scrollWidth, cw: el.clientWidth }));
      if (size.width < 1400) assert.ok(geometry.sw > geometry.cw, "12 strips are wider than the view");
      await scroll.evaluate((el) => { el.scrollLeft = el.scrollWidth; });
      await nextFrames(page);
      assert.ok(inside(await main(), vw, vh), "the main bus stays after scrolling to the end");
      const last = await page.locator('.strip[data-strip="in12"]').boundingBox();
      assert.ok(last.x + last.width <= (await main()).x + 1, "the last strip ends left of the main bus, not under it");
      await scroll.evaluate((el) => { el.scrollLeft = 0; });
      const pageScroll = await page.evaluate(() => {
        const s = document.querySelector(".screens");
        return { x: document.scrollingElement.scrollWidth - innerWidth, y: s.scrollHeight - s.clientHeight };
      });
      assert.deepEqual(pageScroll, { x: 0, y: 0 }, "the page needs no scrolling");

      for (const [sel, part] of STRIP_PARTS) {
        const b = await page.locator(`.strip[data-strip="in1"] ${sel}`).boundingBox();
        assert.ok(inside(b, vw, vh), `${part} in view (${JSON.stringify(b)})`);
      }
      const small = await page.$$eval('.strip button, .strip [role="slider"], .strip input, .meter-unit', (els) => els
        .map((e) => ({ what: e.className || e.tagName, ...e.getBoundingClientRect().toJSON() }))
        .filter((r) => r.width < 40 || r.height < 40));
      assert.deepEqual(small, [], "every target is at least 40 px each way");

      const solo = await page.$$eval(".strip .tog.solo", (els) => els.map((e) => ({
        disabled: e.disabled, title: e.title, text: e.textContent, clipped: e.scrollWidth > e.clientWidth,
      })));
      assert.equal(solo.length, 13, "every strip but the main bus has a solo button (12 inputs, one aux)");
      for (const s of solo) {
        assert.deepEqual(s, { disabled: true, title: "Solo needs a cue bus; this session has none", text: "SOLOno cue bus", clipped: false });
      }
      assert.equal(await page.locator('.strip[data-strip="main-lr"] .tog.solo').count(), 0, "the main bus has no solo");
      await saveShot(page, `mixer-${size.width}x${size.height}`);
    } finally {
      await device.close();
    }
  });
}

describe("on a touch tablet at 768x1024", { skip }, () => {
  let device;
  let page;
  before(async () => {
    device = await launchDevice({ width: 768, height: 1024, touch: true });
    page = await open(device);
  });
  after(async () => device?.close());

  test("faders and meters carry their dB scales as text, and a clip mark holds until the meter is tapped", async () => {
    const marks = (sel) => page.$$eval(`.strip[data-strip="in1"] ${sel} .mark`, (els) => els.map((e) => e.textContent));
    assert.deepEqual(await marks(".fader-scale"), ["10", "5", "0", `${M}5`, `${M}10`, `${M}20`, `${M}30`, `${M}40`, `${M}60`, `${M}∞`]);
    assert.deepEqual(await marks(".meter-scale"), ["0", `${M}6`, `${M}12`, `${M}20`, `${M}30`, `${M}40`, `${M}60`]);
    assert.equal(await page.locator('.strip[data-strip="in1"] .fader-readout').textContent(), "0.0 dB");
    // The meter reads 0 dBFS at its top mark and -60 at its bottom one, like the scale beside it.
    const scale = await page.locator('.strip[data-strip="in1"] .meter-scale').boundingBox();
    const canvas = await page.locator('.strip[data-strip="in1"] canvas.meter').boundingBox();
    assert.ok(Math.abs(scale.y - canvas.y) < 1 && Math.abs(scale.height - canvas.height) < 1, "scale and meter share their height");

    // 24 dB of trim and 10 of fader push the tone past full scale; brought back, the mark stays.
    const clip = page.locator('.strip[data-strip="in1"] .clip-mark');
    assert.equal(await clip.evaluate((e) => e.classList.contains("on")), false);
    const in1 = () => store(page, "s.ui.channels[0]");
    const R = await loadSource("rules");
    const send = (rpc) => page.evaluate((r) => window.__ruviStore.send(r).then((x) => x.ok), rpc);
    assert.ok(await send(R.scalarRequest(await in1(), "trimDb", 24)));
    assert.ok(await send(R.faderRequest(await store(page, "s.ui"), await in1(), 10)));
    await page.waitForFunction(() => document.querySelector('.strip[data-strip="in1"] .clip-mark').classList.contains("on"));
    assert.ok(await send(R.scalarRequest(await in1(), "trimDb", 0)));
    assert.ok(await send(R.faderRequest(await store(page, "s.ui"), await in1(), 0)));
    await page.waitForFunction(() => {
      const m = window.__ruviStore.status.meters.find((x) => x.nodeId === "in1");
      return Math.max(m.peakL, m.peakR) < 0.5;
    });
    assert.equal(await clip.evaluate((e) => e.classList.contains("on")), true, "the clip mark holds");
    await page.locator('.strip[data-strip="in1"] .meter-unit').tap();
    assert.equal(await clip.evaluate((e) => e.classList.contains("on")), false, "a tap clears it");
  });

  test("meters on a screen out of view are not drawn, and draw again when it comes back", async () => {
    const stats = () => page.evaluate(() => ({ ...window.__ruviMeters.stats }));
    await page.click('[data-tab="diagnostics"]');
    // The page learns that the mixer left the view from its visibility observer, a frame or more
    // later; counting starts once every meter knows.
    await page.waitForFunction(() => [...window.__ruviMeters.meters.values()].every((m) => !m.visible));
    const s0 = await stats();
    await page.waitForFunction((n) => window.__ruviMeters.stats.feeds > n + 10, s0.feeds);
    const s1 = await stats();
    assert.equal(s1.canvases, s0.canvases, "no canvas drawn while the mixer is hidden");
    await page.click('[data-tab="mixer"]');
    await page.waitForFunction((n) => window.__ruviMeters.stats.canvases > n, s1.canvases);
  });

  test("the strip detail runs in signal order, an 80 Hz band sits at a fifth of its travel, and typed values reach the program", async () => {
    await page.locator('.strip[data-strip="in1"] .strip-name').tap();
    await page.waitForSelector('[data-screen="strip"]:not([hidden]) [data-section="eq"]');
    const sections = await page.$$eval('[data-screen="strip"] [data-section]', (els) => els.map((e) => [e.dataset.section, e.querySelector(".section-head input[type=checkbox]")?.getAttribute("aria-label") ?? null]));
    assert.deepEqual(sections, [["input", null], ["hpf", "HPF"], ["eq", "EQ"], ["gate", "Gate"], ["compressor", "Comp"]]);
    const bands = await page.$$eval(".eq-band", (els) => els.map((e) => e.getBoundingClientRect().toJSON()));
    assert.equal(bands.length, 4);
    assert.ok(bands.every((b) => Math.abs(b.y - bands[0].y) < 1), "the four bands side by side");
    for (const s of ["gate", "comp"]) assert.match(await page.locator(`[data-reduction="${s}"]`).textContent(), /^GR (0\.0|\u2212\d+\.\d) dB$/);

    const travel = async (label) => {
      const track = await page.locator(`[role="slider"][aria-label="${label}"] .param-track`).boundingBox();
      const thumb = await page.locator(`[role="slider"][aria-label="${label}"] .param-thumb`).boundingBox();
      return (thumb.x + thumb.width / 2 - track.x) / track.width;
    };
    const pos80 = await travel("Band 1 frequency");
    assert.ok(Math.abs(pos80 - 0.2) < 0.02, `80 Hz at ${(pos80 * 100).toFixed(1)} % of the travel`);
    assert.ok(Math.abs((await travel("Band 2 frequency")) - Math.log(17.5) / Math.log(1000)) < 0.02, "350 Hz on the same log scale");

    const errors = await store(page, "s.errors.length");
    const entry = (label) => page.locator(`input[aria-label="${label} value"]`);
    // [field, typed text, where it lands in the strip, the value, what the field then shows]
    const cases = [
      ["Band 2 frequency", "1.2 kHz", "stripProcessing.eq.bands[1].frequencyHz", 1200, "1.2 kHz"],
      ["Band 3 gain", `${M}4.5 dB`, "stripProcessing.eq.bands[2].gainDb", -4.5, `${M}4.5 dB`],
      ["Frequency", "120", "stripProcessing.hpf.frequencyHz", 120, "120 Hz"],
      ["Ratio", "4:1", "stripProcessing.compressor.ratio", 4, "4:1"],
      ["Trim", "-6 dB", "trim", -6, `${M}6.0 dB`],
    ];
    for (const [label, text, path, value, shown] of cases) {
      const before = await store(page, "s.revision");
      await entry(label).fill(text);
      await entry(label).press("Enter");
      await waitFor(async () => (await store(page, `s.ui.channels[0].${path}`)) === value, `${label} at ${value}`);
      // The page shows its own edit at once; the program's answer moves the revision after it.
      await waitFor(async () => (await store(page, "s.revision")) > before, `${label} answered`);
      assert.equal(await entry(label).inputValue(), shown);
    }
    const revision = await store(page, "s.revision");
    await entry("Band 1 gain").fill("loud");
    await entry("Band 1 gain").press("Enter");
    assert.equal(await entry("Band 1 gain").getAttribute("class"), "entry invalid", "a value that is not dB is marked");
    assert.equal(await store(page, "s.revision"), revision, "and sends nothing");

    // Arrow steps, Shift for fine ones; a double tap goes back to the default.
    const gain = page.locator('[role="slider"][aria-label="Band 1 gain"]');
    await gain.focus();
    await page.keyboard.press("ArrowRight");
    await waitFor(async () => (await store(page, "s.ui.channels[0].stripProcessing.eq.bands[0].gainDb")) === 0.5, "a step of 0.5 dB");
    await page.keyboard.press("Shift+ArrowRight");
    await waitFor(async () => (await store(page, "s.ui.channels[0].stripProcessing.eq.bands[0].gainDb")) === 0.6, "a fine step of 0.1 dB");
    const box = await page.locator('[role="slider"][aria-label="Band 2 frequency"] .param-track').boundingBox();
    await page.touchscreen.tap(box.x + box.width / 2, box.y + box.height / 2);
    await page.touchscreen.tap(box.x + box.width / 2, box.y + box.height / 2);
    await waitFor(async () => (await store(page, "s.ui.channels[0].stripProcessing.eq.bands[1].frequencyHz")) === 350, "a double tap back to 350 Hz");
    assert.equal(await store(page, "s.errors.length"), errors, "no request was refused");
    await saveShot(page, "strip-detail-768x1024");
  });

  test("sends show each bus by name and move through setSendLevel; the aux carries the strip", async () => {
    const card = page.locator('[data-send="aux1"]');
    assert.equal(await card.locator(".send-name").textContent(), "Mon 1");
    assert.equal(await card.locator(".chip").textContent(), "Post-fader");
    assert.equal(await card.locator(".send-on").textContent(), "OFF");
    assert.deepEqual(await card.locator(".fader-scale .mark").allTextContents(), ["10", "5", "0", `${M}5`, `${M}10`, `${M}20`, `${M}30`, `${M}40`, `${M}60`, `${M}∞`]);
    const peak = (id) => store(page, `Math.max(...s.status.meters.filter((m) => m.nodeId === "${id}").map((m) => Math.max(m.peakL, m.peakR)))`);
    assert.equal(await peak("aux1"), 0);
    await page.locator('input[aria-label="Send to Mon 1 value"]').fill(`${M}6`);
    await page.locator('input[aria-label="Send to Mon 1 value"]').press("Enter");
    await waitFor(() => store(page, "s.ui.channels[0].sends[0].level === -6"), "the send at -6 dB");
    await waitFor(async () => Math.abs(20 * Math.log10((await peak("aux1")) / (await peak("in1"))) + 6) < 0.5, "the aux 6 dB under the strip");
    assert.ok((await store(page, "s.traffic.map((t) => t.request.method)")).includes("setSendLevel"), "the move went through setSendLevel");
    assert.equal(await card.locator(".send-on").textContent(), "ON");
    await card.locator(".send-on").tap();
    await waitFor(() => store(page, "s.ui.channels[0].sends[0].level === -80"), "switched off");
    await waitFor(async () => (await peak("aux1")) === 0, "silence on the aux");
    await card.locator(".send-on").tap();
    await waitFor(() => store(page, "s.ui.channels[0].sends[0].level === -6"), "on again at the level it had");
    await saveShot(page, "strip-sends-768x1024");
  });

  test("a strip without sends has no sends heading; its insert lists named parameters, bypasses, and offers no editor on the LAN", async () => {
    await page.selectOption('select[aria-label="Strip"]', "in2");
    await page.waitForSelector('[data-insert="in2-fx1"]');
    assert.deepEqual(await page.$$eval('[data-screen="strip"] h3', (els) => els.map((e) => e.textContent)), ["Inserts"]);
    assert.equal(await page.locator('[data-insert="in2-fx1"] .insert-name').textContent(), "ZamCompX2");
    assert.equal(await page.locator('[data-screen="strip"] [data-action="showVstEditor"]').count(), 0, "no editor button on the LAN");
    await page.locator('[data-insert="in2-fx1"] [data-action="getVstParameters"]').tap();
    await page.waitForSelector('[data-insert="in2-fx1"] .vst-param');
    const reply = await store(page, `s.call("getVstParameters", { nodeId: "in2", slotId: "in2-fx1" })`);
    const params = reply.result.parameters;
    const names = await page.$$eval('[data-insert="in2-fx1"] .vst-param .param-label', (els) => els.map((e) => e.textContent));
    assert.deepEqual(names, params.slice(0, 256).map((p) => (p.unit.trim() ? `${p.name} (${p.unit.trim()})` : p.name)));
    assert.ok(params.some((p) => p.unit), "the plug-in gives units for some");
    const first = params.findIndex((p) => !p.readOnly && !p.stepCount);
    const entry = page.locator(`[data-insert="in2-fx1"] input[aria-label="${params[first].name} value"]`);
    await entry.fill("25 %");
    await entry.press("Enter");
    await waitFor(() => store(page, `s.ui.channels[1].inserts[0].parameters["${params[first].id}"] === 0.25`), "the parameter at a quarter");
    await page.locator('input[aria-label="Bypass in2-fx1"]').tap();
    await waitFor(() => store(page, "s.ui.channels[1].inserts[0].bypass === true"), "the insert bypassed");
    await saveShot(page, "strip-inserts-768x1024");
  });
});
