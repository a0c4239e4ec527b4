// Scenes (capture, recall with the four safes, rename, delete, current), LAN control settings,
// and diagnostics: the whole state as a tree and the last replies and refusals.

import { actionButton, fieldTable, h, localOnly, localReason, setText, type Field } from "../dom";
import type { Store } from "../store";
import { freeSceneId, sessionPatch } from "../rules";

const SAFES = ["levels", "processing", "routing", "fx"] as const;

/**
 * Why scenes cannot be captured or recalled now ("" when they can): the stage computer reads
 * every plug-in's state and rebuilds the mix for them, which needs stopped audio and recording.
 */
export function sceneLock(status: any, lan: boolean): string {
  const audio = status?.audio?.running === true;
  const recording = status?.recording?.active === true;
  if (!audio && !recording) return "";
  const what = audio && recording ? "audio and recording" : audio ? "audio" : "recording";
  return lan
    ? `Scenes need stopped audio and recording: the stage computer must stop ${what} first.`
    : `Scenes need stopped audio and recording: stop ${what} first.`;
}

export class ScenesScreen {
  readonly id = "scenes";
  readonly title = "Scenes";
  readonly el: HTMLElement;
  private readonly list: HTMLElement;
  private readonly name: HTMLInputElement;
  private readonly safeBoxes: Record<string, HTMLInputElement> = {};
  private readonly current: HTMLElement;
  private generation = -1;
  private storedKey = "";
  private readonly lock: HTMLElement;
  private readonly captureBtn: HTMLButtonElement;
  private sceneButtons: HTMLButtonElement[] = [];
  private lockText = "";

  constructor(private readonly store: Store) {
    this.lock = h("p", { class: "lock-reason", "data-lock": "scenes", role: "status" });
    this.list = h("div", { class: "scene-list" });
    this.name = h("input", { type: "text", maxlength: 192, placeholder: "Scene name", "aria-label": "Scene name" });
    this.current = h("p", { class: "current-scene" });
    const safes = h("div", { class: "form-row" }, h("span", { text: "Recall safes:" }));
    for (const k of SAFES) {
      const cb = h("input", { type: "checkbox", "aria-label": `Safe ${k}` });
      this.safeBoxes[k] = cb;
      safes.append(h("label", { class: "check big" }, cb, ` ${k}`));
    }
    const keepSafes = actionButton("Keep safes", () => this.store.call("uiPatch", sessionPatch("safe", this.safes(), Math.max(0, this.store.revision)).params));
    keepSafes.dataset.action = "saveSafes";
    safes.append(keepSafes);
    const capture = actionButton("Capture new scene", () => this.capture(), "primary");
    capture.dataset.action = "captureScene";
    this.captureBtn = capture;
    this.el = h("section", { class: "screen scenes", "data-screen": this.id },
      h("div", { class: "toolbar" }, this.name, capture), this.lock, safes, this.current, this.list);
  }

  /** Capture, update and recall are disabled, with the reason beside them, while they would be refused. */
  private applyLock(): void {
    const reason = sceneLock(this.store.status, this.store.lan);
    this.lockText = reason;
    setText(this.lock, reason);
    for (const b of [this.captureBtn, ...this.sceneButtons]) {
      if (b.disabled !== (reason !== "")) b.disabled = reason !== "";
      b.title = reason;
    }
  }

  private safes() {
    return Object.fromEntries(SAFES.map((k) => [k, this.safeBoxes[k].checked])) as Record<(typeof SAFES)[number], boolean>;
  }

  private async capture(id?: string, name?: string) {
    const ui = this.store.ui;
    if (!ui) return;
    const sceneId = id ?? freeSceneId(ui);
    const n = name ?? (this.name.value.trim() || `Scene ${(ui.scenes ?? []).length + 1}`);
    const r = await this.store.structural("captureScene", { sceneId, name: n });
    if (r.ok) this.name.value = "";
  }

