# The --html page in a real browser: headless Chromium (Debian's chromium,
# which scripts/setup installs), driven over the DevTools protocol on a pipe,
# checks what a person would see: the verdict at the top, every picture
# decoded, nothing loaded from outside the page, no script errors, flipping
# a screenshot in place; and saves a screenshot of the whole page (into
# FLYCOMPARE_ARTIFACTS, the build folder under CTest). Without Chromium the
# test is skipped and says why.
import base64
import fcntl
import json
import os
import select
import subprocess
import tempfile
import unittest

import numpy as np

from test_flycompare import Tool, csv_text, ppm

CHROMIUM = "/usr/bin/chromium"
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe", "--window-size=1280,900", "about:blank"]
LOOK = """JSON.stringify({
  headline: document.querySelector('.verdict .headline').innerText,
  top: document.querySelector('.verdict').getBoundingClientRect().top,
  images: Array.from(document.images).map(i => i.complete && i.naturalWidth > 0),
  outside: Array.from(document.querySelectorAll('[src],[href]'))
    .map(e => e.getAttribute('src') || e.getAttribute('href')).filter(u => !u.startsWith('data:')),
  flipped: (function () { var rows = document.querySelectorAll('.shots');
    var row = rows[rows.length - 1], i = row.querySelectorAll('img.flippable'), a = i[0].src;
    i[0].click(); return i[1].src === a && i[0].src !== a
      && row.querySelector('figcaption.flip').textContent; })()})"""


def browse(page, profile):
    """Opens the page; returns what LOOK saw, the error events and a PNG."""
    commands, responses = os.pipe(), os.pipe()

    def pipes_as_3_and_4():  # where --remote-debugging-pipe expects them
        os.dup2(fcntl.fcntl(commands[0], fcntl.F_DUPFD, 10), 3)
        os.dup2(fcntl.fcntl(responses[1], fcntl.F_DUPFD, 10), 4)

    browser = subprocess.Popen([CHROMIUM, "--user-data-dir=" + profile] + FLAGS, close_fds=False,
                               preexec_fn=pipes_as_3_and_4, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    os.close(commands[0])
    os.close(responses[1])
    pending, events, ids = b"", [], iter(range(1, 1000))

    def send(method, session=None, **params):
        nonlocal pending
        message = {"id": next(ids), "method": method, "params": params}
        os.write(commands[1], json.dumps(dict(message, sessionId=session) if session else message)
                 .encode() + b"\0")
        while True:
            while b"\0" not in pending:
                if not select.select([responses[0]], [], [], 60)[0]:
                    raise TimeoutError("Chromium did not answer %s" % method)
                chunk = os.read(responses[0], 1 << 20)
                if not chunk:
                    raise RuntimeError("Chromium closed the pipe")
                pending += chunk
            raw, pending = pending.split(b"\0", 1)
            reply = json.loads(raw)
            if reply.get("id") != message["id"]:
                events.append(reply)
            elif "error" in reply:
                raise RuntimeError("%s: %s" % (method, reply["error"]))
            else:
                return reply["result"]

    try:
        target = send("Target.createTarget", url="about:blank")["targetId"]
        s = send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Runtime"):
            send(domain + ".enable", s)
        send("Page.navigate", s, url="file://" + os.path.abspath(page))
        while not any(e.get("method") == "Page.loadEventFired" for e in events):
            send("Runtime.evaluate", s, expression="0")
        height = send("Page.getLayoutMetrics", s)["cssContentSize"]["height"]
        send("Emulation.setDeviceMetricsOverride", s, width=1280, height=int(height) + 1,
             deviceScaleFactor=1, mobile=False)              # the whole page in the window
        shot = send("Page.captureScreenshot", s, format="png")
        seen = send("Runtime.evaluate", s, expression=LOOK, returnByValue=True)
        errors = [e for e in events if e.get("method") == "Runtime.exceptionThrown" or
                  e.get("method") == "Runtime.consoleAPICalled" and e["params"]["type"] == "error"]
        send("Browser.close")
        return json.loads(seen["result"]["value"]), errors, base64.b64decode(shot["data"])
    finally:
        os.close(commands[1])
        os.close(responses[0])
        browser.kill()
        browser.wait()


class Page(Tool):
    @unittest.skipUnless(os.access(CHROMIUM, os.X_OK),
                         "no Chromium at %s: scripts/setup installs Debian's chromium" % CHROMIUM)
    def test_page_in_chromium(self):
        times = 8 + np.sin(np.arange(240) / 7)
        self.write("a.csv", csv_text([times, times * 1.003, times * 0.998]))
        self.write("b.csv", csv_text([times * 0.9, times * 0.903, times * 0.899]))
        self.write("flight.txt", "0 0 0 0 0 0\n120 1 0 0 0 0\n240 2 0 0 0 0\n")
        rng = np.random.default_rng(5)
        for frame in (0, 120, 240):
            pic = rng.integers(0, 256, (90, 160, 3))
            self.write("sa/frame-%05d.ppm" % frame, ppm(pic))
            pic[40:50, 60:90] //= 2 if frame == 240 else 1
            self.write("sb/frame-%05d.ppm" % frame, ppm(pic))
        r = self.run_tool("A=a.csv", "B=b.csv", "--script", "flight.txt", "--shots", "sa",
                          "--shots", "sb", "--html", "report.html")
        headline = next(ln for ln in r.stdout.splitlines() if ln.startswith("B is faster than A"))
        seen, errors, png = browse(os.path.join(self.dir, "report.html"),
                                   tempfile.mkdtemp(dir=self.dir))
        self.assertEqual(errors, [])
        self.assertEqual(seen["headline"], headline)
        self.assertLess(seen["top"], 200)                   # the first thing on the page
        self.assertEqual(seen["images"], [True] * 10)       # the charts, 3 keyframes x 3
        self.assertEqual((seen["outside"], seen["flipped"]), ([], "B"))
        folder = os.environ.get("FLYCOMPARE_ARTIFACTS", self.dir)
        with open(os.path.join(folder, "flycompare-page.png"), "wb") as f:
            f.write(png)


if __name__ == "__main__":
    unittest.main()
