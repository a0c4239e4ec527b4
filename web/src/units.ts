// Values as an engineer reads and types them: dB with a true minus sign, Hz and kHz, ms, ratios;
// and the scales that put them on a control's travel (log for frequencies and Q, linear else).

export const MINUS = "\u2212";

/** "dB span": a width in dB that is never a gain (a gate's range, a compressor's knee). */
export type Unit = "dB" | "dB span" | "Hz" | "ms" | "ratio" | "q" | "%";

export interface Scale {
  min: number;
  max: number;
  log?: boolean;
}

/** Where a value sits on its control's travel, 0 to 1. */
export function valueToPos(v: number, s: Scale): number {
  const x = Math.min(s.max, Math.max(s.min, v));
  if (s.log) return Math.log(x / s.min) / Math.log(s.max / s.min);
  return (x - s.min) / (s.max - s.min);
}

/** The value at a point of the travel, 0 to 1. */
export function posToValue(pos: number, s: Scale): number {
  const p = Math.min(1, Math.max(0, pos));
  if (s.log) return s.min * Math.pow(s.max / s.min, p);
  return s.min + p * (s.max - s.min);
}

const signed = (v: number, digits: number): string => {
  const t = Math.abs(v).toFixed(digits);
  if (Number(t) === 0) return t;
  return (v < 0 ? MINUS : "+") + t;
};

/** A fader or send level: "−6.0 dB", "+3.5 dB", "0.0 dB"; the bottom of the fader is "−∞ dB". */
export function fmtLevel(db: number, offAt = -80): string {
  if (!Number.isFinite(db) || db <= offAt) return `${MINUS}∞ dB`;
  return `${signed(db, 1)} dB`;
}

/** A value with its unit, as shown beside a control and in its entry field. */
export function fmtValue(v: number, unit: Unit): string {
  if (!Number.isFinite(v)) return "–";
  switch (unit) {
    case "dB":
      return `${signed(v, 1)} dB`;
    case "dB span":
      return `${Math.abs(v).toFixed(1)} dB`;
    case "Hz":
      return v >= 1000 ? `${trim(v / 1000, v >= 10000 ? 1 : 2)} kHz` : `${Math.round(v)} Hz`;
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

function trim(v: number, digits: number): string {
  return String(Number(v.toFixed(digits)));
}

/**
 * A typed value: a number with or without the unit ("80", "80 Hz", "2.5k", "2.5 kHz", "−6 dB",
 * "4:1", "1.5 s" for ms). Null when the text is not a value of that unit.
 */
export function parseValue(text: string, unit: Unit): number | null {
  const t = text.trim().replace(/\u2212/g, "-").replace(/,/g, ".").toLowerCase();
  const m = /^([+-]?(?:\d+\.?\d*|\.\d+))\s*([a-z%:]*)\s*(1?)$/.exec(t);
  if (!m) return null;
  let v = Number(m[1]);
  const suffix = m[2];
  if (!Number.isFinite(v)) return null;
  const ok = (...allowed: string[]) => allowed.includes(suffix);
  switch (unit) {
    case "dB":
    case "dB span":
      if (!ok("", "db")) return null;
      break;
    case "Hz":
      if (ok("k", "khz")) v *= 1000;
      else if (!ok("", "hz")) return null;
      break;
    case "ms":
      if (ok("s")) v *= 1000;
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

/** A meter or fader mark: "0", "−10", "+5" reads as "5", and the bottom of a fader as "−∞". */
export function markText(db: number): string {
  if (!Number.isFinite(db)) return `${MINUS}∞`;
  return db < 0 ? `${MINUS}${Math.abs(db)}` : String(db);
}
