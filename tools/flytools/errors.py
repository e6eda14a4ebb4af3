# errors.py: the one error a user sees. Whatever the tools refuse (a file
# they can't read, a figure out of range, a database that won't open) is an
# InputError with a one-line message; the command prints it as
# "PROG: error: MESSAGE" and exits with its status: 1 for bad input, 2 for
# a bad command line (UsageError). Nothing else reaches the user. Names and
# bytes from outside (file names, a script's line) are shown through
# shown(), so that no line, page or chart carries bytes it can't encode.
EXIT_OK, EXIT_INPUT, EXIT_USAGE = 0, 1, 2


class InputError(Exception):
    """Input that can't be used; the message is shown as it is."""
    status = EXIT_INPUT


class UsageError(InputError):
    """An argument that can't be used, found before any work is done."""
    status = EXIT_USAGE


def shown(value: str | bytes) -> str:
    """Text as it is shown to a user: bytes that aren't UTF-8 (in a file
    name they come as surrogates) as \\xNN and what isn't printable (a
    control character, a line end) as \\xNN or \\uNNNN escapes."""
    if isinstance(value, bytes):
        text = value.decode("utf-8", "backslashreplace")
    else:
        try:
            text = value.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
        except UnicodeEncodeError:  # a surrogate no file name holds (from JSON)
            text = value.encode("utf-8", "backslashreplace").decode("utf-8")
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else "\\x%02x" % ord(c) if ord(c) < 0x100 else "\\u%04x" % ord(c)
                   for c in text)
