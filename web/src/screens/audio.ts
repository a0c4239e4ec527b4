// Devices and the audio path: which endpoints exist, which are selected (kept in the UI
// document's "device" section with the start-up preference), start and stop, and the health of
// every running stream.

import { actionButton, fieldTable, fmtField, h, kv, localOnly, localReason, setText, type Field } from "../dom";
import type { Store } from "../store";
import type { DevicePrefs, DeviceRow } from "../rules";

const AUDIO_FIELDS: readonly Field[] = [
  ["running", "Running", "bool"], ["sampleRate", "Sample rate", "rate"], ["blockFrames", "Block", "frames"],
  ["inputChannels", "Input channels", "int"], ["outputChannels", "Output channels", "int"], ["callbacks", "Callbacks", "int"],
  ["xruns", "Xruns", "int"], ["reportedOutputMs", "Output latency (device)", "ms"], ["maximumCallbackMs", "Longest callback", "ms"],
  ["maximumRenderWorkMs", "Longest render work", "ms"], ["renderDeadlineOverruns", "Render deadline overruns", "int"],
  ["startupMissingFrames", "Frames missing at start", "frames"], ["graphLatencySamples", "Mix latency", "samples"], ["error", "Error", "text"],
];

const STREAM_FIELDS: readonly Field[] = [
  ["name", "Name", "text"], ["id", "Id", "text"], ["status", "Status", "text"], ["firstChannel", "First channel", "int"],
  ["channels", "Channels", "int"], ["sampleRate", "Sample rate", "rate"], ["correctionPpm", "Drift correction", "ppm"],
  ["queueMilliseconds", "Queue", "ms"], ["targetQueueMilliseconds", "Target queue", "ms"], ["discontinuities", "Discontinuities", "int"],
  ["missingFrames", "Missing frames", "frames"], ["bufferFrames", "Buffer", "frames"], ["periodFrames", "Period", "frames"],
  ["reportedLatencyMilliseconds", "Reported latency", "ms"], ["primed", "Primed", "bool"], ["lowLatencyShared", "Low-latency shared mode", "bool"],
  ["startupMissingFrames", "Frames missing at start", "frames"], ["startupDiscontinuities", "Discontinuities at start", "int"],
];

const CAPABILITY_LABELS: Record<string, string> = {
  nativeEngine: "Native engine", backend: "Audio backend", physicalAudio: "Physical audio", vst3Host: "VST3 plug-ins",
  recorder: "Recorder", recorderTaps: "Recorder taps", sessionStore: "Session files", scenes: "Scenes", playback: "WAV playback",
  remote: "Reached over the LAN", maxNodes: "Most strips and buses", maxBlock: "Largest block (frames)",
  builtInEffects: "Built-in effects", stripProcessing: "Strip processing",
};

/** The latency a listener hears: what the device reports plus the mix's own, in ms. */
export function totalLatencyMs(a: any): number {
  const rate = a?.sampleRate || 48000;
  return (a?.reportedOutputMs ?? 0) + ((a?.graphLatencySamples ?? 0) / rate) * 1000;
}

export function defaultPrefs(): DevicePrefs {
  return { inputs: [], outputs: [], masterOutputId: "", requestedRate: 48000, requestedBlock: 128, autoStart: false };
}

export function startParams(p: DevicePrefs): object {
  return {
    requestedRate: p.requestedRate,
    requestedBlock: p.requestedBlock,
    masterOutputId: p.masterOutputId,
    inputs: p.inputs.map((i) => ({ id: i.id, exclusive: i.exclusive === true })),
    outputs: p.outputs.map((o) => ({ id: o.id, exclusive: o.exclusive === true })),
  };
}

