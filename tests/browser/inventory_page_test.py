#!/usr/bin/python3
"""The inventory page in a real browser: a host on a temporary root with the demo fleet and
a history planted as its writer would leave it, headless chromium driven through chromedriver,
every answer carrying the production front's Content-Security-Policy. Saves screenshots into
--out.

    inventory_page_test.py --bin BUILD/bin --lib BUILD/lib --source SRC --out DIR"""
import argparse
import base64
import csv
import glob
import http.server
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as ec
from selenium.webdriver.support.ui import Select, WebDriverWait

FAILING, FULL, STALE = "2150PDN004802", "2150PDN005133", "2150PDN003027"
# A real machine's size: a thousand packages (each with its mirror files), a disk without a
# temperature sensor. OVER reports more used than its volume's size.
BIG, OVER = "2150PDN006350", "2150PDN004711"
PACKAGES = 1000
SECTIONS = ["Identity", "Extended information", "Timeline", "Volume use", "Disk temperature",
            "Volumes", "Disk groups", "Disks", "Shares", "Applications", "Packages",
            "Mirror files"]
CSP = "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'"
DAY = 86400


def schema_sql(source):
    """The history's schema, read from the one header that both its sides use."""
    text = open(os.path.join(source, "platform/flxhistory/include/flxhistory_schema.h")).read()
    block = text[text.index("kSchemaSql ="):text.index("// clang-format on")]
    return "".join(json.loads('"' + part + '"') for part in re.findall(r'^\s*"(.*)"', block, re.M))


def api(url, token, method, **params):
    body = {"api": "KEVO.FLX.Inventory", "version": "1", "method": method, "_sid": token}
    body.update({k: json.dumps(v) for k, v in params.items()})
    answer = json.load(urllib.request.urlopen(url + "/webapi/entry.cgi",
                                              urllib.parse.urlencode(body).encode()))
    if not answer["success"]:
        raise AssertionError("%s: %s" % (method, answer))
    return answer["data"]