  update(): void {
    const ui = this.store.ui;
    const stored: string[] = this.store.status?.scenes?.storedIds ?? [];
    const key = stored.join(",");
    if (sceneLock(this.store.status, this.store.lan) !== this.lockText) this.applyLock();
    if (!ui || (this.generation === this.store.uiGeneration && key === this.storedKey)) return;
    this.generation = this.store.uiGeneration;
    this.storedKey = key;
    const safe = ui.safe ?? { levels: false, processing: false, routing: false, fx: false };
    for (const k of SAFES) this.safeBoxes[k].checked = safe[k] === true;
    setText(this.current, ui.currentScene ? `Current scene: ${ui.scenes?.find((s) => s.id === ui.currentScene)?.name ?? ui.currentScene}` : "No current scene");
    const rows = (ui.scenes ?? []).map((s) => {
      const rename = h("input", { type: "text", value: s.name, maxlength: 192, "aria-label": `Rename ${s.id}` });
      const recall = actionButton("Recall", () => this.store.structural("recallScene", { sceneId: s.id, safe: this.safes() }), "primary big");
      recall.dataset.action = "recallScene";
      const update = actionButton("Update", () => this.capture(s.id, s.name));
      update.dataset.action = "updateScene";
      const renameBtn = actionButton("Rename", () => {
        const scenes = (ui.scenes ?? []).map((x) => (x.id === s.id ? { ...x, name: rename.value } : x));
        return this.store.call("uiPatch", sessionPatch("scenes", scenes, Math.max(0, this.store.revision)).params);
      });
      const del = actionButton("Delete", () => {
        const scenes = (ui.scenes ?? []).filter((x) => x.id !== s.id);
        const p = this.store.call("uiPatch", sessionPatch("scenes", scenes, Math.max(0, this.store.revision)).params);
        return ui.currentScene === s.id ? p.then(() => this.store.call("uiPatch", sessionPatch("currentScene", "").params)) : p;
      }, "danger");
      return h("div", { class: `scene-row${ui.currentScene === s.id ? " current" : ""}`, "data-scene": s.id },
        h("span", { class: "mono", text: s.id }), rename, recall, update, renameBtn, del,
        h("span", { class: "hint", text: stored.includes(s.id) ? "stored" : "no native state" }));
    });
    this.list.replaceChildren(...(rows.length ? rows : [h("p", { class: "empty", text: "No scenes yet." })]));
    this.sceneButtons = Array.from(this.list.querySelectorAll<HTMLButtonElement>('[data-action="recallScene"], [data-action="updateScene"]'));
    this.applyLock();
  }
}

const LAN_FIELDS: readonly Field[] = [
  ["enabled", "LAN control on", "bool"], ["port", "Port", "int"], ["webSocketClients", "Clients connected now", "int"],
  ["clients", "Logins still valid", "int"], ["loopbackOnly", "This computer only (loopback)", "bool"],
  ["snapshotHz", "State updates to clients", "text"], ["transport", "Transport", "text"],
];

export class LanScreen {
  readonly id = "lan";
  readonly title = "LAN";
  readonly el: HTMLElement;
  private readonly status: HTMLElement;
  private readonly statusTable = fieldTable(LAN_FIELDS, "kv lan-status");
  private readonly urls: HTMLElement;
  private readonly enabled: HTMLInputElement;
  private readonly port: HTMLInputElement;
  private readonly password: HTMLInputElement;
  private readonly result: HTMLElement;
  private key = "";

  constructor(private readonly store: Store) {
    const lan = store.lan;
    this.status = this.statusTable.el;
    this.urls = h("ul", { class: "urls" });
    this.enabled = localOnly(h("input", { type: "checkbox", "aria-label": "LAN control enabled" }), lan);
    this.port = localOnly(h("input", { type: "number", min: 1024, max: 65535, value: 8080, "aria-label": "Port" }), lan);
    this.password = localOnly(h("input", { type: "password", autocomplete: "new-password", placeholder: "8 or more characters; blank keeps it", "aria-label": "LAN password" }), lan);
    this.result = h("p", { class: "result" });
    const apply = localOnly(actionButton("Apply LAN settings", async () => {
      const r = await this.store.call("configureRemote", { enabled: this.enabled.checked, port: Number(this.port.value), password: this.password.value });
      this.password.value = "";
      setText(this.result, r.ok ? "LAN settings applied" : String(r.error));
    }, "primary"), lan);
    apply.dataset.action = "configureRemote";
    this.el = h("section", { class: "screen lan", "data-screen": this.id },
      localReason(lan),
      h("div", { class: "form-row" }, h("label", { class: "check big" }, this.enabled, " Enable LAN control"), h("label", {}, "Port ", this.port),
        h("label", {}, "Password ", this.password), apply),
      this.result,
      h("p", { class: "hint", text: "Phones and tablets open one of these addresses (the computer's IP address, not \"localhost\")." }),
      this.urls, this.status);
  }

