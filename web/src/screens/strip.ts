// One strip in detail: trim, high-pass, four EQ bands, gate, compressor, sends pre and post,
// inserts with bypass, plug-in parameters and the native editor.

import { actionButton, fmtNum, h, localOnly, setText } from "../dom";
import type { Store } from "../store";
import {
  Coalescer, allStrips, bypassRequest, defaultProcessing, findStrip, processingRequest, scalarRequest,
  sendRequest, vstParameterRequest, type JsonObject, type Strip,
} from "../rules";

type Field = { path: (string | number)[]; label: string; min: number; max: number; step: number };

const FIELDS: Field[] = [
  { path: ["hpf", "frequencyHz"], label: "HPF Hz", min: 20, max: 2000, step: 1 },
  ...[0, 1, 2, 3].flatMap((b): Field[] => [
    { path: ["eq", "bands", b, "frequencyHz"], label: `EQ${b + 1} Hz`, min: 20, max: 20000, step: 1 },
    { path: ["eq", "bands", b, "gainDb"], label: `EQ${b + 1} dB`, min: -24, max: 24, step: 0.5 },
    { path: ["eq", "bands", b, "q"], label: `EQ${b + 1} Q`, min: 0.1, max: 18, step: 0.1 },
  ]),
  { path: ["gate", "thresholdDb"], label: "Gate thr dB", min: -100, max: 0, step: 1 },
  { path: ["gate", "rangeDb"], label: "Gate range dB", min: 0, max: 90, step: 1 },
  { path: ["gate", "attackMs"], label: "Gate att ms", min: 0.05, max: 200, step: 0.05 },
  { path: ["gate", "holdMs"], label: "Gate hold ms", min: 0, max: 2000, step: 1 },
  { path: ["gate", "releaseMs"], label: "Gate rel ms", min: 1, max: 4000, step: 1 },
  { path: ["compressor", "thresholdDb"], label: "Comp thr dB", min: -90, max: 0, step: 1 },
  { path: ["compressor", "ratio"], label: "Comp ratio", min: 1, max: 40, step: 0.1 },
  { path: ["compressor", "kneeDb"], label: "Comp knee dB", min: 0, max: 24, step: 0.5 },
  { path: ["compressor", "attackMs"], label: "Comp att ms", min: 0.05, max: 1000, step: 0.05 },
  { path: ["compressor", "releaseMs"], label: "Comp rel ms", min: 1, max: 4000, step: 1 },
  { path: ["compressor", "makeupDb"], label: "Comp makeup dB", min: -24, max: 24, step: 0.5 },
];
const TOGGLES: { path: (string | number)[]; label: string }[] = [
  { path: ["hpf", "enabled"], label: "HPF" },
  { path: ["eq", "enabled"], label: "EQ" },
  { path: ["gate", "enabled"], label: "Gate" },
  { path: ["compressor", "enabled"], label: "Comp" },
];

function getPath(o: any, path: (string | number)[]): any {
  return path.reduce((a, k) => (a == null ? undefined : a[k]), o);
}
function setPath(o: any, path: (string | number)[], v: unknown): void {
  let a = o;
  for (let i = 0; i < path.length - 1; i++) a = a[path[i]];
  a[path[path.length - 1]] = v;
}

export class StripScreen {
  readonly id = "strip";
  readonly title = "Strip";
  readonly el: HTMLElement;
  private current = "";
  private generation = -1;
  private readonly picker: HTMLSelectElement;
  private readonly body: HTMLElement;
  private readonly params: HTMLElement;
  private procSend: Coalescer<JsonObject>;

  constructor(private readonly store: Store) {
    this.picker = h("select", { "aria-label": "Strip" });
    this.picker.addEventListener("change", () => this.show(this.picker.value));
    this.body = h("div", { class: "strip-detail" });
    this.params = h("div", { class: "vst-params" });
    this.procSend = new Coalescer<JsonObject>((p) => {
      const s = this.strip();
      return s ? this.store.send(processingRequest(s, p)) : Promise.resolve();
    });
    this.el = h("section", { class: "screen strip-screen", "data-screen": this.id }, h("div", { class: "toolbar" }, this.picker), this.body, this.params);
  }

  private strip(): Strip | undefined {
    return this.store.ui ? findStrip(this.store.ui, this.current) : undefined;
  }

  show(id: string): void {
    this.current = id;
    this.generation = -1;
    this.update();
  }

  update(): void {
    const ui = this.store.ui;
    if (!ui || this.generation === this.store.uiGeneration) return;
    this.generation = this.store.uiGeneration;
    const strips = allStrips(ui);
    if (!this.current || !strips.some((s) => s.id === this.current)) this.current = strips[0]?.id ?? "";
    this.picker.replaceChildren(...strips.map((s) => h("option", { value: s.id, text: s.name ?? s.id })));
    this.picker.value = this.current;
    if (document.activeElement && this.body.contains(document.activeElement)) return;
    this.render();
  }

