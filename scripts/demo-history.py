#!/usr/bin/env python3
"""Gives the demo fleet a few weeks of history: pushes each device's batch as it was on
earlier days (collect times in the past), each round followed by `flx-history --once`, and
then the current batches again, so the stores end as they were.

    demo-history.py BIN URL FLEET_LIST [DAYS]

FLEET_LIST holds the lines demo-fleet.py printed ("SN HOSTNAME BATCH"). Over the days the
media vault's second volume fills, the office device's second disk warms up and goes bad in
the last days, and a package it had is removed ten days ago. Skips with a note when
flx-history is not built."""
import base64
import copy
import json
import os
import subprocess
import sys
import tempfile
import time

DAY = 86400
FULL, FAILING = "2150PDN005133", "2150PDN004802"


def past_batch(batch, sn, days_ago):
    """The device's batch as it was `days_ago` days before its current one."""
    old = copy.deepcopy(batch)
    for item in old:
        item["collect_time"] -= days_ago * DAY
        data, kind = item["data"], item["module_name"]
        if kind == "basic":
            data["kevoinfo"]["mtime"] = item["collect_time"]
            data["up_time"] = max(3600, data["up_time"] - days_ago * DAY)
        elif kind == "storage":
            for n, vol in enumerate(data["vol"]):
                share = vol["size_used"] / vol["size_total"]
                rate = 0.009 if sn == FULL and n == 1 else 0.001 * (n + 1)
                vol["size_used"] = int(vol["size_total"] * max(0.05, share - rate * days_ago))
            for n, disk in enumerate(data["hdd"]):
                if sn == FAILING and n == 1:
                    disk["temp"] = 58 - days_ago // 2
                    if days_ago >= 3:
                        disk.update(status="good", smart_status="normal")
                else:
                    disk["temp"] += (days_ago * 7 + n) % 4 - 2
        elif kind == "package" and sn == FAILING and days_ago > 10:
            legacy = copy.deepcopy(data["packages"][-1])
            legacy.update(id="LegacySync", version="0.9.4", status="stop")
            info = 'package="LegacySync"\nversion="0.9.4"\ndisplayname="Legacy Sync"\n'
            legacy["info"] = {"data": base64.b64encode(info.encode()).decode(),
                              "size": len(info), "mtime": item["collect_time"]}
            data["packages"].append(legacy)
    return old


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    bindir, url, fleet_list = sys.argv[1:4]
    days = int(sys.argv[4]) if len(sys.argv) == 5 else 28
    history = os.path.join(bindir, "flx-history")
    if not os.access(history, os.X_OK):
        print("history: flx-history is not built; the demo fleet starts without history")
        return
    admin = os.path.join(bindir, "flx-admin")
    fleet = [line.split() for line in open(fleet_list) if line.strip()]
    sids = {sn: subprocess.run([admin, "session", "add", "--sn", sn], check=True,
                               capture_output=True, text=True).stdout.strip()
            for sn, _, _ in fleet}
    batches = {sn: json.load(open(path)) for sn, _, path in fleet}
    started = time.time()
    with tempfile.TemporaryDirectory(prefix="flx-demo-history-") as tmp:
        # Every other day, oldest first, then today's batches as they are.
        for days_ago in list(range(days, 0, -2)) + [0]:
            for sn, _, path in fleet:
                if days_ago:
                    path = os.path.join(tmp, sn + ".json")
                    with open(path, "w") as out:
                        json.dump(past_batch(batches[sn], sn, days_ago), out)
                subprocess.run([os.path.join(bindir, "flx-push"), "--url", url, "--sid", sids[sn],
                                "--client-sn", sn, path], check=True, stdout=subprocess.DEVNULL)
            subprocess.run([history, "--once", "--log-stderr"], check=True)
    print("history: %d days of the demo fleet in %.1f s" % (days, time.time() - started))


if __name__ == "__main__":
    main()
