// The page's copy of the stage computer's state. A state message replaces the status; the UI
// document is replaced only when the revision moved, so screens rebuild structure only then and
// otherwise update values in place.

import type { Reply, RuviBridge, State } from "./nativebridge";
import { applyPatchLocally, type Rpc, type UiDocument } from "./rules";

export interface Traffic {
  at: number;
  request: any;
  reply: Reply;
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

  constructor(readonly bridge: RuviBridge) {
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

  call(method: string, params: object = {}, onPending?: (job: { jobId: number; method: string }) => void): Promise<Reply> {
    return this.bridge.call(method, params, onPending ? { onPending } : undefined);
  }

  /** Sends a live-control request; its UI patch is shown at once and confirmed by the echo. */
  send(rpc: Rpc): Promise<Reply> {
    const patch = rpc.params.uiPatch as { entityId: string; key: string; value: unknown } | undefined;
    if (patch && this.ui) {
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
      else if (patch && typeof reply.result?.revision === "number" && reply.result.revision === this.revision + 1) this.revision = reply.result.revision;
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
