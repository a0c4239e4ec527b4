// The fader, the parameter slider and the meters. Faders and sliders take pointer, touch and
// keyboard input (relative drags so a touch never jumps the value, a fine mode at a quarter of
// the speed, double-tap or Home for the default); their dB scales are page text beside the
// track. Meters draw only when a state message changed what they show, only while on screen,
// at most once per display frame however often states arrive.

import { h, setClass, setText } from "./dom";
import { FADER_MAX, FADER_MIN, clampFader, peakToDb } from "./rules";
import { fmtLevel, fmtValue, markText, parseValue, posToValue, valueToPos, type Scale, type Unit } from "./units";

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

/** The marks beside every fader; the bottom of the travel is "off". */
export const FADER_MARKS = [10, 5, 0, -5, -10, -20, -30, -40, -60, -Infinity];
/** The marks beside every meter, in dBFS. */
export const METER_MARKS = [0, -6, -12, -20, -30, -40, -60];
export const METER_FLOOR_DB = -60;

/** A column of marks as page text, each at its fraction of the height (0 at the bottom). */
function scale(cls: string, label: string, marks: { text: string; pos: number }[]): HTMLElement {
  const el = h("div", { class: `scale ${cls}`, role: "list", "aria-label": label });
  for (const m of marks) {
    el.append(h("span", { class: "mark", role: "listitem", style: `bottom:${(m.pos * 100).toFixed(2)}%`, text: m.text }));
  }
  return el;
}

/** Two quick taps that did not move; a second grab after a drag never counts. */
class TapTracker {
  private lastTap = 0;
  private downAt = 0;
  private moved = 0;
  down(): boolean {
    const now = performance.now();
    if (now - this.lastTap < 350) {
      this.lastTap = 0;
      return true;
    }
    this.downAt = now;
    this.moved = 0;
    return false;
  }
  move(d: number): void {
    this.moved = Math.max(this.moved, Math.abs(d));
  }
  up(): void {
    const tap = this.moved < 4 && performance.now() - this.downAt < 300;
    this.lastTap = tap ? performance.now() : 0;
  }
}

const disabledOf = (el: HTMLElement) => el.getAttribute("aria-disabled") === "true";

export interface FaderOptions {
  label: string;
  onInput: (db: number) => void;
  fine?: () => boolean;
  /** A text field under the readout that takes a typed level. */
  entry?: boolean;
}

export class Fader {
  /** The whole unit: scale, track and readout. */
  readonly el: HTMLElement;
  /** The focusable slider itself. */
  readonly slider: HTMLElement;
  private readonly thumb: HTMLElement;
  private readonly readout: HTMLElement;
  private readonly entry?: HTMLInputElement;
  private value = 0;
  private dragging = false;
  private readonly taps = new TapTracker();

  constructor(private readonly opts: FaderOptions) {
    this.thumb = h("div", { class: "fader-thumb" });
    const track = h("div", { class: "fader-track" }, h("div", { class: "fader-zero" }), this.thumb);
    this.readout = h("div", { class: "fader-readout" });
    this.slider = h("div", {
      class: "fader",
      role: "slider",
      tabindex: 0,
      "aria-label": opts.label,
      "aria-valuemin": FADER_MIN,
      "aria-valuemax": FADER_MAX,
      "aria-orientation": "vertical",
    }, track);
    const marks = FADER_MARKS.map((db) => ({ text: markText(db), pos: dbToPos(Number.isFinite(db) ? db : FADER_MIN) }));
    this.el = h("div", { class: "fader-unit" },
      h("div", { class: "fader-body" }, this.slider, scale("fader-scale", "Fader scale in dB", marks)), this.readout);
    if (opts.entry) {
      const entry = h("input", { type: "text", class: "entry", inputmode: "decimal", "aria-label": `${opts.label} value` });
      entry.addEventListener("change", () => {
        const v = parseValue(entry.value, "dB");
        const off = /^\s*(-|\u2212)?\s*(∞|inf|off)/i.test(entry.value);
        setClass(entry, "invalid", v === null && !off);
        if (v !== null || off) this.emit(off ? FADER_MIN : v!);
        entry.value = fmtLevel(this.value);
      });
      this.entry = entry;
      this.el.append(entry);
    }
    this.bind(track);
    this.render();
  }

  get active(): boolean {
    return this.dragging;
  }

  get disabled(): boolean {
    return disabledOf(this.slider);
  }

  /** A disabled fader shows its value and takes no input. */
  set disabled(v: boolean) {
    this.slider.setAttribute("aria-disabled", String(v));
    if (this.entry) this.entry.disabled = v;
  }

