// What every view of the inventory page shares: the API calls (with the operator's token,
// kept in sessionStorage for this browser session only), building and escaping of elements,
// the words and marks for figures, switching views, paging, exports and the history's items.

const API = "KEVO.FLX.Inventory";
const MANAGE = "KEVO.FLX.Manage";
const FULL_PERCENT = 90;
const PAGE = 100;
const TOKEN_KEY = "flx-inventory-token";

const $ = (id) => document.getElementById(id);
const state = { sort: "hostname", order: "asc", filter: "", group: "", offset: 0, admin: null, token: sessionStorage.getItem(TOKEN_KEY),
  sw: { name: "", kind: "", offset: 0 } };

class ApiError extends Error {
  constructor(code) {
    super("error " + code);
    this.code = code;
  }
}

// A request's fields: texts as JSON strings, so that "2.3" stays a text and never a number.
function form(method, params, api) {
  const body = new URLSearchParams({ api: api || API, version: "1", method: method, _sid: state.token || "" });
  for (const [k, v] of Object.entries(params || {})) {
    if (v !== undefined && v !== null) body.set(k, typeof v === "string" ? JSON.stringify(v) : String(v));
  }
  return body;
}

async function call(method, params, api) {
  const res = await fetch("/webapi/entry.cgi", { method: "POST", body: form(method, params, api) });
  if (!res.ok) throw new ApiError("HTTP " + res.status);
  const answer = await res.json();
  if (!answer.success) throw new ApiError(answer.error ? answer.error.code : 0);
  return answer.data;
}

// --- small helpers ---

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === null || v === undefined || v === false) continue;
    if (k === "class") node.className = v;
    else if (k === "text") node.textContent = v;
    else node.setAttribute(k, v === true ? "" : v);
  }
  for (const c of children.flat()) {
    if (c !== null && c !== undefined) node.append(c instanceof Node ? c : String(c));
  }
  return node;
}

const mark = (kind, text, title) => el("span", { class: "mark " + kind, title: title }, text);
// Another machine used the device's session or serial; the operator clears it on the host.
const identityMark = (e) => (e && e.identity === "identity-conflict"
  ? mark("warn", "\u26A0 IDENTITY CONFLICT", "Another machine used this device's session or serial; see flx-admin device approve")
  : e && e.state === "pending" ? mark("stale", "\u23F8 PENDING", "Waits for flx-admin device approve") : null);
const plural = (n, one, many) => n + " " + (n === 1 ? one : many || one + "s");
const NONE = "\u2014";  // a value the device does not report

function bytes(n) {
  if (!(n > 0)) return "0 B";
  const units = ["B", "KB", "MB", "GB", "TB", "PB"];
  let i = 0;
  while (n >= 1000 && i < units.length - 1) { n /= 1000; i++; }
  return (n >= 100 || i === 0 ? n.toFixed(0) : n.toFixed(1)) + " " + units[i];
}

function duration(s) {
  if (s === null || s === undefined || s < 0) return "\u2013";
  const d = Math.floor(s / 86400), h = Math.floor((s % 86400) / 3600), m = Math.floor((s % 3600) / 60);
  if (d > 0) return d + " d " + h + " h";
  if (h > 0) return h + " h " + m + " min";
  return m + " min";
}

function ago(t) {
  if (!t) return "never";
  return duration(Math.max(0, Date.now() / 1000 - t)) + " ago";
}

function when(t) {
  return t ? new Date(t * 1000).toLocaleString() : "\u2013";
}

function bar(percent, warn, wide) {
  const p = Math.max(0, Math.min(100, percent || 0));
  // Set through the style object: a style attribute would need 'unsafe-inline'.
  const fill = el("i");
  fill.style.width = p + "%";
  return el("span", { class: "bar" + (warn ? " warn" : "") + (wide ? " wide" : ""), role: "img", "aria-label": p.toFixed(1) + " % used" }, fill);
}

// A use past 100 % is a wrong report (used larger than the size), not a fuller volume.
const overUse = (percent) => mark("bad", "? DATA", "Reported use " + percent + " %: more used than the volume's size, a data problem");

// A disk without a sensor reports 0 (or nothing): no reading, not a temperature.
const hasTemp = (t) => typeof t === "number" && t > 0;
const temp = (t) => (hasTemp(t) ? t + " \u00B0C" : NONE);

