// The operator's page: polls the gateway's JSON while the page is visible
// and keeps one element per camera, job and input. Every text goes in with
// textContent: names, reasons and lines come from devices and operators.
"use strict";

const CAMERA_POLL_MS = 3000;
const OTHER_POLL_MS = 5000;
const SNAPSHOT_MS = 3000;

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function visible() { return document.visibilityState === "visible"; }

function when(iso) {
  if (!iso) return "";
  const d = new Date(iso);
  return isNaN(d) ? iso : d.toLocaleString();
}

async function getJson(path) {
  const res = await fetch(path, { cache: "no-store" });
  if (!res.ok) throw new Error(path + ": " + res.status);
  return res.json();
}

// Cameras: one card each, its picture loaded once it scrolls into view.
const cameraCards = new Map();
const inView = new Set();

function refreshSnapshot(card) {
  if (!visible() || !inView.has(card)) return;
  card.img.src = "/cameras/" + card.number + "/snapshot.jpg?t=" + Date.now();
}

const observer = new IntersectionObserver((entries) => {
  for (const entry of entries) {
    const card = entry.target.card;
    if (entry.isIntersecting) {
      inView.add(card);
      if (!card.img.getAttribute("src")) refreshSnapshot(card);
    } else {
      inView.delete(card);
    }
  }
});

function makeCameraCard(number) {
  const root = el("div", "camera");
  root.dataset.camera = String(number);
  const picture = el("div", "picture");
  const img = el("img", "snapshot");
  img.alt = "no picture";
  img.addEventListener("error", () => img.classList.add("missing"));
  img.addEventListener("load", () => img.classList.remove("missing"));
  picture.append(img);
  const body = el("div", "body");
  const title = el("div", "title");
  const state = el("div", "state");
  const facts = el("div", "facts");
  const frames = el("div", "facts");
  body.append(title, state, facts, frames);
  root.append(picture, body);
  const card = { number, root, img, title, state, facts, frames };
  root.card = card;
  observer.observe(root);
  return card;
}

function stateText(c) {
  let text = c.state;
  if (c.state === "down") {
    if (c.reason) text += ": " + c.reason;
    if (c.since) text += " (since " + when(c.since) + ")";
  }
  return text;
}

function rate(bits) {
  if (!bits) return "0 bit/s";
  if (bits >= 1e6) return (bits / 1e6).toFixed(2) + " Mbit/s";
  return (bits / 1e3).toFixed(1) + " kbit/s";
}

function updateCamera(card, c) {
  card.title.textContent = c.number + " · " + c.reference;
  card.title.title = c.reference;
  card.state.dataset.state = c.state;
  card.state.textContent = stateText(c);
  const size = c.width && c.height ? c.width + "×" + c.height : "size unknown";
  card.facts.textContent = (c.kind || "kind unknown") + " · " + size;
  const age = c.frame_age === null ? "no frame yet" : "newest frame " + c.frame_age.toFixed(1) + " s ago";
  card.frames.textContent = c.frame_rate.toFixed(1) + " fps · " + rate(c.bitrate) + " · " + age;
}

async function pollCameras() {
  const data = await getJson("/api/cameras");
  const list = document.getElementById("cameras");
  const seen = new Set();
  for (const c of data.cameras) {
    seen.add(c.number);
    let card = cameraCards.get(c.number);
    if (!card) {
      card = makeCameraCard(c.number);
      cameraCards.set(c.number, card);
      list.append(card.root);
    }
    updateCamera(card, c);
  }
  for (const [number, card] of cameraCards) {
    if (seen.has(number)) continue;
    observer.unobserve(card.root);
    inView.delete(card);
    card.root.remove();
    cameraCards.delete(number);
  }
  document.getElementById("camera-count").textContent = "(" + data.cameras.length + ")";
  document.getElementById("updated").textContent = "updated " + when(data.now);
}

