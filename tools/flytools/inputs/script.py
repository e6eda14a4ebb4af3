# script.py: the reader of the keyframe script, by the rule the plug-in's
# loader reads it with (C's fgets and sscanf, reproduced here byte for
# byte), so that the tools accept exactly the scripts the plug-in flies and
# find the same keyframe frames in them.
import math
import re
from collections.abc import Iterator

from ..errors import InputError, shown
from .files import read_file


# The loader reads a script with fgets into a 512-byte buffer: a longer line
# comes in 511-byte pieces, each handled and counted as a line of its own.
PIECE = 511
# What C's scanf skips before a number (isspace in the C locale); a blank in
# its format matches any run of these, or none.
_C_SPACE = b" \t\n\v\f\r"
# The longest text %ld and %f / %lf take as a number, as the C library reads
# them: "1e-" and "0x1p" are numbers with an empty exponent, "0x." is zero,
# "0x" alone and "." are none. Infinities and NaNs are refused whatever form
# they take, so their spellings need no care.
_INT = re.compile(rb"[+-]?[0-9]+")
_FLOAT = re.compile(rb"[+-]?(?:(0[xX])(?=[0-9a-fA-F.])([0-9a-fA-F]*(?:\.[0-9a-fA-F]*)?)(?:[pP]([+-]?[0-9]*))?"
                    rb"|(?!0[xX])([0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE]([+-]?[0-9]*))?|(inf|nan))", re.I)
# Beyond this a value rounds to infinity as a 32-bit float.
_FLOAT32_OVERFLOW = 2.0 ** 128 - 2.0 ** 103


def _number(m: "re.Match[bytes]") -> float:
    """The value of a _FLOAT match, as a double."""
    sign = -1.0 if m.group(0)[:1] == b"-" else 1.0
    hexp, hexdigits, hexexp, digits, decexp, special = m.groups()
    if special:
        return math.nan
    exponent = (hexexp if hexp else decexp) or b""
    exponent = exponent.decode() if exponent.strip(b"+-") else "0"
    try:
        if hexp:
            return sign * float.fromhex("0x%sp%s" % (hexdigits.decode() if hexdigits.strip(b".") else "0", exponent))
        return sign * float("%se%s" % (digits.decode(), exponent))
    except OverflowError:
        return math.inf


def _scan(text: bytes, kinds: str) -> list | None:
    """sscanf with one conversion per letter of `kinds` (i: %ld, f: %f, d: %lf)
    separated by blanks: the values, or None unless every one converts."""
    values, at = [], 0
    for kind in kinds:
        while at < len(text) and text[at] in _C_SPACE:
            at += 1
        m = (_INT if kind == "i" else _FLOAT).match(text, at)
        if not m:
            return None
        values.append(int(m.group(0)) if kind == "i" else _number(m))
        at = m.end()
        if kind != "i" and m.group(1) and not m.group(2).strip(b".") and m.group(3) is not None:
            # "0x." before an exponent is zero, but the C library reads no
            # further after it.
            return values if len(values) == len(kinds) else None
    return values


def _pieces(data: bytes) -> Iterator[tuple[int, bytes]]:
    """(line number, text) of each line as the loader reads it: fgets's
    pieces, each up to its first NUL byte (where C's string ends)."""
    lineno = 0
    for line in re.findall(rb"[^\n]*\n|[^\n]+", data):
        for i in range(0, len(line), PIECE):
            lineno += 1
            yield lineno, line[i:i + PIECE].split(b"\0", 1)[0]


def read_script(path: str) -> list[int]:
    """The frame numbers of the script's keyframes, read by the plug-in's
    rule: after leading blanks, a line that is empty or starts with a line
    end or # is skipped; one starting with "warmup" must hold three finite
    numbers after that word; any other is a keyframe, a frame and five
    finite 32-bit numbers (X Y Z YAW PITCH), text after them ignored. Frames
    start at 0 and ascend; at least two keyframes."""
    frames = []
    for lineno, piece in _pieces(read_file(path)):
        text = piece.lstrip(b" \t")
        if not text or text[:1] in b"\n\r#":
            continue
        warmup = text.startswith(b"warmup")
        values = _scan(text[6:], "ddd") if warmup else _scan(text, "ifffff")
        if warmup and values and all(map(math.isfinite, values)):
            continue
        if (warmup or values is None or not -2 ** 31 <= values[0] < 2 ** 31
                or not all(abs(v) < _FLOAT32_OVERFLOW for v in values[1:])):
            raise InputError("%s: line %d: expected %s, found '%s'" % (
                path, lineno, "warmup MIN QUIET MAX" if warmup else "a keyframe FRAME X Y Z YAW PITCH",
                shown(piece.strip())[:60]))
        frame = values[0]
        if frames and frame <= frames[-1] or not frames and frame != 0:
            raise InputError("%s: line %d: keyframe frames must start at 0 and "
                                     "ascend, found %d" % (path, lineno, frame))
        frames.append(frame)
    if len(frames) < 2:
        raise InputError("%s: needs at least two keyframes" % path)
    return frames


