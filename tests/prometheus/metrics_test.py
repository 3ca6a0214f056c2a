#!/usr/bin/python3
"""/metrics of a host on a temporary root with the demo fleet, through its nginx front:
`promtool check metrics` on a live scrape, device-chosen names in labels, a scrape while the
cache is locked, and Debian's Prometheus scraping the host with the shipped configuration and
rules until the demo fleet's nearly full volume and failing disk fire.

    metrics_test.py --bin BUILD/bin --source SRC"""
import argparse
import copy
import http.client
import json
import os
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.request

import yaml

FAILING = ("2150PDN004802", "office-nas", "sdb")
FULL = ("2150PDN005133", "media-vault", "vol2")
STALE = ("2150PDN003027", "branch-berlin")
ODD_SN = "ODD0001"
# A volume name with every character the text format escapes, and longer than the bound.
ODD_VOLUME = 'v"ol\\\n' + "x" * 300
# A disk name that is not UTF-8 once decoded: a lone surrogate escape becomes its three bytes.
ODD_DISK = "sd\udc80x"


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def get(url, timeout=10):
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return r.status, r.read().decode()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def sample(text, name, **labels):
    """The value of the one series `name` whose labels include `labels`, or None."""
    for line in text.splitlines():
        if not line.startswith(name + "{") and not line.startswith(name + " "):
            continue
        if all(f'{k}="{v}"' in line for k, v in labels.items()):
            return float(line.rsplit(" ", 1)[1])
    return None


class Fleet:
    def __init__(self, args, root):
        self.args, self.root = args, root
        self.env = dict(os.environ, FLX_ROOT=root)
        self.host = None

    def admin(self, *a):
        return subprocess.run([os.path.join(self.args.bin, "flx-admin"), *a], env=self.env,
                              check=True, capture_output=True, text=True).stdout.strip()

    def start(self):
        self.admin("init")
        # No database held open: the lock test takes the cache's lock for itself. Every
        # device's series: the checks follow single devices in and out of their marks.
        self.host = subprocess.Popen(
            [os.path.join(self.args.bin, "flx-webapi-host"), "--listen", "127.0.0.1:0",
             "--no-keep-open", "--workers", "2", "--metrics-all-devices"],
            env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.host.stdout.readline().strip()
        check(line.startswith("listening on "), "the host did not start: " + line)
        self.address = line[len("listening on "):]
        self.url = "http://" + self.address

    def push(self, sn, hostname, batch):
        self.admin("device", "add", "--sn", sn, "--hostname", hostname)
        sid = self.admin("session", "add", "--sn", sn)
        subprocess.run([os.path.join(self.args.bin, "flx-push"), "--url", self.url, "--sid", sid,
                        batch], env=self.env, check=True, stdout=subprocess.DEVNULL)

    def execute(self, store, sql, params):
        """Runs one statement in a store of the host's root (flx_registry, flx_history, ...)."""
        db = sqlite3.connect(os.path.join(self.root, "var/packages/FLX/target/db",
                                          store + ".sqlite"))
        with db:
            db.execute(sql, params)
        db.close()

    def age_contact(self, sn, seconds):
        """Moves a device's last contact back, as if its last push arrived `seconds` ago."""
        self.execute("flx_registry", "UPDATE device_contacts SET arrival = arrival - ? WHERE"
                     " device_id = (SELECT id FROM devices WHERE sn = ?)", (seconds, sn))

    def demo(self):
        out = os.path.join(self.root, "fleet")
        lines = subprocess.run(
            [sys.executable, os.path.join(self.args.source, "scripts/demo-fleet.py"),
             os.path.join(self.args.source, "examples/demo-batch.json"), out],
            check=True, capture_output=True, text=True).stdout.split("\n")
        for entry in filter(None, lines):
            self.push(*entry.split(" "))
        # One more device whose storage item names a volume with characters to escape.
        batch = json.load(open(os.path.join(self.args.source, "examples/demo-batch.json")))
        storage = [copy.deepcopy(i) for i in batch if i["module_name"] == "storage"]
        storage[0]["data"]["vol"][0]["id"] = ODD_VOLUME
        storage[0]["data"]["hdd"][0]["id"] = ODD_DISK
        for item in storage:
            item["collect_time"] = int(time.time())
        path = os.path.join(self.root, "odd.json")
        json.dump(storage, open(path, "w"))
        self.push(ODD_SN, "odd-host", path)

    def stop(self):
        if self.host is not None:
            self.host.terminate()
            self.host.wait(timeout=30)


def live_scrape(fleet):
    status, text = get(fleet.url + "/metrics")
    check(status == 200, "GET /metrics: %d" % status)
    lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                          text=True)
    check(lint.returncode == 0, "promtool check metrics: " + lint.stdout + lint.stderr)
    sn, hostname, disk = FAILING
    check(sample(text, "flx_disk_failing", sn=sn, hostname=hostname, disk=disk) == 1,
          "the failing disk is not 1")
    check(sample(text, "flx_disk_failing", sn=sn, hostname=hostname, disk="sda") == 0,
          "a good disk is not 0")
    sn, hostname, volume = FULL
    used = sample(text, "flx_volume_used_bytes", sn=sn, hostname=hostname, volume=volume)
    size = sample(text, "flx_volume_size_bytes", sn=sn, hostname=hostname, volume=volume)
    check(used and size and used / size > 0.9, "the nearly full volume is not over 90%")
    # 6 devices pushed once each, 6 kinds each: summed over both workers.
    check(sample(text, "flx_requests_total", method="push", result="ok") == 6,
          "pushes counted: " + "\n".join(l for l in text.splitlines() if "requests" in l or "items" in l))
    check(sample(text, "flx_items_total", kind="storage.storage", result="ok") == 6,
          "storage items counted")
    check(sample(text, "flx_push_duration_seconds_count") == 6, "push durations counted")
    check(sample(text, "flx_fleet_stale") == 0, "the fleet part is stale without a lock")
    # The odd volume's name: escaped, cut at 128 bytes of the name, one line.
    odd = [l for l in text.splitlines() if l.startswith("flx_volume_used_bytes{sn=\"%s\"" % ODD_SN)]
    want = 'volume="' + ODD_VOLUME[:128].replace("\\", "\\\\").replace('"', '\\"').replace(
        "\n", "\\n") + '"'
    check(any(want in l for l in odd), "the odd volume's label: %r" % odd)
    # The disk name that is not UTF-8: each byte of it that starts no character is U+FFFD.
    check(sample(text, "flx_disk_failing", sn=ODD_SN, disk="sd\ufffd\ufffd\ufffdx") == 0,
          "the odd disk's label is not made UTF-8")
    # A bad request is counted under "unknown", whatever names it carries.
    get(fleet.url + "/webapi/entry.cgi?api=NO.SUCH.API&method=x&version=1")
    _, text = get(fleet.url + "/metrics")
    check(sample(text, "flx_requests_total", api="unknown", method="unknown", result="101") == 1,
          "the unknown api is not counted as such")
    print("live scrape: %d bytes, promtool check metrics clean" % len(text))


