// The page's copy of the stage computer's state. A state message replaces the status; the UI
// document is replaced only when the revision moved, so screens rebuild structure only then and
// otherwise update values in place.

import { LOCAL_COMPUTER_ERROR, isLocalOnly, isReadOnly, type Reply, type RuviBridge, type State } from "./nativebridge";
import { applyPatchLocally, type Rpc, type UiDocument } from "./rules";

export interface Traffic {
  at: number;
  request: any;
  reply: Reply;
  /** What the user can do about a refusal, where the page knows it. */
  hint?: string;
}

/** A refusal as shown with the screen (and control) whose request caused it. */
export interface Refusal {
  at: number;
  screen: string;
  method: string;
  error: string;
  hint: string;
  control: HTMLElement | null;
}

/** How long a refusal stays in view when nothing else clears it. */
export const REFUSAL_MS = 8000;

const LOCAL_HINT = "Only the stage computer can do this: use the program's own window there.";

/** What a user can do about a refusal, from what the page knows; "" when it knows nothing. */
export function refusalHint(method: string, params: any, error: string, lan: boolean): string {
  if (error.startsWith("The stage computer cannot be reached")) return "Wait for the link to come back, then try again.";
  if (method === "startRecording") {
    const folder = typeof params?.directory === "string" ? params.directory : "";
    if (lan && (folder === "" || error === "Set the recording folder on the local computer first")) {
      return "Set the recording folder on the stage computer (Recording screen in the program's window).";
    }
    if (!lan && folder === "") return "Enter the recording folder above, then Keep settings.";
  }
  if (lan && (isLocalOnly(method) || error === LOCAL_COMPUTER_ERROR || /local-only|locally|local computer/.test(error))) return LOCAL_HINT;
  return "";
}

export type Listener = (store: Store, uiChanged: boolean) => void;

export class Store {
  revision = -1;
  status: any = null;
  ui: UiDocument | null = null;
  /** Changes with every UI document that arrives; screens compare it to skip rebuilds. */
  uiGeneration = 0;
  lastError = "";
  readonly traffic: Traffic[] = [];
  readonly errors: Traffic[] = [];
  private listeners: Listener[] = [];
  private errorListeners: ((text: string) => void)[] = [];
  stateCount = 0;
  lastApplyMs = 0;
  /** The screen in view: a refusal is shown with the screen whose request caused it. */
  screen = "mixer";
  /** The screen and control of the user's action being handled now, when a call comes from one. */
  origin: { screen: string; control: HTMLElement | null } | null = null;
  /** The refusal each screen shows now. */
  readonly refusals = new Map<string, Refusal>();
  private refusalListeners: ((screen: string, r: Refusal | null) => void)[] = [];
  private onlineListeners: ((online: boolean, reason: string) => void)[] = [];

  constructor(readonly bridge: RuviBridge) {
    bridge.onReachable((r, why) => {
      for (const l of this.onlineListeners) l(r, why);
    });
    bridge.onState((s) => this.accept(s));
    bridge.onTraffic((request, reply) => this.record(request, reply));
    // A new login may meet a restarted stage computer whose revision starts again from 0.
    bridge.onConnection((c) => {
      if (c.phase === "login") this.revision = -1;
    });
  }

  get lan(): boolean {
    return this.bridge.link === "lan";
  }

  /**
   * Whether the stage computer is reachable: states arrive. While it is false the values on
   * screen are old, meters must show nothing, and changes are refused without being sent.
   * The page also mirrors it as <html data-online="1|0">.
   */
  get online(): boolean {
    return this.bridge.reachable;
  }

  onOnline(l: (online: boolean, reason: string) => void): void {
    this.onlineListeners.push(l);
  }

  onRefusal(l: (screen: string, r: Refusal | null) => void): void {
    this.refusalListeners.push(l);
  }

