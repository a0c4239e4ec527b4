// One control link for both places the page runs: inside the program's web view (the desktop
// bridge posts requests and events as window messages) and in a browser on the LAN (login over
// HTTP, then a WebSocket with rpc replies by id and state pushes, falling back to HTTP polling).
// The page sees the same calls and the same state either way.

import { nextRequestId } from "./rules";

export type Reply = { id: number; ok: boolean; result?: any; error?: string };
export type State = { revision: number; status: any; uiState?: any };
export type Link = "desktop" | "lan";
export type ConnectionState =
  | { phase: "login"; message?: string }
  | { phase: "connecting"; message?: string }
  | { phase: "online"; transport: "bridge" | "websocket" | "polling" }
  | { phase: "offline"; message: string };

export interface CallOptions {
  /** Called when the method started a background job; the promise settles with its outcome. */
  onPending?: (job: { jobId: number; method: string }) => void;
}

export interface RuviBridge {
  readonly link: Link;
  call(method: string, params?: object, options?: CallOptions): Promise<Reply>;
  login(password: string): Promise<Reply>;
  logout(): void;
  onState(listener: (state: State) => void): void;
  onConnection(listener: (c: ConnectionState) => void): void;
  onTraffic(listener: (request: object, reply: Reply) => void): void;
  readonly connection: ConnectionState;
  /** Milliseconds spent on each of the last state messages (parse and apply), newest last. */
  readonly stateTimings: number[];
  /** performance.now() of the last state message. */
  readonly lastStateAt: number;
  /** True while states arrive: the link is up and the stage computer answers. */
  readonly reachable: boolean;
  /** Called when the stage computer stops or starts being reachable, with the reason it is not. */
  onReachable(listener: (reachable: boolean, reason: string) => void): void;
  /** How long a waited-for job may go without any word in the state before it gives up. */
  jobTimeoutMs: number;
}

/** No state for this long means the stage computer cannot be reached. */
export const SILENCE_MS = 1500;
const OFFLINE_ERROR = "The stage computer cannot be reached; nothing was sent";
export const LOCAL_COMPUTER_ERROR = "This operation requires the local computer";
const READ_ONLY = new Set(["capabilities", "devices", "plugins", "getVstParameters", "status", "getControlState"]);

/** Whether a method only reads: everything else changes the stage computer's state. */
export function isReadOnly(method: string): boolean {
  return READ_ONLY.has(method);
}

const TOKEN_KEY = "ruvi.token";
const LOCAL_ONLY = new Set([
  "applySession", "startAudio", "stopAudio", "loadPlayback", "loadSession", "unloadPlayback",
  "saveSession", "showVstEditor", "configureRemote",
]);

type Waiter = { resolve: (r: Reply) => void; options?: CallOptions; request: object };

abstract class BridgeBase implements RuviBridge {
  abstract readonly link: Link;
  protected lastId = 0;
  protected waiters = new Map<number, Waiter>();
  private stateListeners: ((s: State) => void)[] = [];
  private connectionListeners: ((c: ConnectionState) => void)[] = [];
  private trafficListeners: ((q: object, r: Reply) => void)[] = [];
  private reachableListeners: ((r: boolean, why: string) => void)[] = [];
  connection: ConnectionState = { phase: "connecting" };
  readonly stateTimings: number[] = [];
  lastStateAt = 0;
  reachable = false;
  jobTimeoutMs = 10000;
  private readonly bornAt = performance.now();
  private lostReason = "";
  // States wait here for the next frame; a newer one replaces an older one not yet applied.
  private pendingState: State | null = null;
  private pendingSpent = 0;
  private frameRequest = 0;
  private frameFallback: number | undefined;

  constructor() {
    window.setInterval(() => this.watch(), 250);
  }

