// Writes the demo session (applySession params): the virtual tone input through one strip to the
// main bus on the virtual output, audio started when the console opens.
//   node web/tools/demo-session.mjs OUT.json [--strips N]
import { writeFileSync } from "node:fs";
import { resolve } from "node:path";
import { fileURLToPath } from "node:url";
import { loadSource } from "../test/load.mjs";

const R = await loadSource("rules");

export function demoSession(R, strips = 1) {
  const devices = [
    { id: "virtual:tone-input", name: "Test tone", capture: true, channels: 2, sampleRate: 48000, available: true },
    { id: "virtual:output", name: "Virtual output", capture: false, channels: 2, sampleRate: 48000, available: true },
  ];
  const { uiState } = R.sessionTemplate(devices);
  uiState.name = "Demo";
  for (let i = 2; i <= strips && i < R.MAX_NODES; i++) {
    uiState.channels.push(R.newChannel(`in${i}`, `Tone ${i}`, i - 1, 2, uiState.channels[0].sourcePorts));
  }
  uiState.channels[0].name = "Tone";
  uiState.device.autoStart = true;
  return { native: R.nativeFromUi(uiState), uiState };
}

const out = process.argv[2];
if (out && process.argv[1] && resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const i = process.argv.indexOf("--strips");
  const strips = i > 0 ? Number(process.argv[i + 1]) : 1;
  writeFileSync(out, JSON.stringify(demoSession(R, strips)));
}
