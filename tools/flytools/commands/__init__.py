# commands: the three command lines, each arguments in, one library call, an exit status.
