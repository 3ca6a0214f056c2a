#!/usr/bin/python3
"""The inventory page in a real browser: a host on a temporary root with the demo fleet and
a history planted as its writer would leave it, headless chromium driven through chromedriver,
every answer carrying the production front's Content-Security-Policy. Saves screenshots into
--out.

    inventory_page_test.py --bin BUILD/bin --lib BUILD/lib --source SRC --out DIR"""
import argparse
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
    db = sqlite3.connect(os.path.join(root, "var/packages/FLX/target/db/flx_history.sqlite"))
    db.executescript(schema_sql(args.source))
    for d in api(url, token, "list", limit=100)["devices"]:
        s = d["summary"]
        db.execute("INSERT INTO summary VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, '[]', NULL)",
                   (d["id"], d["last_seen"], s["vol_count"], s["vol_max_use"], s["vol_max_name"],
                    s["disk_count"], s["disk_failing"], s["disk_max_temp"], s["app_count"],
                    s["pkg_count"], 4 if d["sn"] == FULL else None))
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
        for name in ("Content-Type", "Cache-Control", "X-Content-Type-Options"):
            if answer.headers.get(name):
                self.send_header(name, answer.headers[name])
        self.send_header("Content-Security-Policy", CSP)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    do_GET = do_POST = forward

    def log_message(self, *args):
        pass


def prepare(args, root, env):
    admin = os.path.join(args.bin, "flx-admin")
    subprocess.run([admin, "init"], env=env, check=True, stdout=subprocess.DEVNULL)
    www = os.path.join(root, "var/packages/FLX/target/webapi/www")
    os.makedirs(www, exist_ok=True)
    for name in ("index.html", "inventory.css", "inventory.js"):
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
    count = driver.find_element(By.ID, "count").text
    check("1 not reporting for 1 h" in count and "1 disk failing" in count, "count line: " + count)
    marks = {r.get_attribute("data-sn"): r.find_element(By.CSS_SELECTOR, "td.marks").text
             for r in rows(driver)}
    check("FAILING" in marks[FAILING], "failing disk mark: " + marks[FAILING])
    check("VOLUME FULL" in marks[FULL], "full volume mark: " + marks[FULL])
    check("STALE" in marks[STALE], "stale mark: " + marks[STALE])
    check(sum("OK" in m for m in marks.values()) == 2, "healthy devices: %s" % marks)
    full_screenshot(driver, os.path.join(out, "inventory-fleet.png"), 1280)

    # The token lives for the session: a reload shows the table without asking again.
    driver.refresh()
    wait.until(lambda d: len(serials(d)) == 5)
    driver.find_element(By.CSS_SELECTOR, "th button[data-sort='last_seen']").click()
    wait.until(lambda d: serials(d)[:1] == [STALE])
    driver.find_element(By.ID, "filter").send_keys("vault")
    wait.until(lambda d: serials(d) == [FULL])

    rows(driver)[0].find_element(By.TAG_NAME, "a").click()
    wait.until(ec.visibility_of_element_located((By.CSS_SELECTOR, ".device-title h1")))
    titles = [h.text for h in driver.find_elements(By.CSS_SELECTOR, "#device-body section h2")]
    check(titles == SECTIONS, "sections: %s" % titles)
    icon = wait.until(ec.presence_of_element_located((By.CSS_SELECTOR, ".app img[data-app]")))
    wait.until(lambda d: d.execute_script("return arguments[0].naturalWidth", icon) > 0)
    apps = driver.find_element(By.CSS_SELECTOR, "section[data-section='Applications']").text
    check(apps.startswith("Applications\nDateiübersicht"), "localized application name: " + apps)
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
    refused = [e["message"] for e in driver.get_log("browser")
               if "Content Security Policy" in e["message"]]
    check(not refused, "the policy refused: %s" % refused)


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


def run_operators(driver, url, root, admin_token, viewer_token, out):
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

    sign_in(driver, wait, url, viewer_token)
    wait.until(lambda d: sorted(serials(d)) == sorted([FULL, STALE]))
    check(not driver.find_element(By.ID, "audit").is_displayed(), "a viewer sees no audit trail")
    driver.get(url + "/inventory/#/device/" + FULL)
    wait.until(ec.visibility_of_element_located((By.CSS_SELECTOR, ".device-title h1")))
    check(not driver.find_elements(By.CSS_SELECTOR, ".manage-bar button"),
          "a viewer sees no management buttons")
    for method, params in (("approve", {"sn": FULL}), ("reject", {"sn": FULL}),
                           ("move", {"sn": FULL, "group": "south"}),
                           ("revoke_sessions", {"sn": FULL}), ("revoke_secret", {"id": "x"}),
                           ("audit", {})):
        code = manage_code(url, viewer_token, method, **params)
        check(code == 105, "a viewer calling %s directly: %s" % (method, code))


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
        run_operators(driver, "http://127.0.0.1:%d" % front.server_address[1], root, admin_token,
                      viewer_token, args.out)
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
