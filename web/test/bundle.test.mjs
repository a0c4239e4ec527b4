import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, readdirSync, rmSync, statSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";
import { bundle } from "../build.mjs";

const root = join(dirname(fileURLToPath(import.meta.url)), "..", "..");
const ui = join(root, "ui");
const FILES = ["app.js", "index.html", "nativebridge.js", "styles.css"];

test("the sources type-check", () => {
  execFileSync(process.execPath, [join(root, "node_modules", "typescript", "bin", "tsc"), "-p", join(root, "web", "tsconfig.json"), "--noEmit"], { stdio: "pipe" });
});

test("ui/ holds exactly the bundle of the current sources", async () => {
  const dir = mkdtempSync(join(tmpdir(), "ruvi-ui-"));
  try {
    await bundle(dir);
    assert.deepEqual(readdirSync(ui).sort(), FILES);
    for (const f of FILES) {
      assert.ok(readFileSync(join(dir, f)).equals(readFileSync(join(ui, f))), `ui/${f} is stale: run npm run build`);
    }
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});

test("the page loads only its own four files", () => {
  for (const f of FILES) {
    assert.ok(statSync(join(ui, f)).size <= 2 * 1024 * 1024, `${f} within 2 MiB`);
    const text = readFileSync(join(ui, f), "utf8");
    assert.doesNotMatch(text, /https?:\/\//, `${f} names no outside origin`);
  }
  const html = readFileSync(join(ui, "index.html"), "utf8");
  const scripts = [...html.matchAll(/<script\b([^>]*)>([\s\S]*?)<\/script>/g)];
  assert.deepEqual(scripts.map((m) => /src="([^"]+)"/.exec(m[1])?.[1]), ["nativebridge.js", "app.js"]);
  for (const m of scripts) assert.equal(m[2].trim(), "", "no inline script");
  assert.doesNotMatch(html, /\son[a-z]+=/i, "no inline handlers");
  const refs = [...html.matchAll(/\s(?:src|href)="([^"]+)"/g)].map((m) => m[1]);
  assert.deepEqual(refs.filter((r) => !r.startsWith("data:")).sort(), ["app.js", "nativebridge.js", "styles.css"]);
  const css = readFileSync(join(ui, "styles.css"), "utf8");
  assert.doesNotMatch(css, /url\(|@import/, "the styles fetch nothing");
});
