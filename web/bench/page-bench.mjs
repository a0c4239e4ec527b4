// Page figures in Chromium, through the performance API, against the real control core:
//  - first paint and first frame after load;
//  - script time to apply one state message with 128 metering strips (parse and apply);
//  - steady page CPU at 20 states a second;
//  - the size of the LAN state message for 128 strips and 32 scenes (the server's cap is 2 MiB).
//   node web/bench/page-bench.mjs   (needs build/dev/tests/ui/ruvi_ui_harness)
import { launchBrowser, startStage } from "../../tests/ui/support.mjs";

const percentile = (xs, p) => xs.slice().sort((a, b) => a - b)[Math.min(xs.length - 1, Math.floor(p * xs.length))];

async function login(page, stage) {
  await page.goto(stage.url);
  await page.fill("#login-password", stage.password);
  await page.click(".login-form button[type=submit]");
  await page.waitForSelector('.strip[data-strip="in128"], .strip[data-strip="in127"]');
}

const browser = await launchBrowser();
try {
  // Run 1: 128 nodes (127 tone strips and main), audio running.
  const stage = await startStage({ strips: 127, startAudio: true });
  const page = await browser.context.newPage();
  const cdp = await page.context().newCDPSession(page);
  await cdp.send("Performance.enable");
  await login(page, stage);
  const paint = await page.evaluate(() => ({
    fcp: performance.getEntriesByName("first-contentful-paint")[0]?.startTime,
    firstFrame: window.__ruviFirstFrameMs,
    domContentLoaded: performance.getEntriesByType("navigation")[0]?.domContentLoadedEventEnd,
  }));
  await page.reload();
  await page.waitForSelector('.strip[data-strip="in127"]');
  const reloadPaint = await page.evaluate(() => new Promise((resolve) => {
    new PerformanceObserver((list) => {
      const fcp = list.getEntries().find((e) => e.name === "first-contentful-paint");
      if (fcp) resolve(fcp.startTime);
    }).observe({ type: "paint", buffered: true });
  }));
  await page.waitForSelector('.strip[data-strip="in127"]');
  await page.waitForTimeout(2000);
  const metric = async () => Object.fromEntries((await cdp.send("Performance.getMetrics")).metrics.map((m) => [m.name, m.value]));
  const m0 = await metric();
  const t0 = Date.now();
  await page.evaluate(() => window.RuviBridge.stateTimings.splice(0));
  await page.waitForTimeout(10000);
  const m1 = await metric();
  const seconds = (Date.now() - t0) / 1000;
  const timings = await page.evaluate(() => window.RuviBridge.stateTimings.slice());
  const size = await page.evaluate(() => { const s = window.__ruviStore; return JSON.stringify({ type: "state", state: { revision: s.revision, status: s.status, uiState: s.ui } }).length; });
  console.log(`first contentful paint: ${paint.fcp?.toFixed(1)} ms (login page), ${reloadPaint?.toFixed(1)} ms (reload with a token)`);
  console.log(`console built and first frame: ${paint.firstFrame?.toFixed(1)} ms after script start`);
  console.log(`state messages in ${seconds.toFixed(1)} s: ${timings.length} (${(timings.length / seconds).toFixed(1)}/s), ~${(size / 1024).toFixed(0)} KiB each`);
  console.log(`apply one state (128 strips): median ${percentile(timings, 0.5).toFixed(2)} ms, p95 ${percentile(timings, 0.95).toFixed(2)} ms, max ${Math.max(...timings).toFixed(2)} ms`);
  console.log(`page main-thread task time: ${(((m1.TaskDuration - m0.TaskDuration) / seconds) * 100).toFixed(1)} % of one core; script ${(((m1.ScriptDuration - m0.ScriptDuration) / seconds) * 100).toFixed(1)} %`);
  await page.close();
  await stage.stop();

  // Run 2: the same strips with 32 scenes (capture needs stopped audio).
  const quiet = await startStage({ strips: 127, startAudio: false });
  const p2 = await browser.context.newPage();
  await login(p2, quiet);
  const sizes = await p2.evaluate(async () => {
    const s = window.__ruviStore;
    for (let i = 1; i <= 32; i++) {
      const r = await s.structural("captureScene", { sceneId: `scene-${String(i).padStart(2, "0")}`, name: `Scene ${i}` });
      if (!r.ok) return { error: r.error, at: i };
    }
    await new Promise((r) => setTimeout(r, 1000));
    return { bytes: JSON.stringify({ type: "state", state: { revision: s.revision, status: s.status, uiState: s.ui } }).length, scenes: s.ui.scenes.length };
  });
  console.log(sizes.error ? `32 scenes: capture ${sizes.at} refused: ${sizes.error}` : `state with 128 strips and ${sizes.scenes} scenes: ${(sizes.bytes / 1048576).toFixed(2)} MiB (cap 2 MiB)`);
  await p2.close();
  await quiet.stop();
} finally {
  await browser.close();
}