def plant_history(args, root, url, token):
    """Summary rows as the writer computes them (the list's own, with a fill estimate for the
    full device), the failing device's removed package and bad disk, 45 days of samples in
    which the full device's second volume grows and the failing disk warms up."""
    now = int(time.time())
    today = now // DAY
    ids = {d["sn"]: d["id"] for d in api(url, token, "list", limit=100)["devices"]}
    # The stale device's last push arrived three days ago.
    reg = sqlite3.connect(os.path.join(root, "var/packages/FLX/target/db/flx_registry.sqlite"))
    with reg:
        reg.execute("UPDATE device_contacts SET arrival = arrival - 3 * ? WHERE device_id = ?",
                    (DAY, ids[STALE]))
    reg.close()
    db = sqlite3.connect(os.path.join(root, "var/packages/FLX/target/db/flx_history.sqlite"))
    db.executescript(schema_sql(args.source))
    # The fleet's software counts, as the writer keeps them from the states it records.
    db.execute("ATTACH ? AS r", (os.path.join(root, "var/packages/FLX/target/db/flx_registry.sqlite"),))
    db.execute("INSERT INTO software(kind, id, version, name, devices)"
               " SELECT 'package', pkg_id, version, max(display_name), count(*) FROM r.pkgs"
               " GROUP BY pkg_id, version UNION ALL"
               " SELECT 'application', app_id, version, max(name_enu), count(*) FROM r.apps"
               " GROUP BY app_id, version")
    db.commit()
    db.execute("DETACH r")
    for d in api(url, token, "list", limit=100)["devices"]:
        s = d["summary"]
        use = 333.3 if d["sn"] == OVER else s["vol_max_use"]
        marks = [m for m, on in (("failing", s["disk_failing"] > 0), ("full", use >= 90),
                                 ("hot", (s["disk_max_temp"] or 0) >= 55),
                                 ("filling", d["sn"] == FULL)) if on]
        db.execute("INSERT INTO summary VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, NULL)",
                   (d["id"], d["last_contact"], s["vol_count"], use, s["vol_max_name"],
                    s["disk_count"], s["disk_failing"], s["disk_max_temp"], s["app_count"],
                    s["pkg_count"], 4 if d["sn"] == FULL else None, json.dumps(marks)))
    events = [
        (FAILING, "application", "Files", "changed", "version", "2.0", "2.1", 9 * DAY),
        (FAILING, "package", "MediaHub", "removed", "", "", "", 5 * 3600),
        (FAILING, "disk", "sdb", "changed", "status", "good", "warning", 2 * 3600),
        (FAILING, "disk", "sdb", "changed", "smart_status", "normal", "abnormal", 2 * 3600),
        (FULL, "volume", "vol2", "changed", "status", "ready", "degraded", 30 * DAY),
    ]
    db.executemany("INSERT INTO events(device_id, kind, object, change, field, old_value,"
                   " new_value, collect_time, arrival_time) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)",
                   [(ids[sn], k, o, c, f, a, b, now - ago - 30, now - ago)
                    for sn, k, o, c, f, a, b, ago in events])
    samples = []
    for i in range(45):
        day = today - 44 + i
        samples.append((ids[FULL], "volume", "vol1", day, 3120 * 10**9, 8 * 10**12, None))
        samples.append((ids[FULL], "volume", "vol2", day, int((0.61 + 0.008 * i) * 3 * 10**12),
                        3 * 10**12, None))
        for n, dev in enumerate(("sda", "sdb", "sdc", "sdd")):
            temp = 32 + n + (i * 24 // 44 if dev == "sdb" else i % 3)
            samples.append((ids[FAILING], "disk", dev, day, None, None, temp))
            # The big device's last disk has no sensor: its samples read 0.
            samples.append((ids[BIG], "disk", dev, day, None, None, 0 if dev == "sdd" else temp))
    db.executemany("INSERT INTO samples(device_id, kind, object, day, used_last, total_last,"
                   " temp_max) VALUES(?, ?, ?, ?, ?, ?, ?)", samples)
    db.commit()
    db.close()


class CspFront(http.server.ThreadingHTTPServer):
    """Passes each request on to the host and adds the production front's policy header."""

    def __init__(self, upstream):
        self.upstream = upstream
        super().__init__(("127.0.0.1", 0), CspHandler)


class CspHandler(http.server.BaseHTTPRequestHandler):
    def forward(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else None
        request = urllib.request.Request(self.server.upstream + self.path, data=body,
                                         method=self.command)
        if self.headers.get("Content-Type"):
            request.add_header("Content-Type", self.headers["Content-Type"])
        try:
            answer = urllib.request.urlopen(request)
        except urllib.error.HTTPError as e:
            answer = e
        data = answer.read()
        self.send_response(answer.status)
        for name in ("Content-Type", "Cache-Control", "X-Content-Type-Options",
                     "Content-Disposition"):
            if answer.headers.get(name):
                self.send_header(name, answer.headers[name])
        self.send_header("Content-Security-Policy", CSP)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    do_GET = do_POST = forward

    def log_message(self, *args):
        pass


def grow(path):
    """Gives a device's batch a thousand packages and a disk without a temperature sensor."""
    batch = json.load(open(path))
    for item in batch:
        if item["module_name"] == "package":
            pkgs = item["data"]["packages"]
            for n in range(PACKAGES - len(pkgs)):
                pid, version = "tool-%04d" % n, "1.%d.%d" % (n % 7, n % 3)
                info = 'package="%s"\nversion="%s"\ndisplayname="Tool %04d"\n' % (pid, version, n)
                pkgs.append({"id": pid, "version": version, "status": "running",
                             "info": {"data": base64.b64encode(info.encode()).decode(),
                                      "size": len(info), "mtime": item["collect_time"]}})
        elif item["module_name"] == "storage":
            del item["data"]["hdd"][-1]["temp"]
    json.dump(batch, open(path, "w"))


def prepare(args, root, env):
    admin = os.path.join(args.bin, "flx-admin")
    subprocess.run([admin, "init"], env=env, check=True, stdout=subprocess.DEVNULL)
    www = os.path.join(root, "var/packages/FLX/target/webapi/www")
    os.makedirs(www, exist_ok=True)
    for name in os.listdir(os.path.join(args.source, "web")):
        shutil.copy(os.path.join(args.source, "web", name), www)
    host = subprocess.Popen(
        [os.path.join(args.bin, "flx-webapi-host"), "--listen", "127.0.0.1:0",
         "--module", os.path.join(args.lib, "KEVO.FLX.RPC.so"),
         "--module", os.path.join(args.lib, "KEVO.FLX.Inventory.so")],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = host.stdout.readline().strip()
    if not line.startswith("listening on "):
        host.kill()
        sys.exit("the host did not start: " + line)
    url = "http://" + line[len("listening on "):]
    fleet = subprocess.run(
        [sys.executable, os.path.join(args.source, "scripts/demo-fleet.py"),
         os.path.join(args.source, "examples/demo-batch.json"), os.path.join(root, "fleet")],
        check=True, capture_output=True, text=True).stdout.split("\n")
    for entry in filter(None, fleet):
        sn, hostname, batch = entry.split(" ")
        if sn == BIG:
            grow(batch)
        subprocess.run([admin, "device", "add", "--sn", sn, "--hostname", hostname], env=env,
                       check=True, stdout=subprocess.DEVNULL)
        sid = subprocess.run([admin, "session", "add", "--sn", sn], env=env, check=True,
                             capture_output=True, text=True).stdout.strip()
        subprocess.run([os.path.join(args.bin, "flx-push"), "--url", url, "--sid", sid, batch],
                       env=env, check=True, stdout=subprocess.DEVNULL)
    token = subprocess.run([admin, "operator", "add", "browser"], env=env, check=True,
                           capture_output=True, text=True).stdout.strip()
    return host, url, token


def browser():
    options = webdriver.ChromeOptions()
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--window-size=1280,800"):
        options.add_argument(flag)
    # A German browser: application names show in German where the device has them.
    options.add_experimental_option("prefs", {"intl.accept_languages": "de-DE,de"})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def full_screenshot(driver, path, width):
    height = driver.execute_script("return document.documentElement.scrollHeight")
    driver.set_window_size(width, max(800, height + 140))
    driver.save_screenshot(path)
    driver.set_window_size(1280, 800)


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def rows(driver):
    return driver.find_elements(By.CSS_SELECTOR, "#fleet-table tbody tr[data-sn]")


def serials(driver):
    """The serial numbers of the table's rows, read at once (the table is redrawn often)."""
    return driver.execute_script(
        "return [...document.querySelectorAll('#fleet-table tbody tr[data-sn]')]"
        ".map((r) => r.dataset.sn)")


def api_raw(url, token, method, **params):
    """The raw HTTP answer of a method: (headers, body bytes)."""
    body = {"api": "KEVO.FLX.Inventory", "version": "1", "method": method, "_sid": token}
    body.update({k: json.dumps(v) for k, v in params.items()})
    answer = urllib.request.urlopen(url + "/webapi/entry.cgi",
                                    urllib.parse.urlencode(body).encode())
    return answer.headers, answer.read()


def page_marks(driver):
    """Each row's marks and the headline's counts, as the page shows them."""
    return driver.execute_script(
        "return [Object.fromEntries([...document.querySelectorAll('#fleet-table tr[data-sn]')]"
        ".map((r) => [r.dataset.sn, r.dataset.marks])), Object.fromEntries("
        "[...document.querySelectorAll('#count [data-count]')]"
        ".map((c) => [c.dataset.count, parseInt(c.textContent)]))]")


def check_marks(driver, url, token, flt):
    """The page's marks and counts are the API's, for the list as filtered."""
    listed = api(url, token, "list", filter=flt, limit=100)
    rows, counts = page_marks(driver)
    want = {d["sn"]: " ".join(d["summary"]["marks"] + (["stale"] if d["stale"] else []))
            for d in listed["devices"]}
    check(rows == want, "marks: page %s, API %s" % (rows, want))
    want = {k: v for k, v in listed["counts"].items() if v and k != "devices"}
    check(counts == want, "counts: page %s, API %s" % (counts, want))


def run(driver, url, token, out):
    wait = WebDriverWait(driver, 15, ignored_exceptions=(StaleElementReferenceException,))
    driver.get(url + "/inventory/")
    field = wait.until(ec.visibility_of_element_located((By.ID, "token")))
    field.send_keys("not-a-token\n")
    wait.until(ec.visibility_of_element_located((By.ID, "login-error")))
    field.clear()
    field.send_keys(token + "\n")
    wait.until(lambda d: len(serials(d)) == 5)
    wait.until(lambda d: "5 devices" in d.find_element(By.ID, "count").text)
    wait.until(lambda d: d.find_element(By.ID, "who").text == "Signed in as browser")
    count = driver.find_element(By.ID, "count").text
    check("1 stale" in count and "1 failing" in count, "count line: " + count)
    check_marks(driver, url, token, "")
    marks = {r.get_attribute("data-sn"): r.find_element(By.CSS_SELECTOR, "td.marks").text
             for r in rows(driver)}
    check("FAILING" in marks[FAILING] and "HOT" in marks[FAILING], "failing: " + marks[FAILING])
    check("FULL" in marks[FULL] and "FILLING" in marks[FULL], "full volume: " + marks[FULL])
    check("STALE" in marks[STALE], "stale mark: " + marks[STALE])
    check(marks[BIG] == "✔ OK", "healthy device: %s" % marks)
    # A use past 100 % is a data problem: said in words, no bar drawn for it.
    over = driver.find_element(By.CSS_SELECTOR, "tr[data-sn='%s'] td:nth-child(7)" % OVER)
    check("333.3 %" in over.text and "DATA" in over.text, "use over 100 %: " + over.text)
    check(not over.find_elements(By.CLASS_NAME, "bar"), "no bar for a use over 100 %")
    # The big device's sensorless disk is not the hottest: its summary has a reading.
    fits = driver.execute_script("const w = document.querySelector('#fleet .table-wrap');"
                                 " return [w.scrollWidth, w.clientWidth]")
    check(fits[0] <= fits[1], "the fleet's columns overflow at 1280 px: %s" % fits)
    full_screenshot(driver, os.path.join(out, "inventory-fleet.png"), 1280)

    # The token lives for the session: a reload shows the table without asking again.
    driver.refresh()
    wait.until(lambda d: len(serials(d)) == 5)
    driver.find_element(By.CSS_SELECTOR, "th button[data-sort='last_contact']").click()
    wait.until(lambda d: serials(d)[:1] == [STALE])
    driver.find_element(By.ID, "filter").send_keys("vault")
    wait.until(lambda d: serials(d) == [FULL])
    wait.until(lambda d: d.find_element(By.ID, "count").text.startswith("1 device match"))
    check_marks(driver, url, token, "vault")

    rows(driver)[0].find_element(By.TAG_NAME, "a").click()
    wait.until(ec.visibility_of_element_located((By.CSS_SELECTOR, ".device-title h1")))
    titles = [h.text for h in driver.find_elements(By.CSS_SELECTOR, "#device-body section h2")]
    check(titles == SECTIONS, "sections: %s" % titles)
    icon = wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, ".app img[data-app]")))
    wait.until(lambda d: d.execute_script("return arguments[0].naturalWidth", icon) > 0)
    apps = driver.find_element(By.CSS_SELECTOR, "section[data-section='Applications']").text
    check(apps.startswith("Applications\n2 applications\nDateiübersicht"), "localized application name: " + apps)
    check("NEARLY FULL" in driver.find_element(By.CSS_SELECTOR,
                                               "section[data-section='Volumes']").text,
          "nearly full volume marked")
    # The growing volume: its chart has a trend, and the estimate says when it fills; the
    # flat one grows not, and says so.
    estimate = wait.until(ec.visibility_of_element_located(
        (By.CSS_SELECTOR, "[data-volume='vol2'] .estimate"))).text
    check(re.match(r"Full in about [3-5] days \(", estimate), "fill estimate: " + estimate)
    flat = driver.find_element(By.CSS_SELECTOR, "[data-volume='vol1'] .estimate").text
    check(flat.startswith("Not growing"), "flat volume: " + flat)
    identity = driver.find_element(By.CSS_SELECTOR, "section[data-section='Identity']").text
    for raw in ("unique", "wol", "qx_id", "ip\n"):
        check(raw not in identity, "raw key %r in the identity: %s" % (raw, identity))
    check("Wake on LAN by port\nLAN 1 on, LAN 2 off" in identity, "labels: " + identity)
    check("Cluster role\nstandalone" in identity and "Status\nonline" in identity,
          "numbers as words: " + identity)
    labels = driver.execute_script(
        "return Chart.getChart(document.querySelector('[data-volume=vol2] canvas'))"
        ".data.datasets.map((d) => d.label)")
    check(labels == ["Used", "Size", "Trend"], "volume chart: %s" % labels)
    driver.find_element(By.CSS_SELECTOR, "section[data-section='Volume use']")
    full_screenshot(driver, os.path.join(out, "inventory-device.png"), 1280)
    full_screenshot(driver, os.path.join(out, "inventory-device-phone.png"), 390)

    # The failing device: its timeline has the removed package and the disk that went bad,
    # newest first, and the disk temperature chart has a line per disk.
    driver.get(url + "/inventory/#/device/" + FAILING)
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#device-body .timeline li")) == 4)
    timeline = [li.text.replace("\n", " ") for li in
                driver.find_elements(By.CSS_SELECTOR, "section[data-section='Timeline'] li")]
    check("sdb status good → warning" in timeline[0] + timeline[1], "bad disk: %s" % timeline)
    check("MediaHub removed" in timeline[2], "removed package: %s" % timeline)
    bad = driver.find_elements(By.CSS_SELECTOR, "#device-body .timeline li.bad[data-kind='disk']")
    check(len(bad) == 2, "bad disk changes marked: %d" % len(bad))
    Select(driver.find_element(By.CSS_SELECTOR, ".timeline-head select")).select_by_value("package")
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#device-body .timeline li")) == 1)
    Select(driver.find_element(By.CSS_SELECTOR, ".timeline-head select")).select_by_value("")
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#device-body .timeline li")) == 4)
    disks = wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, "[data-disks] canvas")))
    lines = driver.execute_script("return Chart.getChart(arguments[0]).data.datasets.length", disks)
    check(lines == 4, "disk temperature lines: %s" % lines)
    full_screenshot(driver, os.path.join(out, "inventory-device-history.png"), 1280)

    driver.get(url + "/?again")  # a new page: the filter is gone, the token stays
    wait.until(lambda d: len(serials(d)) == 5)
    # The fleet's last day and the volumes about to fill.
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#recent li"))
    recent = driver.find_element(By.ID, "recent").text
    check("3 changes" in recent and "office-nas" in recent and "MediaHub removed" in recent,
          "last day: " + recent)
    check("Files" not in recent, "a change of nine days ago is not of the last day")
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#filling td"))
    filling = driver.find_element(By.ID, "filling").text
    check(re.search(r"media-vault vol2 .* in ~[3-5] d", filling), "filling: " + filling)
    full_screenshot(driver, os.path.join(out, "inventory-fleet-history.png"), 1280)
    driver.set_window_size(390, 844)
    driver.save_screenshot(os.path.join(out, "inventory-fleet-phone.png"))
    driver.set_window_size(1280, 800)
    check_software(driver, wait, url, token, out)
    check_big_device(driver, wait, url, out)
    check_export(driver, wait, url, token, out)
    refused = [e["message"] for e in driver.get_log("browser")
               if "Content Security Policy" in e["message"]]
    check(not refused, "the policy refused: %s" % refused)


