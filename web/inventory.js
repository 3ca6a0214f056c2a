// The inventory page: reads KEVO.FLX.Inventory through /webapi/entry.cgi with the operator's
// token, kept in sessionStorage for this browser session only.
"use strict";

(function () {
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
    return section("Volumes", table(["Volume", "Status", "RAID", { label: "Used", num: true }, { label: "Size", num: true }, { label: "Use", num: true }],
      vols.map((v) => {
        const p = v.size_total > 0 ? (v.size_used * 100) / v.size_total : 0;
        const full = p >= FULL_PERCENT && p <= 100;
        return [el("span", {}, v.name, full ? mark("warn", "\u25B2 NEARLY FULL") : null), v.status, v.raid_type, bytes(v.size_used), bytes(v.size_total),
          p > 100 ? el("span", {}, p.toFixed(1) + " % ", overUse(p.toFixed(1))) : el("span", {}, bar(p, full), " " + p.toFixed(1) + " %")];
      }), "No volumes reported."));
  }

  function disksSection(disks) {
    return section("Disks", table(["Disk", "Model", "Status", "SMART", { label: "Temp.", num: true }, { label: "Size", num: true }, "Used by"],
      disks.map((h) => [el("span", {}, h.name || h.dev, el("span", { class: "sub" }, h.dev)), h.model,
        el("span", {}, h.status, diskFailing(h) ? mark("bad", "\u2716 FAILING") : null), h.smart_status,
        hasTemp(h.temp) ? el("span", {}, temp(h.temp), h.temp >= 55 ? mark("warn", "HOT") : null) : el("span", { title: "No temperature sensor" }, NONE),
        bytes(h.size_total), h.used_by]),
      "No disks reported."), true);
  }

  // A device's long list (packages, applications, mirror files), searched and shown a page
  // at a time, so that a thousand of them take one screen.
  function localList(title, items, opts) {
    const count = el("p", { class: "count", "aria-live": "polite" });
    const search = el("input", { type: "search", class: "list-search", placeholder: "Search " + opts.noun + "s",
      "aria-label": "Search " + title.toLowerCase(), spellcheck: "false" });
    const body = el("div", { class: "list-body" });
    const nav = el("nav", { class: "pager", "aria-label": title + ", pages" });
    let offset = 0;
    function draw() {
      const q = search.value.trim().toLowerCase();
      const found = q ? items.filter((i) => opts.text(i).toLowerCase().includes(q)) : items;
      const shown = found.slice(offset, offset + opts.size);
      count.textContent = q ? found.length + " of " + plural(items.length, opts.noun) + " match" : plural(items.length, opts.noun);
      body.replaceChildren(shown.length ? opts.render(shown) : el("p", { class: "empty" }, q ? "None matches \u201C" + search.value.trim() + "\u201D." : opts.empty));
      pager(nav, { total: found.length, offset: offset }, shown.length, opts.size, (o) => { offset = o; draw(); });
    }
    let typing = null;
    search.addEventListener("input", () => {
      clearTimeout(typing);
      typing = setTimeout(() => { offset = 0; draw(); }, 120);
    });
    draw();
    return el("section", { class: "card full", "data-section": title },
      el("div", { class: "card-head" }, el("h2", {}, title), count, items.length > opts.size ? search : null), body, nav);
  }

  function appsSection(sn, apps) {
    const code = localCode();
    const nameOf = (a) => (a.names || {})[code] || (a.names || {}).enu || a.app_id;
    return localList("Applications", apps, {
      noun: "application", size: 12, empty: "No applications reported.",
      text: (a) => [a.app_id, a.version].concat(Object.values(a.names || {})).join(" "),
      render: (shown) => el("div", { class: "apps" }, shown.map((a) => {
        const names = a.names || {}, name = nameOf(a);
        const others = Object.entries(names).filter(([c]) => c !== code && names[c] !== name).map(([c, n]) => c + ": " + n).join(" \u00B7 ");
        const icon = el("span", { class: "noicon", "aria-hidden": "true" });
        call("icon", { sn: sn, app_id: a.app_id }).then((d) => {
          icon.replaceWith(el("img", { src: "data:" + d.mime + ";base64," + d.data, alt: name + " icon", "data-app": a.app_id }));
        }).catch(() => {});
        return el("div", { class: "app" }, icon, el("div", {}, el("strong", {}, name), " ", el("span", { class: "sub" }, a.app_id + " \u00B7 " + (a.version || "no version")),
          others ? el("div", { class: "other" }, others) : null));
      })),
    });
  }

  const PKG_STATUS = { 1: "broken", 2: "running", 3: "stopped", 4: "other", 5: "not installed", 6: "version limit" };

  // A package's dependency or conflict rules, folded to their count.
  function rules(text) {
    const lines = String(text || "").split("\n").filter((l) => l.trim());
    if (!lines.length) return "\u2013";
    return el("details", { class: "rules" }, el("summary", {}, plural(lines.length, "rule")), el("pre", {}, lines.join("\n")));
  }

  function packagesSection(pkgs) {
    return localList("Packages", pkgs, {
      noun: "package", size: 12, empty: "No packages reported.",
      text: (p) => [p.pkg_id, p.display_name, p.version].join(" "),
      render: (shown) => table(["Package", "Version", "Status", "Dependencies", "Conflicts"],
        shown.map((p) => [el("span", {}, p.display_name || p.pkg_id, el("span", { class: "sub" }, p.pkg_id)), p.version,
          PKG_STATUS[p.status] || "unknown (" + p.status + ")", rules(p.dependencies), rules(p.conflicts)]), ""),
    });
  }

  function filesSection(files) {
    return localList("Mirror files", files, {
      noun: "file", size: 15, empty: "No mirror files.",
      text: (f) => f.path,
      render: (shown) => table(["Path", { label: "Size", num: true }, "Modified", "Mode"],
        shown.map((f) => [el("code", {}, f.path), bytes(f.size), when(f.mtime), el("code", {}, f.mode)]), ""),
    });
  }

  // Labels and words for the stored facts of a device; null hides an internal key.
  const onOff = (v) => (v ? "on" : "off");
  function plain(v) {
    if (typeof v === "boolean") return v ? "yes" : "no";
    if (Array.isArray(v)) return v.map(plain).join(", ");
    if (v !== null && typeof v === "object") return JSON.stringify(v);
    return String(v);
  }
  const LABELS = {
    ip: ["IP address"], unique: ["Unique id"], gluster_id: ["Cluster id"], product_version: ["Product version"],
    wol: ["Wake on LAN by port", (v) => (Array.isArray(v) ? v.map((on, i) => "LAN " + (i + 1) + " " + onOff(on)).join(", ") : onOff(v))],
    qx_id: null, cpu_model: ["Processor"], cpu_vendor: ["Processor maker"], cpu_cores: ["Processor cores"],
    mem_total: ["Memory", bytes], timezone: ["Time zone"], time_server: ["Time server"], dns_server: ["DNS server"],
    gateway: ["Gateway"], fan_count: ["Fans"], sys_temp: ["System temperature", temp],
    boot_time: ["Started", (t) => when(t) + " (" + ago(t) + ")"],
  };
  const words = (key) => { const w = String(key).replace(/_/g, " "); return w.charAt(0).toUpperCase() + w.slice(1); };
  function labelled(obj) {
    return Object.entries(obj || {}).filter(([k]) => LABELS[k] !== null).map(([k, v]) => {
      const [label, format] = LABELS[k] || [words(k)];
      return [label, v === null || v === undefined ? null : format ? format(v) : plain(v)];
    });
  }

  function timelineSection(sn) {
    const list = el("ol", { class: "timeline" });
    const select = el("select", { "aria-label": "Kind of change" }, el("option", { value: "" }, "All changes"),
      Object.entries(KINDS).map(([k, v]) => el("option", { value: k }, v + "s")));
    const more = el("button", { type: "button", class: "more", hidden: true }, "Show older changes");
    const note = el("p", { class: "empty" }, "Loading\u2026");
    let offset = 0;
    async function load(reset) {
      if (reset) {
        offset = 0;
        list.replaceChildren();
      }
      const params = { sn: sn, limit: 50, offset: offset };
      if (select.value) params.kind = select.value;
      try {
        const data = await call("history", params);
        list.append(...data.events.map((e) => eventItem(e, false)));
        offset += data.events.length;
        more.hidden = offset >= data.total;
        note.hidden = data.total > 0;
        note.textContent = select.value ? "No changes of this kind recorded." : "No changes recorded yet.";
      } catch (err) {
        note.hidden = false;
        note.textContent = "The history could not be read (" + err.message + ").";
      }
    }
    select.addEventListener("change", () => load(true));
    more.addEventListener("click", () => load(false));
    load(true);
    return el("section", { class: "card full", "data-section": "Timeline" },
      el("div", { class: "timeline-head" }, el("h2", {}, "Timeline"), select), note, list, more);
  }

  const dayDate = (d) => new Date(d * DAY * 1000);
  const dayLabel = (d) => dayDate(d).toLocaleDateString(undefined, { month: "short", day: "numeric" });

  // A line chart over days, from the first point to the last (or `xMax`); without the chart
  // library the figures beside it still show.
  function lineChart(canvas, datasets, yTitle, yText, xMax, fromZero) {
    if (!window.Chart) return;
    const days = datasets.flatMap((d) => d.data.map((p) => p.x));
    new window.Chart(canvas, {
      type: "line",
      data: { datasets: datasets },
      options: {
        animation: false, responsive: true, maintainAspectRatio: false, parsing: false,
        interaction: { mode: "nearest", axis: "x", intersect: false },
        scales: {
          x: { type: "linear", min: Math.min(...days), max: xMax || Math.max(...days), ticks: { callback: dayLabel, maxTicksLimit: 7 } },
          y: { beginAtZero: fromZero, title: { display: true, text: yTitle }, ticks: { callback: yText } },
        },
        plugins: {
          legend: { labels: { boxWidth: 12 } },
          tooltip: { callbacks: { title: (items) => (items.length ? dayDate(items[0].parsed.x).toLocaleDateString() : ""),
            label: (item) => item.dataset.label + ": " + yText(item.parsed.y) } },
        },
      },
    });
  }

  const points = (s, key) => s.points.filter((p) => p[key] !== null).map((p) => ({ x: p.day, y: p[key] }));

  // A volume's use and size by day, its trend carried on to the day it fills (at most 120
  // days ahead), and the estimate in words.
  function volumeChart(s) {
    const t = s.trend;
    const datasets = [
      { label: "Used", data: points(s, "used_last"), borderColor: "#2457a6", backgroundColor: "rgba(36, 87, 166, 0.12)", fill: "origin", pointRadius: 0, borderWidth: 2 },
      { label: "Size", data: points(s, "total_last"), borderColor: "#8a94a6", borderDash: [2, 3], pointRadius: 0, borderWidth: 1.5 },
    ];
    let estimate, xMax;
    if (!t) {
      estimate = el("p", { class: "estimate none" }, "Too few days for a trend.");
    } else {
      const end = t.fill_day !== null ? Math.min(t.fill_day, t.to_day + 120) : t.to_day;
      datasets.push({ label: "Trend", data: [{ x: t.from_day, y: t.from_used }, { x: end, y: t.from_used + t.per_day * (end - t.from_day) }],
        borderColor: "#d98f1a", borderDash: [6, 4], pointRadius: 0, borderWidth: 2 });
      xMax = Math.ceil(end);
      if (t.fill_days === null) {
        estimate = el("p", { class: "estimate none" }, "Not growing: no fill estimate.");
      } else {
        const text = fillText(t.fill_days);
        estimate = el("p", { class: "estimate" + (t.fill_days <= FILL_DAYS ? " soon" : "") },
          text[0].toUpperCase() + text.slice(1) + " (" + dayDate(t.fill_day).toLocaleDateString() + "), growing " + bytes(t.per_day) + " a day.");
      }
    }
    const canvas = el("canvas", { role: "img", "aria-label": "Use of volume " + s.object + " by day" });
    const box = el("div", { class: "chart-box", "data-volume": s.object }, el("h3", {}, s.object), el("div", { class: "chart" }, canvas), estimate);
    return { box: box, draw: () => lineChart(canvas, datasets, "Used", bytes, xMax, true) };
  }

  const PALETTE = ["#2457a6", "#b3261e", "#23734a", "#d98f1a", "#5b4a8a", "#00838f", "#6d4c41", "#ad1457"];

  // The charts of a device: each volume's use, and every disk's highest temperature a day.
  function chartSections(sn) {
    const vols = el("div", { class: "charts" }, el("p", { class: "empty" }, "Loading\u2026"));
    const temps = el("div", {}, el("p", { class: "empty" }, "Loading\u2026"));
    const failedText = (err) => el("p", { class: "empty" }, "The history could not be read (" + err.message + ").");
    call("series", { sn: sn, kind: "volume" }).then((data) => {
      if (!data.series.length) return vols.replaceChildren(el("p", { class: "empty" }, "No daily samples of volumes yet."));
      const charts = data.series.map(volumeChart);
      vols.replaceChildren(...charts.map((c) => c.box));
      charts.forEach((c) => c.draw());
    }).catch((err) => vols.replaceChildren(failedText(err)));
    call("series", { sn: sn, kind: "disk" }).then((data) => {
      if (!data.series.length) return temps.replaceChildren(el("p", { class: "empty" }, "No daily samples of disks yet."));
      // Days without a reading (a disk without a sensor reports 0) are left out, not drawn at 0.
      const read = data.series.map((s) => ({ object: s.object, data: points(s, "temp_max").filter((p) => hasTemp(p.y)) })).filter((s) => s.data.length);
      if (!read.length) return temps.replaceChildren(el("p", { class: "empty" }, "No disk of this device reports a temperature."));
      const canvas = el("canvas", { role: "img", "aria-label": "Highest disk temperatures by day" });
      temps.replaceChildren(el("div", { class: "chart-box", "data-disks": read.length }, el("div", { class: "chart" }, canvas)));
      lineChart(canvas, read.map((s, i) => ({ label: s.object, data: s.data, borderColor: PALETTE[i % PALETTE.length],
        backgroundColor: PALETTE[i % PALETTE.length], pointRadius: s.data.length > 60 ? 0 : 2, borderWidth: 2 })), "\u00B0C", (v) => v + " \u00B0C", 0, false);
    }).catch((err) => temps.replaceChildren(failedText(err)));
    return [section("Volume use", vols, true), section("Disk temperature", temps, true)];
  }

  // `listed` is the device's row of the fleet list (its summary's marks), null if unknown.
  function deviceView(data, listed) {
    const d = data.device, c = data.cache;
    const vols = c.vol_info, disks = c.hdd_info;
    const info = data.info.length ? Object.assign({}, ...data.info) : {};
    return [
      el("div", { class: "device-title" }, el("h1", { tabindex: "-1" }, d.hostname || d.sn), el("span", { class: "sub" }, d.sn),
        listed ? marksOf(listed).map(markOf) : null),
      state.admin ? manageBar(d.sn, data) : null,
      el("div", { class: "sections" },
        section("Identity", facts([["Serial number", d.sn], ["Host name", d.hostname], ["Model", d.model_name], ["Version", d.version],
          ["Build", d.build_number], ["Small fix", d.smallfix_number], ["Up time", duration(d.up_time)], ["Cluster role", roleText(d.cluster_role)],
          ["Wake on LAN", onOff(d.wol)], ["Registry id", d.id], ["Status", statusText(d.status)],
          ["Last contact", contact(data.liveness)]].concat(labelled(d.extra)))),
        section("Extended information", Object.keys(info).length ? facts(labelled(info)) : el("p", { class: "empty" }, "None reported.")),
        timelineSection(d.sn),
        chartSections(d.sn),
        volumesSection(vols),
        section("Disk groups", table(["Group", "Status", "RAID", { label: "Used", num: true }, { label: "Size", num: true }],
          c.dg_info.map((g) => [g.name, g.status, g.raid_type, bytes(g.size_used), bytes(g.size_total)]), "No disk groups reported.")),
        disksSection(disks),
        section("Shares", table(["Share", "Description", "Volume", "Hidden"],
          c.share_info.map((s) => [s.name, s.description, s.display_vol_name || s.vol_id, s.hidden ? "yes" : "no"]), "No shares reported."), true),
        appsSection(d.sn, data.applications),
        packagesSection(data.packages),
        filesSection(data.files)),
    ];
  }

  // --- management, for admin tokens: every action asks first, and is in the audit trail ---

  function manageBar(sn, data) {
    const pending = data.enrollment && data.enrollment.state === "pending";
    const act = (label, method) => el("button", { type: "button", class: "manage", "data-action": method }, label);
    const bar = el("div", { class: "manage-bar" },
      pending ? act("Approve", "approve") : null,
      pending ? act("Reject", "reject") : null,
      act("Move to group…", "move"),
      act("Revoke sessions", "revoke_sessions"),
      act("Remove…", "remove"));
    bar.addEventListener("click", async (e) => {
      const b = e.target.closest("button[data-action]");
      if (!b) return;
      const method = b.dataset.action, params = { sn: sn };
      if (method === "move") {
        const group = prompt("Move " + sn + " to which group?", data.group || "");
        if (!group) return;
        params.group = group;
      }
      const question = method === "remove"
        ? "Remove " + sn + " and everything stored for it (records, sessions, cache rows, mirror files, spool, history)? This cannot be undone."
        : b.textContent.replace("…", "") + " " + sn + "?";
      if (!confirm(question)) return;
      try {
        await call(method, params, MANAGE);
        if (method === "remove") location.hash = "#/";
        else openDevice(sn);
      } catch (err) {
        // A removal that stopped halfway is in the trail with what it did; a second one finishes it.
        if (method === "remove" && err instanceof ApiError && err.code === 500) {
          $("failure").textContent = "The removal of " + sn + " stopped before it finished (the audit trail says how far it went). Remove it again to finish.";
          $("failure").hidden = false;
        } else failed(err);
      }
    });
    return bar;
  }

  async function loadAudit() {
    const box = $("audit");
    box.hidden = !state.admin;
    if (!state.admin) return;
    try {
      const data = await call("audit", {}, MANAGE);
      box.querySelector(".body").replaceChildren(table(["When", "Who", "Action", "Device", "Object", "Address", "Result"],
        data.entries.slice(0, 50).map((e) => [when(e.at), e.who, e.action, e.device || "–", e.object || "–", e.address || "–", e.result]), "Nothing done yet."));
    } catch (err) {
      failed(err);
    }
  }

  async function openDevice(sn) {
    show("device");
    const body = $("device-body");
    body.replaceChildren(el("p", { class: "empty" }, "Loading\u2026"));
    try {
      // The list's row brings the marks the summary gives the device, as the fleet shows them.
      const [data, list] = await Promise.all([call("get", { sn: sn }), call("list", { filter: sn, limit: 50 }).catch(() => null)]);
      const listed = list ? list.devices.find((d) => d.sn === sn) || null : null;
      body.replaceChildren(...deviceView(data, listed));
      document.title = (data.device.hostname || sn) + " \u00B7 FLX inventory";
      body.querySelector("h1").focus();
    } catch (err) {
      if (err instanceof ApiError && err.code === 404) body.replaceChildren(el("p", { class: "error" }, "No device with serial number " + sn + "."));
      else failed(err);
    }
  }

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

  // --- routing and events ---

  // An admin token answers the trail; any other gets 105 and sees no management.
  async function learnRole() {
    try {
      await call("audit", { }, MANAGE);
      state.admin = true;
    } catch (err) {
      state.admin = false;
    }
  }

  async function route() {
    if (!state.token) return signOut();
    if (state.admin === null) await learnRole();
    const m = location.hash.match(/^#\/device\/(.+)$/);
    if (m) return openDevice(decodeURIComponent(m[1]));
    const sw = location.hash.match(/^#\/software\/(package|application)\/([^?]+)(?:\?(.*))?$/);
    if (sw) return openSoftwareItem(sw[1], decodeURIComponent(sw[2]), sw[3]);
    if (/^#\/software\/?$/.test(location.hash)) return openSoftware();
    document.title = "FLX inventory";
    return openFleet();
  }

  $("login-form").addEventListener("submit", async (e) => {
    e.preventDefault();
    state.token = $("token").value.trim();
    try {
      await call("list", { limit: 0 });
      sessionStorage.setItem(TOKEN_KEY, state.token);
      state.admin = null;
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

  $("group-filter").addEventListener("change", () => {
    state.group = $("group-filter").value.trim();
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

  let swTyping = null;
  $("sw-filter").addEventListener("input", () => {
    clearTimeout(swTyping);
    swTyping = setTimeout(() => {
      state.sw.name = $("sw-filter").value.trim();
      state.sw.offset = 0;
      loadSoftware();
    }, 150);
  });
  $("sw-kind").addEventListener("change", () => {
    state.sw.kind = $("sw-kind").value;
    state.sw.offset = 0;
    loadSoftware();
  });

  window.addEventListener("hashchange", route);
  route();
})();
