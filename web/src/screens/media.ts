// File playback (load with progress, the file list, transport, loop) and take recording
// (folder, armed tracks, start and stop, every recorder member and the capture health).

import { actionButton, fieldTable, fmtField, fmtNum, h, localOnly, localReason, setText, type Field } from "../dom";
import type { Store } from "../store";
import type { RecorderPrefs } from "../rules";

const PLAYBACK_FIELDS: readonly Field[] = [
  ["state", "State", "text"], ["playing", "Playing", "bool"], ["routingReady", "Routing applied", "bool"],
  ["positionSeconds", "Position", "seconds"], ["durationSeconds", "Length", "seconds"], ["frame", "Position (frames)", "int"],
  ["requestedFrame", "Requested position (frames)", "int"], ["durationFrames", "Length (frames)", "int"],
  ["sampleRate", "Sample rate", "rate"], ["loadedChannels", "Loaded channels", "int"], ["residentAudioBytes", "Audio in memory", "bytes"],
  ["looping", "Looping", "bool"], ["loopStartFrame", "Loop start (frames)", "int"], ["loopEndFrame", "Loop end (frames)", "int"],
  ["incomplete", "Incomplete", "bool"], ["error", "Error", "text"],
];
const RECORDING_FIELDS: readonly Field[] = [
  ["state", "State", "text"], ["active", "Busy", "bool"], ["takeDirectory", "Take folder", "text"], ["sampleRate", "Sample rate", "rate"],
  ["writtenFrames", "Frames written", "int"], ["acceptedFrames", "Frames accepted", "int"], ["committedFrames", "Frames committed", "int"],
  ["droppedFrames", "Frames dropped", "int"], ["firstDroppedFrame", "First dropped frame", "int"], ["queuedBlocks", "Blocks queued", "int"],
  ["queueBytes", "Queue", "bytes"], ["stallToleranceSeconds", "Stall tolerance", "seconds"], ["incomplete", "Incomplete", "bool"],
  ["captureIssue", "Capture issue", "bool"], ["error", "Error", "text"],
];
const HEALTH_FIELDS: readonly Field[] = [
  ["missingFrames", "Missing frames", "frames"], ["discontinuities", "Discontinuities", "int"],
  ["startupMissingFrames", "Frames missing at start", "frames"], ["xruns", "Xruns", "int"],
  ["renderDeadlineOverruns", "Render deadline overruns", "int"], ["sourceLost", "Source lost", "bool"],
  ["captureIssue", "Capture issue", "bool"], ["error", "Error", "text"],
];

export class PlaybackScreen {
  readonly id = "playback";
  readonly title = "Playback";
  readonly el: HTMLElement;
  private readonly table = fieldTable(PLAYBACK_FIELDS);
  private readonly files: HTMLElement;
  private readonly progress: HTMLProgressElement;
  private readonly seek: HTMLInputElement;
  private readonly loopStart: HTMLInputElement;
  private readonly loopEnd: HTMLInputElement;
  private filesKey = "";

  constructor(private readonly store: Store) {
    const lan = store.lan;
    this.files = h("tbody");
    this.progress = h("progress", { max: 1, value: 0, class: "job-progress" });
    this.seek = h("input", { type: "range", min: 0, max: 1, step: 1, value: 0, "aria-label": "Position", class: "wide" });
    this.seek.addEventListener("change", () => void this.store.call("seekPlayback", { frame: Number(this.seek.value) }));
    this.loopStart = h("input", { type: "number", min: 0, step: 1, value: 0, "aria-label": "Loop start frame" });
    this.loopEnd = h("input", { type: "number", min: 0, step: 1, value: 0, "aria-label": "Loop end frame" });
    const loopOn = h("input", { type: "checkbox", "aria-label": "Loop" });
    loopOn.addEventListener("change", () => void this.store.call("setPlaybackLoop", {
      enabled: loopOn.checked, startFrame: Number(this.loopStart.value) | 0, endFrame: Number(this.loopEnd.value) | 0,
    }));
    const btn = (label: string, method: string, params: object = {}, local = false, cls = "") => {
      const b = actionButton(label, () => this.store.call(method, params), cls);
      b.dataset.action = method;
      return local ? localOnly(b, lan) : b;
    };
    this.el = h("section", { class: "screen playback", "data-screen": this.id },
      h("div", { class: "toolbar" },
        btn("Load WAV files…", "loadPlayback", {}, true),
        btn("Unload", "unloadPlayback", {}, true),
        btn("▶ Play", "playPlayback", {}, false, "primary big"),
        btn("■ Stop", "stopPlayback", {}, false, "big"),
        this.progress),
      localReason(lan),
      h("div", { class: "form-row" }, h("label", { class: "wide" }, "Position ", this.seek)),
      h("div", { class: "form-row" }, h("label", { class: "check" }, loopOn, " Loop"), h("label", {}, "from ", this.loopStart), h("label", {}, "to ", this.loopEnd)),
      h("h3", { text: "Files" }),
      h("table", { class: "grid" }, h("thead", {}, h("tr", {}, ...["Id", "File", "Channels", "First lane", "Sample rate", "Length"].map((t) => h("th", { text: t })))), this.files),
      h("h3", { text: "Transport" }), this.table.el);
  }

