// The console page: login on the LAN, the top bar, the screens, and the desktop's optional
// start of audio with the stored device selection.

import { h, setText } from "./dom";
import type { RuviBridge } from "./nativebridge";
import { Store } from "./store";
import { MeterBank } from "./widgets";
import { TopBar } from "./screens/topbar";
import { MixerScreen } from "./screens/mixer";
import { AudioScreen, startParams, defaultPrefs } from "./screens/audio";
import { SessionScreen } from "./screens/session";
import { StripScreen } from "./screens/strip";
import { PlaybackScreen, RecordingScreen } from "./screens/media";
import { DiagnosticsScreen, LanScreen, ScenesScreen } from "./screens/system";

interface Screen {
  id: string;
  title: string;
  el: HTMLElement;
  update(uiChanged: boolean): void;
}

function loginView(bridge: RuviBridge): { el: HTMLElement; message: (t: string) => void } {
  const password = h("input", { type: "password", autocomplete: "current-password", id: "login-password" });
  const message = h("p", { class: "login-message", role: "alert", "data-login": "message" });
  const address = h("p", { class: "login-address", "data-login": "address", text: `Stage computer: ${location.host}` });
  const button = h("button", { class: "btn primary big", type: "submit", text: "Log in" });
  const form = h("form", { class: "login-form" },
    h("h1", { text: "KESTRAVON RUVI" }),
    h("p", { text: "Enter the LAN password set on the stage computer." }),
    h("p", { class: "hint", text: "Open this page at the computer's IP address and port (for example 192.168.1.20:8080), not \"localhost\"." }),
    h("label", { class: "login-label", for: "login-password", text: "Password" }),
    password, button, message, address);
  form.addEventListener("submit", async (e) => {
    e.preventDefault();
    if (password.value === "") {
      setText(message, "Enter the password");
      password.focus();
      return;
    }
    button.disabled = true;
    setText(message, "");
    const r = await bridge.login(password.value);
    password.value = "";
    button.disabled = false;
    if (!r.ok) setText(message, String(r.error));
  });
  return {
    el: h("div", { class: "login", hidden: true }, form),
    message: (t) => {
      setText(message, t);
      setText(address, t.startsWith("The stage computer restarted") ? `Reconnecting to ${location.host}` : `Stage computer: ${location.host}`);
    },
  };
}

/** The tab row: every tab in view, or arrows that show there are more and scroll to them. */
function tabRow(nav: HTMLElement): { el: HTMLElement; reveal: (tab: Element | null) => void } {
  const arrow = (dir: "prev" | "next") => {
    const b = h("button", { class: "tab-arrow", type: "button", "data-arrow": dir, "aria-label": dir === "prev" ? "Earlier screens" : "More screens", text: dir === "prev" ? "◀" : "▶", hidden: true });
    b.addEventListener("click", () => nav.scrollBy({ left: (dir === "prev" ? -0.7 : 0.7) * nav.clientWidth, behavior: "auto" }));
    return b;
  };
  const prev = arrow("prev");
  const next = arrow("next");
  const sync = () => {
    const over = nav.scrollWidth > nav.clientWidth + 1;
    prev.hidden = !over;
    next.hidden = !over;
    prev.disabled = nav.scrollLeft <= 0;
    next.disabled = nav.scrollLeft + nav.clientWidth >= nav.scrollWidth - 1;
  };
  nav.addEventListener("scroll", sync, { passive: true });
  new ResizeObserver(sync).observe(nav);
  return {
    el: h("div", { class: "tabbar" }, prev, nav, next),
    reveal: (tab) => {
      tab?.scrollIntoView({ block: "nearest", inline: "nearest" });
      sync();
    },
  };
}

