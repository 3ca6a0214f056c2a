#!/usr/bin/env python3
"""Time and size of a /metrics scrape through the host's nginx front on a large fleet: the
inventory benchmark's shape (8 volumes and 24 disks a device; every 50th device with a failing
disk, every 40th with a full volume, every 30th a day silent) with a history summary row per
device. Prints p50, p99 and the largest time over ROUNDS scrapes, and the scrape's size.

    bench/metrics-scrape.py [BUILD] [DEVICES] [ROUNDS]    (default build/dev 10000 50)"""
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.request

build = sys.argv[1] if len(sys.argv) > 1 else "build/dev"
devices = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 50
# VOLUMES and DISKS (environment) change the shape.
VOLUMES = int(os.environ.get("VOLUMES", "8"))
DISKS = int(os.environ.get("DISKS", "24"))
bin_ = os.path.join(build, "bin")
tmp = tempfile.mkdtemp(prefix="metrics-scrape.")
root = os.path.join(tmp, "root")
os.mkdir(root)
env = dict(os.environ, FLX_ROOT=root)
db = os.path.join(root, "var/packages/FLX/target/db")


def fill(now):
    reg = sqlite3.connect(os.path.join(db, "flx_registry.sqlite"))
    reg.executemany("INSERT INTO devices(sn, hostname, model_name, version, status, up_time) "
                    "VALUES(?, ?, 'KV-4120', 'QXM 5.1.4', 2, 0)",
                    (("SN%d" % (100000 + r), "host-%d" % r) for r in range(devices)))
    reg.commit()
    cache = sqlite3.connect(os.path.join(db, "flx_db.sqlite"))

    def mtime(dev):
        return now - 86400 if dev % 30 == 0 else now - dev % 600
    cache.executemany(
        "INSERT INTO vol_info(name, status, size_total, size_used, mtime, qx_id) "
        "VALUES(?, 'ready', 1000, ?, ?, ?)",
        (("vol%d" % (r % VOLUMES),
          970 if (r // VOLUMES) % 40 == 0 and r % VOLUMES == 0 else (r * 37) % 800,
          mtime(r // VOLUMES), r // VOLUMES + 1) for r in range(devices * VOLUMES)))
    cache.executemany(
        "INSERT INTO hdd_info(dev, status, smart_status, model, temp, size_total, mtime, qx_id) "
        "VALUES(?, ?, 'normal', 'HDX', ?, 4000, ?, ?)",
        (("sd%d" % (r % DISKS), "warning" if (r // DISKS) % 50 == 0 and r % DISKS == 3 else "good",
          28 + (r * 7) % 30, mtime(r // DISKS), r // DISKS + 1) for r in range(devices * DISKS)))
    cache.commit()
    # The history's summary rows, as its writer keeps them (flx-admin init made the table; the
    # same columns as flxhistory_schema.h otherwise).
    hist = sqlite3.connect(os.path.join(db, "flx_history.sqlite"))
    hist.execute("CREATE TABLE IF NOT EXISTS summary(device_id INTEGER PRIMARY KEY, last_seen INTEGER,"
                 " vol_count INTEGER NOT NULL DEFAULT 0, vol_max_use REAL, vol_max_name TEXT,"
                 " disk_count INTEGER NOT NULL DEFAULT 0,"
                 " disk_failing INTEGER NOT NULL DEFAULT 0, disk_max_temp INTEGER,"
                 " app_count INTEGER NOT NULL DEFAULT 0, pkg_count INTEGER NOT NULL DEFAULT 0,"
                 " fill_days REAL, marks TEXT NOT NULL DEFAULT '[]')")
    hist.executemany("INSERT INTO summary(device_id, last_seen, disk_failing) VALUES(?, ?, ?)",
                     ((d + 1, mtime(d), 1 if d % 50 == 0 else 0) for d in range(devices)))
    hist.commit()


host = None
try:
    subprocess.run([os.path.join(bin_, "flx-admin"), "init"], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    t0 = time.monotonic()
    fill(int(time.time()))
    print("filled %d devices (%d volumes, %d disks each) in %.1f s"
          % (devices, VOLUMES, DISKS, time.monotonic() - t0))
    host = subprocess.Popen([os.path.join(bin_, "flx-webapi-host"), "--listen", "127.0.0.1:0",
                             "--workers", "2"], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    url = "http://" + host.stdout.readline().split()[-1] + "/metrics"
    times, size, lines = [], 0, 0
    # curl, as a scraper reads it (Python's own reading would be most of the time).
    for _ in range(rounds):
        out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{time_total} %{size_download}",
                              url], check=True, capture_output=True, text=True).stdout.split()
        times.append(float(out[0]) * 1000)
        size = int(out[1])
    times.sort()
    with urllib.request.urlopen(url, timeout=30) as r:
        text = r.read().decode()
    lines = text.count("\n")
    read = [l for l in text.splitlines() if l.startswith("flx_fleet_read_seconds ")]
    print("scrape of %d devices: %d bytes, %d lines; p50 %.0f ms, p99 %.0f ms, max %.0f ms "
          "(fleet read %s s)" % (devices, size, lines, times[len(times) // 2],
                                 times[min(len(times) - 1, len(times) * 99 // 100)], times[-1],
                                 read[0].split()[1] if read else "?"))
finally:
    if host is not None:
        host.terminate()
        host.wait(timeout=30)
    shutil.rmtree(tmp, ignore_errors=True)
