// The inventory page: reads KEVO.FLX.Inventory through /webapi/entry.cgi with the operator's
// token. This module signs in, routes the address's fragment to a view and wires the
// controls that are in the page from the start.

import { $, MANAGE, TOKEN_KEY, state, ApiError, call, failed, signOut } from "./inventory-common.js";
import { loadFleet, openFleet } from "./inventory-fleet.js";
import { openDevice } from "./inventory-device.js";
import { loadSoftware, openSoftware, openSoftwareItem } from "./inventory-software.js";

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
