// One strip in detail, in the order its signal runs: input (trim, polarity), high-pass, four EQ
// bands side by side, gate, compressor; then its sends, each a fader to a bus, and its inserts
// with bypass, the plug-in's parameters and, on the desktop, the plug-in's own editor. The page is
// built when the strip or its sends and inserts change; a state message only moves values.

import { actionButton, h, setClass, setText } from "../dom";
import type { Store } from "../store";
import {
  Coalescer, FADER_MIN, allStrips, bypassRequest, defaultProcessing, findStrip, processingRequest, scalarRequest,
  sendRequest, vstParameterRequest, type JsonObject, type Strip,
} from "../rules";
import { Fader, ParamSlider } from "../widgets";
import { fmtValue, parseValue, type Scale, type Unit } from "../units";

type Path = (string | number)[];

interface Field {
  path: Path;
  label: string;
  short?: string;
  unit: Unit;
  scale: Scale;
  step: number;
  def: number;
}

const Q = Math.SQRT1_2;
const freq = (path: Path, label: string, def: number, max = 20000): Field => ({ path, label, unit: "Hz", scale: { min: 20, max, log: true }, step: 1, def });
const db = (path: Path, label: string, min: number, max: number, def: number, step = 0.1): Field => ({ path, label, unit: "dB", scale: { min, max }, step, def });
const span = (path: Path, label: string, max: number, def: number): Field => ({ path, label, unit: "dB span", scale: { min: 0, max }, step: 0.5, def });
const ms = (path: Path, label: string, min: number, max: number, def: number): Field => ({ path, label, unit: "ms", scale: min > 0 ? { min, max, log: true } : { min, max }, step: min < 1 ? 0.01 : 1, def });

const BAND_NAMES = ["Low shelf", "Low mid", "High mid", "High shelf"];
const BAND_FREQ = [80, 350, 2500, 8000];

interface Section {
  key: string;
  title: string;
  /** The section's own on/off switch, named for the screen reader. */
  toggle?: { path: Path; label: string };
  reduction?: "gate" | "comp";
  fields: Field[];
}

const SECTIONS: Section[] = [
  { key: "hpf", title: "High-pass", toggle: { path: ["hpf", "enabled"], label: "HPF" }, fields: [freq(["hpf", "frequencyHz"], "Frequency", 80, 2000)] },
  { key: "eq", title: "EQ", toggle: { path: ["eq", "enabled"], label: "EQ" }, fields: [] },
  {
    key: "gate", title: "Gate", toggle: { path: ["gate", "enabled"], label: "Gate" }, reduction: "gate", fields: [
      db(["gate", "thresholdDb"], "Threshold", -100, 0, -60, 0.5),
      span(["gate", "rangeDb"], "Range", 90, 60),
      ms(["gate", "attackMs"], "Attack", 0.05, 200, 3),
      ms(["gate", "holdMs"], "Hold", 0, 2000, 30),
      ms(["gate", "releaseMs"], "Release", 1, 4000, 150),
    ],
  },
  {
    key: "compressor", title: "Compressor", toggle: { path: ["compressor", "enabled"], label: "Comp" }, reduction: "comp", fields: [
      db(["compressor", "thresholdDb"], "Threshold", -90, 0, -18, 0.5),
      { path: ["compressor", "ratio"], label: "Ratio", unit: "ratio", scale: { min: 1, max: 40, log: true }, step: 0.1, def: 3 },
      span(["compressor", "kneeDb"], "Knee", 24, 6),
      ms(["compressor", "attackMs"], "Attack", 0.05, 1000, 10),
      ms(["compressor", "releaseMs"], "Release", 1, 4000, 100),
      db(["compressor", "makeupDb"], "Makeup", -24, 24, 0),
    ],
  },
];

export function bandFields(b: number): Field[] {
  const p = (k: string): Path => ["eq", "bands", b, k];
  return [
    { ...freq(p("frequencyHz"), `Band ${b + 1} frequency`, BAND_FREQ[b]), short: "Frequency" },
    { ...db(p("gainDb"), `Band ${b + 1} gain`, -24, 24, 0), short: "Gain" },
    { path: p("q"), label: `Band ${b + 1} Q`, short: "Q", unit: "q", scale: { min: 0.1, max: 18, log: true }, step: 0.01, def: Q },
  ];
}