  update(): void {
    const r = this.store.status?.remote;
    if (!r) return;
    const key = JSON.stringify(r);
    if (key === this.key) return;
    this.key = key;
    if (document.activeElement !== this.port) this.port.value = String(r.port || this.port.value);
    this.enabled.checked = r.enabled === true;
    this.urls.replaceChildren(...(Array.isArray(r.urls) ? r.urls : []).map((u: string) => h("li", { class: "mono big", text: u })));
    this.statusTable.update({ ...r, snapshotHz: typeof r.snapshotHz === "number" ? `${r.snapshotHz} per second` : r.snapshotHz });
  }
}

export class DiagnosticsScreen {
  readonly id = "diagnostics";
  readonly title = "Diagnostics";
  readonly el: HTMLElement;
  private readonly tree: HTMLElement;
  private readonly traffic: HTMLElement;
  private readonly refusals: HTMLElement;
  private readonly perf: HTMLElement;
  private last = 0;

  constructor(private readonly store: Store) {
    this.tree = h("div", { class: "tree", "data-tree": "state" });
    this.traffic = h("div", { class: "traffic" });
    this.refusals = h("div", { class: "traffic", "data-list": "refusals" });
    this.perf = h("p", { class: "hint" });
    const status = actionButton("Status", () => this.store.call("status"));
    status.dataset.action = "status";
    const gcs = actionButton("getControlState", () => this.store.call("getControlState", { after: 0 }));
    gcs.dataset.action = "getControlState";
    this.el = h("section", { class: "screen diagnostics", "data-screen": this.id },
      h("div", { class: "toolbar" }, status, gcs), this.perf,
      h("h3", { text: "Refusals" }), this.refusals,
      h("h3", { text: "State" }), this.tree,
      h("h3", { text: "Last replies" }), this.traffic);
  }

  update(): void {
    const now = performance.now();
    if (now - this.last < 500) return; // a tree of everything is rebuilt at most twice a second
    this.last = now;
    setText(this.perf, `States received: ${this.store.stateCount}; last applied in ${this.store.lastApplyMs.toFixed(2)} ms`);
    const open = new Set(Array.from(this.tree.querySelectorAll("details[open]")).map((d) => (d as HTMLElement).dataset.path ?? ""));
    this.tree.replaceChildren(node("R", { revision: this.store.revision, status: this.store.status, uiState: this.store.ui }, "R", open, 0));
    this.refusals.replaceChildren(...(this.store.errors.length ? this.store.errors.slice().reverse().map((t) =>
      h("div", { class: "traffic-row bad", "data-refusal-entry": "" },
        h("span", { class: "mono", text: `${new Date(t.at).toLocaleTimeString()} ${t.request?.method ?? ""}` }),
        h("span", { text: String(t.reply.error) }),
        t.hint ? h("span", { class: "refusal-hint", text: t.hint }) : null)) : [h("p", { class: "empty", text: "No refusals." })]));
    this.traffic.replaceChildren(...this.store.traffic.slice().reverse().map((t) =>
      h("div", { class: `traffic-row ${t.reply.ok ? "ok" : "bad"}` },
        h("span", { class: "mono", text: `${new Date(t.at).toLocaleTimeString()} ${t.request?.method ?? ""}` }),
        h("span", { class: "mono", text: t.reply.ok ? "ok" : String(t.reply.error) }))));
  }
}

function node(label: string, value: unknown, path: string, open: Set<string>, depth: number): HTMLElement {
  if (value === null || typeof value !== "object") {
    return h("div", { class: "leaf", "data-path": path }, h("span", { class: "k", text: `${label}: ` }), h("span", { class: "v", text: JSON.stringify(value) }));
  }
  const entries = Array.isArray(value) ? value.map((v, i) => [String(i), v] as const) : Object.entries(value as object);
  const d = h("details", { "data-path": path });
  if (depth < 2 || open.has(path)) d.open = true;
  d.append(h("summary", { text: `${label} ${Array.isArray(value) ? `[${entries.length}]` : `{${entries.length}}`}` }));
  for (const [k, v] of entries.slice(0, 200)) d.append(node(k, v, `${path}.${k}`, open, depth + 1));
  return d;
}
