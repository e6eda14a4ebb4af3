# stats: numbers in, numbers out: intervals and tests, the spread of launches and sessions, planning,
# steps and drift over commits.
