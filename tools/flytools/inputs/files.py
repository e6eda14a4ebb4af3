# files.py: opening and reading input files, each failure an InputError
# that names the file (no such file, a directory, no permission).
import hashlib

from ..errors import InputError


def open_file(path):
    """The file open for reading in binary."""
    try:
        return open(path, "rb")
    except FileNotFoundError:
        raise InputError("%s: no such file" % path)
    except IsADirectoryError:
        raise InputError("%s: is a directory" % path)
    except OSError as e:
        raise InputError("%s: %s" % (path, e.strerror or e))


def read(f, path, size=-1):
    """Up to size bytes (all with -1) of an open file."""
    try:
        return f.read(size)
    except OSError as e:
        raise InputError("%s: %s" % (path, e.strerror or e))


def read_file(path):
    """The whole file's bytes."""
    with open_file(path) as f:
        return read(f, path)


def sha256(path):
    """The file's SHA-256 in hex."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            h.update(block)
    return h.hexdigest()
