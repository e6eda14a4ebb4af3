# The --html page in headless Chromium (Debian's chromium, which scripts/setup installs): a probe put first in a copy
# of the page records script errors and what a person sees; a screenshot goes to FLYCOMPARE_ARTIFACTS (CTest: build).
# Without a browser: markup in labels, warnings and notes comes out as text.
import html
import json
import os
import pathlib
import re
import struct
import subprocess
import unittest

from dataclasses import replace

from support import Tool
from flytools.compare import comparison
from flytools.records import CompareOptions
from flytools.report import pages

CHROMIUM = "/usr/bin/chromium"
PROBE = """<script>
var seen = {errors: []}, all = s => Array.from(document.querySelectorAll(s));
addEventListener('error', e => seen.errors.push(String(e.message)));
addEventListener('load', function () {
  var row = all('.shots').pop(), pair = row.querySelectorAll('img.flippable'), a = pair[0].src;
  seen.images = all('img').map(i => i.complete && i.naturalWidth > 0);
  seen.verdict = [all('.verdict .headline')[0].innerText, all('.verdict')[0].getBoundingClientRect().top < 200];
  seen.outside = all('[src],[href]').map(e => e.src || e.href).filter(u => !u.startsWith('data:'));
  seen.height = document.documentElement.scrollHeight, seen.width = document.documentElement.scrollWidth;
  pair[0].click();  // flips the pair and their captions in place
  seen.flipped = pair[1].src === a && pair[0].src !== a && row.querySelector('.flip').textContent;
  document.title = JSON.stringify(seen);
});
</script>"""


class Page(Tool):
    def chromium(self, page, height, *args):  # a window 1280 pixels wide
        return subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", *args,
                               "--disable-background-networking", "--user-data-dir=%s/profile" % self.dir,
                               "--window-size=1280,%d" % height, "file://%s/%s" % (self.dir, page)],
                              capture_output=True, timeout=120).stdout.decode()

    @unittest.skipUnless(os.access(CHROMIUM, os.X_OK), "no %s: scripts/setup installs Debian's chromium" % CHROMIUM)
    def test_page_in_chromium(self):
        # The verdict on top, all 7 pictures decoded, the flip, no script errors, nothing from elsewhere, the page
        # within the window though a label widens the tables; a screenshot.
        self.write_shots()
        out = self.run_tool("the-slow-build-with-a-long-label=slow.csv", "fast.csv", "--shots", "a", "--shots", "b",
                            "--html", "report.html").stdout
        self.write("probed.html", (self.dir / "report.html").read_text().replace("<head>", "<head>" + PROBE, 1))
        dom = self.chromium("probed.html", 900, "--virtual-time-budget=10000", "--dump-dom")
        saw = json.loads(html.unescape(dom.split("<title>")[1].split("</title>")[0]))
        self.assertEqual((saw["errors"], saw["images"], saw["verdict"], saw["flipped"], saw["outside"],
                          saw["width"] <= 1280),
                         ([], [True] * 7, [out.split("no change)\n")[1].split("\n")[0], True], "fast.csv", [], True))
        (shot := pathlib.Path(os.environ.get("FLYCOMPARE_ARTIFACTS", self.dir), "flycompare-page.png")).unlink(True)
        self.chromium("report.html", saw["height"], "--screenshot=%s" % shot)   # a PNG of the whole page
        self.assertEqual(struct.unpack(">x3s12xII", shot.read_bytes()[:24]), (b"PNG", 1280, saw["height"]))

    def test_text_stays_text(self):
        # Markup in labels, warnings and notes is shown as written, in text and in attributes; the warnings box and the
        # environment note come above the verdicts, and only when the document has them.
        self.write_shots()
        a, b = '<b>&"x', "it's<i>"
        self.run_tool(a + "=slow.csv", b + "=fast.csv", "--shots", "a", "--shots", "b", "--html", "p.html",
                      "--json", "d.json")
        runs = ("%s=%s/slow.csv" % (a, self.dir), "%s=%s/fast.csv" % (b, self.dir))
        doc = replace(comparison.compare(CompareOptions(runs, shots=(str(self.dir / "a"), str(self.dir / "b")))).doc,
                      warnings=("drift in %s</li>" % a, b), environment_note="environment unknown <hr>")
        note = "environment unknown for %s, %s (no run.json): host, size, renderer and script not checked" % (a, b)
        for text, alts, above in [((self.dir / "p.html").read_text(), [a, b, "difference"] * 2, ([], [note])),
                                  (pages.compare_page(doc, None, {}, {}), [], (list(doc.warnings), [doc.environment_note]))]:
            self.assertIn("<td>frame pacing (ms)</td>", text)
            top = text.split('<div class="verdict')[0]
            self.assertEqual((set(re.findall(r"</?(\w+)", text)) - ALLOWED, pick(text, "<title>(.*)</title>"),
                              [t.split(",")[0] for t in pick(text, r'<img class="[^"]*" src="[^"]*" alt="([^"]*)"')],
                              (pick(top, "<li>([^<]*)</li>"), pick(top, 'id="environment-note">([^<]*)<'))),
                             (set(), ["flycompare: %s against %s" % (b, a)], alts, above))


ALLOWED = {"html", "head", "meta", "title", "style", "body", "h1", "h2", "h3", "div", "p", "ul", "li", "pre",
           "table", "tr", "th", "td", "figure", "img", "figcaption", "script"}


def pick(text, pattern):
    return [html.unescape(t) for t in re.findall(pattern, text)]
