// The inventory page: reads KEVO.FLX.Inventory through /webapi/entry.cgi with the operator's
// token, kept in sessionStorage for this browser session only.
"use strict";

(function () {
  const API = "KEVO.FLX.Inventory";
  const STALE_SECONDS = 3600;
  const FULL_PERCENT = 90;
  const PAGE = 100;
  const TOKEN_KEY = "flx-inventory-token";

  const $ = (id) => document.getElementById(id);
  const state = { sort: "hostname", order: "asc", filter: "", offset: 0, token: sessionStorage.getItem(TOKEN_KEY) };

  class ApiError extends Error {
    constructor(code) {
      super("error " + code);
      this.code = code;
    }
  }

  async function call(method, params) {
    const body = new URLSearchParams({ api: API, version: "1", method: method, _sid: state.token || "" });
    for (const [k, v] of Object.entries(params || {})) body.set(k, typeof v === "string" ? JSON.stringify(v) : String(v));
    const res = await fetch("/webapi/entry.cgi", { method: "POST", body: body });
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

  function bytes(n) {
    if (!(n > 0)) return "0 B";
    const units = ["B", "KB", "MB", "GB", "TB", "PB"];
    let i = 0;
    while (n >= 1000 && i < units.length - 1) { n /= 1000; i++; }
    return (n >= 100 || i === 0 ? n.toFixed(0) : n.toFixed(1)) + " " + units[i];
  }

  function duration(s) {
    if (s === null || s === undefined || s < 0) return "–";
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
    return t ? new Date(t * 1000).toLocaleString() : "–";
  }

  function bar(percent, warn, wide) {
    const p = Math.max(0, Math.min(100, percent || 0));
    return el("span", { class: "bar" + (warn ? " warn" : "") + (wide ? " wide" : ""), role: "img", "aria-label": p.toFixed(1) + " % used" },
      el("i", { style: "width:" + p + "%" }));
  }

  const STATUS = { 0: "unknown", 1: "registered", 2: "online" };

  const isStale = (d) => !d.last_seen || Date.now() / 1000 - d.last_seen > STALE_SECONDS;

  function show(id) {
    for (const s of ["login", "fleet", "device"]) $(s).hidden = s !== id;
    $("failure").hidden = true;
    $("signout").hidden = id === "login";
    $("who").hidden = id === "login";
  }

  function failed(err) {
    if (err instanceof ApiError && err.code === 105) return signOut("The token was not accepted. Enter a valid operator token.");
    $("failure").textContent = "The inventory could not be read (" + err.message + "). Try again in a moment.";
    $("failure").hidden = false;
  }

  function signOut(message) {
    state.token = null;
    sessionStorage.removeItem(TOKEN_KEY);
    $("token").value = "";
    $("login-error").textContent = message || "";
    $("login-error").hidden = !message;
    show("login");
    $("token").focus();
  }

  // --- the fleet table ---

  const COLUMNS = [
    { key: "hostname", label: "Device" },  // host name, serial number below
    { key: "model_name", label: "Model", opt: true },
    { key: "version", label: "Version", opt: true },
    { key: "status", label: "Status", opt: true },
    { key: "marks", label: "Marks", sort: "disk_failing" },
    { key: "up_time", label: "Up time", num: true, opt: true },
    { key: "last_seen", label: "Last report", num: true },
    { key: "vol_max_use", label: "Volumes", num: true },
    { key: "disk_count", label: "Disks", num: true },
    { key: "disk_max_temp", label: "Max temp.", num: true, opt: true },
    { key: "app_count", label: "Apps", num: true, opt: true },
    { key: "pkg_count", label: "Pkgs", num: true, opt: true },
  ];

  function header() {
    const row = $("fleet-table").tHead.rows[0];
    row.replaceChildren();
    for (const c of COLUMNS) {
      const key = c.sort || c.key;
      const th = el("th", { class: (c.num ? "num " : "") + (c.opt ? "opt" : ""), scope: "col",
        "aria-sort": state.sort === key ? (state.order === "asc" ? "ascending" : "descending") : null },
        el("button", { type: "button", "data-sort": key }, c.label));
      row.append(th);
    }
  }

  function deviceMarks(d) {
    const s = d.summary, marks = [];
    if (isStale(d)) marks.push(mark("stale", "\u25F7 STALE", "No report for more than 1 h"));
    if (s.disk_failing > 0) marks.push(mark("bad", "\u2716 " + s.disk_failing + " DISK" + (s.disk_failing > 1 ? "S" : "") + " FAILING"));
    if (s.vol_max_use >= FULL_PERCENT) marks.push(mark("warn", "\u25B2 VOLUME FULL", "A volume is " + s.vol_max_use + " % used"));
    if (!marks.length) marks.push(mark("ok", "\u2714 OK"));
    return marks;
  }

  function fleetRow(d) {
    const s = d.summary;
    const tr = el("tr", { class: [isStale(d) && "is-stale", s.disk_failing > 0 && "is-failing", s.vol_max_use >= FULL_PERCENT && "is-full"].filter(Boolean).join(" ") || null, "data-sn": d.sn });
    const full = s.vol_max_use >= FULL_PERCENT;
    tr.append(
      el("td", {}, el("a", { href: "#/device/" + encodeURIComponent(d.sn) }, d.hostname || d.sn), el("span", { class: "sub" }, d.sn)),
      el("td", { class: "opt" }, d.model_name || "–"),
      el("td", { class: "opt" }, d.version || "–"),
      el("td", { class: "opt" }, STATUS[d.status] || "status " + d.status, el("span", { class: "sub" }, "role " + d.cluster_role)),
      el("td", { class: "marks" }, deviceMarks(d)),
      el("td", { class: "num opt" }, duration(d.up_time)),
      el("td", { class: "num", title: when(d.last_seen) }, ago(d.last_seen)),
      el("td", { class: "num" }, s.vol_count ? [s.vol_count + " \u00B7 " + s.vol_max_use + " % ", bar(s.vol_max_use, full)] : "none"),
      el("td", { class: "num" }, s.disk_count + (s.disk_failing ? " \u00B7 " + s.disk_failing + " bad" : "")),
      el("td", { class: "num opt" }, s.disk_max_temp !== null ? s.disk_max_temp + " \u00B0C" : "–"),
      el("td", { class: "num opt" }, s.app_count),
      el("td", { class: "num opt" }, s.pkg_count));
    tr.addEventListener("click", (e) => { if (!e.target.closest("a")) location.hash = "#/device/" + encodeURIComponent(d.sn); });
    return tr;
  }

  async function countLine() {
    const [all, stale, disks, vols] = await Promise.all([
      call("list", { limit: 0 }), call("stale", { seconds: STALE_SECONDS, limit: 0 }),
      call("disks", { failing: true, limit: 0 }), call("volumes", { min_use: FULL_PERCENT, limit: 0 })]);
    const n = (v, one, many) => v + " " + (v === 1 ? one : many);
    $("count").textContent = n(all.total, "device", "devices") + ", " + stale.total + " not reporting for 1 h, " +
      n(disks.total, "disk", "disks") + " failing, " + n(vols.total, "volume", "volumes") + " over " + FULL_PERCENT + " %";
  }

  let listSeq = 0;
  async function loadFleet() {
    const seq = ++listSeq;
    try {
      const data = await call("list", { sort: state.sort, order: state.order, filter: state.filter, limit: PAGE, offset: state.offset });
      if (seq !== listSeq) return;  // a newer request is on its way
      header();
      const body = $("fleet-table").tBodies[0];
      body.replaceChildren(...data.devices.map(fleetRow));
      if (!data.devices.length) body.append(el("tr", {}, el("td", { colspan: COLUMNS.length, class: "empty" }, state.filter ? "No device matches \u201C" + state.filter + "\u201D." : "No devices registered yet.")));
      pager(data);
    } catch (err) {
      failed(err);
    }
  }

  function pager(data) {
    const nav = $("pager");
    const first = data.total ? data.offset + 1 : 0, last = data.offset + data.devices.length;
    const prev = el("button", { type: "button", disabled: data.offset === 0 }, "\u2039 Previous");
    const next = el("button", { type: "button", disabled: last >= data.total }, "Next \u203A");
    prev.onclick = () => { state.offset = Math.max(0, state.offset - PAGE); loadFleet(); };
    next.onclick = () => { state.offset += PAGE; loadFleet(); };
    nav.replaceChildren(el("span", {}, first + "\u2013" + last + " of " + data.total), prev, next);
    nav.hidden = data.total <= PAGE;
  }

  async function openFleet() {
    show("fleet");
    $("who").textContent = "Operator session";
    header();
    try {
      await Promise.all([loadFleet(), countLine()]);
    } catch (err) {
      failed(err);
    }
  }

  // --- the device page ---

  const LOCALES = { en: "enu", de: "ger", fr: "fre", it: "ita", es: "spn", ja: "jpn", da: "dan", nb: "nor", no: "nor",
    sv: "sve", nl: "nld", ru: "rus", pl: "plk", pt: "ptg", "pt-br": "ptb", hu: "hun", tr: "trk", cs: "csy",
    ko: "krn", "zh-tw": "cht", "zh-hk": "cht", "zh-cn": "chs", zh: "chs" };

  function localCode() {
    for (const lang of navigator.languages || [navigator.language || "en"]) {
      const l = lang.toLowerCase();
      if (LOCALES[l]) return LOCALES[l];
      if (LOCALES[l.split("-")[0]]) return LOCALES[l.split("-")[0]];
    }
    return "enu";
  }

  function section(title, content, full) {
    return el("section", { class: "card" + (full ? " full" : ""), "data-section": title }, el("h2", {}, title), content);
  }

  function table(headers, rows, empty) {
    if (!rows.length) return el("p", { class: "empty" }, empty);
    return el("div", { class: "table-wrap" }, el("table", { class: "grid" },
      el("thead", {}, el("tr", {}, headers.map((h) => el("th", { class: h.num ? "num" : null, scope: "col" }, h.label || h)))),
      el("tbody", {}, rows.map((r) => el("tr", {}, r.map((c, i) => el("td", { class: headers[i].num ? "num" : null }, c)))))));
  }

  function facts(pairs) {
    return el("dl", { class: "facts" }, pairs.filter((p) => p[1] !== undefined && p[1] !== null && p[1] !== "").flatMap(([k, v]) => [el("dt", {}, k), el("dd", {}, v)]));
  }

  const diskFailing = (h) => !["", "good", "normal", "ready", "initialized"].includes(String(h.status).toLowerCase()) ||
    !["", "normal", "good", "ok"].includes(String(h.smart_status).toLowerCase());

  function volumesSection(vols) {
    return section("Volumes", table(["Volume", "Status", "RAID", { label: "Used", num: true }, { label: "Size", num: true }, "Use"],
      vols.map((v) => {
        const p = v.size_total > 0 ? (v.size_used * 100) / v.size_total : 0;
        const full = p >= FULL_PERCENT;
        return [el("span", {}, v.name, full ? mark("warn", "\u25B2 NEARLY FULL") : null), v.status, v.raid_type, bytes(v.size_used), bytes(v.size_total),
          el("span", {}, bar(p, full), " " + p.toFixed(1) + " %")];
      }), "No volumes reported."));
  }

  function disksSection(disks) {
    return section("Disks", table(["Disk", "Model", "Status", "SMART", { label: "Temp.", num: true }, { label: "Size", num: true }, "Used by"],
      disks.map((h) => [el("span", {}, h.name || h.dev, el("span", { class: "sub" }, h.dev)), h.model,
        el("span", {}, h.status, diskFailing(h) ? mark("bad", "\u2716 FAILING") : null), h.smart_status,
        el("span", {}, h.temp + " \u00B0C", h.temp >= 55 ? mark("warn", "HOT") : null), bytes(h.size_total), h.used_by]),
      "No disks reported."), true);
  }

  function appsSection(sn, apps) {
    const code = localCode();
    if (!apps.length) return section("Applications", el("p", { class: "empty" }, "No applications reported."), true);
    const grid = el("div", { class: "apps" }, apps.map((a) => {
      const names = a.names || {};
      const name = names[code] || names.enu || a.app_id;
      const others = Object.entries(names).filter(([c]) => c !== code && names[c] !== name).map(([c, n]) => c + ": " + n).join(" \u00B7 ");
      const icon = el("span", { class: "noicon", "aria-hidden": "true" });
      call("icon", { sn: sn, app_id: a.app_id }).then((d) => {
        icon.replaceWith(el("img", { src: "data:" + d.mime + ";base64," + d.data, alt: name + " icon", "data-app": a.app_id }));
      }).catch(() => {});
      return el("div", { class: "app" }, icon, el("div", {}, el("strong", {}, name), " ", el("span", { class: "sub" }, a.app_id + " \u00B7 " + (a.version || "no version")),
        others ? el("div", { class: "other" }, others) : null));
    }));
    return section("Applications", grid, true);
  }

  function packagesSection(pkgs) {
    const status = (s) => ({ 1: "broken", 2: "running", 3: "stopped", 5: "not installed", 6: "version limit" }[s] || "unknown (" + s + ")");
    return section("Packages", table(["Package", { label: "Version", num: true }, "Status", "Dependencies", "Conflicts"],
      pkgs.map((p) => [el("span", {}, p.display_name || p.pkg_id, el("span", { class: "sub" }, p.pkg_id)), p.version, status(p.status),
        el("pre", { class: "rules" }, p.dependencies || "–"), el("pre", { class: "rules" }, p.conflicts || "–")]),
      "No packages reported."), true);
  }

  function deviceView(data) {
    const d = data.device, c = data.cache;
    const extra = Object.entries(d.extra || {}).map(([k, v]) => [k, typeof v === "object" ? JSON.stringify(v) : String(v)]);
    const info = (data.info[0] || {});
    const vols = c.vol_info, disks = c.hdd_info;
    const failing = disks.filter(diskFailing).length;
    const fullest = Math.max(0, ...vols.map((v) => (v.size_total > 0 ? (v.size_used * 100) / v.size_total : 0)));
    const lastSeen = Math.max(0, ...["vol_info", "dg_info", "hdd_info", "share_info"].flatMap((t) => c[t].map((r) => r.mtime || 0)));
    const marks = [];
    if (!lastSeen || Date.now() / 1000 - lastSeen > STALE_SECONDS) marks.push(mark("stale", "\u25F7 STALE"));
    if (failing) marks.push(mark("bad", "\u2716 " + failing + " DISK" + (failing > 1 ? "S" : "") + " FAILING"));
    if (fullest >= FULL_PERCENT) marks.push(mark("warn", "\u25B2 VOLUME FULL"));

    return [
      el("div", { class: "device-title" }, el("h1", {}, d.hostname || d.sn), el("span", { class: "sub" }, d.sn), marks),
      el("div", { class: "sections" },
        section("Identity", facts([["Serial number", d.sn], ["Host name", d.hostname], ["Model", d.model_name], ["Version", d.version],
          ["Build", d.build_number], ["Small fix", d.smallfix_number], ["Up time", duration(d.up_time)], ["Cluster role", d.cluster_role],
          ["Wake on LAN", d.wol ? "on" : "off"], ["Registry id", d.id], ["Status", STATUS[d.status] || d.status], ["Last report", lastSeen ? when(lastSeen) + " (" + ago(lastSeen) + ")" : "never"]].concat(extra))),
        section("Extended information", Object.keys(info).length ? facts(Object.entries(info).map(([k, v]) => [k, k === "mem_total" ? bytes(v) : typeof v === "object" ? JSON.stringify(v) : String(v)])) : el("p", { class: "empty" }, "None reported.")),
        volumesSection(vols),
        section("Disk groups", table(["Group", "Status", "RAID", { label: "Used", num: true }, { label: "Size", num: true }],
          c.dg_info.map((g) => [g.name, g.status, g.raid_type, bytes(g.size_used), bytes(g.size_total)]), "No disk groups reported.")),
        disksSection(disks),
        section("Shares", table(["Share", "Description", "Volume", "Hidden"],
          c.share_info.map((s) => [s.name, s.description, s.display_vol_name || s.vol_id, s.hidden ? "yes" : "no"]), "No shares reported."), true),
        appsSection(d.sn, data.applications),
        packagesSection(data.packages),
        section("Mirror files", table(["Path", { label: "Size", num: true }, "Modified", "Mode"],
          data.files.map((f) => [el("code", {}, f.path), bytes(f.size), when(f.mtime), el("code", {}, f.mode)]), "No mirror files."), true)),
    ];
  }

  async function openDevice(sn) {
    show("device");
    const body = $("device-body");
    body.replaceChildren(el("p", { class: "empty" }, "Loading\u2026"));
    try {
      const data = await call("get", { sn: sn });
      body.replaceChildren(...deviceView(data));
      document.title = (data.device.hostname || sn) + " \u00B7 FLX inventory";
      body.querySelector("h1").focus();
    } catch (err) {
      if (err instanceof ApiError && err.code === 404) body.replaceChildren(el("p", { class: "error" }, "No device with serial number " + sn + "."));
      else failed(err);
    }
  }

  // --- routing and events ---

  function route() {
    if (!state.token) return signOut();
    const m = location.hash.match(/^#\/device\/(.+)$/);
    if (m) return openDevice(decodeURIComponent(m[1]));
    document.title = "FLX inventory";
    return openFleet();
  }

  $("login-form").addEventListener("submit", async (e) => {
    e.preventDefault();
    state.token = $("token").value.trim();
    try {
      await call("list", { limit: 0 });
      sessionStorage.setItem(TOKEN_KEY, state.token);
      $("login-error").hidden = true;
      route();
    } catch (err) {
      if (err instanceof ApiError && err.code === 105) signOut("This token is not an operator token.");
      else failed(err);
    }
  });

  $("signout").addEventListener("click", () => signOut());

  $("fleet-table").tHead.addEventListener("click", (e) => {
    const b = e.target.closest("button[data-sort]");
    if (!b) return;
    const key = b.dataset.sort;
    state.order = state.sort === key && state.order === "asc" ? "desc" : "asc";
    state.sort = key;
    state.offset = 0;
    loadFleet();
  });

  let typing = null;
  $("filter").addEventListener("input", () => {
    clearTimeout(typing);
    typing = setTimeout(() => {
      state.filter = $("filter").value.trim();
      state.offset = 0;
      loadFleet();
    }, 150);
  });

  window.addEventListener("hashchange", route);
  route();
})();
