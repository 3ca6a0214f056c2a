#!/usr/bin/python3
"""The inventory page in a real browser: a host on a temporary root with the demo fleet,
headless chromium driven through chromedriver. Saves screenshots into --out.

    inventory_page_test.py --bin BUILD/bin --lib BUILD/lib --source SRC --out DIR"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as ec
from selenium.webdriver.support.ui import WebDriverWait

FAILING, FULL, STALE = "2150PDN004802", "2150PDN005133", "2150PDN003027"
SECTIONS = ["Identity", "Extended information", "Volumes", "Disk groups", "Disks", "Shares",
            "Applications", "Packages", "Mirror files"]


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
    full_screenshot(driver, os.path.join(out, "inventory-device.png"), 1280)
    full_screenshot(driver, os.path.join(out, "inventory-device-phone.png"), 390)
    driver.get(url + "/?again")  # a new page: the filter is gone, the token stays
    wait.until(lambda d: len(serials(d)) == 5)
    driver.set_window_size(390, 844)
    driver.save_screenshot(os.path.join(out, "inventory-fleet-phone.png"))


def main():
    parser = argparse.ArgumentParser()
    for name in ("--bin", "--lib", "--source", "--out"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    root = tempfile.mkdtemp(prefix="flx-browser-")
    env = dict(os.environ, FLX_ROOT=root)
    host = driver = None
    try:
        host, url, token = prepare(args, root, env)
        driver = browser()
        run(driver, url, token, args.out)
        print("screenshots in " + args.out)
    finally:
        if driver is not None:
            driver.quit()
        if host is not None:
            host.terminate()
            host.wait(timeout=10)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
