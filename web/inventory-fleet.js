// The fleet list: devices a page at a time with their marks, and the fleet's recent changes
// and filling volumes beside it.

import { $, FULL_PERCENT, PAGE, state, call, el, mark, identityMark, plural, NONE, bytes, duration, ago, bar, overUse, temp, statusText, roleText, contact, MARKS, markOf, marksOf, show, failed, exportButtons, pager, DAY, FILL_DAYS, eventItem, fillText, table } from "./inventory-common.js";
import { loadAudit } from "./inventory-manage.js";

// --- the fleet table ---

const COLUMNS = [
  { key: "hostname", label: "Device" },  // host name, serial number below
  { key: "group", label: "Group", opt: true, nosort: true, cls: "grp" },
  { key: "model_name", label: "Model", opt: true },  // model, version below
  { key: "status", label: "Status", opt: true },  // status, cluster role below
  { key: "marks", label: "Marks", sort: "disk_failing" },
  { key: "last_contact", label: "Last contact", num: true },
  { key: "vol_max_use", label: "Volumes", num: true },
  { key: "disk_count", label: "Disks", num: true },
  { key: "disk_max_temp", label: "Max temp.", num: true, opt: true },
  { key: "app_count", label: "Apps", num: true, opt: true },
  { key: "pkg_count", label: "Pkgs", num: true, opt: true },
  { key: "up_time", label: "Up time", num: true, opt: true },
];

function header() {
  const row = $("fleet-table").tHead.rows[0];
  row.replaceChildren();
  for (const c of COLUMNS) {
    const key = c.sort || c.key;
    const th = el("th", { class: (c.num ? "num " : "") + (c.opt ? "opt" : "") + (c.cls ? " " + c.cls : ""), scope: "col",
      "aria-sort": state.sort === key ? (state.order === "asc" ? "ascending" : "descending") : null },
      c.nosort ? c.label : el("button", { type: "button", "data-sort": key }, c.label));
    row.append(th);
  }
}

function volumesCell(s) {
  if (!s.vol_count) return "none";
  if (s.vol_max_use > 100) return [s.vol_count + " \u00B7 " + s.vol_max_use + " % ", overUse(s.vol_max_use)];
  const use = s.vol_max_use === null || s.vol_max_use === undefined ? NONE : s.vol_max_use + " %";
  return [s.vol_count + " \u00B7 " + use + " ", bar(s.vol_max_use, s.vol_max_use >= FULL_PERCENT)];
}

function fleetRow(d) {
  const s = d.summary, marks = marksOf(d);
  const tr = el("tr", { class: marks.map((m) => "is-" + m).join(" ") || null, "data-sn": d.sn, "data-marks": marks.join(" ") });
  tr.append(
    el("td", {}, el("a", { href: "#/device/" + encodeURIComponent(d.sn) }, d.hostname || d.sn), el("span", { class: "sub" }, d.sn)),
    el("td", { class: "opt grp" }, d.group || "\u2013"),
    el("td", { class: "opt" }, d.model_name || "\u2013", el("span", { class: "sub" }, d.version || "")),
    el("td", { class: "opt" }, statusText(d.status), el("span", { class: "sub" }, roleText(d.cluster_role))),
    el("td", { class: "marks" }, marks.length || identityMark(d.enrollment) ? marks.map(markOf).concat(identityMark(d.enrollment) || []) : mark("ok", "\u2714 OK")),
    el("td", { class: "num", title: contact(d) }, d.last_contact ? ago(d.last_contact) : "never"),
    el("td", { class: "num" }, volumesCell(s)),
    el("td", { class: "num" }, s.disk_count + (s.disk_failing ? " \u00B7 " + s.disk_failing + " bad" : "")),
    el("td", { class: "num opt" }, temp(s.disk_max_temp)),
    el("td", { class: "num opt" }, s.app_count),
    el("td", { class: "num opt" }, s.pkg_count),
    el("td", { class: "num opt" }, duration(d.up_time)));
  tr.addEventListener("click", (e) => { if (!e.target.closest("a")) location.hash = "#/device/" + encodeURIComponent(d.sn); });
  return tr;
}

