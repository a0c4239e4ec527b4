import { test } from "node:test";
import assert from "node:assert/strict";
import { loadSource } from "./load.mjs";

const R = await loadSource("rules");

// Two strips, one in two DCAs; the document shape the native checks read.
function fixture() {
  return {
    schemaVersion: 2,
    channels: [
      { id: "in1", level: -10, mute: false, sends: [{ busId: "aux1", level: -80, pre: true }, { busId: "aux2", level: -6, pre: false, connected: true }],
        inserts: [{ id: "in1-fx1", modulePath: "/a.vst3", bypass: false, parameters: { "3": 0.25 } }, { id: "in1-fx2", modulePath: "/b.vst3", bypass: true, parameters: {} }] },
      { id: "in2", level: 0 },
    ],
    aux: [{ id: "aux1" }, { id: "aux2" }],
    master: { id: "main-lr", level: 0 },
    dcas: [
      { id: "dca1", level: 4, mute: false, members: ["in1"] },
      { id: "dca2", level: 0.1, mute: false, members: ["in1", 7] },
    ],
  };
}

test("effective gain and mute follow the strip and every DCA that contains it", () => {
  const cases = [
    // [edit the fixture, strip id, expected gain, expected mute]
    [() => {}, "in1", -5.9, false],
    [() => {}, "in2", 0, false],
    [(d) => { d.dcas[0].level = 80; d.channels[0].level = 10; }, "in1", 60, false],
    [(d) => { d.dcas[0].level = -80; }, "in1", -89.9, true],
    [(d) => { d.dcas[1].mute = true; }, "in1", -5.9, true],
    [(d) => { d.dcas[1].mute = true; }, "in2", 0, false],
    [(d) => { d.channels[1].level = -80; }, "in2", -80, true],
    [(d) => { d.channels[1].mute = true; }, "in2", 0, true],
    [(d) => { delete d.dcas; }, "in1", -10, false],
    [(d) => { delete d.channels[1].level; }, "in2", 0, false],
  ];
  for (const [edit, id, gain, mute] of cases) {
    const d = fixture();
    edit(d);
    const s = R.findStrip(d, id);
    assert.ok(Math.abs(R.effectiveGain(d, s) - gain) <= 1e-9, `${id} gain ${R.effectiveGain(d, s)} vs ${gain}`);
    assert.equal(R.effectiveMute(d, s), mute, `${id} mute`);
  }
});

test("a fader request carries the effective gain within 1e-7 of the native sum and the strip's own level", () => {
  const d = fixture();
  const s = d.channels[0];
  for (const level of [-10, -3.3, 7.7, -79.9, 0.1, -80, 12, -95, -10.04]) {
    const { method, params } = R.faderRequest(d, s, level);
    assert.equal(method, "setParameter");
    assert.equal(params.key, "gainDb");
    const ui = params.uiPatch.value;
    assert.ok(ui >= -80 && ui <= 10, `patch level ${ui} within the fader range`);
    assert.equal(ui, Math.round(ui * 10) / 10, "levels keep a 0.1 dB grid");
    // What the native check computes: patch level plus the DCAs, clamped.
    const native = Math.min(60, Math.max(-120, ui + 4 + 0.1));
    assert.ok(Math.abs(params.value - native) <= 1e-7, `${level}: ${params.value} vs ${native}`);
    assert.deepEqual(Object.keys(params.uiPatch).sort(), ["entityId", "key", "value"]);
    assert.equal(params.uiPatch.entityId, "in1");
    assert.equal(params.uiPatch.key, "level");
  }
});

test("a mute request sends the resulting effective mute, which a muted DCA keeps on", () => {
  const d = fixture();
  const s = d.channels[0];
  assert.equal(R.muteRequest(d, s, true).params.value, true);
  assert.equal(R.muteRequest(d, s, false).params.value, false);
  d.dcas[0].mute = true;
  const r = R.muteRequest(d, s, false);
  assert.equal(r.params.value, true);
  assert.deepEqual(r.params.uiPatch, { entityId: "in1", key: "mute", value: false });
});

