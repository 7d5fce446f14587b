#!/usr/bin/python3
"""The station's page in a real browser (headless Chromium driven by Selenium).

Against a running station:
  page_test.py --url http://127.0.0.1:8080/ --out DIR [--press] \\
      --step "ttyUSB0=PASS; ttyUSB1=PASS|FAIL; #programmed=2"

Each --step waits (at most --wait seconds) until every tile it names shows
one of the words given for it (NAME=WORD|WORD), or holds a text
(NAME~TEXT), and every count matches the header (#COUNT=N: programmed, ok,
failed, yield, per-hour), then saves a screenshot into DIR. A step may also
  @WxH           look through a window of W x H pixels (from this step on)
  !press=stop    press Stop (or resume) first, and wait for the station to say
                 STOPPING or STOPPED (RUNNING)
  !press=clear:NAME  press Clear on the held tile NAME first, and wait until
                 it is held no more
  !fit           every tile inside the window, nothing to scroll to
  !header        the header in one row
  !needs=A,B     the strip of what needs the operator names A, then B, only
  !halt~TEXT     the banner of why nothing is started holds TEXT
  !shot=NAME     its screenshot as NAME.png (else step-N.png)
Tiles must keep their places from step to step, and a FAIL tile must say
why. --press presses Stop and Resume (the browser is on the station's
machine, so the buttons are there) and waits for the station to say
STOPPING or STOPPED, then RUNNING.
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
    """'a=PASS; b=PASS|FAIL; b~unplug; #ok=3; @1920x1080; !fit' ->
    {'words': {'a': ['PASS'], 'b': [...]}, 'texts': {'b': 'unplug'}, 'counts': {'ok': '3'},
     'size': (1920, 1080), 'checks': {'fit': ''}}"""
    step = {"words": {}, "texts": {}, "counts": {}, "size": None, "checks": {}}
    for item in filter(None, (i.strip() for i in text.split(";"))):
        if item.startswith("@"):
            w, _, h = item[1:].partition("x")
            if not (w.isdigit() and h.isdigit()):
                raise SystemExit(f"page_test: a window is @WxH, not {item!r}")
            step["size"] = (int(w), int(h))
            continue
        if item.startswith("!"):
            name, _, value = item[1:].partition("=") if "~" not in item else item[1:].partition("~")
            if name not in ("press", "fit", "header", "needs", "halt", "shot"):
                raise SystemExit(f"page_test: no check {item!r}")
            step["checks"][name] = value
            continue
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


def outside(d):
    """The tiles not wholly inside the window, and whether the page scrolls."""
    return d.execute_script("""
        const w = window.innerWidth, h = window.innerHeight, out = [];
        for (const t of document.querySelectorAll('#tiles .tile')) {
            const b = t.getBoundingClientRect();
            if (b.left < 0 || b.top < 0 || b.right > w || b.bottom > h)
                out.push(t.dataset.slot + ' at ' + [b.left, b.top, b.right, b.bottom]
                    .map(Math.round).join(','));
        }
        return [out, document.documentElement.scrollHeight > h ||
                     document.documentElement.scrollWidth > w];""")


def header_in_one_row(d):
    """Whether one line across the header crosses every part of it shown."""
    return d.execute_script("""
        let top = -Infinity, bottom = Infinity;
        for (const e of document.querySelector('header').children)
            if (e.offsetParent !== null) {
                const b = e.getBoundingClientRect();
                top = Math.max(top, b.top);
                bottom = Math.min(bottom, b.bottom);
            }
        return top < bottom;""")


def needs_now(d):
    """The slots the strip names, in order."""
    return d.execute_script(
        "return [...document.querySelectorAll('#needs .need')].map(n => n.dataset.slot);")


def checks_missing(d, checks):
    if "fit" in checks:
        out, scrolls = outside(d)
        if out or scrolls:
            return f"tiles outside the window: {', '.join(out) or 'none'}; scrolls: {scrolls}"
    if "header" in checks and not header_in_one_row(d):
        return "the header in more than one row"
    if "needs" in checks:
        want = list(filter(None, checks["needs"].split(",")))
        if needs_now(d) != want:
            return f"the strip naming {needs_now(d)}, not {want}"
    if "halt" in checks and checks["halt"] not in (text_of(d, "halt") or ""):
        return f"the banner saying {text_of(d, 'halt')!r}"
    return None


def step_missing(d, step):
    missing = checks_missing(d, step["checks"])
    if missing:
        return missing
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
    press_one(d, "stop", wait)
    shot(d, out, "stopped")
    press_one(d, "resume", wait)


def window(d, size):
    """The page seen through a window of exactly this many pixels."""
    d.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                      {"width": size[0], "height": size[1], "deviceScaleFactor": 1,
                       "mobile": False})


def press_one(d, what, wait):
    if what.startswith("clear:"):
        tile = d.find_element(By.CSS_SELECTOR, f'.tile[data-slot="{what[6:]}"]')
        tile.find_element(By.CSS_SELECTOR, ".clear").click()
        wait_until(f"{what[6:]} after Clear", wait,
                   lambda: "still held" if "held" in tile.get_attribute("class").split()
                   else None)
        return
    want = ("STOPPING", "STOPPED") if what == "stop" else ("RUNNING",)
    d.find_element(By.ID, what).click()
    wait_until(f"the station after {what}", wait,
               lambda: None if text_of(d, "run-state") in want
               else f"the station {text_of(d, 'run-state')!r}")


def run(args, d):
    d.get(args.url)
    wait_until("the first status", args.wait,
               lambda: None if text_of(d, "offline") is None else "not connected")
    order = []
    steps = [parse_step(s) for s in args.step]
    for i, step in enumerate(steps, 1):
        if step["size"]:
            window(d, step["size"])
        if step["checks"].get("press"):
            press_one(d, step["checks"]["press"], args.wait)
        wait_until(f"step {i}", args.wait, lambda: step_missing(d, step))
        order = check_step(d, order)
        print(f"step {i}: {', '.join(order)}")
        shot(d, args.out, step["checks"].get("shot") or f"step-{i}")
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
