# pictures.py: compares the screenshots two runs saved at the same frames
# (frame-NNNNN.ppm in each run's folder): PSNR, the share of pixels that
# differ by more than the tolerance in a channel, the largest difference,
# and an amplified difference image. A build that got faster by drawing
# less shows up here. Each file's problem (missing counterpart, another
# size, not a binary PPM) is reported for that file and the rest go on.
import io
import math
import os
import re
from typing import Any

import numpy as np

from .reading import InputError

SHOT_RE = re.compile(r"^frame-(\d+)\.ppm$")
DEFAULT_TOLERANCE = 2
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


def measure(a: np.ndarray, b: np.ndarray, tolerance: int) -> tuple[dict[str, Any], np.ndarray]:
    """PSNR in dB (None when identical), the share of pixels with some
    channel differing by more than the tolerance (%), the largest channel
    difference, and the per-pixel largest difference."""
    d = np.abs(a.astype(np.int16) - b.astype(np.int16))
    mse = float(np.mean(d.astype(np.float64) ** 2))
    per_pixel = d.max(axis=2)
    return {"psnr_db": None if mse == 0 else 10 * math.log10(255.0 ** 2 / mse),
            "share_pct": float(np.count_nonzero(per_pixel > tolerance)) / per_pixel.size * 100,
            "max_diff": int(per_pixel.max())}, per_pixel


def difference_image(a: np.ndarray, per_pixel: np.ndarray, tolerance: int) -> np.ndarray:
    """A's picture dimmed to grey for context; differences within the
    tolerance in blue, beyond it red turning yellow as they grow (x4)."""
    grey = (a.astype(np.float32) @ np.array([0.3, 0.59, 0.11], np.float32)) * 0.3
    out = np.repeat(grey[:, :, None], 3, axis=2).astype(np.uint8)
    small = (per_pixel > 0) & (per_pixel <= tolerance)
    out[small] = [0, 0, 200]
    big = per_pixel > tolerance
    out[big, 0] = 255
    out[big, 1] = np.minimum(255, per_pixel[big].astype(np.int32) * 4)
    out[big, 2] = 0
    return out


def png(pixels: np.ndarray) -> bytes:
    """PNG bytes of an RGB array (PIL, which Debian's matplotlib depends on)."""
    from PIL import Image
    buf = io.BytesIO()
    Image.fromarray(pixels).save(buf, format="PNG")
    return buf.getvalue()


def _shots(folder: str) -> dict[int, str]:
    if not os.path.isdir(folder):
        raise InputError("--shots %s: no such folder" % folder)
    try:
        names = os.listdir(folder)
    except OSError as e:
        raise InputError("--shots %s: %s" % (folder, e.strerror or e))
    return {int(m.group(1)): n for n in names for m in [SHOT_RE.match(n)] if m}


def compare_folders(dir_a: str, dir_b: str, label_a: str, label_b: str, tolerance: int,
                    keep: bool = False) -> dict[str, Any]:
    """Every frame-NNNNN.ppm of either folder, compared where both have it.

    keep: also hold the pictures (under "_pictures", not part of the JSON)
    for the HTML page."""
    shots_a, shots_b = _shots(dir_a), _shots(dir_b)
    frames = []
    for frame in sorted(set(shots_a) | set(shots_b)):
        entry = {"frame": frame, "file": shots_a.get(frame) or shots_b.get(frame),
                 "status": None, "detail": None, "psnr_db": None, "share_pct": None,
                 "max_diff": None, "size": None}
        frames.append(entry)
        if frame not in shots_b or frame not in shots_a:
            entry["status"] = "missing"
            entry["detail"] = "no %s in %s's folder" % (entry["file"],
                                                       label_b if frame in shots_a else label_a)
            continue
        pics = []
        for folder, names, label in ((dir_a, shots_a, label_a), (dir_b, shots_b, label_b)):
            try:
                pics.append(read_ppm(os.path.join(folder, names[frame])))
            except PictureError as e:
                entry["status"] = "unreadable"
                entry["detail"] = "%s's %s: %s" % (label, names[frame], e)
                break
        if entry["status"]:
            continue
        a, b = pics
        if a.shape != b.shape:
            entry["status"] = "size differs"
            entry["detail"] = "%dx%d in %s, %dx%d in %s" % (
                a.shape[1], a.shape[0], label_a, b.shape[1], b.shape[0], label_b)
            continue
        entry["size"] = [a.shape[1], a.shape[0]]
        figures, per_pixel = measure(a, b, tolerance)
        entry.update(figures)
        entry["status"] = ("identical" if figures["max_diff"] == 0 else
                           "within tolerance" if figures["max_diff"] <= tolerance else "differs")
        if keep:
            entry["_pictures"] = (a, b, difference_image(a, per_pixel, tolerance))
    return {"dir_a": dir_a, "dir_b": dir_b, "tolerance": tolerance, "frames": frames}


def differing(result: dict[str, Any]) -> list[dict[str, Any]]:
    """The frames whose pictures differ (beyond the tolerance, or in size)."""
    return [f for f in result["frames"] if f["status"] in ("differs", "size differs")]