def table_rows(driver, selector):
    return driver.execute_script(
        "return [...document.querySelectorAll(arguments[0])].map((r) => r.innerText)", selector)


def check_software(driver, wait, url, token, out):
    """The fleet's software, as the API counts it; a package's devices with the one behind
    marked; a version's devices."""
    driver.get(url + "/#/software")
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#sw-table tr[data-id]"))
    fleet = api(url, token, "software", limit=50)
    shown = driver.execute_script("return [...document.querySelectorAll('#sw-table tr[data-id]')]"
                                  ".map((r) => r.dataset.kind + '/' + r.dataset.id)")
    check(shown == ["%s/%s" % (i["kind"], i["id"]) for i in fleet["items"]],
          "software: page %s, API %s" % (shown, [i["id"] for i in fleet["items"]]))
    Select(driver.find_element(By.ID, "sw-kind")).select_by_value("package")
    driver.find_element(By.ID, "sw-filter").send_keys("media")
    wait.until(lambda d: len(table_rows(d, "#sw-table tr[data-id]")) == 1)
    row = table_rows(driver, "#sw-table tr[data-id]")[0]
    check(re.search(r"Media Hub.*Package.*2\.3\.1 ×4.*1\.9\.2 ×1.*2\.3\.1\s+5\s+1 ▼ BEHIND", row,
                    re.S), "MediaHub row: " + row)
    Select(driver.find_element(By.ID, "sw-kind")).select_by_value("")
    wait.until(lambda d: len(table_rows(d, "#sw-table tr[data-id]")) == 2)
    check("2 packages and applications match" in driver.find_element(By.ID, "sw-count").text,
          "software count: " + driver.find_element(By.ID, "sw-count").text)
    full_screenshot(driver, os.path.join(out, "inventory-software.png"), 1280)

    driver.find_element(By.CSS_SELECTOR, "#sw-table tr[data-kind=package][data-id=MediaHub] td a").click()
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#sw-devices tr[data-sn]")) == 5)
    behind = driver.execute_script("return [...document.querySelectorAll('#sw-devices tr"
                                   "[data-behind=yes]')].map((r) => r.dataset.sn)")
    check(behind == [STALE], "devices behind: %s" % behind)
    # A version's devices: the chip filters, and the API's comparison answers.
    driver.find_element(By.XPATH, "//button[contains(@class, 'chip') and starts-with(., '1.9.2')]").click()
    wait.until(lambda d: serials_of(d, "#sw-devices") == [STALE])
    Select(driver.find_element(By.CSS_SELECTOR, ".version-filter select")).select_by_value("gt")
    version = driver.find_element(By.CSS_SELECTOR, ".version-filter input")
    version.clear()
    version.send_keys("2.3\n")  # a text, never the number 2.3
    wait.until(lambda d: len(serials_of(d, "#sw-devices")) == 4)
    full_screenshot(driver, os.path.join(out, "inventory-software-package.png"), 1280)


