# segments.py: where on the path. A pass is split into segments, keyframe
# to keyframe when the keyframe script the runs flew is given (--script),
# otherwise into ten equal stretches of frames. A segment from path frame
# `start` to `end` holds the timed frames start+1 .. end, which are the
# array elements [start:end] of a pass's frame times.
from . import reading

STRETCHES = 10


def read_script(path):
    """The frame numbers of the script's keyframes, as the plug-in reads
    them: one keyframe a line (FRAME X Y Z YAW PITCH), blank lines, # comments
    and a warmup line skipped."""
    text = reading.read_file(path).decode("utf-8", errors="replace")
    frames = []
    for lineno, line in enumerate(text.splitlines(), 1):
        fields = line.split()
        if not fields or fields[0].startswith("#") or fields[0] == "warmup":
            continue
        try:
            if len(fields) != 6:
                raise ValueError
            frame = int(fields[0])
            [float(v) for v in fields[1:]]
        except ValueError:
            raise reading.InputError("%s: line %d: expected a keyframe FRAME X Y Z YAW PITCH, "
                                     "found '%s'" % (path, lineno, line.strip()[:60]))
        if frames and frame <= frames[-1] or not frames and frame != 0:
            raise reading.InputError("%s: line %d: keyframe frames must start at 0 and "
                                     "ascend, found %d" % (path, lineno, frame))
        frames.append(frame)
    if len(frames) < 2:
        raise reading.InputError("%s: needs at least two keyframes" % path)
    return frames


def from_keyframes(keyframes):
    return [{"index": i + 1, "keyframes": [i, i + 1], "first_frame": a, "last_frame": b}
            for i, (a, b) in enumerate(zip(keyframes, keyframes[1:]))]


def stretches(frames, count=STRETCHES):
    """`count` equal stretches of a pass of `frames` frames, as path frame
    spans; fewer for short passes, so that each has at least 10 frames."""
    count = min(count, frames // 10)
    bounds = [round(i * frames / count) for i in range(count + 1)]
    return [{"index": i + 1, "keyframes": None, "first_frame": a, "last_frame": b}
            for i, (a, b) in enumerate(zip(bounds, bounds[1:]))]


def name(seg, count):
    """How the verdict names a segment."""
    span = "frames %d-%d" % (seg["first_frame"], seg["last_frame"])
    if seg["keyframes"]:
        return "between keyframes %d and %d (%s)" % (*seg["keyframes"], span)
    return "in stretch %d of %d (%s)" % (seg["index"], count, span)
