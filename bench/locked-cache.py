#!/usr/bin/env python3
"""Holds the cache database's write lock from another process for LOCK_SECONDS (60) while two
devices push storage items (their workers wait in the module's retry loop), and times a push of
a registry-only item (basic.basic) of a third device meanwhile: extra workers serve it.
    bench/locked-cache.py [BUILD]     (default build/bench)
"""
import json, os, signal, sqlite3, subprocess, sys, tempfile, time

from benchroot import scratch

lock_seconds = int(os.environ.get("LOCK_SECONDS", "60"))
build, bin_, tmp, root, env, admin = scratch("locked-cache.")
cache = os.path.join(root, "var/packages/FLX/target/db/flx_db.sqlite")


admin("init")
sids = {}
for sn in ("LOCKED1", "LOCKED2", "FREE"):
    admin("device", "add", "--sn", sn)
    sids[sn] = admin("session", "add", "--sn", sn)
batch = json.load(open("examples/demo-batch.json"))
for kind, items in (("storage", [i for i in batch if i["group_name"] == "storage"]),
                    ("basic", [i for i in batch if (i["group_name"], i["module_name"]) == ("basic", "basic")])):
    json.dump(items, open(os.path.join(tmp, kind + ".json"), "w"))
log = open(os.path.join(tmp, "host.log"), "w")
host = subprocess.Popen([os.path.join(bin_, "flx-webapi-host"), "--listen", "127.0.0.1:0",
                         "--workers", "2", "--log-stderr"], env=env, stdout=subprocess.PIPE,
                        stderr=log, text=True)
url = "http://" + host.stdout.readline().split()[-1]
locker = subprocess.Popen([sys.executable, "-c", f"""
import sqlite3, sys, time
db = sqlite3.connect({cache!r}, isolation_level=None)
db.execute("BEGIN EXCLUSIVE")
print("locked", flush=True)
time.sleep({lock_seconds})
"""], stdout=subprocess.PIPE, text=True)
locker.stdout.readline()
push = lambda sn, kind: subprocess.Popen(
    [os.path.join(bin_, "flx-push"), "--url", url, "--sid", sids[sn], os.path.join(tmp, kind + ".json")],
    env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
waiting = [push("LOCKED1", "storage"), push("LOCKED2", "storage")]
time.sleep(1)
start = time.time()
free = push("FREE", "basic")
out = free.communicate()[0].strip()
took = time.time() - start
print(f"cache database locked by another process: registry-only push of another device "
      f"answered in {took * 1000:.0f} ms ({out}); {sum(p.poll() is None for p in waiting)} "
      f"pushes still waiting for the lock")
locker.send_signal(signal.SIGTERM)
locker.wait()
for p in waiting:
    p.wait(timeout=120)
host.send_signal(signal.SIGTERM)
host.wait(timeout=60)
text = open(log.name).read()
print(f"extra workers started: {text.count('started extra worker')}")
subprocess.run(["rm", "-rf", tmp])
sys.exit(0 if took < 1 and out == '{"success":true}' else 1)
