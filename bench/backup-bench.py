#!/usr/bin/env python3
"""Backup, restore and check of a large root while pushes run.

A root of DEVICES (10000) devices in the inventory benchmark's shape (8 volumes, 24 disks,
30 applications each; 10 packages each, with their mirrored INFO files and the device's
kevoinfo.conf, and a summary row), plus 100 devices that push the demo batch at 100 pushes/s
through a host on a loopback port (bench/load.cpp). The load runs twice: once alone (the
baseline) and once with `flx-admin backup` started in its middle; the ratio of the longest
push latencies is printed. Then the backup is verified and restored into an empty root (its
time), a quiet backup of the end state is restored too and compared with the root (every
table row and mirror file equal, and `flx-admin device show` equal for a sample), and
`flx-admin check` runs on the root, then with 20 planted faults of different kinds, then with
--repair, and once more.
    bench/backup-bench.py [BUILD]       (default build/bench; build/dev works, slower)
"""
import hashlib, os, random, re, sqlite3, subprocess, sys, threading, time

from benchroot import scratch

DEVICES = int(os.environ.get("DEVICES", "10000"))
VOLS, DISKS, APPS, PKGS = 8, 24, 30, 10
build, bin_, tmp, root, env, admin = scratch("backup-bench.")
target = os.path.join(root, "var/packages/FLX/target")
db_dir = os.path.join(target, "db")


def fill():
    reg = sqlite3.connect(os.path.join(db_dir, "flx_registry.sqlite"))
    reg.executemany("INSERT INTO devices(sn, hostname, model_name, version, status) "
                    "VALUES(?, ?, 'KV-4120', 'QXM 5.1.0', 2)",
                    (("SN%06d" % i, "host-%d" % i) for i in range(DEVICES)))
    reg.executemany("INSERT INTO sessions(sid, sn, api_class) VALUES(?, ?, 'KEVO.FLX.RPC')",
                    (("sid-%032d" % i, "SN%06d" % i) for i in range(DEVICES)))
    reg.executemany("INSERT INTO apps(qx_id, app_id, name_enu, version) VALUES(?, ?, ?, '1.0')",
                    ((d + 1, "App%d" % a, "Application %d" % a)
                     for d in range(DEVICES) for a in range(APPS)))
    reg.executemany("INSERT INTO pkgs(qx_id, pkg_id, display_name, version) VALUES(?, ?, ?, ?)",
                    ((d + 1, "Pkg%d" % p, "Package %d" % p, "2.%d.0" % (d % 12))
                     for d in range(DEVICES) for p in range(PKGS)))
    reg.commit()
    cache = sqlite3.connect(os.path.join(db_dir, "flx_db.sqlite"))
    cache.executemany("INSERT INTO vol_info(name, status, size_total, size_used, mtime, qx_id) "
                      "VALUES(?, 'ready', 1000, ?, 1, ?)",
                      (("vol%d" % v, (d * 37 + v) % 800, d + 1)
                       for d in range(DEVICES) for v in range(VOLS)))
    cache.executemany("INSERT INTO hdd_info(dev, status, smart_status, model, temp, size_total,"
                      " mtime, qx_id) VALUES(?, 'good', 'normal', 'HDX', 30, 4000, 1, ?)",
                      (("sd%d" % k, d + 1) for d in range(DEVICES) for k in range(DISKS)))
    cache.commit()
    hist = sqlite3.connect(os.path.join(db_dir, "flx_history.sqlite"))
    hist.executemany("INSERT INTO summary(device_id, last_seen, vol_count, disk_count, app_count,"
                     " pkg_count) VALUES(?, 1, ?, ?, ?, ?)",
                     ((d + 1, VOLS, DISKS, APPS, PKGS) for d in range(DEVICES)))
    hist.commit()
    for d in range(DEVICES):
        mirror = os.path.join(target, "qxinfo", str(d + 1))
        for p in range(PKGS):
            os.makedirs(os.path.join(mirror, "pkgs", "Pkg%d" % p))
            with open(os.path.join(mirror, "pkgs", "Pkg%d" % p, "INFO"), "w") as f:
                f.write('package="Pkg%d"\nversion="2.%d.0"\n' % (p, d % 12))
        with open(os.path.join(mirror, "kevoinfo.conf"), "w") as f:
            f.write('hostname="host-%d"\n' % d)


