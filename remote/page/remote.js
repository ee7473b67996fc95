// The recorder's remote control page: it reads the address tree once over HTTP, then follows
// every value it shows by LISTEN over the WebSocket of the same port, and sends its commands as
// OSC messages in binary frames.
"use strict";

// French unless the browser prefers English before French, as the desktop window decides.
const language = (() => {
  for (const tag of navigator.languages || [navigator.language || ""]) {
    const lower = String(tag).toLowerCase();
    if (lower.startsWith("fr")) return "fr";
    if (lower.startsWith("en")) return "en";
  }
  return "fr";
})();
document.documentElement.lang = language;

const texts = {
  title: ["Télécommande", "Remote Control"],
  marker: ["Marqueur", "Marker"],
  record: ["Enregistrer", "Record"],
  stop: ["Arrêter", "Stop"],
  frames: ["images", "frames"],
  dropped: ["perdues", "dropped"],
  sources: ["Sources", "Sources"],
  noplaces: ["Aucune source choisie", "No source chosen"],
  output: ["Sortie", "Output"],
  layout: ["Disposition", "Layout"],
  codec: ["Codec", "Codec"],
  error: ["Dernière erreur", "Last error"],
  idle: ["Prêt", "Ready"],
  recording: ["Enregistrement", "Recording"],
  finishing: ["Finalisation…", "Finishing…"],
  connecting: ["Connexion…", "Connecting…"],
  open: ["Connecté", "Connected"],
  closed: ["Déconnecté, nouvelle tentative…", "Disconnected, trying again…"],
  separate: ["Séparés", "Separate"],
  assembled: ["Assemblé", "Assembled"],
  both: ["Les deux", "Both"],
  row: ["Rangée", "Row"],
  column: ["Colonne", "Column"],
  grid: ["Grille", "Grid"],
  focus: ["Focus", "Focus"],
  h264: ["H.264", "H.264"],
  hevc: ["HEVC", "HEVC"],
  prores422: ["ProRes 422", "ProRes 422"],
  prores4444: ["ProRes 4444", "ProRes 4444"],
};
const tx = (key) => (texts[key] ? texts[key][language === "en" ? 1 : 0] : key);
document.title = "ZarvoRecorder · " + tx("title");
for (const element of document.querySelectorAll("[data-text]"))
  element.textContent = tx(element.dataset.text);

const $ = (id) => document.getElementById(id);
const placeCount = 8;
const placeFields = ["online", "frames", "dropped"];
const values = new Map();

// ---- OSC, as much as the page needs ----

function padded(length) { return (length + 3) & ~3; }

function encodeString(text) {
  const bytes = new TextEncoder().encode(text);
  const out = new Uint8Array(padded(bytes.length + 1));
  out.set(bytes);
  return out;
}

// One OSC message; numbers go as 32-bit integers, strings as strings.
function oscMessage(address, args) {
  const tags = "," + args.map((a) => (typeof a === "string" ? "s" : "i")).join("");
  const parts = [encodeString(address), encodeString(tags)];
  for (const a of args) {
    if (typeof a === "string") { parts.push(encodeString(a)); continue; }
    const n = new Uint8Array(4);
    new DataView(n.buffer).setInt32(0, a | 0);
    parts.push(n);
  }
  const out = new Uint8Array(parts.reduce((s, p) => s + p.length, 0));
  let at = 0;
  for (const p of parts) { out.set(p, at); at += p.length; }
  return out;
}

function readString(view, at) {
  let end = at;
  while (end < view.byteLength && view.getUint8(end) !== 0) end++;
  const text = new TextDecoder().decode(new Uint8Array(view.buffer, view.byteOffset + at, end - at));
  return [text, padded(end + 1)];
}

// The messages of a packet (a message or a bundle) as [address, values].
function oscMessages(view, out = []) {
  let [address, at] = readString(view, 0);
  if (address === "#bundle") {
    at += 8;
    while (at + 4 <= view.byteLength) {
      const size = view.getInt32(at);
      oscMessages(new DataView(view.buffer, view.byteOffset + at + 4, size), out);
      at += 4 + size;
    }
    return out;
  }
  let tags;
  [tags, at] = readString(view, at);
  const args = [];
  for (const tag of tags.slice(1)) {
    if (tag === "i") { args.push(view.getInt32(at)); at += 4; }
    else if (tag === "f") { args.push(view.getFloat32(at)); at += 4; }
    else if (tag === "h") { args.push(Number(view.getBigInt64(at))); at += 8; }
    else if (tag === "d") { args.push(view.getFloat64(at)); at += 8; }
    else if (tag === "s") { let s; [s, at] = readString(view, at); args.push(s); }
    else if (tag === "T") args.push(1);
    else if (tag === "F") args.push(0);
  }
  out.push([address, args]);
  return out;
}

