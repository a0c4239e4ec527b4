// The fader and the meters. Faders take pointer, touch and keyboard input (relative drags so a
// touch never jumps the level, a fine mode at a quarter of the speed, double-tap or Home for
// 0 dB); meters are drawn on canvas once per display frame from the latest values, however often
// states arrive.

import { h, fmtDb } from "./dom";
import { FADER_MAX, FADER_MIN, clampFader, peakToDb } from "./rules";

const TAPER: [number, number][] = [
  [-80, 0], [-60, 0.08], [-40, 0.2], [-30, 0.3], [-20, 0.45], [-10, 0.65], [-5, 0.75], [0, 0.85], [5, 0.925], [10, 1],
];

export function dbToPos(db: number): number {
  if (db <= TAPER[0][0]) return 0;
  for (let i = 1; i < TAPER.length; i++) {
    const [d1, p1] = TAPER[i];
    const [d0, p0] = TAPER[i - 1];
    if (db <= d1) return p0 + ((db - d0) / (d1 - d0)) * (p1 - p0);
  }
  return 1;
}

export function posToDb(pos: number): number {
  if (pos <= 0) return FADER_MIN;
  for (let i = 1; i < TAPER.length; i++) {
    const [d1, p1] = TAPER[i];
    const [d0, p0] = TAPER[i - 1];
    if (pos <= p1) return d0 + ((pos - p0) / (p1 - p0)) * (d1 - d0);
  }
  return FADER_MAX;
}

export interface FaderOptions {
  label: string;
  onInput: (db: number) => void;
  fine?: () => boolean;
}

export class Fader {
  readonly el: HTMLElement;
  private readonly thumb: HTMLElement;
  private readonly readout: HTMLElement;
  private value = 0;
  private dragging = false;
  private lastTap = 0;

  constructor(private readonly opts: FaderOptions) {
    this.thumb = h("div", { class: "fader-thumb" });
    const track = h("div", { class: "fader-track" }, h("div", { class: "fader-zero" }), this.thumb);
    this.readout = h("div", { class: "fader-readout" });
    this.el = h("div", {
      class: "fader",
      role: "slider",
      tabindex: 0,
      "aria-label": opts.label,
      "aria-valuemin": FADER_MIN,
      "aria-valuemax": FADER_MAX,
    }, track, this.readout);
    this.bind(track);
    this.render();
  }

  get active(): boolean {
    return this.dragging;
  }

  set(db: number): void {
    if (this.dragging || db === this.value) return;
    this.value = db;
    this.render();
  }

  private emit(db: number): void {
    const v = clampFader(db);
    if (v === this.value) return;
    this.value = v;
    this.render();
    this.opts.onInput(v);
  }

  private render(): void {
    this.thumb.style.bottom = `calc(${(dbToPos(this.value) * 100).toFixed(2)}% - var(--thumb-h) / 2)`;
    const text = fmtDb(this.value);
    if (this.readout.textContent !== text) this.readout.textContent = text;
    this.el.setAttribute("aria-valuenow", String(this.value));
    this.el.setAttribute("aria-valuetext", `${text} dB`);
  }

  private bind(track: HTMLElement): void {
    let startY = 0;
    let startPos = 0;
    let pointer = -1;
    let downAt = 0;
    let moved = 0;
    track.addEventListener("pointerdown", (e) => {
      if (pointer !== -1) return;
      const now = performance.now();
      // Two quick taps that did not move reset to 0 dB; a second grab after a drag never does.
      if (now - this.lastTap < 350) {
        this.lastTap = 0;
        this.emit(0);
        return;
      }
      downAt = now;
      moved = 0;
      pointer = e.pointerId;
      track.setPointerCapture(e.pointerId);
      startY = e.clientY;
      startPos = dbToPos(this.value);
      this.dragging = true;
      this.el.classList.add("dragging");
      e.preventDefault();
    });
    const move = (e: PointerEvent) => {
      if (e.pointerId !== pointer) return;
      moved = Math.max(moved, Math.abs(e.clientY - startY));
      const height = track.clientHeight || 200;
      const fine = e.shiftKey || (this.opts.fine?.() ?? false);
      const delta = ((startY - e.clientY) / height) * (fine ? 0.25 : 1);
      this.emit(posToDb(Math.min(1, Math.max(0, startPos + delta))));
    };
    const end = (e: PointerEvent) => {
      if (e.pointerId !== pointer) return;
      const tap = moved < 4 && performance.now() - downAt < 300;
      this.lastTap = tap ? performance.now() : 0;
      pointer = -1;
      this.dragging = false;
      this.el.classList.remove("dragging");
    };
    track.addEventListener("pointermove", move);
    track.addEventListener("pointerup", end);
    track.addEventListener("pointercancel", end);
    this.el.addEventListener("keydown", (e) => {
      const step = e.shiftKey ? 0.1 : 0.5;
      const map: Record<string, () => number> = {
        ArrowUp: () => this.value + step,
        ArrowRight: () => this.value + step,
        ArrowDown: () => this.value - step,
        ArrowLeft: () => this.value - step,
        PageUp: () => this.value + 6,
        PageDown: () => this.value - 6,
        Home: () => 0,
        End: () => FADER_MIN,
      };
      const f = map[e.key];
      if (!f) return;
      e.preventDefault();
      this.emit(f());
    });
  }
}

