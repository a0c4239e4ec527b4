// Page figures in Chromium, against the real control core with the audio running:
//  - first paint and first frame after load;
//  - for 32 and 128 metering strips: state messages a second, script time to apply one (parse
//    and apply), the page's main-thread time, the CPU of the page's processes (renderer and GPU,
//    from /proc) and how many meter canvases were drawn;
//  - the size of the LAN state message for 128 strips and 32 scenes (the server's cap is 2 MiB).
//   node web/bench/page-bench.mjs [--seconds N]  (needs build/dev/tests/ui/ruvi_ui_harness)
import { readFileSync, readdirSync } from "node:fs";
import { launchBrowser, startStage } from "../../tests/ui/support.mjs";

const arg = process.argv.indexOf("--seconds");
const SECONDS = arg > 0 ? Number(process.argv[arg + 1]) : 10;
const TICK = 100; // clock ticks a second (USER_HZ on Linux)

const percentile = (xs, p) => xs.slice().sort((a, b) => a - b)[Math.min(xs.length - 1, Math.floor(p * xs.length))];

// The browser's own processes: those under this process whose command line names a profile of
// ours, by type.
function chromiumCpu() {
  const parent = new Map();
  const info = new Map();
  for (const d of readdirSync("/proc")) {
    if (!/^\d+$/.test(d)) continue;
    try {
      const stat = readFileSync(`/proc/${d}/stat`, "utf8");
      const f = stat.slice(stat.lastIndexOf(")") + 2).split(" ");
      parent.set(Number(d), Number(f[1]));
      info.set(Number(d), { ticks: Number(f[11]) + Number(f[12]), cmd: readFileSync(`/proc/${d}/cmdline`, "utf8") });
    } catch {
      // gone meanwhile
    }
  }
  const mine = (pid) => {
    for (let p = pid, i = 0; p > 1 && i < 64; p = parent.get(p) ?? 0, i++) if (p === process.pid) return true;
    return false;
  };
  const out = { renderer: 0, gpu: 0, other: 0 };
  for (const [pid, { ticks, cmd }] of info) {
    if (!cmd.includes("ruvi-chromium-") || !mine(pid)) continue;
    const type = /--type=(\w[\w-]*)/.exec(cmd)?.[1] ?? "browser";
    if (type === "renderer") out.renderer += ticks;
    else if (type === "gpu-process") out.gpu += ticks;
    else out.other += ticks;
  }
  return out;
}

async function login(page, stage, last) {
  await page.goto(stage.url);
  await page.fill("#login-password", stage.password);
  await page.click(".login-form button[type=submit]");
  await page.waitForSelector(`.strip[data-strip="${last}"]`);
}

async function run(browser, nodes, { paint = false } = {}) {
  const strips = nodes - 1; // and the main bus
  const last = `in${strips}`;
  const stage = await startStage({ strips, startAudio: true });
  const page = await browser.context.newPage();
  await page.setViewportSize({ width: 1440, height: 900 });
  const cdp = await page.context().newCDPSession(page);
  await cdp.send("Performance.enable");
  await login(page, stage, last);
  if (paint) {
    const p = await page.evaluate(() => ({
      fcp: performance.getEntriesByName("first-contentful-paint")[0]?.startTime,
      firstFrame: window.__ruviFirstFrameMs,
    }));
    await page.reload();
    await page.waitForSelector(`.strip[data-strip="${last}"]`);
    const reload = await page.evaluate(() => new Promise((resolve) => {
      new PerformanceObserver((list) => {
        const fcp = list.getEntries().find((e) => e.name === "first-contentful-paint");
        if (fcp) resolve(fcp.startTime);
      }).observe({ type: "paint", buffered: true });
    }));
    const frame = await page.evaluate(() => window.__ruviFirstFrameMs);
    console.log(`first contentful paint: ${p.fcp?.toFixed(1)} ms (login page), ${reload?.toFixed(1)} ms (reload with a token, ${nodes} strips)`);
    console.log(`console built and first frame: ${frame?.toFixed(1)} ms after script start (${nodes} strips)`);
  }
  await page.waitForTimeout(2000);
  const metric = async () => Object.fromEntries((await cdp.send("Performance.getMetrics")).metrics.map((m) => [m.name, m.value]));
  const meters = () => page.evaluate(() => ({ ...(window.__ruviMeters?.stats ?? {}) }));
  const m0 = await metric();
  const c0 = chromiumCpu();
  const s0 = await meters();
  const t0 = Date.now();
  await page.evaluate(() => window.RuviBridge.stateTimings.splice(0));
  await page.waitForTimeout(SECONDS * 1000);
  const m1 = await metric();
  const c1 = chromiumCpu();
  const s1 = await meters();
  const seconds = (Date.now() - t0) / 1000;
  const timings = await page.evaluate(() => window.RuviBridge.stateTimings.slice());
  const pct = (a, b) => ((((b - a) / TICK) / seconds) * 100).toFixed(1);
  const running = await page.evaluate(() => window.__ruviStore.status?.audio?.running === true);
  console.log(`--- ${nodes} metering strips (${strips} tone strips and main), audio ${running ? "running" : "NOT running"}, ${seconds.toFixed(1)} s`);
  console.log(`state messages: ${timings.length} (${(timings.length / seconds).toFixed(1)}/s)`);
  console.log(`apply one state: median ${percentile(timings, 0.5).toFixed(2)} ms, p95 ${percentile(timings, 0.95).toFixed(2)} ms, max ${Math.max(...timings).toFixed(2)} ms`);
  console.log(`page main thread: tasks ${(((m1.TaskDuration - m0.TaskDuration) / seconds) * 100).toFixed(1)} % of a core, script ${(((m1.ScriptDuration - m0.ScriptDuration) / seconds) * 100).toFixed(1)} %, layout ${(((m1.LayoutDuration - m0.LayoutDuration) / seconds) * 100).toFixed(1)} %, style ${(((m1.RecalcStyleDuration - m0.RecalcStyleDuration) / seconds) * 100).toFixed(1)} %`);
  console.log(`page processes: renderer ${pct(c0.renderer, c1.renderer)} % of a core, GPU ${pct(c0.gpu, c1.gpu)} %, browser and others ${pct(c0.other, c1.other)} %`);
  if (s1.frames !== undefined) {
    console.log(`meters: ${((s1.frames - s0.frames) / seconds).toFixed(1)} frames/s drawing ${((s1.canvases - s0.canvases) / seconds).toFixed(0)} canvases/s`);
  }
  await page.close();
  await stage.stop();
}

const browser = await launchBrowser();
try {
  await run(browser, 32, { paint: true });
  await run(browser, 128, { paint: true });

  // The same strips with 32 scenes (capture needs stopped audio).
  const quiet = await startStage({ strips: 127, startAudio: false });
  const p2 = await browser.context.newPage();
  await login(p2, quiet, "in127");
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
