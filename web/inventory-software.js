// The fleet's software: every package and application with its versions, and the devices
// of one of them.

import { $, state, call, el, mark, plural, show, failed, exportButtons, pager } from "./inventory-common.js";

// --- the fleet's software ---

const SW_PAGE = 50;
const KIND_WORD = { package: "Package", application: "Application" };
const itemLink = (it, version) => "#/software/" + it.kind + "/" + encodeURIComponent(it.id) + (version ? "?eq=" + encodeURIComponent(version) : "");
const known = new Map();  // kind/id: the software list's item, for the page of its devices

function softwareRow(it) {
  known.set(it.kind + "/" + it.id, it);
  const versions = it.versions || [];
  return el("tr", { "data-id": it.id, "data-kind": it.kind },
    el("td", {}, el("a", { href: itemLink(it) }, it.name || it.id), el("span", { class: "sub" }, it.id)),
    el("td", {}, KIND_WORD[it.kind] || it.kind),
    el("td", { class: "versions" }, versions.slice(0, 4).map((v) => el("a", { class: "chip", href: itemLink(it, v.version),
      title: plural(v.devices, "device") + " with " + v.version }, v.version + " ", el("span", { class: "n" }, "\u00D7" + v.devices))),
    versions.length > 4 ? el("span", { class: "sub" }, "and " + (versions.length - 4) + " more") : null),
    el("td", {}, it.newest || "\u2013"),
    el("td", { class: "num" }, it.devices),
    el("td", { class: "num" }, it.behind > 0 ? [String(it.behind) + " ", mark("warn", "\u25BC BEHIND", plural(it.behind, "device") + " without " + it.newest)] : "0"));
}

let swSeq = 0;
async function loadSoftware() {
  const seq = ++swSeq, sw = state.sw;
  try {
    const data = await call("software", { name: sw.name, kind: sw.kind, limit: SW_PAGE, offset: sw.offset });
    if (seq !== swSeq) return;
    $("sw-count").textContent = plural(data.total, sw.kind ? sw.kind : "package or application", sw.kind ? null : "packages and applications") +
      (sw.name ? " match \u201C" + sw.name + "\u201D" : " in the fleet");
    const body = $("sw-table").tBodies[0];
    body.replaceChildren(...data.items.map(softwareRow));
    if (!data.items.length) body.append(el("tr", {}, el("td", { colspan: 6, class: "empty" }, sw.name ? "Nothing matches \u201C" + sw.name + "\u201D." : "No software reported yet.")));
    pager($("sw-pager"), data, data.items.length, SW_PAGE, (o) => { sw.offset = o; loadSoftware(); });
  } catch (err) {
    failed(err);
  }
}

function openSoftware() {
  show("software");
  document.title = "Software \u00B7 FLX inventory";
  exportButtons("software", () => ({ name: state.sw.name, kind: state.sw.kind }), $("sw-export"));
  return loadSoftware();
}

const OPS = [["", "all versions"], ["lt", "older than"], ["le", "up to"], ["eq", "exactly"], ["ne", "other than"], ["ge", "from"], ["gt", "newer than"]];
const DEVICE_PAGE = 50;