  /** A state message arrived; it is applied with the next frame, at most one per frame. */
  protected receiveState(s: State, start: number): void {
    this.lastStateAt = performance.now();
    const held = this.pendingState;
    // An older state's document is kept when the newer one does not carry one.
    this.pendingState = held && held.uiState !== undefined && s.uiState === undefined ? { ...s, uiState: held.uiState } : s;
    this.pendingSpent += this.lastStateAt - start;
    if (!this.reachable && this.connection.phase === "online") this.setReachable(true, "");
    if (this.frameRequest || this.frameFallback !== undefined) return;
    this.frameRequest = requestAnimationFrame(() => this.flushState());
    // A page that draws no frames (hidden) still takes a state now and then.
    this.frameFallback = window.setTimeout(() => this.flushState(), 50);
  }

  private flushState(): void {
    if (this.frameRequest) cancelAnimationFrame(this.frameRequest);
    if (this.frameFallback !== undefined) clearTimeout(this.frameFallback);
    this.frameRequest = 0;
    this.frameFallback = undefined;
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
  protected linkLost(reason: string): void {
    this.pendingState = null;
    this.setReachable(false, reason);
  }

  private watch(): void {
    this.checkJobs();
    if (this.connection.phase === "login") return;
    const since = performance.now() - Math.max(this.lastStateAt, this.bornAt);
    if (since > SILENCE_MS && (this.reachable || this.lostReason === "")) {
      this.linkLost(this.lastStateAt ? `no state for over ${SILENCE_MS / 1000} s` : "no state yet");
    }
  }

  protected checkJobs(): void {}

  private setReachable(r: boolean, reason: string): void {
    const was = this.reachable;
    const announced = this.lostReason !== "";
    this.reachable = r;
    this.lostReason = r ? "" : reason;
    // A loss is announced once; the page starts unreachable but says nothing until it is late.
    if (was === r && (r || announced)) return;
    for (const l of this.reachableListeners) l(r, reason);
  }

  onReachable(l: (r: boolean, why: string) => void): void {
    this.reachableListeners.push(l);
  }

  /** While the stage computer cannot be reached only reads go out; a change is refused here. */
  protected refuseOffline(method: string, request: object): Reply | null {
    if (this.reachable || isReadOnly(method)) return null;
    const reply = { id: (request as { id: number }).id, ok: false, error: OFFLINE_ERROR };
    this.traffic(request, reply);
    return reply;
  }

  protected newId(): number {
    this.lastId = nextRequestId(this.lastId);
    while (this.waiters.has(this.lastId)) this.lastId = nextRequestId(this.lastId);
    return this.lastId;
  }
  protected emitState(s: State): void {
    for (const l of this.stateListeners) l(s);
  }
  protected setConnection(c: ConnectionState): void {
    this.connection = c;
    for (const l of this.connectionListeners) l(c);
  }
  protected traffic(q: object, r: Reply): void {
    for (const l of this.trafficListeners) l(q, r);
  }
  onState(l: (s: State) => void): void {
    this.stateListeners.push(l);
  }
  onConnection(l: (c: ConnectionState) => void): void {
    this.connectionListeners.push(l);
    l(this.connection);
  }
  onTraffic(l: (q: object, r: Reply) => void): void {
    this.trafficListeners.push(l);
  }
  abstract call(method: string, params?: object, options?: CallOptions): Promise<Reply>;
  login(_password: string): Promise<Reply> {
    return Promise.resolve({ id: 0, ok: true, result: {} });
  }
  logout(): void {}
}

// ---- desktop: window messages to and from the injected bridge ----

class DesktopBridge extends BridgeBase {
  readonly link = "desktop" as const;
  constructor() {
    super();
    window.addEventListener("message", (e) => {
      if (e.source !== window || !e.data || typeof e.data.text !== "string") return;
      const kind = e.data.ruviBridge;
      if (kind !== "reply" && kind !== "event") return;
      const start = performance.now();
      let msg: any;
      try {
        msg = JSON.parse(e.data.text);
      } catch {
        return;
      }
      if (kind === "event") {
        if (msg && msg.event === "status" && msg.result && typeof msg.result === "object") {
          if (this.connection.phase !== "online") this.setConnection({ phase: "online", transport: "bridge" });
          this.receiveState(msg.result as State, start);
        }
        return;
      }
      this.onReply(msg as Reply);
    });
    this.setConnection({ phase: "connecting", message: "Waiting for the program" });
  }