function getPath(o: any, path: Path): any {
  return path.reduce((a, k) => (a == null ? undefined : a[k]), o);
}
function setPath(o: any, path: Path, v: unknown): void {
  let a = o;
  for (let i = 0; i < path.length - 1; i++) a = a[path[i]];
  a[path[path.length - 1]] = v;
}

const reductionText = (v: number) => `${v < 0.05 ? "0.0" : `\u2212${v.toFixed(1)}`} dB`;

interface Bound {
  sliders: { field: Field; slider: ParamSlider }[];
  toggles: { path: Path; box: HTMLInputElement }[];
  trim: ParamSlider;
  polarity: HTMLButtonElement;
  sends: { busId: string; fader: Fader; on: HTMLButtonElement; coalesce: Coalescer<number> }[];
  bypass: { id: string; box: HTMLInputElement }[];
  reduction: { kind: "gate" | "comp"; el: HTMLElement }[];
}

export class StripScreen {
  readonly id = "strip";
  readonly title = "Strip";
  readonly el: HTMLElement;
  private current = "";
  private generation = -1;
  private structure = "";
  private readonly picker: HTMLSelectElement;
  private readonly name: HTMLInputElement;
  private readonly swatch: HTMLElement;
  private readonly fineButton: HTMLButtonElement;
  private readonly body: HTMLElement;
  private procSend: Coalescer<JsonObject>;
  private trimSend: Coalescer<number>;
  /** The processing being edited: the held one, with this page's edits not yet echoed. */
  private proc: JsonObject = defaultProcessing();
  private bound: Bound | null = null;
  private fineMode = false;
  /** Another strip was picked: rebuild even while a control of the last one has the focus. */
  private switched = false;
  /** The level each send had before it was switched off, to switch it on again. */
  private lastOn = new Map<string, number>();

  constructor(private readonly store: Store) {
    this.picker = h("select", { "aria-label": "Strip" });
    this.picker.addEventListener("change", () => this.show(this.picker.value));
    this.name = h("input", { type: "text", maxlength: 64, "aria-label": "Strip name" });
    this.name.addEventListener("change", () => {
      const s = this.strip();
      if (s) void this.store.send({ method: "uiPatch", params: { uiPatch: { entityId: s.id, key: "name", value: this.name.value } } });
    });
    this.swatch = h("span", { class: "swatch" });
    this.fineButton = h("button", { class: "btn", type: "button", "aria-pressed": "false", text: "Fine" });
    this.fineButton.addEventListener("click", () => {
      this.fineMode = !this.fineMode;
      this.fineButton.setAttribute("aria-pressed", String(this.fineMode));
      setClass(this.fineButton, "on", this.fineMode);
    });
    this.body = h("div", { class: "strip-detail" });
    this.procSend = new Coalescer<JsonObject>((p) => {
      const s = this.strip();
      return s ? this.store.send(processingRequest(s, p)) : Promise.resolve();
    });
    this.trimSend = new Coalescer<number>((v) => {
      const s = this.strip();
      return s ? this.store.send(scalarRequest(s, "trimDb", v)) : Promise.resolve();
    });
    this.el = h("section", { class: "screen strip-screen", "data-screen": this.id },
      h("div", { class: "toolbar" }, this.picker, this.swatch, h("label", { class: "strip-name-field" }, "Name ", this.name), this.fineButton,
        h("span", { class: "hint", text: "Drag or type a value with its unit (80 Hz, 2.5 kHz, \u22126 dB); Shift or Fine for small steps; double-tap or Home for the default." })),
      this.body);
  }

  private strip(): Strip | undefined {
    return this.store.ui ? findStrip(this.store.ui, this.current) : undefined;
  }

  show(id: string): void {
    this.current = id;
    this.generation = -1;
    this.structure = "";
    this.switched = true;
    this.update();
  }