export function start(bridge: RuviBridge): void {
  const t0 = performance.now();
  const store = new Store(bridge);
  const meters = new MeterBank();
  const top = new TopBar(store);
  const strip = new StripScreen(store);
  const audio = new AudioScreen(store);
  const screens: Screen[] = [];
  const nav = h("nav", { class: "tabs", role: "tablist" });
  const tabs = tabRow(nav);
  const main = h("main", { class: "screens" });
  let active = "mixer";
  const show = (id: string) => {
    active = id;
    store.screen = id;
    for (const s of screens) {
      s.el.hidden = s.id !== id;
      const tab = nav.querySelector(`[data-tab="${s.id}"]`);
      tab?.setAttribute("aria-selected", String(s.id === id));
    }
    tabs.reveal(nav.querySelector(`[data-tab="${id}"]`));
    screens.find((s) => s.id === id)?.update(true);
  };
  const mixer = new MixerScreen(store, meters, (id) => { strip.show(id); show("strip"); });
  const session = new SessionScreen(store, async () => {
    if (!audio.devices.length) await audio.refresh();
    return audio.devices;
  });
  screens.push(mixer, strip, session, audio, new PlaybackScreen(store), new RecordingScreen(store), new ScenesScreen(store), new LanScreen(store), new DiagnosticsScreen(store));
  const notices = new Map<string, { el: HTMLElement; text: HTMLElement; hint: HTMLElement }>();
  for (const s of screens) {
    nav.append(h("button", { class: "tab", type: "button", role: "tab", "data-tab": s.id, text: s.title, onclick: () => show(s.id) }));
    s.el.hidden = true;
    // A refusal shows at the head of the screen whose request caused it.
    const text = h("span", { class: "refusal-text", "data-refusal-text": "" });
    const hint = h("span", { class: "refusal-hint" });
    const notice = h("div", { class: "refusal", role: "alert", "data-refusal": s.id, hidden: true }, text, hint);
    notices.set(s.id, { el: notice, text, hint });
    s.el.prepend(notice);
    main.append(s.el);
  }
  // A request made while an action is handled belongs to the screen and control acted on.
  for (const type of ["click", "input", "change", "keydown", "pointerup"]) {
    document.addEventListener(type, (e) => {
      const t = e.target instanceof HTMLElement ? e.target : null;
      const on = t?.closest<HTMLElement>("[data-screen]");
      if (!t || !on) return;
      store.origin = { screen: on.dataset.screen ?? store.screen, control: t.closest<HTMLElement>("button, input, select, [role=slider]") ?? t };
      window.setTimeout(() => { store.origin = null; }, 0);
    }, true);
  }
  store.onRefusal((screen, r) => {
    const n = notices.get(screen);
    if (!n) return;
    n.el.hidden = !r;
    setText(n.text, r ? r.error : "");
    setText(n.hint, r ? r.hint : "");
  });
  const login = loginView(bridge);
  const banner = h("div", { class: "link-banner", role: "alert", "data-banner": "link", hidden: true });
  document.body.replaceChildren(top.el, banner, tabs.el, main, login.el);
  document.documentElement.dataset.link = bridge.link;
  document.documentElement.dataset.online = "0";
  show("mixer");

  bridge.onConnection((c) => {
    top.connection(c);
    login.el.hidden = c.phase !== "login";
    if (c.phase === "login") banner.hidden = true;
    if (c.phase === "login" && c.message) login.message(c.message);
  });

  // The stage computer out of reach: said across the page, no figure or meter keeps its last
  // value, and nothing on the screens can be moved (the bridge refuses changes as well).
  const setOnline = (on: boolean, why: string) => {
    document.documentElement.dataset.online = on ? "1" : "0";
    main.inert = !on;
    if (on) {
      banner.hidden = true;
      top.update();
      return;
    }
    if (!why) return; // not late yet: the first state is on its way
    banner.hidden = bridge.connection.phase === "login";
    setText(banner, bridge.link === "lan"
      ? `The stage computer cannot be reached. Reconnecting to ${location.host}… (${why})`
      : `The stage computer cannot be reached: the program is not answering. Waiting for it… (${why})`);
    top.unknown();
    top.stale("not reachable");
    const ids: any[] = Array.isArray(store.status?.meters) ? store.status.meters : [];
    meters.feed(ids.map((m) => ({ nodeId: m.nodeId, peakL: 0, peakR: 0 })), undefined);
  };
  setOnline(bridge.reachable, "");
  store.onOnline(setOnline);

  let autoStartTried = false;
  store.subscribe((st, uiChanged) => {
    top.update();
    mixer.update(uiChanged);
    if (active !== "mixer") screens.find((s) => s.id === active)?.update(uiChanged);
    // The desktop starts audio once with the stored selection when the session asks for it.
    if (!autoStartTried && !st.lan && st.ui) {
      autoStartTried = true;
      const prefs = { ...defaultPrefs(), ...(st.ui.device ?? {}) };
      if (prefs.autoStart === true && st.status?.audio?.running !== true) void st.call("startAudio", startParams(prefs));
    }
  });

  // A silent link is said out loud: the LAN server skips any state above its 2 MiB message
  // limit, so a very large session can stop the updates while the socket stays open.
  window.setInterval(() => {
    const c = bridge.connection;
    if (c.phase !== "online" || bridge.lastStateAt === 0) return;
    const silent = (performance.now() - bridge.lastStateAt) / 1000;
    if (silent < 3) return;
    const why = bridge.link === "lan" ? "; a state over the 2 MiB message limit is never sent" : "";
    top.stale(`No state update for ${Math.round(silent)} s${why}`);
  }, 1000);

  // Keyboard: number keys switch screens, so an engineer can move without aiming.
  document.addEventListener("keydown", (e) => {
    if (e.altKey && /^[1-9]$/.test(e.key)) {
      const s = screens[Number(e.key) - 1];
      if (s) {
        e.preventDefault();
        show(s.id);
      }
    }
  });

  requestAnimationFrame(() => {
    (window as any).__ruviFirstFrameMs = performance.now() - t0;
  });
  (window as any).__ruviStore = store;
}

const bridge = window.RuviBridge;
if (bridge) {
  start(bridge);
} else {
  document.body.textContent = "The control link did not load (nativebridge.js).";
}