def serials_of(driver, table):
    return driver.execute_script("return [...document.querySelectorAll(arguments[0] + ' tr[data-sn]')]"
                                 ".map((r) => r.dataset.sn)", table)


def check_big_device(driver, wait, url, out):
    """A thousand packages and their mirror files fit one screen, and search finds any of
    them; a disk without a sensor has no temperature and no line."""
    driver.get(url + "/#/device/" + BIG)
    packages = wait.until(ec.presence_of_element_located(
        (By.CSS_SELECTOR, "section[data-section='Packages']")))
    check("%d packages" % PACKAGES in packages.text, "package count: " + packages.text[:200])
    for name in ("Packages", "Mirror files", "Applications"):
        height = driver.execute_script(
            "return document.querySelector(`section[data-section='${arguments[0]}']`)"
            ".getBoundingClientRect().height", name)
        check(height < 800, "%s is %d px tall" % (name, height))
    search = packages.find_element(By.CSS_SELECTOR, "input[type=search]")
    search.send_keys("tool-0777")
    wait.until(lambda d: "1 of %d packages match" % PACKAGES in packages.text)
    check("Tool 0777" in packages.text and "1.0.0" in packages.text, packages.text[:300])
    search.clear()
    search.send_keys("no-such-package")
    wait.until(lambda d: "None matches" in packages.text)
    files = driver.find_element(By.CSS_SELECTOR, "section[data-section='Mirror files']")
    files.find_element(By.CSS_SELECTOR, "nav button[data-dir=next]").click()
    wait.until(lambda d: re.search(r"16–30 of \d+", files.text))
    disks = driver.find_element(By.CSS_SELECTOR, "section[data-section='Disks']").text
    check(re.search(r"Disk 4\s+sdd\s+\S+ good normal —", disks) and "0 °C" not in disks, "sensorless disk: " + disks)
    canvas = wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, "[data-disks] canvas")))
    lines = driver.execute_script("return Chart.getChart(arguments[0]).data.datasets"
                                  ".map((d) => d.label)", canvas)
    check(lines == ["sda", "sdb", "sdc"], "temperature lines: %s" % lines)
    height = driver.execute_script("return document.documentElement.scrollHeight")
    check(height < 6000, "the device page is %d px tall" % height)
    full_screenshot(driver, os.path.join(out, "inventory-device-big.png"), 1280)


