// The console: one column per strip and DCA. Input strips, buses and DCAs scroll sideways; the
// main bus stays pinned at the right edge. Columns are built when the set of strips changes; a
// state message only updates values that changed, and the meters draw what changed once a frame.

import { h, setClass, setText } from "../dom";
import type { Store } from "../store";
import {
  Coalescer, STRIP_ARRAYS, dcaRequest, faderRequest, findStrip, muteRequest, scalarRequest,
  effectiveMute, type Dca, type Strip, type UiDocument,
} from "../rules";
import { Fader, MeterBank } from "../widgets";

interface Column {
  id: string;
  dca: boolean;
  fader: Fader;
  mute: HTMLButtonElement;
  solo?: HTMLButtonElement;
  polarity?: HTMLButtonElement;
  arm?: HTMLButtonElement;
  pan?: HTMLInputElement;
  badge: HTMLElement;
  el: HTMLElement;
  coalesce: Coalescer<number>;
}

const NO_CUE = "Solo needs a cue bus; this session has none";

const SECTION_TITLES: Record<string, string> = {
  channels: "Channels", aux: "Aux", groups: "Groups", matrices: "Matrices", returns: "Returns",
  master: "Main", mono: "Mono", monitor: "Cue", dcas: "DCA",
};

export class MixerScreen {
  readonly id = "mixer";
  readonly title = "Mixer";
  readonly el: HTMLElement;
  private readonly body: HTMLElement;
  private readonly scroller: HTMLElement;
  private readonly pinned: HTMLElement;
  private readonly cue: HTMLButtonElement;
  private readonly fine: HTMLButtonElement;
  private columns = new Map<string, Column>();
  private structureKey = "";
  private fineMode = false;

  constructor(private readonly store: Store, private readonly meters: MeterBank, private readonly select: (id: string) => void) {
    this.cue = h("button", { class: "btn", type: "button", "data-action": "cueMode", text: "Cue: PFL" });
    this.cue.addEventListener("click", () => {
      const next = this.store.ui?.cueMode === "AFL" ? "PFL" : "AFL";
      void this.store.call("uiPatch", { uiPatch: { entityId: "session", key: "cueMode", value: next } });
    });
    this.fine = h("button", { class: "btn", type: "button", "aria-pressed": "false", text: "Fine" });
    this.fine.addEventListener("click", () => {
      this.fineMode = !this.fineMode;
      this.fine.setAttribute("aria-pressed", String(this.fineMode));
      setClass(this.fine, "on", this.fineMode);
    });
    this.scroller = h("div", { class: "mix-scroll" });
    this.pinned = h("div", { class: "mix-pinned" });
    this.body = h("div", { class: "mixer-body" }, this.scroller, this.pinned);
    this.el = h("section", { class: "screen mixer", "data-screen": this.id },
      h("div", { class: "toolbar" }, this.cue, this.fine,
        h("span", { class: "hint", text: "Drag faders; Shift or Fine for small steps; double-tap or Home for 0 dB; tap a meter to clear its clip mark." })),
      this.body);
  }

  private keyOf(ui: UiDocument): string {
    const parts: string[] = [];
    for (const k of [...STRIP_ARRAYS, "master", "mono", "monitor"] as const) {
      const v = (ui as any)[k];
      const list: Strip[] = Array.isArray(v) ? v : v ? [v] : [];
      parts.push(k + ":" + list.map((s) => `${s.id}|${s.name}|${s.color}|${s.width}`).join(","));
    }
    parts.push("dcas:" + (ui.dcas ?? []).map((d) => `${d.id}|${d.name}`).join(","));
    // Solo is only offered with a cue bus to hear it on.
    parts.push(`cue:${ui.monitor ? 1 : 0}`);
    return parts.join(";");
  }

  update(uiChanged: boolean): void {
    const ui = this.store.ui;
    if (ui && uiChanged) {
      const key = this.keyOf(ui);
      if (key !== this.structureKey) this.rebuild(ui, key);
      this.refreshValues(ui);
    }
    const st = this.store.status;
    if (st) {
      this.meters.feed(st.meters, st.stripMeters);
      this.refreshFaults(st.inserts);
    }
  }