const STATUS = { 0: "unknown", 1: "registered", 2: "online" };
const ROLE = { 0: "standalone", 1: "cluster primary", 2: "cluster member" };
const statusText = (n) => STATUS[n] || "status " + n;
const roleText = (n) => ROLE[n] || "cluster role " + n;

// The host decides staleness (three push intervals without an answered push).
const isStale = (d) => d.stale === true;
// The last contact, with the collect time it carried beside it where the two differ.
const contact = (l) => !l.last_contact ? "never" : when(l.last_contact) + " (" + ago(l.last_contact) + ")" +
  (l.last_collect && l.last_collect !== l.last_contact ? ", collected " + when(l.last_collect) : "");

// The marks of the history's summary (the API's "stale" beside them), each with its words.
const MARKS = {
  failing: { cls: "bad", text: "\u2716 FAILING", title: "A disk's status or SMART status is not normal" },
  full: { cls: "warn", text: "\u25B2 FULL", title: "A volume is at least " + FULL_PERCENT + " % used" },
  hot: { cls: "warn", text: "\u2668 HOT", title: "A disk is at 55 \u00B0C or more" },
  filling: { cls: "warn", text: "\u25D4 FILLING", title: "A volume fills within 30 days at its present rate" },
  stale: { cls: "stale", text: "\u25F7 STALE", title: "No answered push for three push intervals" },
};
const markOf = (m) => (MARKS[m] ? mark(MARKS[m].cls, MARKS[m].text, MARKS[m].title) : mark("warn", "\u25CF " + String(m).toUpperCase()));
// The summary's marks, and stale as the host decides it.
const marksOf = (d) => {
  const marks = d.summary && Array.isArray(d.summary.marks) ? d.summary.marks.slice() : [];
  if (isStale(d) && !marks.includes("stale")) marks.push("stale");
  return marks;
};

const VIEWS = ["login", "fleet", "software", "software-item", "device"];
function show(id) {
  for (const s of VIEWS) $(s).hidden = s !== id;
  $("failure").hidden = true;
  $("signout").hidden = id === "login";
  $("who").hidden = id === "login";
  $("views").hidden = id === "login";
  const view = id === "software-item" ? "software" : id;
  for (const a of $("views").querySelectorAll("a")) {
    if (a.dataset.view === view) a.setAttribute("aria-current", "page");
    else a.removeAttribute("aria-current");
  }
  if (id !== "login") whoami();
}

// The operator's name in the header, asked once per token.
let whoFor = null;
function whoami() {
  if (whoFor === state.token) return;
  whoFor = state.token;
  $("who").textContent = "Operator session";
  call("whoami").then((d) => { if (d && d.name) $("who").textContent = "Signed in as " + d.name; }).catch(() => {});
}

function failed(err) {
  if (err instanceof ApiError && err.code === 105) return signOut("The token was not accepted. Enter a valid operator token.");
  $("failure").textContent = "The inventory could not be read (" + err.message + "). Try again in a moment.";
  $("failure").hidden = false;
}

function signOut(message) {
  state.token = null;
  whoFor = null;
  sessionStorage.removeItem(TOKEN_KEY);
  $("token").value = "";
  $("login-error").textContent = message || "";
  $("login-error").hidden = !message;
  show("login");
  $("token").focus();
}

// --- export ---

