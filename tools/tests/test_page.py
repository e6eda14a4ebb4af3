# The --html page in headless Chromium (Debian's chromium, which scripts/setup installs): a probe
# put first in a copy of the page records script errors and, once loaded, what a person sees; a
# screenshot of the whole page goes to FLYCOMPARE_ARTIFACTS (the build folder under CTest).
import html
import json
import os
import re
import struct
import subprocess
import unittest

from test_flycompare import Tool

CHROMIUM = "/usr/bin/chromium"
PROBE = """<script>
var seen = {errors: []}, q = document.querySelector.bind(document);
addEventListener('error', function (e) { seen.errors.push(String(e.message)); });
console.error = function () { seen.errors.push(Array.from(arguments).join(' ')); };
addEventListener('load', function () {
  seen.headline = q('.verdict .headline').innerText;
  seen.top = q('.verdict').getBoundingClientRect().top;
  seen.height = document.documentElement.scrollHeight;
  seen.images = Array.from(document.images).map(i => i.complete && i.naturalWidth > 0);
  seen.outside = Array.from(document.querySelectorAll('[src],[href]'))
    .map(e => e.getAttribute('src') || e.getAttribute('href')).filter(u => !u.startsWith('data:'));
  var row = Array.from(document.querySelectorAll('.shots')).pop();
  var imgs = row.querySelectorAll('img.flippable'), a = imgs[0].src;
  imgs[0].click();  // flips the pair and their captions in place
  seen.flipped = imgs[1].src === a && imgs[0].src !== a && row.querySelector('.flip').textContent;
  document.title = JSON.stringify(seen);
});
</script>"""


class Page(Tool):
    def chromium(self, page, height, *args):  # a window 1280 pixels wide
        return subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                               "--disable-background-networking", "--user-data-dir=%s/profile" % self.dir,
                               "--window-size=1280,%d" % height, *args, "file://%s/%s" % (self.dir, page)],
                              capture_output=True, timeout=120)

    @unittest.skipUnless(os.access(CHROMIUM, os.X_OK),
                         "no Chromium at %s: scripts/setup installs Debian's chromium" % CHROMIUM)
    def test_page_in_chromium(self):
        self.write_shots()
        out = self.run_tool("slow.csv", "fast.csv", "--shots", "a", "--shots", "b", "--html", "report.html",
                            "--json", "report.json").stdout
        self.write("probed.html", self.read("report.html").replace("<head>", "<head>" + PROBE, 1))
        dom = self.chromium("probed.html", 900, "--virtual-time-budget=10000", "--dump-dom").stdout.decode()
        saw = json.loads(html.unescape(re.search(r"<title>(.*)</title>", dom, re.S).group(1)))
        self.assertEqual((saw["errors"], saw["outside"], saw["flipped"], saw["images"], saw["top"] < 200),
                         ([], [], "fast.csv", [True] * 7, True))  # 7 pictures; the verdict on top
        self.assertEqual(saw["headline"], out.split("counts as no change)\n")[1].split("\n")[0])
        shot = os.path.join(os.environ.get("FLYCOMPARE_ARTIFACTS", self.dir), "flycompare-page.png")
        if os.path.exists(shot):
            os.remove(shot)
        self.chromium("report.html", saw["height"], "--screenshot=" + shot)
        with open(shot, "rb") as f:                               # the whole page
            self.assertEqual(struct.unpack(">II", f.read(24)[16:]), (1280, saw["height"]))


if __name__ == "__main__":
    unittest.main()