  update(): void {
    this.showReduction();
    const ui = this.store.ui;
    if (!ui || this.generation === this.store.uiGeneration) return;
    this.generation = this.store.uiGeneration;
    const strips = allStrips(ui);
    if (!this.current || !strips.some((s) => s.id === this.current)) this.current = strips[0]?.id ?? "";
    const options = strips.map((s) => `${s.id}|${s.name ?? ""}`).join(",");
    if (this.picker.dataset.options !== options) {
      this.picker.dataset.options = options;
      this.picker.replaceChildren(...strips.map((s) => h("option", { value: s.id, text: s.name ?? s.id })));
    }
    this.picker.value = this.current;
    const s = this.strip();
    if (!s) {
      this.structure = "";
      this.bound = null;
      this.body.replaceChildren(h("p", { class: "empty", text: "No strip selected." }));
      return;
    }
    if (document.activeElement !== this.name) this.name.value = s.name ?? s.id;
    this.swatch.style.background = s.color ?? "#888";
    const key = this.structureOf(s);
    if (key !== this.structure && (this.switched || !(document.activeElement && this.body.contains(document.activeElement)))) {
      this.structure = key;
      this.switched = false;
      this.render(s);
    }
    this.refresh(s);
  }

  private structureOf(s: Strip): string {
    const ui = this.store.ui!;
    const busName = (id: string) => allStrips(ui).find((x) => x.id === id)?.name ?? id;
    return [s.id, this.store.lan ? "lan" : "desk",
      (s.sends ?? []).map((x) => `${x.busId}:${busName(x.busId)}:${x.pre}`).join(","),
      (s.inserts ?? []).map((i) => `${i.id}:${i.name ?? ""}`).join(",")].join(";");
  }

  private heldProcessing(s: Strip): JsonObject {
    const base = defaultProcessing() as any;
    const held = (s.stripProcessing ?? {}) as any;
    // The held record may omit what it leaves at the defaults.
    for (const k of Object.keys(base)) if (held[k] && typeof held[k] === "object") base[k] = { ...base[k], ...structuredClone(held[k]) };
    return base;
  }

  private edit(path: Path, v: unknown): void {
    setPath(this.proc, path, v);
    this.procSend.push(structuredClone(this.proc));
  }

  private slider(f: Field, onInput: (v: number) => void): ParamSlider {
    return new ParamSlider({ label: f.label, shortLabel: f.short, unit: f.unit, scale: f.scale, step: f.step, def: f.def, fine: () => this.fineMode, onInput }, f.def);
  }

  private render(s: Strip): void {
    this.proc = this.heldProcessing(s);
    const bound: Bound = { sliders: [], toggles: [], trim: null!, polarity: null!, sends: [], bypass: [], reduction: [] };
    const section = (key: string, title: string, toggle?: { path: Path; label: string }, reduction?: "gate" | "comp") => {
      const head = h("div", { class: "section-head" });
      if (toggle) {
        const box = h("input", { type: "checkbox", "aria-label": toggle.label });
        box.addEventListener("change", () => this.edit(toggle.path, box.checked));
        bound.toggles.push({ path: toggle.path, box });
        head.append(h("label", { class: "check big" }, box, h("span", { class: "section-title", text: title })));
      } else head.append(h("span", { class: "section-title", text: title }));
      if (reduction) {
        const el = h("span", { class: "reduction", "data-reduction": reduction, title: "Gain reduction now" }, "GR ", h("span", { class: "v" }));
        bound.reduction.push({ kind: reduction, el });
        head.append(el);
      }
      return h("div", { class: `proc-section sec-${key}`, "data-section": key }, head);
    };

    // Input: trim and polarity, always in the signal.
    const input = section("input", "Input");
    bound.trim = this.slider(db(["trim"], "Trim", -60, 24, 0), (v) => this.trimSend.push(v));
    bound.polarity = h("button", { class: "tog pol", type: "button", text: "\u00d8 Polarity", "aria-pressed": "false" });
    bound.polarity.addEventListener("click", () => {
      const st = this.strip();
      if (st) void this.store.send(scalarRequest(st, "polarity", st.polarity !== true));
    });
    input.append(bound.trim.el, bound.polarity);
    const parts: HTMLElement[] = [input];

    for (const sec of SECTIONS) {
      const el = section(sec.key, sec.title, sec.toggle, sec.reduction);
      if (sec.key === "eq") {
        const bands = h("div", { class: "eq-bands" });
        for (let b = 0; b < 4; b++) {
          const col = h("div", { class: "eq-band", "data-band": b }, h("div", { class: "band-title", text: `${b + 1} \u00b7 ${BAND_NAMES[b]}` }));
          for (const f of bandFields(b)) col.append(this.bindField(f, bound).el);
          bands.append(col);
        }
        el.append(bands);
      } else for (const f of sec.fields) el.append(this.bindField(f, bound).el);
      parts.push(el);
    }
    const proc = h("div", { class: "proc-sections" }, ...parts);
    const out: HTMLElement[] = [proc];

    const sends = s.sends ?? [];
    if (sends.length) {
      const row = h("div", { class: "send-row" });
      for (const send of sends) row.append(this.sendCard(send.busId, send.pre, bound));
      out.push(h("h3", { text: "Sends" }), row);
    }

    out.push(h("h3", { text: "Inserts" }));
    for (const ins of s.inserts ?? []) out.push(this.insertCard(s, ins.id, ins.name ?? ins.id, bound));
    if (!(s.inserts ?? []).length) {
      out.push(h("p", { class: "empty", text: this.store.lan ? "No inserts on this strip." : "No inserts; add them under Session." }));
    }
    this.body.replaceChildren(...out);
    this.bound = bound;
  }

