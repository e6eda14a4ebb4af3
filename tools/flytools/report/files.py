# files.py: writing the tools' outputs; a failure is an InputError naming
# the file.
from ..errors import InputError


def write_file(path, data):
    """Writes text or bytes to path."""
    try:
        with open(path, "w" if isinstance(data, str) else "wb") as f:
            f.write(data)
    except OSError as e:
        raise InputError("can't write %s: %s" % (path, e.strerror or e))
