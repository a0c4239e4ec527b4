"use strict";
(() => {
  var __defProp = Object.defineProperty;
  var __defNormalProp = (obj, key, value) => key in obj ? __defProp(obj, key, { enumerable: true, configurable: true, writable: true, value }) : obj[key] = value;
  var __publicField = (obj, key, value) => __defNormalProp(obj, typeof key !== "symbol" ? key + "" : key, value);

  // web/src/rules.ts
  function nextRequestId(previous) {
    return previous >= 2147483647 || previous < 1 ? 1 : previous + 1;
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
    receiveState(s, start) {
      this.lastStateAt = performance.now();
      const held = this.pendingState;
      this.pendingState = held && held.uiState !== void 0 && s.uiState === void 0 ? { ...s, uiState: held.uiState } : s;
      this.pendingSpent += this.lastStateAt - start;
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
      const start = performance.now();
      this.emitState(s);
      this.stateTimings.push(this.pendingSpent + performance.now() - start);
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
        const start = performance.now();
        let msg;
        try {
          msg = JSON.parse(e.data.text);
        } catch {
          return;
        }
        if (kind === "event") {
          if (msg && msg.event === "status" && msg.result && typeof msg.result === "object") {
            if (this.connection.phase !== "online") this.setConnection({ phase: "online", transport: "bridge" });
            this.receiveState(msg.result, start);
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
    acceptState(s, start = performance.now()) {
      if (!s || typeof s.revision !== "number") return;
      this.revision = s.revision;
      if (s.uiState !== void 0) this.lastUi = s.uiState;
      else if (this.lastUi !== void 0) s = { ...s, uiState: this.lastUi };
      this.settleJobs(s, this.reconnecting);
      this.reconnecting = false;
      this.receiveState(s, start);
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
      const start = performance.now();
      let msg;
      try {
        msg = JSON.parse(text);
      } catch {
        return;
      }
      if (msg.type === "state") {
        this.acceptState(msg.state, start);
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
})();
