// Management, for admin tokens: every action asks first, and is in the audit trail.

import { $, MANAGE, state, ApiError, call, el, when, failed, table } from "./inventory-common.js";
import { openDevice } from "./inventory-device.js";

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

export { manageBar, loadAudit };
