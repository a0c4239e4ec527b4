// Mixing rules shared by every screen: how the page's UI document maps onto the native
// description and onto the live-control requests. The native side checks each request against
// the held documents and refuses one that disagrees, so these functions must compute exactly
// what it computes (effective gain and mute with DCAs, send levels, full patch values).

export type JsonObject = { [key: string]: unknown };

export interface Port {
  deviceId: string;
  channel: number;
}

export interface Send {
  busId: string;
  level: number;
  pre: boolean;
  connected?: boolean;
}

export interface UiInsert {
  id: string;
  name?: string;
  modulePath: string;
  enabled?: boolean;
  bypass?: boolean;
  parameters?: Record<string, number>;
}

export interface Strip {
  id: string;
  name?: string;
  color?: string;
  width?: number;
  level?: number;
  mute?: boolean;
  solo?: boolean;
  pan?: number;
  trim?: number;
  polarity?: boolean;
  arm?: boolean;
  sourceType?: string;
  sourcePorts?: Port[];
  fileId?: unknown;
  fileChannels?: number[];
  outputPorts?: Port[];
  lr?: boolean;
  groups?: string[];
  sends?: Send[];
  inserts?: UiInsert[];
  stripProcessing?: JsonObject;
  [key: string]: unknown;
}

export interface Dca {
  id: string;
  name?: string;
  color?: string;
  level?: number;
  mute?: boolean;
  members?: string[];
}

export interface DevicePrefs {
  inputs: { id: string; exclusive?: boolean }[];
  outputs: { id: string; exclusive?: boolean }[];
  masterOutputId: string;
  requestedRate: number;
  requestedBlock: number;
  autoStart: boolean;
}

export interface RecorderPrefs {
  mode: "multitrack" | "stereo";
  tap: "rawInput" | "preFader" | "postFader";
  mainArmed: boolean;
  directory: string;
}

export interface UiDocument {
  schemaVersion: 2;
  name?: string;
  channels?: Strip[];
  aux?: Strip[];
  groups?: Strip[];
  matrices?: Strip[];
  returns?: Strip[];
  master?: Strip;
  mono?: Strip;
  monitor?: Strip;
  dcas?: Dca[];
  scenes?: { id: string; name: string; snapshot?: unknown }[];
  currentScene?: string;
  safe?: { levels: boolean; processing: boolean; routing: boolean; fx: boolean };
  cueMode?: "PFL" | "AFL";
  device?: DevicePrefs;
  recorder?: RecorderPrefs;
  fx?: unknown;
  [key: string]: unknown;
}

export const STRIP_ARRAYS = ["channels", "aux", "groups", "matrices", "returns"] as const;
export const STRIP_SINGLES = ["master", "mono", "monitor"] as const;
export type StripArray = (typeof STRIP_ARRAYS)[number];

export const FADER_MIN = -80;
export const FADER_MAX = 10;
export const NATIVE_OFF_DB = -120;
export const MAIN_ID = "main-lr";
export const MAX_NODES = 128;
export const NATIVE_FORMAT = "kestravon-live-native-0.1";

const clamp = (v: number, lo: number, hi: number) => Math.min(hi, Math.max(lo, v));

/** Every strip of the document in the native walk order (arrays, then the single objects). */
export function allStrips(ui: UiDocument, withMonitor = true): Strip[] {
  const out: Strip[] = [];
  for (const key of STRIP_ARRAYS) {
    const list = ui[key];
    if (Array.isArray(list)) for (const s of list) if (s && typeof s === "object") out.push(s);
  }
  for (const key of STRIP_SINGLES) {
    if (key === "monitor" && !withMonitor) continue;
    const s = ui[key];
    if (s && typeof s === "object") out.push(s as Strip);
  }
  return out;
}

/** The strip the native side would pick for an id: the last match, single objects after arrays. */
export function findStrip(ui: UiDocument, id: string): Strip | undefined {
  let found: Strip | undefined;
  for (const s of allStrips(ui)) if ((s.id ?? "") === id) found = s;
  return found;
}

