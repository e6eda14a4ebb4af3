# The tools installed as a package: a venv that sees Debian's libraries, the package installed into it
# without fetching anything, and its three commands run from the venv's bin. Skipped without python3-venv
# or python3-setuptools (scripts/setup installs both).
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from support import TOOLS

NEEDS = ("ensurepip", "setuptools")


@unittest.skipUnless(all(importlib.util.find_spec(m) for m in NEEDS), "no python3-venv or python3-setuptools")
class Install(unittest.TestCase):
    def test_the_installed_commands_run(self):
        with tempfile.TemporaryDirectory() as d:  # a copy: an install builds in the folder it is given
            shutil.copytree(os.path.join(TOOLS, "flytools"), os.path.join(d, "tools", "flytools"),
                            ignore=shutil.ignore_patterns("__pycache__"))
            shutil.copy(os.path.join(TOOLS, "pyproject.toml"), os.path.join(d, "tools"))
            for argv in ([sys.executable, "-m", "venv", "--system-site-packages", "V"],
                         ["V/bin/pip", "install", "--no-deps", "--no-build-isolation", "--no-index", "-q", "./tools"]):
                r = subprocess.run(argv, cwd=d, capture_output=True, text=True, timeout=300)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            for tool in ("flyrun", "flycompare", "flyhistory"):
                r = subprocess.run([os.path.join(d, "V", "bin", tool), "--help"], capture_output=True, text=True,
                                   cwd=d, timeout=120)
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                self.assertTrue(r.stdout.startswith("usage: %s " % tool), r.stdout[:200])