def check_export(driver, wait, url, token, out):
    """The devices' export button saves the list as the API answers it, as CSV."""
    headers, _ = api_raw(url, token, "list", format="csv")
    if "attachment" not in (headers.get("Content-Disposition") or ""):
        print("export: this host answers no files; the button's check is skipped")
        return
    folder = os.path.join(out, "downloads")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": folder})
    driver.get(url + "/")
    wait.until(lambda d: len(serials(d)) == 5)
    driver.find_element(By.CSS_SELECTOR, "#fleet-export button[data-format=csv]").click()
    wait.until(lambda d: [f for f in glob.glob(os.path.join(folder, "*")) if not f.endswith(".crdownload")])
    saved = glob.glob(os.path.join(folder, "*"))[0]
    with open(saved, newline="") as f:
        table = list(csv.DictReader(f))
    check(sorted(r["sn"] for r in table) == sorted(serials(driver)), "CSV rows: %s" % table)


def manage_code(url, token, method, **params):
    """The answer code of a management method (0: success)."""
    body = {"api": "KEVO.FLX.Manage", "version": "1", "method": method, "_sid": token}
    body.update({k: json.dumps(v) for k, v in params.items()})
    answer = json.load(urllib.request.urlopen(url + "/webapi/entry.cgi",
                                              urllib.parse.urlencode(body).encode()))
    return 0 if answer["success"] else answer["error"]["code"]


