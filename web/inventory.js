// The inventory page: reads KEVO.FLX.Inventory through /webapi/entry.cgi with the operator's
// token, kept in sessionStorage for this browser session only.
"use strict";

(function () {
  const API = "KEVO.FLX.Inventory";
  const MANAGE = "KEVO.FLX.Manage";
  const STALE_SECONDS = 3600;
  const FULL_PERCENT = 90;
  const PAGE = 100;
  const TOKEN_KEY = "flx-inventory-token";

  const $ = (id) => document.getElementById(id);
  const state = { sort: "hostname", order: "asc", filter: "", group: "", offset: 0, admin: null, token: sessionStorage.getItem(TOKEN_KEY) };

  class ApiError extends Error {
    constructor(code) {
      super("error " + code);
      this.code = code;
    }
  }

  async function call(method, params, api) {
    const body = new URLSearchParams({ api: api || API, version: "1", method: method, _sid: state.token || "" });
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
  // Another machine used the device's session or serial; the operator clears it on the host.
  const identityMark = (e) => (e && e.identity === "identity-conflict"
    ? mark("warn", "\u26A0 IDENTITY CONFLICT", "Another machine used this device's session or serial; see flx-admin device approve")
    : e && e.state === "pending" ? mark("stale", "\u23F8 PENDING", "Waits for flx-admin device approve") : null);

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
    // Set through the style object: a style attribute would need 'unsafe-inline'.
    const fill = el("i");
    fill.style.width = p + "%";
    return el("span", { class: "bar" + (warn ? " warn" : "") + (wide ? " wide" : ""), role: "img", "aria-label": p.toFixed(1) + " % used" }, fill);
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
    { key: "group", label: "Group", opt: true, nosort: true },
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
        c.nosort ? c.label : el("button", { type: "button", "data-sort": key }, c.label));
      row.append(th);
    }
  }

  function deviceMarks(d) {
    const s = d.summary, marks = [];
    if (isStale(d)) marks.push(mark("stale", "\u25F7 STALE", "No report for more than 1 h"));
    if (s.disk_failing > 0) marks.push(mark("bad", "\u2716 " + s.disk_failing + " DISK" + (s.disk_failing > 1 ? "S" : "") + " FAILING"));
    if (s.vol_max_use >= FULL_PERCENT) marks.push(mark("warn", "\u25B2 VOLUME FULL", "A volume is " + s.vol_max_use + " % used"));
    if (identityMark(d.enrollment)) marks.push(identityMark(d.enrollment));
    if (!marks.length) marks.push(mark("ok", "\u2714 OK"));
    return marks;
  }

  function fleetRow(d) {
    const s = d.summary;
    const tr = el("tr", { class: [isStale(d) && "is-stale", s.disk_failing > 0 && "is-failing", s.vol_max_use >= FULL_PERCENT && "is-full"].filter(Boolean).join(" ") || null, "data-sn": d.sn });
    const full = s.vol_max_use >= FULL_PERCENT;
    tr.append(
      el("td", {}, el("a", { href: "#/device/" + encodeURIComponent(d.sn) }, d.hostname || d.sn), el("span", { class: "sub" }, d.sn)),
      el("td", { class: "opt" }, d.group || "–"),
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
      const params = { sort: state.sort, order: state.order, filter: state.filter, limit: PAGE, offset: state.offset };
      if (state.group) params.group = state.group;
      const data = await call("list", params);
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
    $("who").textContent = state.admin ? "Admin session" : "Operator session";
    header();
    try {
      await Promise.all([loadFleet(), countLine(), fleetHistory(), loadAudit()]);
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
      const canvas = el("canvas", { role: "img", "aria-label": "Highest disk temperatures by day" });
      temps.replaceChildren(el("div", { class: "chart-box", "data-disks": data.series.length }, el("div", { class: "chart" }, canvas)));
      lineChart(canvas, data.series.map((s, i) => ({ label: s.object, data: points(s, "temp_max"), borderColor: PALETTE[i % PALETTE.length],
        backgroundColor: PALETTE[i % PALETTE.length], pointRadius: s.points.length > 60 ? 0 : 2, borderWidth: 2 })), "\u00B0C", (v) => v + " \u00B0C", 0, false);
    }).catch((err) => temps.replaceChildren(failedText(err)));
    return [section("Volume use", vols, true), section("Disk temperature", temps, true)];
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
    if (identityMark(data.enrollment)) marks.push(identityMark(data.enrollment));

    return [
      el("div", { class: "device-title" }, el("h1", {}, d.hostname || d.sn), el("span", { class: "sub" }, d.sn), marks),
      state.admin ? manageBar(d.sn, data) : null,
      el("div", { class: "sections" },
        section("Identity", facts([["Serial number", d.sn], ["Host name", d.hostname], ["Model", d.model_name], ["Version", d.version],
          ["Build", d.build_number], ["Small fix", d.smallfix_number], ["Up time", duration(d.up_time)], ["Cluster role", d.cluster_role],
          ["Wake on LAN", d.wol ? "on" : "off"], ["Registry id", d.id], ["Status", STATUS[d.status] || d.status], ["Last report", lastSeen ? when(lastSeen) + " (" + ago(lastSeen) + ")" : "never"]].concat(extra))),
        section("Extended information", Object.keys(info).length ? facts(Object.entries(info).map(([k, v]) => [k, k === "mem_total" ? bytes(v) : typeof v === "object" ? JSON.stringify(v) : String(v)])) : el("p", { class: "empty" }, "None reported.")),
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
        section("Mirror files", table(["Path", { label: "Size", num: true }, "Modified", "Mode"],
          data.files.map((f) => [el("code", {}, f.path), bytes(f.size), when(f.mtime), el("code", {}, f.mode)]), "No mirror files."), true)),
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
      act("Revoke sessions", "revoke_sessions"));
    bar.addEventListener("click", async (e) => {
      const b = e.target.closest("button[data-action]");
      if (!b) return;
      const method = b.dataset.action, params = { sn: sn };
      if (method === "move") {
        const group = prompt("Move " + sn + " to which group?", data.group || "");
        if (!group) return;
        params.group = group;
      }
      if (!confirm(b.textContent.replace("…", "") + " " + sn + "?")) return;
      try {
        await call(method, params, MANAGE);
        openDevice(sn);
      } catch (err) {
        failed(err);
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

  window.addEventListener("hashchange", route);
  route();
})();