  private rebuild(ui: UiDocument, key: string): void {
    this.structureKey = key;
    for (const id of this.columns.keys()) this.meters.forget(id);
    this.columns.clear();
    this.scroller.replaceChildren();
    this.pinned.replaceChildren();
    const cue = !!ui.monitor;
    for (const k of [...STRIP_ARRAYS, "mono", "monitor", "master"] as const) {
      const v = (ui as any)[k];
      const list: Strip[] = Array.isArray(v) ? v : v ? [v] : [];
      if (!list.length) continue;
      const sec = h("div", { class: `mix-section sec-${k}` }, h("h3", { text: SECTION_TITLES[k] }));
      const row = h("div", { class: "strips" });
      // The main bus has no solo, nor has the cue bus it would be heard on.
      const solo = k === "master" || k === "monitor" ? "none" : cue ? "live" : "noCue";
      for (const s of list) row.append(this.stripColumn(s, k === "channels", solo));
      sec.append(row);
      (k === "master" ? this.pinned : this.scroller).append(sec);
    }
    if ((ui.dcas ?? []).length) {
      const sec = h("div", { class: "mix-section sec-dcas" }, h("h3", { text: SECTION_TITLES.dcas }));
      const row = h("div", { class: "strips" });
      for (const d of ui.dcas ?? []) row.append(this.dcaColumn(d));
      sec.append(row);
      this.scroller.append(sec);
    }
    this.pinned.hidden = !this.pinned.firstChild;
    if (!this.scroller.firstChild && !this.pinned.firstChild) this.scroller.append(h("p", { class: "empty", text: "No session applied. Build one under Session." }));
  }

  private stripColumn(s: Strip, isChannel: boolean, soloMode: "live" | "noCue" | "none"): HTMLElement {
    const id = s.id;
    const send = (db: number) => {
      const ui = this.store.ui;
      const strip = ui && findStrip(ui, id);
      return ui && strip ? this.store.send(faderRequest(ui, strip, db)) : Promise.resolve();
    };
    const coalesce = new Coalescer<number>(send);
    const fader = new Fader({ label: `${s.name ?? id} fader`, onInput: (db) => coalesce.push(db), fine: () => this.fineMode });
    const toggle = (label: string, cls: string, run: (strip: Strip, ui: UiDocument) => void) => {
      const b = h("button", { class: `tog ${cls}`, type: "button", text: label, "aria-pressed": "false" });
      b.addEventListener("click", () => {
        const ui = this.store.ui;
        const strip = ui && findStrip(ui, id);
        if (ui && strip) run(strip, ui);
      });
      return b;
    };
    const mute = toggle("MUTE", "mute", (strip, ui) => void this.store.send(muteRequest(ui, strip, strip.mute !== true)));
    let solo: HTMLButtonElement | undefined;
    if (soloMode === "live") solo = toggle("SOLO", "solo", (strip) => void this.store.send(scalarRequest(strip, "solo", strip.solo !== true)));
    else if (soloMode === "noCue") {
      // Solo is heard on the cue bus; without one it would light and do nothing.
      solo = h("button", { class: "tog solo no-cue", type: "button", disabled: true, "aria-pressed": "false", title: NO_CUE, "aria-label": `SOLO: ${NO_CUE}` },
        h("span", { text: "SOLO" }), h("small", { text: "no cue bus" }));
    }
    const polarity = toggle("Ø", "pol", (strip) => void this.store.send(scalarRequest(strip, "polarity", strip.polarity !== true)));
    const arm = isChannel ? toggle("ARM", "arm", (strip) => void this.store.call("uiPatch", { uiPatch: { entityId: strip.id, key: "arm", value: strip.arm !== true } })) : undefined;
    const pan = h("input", { type: "range", min: -100, max: 100, step: 1, class: "pan", "aria-label": `${s.name ?? id} pan`, title: "Pan; double-tap to centre" });
    const panSend = new Coalescer<number>((v) => {
      const ui = this.store.ui;
      const strip = ui && findStrip(ui, id);
      return strip ? this.store.send(scalarRequest(strip, "pan", v)) : Promise.resolve();
    });
    pan.addEventListener("input", () => panSend.push(Number(pan.value)));
    pan.addEventListener("dblclick", () => { pan.value = "0"; panSend.push(0); });
    const badge = h("span", { class: "fault-badge", hidden: true });
    const name = h("button", { class: "strip-name", type: "button", text: s.name ?? id, title: `Open ${s.name ?? id}` });
    name.addEventListener("click", () => this.select(id));
    const stereo = s.width !== 1;
    const el = h("div", { class: "strip", "data-strip": id, style: `--strip-color:${s.color ?? "#8a96a3"}` },
      h("div", { class: "strip-color" }),
      name,
      badge,
      h("div", { class: "strip-buttons" }, mute, solo ?? null),
      h("div", { class: "fader-row" }, this.meters.meter(id, stereo, s.name ?? id), fader.el),
      this.meters.reduction(id),
      pan,
      h("div", { class: "strip-buttons" }, polarity, arm ?? null),
    );
    this.columns.set(id, { id, dca: false, fader, mute, solo, polarity, arm, pan, badge, el, coalesce });
    return el;
  }

