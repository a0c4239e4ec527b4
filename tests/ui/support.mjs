// Shared pieces of the page's browser runs: a headless stage computer on loopback, Debian's
// Chromium driven by playwright-core, and a PNG reader for looking at screenshots.
import { spawn } from "node:child_process";
import { randomBytes } from "node:crypto";
import { existsSync, mkdtempSync, rmSync, writeFileSync } from "node:fs";
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

/** Starts the control core and LAN server with a session; resolves once it listens. */
export async function startStage({ strips = 1, startAudio = true, session } = {}) {
  const R = await loadSource("rules");
  const { demoSession } = await import("../../web/tools/demo-session.mjs");
  const dir = mkdtempSync(join(tmpdir(), "ruvi-stage-"));
  const sessionFile = join(dir, "session.json");
  writeFileSync(sessionFile, JSON.stringify(session ?? demoSession(R, strips)));
  const password = randomBytes(9).toString("hex");
  const child = spawn(harnessPath(), ["--ui", join(root, "ui"), "--password", password, "--session", sessionFile, "--start-audio", startAudio ? "1" : "0"], {
    stdio: ["ignore", "pipe", "pipe"],
  });
  let stderr = "";
  child.stderr.on("data", (d) => (stderr += d));
  const port = await new Promise((resolve, reject) => {
    let out = "";
    const timer = setTimeout(() => reject(new Error(`stage did not start: ${stderr}`)), 15000);
    child.stdout.on("data", (d) => {
      out += d;
      const m = /ready (\d+)/.exec(out);
      if (m) {
        clearTimeout(timer);
        resolve(Number(m[1]));
      }
    });
    child.on("exit", (code) => {
      clearTimeout(timer);
      reject(new Error(`stage exited ${code}: ${stderr}`));
    });
  });
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

/** Saves a page screenshot under the build tree (or RUVI_UI_SHOTS) for a person to look at. */
export async function saveShot(page, name) {
  const dir = process.env.RUVI_UI_SHOTS ?? join(root, "build", "dev", "ui-shots");
  const { mkdirSync } = await import("node:fs");
  mkdirSync(dir, { recursive: true });
  const png = await page.screenshot();
  writeFileSync(join(dir, `${name}.png`), png);
  return png;
}
