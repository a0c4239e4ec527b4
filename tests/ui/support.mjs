// Shared pieces of the page's browser runs: a headless stage computer on loopback, Debian's
// Chromium driven by playwright-core, and a PNG reader for looking at screenshots.
import { spawn } from "node:child_process";
import { randomBytes } from "node:crypto";
import { existsSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";
import { inflateSync } from "node:zlib";
import { chromium } from "playwright-core";
import { loadSource } from "../../web/test/load.mjs";

export const root = join(dirname(fileURLToPath(import.meta.url)), "..", "..");

export function harnessPath() {
  const candidates = [process.env.RUVI_UI_HARNESS, join(root, "build", "dev", "tests", "ui", "ruvi_ui_harness")].filter(Boolean);
  const found = candidates.find((p) => existsSync(p));
  if (!found) throw new Error(`ruvi_ui_harness not built (looked in ${candidates.join(", ")})`);
  return found;
}

/** A session file for the stage in a folder of its own, and a fresh password. */
async function stageSession({ strips, session }) {
  const R = await loadSource("rules");
  const { demoSession } = await import("../../web/tools/demo-session.mjs");
  const dir = mkdtempSync(join(tmpdir(), "ruvi-stage-"));
  const sessionFile = join(dir, "session.json");
  writeFileSync(sessionFile, JSON.stringify(session ?? demoSession(R, strips)));
  return { dir, sessionFile, password: randomBytes(9).toString("hex") };
}

function stageArgs({ password, sessionFile, startAudio }) {
  return ["--ui", join(root, "ui"), "--password", password, "--session", sessionFile, "--start-audio", startAudio ? "1" : "0"];
}

/** Starts the harness; resolves with its process and port once it says it listens. */
async function spawnStage(args) {
  const child = spawn(harnessPath(), args, { stdio: ["ignore", "pipe", "pipe"] });
  let stderr = "";
  child.stderr.on("data", (d) => (stderr += d));
  const port = await new Promise((resolve, reject) => {
    let out = "";
    // A ceiling for a harness that never starts; a busy machine only starts it later.
    const timer = setTimeout(() => reject(new Error(`stage did not start: ${stderr}`)), 60000);
    child.stdout.on("data", (d) => {
      out += d;
      const m = /ready (\d+)/.exec(out);
      if (m) {
        clearTimeout(timer);
        resolve(Number(m[1]));
      }
    });
    child.once("exit", (code) => {
      clearTimeout(timer);
      reject(new Error(`stage exited ${code}: ${stderr}`));
    });
  });
  return { child, port };
}

/** Starts the control core and LAN server with a session; resolves once it listens. */
export async function startStage({ strips = 1, startAudio = true, session } = {}) {
  const { dir, sessionFile, password } = await stageSession({ strips, session });
  const { child, port } = await spawnStage(stageArgs({ password, sessionFile, startAudio }));
  return {
    port,
    password,
    url: `http://127.0.0.1:${port}/`,
    async stop() {
      const done = new Promise((r) => child.once("exit", r));
      child.kill("SIGTERM");
      const code = await done;
      rmSync(dir, { recursive: true, force: true });
      return code;
    },
  };
}

/** Debian's Chromium with a fresh profile, no outside traffic. */
export async function launchBrowser() {
  const profile = mkdtempSync(join(tmpdir(), "ruvi-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    viewport: { width: 1440, height: 900 },
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
      "--disable-component-update", "--disable-sync"],
  });
  return {
    context,
    async close() {
      await context.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

/** Decodes an 8-bit RGB or RGBA PNG into {width, height, channels, pixels}. */
export function decodePng(buf) {
  let pos = 8;
  let width = 0, height = 0, colorType = 0;
  const idat = [];
  while (pos < buf.length) {
    const len = buf.readUInt32BE(pos);
    const type = buf.toString("ascii", pos + 4, pos + 8);
    const data = buf.subarray(pos + 8, pos + 8 + len);
    if (type === "IHDR") {
      width = data.readUInt32BE(0);
      height = data.readUInt32BE(4);
      if (data[8] !== 8) throw new Error("only 8-bit PNGs");
      colorType = data[9];
    } else if (type === "IDAT") idat.push(data);
    else if (type === "IEND") break;
    pos += 12 + len;
  }
  const channels = colorType === 6 ? 4 : colorType === 2 ? 3 : 0;
  if (!channels) throw new Error(`PNG colour type ${colorType}`);
  const raw = inflateSync(Buffer.concat(idat));
  const stride = width * channels;
  const pixels = Buffer.alloc(stride * height);
  for (let y = 0; y < height; y++) {
    const f = raw[y * (stride + 1)];
    const line = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    for (let x = 0; x < stride; x++) {
      const a = x >= channels ? pixels[y * stride + x - channels] : 0;
      const b = y > 0 ? pixels[(y - 1) * stride + x] : 0;
      const c = x >= channels && y > 0 ? pixels[(y - 1) * stride + x - channels] : 0;
      let v = line[x];
      if (f === 1) v += a;
      else if (f === 2) v += b;
      else if (f === 3) v += (a + b) >> 1;
      else if (f === 4) {
        const p = a + b - c;
        const pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
        v += pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      }
      pixels[y * stride + x] = v & 0xff;
    }
  }
  return { width, height, channels, pixels };
}

/** Distinct colours in a screenshot, counted on a coarse grid. */
export function colourCount(png) {
  const seen = new Set();
  const { width, height, channels, pixels } = decodePng(png);
  for (let y = 0; y < height; y += 4) {
    for (let x = 0; x < width; x += 4) {
      const i = (y * width + x) * channels;
      seen.add((pixels[i] << 16) | (pixels[i + 1] << 8) | pixels[i + 2]);
    }
  }
  return seen.size;
}

/**
 * Whether the control core answers what the page needs (while its methods are still being
 * written, the harness refuses the session with "Native method not implemented"); a string
 * with the reason when it does not, for node:test's skip option.
 */
export async function coreMissing() {
  try {
    const stage = await startStage();
    await stage.stop();
    return false;
  } catch (e) {
    const m = /Native method not implemented: \w+/.exec(String(e.message));
    if (m) return `the control core lacks it yet (${m[0]})`;
    throw e;
  }
}

/**
 * A stage computer the test can freeze (SIGSTOP: the sockets stay open and nothing answers),
 * thaw, kill, and start again on the same port with the same password, as a program restarted
 * on the stage computer comes back.
 */
export async function startRestartableStage({ strips = 1, startAudio = true, session } = {}) {
  const { dir, sessionFile, password } = await stageSession({ strips, session });
  let child = null;
  let port = 0;
  const launch = async () => {
    const args = stageArgs({ password, sessionFile, startAudio });
    if (port) args.push("--port", String(port));
    ({ child, port } = await spawnStage(args));
  };
  const exited = (c) => (c.exitCode !== null || c.signalCode !== null ? Promise.resolve(c.exitCode) : new Promise((r) => c.once("exit", (code) => r(code))));
  await launch();
  return {
    password,
    get port() {
      return port;
    },
    get url() {
      return `http://127.0.0.1:${port}/`;
    },
    freeze: () => child.kill("SIGSTOP"),
    thaw: () => child.kill("SIGCONT"),
    async kill() {
      const done = exited(child);
      child.kill("SIGKILL");
      await done;
    },
    restart: launch,
    async stop() {
      let code = null;
      if (child.exitCode === null && child.signalCode === null) {
        const done = exited(child);
        child.kill("SIGCONT");
        child.kill("SIGTERM");
        code = await done;
      }
      rmSync(dir, { recursive: true, force: true });
      return code;
    },
  };
}

/** Chromium with one fresh context per page, so each page gets its own size and touch. */
export async function launchSizedBrowser() {
  const browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
      "--disable-component-update", "--disable-sync"],
  });
  return {
    async newPage({ width, height, touch = false }) {
      const context = await browser.newContext({ viewport: { width, height }, hasTouch: touch });
      const page = await context.newPage();
      page.on("close", () => void context.close().catch(() => undefined));
      return page;
    },
    close: () => browser.close(),
  };
}

