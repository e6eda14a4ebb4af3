# stats: numbers in, numbers out: intervals and tests, the block bootstrap, steps and drift over commits.
