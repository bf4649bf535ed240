// The live page: a list of the project's cells, the selected one drawn, and
// everything refreshed on each registration pass the server announces.
"use strict";

const $ = (id) => document.getElementById(id);
const view = { selected: null, query: "", kind: "all", tab: "cell", generation: -1 };
let listRequest = 0;
let cellRequest = 0;

function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key === "class") node.className = value;
    else if (key === "dataset") Object.assign(node.dataset, value);
    else if (key === "onclick") node.addEventListener("click", value);
    else node.setAttribute(key, value);
  }
  for (const child of children) {
    if (child !== null && child !== undefined) node.append(child);
  }
  return node;
}

// The server answers the page's own requests only: each carries the session's
// token, which the server wrote into the page. It goes in the query string,
// the one place an <img>, a link or an event stream can carry it too.
let token = document.querySelector('meta[name="morvane-token"]').content;

// The URL of the server's route `path` with the query `params` and the token.
function api(path, params = {}) {
  const query = new URLSearchParams(params);
  query.set("token", token);
  return `${path}?${query}`;
}

// A server that started anew has a new token: the page, fetched again, holds it.
async function renewToken() {
  const response = await fetch("/", { cache: "no-store" });
  if (!response.ok) throw new Error(`${response.status}`);
  const page = new DOMParser().parseFromString(await response.text(), "text/html");
  token = page.querySelector('meta[name="morvane-token"]').content;
}

async function getJSON(url) {
  const response = await fetch(url, { cache: "no-store" });
  if (!response.ok) throw new Error(`${response.status} ${await response.text()}`);
  return response.json();
}

const STATUS_TEXT = { ok: "ok", error: "error cell", failing: "failing build" };

function badge(status) {
  return el("span", { class: `badge ${status}` }, STATUS_TEXT[status] || status);
}

// -- header ----------------------------------------------------------------------

function showState(state) {
  $("project").textContent = `${state.project.name} · PDK ${state.project.pdk}`;
  document.title = `${state.project.name} · morvane`;
  const info = $("pass-info");
  const last = state.last_pass || {};
  info.dataset.generation = String(state.generation);
  info.classList.toggle("failed", Boolean(last.error));
  if (last.error) {
    info.textContent = `pass ${last.generation} at ${last.time} failed: ${last.error}`;
  } else if (last.generation) {
    const what = last.files && last.files.length ? last.files.join(", ") : "all files";
    info.textContent = `pass ${last.generation} at ${last.time} over ${what}: ` +
      `${last.written.length} written, ${last.removed.length} removed (${last.duration_s.toFixed(3)} s)`;
  }
  const c = state.counts;
  $("counts").replaceChildren(
    el("span", {}, `${c.cells} cells`),
    el("span", { class: c.errors ? "badge error" : "" }, `${c.errors} error cells`),
    el("span", { class: c.failing ? "badge failing" : "" }, `${c.failing} failing builds`),
    el("span", {}, `${c.models} models`));
  $("tab-models").textContent = `Models (${c.models})`;
}

// -- list ------------------------------------------------------------------------

async function refreshList() {
  const ticket = ++listRequest;
  const result = await getJSON(api("/api/cells", { q: view.query, kind: view.kind }));
  if (ticket !== listRequest) return;
  const items = result.cells.map((cell) => el("li", {
      class: "cell" + (cell.name === view.selected ? " selected" : ""),
      dataset: { name: cell.name, status: cell.status, hasModel: String(cell.has_model) },
      onclick: () => select(cell.name),
    },
    el("div", { class: "row" }, el("span", { class: "name" }, cell.name),
       cell.has_model ? el("span", { class: "badge model", title: "has a model" }, "model") : null,
       badge(cell.status)),
    el("div", { class: "source" }, cell.source),
    cell.status === "error" ? el("div", { class: "message" }, cell.message) : null));
  $("cells").replaceChildren(...items);
  const shown = result.cells.length < result.matched ? `first ${result.cells.length} of ` : "";
  $("list-info").textContent = `${shown}${result.matched} of ${result.total} cells`;
}

// -- selected cell ---------------------------------------------------------------

function select(name) {
  view.selected = name;
  history.replaceState(null, "", `#cell=${encodeURIComponent(name)}`);
  for (const li of $("cells").children) li.classList.toggle("selected", li.dataset.name === name);
  showTab("cell");
  refreshCell();
}

function nodeList(names) {
  if (!names.length) return [el("li", { class: "muted" }, "nothing")];
  return names.map((n) => el("li", {}, el("span", { class: "node", title: n, onclick: () => select(n) }, n)));
}

