# Tests for reading keyframe scripts: the shared table of scripts (tests/data/keyframe-cases.txt),
# which the plug-in's and the stand-in's loaders are held to as well.
import os
import re
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from flytools import reading, segments  # noqa: E402

CASES = os.path.join(HERE, "..", "..", "tests", "data", "keyframe-cases.txt")
ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "v": "\v", "f": "\f", "0": "\0"}


def unescape(text: str) -> bytes:
    """A case's script, its escapes (\\n ... and c\\{N}) undone."""
    out: list[str] = []
    for m in re.finditer(r"\\\{(\d+)\}|\\(.)|.", text, re.S):
        out.append(out[-1][-1] * (int(m.group(1)) - 1) if m.group(1)
                   else ESCAPES.get(m.group(2), m.group(2)) if m.group(2) else m.group(0))
    return "".join(out).encode("latin-1")


class KeyframeScripts(unittest.TestCase):
    def test_case_table(self):
        # Each case's frames, or its refusal: one line naming the file and, where there is one, the line.
        with open(CASES) as f:
            cases = [line.rstrip("\n").rsplit(" => ", 1) for line in f if " => " in line]
        self.assertGreater(len(cases), 30)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "flight.txt")
            for script, want in cases:
                with self.subTest(script=script):
                    with open(path, "wb") as f:
                        f.write(unescape(script))
                    try:
                        got = " ".join(map(str, segments.read_script(path)))
                    except reading.InputError as e:
                        message = str(e)
                        self.assertRegex(message, r"\A%s: [^\n]+\Z" % re.escape(path))
                        at = re.match(r"line (\d+): ", message[len(path) + 2:])
                        got = "line " + at.group(1) if at else "refused"
                    self.assertEqual(got, want)


if __name__ == "__main__":
    unittest.main()