  update(): void {
    const st = this.store.status;
    if (!st) return;
    const pb = st.playback ?? {};
    this.table.update(pb);
    const job = st.controlJob ?? {};
    this.progress.value = job.busy && job.method === "loadPlayback" ? Number(job.phaseProgress) || 0 : 0;
    const max = String(Math.max(1, pb.durationFrames ?? 1));
    if (this.seek.max !== max) this.seek.max = max;
    if (document.activeElement !== this.seek) this.seek.value = String(pb.frame ?? 0);
    const files: any[] = Array.isArray(pb.files) ? pb.files : [];
    const key = JSON.stringify(files);
    if (key !== this.filesKey) {
      this.filesKey = key;
      this.files.replaceChildren(...files.map((f) => {
        const { id, path, name, channels, firstLane, sampleRate, durationSeconds } = f ?? {};
        return h("tr", { "data-file": String(id) }, h("td", { text: String(id) }), h("td", { text: String(path ?? name ?? "") }),
          h("td", { text: fmtNum(channels) }), h("td", { text: fmtNum(firstLane) }), h("td", { text: fmtField(sampleRate, "rate") }),
          h("td", { text: fmtField(durationSeconds, "seconds") }));
      }));
    }
  }
}

export class RecordingScreen {
  readonly id = "recording";
  readonly title = "Recording";
  readonly el: HTMLElement;
  private readonly table = fieldTable(RECORDING_FIELDS);
  private readonly health = fieldTable(HEALTH_FIELDS, "kv health");
  private readonly armed: HTMLElement;
  private readonly dir: HTMLInputElement;
  private readonly mode: HTMLSelectElement;
  private readonly tap: HTMLSelectElement;
  private readonly mainArmed: HTMLInputElement;
  private generation = -1;

  constructor(private readonly store: Store) {
    const lan = store.lan;
    this.armed = h("p", { class: "armed" });
    this.dir = localOnly(h("input", { type: "text", class: "wide", placeholder: "/absolute/folder", "aria-label": "Recording folder" }), lan);
    this.mode = localOnly(h("select", { "aria-label": "Mode" }, h("option", { value: "multitrack", text: "Multitrack" }), h("option", { value: "stereo", text: "Stereo" })), lan);
    this.tap = localOnly(h("select", { "aria-label": "Tap" }, ...[["rawInput", "Raw input"], ["preFader", "Pre-fader"], ["postFader", "Post-fader"]].map(([v, t]) => h("option", { value: v, text: t }))), lan);
    this.mainArmed = localOnly(h("input", { type: "checkbox", "aria-label": "Record main" }), lan);
    const save = localOnly(actionButton("Keep settings", () => this.savePrefs()), lan);
    save.dataset.action = "saveRecorderPrefs";
    const start = actionButton("● Record", () => this.start(), "rec big");
    start.dataset.action = "startRecording";
    const stop = actionButton("■ Stop recording", () => this.store.call("stopRecording", {}), "big");
    stop.dataset.action = "stopRecording";
    this.el = h("section", { class: "screen recording", "data-screen": this.id },
      h("div", { class: "toolbar" }, start, stop),
      localReason(lan),
      h("div", { class: "form-row" }, h("label", { class: "wide" }, "Folder ", this.dir), h("label", {}, "Mode ", this.mode), h("label", {}, "Tap ", this.tap),
        h("label", { class: "check" }, this.mainArmed, " main"), save),
      this.armed,
      h("h3", { text: "Recorder" }), this.table.el,
      h("h3", { text: "Capture health" }), this.health.el);
  }

  private prefs(): RecorderPrefs {
    return { mode: this.mode.value as RecorderPrefs["mode"], tap: this.tap.value as RecorderPrefs["tap"], mainArmed: this.mainArmed.checked, directory: this.dir.value };
  }

  private savePrefs() {
    return this.store.call("uiPatch", { uiPatch: { entityId: "session", key: "recorder", value: this.prefs() }, baseRevision: Math.max(0, this.store.revision) });
  }

  private armedIds(): string[] {
    return (this.store.ui?.channels ?? []).filter((c) => c.arm === true).map((c) => c.id);
  }

  private start() {
    const directory = this.store.lan ? this.store.ui?.recorder?.directory ?? "" : this.dir.value;
    return this.store.call("startRecording", { nodeIds: this.armedIds(), directory });
  }

  update(): void {
    const ui = this.store.ui;
    if (ui && this.generation !== this.store.uiGeneration) {
      this.generation = this.store.uiGeneration;
      const r = ui.recorder;
      if (r && document.activeElement !== this.dir) {
        this.dir.value = r.directory ?? "";
        this.mode.value = r.mode ?? "multitrack";
        this.tap.value = r.tap ?? "rawInput";
        this.mainArmed.checked = r.mainArmed === true;
      }
      const ids = this.armedIds();
      setText(this.armed, ids.length ? `Armed: ${ids.join(", ")}` : "No tracks armed: use ARM on the channel strips.");
    }
    const rec = this.store.status?.recording;
    if (!rec) return;
    this.table.update(rec);
    this.health.update(rec.captureHealth ?? {});
  }
}