// The headline: the devices of the present filter and how many carry each mark.
function countLine(data) {
  const what = state.filter ? plural(data.total, "device") + " match \u201C" + state.filter + "\u201D" : plural(data.total, "device");
  const counts = data.counts || {};
  const parts = Object.keys(MARKS).filter((m) => counts[m] > 0).map((m) => el("span", { "data-count": m }, counts[m] + " " + (m === "stale" ? "stale" : m)));
  const line = [what];
  if (parts.length) parts.forEach((p, i) => line.push(i ? ", " : ": ", p));
  else if (data.counts && data.total) line.push(": no marks");
  $("count").replaceChildren(...line);
}

let listSeq = 0;
async function loadFleet() {
  const seq = ++listSeq;
  try {
    const params = { sort: state.sort, order: state.order, filter: state.filter, limit: PAGE, offset: state.offset };
    if (state.group) params.group = state.group;
    const data = await call("list", params);
    if (seq !== listSeq) return;  // a newer request is on its way
    header();
    countLine(data);
    const body = $("fleet-table").tBodies[0];
    body.replaceChildren(...data.devices.map(fleetRow));
    // The group column only where the fleet has groups: a room of its own otherwise.
    $("fleet-table").classList.toggle("no-groups", !data.devices.some((d) => d.group));
    if (!data.devices.length) body.append(el("tr", {}, el("td", { colspan: COLUMNS.length, class: "empty" }, state.filter ? "No device matches \u201C" + state.filter + "\u201D." : "No devices registered yet.")));
    pager($("pager"), data, data.devices.length, PAGE, (offset) => { state.offset = offset; loadFleet(); });
  } catch (err) {
    failed(err);
  }
}

async function fleetHistory() {
  const recent = $("recent").querySelector(".body"), filling = $("filling").querySelector(".body");
  const from = Math.floor(Date.now() / 1000) - DAY;
  exportButtons("history", () => ({ from: from }), $("recent").querySelector(".exports"));
  exportButtons("filling", () => ({ days: FILL_DAYS }), $("filling").querySelector(".exports"));
  const [day, fill] = await Promise.all([call("history", { from: from, limit: 15 }).catch(() => null),
    call("filling", { days: FILL_DAYS, limit: 15 }).catch(() => null)]);
  if (!day) recent.replaceChildren(el("p", { class: "empty" }, "The history could not be read."));
  else if (!day.total) recent.replaceChildren(el("p", { class: "empty" }, "No changes in the last 24 hours."));
  else {
    recent.replaceChildren(el("p", { class: "total" }, day.total + " change" + (day.total === 1 ? "" : "s") +
      (day.total > day.events.length ? ", the newest " + day.events.length + " shown" : "")),
    el("ol", { class: "timeline" }, day.events.map((e) => eventItem(e, true))));
  }
  if (!fill) filling.replaceChildren(el("p", { class: "empty" }, "The history could not be read."));
  else {
    filling.replaceChildren(table(["Device", "Volume", { label: "Used", num: true }, "Full"],
      fill.volumes.map((v) => [el("a", { href: "#/device/" + encodeURIComponent(v.sn) }, v.hostname || v.sn), v.name,
        (v.total > 0 ? ((v.used * 100) / v.total).toFixed(1) : "0") + " % of " + bytes(v.total),
        el("span", { class: "mark warn", title: fillText(v.fill_days) }, Math.round(v.fill_days) < 1 ? "now" : "in ~" + Math.round(v.fill_days) + " d")]),
    "No volume fills within " + FILL_DAYS + " days at its present rate."));
  }
}

async function openFleet() {
  show("fleet");
  header();
  exportButtons("list", () => ({ sort: state.sort, order: state.order, filter: state.filter }), $("fleet-export"));
  try {
    await Promise.all([loadFleet(), fleetHistory(), loadAudit()]);
  } catch (err) {
    failed(err);
  }
}

export { loadFleet, openFleet };
