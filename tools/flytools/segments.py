# segments.py: where on the path, the one plan flycompare and flyhistory
# both use. A pass is split into segments keyframe to keyframe when the
# keyframe script the runs flew is known, otherwise into ten equal
# stretches of frames; passes of differing lengths, stdout logs (no
# per-frame times) and passes under 20 frames get none, with the reason.
from typing import Optional, Sequence

from .errors import InputError
from .records import Run, Segment

STRETCHES = 10
MIN_FRAMES = 20      # fewer frames per pass: no segments
MIN_STRETCH = 10     # frames at least in a stretch


def from_keyframes(keyframes: Sequence[int]) -> tuple:
    return tuple(Segment(i + 1, (i, i + 1), a, b) for i, (a, b) in enumerate(zip(keyframes, keyframes[1:])))


def stretches(frames: int, count: int = STRETCHES) -> tuple:
    """`count` equal stretches of a pass of `frames` frames, as path frame
    spans; fewer for short passes, so that each has at least 10 frames."""
    count = min(count, frames // MIN_STRETCH)
    bounds = [round(i * frames / count) for i in range(count + 1)]
    return tuple(Segment(i + 1, None, a, b) for i, (a, b) in enumerate(zip(bounds, bounds[1:])))


def plan(runs: Sequence[Run], keyframes: Optional[Sequence[int]]) -> tuple[tuple, Optional[str]]:
    """The segments of the runs' passes, or none with the reason why; a
    script whose last keyframe isn't the passes' length is refused."""
    lengths = {r.frames_per_pass for r in runs}
    if not all(r.has_frames for r in runs):
        return (), "no segments: a stdout log has no per-frame times"
    if None in lengths or len(lengths) != 1:
        return (), "no segments: the passes differ in their numbers of frames"
    n = lengths.pop()
    if keyframes is not None:
        if keyframes[-1] != n:
            raise InputError("the script's last keyframe is frame %d, but the runs "
                             "have %d frames per pass" % (keyframes[-1], n))
        return from_keyframes(keyframes), None
    if n < MIN_FRAMES:
        return (), "no segments: fewer than %d frames per pass" % MIN_FRAMES
    return stretches(n), None


def name(seg: Segment, count: int) -> str:
    """How the verdict names a segment."""
    span = "frames %d-%d" % (seg.first_frame, seg.last_frame)
    if seg.keyframes:
        return "between keyframes %d and %d (%s)" % (*seg.keyframes, span)
    return "in stretch %d of %d (%s)" % (seg.index, count, span)
