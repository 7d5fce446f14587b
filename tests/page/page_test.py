#!/usr/bin/python3
"""The station's page in a real browser (headless Chromium driven by Selenium).

Against a running station:
  page_test.py --url http://127.0.0.1:8080/ --out DIR [--press] \\
      --step "ttyUSB0=PASS; ttyUSB1=PASS|FAIL; #programmed=2"

Each --step waits (at most --wait seconds) until every tile it names shows
one of the words given for it (NAME=WORD|WORD), or holds a text
(NAME~TEXT), and every count matches the header (#COUNT=N: programmed, ok,
failed, yield, per-hour), then saves a screenshot into DIR. Tiles must keep
their places from step to step, and a FAIL tile must say why. --press presses Stop and
Resume (the browser is on the station's machine, so the buttons are there)
and waits for the station to say STOPPING or STOPPED, then RUNNING.
Exit status: 0 passed, 1 failed, 77 skipped (no Selenium or Chromium).
"""
import argparse
import os
import shutil
import signal
import sys
import tempfile
import time

try:
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"


class Failed(Exception):
    pass


def parse_step(text):
    """'a=PASS; b=PASS|FAIL; b~unplug; #ok=3' ->
    {'words': {'a': ['PASS'], 'b': [...]}, 'texts': {'b': 'unplug'}, 'counts': {'ok': '3'}}"""
    step = {"words": {}, "texts": {}, "counts": {}}
    for item in filter(None, (i.strip() for i in text.split(";"))):
        name, sep, value = item.partition("~") if "~" in item else item.rpartition("=")
        if not sep or not name or not value:
            raise SystemExit(f"page_test: a step item is NAME=WORD, NAME~TEXT or #COUNT=N, "
                             f"not {item!r}")
        if sep == "~":
            step["texts"][name] = value
        elif name.startswith("#"):
            step["counts"][name[1:]] = value
        else:
            step["words"][name] = value.split("|")
    return step


def wait_until(what, seconds, check):
    """Calls check() until it returns None (done) or the time is up; then
    fails with the last thing it said was missing."""
    end = time.monotonic() + seconds
    missing = "nothing looked at"
    while time.monotonic() < end:
        try:
            missing = check()
        except WebDriverException as e:
            missing = f"the page could not be read: {e.msg}"
        if missing is None:
            return
        time.sleep(0.1)
    raise Failed(f"{what}: still {missing} after {seconds} s")


def browser(profile):
    if not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
        print(f"skipped: {CHROMIUM} or {DRIVER} is missing")
        sys.exit(77)
    o = webdriver.ChromeOptions()
    o.binary_location = CHROMIUM
    for a in ["--headless=new", "--disable-gpu", "--disable-dev-shm-usage",
              "--window-size=1600,1200", f"--user-data-dir={profile}",
              "--no-first-run", "--disable-extensions"]:
        o.add_argument(a)
    if os.geteuid() == 0:
        o.add_argument("--no-sandbox")  # Chromium's sandbox refuses root
    o.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    d = webdriver.Chrome(service=Service(DRIVER), options=o)
    d.set_page_load_timeout(30)
    d.set_script_timeout(10)
    return d


def tiles_now(d):
    """[(slot, word, reason, all its text)] in the order shown."""
    return d.execute_script("""
        return [...document.querySelectorAll('#tiles .tile')].map(t => [
            t.dataset.slot, t.querySelector('.word').textContent,
            t.querySelector('.reason').textContent, t.textContent]);""")


def text_of(d, element_id):
    return d.execute_script(f"const e = document.getElementById('{element_id}');"
                            "return e && !e.hidden ? e.textContent : null;")


def step_missing(d, step):
    shown = {t[0]: t for t in tiles_now(d)}
    for name in list(step["words"]) + list(step["texts"]):
        if name not in shown:
            return f"no tile {name!r} (tiles: {', '.join(shown) or 'none'})"
    for name, words in step["words"].items():
        if shown[name][1] not in words:
            return f"{name!r} showing {shown[name][1]!r}, not {' or '.join(words)}"
    for name, text in step["texts"].items():
        if text not in shown[name][3]:
            return f"{name!r} without {text!r}"
    for name, value in step["counts"].items():
        got = text_of(d, "count-" + name.replace("_", "-"))
        if got != value:
            return f"the count {name} at {got!r}, not {value!r}"
    return None


def check_step(d, before):
    """Tiles keep their places; a FAIL tile says why."""
    now = tiles_now(d)
    order = [t[0] for t in now]
    kept = [n for n in before if n in order]
    if kept != [n for n in order if n in kept]:
        raise Failed(f"tiles moved: {before} then {order}")
    for slot, word, reason, _ in now:
        if word == "FAIL" and not reason:
            raise Failed(f"the FAIL tile {slot!r} gives no reason")
    return order


def shot(d, out, name):
    path = os.path.join(out, name + ".png")
    d.save_screenshot(path)
    print("screenshot:", path)


def press(d, out, wait):
    if not d.execute_script("const b = document.getElementById('stop'); "
                            "return !!b && b.offsetParent !== null;"):
        raise Failed("no Stop button for a viewer on the station's own machine")
    d.find_element(By.ID, "stop").click()
    wait_until("the station after Stop", wait,
               lambda: None if text_of(d, "run-state") in ("STOPPING", "STOPPED")
               else f"the station {text_of(d, 'run-state')!r}")
    shot(d, out, "stopped")
    d.find_element(By.ID, "resume").click()
    wait_until("the station after Resume", wait,
               lambda: None if text_of(d, "run-state") == "RUNNING"
               else f"the station {text_of(d, 'run-state')!r}")


def run(args, d):
    d.get(args.url)
    wait_until("the first status", args.wait,
               lambda: None if text_of(d, "offline") is None else "not connected")
    order = []
    steps = [parse_step(s) for s in args.step]
    for i, step in enumerate(steps, 1):
        wait_until(f"step {i}", args.wait, lambda: step_missing(d, step))
        order = check_step(d, order)
        print(f"step {i}: {', '.join(order)}")
        shot(d, args.out, f"step-{i}")
    if args.press:
        press(d, args.out, args.wait)


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--url", required=True, help="a running station's page")
    p.add_argument("--out", required=True, help="where the screenshots go")
    p.add_argument("--step", action="append", default=[],
                   help="NAME=WORD[|WORD]; NAME~TEXT; #COUNT=N; ...")
    p.add_argument("--press", action="store_true", help="press Stop, then Resume")
    p.add_argument("--wait", type=float, default=30, help="seconds each step may take")
    args = p.parse_args()
    os.makedirs(args.out, exist_ok=True)
    # However the browser or the station behaves, the whole run is bounded.
    signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(Failed("out of time")))
    signal.alarm(int(args.wait * (len(args.step) + 4)) + 60)
    profile = tempfile.mkdtemp(prefix="zmk-page-test-")
    d = None
    try:
        d = browser(profile)
        run(args, d)
        print("page test passed")
        return 0
    except Failed as e:
        print("page test FAILED:", e)
        if d:
            shot(d, args.out, "failed")
            for entry in d.get_log("browser"):  # what the page's script said
                print("page:", entry.get("message"))
        return 1
    finally:
        signal.alarm(0)
        if d:
            d.quit()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