// ---- meters ----

interface MeterState {
  canvas: HTMLCanvasElement;
  l: number;
  r: number;
  holdL: number;
  holdR: number;
  holdAt: number;
  clipAt: number;
  stereo: boolean;
  gr: number;
  dirty: boolean;
}

const HOLD_MS = 1500;
const CLIP_MS = 3000;
const FLOOR_DB = -60;

function meterPos(peak: number): number {
  const db = peakToDb(peak);
  if (!Number.isFinite(db) || db <= FLOOR_DB) return 0;
  return Math.min(1, (db - FLOOR_DB) / -FLOOR_DB);
}

export class MeterBank {
  private meters = new Map<string, MeterState>();
  private running = false;

  canvas(id: string, stereo: boolean): HTMLCanvasElement {
    const canvas = h("canvas", { class: "meter", width: 28, height: 240, "data-meter": id });
    this.meters.set(id, { canvas, l: 0, r: 0, holdL: 0, holdR: 0, holdAt: 0, clipAt: -Infinity, stereo, gr: 0, dirty: true });
    this.start();
    return canvas;
  }

  forget(id: string): void {
    this.meters.delete(id);
  }

  clearAll(): void {
    this.meters.clear();
  }

  /** Values from a state message; drawing waits for the next frame. */
  feed(meters: any[] | undefined, stripMeters: any[] | undefined): void {
    const now = performance.now();
    if (Array.isArray(meters)) {
      for (const m of meters) {
        const s = this.meters.get(m.nodeId);
        if (!s) continue;
        const l = Number(m.peakL) || 0;
        const r = Number(m.peakR) || 0;
        s.l = l;
        s.r = r;
        if (l >= s.holdL || r >= s.holdR || now - s.holdAt > HOLD_MS) {
          s.holdL = Math.max(l, now - s.holdAt > HOLD_MS ? 0 : s.holdL);
          s.holdR = Math.max(r, now - s.holdAt > HOLD_MS ? 0 : s.holdR);
          s.holdAt = now;
        }
        if (l >= 1 || r >= 1) s.clipAt = now;
        s.dirty = true;
      }
    }
    if (Array.isArray(stripMeters)) {
      for (const m of stripMeters) {
        const s = this.meters.get(m.nodeId);
        if (!s) continue;
        s.gr = Math.max(Math.abs(Number(m.gateReductionDb) || 0), Math.abs(Number(m.compressorReductionDb) || 0));
      }
    }
  }

  private start(): void {
    if (this.running) return;
    this.running = true;
    const frame = () => {
      this.draw();
      requestAnimationFrame(frame);
    };
    requestAnimationFrame(frame);
  }

  private draw(): void {
    const now = performance.now();
    for (const s of this.meters.values()) {
      const clip = now - s.clipAt < CLIP_MS;
      if (!s.dirty && !clip && now - s.holdAt < HOLD_MS + 50) continue;
      if (!s.canvas.isConnected) continue;
      s.dirty = false;
      const c = s.canvas.getContext("2d");
      if (!c) continue;
      const { width: w, height: hgt } = s.canvas;
      c.fillStyle = "#0b0f14";
      c.fillRect(0, 0, w, hgt);
      const top = 8;
      const bars = s.stereo ? [s.l, s.r] : [Math.max(s.l, s.r)];
      const holds = s.stereo ? [s.holdL, s.holdR] : [Math.max(s.holdL, s.holdR)];
      const bw = s.stereo ? 9 : 18;
      for (let i = 0; i < bars.length; i++) {
        const x = 2 + i * (bw + 2);
        const len = meterPos(bars[i]) * (hgt - top);
        const grad = c.createLinearGradient(0, hgt, 0, top);
        grad.addColorStop(0, "#2fbf5f");
        grad.addColorStop(0.7, "#2fbf5f");
        grad.addColorStop(0.85, "#e8c23a");
        grad.addColorStop(1, "#e84a3a");
        c.fillStyle = grad;
        c.fillRect(x, hgt - len, bw, len);
        const hp = meterPos(holds[i]) * (hgt - top);
        if (hp > 0) {
          c.fillStyle = "#f2f4f7";
          c.fillRect(x, hgt - hp - 1, bw, 2);
        }
      }
      c.fillStyle = clip ? "#ff3b30" : "#2a323c";
      c.fillRect(2, 0, w - 8, 6);
      if (s.gr > 0.1) {
        c.fillStyle = "#e8a33d";
        c.fillRect(w - 5, top, 4, Math.min(hgt - top, s.gr * 6));
      }
    }
  }
}
