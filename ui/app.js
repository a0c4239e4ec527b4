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
  function fmtDb(v, digits = 1) {
    if (v === void 0 || v === null || !Number.isFinite(v)) return "-∞";
    if (v <= -80) return "off";
    return (v > 0 ? "+" : "") + v.toFixed(digits);
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
      params: { nodeId: strip.id, slotId, bypass, uiPatch: { entityId: strip.id, key: "inserts", value: inserts } }
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

  // web/src/store.ts
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
      bridge2.onState((s) => this.accept(s));
      bridge2.onTraffic((request, reply) => this.record(request, reply));
      bridge2.onConnection((c) => {
        if (c.phase === "login") this.revision = -1;
      });
    }
    get lan() {
      return this.bridge.link === "lan";
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
      this.traffic.push(entry);
      if (this.traffic.length > 40) this.traffic.shift();
      if (!reply.ok) {
        this.errors.push(entry);
        if (this.errors.length > 40) this.errors.shift();
        this.lastError = String(reply.error ?? "");
        for (const l of this.errorListeners) l(this.lastError);
      }
    }
    call(method, params = {}, onPending) {
      return this.bridge.call(method, params, onPending ? { onPending } : void 0);
    }
    /** Sends a live-control request; its UI patch is shown at once and confirmed by the echo. */
    send(rpc) {
      const patch = rpc.params.uiPatch;
      if (patch && this.ui) {
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
        } else if (patch && typeof ((_a = reply.result) == null ? void 0 : _a.revision) === "number" && reply.result.revision === this.revision + 1) this.revision = reply.result.revision;
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
  function dbToPos(db) {
    if (db <= TAPER[0][0]) return 0;
    for (let i = 1; i < TAPER.length; i++) {
      const [d1, p1] = TAPER[i];
      const [d0, p0] = TAPER[i - 1];
      if (db <= d1) return p0 + (db - d0) / (d1 - d0) * (p1 - p0);
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
  var Fader = class {
    constructor(opts) {
      this.opts = opts;
      __publicField(this, "el");
      __publicField(this, "thumb");
      __publicField(this, "readout");
      __publicField(this, "value", 0);
      __publicField(this, "dragging", false);
      __publicField(this, "lastTap", 0);
      this.thumb = h("div", { class: "fader-thumb" });
      const track = h("div", { class: "fader-track" }, h("div", { class: "fader-zero" }), this.thumb);
      this.readout = h("div", { class: "fader-readout" });
      this.el = h("div", {
        class: "fader",
        role: "slider",
        tabindex: 0,
        "aria-label": opts.label,
        "aria-valuemin": FADER_MIN,
        "aria-valuemax": FADER_MAX
      }, track, this.readout);
      this.bind(track);
      this.render();
    }
    get active() {
      return this.dragging;
    }
    set(db) {
      if (this.dragging || db === this.value) return;
      this.value = db;
      this.render();
    }
    emit(db) {
      const v = clampFader(db);
      if (v === this.value) return;
      this.value = v;
      this.render();
      this.opts.onInput(v);
    }
    render() {
      this.thumb.style.bottom = `calc(${(dbToPos(this.value) * 100).toFixed(2)}% - var(--thumb-h) / 2)`;
      const text = fmtDb(this.value);
      if (this.readout.textContent !== text) this.readout.textContent = text;
      this.el.setAttribute("aria-valuenow", String(this.value));
      this.el.setAttribute("aria-valuetext", `${text} dB`);
    }
    bind(track) {
      let startY = 0;
      let startPos = 0;
      let pointer = -1;
      let downAt = 0;
      let moved = 0;
      track.addEventListener("pointerdown", (e) => {
        if (pointer !== -1) return;
        const now = performance.now();
        if (now - this.lastTap < 350) {
          this.lastTap = 0;
          this.emit(0);
          return;
        }
        downAt = now;
        moved = 0;
        pointer = e.pointerId;
        track.setPointerCapture(e.pointerId);
        startY = e.clientY;
        startPos = dbToPos(this.value);
        this.dragging = true;
        this.el.classList.add("dragging");
        e.preventDefault();
      });
      const move = (e) => {
        var _a, _b;
        if (e.pointerId !== pointer) return;
        moved = Math.max(moved, Math.abs(e.clientY - startY));
        const height = track.clientHeight || 200;
        const fine = e.shiftKey || (((_b = (_a = this.opts).fine) == null ? void 0 : _b.call(_a)) ?? false);
        const delta = (startY - e.clientY) / height * (fine ? 0.25 : 1);
        this.emit(posToDb(Math.min(1, Math.max(0, startPos + delta))));
      };
      const end = (e) => {
        if (e.pointerId !== pointer) return;
        const tap = moved < 4 && performance.now() - downAt < 300;
        this.lastTap = tap ? performance.now() : 0;
        pointer = -1;
        this.dragging = false;
        this.el.classList.remove("dragging");
      };
      track.addEventListener("pointermove", move);
      track.addEventListener("pointerup", end);
      track.addEventListener("pointercancel", end);
      this.el.addEventListener("keydown", (e) => {
        const step = e.shiftKey ? 0.1 : 0.5;
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
  var HOLD_MS = 1500;
  var CLIP_MS = 3e3;
  var FLOOR_DB = -60;
  function meterPos(peak) {
    const db = peakToDb(peak);
    if (!Number.isFinite(db) || db <= FLOOR_DB) return 0;
    return Math.min(1, (db - FLOOR_DB) / -FLOOR_DB);
  }
  var MeterBank = class {
    constructor() {
      __publicField(this, "meters", /* @__PURE__ */ new Map());
      __publicField(this, "running", false);
    }
    canvas(id, stereo) {
      const canvas = h("canvas", { class: "meter", width: 28, height: 240, "data-meter": id });
      this.meters.set(id, { canvas, l: 0, r: 0, holdL: 0, holdR: 0, holdAt: 0, clipAt: -Infinity, stereo, gr: 0, dirty: true });
      this.start();
      return canvas;
    }
    forget(id) {
      this.meters.delete(id);
    }
    clearAll() {
      this.meters.clear();
    }
    /** Values from a state message; drawing waits for the next frame. */
    feed(meters, stripMeters) {
      const now = performance.now();
      if (Array.isArray(meters)) {
        for (const m of meters) {
          const s = this.meters.get(m.nodeId);
          if (!s) continue;
          const l = Number(m.peakL) || 0;
          const r = Number(m.peakR) || 0;
          s.l = l;
          s.r = r;
          if (l >= s.holdL || r >= s.holdR || now - s.holdAt > HOLD_MS) {
            s.holdL = Math.max(l, now - s.holdAt > HOLD_MS ? 0 : s.holdL);
            s.holdR = Math.max(r, now - s.holdAt > HOLD_MS ? 0 : s.holdR);
            s.holdAt = now;
          }
          if (l >= 1 || r >= 1) s.clipAt = now;
          s.dirty = true;
        }
      }
      if (Array.isArray(stripMeters)) {
        for (const m of stripMeters) {
          const s = this.meters.get(m.nodeId);
          if (!s) continue;
          s.gr = Math.max(Math.abs(Number(m.gateReductionDb) || 0), Math.abs(Number(m.compressorReductionDb) || 0));
        }
      }
    }
    start() {
      if (this.running) return;
      this.running = true;
      const frame = () => {
        this.draw();
        requestAnimationFrame(frame);
      };
      requestAnimationFrame(frame);
    }
    draw() {
      const now = performance.now();
      for (const s of this.meters.values()) {
        const clip = now - s.clipAt < CLIP_MS;
        if (!s.dirty && !clip && now - s.holdAt < HOLD_MS + 50) continue;
        if (!s.canvas.isConnected) continue;
        s.dirty = false;
        const c = s.canvas.getContext("2d");
        if (!c) continue;
        const { width: w, height: hgt } = s.canvas;
        c.fillStyle = "#0b0f14";
        c.fillRect(0, 0, w, hgt);
        const top = 8;
        const bars = s.stereo ? [s.l, s.r] : [Math.max(s.l, s.r)];
        const holds = s.stereo ? [s.holdL, s.holdR] : [Math.max(s.holdL, s.holdR)];
        const bw = s.stereo ? 9 : 18;
        for (let i = 0; i < bars.length; i++) {
          const x = 2 + i * (bw + 2);
          const len = meterPos(bars[i]) * (hgt - top);
          const grad = c.createLinearGradient(0, hgt, 0, top);
          grad.addColorStop(0, "#2fbf5f");
          grad.addColorStop(0.7, "#2fbf5f");
          grad.addColorStop(0.85, "#e8c23a");
          grad.addColorStop(1, "#e84a3a");
          c.fillStyle = grad;
          c.fillRect(x, hgt - len, bw, len);
          const hp = meterPos(holds[i]) * (hgt - top);
          if (hp > 0) {
            c.fillStyle = "#f2f4f7";
            c.fillRect(x, hgt - hp - 1, bw, 2);
          }
        }
        c.fillStyle = clip ? "#ff3b30" : "#2a323c";
        c.fillRect(2, 0, w - 8, 6);
        if (s.gr > 0.1) {
          c.fillStyle = "#e8a33d";
          c.fillRect(w - 5, top, 4, Math.min(hgt - top, s.gr * 6));
        }
      }
    }
  };

  // web/src/screens/topbar.ts
  var TopBar = class {
    constructor(store) {
      this.store = store;
      __publicField(this, "el");
      __publicField(this, "cells", {});
      __publicField(this, "error");
      __publicField(this, "conn");
      const cell = (key, label) => {
        const v = h("span", { class: "tb-v", "data-top": key });
        this.cells[key] = v;
        return h("div", { class: "tb-cell" }, h("span", { class: "tb-k", text: label }), v);
      };
      this.conn = h("span", { class: "tb-conn", "data-top": "connection" });
      this.error = h("div", { class: "tb-error", role: "status", "aria-live": "polite", "data-top": "lastError" });
      this.el = h(
        "header",
        { class: "topbar" },
        h("div", { class: "brand" }, h("span", { class: "brand-name", text: "RUVI" }), this.conn),
        cell("audio", "Audio"),
        cell("format", "Rate / block"),
        cell("xruns", "Xruns"),
        cell("overruns", "Overruns"),
        cell("latency", "Latency"),
        cell("revision", "Rev"),
        cell("job", "Job"),
        cell("recording", "Rec"),
        cell("playback", "Play"),
        cell("lan", "LAN"),
        this.error
      );
      store.onError((text) => this.showError(text));
    }
    showError(text) {
      setText(this.error, text);
      this.error.classList.remove("flash");
      void this.error.offsetWidth;
      this.error.classList.add("flash");
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
    update() {
      if (this.conn.classList.contains("bad") && this.store.bridge.connection.phase === "online") this.connection(this.store.bridge.connection);
      const st = this.store.status;
      if (!st) return;
      const a = st.audio ?? {};
      const c = this.cells;
      setText(c.audio, a.running ? "RUNNING" : "STOPPED");
      setClass(c.audio, "ok", !!a.running && !a.error);
      setClass(c.audio, "bad", !a.running || !!a.error);
      c.audio.title = a.error || "";
      setText(c.format, `${fmtNum(a.sampleRate)} / ${fmtNum(a.blockFrames)}`);
      setText(c.xruns, fmtNum(a.xruns));
      setClass(c.xruns, "warn", (a.xruns ?? 0) > 0);
      setText(c.overruns, fmtNum(a.renderDeadlineOverruns));
      setClass(c.overruns, "warn", (a.renderDeadlineOverruns ?? 0) > 0);
      const rate = a.sampleRate || 48e3;
      const graphMs = (a.graphLatencySamples ?? 0) / rate * 1e3;
      setText(c.latency, `${fmtNum((a.reportedOutputMs ?? 0) + graphMs, 1)} ms`);
      setText(c.revision, String(this.store.revision));
      const job = st.controlJob ?? {};
      setText(c.job, job.busy ? `${job.method} ${job.phase} ${Math.round((job.phaseProgress ?? 0) * 100)}%` : job.method ? `${job.method}: ${job.phase}` : "idle");
      setClass(c.job, "warn", !!job.busy);
      const rec = st.recording ?? {};
      setText(c.recording, String(rec.state ?? "idle"));
      setClass(c.recording, "rec", rec.state === "recording");
      setClass(c.recording, "bad", rec.state === "failed" || rec.captureIssue === true);
      const pb = st.playback ?? {};
      setText(c.playback, String(pb.state ?? "empty"));
      setClass(c.playback, "ok", !!pb.playing);
      const lan = st.remote ?? {};
      setText(c.lan, lan.enabled ? `${fmtNum(lan.clients)} clients` : "off");
    }
  };

  // web/src/screens/mixer.ts
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
      this.body = h("div", { class: "mixer-body" });
      this.el = h(
        "section",
        { class: "screen mixer", "data-screen": this.id },
        h(
          "div",
          { class: "toolbar" },
          this.cue,
          this.fine,
          h("span", { class: "hint", text: "Drag faders; Shift or Fine for small steps; double-tap or Home for 0 dB." })
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
      this.body.replaceChildren();
      for (const k of [...STRIP_ARRAYS, "master", "mono", "monitor"]) {
        const v = ui[k];
        const list = Array.isArray(v) ? v : v ? [v] : [];
        if (!list.length) continue;
        const sec = h("div", { class: `mix-section sec-${k}` }, h("h3", { text: SECTION_TITLES[k] }));
        const row = h("div", { class: "strips" });
        for (const s of list) row.append(this.stripColumn(s, k === "channels"));
        sec.append(row);
        this.body.append(sec);
      }
      if ((ui.dcas ?? []).length) {
        const sec = h("div", { class: "mix-section sec-dcas" }, h("h3", { text: SECTION_TITLES.dcas }));
        const row = h("div", { class: "strips" });
        for (const d of ui.dcas ?? []) row.append(this.dcaColumn(d));
        sec.append(row);
        this.body.append(sec);
      }
      if (!this.body.firstChild) this.body.append(h("p", { class: "empty", text: "No session applied. Build one under Session." }));
    }
    stripColumn(s, isChannel) {
      const id = s.id;
      const send = (db) => {
        const ui = this.store.ui;
        const strip = ui && findStrip(ui, id);
        return ui && strip ? this.store.send(faderRequest(ui, strip, db)) : Promise.resolve();
      };
      const coalesce = new Coalescer(send);
      const fader = new Fader({ label: `${s.name ?? id} fader`, onInput: (db) => coalesce.push(db), fine: () => this.fineMode });
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
      const solo = toggle("SOLO", "solo", (strip) => void this.store.send(scalarRequest(strip, "solo", strip.solo !== true)));
      const polarity = toggle("Ø", "pol", (strip) => void this.store.send(scalarRequest(strip, "polarity", strip.polarity !== true)));
      const arm = isChannel ? toggle("ARM", "arm", (strip) => void this.store.call("uiPatch", { uiPatch: { entityId: strip.id, key: "arm", value: strip.arm !== true } })) : void 0;
      const pan = h("input", { type: "range", min: -100, max: 100, step: 1, class: "pan", "aria-label": `${s.name ?? id} pan` });
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
        h("div", { class: "strip-buttons" }, mute, solo),
        h("div", { class: "fader-row" }, this.meters.canvas(id, stereo), fader.el),
        pan,
        h("div", { class: "strip-buttons" }, polarity, arm ?? null)
      );
      this.columns.set(id, { id, dca: false, fader, mute, solo, polarity, arm, pan, badge, el, coalesce });
      return el;
    }
    dcaColumn(d) {
      const id = d.id;
      const coalesce = new Coalescer((db) => {
        var _a, _b;
        const dca = (_b = (_a = this.store.ui) == null ? void 0 : _a.dcas) == null ? void 0 : _b.find((x) => x.id === id);
        return dca ? this.store.send(dcaRequest(dca, "level", db)) : Promise.resolve();
      });
      const fader = new Fader({ label: `${d.name ?? id} DCA fader`, onInput: (db) => coalesce.push(db), fine: () => this.fineMode });
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
      var _a;
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
        if (col.solo) this.pressed(col.solo, s.solo === true);
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
  var STREAM_KEYS = [
    "id",
    "name",
    "capture",
    "status",
    "firstChannel",
    "channels",
    "sampleRate",
    "correctionPpm",
    "queueMilliseconds",
    "discontinuities",
    "missingFrames",
    "bufferFrames",
    "periodFrames",
    "targetQueueMilliseconds",
    "reportedLatencyMilliseconds",
    "primed",
    "lowLatencyShared",
    "startupMissingFrames",
    "startupDiscontinuities"
  ];
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
      __publicField(this, "caps");
      __publicField(this, "rate");
      __publicField(this, "block");
      __publicField(this, "autoStart");
      __publicField(this, "audioCells", {});
      __publicField(this, "prefs", defaultPrefs());
      __publicField(this, "prefsGeneration", -1);
      __publicField(this, "asked", false);
      const lan = store.lan;
      this.deviceTable = h("tbody");
      this.streams = h("div", { class: "streams" });
      this.audioTable = h("table", { class: "kv" });
      this.caps = h("pre", { class: "caps" });
      this.rate = h("select", { "aria-label": "Sample rate" });
      for (const r of [44100, 48e3, 88200, 96e3]) this.rate.append(h("option", { value: r, text: `${r} Hz` }));
      this.block = h("select", { "aria-label": "Block size" });
      for (const b of [32, 64, 128, 256, 512, 1024]) this.block.append(h("option", { value: b, text: `${b} frames` }));
      this.autoStart = h("input", { type: "checkbox", "aria-label": "Start audio when the page loads" });
      localOnly(this.rate, lan);
      localOnly(this.block, lan);
      localOnly(this.autoStart, lan);
      for (const k of [
        "running",
        "sampleRate",
        "blockFrames",
        "inputChannels",
        "outputChannels",
        "callbacks",
        "xruns",
        "reportedOutputMs",
        "maximumCallbackMs",
        "maximumRenderWorkMs",
        "renderDeadlineOverruns",
        "startupMissingFrames",
        "graphLatencySamples",
        "error"
      ]) this.audioCells[k] = kv(this.audioTable, k);
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
        if (r.ok) setText(this.caps, JSON.stringify(r.result, null, 1));
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
          h("thead", {}, h("tr", {}, ...["Use", "Clock", "Exclusive", "Name", "Id", "Kind", "Ch", "Rate", "Available"].map((t) => h("th", { text: t })))),
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
        this.audioTable,
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
          h("td", { text: String(d.sampleRate) }),
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
      for (const [k, cell] of Object.entries(this.audioCells)) setText(cell, k === "running" ? a.running ? "yes" : "no" : fmtNum(a[k]));
      const streams = Array.isArray(a.streams) ? a.streams : [];
      if (this.streams.childElementCount !== streams.length) {
        this.streams.replaceChildren(...streams.map(() => {
          const t = h("table", { class: "kv stream" });
          for (const k of STREAM_KEYS) kv(t, k);
          return t;
        }));
      }
      streams.forEach((s, i) => {
        const cells = this.streams.children[i].querySelectorAll("td");
        STREAM_KEYS.forEach((k, j) => setText(cells[j], fmtNum(s[k])));
      });
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
  var FIELDS = [
    { path: ["hpf", "frequencyHz"], label: "HPF Hz", min: 20, max: 2e3, step: 1 },
    ...[0, 1, 2, 3].flatMap((b) => [
      { path: ["eq", "bands", b, "frequencyHz"], label: `EQ${b + 1} Hz`, min: 20, max: 2e4, step: 1 },
      { path: ["eq", "bands", b, "gainDb"], label: `EQ${b + 1} dB`, min: -24, max: 24, step: 0.5 },
      { path: ["eq", "bands", b, "q"], label: `EQ${b + 1} Q`, min: 0.1, max: 18, step: 0.1 }
    ]),
    { path: ["gate", "thresholdDb"], label: "Gate thr dB", min: -100, max: 0, step: 1 },
    { path: ["gate", "rangeDb"], label: "Gate range dB", min: 0, max: 90, step: 1 },
    { path: ["gate", "attackMs"], label: "Gate att ms", min: 0.05, max: 200, step: 0.05 },
    { path: ["gate", "holdMs"], label: "Gate hold ms", min: 0, max: 2e3, step: 1 },
    { path: ["gate", "releaseMs"], label: "Gate rel ms", min: 1, max: 4e3, step: 1 },
    { path: ["compressor", "thresholdDb"], label: "Comp thr dB", min: -90, max: 0, step: 1 },
    { path: ["compressor", "ratio"], label: "Comp ratio", min: 1, max: 40, step: 0.1 },
    { path: ["compressor", "kneeDb"], label: "Comp knee dB", min: 0, max: 24, step: 0.5 },
    { path: ["compressor", "attackMs"], label: "Comp att ms", min: 0.05, max: 1e3, step: 0.05 },
    { path: ["compressor", "releaseMs"], label: "Comp rel ms", min: 1, max: 4e3, step: 1 },
    { path: ["compressor", "makeupDb"], label: "Comp makeup dB", min: -24, max: 24, step: 0.5 }
  ];
  var TOGGLES = [
    { path: ["hpf", "enabled"], label: "HPF" },
    { path: ["eq", "enabled"], label: "EQ" },
    { path: ["gate", "enabled"], label: "Gate" },
    { path: ["compressor", "enabled"], label: "Comp" }
  ];
  function getPath(o, path) {
    return path.reduce((a, k) => a == null ? void 0 : a[k], o);
  }
  function setPath(o, path, v) {
    let a = o;
    for (let i = 0; i < path.length - 1; i++) a = a[path[i]];
    a[path[path.length - 1]] = v;
  }
  var StripScreen = class {
    constructor(store) {
      this.store = store;
      __publicField(this, "id", "strip");
      __publicField(this, "title", "Strip");
      __publicField(this, "el");
      __publicField(this, "current", "");
      __publicField(this, "generation", -1);
      __publicField(this, "picker");
      __publicField(this, "body");
      __publicField(this, "params");
      __publicField(this, "procSend");
      this.picker = h("select", { "aria-label": "Strip" });
      this.picker.addEventListener("change", () => this.show(this.picker.value));
      this.body = h("div", { class: "strip-detail" });
      this.params = h("div", { class: "vst-params" });
      this.procSend = new Coalescer((p) => {
        const s = this.strip();
        return s ? this.store.send(processingRequest(s, p)) : Promise.resolve();
      });
      this.el = h("section", { class: "screen strip-screen", "data-screen": this.id }, h("div", { class: "toolbar" }, this.picker), this.body, this.params);
    }
    strip() {
      return this.store.ui ? findStrip(this.store.ui, this.current) : void 0;
    }
    show(id) {
      this.current = id;
      this.generation = -1;
      this.update();
    }
    update() {
      var _a;
      const ui = this.store.ui;
      if (!ui || this.generation === this.store.uiGeneration) return;
      this.generation = this.store.uiGeneration;
      const strips = allStrips(ui);
      if (!this.current || !strips.some((s) => s.id === this.current)) this.current = ((_a = strips[0]) == null ? void 0 : _a.id) ?? "";
      this.picker.replaceChildren(...strips.map((s) => h("option", { value: s.id, text: s.name ?? s.id })));
      this.picker.value = this.current;
      if (document.activeElement && this.body.contains(document.activeElement)) return;
      this.render();
    }
    render() {
      const s = this.strip();
      if (!s) {
        this.body.replaceChildren(h("p", { class: "empty", text: "No strip selected." }));
        return;
      }
      const proc = structuredClone(s.stripProcessing ?? defaultProcessing());
      const parts = [];
      const trim = h("input", { type: "number", min: -60, max: 24, step: 0.5, value: s.trim ?? 0, "aria-label": "Trim dB" });
      trim.addEventListener("change", () => void this.store.send(scalarRequest(s, "trimDb", Number(trim.value))));
      const name = h("input", { type: "text", value: s.name ?? s.id, maxlength: 64, "aria-label": "Strip name" });
      name.addEventListener("change", () => void this.store.send({ method: "uiPatch", params: { uiPatch: { entityId: s.id, key: "name", value: name.value } } }));
      parts.push(h(
        "div",
        { class: "form-row" },
        h("span", { class: "swatch", style: `background:${s.color ?? "#888"}` }),
        h("label", {}, "Name ", name),
        h("label", {}, "Trim dB ", trim)
      ));
      const toggles = h("div", { class: "form-row" });
      for (const t of TOGGLES) {
        const cb = h("input", { type: "checkbox", "aria-label": t.label });
        cb.checked = getPath(proc, t.path) === true;
        cb.addEventListener("change", () => {
          setPath(proc, t.path, cb.checked);
          this.procSend.push(structuredClone(proc));
        });
        toggles.append(h("label", { class: "check big" }, cb, ` ${t.label}`));
      }
      parts.push(toggles);
      const grid = h("div", { class: "proc-grid" });
      for (const f of FIELDS) {
        const v = getPath(proc, f.path);
        if (v === void 0) continue;
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
        const bus = allStrips(this.store.ui).find((x) => x.id === send.busId);
        const range = h("input", { type: "range", min: -80, max: 10, step: 0.5, value: send.level, "aria-label": `Send to ${send.busId}` });
        const out = h("span", { class: "v", text: `${send.level <= -80 ? "off" : send.level} dB` });
        const c = new Coalescer((lv) => {
          const st = this.strip();
          return st ? this.store.send(sendRequest(st, send.busId, lv)) : Promise.resolve();
        });
        range.addEventListener("input", () => {
          setText(out, `${Number(range.value) <= -80 ? "off" : range.value} dB`);
          c.push(Number(range.value));
        });
        parts.push(h("label", { class: "proc send" }, h("span", { text: `${(bus == null ? void 0 : bus.name) ?? send.busId} (${send.pre ? "pre" : "post"})` }), range, out));
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
        parts.push(h(
          "div",
          { class: "form-row insert", "data-insert": ins.id },
          h("strong", { text: ins.name ?? ins.id }),
          h("label", { class: "check" }, byp, " bypass"),
          paramsBtn,
          editor
        ));
      }
      if (!(s.inserts ?? []).length) parts.push(h("p", { class: "empty", text: "No inserts; add them under Session." }));
      this.body.replaceChildren(...parts);
      this.params.replaceChildren();
    }
    async loadParams(slotId) {
      var _a;
      const s = this.strip();
      if (!s) return;
      const r = await this.store.call("getVstParameters", { nodeId: s.id, slotId });
      if (!r.ok) return;
      const list = Array.isArray((_a = r.result) == null ? void 0 : _a.parameters) ? r.result.parameters : [];
      const rows = list.slice(0, 256).map((p) => {
        const id = Number(p.id ?? p.parameterId);
        const v = Number(p.value ?? p.normalized ?? 0);
        const range = h("input", { type: "range", min: 0, max: 1, step: 1e-3, value: v, disabled: p.readOnly === true, "aria-label": String(p.title ?? p.name ?? id) });
        const c = new Coalescer((x) => {
          const st = this.strip();
          return st ? this.store.send(vstParameterRequest(st, slotId, id, x)) : Promise.resolve();
        });
        range.addEventListener("input", () => c.push(Number(range.value)));
        return h("label", { class: "proc" }, h("span", { text: String(p.title ?? p.name ?? id) }), range);
      });
      this.params.replaceChildren(h("h3", { text: `Parameters of ${slotId}` }), ...rows.length ? rows : [h("pre", { text: JSON.stringify(r.result, null, 1) })]);
    }
  };

  // web/src/screens/media.ts
  var PLAYBACK_KEYS = [
    "routingReady",
    "state",
    "playing",
    "frame",
    "requestedFrame",
    "durationFrames",
    "durationSeconds",
    "positionSeconds",
    "sampleRate",
    "loadedChannels",
    "residentAudioBytes",
    "looping",
    "loopStartFrame",
    "loopEndFrame",
    "incomplete",
    "error"
  ];
  var RECORDING_KEYS = [
    "active",
    "state",
    "frames",
    "writtenFrames",
    "acceptedFrames",
    "committedFrames",
    "droppedFrames",
    "firstDroppedFrame",
    "queuedBlocks",
    "queueBytes",
    "stallToleranceSeconds",
    "incomplete",
    "captureIssue",
    "sampleRate",
    "takeDirectory",
    "error"
  ];
  function fill(cells, obj) {
    for (const [k, c] of Object.entries(cells)) setText(c, fmtNum(obj == null ? void 0 : obj[k]));
  }
  var PlaybackScreen = class {
    constructor(store) {
      this.store = store;
      __publicField(this, "id", "playback");
      __publicField(this, "title", "Playback");
      __publicField(this, "el");
      __publicField(this, "cells", {});
      __publicField(this, "files");
      __publicField(this, "progress");
      __publicField(this, "seek");
      __publicField(this, "loopStart");
      __publicField(this, "loopEnd");
      __publicField(this, "filesKey", "");
      const lan = store.lan;
      const table = h("table", { class: "kv" });
      for (const k of PLAYBACK_KEYS) this.cells[k] = kv(table, k);
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
        h("table", { class: "grid" }, h("thead", {}, h("tr", {}, ...["Id", "File", "Channels", "First lane", "Details"].map((t) => h("th", { text: t })))), this.files),
        h("h3", { text: "Transport" }),
        table
      );
    }
    update() {
      const st = this.store.status;
      if (!st) return;
      const pb = st.playback ?? {};
      fill(this.cells, pb);
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
          const { id, path, name, channels, firstLane, ...rest } = f ?? {};
          return h(
            "tr",
            { "data-file": String(id) },
            h("td", { text: String(id) }),
            h("td", { text: String(path ?? name ?? "") }),
            h("td", { text: fmtNum(channels) }),
            h("td", { text: fmtNum(firstLane) }),
            h("td", { class: "mono", text: JSON.stringify(rest) })
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
      __publicField(this, "cells", {});
      __publicField(this, "health");
      __publicField(this, "armed");
      __publicField(this, "dir");
      __publicField(this, "mode");
      __publicField(this, "tap");
      __publicField(this, "mainArmed");
      __publicField(this, "generation", -1);
      const lan = store.lan;
      const table = h("table", { class: "kv" });
      for (const k of RECORDING_KEYS) this.cells[k] = kv(table, k);
      this.health = h("pre", { class: "health" });
      this.armed = h("p", { class: "armed" });
      this.dir = localOnly(h("input", { type: "text", class: "wide", placeholder: "/absolute/folder", "aria-label": "Recording folder" }), lan);
      this.mode = localOnly(h("select", { "aria-label": "Mode" }, h("option", { value: "multitrack", text: "multitrack" }), h("option", { value: "stereo", text: "stereo" })), lan);
      this.tap = localOnly(h("select", { "aria-label": "Tap" }, ...["rawInput", "preFader", "postFader"].map((t) => h("option", { value: t, text: t }))), lan);
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
        table,
        h("h3", { text: "Capture health" }),
        this.health
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
      fill(this.cells, rec);
      setText(this.health, JSON.stringify(rec.captureHealth ?? {}, null, 1));
    }
  };

  // web/src/screens/system.ts
  var SAFES = ["levels", "processing", "routing", "fx"];
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
      this.el = h(
        "section",
        { class: "screen scenes", "data-screen": this.id },
        h("div", { class: "toolbar" }, this.name, capture),
        safes,
        this.current,
        this.list
      );
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
    }
  };
  var LanScreen = class {
    constructor(store) {
      this.store = store;
      __publicField(this, "id", "lan");
      __publicField(this, "title", "LAN");
      __publicField(this, "el");
      __publicField(this, "status");
      __publicField(this, "urls");
      __publicField(this, "enabled");
      __publicField(this, "port");
      __publicField(this, "password");
      __publicField(this, "result");
      __publicField(this, "key", "");
      const lan = store.lan;
      this.status = h("pre", { class: "lan-status" });
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
      setText(this.status, JSON.stringify(r, null, 1));
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
      __publicField(this, "perf");
      __publicField(this, "last", 0);
      this.tree = h("div", { class: "tree", "data-tree": "state" });
      this.traffic = h("div", { class: "traffic" });
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
    const password = h("input", { type: "password", autocomplete: "current-password", "aria-label": "Password", id: "login-password" });
    const message = h("p", { class: "login-message", role: "alert", "data-login": "message" });
    const button = h("button", { class: "btn primary big", type: "submit", text: "Log in" });
    const form = h(
      "form",
      { class: "login-form" },
      h("h1", { text: "KESTRAVON RUVI" }),
      h("p", { text: "Enter the LAN password set on the stage computer." }),
      h("p", { class: "hint", text: `Open this page at the computer's IP address and port (for example 192.168.1.20:8080), not "localhost".` }),
      password,
      button,
      message
    );
    form.addEventListener("submit", async (e) => {
      e.preventDefault();
      button.disabled = true;
      setText(message, "");
      const r = await bridge2.login(password.value);
      password.value = "";
      button.disabled = false;
      if (!r.ok) setText(message, String(r.error));
    });
    return { el: h("div", { class: "login", hidden: true }, form), message: (t) => setText(message, t) };
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
    const main = h("main", { class: "screens" });
    let active = "mixer";
    const show = (id) => {
      var _a;
      active = id;
      for (const s of screens) {
        s.el.hidden = s.id !== id;
        const tab = nav.querySelector(`[data-tab="${s.id}"]`);
        tab == null ? void 0 : tab.setAttribute("aria-selected", String(s.id === id));
      }
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
    for (const s of screens) {
      nav.append(h("button", { class: "tab", type: "button", role: "tab", "data-tab": s.id, text: s.title, onclick: () => show(s.id) }));
      s.el.hidden = true;
      main.append(s.el);
    }
    const login = loginView(bridge2);
    document.body.replaceChildren(top.el, nav, main, login.el);
    document.documentElement.dataset.link = bridge2.link;
    show("mixer");
    bridge2.onConnection((c) => {
      top.connection(c);
      login.el.hidden = c.phase !== "login";
      if (c.phase === "login" && c.message) login.message(c.message);
    });
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