  private bindField(f: Field, bound: Bound): ParamSlider {
    const slider = this.slider(f, (v) => this.edit(f.path, v));
    bound.sliders.push({ field: f, slider });
    return slider;
  }

  private busName(busId: string): string {
    return allStrips(this.store.ui!).find((x) => x.id === busId)?.name ?? busId;
  }

  private sendCard(busId: string, pre: boolean, bound: Bound): HTMLElement {
    const name = this.busName(busId);
    const coalesce = new Coalescer<number>((lv) => {
      const st = this.strip();
      return st ? this.store.send(sendRequest(st, busId, lv)) : Promise.resolve();
    });
    const fader = new Fader({ label: `Send to ${name}`, onInput: (lv) => coalesce.push(lv), fine: () => this.fineMode, entry: true });
    const on = h("button", { class: "tog send-on", type: "button", "aria-pressed": "false", text: "ON", "aria-label": `Send to ${name} on` });
    on.addEventListener("click", () => {
      const st = this.strip();
      const level = st?.sends?.find((x) => x.busId === busId)?.level ?? FADER_MIN;
      if (level > FADER_MIN) {
        this.lastOn.set(`${this.current}>${busId}`, level);
        coalesce.push(FADER_MIN);
      } else coalesce.push(this.lastOn.get(`${this.current}>${busId}`) ?? 0);
    });
    bound.sends.push({ busId, fader, on, coalesce });
    return h("div", { class: "send-card", "data-send": busId },
      h("strong", { class: "send-name", text: name }),
      fader.el,
      h("div", { class: "send-foot" },
        h("span", { class: "chip", text: pre ? "Pre-fader" : "Post-fader", title: "Pre or post is set with the routing under Session" }), on));
  }

  private insertCard(s: Strip, slotId: string, name: string, bound: Bound): HTMLElement {
    const byp = h("input", { type: "checkbox", "aria-label": `Bypass ${slotId}` });
    byp.addEventListener("change", () => {
      const st = this.strip();
      if (st) void this.store.send(bypassRequest(st, slotId, byp.checked));
    });
    bound.bypass.push({ id: slotId, box: byp });
    const params = h("div", { class: "vst-params" });
    const paramsBtn = actionButton("Parameters", () => this.loadParams(slotId, params));
    paramsBtn.dataset.action = "getVstParameters";
    const row = h("div", { class: "form-row" }, h("strong", { class: "insert-name", text: name }),
      h("label", { class: "check" }, byp, " Bypass"), paramsBtn);
    // The plug-in's own window opens on the stage computer's screen; the LAN gets no button for it.
    if (!this.store.lan) {
      const editor = actionButton("Open editor", () => this.store.call("showVstEditor", { nodeId: s.id, slotId }));
      editor.dataset.action = "showVstEditor";
      row.append(editor);
    }
    return h("div", { class: "insert-card", "data-insert": slotId }, row, params);
  }

