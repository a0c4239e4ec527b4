// Small DOM helpers: elements built in code (no HTML strings, so no markup from the wire is ever
// parsed), and text setters that touch the document only when the text really changed.

type Attrs = { [key: string]: string | number | boolean | EventListener | undefined };
type Child = Node | string | null | undefined | false;

export function h<K extends keyof HTMLElementTagNameMap>(tag: K, attrs: Attrs = {}, ...children: Child[]): HTMLElementTagNameMap[K] {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (v === undefined || v === false) continue;
    if (k.startsWith("on") && typeof v === "function") el.addEventListener(k.slice(2), v as EventListener);
    else if (k === "class") el.className = String(v);
    else if (k === "style") el.style.cssText = String(v); // CSSOM, which the page's policy allows
    else if (k === "text") el.textContent = String(v);
    else if (v === true) el.setAttribute(k, "");
    else el.setAttribute(k, String(v));
  }
  for (const c of children) if (c !== null && c !== undefined && c !== false) el.append(c);
  return el;
}

export function setText(el: Element, text: string): void {
  if (el.textContent !== text) el.textContent = text;
}

export function setClass(el: Element, name: string, on: boolean): void {
  if (el.classList.contains(name) !== on) el.classList.toggle(name, on);
}

export function clear(el: Element): void {
  while (el.firstChild) el.removeChild(el.firstChild);
}

export function fmtDb(v: number | undefined | null, digits = 1): string {
  if (v === undefined || v === null || !Number.isFinite(v)) return "-∞";
  if (v <= -80) return "off";
  return (v > 0 ? "+" : "") + v.toFixed(digits);
}

export function fmtNum(v: unknown, digits = 2): string {
  if (typeof v !== "number" || !Number.isFinite(v)) return String(v ?? "–");
  return Number.isInteger(v) ? String(v) : v.toFixed(digits);
}

/** A labelled row of a key-value table, with the value cell returned for updates. */
export function kv(table: HTMLElement, label: string): HTMLElement {
  const value = h("td", { class: "v" });
  table.append(h("tr", {}, h("th", { text: label }), value));
  return value;
}

/** A button that reports its promise's outcome by disabling itself meanwhile. */
export function actionButton(label: string, run: () => Promise<unknown>, cls = ""): HTMLButtonElement {
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

const LOCAL_REASON = "Available on the stage computer only";

/** Marks a control as local-only: on the LAN it is disabled and says why. */
export function localOnly<T extends HTMLElement>(el: T, lan: boolean): T {
  el.dataset.localOnly = "1";
  if (lan) {
    (el as unknown as HTMLButtonElement).disabled = true;
    el.title = LOCAL_REASON;
    el.classList.add("local-only");
  }
  return el;
}

export function localReason(lan: boolean): HTMLElement | null {
  return lan ? h("p", { class: "local-note", text: `${LOCAL_REASON}: these controls need the program's own window.` }) : null;
}

/** How a status member reads for a person: its unit, yes/no, or a dash when absent. */
export type FieldKind = "int" | "bool" | "text" | "rate" | "ms" | "frames" | "ppm" | "bytes" | "seconds" | "samples";
export type Field = readonly [key: string, label: string, kind: FieldKind];

export function fmtField(v: unknown, kind: FieldKind): string {
  if (v === undefined || v === null) return "—";
  if (kind === "bool") return v === true ? "yes" : v === false ? "no" : String(v);
  if (kind === "text") return String(v) === "" ? "none" : String(v);
  if (typeof v !== "number" || !Number.isFinite(v)) return String(v);
  switch (kind) {
    case "rate": return v > 0 ? `${Number((v / 1000).toFixed(3))} kHz` : "—";
    case "ms": return `${v.toFixed(1)} ms`;
    case "frames": return `${fmtNum(v)} frames`;
    case "ppm": return `${v.toFixed(1)} ppm`;
    case "bytes": return `${(v / 1048576).toFixed(1)} MiB`;
    case "seconds": return `${v.toFixed(1)} s`;
    case "samples": return `${fmtNum(v)} samples`;
    default: return fmtNum(v);
  }
}

/** A table of labelled status members that updates in place. */
export function fieldTable(fields: readonly Field[], cls = "kv"): { el: HTMLTableElement; update: (obj: any) => void } {
  const el = h("table", { class: cls });
  const cells = fields.map(([key, label]) => {
    const v = kv(el, label);
    v.dataset.field = key;
    return v;
  });
  return {
    el,
    update: (obj) => fields.forEach(([key, , kind], i) => setText(cells[i], fmtField(obj?.[key], kind))),
  };
}
