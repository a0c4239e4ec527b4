// Bundles the page's sources into the four files the program and the LAN server serve:
// ui/index.html, ui/styles.css, ui/app.js and ui/nativebridge.js. `node web/build.mjs [outDir]`.
import { build } from "esbuild";
import { copyFile, mkdir } from "node:fs/promises";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const outDir = resolve(process.argv[2] ?? join(here, "..", "ui"));

export async function bundle(out) {
  await mkdir(out, { recursive: true });
  const common = {
    bundle: true,
    format: "iife",
    target: ["es2020", "chrome90", "safari14"],
    charset: "utf8",
    legalComments: "none",
    minify: false,
    sourcemap: false,
    logLevel: "warning",
  };
  await build({ ...common, entryPoints: [join(here, "src", "nativebridge.ts")], outfile: join(out, "nativebridge.js") });
  await build({ ...common, entryPoints: [join(here, "src", "app.ts")], outfile: join(out, "app.js") });
  await copyFile(join(here, "static", "index.html"), join(out, "index.html"));
  await copyFile(join(here, "static", "styles.css"), join(out, "styles.css"));
}

if (process.argv[1] && resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
  await bundle(outDir);
}