  private showRefusal(screen: string, r: Refusal | null): void {
    const old = this.refusals.get(screen);
    if (!old && !r) return;
    if (old?.control && old.control !== r?.control) delete old.control.dataset.refused;
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
  private answered(screen: string, control: HTMLElement | null, method: string, params: any, reply: Reply): void {
    if (!reply.ok) {
      const error = String(reply.error ?? "");
      this.showRefusal(screen, { at: Date.now(), screen, method, error, hint: refusalHint(method, params, error, this.lan), control });
    } else if (!isReadOnly(method)) {
      this.showRefusal(screen, null);
    }
  }

  accept(s: State): void {
    const t0 = performance.now();
    // Revisions only grow while the stage computer runs; a state older than what this page
    // already holds (one built before our own edit was answered) must not undo that edit.
    const newer = s.revision > this.revision || this.revision < 0;
    const uiChanged = newer && s.uiState !== undefined && s.uiState !== null;
    this.status = s.status ?? null;
    if (uiChanged) {
      this.ui = s.uiState as UiDocument;
      this.uiGeneration++;
    }
    if (newer) this.revision = s.revision;
    this.stateCount++;
    for (const l of this.listeners) l(this, uiChanged);
    this.lastApplyMs = performance.now() - t0;
  }

  subscribe(l: Listener): void {
    this.listeners.push(l);
  }

  onError(l: (text: string) => void): void {
    this.errorListeners.push(l);
  }

  private record(request: any, reply: Reply): void {
    const entry: Traffic = { at: Date.now(), request, reply };
    if (!reply.ok) entry.hint = refusalHint(String(request?.method ?? ""), request?.params, String(reply.error ?? ""), this.lan);
    this.traffic.push(entry);
    if (this.traffic.length > 40) this.traffic.shift();
    if (!reply.ok) {
      this.errors.push(entry);
      if (this.errors.length > 200) this.errors.shift();
      this.lastError = String(reply.error ?? "");
      for (const l of this.errorListeners) l(this.lastError);
    }
  }

  call(method: string, params: object = {}, onPending?: (job: { jobId: number; method: string }) => void): Promise<Reply> {
    const focused = typeof document !== "undefined" ? document.activeElement : null;
    const screen = this.origin?.screen ?? this.screen;
    const control = this.origin ? this.origin.control : focused instanceof HTMLElement && focused.closest(".screen") ? focused : null;
    return this.bridge.call(method, params, onPending ? { onPending } : undefined).then((reply) => {
      this.answered(screen, control, method, params, reply);
      return reply;
    });
  }

  /** Sends a live-control request; its UI patch is shown at once and confirmed by the echo. */
  send(rpc: Rpc): Promise<Reply> {
    const patch = rpc.localPatch ?? (rpc.params.uiPatch as { entityId: string; key: string; value: unknown } | undefined);
    // Offline the bridge refuses the change; the screen must not show it as made either.
    if (patch && this.ui && this.online) {
      applyPatchLocally(this.ui, patch);
      this.uiGeneration++;
      for (const l of this.listeners) l(this, true);
    }
    return this.call(rpc.method, rpc.params).then((reply) => {
      // A refused edit leaves the held document as it was: fetch it now, so the next edit is
      // not built on the refused one.
      if (!reply.ok) {
        this.revision = -1;
        void this.call("getControlState", { after: 0 }).then((r) => {
          if (r.ok && r.result && typeof r.result.revision === "number") this.accept(r.result as State);
        });
      }
      // Our edit alone moved the revision by one: the local copy, patched the same way the
      // native side patched its own, is that revision. The next edit can be based on it at once.
      // A change sent without its patch waits for the pushed document instead.
      else if (rpc.params.uiPatch && typeof reply.result?.revision === "number" && reply.result.revision === this.revision + 1) this.revision = reply.result.revision;
      return reply;
    });
  }

  /** Structural requests carry the revision they were based on. */
  structural(method: string, params: object): Promise<Reply> {
    return this.call(method, { ...params, baseRevision: Math.max(0, this.revision) }).then((reply) => {
      // Scene replies carry the new document and revision: take them now, so the next edit is
      // based on them and not refused as stale.
      const r = reply.ok ? reply.result : null;
      if (r && typeof r.revision === "number" && r.uiState && typeof r.uiState === "object" && r.revision > this.revision) {
        this.accept({ revision: r.revision, status: r.status ?? this.status, uiState: r.uiState });
      }
      return reply;
    });
  }
}