async function refreshCell() {
  const name = view.selected;
  if (!name) return;
  const ticket = ++cellRequest;
  let cell;
  try {
    cell = await getJSON(api(`/api/cell/${encodeURIComponent(name)}`));
  } catch (error) {
    if (ticket !== cellRequest) return;
    $("cell").hidden = true;
    $("placeholder").hidden = false;
    $("placeholder").textContent = `${name} is no longer a cell of the project.`;
    return;
  }
  if (ticket !== cellRequest) return;
  $("placeholder").hidden = true;
  $("cell").hidden = false;
  $("cell").dataset.name = cell.name;
  $("cell").dataset.status = cell.status;
  $("cell-name").textContent = cell.name;
  $("cell-status").className = `badge ${cell.status}`;
  $("cell-status").textContent = STATUS_TEXT[cell.status];
  $("cell-model").hidden = !cell.has_model;
  $("cell-source").textContent = cell.source;
  // A build just found to fail changes the cell's status in the list too.
  const item = [...$("cells").children].find((li) => li.dataset.name === cell.name);
  if (item && item.dataset.status !== cell.status) refreshList().catch(console.error);

  const drawing = cell.drawing;
  const errorBox = $("cell-error");
  const error = drawing.error;
  errorBox.hidden = !error;
  if (error) {
    const what = cell.status === "error" ? "Import error" : "Build error";
    errorBox.querySelector(".error-title").textContent = `${what}: ${error.type}: ${error.message}`;
    errorBox.querySelector(".traceback").textContent = error.traceback;
  }
  const img = $("drawing");
  $("figure").hidden = !drawing.ok;
  if (drawing.ok) {
    const src = api(`/api/svg/${encodeURIComponent(cell.name)}`, { v: drawing.version });
    if (img.getAttribute("src") !== src) img.setAttribute("src", src);
    img.alt = `drawing of ${cell.name}`;
    img.dataset.version = String(drawing.version);
    const [[x0, y0], [x1, y1]] = drawing.bbox || [[0, 0], [0, 0]];
    $("drawing-info").textContent = `${drawing.component}: ${drawing.polygons} polygons, ` +
      `${drawing.references} references, ports ${drawing.ports.join(", ") || "none"} · ` +
      `bbox (${x0}, ${y0}) – (${x1}, ${y1}) µm`;
    // The cell as drawn, and every cell it places, for the layout tools.
    const download = $("download-gds");
    download.href = api(`/api/gds/${encodeURIComponent(cell.name)}`, { v: drawing.version });
    download.download = `${cell.name}.gds`;
    download.title = `download ${cell.name} as GDSII`;
    download.hidden = false;
  } else {
    img.removeAttribute("src");
    $("drawing-info").textContent = "";
    $("download-gds").hidden = true;
    $("download-gds").removeAttribute("href");
  }

  const STARS = { "variadic positional": "*", "variadic keyword": "**" };
  const rows = cell.parameters.map((p) => el("tr", {},
    el("td", {}, el("code", {}, (STARS[p.kind] || "") + p.name)),
    el("td", {}, p.default !== null ? el("code", {}, p.default)
      : STARS[p.kind] ? "" : el("span", { class: "muted" }, "required")),
    el("td", {}, p.annotation === null ? "" : el("code", {}, p.annotation))));
  $("parameters").tBodies[0].replaceChildren(
    ...(rows.length ? rows : [el("tr", {}, el("td", { colspan: "3", class: "muted" }, "no parameters"))]));

  $("graph-centre").textContent = cell.name;
  $("used-by").replaceChildren(...nodeList(cell.used_by));
  $("uses").replaceChildren(...nodeList(cell.uses));

  const model = cell.model;
  $("model-info").replaceChildren(model
    ? el("div", {}, el("div", {}, el("code", {}, model.name), " ", badge(model.status === "SUCCESS" ? "ok" : "error"),
         el("span", { class: "muted" }, ` from ${model.pdk_type}${model.source ? ", " + model.source : ""}`)),
         el("pre", { class: "traceback" }, model.settings))
    : (cell.has_model ? "one of the cells it uses has a model" : "no model of this name"));
}

// -- models ----------------------------------------------------------------------

async function refreshModels() {
  const models = await getJSON(api("/api/models"));
  $("models").tBodies[0].replaceChildren(...models.map((m) => el("tr", { dataset: { name: m.name } },
    el("td", {}, el("code", {}, m.name)),
    el("td", {}, m.pdk_type),
    el("td", {}, badge(m.status === "SUCCESS" ? "ok" : "error"), m.message ? ` ${m.message}` : ""),
    el("td", {}, m.source || "–"),
    el("td", { class: "settings" }, m.settings))));
}

function showTab(tab) {
  view.tab = tab;
  $("tab-cell").classList.toggle("active", tab === "cell");
  $("tab-models").classList.toggle("active", tab === "models");
  $("cell-view").hidden = tab !== "cell";
  $("models-view").hidden = tab !== "models";
  if (tab === "models") refreshModels().catch(console.error);
}

// -- updates ---------------------------------------------------------------------

function refreshAll() {
  refreshList().catch(console.error);
  refreshCell().catch(console.error);
  if (view.tab === "models") refreshModels().catch(console.error);
}

function connect() {
  const events = new EventSource(api("/events"));
  events.addEventListener("open", () => {
    $("connection").className = "online";
    $("connection").textContent = "live";
  });
  events.addEventListener("error", () => {
    $("connection").className = "offline";
    $("connection").textContent = "reconnecting…";
    // The browser reconnects by itself after a dropped connection, but not
    // after a refusal (a server started anew, or too many streams open).
    if (events.readyState === EventSource.CLOSED) {
      setTimeout(() => renewToken().catch(() => {}).finally(connect), 2000);
    }
  });
  events.addEventListener("pass", (event) => {
    const state = JSON.parse(event.data);
    showState(state);
    if (state.generation !== view.generation) {
      view.generation = state.generation;
      refreshAll();
    }
  });
}

function start() {
  const match = /^#cell=(.+)$/.exec(location.hash);
  if (match) view.selected = decodeURIComponent(match[1]);
  let timer = null;
  $("search").addEventListener("input", (event) => {
    clearTimeout(timer);
    timer = setTimeout(() => { view.query = event.target.value; refreshList().catch(console.error); }, 120);
  });
  $("kind").addEventListener("change", (event) => { view.kind = event.target.value; refreshList().catch(console.error); });
  $("tab-cell").addEventListener("click", () => showTab("cell"));
  $("tab-models").addEventListener("click", () => showTab("models"));
  window.addEventListener("hashchange", () => {
    const next = /^#cell=(.+)$/.exec(location.hash);
    if (next && decodeURIComponent(next[1]) !== view.selected) select(decodeURIComponent(next[1]));
  });
  connect();
}

start();