export function dcasOf(ui: UiDocument, nodeId: string): Dca[] {
  const dcas = Array.isArray(ui.dcas) ? ui.dcas : [];
  return dcas.filter((d) => Array.isArray(d.members) && d.members.some((m) => m === nodeId));
}

/** Fader level plus every containing DCA's level, clamped to the native range. */
export function effectiveGain(ui: UiDocument, strip: Strip, level = strip.level ?? 0): number {
  let sum = level;
  for (const d of dcasOf(ui, strip.id ?? "")) sum += d.level ?? 0;
  return clamp(sum, -120, 60);
}

/** Muted by its own switch, by a fader at "off", or by any containing DCA. */
export function effectiveMute(
  ui: UiDocument,
  strip: Strip,
  mute = strip.mute === true,
  level = strip.level ?? 0,
): boolean {
  if (mute || level <= FADER_MIN) return true;
  return dcasOf(ui, strip.id ?? "").some((d) => d.mute === true || (d.level ?? 0) <= FADER_MIN);
}

/** UI send level to native gain: the bottom of the fader is the native "off". */
export function sendLevelToNative(level: number): number {
  return level <= FADER_MIN ? NATIVE_OFF_DB : level;
}

export function roundDb(v: number): number {
  return Math.round(v * 10) / 10;
}

export function clampFader(v: number): number {
  return clamp(roundDb(v), FADER_MIN, FADER_MAX);
}

export interface Rpc {
  method: string;
  params: JsonObject;
  /** A change the page applies to its own copy without sending it as "uiPatch". */
  localPatch?: { entityId: string; key: string; value: unknown };
}

/** A fader move: native gain is the effective gain; the patch carries the strip's own level. */
export function faderRequest(ui: UiDocument, strip: Strip, level: number): Rpc {
  const value = clampFader(level);
  return {
    method: "setParameter",
    params: {
      nodeId: strip.id,
      key: "gainDb",
      value: effectiveGain(ui, strip, value),
      uiPatch: { entityId: strip.id, key: "level", value },
    },
  };
}

/** The strip's mute switch; the native mute must be the resulting effective mute. */
export function muteRequest(ui: UiDocument, strip: Strip, mute: boolean): Rpc {
  return {
    method: "setParameter",
    params: {
      nodeId: strip.id,
      key: "mute",
      value: effectiveMute(ui, strip, mute),
      uiPatch: { entityId: strip.id, key: "mute", value: mute },
    },
  };
}

const UI_FIELD: Record<string, string> = { gainDb: "level", trimDb: "trim" };

/** Solo, polarity, pan and trim travel unchanged on both sides. */
export function scalarRequest(strip: Strip, key: "solo" | "polarity" | "pan" | "trimDb", value: boolean | number): Rpc {
  return {
    method: "setParameter",
    params: { nodeId: strip.id, key, value, uiPatch: { entityId: strip.id, key: UI_FIELD[key] ?? key, value } },
  };
}

/** A send move: the whole send list with the one level changed, the native gain off at -80. */
export function sendRequest(strip: Strip, busId: string, level: number): Rpc {
  const value = clampFader(level);
  const sends = (strip.sends ?? []).map((s) => (s.busId === busId ? { ...s, level: value } : { ...s }));
  return {
    method: "setSendLevel",
    params: {
      nodeId: strip.id,
      destinationId: busId,
      gainDb: sendLevelToNative(value),
      uiPatch: { entityId: strip.id, key: "sends", value: sends },
    },
  };
}

// A bypass goes without a patch: the stage computer edits its own copy of the strip's insert list,
// which a plug-in's read-back of its parameters may have changed since this page last heard. A
// whole-list patch built here would then be refused for settings the user never touched.
export function bypassRequest(strip: Strip, slotId: string, bypass: boolean): Rpc {
  const inserts = (strip.inserts ?? []).map((i) => (i.id === slotId ? { ...i, bypass } : { ...i }));
  return {
    method: "setInsertBypass",
    params: { nodeId: strip.id, slotId, bypass },
    localPatch: { entityId: strip.id, key: "inserts", value: inserts },
  };
}