// Fetches a list whole as a file (the token in the POST body, never in a URL) and hands it
// to the browser as a download.
async function download(method, params, format) {
  const body = form(method, Object.assign({}, params, { format: format }));
  const res = await fetch("/webapi/entry.cgi", { method: "POST", body: body });
  const disposition = res.headers.get("Content-Disposition") || "";
  if (!res.ok || !/attachment/i.test(disposition)) {
    let code = "HTTP " + res.status;
    try {
      const answer = await res.json();
      if (answer.error) code = answer.error.code;
    } catch (e) { /* not JSON: the HTTP status says it */ }
    throw new ApiError(code);
  }
  const name = (disposition.match(/filename="?([^";]+)"?/) || [])[1] || "flx-" + method + "." + format;
  const link = el("a", { href: URL.createObjectURL(await res.blob()), download: name, hidden: true });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

// "Export CSV / JSON" for a list: `params` gives the list's present parameters (no page).
function exportButtons(method, params, target) {
  const status = el("span", { class: "export-status", role: "status" });
  const button = (format) => {
    const b = el("button", { type: "button", class: "export", "data-format": format, "data-method": method,
      title: "Download the whole list as " + format.toUpperCase() }, format.toUpperCase());
    b.addEventListener("click", async () => {
      b.disabled = true;
      status.textContent = "Preparing\u2026";
      try {
        await download(method, params(), format);
        status.textContent = "";
      } catch (err) {
        if (err instanceof ApiError && err.code === 105) return signOut("The token was not accepted. Enter a valid operator token.");
        status.textContent = "Export failed (" + err.message + ").";
      } finally {
        b.disabled = false;
      }
    });
    return b;
  };
  const box = target || el("span", { class: "exports" });
  box.replaceChildren(el("span", { class: "export-label" }, "Export"), button("csv"), button("json"), status);
  return box;
}

// Previous and next for a list answered a page at a time; hidden when one page holds it.
function pager(nav, data, shown, size, go) {
  const first = data.total ? data.offset + 1 : 0, last = data.offset + shown;
  // The buttons are made anew: the keyboard's focus goes to the new one of the same side.
  const focused = nav.contains(document.activeElement) ? document.activeElement.dataset.dir : null;
  const prev = el("button", { type: "button", "data-dir": "prev", disabled: data.offset === 0 }, "\u2039 Previous");
  const next = el("button", { type: "button", "data-dir": "next", disabled: last >= data.total }, "Next \u203A");
  prev.onclick = () => go(Math.max(0, data.offset - size));
  next.onclick = () => go(data.offset + size);
  nav.replaceChildren(el("span", {}, first + "\u2013" + last + " of " + data.total), prev, next);
  nav.hidden = data.total <= size && data.offset === 0;
  if (focused) (focused === "prev" && !prev.disabled) || next.disabled ? prev.focus() : next.focus();
}

// --- history ---

const DAY = 86400;
const KINDS = { device: "Device", volume: "Volume", disk_group: "Disk group", disk: "Disk", share: "Share",
  application: "Application", package: "Package" };
const NORMAL = ["", "good", "normal", "ready", "initialized", "ok"];
const FILL_DAYS = 30;

// One change: when it arrived, its kind, and what changed (with the device on fleet lists).
function eventItem(e, withDevice) {
  const name = e.object ? el("strong", {}, e.object) : null;
  let cls = null, what;
  if (e.change === "added") {
    cls = "new";
    what = [name, " added"];
  } else if (e.change === "removed") {
    cls = "gone";
    what = [name, " removed"];
  } else {
    if (/status$/.test(e.field) && !NORMAL.includes(String(e.new_value).toLowerCase())) cls = "bad";
    what = [name, name ? " " : null, (e.field || "").replace(/_/g, " ") + " ", el("span", { class: "old" }, e.old_value || "empty"),
      " \u2192 ", el("strong", {}, e.new_value || "empty")];
  }
  const device = withDevice ? [el("a", { href: "#/device/" + encodeURIComponent(e.sn) }, e.hostname || e.sn), " "] : null;
  return el("li", { class: cls, "data-kind": e.kind, "data-change": e.change },
    el("time", { datetime: new Date(e.arrival_time * 1000).toISOString(), title: "arrived " + when(e.arrival_time) + ", collected " + when(e.collect_time) },
      new Date(e.arrival_time * 1000).toLocaleString(undefined, { year: "numeric", month: "short", day: "numeric", hour: "2-digit", minute: "2-digit" })),
    el("span", { class: "kind" }, KINDS[e.kind] || e.kind), el("span", { class: "what" }, device, what));
}

function fillText(days) {
  const n = Math.round(days);
  return n < 1 ? "full now at this rate" : "full in about " + n + " day" + (n === 1 ? "" : "s");
}

function table(headers, rows, empty) {
  if (!rows.length) return el("p", { class: "empty" }, empty);
  return el("div", { class: "table-wrap" }, el("table", { class: "grid" },
    el("thead", {}, el("tr", {}, headers.map((h) => el("th", { class: h.num ? "num" : null, scope: "col" }, h.label || h)))),
    el("tbody", {}, rows.map((r) => el("tr", {}, r.map((c, i) => el("td", { class: headers[i].num ? "num" : null }, c)))))));
}

export { $, MANAGE, FULL_PERCENT, PAGE, TOKEN_KEY, state, ApiError, call, el, mark, identityMark, plural, NONE, bytes, duration, ago, when, bar, overUse, hasTemp, temp, statusText, roleText, contact, MARKS, markOf, marksOf, show, failed, signOut, exportButtons, pager, DAY, KINDS, FILL_DAYS, eventItem, fillText, table };