test("sends: the bottom of the fader is native -120, and the patch is the whole list with one level changed", () => {
  const d = fixture();
  const s = d.channels[0];
  const cases = [[-80, -120, -80], [-85, -120, -80], [-79.5, -79.5, -79.5], [3, 3, 3], [14, 10, 10]];
  for (const [level, native, ui] of cases) {
    const { method, params } = R.sendRequest(s, "aux2", level);
    assert.equal(method, "setSendLevel");
    assert.equal(params.gainDb, native, `native gain for ${level}`);
    assert.deepEqual(params.uiPatch.value, [
      { busId: "aux1", level: -80, pre: true },
      { busId: "aux2", level: ui, pre: false, connected: true },
    ]);
  }
  assert.equal(s.sends[1].level, -6, "the held strip is not changed by building a request");
});

test("insert patches carry every insert, with only the addressed one changed", () => {
  const d = fixture();
  const s = d.channels[0];
  const b = R.bypassRequest(s, "in1-fx2", false);
  assert.equal(b.params.uiPatch, undefined, "the stage computer patches its own insert list");
  assert.deepEqual(b.localPatch.value.map((i) => i.bypass), [false, false]);
  assert.deepEqual(b.localPatch.value[0], s.inserts[0]);
  const p = R.vstParameterRequest(s, "in1-fx1", 12, 1.5).params;
  assert.equal(p.value, 1);
  assert.deepEqual(p.uiPatch.value[0].parameters, { "3": 0.25, "12": 1 });
  assert.deepEqual(p.uiPatch.value[1], s.inserts[1]);
  assert.deepEqual(s.inserts[0].parameters, { "3": 0.25 });
});

test("the session template builds strips from the devices and a native description that matches them", () => {
  const devices = [
    { id: "virtual:tone-input", name: "Virtual Test Tone", capture: true, channels: 2, sampleRate: 48000, available: true },
    { id: "hw:mics", name: "Mics", capture: true, channels: 3, sampleRate: 48000, available: true },
    { id: "hw:gone", name: "Gone", capture: true, channels: 2, sampleRate: 48000, available: false },
    { id: "virtual:output", name: "Virtual Output", capture: false, channels: 2, sampleRate: 48000, available: true },
  ];
  const { native, uiState } = R.sessionTemplate(devices);
  assert.equal(uiState.schemaVersion, 2);
  assert.deepEqual(uiState.channels.map((c) => [c.id, c.width, c.sourcePorts.map((p) => `${p.deviceId}#${p.channel}`)]), [
    ["in1", 2, ["virtual:tone-input#0", "virtual:tone-input#1"]],
    ["in2", 1, ["hw:mics#0"]],
    ["in3", 1, ["hw:mics#1"]],
    ["in4", 1, ["hw:mics#2"]],
  ]);
  assert.equal(new Set(uiState.channels.map((c) => c.color)).size, 4, "every strip has its own colour");
  assert.deepEqual(Object.keys(uiState.recorder).sort(), ["directory", "mainArmed", "mode", "tap"]);
  assert.equal(uiState.device.masterOutputId, "virtual:output");
  assert.equal(uiState.device.autoStart, false);
  assert.deepEqual(uiState.device.inputs.map((i) => i.id), ["virtual:tone-input", "hw:mics"]);

  assert.equal(native.format, "kestravon-live-native-0.1");
  assert.equal(native.mainId, "main-lr");
  const main = native.nodes.find((n) => n.id === "main-lr");
  assert.deepEqual(main.outputs, [{ deviceId: "virtual:output", channel: 0 }, { deviceId: "virtual:output", channel: 1 }]);
  assert.equal(main.width, 2);
  assert.equal(main.routes, undefined, "the main bus does not feed itself");
  const in1 = native.nodes.find((n) => n.id === "in1");
  assert.deepEqual(in1.source, { kind: "device", ports: [{ deviceId: "virtual:tone-input", channel: 0 }, { deviceId: "virtual:tone-input", channel: 1 }] });
  assert.deepEqual(in1.routes, [{ destinationId: "main-lr", gainDb: 0, tap: "postFader" }]);
  assert.equal(in1.kind, "input");
  for (const n of native.nodes) assert.equal(n.stripProcessing, undefined, "untouched strips keep the native defaults");
});