export function vstParameterRequest(strip: Strip, slotId: string, parameterId: number, value: number): Rpc {
  const key = String(parameterId);
  const v = clamp(value, 0, 1);
  const inserts = (strip.inserts ?? []).map((i) =>
    i.id === slotId ? { ...i, parameters: { ...(i.parameters ?? {}), [key]: v } } : { ...i },
  );
  return {
    method: "setVstParameter",
    params: { nodeId: strip.id, slotId, parameterId, value: v, uiPatch: { entityId: strip.id, key: "inserts", value: inserts } },
  };
}

export function processingRequest(strip: Strip, processing: JsonObject): Rpc {
  return {
    method: "setStripProcessing",
    params: {
      nodeId: strip.id,
      processing,
      uiPatch: { entityId: strip.id, key: "stripProcessing", value: processing },
    },
  };
}

export function dcaRequest(dca: Dca, key: "level" | "mute", value: number | boolean): Rpc {
  const v = key === "level" ? clampFader(value as number) : value;
  return { method: "uiPatch", params: { uiPatch: { entityId: dca.id, key, value: v } } };
}

export function sessionPatch(key: string, value: unknown, baseRevision?: number): Rpc {
  const params: JsonObject = { uiPatch: { entityId: "session", key, value } };
  if (baseRevision !== undefined) params.baseRevision = baseRevision;
  return { method: "uiPatch", params };
}

/** Applies a request's UI patch to a local copy, so the page shows the edit before the echo. */
export function applyPatchLocally(ui: UiDocument, patch: { entityId: string; key: string; value: unknown }): void {
  if (patch.entityId === "session") {
    ui[patch.key] = structuredClone(patch.value);
    return;
  }
  for (const d of ui.dcas ?? []) if (d.id === patch.entityId) (d as unknown as JsonObject)[patch.key] = structuredClone(patch.value);
  for (const s of allStrips(ui)) if ((s.id ?? "") === patch.entityId) s[patch.key] = structuredClone(patch.value);
}

// ---- request ids ----

/** Request ids stay within signed 32 bits and skip 0, which means "no reply routing". */
export function nextRequestId(previous: number): number {
  return previous >= 0x7fffffff || previous < 1 ? 1 : previous + 1;
}

// ---- drag coalescing ----

/**
 * A fader drag produces far more values than the link can carry. At most one request per
 * control is in flight; while it is, later values replace each other and only the latest is
 * sent when the answer comes.
 */
export class Coalescer<T> {
  private inFlight = false;
  private queued: { value: T } | null = null;
  constructor(private readonly send: (value: T) => Promise<unknown>) {}

  push(value: T): void {
    if (this.inFlight) {
      this.queued = { value };
      return;
    }
    this.start(value);
  }

  get busy(): boolean {
    return this.inFlight || this.queued !== null;
  }

  private start(value: T): void {
    this.inFlight = true;
    this.send(value)
      .catch(() => undefined)
      .then(() => {
        this.inFlight = false;
        const next = this.queued;
        this.queued = null;
        if (next) this.start(next.value);
      });
  }
}

// ---- the session template ----

export interface DeviceRow {
  id: string;
  name: string;
  capture: boolean;
  channels: number;
  sampleRate: number;
  available: boolean;
}

const PALETTE = ["#e8a33d", "#4fb3e8", "#7fd36b", "#e86a6a", "#b98ce8", "#e8d14f", "#4fe0c0", "#e88bc4"];

export function stripColor(index: number): string {
  return PALETTE[index % PALETTE.length];
}

export function defaultProcessing(): JsonObject {
  const q = Math.SQRT1_2;
  return {
    hpf: { enabled: false, frequencyHz: 80 },
    eq: {
      enabled: false,
      bands: [
        { enabled: true, type: "lowShelf", frequencyHz: 80, gainDb: 0, q },
        { enabled: true, type: "bell", frequencyHz: 350, gainDb: 0, q },
        { enabled: true, type: "bell", frequencyHz: 2500, gainDb: 0, q },
        { enabled: true, type: "highShelf", frequencyHz: 8000, gainDb: 0, q },
      ],
    },
    gate: { enabled: false, thresholdDb: -60, ratio: 2, rangeDb: 60, kneeDb: 6, attackMs: 3, holdMs: 30, releaseMs: 150 },
    compressor: { enabled: false, thresholdDb: -18, ratio: 3, kneeDb: 6, attackMs: 10, releaseMs: 100, makeupDb: 0 },
  };
}