def load(url, seconds, during=None):
    """Runs flx-load at 100 pushes/s; `during` runs in a thread from a third of the way in."""
    result = {}
    if during:
        def later():
            time.sleep(1 + seconds / 3)
            result["during"] = during()
        t = threading.Thread(target=later)
        t.start()
    out = subprocess.run([os.path.join(bin_, "flx-load"), "--url", url + "/webapi/entry.cgi",
                          "--devices", "100", "--clients", "8", "--rate", "100", "--warmup", "1",
                          "--seconds", str(seconds)], env=env, capture_output=True, text=True).stdout
    if during:
        t.join()
    m = re.search(r"batches/s ([\d.]+)\s+\((\d+) in [\d.]+ s, (\d+) errors", out)
    lat = re.search(r"latency ms\s+p50 ([\d.]+)\s+p90 [\d.]+\s+p99 ([\d.]+)\s+max ([\d.]+)", out)
    if not m or not lat:
        sys.exit("flx-load said: " + out)
    result.update(pushes=int(m.group(2)), errors=int(m.group(3)), p50=float(lat.group(1)),
                  p99=float(lat.group(2)), max=float(lat.group(3)))
    return result


def timed(*args):
    start = time.time()
    p = subprocess.run([os.path.join(bin_, "flx-admin"), *args], env=env, capture_output=True,
                       text=True)
    return time.time() - start, p


def content(r):
    """Every row of every table of the three databases and every mirror and spool file."""
    h = hashlib.sha256()
    for name in ("flx_registry.sqlite", "flx_db.sqlite", "flx_history.sqlite"):
        db = sqlite3.connect("file:%s?mode=ro" % os.path.join(r, "var/packages/FLX/target/db", name),
                             uri=True)
        for (table,) in db.execute("SELECT name FROM sqlite_master WHERE type='table' "
                                   "AND name NOT LIKE 'sqlite_%' ORDER BY name"):
            for row in db.execute('SELECT * FROM "%s" ORDER BY 1, 2' % table):
                h.update(repr((table, row)).encode())
    for area in ("qxinfo", "spool"):
        top = os.path.join(r, "var/packages/FLX/target", area)
        for d, _, files in sorted(os.walk(top)):
            for f in sorted(files):
                p = os.path.join(d, f)
                st = os.lstat(p)
                h.update(repr((os.path.relpath(p, r), st.st_size, int(st.st_mtime), st.st_mode)).encode())
                h.update(open(p, "rb").read())
    return h.hexdigest()


def show(r, sn):
    return subprocess.run([os.path.join(bin_, "flx-admin"), "device", "show", sn],
                          env=dict(env, FLX_ROOT=r), capture_output=True, text=True).stdout


admin("init")
t0 = time.time()
fill()
print("filled %d devices (%d volumes, %d disks, %d applications, %d packages with their INFO "
      "files each) in %.0f s" % (DEVICES, VOLS, DISKS, APPS, PKGS, time.time() - t0))
log = open(os.path.join(tmp, "host.log"), "w")
host = subprocess.Popen([os.path.join(bin_, "flx-webapi-host"), "--listen", "127.0.0.1:0",
                         "--log-level", "warning"], env=env, stdout=subprocess.PIPE, stderr=log,
                        text=True)
url = "http://" + host.stdout.readline().split()[-1]
try:
    base = load(url, 15)
    backup_dir = os.path.join(tmp, "backup")
    under = load(url, 15, during=lambda: timed("backup", backup_dir))
    took, p = under["during"]
    if p.returncode != 0:
        sys.exit("backup failed: " + p.stderr)
    window = re.search(r"pushes held for ([\d.]+) s", p.stdout).group(1)
    print("baseline: %d pushes at 100/s, %d failed, latency p50 %.1f p99 %.1f max %.1f ms"
          % (base["pushes"], base["errors"], base["p50"], base["p99"], base["max"]))
    print("backup:   %d pushes at 100/s, %d failed, latency p50 %.1f p99 %.1f max %.1f ms; "
          "max/baseline max %.2fx (%s)" % (under["pushes"], under["errors"], under["p50"],
                                           under["p99"], under["max"], under["max"] / base["max"],
                                           "ok" if under["max"] < 1000 and under["errors"] == 0
                                           else "OVER 1 s OR FAILED"))
    print("backup of the root: %.1f s, pushes held for %s s" % (took, window))
    took, p = timed("backup", "--verify", backup_dir)
    print("verify: %.1f s: %s" % (took, (p.stdout + p.stderr).strip().splitlines()[-1]))
