// The device page: everything stored for one device, its timeline and its charts.

import { $, FULL_PERCENT, state, ApiError, call, el, mark, plural, NONE, bytes, duration, ago, when, bar, overUse, hasTemp, temp, statusText, roleText, contact, markOf, marksOf, show, failed, pager, DAY, KINDS, FILL_DAYS, eventItem, fillText, table } from "./inventory-common.js";
import { manageBar } from "./inventory-manage.js";

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

export { openDevice };
