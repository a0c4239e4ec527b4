// The LAN link when the WebSocket fails: a dropped socket reconnects and authenticates again,
// and a network that refuses WebSockets falls back to HTTP calls and state polling. The browser
// side of the socket is cut by the test; the server is the real one.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { coreMissing, launchBrowser, startStage } from "./support.mjs";
import { loadSource } from "../../web/test/load.mjs";
import { demoSession } from "../../web/tools/demo-session.mjs";

const skip = await coreMissing();

let stage;
let browser;

before(async () => {
  if (skip) return;
  stage = await startStage();
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  if (stage) assert.equal(await stage.stop(), 0);
});

async function login(page) {
  await page.goto(stage.url);
  await page.fill("#login-password", stage.password);
  await page.click(".login-form button[type=submit]");
  await page.waitForSelector('.strip[data-strip="in1"]');
}

const connection = (page) => page.locator('[data-top="connection"]').textContent();

test("a dropped WebSocket reconnects, authenticates again and carries states and calls", { skip }, async () => {
  const page = await browser.context.newPage();
  const sockets = [];
  await page.routeWebSocket(/\/api\/ruvi$/, (ws) => {
    ws.connectToServer();
    sockets.push(ws);
  });
  await login(page);
  await page.waitForFunction(() => document.querySelector('[data-top="connection"]').textContent === "online · websocket");
  await sockets[0].close({ code: 4000, reason: "network drop" });
  await page.waitForFunction(() => document.querySelector('[data-top="connection"]').textContent !== "online · websocket");
  await page.waitForFunction(() => document.querySelector('[data-top="connection"]').textContent === "online · websocket", null, { timeout: 5000 });
  assert.equal(sockets.length, 2, "one new socket");
  const count = await page.evaluate(() => window.__ruviStore.stateCount);
  await page.waitForFunction((n) => window.__ruviStore.stateCount > n + 5, count);
  await page.click('.strip[data-strip="in1"] .tog.pol');
  await page.waitForFunction(() => window.__ruviStore.ui.channels[0].polarity === true);
  await page.click('.strip[data-strip="in1"] .tog.pol');
  await page.waitForFunction(() => window.__ruviStore.ui.channels[0].polarity === false);
  await page.close();
});

test("without WebSockets the page polls for state and calls over HTTP", { skip }, async () => {
  const page = await browser.context.newPage();
  let refused = 0;
  await page.routeWebSocket(/\/api\/ruvi$/, (ws) => {
    refused++;
    ws.close({ code: 4001, reason: "no websockets here" });
  });
  await login(page);
  await page.waitForFunction(() => document.querySelector('[data-top="connection"]').textContent === "online · polling", null, { timeout: 10000 });
  assert.ok(refused >= 3);
  const revision = await page.evaluate(() => window.__ruviStore.revision);
  await page.focus('.strip[data-strip="in1"] .fader');
  await page.keyboard.press("PageDown");
  await page.waitForFunction((r) => window.__ruviStore.revision === r + 1 && window.__ruviStore.ui.channels[0].level === -6, revision);
  assert.equal(await connection(page), "online · polling");
  await page.close();
});

test("a session whose state passes the 2 MiB message limit says why updates stopped", { skip }, async () => {
  const R = await loadSource("rules");
  const session = demoSession(R, 1);
  session.uiState.notes = "n".repeat(2200000);
  const big = await startStage({ session, startAudio: false });
  const page = await browser.context.newPage();
  try {
    await page.goto(big.url);
    await page.fill("#login-password", big.password);
    await page.click(".login-form button[type=submit]");
    await page.waitForSelector('.strip[data-strip="in1"]');
    await page.waitForFunction(
      () => document.querySelector('[data-top="connection"]').textContent.startsWith("No state update for"),
      null, { timeout: 10000 });
    assert.match(await connection(page), /a state over the 2 MiB message limit is never sent$/);
  } finally {
    await page.close();
    assert.equal(await big.stop(), 0);
  }
});