finally:
    host.terminate()
    host.wait(timeout=60)

quiet = os.path.join(tmp, "quiet")
took, p = timed("backup", quiet)
print("backup of the root without pushes: %.1f s, %s" % (
    took, re.search(r"pushes held for .*", p.stdout).group(0) if p.returncode == 0 else p.stderr))
restored = os.path.join(tmp, "restored")
os.mkdir(restored)
start = time.time()
r = subprocess.run([os.path.join(bin_, "flx-admin"), "restore", quiet],
                   env=dict(env, FLX_ROOT=restored), capture_output=True, text=True)
print("restore: %.1f s (%s)" % (time.time() - start, (r.stdout + r.stderr).strip()))
same = content(root) == content(restored)
sample = random.Random(1).sample(["SN%06d" % i for i in range(DEVICES)], 200)
sample += ["BENCH%07d" % i for i in range(3)]
shows = sum(show(root, sn) == show(restored, sn) for sn in sample)
print("restored root: every row and mirror file %s; device show equal for %d of %d sampled "
      "devices" % ("equal" if same else "DIFFERENT", shows, len(sample)))

took, p = timed("check")
print("check of the root: %.1f s, %s" % (took, p.stdout.strip().splitlines()[-1]))
clean = content(root)
# 20 faults of nine kinds: 3 sessions, 3 application rows, 3 cache rows, 3 history rows and 3
# mirror folders of removed devices, 2 summaries, a spool folder, a lock file, a mode.
reg = sqlite3.connect(os.path.join(db_dir, "flx_registry.sqlite"))
cache = sqlite3.connect(os.path.join(db_dir, "flx_db.sqlite"))
hist = sqlite3.connect(os.path.join(db_dir, "flx_history.sqlite"))
gone = [DEVICES + 1000 + i for i in range(3)]
for i, g in enumerate(gone):
    reg.execute("INSERT INTO sessions(sid, sn, api_class) VALUES(?, ?, 'X')",
                ("gone-session-%020d" % i, "GONE%d" % i))
    reg.execute("INSERT INTO apps(qx_id, app_id) VALUES(?, 'a')", (g,))
    cache.execute("INSERT INTO vol_info(name, qx_id) VALUES('v', ?)", (g,))
    hist.execute("INSERT INTO state(device_id, state, updated) VALUES(?, '{}', 1)", (g,))
    os.makedirs(os.path.join(target, "qxinfo", str(g)))
hist.execute("UPDATE summary SET vol_count = 3 WHERE device_id IN (5, 6)")
for c in (reg, cache, hist):
    c.commit()
spool = os.path.join(target, "spool")
if not os.path.isdir(spool):
    os.mkdir(spool)
    os.chmod(spool, 0o711)
os.mkdir(os.path.join(spool, str(gone[0])), 0o700)
open(os.path.join(target, "lock", str(gone[1])), "w").close()
os.chmod(os.path.join(target, "etc/push.key"), 0o644)
took, p = timed("check")
print("check with 20 planted faults: %.1f s, exit %d, %s" % (
    took, p.returncode, ", ".join(l for l in p.stdout.splitlines() if re.match(r"^\d+ [a-z-]+$", l))))
took, p = timed("check", "--repair")
print("check --repair: %.1f s, exit %d, %s" % (took, p.returncode, p.stdout.strip().splitlines()[-1]))
took, p = timed("check")
print("check after the repair: %.1f s, exit %d, %s; the stores %s" % (
    took, p.returncode, p.stdout.strip().splitlines()[-1],
    "as before the faults" if content(root) == clean else "CHANGED otherwise"))
subprocess.run(["rm", "-rf", tmp])
