import { test } from "node:test";
import assert from "node:assert/strict";
import { loadSource } from "./load.mjs";

const U = await loadSource("units");
const M = "\u2212";

test("a log scale puts each decade at the same share of the travel, and maps back", () => {
  const audio = { min: 20, max: 20000, log: true };
  // [value, scale, expected position]
  const cases = [
    [20, audio, 0],
    [20000, audio, 1],
    [200, audio, 1 / 3],
    [2000, audio, 2 / 3],
    [80, audio, Math.log(4) / Math.log(1000)],
    [5, audio, 0], // below the range: at the bottom
    [-6, { min: -24, max: 24 }, 0.375],
  ];
  for (const [v, s, pos] of cases) {
    assert.ok(Math.abs(U.valueToPos(v, s) - pos) < 1e-9, `${v} at ${pos}`);
    if (v >= s.min) assert.ok(Math.abs(U.posToValue(pos, s) - v) < 1e-6, `${pos} back to ${v}`);
  }
  assert.ok(Math.abs(U.valueToPos(80, audio) - 0.2) < 0.01, "80 Hz at about a fifth of 20 Hz to 20 kHz");
});

test("typed values are read with or without their unit and refused in another unit", () => {
  // [text, unit, value or null]
  const cases = [
    ["80", "Hz", 80], ["80 Hz", "Hz", 80], ["2.5k", "Hz", 2500], ["2.5 kHz", "Hz", 2500], ["1,2 kHz", "Hz", 1200],
    ["-6", "dB", -6], [`${M}6 dB`, "dB", -6], ["+3.5dB", "dB", 3.5], ["6 Hz", "dB", null], ["loud", "dB", null],
    ["4:1", "ratio", 4], ["2.5", "ratio", 2.5], ["4:2", "ratio", null],
    ["12 ms", "ms", 12], ["1.5 s", "ms", 1500], ["0.7", "q", 0.7], ["25 %", "%", 25], ["", "dB", null],
  ];
  for (const [text, unit, want] of cases) assert.equal(U.parseValue(text, unit), want, `${JSON.stringify(text)} in ${unit}`);
});

test("levels and values read with a true minus sign and their unit", () => {
  const cases = [
    [U.fmtLevel(-6), `${M}6.0 dB`], [U.fmtLevel(0), "0.0 dB"], [U.fmtLevel(-0.04), "0.0 dB"], [U.fmtLevel(3.5), "+3.5 dB"],
    [U.fmtLevel(-80), `${M}∞ dB`], [U.fmtValue(80, "Hz"), "80 Hz"], [U.fmtValue(2500, "Hz"), "2.5 kHz"],
    [U.fmtValue(12000, "Hz"), "12 kHz"], [U.fmtValue(3, "ratio"), "3:1"], [U.fmtValue(0.05, "ms"), "0.05 ms"],
    [U.fmtValue(150, "ms"), "150 ms"], [U.fmtValue(-18, "dB"), `${M}18.0 dB`], [U.markText(-Infinity), `${M}∞`],
    [U.markText(-10), `${M}10`], [U.markText(5), "5"],
    // A gate's range and a compressor's knee are widths, not gains: no sign.
    [U.fmtValue(60, "dB span"), "60.0 dB"], [U.fmtValue(0, "dB span"), "0.0 dB"],
  ];
  for (const [got, want] of cases) assert.equal(got, want);
  for (const [text, unit] of [["80 Hz", "Hz"], ["2.5 kHz", "Hz"], [`${M}6.0 dB`, "dB"], ["3:1", "ratio"], ["0.05 ms", "ms"], ["6.0 dB", "dB span"]]) {
    assert.equal(U.fmtValue(U.parseValue(text, unit), unit), text, `${text} reads back as shown`);
  }
});