def prepare_operators(args, root, env):
    """Two groups (the stale and the full device in "south"), the stale device waiting for
    approval, an admin of every group and a viewer of "south"."""
    admin = os.path.join(args.bin, "flx-admin")
    out = lambda *a: subprocess.run([admin] + list(a), env=env, check=True,
                                    capture_output=True, text=True).stdout.strip()
    out("group", "add", "north")
    out("group", "add", "south")
    for sn in (FAILING, FULL, STALE, "2150PDN004711", "2150PDN006350"):
        out("device", "group", sn, "south" if sn in (FULL, STALE) else "north")
    db = sqlite3.connect(os.path.join(root, "var/packages/FLX/target/db/flx_registry.sqlite"))
    db.execute("INSERT INTO device_admissions(sn, state) VALUES(?, 'pending')", (STALE,))
    db.commit()
    db.close()
    return (out("operator", "add", "boss", "--role", "admin"),
            out("operator", "add", "south-viewer", "--role", "viewer", "--group", "south"))


def sign_in(driver, wait, url, token):
    driver.execute_script("sessionStorage.clear()")
    driver.get(url + "/inventory/")
    driver.refresh()
    field = wait.until(ec.visibility_of_element_located((By.ID, "token")))
    field.send_keys(token + "\n")


def rows_left(root, sn, device_id):
    """"store.table=count" for every table that still holds a row of the device."""
    db = lambda name: os.path.join(root, "var/packages/FLX/target/db", name)
    where = {"sn": sn, "qx_id": device_id, "client_sn": sn, "device_id": device_id}
    stores = (("flx_registry.sqlite", (("devices", "sn"), ("sessions", "sn"), ("apps", "qx_id"),
                                       ("pkgs", "qx_id"), ("info", "qx_id"),
                                       ("device_contacts", "device_id"))),
              ("flx_db.sqlite", (("vol_info", "qx_id"), ("dg_info", "qx_id"), ("hdd_info", "qx_id"),
                                 ("share_info", "qx_id"), ("sample_table", "client_sn"))),
              ("flx_history.sqlite", (("events", "device_id"), ("samples", "device_id"),
                                      ("summary", "device_id"), ("state", "device_id"))))
    left = []
    for name, tables in stores:
        conn = sqlite3.connect(db(name))
        for table, column in tables:
            n = conn.execute("SELECT count(*) FROM %s WHERE %s = ?" % (table, column),
                             (where[column],)).fetchone()[0]
            if n:
                left.append("%s.%s=%d" % (name, table, n))
        conn.close()
    target = os.path.join(root, "var/packages/FLX/target")
    left += [p for p in (os.path.join(target, "qxinfo", str(device_id)),
                         os.path.join(target, "spool", str(device_id)),
                         os.path.join(target, "lock", str(device_id))) if os.path.lexists(p)]
    return left