  private render(): void {
    const s = this.strip();
    if (!s) {
      this.body.replaceChildren(h("p", { class: "empty", text: "No strip selected." }));
      return;
    }
    const proc: JsonObject = structuredClone(s.stripProcessing ?? defaultProcessing());
    const parts: HTMLElement[] = [];
    const trim = h("input", { type: "number", min: -60, max: 24, step: 0.5, value: s.trim ?? 0, "aria-label": "Trim dB" });
    trim.addEventListener("change", () => void this.store.send(scalarRequest(s, "trimDb", Number(trim.value))));
    const name = h("input", { type: "text", value: s.name ?? s.id, maxlength: 64, "aria-label": "Strip name" });
    name.addEventListener("change", () => void this.store.send({ method: "uiPatch", params: { uiPatch: { entityId: s.id, key: "name", value: name.value } } }));
    parts.push(h("div", { class: "form-row" }, h("span", { class: "swatch", style: `background:${s.color ?? "#888"}` }),
      h("label", {}, "Name ", name), h("label", {}, "Trim dB ", trim)));
    const toggles = h("div", { class: "form-row" });
    for (const t of TOGGLES) {
      const cb = h("input", { type: "checkbox", "aria-label": t.label });
      cb.checked = getPath(proc, t.path) === true;
      cb.addEventListener("change", () => { setPath(proc, t.path, cb.checked); this.procSend.push(structuredClone(proc)); });
      toggles.append(h("label", { class: "check big" }, cb, ` ${t.label}`));
    }
    parts.push(toggles);
    const grid = h("div", { class: "proc-grid" });
    for (const f of FIELDS) {
      const v = getPath(proc, f.path);
      if (v === undefined) continue;
      const input = h("input", { type: "range", min: f.min, max: f.max, step: f.step, value: v, "aria-label": f.label });
      const out = h("span", { class: "v", text: fmtNum(v, 2) });
      input.addEventListener("input", () => {
        setPath(proc, f.path, Number(input.value));
        setText(out, fmtNum(Number(input.value), 2));
        this.procSend.push(structuredClone(proc));
      });
      grid.append(h("label", { class: "proc" }, h("span", { text: f.label }), input, out));
    }
    parts.push(grid);
    parts.push(h("h3", { text: "Sends" }));
    for (const send of s.sends ?? []) {
      const bus = allStrips(this.store.ui!).find((x) => x.id === send.busId);
      const range = h("input", { type: "range", min: -80, max: 10, step: 0.5, value: send.level, "aria-label": `Send to ${send.busId}` });
      const out = h("span", { class: "v", text: `${send.level <= -80 ? "off" : send.level} dB` });
      const c = new Coalescer<number>((lv) => { const st = this.strip(); return st ? this.store.send(sendRequest(st, send.busId, lv)) : Promise.resolve(); });
      range.addEventListener("input", () => { setText(out, `${Number(range.value) <= -80 ? "off" : range.value} dB`); c.push(Number(range.value)); });
      parts.push(h("label", { class: "proc send" }, h("span", { text: `${bus?.name ?? send.busId} (${send.pre ? "pre" : "post"})` }), range, out));
    }
    parts.push(h("h3", { text: "Inserts" }));
    for (const ins of s.inserts ?? []) {
      const byp = h("input", { type: "checkbox", "aria-label": `Bypass ${ins.id}` });
      byp.checked = ins.bypass === true;
      byp.addEventListener("change", () => void this.store.send(bypassRequest(s, ins.id, byp.checked)));
      const paramsBtn = actionButton("Parameters", () => this.loadParams(ins.id));
      paramsBtn.dataset.action = "getVstParameters";
      const editor = localOnly(actionButton("Open editor", () => this.store.call("showVstEditor", { nodeId: s.id, slotId: ins.id })), this.store.lan);
      editor.dataset.action = "showVstEditor";
      parts.push(h("div", { class: "form-row insert", "data-insert": ins.id }, h("strong", { text: ins.name ?? ins.id }),
        h("label", { class: "check" }, byp, " bypass"), paramsBtn, editor));
    }
    if (!(s.inserts ?? []).length) parts.push(h("p", { class: "empty", text: "No inserts; add them under Session." }));
    this.body.replaceChildren(...parts);
    this.params.replaceChildren();
  }

  private async loadParams(slotId: string): Promise<void> {
    const s = this.strip();
    if (!s) return;
    const r = await this.store.call("getVstParameters", { nodeId: s.id, slotId });
    if (!r.ok) return;
    const list: any[] = Array.isArray(r.result?.parameters) ? r.result.parameters : [];
    const rows = list.slice(0, 256).map((p) => {
      const id = Number(p.id ?? p.parameterId);
      const v = Number(p.value ?? p.normalized ?? 0);
      // Read-only parameters (meters, reported states) show their value but take no input.
      const range = h("input", { type: "range", min: 0, max: 1, step: 0.001, value: v, disabled: p.readOnly === true, "aria-label": String(p.title ?? p.name ?? id) });
      const c = new Coalescer<number>((x) => { const st = this.strip(); return st ? this.store.send(vstParameterRequest(st, slotId, id, x)) : Promise.resolve(); });
      range.addEventListener("input", () => c.push(Number(range.value)));
      return h("label", { class: "proc" }, h("span", { text: String(p.title ?? p.name ?? id) }), range);
    });
    this.params.replaceChildren(h("h3", { text: `Parameters of ${slotId}` }), ...(rows.length ? rows : [h("pre", { text: JSON.stringify(r.result, null, 1) })]));
  }
}
