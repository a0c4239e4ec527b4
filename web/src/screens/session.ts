// Structure of the mix: a draft of the UI document edited here (strips, buses, sources and
// outputs, routes and sends, DCA membership, inserts) and applied as one structural transaction,
// a new session built from the machine's devices, and session files.

import { actionButton, h, localOnly, localReason, setText } from "../dom";
import type { Store } from "../store";
import {
  MAX_NODES, allStrips, freeId, nativeFromUi, newBus, newChannel, nodeCount, sessionTemplate,
  type DeviceRow, type Port, type Strip, type UiDocument,
} from "../rules";

type BusKind = "aux" | "groups" | "matrices" | "returns";
const BUS_PREFIX: Record<BusKind, string> = { aux: "aux", groups: "grp", matrices: "mtx", returns: "ret" };

export class SessionScreen {
  readonly id = "session";
  readonly title = "Session";
  readonly el: HTMLElement;
  private draft: UiDocument | null = null;
  private draftBase = -1;
  private dirty = false;
  private readonly list: HTMLElement;
  private readonly result: HTMLElement;
  private readonly state: HTMLElement;
  private plugins: { name: string; modulePath: string }[] = [];

  constructor(private readonly store: Store, private readonly devices: () => Promise<DeviceRow[]>) {
    const lan = store.lan;
    this.list = h("div", { class: "draft" });
    this.result = h("p", { class: "result", "data-result": "session" });
    this.state = h("p", { class: "draft-state" });
    const b = (label: string, action: string, run: () => Promise<unknown> | void, local = false, cls = "") => {
      const el = actionButton(label, async () => { await run(); }, cls);
      el.dataset.action = action;
      return local ? localOnly(el, lan) : el;
    };
    this.el = h("section", { class: "screen session", "data-screen": this.id },
      h("div", { class: "toolbar" },
        b("New from devices", "template", () => this.fromDevices(), true),
        b("Add channel", "addChannel", () => this.addChannel(), true),
        b("Add aux", "addAux", () => this.addBus("aux"), true),
        b("Add group", "addGroup", () => this.addBus("groups"), true),
        b("Add matrix", "addMatrix", () => this.addBus("matrices"), true),
        b("Add return", "addReturn", () => this.addBus("returns"), true),
        b("Add DCA", "addDca", () => this.addDca(), true),
        b("Add cue bus", "addCue", () => this.addCue(), true),
        b("Discard draft", "discard", () => this.discard()),
        b("Apply", "applySession", () => this.apply(), true, "primary"),
      ),
      h("div", { class: "toolbar" },
        b("Open session…", "loadSession", () => this.store.call("loadSession", {}), true),
        b("Save session…", "saveSession", () => this.save(), true),
        b("Load plug-in list", "plugins", () => this.loadPlugins()),
      ),
      localReason(lan),
      this.state, this.result, this.list);
  }

  private ensureDraft(): UiDocument | null {
    if (!this.draft && this.store.ui) {
      this.draft = structuredClone(this.store.ui);
      this.draftBase = this.store.revision;
    }
    return this.draft;
  }

  private touch(): void {
    this.dirty = true;
    this.render();
  }

  async fromDevices(): Promise<void> {
    const devices = await this.devices();
    if (!devices.length) {
      setText(this.result, "No devices: refresh the device list under Audio.");
      return;
    }
    this.draft = sessionTemplate(devices).uiState;
    this.draftBase = this.store.revision;
    this.touch();
  }

  private addChannel(): void {
    const d = this.ensureDraft() ?? sessionTemplate([]).uiState;
    this.draft = d;
    if (nodeCount(d) >= MAX_NODES) return setText(this.result, `At most ${MAX_NODES} strips and buses`);
    const id = freeId(d, "in");
    d.channels = d.channels ?? [];
    d.channels.push(newChannel(id, `Ch ${d.channels.length + 1}`, d.channels.length, 1, []));
    this.touch();
  }