def remove_device(driver, wait, args, env, root, url, token, sn):
    """The admin removes a device from its page: asked first, then gone from the list and,
    once the history's writer has swept, from every store."""
    device_id = api(url, token, "get", sn=sn)["device"]["id"]
    check(rows_left(root, sn, device_id), "the device has rows to remove")
    driver.get(url + "/inventory/#/device/" + sn)
    remove = (By.CSS_SELECTOR, "button[data-action=remove]")
    wait.until(ec.element_to_be_clickable(remove)).click()
    wait.until(ec.alert_is_present()).dismiss()
    check(api(url, token, "get", sn=sn)["device"]["sn"] == sn, "kept when not confirmed")
    wait.until(ec.element_to_be_clickable(remove)).click()
    wait.until(ec.alert_is_present()).accept()
    wait.until(lambda d: len(serials(d)) == 4)
    check(sn not in serials(driver), "removed from the list: %s" % serials(driver))
    subprocess.run([os.path.join(args.bin, "flx-history"), "--once"], env=env, check=True)
    left = rows_left(root, sn, device_id)
    check(not left, "left of the removed device: %s" % left)
    db = sqlite3.connect(os.path.join(root, "var/packages/FLX/target/db/flx_registry.sqlite"))
    who = db.execute("SELECT who, device, result FROM audit_log WHERE action = 'remove'").fetchall()
    db.close()
    check(who == [("boss", sn, "ok")], "the removal in the audit trail: %s" % who)