  private dcaColumn(d: Dca): HTMLElement {
    const id = d.id;
    const coalesce = new Coalescer<number>((db) => {
      const dca = this.store.ui?.dcas?.find((x) => x.id === id);
      return dca ? this.store.send(dcaRequest(dca, "level", db)) : Promise.resolve();
    });
    const fader = new Fader({ label: `${d.name ?? id} DCA fader`, onInput: (db) => coalesce.push(db), fine: () => this.fineMode });
    const mute = h("button", { class: "tog mute", type: "button", text: "MUTE", "aria-pressed": "false" });
    mute.addEventListener("click", () => {
      const dca = this.store.ui?.dcas?.find((x) => x.id === id);
      if (dca) void this.store.send(dcaRequest(dca, "mute", dca.mute !== true));
    });
    const badge = h("span", { class: "fault-badge", hidden: true });
    const el = h("div", { class: "strip dca", "data-strip": id, style: `--strip-color:${d.color ?? "#c9a0ff"}` },
      h("div", { class: "strip-color" }),
      h("div", { class: "strip-name", text: d.name ?? id }),
      h("div", { class: "strip-buttons" }, mute),
      h("div", { class: "fader-row" }, fader.el),
      h("div", { class: "dca-members", text: `${(d.members ?? []).length} strips` }),
    );
    this.columns.set(id, { id, dca: true, fader, mute, badge, el, coalesce });
    return el;
  }

  private refreshValues(ui: UiDocument): void {
    setText(this.cue, `Cue: ${ui.cueMode ?? "PFL"}`);
    for (const col of this.columns.values()) {
      if (col.dca) {
        const d = ui.dcas?.find((x) => x.id === col.id);
        if (!d) continue;
        if (!col.coalesce.busy) col.fader.set(d.level ?? 0);
        this.pressed(col.mute, d.mute === true);
        continue;
      }
      const s = findStrip(ui, col.id);
      if (!s) continue;
      if (!col.coalesce.busy) col.fader.set(s.level ?? 0);
      this.pressed(col.mute, s.mute === true);
      setClass(col.el, "muted", effectiveMute(ui, s));
      if (col.solo?.classList.contains("no-cue")) col.solo.disabled = true;
      else if (col.solo) this.pressed(col.solo, s.solo === true);
      if (col.polarity) this.pressed(col.polarity, s.polarity === true);
      if (col.arm) this.pressed(col.arm, s.arm === true);
      if (col.pan && document.activeElement !== col.pan) {
        const v = String(s.pan ?? 0);
        if (col.pan.value !== v) col.pan.value = v;
      }
    }
  }

  private pressed(b: HTMLButtonElement, on: boolean): void {
    const v = String(on);
    if (b.getAttribute("aria-pressed") !== v) b.setAttribute("aria-pressed", v);
    setClass(b, "on", on);
  }

  private faultKey = "";
  private refreshFaults(inserts: any[] | undefined): void {
    const list = Array.isArray(inserts) ? inserts : [];
    const key = list.map((i) => `${i.nodeId}:${i.fault}:${i.error}`).join(",");
    if (key === this.faultKey) return;
    this.faultKey = key;
    const byNode = new Map<string, string[]>();
    for (const i of list) {
      if (!i.fault && !i.error) continue;
      const arr = byNode.get(i.nodeId) ?? [];
      arr.push(`${i.slotId}: ${i.error || `fault ${i.fault}`}`);
      byNode.set(i.nodeId, arr);
    }
    for (const col of this.columns.values()) {
      const faults = byNode.get(col.id);
      col.badge.hidden = !faults;
      setText(col.badge, faults ? `FX ${faults.length}` : "");
      col.badge.title = faults ? faults.join("\n") : "";
    }
  }
}
