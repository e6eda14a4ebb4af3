# pictures.py: compares the screenshots two runs saved at the same frames
# (frame-NNNNN.ppm in each run's folder): PSNR, the share of pixels that
# differ by more than the tolerance in a channel, the largest difference,
# and an amplified difference image. A build that got faster by drawing
# less shows up here. Each file's problem (missing counterpart, another
# size, not a binary PPM) is reported for that file and the rest go on.
import math
import os
from dataclasses import replace
from typing import Any

import numpy as np

from ..errors import shown
from ..inputs import ppm
from ..records import PictureFrame, Pictures

DEFAULT_TOLERANCE = 2


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


def compare_folders(dir_a: str, dir_b: str, label_a: str, label_b: str, tolerance: int,
                    keep: bool = False) -> tuple[Pictures, dict]:
    """Every frame-NNNNN.ppm of either folder, compared where both have it;
    and with keep, frame -> (A's, B's, difference picture) for the page."""
    shots_a, shots_b = ppm.shots(dir_a), ppm.shots(dir_b)
    frames, held = [], {}
    for frame in sorted(set(shots_a) | set(shots_b)):
        entry = PictureFrame(frame, shots_a.get(frame) or shots_b.get(frame), "missing")
        if frame not in shots_b or frame not in shots_a:
            frames.append(replace(entry, detail="no %s in %s's folder" % (
                entry.file, label_b if frame in shots_a else label_a)))
            continue
        try:
            a, b = (_read(folder, names[frame], label) for folder, names, label in
                    ((dir_a, shots_a, label_a), (dir_b, shots_b, label_b)))
        except ppm.PictureError as e:
            frames.append(replace(entry, status="unreadable", detail=str(e)))
            continue
        if a.shape != b.shape:
            frames.append(replace(entry, status="size differs", detail="%dx%d in %s, %dx%d in %s" % (
                a.shape[1], a.shape[0], label_a, b.shape[1], b.shape[0], label_b),
                size=[a.shape[1], a.shape[0]], size_b=[b.shape[1], b.shape[0]]))
            continue
        figures, per_pixel = measure(a, b, tolerance)
        status = ("identical" if figures["max_diff"] == 0 else
                  "within tolerance" if figures["max_diff"] <= tolerance else "differs")
        frames.append(PictureFrame(frame, entry.file, status, size=[a.shape[1], a.shape[0]], **figures))
        if keep:
            held[frame] = (a, b, difference_image(a, per_pixel, tolerance))
    return Pictures(shown(dir_a), shown(dir_b), tolerance, tuple(frames)), held


def _read(folder: str, name: str, label: str) -> np.ndarray:
    try:
        return ppm.read_ppm(os.path.join(folder, name))
    except ppm.PictureError as e:
        raise ppm.PictureError("%s's %s: %s" % (label, name, e)) from None


def uncompared(result: Pictures | None, label: str) -> str | None:
    """Why a run's pictures fall short of a full comparison (no folder,
    no screenshot in either, keyframes missing or unreadable); None when
    every keyframe was compared."""
    if result is None:
        return "%s has no screenshots" % label
    if not result.frames:
        return "no frame-NNNNN.ppm in %s or %s" % (result.dir_a, result.dir_b)
    lost = sum(f.status in ("missing", "unreadable") for f in result.frames)
    return "%s: %d of %d keyframes not compared" % (label, lost, len(result.frames)) if lost else None


def differing(result: Pictures) -> list[PictureFrame]:
    """The frames whose pictures differ (beyond the tolerance, or in size)."""
    return [f for f in result.frames if f.status in ("differs", "size differs")]