export function newChannel(id: string, name: string, index: number, width: number, ports: Port[]): Strip {
  return {
    id,
    name,
    color: stripColor(index),
    width,
    level: 0,
    mute: false,
    solo: false,
    pan: 0,
    trim: 0,
    polarity: false,
    arm: false,
    sourceType: ports.length ? "device" : "none",
    sourcePorts: ports,
    outputPorts: [],
    lr: true,
    groups: [],
    sends: [],
    inserts: [],
    // No "stripProcessing" until someone edits it: the native defaults apply, and every scene
    // snapshot of a 128-strip session stays small enough for the LAN's 2 MiB messages.
  };
}

export function newBus(id: string, name: string, index: number): Strip {
  return { ...newChannel(id, name, index, 2, []), sourceType: "none", sourcePorts: [], lr: true };
}

/**
 * A first session from what the machine has: one strip per capture endpoint (stereo for a
 * two-channel endpoint, else one mono strip per channel), every strip to the main bus, the main
 * bus on the first two lanes of the first output.
 */
export function sessionTemplate(devices: DeviceRow[], rate = 48000, block = 128): { native: JsonObject; uiState: UiDocument } {
  const usable = devices.filter((d) => d.available !== false);
  const inputs = usable.filter((d) => d.capture);
  const output = usable.find((d) => !d.capture);
  const channels: Strip[] = [];
  let n = 0;
  for (const dev of inputs) {
    const ch = Math.max(0, dev.channels | 0);
    if (ch === 2 && channels.length < MAX_NODES - 1) {
      n += 1;
      channels.push(newChannel(`in${n}`, dev.name || dev.id, n - 1, 2, [
        { deviceId: dev.id, channel: 0 },
        { deviceId: dev.id, channel: 1 },
      ]));
      continue;
    }
    for (let c = 0; c < ch && channels.length < MAX_NODES - 1; c++) {
      n += 1;
      channels.push(newChannel(`in${n}`, `${dev.name || dev.id} ${c + 1}`, n - 1, 1, [{ deviceId: dev.id, channel: c }]));
    }
  }
  const master = newBus(MAIN_ID, "Main", 0);
  master.color = "#d8dde4";
  master.lr = false;
  if (output && output.channels >= 2) {
    master.outputPorts = [
      { deviceId: output.id, channel: 0 },
      { deviceId: output.id, channel: 1 },
    ];
  }
  const uiState: UiDocument = {
    schemaVersion: 2,
    name: "New session",
    channels,
    aux: [],
    groups: [],
    matrices: [],
    returns: [],
    master,
    dcas: [],
    scenes: [],
    currentScene: "",
    safe: { levels: false, processing: false, routing: false, fx: false },
    cueMode: "PFL",
    device: {
      inputs: inputs.map((d) => ({ id: d.id, exclusive: false })),
      outputs: output ? [{ id: output.id, exclusive: false }] : [],
      masterOutputId: output ? output.id : "",
      requestedRate: rate,
      requestedBlock: block,
      autoStart: false,
    },
    recorder: { mode: "multitrack", tap: "rawInput", mainArmed: false, directory: "" },
  };
  return { native: nativeFromUi(uiState, rate), uiState };
}

function portsOf(list: unknown): Port[] {
  return Array.isArray(list) ? list.map((p) => ({ deviceId: String(p.deviceId), channel: Number(p.channel) })) : [];
}

/**
 * The native description the UI document stands for. Node gains and mutes are the effective
 * values, so a session applied from here agrees with the strips and their DCAs.
 */
