# ppm.py: the screenshots the plug-in saves: 8-bit binary PPM files named
# frame-NNNNN.ppm, listed per folder and read as pixel arrays.
import os
import re

import numpy as np

from ..errors import InputError

SHOT_RE = re.compile(r"^frame-(\d+)\.ppm$")
# P6, width, height and maxval separated by white space or # comments, then
# exactly one white-space byte before the pixels.
_GAP = rb"(?:\s|#[^\n]*\n)+"
PPM_HEADER = re.compile(rb"P6" + _GAP + rb"(\d+)" + _GAP + rb"(\d+)" + _GAP + rb"(\d+)\s")


class PictureError(Exception):
    """One file that can't be compared; the message says why."""


def read_ppm(path: str) -> np.ndarray:
    """An 8-bit binary PPM (P6, maxval 255, as the plug-in writes) as an
    array of rows x columns x RGB.

    Read here rather than with PIL: PIL also opens plain-text P3 files and
    scales any other maxval (15, 65535) to 8-bit RGB without a word, which
    would compare a picture the plug-in never wrote, and its errors don't
    say how many pixel bytes are missing; checking that header here leaves
    only the pixels themselves to read, which numpy does in one call."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise PictureError("can't read: %s" % (e.strerror or e))
    if not data.startswith(b"P6"):
        raise PictureError("not a binary PPM (no P6 header)")
    m = PPM_HEADER.match(data)
    if not m:
        raise PictureError("not a binary PPM (bad header)")
    width, height, maxval = (int(v) for v in m.groups())
    if width < 1 or height < 1 or maxval != 255:
        raise PictureError("not a binary PPM this tool reads (size %dx%d, maxval %d; "
                           "8-bit, maxval 255 expected)" % (width, height, maxval))
    size = width * height * 3
    body = data[m.end():m.end() + size]
    if len(body) < size:
        raise PictureError("truncated: %d of %d bytes of pixels" % (len(body), size))
    return np.frombuffer(body, dtype=np.uint8).reshape(height, width, 3)


def ppm_size(path: str) -> tuple[int, int] | None:
    """Width and height from a binary PPM's header, or None when the file
    can't be read or isn't one."""
    try:
        with open(path, "rb") as f:
            m = PPM_HEADER.match(f.read(4096))
    except OSError:
        return None
    return (int(m.group(1)), int(m.group(2))) if m else None


def shots(folder: str) -> dict[int, str]:
    if not os.path.isdir(folder):
        raise InputError("--shots %s: no such folder" % folder)
    try:
        names = os.listdir(folder)
    except OSError as e:
        raise InputError("--shots %s: %s" % (folder, e.strerror or e))
    return {int(m.group(1)): n for n in names for m in [SHOT_RE.match(n)] if m}