// The devices of one package or application, each with its version; those without the
// fleet's newest marked. `query` may hold one comparison (e.g. eq=1.2) from a version link.
async function openSoftwareItem(kind, id, query) {
  show("software-item");
  document.title = id + " \u00B7 FLX inventory";
  const body = $("software-item-body");
  let item = known.get(kind + "/" + id) || null;
  if (!item) {
    const found = await call("software", { name: id, kind: kind, limit: 50 }).catch(() => null);
    item = found ? found.items.find((i) => i.id === id && i.kind === kind) || null : null;
  }
  const newest = item ? item.newest : null;
  const [op0, v0] = [...new URLSearchParams(query || "")].find(([k]) => OPS.some(([o]) => o && o === k)) || ["", ""];
  const op = el("select", { "aria-label": "Versions" }, OPS.map(([v, t]) => el("option", { value: v }, t)));
  op.value = op0;
  const version = el("input", { type: "text", class: "version", "aria-label": "Version", placeholder: "version", spellcheck: "false", value: v0 });
  const apply = el("button", { type: "submit" }, "Show");
  const filter = el("form", { class: "version-filter" }, el("label", {}, "Devices with "), op, " ", version, " ", apply);
  const count = el("p", { class: "count", "aria-live": "polite" });
  const tbody = el("tbody");
  const nav = el("nav", { class: "pager", "aria-label": "Pages" });
  // "version" is the API's own field: the version compared goes as pkg_version or app_version.
  const versionKey = kind === "application" ? "app_version" : "pkg_version";
  const params = () => (op.value && version.value.trim() ? { id: id, op: op.value, [versionKey]: version.value.trim() } : { id: id });
  let offset = 0;
  async function load() {
    try {
      const data = await call(kind, Object.assign(params(), { limit: DEVICE_PAGE, offset: offset }));
      const rows = data.items || data.devices || [];
      const p = params();
      count.textContent = plural(data.total, "device") + (p.op ? " with " + OPS.find(([o]) => o === p.op)[1] + " " + p[versionKey] : "");
      tbody.replaceChildren(...rows.map((r) => {
        const behind = r.behind !== undefined ? !!r.behind : !!newest && r.version !== newest;
        return el("tr", { "data-sn": r.sn, "data-behind": behind ? "yes" : "no" },
          el("td", {}, el("a", { href: "#/device/" + encodeURIComponent(r.sn) }, r.hostname || r.sn), el("span", { class: "sub" }, r.sn)),
          el("td", {}, r.model_name || "\u2013"),
          el("td", {}, r.version || "\u2013"),
          el("td", {}, behind ? mark("warn", "\u25BC BEHIND", newest ? "The fleet's newest is " + newest : null) : mark("ok", "\u2714 NEWEST")));
      }));
      if (!rows.length) tbody.append(el("tr", {}, el("td", { colspan: 4, class: "empty" }, "No device matches.")));
      pager(nav, data, rows.length, DEVICE_PAGE, (o) => { offset = o; load(); });
    } catch (err) {
      failed(err);
    }
  }
  filter.addEventListener("submit", (e) => { e.preventDefault(); offset = 0; load(); });
  const versions = item ? el("p", { class: "versions" }, "Versions: ", item.versions.map((v) => {
    const b = el("button", { type: "button", class: "chip" + (v.version === newest ? " newest" : ""), title: "Show the devices with " + v.version },
      v.version + " ", el("span", { class: "n" }, "\u00D7" + v.devices), v.version === newest ? " (newest)" : null);
    b.addEventListener("click", () => { op.value = "eq"; version.value = v.version; offset = 0; load(); });
    return b;
  })) : null;
  body.replaceChildren(
    el("div", { class: "device-title" }, el("h1", { tabindex: "-1" }, item ? item.name : id), el("span", { class: "sub" }, (KIND_WORD[kind] || kind) + " " + id),
      item && item.behind > 0 ? mark("warn", "\u25BC " + item.behind + " BEHIND", plural(item.behind, "device") + " without " + newest) : null),
    el("section", { class: "card" }, item ? el("p", { class: "total" }, "On " + plural(item.devices, "device") + "; the newest version in the fleet is " + newest + ".") : null,
      versions,
      el("div", { class: "card-head" }, filter, count, exportButtons(kind, params)),
      el("div", { class: "table-wrap" }, el("table", { class: "grid", id: "sw-devices" },
        el("thead", {}, el("tr", {}, ["Device", "Model", "Version", "Against the newest"].map((h) => el("th", { scope: "col" }, h)))), tbody)),
      nav));
  body.querySelector("h1").focus();
  return load();
}

export { loadSoftware, openSoftware, openSoftwareItem };
