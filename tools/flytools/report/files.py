# files.py: the tools' output files, for all three commands: checked
# before any work (a folder that is there, no input and no other output
# written over), then each written under a scratch name in its folder and
# renamed, so that a failed write leaves the old file or none, never a
# 0-byte or half page. A failure is an InputError naming the file.
import os
import stat
import tempfile

from ..errors import InputError, UsageError


def _key(path):
    """What makes two names one file: the file itself where it exists (a
    hard link, a symbolic link), else the resolved name."""
    try:
        st = os.stat(path)
        return st.st_dev, st.st_ino
    except OSError:
        return os.path.realpath(path)


def check_outputs(outputs, files=(), folders=(), made=()):
    """Refuses (UsageError) an output (option, path or None) that can't be
    written: its folder isn't there (nor among the folders `made` before
    writing), it is a folder or read-only, or it would be written over one
    of the input `files`, a file under one of the input `folders` or
    another output."""
    taken = {_key(f) for f in files}
    inside = [os.path.join(os.path.realpath(d), "") for d in folders]
    for option, path in outputs:
        if path is None:
            continue
        folder = os.path.dirname(path) or "."
        if not any(os.path.realpath(folder) == os.path.realpath(m) for m in made):
            if not os.path.isdir(folder):
                raise UsageError("%s: can't write %s: no such folder %s" % (option, path, folder))
            if os.path.isdir(path):
                raise UsageError("%s: can't write %s: is a folder" % (option, path))
            if not os.access(folder, os.W_OK) or os.path.exists(path) and not os.access(path, os.W_OK):
                raise UsageError("%s: can't write %s: permission denied" % (option, path))
        key = _key(path)
        if key in taken or os.path.realpath(path).startswith(tuple(inside)):
            raise UsageError("%s: %s is an input or another output; give another file" % (option, path))
        taken.add(key)


def write_file(path, data):
    """Writes text (UTF-8) or bytes to path: to a scratch file beside it,
    renamed over it once whole. A device or pipe (/dev/stdout) is written
    as it is; a symbolic link's file is the one replaced."""
    if isinstance(data, str):
        data = data.encode("utf-8", "backslashreplace")
    try:
        if os.path.exists(path) and not stat.S_ISREG(os.stat(path).st_mode):
            with open(path, "wb") as f:
                f.write(data)
            return
        target = os.path.realpath(path)
        # The scratch name stays short enough for any name the folder takes.
        fd, scratch = tempfile.mkstemp(prefix="." + os.path.basename(target)[:64] + ".", suffix=".tmp",
                                       dir=os.path.dirname(target))
        try:
            with os.fdopen(fd, "wb") as f:
                umask = os.umask(0)
                os.umask(umask)
                os.fchmod(f.fileno(), 0o666 & ~umask)
                f.write(data)
            os.replace(scratch, target)
        except BaseException:
            os.unlink(scratch)
            raise
    except OSError as e:
        raise InputError("can't write %s: %s" % (path, e.strerror or e))
