"""The operator's page in headless Chromium against a running gateway: every
camera shows (names as text), pictures load at the camera's width, a dropped
job's thumbnails appear, a stopped camera turns "down". Started by
page_test.cpp with the gateway's ports and folders; exit 0 when all holds."""
import argparse, json, os, socket, sys, tempfile, time, urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service


def until(what, seconds, check):
    """Polls `check` until it gives a true value; fails with `what` after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            sys.exit("FAILED: " + (what() if callable(what) else what))
        time.sleep(0.25)


def main():
    a = argparse.ArgumentParser()
    for name in ("port", "sim-control", "stopped-camera", "stall"):
        a.add_argument("--" + name, type=int, required=True)
    for name in ("drop", "watch", "screenshot"):
        a.add_argument("--" + name, required=True)
    args = a.parse_args()
    base = "http://127.0.0.1:%d" % args.port
    api = lambda path: json.load(urllib.request.urlopen(base + path, timeout=10))

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--window-size=1400,1000",
                 "--user-data-dir=" + tempfile.mkdtemp(prefix="ocelam-page-")):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    js = driver.execute_script
    try:
        driver.get(base + "/")
        cameras = api("/api/cameras")["cameras"]
        numbers = sorted(c["number"] for c in cameras)
        until("a row for every camera", 60, lambda: sorted(
            js("return [...document.querySelectorAll('#cameras [data-camera]')]"
               ".map(e => +e.dataset.camera)")) == numbers)
        for c in cameras:
            title = js("return document.querySelector('[data-camera=\"%d\"]').textContent" % c["number"])
            if c["reference"] not in title:
                sys.exit("FAILED: camera %d shows %r" % (c["number"], title))
        if js("return document.querySelector('#cameras b')") is not None:
            sys.exit("FAILED: a camera's name became markup")

        for c in cameras:
            n = c["number"]
            width = until("camera %d's width known" % n, 60,
                          lambda: next(x["width"] for x in api("/api/cameras")["cameras"]
                                       if x["number"] == n))
            js("document.querySelector('[data-camera=\"%d\"]').scrollIntoView()" % n)
            until("camera %d's picture %d wide" % (n, width), 60, lambda: js(
                "const i = document.querySelector('[data-camera=\"%d\"] img.snapshot');"
                "return i.complete && i.naturalWidth" % n) == width)

        job = "[Alarm]\nAlarmRef=PAGE1\n[Camera1]\nCameraScenario=%d\nDuration=2\nInterval=1\n" % numbers[0]
        with open(os.path.join(args.drop, "page.job"), "w") as f:
            f.write(job)
        os.rename(os.path.join(args.drop, "page.job"), os.path.join(args.watch, "page.job"))
        js("document.getElementById('jobs').scrollIntoView()")
        until(lambda: "a job's thumbnails (%s)" % api("/api/jobs"), 90, lambda: js(
            "const t = [...document.querySelectorAll('#jobs [data-job] a > img.thumb')];"
            "return t.length > 0 && t.every(i => i.complete && i.naturalWidth > 0)"))
        js("window.scrollTo(0, 0)")
        driver.save_screenshot(args.screenshot)

        with socket.create_connection(("127.0.0.1", args.sim_control), timeout=10) as s:
            s.sendall(b"set camera %d dead=1\n" % args.stopped_camera)
            s.recv(1024)
        began = time.monotonic()
        until("camera %d down" % args.stopped_camera, args.stall + 30, lambda: js(
            "return document.querySelector('[data-camera=\"%d\"] .state').dataset.state"
            % args.stopped_camera) == "down")
        print("down after %.1f s" % (time.monotonic() - began))
    finally:
        driver.quit()


main()