def with_history(fleet):
    """Before the history writer ran: no summary row, every note waiting; after: each device's
    last push, the stale one counted as such, nothing waiting."""
    _, text = get(fleet.url + "/metrics")
    check(sample(text, "flx_device_last_contact_timestamp_seconds", sn=STALE[0]) is not None,
          "the last contact needs no history")
    check(sample(text, "flx_history_notes_waiting") == 6, "notes waiting: %r"
          % sample(text, "flx_history_notes_waiting"))
    check(sample(text, "flx_history_oldest_note_age_seconds") >= 0, "the oldest note's age")
    subprocess.run([os.path.join(fleet.args.bin, "flx-history"), "--once"], env=fleet.env,
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, text = get(fleet.url + "/metrics")
    check(sample(text, "flx_fleet_history_available") == 1, "no history after the writer ran")
    check(sample(text, "flx_history_notes_waiting") == 0, "notes still waiting")
    stale_sn, stale_host = STALE
    seen = sample(text, "flx_device_last_contact_timestamp_seconds", sn=stale_sn,
                  hostname=stale_host)
    check(seen is not None and time.time() - seen > 2 * 86400, "the stale device's last contact")
    check(sample(text, "flx_devices", state="stale") == 1,
          "\n".join(l for l in text.splitlines() if l.startswith(("flx_devices", "flx_device_last"))))
    check(sample(text, "flx_devices", state="failing") == 1, "failing devices")
    check(sample(text, "flx_devices_marked", mark="failing") == 1, "devices marked failing")
    check(sample(text, "flx_fleet_volumes", use="<50%") is not None, "volumes by use")
    check(sample(text, "flx_devices", state="reporting") == 4, "reporting devices")
    lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                          text=True)
    check(lint.returncode == 0, "promtool check metrics: " + lint.stdout + lint.stderr)
    # One push each: no interval learnt, the schedule's. Once the stale device's own interval
    # is long enough, it is not stale any more, by the gauge and by the count.
    check(sample(text, "flx_device_push_interval_seconds", sn=stale_sn) == 300,
          "the interval before one was learnt")
    every = int(time.time() - seen) // 2

    def learnt(interval):
        fleet.execute("flx_history", "UPDATE summary SET push_interval = ? WHERE device_id ="
                      " (SELECT device_id FROM state WHERE json_extract(state, '$.sn') = ?)",
                      (interval, stale_sn))
    learnt(every)
    _, text = get(fleet.url + "/metrics")
    learnt(None)  # the alerts below expect the device silent
    check(sample(text, "flx_device_push_interval_seconds", sn=stale_sn) == every,
          "the learnt interval")
    check(sample(text, "flx_devices", state="stale") == 0, "stale by the learnt interval")
    check(sample(text, "flx_devices", state="reporting") == 5, "reporting by the learnt interval")


