// Loads a TypeScript source module for the tests: bundled by esbuild into a temporary ES module.
import { build } from "esbuild";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));

export async function loadSource(name) {
  const dir = mkdtempSync(join(tmpdir(), "ruvi-web-"));
  const outfile = join(dir, `${name}.mjs`);
  await build({ entryPoints: [join(here, "..", "src", `${name}.ts`)], bundle: true, format: "esm", platform: "neutral", outfile, logLevel: "error" });
  try {
    return await import(pathToFileURL(outfile).href);
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
}