// ---- The connection ----

let socket = null;
let listened = [];

function send(address, args = []) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(oscMessage(address, args));
}

function setLink(state) {
  $("link").dataset.state = state;
  $("link").textContent = tx(state);
  $("record").disabled = state !== "open";
}

function connect() {
  setLink("connecting");
  socket = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/");
  socket.binaryType = "arraybuffer";
  socket.onopen = () => {
    setLink("open");
    for (const path of listened) socket.send(JSON.stringify({ COMMAND: "LISTEN", DATA: path }));
  };
  socket.onmessage = (event) => {
    if (!(event.data instanceof ArrayBuffer)) return;
    for (const [address, args] of oscMessages(new DataView(event.data))) {
      values.set(address, args[0]);
      show(address);
    }
  };
  socket.onclose = () => {
    setLink("closed");
    setTimeout(connect, 1500);
  };
}

// ---- What the page shows ----

function elapsedText(seconds) {
  const whole = Math.max(0, Math.floor(seconds || 0));
  const h = Math.floor(whole / 3600), m = Math.floor((whole % 3600) / 60), s = whole % 60;
  const two = (n) => String(n).padStart(2, "0");
  return h > 0 ? `${h}:${two(m)}:${two(s)}` : `${m}:${two(s)}`;
}

function showPlaces() {
  const list = $("places");
  list.textContent = "";
  let shown = 0;
  for (let n = 1; n <= placeCount; n++) {
    const title = values.get(`/source/${n}`);
    if (!title) continue;
    shown++;
    const item = document.createElement("li");
    item.dataset.place = n;
    const number = document.createElement("span");
    number.className = "number";
    number.textContent = n;
    const dot = document.createElement("span");
    dot.className = "dot";
    dot.dataset.online = String(values.get(`/status/source/${n}/online`) || 0);
    const name = document.createElement("span");
    name.className = "title";
    name.textContent = title;
    const figures = document.createElement("span");
    figures.className = "figures";
    figures.textContent = `${values.get(`/status/source/${n}/frames`) || 0} ${tx("frames")} · ` +
      `${values.get(`/status/source/${n}/dropped`) || 0} ${tx("dropped")}`;
    item.append(number, dot, name, figures);
    list.append(item);
  }
  $("noplaces").hidden = shown > 0;
}

function show(address) {
  const value = values.get(address);
  if (address === "/status/state") {
    $("state").dataset.state = value;
    $("state").textContent = tx(value);
    const recording = value !== "idle";
    $("record").dataset.recording = String(recording);
    $("record").textContent = tx(recording ? "stop" : "record");
    $("marker").disabled = value !== "recording";
    for (const id of ["output", "layout"]) $(id).disabled = recording;
  } else if (address === "/status/elapsed") {
    $("elapsed").textContent = elapsedText(value);
  } else if (address === "/status/frames") {
    $("frames").textContent = value;
  } else if (address === "/status/dropped") {
    $("dropped").textContent = value;
  } else if (address === "/status/error") {
    $("error").textContent = value;
    $("errorbox").hidden = !value;
  } else if (["/output", "/layout", "/codec"].includes(address)) {
    $(address.slice(1)).value = value;
  } else if (address.startsWith("/source/") || address.startsWith("/status/source/")) {
    showPlaces();
  }
}

function fillChoices(select, node) {
  const range = node && node.RANGE && node.RANGE[0];
  for (const name of (range && range.VALS) || []) {
    const option = document.createElement("option");
    option.value = name;
    option.textContent = tx(name);
    select.append(option);
  }
  select.addEventListener("change", () => send(select.dataset.address, [select.value]));
}

$("record").addEventListener("click", () => {
  send("/record", [values.get("/status/state") === "idle" ? 1 : 0]);
});
$("marker").addEventListener("click", () => send("/marker"));

async function start() {
  let tree = {};
  try {
    tree = await (await fetch("/", { cache: "no-store" })).json();
  } catch (error) {
    tree = {};
  }
  const contents = tree.CONTENTS || {};
  for (const id of ["output", "layout", "codec"]) fillChoices($(id), contents[id]);
  $("marker").hidden = !contents.marker;
  $("state").textContent = tx("idle");
  $("record").textContent = tx("record");
  listened = ["/status/state", "/status/elapsed", "/status/frames", "/status/dropped",
    "/status/error", "/output", "/layout", "/codec"];
  for (let n = 1; n <= placeCount; n++) {
    listened.push(`/source/${n}`);
    for (const field of placeFields) listened.push(`/status/source/${n}/${field}`);
  }
  showPlaces();
  connect();
}

start();