  private onReply(reply: Reply): void {
    const w = this.waiters.get(reply.id);
    if (!w) {
      // A request the bridge could not read comes back under id 0: show it to the oldest caller.
      if (reply.id === 0) this.traffic({ id: 0 }, reply);
      return;
    }
    if (reply.ok && reply.result && reply.result.pending === true) {
      w.options?.onPending?.({ jobId: reply.result.jobId, method: reply.result.method });
      return; // the job's own reply follows under the same id
    }
    this.waiters.delete(reply.id);
    this.traffic(w.request, reply);
    w.resolve(reply);
  }

  call(method: string, params: object = {}, options?: CallOptions): Promise<Reply> {
    const id = this.newId();
    const request = { id, method, params };
    const refused = this.refuseOffline(method, request);
    if (refused) return Promise.resolve(refused);
    return new Promise((resolve) => {
      this.waiters.set(id, { resolve, options, request });
      window.postMessage({ ruviBridge: "request", text: JSON.stringify(request) }, location.origin);
    });
  }
}

// ---- LAN: login, WebSocket, polling fall-back ----

async function postJson(path: string, body: object, token?: string): Promise<{ status: number; body: any }> {
  const headers: Record<string, string> = { "Content-Type": "application/json" };
  if (token) headers.Authorization = `Bearer ${token}`;
  const res = await fetch(path, { method: "POST", headers, body: JSON.stringify(body), cache: "no-store" });
  let parsed: any = null;
  try {
    parsed = await res.json();
  } catch {
    parsed = null;
  }
  return { status: res.status, body: parsed };
}

class LanBridge extends BridgeBase {
  readonly link = "lan" as const;
  private token: string | null = null;
  private ws: WebSocket | null = null;
  private authenticated = false;
  private failures = 0;
  private retryTimer: number | undefined;
  private pollTimer: number | undefined;
  private polling = false;
  private revision = 0;
  private lastUi: any = undefined;
  private jobs = new Map<number, Waiter & { method: string; seenAt: number }>();
  private stopped = false;
  /** Whether the held token has worked: its refusal then means the stage computer restarted. */
  private tokenWorked = false;
  /** The link broke since the last state: the next state is the first after a reconnect. */
  private reconnecting = false;

  constructor() {
    super();
    try {
      this.token = sessionStorage.getItem(TOKEN_KEY);
    } catch {
      this.token = null;
    }
    if (this.token) this.open();
    else this.setConnection({ phase: "login" });
  }

  async login(password: string): Promise<Reply> {
    if (password === "") {
      const error = "Enter the password";
      this.setConnection({ phase: "login", message: error });
      return { id: 0, ok: false, error };
    }
    let res: { status: number; body: any };
    try {
      res = await postJson("/api/login", { password });
    } catch (e) {
      const error = `Cannot reach the stage computer (${(e as Error).message})`;
      this.setConnection({ phase: "login", message: error });
      return { id: 0, ok: false, error };
    }
    if (res.status !== 200 || !res.body || typeof res.body.token !== "string") {
      const error = res.body && typeof res.body.error === "string" ? res.body.error : `HTTP ${res.status}`;
      this.setConnection({ phase: "login", message: error });
      return { id: 0, ok: false, error };
    }
    const { token, clientId, webSocket, transport, ...state } = res.body;
    void clientId; void webSocket; void transport;
    this.token = token;
    try {
      sessionStorage.setItem(TOKEN_KEY, token);
    } catch {
      /* private browsing: the token lives for this page only */
    }
    this.stopped = false;
    this.failures = 0;
    this.tokenWorked = true;
    this.acceptState(state as State);
    this.open();
    return { id: 0, ok: true, result: state };
  }

  logout(): void {
    this.stopped = true;
    this.token = null;
    try {
      sessionStorage.removeItem(TOKEN_KEY);
    } catch {
      /* nothing stored */
    }
    this.closeSocket();
    this.stopPolling();
    this.failAll("Logged out");
    this.setConnection({ phase: "login" });
  }

