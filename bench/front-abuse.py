#!/usr/bin/env python3
"""The host behind its private nginx front under abuse: SLOW (1000) connections that send one
header line every 2 s and FLOODERS (4) that send header lines as fast as they can (each
reconnecting when closed), while a client makes correct small pushes at 10/s for SECONDS (20):
their p99, and the growth of every host process's RSS. Then a flood of 4 MiB bodies of empty
fields without a session: what each costs the workers in CPU time.
    bench/front-abuse.py [BUILD]      (default build/bench)
"""
import http.client, os, resource, select, signal, socket, subprocess, sys, tempfile, threading, time

from benchroot import scratch

slow_n = int(os.environ.get("SLOW", "1000"))
flooders = int(os.environ.get("FLOODERS", "4"))
seconds = int(os.environ.get("SECONDS", "20"))
resource.setrlimit(resource.RLIMIT_NOFILE, (8192, 8192))
build, bin_, tmp, root, env, admin = scratch("front-abuse.")


def tree(pid):
    """pid -> (name, RSS KiB, CPU ticks) of the process and every one below it."""
    out, todo = {}, [pid]
    while todo:
        p = todo.pop()
        todo += [int(x) for x in subprocess.run(["ps", "-o", "pid=", "--ppid", str(p)],
                                                capture_output=True, text=True).stdout.split()]
        try:
            stat = open(f"/proc/{p}/stat").read().split(")")[-1].split()
            status = open(f"/proc/{p}/status").read()
            rss = int(status.split("VmRSS:")[1].split()[0])
            name = open(f"/proc/{p}/comm").read().strip()
            out[p] = (name, rss, int(stat[11]) + int(stat[12]))
        except (OSError, IndexError):
            pass
    return out


admin("init")
admin("device", "add", "--sn", "ABUSED")
sid = admin("session", "add", "--sn", "ABUSED")
log = open(os.path.join(tmp, "host.log"), "w")
host = subprocess.Popen([os.path.join(bin_, "flx-webapi-host"), "--listen", "127.0.0.1:0",
                         "--workers", "2", "--log-level", "notice", "--log-stderr"], env=env,
                        stdout=subprocess.PIPE, stderr=log, text=True)
addr = host.stdout.readline().split()[-1]
hostname, port = addr.rsplit(":", 1)
port = int(port)
stop = threading.Event()


def slow():
    socks = []
    while not stop.is_set():
        while len(socks) < slow_n:
            try:
                s = socket.create_connection((hostname, port))
                s.setblocking(False)
                s.send(b"POST /webapi/entry.cgi HTTP/1.1\r\nHost: x\r\n")
                socks.append(s)
            except OSError:
                break
        for s in list(socks):
            try:
                s.send(b"X-Slow: 1\r\n")
            except OSError:
                socks.remove(s)
                s.close()
        stop.wait(2)
    for s in socks:
        s.close()


def flood():
    line = b"X-Flood: " + b"x" * 200 + b"\r\n"
    while not stop.is_set():
        try:
            s = socket.create_connection((hostname, port))
            s.send(b"POST /webapi/entry.cgi HTTP/1.1\r\nHost: x\r\n")
            while not stop.is_set():
                s.send(line * 50)
        except OSError:
            pass


def push_latencies(n, rate):
    body = f"api=KEVO.FLX.RPC.ClientInfo&version=1&method=push&_sid={sid}&items=[]"
    conn = http.client.HTTPConnection(hostname, port, timeout=10)
    ms, errors = [], 0
    for i in range(n):
        start = time.time()
        try:
            conn.request("POST", "/webapi/entry.cgi", body,
                         {"Content-Type": "application/x-www-form-urlencoded"})
            ok = conn.getresponse().read() == b'{"success":true}'
        except OSError:
            ok = False
            conn = http.client.HTTPConnection(hostname, port, timeout=10)
        ms.append((time.time() - start) * 1000)
        errors += 0 if ok else 1
        time.sleep(max(0, 1 / rate - (time.time() - start)))
    ms.sort()
    return ms, errors


quiet, _ = push_latencies(50, 10)
before = tree(host.pid)
threads = [threading.Thread(target=slow)] + [threading.Thread(target=flood) for _ in range(flooders)]
for t in threads:
    t.start()
time.sleep(3)
loaded, errors = push_latencies(seconds * 10, 10)
after = tree(host.pid)
stop.set()
for t in threads:
    t.join()
p99 = lambda v: v[min(len(v) - 1, int(len(v) * 0.99))]
print(f"correct pushes at 10/s: quiet p99 {p99(quiet):.1f} ms; with {slow_n} slow connections and "
      f"{flooders} header flooders: p50 {loaded[len(loaded) // 2]:.1f} ms  p99 {p99(loaded):.1f} ms "
      f"max {loaded[-1]:.1f} ms, {errors} errors")
for pid, (name, rss, _) in sorted(after.items()):
    if pid in before:
        print(f"  {name:20} {pid:7}  RSS {before[pid][1] / 1024:6.1f} -> {rss / 1024:6.1f} MiB "
              f"(+{(rss - before[pid][1]) / 1024:.1f})")

# 4 MiB of empty fields, no session: refused from a count; what it costs the workers.
body = "api=KEVO.FLX.RPC.ClientInfo&version=1&method=push&items=1" + "&" * (4 * 1048576 - 80)
workers = lambda: sum(v[2] for p, v in tree(host.pid).items()
                      if p != host.pid and "nginx" not in v[0])
n, statuses = 20, {}
cpu0 = workers()
for _ in range(n):
    conn = http.client.HTTPConnection(hostname, port, timeout=30)
    conn.request("POST", "/webapi/entry.cgi", body, {"Content-Type": "application/x-www-form-urlencoded"})
    st = conn.getresponse().status
    statuses[st] = statuses.get(st, 0) + 1
    conn.close()
cpu = (workers() - cpu0) * 1000 / os.sysconf("SC_CLK_TCK") / n
print(f"4 MiB bodies of {4 * 1048576 - 80} empty fields, no session: {n} sent, answers {statuses}, "
      f"worker CPU {cpu:.1f} ms each")
host.send_signal(signal.SIGTERM)
host.wait(timeout=60)
subprocess.run(["rm", "-rf", tmp])