// Jobs: a job's element is made anew only when what it shows changed, so
// its thumbnails are not loaded again every poll.
const jobShown = new Map();

function makeJob(job) {
  const root = el("div", "job");
  root.dataset.job = String(job.id);
  const head = el("div", "head");
  head.append(el("strong", null, "Job " + job.id),
              el("span", null, "alarm " + job.alarm_reference),
              el("span", "muted", when(job.time)),
              el("span", "outcome-" + job.outcome, job.outcome));
  root.append(head);
  for (const cam of job.cameras) {
    const row = el("div", "cam");
    row.append(el("span", null, "Camera " + cam.number + " · " + cam.reference + " — " +
                                cam.saved + " saved, " + cam.failed + " failed"));
    if (cam.clip) {
      const clip = el("a", "clip", "clip");
      clip.href = cam.clip;
      row.append(clip);
    }
    const thumbs = el("div", "thumbs");
    for (const image of cam.images) {
      const link = el("a");
      link.href = image;
      link.target = "_blank";
      const thumb = el("img", "thumb");
      thumb.loading = "lazy";
      thumb.alt = "image";
      thumb.src = image;
      link.append(thumb);
      thumbs.append(link);
    }
    row.append(thumbs);
    root.append(row);
  }
  return root;
}

async function pollJobs() {
  const data = await getJson("/api/jobs");
  const list = document.getElementById("jobs");
  const ids = new Set(data.jobs.map((j) => j.id));
  for (const [id, shown] of jobShown)
    if (!ids.has(id)) { shown.root.remove(); jobShown.delete(id); }
  let before = list.firstChild;
  for (const job of data.jobs) {
    const key = JSON.stringify(job);
    let shown = jobShown.get(job.id);
    if (!shown || shown.key !== key) {
      const root = makeJob(job);
      if (shown) shown.root.replaceWith(root);
      shown = { key, root };
      jobShown.set(job.id, shown);
    }
    if (shown.root !== before) list.insertBefore(shown.root, before);
    before = shown.root.nextSibling;
  }
  const empty = list.querySelector(".empty");
  if (empty) empty.hidden = data.jobs.length > 0;
}

async function pollInputs() {
  const data = await getJson("/api/inputs");
  const rows = data.inputs.map((input, i) => {
    const tr = el("tr");
    tr.dataset.input = String(i);
    const connection = el("td", input.connected ? "up" : "gone",
                          input.connected ? "connected" : "not connected");
    tr.append(el("td", null, input.kind), el("td", null, input.name),
              el("td", null, input.address), connection,
              el("td", "line", input.last_line), el("td", null, when(input.last_line_time)),
              el("td", null, when(input.last_alarm_time)));
    return tr;
  });
  if (rows.length === 0) {
    const none = el("td", "muted", "No video server or IO box watched.");
    none.colSpan = 7;
    rows.push(el("tr"));
    rows[0].append(none);
  }
  document.getElementById("inputs").replaceChildren(...rows);
}

async function pollLog() {
  const data = await getJson("/api/log");
  const log = document.getElementById("log");
  const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  log.textContent = data.lines.join("\n");
  if (atEnd) log.scrollTop = log.scrollHeight;
}

// Runs `poll` now and every `ms` while the page is visible; a failed poll
// is tried again at the next turn.
function every(ms, poll) {
  const turn = async () => {
    if (visible()) {
      try { await poll(); } catch (e) { console.warn(e); }
    }
    setTimeout(turn, ms);
  };
  turn();
}

every(CAMERA_POLL_MS, pollCameras);
every(OTHER_POLL_MS, pollJobs);
every(OTHER_POLL_MS, pollInputs);
every(OTHER_POLL_MS, pollLog);
setInterval(() => { for (const card of inView) refreshSnapshot(card); }, SNAPSHOT_MS);
document.addEventListener("visibilitychange", () => {
  if (visible()) for (const card of inView) refreshSnapshot(card);
});