export function nativeFromUi(ui: UiDocument, sampleRate = ui.device?.requestedRate ?? 48000): JsonObject {
  const nodes: JsonObject[] = [];
  const busIds = new Set<string>();
  for (const key of ["aux", "groups", "matrices", "returns"] as const) for (const s of ui[key] ?? []) busIds.add(s.id);
  if (ui.master) busIds.add(ui.master.id);
  const mainId = ui.master?.id ?? MAIN_ID;

  const node = (s: Strip, kind: string): JsonObject => {
    const width = s.width === 1 ? 1 : 2;
    const out: JsonObject = {
      id: s.id,
      name: s.name ?? s.id,
      width,
      kind,
      gainDb: effectiveGain(ui, s),
      mute: effectiveMute(ui, s),
      solo: s.solo === true,
      pan: s.pan ?? 0,
      trimDb: s.trim ?? 0,
      polarity: s.polarity === true,
    };
    if (s.stripProcessing) out.stripProcessing = s.stripProcessing;
    if (kind === "input") {
      if (s.sourceType === "device" && (s.sourcePorts ?? []).length === width) {
        out.source = { kind: "device", ports: portsOf(s.sourcePorts) };
      } else if (s.sourceType === "file" && Array.isArray(s.fileChannels)) {
        out.source = { kind: "file", fileId: s.fileId, channels: s.fileChannels };
      } else {
        out.source = { kind: "none" };
      }
    }
    const outs = portsOf(s.outputPorts);
    if (outs.length === width) out.outputs = outs;
    const inserts = (s.inserts ?? []).map((i) => ({
      id: i.id,
      modulePath: i.modulePath,
      enabled: i.enabled !== false,
      bypass: i.bypass === true,
      parameters: i.parameters ?? {},
    }));
    if (inserts.length) out.inserts = inserts;
    const routes: JsonObject[] = [];
    if (s.lr === true && s.id !== mainId && kind !== "monitor") routes.push({ destinationId: mainId, gainDb: 0, tap: "postFader" });
    for (const g of s.groups ?? []) if (busIds.has(g) && g !== s.id) routes.push({ destinationId: g, gainDb: 0, tap: "postFader" });
    for (const send of s.sends ?? []) {
      if (!busIds.has(send.busId) || send.busId === s.id) continue;
      routes.push({ destinationId: send.busId, gainDb: sendLevelToNative(send.level), tap: send.pre ? "preFader" : "postFader" });
    }
    if (routes.length) out.routes = routes;
    return out;
  };

  for (const s of ui.channels ?? []) nodes.push(node(s, "input"));
  for (const key of ["aux", "groups", "matrices", "returns"] as const) for (const s of ui[key] ?? []) nodes.push(node(s, "bus"));
  if (ui.master) nodes.push(node(ui.master, "bus"));
  if (ui.mono) nodes.push(node(ui.mono, "bus"));
  if (ui.monitor) nodes.push(node(ui.monitor, "monitor"));
  // No "maximumBlock": the native side keeps the block size the applied session opened its
  // plug-ins for, so a session that set one keeps it through an Apply from here.
  return { format: NATIVE_FORMAT, sampleRate, mainId, nodes };
}

/** The smallest free id with the prefix: in1, in2, ... */
export function freeId(ui: UiDocument, prefix: string): string {
  const used = new Set(allStrips(ui).map((s) => s.id));
  for (const d of ui.dcas ?? []) used.add(d.id);
  for (let i = 1; ; i++) if (!used.has(`${prefix}${i}`)) return `${prefix}${i}`;
}

export function nodeCount(ui: UiDocument): number {
  return allStrips(ui).length;
}

/** Scene ids are "scene-" and 2 to 6 digits; the first free one. */
export function freeSceneId(ui: UiDocument): string {
  const used = new Set((ui.scenes ?? []).map((s) => s.id));
  for (let i = 1; i < 1000000; i++) {
    const id = `scene-${String(i).padStart(2, "0")}`;
    if (!used.has(id)) return id;
  }
  throw new Error("No free scene id");
}

export function isValidSceneId(id: string): boolean {
  return /^scene-[0-9]{2,6}$/.test(id);
}

/** Peak (linear) to dBFS for the meters; silence reads as -inf. */
export function peakToDb(peak: number): number {
  return peak > 0 ? 20 * Math.log10(peak) : -Infinity;
}
