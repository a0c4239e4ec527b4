// The bar that is always visible: is the audio running and healthy, what is the system busy with,
// is this page connected, and the last refusal in the system's own words.

import { h, setClass, setText, fmtNum } from "../dom";
import type { ConnectionState } from "../nativebridge";
import type { Store } from "../store";

export class TopBar {
  readonly el: HTMLElement;
  private cells: Record<string, HTMLElement> = {};
  private readonly error: HTMLElement;
  private readonly conn: HTMLElement;

  constructor(private readonly store: Store) {
    const cell = (key: string, label: string) => {
      const v = h("span", { class: "tb-v", "data-top": key });
      this.cells[key] = v;
      return h("div", { class: "tb-cell" }, h("span", { class: "tb-k", text: label }), v);
    };
    this.conn = h("span", { class: "tb-conn", "data-top": "connection" });
    this.error = h("div", { class: "tb-error", role: "status", "aria-live": "polite", "data-top": "lastError" });
    this.el = h("header", { class: "topbar" },
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
      this.error,
    );
    store.onError((text) => this.showError(text));
  }

  private showError(text: string): void {
    setText(this.error, text);
    this.error.classList.remove("flash");
    void this.error.offsetWidth;
    this.error.classList.add("flash");
  }

  connection(c: ConnectionState): void {
    const text =
      c.phase === "online" ? `online · ${c.transport}` : c.phase === "login" ? "not logged in" : c.phase === "connecting" ? c.message ?? "connecting" : c.message;
    setText(this.conn, text);
    setClass(this.conn, "ok", c.phase === "online");
    setClass(this.conn, "bad", c.phase !== "online");
  }

  /** The link is up but no state arrives. */
  stale(text: string): void {
    setText(this.conn, text);
    setClass(this.conn, "ok", false);
    setClass(this.conn, "bad", true);
  }

  update(): void {
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
    const rate = a.sampleRate || 48000;
    const graphMs = ((a.graphLatencySamples ?? 0) / rate) * 1000;
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
}
