# inputs: the only code that knows a file layout: files in, records out, never printing.