  private refresh(s: Strip): void {
    const b = this.bound;
    if (!b) return;
    if (!this.procSend.busy) this.proc = this.heldProcessing(s);
    for (const { field, slider } of b.sliders) {
      const v = getPath(this.proc, field.path);
      if (typeof v === "number") slider.set(v);
    }
    for (const { path, box } of b.toggles) box.checked = getPath(this.proc, path) === true;
    if (!this.trimSend.busy) b.trim.set(s.trim ?? 0);
    b.polarity.setAttribute("aria-pressed", String(s.polarity === true));
    setClass(b.polarity, "on", s.polarity === true);
    for (const x of b.sends) {
      const level = s.sends?.find((y) => y.busId === x.busId)?.level ?? FADER_MIN;
      if (!x.coalesce.busy) x.fader.set(level);
      const on = level > FADER_MIN;
      x.on.setAttribute("aria-pressed", String(on));
      setClass(x.on, "on", on);
      setText(x.on, on ? "ON" : "OFF");
    }
    for (const x of b.bypass) x.box.checked = s.inserts?.find((i) => i.id === x.id)?.bypass === true;
  }

  private showReduction(): void {
    const b = this.bound;
    if (!b || !b.reduction.length || this.el.hidden) return;
    const list = this.store.status?.stripMeters;
    const m = Array.isArray(list) ? list.find((x: any) => x.nodeId === this.current) : undefined;
    for (const r of b.reduction) {
      const v = Math.abs(Number(r.kind === "gate" ? m?.gateReductionDb : m?.compressorReductionDb) || 0);
      setText(r.el.lastElementChild!, m ? reductionText(v) : "–");
      setClass(r.el, "active", v >= 0.5);
    }
  }

  private async loadParams(slotId: string, into: HTMLElement): Promise<void> {
    const s = this.strip();
    if (!s) return;
    const r = await this.store.call("getVstParameters", { nodeId: s.id, slotId });
    if (!r.ok) return;
    const list: any[] = Array.isArray(r.result?.parameters) ? r.result.parameters : [];
    const rows = list.slice(0, 256).map((p) => {
      const id = Number(p.id ?? p.parameterId);
      const v = Number(p.normalized ?? p.value ?? 0);
      const name = String(p.title ?? p.name ?? id);
      const unit = typeof p.unit === "string" ? p.unit.trim() : "";
      const steps = Number(p.stepCount) > 0 ? Number(p.stepCount) : 0;
      // Read-only parameters (meters, reported states) show their value but take no input.
      const readOnly = p.readOnly === true;
      const range = h("input", { type: "range", min: 0, max: 1, step: steps ? 1 / steps : 0.001, value: v, disabled: readOnly, "aria-label": name });
      const entry = h("input", { type: "text", class: "entry", inputmode: "decimal", disabled: readOnly, "aria-label": `${name} value`, title: "Position of the control, 0 to 100 %" });
      const show = (x: number) => { if (document.activeElement !== entry) entry.value = fmtValue(x * 100, "%"); };
      show(v);
      const c = new Coalescer<number>((x) => { const st = this.strip(); return st ? this.store.send(vstParameterRequest(st, slotId, id, x)) : Promise.resolve(); });
      range.addEventListener("input", () => { show(Number(range.value)); c.push(Number(range.value)); });
      entry.addEventListener("change", () => {
        const x = parseValue(entry.value, "%");
        setClass(entry, "invalid", x === null || x < 0 || x > 100);
        if (x !== null && x >= 0 && x <= 100) {
          range.value = String(x / 100);
          c.push(x / 100);
        }
        entry.value = fmtValue(Number(range.value) * 100, "%");
      });
      return h("div", { class: "param vst-param" }, h("span", { class: "param-label", text: name }, unit ? h("span", { class: "unit", text: ` (${unit})` }) : null), range, entry);
    });
    into.replaceChildren(...(rows.length ? rows : [h("p", { class: "empty", text: "This plug-in reports no parameters." })]));
  }
}