def run_operators(driver, url, args, env, root, admin_token, viewer_token, out):
    wait = WebDriverWait(driver, 15, ignored_exceptions=(StaleElementReferenceException,))
    sign_in(driver, wait, url, admin_token)
    wait.until(lambda d: len(serials(d)) == 5)
    wait.until(ec.visibility_of_element_located((By.ID, "audit")))
    driver.get(url + "/inventory/#/device/" + STALE)
    wait.until(ec.element_to_be_clickable((By.CSS_SELECTOR, "button[data-action=approve]"))).click()
    wait.until(ec.alert_is_present()).accept()
    wait.until(lambda d: not d.find_elements(By.CSS_SELECTOR, "button[data-action=approve]"))
    db = sqlite3.connect(os.path.join(root, "var/packages/FLX/target/db/flx_registry.sqlite"))
    state = db.execute("SELECT state FROM device_admissions WHERE sn = ?", (STALE,)).fetchone()
    who = db.execute("SELECT who, result FROM audit_log WHERE action = 'approve'").fetchall()
    db.close()
    check(state == ("approved",), "approved by the admin: %s" % (state,))
    check(who == [("boss", "ok")], "the approval in the audit trail: %s" % who)
    driver.save_screenshot(os.path.join(out, "inventory-admin-device.png"))
    remove_device(driver, wait, args, env, root, url, admin_token, FAILING)

    sign_in(driver, wait, url, viewer_token)
    wait.until(lambda d: sorted(serials(d)) == sorted([FULL, STALE]))
    check(not driver.find_element(By.ID, "audit").is_displayed(), "a viewer sees no audit trail")
    driver.get(url + "/inventory/#/device/" + FULL)
    wait.until(ec.visibility_of_element_located((By.CSS_SELECTOR, ".device-title h1")))
    check(not driver.find_elements(By.CSS_SELECTOR, ".manage-bar button"),
          "a viewer sees no management buttons")
    for method, params in (("approve", {"sn": FULL}), ("reject", {"sn": FULL}),
                           ("move", {"sn": FULL, "group": "south"}),
                           ("revoke_sessions", {"sn": FULL}), ("remove", {"sn": FULL}),
                           ("revoke_secret", {"id": "x"}), ("audit", {})):
        code = manage_code(url, viewer_token, method, **params)
        check(code == 105, "a viewer calling %s directly: %s" % (method, code))
    check(api(url, viewer_token, "get", sn=FULL)["device"]["sn"] == FULL, "refused, so kept")


def main():
    parser = argparse.ArgumentParser()
    for name in ("--bin", "--lib", "--source", "--out"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    root = tempfile.mkdtemp(prefix="flx-browser-")
    env = dict(os.environ, FLX_ROOT=root)
    host = driver = front = None
    try:
        host, url, token = prepare(args, root, env)
        plant_history(args, root, url, token)
        front = CspFront(url)
        threading.Thread(target=front.serve_forever, daemon=True).start()
        driver = browser()
        run(driver, "http://127.0.0.1:%d" % front.server_address[1], token, args.out)
        admin_token, viewer_token = prepare_operators(args, root, env)
        run_operators(driver, "http://127.0.0.1:%d" % front.server_address[1], args, env, root,
                      admin_token, viewer_token, args.out)
        print("screenshots in " + args.out)
    finally:
        if driver is not None:
            driver.quit()
        if front is not None:
            front.shutdown()
            front.server_close()
        if host is not None:
            host.terminate()
            host.wait(timeout=10)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