test("the template stays within the node budget and works without devices", () => {
  const many = [{ id: "big", name: "Big", capture: true, channels: 200, sampleRate: 48000, available: true }];
  const { native, uiState } = R.sessionTemplate(many);
  assert.equal(native.nodes.length, 128);
  assert.equal(uiState.channels.length, 127);
  const empty = R.sessionTemplate([]);
  assert.deepEqual(empty.uiState.channels, []);
  assert.equal(empty.uiState.master.outputPorts.length, 0);
  assert.equal(empty.native.nodes.length, 1);
});

test("a native description from the UI document gives DCA'd strips their effective gains and sends their taps", () => {
  const d = fixture();
  d.channels[0].lr = true;
  d.channels[0].width = 1;
  d.dcas[0].mute = true;
  const n = R.nativeFromUi(d, 48000);
  const in1 = n.nodes.find((x) => x.id === "in1");
  assert.ok(Math.abs(in1.gainDb - -5.9) < 1e-9);
  assert.equal(in1.mute, true);
  assert.deepEqual(in1.routes, [
    { destinationId: "main-lr", gainDb: 0, tap: "postFader" },
    { destinationId: "aux1", gainDb: -120, tap: "preFader" },
    { destinationId: "aux2", gainDb: -6, tap: "postFader" },
  ]);
  assert.deepEqual(in1.inserts.map((i) => [i.id, i.enabled, i.bypass]), [["in1-fx1", true, false], ["in1-fx2", true, true]]);
  assert.deepEqual(n.nodes.map((x) => x.kind), ["input", "input", "bus", "bus", "bus"]);
});

test("request ids stay positive signed 32-bit integers and wrap past the top", () => {
  const cases = [[0, 1], [1, 2], [41, 42], [0x7ffffffe, 0x7fffffff], [0x7fffffff, 1], [-5, 1]];
  for (const [prev, next] of cases) assert.equal(R.nextRequestId(prev), next, `after ${prev}`);
});

test("scene ids are the first free scene-NN", () => {
  assert.equal(R.freeSceneId({ scenes: [] }), "scene-01");
  assert.equal(R.freeSceneId({ scenes: [{ id: "scene-01" }, { id: "scene-03" }] }), "scene-02");
  for (const [id, ok] of [["scene-01", true], ["scene-123456", true], ["scene-1", false], ["scene-1234567", false], ["Scene-01", false], ["scene-0a", false]]) {
    assert.equal(R.isValidSceneId(id), ok, id);
  }
});

test("a drag is coalesced to one request in flight and the latest value", async () => {
  const sent = [];
  const pending = [];
  const c = new R.Coalescer((v) => {
    sent.push(v);
    return new Promise((resolve, reject) => pending.push({ resolve, reject }));
  });
  c.push(1);
  for (const v of [2, 3, 4, 5]) c.push(v);
  assert.deepEqual(sent, [1]);
  assert.equal(c.busy, true);
  pending.shift().reject(new Error("refused")); // a refusal does not stall the drag
  await new Promise((r) => setTimeout(r, 0));
  assert.deepEqual(sent, [1, 5]);
  pending.shift().resolve();
  await new Promise((r) => setTimeout(r, 0));
  assert.deepEqual(sent, [1, 5]);
  assert.equal(c.busy, false);
  c.push(6);
  assert.deepEqual(sent, [1, 5, 6]);
});

test("a local patch reaches every strip and DCA with the id, and session keys", () => {
  const d = fixture();
  d.mono = { id: "in2", level: 0 };
  R.applyPatchLocally(d, { entityId: "in2", key: "level", value: -12 });
  assert.equal(d.channels[1].level, -12);
  assert.equal(d.mono.level, -12);
  R.applyPatchLocally(d, { entityId: "dca1", key: "mute", value: true });
  assert.equal(d.dcas[0].mute, true);
  R.applyPatchLocally(d, { entityId: "session", key: "cueMode", value: "AFL" });
  assert.equal(d.cueMode, "AFL");
});