def from_other_address(fleet, token):
    """A client on 127.0.0.2 is not the machine's own: it needs an operator's token."""
    host, port = fleet.address.rsplit(":", 1)
    answers = []
    for auth in (None, "Bearer wrong", "Bearer " + token, token):
        conn = http.client.HTTPConnection(host, int(port), timeout=10,
                                          source_address=("127.0.0.2", 0))
        conn.request("GET", "/metrics", headers={"Authorization": auth} if auth else {})
        answers.append(conn.getresponse().status)
        conn.close()
    check(answers == [403, 403, 200, 403], "from 127.0.0.2: %r" % answers)


def locked_scrape(fleet):
    cache = os.path.join(fleet.root, "var/packages/FLX/target/db/flx_db.sqlite")
    locker = subprocess.Popen([sys.executable, "-c", """
import sqlite3, sys, time
c = sqlite3.connect(sys.argv[1], isolation_level=None, timeout=10)
c.execute("PRAGMA locking_mode=EXCLUSIVE")
c.execute("BEGIN EXCLUSIVE")
c.execute("SELECT count(*) FROM vol_info").fetchone()
print("locked", flush=True)
time.sleep(30)
""", cache], stdout=subprocess.PIPE, text=True)
    try:
        check(locker.stdout.readline().strip() == "locked", "could not lock the cache")
        start = time.monotonic()
        status, text = get(fleet.url + "/metrics")
        took = time.monotonic() - start
        check(status == 200 and took < 2, "locked scrape: status %d after %.2f s" % (status, took))
        check(sample(text, "flx_fleet_stale") == 1, "the fleet part is not marked stale")
        check(sample(text, "flx_volume_used_bytes") is None, "fleet series from a locked store")
        check(sample(text, "flx_requests_total", result="ok") is not None,
              "the host's own counters are missing")
        print("locked scrape: %.0f ms, fleet marked stale" % (took * 1000))
    finally:
        locker.kill()
        locker.wait()


def real_prometheus(fleet, tmp):
    """The shipped scrape configuration and rules, pointed at this host's front, with a short
    interval and without the rules' waiting times (`for`)."""
    source = os.path.join(fleet.args.source, "deploy/prometheus")
    rules = yaml.safe_load(open(os.path.join(source, "flx-alerts.yml")))
    for group in rules["groups"]:
        for rule in group["rules"]:
            rule["for"] = "0s"
    rules_path = os.path.join(tmp, "flx-alerts.yml")
    yaml.safe_dump(rules, open(rules_path, "w"))
    conf = yaml.safe_load(open(os.path.join(source, "flx-prometheus.yml")))
    conf["global"] = {"scrape_interval": "1s", "evaluation_interval": "1s"}
    conf["rule_files"] = [rules_path]
    job = conf["scrape_configs"][0]
    job["scheme"] = "http"
    job.pop("tls_config", None)
    job["static_configs"] = [{"targets": [fleet.address]}]
    conf_path = os.path.join(tmp, "prometheus.yml")
    yaml.safe_dump(conf, open(conf_path, "w"))
    port = free_port()
    api = "http://127.0.0.1:%d/api/v1/" % port
    log = open(os.path.join(tmp, "prometheus.log"), "w")
    prom = subprocess.Popen(
        ["/usr/bin/prometheus", "--config.file=" + conf_path,
         "--storage.tsdb.path=" + os.path.join(tmp, "data"),
         "--web.listen-address=127.0.0.1:%d" % port], stdout=log, stderr=log)
    want = {("FlxVolumeAlmostFull", FULL[0], FULL[1]), ("FlxDiskFailing", FAILING[0], FAILING[1]),
            ("FlxDeviceNotReporting",) + STALE}
    firing, up = set(), False
    try:
        deadline = time.monotonic() + 90
        while time.monotonic() < deadline and not (up and want <= firing):
            time.sleep(1)
            check(prom.poll() is None, "prometheus ended; see " + log.name)
            try:
                targets = json.loads(get(api + "targets")[1])["data"]["activeTargets"]
                up = any(t["health"] == "up" for t in targets)
                alerts = json.loads(get(api + "alerts")[1])["data"]["alerts"]
            except OSError:
                continue
            firing = {(a["labels"]["alertname"], a["labels"].get("sn"), a["labels"].get("hostname"))
                      for a in alerts if a["state"] == "firing"}
        check(up, "the target never came up")
        check(want <= firing, "not firing: %r (firing: %r)" % (want - firing, firing))
        print("prometheus: target up; firing " + ", ".join(sorted(a[0] for a in firing)))
    finally:
        prom.terminate()
        prom.wait(timeout=30)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--source", required=True)
    args = parser.parse_args()
    tmp = tempfile.mkdtemp(prefix="flx-metrics-")
    fleet = Fleet(args, os.path.join(tmp, "root"))
    os.mkdir(fleet.root)
    try:
        fleet.start()
        fleet.demo()
        fleet.age_contact(STALE[0], 3 * 86400)
        live_scrape(fleet)
        with_history(fleet)
        # Before any token is checked: that opens the read connection a worker then keeps,
        # and the locker could no longer take the cache for itself.
        locked_scrape(fleet)
        from_other_address(fleet, fleet.admin("operator", "add", "prometheus"))
        real_prometheus(fleet, tmp)
    finally:
        fleet.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