  set(db: number): void {
    if (this.dragging || db === this.value) return;
    this.value = db;
    this.render();
  }

  private emit(db: number): void {
    if (this.disabled) return;
    const v = clampFader(db);
    if (v === this.value) return;
    this.value = v;
    this.render();
    this.opts.onInput(v);
  }

  private render(): void {
    this.thumb.style.bottom = `calc(${(dbToPos(this.value) * 100).toFixed(2)}% - var(--thumb-h) / 2)`;
    const text = fmtLevel(this.value);
    setText(this.readout, text);
    if (this.entry && document.activeElement !== this.entry) this.entry.value = text;
    this.slider.setAttribute("aria-valuenow", String(this.value));
    this.slider.setAttribute("aria-valuetext", text);
  }

  private bind(track: HTMLElement): void {
    let startY = 0;
    let startPos = 0;
    let pointer = -1;
    track.addEventListener("pointerdown", (e) => {
      if (pointer !== -1 || this.disabled) return;
      if (this.taps.down()) {
        this.emit(0);
        return;
      }
      pointer = e.pointerId;
      track.setPointerCapture(e.pointerId);
      startY = e.clientY;
      startPos = dbToPos(this.value);
      this.dragging = true;
      this.slider.classList.add("dragging");
      e.preventDefault();
    });
    const move = (e: PointerEvent) => {
      if (e.pointerId !== pointer) return;
      this.taps.move(e.clientY - startY);
      const height = track.clientHeight || 200;
      const fine = e.shiftKey || (this.opts.fine?.() ?? false);
      const delta = ((startY - e.clientY) / height) * (fine ? 0.25 : 1);
      this.emit(posToDb(Math.min(1, Math.max(0, startPos + delta))));
    };
    const end = (e: PointerEvent) => {
      if (e.pointerId !== pointer) return;
      this.taps.up();
      pointer = -1;
      this.dragging = false;
      this.slider.classList.remove("dragging");
    };
    track.addEventListener("pointermove", move);
    track.addEventListener("pointerup", end);
    track.addEventListener("pointercancel", end);
    this.slider.addEventListener("keydown", (e) => {
      const step = e.shiftKey || this.opts.fine?.() ? 0.1 : 0.5;
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

// ---- parameter sliders ----

export interface ParamOptions {
  label: string;
  /** The visible name where the heading above already says the rest ("Gain" under "Band 2"). */
  shortLabel?: string;
  unit: Unit;
  scale: Scale;
  /** Values are rounded to this step. */
  step: number;
  /** Double-tap and Home go here; none for a control without a known default. */
  def?: number;
  fine?: () => boolean;
  onInput: (v: number) => void;
}

/**
 * A horizontal control for one processing value, on a linear or log scale, with a text field
 * that takes a typed value with or without its unit.
 */
export class ParamSlider {
  readonly el: HTMLElement;
  readonly slider: HTMLElement;
  readonly entry: HTMLInputElement;
  private readonly thumb: HTMLElement;
  private readonly fill: HTMLElement;
  private value: number;
  private dragging = false;
  private readonly taps = new TapTracker();

  constructor(private readonly opts: ParamOptions, value: number) {
    this.value = value;
    this.thumb = h("div", { class: "param-thumb" });
    this.fill = h("div", { class: "param-fill" });
    const track = h("div", { class: "param-track" }, this.fill, this.thumb);
    this.slider = h("div", {
      class: "param-slider",
      role: "slider",
      tabindex: 0,
      "aria-label": opts.label,
      "aria-valuemin": opts.scale.min,
      "aria-valuemax": opts.scale.max,
    }, track);
    this.entry = h("input", { type: "text", class: "entry", inputmode: "decimal", "aria-label": `${opts.label} value` });
    this.entry.addEventListener("change", () => {
      const v = parseValue(this.entry.value, opts.unit);
      setClass(this.entry, "invalid", v === null);
      this.entry.title = v === null ? `Type a number${opts.unit === "q" || opts.unit === "ratio" ? "" : ` in ${opts.unit === "dB span" ? "dB" : opts.unit}`}` : "";
      if (v !== null) this.emit(v);
      this.render(false);
      // What was taken, as the control shows it; a refused text stays for correcting.
      if (v !== null) this.entry.value = fmtValue(this.value, opts.unit);
    });
    this.el = h("div", { class: "param" }, h("span", { class: "param-label", text: opts.shortLabel ?? opts.label }), this.slider, this.entry);
    this.bind(track);
    this.render(true);
  }

  get disabled(): boolean {
    return disabledOf(this.slider);
  }

  set disabled(v: boolean) {
    this.slider.setAttribute("aria-disabled", String(v));
    this.entry.disabled = v;
  }

  get busy(): boolean {
    return this.dragging || document.activeElement === this.entry;
  }

  set(v: number): void {
    if (this.busy || v === this.value) return;
    this.value = v;
    this.render(true);
  }

  private quantize(v: number): number {
    const { min, max } = this.opts.scale;
    const s = this.opts.step;
    const q = Math.round(v / s) * s;
    return Math.min(max, Math.max(min, Number(q.toFixed(6))));
  }

  private emit(v: number): void {
    if (this.disabled) return;
    const q = v === this.opts.def ? v : this.quantize(v);
    if (q === this.value) return;
    this.value = q;
    this.render(document.activeElement !== this.entry);
    this.opts.onInput(q);
  }

  private render(entry: boolean): void {
    const p = valueToPos(this.value, this.opts.scale) * 100;
    this.thumb.style.left = `calc(${p.toFixed(2)}% - var(--param-thumb) / 2)`;
    this.fill.style.width = `${p.toFixed(2)}%`;
    const text = fmtValue(this.value, this.opts.unit);
    if (entry && document.activeElement !== this.entry) {
      this.entry.value = text;
      setClass(this.entry, "invalid", false);
    }
    this.slider.setAttribute("aria-valuenow", String(this.value));
    this.slider.setAttribute("aria-valuetext", text);
  }

  private bind(track: HTMLElement): void {
    let startX = 0;
    let startPos = 0;
    let pointer = -1;
    track.addEventListener("pointerdown", (e) => {
      if (pointer !== -1 || this.disabled) return;
      if (this.taps.down()) {
        if (this.opts.def !== undefined) this.emit(this.opts.def);
        return;
      }
      pointer = e.pointerId;
      track.setPointerCapture(e.pointerId);
      startX = e.clientX;
      startPos = valueToPos(this.value, this.opts.scale);
      this.dragging = true;
      this.slider.classList.add("dragging");
      e.preventDefault();
    });
    track.addEventListener("pointermove", (e) => {
      if (e.pointerId !== pointer) return;
      this.taps.move(e.clientX - startX);
      const width = track.clientWidth || 200;
      const fine = e.shiftKey || (this.opts.fine?.() ?? false);
      const delta = ((e.clientX - startX) / width) * (fine ? 0.25 : 1);
      this.emit(posToValue(startPos + delta, this.opts.scale));
    });
    const end = (e: PointerEvent) => {
      if (e.pointerId !== pointer) return;
      this.taps.up();
      pointer = -1;
      this.dragging = false;
      this.slider.classList.remove("dragging");
    };
    track.addEventListener("pointerup", end);
    track.addEventListener("pointercancel", end);
    this.slider.addEventListener("keydown", (e) => {
      const fine = e.shiftKey || (this.opts.fine?.() ?? false);
      const pos = valueToPos(this.value, this.opts.scale);
      const step = fine ? 0.0025 : 0.01;
      const byPos = (d: number) => () => {
        // A step always moves at least one unit of the control's resolution.
        const next = posToValue(pos + d, this.opts.scale);
        const q = this.quantize(next);
        return q === this.value ? this.value + Math.sign(d) * this.opts.step : next;
      };
      const map: Record<string, (() => number) | undefined> = {
        ArrowUp: byPos(step),
        ArrowRight: byPos(step),
        ArrowDown: byPos(-step),
        ArrowLeft: byPos(-step),
        PageUp: byPos(0.1),
        PageDown: byPos(-0.1),
        Home: this.opts.def !== undefined ? () => this.opts.def! : undefined,
        End: undefined,
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
  id: string;
  el: HTMLElement;
  canvas: HTMLCanvasElement;
  clip: HTMLElement;
  gr: HTMLElement | null;
  stereo: boolean;
  /** Latest peaks (linear) and the held ones, per side. */
  l: number;
  r: number;
  holdL: number;
  holdR: number;
  holdAtL: number;
  holdAtR: number;
  clipped: boolean;
  gate: number;
  comp: number;
  grShown: string;
  blank: boolean;
  visible: boolean;
  /** What the canvas shows now, in device pixels; a draw that would change nothing is skipped. */
  shown: string;
  width: number;
  height: number;
}

const HOLD_MS = 1500;
const ZONES: [number, string][] = [[-18, "#2fbf5f"], [-6, "#e8c23a"], [0, "#e84a3a"]];

function meterFrac(peak: number): number {
  const db = peakToDb(peak);
  if (!Number.isFinite(db) || db <= METER_FLOOR_DB) return 0;
  return Math.min(1, (db - METER_FLOOR_DB) / -METER_FLOOR_DB);
}

const reductionText = (db: number) => (db < 0.5 ? "0" : markText(-Math.round(db)));

/**
 * Every strip's meter: one canvas each, drawn only after a state message changed what it shows
 * and only while it is on screen. The clip mark holds until the meter is tapped.
 */
export class MeterBank {
  private meters = new Map<string, MeterState>();
  private dirty = new Set<MeterState>();
  private frame = 0;
  private readonly visibility: IntersectionObserver | null;
  private readonly sizes: ResizeObserver | null;
  /** Counts for the page figures: frames drawn and canvases drawn in them. */
  readonly stats = { frames: 0, canvases: 0, feeds: 0 };

  constructor() {
    // Read by the page benchmark and the browser tests.
    (window as any).__ruviMeters = this;
    this.visibility = typeof IntersectionObserver === "function"
      ? new IntersectionObserver((entries) => {
        for (const e of entries) {
          const s = this.byCanvas(e.target);
          if (!s) continue;
          s.visible = e.isIntersecting;
          if (s.visible) this.mark(s);
        }
      })
      : null;
    this.sizes = typeof ResizeObserver === "function"
      ? new ResizeObserver((entries) => {
        const dpr = window.devicePixelRatio || 1;
        for (const e of entries) {
          const s = this.byCanvas(e.target);
          if (!s) continue;
          s.width = Math.max(1, Math.round(e.contentRect.width * dpr));
          s.height = Math.max(1, Math.round(e.contentRect.height * dpr));
          s.shown = "";
          this.mark(s);
        }
      })
      : null;
  }

  private byCanvas(t: Element): MeterState | undefined {
    const id = (t as HTMLElement).dataset.meter;
    const s = id === undefined ? undefined : this.meters.get(id);
    return s && s.canvas === t ? s : undefined;
  }

  /** The meter of one strip: clip mark, canvas and its dBFS scale. */
  meter(id: string, stereo: boolean, label = id): HTMLElement {
    this.forget(id);
    const canvas = h("canvas", { class: "meter", width: 1, height: 1, "data-meter": id, "aria-hidden": "true" });
    const clip = h("div", { class: "clip-mark", text: "CLIP" });
    const marks = METER_MARKS.map((db) => ({ text: markText(db), pos: (db - METER_FLOOR_DB) / -METER_FLOOR_DB }));
    const el = h("div", { class: "meter-unit", title: "Tap to clear the clip mark", "aria-label": `${label} meter`, "data-meter-unit": id },
      clip, h("div", { class: "meter-body" }, canvas, scale("meter-scale", "Meter scale in dBFS", marks)));
    const s: MeterState = {
      id, el, canvas, clip, gr: null, stereo, l: 0, r: 0, holdL: 0, holdR: 0, holdAtL: 0, holdAtR: 0, clipped: false,
      gate: 0, comp: 0, grShown: "", blank: false, visible: this.visibility === null, shown: "", width: 0, height: 0,
    };
    el.addEventListener("click", () => {
      if (!s.clipped) return;
      s.clipped = false;
      setClass(clip, "on", false);
    });
    this.meters.set(id, s);
    this.visibility?.observe(canvas);
    this.sizes?.observe(canvas);
    return el;
  }

  /** A line with the strip's gate and compressor gain reduction, in dB. */
  reduction(id: string): HTMLElement {
    const gr = h("div", { class: "gr", title: "Gain reduction: gate, compressor" },
      h("span", { class: "gr-k", text: "G" }), h("span", { class: "gr-v gr-gate", text: "0" }),
      h("span", { class: "gr-k", text: "C" }), h("span", { class: "gr-v gr-comp", text: "0" }));
    const s = this.meters.get(id);
    if (s) s.gr = gr;
    return gr;
  }

  /** The gain reduction last reported for a strip (dB, positive), or undefined. */
  reductionOf(id: string): { gate: number; comp: number } | undefined {
    const s = this.meters.get(id);
    return s ? { gate: s.gate, comp: s.comp } : undefined;
  }

  forget(id: string): void {
    const s = this.meters.get(id);
    if (!s) return;
    this.visibility?.unobserve(s.canvas);
    this.sizes?.unobserve(s.canvas);
    this.dirty.delete(s);
    this.meters.delete(id);
  }

  clearAll(): void {
    for (const id of [...this.meters.keys()]) this.forget(id);
  }

  /**
   * Shows nothing until the next state message: levels, holds and reductions drop to zero and
   * the meters turn grey (for a link that is lost). Clip marks stay until tapped.
   */
  blank(): void {
    for (const s of this.meters.values()) {
      s.l = s.r = s.holdL = s.holdR = 0;
      s.gate = s.comp = 0;
      s.blank = true;
      this.showReduction(s);
      this.mark(s);
    }
  }

  /** Values from a state message; a meter whose picture changes is drawn on the next frame. */
  feed(meters: any[] | undefined, stripMeters: any[] | undefined): void {
    this.stats.feeds++;
    const now = performance.now();
    if (Array.isArray(meters)) {
      for (const m of meters) {
        const s = this.meters.get(m.nodeId);
        if (!s) continue;
        const l = Number(m.peakL) || 0;
        const r = Number(m.peakR) || 0;
        s.l = l;
        s.r = r;
        if (l >= s.holdL || now - s.holdAtL > HOLD_MS) { s.holdL = l; s.holdAtL = now; }
        if (r >= s.holdR || now - s.holdAtR > HOLD_MS) { s.holdR = r; s.holdAtR = now; }
        if ((l >= 1 || r >= 1) && !s.clipped) {
          s.clipped = true;
          setClass(s.clip, "on", true);
        }
        s.blank = false;
        this.mark(s);
      }
    }
    if (Array.isArray(stripMeters)) {
      for (const m of stripMeters) {
        const s = this.meters.get(m.nodeId);
        if (!s) continue;
        s.gate = Math.abs(Number(m.gateReductionDb) || 0);
        s.comp = Math.abs(Number(m.compressorReductionDb) || 0);
        this.showReduction(s);
      }
    }
  }

  private showReduction(s: MeterState): void {
    if (!s.gr) return;
    const g = s.blank ? "–" : reductionText(s.gate);
    const c = s.blank ? "–" : reductionText(s.comp);
    if (g + c === s.grShown) return;
    s.grShown = g + c;
    setText(s.gr.children[1], g);
    setText(s.gr.children[3], c);
    setClass(s.gr, "active", g !== "0" || c !== "0");
  }

  private mark(s: MeterState): void {
    // A meter off screen, or one whose picture would not change, costs no frame.
    if (!s.visible || !s.width || this.picture(s).key === s.shown) return;
    this.dirty.add(s);
    if (!this.frame) this.frame = requestAnimationFrame(() => this.draw());
  }

  private draw(): void {
    this.frame = 0;
    this.stats.frames++;
    for (const s of this.dirty) this.drawOne(s);
    this.dirty.clear();
  }

  /** What the meter would show, in device pixels. */
  private picture(s: MeterState): { len: number[]; hold: number[]; key: string } {
    const H = s.height;
    const bars = s.stereo ? [s.l, s.r] : [Math.max(s.l, s.r)];
    const holds = s.stereo ? [s.holdL, s.holdR] : [Math.max(s.holdL, s.holdR)];
    const len = bars.map((p) => Math.round(meterFrac(p) * H));
    const hold = holds.map((p) => Math.round(meterFrac(p) * H));
    return { len, hold, key: `${s.blank ? "b" : ""}${H}:${len.join(",")}/${hold.join(",")}` };
  }

  private drawOne(s: MeterState): void {
    if (!s.visible || !s.width) return;
    const H = s.height;
    const { len, hold, key } = this.picture(s);
    if (key === s.shown) return;
    const c = s.canvas;
    if (c.width !== s.width) c.width = s.width;
    if (c.height !== s.height) c.height = s.height;
    const g = c.getContext("2d");
    if (!g) return;
    this.stats.canvases++;
    s.shown = key;
    const W = s.width;
    g.fillStyle = s.blank ? "#2a3038" : "#0b0f14";
    g.fillRect(0, 0, W, H);
    if (s.blank) return;
    const gap = Math.max(1, Math.round(W / 14));
    const bw = (W - gap * (len.length - 1)) / len.length;
    for (let i = 0; i < len.length; i++) {
      const x = Math.round(i * (bw + gap));
      const w = Math.round(bw);
      let from = 0;
      for (const [db, colour] of ZONES) {
        const to = Math.min(len[i], Math.round(((db - METER_FLOOR_DB) / -METER_FLOOR_DB) * H));
        if (to > from) {
          g.fillStyle = colour;
          g.fillRect(x, H - to, w, to - from);
        }
        from = Math.max(from, to);
      }
      if (hold[i] > 0) {
        g.fillStyle = "#f2f4f7";
        g.fillRect(x, Math.max(0, H - hold[i] - 1), w, 2);
      }
    }
  }
}