export class AudioScreen {
  readonly id = "audio";
  readonly title = "Audio";
  readonly el: HTMLElement;
  devices: DeviceRow[] = [];
  private readonly deviceTable: HTMLElement;
  private readonly streams: HTMLElement;
  private readonly audioTable: ReturnType<typeof fieldTable>;
  private readonly latency: HTMLElement;
  private readonly caps: HTMLElement;
  private readonly rate: HTMLSelectElement;
  private readonly block: HTMLSelectElement;
  private readonly autoStart: HTMLInputElement;
  private prefs: DevicePrefs = defaultPrefs();
  private prefsGeneration = -1;

  constructor(private readonly store: Store) {
    const lan = store.lan;
    this.deviceTable = h("tbody");
    this.streams = h("div", { class: "streams" });
    this.audioTable = fieldTable(AUDIO_FIELDS);
    this.latency = kv(this.audioTable.el, "Latency");
    this.latency.dataset.field = "latency";
    this.caps = h("table", { class: "kv caps" });
    this.rate = h("select", { "aria-label": "Sample rate" });
    for (const r of [44100, 48000, 88200, 96000]) this.rate.append(h("option", { value: r, text: fmtField(r, "rate") }));
    this.block = h("select", { "aria-label": "Block size" });
    for (const b of [32, 64, 128, 256, 512, 1024]) this.block.append(h("option", { value: b, text: `${b} frames` }));
    this.autoStart = h("input", { type: "checkbox", "aria-label": "Start audio when the page loads" });
    localOnly(this.rate, lan);
    localOnly(this.block, lan);
    localOnly(this.autoStart, lan);

    const start = localOnly(actionButton("Start audio", () => this.start(), "primary"), lan);
    start.dataset.action = "startAudio";
    const stop = localOnly(actionButton("Stop audio", () => this.store.call("stopAudio", {}), "danger"), lan);
    stop.dataset.action = "stopAudio";
    const save = localOnly(actionButton("Keep selection", () => this.savePrefs()), lan);
    save.dataset.action = "saveDevicePrefs";
    const refresh = actionButton("Refresh devices", () => this.refresh());
    refresh.dataset.action = "devices";
    const capsBtn = actionButton("Capabilities", async () => {
      const r = await this.store.call("capabilities");
      if (!r.ok || !r.result || typeof r.result !== "object") return;
      this.caps.replaceChildren();
      for (const [k, v] of Object.entries(r.result as Record<string, unknown>)) {
        const text = Array.isArray(v) ? v.join(", ") : typeof v === "boolean" ? fmtField(v, "bool") : String(v);
        setText(kv(this.caps, CAPABILITY_LABELS[k] ?? k), text);
      }
    });
    capsBtn.dataset.action = "capabilities";
    this.el = h("section", { class: "screen audio", "data-screen": this.id },
      h("div", { class: "toolbar" }, start, stop, refresh, capsBtn),
      localReason(lan),
      h("h3", { text: "Devices" }),
      h("table", { class: "grid" },
        h("thead", {}, h("tr", {}, ...["Use", "Clock", "Exclusive", "Name", "Id", "Kind", "Channels", "Sample rate", "Available"].map((t) => h("th", { text: t })))),
        this.deviceTable),
      h("div", { class: "form-row" },
        h("label", {}, "Rate ", this.rate), h("label", {}, "Block ", this.block),
        h("label", { class: "check" }, this.autoStart, " Start audio with this selection when the console opens"), save),
      h("h3", { text: "Audio path" }), this.audioTable.el,
      h("h3", { text: "Streams" }), this.streams,
      h("h3", { text: "Capabilities" }), this.caps);
  }

  async refresh(): Promise<void> {
    const r = await this.store.call("devices");
    if (r.ok && Array.isArray(r.result?.devices)) {
      this.devices = r.result.devices;
      this.renderDevices();
    }
  }

  private takePrefs(): void {
    const ui = this.store.ui;
    if (!ui || this.prefsGeneration === this.store.uiGeneration) return;
    this.prefsGeneration = this.store.uiGeneration;
    this.prefs = { ...defaultPrefs(), ...(ui.device ?? {}) } as DevicePrefs;
    this.rate.value = String(this.prefs.requestedRate);
    this.block.value = String(this.prefs.requestedBlock);
    this.autoStart.checked = this.prefs.autoStart === true;
    this.renderDevices();
  }