  private loginRequired(message: string): void {
    // A token that worked and is now refused: the server forgot it (a restart) or it expired.
    if (this.tokenWorked) message = `The stage computer restarted or the session ended (${message}). Log in again.`;
    this.tokenWorked = false;
    this.token = null;
    try {
      sessionStorage.removeItem(TOKEN_KEY);
    } catch {
      /* nothing stored */
    }
    this.stopped = true;
    this.closeSocket();
    this.stopPolling();
    this.failAll(message);
    this.setConnection({ phase: "login", message });
  }

  private acceptState(s: State, start = performance.now()): void {
    if (!s || typeof s.revision !== "number") return;
    this.revision = s.revision;
    if (s.uiState !== undefined) this.lastUi = s.uiState;
    else if (this.lastUi !== undefined) s = { ...s, uiState: this.lastUi };
    this.settleJobs(s, this.reconnecting);
    this.reconnecting = false;
    this.receiveState(s, start);
  }

  protected linkLost(reason: string): void {
    this.reconnecting = true;
    super.linkLost(reason);
  }

  private settle(jobId: number, reply: Reply): void {
    const w = this.jobs.get(jobId);
    if (!w) return;
    this.jobs.delete(jobId);
    this.traffic(w.request, reply);
    w.resolve(reply);
  }

  // A LAN job answers "pending" at once; its outcome shows up later as the state's job event.
  // The state keeps only the last job, so a newer job or a reconnect can hide the outcome: the
  // waiting caller is then told so instead of waiting for an event that never comes.
  private settleJobs(s: State, afterReconnect: boolean): void {
    if (this.jobs.size === 0) return;
    const job = (s.status && s.status.controlJob) || {};
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
  protected checkJobs(): void {
    const now = performance.now();
    for (const [jobId, w] of [...this.jobs]) {
      if (now - w.seenAt > this.jobTimeoutMs) {
        this.settle(jobId, { id: 0, ok: false, error: `No outcome for ${w.method} after ${Math.round(this.jobTimeoutMs / 1000)} s; check it on screen` });
      }
    }
  }

  private failAll(error: string): void {
    for (const [id, w] of this.waiters) w.resolve({ id, ok: false, error });
    this.waiters.clear();
    for (const [, w] of this.jobs) w.resolve({ id: 0, ok: false, error });
    this.jobs.clear();
  }

  private closeSocket(): void {
    if (this.retryTimer !== undefined) clearTimeout(this.retryTimer);
    this.retryTimer = undefined;
    if (this.ws) {
      this.ws.onclose = null;
      this.ws.onmessage = null;
      this.ws.onerror = null;
      this.ws.close();
    }
    this.ws = null;
    this.authenticated = false;
  }

  private open(): void {
    if (!this.token || this.stopped) return;
    this.closeSocket();
    // While polling carries the link, a new try of the socket does not make the page look offline.
    if (!(this.polling && this.connection.phase === "online")) {
      this.setConnection({ phase: "connecting", message: this.failures ? `Reconnecting (attempt ${this.failures + 1})` : undefined });
    }
    let ws: WebSocket;
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

  private onSocketMessage(text: unknown): void {
    if (typeof text !== "string") return;
    const start = performance.now();
    let msg: any;
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
      this.onReply(reply as Reply);
    }
  }

  private onReply(reply: Reply): void {
    const w = this.waiters.get(reply.id);
    if (!w) return;
    this.waiters.delete(reply.id);
    if (reply.ok && reply.result && reply.result.pending === true && typeof reply.result.jobId === "number") {
      w.options?.onPending?.({ jobId: reply.result.jobId, method: reply.result.method });
      this.jobs.set(reply.result.jobId, { ...w, method: reply.result.method, seenAt: performance.now() });
      return;
    }
    this.traffic(w.request, reply);
    w.resolve(reply);
  }

  private async socketLost(code: number): Promise<void> {
    const wasAuthenticated = this.authenticated;
    this.ws = null;
    this.authenticated = false;
    for (const [id, w] of this.waiters) w.resolve({ id, ok: false, error: "Connection lost; the request may not have run" });
    this.waiters.clear();
    if (this.stopped || !this.token) return;
    if (code === 1008) {
      // Refused authentication or an expired token: ask the server what it thinks of the token.
      const check = await this.fetchEvents();
      if (check === "login") return;
    }
    this.failures = wasAuthenticated ? 1 : this.failures + 1;
    // The socket closed and the retry failed too: the stage computer is gone, say so now.
    const polled = this.polling && this.connection.phase === "online";
    if (this.failures >= 2 && !polled) this.linkLost("connection lost, the retry failed");
    if (this.failures >= 3) this.startPolling();
    const delay = Math.min(8000, 500 * 2 ** Math.min(this.failures - 1, 4));
    if (!this.polling) this.setConnection({ phase: "connecting", message: `Connection lost; retrying in ${Math.round(delay / 100) / 10} s` });
    this.retryTimer = window.setTimeout(() => this.open(), delay);
  }

  // ---- HTTP polling ----

  private startPolling(): void {
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

  private stopPolling(): void {
    this.polling = false;
    if (this.pollTimer !== undefined) clearTimeout(this.pollTimer);
    this.pollTimer = undefined;
  }

  private async fetchEvents(): Promise<"ok" | "login" | "error"> {
    if (!this.token) return "login";
    try {
      const after = this.lastUi === undefined ? 0 : this.revision;
      const res = await fetch(`/api/events?after=${after}`, { headers: { Authorization: `Bearer ${this.token}` }, cache: "no-store" });
      const body = await res.json().catch(() => null);
      if (res.status === 401) {
        this.loginRequired(body && typeof body.error === "string" ? body.error : "Login required");
        return "login";
      }
      if (res.status !== 200 || !body) return "error";
      // The poll that answers is the link: online before its state, so that state counts.
      if (this.polling && !(this.connection.phase === "online" && this.connection.transport === "polling")) {
        this.setConnection({ phase: "online", transport: "polling" });
      }
      this.acceptState(body as State);
      return "ok";
    } catch {
      return "error";
    }
  }

  call(method: string, params: object = {}, options?: CallOptions): Promise<Reply> {
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
        this.ws!.send(JSON.stringify({ type: "rpc", ...request }));
      });
    }
    if (!this.token) {
      const reply = { id, ok: false, error: "Login required" };
      this.traffic(request, reply);
      return Promise.resolve(reply);
    }
    return this.callOverHttp(request, options);
  }

