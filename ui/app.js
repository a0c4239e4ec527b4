"use strict";
(() => {
  var __defProp = Object.defineProperty;
  var __defNormalProp = (obj, key, value) => key in obj ? __defProp(obj, key, { enumerable: true, configurable: true, writable: true, value }) : obj[key] = value;
  var __publicField = (obj, key, value) => __defNormalProp(obj, typeof key !== "symbol" ? key + "" : key, value);

  // web/src/dom.ts
  function h(tag, attrs = {}, ...children) {
    const el = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs)) {
      if (v === void 0 || v === false) continue;
      if (k.startsWith("on") && typeof v === "function") el.addEventListener(k.slice(2), v);
      else if (k === "class") el.className = String(v);
      else if (k === "style") el.style.cssText = String(v);
      else if (k === "text") el.textContent = String(v);
      else if (v === true) el.setAttribute(k, "");
      else el.setAttribute(k, String(v));
    }
    for (const c of children) if (c !== null && c !== void 0 && c !== false) el.append(c);
    return el;
  }
  function setText(el, text) {
    if (el.textContent !== text) el.textContent = text;
  }
  function setClass(el, name, on) {
    if (el.classList.contains(name) !== on) el.classList.toggle(name, on);
  }
  function fmtNum(v, digits = 2) {
    if (typeof v !== "number" || !Number.isFinite(v)) return String(v ?? "–");
    return Number.isInteger(v) ? String(v) : v.toFixed(digits);
  }
  function kv(table, label) {
    const value = h("td", { class: "v" });
    table.append(h("tr", {}, h("th", { text: label }), value));
    return value;
  }
  function actionButton(label, run, cls = "") {
    const b = h("button", { class: `btn ${cls}`.trim(), type: "button", text: label });
    b.addEventListener("click", async () => {
      if (b.dataset.busy) return;
      b.dataset.busy = "1";
      b.classList.add("busy");
      try {
        await run();
      } finally {
        delete b.dataset.busy;
        b.classList.remove("busy");
      }
    });
    return b;
  }
  var LOCAL_REASON = "Available on the stage computer only";
  function localOnly(el, lan) {
    el.dataset.localOnly = "1";
    if (lan) {
      el.disabled = true;
      el.title = LOCAL_REASON;
      el.classList.add("local-only");
    }
    return el;
  }
  function localReason(lan) {
    return lan ? h("p", { class: "local-note", text: `${LOCAL_REASON}: these controls need the program's own window.` }) : null;
  }
  function fmtField(v, kind) {
    if (v === void 0 || v === null) return "—";
    if (kind === "bool") return v === true ? "yes" : v === false ? "no" : String(v);
    if (kind === "text") return String(v) === "" ? "none" : String(v);
    if (typeof v !== "number" || !Number.isFinite(v)) return String(v);
    switch (kind) {
      case "rate":
        return v > 0 ? `${Number((v / 1e3).toFixed(3))} kHz` : "—";
      case "ms":
        return `${v.toFixed(1)} ms`;
      case "frames":
        return `${fmtNum(v)} frames`;
      case "ppm":
        return `${v.toFixed(1)} ppm`;
      case "bytes":
        return `${(v / 1048576).toFixed(1)} MiB`;
      case "seconds":
        return `${v.toFixed(1)} s`;
      case "samples":
        return `${fmtNum(v)} samples`;
      default:
        return fmtNum(v);
    }
  }
  function fieldTable(fields, cls = "kv") {
    const el = h("table", { class: cls });
    const cells = fields.map(([key, label]) => {
      const v = kv(el, label);
      v.dataset.field = key;
      return v;
    });
    return {
      el,
      update: (obj) => fields.forEach(([key, , kind], i) => setText(cells[i], fmtField(obj == null ? void 0 : obj[key], kind)))
    };
  }

  // web/src/rules.ts
  var STRIP_ARRAYS = ["channels", "aux", "groups", "matrices", "returns"];
  var STRIP_SINGLES = ["master", "mono", "monitor"];
  var FADER_MIN = -80;
  var FADER_MAX = 10;
  var NATIVE_OFF_DB = -120;
  var MAIN_ID = "main-lr";
  var MAX_NODES = 128;
  var NATIVE_FORMAT = "kestravon-live-native-0.1";
  var clamp = (v, lo, hi) => Math.min(hi, Math.max(lo, v));
  function allStrips(ui, withMonitor = true) {
    const out = [];
    for (const key of STRIP_ARRAYS) {
      const list = ui[key];
      if (Array.isArray(list)) {
        for (const s of list) if (s && typeof s === "object") out.push(s);
      }
    }
    for (const key of STRIP_SINGLES) {
      if (key === "monitor" && !withMonitor) continue;
      const s = ui[key];
      if (s && typeof s === "object") out.push(s);
    }
    return out;
  }
  function findStrip(ui, id) {
    let found;
    for (const s of allStrips(ui)) if ((s.id ?? "") === id) found = s;
    return found;
  }
  function dcasOf(ui, nodeId) {
    const dcas = Array.isArray(ui.dcas) ? ui.dcas : [];
    return dcas.filter((d) => Array.isArray(d.members) && d.members.some((m) => m === nodeId));
  }
  function effectiveGain(ui, strip, level = strip.level ?? 0) {
    let sum = level;
    for (const d of dcasOf(ui, strip.id ?? "")) sum += d.level ?? 0;
    return clamp(sum, -120, 60);
  }
  function effectiveMute(ui, strip, mute = strip.mute === true, level = strip.level ?? 0) {
    if (mute || level <= FADER_MIN) return true;
    return dcasOf(ui, strip.id ?? "").some((d) => d.mute === true || (d.level ?? 0) <= FADER_MIN);
  }
  function sendLevelToNative(level) {
    return level <= FADER_MIN ? NATIVE_OFF_DB : level;
  }
  function roundDb(v) {
    return Math.round(v * 10) / 10;
  }
  function clampFader(v) {
    return clamp(roundDb(v), FADER_MIN, FADER_MAX);
  }
  function faderRequest(ui, strip, level) {
    const value = clampFader(level);
    return {
      method: "setParameter",
      params: {
        nodeId: strip.id,
        key: "gainDb",
        value: effectiveGain(ui, strip, value),
        uiPatch: { entityId: strip.id, key: "level", value }
      }
    };
  }
  function muteRequest(ui, strip, mute) {
    return {
      method: "setParameter",
      params: {
        nodeId: strip.id,
        key: "mute",
        value: effectiveMute(ui, strip, mute),
        uiPatch: { entityId: strip.id, key: "mute", value: mute }
      }
    };
  }
  var UI_FIELD = { gainDb: "level", trimDb: "trim" };
  function scalarRequest(strip, key, value) {
    return {
      method: "setParameter",
      params: { nodeId: strip.id, key, value, uiPatch: { entityId: strip.id, key: UI_FIELD[key] ?? key, value } }
    };
  }
  function sendRequest(strip, busId, level) {
    const value = clampFader(level);
    const sends = (strip.sends ?? []).map((s) => s.busId === busId ? { ...s, level: value } : { ...s });
    return {
      method: "setSendLevel",
      params: {
        nodeId: strip.id,
        destinationId: busId,
        gainDb: sendLevelToNative(value),
        uiPatch: { entityId: strip.id, key: "sends", value: sends }
      }
    };
  }
  function bypassRequest(strip, slotId, bypass) {
    const inserts = (strip.inserts ?? []).map((i) => i.id === slotId ? { ...i, bypass } : { ...i });
    return {
      method: "setInsertBypass",
      params: { nodeId: strip.id, slotId, bypass },
      localPatch: { entityId: strip.id, key: "inserts", value: inserts }
    };
  }
  function vstParameterRequest(strip, slotId, parameterId, value) {
    const key = String(parameterId);
    const v = clamp(value, 0, 1);
    const inserts = (strip.inserts ?? []).map(
      (i) => i.id === slotId ? { ...i, parameters: { ...i.parameters ?? {}, [key]: v } } : { ...i }
    );
    return {
      method: "setVstParameter",
      params: { nodeId: strip.id, slotId, parameterId, value: v, uiPatch: { entityId: strip.id, key: "inserts", value: inserts } }
    };
  }
  function processingRequest(strip, processing) {
    return {
      method: "setStripProcessing",
      params: {
        nodeId: strip.id,
        processing,
        uiPatch: { entityId: strip.id, key: "stripProcessing", value: processing }
      }
    };
  }
  function dcaRequest(dca, key, value) {
    const v = key === "level" ? clampFader(value) : value;
    return { method: "uiPatch", params: { uiPatch: { entityId: dca.id, key, value: v } } };
  }
  function sessionPatch(key, value, baseRevision) {
    const params = { uiPatch: { entityId: "session", key, value } };
    if (baseRevision !== void 0) params.baseRevision = baseRevision;
    return { method: "uiPatch", params };
  }
  function applyPatchLocally(ui, patch) {
    if (patch.entityId === "session") {
      ui[patch.key] = structuredClone(patch.value);
      return;
    }
    for (const d of ui.dcas ?? []) if (d.id === patch.entityId) d[patch.key] = structuredClone(patch.value);
    for (const s of allStrips(ui)) if ((s.id ?? "") === patch.entityId) s[patch.key] = structuredClone(patch.value);
  }
  function nextRequestId(previous) {
    return previous >= 2147483647 || previous < 1 ? 1 : previous + 1;
  }
  var Coalescer = class {
    constructor(send) {
      this.send = send;
      __publicField(this, "inFlight", false);
      __publicField(this, "queued", null);
    }
    push(value) {
      if (this.inFlight) {
        this.queued = { value };
        return;
      }
      this.start(value);
    }
    get busy() {
      return this.inFlight || this.queued !== null;
    }
    start(value) {
      this.inFlight = true;
      this.send(value).catch(() => void 0).then(() => {
        this.inFlight = false;
        const next = this.queued;
        this.queued = null;
        if (next) this.start(next.value);
      });
    }
  };
  var PALETTE = ["#e8a33d", "#4fb3e8", "#7fd36b", "#e86a6a", "#b98ce8", "#e8d14f", "#4fe0c0", "#e88bc4"];
  function stripColor(index) {
    return PALETTE[index % PALETTE.length];
  }
  function defaultProcessing() {
    const q = Math.SQRT1_2;
    return {
      hpf: { enabled: false, frequencyHz: 80 },
      eq: {
        enabled: false,
        bands: [
          { enabled: true, type: "lowShelf", frequencyHz: 80, gainDb: 0, q },
          { enabled: true, type: "bell", frequencyHz: 350, gainDb: 0, q },
          { enabled: true, type: "bell", frequencyHz: 2500, gainDb: 0, q },
          { enabled: true, type: "highShelf", frequencyHz: 8e3, gainDb: 0, q }
        ]
      },
      gate: { enabled: false, thresholdDb: -60, ratio: 2, rangeDb: 60, kneeDb: 6, attackMs: 3, holdMs: 30, releaseMs: 150 },
      compressor: { enabled: false, thresholdDb: -18, ratio: 3, kneeDb: 6, attackMs: 10, releaseMs: 100, makeupDb: 0 }
    };
  }
  function newChannel(id, name, index, width, ports) {
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
      inserts: []
      // No "stripProcessing" until someone edits it: the native defaults apply, and every scene
      // snapshot of a 128-strip session stays small enough for the LAN's 2 MiB messages.
    };
  }
  function newBus(id, name, index) {
    return { ...newChannel(id, name, index, 2, []), sourceType: "none", sourcePorts: [], lr: true };
  }
  function sessionTemplate(devices, rate = 48e3, block = 128) {
    const usable = devices.filter((d) => d.available !== false);
    const inputs = usable.filter((d) => d.capture);
    const output = usable.find((d) => !d.capture);
    const channels = [];
    let n = 0;
    for (const dev of inputs) {
      const ch = Math.max(0, dev.channels | 0);
      if (ch === 2 && channels.length < MAX_NODES - 1) {
        n += 1;
        channels.push(newChannel(`in${n}`, dev.name || dev.id, n - 1, 2, [
          { deviceId: dev.id, channel: 0 },
          { deviceId: dev.id, channel: 1 }
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
        { deviceId: output.id, channel: 1 }
      ];
    }
    const uiState = {
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
        autoStart: false
      },
      recorder: { mode: "multitrack", tap: "rawInput", mainArmed: false, directory: "" }
    };
    return { native: nativeFromUi(uiState, rate), uiState };
  }
  function portsOf(list) {
    return Array.isArray(list) ? list.map((p) => ({ deviceId: String(p.deviceId), channel: Number(p.channel) })) : [];
  }
  function nativeFromUi(ui, sampleRate = ((_a) => (_a = ui.device) == null ? void 0 : _a.requestedRate)() ?? 48e3) {
    var _a2;
    const nodes = [];
    const busIds = /* @__PURE__ */ new Set();
    for (const key of ["aux", "groups", "matrices", "returns"]) for (const s of ui[key] ?? []) busIds.add(s.id);
    if (ui.master) busIds.add(ui.master.id);
    const mainId = ((_a2 = ui.master) == null ? void 0 : _a2.id) ?? MAIN_ID;
    const node2 = (s, kind) => {
      const width = s.width === 1 ? 1 : 2;
      const out = {
        id: s.id,
        name: s.name ?? s.id,
        width,
        kind,
        gainDb: effectiveGain(ui, s),
        mute: effectiveMute(ui, s),
        solo: s.solo === true,
        pan: s.pan ?? 0,
        trimDb: s.trim ?? 0,
        polarity: s.polarity === true
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
        parameters: i.parameters ?? {}
      }));
      if (inserts.length) out.inserts = inserts;
      const routes = [];
      if (s.lr === true && s.id !== mainId && kind !== "monitor") routes.push({ destinationId: mainId, gainDb: 0, tap: "postFader" });
      for (const g of s.groups ?? []) if (busIds.has(g) && g !== s.id) routes.push({ destinationId: g, gainDb: 0, tap: "postFader" });
      for (const send of s.sends ?? []) {
        if (!busIds.has(send.busId) || send.busId === s.id) continue;
        routes.push({ destinationId: send.busId, gainDb: sendLevelToNative(send.level), tap: send.pre ? "preFader" : "postFader" });
      }
      if (routes.length) out.routes = routes;
      return out;
    };
    for (const s of ui.channels ?? []) nodes.push(node2(s, "input"));
    for (const key of ["aux", "groups", "matrices", "returns"]) for (const s of ui[key] ?? []) nodes.push(node2(s, "bus"));
    if (ui.master) nodes.push(node2(ui.master, "bus"));
    if (ui.mono) nodes.push(node2(ui.mono, "bus"));
    if (ui.monitor) nodes.push(node2(ui.monitor, "monitor"));
    return { format: NATIVE_FORMAT, sampleRate, mainId, nodes };
  }
  function freeId(ui, prefix) {
    const used = new Set(allStrips(ui).map((s) => s.id));
    for (const d of ui.dcas ?? []) used.add(d.id);
    for (let i = 1; ; i++) if (!used.has(`${prefix}${i}`)) return `${prefix}${i}`;
  }
  function nodeCount(ui) {
    return allStrips(ui).length;
  }
  function freeSceneId(ui) {
    const used = new Set((ui.scenes ?? []).map((s) => s.id));
    for (let i = 1; i < 1e6; i++) {
      const id = `scene-${String(i).padStart(2, "0")}`;
      if (!used.has(id)) return id;
    }
    throw new Error("No free scene id");
  }
  function peakToDb(peak) {
    return peak > 0 ? 20 * Math.log10(peak) : -Infinity;
  }

  // web/src/nativebridge.ts
  var SILENCE_MS = 1500;
  var OFFLINE_ERROR = "The stage computer cannot be reached; nothing was sent";
  var LOCAL_COMPUTER_ERROR = "This operation requires the local computer";
  var READ_ONLY = /* @__PURE__ */ new Set(["capabilities", "devices", "plugins", "getVstParameters", "status", "getControlState"]);
  function isReadOnly(method) {
    return READ_ONLY.has(method);
  }
  var TOKEN_KEY = "ruvi.token";
  var LOCAL_ONLY = /* @__PURE__ */ new Set([
    "applySession",
    "startAudio",
    "stopAudio",
    "loadPlayback",
    "loadSession",
    "unloadPlayback",
    "saveSession",
    "showVstEditor",
    "configureRemote"
  ]);
  var BridgeBase = class {
    constructor() {
      __publicField(this, "lastId", 0);
      __publicField(this, "waiters", /* @__PURE__ */ new Map());
      __publicField(this, "stateListeners", []);
      __publicField(this, "connectionListeners", []);
      __publicField(this, "trafficListeners", []);
      __publicField(this, "reachableListeners", []);
      __publicField(this, "connection", { phase: "connecting" });
      __publicField(this, "stateTimings", []);
      __publicField(this, "lastStateAt", 0);
      __publicField(this, "reachable", false);
      __publicField(this, "jobTimeoutMs", 1e4);
      __publicField(this, "bornAt", performance.now());
      __publicField(this, "lostReason", "");
      // States wait here for the next frame; a newer one replaces an older one not yet applied.
      __publicField(this, "pendingState", null);
      __publicField(this, "pendingSpent", 0);
      __publicField(this, "frameRequest", 0);
      __publicField(this, "frameFallback");
      window.setInterval(() => this.watch(), 250);
    }
    /** A state message arrived; it is applied with the next frame, at most one per frame. */
    receiveState(s, start2) {
      this.lastStateAt = performance.now();
      const held = this.pendingState;
      this.pendingState = held && held.uiState !== void 0 && s.uiState === void 0 ? { ...s, uiState: held.uiState } : s;
      this.pendingSpent += this.lastStateAt - start2;
      if (!this.reachable && this.connection.phase === "online") this.setReachable(true, "");
      if (this.frameRequest || this.frameFallback !== void 0) return;
      this.frameRequest = requestAnimationFrame(() => this.flushState());
      this.frameFallback = window.setTimeout(() => this.flushState(), 50);
    }
    flushState() {
      if (this.frameRequest) cancelAnimationFrame(this.frameRequest);
      if (this.frameFallback !== void 0) clearTimeout(this.frameFallback);
      this.frameRequest = 0;
      this.frameFallback = void 0;
      const s = this.pendingState;
      if (!s) return;
      this.pendingState = null;
      const start2 = performance.now();
      this.emitState(s);
      this.stateTimings.push(this.pendingSpent + performance.now() - start2);
      this.pendingSpent = 0;
      if (this.stateTimings.length > 200) this.stateTimings.shift();
    }
    /** The link went quiet or broke: said at once, not after the next silence check. */
    linkLost(reason) {
      this.pendingState = null;
      this.setReachable(false, reason);
    }
    watch() {
      this.checkJobs();
      if (this.connection.phase === "login") return;
      const since = performance.now() - Math.max(this.lastStateAt, this.bornAt);
      if (since > SILENCE_MS && (this.reachable || this.lostReason === "")) {
        this.linkLost(this.lastStateAt ? `no state for over ${SILENCE_MS / 1e3} s` : "no state yet");
      }
    }
    checkJobs() {
    }
    setReachable(r, reason) {
      const was = this.reachable;
      const announced = this.lostReason !== "";
      this.reachable = r;
      this.lostReason = r ? "" : reason;
      if (was === r && (r || announced)) return;
      for (const l of this.reachableListeners) l(r, reason);
    }
    onReachable(l) {
      this.reachableListeners.push(l);
    }
    /** While the stage computer cannot be reached only reads go out; a change is refused here. */
    refuseOffline(method, request) {
      if (this.reachable || isReadOnly(method)) return null;
      const reply = { id: request.id, ok: false, error: OFFLINE_ERROR };
      this.traffic(request, reply);
      return reply;
    }
    newId() {
      this.lastId = nextRequestId(this.lastId);
      while (this.waiters.has(this.lastId)) this.lastId = nextRequestId(this.lastId);
      return this.lastId;
    }
    emitState(s) {
      for (const l of this.stateListeners) l(s);
    }
    setConnection(c) {
      this.connection = c;
      for (const l of this.connectionListeners) l(c);
    }
    traffic(q, r) {
      for (const l of this.trafficListeners) l(q, r);
    }
    onState(l) {
      this.stateListeners.push(l);
    }
    onConnection(l) {
      this.connectionListeners.push(l);
      l(this.connection);
    }
    onTraffic(l) {
      this.trafficListeners.push(l);
    }
    login(_password) {
      return Promise.resolve({ id: 0, ok: true, result: {} });
    }
    logout() {
    }
  };
  var DesktopBridge = class extends BridgeBase {
    constructor() {
      super();
      __publicField(this, "link", "desktop");
      window.addEventListener("message", (e) => {
        if (e.source !== window || !e.data || typeof e.data.text !== "string") return;
        const kind = e.data.ruviBridge;
        if (kind !== "reply" && kind !== "event") return;
        const start2 = performance.now();
        let msg;
        try {
          msg = JSON.parse(e.data.text);
        } catch {
          return;
        }
        if (kind === "event") {
          if (msg && msg.event === "status" && msg.result && typeof msg.result === "object") {
            if (this.connection.phase !== "online") this.setConnection({ phase: "online", transport: "bridge" });
            this.receiveState(msg.result, start2);
          }
          return;
        }
        this.onReply(msg);
      });
      this.setConnection({ phase: "connecting", message: "Waiting for the program" });
    }
    onReply(reply) {
      var _a, _b;
      const w = this.waiters.get(reply.id);
      if (!w) {
        if (reply.id === 0) this.traffic({ id: 0 }, reply);
        return;
      }
      if (reply.ok && reply.result && reply.result.pending === true) {
        (_b = (_a = w.options) == null ? void 0 : _a.onPending) == null ? void 0 : _b.call(_a, { jobId: reply.result.jobId, method: reply.result.method });
        return;
      }
      this.waiters.delete(reply.id);
      this.traffic(w.request, reply);
      w.resolve(reply);
    }
    call(method, params = {}, options) {
      const id = this.newId();
      const request = { id, method, params };
      const refused = this.refuseOffline(method, request);
      if (refused) return Promise.resolve(refused);
      return new Promise((resolve) => {
        this.waiters.set(id, { resolve, options, request });
        window.postMessage({ ruviBridge: "request", text: JSON.stringify(request) }, location.origin);
      });
    }
  };
  async function postJson(path, body, token) {
    const headers = { "Content-Type": "application/json" };
    if (token) headers.Authorization = `Bearer ${token}`;
    const res = await fetch(path, { method: "POST", headers, body: JSON.stringify(body), cache: "no-store" });
    let parsed = null;
    try {
      parsed = await res.json();
    } catch {
      parsed = null;
    }
    return { status: res.status, body: parsed };
  }
  var LanBridge = class extends BridgeBase {
    constructor() {
      super();
      __publicField(this, "link", "lan");
      __publicField(this, "token", null);
      __publicField(this, "ws", null);
      __publicField(this, "authenticated", false);
      __publicField(this, "failures", 0);
      __publicField(this, "retryTimer");
      __publicField(this, "pollTimer");
      __publicField(this, "polling", false);
      __publicField(this, "revision", 0);
      __publicField(this, "lastUi");
      __publicField(this, "jobs", /* @__PURE__ */ new Map());
      __publicField(this, "stopped", false);
      /** Whether the held token has worked: its refusal then means the stage computer restarted. */
      __publicField(this, "tokenWorked", false);
      /** The link broke since the last state: the next state is the first after a reconnect. */
      __publicField(this, "reconnecting", false);
      try {
        this.token = sessionStorage.getItem(TOKEN_KEY);
      } catch {
        this.token = null;
      }
      if (this.token) this.open();
      else this.setConnection({ phase: "login" });
    }
    async login(password) {
      if (password === "") {
        const error = "Enter the password";
        this.setConnection({ phase: "login", message: error });
        return { id: 0, ok: false, error };
      }
      let res;
      try {
        res = await postJson("/api/login", { password });
      } catch (e) {
        const error = `Cannot reach the stage computer (${e.message})`;
        this.setConnection({ phase: "login", message: error });
        return { id: 0, ok: false, error };
      }
      if (res.status !== 200 || !res.body || typeof res.body.token !== "string") {
        const error = res.body && typeof res.body.error === "string" ? res.body.error : `HTTP ${res.status}`;
        this.setConnection({ phase: "login", message: error });
        return { id: 0, ok: false, error };
      }
      const { token, clientId, webSocket, transport, ...state } = res.body;
      void clientId;
      void webSocket;
      void transport;
      this.token = token;
      try {
        sessionStorage.setItem(TOKEN_KEY, token);
      } catch {
      }
      this.stopped = false;
      this.failures = 0;
      this.tokenWorked = true;
      this.acceptState(state);
      this.open();
      return { id: 0, ok: true, result: state };
    }
    logout() {
      this.stopped = true;
      this.token = null;
      try {
        sessionStorage.removeItem(TOKEN_KEY);
      } catch {
      }
      this.closeSocket();
      this.stopPolling();
      this.failAll("Logged out");
      this.setConnection({ phase: "login" });
    }
    loginRequired(message) {
      if (this.tokenWorked) message = `The stage computer restarted or the session ended (${message}). Log in again.`;
      this.tokenWorked = false;
      this.token = null;
      try {
        sessionStorage.removeItem(TOKEN_KEY);
      } catch {
      }
      this.stopped = true;
      this.closeSocket();
      this.stopPolling();
      this.failAll(message);
      this.setConnection({ phase: "login", message });
    }
    acceptState(s, start2 = performance.now()) {
      if (!s || typeof s.revision !== "number") return;
      this.revision = s.revision;
      if (s.uiState !== void 0) this.lastUi = s.uiState;
      else if (this.lastUi !== void 0) s = { ...s, uiState: this.lastUi };
      this.settleJobs(s, this.reconnecting);
      this.reconnecting = false;
      this.receiveState(s, start2);
    }
    linkLost(reason) {
      this.reconnecting = true;
      super.linkLost(reason);
    }
    settle(jobId, reply) {
      const w = this.jobs.get(jobId);
      if (!w) return;
      this.jobs.delete(jobId);
      this.traffic(w.request, reply);
      w.resolve(reply);
    }
    // A LAN job answers "pending" at once; its outcome shows up later as the state's job event.
    // The state keeps only the last job, so a newer job or a reconnect can hide the outcome: the
    // waiting caller is then told so instead of waiting for an event that never comes.
    settleJobs(s, afterReconnect) {
      if (this.jobs.size === 0) return;
      const job = s.status && s.status.controlJob || {};
      const now = performance.now();
      for (const [jobId, w] of [...this.jobs]) {
        if (job.jobId === jobId && job.busy === true) {
          w.seenAt = now;
        } else if (job.jobId === jobId && job.busy === false) {
          this.settle(jobId, job.ok ? { id: 0, ok: true, result: job } : { id: 0, ok: false, error: job.error || "Job failed" });
        } else if (typeof job.jobId === "number" && job.jobId > jobId) {
          this.settle(jobId, { id: 0, ok: false, error: `${w.method} ended unseen: a newer job (${job.method}) followed it; check its outcome on screen` });
        } else if (afterReconnect) {
          this.settle(jobId, { id: 0, ok: false, error: `The link was lost while ${w.method} ran; its outcome is unknown, check it on screen` });
        }
      }
    }
    // No word about a job for a long time (states stopped, or the job vanished): give up waiting.
    checkJobs() {
      const now = performance.now();
      for (const [jobId, w] of [...this.jobs]) {
        if (now - w.seenAt > this.jobTimeoutMs) {
          this.settle(jobId, { id: 0, ok: false, error: `No outcome for ${w.method} after ${Math.round(this.jobTimeoutMs / 1e3)} s; check it on screen` });
        }
      }
    }
    failAll(error) {
      for (const [id, w] of this.waiters) w.resolve({ id, ok: false, error });
      this.waiters.clear();
      for (const [, w] of this.jobs) w.resolve({ id: 0, ok: false, error });
      this.jobs.clear();
    }
    closeSocket() {
      if (this.retryTimer !== void 0) clearTimeout(this.retryTimer);
      this.retryTimer = void 0;
      if (this.ws) {
        this.ws.onclose = null;
        this.ws.onmessage = null;
        this.ws.onerror = null;
        this.ws.close();
      }
      this.ws = null;
      this.authenticated = false;
    }
    open() {
      if (!this.token || this.stopped) return;
      this.closeSocket();
      if (!(this.polling && this.connection.phase === "online")) {
        this.setConnection({ phase: "connecting", message: this.failures ? `Reconnecting (attempt ${this.failures + 1})` : void 0 });
      }
      let ws;
      try {
        ws = new WebSocket(`ws://${location.host}/api/ruvi`);
      } catch {
        this.socketLost(1006);
        return;
      }
      this.ws = ws;
      ws.onopen = () => ws.send(JSON.stringify({ type: "auth", token: this.token }));
      ws.onmessage = (e) => this.onSocketMessage(e.data);
      ws.onclose = (e) => this.socketLost(e.code);
    }
    onSocketMessage(text) {
      if (typeof text !== "string") return;
      const start2 = performance.now();
      let msg;
      try {
        msg = JSON.parse(text);
      } catch {
        return;
      }
      if (msg.type === "state") {
        this.acceptState(msg.state, start2);
      } else if (msg.type === "authenticated") {
        this.authenticated = true;
        this.tokenWorked = true;
        this.failures = 0;
        this.stopPolling();
        this.setConnection({ phase: "online", transport: "websocket" });
      } else if (msg.type === "reply") {
        const { type, ...reply } = msg;
        void type;
        this.onReply(reply);
      }
    }
    onReply(reply) {
      var _a, _b;
      const w = this.waiters.get(reply.id);
      if (!w) return;
      this.waiters.delete(reply.id);
      if (reply.ok && reply.result && reply.result.pending === true && typeof reply.result.jobId === "number") {
        (_b = (_a = w.options) == null ? void 0 : _a.onPending) == null ? void 0 : _b.call(_a, { jobId: reply.result.jobId, method: reply.result.method });
        this.jobs.set(reply.result.jobId, { ...w, method: reply.result.method, seenAt: performance.now() });
        return;
      }
      this.traffic(w.request, reply);
      w.resolve(reply);
    }
    async socketLost(code) {
      const wasAuthenticated = this.authenticated;
      this.ws = null;
      this.authenticated = false;
      for (const [id, w] of this.waiters) w.resolve({ id, ok: false, error: "Connection lost; the request may not have run" });
      this.waiters.clear();
      if (this.stopped || !this.token) return;
      if (code === 1008) {
        const check = await this.fetchEvents();
        if (check === "login") return;
      }
      this.failures = wasAuthenticated ? 1 : this.failures + 1;
      const polled = this.polling && this.connection.phase === "online";
      if (this.failures >= 2 && !polled) this.linkLost("connection lost, the retry failed");
      if (this.failures >= 3) this.startPolling();
      const delay = Math.min(8e3, 500 * 2 ** Math.min(this.failures - 1, 4));
      if (!this.polling) this.setConnection({ phase: "connecting", message: `Connection lost; retrying in ${Math.round(delay / 100) / 10} s` });
      this.retryTimer = window.setTimeout(() => this.open(), delay);
    }
    // ---- HTTP polling ----
    startPolling() {
      if (this.polling) return;
      this.polling = true;
      const tick = async () => {
        if (!this.polling) return;
        const r = await this.fetchEvents();
        if (r === "ok" && this.polling) this.setConnection({ phase: "online", transport: "polling" });
        if (this.polling) this.pollTimer = window.setTimeout(tick, 250);
      };
      tick();
    }
    stopPolling() {
      this.polling = false;
      if (this.pollTimer !== void 0) clearTimeout(this.pollTimer);
      this.pollTimer = void 0;
    }
    async fetchEvents() {
      if (!this.token) return "login";
      try {
        const after = this.lastUi === void 0 ? 0 : this.revision;
        const res = await fetch(`/api/events?after=${after}`, { headers: { Authorization: `Bearer ${this.token}` }, cache: "no-store" });
        const body = await res.json().catch(() => null);
        if (res.status === 401) {
          this.loginRequired(body && typeof body.error === "string" ? body.error : "Login required");
          return "login";
        }
        if (res.status !== 200 || !body) return "error";
        if (this.polling && !(this.connection.phase === "online" && this.connection.transport === "polling")) {
          this.setConnection({ phase: "online", transport: "polling" });
        }
        this.acceptState(body);
        return "ok";
      } catch {
        return "error";
      }
    }
    call(method, params = {}, options) {
      const id = this.newId();
      const request = { id, method, params };
      if (LOCAL_ONLY.has(method)) {
        const reply = { id, ok: false, error: LOCAL_COMPUTER_ERROR };
        this.traffic(request, reply);
        return Promise.resolve(reply);
      }
      const refused = this.refuseOffline(method, request);
      if (refused) return Promise.resolve(refused);
      if (this.ws && this.authenticated && this.ws.readyState === WebSocket.OPEN) {
        return new Promise((resolve) => {
          this.waiters.set(id, { resolve, options, request });
          this.ws.send(JSON.stringify({ type: "rpc", ...request }));
        });
      }
      if (!this.token) {
        const reply = { id, ok: false, error: "Login required" };
        this.traffic(request, reply);
        return Promise.resolve(reply);
      }
      return this.callOverHttp(request, options);
    }
    async callOverHttp(request, options) {
      var _a, _b, _c, _d;
      let reply;
      try {
        const res = await postJson("/api/rpc", request, this.token ?? void 0);
        if (res.status === 401) {
          this.loginRequired(((_a = res.body) == null ? void 0 : _a.error) ?? "Login required");
          reply = { id: request.id, ok: false, error: ((_b = res.body) == null ? void 0 : _b.error) ?? "Login required" };
        } else if (res.status !== 200) {
          reply = { id: request.id, ok: false, error: ((_c = res.body) == null ? void 0 : _c.error) ?? `HTTP ${res.status}` };
        } else {
          reply = res.body;
        }
      } catch (e) {
        reply = { id: request.id, ok: false, error: `Cannot reach the stage computer (${e.message})` };
      }
      if (reply.ok && reply.result && reply.result.pending === true && typeof reply.result.jobId === "number") {
        (_d = options == null ? void 0 : options.onPending) == null ? void 0 : _d.call(options, { jobId: reply.result.jobId, method: reply.result.method });
        return new Promise((resolve) => this.jobs.set(reply.result.jobId, { resolve, options, request, method: reply.result.method, seenAt: performance.now() }));
      }
      this.traffic(request, reply);
      return reply;
    }
  };
  function isLocalOnly(method) {
    return LOCAL_ONLY.has(method);
  }
  function createBridge() {
    return document.documentElement.getAttribute("data-ruvi-bridge") === "1" ? new DesktopBridge() : new LanBridge();
  }
  if (typeof window !== "undefined" && typeof document !== "undefined" && !window.RuviBridge) {
    window.RuviBridge = createBridge();
  }

  // web/src/store.ts
  var REFUSAL_MS = 8e3;
  var LOCAL_HINT = "Only the stage computer can do this: use the program's own window there.";
  function refusalHint(method, params, error, lan) {
    if (error.startsWith("The stage computer cannot be reached")) return "Wait for the link to come back, then try again.";
    if (method === "startRecording") {
      const folder = typeof (params == null ? void 0 : params.directory) === "string" ? params.directory : "";
      if (lan && (folder === "" || error === "Set the recording folder on the local computer first")) {
        return "Set the recording folder on the stage computer (Recording screen in the program's window).";
      }
      if (!lan && folder === "") return "Enter the recording folder above, then Keep settings.";
    }
    if (lan && (isLocalOnly(method) || error === LOCAL_COMPUTER_ERROR || /local-only|locally|local computer/.test(error))) return LOCAL_HINT;
    return "";
  }
  var Store = class {
    constructor(bridge2) {
      this.bridge = bridge2;
      __publicField(this, "revision", -1);
      __publicField(this, "status", null);
      __publicField(this, "ui", null);
      /** Changes with every UI document that arrives; screens compare it to skip rebuilds. */
      __publicField(this, "uiGeneration", 0);
      __publicField(this, "lastError", "");
      __publicField(this, "traffic", []);
      __publicField(this, "errors", []);
      __publicField(this, "listeners", []);
      __publicField(this, "errorListeners", []);
      __publicField(this, "stateCount", 0);
      __publicField(this, "lastApplyMs", 0);
      /** The screen in view: a refusal is shown with the screen whose request caused it. */
      __publicField(this, "screen", "mixer");
      /** The screen and control of the user's action being handled now, when a call comes from one. */
      __publicField(this, "origin", null);
      /** The refusal each screen shows now. */
      __publicField(this, "refusals", /* @__PURE__ */ new Map());
      __publicField(this, "refusalListeners", []);
      __publicField(this, "onlineListeners", []);
      bridge2.onReachable((r, why) => {
        for (const l of this.onlineListeners) l(r, why);
      });
      bridge2.onState((s) => this.accept(s));
      bridge2.onTraffic((request, reply) => this.record(request, reply));
      bridge2.onConnection((c) => {
        if (c.phase === "login") this.revision = -1;
      });
    }
    get lan() {
      return this.bridge.link === "lan";
    }
    /**
     * Whether the stage computer is reachable: states arrive. While it is false the values on
     * screen are old, meters must show nothing, and changes are refused without being sent.
     * The page also mirrors it as <html data-online="1|0">.
     */
    get online() {
      return this.bridge.reachable;
    }
    onOnline(l) {
      this.onlineListeners.push(l);
    }
    onRefusal(l) {
      this.refusalListeners.push(l);
    }
    showRefusal(screen, r) {
      const old = this.refusals.get(screen);
      if (!old && !r) return;
      if ((old == null ? void 0 : old.control) && old.control !== (r == null ? void 0 : r.control)) delete old.control.dataset.refused;
      if (r) {
        this.refusals.set(screen, r);
        if (r.control) r.control.dataset.refused = "1";
        window.setTimeout(() => {
          if (this.refusals.get(screen) === r) this.showRefusal(screen, null);
        }, REFUSAL_MS);
      } else {
        this.refusals.delete(screen);
      }
      for (const l of this.refusalListeners) l(screen, r);
    }
    /** Takes a reply for the screen that asked: a refusal is shown there, a change that went through clears it. */
    answered(screen, control, method, params, reply) {
      if (!reply.ok) {
        const error = String(reply.error ?? "");
        this.showRefusal(screen, { at: Date.now(), screen, method, error, hint: refusalHint(method, params, error, this.lan), control });
      } else if (!isReadOnly(method)) {
        this.showRefusal(screen, null);
      }
    }
    accept(s) {
      const t0 = performance.now();
      const newer = s.revision > this.revision || this.revision < 0;
      const uiChanged = newer && s.uiState !== void 0 && s.uiState !== null;
      this.status = s.status ?? null;
      if (uiChanged) {
        this.ui = s.uiState;
        this.uiGeneration++;
      }
      if (newer) this.revision = s.revision;
      this.stateCount++;
      for (const l of this.listeners) l(this, uiChanged);
      this.lastApplyMs = performance.now() - t0;
    }
    subscribe(l) {
      this.listeners.push(l);
    }
    onError(l) {
      this.errorListeners.push(l);
    }
    record(request, reply) {
      const entry = { at: Date.now(), request, reply };
      if (!reply.ok) entry.hint = refusalHint(String((request == null ? void 0 : request.method) ?? ""), request == null ? void 0 : request.params, String(reply.error ?? ""), this.lan);
      this.traffic.push(entry);
      if (this.traffic.length > 40) this.traffic.shift();
      if (!reply.ok) {
        this.errors.push(entry);
        if (this.errors.length > 200) this.errors.shift();
        this.lastError = String(reply.error ?? "");
        for (const l of this.errorListeners) l(this.lastError);
      }
    }
    call(method, params = {}, onPending) {
      var _a;
      const focused = typeof document !== "undefined" ? document.activeElement : null;
      const screen = ((_a = this.origin) == null ? void 0 : _a.screen) ?? this.screen;
      const control = this.origin ? this.origin.control : focused instanceof HTMLElement && focused.closest(".screen") ? focused : null;
      return this.bridge.call(method, params, onPending ? { onPending } : void 0).then((reply) => {
        this.answered(screen, control, method, params, reply);
        return reply;
      });
    }
    /** Sends a live-control request; its UI patch is shown at once and confirmed by the echo. */
    send(rpc) {
      const patch = rpc.localPatch ?? rpc.params.uiPatch;
      if (patch && this.ui && this.online) {
        applyPatchLocally(this.ui, patch);
        this.uiGeneration++;
        for (const l of this.listeners) l(this, true);
      }
      return this.call(rpc.method, rpc.params).then((reply) => {
        var _a;
        if (!reply.ok) {
          this.revision = -1;
          void this.call("getControlState", { after: 0 }).then((r) => {
            if (r.ok && r.result && typeof r.result.revision === "number") this.accept(r.result);
          });
        } else if (rpc.params.uiPatch && typeof ((_a = reply.result) == null ? void 0 : _a.revision) === "number" && reply.result.revision === this.revision + 1) this.revision = reply.result.revision;
        return reply;
      });
    }
    /** Structural requests carry the revision they were based on. */
    structural(method, params) {
      return this.call(method, { ...params, baseRevision: Math.max(0, this.revision) }).then((reply) => {
        const r = reply.ok ? reply.result : null;
        if (r && typeof r.revision === "number" && r.uiState && typeof r.uiState === "object" && r.revision > this.revision) {
          this.accept({ revision: r.revision, status: r.status ?? this.status, uiState: r.uiState });
        }
        return reply;
      });
    }
  };

  // web/src/units.ts
  var MINUS = "−";
  function valueToPos(v, s) {
    const x = Math.min(s.max, Math.max(s.min, v));
    if (s.log) return Math.log(x / s.min) / Math.log(s.max / s.min);
    return (x - s.min) / (s.max - s.min);
  }
  function posToValue(pos, s) {
    const p = Math.min(1, Math.max(0, pos));
    if (s.log) return s.min * Math.pow(s.max / s.min, p);
    return s.min + p * (s.max - s.min);
  }
  var signed = (v, digits) => {
    const t = Math.abs(v).toFixed(digits);
    if (Number(t) === 0) return t;
    return (v < 0 ? MINUS : "+") + t;
  };
  function fmtLevel(db2, offAt = -80) {
    if (!Number.isFinite(db2) || db2 <= offAt) return `${MINUS}∞ dB`;
    return `${signed(db2, 1)} dB`;
  }
  function fmtValue(v, unit) {
    if (!Number.isFinite(v)) return "–";
    switch (unit) {
      case "dB":
        return `${signed(v, 1)} dB`;
      case "dB span":
        return `${Math.abs(v).toFixed(1)} dB`;
      case "Hz":
        return v >= 1e3 ? `${trim(v / 1e3, v >= 1e4 ? 1 : 2)} kHz` : `${Math.round(v)} Hz`;
      case "ms":
        return `${trim(v, v < 10 ? 2 : v < 100 ? 1 : 0)} ms`;
      case "ratio":
        return `${trim(v, 1)}:1`;
      case "q":
        return trim(v, 2);
      case "%":
        return `${trim(v, 1)} %`;
    }
  }
  function trim(v, digits) {
    return String(Number(v.toFixed(digits)));
  }
  function parseValue(text, unit) {
    const t = text.trim().replace(/\u2212/g, "-").replace(/,/g, ".").toLowerCase();
    const m = /^([+-]?(?:\d+\.?\d*|\.\d+))\s*([a-z%:]*)\s*(1?)$/.exec(t);
    if (!m) return null;
    let v = Number(m[1]);
    const suffix = m[2];
    if (!Number.isFinite(v)) return null;
    const ok = (...allowed) => allowed.includes(suffix);
    switch (unit) {
      case "dB":
      case "dB span":
        if (!ok("", "db")) return null;
        break;
      case "Hz":
        if (ok("k", "khz")) v *= 1e3;
        else if (!ok("", "hz")) return null;
        break;
      case "ms":
        if (ok("s")) v *= 1e3;
        else if (!ok("", "ms")) return null;
        break;
      case "ratio":
        if (!ok("", ":")) return null;
        break;
      case "q":
        if (!ok("", "q")) return null;
        break;
      case "%":
        if (!ok("", "%")) return null;
        break;
    }
    if (m[3] && unit !== "ratio") return null;
    return v;
  }
  function markText(db2) {
    if (!Number.isFinite(db2)) return `${MINUS}∞`;
    return db2 < 0 ? `${MINUS}${Math.abs(db2)}` : String(db2);
  }

  // web/src/widgets.ts
  var TAPER = [
    [-80, 0],
    [-60, 0.08],
    [-40, 0.2],
    [-30, 0.3],
    [-20, 0.45],
    [-10, 0.65],
    [-5, 0.75],
    [0, 0.85],
    [5, 0.925],
    [10, 1]
  ];
  function dbToPos(db2) {
    if (db2 <= TAPER[0][0]) return 0;
    for (let i = 1; i < TAPER.length; i++) {
      const [d1, p1] = TAPER[i];
      const [d0, p0] = TAPER[i - 1];
      if (db2 <= d1) return p0 + (db2 - d0) / (d1 - d0) * (p1 - p0);
    }
    return 1;
  }
  function posToDb(pos) {
    if (pos <= 0) return FADER_MIN;
    for (let i = 1; i < TAPER.length; i++) {
      const [d1, p1] = TAPER[i];
      const [d0, p0] = TAPER[i - 1];
      if (pos <= p1) return d0 + (pos - p0) / (p1 - p0) * (d1 - d0);
    }
    return FADER_MAX;
  }
  var FADER_MARKS = [10, 5, 0, -5, -10, -20, -30, -40, -60, -Infinity];
  var METER_MARKS = [0, -6, -12, -20, -30, -40, -60];
  var METER_FLOOR_DB = -60;
  function scale(cls, label, marks) {
    const el = h("div", { class: `scale ${cls}`, role: "list", "aria-label": label });
    for (const m of marks) {
      el.append(h("span", { class: "mark", role: "listitem", style: `bottom:${(m.pos * 100).toFixed(2)}%`, text: m.text }));
    }
    return el;
  }
  var TapTracker = class {
    constructor() {
      __publicField(this, "lastTap", 0);
      __publicField(this, "downAt", 0);
      __publicField(this, "moved", 0);
    }
    down() {
      const now = performance.now();
      if (now - this.lastTap < 350) {
        this.lastTap = 0;
        return true;
      }
      this.downAt = now;
      this.moved = 0;
      return false;
    }
    move(d) {
      this.moved = Math.max(this.moved, Math.abs(d));
    }
    up() {
      const tap = this.moved < 4 && performance.now() - this.downAt < 300;
      this.lastTap = tap ? performance.now() : 0;
    }
  };
  var disabledOf = (el) => el.getAttribute("aria-disabled") === "true";
  var Fader = class {
    constructor(opts) {
      this.opts = opts;
      /** The whole unit: scale, track and readout. */
      __publicField(this, "el");
      /** The focusable slider itself. */
      __publicField(this, "slider");
      __publicField(this, "thumb");
      __publicField(this, "readout");
      __publicField(this, "entry");
      __publicField(this, "value", 0);
      __publicField(this, "dragging", false);
      __publicField(this, "taps", new TapTracker());
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
        "aria-orientation": "vertical"
      }, track);
      const marks = FADER_MARKS.map((db2) => ({ text: markText(db2), pos: dbToPos(Number.isFinite(db2) ? db2 : FADER_MIN) }));
      this.el = h(
        "div",
        { class: "fader-unit" },
        h("div", { class: "fader-body" }, this.slider, scale("fader-scale", "Fader scale in dB", marks)),
        this.readout
      );
      if (opts.entry) {
        const entry = h("input", { type: "text", class: "entry", inputmode: "decimal", "aria-label": `${opts.label} value` });
        entry.addEventListener("change", () => {
          const v = parseValue(entry.value, "dB");
          const off = /^\s*(-|\u2212)?\s*(∞|inf|off)/i.test(entry.value);
          setClass(entry, "invalid", v === null && !off);
          if (v !== null || off) this.emit(off ? FADER_MIN : v);
          entry.value = fmtLevel(this.value);
        });
        this.entry = entry;
        this.el.append(entry);
      }
      this.bind(track);
      this.render();
    }
    get active() {
      return this.dragging;
    }
    get disabled() {
      return disabledOf(this.slider);
    }
    /** A disabled fader shows its value and takes no input. */
    set disabled(v) {
      this.slider.setAttribute("aria-disabled", String(v));
      if (this.entry) this.entry.disabled = v;
    }
    set(db2) {
      if (this.dragging || db2 === this.value) return;
      this.value = db2;
      this.render();
    }
    emit(db2) {
      if (this.disabled) return;
      const v = clampFader(db2);
      if (v === this.value) return;
      this.value = v;
      this.render();
      this.opts.onInput(v);
    }
    render() {
      this.thumb.style.bottom = `calc(${(dbToPos(this.value) * 100).toFixed(2)}% - var(--thumb-h) / 2)`;
      const text = fmtLevel(this.value);
      setText(this.readout, text);
      if (this.entry && document.activeElement !== this.entry) this.entry.value = text;
      this.slider.setAttribute("aria-valuenow", String(this.value));
      this.slider.setAttribute("aria-valuetext", text);
    }
    bind(track) {
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
      const move = (e) => {
        var _a, _b;
        if (e.pointerId !== pointer) return;
        this.taps.move(e.clientY - startY);
        const height = track.clientHeight || 200;
        const fine = e.shiftKey || (((_b = (_a = this.opts).fine) == null ? void 0 : _b.call(_a)) ?? false);
        const delta = (startY - e.clientY) / height * (fine ? 0.25 : 1);
        this.emit(posToDb(Math.min(1, Math.max(0, startPos + delta))));
      };
      const end = (e) => {
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
        var _a, _b;
        const step = e.shiftKey || ((_b = (_a = this.opts).fine) == null ? void 0 : _b.call(_a)) ? 0.1 : 0.5;
        const map = {
          ArrowUp: () => this.value + step,
          ArrowRight: () => this.value + step,
          ArrowDown: () => this.value - step,
          ArrowLeft: () => this.value - step,
          PageUp: () => this.value + 6,
          PageDown: () => this.value - 6,
          Home: () => 0,
          End: () => FADER_MIN
        };
        const f = map[e.key];
        if (!f) return;
        e.preventDefault();
        this.emit(f());
      });
    }
  };
  var ParamSlider = class {
    constructor(opts, value) {
      this.opts = opts;
      __publicField(this, "el");
      __publicField(this, "slider");
      __publicField(this, "entry");
      __publicField(this, "thumb");
      __publicField(this, "fill");
      __publicField(this, "value");
      __publicField(this, "dragging", false);
      __publicField(this, "taps", new TapTracker());
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
        "aria-valuemax": opts.scale.max
      }, track);
      this.entry = h("input", { type: "text", class: "entry", inputmode: "decimal", "aria-label": `${opts.label} value` });
      this.entry.addEventListener("change", () => {
        const v = parseValue(this.entry.value, opts.unit);
        setClass(this.entry, "invalid", v === null);
        this.entry.title = v === null ? `Type a number${opts.unit === "q" || opts.unit === "ratio" ? "" : ` in ${opts.unit === "dB span" ? "dB" : opts.unit}`}` : "";
        if (v !== null) this.emit(v);
        this.render(false);
        if (v !== null) this.entry.value = fmtValue(this.value, opts.unit);
      });
      this.el = h("div", { class: "param" }, h("span", { class: "param-label", text: opts.shortLabel ?? opts.label }), this.slider, this.entry);
      this.bind(track);
      this.render(true);
    }
    get disabled() {
      return disabledOf(this.slider);
    }
    set disabled(v) {
      this.slider.setAttribute("aria-disabled", String(v));
      this.entry.disabled = v;
    }
    get busy() {
      return this.dragging || document.activeElement === this.entry;
    }
    set(v) {
      if (this.busy || v === this.value) return;
      this.value = v;
      this.render(true);
    }
    quantize(v) {
      const { min, max } = this.opts.scale;
      const s = this.opts.step;
      const q = Math.round(v / s) * s;
      return Math.min(max, Math.max(min, Number(q.toFixed(6))));
    }
    emit(v) {
      if (this.disabled) return;
      const q = v === this.opts.def ? v : this.quantize(v);
      if (q === this.value) return;
      this.value = q;
      this.render(document.activeElement !== this.entry);
      this.opts.onInput(q);
    }
    render(entry) {
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
    bind(track) {
      let startX = 0;
      let startPos = 0;
      let pointer = -1;
      track.addEventListener("pointerdown", (e) => {
        if (pointer !== -1 || this.disabled) return;
        if (this.taps.down()) {
          if (this.opts.def !== void 0) this.emit(this.opts.def);
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
        var _a, _b;
        if (e.pointerId !== pointer) return;
        this.taps.move(e.clientX - startX);
        const width = track.clientWidth || 200;
        const fine = e.shiftKey || (((_b = (_a = this.opts).fine) == null ? void 0 : _b.call(_a)) ?? false);
        const delta = (e.clientX - startX) / width * (fine ? 0.25 : 1);
        this.emit(posToValue(startPos + delta, this.opts.scale));
      });
      const end = (e) => {
        if (e.pointerId !== pointer) return;
        this.taps.up();
        pointer = -1;
        this.dragging = false;
        this.slider.classList.remove("dragging");
      };
      track.addEventListener("pointerup", end);
      track.addEventListener("pointercancel", end);
      this.slider.addEventListener("keydown", (e) => {
        var _a, _b;
        const fine = e.shiftKey || (((_b = (_a = this.opts).fine) == null ? void 0 : _b.call(_a)) ?? false);
        const pos = valueToPos(this.value, this.opts.scale);
        const step = fine ? 25e-4 : 0.01;
        const byPos = (d) => () => {
          const next = posToValue(pos + d, this.opts.scale);
          const q = this.quantize(next);
          return q === this.value ? this.value + Math.sign(d) * this.opts.step : next;
        };
        const map = {
          ArrowUp: byPos(step),
          ArrowRight: byPos(step),
          ArrowDown: byPos(-step),
          ArrowLeft: byPos(-step),
          PageUp: byPos(0.1),
          PageDown: byPos(-0.1),
          Home: this.opts.def !== void 0 ? () => this.opts.def : void 0,
          End: void 0
        };
        const f = map[e.key];
        if (!f) return;
        e.preventDefault();
        this.emit(f());
      });
    }
  };
  var HOLD_MS = 1500;
  var ZONES = [[-18, "#2fbf5f"], [-6, "#e8c23a"], [0, "#e84a3a"]];
  function meterFrac(peak) {
    const db2 = peakToDb(peak);
    if (!Number.isFinite(db2) || db2 <= METER_FLOOR_DB) return 0;
    return Math.min(1, (db2 - METER_FLOOR_DB) / -METER_FLOOR_DB);
  }
  var reductionText = (db2) => db2 < 0.5 ? "0" : markText(-Math.round(db2));
  var MeterBank = class {
    constructor() {
      __publicField(this, "meters", /* @__PURE__ */ new Map());
      __publicField(this, "dirty", /* @__PURE__ */ new Set());
      __publicField(this, "frame", 0);
      __publicField(this, "visibility");
      __publicField(this, "sizes");
      /** Counts for the page figures: frames drawn and canvases drawn in them. */
      __publicField(this, "stats", { frames: 0, canvases: 0, feeds: 0 });
      window.__ruviMeters = this;
      this.visibility = typeof IntersectionObserver === "function" ? new IntersectionObserver((entries) => {
        for (const e of entries) {
          const s = this.byCanvas(e.target);
          if (!s) continue;
          s.visible = e.isIntersecting;
          if (s.visible) this.mark(s);
        }
      }) : null;
      this.sizes = typeof ResizeObserver === "function" ? new ResizeObserver((entries) => {
        const dpr = window.devicePixelRatio || 1;
        for (const e of entries) {
          const s = this.byCanvas(e.target);
          if (!s) continue;
          s.width = Math.max(1, Math.round(e.contentRect.width * dpr));
          s.height = Math.max(1, Math.round(e.contentRect.height * dpr));
          s.shown = "";
          this.mark(s);
        }
      }) : null;
    }
    byCanvas(t) {
      const id = t.dataset.meter;
      const s = id === void 0 ? void 0 : this.meters.get(id);
      return s && s.canvas === t ? s : void 0;
    }
    /** The meter of one strip: clip mark, canvas and its dBFS scale. */
    meter(id, stereo, label = id) {
      var _a, _b;
      this.forget(id);
      const canvas = h("canvas", { class: "meter", width: 1, height: 1, "data-meter": id, "aria-hidden": "true" });
      const clip = h("div", { class: "clip-mark", text: "CLIP" });
      const marks = METER_MARKS.map((db2) => ({ text: markText(db2), pos: (db2 - METER_FLOOR_DB) / -METER_FLOOR_DB }));
      const el = h(
        "div",
        { class: "meter-unit", title: "Tap to clear the clip mark", "aria-label": `${label} meter`, "data-meter-unit": id },
        clip,
        h("div", { class: "meter-body" }, canvas, scale("meter-scale", "Meter scale in dBFS", marks))
      );
      const s = {
        id,
        el,
        canvas,
        clip,
        gr: null,
        stereo,
        l: 0,
        r: 0,
        holdL: 0,
        holdR: 0,
        holdAtL: 0,
        holdAtR: 0,
        clipped: false,
        gate: 0,
        comp: 0,
        grShown: "",
        blank: false,
        visible: this.visibility === null,
        shown: "",
        width: 0,
        height: 0
      };
      el.addEventListener("click", () => {
        if (!s.clipped) return;
        s.clipped = false;
        setClass(clip, "on", false);
      });
      this.meters.set(id, s);
      (_a = this.visibility) == null ? void 0 : _a.observe(canvas);
      (_b = this.sizes) == null ? void 0 : _b.observe(canvas);
      return el;
    }
    /** A line with the strip's gate and compressor gain reduction, in dB. */
    reduction(id) {
      const gr = h(
        "div",
        { class: "gr", title: "Gain reduction: gate, compressor" },
        h("span", { class: "gr-k", text: "G" }),
        h("span", { class: "gr-v gr-gate", text: "0" }),
        h("span", { class: "gr-k", text: "C" }),
        h("span", { class: "gr-v gr-comp", text: "0" })
      );
      const s = this.meters.get(id);
      if (s) s.gr = gr;
      return gr;
    }
    /** The gain reduction last reported for a strip (dB, positive), or undefined. */
    reductionOf(id) {
      const s = this.meters.get(id);
      return s ? { gate: s.gate, comp: s.comp } : void 0;
    }
    forget(id) {
      var _a, _b;
      const s = this.meters.get(id);
      if (!s) return;
      (_a = this.visibility) == null ? void 0 : _a.unobserve(s.canvas);
      (_b = this.sizes) == null ? void 0 : _b.unobserve(s.canvas);
      this.dirty.delete(s);
      this.meters.delete(id);
    }
    clearAll() {
      for (const id of [...this.meters.keys()]) this.forget(id);
    }
    /**
     * Shows nothing until the next state message: levels, holds and reductions drop to zero and
     * the meters turn grey (for a link that is lost). Clip marks stay until tapped.
     */
    blank() {
      for (const s of this.meters.values()) {
        s.l = s.r = s.holdL = s.holdR = 0;
        s.gate = s.comp = 0;
        s.blank = true;
        this.showReduction(s);
        this.mark(s);
      }
    }
    /** Values from a state message; a meter whose picture changes is drawn on the next frame. */
    feed(meters, stripMeters) {
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
          if (l >= s.holdL || now - s.holdAtL > HOLD_MS) {
            s.holdL = l;
            s.holdAtL = now;
          }
          if (r >= s.holdR || now - s.holdAtR > HOLD_MS) {
            s.holdR = r;
            s.holdAtR = now;
          }
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
    showReduction(s) {
      if (!s.gr) return;
      const g = s.blank ? "–" : reductionText(s.gate);
      const c = s.blank ? "–" : reductionText(s.comp);
      if (g + c === s.grShown) return;
      s.grShown = g + c;
      setText(s.gr.children[1], g);
      setText(s.gr.children[3], c);
      setClass(s.gr, "active", g !== "0" || c !== "0");
    }
    mark(s) {
      if (!s.visible || !s.width || this.picture(s).key === s.shown) return;
      this.dirty.add(s);
      if (!this.frame) this.frame = requestAnimationFrame(() => this.draw());
    }
    draw() {
      this.frame = 0;
      this.stats.frames++;
      for (const s of this.dirty) this.drawOne(s);
      this.dirty.clear();
    }
    /** What the meter would show, in device pixels. */
    picture(s) {
      const H = s.height;
      const bars = s.stereo ? [s.l, s.r] : [Math.max(s.l, s.r)];
      const holds = s.stereo ? [s.holdL, s.holdR] : [Math.max(s.holdL, s.holdR)];
      const len = bars.map((p) => Math.round(meterFrac(p) * H));
      const hold = holds.map((p) => Math.round(meterFrac(p) * H));
      return { len, hold, key: `${s.blank ? "b" : ""}${H}:${len.join(",")}/${hold.join(",")}` };
    }
    drawOne(s) {
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
        for (const [db2, colour] of ZONES) {
          const to = Math.min(len[i], Math.round((db2 - METER_FLOOR_DB) / -METER_FLOOR_DB * H));
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
  };

  // web/src/screens/topbar.ts
  var UNKNOWN = "—";
  var TopBar = class {
    constructor(store) {
      this.store = store;
      __publicField(this, "el");
      __publicField(this, "cells", {});
      __publicField(this, "conn");
      __publicField(this, "more");
      __publicField(this, "folded");
      const cell = (key, label, cls = "") => {
        const v = h("span", { class: "tb-v", "data-top": key });
        this.cells[key] = v;
        return h("div", { class: `tb-cell ${cls}`.trim(), "data-cell": key }, h("span", { class: "tb-k", text: label }), v);
      };
      this.conn = h("span", { class: "tb-conn", "data-top": "connection" });
      this.folded = h(
        "div",
        { class: "tb-folded", id: "tb-folded", "data-open": "0" },
        cell("format", "Rate / block"),
        cell("overruns", "Overruns"),
        cell("latency", "Latency"),
        cell("revision", "Rev"),
        cell("job", "Job", "tb-job"),
        cell("playback", "Play"),
        cell("lan", "LAN")
      );
      this.more = h("button", { class: "tb-more", type: "button", "aria-expanded": "false", "aria-controls": "tb-folded", "data-action": "topbarMore", text: "More ▾" });
      const setOpen = (open) => {
        this.folded.dataset.open = open ? "1" : "0";
        this.more.setAttribute("aria-expanded", String(open));
      };
      this.more.addEventListener("click", () => setOpen(this.folded.dataset.open !== "1"));
      document.addEventListener("pointerdown", (e) => {
        if (this.folded.dataset.open === "1" && !this.folded.contains(e.target) && !this.more.contains(e.target)) setOpen(false);
      });
      this.el = h(
        "header",
        { class: "topbar" },
        h("div", { class: "brand" }, h("span", { class: "brand-name", text: "RUVI" }), this.conn),
        cell("audio", "Audio", "tb-keep"),
        cell("xruns", "Xruns", "tb-keep"),
        cell("recording", "Rec", "tb-keep"),
        this.folded,
        this.more
      );
    }
    connection(c) {
      const text = c.phase === "online" ? `online · ${c.transport}` : c.phase === "login" ? "not logged in" : c.phase === "connecting" ? c.message ?? "connecting" : c.message;
      setText(this.conn, text);
      setClass(this.conn, "ok", c.phase === "online");
      setClass(this.conn, "bad", c.phase !== "online");
    }
    /** The link is up but no state arrives. */
    stale(text) {
      setText(this.conn, text);
      setClass(this.conn, "ok", false);
      setClass(this.conn, "bad", true);
    }
    /** The stage computer cannot be reached: no figure keeps its last value. */
    unknown() {
      for (const [key, v] of Object.entries(this.cells)) {
        setText(v, key === "audio" ? "UNKNOWN" : UNKNOWN);
        for (const c of ["ok", "bad", "warn", "rec"]) setClass(v, c, false);
        v.title = "The stage computer cannot be reached";
      }
      setClass(this.cells.audio, "bad", true);
    }
    update() {
      if (this.conn.classList.contains("bad") && this.store.bridge.connection.phase === "online") this.connection(this.store.bridge.connection);
      const st = this.store.status;
      if (!st) return;
      if (!this.store.online) return this.unknown();
      const a = st.audio ?? {};
      const c = this.cells;
      setText(c.audio, a.running ? "RUNNING" : "STOPPED");
      setClass(c.audio, "ok", !!a.running && !a.error);
      setClass(c.audio, "bad", !a.running || !!a.error);
      c.audio.title = a.error || "";
      setText(c.format, `${fmtField(a.sampleRate, "rate")} / ${fmtNum(a.blockFrames)}`);
      c.format.title = "Sample rate / block in frames";
      setText(c.xruns, fmtNum(a.xruns));
      setClass(c.xruns, "warn", (a.xruns ?? 0) > 0);
      c.xruns.title = "";
      setText(c.overruns, fmtNum(a.renderDeadlineOverruns));
      setClass(c.overruns, "warn", (a.renderDeadlineOverruns ?? 0) > 0);
      c.overruns.title = "Render deadline overruns";
      const rate = a.sampleRate || 48e3;
      const graphMs = (a.graphLatencySamples ?? 0) / rate * 1e3;
      setText(c.latency, `${fmtNum((a.reportedOutputMs ?? 0) + graphMs, 1)} ms`);
      c.latency.title = "Output latency the device reports plus the mix's own";
      setText(c.revision, String(this.store.revision));
      c.revision.title = "";
      const job = st.controlJob ?? {};
      const jobText = job.busy ? `${job.method} ${job.phase} ${Math.round((job.phaseProgress ?? 0) * 100)}%` : job.method ? `${job.method}: ${job.phase}` : "idle";
      setText(c.job, jobText);
      c.job.title = job.error ? `${jobText} (${job.error})` : jobText;
      setClass(c.job, "warn", !!job.busy);
      const rec = st.recording ?? {};
      setText(c.recording, String(rec.state ?? "idle"));
      c.recording.title = "";
      setClass(c.recording, "rec", rec.state === "recording");
      setClass(c.recording, "bad", rec.state === "failed" || rec.captureIssue === true);
      const pb = st.playback ?? {};
      setText(c.playback, String(pb.state ?? "empty"));
      c.playback.title = "";
      setClass(c.playback, "ok", !!pb.playing);
      const lan = st.remote ?? {};
      const connected = Number(lan.webSocketClients ?? 0);
      setText(c.lan, lan.enabled ? `${fmtNum(connected)} connected` : "off");
      c.lan.title = lan.enabled ? `${fmtNum(connected)} clients connected now; ${fmtNum(lan.clients)} logins still valid` : "LAN control is off";
    }
  };

  // web/src/screens/mixer.ts
  var NO_CUE = "Solo needs a cue bus; this session has none";
  var SECTION_TITLES = {
    channels: "Channels",
    aux: "Aux",
    groups: "Groups",
    matrices: "Matrices",
    returns: "Returns",
    master: "Main",
    mono: "Mono",
    monitor: "Cue",
    dcas: "DCA"
  };
  var MixerScreen = class {
    constructor(store, meters, select) {
      this.store = store;
      this.meters = meters;
      this.select = select;
      __publicField(this, "id", "mixer");
      __publicField(this, "title", "Mixer");
      __publicField(this, "el");
      __publicField(this, "body");
      __publicField(this, "scroller");
      __publicField(this, "pinned");
      __publicField(this, "cue");
      __publicField(this, "fine");
      __publicField(this, "columns", /* @__PURE__ */ new Map());
      __publicField(this, "structureKey", "");
      __publicField(this, "fineMode", false);
      __publicField(this, "faultKey", "");
      this.cue = h("button", { class: "btn", type: "button", "data-action": "cueMode", text: "Cue: PFL" });
      this.cue.addEventListener("click", () => {
        var _a;
        const next = ((_a = this.store.ui) == null ? void 0 : _a.cueMode) === "AFL" ? "PFL" : "AFL";
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
      this.el = h(
        "section",
        { class: "screen mixer", "data-screen": this.id },
        h(
          "div",
          { class: "toolbar" },
          this.cue,
          this.fine,
          h("span", { class: "hint", text: "Drag faders; Shift or Fine for small steps; double-tap or Home for 0 dB; tap a meter to clear its clip mark." })
        ),
        this.body
      );
    }
    keyOf(ui) {
      const parts = [];
      for (const k of [...STRIP_ARRAYS, "master", "mono", "monitor"]) {
        const v = ui[k];
        const list = Array.isArray(v) ? v : v ? [v] : [];
        parts.push(k + ":" + list.map((s) => `${s.id}|${s.name}|${s.color}|${s.width}`).join(","));
      }
      parts.push("dcas:" + (ui.dcas ?? []).map((d) => `${d.id}|${d.name}`).join(","));
      parts.push(`cue:${ui.monitor ? 1 : 0}`);
      return parts.join(";");
    }
    update(uiChanged) {
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
    rebuild(ui, key) {
      this.structureKey = key;
      for (const id of this.columns.keys()) this.meters.forget(id);
      this.columns.clear();
      this.scroller.replaceChildren();
      this.pinned.replaceChildren();
      const cue = !!ui.monitor;
      for (const k of [...STRIP_ARRAYS, "mono", "monitor", "master"]) {
        const v = ui[k];
        const list = Array.isArray(v) ? v : v ? [v] : [];
        if (!list.length) continue;
        const sec = h("div", { class: `mix-section sec-${k}` }, h("h3", { text: SECTION_TITLES[k] }));
        const row = h("div", { class: "strips" });
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
    stripColumn(s, isChannel, soloMode) {
      const id = s.id;
      const send = (db2) => {
        const ui = this.store.ui;
        const strip = ui && findStrip(ui, id);
        return ui && strip ? this.store.send(faderRequest(ui, strip, db2)) : Promise.resolve();
      };
      const coalesce = new Coalescer(send);
      const fader = new Fader({ label: `${s.name ?? id} fader`, onInput: (db2) => coalesce.push(db2), fine: () => this.fineMode });
      const toggle = (label, cls, run) => {
        const b = h("button", { class: `tog ${cls}`, type: "button", text: label, "aria-pressed": "false" });
        b.addEventListener("click", () => {
          const ui = this.store.ui;
          const strip = ui && findStrip(ui, id);
          if (ui && strip) run(strip, ui);
        });
        return b;
      };
      const mute = toggle("MUTE", "mute", (strip, ui) => void this.store.send(muteRequest(ui, strip, strip.mute !== true)));
      let solo;
      if (soloMode === "live") solo = toggle("SOLO", "solo", (strip) => void this.store.send(scalarRequest(strip, "solo", strip.solo !== true)));
      else if (soloMode === "noCue") {
        solo = h(
          "button",
          { class: "tog solo no-cue", type: "button", disabled: true, "aria-pressed": "false", title: NO_CUE, "aria-label": `SOLO: ${NO_CUE}` },
          h("span", { text: "SOLO" }),
          h("small", { text: "no cue bus" })
        );
      }
      const polarity = toggle("Ø", "pol", (strip) => void this.store.send(scalarRequest(strip, "polarity", strip.polarity !== true)));
      const arm = isChannel ? toggle("ARM", "arm", (strip) => void this.store.call("uiPatch", { uiPatch: { entityId: strip.id, key: "arm", value: strip.arm !== true } })) : void 0;
      const pan = h("input", { type: "range", min: -100, max: 100, step: 1, class: "pan", "aria-label": `${s.name ?? id} pan`, title: "Pan; double-tap to centre" });
      const panSend = new Coalescer((v) => {
        const ui = this.store.ui;
        const strip = ui && findStrip(ui, id);
        return strip ? this.store.send(scalarRequest(strip, "pan", v)) : Promise.resolve();
      });
      pan.addEventListener("input", () => panSend.push(Number(pan.value)));
      pan.addEventListener("dblclick", () => {
        pan.value = "0";
        panSend.push(0);
      });
      const badge = h("span", { class: "fault-badge", hidden: true });
      const name = h("button", { class: "strip-name", type: "button", text: s.name ?? id, title: `Open ${s.name ?? id}` });
      name.addEventListener("click", () => this.select(id));
      const stereo = s.width !== 1;
      const el = h(
        "div",
        { class: "strip", "data-strip": id, style: `--strip-color:${s.color ?? "#8a96a3"}` },
        h("div", { class: "strip-color" }),
        name,
        badge,
        h("div", { class: "strip-buttons" }, mute, solo ?? null),
        h("div", { class: "fader-row" }, this.meters.meter(id, stereo, s.name ?? id), fader.el),
        this.meters.reduction(id),
        pan,
        h("div", { class: "strip-buttons" }, polarity, arm ?? null)
      );
      this.columns.set(id, { id, dca: false, fader, mute, solo, polarity, arm, pan, badge, el, coalesce });
      return el;
    }
    dcaColumn(d) {
      const id = d.id;
      const coalesce = new Coalescer((db2) => {
        var _a, _b;
        const dca = (_b = (_a = this.store.ui) == null ? void 0 : _a.dcas) == null ? void 0 : _b.find((x) => x.id === id);
        return dca ? this.store.send(dcaRequest(dca, "level", db2)) : Promise.resolve();
      });
      const fader = new Fader({ label: `${d.name ?? id} DCA fader`, onInput: (db2) => coalesce.push(db2), fine: () => this.fineMode });
      const mute = h("button", { class: "tog mute", type: "button", text: "MUTE", "aria-pressed": "false" });
      mute.addEventListener("click", () => {
        var _a, _b;
        const dca = (_b = (_a = this.store.ui) == null ? void 0 : _a.dcas) == null ? void 0 : _b.find((x) => x.id === id);
        if (dca) void this.store.send(dcaRequest(dca, "mute", dca.mute !== true));
      });
      const badge = h("span", { class: "fault-badge", hidden: true });
      const el = h(
        "div",
        { class: "strip dca", "data-strip": id, style: `--strip-color:${d.color ?? "#c9a0ff"}` },
        h("div", { class: "strip-color" }),
        h("div", { class: "strip-name", text: d.name ?? id }),
        h("div", { class: "strip-buttons" }, mute),
        h("div", { class: "fader-row" }, fader.el),
        h("div", { class: "dca-members", text: `${(d.members ?? []).length} strips` })
      );
      this.columns.set(id, { id, dca: true, fader, mute, badge, el, coalesce });
      return el;
    }
    refreshValues(ui) {
      var _a, _b;
      setText(this.cue, `Cue: ${ui.cueMode ?? "PFL"}`);
      for (const col of this.columns.values()) {
        if (col.dca) {
          const d = (_a = ui.dcas) == null ? void 0 : _a.find((x) => x.id === col.id);
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
        if ((_b = col.solo) == null ? void 0 : _b.classList.contains("no-cue")) col.solo.disabled = true;
        else if (col.solo) this.pressed(col.solo, s.solo === true);
        if (col.polarity) this.pressed(col.polarity, s.polarity === true);
        if (col.arm) this.pressed(col.arm, s.arm === true);
        if (col.pan && document.activeElement !== col.pan) {
          const v = String(s.pan ?? 0);
          if (col.pan.value !== v) col.pan.value = v;
        }
      }
    }
    pressed(b, on) {
      const v = String(on);
      if (b.getAttribute("aria-pressed") !== v) b.setAttribute("aria-pressed", v);
      setClass(b, "on", on);
    }
    refreshFaults(inserts) {
      const list = Array.isArray(inserts) ? inserts : [];
      const key = list.map((i) => `${i.nodeId}:${i.fault}:${i.error}`).join(",");
      if (key === this.faultKey) return;
      this.faultKey = key;
      const byNode = /* @__PURE__ */ new Map();
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
  };

  // web/src/screens/audio.ts
  var AUDIO_FIELDS = [
    ["running", "Running", "bool"],
    ["sampleRate", "Sample rate", "rate"],
    ["blockFrames", "Block", "frames"],
    ["inputChannels", "Input channels", "int"],
    ["outputChannels", "Output channels", "int"],
    ["callbacks", "Callbacks", "int"],
    ["xruns", "Xruns", "int"],
    ["reportedOutputMs", "Output latency (device)", "ms"],
    ["maximumCallbackMs", "Longest callback", "ms"],
    ["maximumRenderWorkMs", "Longest render work", "ms"],
    ["renderDeadlineOverruns", "Render deadline overruns", "int"],
    ["startupMissingFrames", "Frames missing at start", "frames"],
    ["graphLatencySamples", "Mix latency", "samples"],
    ["error", "Error", "text"]
  ];
  var STREAM_FIELDS = [
    ["name", "Name", "text"],
    ["id", "Id", "text"],
    ["status", "Status", "text"],
    ["firstChannel", "First channel", "int"],
    ["channels", "Channels", "int"],
    ["sampleRate", "Sample rate", "rate"],
    ["correctionPpm", "Drift correction", "ppm"],
    ["queueMilliseconds", "Queue", "ms"],
    ["targetQueueMilliseconds", "Target queue", "ms"],
    ["discontinuities", "Discontinuities", "int"],
    ["missingFrames", "Missing frames", "frames"],
    ["bufferFrames", "Buffer", "frames"],
    ["periodFrames", "Period", "frames"],
    ["reportedLatencyMilliseconds", "Reported latency", "ms"],
    ["primed", "Primed", "bool"],
    ["lowLatencyShared", "Low-latency shared mode", "bool"],
    ["startupMissingFrames", "Frames missing at start", "frames"],
    ["startupDiscontinuities", "Discontinuities at start", "int"]
  ];
  var CAPABILITY_LABELS = {
    nativeEngine: "Native engine",
    backend: "Audio backend",
    physicalAudio: "Physical audio",
    vst3Host: "VST3 plug-ins",
    recorder: "Recorder",
    recorderTaps: "Recorder taps",
    sessionStore: "Session files",
    scenes: "Scenes",
    playback: "WAV playback",
    remote: "Reached over the LAN",
    maxNodes: "Most strips and buses",
    maxBlock: "Largest block (frames)",
    builtInEffects: "Built-in effects",
    stripProcessing: "Strip processing"
  };
  function totalLatencyMs(a) {
    const rate = (a == null ? void 0 : a.sampleRate) || 48e3;
    return ((a == null ? void 0 : a.reportedOutputMs) ?? 0) + ((a == null ? void 0 : a.graphLatencySamples) ?? 0) / rate * 1e3;
  }
  function defaultPrefs() {
    return { inputs: [], outputs: [], masterOutputId: "", requestedRate: 48e3, requestedBlock: 128, autoStart: false };
  }
  function startParams(p) {
    return {
      requestedRate: p.requestedRate,
      requestedBlock: p.requestedBlock,
      masterOutputId: p.masterOutputId,
      inputs: p.inputs.map((i) => ({ id: i.id, exclusive: i.exclusive === true })),
      outputs: p.outputs.map((o) => ({ id: o.id, exclusive: o.exclusive === true }))
    };
  }
  var AudioScreen = class {
    constructor(store) {
      this.store = store;
      __publicField(this, "id", "audio");
      __publicField(this, "title", "Audio");
      __publicField(this, "el");
      __publicField(this, "devices", []);
      __publicField(this, "deviceTable");
      __publicField(this, "streams");
      __publicField(this, "audioTable");
      __publicField(this, "latency");
      __publicField(this, "caps");
      __publicField(this, "rate");
      __publicField(this, "block");
      __publicField(this, "autoStart");
      __publicField(this, "prefs", defaultPrefs());
      __publicField(this, "prefsGeneration", -1);
      __publicField(this, "asked", false);
      __publicField(this, "streamTables", []);
      const lan = store.lan;
      this.deviceTable = h("tbody");
      this.streams = h("div", { class: "streams" });
      this.audioTable = fieldTable(AUDIO_FIELDS);
      this.latency = kv(this.audioTable.el, "Latency");
      this.latency.dataset.field = "latency";
      this.caps = h("table", { class: "kv caps" });
      this.rate = h("select", { "aria-label": "Sample rate" });
      for (const r of [44100, 48e3, 88200, 96e3]) this.rate.append(h("option", { value: r, text: fmtField(r, "rate") }));
      this.block = h("select", { "aria-label": "Block size" });
      for (const b of [32, 64, 128, 256, 512, 1024]) this.block.append(h("option", { value: b, text: `${b} frames` }));
      this.autoStart = h("input", { type: "checkbox", "aria-label": "Start audio when the page loads" });
      localOnly(this.rate, lan);
      localOnly(this.block, lan);
      localOnly(this.autoStart, lan);
      const start2 = localOnly(actionButton("Start audio", () => this.start(), "primary"), lan);
      start2.dataset.action = "startAudio";
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
        for (const [k, v] of Object.entries(r.result)) {
          const text = Array.isArray(v) ? v.join(", ") : typeof v === "boolean" ? fmtField(v, "bool") : String(v);
          setText(kv(this.caps, CAPABILITY_LABELS[k] ?? k), text);
        }
      });
      capsBtn.dataset.action = "capabilities";
      this.el = h(
        "section",
        { class: "screen audio", "data-screen": this.id },
        h("div", { class: "toolbar" }, start2, stop, refresh, capsBtn),
        localReason(lan),
        h("h3", { text: "Devices" }),
        h(
          "table",
          { class: "grid" },
          h("thead", {}, h("tr", {}, ...["Use", "Clock", "Exclusive", "Name", "Id", "Kind", "Channels", "Sample rate", "Available"].map((t) => h("th", { text: t })))),
          this.deviceTable
        ),
        h(
          "div",
          { class: "form-row" },
          h("label", {}, "Rate ", this.rate),
          h("label", {}, "Block ", this.block),
          h("label", { class: "check" }, this.autoStart, " Start audio with this selection when the console opens"),
          save
        ),
        h("h3", { text: "Audio path" }),
        this.audioTable.el,
        h("h3", { text: "Streams" }),
        this.streams,
        h("h3", { text: "Capabilities" }),
        this.caps
      );
    }
    async refresh() {
      var _a;
      const r = await this.store.call("devices");
      if (r.ok && Array.isArray((_a = r.result) == null ? void 0 : _a.devices)) {
        this.devices = r.result.devices;
        this.renderDevices();
      }
    }
    takePrefs() {
      const ui = this.store.ui;
      if (!ui || this.prefsGeneration === this.store.uiGeneration) return;
      this.prefsGeneration = this.store.uiGeneration;
      this.prefs = { ...defaultPrefs(), ...ui.device ?? {} };
      this.rate.value = String(this.prefs.requestedRate);
      this.block.value = String(this.prefs.requestedBlock);
      this.autoStart.checked = this.prefs.autoStart === true;
      this.renderDevices();
    }
    renderDevices() {
      const lan = this.store.lan;
      const rows = this.devices.map((d) => {
        const list = d.capture ? this.prefs.inputs : this.prefs.outputs;
        const sel = list.find((x) => x.id === d.id);
        const use = localOnly(h("input", { type: "checkbox", "aria-label": `Use ${d.name}` }), lan);
        use.checked = !!sel;
        use.addEventListener("change", () => {
          var _a;
          const l = d.capture ? this.prefs.inputs : this.prefs.outputs;
          const i = l.findIndex((x) => x.id === d.id);
          if (use.checked && i < 0) l.push({ id: d.id, exclusive: false });
          if (!use.checked && i >= 0) l.splice(i, 1);
          if (!d.capture && !use.checked && this.prefs.masterOutputId === d.id) this.prefs.masterOutputId = ((_a = this.prefs.outputs[0]) == null ? void 0 : _a.id) ?? "";
          if (!d.capture && use.checked && !this.prefs.masterOutputId) this.prefs.masterOutputId = d.id;
          this.renderDevices();
        });
        const clock = d.capture ? h("span", { text: "" }) : localOnly(h("input", { type: "radio", name: "clock", "aria-label": `Clock from ${d.name}` }), lan);
        if (clock instanceof HTMLInputElement) {
          clock.checked = this.prefs.masterOutputId === d.id;
          clock.addEventListener("change", () => {
            this.prefs.masterOutputId = d.id;
          });
        }
        const excl = localOnly(h("input", { type: "checkbox", "aria-label": `Exclusive ${d.name}` }), lan);
        excl.checked = (sel == null ? void 0 : sel.exclusive) === true;
        excl.addEventListener("change", () => {
          const s = (d.capture ? this.prefs.inputs : this.prefs.outputs).find((x) => x.id === d.id);
          if (s) s.exclusive = excl.checked;
        });
        return h(
          "tr",
          { "data-device": d.id },
          h("td", {}, use),
          h("td", {}, clock),
          h("td", {}, excl),
          h("td", { text: d.name }),
          h("td", { class: "mono", text: d.id }),
          h("td", { text: d.capture ? "input" : "output" }),
          h("td", { text: String(d.channels) }),
          h("td", { text: fmtField(d.sampleRate, "rate") }),
          h("td", { text: d.available ? "yes" : "no" })
        );
      });
      this.deviceTable.replaceChildren(...rows);
    }
    readForm() {
      return { ...this.prefs, requestedRate: Number(this.rate.value), requestedBlock: Number(this.block.value), autoStart: this.autoStart.checked };
    }
    savePrefs() {
      return this.store.call("uiPatch", { uiPatch: { entityId: "session", key: "device", value: this.readForm() }, baseRevision: Math.max(0, this.store.revision) });
    }
    async start() {
      const prefs = this.readForm();
      return this.store.call("startAudio", startParams(prefs));
    }
    update() {
      var _a;
      if (!this.asked && !this.el.hidden) {
        this.asked = true;
        void this.refresh();
      }
      this.takePrefs();
      const a = (_a = this.store.status) == null ? void 0 : _a.audio;
      if (!a) return;
      this.audioTable.update(a);
      setText(this.latency, fmtField(totalLatencyMs(a), "ms"));
      const streams = Array.isArray(a.streams) ? a.streams : [];
      if (this.streamTables.length !== streams.length) {
        this.streamTables = streams.map(() => fieldTable(STREAM_FIELDS, "kv stream"));
        this.streams.replaceChildren(...this.streamTables.map((t, i) => {
          var _a2;
          return h("div", { class: "stream-box" }, h("h4", { text: ((_a2 = streams[i]) == null ? void 0 : _a2.capture) ? "Input" : "Output" }), t.el);
        }));
      }
      streams.forEach((s, i) => this.streamTables[i].update(s));
    }
  };

  // web/src/screens/session.ts
  var BUS_PREFIX = { aux: "aux", groups: "grp", matrices: "mtx", returns: "ret" };
  var SessionScreen = class {
    constructor(store, devices) {
      this.store = store;
      this.devices = devices;
      __publicField(this, "id", "session");
      __publicField(this, "title", "Session");
      __publicField(this, "el");
      __publicField(this, "draft", null);
      __publicField(this, "draftBase", -1);
      __publicField(this, "dirty", false);
      __publicField(this, "list");
      __publicField(this, "result");
      __publicField(this, "state");
      __publicField(this, "plugins", []);
      const lan = store.lan;
      this.list = h("div", { class: "draft" });
      this.result = h("p", { class: "result", "data-result": "session" });
      this.state = h("p", { class: "draft-state" });
      const b = (label, action, run, local = false, cls = "") => {
        const el = actionButton(label, async () => {
          await run();
        }, cls);
        el.dataset.action = action;
        return local ? localOnly(el, lan) : el;
      };
      this.el = h(
        "section",
        { class: "screen session", "data-screen": this.id },
        h(
          "div",
          { class: "toolbar" },
          b("New from devices", "template", () => this.fromDevices(), true),
          b("Add channel", "addChannel", () => this.addChannel(), true),
          b("Add aux", "addAux", () => this.addBus("aux"), true),
          b("Add group", "addGroup", () => this.addBus("groups"), true),
          b("Add matrix", "addMatrix", () => this.addBus("matrices"), true),
          b("Add return", "addReturn", () => this.addBus("returns"), true),
          b("Add DCA", "addDca", () => this.addDca(), true),
          b("Add cue bus", "addCue", () => this.addCue(), true),
          b("Discard draft", "discard", () => this.discard()),
          b("Apply", "applySession", () => this.apply(), true, "primary")
        ),
        h(
          "div",
          { class: "toolbar" },
          b("Open session…", "loadSession", () => this.store.call("loadSession", {}), true),
          b("Save session…", "saveSession", () => this.save(), true),
          b("Load plug-in list", "plugins", () => this.loadPlugins())
        ),
        localReason(lan),
        this.state,
        this.result,
        this.list
      );
    }
    ensureDraft() {
      if (!this.draft && this.store.ui) {
        this.draft = structuredClone(this.store.ui);
        this.draftBase = this.store.revision;
      }
      return this.draft;
    }
    touch() {
      this.dirty = true;
      this.render();
    }
    async fromDevices() {
      const devices = await this.devices();
      if (!devices.length) {
        setText(this.result, "No devices: refresh the device list under Audio.");
        return;
      }
      this.draft = sessionTemplate(devices).uiState;
      this.draftBase = this.store.revision;
      this.touch();
    }
    addChannel() {
      const d = this.ensureDraft() ?? sessionTemplate([]).uiState;
      this.draft = d;
      if (nodeCount(d) >= MAX_NODES) return setText(this.result, `At most ${MAX_NODES} strips and buses`);
      const id = freeId(d, "in");
      d.channels = d.channels ?? [];
      d.channels.push(newChannel(id, `Ch ${d.channels.length + 1}`, d.channels.length, 1, []));
      this.touch();
    }
    addBus(kind) {
      const d = this.ensureDraft() ?? sessionTemplate([]).uiState;
      this.draft = d;
      if (nodeCount(d) >= MAX_NODES) return setText(this.result, `At most ${MAX_NODES} strips and buses`);
      const id = freeId(d, BUS_PREFIX[kind]);
      const list = d[kind] = d[kind] ?? [];
      const bus = newBus(id, `${BUS_PREFIX[kind].toUpperCase()} ${list.length + 1}`, list.length + 3);
      bus.lr = kind !== "matrices";
      list.push(bus);
      if (kind === "aux") for (const ch of d.channels ?? []) (ch.sends = ch.sends ?? []).push({ busId: id, level: -80, pre: true });
      this.touch();
    }
    addDca() {
      const d = this.ensureDraft();
      if (!d) return;
      d.dcas = d.dcas ?? [];
      const id = freeId(d, "dca");
      d.dcas.push({ id, name: `DCA ${d.dcas.length + 1}`, level: 0, mute: false, members: [] });
      this.touch();
    }
    addCue() {
      const d = this.ensureDraft();
      if (!d || d.monitor) return;
      if (nodeCount(d) >= MAX_NODES) return setText(this.result, `At most ${MAX_NODES} strips and buses`);
      const cue = newBus(freeId(d, "cue"), "Cue", 7);
      cue.lr = false;
      d.monitor = cue;
      this.touch();
    }
    discard() {
      this.draft = null;
      this.dirty = false;
      this.render();
    }
    async apply() {
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
    async save() {
      var _a;
      const r = await this.store.structural("saveSession", {});
      if (r.ok && ((_a = r.result) == null ? void 0 : _a.cancelled)) setText(this.result, "Save cancelled");
      else if (r.ok) setText(this.result, `Saved at revision ${r.result.revision}`);
      else setText(this.result, String(r.error));
    }
    async loadPlugins() {
      const r = await this.store.call("plugins");
      if (r.ok) {
        this.plugins = r.result.plugins ?? [];
        setText(this.result, `${this.plugins.length} plug-ins (${r.result.scanMode})`);
        this.render();
      }
    }
    update(uiChanged) {
      if (uiChanged && !this.dirty) {
        this.draft = null;
        this.render();
      }
      setText(this.state, this.dirty ? `Draft based on revision ${this.draftBase} (now ${this.store.revision}); not applied yet.` : `Showing revision ${this.store.revision}.`);
    }
    render() {
      const d = this.draft ?? this.store.ui;
      if (!d) {
        this.list.replaceChildren(h("p", { class: "empty", text: "No session yet. Use New from devices, then Apply." }));
        return;
      }
      const editable = !this.store.lan;
      const buses = [...d.aux ?? [], ...d.groups ?? [], ...d.matrices ?? [], ...d.returns ?? []];
      const rows = [];
      for (const s of allStrips(d)) rows.push(this.stripRow(d, s, buses, editable));
      const dcaRows = (d.dcas ?? []).map((dca) => {
        const members = h("div", { class: "members" });
        for (const s of allStrips(d, false)) {
          const cb = h("input", { type: "checkbox", disabled: !editable, "aria-label": `${s.name} in ${dca.name}` });
          cb.checked = (dca.members ?? []).includes(s.id);
          cb.addEventListener("change", () => {
            this.ensureDraft();
            const t = this.draft.dcas.find((x) => x.id === dca.id);
            t.members = (t.members ?? []).filter((m) => m !== s.id);
            if (cb.checked) t.members.push(s.id);
            this.touch();
          });
          members.append(h("label", { class: "check" }, cb, ` ${s.name ?? s.id}`));
        }
        return h(
          "div",
          { class: "draft-row dca" },
          h("strong", { text: `${dca.name} (${dca.id})` }),
          members,
          editable ? h("button", { class: "btn", type: "button", text: "Remove", onclick: () => {
            this.ensureDraft();
            this.draft.dcas = this.draft.dcas.filter((x) => x.id !== dca.id);
            this.touch();
          } }) : null
        );
      });
      this.list.replaceChildren(...rows, ...dcaRows);
    }
    stripRow(d, s, buses, editable) {
      var _a, _b, _c, _d;
      const edit = (f) => {
        this.ensureDraft();
        const t = allStrips(this.draft).find((x) => x.id === s.id);
        if (t) f(t);
        this.touch();
      };
      const name = h("input", { type: "text", value: s.name ?? s.id, disabled: !editable, "aria-label": `${s.id} name`, maxlength: 64 });
      name.addEventListener("change", () => edit((t) => {
        t.name = name.value;
      }));
      const color = h("input", { type: "color", value: s.color ?? "#888888", disabled: !editable, "aria-label": `${s.id} colour` });
      color.addEventListener("change", () => edit((t) => {
        t.color = color.value;
      }));
      const isChannel = (d.channels ?? []).some((c) => c.id === s.id);
      const parts = [h("span", { class: "mono", text: s.id }), name, color];
      if (isChannel) {
        const width = h("select", { disabled: !editable, "aria-label": `${s.id} width` }, h("option", { value: 1, text: "mono" }), h("option", { value: 2, text: "stereo" }));
        width.value = String(s.width === 1 ? 1 : 2);
        width.addEventListener("change", () => edit((t) => {
          t.width = Number(width.value);
          t.sourcePorts = (t.sourcePorts ?? []).slice(0, t.width);
        }));
        const src = h("input", { type: "text", disabled: !editable, value: portsText(s.sourcePorts), placeholder: "device#channel, …", "aria-label": `${s.id} source` });
        src.addEventListener("change", () => edit((t) => {
          t.sourcePorts = parsePorts(src.value);
          t.sourceType = t.sourcePorts.length ? "device" : "none";
        }));
        const files = ((_b = (_a = this.store.status) == null ? void 0 : _a.playback) == null ? void 0 : _b.files) ?? [];
        const kind = h(
          "select",
          { disabled: !editable, "aria-label": `${s.id} source kind` },
          h("option", { value: "", text: "device" }),
          ...files.map((f) => h("option", { value: String(f.id), text: `file ${f.name ?? f.id}` }))
        );
        kind.value = s.sourceType === "file" ? String(s.fileId ?? "") : "";
        kind.addEventListener("change", () => edit((t) => {
          const f = files.find((x) => String(x.id) === kind.value);
          if (!f) {
            t.sourceType = (t.sourcePorts ?? []).length ? "device" : "none";
            return;
          }
          const width2 = t.width === 1 ? 1 : 2;
          t.sourceType = "file";
          t.fileId = f.id;
          t.fileChannels = Array.from({ length: width2 }, (_, i) => Math.min(i, Math.max(0, (f.channels ?? 1) - 1)));
        }));
        parts.push(width, kind, h("label", {}, "in ", src));
      }
      const outs = h("input", { type: "text", disabled: !editable, value: portsText(s.outputPorts), placeholder: "device:channel, …", "aria-label": `${s.id} outputs` });
      outs.addEventListener("change", () => edit((t) => {
        t.outputPorts = parsePorts(outs.value);
      }));
      parts.push(h("label", {}, "out ", outs));
      if (s.id !== (((_c = d.master) == null ? void 0 : _c.id) ?? "")) {
        const lr = h("input", { type: "checkbox", disabled: !editable, "aria-label": `${s.id} to main` });
        lr.checked = s.lr === true;
        lr.addEventListener("change", () => edit((t) => {
          t.lr = lr.checked;
        }));
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
          const tap = h(
            "select",
            { disabled: !editable, "aria-label": `${s.id} send to ${bus.id} tap` },
            h("option", { value: "post", text: "post" }),
            h("option", { value: "pre", text: "pre" })
          );
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
          const p = this.plugins.find((x) => x.modulePath === pick.value);
          edit((t) => {
            t.inserts = t.inserts ?? [];
            if (t.inserts.length >= 16) return;
            let n = 1;
            const used = new Set(allStrips(this.draft).flatMap((x) => (x.inserts ?? []).map((i) => i.id)));
            while (used.has(`${t.id}-fx${n}`)) n++;
            t.inserts.push({ id: `${t.id}-fx${n}`, name: p.name, modulePath: p.modulePath, enabled: true, bypass: false, parameters: {} });
          });
        });
        parts.push(pick);
      }
      for (const ins of s.inserts ?? []) {
        parts.push(
          h("span", { class: "chip", text: ins.name ?? ins.id }),
          editable ? h("button", { class: "btn small", type: "button", text: "×", "aria-label": `Remove ${ins.id}`, onclick: () => edit((t) => {
            t.inserts = (t.inserts ?? []).filter((i) => i.id !== ins.id);
          }) }) : ""
        );
      }
      const removable = editable && s.id !== (((_d = d.master) == null ? void 0 : _d.id) ?? "");
      if (removable) {
        parts.push(h("button", { class: "btn", type: "button", text: "Remove", onclick: () => {
          var _a2, _b2;
          this.ensureDraft();
          const dr = this.draft;
          for (const k of ["channels", "aux", "groups", "matrices", "returns"]) if (dr[k]) dr[k] = dr[k].filter((x) => x.id !== s.id);
          if (((_a2 = dr.monitor) == null ? void 0 : _a2.id) === s.id) delete dr.monitor;
          if (((_b2 = dr.mono) == null ? void 0 : _b2.id) === s.id) delete dr.mono;
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
  };
  function portsText(ports) {
    return (ports ?? []).map((p) => `${p.deviceId}#${p.channel}`).join(", ");
  }
  function parsePorts(text) {
    return text.split(",").map((x) => x.trim()).filter(Boolean).map((x) => {
      const i = x.lastIndexOf("#");
      return i > 0 ? { deviceId: x.slice(0, i), channel: Number(x.slice(i + 1)) | 0 } : { deviceId: x, channel: 0 };
    });
  }

  // web/src/screens/strip.ts
  var Q = Math.SQRT1_2;
  var freq = (path, label, def, max = 2e4) => ({ path, label, unit: "Hz", scale: { min: 20, max, log: true }, step: 1, def });
  var db = (path, label, min, max, def, step = 0.1) => ({ path, label, unit: "dB", scale: { min, max }, step, def });
  var span = (path, label, max, def) => ({ path, label, unit: "dB span", scale: { min: 0, max }, step: 0.5, def });
  var ms = (path, label, min, max, def) => ({ path, label, unit: "ms", scale: min > 0 ? { min, max, log: true } : { min, max }, step: min < 1 ? 0.01 : 1, def });
  var BAND_NAMES = ["Low shelf", "Low mid", "High mid", "High shelf"];
  var BAND_FREQ = [80, 350, 2500, 8e3];
  var SECTIONS = [
    { key: "hpf", title: "High-pass", toggle: { path: ["hpf", "enabled"], label: "HPF" }, fields: [freq(["hpf", "frequencyHz"], "Frequency", 80, 2e3)] },
    { key: "eq", title: "EQ", toggle: { path: ["eq", "enabled"], label: "EQ" }, fields: [] },
    {
      key: "gate",
      title: "Gate",
      toggle: { path: ["gate", "enabled"], label: "Gate" },
      reduction: "gate",
      fields: [
        db(["gate", "thresholdDb"], "Threshold", -100, 0, -60, 0.5),
        span(["gate", "rangeDb"], "Range", 90, 60),
        ms(["gate", "attackMs"], "Attack", 0.05, 200, 3),
        ms(["gate", "holdMs"], "Hold", 0, 2e3, 30),
        ms(["gate", "releaseMs"], "Release", 1, 4e3, 150)
      ]
    },
    {
      key: "compressor",
      title: "Compressor",
      toggle: { path: ["compressor", "enabled"], label: "Comp" },
      reduction: "comp",
      fields: [
        db(["compressor", "thresholdDb"], "Threshold", -90, 0, -18, 0.5),
        { path: ["compressor", "ratio"], label: "Ratio", unit: "ratio", scale: { min: 1, max: 40, log: true }, step: 0.1, def: 3 },
        span(["compressor", "kneeDb"], "Knee", 24, 6),
        ms(["compressor", "attackMs"], "Attack", 0.05, 1e3, 10),
        ms(["compressor", "releaseMs"], "Release", 1, 4e3, 100),
        db(["compressor", "makeupDb"], "Makeup", -24, 24, 0)
      ]
    }
  ];
  function bandFields(b) {
    const p = (k) => ["eq", "bands", b, k];
    return [
      { ...freq(p("frequencyHz"), `Band ${b + 1} frequency`, BAND_FREQ[b]), short: "Frequency" },
      { ...db(p("gainDb"), `Band ${b + 1} gain`, -24, 24, 0), short: "Gain" },
      { path: p("q"), label: `Band ${b + 1} Q`, short: "Q", unit: "q", scale: { min: 0.1, max: 18, log: true }, step: 0.01, def: Q }
    ];
  }
  function getPath(o, path) {
    return path.reduce((a, k) => a == null ? void 0 : a[k], o);
  }
  function setPath(o, path, v) {
    let a = o;
    for (let i = 0; i < path.length - 1; i++) a = a[path[i]];
    a[path[path.length - 1]] = v;
  }
  var reductionText2 = (v) => `${v < 0.05 ? "0.0" : `−${v.toFixed(1)}`} dB`;
  var StripScreen = class {
    constructor(store) {
      this.store = store;
      __publicField(this, "id", "strip");
      __publicField(this, "title", "Strip");
      __publicField(this, "el");
      __publicField(this, "current", "");
      __publicField(this, "generation", -1);
      __publicField(this, "structure", "");
      __publicField(this, "picker");
      __publicField(this, "name");
      __publicField(this, "swatch");
      __publicField(this, "fineButton");
      __publicField(this, "body");
      __publicField(this, "procSend");
      __publicField(this, "trimSend");
      /** The processing being edited: the held one, with this page's edits not yet echoed. */
      __publicField(this, "proc", defaultProcessing());
      __publicField(this, "bound", null);
      __publicField(this, "fineMode", false);
      /** Another strip was picked: rebuild even while a control of the last one has the focus. */
      __publicField(this, "switched", false);
      /** The level each send had before it was switched off, to switch it on again. */
      __publicField(this, "lastOn", /* @__PURE__ */ new Map());
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
      this.procSend = new Coalescer((p) => {
        const s = this.strip();
        return s ? this.store.send(processingRequest(s, p)) : Promise.resolve();
      });
      this.trimSend = new Coalescer((v) => {
        const s = this.strip();
        return s ? this.store.send(scalarRequest(s, "trimDb", v)) : Promise.resolve();
      });
      this.el = h(
        "section",
        { class: "screen strip-screen", "data-screen": this.id },
        h(
          "div",
          { class: "toolbar" },
          this.picker,
          this.swatch,
          h("label", { class: "strip-name-field" }, "Name ", this.name),
          this.fineButton,
          h("span", { class: "hint", text: "Drag or type a value with its unit (80 Hz, 2.5 kHz, −6 dB); Shift or Fine for small steps; double-tap or Home for the default." })
        ),
        this.body
      );
    }
    strip() {
      return this.store.ui ? findStrip(this.store.ui, this.current) : void 0;
    }
    show(id) {
      this.current = id;
      this.generation = -1;
      this.structure = "";
      this.switched = true;
      this.update();
    }
    update() {
      var _a;
      this.showReduction();
      const ui = this.store.ui;
      if (!ui || this.generation === this.store.uiGeneration) return;
      this.generation = this.store.uiGeneration;
      const strips = allStrips(ui);
      if (!this.current || !strips.some((s2) => s2.id === this.current)) this.current = ((_a = strips[0]) == null ? void 0 : _a.id) ?? "";
      const options = strips.map((s2) => `${s2.id}|${s2.name ?? ""}`).join(",");
      if (this.picker.dataset.options !== options) {
        this.picker.dataset.options = options;
        this.picker.replaceChildren(...strips.map((s2) => h("option", { value: s2.id, text: s2.name ?? s2.id })));
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
    structureOf(s) {
      const ui = this.store.ui;
      const busName = (id) => {
        var _a;
        return ((_a = allStrips(ui).find((x) => x.id === id)) == null ? void 0 : _a.name) ?? id;
      };
      return [
        s.id,
        this.store.lan ? "lan" : "desk",
        (s.sends ?? []).map((x) => `${x.busId}:${busName(x.busId)}:${x.pre}`).join(","),
        (s.inserts ?? []).map((i) => `${i.id}:${i.name ?? ""}`).join(",")
      ].join(";");
    }
    heldProcessing(s) {
      const base = defaultProcessing();
      const held = s.stripProcessing ?? {};
      for (const k of Object.keys(base)) if (held[k] && typeof held[k] === "object") base[k] = { ...base[k], ...structuredClone(held[k]) };
      return base;
    }
    edit(path, v) {
      setPath(this.proc, path, v);
      this.procSend.push(structuredClone(this.proc));
    }
    slider(f, onInput) {
      return new ParamSlider({ label: f.label, shortLabel: f.short, unit: f.unit, scale: f.scale, step: f.step, def: f.def, fine: () => this.fineMode, onInput }, f.def);
    }
    render(s) {
      this.proc = this.heldProcessing(s);
      const bound = { sliders: [], toggles: [], trim: null, polarity: null, sends: [], bypass: [], reduction: [] };
      const section = (key, title, toggle, reduction) => {
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
      const input = section("input", "Input");
      bound.trim = this.slider(db(["trim"], "Trim", -60, 24, 0), (v) => this.trimSend.push(v));
      bound.polarity = h("button", { class: "tog pol", type: "button", text: "Ø Polarity", "aria-pressed": "false" });
      bound.polarity.addEventListener("click", () => {
        const st = this.strip();
        if (st) void this.store.send(scalarRequest(st, "polarity", st.polarity !== true));
      });
      input.append(bound.trim.el, bound.polarity);
      const parts = [input];
      for (const sec of SECTIONS) {
        const el = section(sec.key, sec.title, sec.toggle, sec.reduction);
        if (sec.key === "eq") {
          const bands = h("div", { class: "eq-bands" });
          for (let b = 0; b < 4; b++) {
            const col = h("div", { class: "eq-band", "data-band": b }, h("div", { class: "band-title", text: `${b + 1} · ${BAND_NAMES[b]}` }));
            for (const f of bandFields(b)) col.append(this.bindField(f, bound).el);
            bands.append(col);
          }
          el.append(bands);
        } else for (const f of sec.fields) el.append(this.bindField(f, bound).el);
        parts.push(el);
      }
      const proc = h("div", { class: "proc-sections" }, ...parts);
      const out = [proc];
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
    bindField(f, bound) {
      const slider = this.slider(f, (v) => this.edit(f.path, v));
      bound.sliders.push({ field: f, slider });
      return slider;
    }
    busName(busId) {
      var _a;
      return ((_a = allStrips(this.store.ui).find((x) => x.id === busId)) == null ? void 0 : _a.name) ?? busId;
    }
    sendCard(busId, pre, bound) {
      const name = this.busName(busId);
      const coalesce = new Coalescer((lv) => {
        const st = this.strip();
        return st ? this.store.send(sendRequest(st, busId, lv)) : Promise.resolve();
      });
      const fader = new Fader({ label: `Send to ${name}`, onInput: (lv) => coalesce.push(lv), fine: () => this.fineMode, entry: true });
      const on = h("button", { class: "tog send-on", type: "button", "aria-pressed": "false", text: "ON", "aria-label": `Send to ${name} on` });
      on.addEventListener("click", () => {
        var _a, _b;
        const st = this.strip();
        const level = ((_b = (_a = st == null ? void 0 : st.sends) == null ? void 0 : _a.find((x) => x.busId === busId)) == null ? void 0 : _b.level) ?? FADER_MIN;
        if (level > FADER_MIN) {
          this.lastOn.set(`${this.current}>${busId}`, level);
          coalesce.push(FADER_MIN);
        } else coalesce.push(this.lastOn.get(`${this.current}>${busId}`) ?? 0);
      });
      bound.sends.push({ busId, fader, on, coalesce });
      return h(
        "div",
        { class: "send-card", "data-send": busId },
        h("strong", { class: "send-name", text: name }),
        fader.el,
        h(
          "div",
          { class: "send-foot" },
          h("span", { class: "chip", text: pre ? "Pre-fader" : "Post-fader", title: "Pre or post is set with the routing under Session" }),
          on
        )
      );
    }
    insertCard(s, slotId, name, bound) {
      const byp = h("input", { type: "checkbox", "aria-label": `Bypass ${slotId}` });
      byp.addEventListener("change", () => {
        const st = this.strip();
        if (st) void this.store.send(bypassRequest(st, slotId, byp.checked));
      });
      bound.bypass.push({ id: slotId, box: byp });
      const params = h("div", { class: "vst-params" });
      const paramsBtn = actionButton("Parameters", () => this.loadParams(slotId, params));
      paramsBtn.dataset.action = "getVstParameters";
      const row = h(
        "div",
        { class: "form-row" },
        h("strong", { class: "insert-name", text: name }),
        h("label", { class: "check" }, byp, " Bypass"),
        paramsBtn
      );
      if (!this.store.lan) {
        const editor = actionButton("Open editor", () => this.store.call("showVstEditor", { nodeId: s.id, slotId }));
        editor.dataset.action = "showVstEditor";
        row.append(editor);
      }
      return h("div", { class: "insert-card", "data-insert": slotId }, row, params);
    }
    refresh(s) {
      var _a, _b, _c, _d;
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
        const level = ((_b = (_a = s.sends) == null ? void 0 : _a.find((y) => y.busId === x.busId)) == null ? void 0 : _b.level) ?? FADER_MIN;
        if (!x.coalesce.busy) x.fader.set(level);
        const on = level > FADER_MIN;
        x.on.setAttribute("aria-pressed", String(on));
        setClass(x.on, "on", on);
        setText(x.on, on ? "ON" : "OFF");
      }
      for (const x of b.bypass) x.box.checked = ((_d = (_c = s.inserts) == null ? void 0 : _c.find((i) => i.id === x.id)) == null ? void 0 : _d.bypass) === true;
    }
    showReduction() {
      var _a;
      const b = this.bound;
      if (!b || !b.reduction.length || this.el.hidden) return;
      const list = (_a = this.store.status) == null ? void 0 : _a.stripMeters;
      const m = Array.isArray(list) ? list.find((x) => x.nodeId === this.current) : void 0;
      for (const r of b.reduction) {
        const v = Math.abs(Number(r.kind === "gate" ? m == null ? void 0 : m.gateReductionDb : m == null ? void 0 : m.compressorReductionDb) || 0);
        setText(r.el.lastElementChild, m ? reductionText2(v) : "–");
        setClass(r.el, "active", v >= 0.5);
      }
    }
    async loadParams(slotId, into) {
      var _a;
      const s = this.strip();
      if (!s) return;
      const r = await this.store.call("getVstParameters", { nodeId: s.id, slotId });
      if (!r.ok) return;
      const list = Array.isArray((_a = r.result) == null ? void 0 : _a.parameters) ? r.result.parameters : [];
      const rows = list.slice(0, 256).map((p) => {
        const id = Number(p.id ?? p.parameterId);
        const v = Number(p.normalized ?? p.value ?? 0);
        const name = String(p.title ?? p.name ?? id);
        const unit = typeof p.unit === "string" ? p.unit.trim() : "";
        const steps = Number(p.stepCount) > 0 ? Number(p.stepCount) : 0;
        const readOnly = p.readOnly === true;
        const range = h("input", { type: "range", min: 0, max: 1, step: steps ? 1 / steps : 1e-3, value: v, disabled: readOnly, "aria-label": name });
        const entry = h("input", { type: "text", class: "entry", inputmode: "decimal", disabled: readOnly, "aria-label": `${name} value`, title: "Position of the control, 0 to 100 %" });
        const show = (x) => {
          if (document.activeElement !== entry) entry.value = fmtValue(x * 100, "%");
        };
        show(v);
        const c = new Coalescer((x) => {
          const st = this.strip();
          return st ? this.store.send(vstParameterRequest(st, slotId, id, x)) : Promise.resolve();
        });
        range.addEventListener("input", () => {
          show(Number(range.value));
          c.push(Number(range.value));
        });
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
      into.replaceChildren(...rows.length ? rows : [h("p", { class: "empty", text: "This plug-in reports no parameters." })]);
    }
  };

  // web/src/screens/media.ts
  var PLAYBACK_FIELDS = [
    ["state", "State", "text"],
    ["playing", "Playing", "bool"],
    ["routingReady", "Routing applied", "bool"],
    ["positionSeconds", "Position", "seconds"],
    ["durationSeconds", "Length", "seconds"],
    ["frame", "Position (frames)", "int"],
    ["requestedFrame", "Requested position (frames)", "int"],
    ["durationFrames", "Length (frames)", "int"],
    ["sampleRate", "Sample rate", "rate"],
    ["loadedChannels", "Loaded channels", "int"],
    ["residentAudioBytes", "Audio in memory", "bytes"],
    ["looping", "Looping", "bool"],
    ["loopStartFrame", "Loop start (frames)", "int"],
    ["loopEndFrame", "Loop end (frames)", "int"],
    ["incomplete", "Incomplete", "bool"],
    ["error", "Error", "text"]
  ];
  var RECORDING_FIELDS = [
    ["state", "State", "text"],
    ["active", "Busy", "bool"],
    ["takeDirectory", "Take folder", "text"],
    ["sampleRate", "Sample rate", "rate"],
    ["writtenFrames", "Frames written", "int"],
    ["acceptedFrames", "Frames accepted", "int"],
    ["committedFrames", "Frames committed", "int"],
    ["droppedFrames", "Frames dropped", "int"],
    ["firstDroppedFrame", "First dropped frame", "int"],
    ["queuedBlocks", "Blocks queued", "int"],
    ["queueBytes", "Queue", "bytes"],
    ["stallToleranceSeconds", "Stall tolerance", "seconds"],
    ["incomplete", "Incomplete", "bool"],
    ["captureIssue", "Capture issue", "bool"],
    ["error", "Error", "text"]
  ];
  var HEALTH_FIELDS = [
    ["missingFrames", "Missing frames", "frames"],
    ["discontinuities", "Discontinuities", "int"],
    ["startupMissingFrames", "Frames missing at start", "frames"],
    ["xruns", "Xruns", "int"],
    ["renderDeadlineOverruns", "Render deadline overruns", "int"],
    ["sourceLost", "Source lost", "bool"],
    ["captureIssue", "Capture issue", "bool"],
    ["error", "Error", "text"]
  ];
  var PlaybackScreen = class {
    constructor(store) {
      this.store = store;
      __publicField(this, "id", "playback");
      __publicField(this, "title", "Playback");
      __publicField(this, "el");
      __publicField(this, "table", fieldTable(PLAYBACK_FIELDS));
      __publicField(this, "files");
      __publicField(this, "progress");
      __publicField(this, "seek");
      __publicField(this, "loopStart");
      __publicField(this, "loopEnd");
      __publicField(this, "filesKey", "");
      const lan = store.lan;
      this.files = h("tbody");
      this.progress = h("progress", { max: 1, value: 0, class: "job-progress" });
      this.seek = h("input", { type: "range", min: 0, max: 1, step: 1, value: 0, "aria-label": "Position", class: "wide" });
      this.seek.addEventListener("change", () => void this.store.call("seekPlayback", { frame: Number(this.seek.value) }));
      this.loopStart = h("input", { type: "number", min: 0, step: 1, value: 0, "aria-label": "Loop start frame" });
      this.loopEnd = h("input", { type: "number", min: 0, step: 1, value: 0, "aria-label": "Loop end frame" });
      const loopOn = h("input", { type: "checkbox", "aria-label": "Loop" });
      loopOn.addEventListener("change", () => void this.store.call("setPlaybackLoop", {
        enabled: loopOn.checked,
        startFrame: Number(this.loopStart.value) | 0,
        endFrame: Number(this.loopEnd.value) | 0
      }));
      const btn = (label, method, params = {}, local = false, cls = "") => {
        const b = actionButton(label, () => this.store.call(method, params), cls);
        b.dataset.action = method;
        return local ? localOnly(b, lan) : b;
      };
      this.el = h(
        "section",
        { class: "screen playback", "data-screen": this.id },
        h(
          "div",
          { class: "toolbar" },
          btn("Load WAV files…", "loadPlayback", {}, true),
          btn("Unload", "unloadPlayback", {}, true),
          btn("▶ Play", "playPlayback", {}, false, "primary big"),
          btn("■ Stop", "stopPlayback", {}, false, "big"),
          this.progress
        ),
        localReason(lan),
        h("div", { class: "form-row" }, h("label", { class: "wide" }, "Position ", this.seek)),
        h("div", { class: "form-row" }, h("label", { class: "check" }, loopOn, " Loop"), h("label", {}, "from ", this.loopStart), h("label", {}, "to ", this.loopEnd)),
        h("h3", { text: "Files" }),
        h("table", { class: "grid" }, h("thead", {}, h("tr", {}, ...["Id", "File", "Channels", "First lane", "Sample rate", "Length"].map((t) => h("th", { text: t })))), this.files),
        h("h3", { text: "Transport" }),
        this.table.el
      );
    }
    update() {
      const st = this.store.status;
      if (!st) return;
      const pb = st.playback ?? {};
      this.table.update(pb);
      const job = st.controlJob ?? {};
      this.progress.value = job.busy && job.method === "loadPlayback" ? Number(job.phaseProgress) || 0 : 0;
      const max = String(Math.max(1, pb.durationFrames ?? 1));
      if (this.seek.max !== max) this.seek.max = max;
      if (document.activeElement !== this.seek) this.seek.value = String(pb.frame ?? 0);
      const files = Array.isArray(pb.files) ? pb.files : [];
      const key = JSON.stringify(files);
      if (key !== this.filesKey) {
        this.filesKey = key;
        this.files.replaceChildren(...files.map((f) => {
          const { id, path, name, channels, firstLane, sampleRate, durationSeconds } = f ?? {};
          return h(
            "tr",
            { "data-file": String(id) },
            h("td", { text: String(id) }),
            h("td", { text: String(path ?? name ?? "") }),
            h("td", { text: fmtNum(channels) }),
            h("td", { text: fmtNum(firstLane) }),
            h("td", { text: fmtField(sampleRate, "rate") }),
            h("td", { text: fmtField(durationSeconds, "seconds") })
          );
        }));
      }
    }
  };
  var RecordingScreen = class {
    constructor(store) {
      this.store = store;
      __publicField(this, "id", "recording");
      __publicField(this, "title", "Recording");
      __publicField(this, "el");
      __publicField(this, "table", fieldTable(RECORDING_FIELDS));
      __publicField(this, "health", fieldTable(HEALTH_FIELDS, "kv health"));
      __publicField(this, "armed");
      __publicField(this, "dir");
      __publicField(this, "mode");
      __publicField(this, "tap");
      __publicField(this, "mainArmed");
      __publicField(this, "generation", -1);
      const lan = store.lan;
      this.armed = h("p", { class: "armed" });
      this.dir = localOnly(h("input", { type: "text", class: "wide", placeholder: "/absolute/folder", "aria-label": "Recording folder" }), lan);
      this.mode = localOnly(h("select", { "aria-label": "Mode" }, h("option", { value: "multitrack", text: "Multitrack" }), h("option", { value: "stereo", text: "Stereo" })), lan);
      this.tap = localOnly(h("select", { "aria-label": "Tap" }, ...[["rawInput", "Raw input"], ["preFader", "Pre-fader"], ["postFader", "Post-fader"]].map(([v, t]) => h("option", { value: v, text: t }))), lan);
      this.mainArmed = localOnly(h("input", { type: "checkbox", "aria-label": "Record main" }), lan);
      const save = localOnly(actionButton("Keep settings", () => this.savePrefs()), lan);
      save.dataset.action = "saveRecorderPrefs";
      const start2 = actionButton("● Record", () => this.start(), "rec big");
      start2.dataset.action = "startRecording";
      const stop = actionButton("■ Stop recording", () => this.store.call("stopRecording", {}), "big");
      stop.dataset.action = "stopRecording";
      this.el = h(
        "section",
        { class: "screen recording", "data-screen": this.id },
        h("div", { class: "toolbar" }, start2, stop),
        localReason(lan),
        h(
          "div",
          { class: "form-row" },
          h("label", { class: "wide" }, "Folder ", this.dir),
          h("label", {}, "Mode ", this.mode),
          h("label", {}, "Tap ", this.tap),
          h("label", { class: "check" }, this.mainArmed, " main"),
          save
        ),
        this.armed,
        h("h3", { text: "Recorder" }),
        this.table.el,
        h("h3", { text: "Capture health" }),
        this.health.el
      );
    }
    prefs() {
      return { mode: this.mode.value, tap: this.tap.value, mainArmed: this.mainArmed.checked, directory: this.dir.value };
    }
    savePrefs() {
      return this.store.call("uiPatch", { uiPatch: { entityId: "session", key: "recorder", value: this.prefs() }, baseRevision: Math.max(0, this.store.revision) });
    }
    armedIds() {
      var _a;
      return (((_a = this.store.ui) == null ? void 0 : _a.channels) ?? []).filter((c) => c.arm === true).map((c) => c.id);
    }
    start() {
      var _a, _b;
      const directory = this.store.lan ? ((_b = (_a = this.store.ui) == null ? void 0 : _a.recorder) == null ? void 0 : _b.directory) ?? "" : this.dir.value;
      return this.store.call("startRecording", { nodeIds: this.armedIds(), directory });
    }
    update() {
      var _a;
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
      const rec = (_a = this.store.status) == null ? void 0 : _a.recording;
      if (!rec) return;
      this.table.update(rec);
      this.health.update(rec.captureHealth ?? {});
    }
  };

  // web/src/screens/system.ts
  var SAFES = ["levels", "processing", "routing", "fx"];
  function sceneLock(status, lan) {
    var _a, _b;
    const audio = ((_a = status == null ? void 0 : status.audio) == null ? void 0 : _a.running) === true;
    const recording = ((_b = status == null ? void 0 : status.recording) == null ? void 0 : _b.active) === true;
    if (!audio && !recording) return "";
    const what = audio && recording ? "audio and recording" : audio ? "audio" : "recording";
    return lan ? `Scenes need stopped audio and recording: the stage computer must stop ${what} first.` : `Scenes need stopped audio and recording: stop ${what} first.`;
  }
  var ScenesScreen = class {
    constructor(store) {
      this.store = store;
      __publicField(this, "id", "scenes");
      __publicField(this, "title", "Scenes");
      __publicField(this, "el");
      __publicField(this, "list");
      __publicField(this, "name");
      __publicField(this, "safeBoxes", {});
      __publicField(this, "current");
      __publicField(this, "generation", -1);
      __publicField(this, "storedKey", "");
      __publicField(this, "lock");
      __publicField(this, "captureBtn");
      __publicField(this, "sceneButtons", []);
      __publicField(this, "lockText", "");
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
      this.el = h(
        "section",
        { class: "screen scenes", "data-screen": this.id },
        h("div", { class: "toolbar" }, this.name, capture),
        this.lock,
        safes,
        this.current,
        this.list
      );
    }
    /** Capture, update and recall are disabled, with the reason beside them, while they would be refused. */
    applyLock() {
      const reason = sceneLock(this.store.status, this.store.lan);
      this.lockText = reason;
      setText(this.lock, reason);
      for (const b of [this.captureBtn, ...this.sceneButtons]) {
        if (b.disabled !== (reason !== "")) b.disabled = reason !== "";
        b.title = reason;
      }
    }
    safes() {
      return Object.fromEntries(SAFES.map((k) => [k, this.safeBoxes[k].checked]));
    }
    async capture(id, name) {
      const ui = this.store.ui;
      if (!ui) return;
      const sceneId = id ?? freeSceneId(ui);
      const n = name ?? (this.name.value.trim() || `Scene ${(ui.scenes ?? []).length + 1}`);
      const r = await this.store.structural("captureScene", { sceneId, name: n });
      if (r.ok) this.name.value = "";
    }
    update() {
      var _a, _b, _c, _d;
      const ui = this.store.ui;
      const stored = ((_b = (_a = this.store.status) == null ? void 0 : _a.scenes) == null ? void 0 : _b.storedIds) ?? [];
      const key = stored.join(",");
      if (sceneLock(this.store.status, this.store.lan) !== this.lockText) this.applyLock();
      if (!ui || this.generation === this.store.uiGeneration && key === this.storedKey) return;
      this.generation = this.store.uiGeneration;
      this.storedKey = key;
      const safe = ui.safe ?? { levels: false, processing: false, routing: false, fx: false };
      for (const k of SAFES) this.safeBoxes[k].checked = safe[k] === true;
      setText(this.current, ui.currentScene ? `Current scene: ${((_d = (_c = ui.scenes) == null ? void 0 : _c.find((s) => s.id === ui.currentScene)) == null ? void 0 : _d.name) ?? ui.currentScene}` : "No current scene");
      const rows = (ui.scenes ?? []).map((s) => {
        const rename = h("input", { type: "text", value: s.name, maxlength: 192, "aria-label": `Rename ${s.id}` });
        const recall = actionButton("Recall", () => this.store.structural("recallScene", { sceneId: s.id, safe: this.safes() }), "primary big");
        recall.dataset.action = "recallScene";
        const update = actionButton("Update", () => this.capture(s.id, s.name));
        update.dataset.action = "updateScene";
        const renameBtn = actionButton("Rename", () => {
          const scenes = (ui.scenes ?? []).map((x) => x.id === s.id ? { ...x, name: rename.value } : x);
          return this.store.call("uiPatch", sessionPatch("scenes", scenes, Math.max(0, this.store.revision)).params);
        });
        const del = actionButton("Delete", () => {
          const scenes = (ui.scenes ?? []).filter((x) => x.id !== s.id);
          const p = this.store.call("uiPatch", sessionPatch("scenes", scenes, Math.max(0, this.store.revision)).params);
          return ui.currentScene === s.id ? p.then(() => this.store.call("uiPatch", sessionPatch("currentScene", "").params)) : p;
        }, "danger");
        return h(
          "div",
          { class: `scene-row${ui.currentScene === s.id ? " current" : ""}`, "data-scene": s.id },
          h("span", { class: "mono", text: s.id }),
          rename,
          recall,
          update,
          renameBtn,
          del,
          h("span", { class: "hint", text: stored.includes(s.id) ? "stored" : "no native state" })
        );
      });
      this.list.replaceChildren(...rows.length ? rows : [h("p", { class: "empty", text: "No scenes yet." })]);
      this.sceneButtons = Array.from(this.list.querySelectorAll('[data-action="recallScene"], [data-action="updateScene"]'));
      this.applyLock();
    }
  };
  var LAN_FIELDS = [
    ["enabled", "LAN control on", "bool"],
    ["port", "Port", "int"],
    ["webSocketClients", "Clients connected now", "int"],
    ["clients", "Logins still valid", "int"],
    ["loopbackOnly", "This computer only (loopback)", "bool"],
    ["snapshotHz", "State updates to clients", "text"],
    ["transport", "Transport", "text"]
  ];
  var LanScreen = class {
    constructor(store) {
      this.store = store;
      __publicField(this, "id", "lan");
      __publicField(this, "title", "LAN");
      __publicField(this, "el");
      __publicField(this, "status");
      __publicField(this, "statusTable", fieldTable(LAN_FIELDS, "kv lan-status"));
      __publicField(this, "urls");
      __publicField(this, "enabled");
      __publicField(this, "port");
      __publicField(this, "password");
      __publicField(this, "result");
      __publicField(this, "key", "");
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
      this.el = h(
        "section",
        { class: "screen lan", "data-screen": this.id },
        localReason(lan),
        h(
          "div",
          { class: "form-row" },
          h("label", { class: "check big" }, this.enabled, " Enable LAN control"),
          h("label", {}, "Port ", this.port),
          h("label", {}, "Password ", this.password),
          apply
        ),
        this.result,
        h("p", { class: "hint", text: `Phones and tablets open one of these addresses (the computer's IP address, not "localhost").` }),
        this.urls,
        this.status
      );
    }
    update() {
      var _a;
      const r = (_a = this.store.status) == null ? void 0 : _a.remote;
      if (!r) return;
      const key = JSON.stringify(r);
      if (key === this.key) return;
      this.key = key;
      if (document.activeElement !== this.port) this.port.value = String(r.port || this.port.value);
      this.enabled.checked = r.enabled === true;
      this.urls.replaceChildren(...(Array.isArray(r.urls) ? r.urls : []).map((u) => h("li", { class: "mono big", text: u })));
      this.statusTable.update({ ...r, snapshotHz: typeof r.snapshotHz === "number" ? `${r.snapshotHz} per second` : r.snapshotHz });
    }
  };
  var DiagnosticsScreen = class {
    constructor(store) {
      this.store = store;
      __publicField(this, "id", "diagnostics");
      __publicField(this, "title", "Diagnostics");
      __publicField(this, "el");
      __publicField(this, "tree");
      __publicField(this, "traffic");
      __publicField(this, "refusals");
      __publicField(this, "perf");
      __publicField(this, "last", 0);
      this.tree = h("div", { class: "tree", "data-tree": "state" });
      this.traffic = h("div", { class: "traffic" });
      this.refusals = h("div", { class: "traffic", "data-list": "refusals" });
      this.perf = h("p", { class: "hint" });
      const status = actionButton("Status", () => this.store.call("status"));
      status.dataset.action = "status";
      const gcs = actionButton("getControlState", () => this.store.call("getControlState", { after: 0 }));
      gcs.dataset.action = "getControlState";
      this.el = h(
        "section",
        { class: "screen diagnostics", "data-screen": this.id },
        h("div", { class: "toolbar" }, status, gcs),
        this.perf,
        h("h3", { text: "Refusals" }),
        this.refusals,
        h("h3", { text: "State" }),
        this.tree,
        h("h3", { text: "Last replies" }),
        this.traffic
      );
    }
    update() {
      const now = performance.now();
      if (now - this.last < 500) return;
      this.last = now;
      setText(this.perf, `States received: ${this.store.stateCount}; last applied in ${this.store.lastApplyMs.toFixed(2)} ms`);
      const open = new Set(Array.from(this.tree.querySelectorAll("details[open]")).map((d) => d.dataset.path ?? ""));
      this.tree.replaceChildren(node("R", { revision: this.store.revision, status: this.store.status, uiState: this.store.ui }, "R", open, 0));
      this.refusals.replaceChildren(...this.store.errors.length ? this.store.errors.slice().reverse().map((t) => {
        var _a;
        return h(
          "div",
          { class: "traffic-row bad", "data-refusal-entry": "" },
          h("span", { class: "mono", text: `${new Date(t.at).toLocaleTimeString()} ${((_a = t.request) == null ? void 0 : _a.method) ?? ""}` }),
          h("span", { text: String(t.reply.error) }),
          t.hint ? h("span", { class: "refusal-hint", text: t.hint }) : null
        );
      }) : [h("p", { class: "empty", text: "No refusals." })]);
      this.traffic.replaceChildren(...this.store.traffic.slice().reverse().map((t) => {
        var _a;
        return h(
          "div",
          { class: `traffic-row ${t.reply.ok ? "ok" : "bad"}` },
          h("span", { class: "mono", text: `${new Date(t.at).toLocaleTimeString()} ${((_a = t.request) == null ? void 0 : _a.method) ?? ""}` }),
          h("span", { class: "mono", text: t.reply.ok ? "ok" : String(t.reply.error) })
        );
      }));
    }
  };
  function node(label, value, path, open, depth) {
    if (value === null || typeof value !== "object") {
      return h("div", { class: "leaf", "data-path": path }, h("span", { class: "k", text: `${label}: ` }), h("span", { class: "v", text: JSON.stringify(value) }));
    }
    const entries = Array.isArray(value) ? value.map((v, i) => [String(i), v]) : Object.entries(value);
    const d = h("details", { "data-path": path });
    if (depth < 2 || open.has(path)) d.open = true;
    d.append(h("summary", { text: `${label} ${Array.isArray(value) ? `[${entries.length}]` : `{${entries.length}}`}` }));
    for (const [k, v] of entries.slice(0, 200)) d.append(node(k, v, `${path}.${k}`, open, depth + 1));
    return d;
  }

  // web/src/app.ts
  function loginView(bridge2) {
    const password = h("input", { type: "password", autocomplete: "current-password", id: "login-password" });
    const message = h("p", { class: "login-message", role: "alert", "data-login": "message" });
    const address = h("p", { class: "login-address", "data-login": "address", text: `Stage computer: ${location.host}` });
    const button = h("button", { class: "btn primary big", type: "submit", text: "Log in" });
    const form = h(
      "form",
      { class: "login-form" },
      h("h1", { text: "KESTRAVON RUVI" }),
      h("p", { text: "Enter the LAN password set on the stage computer." }),
      h("p", { class: "hint", text: `Open this page at the computer's IP address and port (for example 192.168.1.20:8080), not "localhost".` }),
      h("label", { class: "login-label", for: "login-password", text: "Password" }),
      password,
      button,
      message,
      address
    );
    form.addEventListener("submit", async (e) => {
      e.preventDefault();
      if (password.value === "") {
        setText(message, "Enter the password");
        password.focus();
        return;
      }
      button.disabled = true;
      setText(message, "");
      const r = await bridge2.login(password.value);
      password.value = "";
      button.disabled = false;
      if (!r.ok) setText(message, String(r.error));
    });
    return {
      el: h("div", { class: "login", hidden: true }, form),
      message: (t) => {
        setText(message, t);
        setText(address, t.startsWith("The stage computer restarted") ? `Reconnecting to ${location.host}` : `Stage computer: ${location.host}`);
      }
    };
  }
  function tabRow(nav) {
    const arrow = (dir) => {
      const b = h("button", { class: "tab-arrow", type: "button", "data-arrow": dir, "aria-label": dir === "prev" ? "Earlier screens" : "More screens", text: dir === "prev" ? "◀" : "▶", hidden: true });
      b.addEventListener("click", () => nav.scrollBy({ left: (dir === "prev" ? -0.7 : 0.7) * nav.clientWidth, behavior: "auto" }));
      return b;
    };
    const prev = arrow("prev");
    const next = arrow("next");
    const sync = () => {
      const over = nav.scrollWidth > nav.clientWidth + 1;
      prev.hidden = !over;
      next.hidden = !over;
      prev.disabled = nav.scrollLeft <= 0;
      next.disabled = nav.scrollLeft + nav.clientWidth >= nav.scrollWidth - 1;
    };
    nav.addEventListener("scroll", sync, { passive: true });
    new ResizeObserver(sync).observe(nav);
    return {
      el: h("div", { class: "tabbar" }, prev, nav, next),
      reveal: (tab) => {
        tab == null ? void 0 : tab.scrollIntoView({ block: "nearest", inline: "nearest" });
        sync();
      }
    };
  }
  function start(bridge2) {
    const t0 = performance.now();
    const store = new Store(bridge2);
    const meters = new MeterBank();
    const top = new TopBar(store);
    const strip = new StripScreen(store);
    const audio = new AudioScreen(store);
    const screens = [];
    const nav = h("nav", { class: "tabs", role: "tablist" });
    const tabs = tabRow(nav);
    const main = h("main", { class: "screens" });
    let active = "mixer";
    const show = (id) => {
      var _a;
      active = id;
      store.screen = id;
      for (const s of screens) {
        s.el.hidden = s.id !== id;
        const tab = nav.querySelector(`[data-tab="${s.id}"]`);
        tab == null ? void 0 : tab.setAttribute("aria-selected", String(s.id === id));
      }
      tabs.reveal(nav.querySelector(`[data-tab="${id}"]`));
      (_a = screens.find((s) => s.id === id)) == null ? void 0 : _a.update(true);
    };
    const mixer = new MixerScreen(store, meters, (id) => {
      strip.show(id);
      show("strip");
    });
    const session = new SessionScreen(store, async () => {
      if (!audio.devices.length) await audio.refresh();
      return audio.devices;
    });
    screens.push(mixer, strip, session, audio, new PlaybackScreen(store), new RecordingScreen(store), new ScenesScreen(store), new LanScreen(store), new DiagnosticsScreen(store));
    const notices = /* @__PURE__ */ new Map();
    for (const s of screens) {
      nav.append(h("button", { class: "tab", type: "button", role: "tab", "data-tab": s.id, text: s.title, onclick: () => show(s.id) }));
      s.el.hidden = true;
      const text = h("span", { class: "refusal-text", "data-refusal-text": "" });
      const hint = h("span", { class: "refusal-hint" });
      const notice = h("div", { class: "refusal", role: "alert", "data-refusal": s.id, hidden: true }, text, hint);
      notices.set(s.id, { el: notice, text, hint });
      s.el.prepend(notice);
      main.append(s.el);
    }
    for (const type of ["click", "input", "change", "keydown", "pointerup"]) {
      document.addEventListener(type, (e) => {
        const t = e.target instanceof HTMLElement ? e.target : null;
        const on = t == null ? void 0 : t.closest("[data-screen]");
        if (!t || !on) return;
        store.origin = { screen: on.dataset.screen ?? store.screen, control: t.closest("button, input, select, [role=slider]") ?? t };
        window.setTimeout(() => {
          store.origin = null;
        }, 0);
      }, true);
    }
    store.onRefusal((screen, r) => {
      const n = notices.get(screen);
      if (!n) return;
      n.el.hidden = !r;
      setText(n.text, r ? r.error : "");
      setText(n.hint, r ? r.hint : "");
    });
    const login = loginView(bridge2);
    const banner = h("div", { class: "link-banner", role: "alert", "data-banner": "link", hidden: true });
    document.body.replaceChildren(top.el, banner, tabs.el, main, login.el);
    document.documentElement.dataset.link = bridge2.link;
    document.documentElement.dataset.online = "0";
    show("mixer");
    bridge2.onConnection((c) => {
      top.connection(c);
      login.el.hidden = c.phase !== "login";
      if (c.phase === "login") banner.hidden = true;
      if (c.phase === "login" && c.message) login.message(c.message);
    });
    const setOnline = (on, why) => {
      var _a;
      document.documentElement.dataset.online = on ? "1" : "0";
      main.inert = !on;
      if (on) {
        banner.hidden = true;
        top.update();
        return;
      }
      if (!why) return;
      banner.hidden = bridge2.connection.phase === "login";
      setText(banner, bridge2.link === "lan" ? `The stage computer cannot be reached. Reconnecting to ${location.host}… (${why})` : `The stage computer cannot be reached: the program is not answering. Waiting for it… (${why})`);
      top.unknown();
      top.stale("not reachable");
      const ids = Array.isArray((_a = store.status) == null ? void 0 : _a.meters) ? store.status.meters : [];
      meters.feed(ids.map((m) => ({ nodeId: m.nodeId, peakL: 0, peakR: 0 })), void 0);
    };
    setOnline(bridge2.reachable, "");
    store.onOnline(setOnline);
    let autoStartTried = false;
    store.subscribe((st, uiChanged) => {
      var _a, _b, _c;
      top.update();
      mixer.update(uiChanged);
      if (active !== "mixer") (_a = screens.find((s) => s.id === active)) == null ? void 0 : _a.update(uiChanged);
      if (!autoStartTried && !st.lan && st.ui) {
        autoStartTried = true;
        const prefs = { ...defaultPrefs(), ...st.ui.device ?? {} };
        if (prefs.autoStart === true && ((_c = (_b = st.status) == null ? void 0 : _b.audio) == null ? void 0 : _c.running) !== true) void st.call("startAudio", startParams(prefs));
      }
    });
    window.setInterval(() => {
      const c = bridge2.connection;
      if (c.phase !== "online" || bridge2.lastStateAt === 0) return;
      const silent = (performance.now() - bridge2.lastStateAt) / 1e3;
      if (silent < 3) return;
      const why = bridge2.link === "lan" ? "; a state over the 2 MiB message limit is never sent" : "";
      top.stale(`No state update for ${Math.round(silent)} s${why}`);
    }, 1e3);
    document.addEventListener("keydown", (e) => {
      if (e.altKey && /^[1-9]$/.test(e.key)) {
        const s = screens[Number(e.key) - 1];
        if (s) {
          e.preventDefault();
          show(s.id);
        }
      }
    });
    requestAnimationFrame(() => {
      window.__ruviFirstFrameMs = performance.now() - t0;
    });
    window.__ruviStore = store;
  }
  var bridge = window.RuviBridge;
  if (bridge) {
    start(bridge);
  } else {
    document.body.textContent = "The control link did not load (nativebridge.js).";
  }
})();
