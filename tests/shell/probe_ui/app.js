// A probe page for the shell's tests: it records what the bridge posts and sends requests.
window.probe = { replies: [], events: [], sent: 0 };
window.addEventListener("message", (event) => {
  if (event.source !== window || !event.data || typeof event.data.text !== "string") return;
  if (event.data.ruviBridge === "reply") window.probe.replies.push(JSON.parse(event.data.text));
  if (event.data.ruviBridge === "event") window.probe.events.push({ at: performance.now(), value: JSON.parse(event.data.text) });
});
window.probeSend = (text) => {
  window.probe.sent += 1;
  window.postMessage({ ruviBridge: "request", text: text }, location.origin);
};
