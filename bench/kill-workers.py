#!/usr/bin/env python3
"""Kills a host worker with SIGKILL in the middle of a push, ROUNDS times, and checks after each
that the replacement ran the request again and that the device's rows come from that one whole
push (one collect time per table, every row there) before the device pushes again; at the end,
that both databases pass PRAGMA integrity_check. Prints the times to a replacement worker and to
the rerun; exits 1 when a check fails.
    bench/kill-workers.py [BUILD]     (default build/bench; ROUNDS=20)
"""
import glob, json, os, random, signal, sqlite3, subprocess, sys, tempfile, time

from benchroot import scratch

rounds = int(os.environ.get("ROUNDS", "20"))
build, bin_, tmp, root, env, admin = scratch("kill-workers.")
target = os.path.join(root, "var/packages/FLX/target")
expected = {"vol_info": 2, "dg_info": 1, "hdd_info": 4, "share_info": 3}


def workers(host):
    out = subprocess.run(["ps", "-o", "pid=,comm=", "--ppid", str(host)], capture_output=True,
                         text=True).stdout.split("\n")
    return {int(l.split()[0]) for l in out if l.strip() and "nginx" not in l}


admin("init")
devices = []
for i in range(4):
    sn = "KW%06d" % i
    devices.append((sn, int(admin("device", "add", "--sn", sn)), admin("session", "add", "--sn", sn)))
batch = json.load(open("examples/demo-batch.json"))
log = open(os.path.join(tmp, "host.log"), "w")
host = subprocess.Popen([os.path.join(bin_, "flx-webapi-host"), "--listen", "127.0.0.1:0",
                         "--workers", "2", "--log-stderr"], env=env, stdout=subprocess.PIPE,
                        stderr=log, text=True)
url = "http://" + host.stdout.readline().split()[-1]
failures, replaced_ms, rerun_ms, missed = [], [], [], 0
try:
    r = 0
    while r < rounds and missed < 5 * rounds:
        r += 1
        sn, qx, sid = devices[r % len(devices)]
        for item in batch:
            item["collect_time"] = 1733400000 + r
        path = os.path.join(tmp, "batch.json")
        json.dump(batch, open(path, "w"))
        before = workers(host.pid)
        reruns = open(log.name).read().count("ran again the request")
        push = subprocess.Popen([os.path.join(bin_, "flx-push"), "--url", url, "--sid", sid, path],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        victim, deadline = None, time.time() + 5
        while victim is None and time.time() < deadline:
            for f in glob.glob(os.path.join(target, "run/host.*/inflight/*")):
                try:
                    head = open(f, errors="replace").read(200)
                except OSError:
                    continue
                if "method push" in head:
                    victim = int(head.split("\npid ")[1].split("\n")[0])
                    break
        if victim is None:  # done before it was seen: this round again
            missed += 1
            r -= 1
            push.wait()
            continue
        time.sleep(random.uniform(0, 0.03))  # somewhere in the middle of its items
        os.kill(victim, signal.SIGKILL)
        killed = time.time()
        while len(workers(host.pid) - {victim}) < len(before) and time.time() < killed + 5:
            time.sleep(0.005)
        replaced_ms.append((time.time() - killed) * 1000)
        while f"worker {victim} killed" not in open(log.name).read() and time.time() < killed + 5:
            time.sleep(0.005)
        if f"worker {victim} died with a request in flight" not in open(log.name).read():
            missed += 1  # it had answered already: nothing to run again; this round again
            r -= 1
            push.wait()
            continue
        while open(log.name).read().count("ran again the request") <= reruns and time.time() < killed + 10:
            time.sleep(0.005)
        rerun_ms.append((time.time() - killed) * 1000)
        push.wait()
        db = sqlite3.connect(os.path.join(target, "db/flx_db.sqlite"))
        for table, rows in expected.items():
            got = db.execute(f"SELECT count(*), count(DISTINCT mtime), max(mtime) FROM {table} "
                             "WHERE qx_id = ?", (qx,)).fetchone()
            if got != (rows, 1, 1733400000 + r):
                failures.append(f"round {r}: {table} of {sn}: rows, collect times, last {got}")
        db.close()
    for name in ("flx_db.sqlite", "flx_registry.sqlite"):
        db = sqlite3.connect(os.path.join(target, "db", name))
        check = db.execute("PRAGMA integrity_check").fetchone()[0]
        if check != "ok":
            failures.append(f"{name}: {check}")
finally:
    host.send_signal(signal.SIGTERM)
    host.wait(timeout=30)
text = open(log.name).read()
print(f"kills with a push in flight {len(rerun_ms)} (and {missed} just after an answer): reruns "
      f"logged {text.count('ran again the request')}, quarantined {text.count('quarantined ')}")
print("worker replaced after kill, ms: max %.0f  median %.0f" %
      (max(replaced_ms, default=0), sorted(replaced_ms)[len(replaced_ms) // 2] if replaced_ms else 0))
print("request rerun done after kill, ms: max %.0f  median %.0f" %
      (max(rerun_ms, default=0), sorted(rerun_ms)[len(rerun_ms) // 2] if rerun_ms else 0))
print("integrity_check: " + ("ok" if not any("sqlite" in f for f in failures) else "FAILED"))
for f in failures:
    print("FAILED " + f)
subprocess.run(["rm", "-rf", tmp])
sys.exit(1 if failures else 0)