  private addBus(kind: BusKind): void {
    const d = this.ensureDraft() ?? sessionTemplate([]).uiState;
    this.draft = d;
    if (nodeCount(d) >= MAX_NODES) return setText(this.result, `At most ${MAX_NODES} strips and buses`);
    const id = freeId(d, BUS_PREFIX[kind]);
    const list = (d[kind] = d[kind] ?? []);
    const bus = newBus(id, `${BUS_PREFIX[kind].toUpperCase()} ${list.length + 1}`, list.length + 3);
    bus.lr = kind !== "matrices";
    list.push(bus);
    // Every channel gets a send to a new aux, off until someone raises it.
    if (kind === "aux") for (const ch of d.channels ?? []) (ch.sends = ch.sends ?? []).push({ busId: id, level: -80, pre: true });
    this.touch();
  }

  private addDca(): void {
    const d = this.ensureDraft();
    if (!d) return;
    d.dcas = d.dcas ?? [];
    const id = freeId(d, "dca");
    d.dcas.push({ id, name: `DCA ${d.dcas.length + 1}`, level: 0, mute: false, members: [] });
    this.touch();
  }

  private addCue(): void {
    const d = this.ensureDraft();
    if (!d || d.monitor) return;
    if (nodeCount(d) >= MAX_NODES) return setText(this.result, `At most ${MAX_NODES} strips and buses`);
    const cue = newBus(freeId(d, "cue"), "Cue", 7);
    cue.lr = false;
    d.monitor = cue;
    this.touch();
  }

  private discard(): void {
    this.draft = null;
    this.dirty = false;
    this.render();
  }

  async apply(): Promise<void> {
    const d = this.ensureDraft();
    if (!d) return setText(this.result, "Nothing to apply: build a session first.");
    const native = nativeFromUi(d);
    const r = await this.store.call("applySession", { native, uiState: d, baseRevision: Math.max(0, this.draftBase) });
    if (r.ok) {
      setText(this.result, `Applied: revision ${r.result.revision}, latency ${r.result.latencySamples} samples`);
      this.draft = null;
      this.dirty = false;
    } else {
      setText(this.result, String(r.error));
    }
    this.render();
  }

  private async save(): Promise<void> {
    const r = await this.store.structural("saveSession", {});
    if (r.ok && r.result?.cancelled) setText(this.result, "Save cancelled");
    else if (r.ok) setText(this.result, `Saved at revision ${r.result.revision}`);
    else setText(this.result, String(r.error));
  }

  private async loadPlugins(): Promise<void> {
    const r = await this.store.call("plugins");
    if (r.ok) {
      this.plugins = r.result.plugins ?? [];
      setText(this.result, `${this.plugins.length} plug-ins (${r.result.scanMode})`);
      this.render();
    }
  }

  update(uiChanged: boolean): void {
    if (uiChanged && !this.dirty) {
      this.draft = null;
      this.render();
    }
    setText(this.state, this.dirty ? `Draft based on revision ${this.draftBase} (now ${this.store.revision}); not applied yet.` : `Showing revision ${this.store.revision}.`);
  }

  private render(): void {
    const d = this.draft ?? this.store.ui;
    if (!d) {
      this.list.replaceChildren(h("p", { class: "empty", text: "No session yet. Use New from devices, then Apply." }));
      return;
    }
    const editable = !this.store.lan;
    const buses = [...(d.aux ?? []), ...(d.groups ?? []), ...(d.matrices ?? []), ...(d.returns ?? [])];
    const rows: HTMLElement[] = [];
    for (const s of allStrips(d)) rows.push(this.stripRow(d, s, buses, editable));
    const dcaRows = (d.dcas ?? []).map((dca) => {
      const members = h("div", { class: "members" });
      for (const s of allStrips(d, false)) {
        const cb = h("input", { type: "checkbox", disabled: !editable, "aria-label": `${s.name} in ${dca.name}` });
        cb.checked = (dca.members ?? []).includes(s.id);
        cb.addEventListener("change", () => {
          this.ensureDraft();
          const t = this.draft!.dcas!.find((x) => x.id === dca.id)!;
          t.members = (t.members ?? []).filter((m) => m !== s.id);
          if (cb.checked) t.members.push(s.id);
          this.touch();
        });
        members.append(h("label", { class: "check" }, cb, ` ${s.name ?? s.id}`));
      }
      return h("div", { class: "draft-row dca" }, h("strong", { text: `${dca.name} (${dca.id})` }), members,
        editable ? h("button", { class: "btn", type: "button", text: "Remove", onclick: () => { this.ensureDraft(); this.draft!.dcas = this.draft!.dcas!.filter((x) => x.id !== dca.id); this.touch(); } }) : null);
    });
    this.list.replaceChildren(...rows, ...dcaRows);
  }

