# errors.py: the one error a user sees. Whatever the tools refuse (a file
# they can't read, a figure out of range, a database that won't open) is an
# InputError with a one-line message; the command prints it as
# "PROG: error: MESSAGE" and exits with its status: 1 for bad input, 2 for
# a bad command line (UsageError). Nothing else reaches the user.
EXIT_OK, EXIT_INPUT, EXIT_USAGE = 0, 1, 2


class InputError(Exception):
    """Input that can't be used; the message is shown as it is."""
    status = EXIT_INPUT


class UsageError(InputError):
    """An argument that can't be used, found before any work is done."""
    status = EXIT_USAGE
