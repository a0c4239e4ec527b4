// The bar that is always visible, in one row: is the audio running and healthy, xruns, the
// recorder, and is this page connected. The other figures fold behind "More" where the row has
// no room for them. While the stage computer cannot be reached every figure says so instead of
// showing its last value.

import { fmtField, fmtNum, h, setClass, setText } from "../dom";
import type { ConnectionState } from "../nativebridge";
import type { Store } from "../store";

const UNKNOWN = "—";

export class TopBar {
  readonly el: HTMLElement;
  private cells: Record<string, HTMLElement> = {};
  private readonly conn: HTMLElement;
  private readonly more: HTMLButtonElement;
  private readonly folded: HTMLElement;

  constructor(private readonly store: Store) {
    const cell = (key: string, label: string, cls = "") => {
      const v = h("span", { class: "tb-v", "data-top": key });
      this.cells[key] = v;
      return h("div", { class: `tb-cell ${cls}`.trim(), "data-cell": key }, h("span", { class: "tb-k", text: label }), v);
    };
    this.conn = h("span", { class: "tb-conn", "data-top": "connection" });
    this.folded = h("div", { class: "tb-folded", id: "tb-folded", "data-open": "0" },
      cell("format", "Rate / block"),
      cell("overruns", "Overruns"),
      cell("latency", "Latency"),
      cell("revision", "Rev"),
      cell("job", "Job", "tb-job"),
      cell("playback", "Play"),
      cell("lan", "LAN"),
    );
    this.more = h("button", { class: "tb-more", type: "button", "aria-expanded": "false", "aria-controls": "tb-folded", "data-action": "topbarMore", text: "More ▾" });
    const setOpen = (open: boolean) => {
      this.folded.dataset.open = open ? "1" : "0";
      this.more.setAttribute("aria-expanded", String(open));
    };
    this.more.addEventListener("click", () => setOpen(this.folded.dataset.open !== "1"));
    // A tap anywhere else folds the figures away again.
    document.addEventListener("pointerdown", (e) => {
      if (this.folded.dataset.open === "1" && !this.folded.contains(e.target as Node) && !this.more.contains(e.target as Node)) setOpen(false);
    });
    this.el = h("header", { class: "topbar" },
      h("div", { class: "brand" }, h("span", { class: "brand-name", text: "RUVI" }), this.conn),
      cell("audio", "Audio", "tb-keep"),
      cell("xruns", "Xruns", "tb-keep"),
      cell("recording", "Rec", "tb-keep"),
      this.folded,
      this.more,
    );
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

  /** The stage computer cannot be reached: no figure keeps its last value. */
  unknown(): void {
    for (const [key, v] of Object.entries(this.cells)) {
      setText(v, key === "audio" ? "UNKNOWN" : UNKNOWN);
      for (const c of ["ok", "bad", "warn", "rec"]) setClass(v, c, false);
      v.title = "The stage computer cannot be reached";
    }
    setClass(this.cells.audio, "bad", true);
  }

  update(): void {
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
    const rate = a.sampleRate || 48000;
    const graphMs = ((a.graphLatencySamples ?? 0) / rate) * 1000;
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
}