  private async callOverHttp(request: { id: number; method: string; params: object }, options?: CallOptions): Promise<Reply> {
    let reply: Reply;
    try {
      const res = await postJson("/api/rpc", request, this.token ?? undefined);
      if (res.status === 401) {
        this.loginRequired(res.body?.error ?? "Login required");
        reply = { id: request.id, ok: false, error: res.body?.error ?? "Login required" };
      } else if (res.status !== 200) {
        reply = { id: request.id, ok: false, error: res.body?.error ?? `HTTP ${res.status}` };
      } else {
        reply = res.body as Reply;
      }
    } catch (e) {
      reply = { id: request.id, ok: false, error: `Cannot reach the stage computer (${(e as Error).message})` };
    }
    if (reply.ok && reply.result && reply.result.pending === true && typeof reply.result.jobId === "number") {
      options?.onPending?.({ jobId: reply.result.jobId, method: reply.result.method });
      return new Promise((resolve) => this.jobs.set(reply.result.jobId, { resolve, options, request, method: reply.result.method, seenAt: performance.now() }));
    }
    this.traffic(request, reply);
    return reply;
  }
}

export function isLocalOnly(method: string): boolean {
  return LOCAL_ONLY.has(method);
}

export function createBridge(): RuviBridge {
  return document.documentElement.getAttribute("data-ruvi-bridge") === "1" ? new DesktopBridge() : new LanBridge();
}

declare global {
  interface Window {
    RuviBridge?: RuviBridge;
  }
}

if (typeof window !== "undefined" && typeof document !== "undefined" && !window.RuviBridge) {
  window.RuviBridge = createBridge();
}
