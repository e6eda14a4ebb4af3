# stats: numbers in, numbers out: intervals and tests, the block bootstrap, change points.