/** The sizes a stage engineer uses: a laptop, a small laptop, a tablet upright with touch. */
export const STAGE_SIZES = [
  { name: "1280x800", width: 1280, height: 800, touch: false },
  { name: "1024x768", width: 1024, height: 768, touch: false },
  { name: "768x1024-touch", width: 768, height: 1024, touch: true },
];

/** Saves a page's screenshot under the build tree (or RUVI_UI_SHOTS) and returns the PNG. */
export async function saveShot(page, name) {
  const folder = process.env.RUVI_UI_SHOTS ?? join(root, "build", "dev", "ui-shots");
  mkdirSync(folder, { recursive: true });
  const png = await page.screenshot();
  writeFileSync(join(folder, `${name}.png`), png);
  return png;
}

/**
 * A bearer token for the stage at url. The server allows five logins a minute from one address,
 * so tests that open many pages log in once and hand the token to each page (withToken).
 */
export async function lanToken(url, password) {
  const res = await fetch(new URL("/api/login", url), { method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify({ password }) });
  const body = await res.json();
  if (res.status !== 200 || typeof body.token !== "string") throw new Error(`login refused: ${res.status} ${JSON.stringify(body)}`);
  return body.token;
}

/** Makes the page start logged in with token, as a page reloaded in the same tab does. */
export async function withToken(page, token) {
  await page.addInitScript((t) => sessionStorage.setItem("ruvi.token", t), token);
}

/** Debian's Chromium as a tablet or a laptop: its own profile, this viewport, touch or not. */
export async function launchDevice({ width, height, touch = false }) {
  const profile = mkdtempSync(join(tmpdir(), "ruvi-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    viewport: { width, height },
    hasTouch: touch,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
      "--disable-component-update", "--disable-sync", ...(touch ? ["--touch-events=enabled"] : [])],
  });
  return {
    context,
    async close() {
      await context.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

/**
 * Polls fn until it returns something truthy and returns that. The ceiling only matters when the
 * awaited change never comes: a busy machine makes the page late, not wrong.
 */
export async function waitFor(fn, what, timeout = 30000) {
  const end = Date.now() + timeout;
  let last;
  while (Date.now() < end) {
    last = await fn();
    if (last) return last;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(`timed out waiting for ${what} (last ${JSON.stringify(last)})`);
}

/** Resolves once the page has drawn two more frames: whatever it applied before is on screen. */
export async function nextFrames(page) {
  await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
}