  private stripRow(d: UiDocument, s: Strip, buses: Strip[], editable: boolean): HTMLElement {
    const edit = (f: (t: Strip) => void) => {
      this.ensureDraft();
      const t = allStrips(this.draft!).find((x) => x.id === s.id);
      if (t) f(t);
      this.touch();
    };
    const name = h("input", { type: "text", value: s.name ?? s.id, disabled: !editable, "aria-label": `${s.id} name`, maxlength: 64 });
    name.addEventListener("change", () => edit((t) => { t.name = name.value; }));
    const color = h("input", { type: "color", value: s.color ?? "#888888", disabled: !editable, "aria-label": `${s.id} colour` });
    color.addEventListener("change", () => edit((t) => { t.color = color.value; }));
    const isChannel = (d.channels ?? []).some((c) => c.id === s.id);
    const parts: (HTMLElement | string)[] = [h("span", { class: "mono", text: s.id }), name, color];
    if (isChannel) {
      const width = h("select", { disabled: !editable, "aria-label": `${s.id} width` }, h("option", { value: 1, text: "mono" }), h("option", { value: 2, text: "stereo" }));
      width.value = String(s.width === 1 ? 1 : 2);
      width.addEventListener("change", () => edit((t) => { t.width = Number(width.value); t.sourcePorts = (t.sourcePorts ?? []).slice(0, t.width); }));
      const src = h("input", { type: "text", disabled: !editable, value: portsText(s.sourcePorts), placeholder: "device#channel, …", "aria-label": `${s.id} source` });
      src.addEventListener("change", () => edit((t) => { t.sourcePorts = parsePorts(src.value); t.sourceType = t.sourcePorts.length ? "device" : "none"; }));
      // A loaded WAV file can feed the strip instead of a device: its first lanes, one per side.
      const files: any[] = this.store.status?.playback?.files ?? [];
      const kind = h("select", { disabled: !editable, "aria-label": `${s.id} source kind` },
        h("option", { value: "", text: "device" }), ...files.map((f) => h("option", { value: String(f.id), text: `file ${f.name ?? f.id}` })));
      kind.value = s.sourceType === "file" ? String(s.fileId ?? "") : "";
      kind.addEventListener("change", () => edit((t) => {
        const f = files.find((x) => String(x.id) === kind.value);
        if (!f) {
          t.sourceType = (t.sourcePorts ?? []).length ? "device" : "none";
          return;
        }
        const width = t.width === 1 ? 1 : 2;
        t.sourceType = "file";
        t.fileId = f.id;
        t.fileChannels = Array.from({ length: width }, (_, i) => Math.min(i, Math.max(0, (f.channels ?? 1) - 1)));
      }));
      parts.push(width, kind, h("label", {}, "in ", src));
    }
    const outs = h("input", { type: "text", disabled: !editable, value: portsText(s.outputPorts), placeholder: "device:channel, …", "aria-label": `${s.id} outputs` });
    outs.addEventListener("change", () => edit((t) => { t.outputPorts = parsePorts(outs.value); }));
    parts.push(h("label", {}, "out ", outs));
    if (s.id !== (d.master?.id ?? "")) {
      const lr = h("input", { type: "checkbox", disabled: !editable, "aria-label": `${s.id} to main` });
      lr.checked = s.lr === true;
      lr.addEventListener("change", () => edit((t) => { t.lr = lr.checked; }));
      parts.push(h("label", { class: "check" }, lr, " main"));
    }
    for (const bus of buses) {
      if (bus.id === s.id) continue;
      const has = (s.sends ?? []).some((x) => x.busId === bus.id);
      const cb = h("input", { type: "checkbox", disabled: !editable, "aria-label": `${s.id} send to ${bus.id}` });
      cb.checked = has;
      cb.addEventListener("change", () => edit((t) => {
        t.sends = (t.sends ?? []).filter((x) => x.busId !== bus.id);
        if (cb.checked) t.sends.push({ busId: bus.id, level: -80, pre: false });
      }));
      parts.push(h("label", { class: "check" }, cb, ` ${bus.name ?? bus.id}`));
      const send = (s.sends ?? []).find((x) => x.busId === bus.id);
      if (send) {
        const tap = h("select", { disabled: !editable, "aria-label": `${s.id} send to ${bus.id} tap` },
          h("option", { value: "post", text: "post" }), h("option", { value: "pre", text: "pre" }));
        tap.value = send.pre ? "pre" : "post";
        tap.addEventListener("change", () => edit((t) => {
          const x = (t.sends ?? []).find((y) => y.busId === bus.id);
          if (x) x.pre = tap.value === "pre";
        }));
        parts.push(tap);
      }
    }
    if (editable && this.plugins.length) {
      const pick = h("select", { "aria-label": `${s.id} add insert` }, h("option", { value: "", text: "+ insert" }), ...this.plugins.map((p) => h("option", { value: p.modulePath, text: p.name })));
      pick.addEventListener("change", () => {
        if (!pick.value) return;
        const p = this.plugins.find((x) => x.modulePath === pick.value)!;
        edit((t) => {
          t.inserts = t.inserts ?? [];
          if (t.inserts.length >= 16) return;
          let n = 1;
          const used = new Set(allStrips(this.draft!).flatMap((x) => (x.inserts ?? []).map((i) => i.id)));
          while (used.has(`${t.id}-fx${n}`)) n++;
          t.inserts.push({ id: `${t.id}-fx${n}`, name: p.name, modulePath: p.modulePath, enabled: true, bypass: false, parameters: {} });
        });
      });
      parts.push(pick);
    }
    for (const ins of s.inserts ?? []) {
      parts.push(h("span", { class: "chip", text: ins.name ?? ins.id }),
        editable ? h("button", { class: "btn small", type: "button", text: "×", "aria-label": `Remove ${ins.id}`, onclick: () => edit((t) => { t.inserts = (t.inserts ?? []).filter((i) => i.id !== ins.id); }) }) : "");
    }
    const removable = editable && s.id !== (d.master?.id ?? "");
    if (removable) {
      parts.push(h("button", { class: "btn", type: "button", text: "Remove", onclick: () => {
        this.ensureDraft();
        const dr = this.draft!;
        for (const k of ["channels", "aux", "groups", "matrices", "returns"] as const) if (dr[k]) dr[k] = dr[k]!.filter((x) => x.id !== s.id);
        if (dr.monitor?.id === s.id) delete dr.monitor;
        if (dr.mono?.id === s.id) delete dr.mono;
        for (const x of allStrips(dr)) {
          if (x.sends) x.sends = x.sends.filter((y) => y.busId !== s.id);
          if (x.groups) x.groups = x.groups.filter((g) => g !== s.id);
        }
        for (const dca of dr.dcas ?? []) dca.members = (dca.members ?? []).filter((m) => m !== s.id);
        this.touch();
      } }));
    }
    return h("div", { class: "draft-row", "data-draft": s.id, style: `--strip-color:${s.color ?? "#888"}` }, ...parts);
  }
}

function portsText(ports: Port[] | undefined): string {
  return (ports ?? []).map((p) => `${p.deviceId}#${p.channel}`).join(", ");
}

function parsePorts(text: string): Port[] {
  return text.split(",").map((x) => x.trim()).filter(Boolean).map((x) => {
    const i = x.lastIndexOf("#");
    return i > 0 ? { deviceId: x.slice(0, i), channel: Number(x.slice(i + 1)) | 0 } : { deviceId: x, channel: 0 };
  });
}