  private renderDevices(): void {
    const lan = this.store.lan;
    const rows = this.devices.map((d) => {
      const list = d.capture ? this.prefs.inputs : this.prefs.outputs;
      const sel = list.find((x) => x.id === d.id);
      const use = localOnly(h("input", { type: "checkbox", "aria-label": `Use ${d.name}` }), lan);
      use.checked = !!sel;
      use.addEventListener("change", () => {
        const l = d.capture ? this.prefs.inputs : this.prefs.outputs;
        const i = l.findIndex((x) => x.id === d.id);
        if (use.checked && i < 0) l.push({ id: d.id, exclusive: false });
        if (!use.checked && i >= 0) l.splice(i, 1);
        if (!d.capture && !use.checked && this.prefs.masterOutputId === d.id) this.prefs.masterOutputId = this.prefs.outputs[0]?.id ?? "";
        if (!d.capture && use.checked && !this.prefs.masterOutputId) this.prefs.masterOutputId = d.id;
        this.renderDevices();
      });
      const clock = d.capture ? h("span", { text: "" }) : localOnly(h("input", { type: "radio", name: "clock", "aria-label": `Clock from ${d.name}` }), lan);
      if (clock instanceof HTMLInputElement) {
        clock.checked = this.prefs.masterOutputId === d.id;
        clock.addEventListener("change", () => { this.prefs.masterOutputId = d.id; });
      }
      const excl = localOnly(h("input", { type: "checkbox", "aria-label": `Exclusive ${d.name}` }), lan);
      excl.checked = sel?.exclusive === true;
      excl.addEventListener("change", () => { const s = (d.capture ? this.prefs.inputs : this.prefs.outputs).find((x) => x.id === d.id); if (s) s.exclusive = excl.checked; });
      return h("tr", { "data-device": d.id }, h("td", {}, use), h("td", {}, clock), h("td", {}, excl), h("td", { text: d.name }), h("td", { class: "mono", text: d.id }),
        h("td", { text: d.capture ? "input" : "output" }), h("td", { text: String(d.channels) }), h("td", { text: fmtField(d.sampleRate, "rate") }), h("td", { text: d.available ? "yes" : "no" }));
    });
    this.deviceTable.replaceChildren(...rows);
  }

  private readForm(): DevicePrefs {
    return { ...this.prefs, requestedRate: Number(this.rate.value), requestedBlock: Number(this.block.value), autoStart: this.autoStart.checked };
  }

  private savePrefs() {
    return this.store.call("uiPatch", { uiPatch: { entityId: "session", key: "device", value: this.readForm() }, baseRevision: Math.max(0, this.store.revision) });
  }

  private async start() {
    const prefs = this.readForm();
    return this.store.call("startAudio", startParams(prefs));
  }

  private asked = false;
  private streamTables: ReturnType<typeof fieldTable>[] = [];

  update(): void {
    if (!this.asked && !this.el.hidden) {
      this.asked = true;
      void this.refresh();
    }
    this.takePrefs();
    const a = this.store.status?.audio;
    if (!a) return;
    this.audioTable.update(a);
    setText(this.latency, fmtField(totalLatencyMs(a), "ms"));
    const streams: any[] = Array.isArray(a.streams) ? a.streams : [];
    if (this.streamTables.length !== streams.length) {
      this.streamTables = streams.map(() => fieldTable(STREAM_FIELDS, "kv stream"));
      this.streams.replaceChildren(...this.streamTables.map((t, i) =>
        h("div", { class: "stream-box" }, h("h4", { text: streams[i]?.capture ? "Input" : "Output" }), t.el)));
    }
    streams.forEach((s, i) => this.streamTables[i].update(s));
  }
}
